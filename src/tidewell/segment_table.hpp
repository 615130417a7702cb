#pragma once
#include <Python.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include "tidewell/segment_common.hpp"

// This process's table of open segments: a name once used stays mapped, so a repeated operation
// on it costs one fstat or stat (which also tells that the object is still the one published
// under the name) instead of open, fstat, mmap, munmap and close.
//
// - Bounded by mappings, not by descriptors: every entry holds one mapping; only the most
//   recently opened entries (a few dozen, fewer under a low descriptor limit) keep their
//   descriptor, and are checked with fstat; the others are checked with a stat of their path.
//   Entries number at most half of vm.max_map_count, least recently used evicted first. On
//   EMFILE/ENFILE the idle descriptors are given back and the open retried; on a failed mapping,
//   idle entries are. Entries whose object was removed elsewhere are dropped at the next lookup
//   of their name, or by a sweep that checks a few entries at a time.
// - Thread-safe: an internal mutex guards the table (never held across a blocking call or Python
//   code). A SegmentRef pins its entry: descriptor and mapping stay valid until it is dropped,
//   even when the entry is evicted, forgotten or remapped meanwhile, so a thread may wait on a
//   segment's lock with the GIL released.
// - Fork-safe: a child never uses what it inherited (its descriptors share open file
//   descriptions, and so locks, with the parent); it opens names afresh.
// - Mappings may extend past the end of the object (reserved address space, so growth by
//   another process rarely needs a new mapping). Never touch bytes past object_size().
namespace tw {

struct TableEntry;

// A pinned open segment. Move-only; dropping it unpins. Not shared between threads.
class SegmentRef {
  public:
    SegmentRef() noexcept = default;
    SegmentRef(SegmentRef&& other) noexcept;
    SegmentRef& operator=(SegmentRef&& other) noexcept;
    SegmentRef(const SegmentRef&) = delete;
    SegmentRef& operator=(const SegmentRef&) = delete;
    ~SegmentRef() { reset(); }

    explicit operator bool() const noexcept { return entry_ != nullptr; }
    // A descriptor of the object: the entry's own, or one opened for this reference (by name,
    // checked to be the same object). -1 with errno set (ESTALE: the name no longer refers to
    // this object).
    int fd() noexcept;
    ObjectId id() const noexcept;
    // This reference's mapping: stays at one address until the reference is dropped (a robust
    // mutex must be unlocked at the address it was locked at), even after cover() moved map().
    unsigned char* map() const noexcept { return map_; }
    size_t map_len() const noexcept { return map_len_; }
    // Object size seen by the last fstat (lookup or refresh_size).
    size_t object_size() const noexcept { return static_cast<size_t>(stat_.st_size); }
    // That whole fstat result (owner and mode, for checks on the open path).
    const struct stat& last_stat() const noexcept { return stat_; }

    // Re-reads the object's size (after growth by another process). false with errno set.
    bool refresh_size();
    // Under the object's lock: whether its name still refers to it (false when removed or
    // replaced meanwhile), with the status refreshed when it does. false with errno set when that
    // cannot be told.
    bool still_linked(bool& linked);
    // Makes map() cover `len` bytes of the object, mapping it again when needed; the previous
    // mapping stays valid until this reference is dropped. false with errno set.
    bool cover(size_t len) { return len <= map_len_ || cover_more(len); }
    // Drops the entry from the table (its name was unlinked, or it holds a foreign object): the
    // next lookup opens the name afresh. This reference stays usable.
    void forget();
    void reset() noexcept;

  private:
    bool cover_more(size_t len);
    friend SegmentRef segment_open(const char* name);
    friend SegmentRef segment_adopt(const char* name, int fd);
    TableEntry* entry_ = nullptr;
    unsigned char* map_ = nullptr;
    size_t map_len_ = 0;
    struct stat stat_ {};
    int own_fd_ = -1;
};

// Looks `name` (a checked name, without leading '/') up in the table, or opens it (O_RDWR) and
// enters it. A cached entry is validated with one fstat: an object no longer published under
// `name` (removed, or removed and created again, by anyone) is dropped and the name opened
// afresh. Returns an empty reference with errno set (ENOENT when the name does not exist, EPERM
// when the object belongs to someone this process does not trust: see raise_refused); sets no
// Python exception.
SegmentRef segment_open(const char* name);

// Enters a descriptor this process just created and published under `name` (the table takes it
// over and closes it in the end). Returns an empty reference with errno set if it cannot be
// mapped; the descriptor is closed then.
SegmentRef segment_adopt(const char* name, int fd);

// Drops the entry of `name` at once (call after unlinking the name).
void segment_forget(const char* name);

} // namespace tw
