#pragma once
#include <Python.h>
#include "tidewell/segment_status.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

// Calls whose arguments or result do not fit the data area: the encoding goes into an object of
// its own beside the function segment (a payload), and the data area holds a reference to it:
//   0      PAYLOAD_MARKER (no encoding and not the NULL message begins with it)
//   1..8   length of the encoding, host order
//   9..    the payload's private name, NUL-terminated
// Payloads are named ".tidewell-new-PID-N-aT" (arguments) or "...-rT" (results), PID the writer's:
// user names cannot take the prefix, and the recogniser, the sweep and `tidewell clean` treat
// them as temporaries, removed once their writer is gone. The reader opens the payload, checks
// it, unlinks the name and decodes it in place; the writer unlinks it too when it is done with
// the call, so a name outlives its call only when both sides died.
namespace tw {

constexpr unsigned char PAYLOAD_MARKER = 0xFC;
constexpr size_t PAYLOAD_NAME_MAX = 64;
constexpr size_t PAYLOAD_RECORD_MAX = 9 + PAYLOAD_NAME_MAX;

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
    bool opened() const noexcept { return fd_ >= 0; }
    const unsigned char* data() const noexcept { return map_; }
    size_t size() const noexcept { return static_cast<size_t>(len_); }
    void reset() noexcept;

  private:
    int fd_ = -1;
    unsigned char* map_ = nullptr;
    size_t map_len_ = 0;
    uint64_t len_ = 0;
    char name_[PAYLOAD_NAME_MAX] = {};
};

} // namespace tw
