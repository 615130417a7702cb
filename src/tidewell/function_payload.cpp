#include "tidewell/function_payload.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_object.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_recognise.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace tw {

// Above this, writing a payload releases the GIL (as large value writes do).
constexpr size_t GIL_FREE_WRITE = size_t{1} << 20;
constexpr size_t RECORD_NAME_OFFSET = 9;

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

Status OutgoingPayload::write(PayloadRole role, const char* bytes, size_t len,
                              const struct stat& function_st)
{
    static std::atomic<unsigned> counter{0};
    remove();
    char name[PAYLOAD_NAME_MAX];
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::snprintf(name, sizeof(name), "%s%ld-%u-%c%lx", PRIVATE_PREFIX, static_cast<long>(getpid()),
                  counter.fetch_add(1), static_cast<char>(role),
                  static_cast<unsigned long>(ts.tv_nsec));
    char path[PATH_MAX];
    segment_path(name, path, sizeof(path));
    int fd = ::open(path, O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return failed(Step::ALLOCATE);
    }
    std::memcpy(name_, name, sizeof(name_));
    len_ = len;
    // Owner-only from its first instant; the group may read it when it may use the function.
    int err = 0;
    if ((function_st.st_mode & 0060) != 0) {
        if ((function_st.st_gid != getegid() &&
             fchown(fd, static_cast<uid_t>(-1), function_st.st_gid) != 0) ||
            fchmod(fd, 0640) != 0) {
            err = errno;
        }
    }
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
    if (fstat(fd_, &st) != 0) {
        return PayloadProblem::SYSTEM;
    }
    if (!S_ISREG(st.st_mode) ||
        (owner != static_cast<uid_t>(-1) ? st.st_uid != owner : !owner_allows(st))) {
        return PayloadProblem::FOREIGN;
    }
    if (static_cast<uint64_t>(st.st_size) < len_) {
        return PayloadProblem::TRUNCATED;
    }
    void* at =
        mmap(nullptr, static_cast<size_t>(len_), PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (at == MAP_FAILED) {
        return PayloadProblem::SYSTEM;
    }
    map_ = static_cast<unsigned char*>(at);
    map_len_ = static_cast<size_t>(len_);
    close(fd_);
    fd_ = -1;
    // The payload is taken: its name is of no further use to anyone.
    shm_unlink(name_);
    return PayloadProblem::NONE;
}

void IncomingPayload::reset() noexcept
{
    int saved = errno;
    if (map_ != nullptr) {
        munmap(map_, map_len_);
        map_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    name_[0] = '\0';
    errno = saved;
}

} // namespace tw
