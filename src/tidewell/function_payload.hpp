#pragma once
#include <Python.h>
#include "tidewell/liveness.hpp"
#include "tidewell/segment_status.hpp"
#include "tidewell/segment_table.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

// Calls whose arguments or result do not fit the data area: the encoding goes into an object of
// its own beside the function segment (a payload), and the data area holds a reference to it:
//   0      PAYLOAD_MARKER (no encoding and not the NULL message begins with it)
//   1..8   length of the encoding, host order
//   9..    the payload's private name, NUL-terminated
//   then   'K' and a check byte of the name (payload_keep_check): the writer keeps the object
//          for its next calls, so the reader must not unlink it. Readers of builds without
//          kept objects ignore these bytes and unlink the name; the writer then sees its object
//          unlinked and makes a new one. A stale 'K' left in the data area by an earlier call
//          only spares a per-call payload, which its writer removes itself.
// Payloads are named ".tidewell-new-PID-N-aT" (arguments) or "...-rT" (results), PID the writer's:
// user names cannot take the prefix, and the recogniser, the sweep and `tidewell clean` treat
// them as temporaries, removed once their writer is gone. The reader opens the payload, checks
// it, unlinks the name and decodes it in place; the writer unlinks it too when it is done with
// the call, so a name outlives its call only when both sides died.
//
// Kept payloads ("...-AT", "...-RT") are made once and written again call after call: a caller
// keeps one argument object per function, a server one result object. They carry their writer's
// liveness lock for as long as the writer holds them, so no sweep takes them from a live process;
// a writer that ends normally removes them, a killed one leaves temporaries the sweep removes.
// Whoever reads a kept result holds a read lock on its byte READER_LOCK_OFFSET (an
// open-file-description lock, dropped with the reader's descriptor) from before the data area
// is freed until it has decoded; a server that finds such a lock at its next result leaves the
// object to that reader and writes into a new one, so no reader ever sees its result overwritten.
namespace tw {

constexpr unsigned char PAYLOAD_MARKER = 0xFC;
constexpr size_t PAYLOAD_NAME_MAX = 64;
constexpr size_t PAYLOAD_RECORD_MAX = 9 + PAYLOAD_NAME_MAX + 2;
constexpr unsigned char PAYLOAD_KEEP_TAG = 'K';
constexpr off_t READER_LOCK_OFFSET = 1;

enum class PayloadRole : char { ARGUMENTS = 'a', RESULT = 'r' };

// What went wrong when reading a payload: a damaged record, a missing, foreign or truncated
// object, or a failed system call (errno beside it).
enum class PayloadProblem : unsigned char { NONE, RECORD, MISSING, FOREIGN, TRUNCATED, SYSTEM };

// Text for a problem, to put into the caller's or server's message.
const char* payload_problem_text(PayloadProblem problem);

// The writer's payload. Dropping it unlinks its name (nothing if it was never written).
class OutgoingPayload {
  public:
    OutgoingPayload() = default;
    OutgoingPayload(const OutgoingPayload&) = delete;
    OutgoingPayload& operator=(const OutgoingPayload&) = delete;
    ~OutgoingPayload() { remove(); }

    // Writes `len` bytes into a new payload readable by the owner of the function's object
    // (`function_st`), and its group when the function grants it access. Runs without the GIL
    // for large payloads. OK, RAISED (a signal handler raised) or ALLOCATE with errno.
    Status write(PayloadRole role, const char* bytes, size_t len, const struct stat& function_st);
    // Fills `out` (PAYLOAD_RECORD_MAX bytes) with the reference; returns its length.
    size_t record(unsigned char* out) const;
    // Unlinks the name (if any) now.
    void remove() noexcept;
    bool written() const noexcept { return name_[0] != '\0'; }

