#include "tidewell/function_payload.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_object.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_recognise.hpp"
#include "tidewell/segment_table.hpp"

#include <algorithm>
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
#include <utility>

namespace tw {

// Above this, writing a payload releases the GIL (as large value writes do).
constexpr size_t GIL_FREE_WRITE = size_t{1} << 20;
constexpr size_t RECORD_NAME_OFFSET = 9;
// A kept object shrinks (is made again, smaller) after this many writes in a row that used a
// quarter of it or less, once it is larger than this.
constexpr unsigned SHRINK_AFTER_WRITES = 16;
constexpr size_t SHRINK_ABOVE = size_t{4} << 20;
constexpr size_t PAGE_ROUND = 4096;

// The check byte after the keep tag: a tag left over from an earlier call in the data area
// rarely matches another name.
static unsigned char payload_keep_check(const char* name, size_t name_len, uint64_t len)
{
    unsigned sum = 0x5a;
    for (size_t i = 0; i < name_len; ++i) {
        sum = sum * 31 + static_cast<unsigned char>(name[i]);
    }
    return static_cast<unsigned char>(sum ^ len ^ (len >> 8) ^ (len >> 16));
}

const char* payload_problem_text(PayloadProblem problem)
{
    switch (problem) {
    case PayloadProblem::RECORD:
        return "the reference to the payload is damaged";
    case PayloadProblem::MISSING:
        return "the payload is missing";
    case PayloadProblem::FOREIGN:
        return "the payload belongs to another user";
    case PayloadProblem::TRUNCATED:
        return "the payload is truncated";
    case PayloadProblem::SYSTEM:
        return "the payload cannot be read";
    case PayloadProblem::NONE:
        break;
    }
    return "";
}

static int write_all(int fd, const char* bytes, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, bytes + done, len - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return ENOSPC;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// A new payload name for `role_char` ('a', 'r'; upper case for kept objects).
static void payload_name(char* out, char role_char)
{
    static std::atomic<unsigned> counter{0};
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::snprintf(out, PAYLOAD_NAME_MAX, "%s%ld-%u-%c%lx", PRIVATE_PREFIX,
                  static_cast<long>(getpid()), counter.fetch_add(1), role_char,
                  static_cast<unsigned long>(ts.tv_nsec));
}

// Owner-only from its first instant; the group may read it when it may use the function.
// 0 or errno.
static int share_as_function(int fd, const struct stat& function_st)
{
    if ((function_st.st_mode & 0060) != 0) {
        if ((function_st.st_gid != getegid() &&
             fchown(fd, static_cast<uid_t>(-1), function_st.st_gid) != 0) ||
            fchmod(fd, 0640) != 0) {
            return errno;
        }
    }
    return 0;
}

static int create_payload(const char* name)
{
    char path[PATH_MAX];
    segment_path(name, path, sizeof(path));
    return ::open(path, O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
}

Status OutgoingPayload::write(PayloadRole role, const char* bytes, size_t len,
                              const struct stat& function_st)
{
    remove();
    char name[PAYLOAD_NAME_MAX];
    payload_name(name, static_cast<char>(role));
    int fd = create_payload(name);
    if (fd < 0) {
        return failed(Step::ALLOCATE);
    }
    std::memcpy(name_, name, sizeof(name_));
    len_ = len;
    int err = share_as_function(fd, function_st);
    if (err == 0) {
        err = len > GIL_FREE_WRITE ? without_gil([&] { return write_all(fd, bytes, len); })
                                   : write_all(fd, bytes, len);
    }
    close(fd);
    if (err != 0) {
        remove();
        return err < 0 ? Status{Step::RAISED, 0} : failed(Step::ALLOCATE, err);
    }
    return STATUS_OK;
}

size_t OutgoingPayload::record(unsigned char* out) const
{
    out[0] = PAYLOAD_MARKER;
    std::memcpy(out + 1, &len_, sizeof(len_));
    size_t name_len = std::strlen(name_);
    std::memcpy(out + RECORD_NAME_OFFSET, name_, name_len + 1);
    return RECORD_NAME_OFFSET + name_len + 1;
}

void OutgoingPayload::remove() noexcept
{
    if (name_[0] != '\0') {
        int saved = errno;
        shm_unlink(name_);
        errno = saved;
        name_[0] = '\0';
    }
}

PayloadProblem IncomingPayload::open(const unsigned char* record, size_t record_len) noexcept
{
    reset();
    if (record_len < RECORD_NAME_OFFSET + 1 || record[0] != PAYLOAD_MARKER) {
        return PayloadProblem::RECORD;
    }
    std::memcpy(&len_, record + 1, sizeof(len_));
    const char* name = reinterpret_cast<const char*>(record + RECORD_NAME_OFFSET);
    size_t room = std::min(record_len - RECORD_NAME_OFFSET, PAYLOAD_NAME_MAX);
    size_t name_len = strnlen(name, room);
    // Only a payload's own name: never a user's object, never a path.
    if (name_len == room || len_ == 0 || len_ > static_cast<uint64_t>(SSIZE_MAX) ||
        std::strncmp(name, PRIVATE_PREFIX, sizeof(PRIVATE_PREFIX) - 1) != 0 ||
        std::memchr(name, '/', name_len) != nullptr) {
        return PayloadProblem::RECORD;
    }
    std::memcpy(name_, name, name_len + 1);
    size_t tag_at = RECORD_NAME_OFFSET + name_len + 1;
    kept_ = tag_at + 2 <= record_len && record[tag_at] == PAYLOAD_KEEP_TAG &&
            record[tag_at + 1] == payload_keep_check(name_, name_len, len_);
    // A kept object stays mapped in this process's segment table from call to call, when this
    // process may open it read-write (otherwise it is opened for this call alone).
    if (kept_) {
        table_ = segment_open(name_);
        if (table_) {
            return PayloadProblem::NONE;
        }
        if (errno == ENOENT || errno == EPERM) {
            name_[0] = '\0';
            return errno == ENOENT ? PayloadProblem::MISSING : PayloadProblem::FOREIGN;
        }
    }
    char path[PATH_MAX];
    segment_path(name_, path, sizeof(path));
    // Never waits on what is not a regular file (a FIFO planted under the name).
    fd_ = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        name_[0] = '\0';
        return errno == ENOENT                     ? PayloadProblem::MISSING
               : errno == EACCES || errno == ELOOP ? PayloadProblem::FOREIGN
                                                   : PayloadProblem::SYSTEM;
    }
    return PayloadProblem::NONE;
}

PayloadProblem IncomingPayload::map(uid_t owner) noexcept
{
    struct stat st;
    if (table_) {
        st = table_.last_stat();
    }
    else if (fstat(fd_, &st) != 0) {
        return PayloadProblem::SYSTEM;
    }
    if (!S_ISREG(st.st_mode) ||
        (owner != static_cast<uid_t>(-1) ? st.st_uid != owner : !owner_allows(st))) {
        return PayloadProblem::FOREIGN;
    }
    if (static_cast<uint64_t>(st.st_size) < len_) {
        return PayloadProblem::TRUNCATED;
    }
    if (table_) {
        if (!table_.cover(static_cast<size_t>(len_))) {
            return PayloadProblem::SYSTEM;
        }
        map_ = table_.map();
        return PayloadProblem::NONE;
    }
    void* at =
        mmap(nullptr, static_cast<size_t>(len_), PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (at == MAP_FAILED) {
        return PayloadProblem::SYSTEM;
    }
    map_ = static_cast<unsigned char*>(at);
    map_len_ = static_cast<size_t>(len_);
    // A reader's lock lives as long as its descriptor.
    if (!locked_) {
        close(fd_);
        fd_ = -1;
    }
    // A per-call payload is taken: its name is of no further use to anyone.
    if (!kept_) {
        shm_unlink(name_);
    }
    return PayloadProblem::NONE;
}

bool IncomingPayload::lock_for_reading() noexcept
{
    int fd = table_ ? table_.fd() : fd_;
    locked_ = fd >= 0 && set_byte_lock(fd, READER_LOCK_OFFSET, F_RDLCK);
    return locked_;
}

void IncomingPayload::reset() noexcept
{
    int saved = errno;
    if (table_) {
        if (locked_) {
            set_byte_lock(table_.fd(), READER_LOCK_OFFSET, F_UNLCK);
        }
        table_.reset();
        map_ = nullptr;
    }
    if (map_ != nullptr) {
        munmap(map_, map_len_);
        map_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    name_[0] = '\0';
    kept_ = false;
    locked_ = false;
    errno = saved;
}

// ---------------------------------------------------------------------------------------------
// Kept payloads

static size_t round_up_pages(size_t len)
{
    return (len + PAGE_ROUND - 1) / PAGE_ROUND * PAGE_ROUND;
}

// Sets the size and reserves the pages (so a full shared-memory filesystem fails here, not later
// with SIGBUS). The GIL stays held: this runs in the middle of an encoding, which must see no
// other thread, and only when the object grows (by half at least). 0 or an errno value.
static int reserve_pages(int fd, size_t size)
{
    int rc;
    do {
        rc = ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    } while (rc == EINTR);
    while (rc == 0 && (rc = posix_fallocate(fd, 0, static_cast<off_t>(size))) == EINTR) {
    }
    return rc;
}

// 0 or an errno value.
int KeptPayload::make(PayloadRole role, size_t capacity)
{
    char name[PAYLOAD_NAME_MAX];
    payload_name(name, static_cast<char>(static_cast<char>(role) - 'a' + 'A'));
    int fd = create_payload(name);
    if (fd < 0) {
        return errno;
    }
    // Locked before it is of any use, so no sweep ever takes it from this process.
    LivenessLock lock(take_liveness_lock(name, fd));
    int rc = lock.held() ? share_as_function(fd, function_st_) : ENOLCK;
    if (rc == 0) {
        rc = reserve_pages(fd, capacity);
    }
    void* at = MAP_FAILED;
    if (rc == 0) {
        at = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        rc = at == MAP_FAILED ? errno : 0;
    }
    if (rc != 0) {
        int saved = errno;
        shm_unlink(name);
        close(fd);
        errno = saved;
        return rc;
    }
    struct stat st;
    mode_ = fstat(fd, &st) == 0 ? (st.st_mode & 0777) : 0;
    pid_ = getpid();
    fd_ = fd;
    lock_ = std::move(lock);
    map_ = static_cast<unsigned char*>(at);
    capacity_ = capacity;
    small_writes_ = 0;
    std::memcpy(name_, name, sizeof(name_));
    return 0;
}

// Grows the object in place: nobody maps it now (its reader, if any, has finished), and a
// reader of an earlier size only ever maps what its reference states.
int KeptPayload::grow(size_t capacity)
{
    int rc = reserve_pages(fd_, capacity);
    if (rc != 0) {
        return rc;
    }
    void* at = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (at == MAP_FAILED) {
        return errno;
    }
    munmap(map_, capacity_);
    map_ = static_cast<unsigned char*>(at);
    capacity_ = capacity;
    return 0;
}

unsigned char* KeptPayload::begin(PayloadRole role, size_t capacity, const struct stat& function_st,
                                  int& err)
{
    if (fd_ >= 0) {
        struct stat st;
        // A forked child writes its own object. A reader of an older build unlinks what it
        // reads; the object may have been cut short or given away, or the function's mode
        // changed; a large one that has long been used a little is made again smaller.
        if (pid_ != getpid() || fstat(fd_, &st) != 0 || st.st_nlink == 0 ||
            static_cast<uint64_t>(st.st_size) < capacity_ || st.st_uid != geteuid() ||
            (st.st_mode & 0777) != mode_ ||
            (function_st.st_mode & 0060) != (function_st_.st_mode & 0060) ||
            function_st.st_gid != function_st_.st_gid || small_writes_ >= SHRINK_AFTER_WRITES) {
            remove();
        }
    }
    if (fd_ < 0) {
        function_st_ = function_st;
        err = make(role, round_up_pages(capacity));
        return err == 0 ? map_ : nullptr;
    }
    return grow_to(capacity, err);
}

unsigned char* KeptPayload::grow_to(size_t capacity, int& err)
{
    err = capacity > capacity_ ? grow(round_up_pages(std::max(capacity, capacity_ + capacity_ / 2)))
                               : 0;
    if (err != 0) {
        remove();
        return nullptr;
    }
    return map_;
}

void KeptPayload::finish(size_t len) noexcept
{
    len_ = len;
    // Written through its mapping, the object keeps its times: it is touched at least once a
    // second, so that when its writer dies just after a call, the sweep (which takes a dead
    // writer's objects once they are unchanged for 5 s) leaves the reader time to open it.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec != touched_sec_ && fd_ >= 0 && futimens(fd_, nullptr) == 0) {
        touched_sec_ = now.tv_sec;
    }
    if (capacity_ > SHRINK_ABOVE && len <= capacity_ / 4) {
        ++small_writes_;
    }
    else {
        small_writes_ = 0;
    }
}

size_t KeptPayload::record(unsigned char* out) const
{
    out[0] = PAYLOAD_MARKER;
    std::memcpy(out + 1, &len_, sizeof(len_));
    size_t name_len = std::strlen(name_);
    std::memcpy(out + RECORD_NAME_OFFSET, name_, name_len + 1);
    size_t at = RECORD_NAME_OFFSET + name_len + 1;
    out[at] = PAYLOAD_KEEP_TAG;
    out[at + 1] = payload_keep_check(name_, name_len, len_);
    return at + 2;
}

bool KeptPayload::has_reader() const noexcept
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = READER_LOCK_OFFSET;
    fl.l_len = 1;
    if (fd_ < 0) {
        return false;
    }
    return fcntl(fd_, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
}

void KeptPayload::remove() noexcept
{
    if (fd_ < 0) {
        return;
    }
    int saved = errno;
    bool ours = pid_ == getpid();
    if (ours) {
        shm_unlink(name_);
    }
    munmap(map_, capacity_);
    close(fd_);
    if (ours) {
        lock_ = LivenessLock();
    }
    else {
        lock_.disown();
    }
    fd_ = -1;
    map_ = nullptr;
    capacity_ = 0;
    len_ = 0;
    small_writes_ = 0;
    name_[0] = '\0';
    errno = saved;
}

void KeptPayload::unlink_at_exit() noexcept
{
    if (fd_ >= 0 && pid_ == getpid()) {
        shm_unlink(name_);
    }
}

} // namespace tw
