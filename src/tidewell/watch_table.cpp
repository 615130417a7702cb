#include "tidewell/watch_table.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw {

bool watch_recheck_due = true;
WatchTable* watch_table_map = nullptr;

namespace {

constexpr char WATCH_MAGIC[8] = {'T', 'W', 'W', 'A', 'T', 'C', 'H', '1'};

// Serialises attaching the table; only ever tried, never waited for, so a fork can leave it
// taken without harm beyond one missed attach.
pthread_mutex_t attach_lock = PTHREAD_MUTEX_INITIALIZER;
ObjectId mapped_id{};
char table_name[64] = "";

uint32_t slot_of(const char* name)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
        h = (h ^ *p) * 0x100000001b3ULL;
    }
    return static_cast<uint32_t>((h ^ (h >> 32)) % WATCH_SLOTS);
}

void saturating_decrement(uint32_t* word)
{
    uint32_t seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    while (seen != 0 && !__atomic_compare_exchange_n(word, &seen, seen - 1, false, __ATOMIC_SEQ_CST,
                                                     __ATOMIC_SEQ_CST)) {
    }
}

// A table owned by this user, owner-only, of the right size and carrying the table's mark.
bool usable_table(int fd, struct stat& st)
{
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0 && static_cast<size_t>(st.st_size) == sizeof(WatchTable);
}

