#pragma once
#include "tidewell/segment_object.hpp"

#include <sys/types.h>

// Whether the other party of a call is still there, and whether a name still refers to the
// object a process holds open. No Python API: these run with the GIL released.
//
// A pid says little across pid namespaces (a server in a container records its own pid there),
// so the processes that build a temporary or serve a function also hold a liveness lock: an
// open-file-description write lock (F_OFD_SETLK) on byte LIVENESS_LOCK_OFFSET of the object,
// taken through a descriptor of its own that is never mapped. The kernel drops it when the
// holder's last copy of that descriptor closes, so when the process ends however it ends; a
// forked child closes its copy at once. Any process that can open the object asks F_OFD_GETLK,
// whatever its namespace. The pid is the fallback for objects of builds that take no lock.
namespace tw {

constexpr off_t LIVENESS_LOCK_OFFSET = 0;

// False once the process is gone or a zombie (a killed child stays one until its parent reaps
// it, and kill() still finds it).
bool process_alive(pid_t pid);

// Opens a second descriptor of the object named `shm_name` (which must be the object open as
// `fd`) and takes the liveness lock on it. The descriptor, or -1 (no lock: the kernel has no
// such locks, or too many are held) with nothing left open. Release it with
// drop_liveness_lock.
int take_liveness_lock(const char* shm_name, int fd);
void drop_liveness_lock(int lock_fd);

// Open-file-description locks of this process only. keep_from_children records a descriptor
// that holds such a lock, so that a forked child closes its copy at once (false when too many
// are kept); close_kept closes it, unless a fork closed it here already. set_byte_lock sets
// (F_WRLCK, F_RDLCK) or clears (F_UNLCK) the lock on one byte without waiting.
bool keep_from_children(int fd);
void close_kept(int fd);
bool set_byte_lock(int fd, off_t offset, short type);

// Owns a liveness lock's descriptor (or none); the destructor drops it.
class LivenessLock {
  public:
    LivenessLock() = default;
    explicit LivenessLock(int lock_fd) : fd_(lock_fd) {}
    LivenessLock(LivenessLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    LivenessLock& operator=(LivenessLock&& other) noexcept
    {
        if (this != &other) {
            drop_liveness_lock(fd_);
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    LivenessLock(const LivenessLock&) = delete;
    LivenessLock& operator=(const LivenessLock&) = delete;
    ~LivenessLock() { drop_liveness_lock(fd_); }

    bool held() const { return fd_ >= 0; }
    // In a forked child: the descriptor was closed at the fork (its number may be another's now).
    void disown() noexcept { fd_ = -1; }

  private:
    int fd_ = -1;
};

enum LockSeen { LOCK_HELD, LOCK_FREE, LOCK_UNKNOWN };

// Whether some process holds the liveness lock of the object open as `fd` (any access mode).
// This process's own lock counts too, unless `fd` is the very descriptor it was taken on.
LockSeen liveness_lock(int fd);

// The process serving a function open as `fd`: `locked` when the function's record says its
// server holds the lock (then the lock alone decides, the pid may belong to another namespace),
// else its recorded pid.
bool server_alive(int fd, pid_t pid, bool locked);

// The process building a temporary open as `fd` (its pid from the temporary's name, 0 if none;
// `age_s` since it last changed): alive while the lock is held; otherwise by its pid, but never
// once it is unchanged for TEMPORARY_UNCHANGED_S (the pid may be reused, or another namespace's).
constexpr long TEMPORARY_UNCHANGED_S = 600;
bool creator_alive(int fd, pid_t pid, long age_s);

// The identity of the object open as `fd`. False when fstat fails.
bool object_of(int fd, ObjectId& id);

// Whether segment `name` still refers to the object `id`.
bool name_refers_to(const char* name, const ObjectId& id);

// Unlinks `name` only while it still refers to `id`: after a remove_memory the name may already
// belong to someone else's new segment. Linux has no unlink-if-same, so a name removed and
// created again between the check and the unlink (microseconds) would still be lost; every
// tidewell creation takes a new inode, and nobody but a remover races here.
void unlink_if_same(const char* name, const ObjectId& id);

} // namespace tw
