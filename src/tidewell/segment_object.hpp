#pragma once
#include <sys/types.h>
#include <cstddef>

// One open shared-memory object: its descriptor and one mapping of it, both released by the
// destructor. Move-only. A draft is an object built under a private name and not yet published:
// unless published() is called, dropping it also unlinks that private name, so a creation that
// fails anywhere leaves nothing behind.
namespace tw {

// Identity of a shared object, the same in every process and through every mapping.
struct ObjectId {
    dev_t dev;
    ino_t ino;
};

// The shared-memory directory, with its trailing '/'.
constexpr char SHM_DIR[] = "/dev/shm/";

// Fills `out` with the path of segment `name` in the shared-memory directory. Returns false
// (errno = EINVAL) for a name shm_open would refuse.
bool segment_path(const char* name, char* out, size_t out_size);

class MappedObject {
  public:
    MappedObject() noexcept = default;
    MappedObject(MappedObject&& other) noexcept;
    MappedObject& operator=(MappedObject&& other) noexcept;
    MappedObject(const MappedObject&) = delete;
    MappedObject& operator=(const MappedObject&) = delete;
    ~MappedObject() { reset(); }

    // shm_open(name, flags, mode). false with errno set.
    bool open(const char* name, int flags, mode_t mode) noexcept;
    // Takes over a descriptor.
    void adopt_fd(int fd) noexcept;
    // Maps the first `len` bytes read-write and shared (replacing an earlier mapping). false with
    // errno set.
    bool map(size_t len) noexcept;

    // The object was created under `private_name` (shm name): unlinked when dropped as a draft.
    void draft(const char* private_name) noexcept;
    // The draft was published (renamed away): nothing to unlink any more.
    void published() noexcept { draft_[0] = '\0'; }

    int fd() const noexcept { return fd_; }
    unsigned char* data() const noexcept { return map_; }
    size_t map_len() const noexcept { return map_len_; }
    explicit operator bool() const noexcept { return fd_ >= 0 || map_ != nullptr; }

    // Hands the descriptor on (the caller closes it); the mapping stays here.
    int release_fd() noexcept;
    void close_fd() noexcept;
    void unmap() noexcept;
    // Unmaps, closes, and unlinks a draft. errno is kept.
    void reset() noexcept;

  private:
    int fd_ = -1;
    unsigned char* map_ = nullptr;
    size_t map_len_ = 0;
    char draft_[64] = {};
};

} // namespace tw
