#include "tidewell/segment_table.hpp"
#include "tidewell/watch_table.hpp"
#include "tidewell/segment_owner.hpp"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

// Address space reserved per mapping: at least this much, else the object's size rounded up to
// a power of two. Pages past the end of the object are never touched; reserving them lets the
// mapping follow the object's growth without mapping it again. Small, so that thousands of
// names cost little address space and share page-table pages.
constexpr size_t MIN_RESERVE = size_t{4} << 10;
// A few entries are checked for removal elsewhere this often.
constexpr long SWEEP_INTERVAL_NS = 100000000L;
constexpr int SWEEP_BATCH = 64;
// Descriptors kept by the table: at most this many, at most a sixteenth of the soft limit, and
// none numbered within FD_HEADROOM of it (those are the process's last few).
constexpr int MAX_KEPT_FDS = 64;
constexpr int FD_HEADROOM = 16;
// Used when vm.max_map_count cannot be read (the kernel's default).
constexpr long DEFAULT_MAX_MAP_COUNT = 65530;
constexpr size_t FIRST_BUCKETS = 256;

struct Mapping {
    unsigned char* addr = nullptr;
    size_t len = 0;
    Mapping* next = nullptr; // chain of retired mappings
};

} // namespace

struct TableEntry {
    uint64_t hash;
    int fd; // -1: checked through its path
    ObjectId id;
    Mapping map;         // current mapping, handed to new references
    Mapping* retired;    // earlier mappings that pinned references may still use
    int pins;            // live SegmentRefs
    unsigned generation; // fork generation it was opened in
    bool in_table;
    TableEntry* chain; // next in the bucket; next victim once detached
    TableEntry* newer; // use order, most recent at the head
    TableEntry* older;
    TableEntry* fd_newer; // entries that keep a descriptor, in the order they were opened
    TableEntry* fd_older;
    // Entries without a descriptor: the status their last stat found, still true while no event
    // about the name has arrived since (`seen_epoch` matches the directory watch's epoch, see
    // below).
    struct stat seen;
    uint64_t seen_epoch; // 0: nothing remembered
    uint64_t events;     // events about the name so far
    size_t name_len;
    char path[1]; // SHM_DIR then the name, NUL-terminated (allocated to fit)

    const char* name() const { return path + sizeof(SHM_DIR) - 1; }
};

