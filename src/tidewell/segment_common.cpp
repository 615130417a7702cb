#include "tidewell/segment_common.hpp"
#include "tidewell/liveness.hpp"
#include "common/py_ref.hpp"
#include "tidewell/segment_owner.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace tw {

static_assert(MAX_NAME_BYTES == NAME_MAX, "a segment name is one file name");

static NameResult check_name(PyObject* arg, const char** out, bool key_name)
{
    if (!PyUnicode_Check(arg)) {
        return NAME_NOT_STR;
    }
    Py_ssize_t size;
    const char* name = PyUnicode_AsUTF8AndSize(arg, &size);
    if (name == nullptr) {
        // Not encodable as UTF-8 (a lone surrogate): an argument error like any other. Anything
        // else (no memory) stands.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) {
            return NAME_INVALID;
        }
        PyErr_Clear();
        return NAME_NOT_STR;
    }
    auto len = static_cast<size_t>(size);
    if (len > 0 && name[0] == '/') {
        ++name;
        --len;
    }
    const char* problem = nullptr;
    if (len == 0) {
        problem = "A shared memory name must not be empty.";
    }
    else if (std::memchr(name, '\0', len) != nullptr) {
        problem = "A shared memory name must not contain a NUL character.";
    }
    else if (std::memchr(name, '/', len) != nullptr) {
        problem = "A shared memory name must not contain '/' after its first character.";
    }
    else if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        problem = "A shared memory name must not be '.' or '..'.";
    }
    else if (len > MAX_NAME_BYTES) {
        PyErr_Format(PyExc_ValueError,
                     "A shared memory name must be at most %d bytes in UTF-8 (this one has %zu).",
                     static_cast<int>(MAX_NAME_BYTES), len);
        return NAME_INVALID;
    }
    // The reserved prefixes start with '.': most names are told apart by their first byte.
    else if (name[0] == PRIVATE_PREFIX[0] &&
             std::strncmp(name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) == 0) {
        problem = "Shared memory names starting with '.tidewell-new-' are reserved.";
    }
    else if (name[0] == WATCH_TABLE_PREFIX[0] &&
             std::strncmp(name, WATCH_TABLE_PREFIX, sizeof(WATCH_TABLE_PREFIX) - 1) == 0) {
        problem = "Shared memory names starting with '.tidewell-watch-' are reserved.";
    }
    else if ((name[0] == KEY_NAME_PREFIX[0] &&
              std::strncmp(name, KEY_NAME_PREFIX, sizeof(KEY_NAME_PREFIX) - 1) == 0) != key_name) {
        problem = key_name ? "A mapping key's name must start with '.tidewell-map-'."
                           : "Shared memory names starting with '.tidewell-map-' are reserved.";
    }
    if (problem != nullptr) {
        PyErr_SetString(PyExc_ValueError, problem);
        return NAME_INVALID;
    }
    *out = name;
    return NAME_OK;
}

NameResult check_segment_name(PyObject* arg, const char** out)
{
    return check_name(arg, out, false);
}

NameResult check_key_name(PyObject* arg, const char** out)
{
    return check_name(arg, out, true);
}

// Deep enough for any realistic nesting (a finalizer that reads another name while a read is
// decoding, and so on); beyond it an operation fails instead of growing without bound.
constexpr int MAX_HELD = 32;
static thread_local ObjectId held[MAX_HELD];
static thread_local int held_count = 0;

static bool holds(ObjectId id)
{
    for (int i = 0; i < held_count; ++i) {
        if (held[i].ino == id.ino && held[i].dev == id.dev) {
            return true;
        }
    }
    return false;
}

static void raise_held(const char* name)
{
    PyErr_Format(PyExc_RuntimeError,
                 "The shared memory address '%s' is already in use by this thread (a signal "
                 "handler, finalizer or callback ran while it was locked).",
                 name);
}

bool refuse_if_held(const char* path, const char* name)
{
    struct stat st;
    if (held_count == 0 || lstat(path, &st) != 0 || !holds(ObjectId{st.st_dev, st.st_ino})) {
        return false;
    }
    raise_held(name);
    return true;
}

bool enter_held(ObjectId id, const char* name)
{
    if (holds(id)) {
        raise_held(name);
        return false;
    }
    if (held_count == MAX_HELD) {
        PyErr_Format(PyExc_RuntimeError,
                     "Too many nested shared memory operations in this thread at '%s'.", name);
        return false;
    }
    held[held_count++] = id;
    return true;
}

void leave_held(ObjectId id)
{
    for (int i = held_count - 1; i >= 0; --i) {
        if (held[i].ino == id.ino && held[i].dev == id.dev) {
            held[i] = held[--held_count];
            return;
        }
    }
}

