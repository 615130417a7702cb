#pragma once
#include <Python.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include "tidewell/segment_object.hpp"
#include "tidewell/segment_recognise.hpp"
#include "tidewell/segment_status.hpp"

// Pieces that value segments and function segments share: names, atomic creation, robust
// process-shared mutexes, and waiting without holding the GIL.
namespace tw {

class LivenessLock;

// New objects are built owner-only; their requested mode is set before they are published.
constexpr mode_t SEGMENT_MODE = 0600;

// A segment name is a file name in the shared-memory directory: 1 to NAME_MAX (255) bytes of
// UTF-8, no '/', no NUL, not "." or "..". One leading '/' is accepted as the POSIX spelling of
// the same name. Temporary objects are named apart from any user name, so this limit is the
// whole limit.
constexpr size_t MAX_NAME_BYTES = 255;

enum NameResult { NAME_NOT_STR = 0, NAME_OK = 1, NAME_INVALID = -1 };

// Checks the name argument of a module function before any system call. NAME_OK stores the
// name (UTF-8, leading '/' dropped, owned by `arg`) in `out`. NAME_INVALID sets a ValueError
// saying what is wrong with the name (or leaves the exception of a failed conversion). NAME_NOT_STR
// sets nothing: the caller raises its own argument message.
NameResult check_segment_name(PyObject* arg, const char** out);
// The same check for the name of a mapping's key, which must start with KEY_NAME_PREFIX.
NameResult check_key_name(PyObject* arg, const char** out);

// Called on the private mapping of a new segment before it is published: OK, or the step that
// failed.
using SegmentInit = Status (*)(unsigned char* map, void* ctx);

// Creates segment `name` of `object_size` bytes (pages reserved, so a full shared-memory
// filesystem fails here and not later with SIGBUS), initialises its first `map_size` bytes with
// `init` under a private name, then publishes it under `name` (renameat2 RENAME_NOREPLACE, so
// it has exactly one link) in one step that fails if the name exists. Nobody can therefore see a
// segment that is not fully built. On OK, `out` holds the published object's descriptor and the
// mapping of its first `map_size` bytes. Otherwise nothing is left behind, and the status says
// why: EXISTS (the name is taken), NOT_CREATED (the exclusive creation failed otherwise, errno
// kept), RAISED (a signal handler raised, or the name is held by an untrusted owner: exception
// set), or the step that failed. The temporary carries its creator's liveness lock
// (liveness.hpp) from its first instant; `keep_lock`, when given, holds it from before `init`
// runs (empty when no lock could be taken), for the published object's holder to keep;
// otherwise it goes once the object is published.
Status create_segment(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                      void* ctx, MappedObject& out, LivenessLock* keep_lock = nullptr);

// Unlinks the stale temporaries of the shared-memory directory. Returns how many.
int remove_stale_temporaries();

// Process-shared mutex that survives its owner: a locker after a crash gets it back.
int init_robust_mutex(pthread_mutex_t* mutex);

// Locks a segment mutex. Tries first with the GIL held; if the mutex is busy, waits with the GIL
// released, checking for signals every tenth of a second. A mutex whose owner died is made
// consistent (what it guarded may be half-written, which the callers are built to tolerate).
// RAISED: a signal handler raised; LOCK: the mutex cannot be had (the pthread code in err).
Status lock_segment_mutex(pthread_mutex_t* mutex);

// The segment locks this thread holds. Python code can run while a thread holds one (decoding
// builds classes and may run a garbage collection; later, user callbacks): a signal handler or
// finalizer that reaches the same object again must not wait forever for its own thread.
// enter_held returns false with RuntimeError set when this thread already holds `id`; otherwise
// records it until leave_held. Call both with the GIL held, around the lock and unlock.
bool enter_held(ObjectId id, const char* name);
void leave_held(ObjectId id);
// Whether this thread holds the lock of the object `path` names now; RuntimeError set then, as
// for enter_held (removing a name under one's own lock is re-entry too).
bool refuse_if_held(const char* path, const char* name);

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

// The status of a without_gil step: OK, RAISED for -1, else `step` with the errno value.
inline Status gil_free_status(int rc, Step step)
{
    return rc == 0 ? STATUS_OK : rc < 0 ? Status{Step::RAISED, 0} : Status{step, rc};
}

// Monotonic deadline `ms` milliseconds from now.
struct timespec deadline_after_ms(long ms);

} // namespace tw
