#pragma once
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <cstddef>
#include <cstdint>

// What a shared-memory object is: the one place that knows the layouts of tidewell's objects and
// the rules that tell them apart. The value path, the call path, the stop path and the command
// line (through the module's private _inspect) all decide through recognise().
//
// Value object:    offset 0 capacity (8 bytes, host order), offset 8 process-shared mutex
//                  (40 bytes), data from offset 48; at least 48 + capacity bytes.
// Function object: exactly 1168 bytes: mutex at 0, activity 136, call state 137, server pid
//                  138..141 (host order), "TW" at 142..143, data from 144.
// Temporary:       ".tidewell-new-PID-N-T", an object a creating process is building.
// Watch table:     ".tidewell-watch-UID", whom commits wake (watch_table.hpp).
namespace tw {

constexpr size_t VALUE_HEADER_SIZE = 48;
constexpr size_t VALUE_MUTEX_OFFSET = 8;
constexpr size_t FUNCTION_SEGMENT_SIZE = 1168;
constexpr size_t FUNCTION_CONTROL_SIZE = 144;
constexpr size_t FUNCTION_ACTIVITY_OFFSET = 136;
constexpr size_t FUNCTION_STATE_OFFSET = 137;
constexpr size_t FUNCTION_PID_OFFSET = 138;
constexpr size_t FUNCTION_MAGIC_OFFSET = 142;
constexpr unsigned char FUNCTION_MAGIC[2] = {'T', 'W'};
// A server that holds its liveness lock (liveness.hpp) says so at offset 56 of the record, so
// that the lock, not a pid another namespace may not see, decides whether it runs.
constexpr size_t FUNCTION_LOCK_MARK_OFFSET = 56;
constexpr uint32_t FUNCTION_LOCK_MARK = 0x4b434f4c; // "LOCK"
// Highest call state a function record holds (function_layout.hpp).
constexpr unsigned char FUNCTION_LAST_STATE = 4;
// Prefix of the private names new objects are built under; user names may not start with it.
constexpr char PRIVATE_PREFIX[] = ".tidewell-new-";
// Prefix of the names of a shared mapping's keys: refused as plain names, so that no plain name
// is ever one of a mapping's keys; only the key functions take such names.
constexpr char KEY_NAME_PREFIX[] = ".tidewell-map-";
// Prefix of the watch tables (watch_table.hpp): refused as plain names too.
constexpr char WATCH_TABLE_PREFIX[] = ".tidewell-watch-";
// Bytes from the start of an object that recognise() reads (fewer when the object is smaller).
constexpr size_t RECOGNISE_BYTES = FUNCTION_CONTROL_SIZE;

// The mutex kind test, read one way: glibc keeps the kind in the word at offset 16 of a
// pthread_mutex_t: PTHREAD_MUTEX_PSHARED_BIT (128), plus 16 for a robust mutex. tidewell's
// mutexes are robust and process-shared; plain process-shared ones come from older versions.
// Anything else is foreign or damaged: locking it could wait forever on an owner that never
// existed.
constexpr size_t MUTEX_KIND_OFFSET = 16;
constexpr int32_t MUTEX_KIND_PSHARED = 128;
constexpr int32_t MUTEX_KIND_PSHARED_ROBUST = 128 | 16;
int32_t mutex_kind_at(const unsigned char* mutex) noexcept;
bool is_segment_mutex_kind(int32_t kind) noexcept;

enum class ObjectKind : unsigned char { VALUE, FUNCTION, TEMPORARY, OTHER, WATCH_TABLE };

struct Recognition {
    ObjectKind kind = ObjectKind::OTHER;
    uint64_t capacity = 0;    // values: the header's capacity
    bool damaged = false;     // values: the capacity claims more than the object holds
    bool busy = false;        // values: the lock word says someone holds the lock now
    bool torn = false;        // values: nobody holds the lock, yet the marker says "being written"
    bool has_pid = false;     // functions: the server; temporaries: the creator (from the name)
    bool lock_marked = false; // functions: the server holds its liveness lock
    pid_t pid = 0;
};

// Classifies the object `file_name` (a name in the shared-memory directory) of `object_size`
// bytes whose first bytes are `head` (at least min(object_size, RECOGNISE_BYTES) of them, read
// with pread or through a mapping). Reads nothing else, waits for nothing.
Recognition recognise(const char* file_name, size_t object_size, const unsigned char* head,
                      size_t head_len) noexcept;

// Whether the first 144 bytes of a 1168-byte object are a function's control record. The marker
// alone is not enough: a value's data area covers offsets 48.. and may hold any bytes. A value
// header keeps its own mutex at offset 8, whose kind word therefore sits at offset 24; a
// function's mutex is at offset 0, its kind word at 16, and offset 24 holds the low half of a
// robust-list pointer, never a mutex kind. So no value can pass.
bool looks_like_function(const unsigned char* record) noexcept;

// Whether the process recorded in an object open as `fd` (-1: none) runs: a function's server
// (its liveness lock when it says it holds one, else its pid), a temporary's creator (its lock,
// else its pid while the temporary changed in the last ten minutes).
bool recorded_process_alive(int fd, const Recognition& r, time_t mtime, time_t now);

// Left behind by a process that is gone, so that it may be removed: a function whose server has
// ended, or a temporary whose creator is not alive and which has not changed for a few seconds.
// `alive` is recorded_process_alive() of the object.
bool is_stale(const Recognition& r, bool alive, time_t mtime, time_t now) noexcept;

// Whether `file_name` (open as `fd`, `st` its stat) is a stale temporary: the sweep of creation
// uses this.
bool is_stale_temporary(const char* file_name, int fd, const struct stat& st, time_t now);

// Everything the command line shows about one name, read without blocking: nothing that is not a
// regular file is opened, the open never waits (O_NONBLOCK, O_NOFOLLOW), the header is read with
// pread, and a value's lock is looked at, not taken.
struct Inspection {
    struct stat st;
    Recognition r;
    bool alive = false; // for an object with a pid
    bool stale = false;
};

// 0, or the errno of the failed lookup (ENOENT: no such name).
int inspect_object(const char* name, Inspection& out);

} // namespace tw
