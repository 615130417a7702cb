#pragma once
#include <Python.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>

// Pieces that value segments and function segments share: names, atomic creation, robust
// process-shared mutexes, and waiting without holding the GIL.
namespace tw {

// New objects are built owner-only; their requested mode is set before they are published.
constexpr mode_t SEGMENT_MODE = 0600;

// Size of a function segment, and the two bytes that mark one (in its reserved bytes), so that
// value operations can tell a function segment from a value segment of the same size.
constexpr size_t FUNCTION_SEGMENT_SIZE = 1168;
constexpr size_t FUNCTION_MAGIC_OFFSET = 142;
constexpr unsigned char FUNCTION_MAGIC[2] = {'T', 'W'};

// A segment name is a file name in the shared-memory directory: 1 to NAME_MAX (255) bytes of
// UTF-8, no '/', no NUL, not "." or "..". One leading '/' is accepted as the POSIX spelling of
// the same name. Temporary objects are named apart from any user name, so this limit is the
// whole limit.
constexpr size_t MAX_NAME_BYTES = 255;
// Prefix of the private names new segments are built under; user names may not start with it.
constexpr char PRIVATE_PREFIX[] = ".tidewell-new-";
// Prefix of the names of a shared mapping's keys: refused as plain names, so that no plain name
// is ever one of a mapping's keys; the key functions take only such names.
constexpr char KEY_NAME_PREFIX[] = ".tidewell-map-";

enum NameResult { NAME_NOT_STR = 0, NAME_OK = 1, NAME_INVALID = -1 };

// Checks the name argument of a module function before any system call. NAME_OK stores the
// name (UTF-8, leading '/' dropped, owned by `arg`) in `out`. NAME_INVALID sets a ValueError
// saying what is wrong with the name (or leaves the exception of a failed conversion). NAME_NOT_STR
// sets nothing: the caller raises its own argument message.
NameResult check_segment_name(PyObject* arg, const char** out);
// The same check for the name of a mapping's key, which must start with KEY_NAME_PREFIX.
NameResult check_key_name(PyObject* arg, const char** out);

// Fills `out` with the path of segment `name` in the shared-memory directory. Returns false
// (errno = EINVAL) for a name shm_open would refuse.
bool segment_path(const char* name, char* out, size_t out_size);

// Called on the private mapping of a new segment before it is published. Returns nullptr on
// success, or the MemoryError message (with one %s for the name) to raise.
using SegmentInit = const char* (*)(unsigned char* map, void* ctx);

// Creates segment `name` of `object_size` bytes (pages reserved, so a full shared-memory
// filesystem fails here and not later with SIGBUS), initialises its first `map_size` bytes with
// `init` under a private name, then publishes it under `name` (renameat2 RENAME_NOREPLACE, so
// it has exactly one link) in one step that fails if the name exists. Nobody can therefore see a
// segment whose mutex is not yet initialised. Returns 1 when created (and, when `keep_map` is
// given, the mapping stays and is stored there), 0 when the name exists or could not be taken
// (errno tells which; no exception), and -1 with a MemoryError set when sizing, mapping or
// initialising failed.
int create_segment(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                   void* ctx, unsigned char** keep_map);
// The same, and when `keep_fd` is given and the segment was created, its descriptor stays open
// and is stored there.
int create_segment_fd(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                      void* ctx, unsigned char** keep_map, int* keep_fd);

// True when `file_name` (an entry of the shared-memory directory, `st` its stat) is a temporary
// of a creation whose process is gone: its name carries a pid that is no longer alive and it
// has not changed for a few seconds (the delay protects a creator in another pid namespace), or
// it has not changed for ten minutes whatever its pid says. Such an object is never published.
bool is_stale_temporary(const char* file_name, const struct stat& st, time_t now);

// Unlinks the stale temporaries of the shared-memory directory. Returns how many.
int remove_stale_temporaries();

// Process-shared mutex that survives its owner: a locker after a crash gets it back.
int init_robust_mutex(pthread_mutex_t* mutex);

// True when `mutex` carries the kind of a process-shared mutex as tidewell initialises them
// (robust, or plain in objects made by older versions). Anything else is a foreign or damaged
// object: locking it could wait forever on an owner that never existed.
bool looks_like_segment_mutex(const pthread_mutex_t* mutex);

enum LockResult { LOCK_FAILED = -1, LOCK_OK = 0, LOCK_OWNER_DIED = 1 };

// Locks a segment mutex. Tries first with the GIL held; if the mutex is busy, waits with the GIL
// released, checking for signals every tenth of a second. A mutex whose owner died is made
// consistent and reported as LOCK_OWNER_DIED. LOCK_FAILED comes with an exception set (the
// signal handler's, or MemoryError naming the segment).
LockResult lock_segment_mutex(pthread_mutex_t* mutex, const char* name);

// Identity of a shared object, the same in every process and through every mapping.
struct ObjectId {
    dev_t dev;
    ino_t ino;
};

// The segment locks this thread holds. Python code can run while a thread holds one (decoding
// builds classes and may run a garbage collection; later, user callbacks): a signal handler or
// finalizer that reaches the same object again must not wait forever for its own thread.
// enter_held returns false with RuntimeError set when this thread already holds `id`; otherwise
// records it until leave_held. Call both with the GIL held, around the lock and unlock.
bool enter_held(ObjectId id, const char* name);
void leave_held(ObjectId id);

// Runs `call` (a system call that can take long: reserving, growing) with the GIL released.
// `call` returns 0 or an errno value and must not touch Python. EINTR is retried, running the
// signal handlers in between. Returns 0, an errno value, or -1 when a signal handler raised.
template <class Call> int without_gil(Call call)
{
    for (;;) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
            rc = call();
        Py_END_ALLOW_THREADS
        if (rc != EINTR) {
            return rc;
        }
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
    }
}

// Sets the object's size and reserves its pages (so a full shared-memory filesystem fails here,
// not later with SIGBUS), with the GIL released. 0, an errno value, or -1 as without_gil.
int size_and_reserve(int fd, off_t size);

// Monotonic deadline `ms` milliseconds from now.
struct timespec deadline_after_ms(long ms);

// Sets MemoryError with `format` (one %s for the name).
PyObject* raise_segment_error(const char* format, const char* name);

} // namespace tw
