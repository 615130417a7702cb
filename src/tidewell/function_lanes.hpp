#pragma once
#include "tidewell/function_layout.hpp"
#include "tidewell/segment_object.hpp"

#include <sys/types.h>
#include <cstddef>
#include <cstdint>

// A shared function: several processes serve one name. The first serves the function's own
// segment, lane 0, which callers of every build use. Each further server serves a lane of its
// own: a function segment with the same record, under a private name made from the function's
// inode, `.tidewell-new-0-L<inode, hex>-<k>` (0 < k < MAX_LANES). The private prefix keeps lanes
// out of user names, and the sweep of temporaries takes a lane whose server has ended (its
// liveness lock went with it). Bit k of the function's `lanes` word is set while lane k has a
// server; a caller of this build reads it and places its call in a lane that is free.
namespace tw {

constexpr int MAX_LANES = 64;
constexpr size_t LANE_NAME_MAX = 48;
// The `sharing` word of a shared function's segment and of its lanes, with the servers'
// errors= option (every server of one function answers errors the same way).
constexpr uint32_t SHARE_RAISE = 0x65524853; // "SHRe"
constexpr uint32_t SHARE_REPLY = 0x72524853; // "SHRr"

inline uint32_t load_sharing(const FunctionShm* fs)
{
    return __atomic_load_n(&fs->fcond.sharing, __ATOMIC_ACQUIRE);
}

inline bool is_shared(uint32_t sharing)
{
    return sharing == SHARE_RAISE || sharing == SHARE_REPLY;
}

// The lanes (bit k: lane k) of a shared function's segment that have a server.
inline uint64_t load_lanes(const FunctionShm* fs)
{
    return __atomic_load_n(&fs->fcond.lanes, __ATOMIC_ACQUIRE) & ~uint64_t{1};
}

inline void set_lane(FunctionShm* fs, int lane)
{
    __atomic_fetch_or(&fs->fcond.lanes, uint64_t{1} << lane, __ATOMIC_ACQ_REL);
}

inline void clear_lane(FunctionShm* fs, int lane)
{
    __atomic_fetch_and(&fs->fcond.lanes, ~(uint64_t{1} << lane), __ATOMIC_ACQ_REL);
}

// The name of lane `lane` of the function whose object has inode `function_ino`, into `out`
// (LANE_NAME_MAX bytes).
void lane_name(char* out, uint64_t function_ino, int lane);

// Whether the object (its first bytes mapped at `head`, `size` its size) is a lane of the function
// with inode `function_ino`.
bool is_lane_of(const unsigned char* head, size_t size, uint64_t function_ino);

// With the lane's mutex held: ends serving on a lane. A call its server has not taken stays
// PENDING: its caller sees the lane stopped, withdraws it and places it in another lane.
inline void close_lane(FunctionShm* fs)
{
    __atomic_store_n(&fs->activity, static_cast<unsigned char>(0), __ATOMIC_RELEASE);
}

// Stops every lane of a shared function (remove_function): each is closed, its callers and server
// woken, its name removed. `fs` may map only the control record.
void stop_lanes(const FunctionShm* fs, uint64_t function_ino);

// Clears the bits of lanes whose server has ended (or whose object is gone) and removes what is
// left of them. Returns the lanes that still have a server, other than the process `ending`'s
// (0: any), which ends with the program.
uint64_t drop_ended_lanes(FunctionShm* fs, uint64_t function_ino, pid_t ending = 0);

// The pids of the live servers of the lanes of the function `function_name` (not of its own
// segment), at most `room`. Their count; 0 for a function that is not shared.
int lane_servers(const char* function_name, pid_t* pids, int room);

} // namespace tw
