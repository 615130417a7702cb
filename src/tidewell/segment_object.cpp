#include "tidewell/segment_object.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tw {

bool segment_path(const char* name, char* out, size_t out_size)
{
    while (*name == '/') {
        ++name;
    }
    size_t len = std::strlen(name);
    if (len == 0 || len > NAME_MAX || std::strchr(name, '/') != nullptr ||
        sizeof(SHM_DIR) + len > out_size) {
        errno = EINVAL;
        return false;
    }
    std::snprintf(out, out_size, "%s%s", SHM_DIR, name);
    return true;
}

MappedObject::MappedObject(MappedObject&& other) noexcept
    : fd_(other.fd_), map_(other.map_), map_len_(other.map_len_)
{
    std::memcpy(draft_, other.draft_, sizeof(draft_));
    other.fd_ = -1;
    other.map_ = nullptr;
    other.map_len_ = 0;
    other.draft_[0] = '\0';
}

MappedObject& MappedObject::operator=(MappedObject&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        map_ = other.map_;
        map_len_ = other.map_len_;
        std::memcpy(draft_, other.draft_, sizeof(draft_));
        other.fd_ = -1;
        other.map_ = nullptr;
        other.map_len_ = 0;
        other.draft_[0] = '\0';
    }
    return *this;
}

bool MappedObject::open(const char* name, int flags, mode_t mode) noexcept
{
    int fd = shm_open(name, flags, mode);
    if (fd < 0) {
        return false;
    }
    adopt_fd(fd);
    return true;
}

void MappedObject::adopt_fd(int fd) noexcept
{
    close_fd();
    fd_ = fd;
}

bool MappedObject::map(size_t len) noexcept
{
    void* addr = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (addr == MAP_FAILED) {
        return false;
    }
    unmap();
    map_ = static_cast<unsigned char*>(addr);
    map_len_ = len;
    return true;
}

void MappedObject::draft(const char* private_name) noexcept
{
    size_t len = std::strlen(private_name);
    if (len >= sizeof(draft_)) {
        len = sizeof(draft_) - 1;
    }
    std::memcpy(draft_, private_name, len);
    draft_[len] = '\0';
}

int MappedObject::release_fd() noexcept
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void MappedObject::close_fd() noexcept
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void MappedObject::unmap() noexcept
{
    if (map_ != nullptr) {
        munmap(map_, map_len_);
        map_ = nullptr;
        map_len_ = 0;
    }
}

void MappedObject::reset() noexcept
{
    int saved = errno;
    unmap();
    close_fd();
    if (draft_[0] != '\0') {
        shm_unlink(draft_);
        draft_[0] = '\0';
    }
    errno = saved;
}

} // namespace tw
