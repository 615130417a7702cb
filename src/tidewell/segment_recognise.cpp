#include "tidewell/segment_recognise.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_object.hpp"
#include "tidewell/watch_table.hpp"

#include <algorithm>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace tw {

static_assert(sizeof(pthread_mutex_t) == 40, "peers rely on a 40-byte mutex");
static_assert(VALUE_MUTEX_OFFSET + sizeof(pthread_mutex_t) == VALUE_HEADER_SIZE);

// Seconds without change before a temporary whose creator is not alive is stale (the creator
// takes its liveness lock right after creating it); creator_alive stops trusting a pid once the
// temporary is unchanged for ten minutes.
constexpr time_t STALE_DEAD_CREATOR_S = 5;
// The owner's thread id in a mutex's lock word (the other bits are flags).
constexpr uint32_t LOCK_OWNER_MASK = 0x3fffffff;

int32_t mutex_kind_at(const unsigned char* mutex) noexcept
{
    int32_t kind;
    std::memcpy(&kind, mutex + MUTEX_KIND_OFFSET, sizeof(kind));
    return kind;
}

bool is_segment_mutex_kind(int32_t kind) noexcept
{
    return kind == MUTEX_KIND_PSHARED_ROBUST || kind == MUTEX_KIND_PSHARED;
}

bool looks_like_function(const unsigned char* record) noexcept
{
    return std::memcmp(record + FUNCTION_MAGIC_OFFSET, FUNCTION_MAGIC, sizeof(FUNCTION_MAGIC)) ==
               0 &&
           mutex_kind_at(record) == MUTEX_KIND_PSHARED_ROBUST &&
           !is_segment_mutex_kind(mutex_kind_at(record + VALUE_MUTEX_OFFSET)) &&
           record[FUNCTION_ACTIVITY_OFFSET] <= 1 &&
           record[FUNCTION_STATE_OFFSET] <= FUNCTION_LAST_STATE;
}

// The pid in a temporary's name, or 0.
static pid_t temporary_pid(const char* file_name)
{
    const char* digits = file_name + sizeof(PRIVATE_PREFIX) - 1;
    char* end;
    long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '-' || pid <= 0 || pid > INT_MAX) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

Recognition recognise(const char* file_name, size_t object_size, const unsigned char* head,
                      size_t head_len) noexcept
{
    Recognition r;
    // The first byte alone settles it for every user name (none may start with the prefix).
    if (file_name[0] == PRIVATE_PREFIX[0] &&
        std::strncmp(file_name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) == 0) {
        r.kind = ObjectKind::TEMPORARY;
        r.pid = temporary_pid(file_name);
        r.has_pid = r.pid != 0;
        return r;
    }
    if (file_name[0] == WATCH_TABLE_PREFIX[0] &&
        std::strncmp(file_name, WATCH_TABLE_PREFIX, sizeof(WATCH_TABLE_PREFIX) - 1) == 0) {
        r.kind = ObjectKind::WATCH_TABLE;
        return r;
    }
    if (object_size == FUNCTION_SEGMENT_SIZE && head_len >= FUNCTION_CONTROL_SIZE &&
        looks_like_function(head)) {
        int32_t pid;
        std::memcpy(&pid, head + FUNCTION_PID_OFFSET, sizeof(pid));
        uint32_t mark;
        std::memcpy(&mark, head + FUNCTION_LOCK_MARK_OFFSET, sizeof(mark));
        r.kind = ObjectKind::FUNCTION;
        r.pid = static_cast<pid_t>(pid);
        r.has_pid = true;
        r.lock_marked = mark == FUNCTION_LOCK_MARK;
        return r;
    }
    if (object_size >= VALUE_HEADER_SIZE && head_len >= VALUE_HEADER_SIZE &&
        is_segment_mutex_kind(mutex_kind_at(head + VALUE_MUTEX_OFFSET))) {
        r.kind = ObjectKind::VALUE;
        std::memcpy(&r.capacity, head, sizeof(r.capacity));
        r.damaged = r.capacity > object_size - VALUE_HEADER_SIZE;
        uint32_t lock_word;
        std::memcpy(&lock_word, head + VALUE_MUTEX_OFFSET, sizeof(lock_word));
        r.busy = (lock_word & LOCK_OWNER_MASK) != 0;
        // A writer died in its copy: an older one leaves the name unreadable, this build's
        // writers leave a redo copy that the next holder of the lock replays.
        r.torn = !r.busy && r.capacity != 0 && !r.damaged && head_len > VALUE_HEADER_SIZE &&
                 head[VALUE_HEADER_SIZE] == 0xFF;
    }
    return r;
}

bool recorded_process_alive(int fd, const Recognition& r, time_t mtime, time_t now)
{
    if (r.kind == ObjectKind::FUNCTION) {
        return server_alive(fd, r.pid, r.lock_marked);
    }
    if (r.kind == ObjectKind::TEMPORARY) {
        return creator_alive(fd, r.pid, static_cast<long>(now - mtime));
    }
    if (r.kind == ObjectKind::WATCH_TABLE) {
        return watch_table_in_use(fd);
    }
    return false;
}

bool is_stale(const Recognition& r, bool alive, time_t mtime, time_t now) noexcept
{
    if (r.kind == ObjectKind::FUNCTION) {
        return !alive;
    }
    // A watch table nobody holds a lease of: writers that still map it look it up again.
    return (r.kind == ObjectKind::TEMPORARY || r.kind == ObjectKind::WATCH_TABLE) && !alive &&
           now - mtime >= STALE_DEAD_CREATOR_S;
}

bool is_stale_temporary(const char* file_name, int fd, const struct stat& st, time_t now)
{
    if (!S_ISREG(st.st_mode)) {
        return false;
    }
    Recognition r = recognise(file_name, static_cast<size_t>(st.st_size), nullptr, 0);
    if (r.kind != ObjectKind::TEMPORARY || now - st.st_mtime < STALE_DEAD_CREATOR_S) {
        return false;
    }
    return is_stale(r, recorded_process_alive(fd, r, st.st_mtime, now), st.st_mtime, now);
}

int inspect_object(const char* name, Inspection& out)
{
    char path[PATH_MAX];
    if (!segment_path(name, path, sizeof(path))) {
        return ENOENT;
    }
    if (lstat(path, &out.st) != 0) {
        return errno;
    }
    out.r = Recognition{};
    out.alive = false;
    out.stale = false;
    if (!S_ISREG(out.st.st_mode)) {
        return 0; // a FIFO, a device, a link, a directory: never opened
    }
    // Not readable here (another user's object): the name and its status are all there is.
    unsigned char head[RECOGNISE_BYTES];
    size_t head_len = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            out.st = st;
            size_t want = std::min(static_cast<size_t>(st.st_size), sizeof(head));
            ssize_t n = pread(fd, head, want, 0);
            head_len = n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    else if (errno == ENOENT) {
        return ENOENT;
    }
    out.r = recognise(name, static_cast<size_t>(out.st.st_size), head, head_len);
    time_t now = time(nullptr);
    // The liveness lock of the very object examined (without a descriptor, the pid decides).
    out.alive = recorded_process_alive(fd, out.r, out.st.st_mtime, now);
    out.stale = is_stale(out.r, out.alive, out.st.st_mtime, now);
    if (fd >= 0) {
        close(fd);
    }
    return 0;
}

} // namespace tw
