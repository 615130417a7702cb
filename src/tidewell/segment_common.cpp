#include "tidewell/segment_common.hpp"
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

namespace tw {

static constexpr char SHM_DIR[] = "/dev/shm/";

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
    else if (std::strncmp(name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) == 0) {
        problem = "Shared memory names starting with '.tidewell-new-' are reserved.";
    }
    else if ((std::strncmp(name, KEY_NAME_PREFIX, sizeof(KEY_NAME_PREFIX) - 1) == 0) != key_name) {
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

bool segment_path(const char* name, char* out, size_t out_size)
{
    while (*name == '/') {
        ++name;
    }
    size_t len = std::strlen(name);
    if (len == 0 || len > MAX_NAME_BYTES || std::strchr(name, '/') != nullptr ||
        sizeof(SHM_DIR) + len > out_size) {
        errno = EINVAL;
        return false;
    }
    std::snprintf(out, out_size, "%s%s", SHM_DIR, name);
    return true;
}

PyObject* raise_segment_error(const char* format, const char* name)
{
    // A "Failed to ..." message reports a system call that set errno: an OSError chained as the
    // cause carries the reason. Lock failures come from a pthread return code, not errno, and
    // the other messages state their reason themselves.
    int saved_errno = errno;
    if (saved_errno == 0 || std::strncmp(format, "Failed to ", 10) != 0 ||
        std::strstr(format, " lock ") != nullptr) {
        PyErr_Format(PyExc_MemoryError, format, name);
        return nullptr;
    }
    PyRef message(PyUnicode_FromFormat(format, name));
    PyRef error(message ? PyObject_CallOneArg(PyExc_MemoryError, message.get()) : nullptr);
    if (!error) {
        return nullptr;
    }
    PyObject* cause =
        PyObject_CallFunction(PyExc_OSError, "is", saved_errno, std::strerror(saved_errno));
    if (cause == nullptr) {
        return nullptr;
    }
    PyException_SetCause(error.get(), cause); // steals cause
    PyErr_SetObject(PyExc_MemoryError, error.get());
    return nullptr;
}

// Deep enough for any realistic nesting (a finalizer that reads another name while a read is
// decoding, and so on); beyond it an operation fails instead of growing without bound.
constexpr int MAX_HELD = 32;
static thread_local ObjectId held[MAX_HELD];
static thread_local int held_count = 0;

bool enter_held(ObjectId id, const char* name)
{
    for (int i = 0; i < held_count; ++i) {
        if (held[i].ino == id.ino && held[i].dev == id.dev) {
            PyErr_Format(PyExc_RuntimeError,
                         "The shared memory address '%s' is already in use by this thread (a "
                         "signal handler, finalizer or callback ran while it was locked).",
                         name);
            return false;
        }
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

constexpr time_t STALE_DEAD_CREATOR_S = 5;
constexpr time_t STALE_ANY_S = 600;
// A process sweeps at its first creation, then at most this often.
constexpr time_t SWEEP_INTERVAL_S = 10;

bool is_stale_temporary(const char* file_name, const struct stat& st, time_t now)
{
    constexpr size_t prefix_len = sizeof(PRIVATE_PREFIX) - 1;
    if (std::strncmp(file_name, PRIVATE_PREFIX, prefix_len) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    time_t age = now - st.st_mtime;
    if (age >= STALE_ANY_S) {
        return true;
    }
    char* end;
    long pid = std::strtol(file_name + prefix_len, &end, 10);
    if (end == file_name + prefix_len || *end != '-' || pid <= 0 || pid > INT_MAX) {
        return age >= STALE_DEAD_CREATOR_S;
    }
    bool gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    return gone && age >= STALE_DEAD_CREATOR_S;
}

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
        struct stat st;
        if (std::strncmp(entry->d_name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) == 0 &&
            fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            is_stale_temporary(entry->d_name, st, now) && unlinkat(dir_fd, entry->d_name, 0) == 0) {
            ++removed;
        }
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
// removed object from a live one; link + unlink is the fallback where it is not supported.
static int publish(const char* private_name, const char* private_path, const char* final_path)
{
    if (renameat2(AT_FDCWD, private_path, AT_FDCWD, final_path, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    int saved_errno = errno;
    if (saved_errno == EINVAL || saved_errno == ENOSYS) {
        int linked = link(private_path, final_path);
        saved_errno = errno;
        shm_unlink(private_name);
        errno = saved_errno;
        return linked;
    }
    shm_unlink(private_name);
    errno = saved_errno;
    return -1;
}

int create_segment(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                   void* ctx, unsigned char** keep_map)
{
    return create_segment_fd(name, object_size, map_size, init, ctx, keep_map, nullptr);
}

int create_segment_fd(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                      void* ctx, unsigned char** keep_map, int* keep_fd)
{
    char final_path[PATH_MAX];
    if (!segment_path(name, final_path, sizeof(final_path))) {
        return 0;
    }
    // Cheap early answer; publishing is what really decides. A name held by an object this
    // process does not trust is refused, not reported as simply existing.
    int taken = check_taken_name(final_path, name);
    if (taken != 0) {
        return taken < 0 ? -1 : 0;
    }
    sweep_temporaries_now_and_then();
    char private_name[64];
    char private_path[PATH_MAX];
    make_private_name(private_name, sizeof(private_name));
    segment_path(private_name, private_path, sizeof(private_path));

    int fd = shm_open(private_name, O_CREAT | O_EXCL | O_RDWR, SEGMENT_MODE);
    if (fd < 0) {
        return 0;
    }
    const char* failure = prepare_new_segment(fd);
    unsigned char* map = nullptr;
    int sized = failure == nullptr ? size_and_reserve(fd, object_size) : 0;
    if (sized < 0) {
        // A signal handler raised: its exception stands.
        close(fd);
        shm_unlink(private_name);
        return -1;
    }
    if (sized != 0) {
        failure = "Failed to allocate for shared memory address '%s'.";
    }
    if (failure == nullptr) {
        void* addr = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            failure = "Failed to map shared memory address '%s'.";
        }
        else {
            map = static_cast<unsigned char*>(addr);
            failure = init(map, ctx);
        }
    }
    if (failure != nullptr) {
        close(fd);
        if (map != nullptr) {
            munmap(map, map_size);
        }
        shm_unlink(private_name);
        raise_segment_error(failure, name);
        return -1;
    }
    if (publish(private_name, private_path, final_path) != 0) {
        int saved_errno = errno;
        close(fd);
        munmap(map, map_size);
        if (saved_errno == EEXIST && check_taken_name(final_path, name) < 0) {
            return -1;
        }
        errno = saved_errno;
        return 0;
    }
    if (keep_fd != nullptr) {
        *keep_fd = fd;
    }
    else {
        close(fd);
    }
    if (keep_map != nullptr) {
        *keep_map = map;
    }
    else {
        munmap(map, map_size);
    }
    return 1;
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

bool looks_like_segment_mutex(const pthread_mutex_t* mutex)
{
    // glibc keeps the mutex kind in __data.__kind: PTHREAD_MUTEX_PSHARED_BIT (128), plus
    // PTHREAD_MUTEX_ROBUST_NORMAL_NP (16) for robust ones.
    constexpr int PSHARED_NORMAL = 128;
    constexpr int PSHARED_ROBUST = 128 | 16;
    int kind = __atomic_load_n(&mutex->__data.__kind, __ATOMIC_RELAXED);
    return kind == PSHARED_ROBUST || kind == PSHARED_NORMAL;
}

LockResult lock_segment_mutex(pthread_mutex_t* mutex, const char* name)
{
    int rc = pthread_mutex_trylock(mutex);
    while (rc == EBUSY || rc == ETIMEDOUT) {
        Py_BEGIN_ALLOW_THREADS
            struct timespec deadline = deadline_after_ms(100);
            rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
        Py_END_ALLOW_THREADS
        if (rc == ETIMEDOUT && PyErr_CheckSignals() < 0) {
            return LOCK_FAILED;
        }
    }
    if (rc == EOWNERDEAD) {
        // The previous owner died holding the lock; what it guarded may be half-written, which
        // the callers are built to tolerate.
        pthread_mutex_consistent(mutex);
        return LOCK_OWNER_DIED;
    }
    if (rc != 0) {
        raise_segment_error("Failed to lock the shared memory address '%s'.", name);
        return LOCK_FAILED;
    }
    return LOCK_OK;
}

} // namespace tw