struct timespec deadline_after_ms(long ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// Private name under which a segment is built before it is published.
static void make_private_name(char* out, size_t out_size)
{
    static std::atomic<unsigned> counter{0};
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::snprintf(out, out_size, ".tidewell-new-%ld-%u-%lx", static_cast<long>(getpid()),
                  counter.fetch_add(1), static_cast<unsigned long>(ts.tv_nsec));
}

// A process sweeps at its first creation, then at most this often.
constexpr time_t SWEEP_INTERVAL_S = 10;

int remove_stale_temporaries()
{
    DIR* dir = opendir(SHM_DIR);
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    time_t now = time(nullptr);
    int dir_fd = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) != 0) {
            continue;
        }
        // Never blocks on open (a FIFO planted under the prefix) and asks the lock of the very
        // object it examined.
        int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st;
        if (fstat(fd, &st) == 0 && is_stale_temporary(entry->d_name, fd, st, now) &&
            unlinkat(dir_fd, entry->d_name, 0) == 0) {
            ++removed;
        }
        close(fd);
    }
    closedir(dir);
    return removed;
}

// Cheap enough to run on every creation, but bounded: a directory scan at most every few
// seconds per process, with the GIL released.
static void sweep_temporaries_now_and_then()
{
    static time_t last_sweep = 0;
    time_t now = time(nullptr);
    if (last_sweep != 0 && now - last_sweep < SWEEP_INTERVAL_S) {
        return;
    }
    last_sweep = now;
    Py_BEGIN_ALLOW_THREADS
        remove_stale_temporaries();
    Py_END_ALLOW_THREADS
}

int size_and_reserve(int fd, off_t size)
{
    int rc = without_gil([&] { return ftruncate(fd, size) == 0 ? 0 : errno; });
    if (rc == 0) {
        rc = without_gil([&] { return posix_fallocate(fd, 0, size); });
    }
    return rc;
}

// Publishes the private object under `final_path` in one step that fails if the name exists.
// renameat2 leaves the object exactly one link, which the segment table relies on to tell a
// removed object from a live one; link + unlink is the fallback where it is not supported (the
// private name still links the object then, and stays the draft's to unlink). 0 renamed, 1
// linked, or -1 with errno set.
static int publish(const char* private_path, const char* final_path)
{
    if (renameat2(AT_FDCWD, private_path, AT_FDCWD, final_path, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        return link(private_path, final_path) == 0 ? 1 : -1;
    }
    return -1;
}

Status create_segment(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                      void* ctx, MappedObject& out, LivenessLock* keep_lock)
{
    char final_path[PATH_MAX];
    if (!segment_path(name, final_path, sizeof(final_path))) {
        return failed(Step::NOT_CREATED);
    }
    // Cheap early answer; publishing is what really decides. A name held by an object this
    // process does not trust is refused, not reported as simply existing.
    int taken = check_taken_name(final_path, name);
    if (taken != 0) {
        return taken < 0 ? Status{Step::RAISED, 0} : failed(Step::EXISTS, EEXIST);
    }
    sweep_temporaries_now_and_then();
    char private_name[64];
    char private_path[PATH_MAX];
    make_private_name(private_name, sizeof(private_name));
    segment_path(private_name, private_path, sizeof(private_path));

    MappedObject draft;
    if (!draft.open(private_name, O_CREAT | O_EXCL | O_RDWR, SEGMENT_MODE)) {
        return failed(Step::NOT_CREATED);
    }
    draft.draft(private_name);
    // The temporary carries its creator's liveness lock from its first instant; without
    // `keep_lock` the lock goes when this returns, with the object published or not.
    LivenessLock lock(take_liveness_lock(private_name, draft.fd()));
    if (keep_lock != nullptr) {
        *keep_lock = std::move(lock);
    }
    Status status = prepare_new_segment(draft.fd());
    if (!status) {
        return status;
    }
    status = gil_free_status(size_and_reserve(draft.fd(), object_size), Step::ALLOCATE);
    if (!status) {
        return status;
    }
    if (!draft.map(map_size)) {
        return failed(Step::MAP);
    }
    status = init(draft.data(), ctx);
    if (!status) {
        return status;
    }
    int published = publish(private_path, final_path);
    if (published < 0) {
        int saved_errno = errno;
        if (saved_errno == EEXIST) {
            return check_taken_name(final_path, name) < 0 ? Status{Step::RAISED, 0}
                                                          : failed(Step::EXISTS, EEXIST);
        }
        return failed(Step::NOT_CREATED, saved_errno);
    }
    if (published == 0) {
        draft.published(); // renamed: the private name is gone
    }
    else {
        shm_unlink(private_name);
        draft.published();
    }
    out = std::move(draft);
    return STATUS_OK;
}

int init_robust_mutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) {
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(mutex, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return rc;
}

Status lock_segment_mutex(pthread_mutex_t* mutex)
{
    int rc = pthread_mutex_trylock(mutex);
    while (rc == EBUSY || rc == ETIMEDOUT) {
        Py_BEGIN_ALLOW_THREADS
            struct timespec deadline = deadline_after_ms(100);
            rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
        Py_END_ALLOW_THREADS
        if (rc == ETIMEDOUT && PyErr_CheckSignals() < 0) {
            return Status{Step::RAISED, 0};
        }
    }
    if (rc == EOWNERDEAD) {
        // The previous owner died holding the lock; what it guarded may be half-written, which
        // the callers are built to tolerate.
        pthread_mutex_consistent(mutex);
        return STATUS_OK;
    }
    return rc == 0 ? STATUS_OK : failed(Step::LOCK, rc);
}

} // namespace tw