  private:
    char name_[PAYLOAD_NAME_MAX] = {};
    uint64_t len_ = 0;
};

// The reader's side: open() takes the named object (a single open, cheap enough to run under the
// function's mutex, before the writer may remove it), map() checks and maps it.
class IncomingPayload {
  public:
    IncomingPayload() = default;
    IncomingPayload(const IncomingPayload&) = delete;
    IncomingPayload& operator=(const IncomingPayload&) = delete;
    ~IncomingPayload() { reset(); }

    // Parses the reference at `record` (`record_len` bytes) and opens the payload read-only. No
    // Python API.
    PayloadProblem open(const unsigned char* record, size_t record_len) noexcept;
    // Checks the object opened (a regular file of at least the stated length, of the owner
    // `owner` or, with `owner` = -1, one the owner rules accept), maps it and unlinks its name.
    // No Python API.
    PayloadProblem map(uid_t owner) noexcept;
    // A kept result: takes the reader's lock, held until reset(). False with errno set.
    bool lock_for_reading() noexcept;
    // Whether the writer keeps the object (the reference carries the keep tag).
    bool kept() const noexcept { return kept_; }
    bool opened() const noexcept { return fd_ >= 0; }
    const unsigned char* data() const noexcept { return map_; }
    size_t size() const noexcept { return static_cast<size_t>(len_); }
    void reset() noexcept;

  private:
    int fd_ = -1;
    unsigned char* map_ = nullptr;
    size_t map_len_ = 0;
    uint64_t len_ = 0;
    bool kept_ = false;
    bool locked_ = false;
    SegmentRef table_; // a kept object, through this process's segment table
    char name_[PAYLOAD_NAME_MAX] = {};
};

// A payload object its writer keeps from call to call, mapped, grown as needed. Not shared
// between threads: its holder marks it busy while a call uses it.
class KeptPayload {
  public:
    KeptPayload() = default;
    KeptPayload(const KeptPayload&) = delete;
    KeptPayload& operator=(const KeptPayload&) = delete;
    ~KeptPayload() { remove(); }

    // Starts a call's payload: the object's memory, of at least `capacity` bytes (made, made
    // again or grown first: owner-only, or group-readable as the function `function_st` is), or
    // nullptr with the errno value in `err` and nothing held (then the writer sends a per-call
    // payload). The GIL stays held (this runs inside an encoding).
    unsigned char* begin(PayloadRole role, size_t capacity, const struct stat& function_st,
                         int& err);
    // Grows the object to at least `capacity` bytes, keeping what was written; as begin().
    unsigned char* grow_to(size_t capacity, int& err);
    // The call's payload is the first `len` bytes.
    void finish(size_t len) noexcept;
    // The keep-form reference (PAYLOAD_RECORD_MAX bytes at `out`); returns its length.
    size_t record(unsigned char* out) const;
    // Whether a reader still holds its lock on the object (or that cannot be told).
    bool has_reader() const noexcept;
    // Unlinks the object and lets go of it: a reader may still map it; the next write makes a
    // new one. In a forked child it lets go of the parent's object without touching it.
    void remove() noexcept;
    // At the end of the program: unlinks the name only (another thread may still be copying).
    void unlink_at_exit() noexcept;
    bool held() const noexcept { return fd_ >= 0; }
    size_t capacity() const noexcept { return capacity_; }
    bool busy = false;

  private:
    int make(PayloadRole role, size_t capacity);
    int grow(size_t capacity);

    pid_t pid_ = 0; // the process that made it
    mode_t mode_ = 0;
    int fd_ = -1;
    LivenessLock lock_;
    unsigned char* map_ = nullptr;
    size_t capacity_ = 0;
    uint64_t len_ = 0;
    unsigned small_writes_ = 0;  // consecutive writes that used a quarter of the capacity or less
    time_t touched_sec_ = 0;     // when finish() last touched the object's times (monotonic)
    struct stat function_st_ {}; // the function the object's owner, group and mode follow
    char name_[PAYLOAD_NAME_MAX] = {};
};

} // namespace tw