namespace {

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
TableEntry** buckets = nullptr;
size_t bucket_count = 0;
size_t entry_count = 0;
size_t max_entries = 0;
int kept_fds = 0;
TableEntry* newest = nullptr;
TableEntry* oldest = nullptr;
TableEntry* fd_newest = nullptr;
TableEntry* fd_oldest = nullptr;
size_t sweep_cursor = 0;
unsigned generation = 0;
struct timespec last_sweep = {0, 0};

// The directory watch. An entry without a descriptor is checked by a stat of its path, which
// costs a path walk per use; once the process has such entries, one inotify instance on the
// directory tells of every creation, removal, rename, attribute change and resize of a name in
// it, from any process, before the call that made it returns. While no event about a name has
// arrived, what its last stat found still holds, and reading the (usually empty) queue is all a
// use costs. A full queue (overflow) forgets everything remembered; no instance (the per-user
// limit) means a stat per use, as before. A child after fork starts without one.
pthread_mutex_t dir_watch_lock = PTHREAD_MUTEX_INITIALIZER; // serialises draining the queue
int dir_watch_fd = -1;
bool dir_watch_refused = false;
uint64_t dir_watch_epoch = 1; // under table_lock
constexpr uint32_t DIR_WATCH_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_ATTRIB | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF;

class TableLock {
  public:
    TableLock() { pthread_mutex_lock(&table_lock); }
    ~TableLock() { pthread_mutex_unlock(&table_lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// Entries taken out of the table under the lock, destroyed after it is released.
struct Victims {
    TableEntry* list = nullptr;
    void add(TableEntry* e)
    {
        e->chain = list;
        list = e;
    }
};

void free_entry(TableEntry* e)
{
    std::free(e);
}

void destroy_entry(TableEntry* e)
{
    munmap(e->map.addr, e->map.len);
    for (Mapping* m = e->retired; m != nullptr;) {
        Mapping* next = m->next;
        munmap(m->addr, m->len);
        delete m;
        m = next;
    }
    if (e->fd >= 0) {
        close(e->fd);
    }
    free_entry(e);
}

void destroy_all(Victims& victims)
{
    for (TableEntry* e = victims.list; e != nullptr;) {
        TableEntry* next = e->chain;
        destroy_entry(e);
        e = next;
    }
    victims.list = nullptr;
}

uint64_t hash_name(const char* name, size_t& len)
{
    uint64_t h = 14695981039346656037ULL;
    const char* p = name;
    for (; *p != '\0'; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
    len = static_cast<size_t>(p - name);
    return h;
}

size_t reserve_len(size_t object_size)
{
    if (object_size <= MIN_RESERVE) {
        return MIN_RESERVE;
    }
    if (object_size > SIZE_MAX / 2) {
        return object_size;
    }
    return std::bit_ceil(object_size);
}

bool map_object(int fd, size_t object_size, Mapping& out)
{
    size_t len = reserve_len(object_size);
    void* addr = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        return false;
    }
    out.addr = static_cast<unsigned char*>(addr);
    out.len = len;
    return true;
}

// Half of the mappings a process may have, the rest left to the program.
size_t read_max_entries()
{
    long count = DEFAULT_MAX_MAP_COUNT;
    if (FILE* f = std::fopen("/proc/sys/vm/max_map_count", "re")) {
        long read = 0;
        if (std::fscanf(f, "%ld", &read) == 1 && read > 0) {
            count = read;
        }
        std::fclose(f);
    }
    return static_cast<size_t>(count / 2 > 16 ? count / 2 : 16);
}

// The soft descriptor limit as last read (-1: read it again). Read again by each sweep and after
// EMFILE, since the program may change it.
int cached_soft_limit = -1;

void forget_soft_limit()
{
    __atomic_store_n(&cached_soft_limit, -1, __ATOMIC_RELAXED);
}

// How many descriptors the table may keep now, and the first number it may not keep.
int fd_allowance(int& fd_limit)
{
    int soft = __atomic_load_n(&cached_soft_limit, __ATOMIC_RELAXED);
    if (soft < 0) {
        struct rlimit rl;
        soft = getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur > static_cast<rlim_t>(INT_MAX)
                   ? INT_MAX
                   : static_cast<int>(rl.rlim_cur);
        __atomic_store_n(&cached_soft_limit, soft, __ATOMIC_RELAXED);
    }
    fd_limit = soft - FD_HEADROOM;
    int allowed = soft / 16;
    return allowed < MAX_KEPT_FDS ? allowed : MAX_KEPT_FDS;
}

TableEntry* find_locked(uint64_t hash, const char* name, size_t len)
{
    if (bucket_count == 0) {
        return nullptr;
    }
    for (TableEntry* e = buckets[hash & (bucket_count - 1)]; e != nullptr; e = e->chain) {
        if (e->hash == hash && e->name_len == len && std::memcmp(e->name(), name, len) == 0) {
            return e;
        }
    }
    return nullptr;
}

void unlink_use_order(TableEntry* e)
{
    (e->newer != nullptr ? e->newer->older : newest) = e->older;
    (e->older != nullptr ? e->older->newer : oldest) = e->newer;
    e->newer = e->older = nullptr;
}

// `e` is in the table.
void mark_used_locked(TableEntry* e)
{
    if (newest == e) {
        return;
    }
    unlink_use_order(e);
    e->older = newest;
    (newest != nullptr ? newest->newer : oldest) = e;
    newest = e;
}

void add_kept_fd_locked(TableEntry* e)
{
    e->fd_newer = nullptr;
    e->fd_older = fd_newest;
    (fd_newest != nullptr ? fd_newest->fd_newer : fd_oldest) = e;
    fd_newest = e;
    ++kept_fds;
}

// The entry stops keeping its descriptor; returns it (the caller closes it outside the lock).
int drop_kept_fd_locked(TableEntry* e)
{
    (e->fd_newer != nullptr ? e->fd_newer->fd_older : fd_newest) = e->fd_older;
    (e->fd_older != nullptr ? e->fd_older->fd_newer : fd_oldest) = e->fd_newer;
    e->fd_newer = e->fd_older = nullptr;
    --kept_fds;
    int fd = e->fd;
    e->fd = -1;
    return fd;
}

// Doubles the bucket array; keeps the old one when memory is short (longer chains only).
void grow_buckets_locked()
{
    size_t count = bucket_count == 0 ? FIRST_BUCKETS : bucket_count * 2;
    auto** fresh = static_cast<TableEntry**>(std::calloc(count, sizeof(TableEntry*)));
    if (fresh == nullptr) {
        return;
    }
    for (size_t i = 0; i < bucket_count; ++i) {
        for (TableEntry* e = buckets[i]; e != nullptr;) {
            TableEntry* next = e->chain;
            TableEntry*& head = fresh[e->hash & (count - 1)];
            e->chain = head;
            head = e;
            e = next;
        }
    }
    std::free(buckets);
    buckets = fresh;
    bucket_count = count;
}

void detach_locked(TableEntry* e, Victims& victims)
{
    if (!e->in_table) {
        return;
    }
    for (TableEntry** p = &buckets[e->hash & (bucket_count - 1)]; *p != nullptr; p = &(*p)->chain) {
        if (*p == e) {
            *p = e->chain;
            break;
        }
    }
    e->chain = nullptr;
    unlink_use_order(e);
    --entry_count;
    if (e->fd >= 0) {
        // Still closed with the entry; only no longer counted among the kept ones.
        int fd = drop_kept_fd_locked(e);
        e->fd = fd;
    }
    e->in_table = false;
    if (e->pins == 0) {
        victims.add(e);
    }
}

// Enters `e`, unless the bucket array cannot exist. Evicts the least recently used idle entry
// when the table is full.
bool insert_locked(TableEntry* e, Victims& victims)
{
    if (max_entries == 0) {
        max_entries = read_max_entries();
    }
    while (entry_count >= max_entries) {
        TableEntry* lru = oldest;
        while (lru != nullptr && lru->pins != 0) {
            lru = lru->newer;
        }
        if (lru == nullptr) {
            return false; // every entry is in use: this one serves its caller uncached
        }
        detach_locked(lru, victims);
    }
    if (entry_count >= bucket_count) {
        grow_buckets_locked();
    }
    if (bucket_count == 0) {
        return false;
    }
    TableEntry*& head = buckets[e->hash & (bucket_count - 1)];
    e->chain = head;
    head = e;
    e->newer = nullptr;
    e->older = newest;
    (newest != nullptr ? newest->newer : oldest) = e;
    newest = e;
    ++entry_count;
    if (e->fd >= 0) {
        add_kept_fd_locked(e);
    }
    e->in_table = true;
    return true;
}

// Takes the descriptors of idle entries, oldest first, at most `max`, into `fds` for closing
// outside the lock: the entries stay mapped and cached, checked by their path from now on.
int take_idle_fds_locked(int* fds, int max)
{
    int n = 0;
    for (TableEntry* e = fd_oldest; e != nullptr && n < max;) {
        TableEntry* next = e->fd_newer;
        if (e->pins == 0) {
            fds[n++] = drop_kept_fd_locked(e);
        }
        e = next;
    }
    return n;
}

// Gives every idle descriptor back (EMFILE or ENFILE seen). Whether any was.
bool give_back_fds()
{
    int fds[MAX_KEPT_FDS];
    int n;
    {
        TableLock lock;
        n = take_idle_fds_locked(fds, MAX_KEPT_FDS);
    }
    for (int i = 0; i < n; ++i) {
        close(fds[i]);
    }
    return n > 0;
}

// Gives a quarter of the idle entries back, oldest first (a mapping failed). Whether any was.
bool give_back_mappings()
{
    Victims victims;
    bool any = false;
    {
        TableLock lock;
        size_t goal = entry_count / 4 + 1;
        for (TableEntry* e = oldest; e != nullptr && goal > 0;) {
            TableEntry* next = e->newer;
            if (e->pins == 0) {
                detach_locked(e, victims);
                any = true;
                --goal;
            }
            e = next;
        }
    }
    destroy_all(victims);
    return any;
}

// An object is published under one name with exactly one link (renameat2 publishing), so a
// count of 0 means removed. More than one link is a creation by the older link-then-unlink
// scheme in progress, or a hard link made by hand: then the name itself is asked.
bool still_published(const char* path, const struct stat& st)
{
    if (st.st_nlink == 1) {
        return true;
    }
    if (st.st_nlink == 0) {
        return false;
    }
    struct stat named;
    return stat(path, &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

// Whether `e` still holds the object published under its name, with that object's status in
// `st`: fstat of its descriptor, or a stat of its path compared with the object it maps (which
// also tells an object renamed away). The caller pins `e` or holds the table lock.
bool check_entry(const TableEntry* e, struct stat& st)
{
    if (e->fd >= 0) {
        return fstat(e->fd, &st) == 0 && still_published(e->path, st);
    }
    return stat(e->path, &st) == 0 && st.st_dev == e->id.dev && st.st_ino == e->id.ino;
}

// Starts the directory watch once; false if the process cannot have one. Under dir_watch_lock.
bool dir_watch_started()
{
    if (dir_watch_fd >= 0) {
        return true;
    }
    if (dir_watch_refused) {
        return false;
    }
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, SHM_DIR, DIR_WATCH_EVENTS) < 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        dir_watch_refused = true;
        return false;
    }
    dir_watch_fd = fd;
    return true;
}

// Stops trusting the directory watch for good (its directory went, or reading it failed).
void stop_dir_watch_locked()
{
    ++dir_watch_epoch;
    dir_watch_refused = true;
}

// Applies one batch of events. Under table_lock.
void apply_events_locked(const char* buf, size_t len)
{
    for (size_t at = 0; at + sizeof(struct inotify_event) <= len;) {
        struct inotify_event ev;
        std::memcpy(&ev, buf + at, sizeof(ev));
        const char* name = buf + at + sizeof(ev);
        at += sizeof(ev) + ev.len;
        if (ev.mask & IN_Q_OVERFLOW) {
            ++dir_watch_epoch; // events were lost: nothing remembered holds
        }
        else if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
            stop_dir_watch_locked();
        }
        else if (ev.len != 0 && at <= len) {
            size_t name_len;
            uint64_t hash = hash_name(name, name_len);
            if (TableEntry* e = find_locked(hash, name, name_len)) {
                e->seen_epoch = 0;
                ++e->events;
            }
        }
    }
}

// Reads every event queued so far. Under dir_watch_lock, not table_lock.
void drain_dir_watch()
{
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(dir_watch_fd, buf, sizeof(buf));
        if (n > 0) {
            TableLock lock;
            apply_events_locked(buf, static_cast<size_t>(n));
            if (dir_watch_refused) {
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        TableLock lock;
        stop_dir_watch_locked();
        break;
    }
    close(dir_watch_fd);
    dir_watch_fd = -1;
}

// check_entry for an entry without a descriptor, answered from what its last stat found while
// the directory watch has told of no event about its name since.
bool check_watched(TableEntry* e, struct stat& st)
{
    int saved = errno;
    uint64_t epoch = 0;
    uint64_t events = 0;
    pthread_mutex_lock(&dir_watch_lock);
    if (dir_watch_started()) {
        drain_dir_watch();
    }
    {
        TableLock lock;
        if (dir_watch_fd >= 0) {
            if (e->seen_epoch == dir_watch_epoch) {
                st = e->seen;
                pthread_mutex_unlock(&dir_watch_lock);
                errno = saved;
                return true;
            }
            epoch = dir_watch_epoch;
            events = e->events;
        }
    }
    pthread_mutex_unlock(&dir_watch_lock);
    errno = saved;
    if (!check_entry(e, st)) {
        return false;
    }
    if (epoch != 0) {
        TableLock lock;
        if (epoch == dir_watch_epoch && events == e->events) {
            e->seen = st;
            e->seen_epoch = epoch;
        }
    }
    return true;
}

// Drops entries whose object was removed elsewhere (so its memory is not pinned for long) and
// entries inherited over fork: a few each tenth of a second, so that even a full table costs
// only microseconds at a time. Under the lock, fstat or stat only.
void sweep_locked(Victims& victims)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    long elapsed =
        (now.tv_sec - last_sweep.tv_sec) * 1000000000L + (now.tv_nsec - last_sweep.tv_nsec);
    if (elapsed < SWEEP_INTERVAL_NS || bucket_count == 0) {
        return;
    }
    last_sweep = now;
    watch_tick();
    forget_soft_limit();
    int checked = 0;
    for (size_t visited = 0; visited < bucket_count && checked < SWEEP_BATCH; ++visited) {
        sweep_cursor = (sweep_cursor + 1) & (bucket_count - 1);
        for (TableEntry* e = buckets[sweep_cursor]; e != nullptr;) {
            TableEntry* next = e->chain;
            struct stat st;
            ++checked;
            if (e->pins == 0 && (e->generation != generation || !check_entry(e, st))) {
                detach_locked(e, victims);
            }
            e = next;
        }
    }
}

void unpin(TableEntry* e)
{
    Mapping* retired = nullptr;
    bool destroy = false;
    {
        TableLock lock;
        if (--e->pins == 0) {
            destroy = !e->in_table;
            if (!destroy) {
                retired = e->retired;
                e->retired = nullptr;
            }
        }
    }
    if (destroy) {
        destroy_entry(e);
        return;
    }
    while (retired != nullptr) {
        Mapping* next = retired->next;
        munmap(retired->addr, retired->len);
        delete retired;
        retired = next;
    }
}

void after_fork_prepare()
{
    pthread_mutex_lock(&dir_watch_lock);
    pthread_mutex_lock(&table_lock);
}

void after_fork_parent()
{
    pthread_mutex_unlock(&table_lock);
    pthread_mutex_unlock(&dir_watch_lock);
}

// The child's descriptors share open file descriptions with the parent's: it opens every name
// afresh instead. What the parent's other threads had pinned is simply never reused.
void after_fork_child()
{
    ++generation;
    last_sweep = {0, 0};
    // The inherited instance's queue is the parent's: the child starts its own when it needs it.
    if (dir_watch_fd >= 0) {
        close(dir_watch_fd);
        dir_watch_fd = -1;
    }
    dir_watch_refused = false;
    ++dir_watch_epoch;
    pthread_mutex_unlock(&table_lock);
    pthread_mutex_unlock(&dir_watch_lock);
}

void register_fork_handlers()
{
    static bool registered = [] {
        pthread_atfork(after_fork_prepare, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
}

// shm_open(name, O_RDWR), giving the table's idle descriptors back when the process has none
// left.
int open_name(const char* name)
{
    for (;;) {
        int fd = shm_open(name, O_RDWR, SEGMENT_MODE);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) {
            return fd;
        }
        int err = errno;
        forget_soft_limit();
        if (!give_back_fds()) {
            errno = err;
            return -1;
        }
    }
}

// Maps the object, giving idle entries back when the address space or the mapping count is
// exhausted.
bool map_or_give_back(int fd, size_t object_size, Mapping& out)
{
    for (;;) {
        if (map_object(fd, object_size, out)) {
            return true;
        }
        if (errno != ENOMEM || !give_back_mappings()) {
            return false;
        }
    }
}

// Makes `ref`'s own descriptor of the object `e` maps, opened by name: -1 with errno ESTALE when
// the name refers to another object now (or ENOENT, or the open's error).
int open_same_object(const TableEntry* e)
{
    int fd = open_name(e->name());
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != e->id.dev || st.st_ino != e->id.ino) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

} // namespace

SegmentRef::SegmentRef(SegmentRef&& other) noexcept
    : entry_(other.entry_), map_(other.map_), map_len_(other.map_len_), stat_(other.stat_),
      own_fd_(other.own_fd_)
{
    other.entry_ = nullptr;
    other.own_fd_ = -1;
}

SegmentRef& SegmentRef::operator=(SegmentRef&& other) noexcept
{
    if (this != &other) {
        reset();
        entry_ = other.entry_;
        map_ = other.map_;
        map_len_ = other.map_len_;
        stat_ = other.stat_;
        own_fd_ = other.own_fd_;
        other.entry_ = nullptr;
        other.own_fd_ = -1;
    }
    return *this;
}

void SegmentRef::reset() noexcept
{
    if (own_fd_ >= 0) {
        close(own_fd_);
        own_fd_ = -1;
    }
    if (entry_ != nullptr) {
        unpin(entry_);
        entry_ = nullptr;
        map_ = nullptr;
        map_len_ = 0;
        stat_ = {};
    }
}

int SegmentRef::fd() noexcept
{
    // A pinned entry's descriptor is never given back.
    if (entry_->fd >= 0) {
        return entry_->fd;
    }
    if (own_fd_ < 0) {
        own_fd_ = open_same_object(entry_);
    }
    return own_fd_;
}

ObjectId SegmentRef::id() const noexcept
{
    return entry_->id;
}

bool SegmentRef::refresh_size()
{
    int fd = this->fd();
    return fd >= 0 && fstat(fd, &stat_) == 0;
}

bool SegmentRef::still_linked(bool& linked)
{
    if (entry_->fd >= 0 || own_fd_ >= 0) {
        if (!refresh_size()) {
            return false;
        }
        linked = stat_.st_nlink > 0;
        return true;
    }
    // Checked by its path: the directory watch, or a stat of the path against the object it maps,
    // tells without opening the name.
    struct stat st;
    errno = 0;
    linked = check_watched(entry_, st);
    if (linked) {
        stat_ = st;
        return true;
    }
    return errno == 0 || errno == ENOENT || errno == ENOTDIR;
}

bool SegmentRef::cover_more(size_t len)
{
    Mapping current;
    {
        TableLock lock;
        current = entry_->map;
    }
    if (current.len < len) {
        int fd = this->fd();
        Mapping fresh;
        if (fd < 0 || !map_or_give_back(fd, len, fresh)) {
            return false;
        }
        auto* old = new (std::nothrow) Mapping;
        bool kept = false;
        {
            TableLock lock;
            if (entry_->map.len < len && old != nullptr) {
                *old = entry_->map;
                old->next = entry_->retired;
                entry_->retired = old;
                entry_->map = fresh;
                kept = true;
            }
            current = entry_->map;
        }
        if (!kept) {
            // Another thread mapped it meanwhile (or no memory to remember the old mapping).
            munmap(fresh.addr, fresh.len);
            delete old;
            if (current.len < len) {
                errno = ENOMEM;
                return false;
            }
        }
    }
    map_ = current.addr;
    map_len_ = current.len;
    return true;
}

void SegmentRef::forget()
{
    Victims victims;
    {
        TableLock lock;
        detach_locked(entry_, victims);
    }
    destroy_all(victims);
}

SegmentRef segment_adopt(const char* name, int fd)
{
    register_fork_handlers();
    struct stat st;
    Mapping map;
    // Another user's object is refused before it is mapped.
    if (fstat(fd, &st) != 0 || !owner_allows(st) ||
        !map_or_give_back(fd, static_cast<size_t>(st.st_size), map)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return SegmentRef();
    }
    size_t len;
    uint64_t hash = hash_name(name, len);
    auto* e = static_cast<TableEntry*>(std::malloc(sizeof(TableEntry) + sizeof(SHM_DIR) + len));
    if (e == nullptr) {
        munmap(map.addr, map.len);
        close(fd);
        errno = ENOMEM;
        return SegmentRef();
    }
    e->hash = hash;
    e->name_len = len;
    std::memcpy(e->path, SHM_DIR, sizeof(SHM_DIR) - 1);
    std::memcpy(e->path + sizeof(SHM_DIR) - 1, name, len + 1);
    e->fd = fd;
    e->id = ObjectId{st.st_dev, st.st_ino};
    e->map = map;
    e->retired = nullptr;
    e->pins = 1;
    e->in_table = false;
    e->chain = e->newer = e->older = e->fd_newer = e->fd_older = nullptr;
    e->seen_epoch = 0;
    e->events = 0;
    int fd_limit;
    int allowance = fd_allowance(fd_limit);
    int fds[2];
    int fds_to_close = 0;
    Victims victims;
    {
        TableLock lock;
        e->generation = generation;
        if (TableEntry* old = find_locked(hash, name, len)) {
            detach_locked(old, victims);
        }
        if (fd >= fd_limit || allowance == 0) {
            // One of the process's last descriptors: the entry is checked by its path.
            fds[fds_to_close++] = fd;
            e->fd = -1;
        }
        else if (kept_fds >= allowance) {
            // The newest keep theirs: the oldest idle one is given back.
            fds_to_close += take_idle_fds_locked(fds + fds_to_close, 1);
            if (kept_fds >= allowance) {
                fds[fds_to_close++] = fd;
                e->fd = -1;
            }
        }
        insert_locked(e, victims);
    }
    for (int i = 0; i < fds_to_close; ++i) {
        close(fds[i]);
    }
    destroy_all(victims);
    SegmentRef ref;
    ref.entry_ = e;
    ref.map_ = map.addr;
    ref.map_len_ = map.len;
    ref.stat_ = st;
    return ref;
}

SegmentRef segment_open(const char* name)
{
    register_fork_handlers();
    size_t len;
    uint64_t hash = hash_name(name, len);
    Victims victims;
    TableEntry* e;
    Mapping map;
    {
        TableLock lock;
        sweep_locked(victims);
        e = find_locked(hash, name, len);
        if (e != nullptr && e->generation != generation) {
            detach_locked(e, victims);
            e = nullptr;
        }
        if (e != nullptr) {
            ++e->pins;
            mark_used_locked(e);
            map = e->map;
        }
    }
    destroy_all(victims);
    if (e != nullptr) {
        SegmentRef ref;
        ref.entry_ = e;
        ref.map_ = map.addr;
        ref.map_len_ = map.len;
        struct stat st;
        if (e->fd >= 0 ? check_entry(e, st) : check_watched(e, st)) {
            if (!owner_allows(st)) {
                ref.forget();
                ref.reset();
                errno = EPERM;
                return SegmentRef();
            }
            ref.stat_ = st;
            if (ref.cover(ref.object_size())) {
                return ref;
            }
            if (errno != ESTALE && errno != ENOENT) {
                return SegmentRef();
            }
            // Replaced or removed between the check and the new mapping: opened afresh below.
        }
        ref.forget();
    }
    int fd = open_name(name);
    if (fd < 0) {
        return SegmentRef();
    }
    return segment_adopt(name, fd);
}

void segment_forget(const char* name)
{
    size_t len;
    uint64_t hash = hash_name(name, len);
    Victims victims;
    {
        TableLock lock;
        if (TableEntry* e = find_locked(hash, name, len)) {
            detach_locked(e, victims);
        }
    }
    destroy_all(victims);
}

} // namespace tw
