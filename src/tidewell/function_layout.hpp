#pragma once
#include <Python.h>
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_object.hpp"
#include "tidewell/segment_status.hpp"
#include "tidewell/wake_word.hpp"

#include <pthread.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The control record of a function segment, shared by the caller side, the server side and the
// stop request. Control record (144 bytes) then a 1024-byte data area:
//   0..40 mutex (robust) | 40..88 fcond slot | 88..136 ccond slot | 136 activity |
//   137 call state | 138..141 server pid (host order, unaligned) | 142..143 "TW" | 144.. data
namespace tw {

constexpr size_t DATA_OFFSET = FUNCTION_CONTROL_SIZE;
constexpr size_t DATA_SIZE = FUNCTION_SEGMENT_SIZE - FUNCTION_CONTROL_SIZE;
constexpr size_t CONTROL_SIZE = FUNCTION_CONTROL_SIZE;

// These sit where process-shared condition variables would, 48 bytes each.
// Each wake word has the CLOCK_MONOTONIC time of the event it last announced beside it, so
// that a waiter learns how long spinning would have taken even when it slept.
//
// Bytes 56..88 and 108..112 were unused and are zero in objects of builds that ignore them:
//   56 server_lock   SERVER_LOCK_MARK when the server holds the liveness lock (liveness.hpp)
//   60 ticket_pid    the placing caller's pid again: a caller that writes no ticket leaves it
//                    unequal to caller_pid, so its call is never reclaimed by time
//   64 caller_pidns  that caller's pid namespace (0: unknown): its pid is tested only in ours
//   72 kept_ticket   the ticket again, from a caller that reads kept results
//   (function_payload.hpp);
//                    callers that do not leave an earlier call's value, never equal to theirs
//   76 sharing       0, or SHARE_RAISE / SHARE_REPLY: further servers may join (function_lanes.hpp)
//   80 lanes         the function's segment: which lanes (bit k for lane k) have a server; a
//                    lane's segment: the inode of the function it serves
//  108 call_ticket   number of the call in the data area, so a caller takes only its own reply
struct ServerWake {
    WakeWord call; // a call placed, or a stop requested
    int64_t call_ns;
    uint32_t server_lock;
    int32_t ticket_pid;
    uint64_t caller_pidns;
    uint32_t kept_ticket;
    uint32_t sharing;
    uint64_t lanes;
};
constexpr uint32_t SERVER_LOCK_MARK = FUNCTION_LOCK_MARK;
struct CallerWake {
    WakeWord reply; // the reply written (or the function stopped)
    WakeWord turn;  // the data area freed (or the function stopped)
    // The process whose call occupies the data area (0: nobody, or its caller gave up), so the
    // server can tell a dead caller from a slow one without a lock per call.
    int32_t caller_pid;
    uint32_t call_ticket;
    int64_t reply_ns;
    int64_t turn_ns;
    // Until when one caller waiting for its turn spins for it (the others sleep): it places its
    // call the moment the data area is freed, without a wake-up, and the caller that freed the
    // area need not wake anyone. A claim of a caller killed while spinning simply expires.
    int64_t turn_spinner_until;
};
static_assert(sizeof(ServerWake) == sizeof(pthread_cond_t));
static_assert(sizeof(CallerWake) == sizeof(pthread_cond_t));

struct FunctionShm {
    pthread_mutex_t mutex;
    ServerWake fcond;
    CallerWake ccond;
    unsigned char activity;
    unsigned char call_state;
    unsigned char server_pid[4];
    unsigned char magic[2];
    unsigned char data[DATA_SIZE];
};
static_assert(sizeof(FunctionShm) == FUNCTION_SEGMENT_SIZE, "peers rely on 1168-byte segments");
static_assert(offsetof(FunctionShm, fcond) == 40 && offsetof(FunctionShm, ccond) == 88);
static_assert(offsetof(FunctionShm, activity) == FUNCTION_ACTIVITY_OFFSET &&
              offsetof(FunctionShm, call_state) == FUNCTION_STATE_OFFSET);
static_assert(offsetof(FunctionShm, server_pid) == FUNCTION_PID_OFFSET);
static_assert(offsetof(FunctionShm, magic) == FUNCTION_MAGIC_OFFSET);
static_assert(offsetof(FunctionShm, fcond.server_lock) == FUNCTION_LOCK_MARK_OFFSET &&
              offsetof(FunctionShm, fcond.ticket_pid) == 60 &&
              offsetof(FunctionShm, fcond.caller_pidns) == 64 &&
              offsetof(FunctionShm, fcond.kept_ticket) == 72 &&
              offsetof(FunctionShm, fcond.sharing) == 76 &&
              offsetof(FunctionShm, fcond.lanes) == 80 &&
              offsetof(FunctionShm, ccond.call_ticket) == 108);
static_assert(offsetof(FunctionShm, data) == DATA_OFFSET);

// Records when the event announced on a wake word happened.
inline void stamp(int64_t* field)
{
    __atomic_store_n(field, static_cast<int64_t>(now_ns()), __ATOMIC_RELAXED);
}

// With the event's time: how long after `start` it came (0 if before).
inline long event_delay(const int64_t* field, long start)
{
    long at = static_cast<long>(__atomic_load_n(field, __ATOMIC_RELAXED));
    return at > start ? at - start : 0;
}

// Call state, one call in flight at a time:
//   IDLE     --caller places its call-->          PENDING
//   PENDING  --server copies the call out-->      RUNNING   (mutex released while it runs)
//   RUNNING  --server writes the reply-->         REPLIED   (or REFUSED: arguments undecodable)
//   REPLIED/REFUSED --that caller copies it-->    IDLE
//   PENDING  --caller interrupted-->              IDLE      (call withdrawn)
//   PENDING/RUNNING --stop-->                     REPLIED   (answered with the NULL message)
//   REPLIED/REFUSED, caller dead or gone -->      IDLE      (the server reclaims the data area)
//   REPLIED/REFUSED, uncollected for UNCOLLECTED_MS --> IDLE (the server or a waiting caller)
enum CallState : unsigned char {
    CALL_IDLE = 0,
    CALL_PENDING = 1,
    CALL_RUNNING = 2,
    CALL_REPLIED = 3,
    CALL_REFUSED = 4,
};

inline unsigned char load_state(const FunctionShm* fs)
{
    return __atomic_load_n(&fs->call_state, __ATOMIC_ACQUIRE);
}

inline void store_state(FunctionShm* fs, unsigned char state)
{
    __atomic_store_n(&fs->call_state, state, __ATOMIC_RELEASE);
}

inline unsigned char load_activity(const FunctionShm* fs)
{
    return __atomic_load_n(&fs->activity, __ATOMIC_ACQUIRE);
}

inline pid_t read_server_pid(const FunctionShm* fs)
{
    int32_t pid;
    std::memcpy(&pid, fs->server_pid, sizeof(pid));
    return static_cast<pid_t>(pid);
}

// The reply to a call whose callable raised: the NULL message (first data byte 0, which every
// caller reads as a failed call), then an error record that callers of older builds ignore:
//   0 | 1..3 "TWE" | 4 ERROR_REPLIED (the server goes on) or ERROR_FAILED (it stopped) |
//   5.. type name, message, traceback: UTF-8, each NUL-terminated, cut to fit the data area
constexpr unsigned char ERROR_RECORD_TAG[3] = {'T', 'W', 'E'};
constexpr size_t ERROR_RECORD_HEAD = 5;
constexpr unsigned char ERROR_REPLIED = 'r';
constexpr unsigned char ERROR_FAILED = 'f';

static_assert(CALL_REFUSED == FUNCTION_LAST_STATE, "the recogniser knows every call state");
// With the mutex held: the data area is free again (its reply taken or given back, its call
// withdrawn).
inline void release_data_area(FunctionShm* fs)
{
    fs->ccond.caller_pid = 0;
    fs->fcond.ticket_pid = 0;
    fs->fcond.caller_pidns = 0;
    stamp(&fs->ccond.turn_ns);
    store_state(fs, CALL_IDLE);
}

// Whether the process serving the function whose record is `record` (mapped, or read from the
// object open as `fd`) is still there.
bool function_server_alive(int fd, const FunctionShm* record);

// A reply nobody collects (its caller is stopped, or dead in another pid namespace) is given
// back after this long, and a call not answered this long after its function was stopped or lost
// its name ends with an error: nobody waits on a stopped peer for longer.
constexpr long UNCOLLECTED_MS = 1000;

// What one party (the server, or a caller waiting for its turn) has seen of the data area: the
// uncollected reply it last saw and since when, by its own clock.
struct UncollectedWatch {
    uint32_t ticket = 0;
    long since_ns = 0;
};

// With the mutex held: frees the data area when it holds a reply whose caller is known to be
// dead, or the same reply of a ticketed call for UNCOLLECTED_MS of this party's watch. True
// when freed (wake a caller waiting for its turn after unlocking).
bool reclaim_uncollected(FunctionShm* fs, UncollectedWatch& watch);

// This process's pid namespace (the inode of /proc/self/ns/pid), 0 if unknown.
uint64_t own_pid_namespace();

// Maps the first `map_len` bytes of segment `name` into `seg` after checking it is a function
// segment (owner, then size and control record read with pread: nothing of another object is
// ever mapped). OPEN (missing), REFUSED, NOT_FUNCTION or MAP otherwise.
Status open_function_segment(const char* name, size_t map_len, MappedObject& seg);

// Locks with a deadline. A mutex whose owner died is taken over: every writer of the record
// sets the call state last, so the record is consistent whatever the owner was doing.
int lock_until(pthread_mutex_t* mutex, const struct timespec& deadline);

// No legitimate party holds a function's mutex for long (the callable runs without it), so a
// mutex that stays locked this long belongs to a foreign or wrecked object.
constexpr long MAX_LOCK_WAIT_MS = 2000;

} // namespace tw
