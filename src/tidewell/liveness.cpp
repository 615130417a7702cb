#include "tidewell/liveness.hpp"
#include "tidewell/segment_common.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace tw {

// Descriptors holding open-file-description locks (liveness locks, watch leases), so that a
// forked child can close its copies: an inherited copy would keep the lock, and with it the
// parent's function, temporary or watch "alive", for as long as the child lives. A child never
// continues its parent's serving, creating or watching. A slot holds fd + 1 (0: free).
constexpr int MAX_KEPT_LOCKS = 512;
static std::atomic<int> kept_fds[MAX_KEPT_LOCKS];
static std::once_flag kept_fds_ready;

static void close_inherited_locks()
{
    for (auto& slot : kept_fds) {
        int kept = slot.exchange(0);
        if (kept > 0) {
            close(kept - 1);
        }
    }
}

bool keep_from_children(int fd)
{
    std::call_once(kept_fds_ready, [] { pthread_atfork(nullptr, nullptr, close_inherited_locks); });
    for (auto& slot : kept_fds) {
        int empty = 0;
        if (slot.compare_exchange_strong(empty, fd + 1)) {
            return true;
        }
    }
    return false;
}

void close_kept(int fd)
{
    // Not found: a fork closed it in this (child) process already.
    for (auto& slot : kept_fds) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0)) {
            close(fd);
            return;
        }
    }
}

bool set_byte_lock(int fd, off_t offset, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

int take_liveness_lock(const char* shm_name, int fd)
{
    int lock_fd = shm_open(shm_name, O_RDWR | O_CLOEXEC, 0);
    if (lock_fd < 0) {
        return -1;
    }
    struct stat mine;
    struct stat theirs;
    bool same = fstat(fd, &mine) == 0 && fstat(lock_fd, &theirs) == 0 &&
                mine.st_ino == theirs.st_ino && mine.st_dev == theirs.st_dev;
    if (same && set_byte_lock(lock_fd, LIVENESS_LOCK_OFFSET, F_WRLCK) &&
        keep_from_children(lock_fd)) {
        return lock_fd;
    }
    close(lock_fd);
    return -1;
}

void drop_liveness_lock(int lock_fd)
{
    if (lock_fd >= 0) {
        close_kept(lock_fd);
    }
}

LockSeen liveness_lock(int fd)
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = LIVENESS_LOCK_OFFSET;
    fl.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &fl) != 0) {
        return LOCK_UNKNOWN;
    }
    return fl.l_type == F_UNLCK ? LOCK_FREE : LOCK_HELD;
}

bool server_alive(int fd, pid_t pid, bool locked)
{
    if (locked) {
        LockSeen seen = liveness_lock(fd);
        if (seen != LOCK_UNKNOWN) {
            return seen == LOCK_HELD;
        }
    }
    return process_alive(pid);
}

bool creator_alive(int fd, pid_t pid, long age_s)
{
    if (liveness_lock(fd) == LOCK_HELD) {
        return true;
    }
    return age_s < TEMPORARY_UNCHANGED_S && process_alive(pid);
}

bool process_alive(pid_t pid)
{
    if (pid <= 0) {
        return false;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    char path[48];
    std::snprintf(path, sizeof(path), "/proc/%ld/stat", static_cast<long>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno != ENOENT;
    }
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) {
        return true;
    }
    buf[n] = '\0';
    // The state letter follows the command name, which is in parentheses and may hold any byte.
    const char* paren = std::strrchr(buf, ')');
    if (paren == nullptr || paren[1] == '\0' || paren[2] == '\0') {
        return true;
    }
    return paren[2] != 'Z' && paren[2] != 'X';
}

bool object_of(int fd, ObjectId& id)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        return false;
    }
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

bool name_refers_to(const char* name, const ObjectId& id)
{
    char path[PATH_MAX];
    if (!segment_path(name, path, sizeof(path))) {
        return false;
    }
    struct stat now;
    return stat(path, &now) == 0 && now.st_ino == id.ino && now.st_dev == id.dev;
}

void unlink_if_same(const char* name, const ObjectId& id)
{
    if (name_refers_to(name, id)) {
        shm_unlink(name);
    }
}

} // namespace tw
