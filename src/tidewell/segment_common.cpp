#include "tidewell/segment_common.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

static constexpr char SHM_DIR[] = "/dev/shm/";

static_assert(MAX_NAME_BYTES == NAME_MAX, "a segment name is one file name");

NameResult check_segment_name(PyObject* arg, const char** out)
{
    if (!PyUnicode_Check(arg)) {
        return NAME_NOT_STR;
    }
    Py_ssize_t size;
    const char* name = PyUnicode_AsUTF8AndSize(arg, &size);
    if (name == nullptr) {
        // Not encodable as UTF-8 (a lone surrogate): an argument error like any other.
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
    if (problem != nullptr) {
        PyErr_SetString(PyExc_ValueError, problem);
        return NAME_INVALID;
    }
    *out = name;
    return NAME_OK;
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
    PyErr_Format(PyExc_MemoryError, format, name);
    return nullptr;
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

int create_segment(const char* name, off_t object_size, size_t map_size, SegmentInit init,
                   void* ctx, unsigned char** keep_map)
{
    char final_path[PATH_MAX];
    if (!segment_path(name, final_path, sizeof(final_path))) {
        return 0;
    }
    // Cheap early answer; the link below is what really decides.
    if (access(final_path, F_OK) == 0) {
        errno = EEXIST;
        return 0;
    }
    char private_name[64];
    char private_path[PATH_MAX];
    make_private_name(private_name, sizeof(private_name));
    segment_path(private_name, private_path, sizeof(private_path));

    int fd = shm_open(private_name, O_CREAT | O_EXCL | O_RDWR, SEGMENT_MODE);
    if (fd < 0) {
        return 0;
    }
    const char* failure = nullptr;
    unsigned char* map = nullptr;
    if (ftruncate(fd, object_size) != 0 || posix_fallocate(fd, 0, object_size) != 0) {
        failure = "Failed to allocate for shared memory address '%s'.";
    }
    else {
        void* addr = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            failure = "Failed to map shared memory address '%s'.";
        }
        else {
            map = static_cast<unsigned char*>(addr);
            failure = init(map, ctx);
        }
    }
    close(fd);
    if (failure != nullptr) {
        if (map != nullptr) {
            munmap(map, map_size);
        }
        shm_unlink(private_name);
        raise_segment_error(failure, name);
        return -1;
    }
    int linked = link(private_path, final_path);
    int saved_errno = errno;
    shm_unlink(private_name);
    if (linked != 0) {
        munmap(map, map_size);
        errno = saved_errno;
        return 0;
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

// A robust mutex keeps its owner's thread id in its futex word (the kernel clears it when the
// owner dies), whichever mapping of the segment it is seen through.
static bool held_by_this_thread(pthread_mutex_t* mutex)
{
    auto word = static_cast<unsigned>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED));
    return (word & FUTEX_TID_MASK) == static_cast<unsigned>(gettid());
}

LockResult lock_segment_mutex(pthread_mutex_t* mutex, const char* name)
{
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EBUSY && held_by_this_thread(mutex)) {
        // Python code run under this lock (an update function, a finalizer, a signal handler)
        // reached the same name: waiting would be waiting for itself.
        PyErr_Format(PyExc_RuntimeError,
                     "The shared memory address '%s' is already locked by this thread: code run "
                     "under its lock cannot use the same name.",
                     name);
        return LOCK_FAILED;
    }
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
