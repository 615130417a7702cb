#include "tidewell/segment_common.hpp"
#include "common/py_ref.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

static constexpr char SHM_DIR[] = "/dev/shm/";

bool segment_path(const char* name, char* out, size_t out_size)
{
    // shm_open ignores leading slashes and refuses empty names, names with a slash inside and
    // names of NAME_MAX bytes or more.
    while (*name == '/') {
        ++name;
    }
    size_t len = std::strlen(name);
    if (len == 0 || len + 1 >= NAME_MAX || std::strchr(name, '/') != nullptr ||
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
