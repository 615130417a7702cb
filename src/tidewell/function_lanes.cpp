// The lanes of a shared function: naming, recognising, stopping and tidying them.
#include "tidewell/function_lanes.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_recognise.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

void lane_name(char* out, uint64_t function_ino, int lane)
{
    std::snprintf(out, LANE_NAME_MAX, "%s0-L%llx-%d", PRIVATE_PREFIX,
                  static_cast<unsigned long long>(function_ino), lane);
}

bool is_lane_of(const unsigned char* head, size_t size, uint64_t function_ino)
{
    if (size != FUNCTION_SEGMENT_SIZE || !looks_like_function(head)) {
        return false;
    }
    const auto* fs = reinterpret_cast<const FunctionShm*>(head);
    return is_shared(load_sharing(fs)) &&
           __atomic_load_n(&fs->fcond.lanes, __ATOMIC_ACQUIRE) == function_ino;
}

namespace {

// One lane opened on its own (not through the segment table): checked, then mapped whole.
bool open_lane(const char* name, uint64_t function_ino, MappedObject& lane)
{
    if (!lane.open(name, O_RDWR | O_CLOEXEC, 0)) {
        return false;
    }
    struct stat st;
    unsigned char record[FUNCTION_CONTROL_SIZE];
    return fstat(lane.fd(), &st) == 0 && owner_allows(st) &&
           pread(lane.fd(), record, sizeof(record), 0) == static_cast<ssize_t>(sizeof(record)) &&
           is_lane_of(record, static_cast<size_t>(st.st_size), function_ino) &&
           lane.map(FUNCTION_SEGMENT_SIZE);
}

// One lane's record, read from the object without mapping it. False when it is no lane of the
// function (or gone).
bool read_lane(const char* name, uint64_t function_ino, int& fd, FunctionShm& record)
{
    fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
    struct stat st;
    auto* head = reinterpret_cast<unsigned char*>(&record);
    return fd >= 0 && fstat(fd, &st) == 0 &&
           pread(fd, head, FUNCTION_CONTROL_SIZE, 0) ==
               static_cast<ssize_t>(FUNCTION_CONTROL_SIZE) &&
           is_lane_of(head, static_cast<size_t>(st.st_size), function_ino);
}

// Calls visit(k, name) for each lane k in `lanes`.
template <typename Visit> void each_lane(uint64_t lanes, uint64_t function_ino, Visit visit)
{
    for (int k = 1; k < MAX_LANES; ++k) {
        if ((lanes & (uint64_t{1} << k)) != 0) {
            char name[LANE_NAME_MAX];
            lane_name(name, function_ino, k);
            visit(k, name);
        }
    }
}

} // namespace

int lane_servers(const char* function_name, pid_t* pids, int room)
{
    FunctionShm function;
    int fd = shm_open(function_name, O_RDONLY | O_CLOEXEC, 0);
    struct stat st;
    bool shared = fd >= 0 && fstat(fd, &st) == 0 &&
                  pread(fd, &function, FUNCTION_CONTROL_SIZE, 0) ==
                      static_cast<ssize_t>(FUNCTION_CONTROL_SIZE) &&
                  is_shared(load_sharing(&function));
    if (fd >= 0) {
        close(fd);
    }
    if (!shared) {
        return 0;
    }
    auto ino = static_cast<uint64_t>(st.st_ino);
    int count = 0;
    each_lane(load_lanes(&function), ino, [&](int, const char* name) {
        FunctionShm record;
        int lane_fd = -1;
        if (count < room && read_lane(name, ino, lane_fd, record) &&
            liveness_lock(lane_fd) == LOCK_HELD) {
            pids[count++] = read_server_pid(&record);
        }
        if (lane_fd >= 0) {
            close(lane_fd);
        }
    });
    return count;
}

void stop_lanes(const FunctionShm* fs, uint64_t function_ino)
{
    each_lane(load_lanes(fs), function_ino, [&](int, const char* name) {
        MappedObject lane;
        if (!open_lane(name, function_ino, lane)) {
            return;
        }
        auto* ls = reinterpret_cast<FunctionShm*>(lane.data());
        // Closing needs no lock: the lane's server and callers re-test activity under theirs.
        close_lane(ls);
        notify(&ls->fcond.call);
        notify(&ls->ccond.reply);
        notify(&ls->ccond.turn);
        ObjectId id;
        if (object_of(lane.fd(), id)) {
            unlink_if_same(name, id);
        }
    });
}

uint64_t drop_ended_lanes(FunctionShm* fs, uint64_t function_ino, pid_t ending)
{
    uint64_t served = 0;
    each_lane(load_lanes(fs), function_ino, [&](int k, const char* name) {
        MappedObject lane;
        bool opened = open_lane(name, function_ino, lane);
        if (opened && liveness_lock(lane.fd()) != LOCK_FREE) {
            if (ending == 0 ||
                read_server_pid(reinterpret_cast<const FunctionShm*>(lane.data())) != ending) {
                served |= uint64_t{1} << k;
            }
            return;
        }
        clear_lane(fs, k);
        ObjectId id;
        if (opened && object_of(lane.fd(), id)) {
            unlink_if_same(name, id);
        }
    });
    return served;
}

} // namespace tw