// Maps the published table, when there is one fit to use. The descriptor is closed: writers
// need only the mapping. A replaced table's old mapping stays (another thread may be using it).
void attach_locked()
{
    int fd = shm_open(watch_table_name(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        if (errno == ENOENT) {
            __atomic_store_n(&watch_table_map, static_cast<WatchTable*>(nullptr), __ATOMIC_RELEASE);
        }
        return;
    }
    struct stat st;
    WatchTable* current = __atomic_load_n(&watch_table_map, __ATOMIC_ACQUIRE);
    if (usable_table(fd, st) &&
        (current == nullptr || st.st_dev != mapped_id.dev || st.st_ino != mapped_id.ino)) {
        void* map = mmap(nullptr, sizeof(WatchTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            auto* table = static_cast<WatchTable*>(map);
            if (std::memcmp(table->magic, WATCH_MAGIC, sizeof(WATCH_MAGIC)) == 0 &&
                table->slots == WATCH_SLOTS && table->leases == WATCH_LEASES) {
                mapped_id = ObjectId{st.st_dev, st.st_ino};
                __atomic_store_n(&watch_table_map, table, __ATOMIC_RELEASE);
            }
            else {
                munmap(map, sizeof(WatchTable));
            }
        }
    }
    close(fd);
}

void attach()
{
    if (pthread_mutex_trylock(&attach_lock) == 0) {
        attach_locked();
        pthread_mutex_unlock(&attach_lock);
    }
}

Status init_table(unsigned char* map, void*)
{
    auto* table = reinterpret_cast<WatchTable*>(map);
    std::memset(table, 0, sizeof(WatchTable));
    table->slots = WATCH_SLOTS;
    table->leases = WATCH_LEASES;
    std::memcpy(table->magic, WATCH_MAGIC, sizeof(WATCH_MAGIC));
    return STATUS_OK;
}

// Called with the GIL held. A refusal of the name's owner is dropped (without a table the
// watcher polls); what a signal handler raised (Ctrl-C) stays pending for the caller.
void create_table()
{
    CreationMode scope(0600);
    MappedObject object;
    Status status = create_segment(watch_table_name(), sizeof(WatchTable), sizeof(WatchTable),
                                   init_table, nullptr, object);
    if (status.step == Step::RAISED && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    }
}

// Gives back the counts of a lease whose holder is gone (its lock is held here now).
void reap(WatchTable* table, uint32_t i)
{
    WatchLease& lease = table->lease[i];
    uint32_t slot_plus_one = __atomic_load_n(&lease.slot_plus_one, __ATOMIC_SEQ_CST);
    if (slot_plus_one == 0 || slot_plus_one > WATCH_SLOTS) {
        __atomic_store_n(&lease.slot_plus_one, 0u, __ATOMIC_SEQ_CST);
        return;
    }
    WatchSlot& slot = table->slot[slot_plus_one - 1];
    if (__atomic_load_n(&lease.sleeping, __ATOMIC_SEQ_CST) != 0) {
        saturating_decrement(&slot.word.sleepers);
        __atomic_store_n(&lease.sleeping, 0u, __ATOMIC_SEQ_CST);
    }
    saturating_decrement(&slot.watchers);
    saturating_decrement(&table->watchers);
    __atomic_store_n(&lease.slot_plus_one, 0u, __ATOMIC_SEQ_CST);
}

} // namespace

const char* watch_table_name() noexcept
{
    if (table_name[0] == '\0') {
        std::snprintf(table_name, sizeof(table_name), "%s%u", WATCH_TABLE_PREFIX,
                      static_cast<unsigned>(geteuid()));
    }
    return table_name;
}

void set_watch_table_name(const char* name) noexcept
{
    std::snprintf(table_name, sizeof(table_name), "%s", name);
    __atomic_store_n(&watch_recheck_due, true, __ATOMIC_RELAXED);
}

void watch_tick() noexcept
{
    __atomic_store_n(&watch_recheck_due, true, __ATOMIC_RELAXED);
}

void notify_watchers_slow(const char* name) noexcept
{
    if (__atomic_exchange_n(&watch_recheck_due, false, __ATOMIC_RELAXED)) {
        attach();
    }
    WatchTable* table = __atomic_load_n(&watch_table_map, __ATOMIC_ACQUIRE);
    if (table == nullptr || __atomic_load_n(&table->watchers, __ATOMIC_SEQ_CST) == 0) {
        return;
    }
    WatchSlot& slot = table->slot[slot_of(name)];
    if (__atomic_load_n(&slot.watchers, __ATOMIC_SEQ_CST) != 0) {
        notify(&slot.word);
    }
}

bool watch_register(WatchLeaseHandle& h, const char* name) noexcept
{
    h = WatchLeaseHandle{};
    if (pthread_mutex_trylock(&attach_lock) != 0) {
        return false;
    }
    attach_locked();
    if (__atomic_load_n(&watch_table_map, __ATOMIC_ACQUIRE) == nullptr) {
        create_table();
        attach_locked();
    }
    WatchTable* table = __atomic_load_n(&watch_table_map, __ATOMIC_ACQUIRE);
    ObjectId id = mapped_id;
    pthread_mutex_unlock(&attach_lock);
    if (table == nullptr) {
        return false;
    }
    // A descriptor of our own for the lease: the lock lives as long as it (and its copies).
    int fd = shm_open(watch_table_name(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    struct stat st;
    if (fd < 0) {
        return false;
    }
    if (!usable_table(fd, st) || st.st_dev != id.dev || st.st_ino != id.ino ||
        !keep_from_children(fd)) {
        close(fd);
        return false;
    }
    int taken = -1;
    for (uint32_t i = 0; i < WATCH_LEASES; ++i) {
        bool in_use = __atomic_load_n(&table->lease[i].slot_plus_one, __ATOMIC_SEQ_CST) != 0;
        if (taken >= 0 && !in_use) {
            continue;
        }
        if (!set_byte_lock(fd, WATCH_LEASE_LOCK_BASE + i, F_WRLCK)) {
            continue; // a live watcher's
        }
        if (in_use) {
            reap(table, i);
        }
        if (taken < 0) {
            taken = static_cast<int>(i);
        }
        else {
            set_byte_lock(fd, WATCH_LEASE_LOCK_BASE + i, F_UNLCK);
        }
    }
    if (taken < 0) {
        close_kept(fd);
        return false;
    }
    uint32_t slot = slot_of(name);
    // Counted before the lease says so: a watcher killed in between leaves a count one too
    // high (a wake-up call for nobody), never one too low.
    __atomic_fetch_add(&table->slot[slot].watchers, 1, __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&table->watchers, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&table->lease[taken].slot_plus_one, slot + 1, __ATOMIC_SEQ_CST);
    h.table = table;
    h.fd = fd;
    h.lease = static_cast<uint32_t>(taken);
    h.slot = slot;
    h.pid = getpid();
    h.table_id = id;
    return true;
}

void watch_unregister(WatchLeaseHandle& h) noexcept
{
    if (h.table == nullptr) {
        return;
    }
    if (h.pid == getpid()) {
        reap(h.table, h.lease);
        set_byte_lock(h.fd, WATCH_LEASE_LOCK_BASE + h.lease, F_UNLCK);
        close_kept(h.fd);
    }
    // In a forked child the lease is the parent's: its descriptor was closed at the fork.
    h = WatchLeaseHandle{};
}

bool watch_lease_current(WatchLeaseHandle& h) noexcept
{
    if (h.table == nullptr || h.pid != getpid()) {
        return false;
    }
    struct stat st;
    char path[128];
    std::snprintf(path, sizeof(path), "%s%s", SHM_DIR, watch_table_name());
    return stat(path, &st) == 0 && st.st_dev == h.table_id.dev && st.st_ino == h.table_id.ino;
}

uint32_t watch_seen(const WatchLeaseHandle& h) noexcept
{
    return h.table != nullptr ? read_word(&h.table->slot[h.slot].word) : 0;
}

void watch_sleep(WatchLeaseHandle& h, uint32_t seen, const struct timespec& deadline) noexcept
{
    if (h.table == nullptr) {
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        return;
    }
    WakeWord& word = h.table->slot[h.slot].word;
    WatchLease& lease = h.table->lease[h.lease];
    // Counted, then marked: a watcher killed between the two leaves one sleeper too many (a
    // wake-up call for nobody), and the reaper takes back only what the mark says.
    __atomic_fetch_add(&word.sleepers, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&lease.sleeping, 1u, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &word.seq, FUTEX_WAIT_BITSET, seen, &deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
    __atomic_store_n(&lease.sleeping, 0u, __ATOMIC_SEQ_CST);
    saturating_decrement(&word.sleepers);
}

bool watch_table_in_use(int fd) noexcept
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = WATCH_LEASE_LOCK_BASE;
    fl.l_len = WATCH_LEASES;
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &fl) != 0) {
        return true; // cannot tell: not stale
    }
    return fl.l_type != F_UNLCK;
}

} // namespace tw
