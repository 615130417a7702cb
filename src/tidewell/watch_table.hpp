#pragma once
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include "tidewell/segment_object.hpp"
#include "tidewell/segment_recognise.hpp"
#include "tidewell/wake_word.hpp"

// The watch table: one host-wide object per user (".tidewell-watch-UID", mode 0600) that tells
// writers whom to wake. The value segment keeps its layout; the generation a watcher sleeps on
// lives here, one wake word per slot, a slot being a hash of the name (names that share a slot
// only cost each other a spurious wake-up, after which the watcher compares the value again).
//
// Writers never create the table: they map it once it exists (looked for again by the segment
// table's sweep, at most every tenth of a second), and with no watcher on the host a commit pays
// one load of the global watcher count. A watcher holds a lease: an open-file-description lock on
// one byte of the table, so a watcher killed at any point is noticed by the next registration
// anywhere, which takes back its counts. No Python API here.
namespace tw {

constexpr uint32_t WATCH_SLOTS = 4096;
constexpr uint32_t WATCH_LEASES = 1024;
// Lease i is the lock on byte WATCH_LEASE_LOCK_BASE + i (locks need no bytes behind them).
constexpr off_t WATCH_LEASE_LOCK_BASE = 1 << 20;

struct WatchSlot {
    WakeWord word;     // bumped by every commit to a name of this slot
    uint32_t watchers; // leases on this slot
    uint32_t unused;
};

struct WatchLease {
    uint32_t slot_plus_one; // 0: free
    uint32_t sleeping;      // counted in its slot's sleepers
};

struct WatchTable {
    char magic[8];
    uint32_t slots;
    uint32_t leases;
    uint32_t watchers; // leases in use on the host
    uint32_t unused[11];
    WatchSlot slot[WATCH_SLOTS];
    WatchLease lease[WATCH_LEASES];
};

static_assert(offsetof(WatchTable, slot) == 64 && sizeof(WatchSlot) == 16);
static_assert(offsetof(WatchTable, lease) == 65600 && sizeof(WatchTable) == 73792,
              "every process of the host maps the same table layout");

// Set by the segment table's sweep: the table's name is looked up again by the next commit.
extern bool watch_recheck_due;
extern WatchTable* watch_table_map;

void notify_watchers_slow(const char* name) noexcept;
void watch_tick() noexcept;

// After a commit to `name` (a value written, created or removed): wakes its watchers.
inline void notify_watchers(const char* name) noexcept
{
    if (__atomic_load_n(&watch_recheck_due, __ATOMIC_RELAXED)) {
        notify_watchers_slow(name);
        return;
    }
    WatchTable* table = __atomic_load_n(&watch_table_map, __ATOMIC_ACQUIRE);
    if (table != nullptr && __atomic_load_n(&table->watchers, __ATOMIC_SEQ_CST) != 0) {
        notify_watchers_slow(name);
    }
}

// One watcher's registration on the slot of a name. Without a lease (no table could be had)
// the watcher polls. Not shared between threads; a forked child never uses its parent's.
struct WatchLeaseHandle {
    WatchTable* table = nullptr;
    int fd = -1;
    uint32_t lease = 0;
    uint32_t slot = 0;
    pid_t pid = 0;
    ObjectId table_id{};
};

// Takes a lease for `name` (creating the table when this user has none). false: none to be had,
// the watcher polls (try again later). Called with the GIL held: a signal handler that raised
// while the table was being created leaves its exception pending.
bool watch_register(WatchLeaseHandle& h, const char* name) noexcept;
void watch_unregister(WatchLeaseHandle& h) noexcept;
// Whether the lease is this process's and its table is still the one published.
bool watch_lease_current(WatchLeaseHandle& h) noexcept;
// The wake word of the lease's slot, read before the watcher compares the value.
uint32_t watch_seen(const WatchLeaseHandle& h) noexcept;
// Sleeps while the slot's word still reads `seen`, until `deadline` (CLOCK_MONOTONIC). Without
// a lease, sleeps until the deadline. Interrupted by signals.
void watch_sleep(WatchLeaseHandle& h, uint32_t seen, const struct timespec& deadline) noexcept;

// The name of this process's table (".tidewell-watch-" + effective uid unless set).
const char* watch_table_name() noexcept;
void set_watch_table_name(const char* name) noexcept;

// Whether a live watcher holds a lease of the table open as `fd`.
bool watch_table_in_use(int fd) noexcept;

} // namespace tw
