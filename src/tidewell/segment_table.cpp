#include "tidewell/segment_table.hpp"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

// Address space reserved per mapping: at least this much, else the object's size rounded up to
// a power of two. Pages past the end of the object are never touched; reserving them lets the
// mapping follow the object's growth without mapping it again.
constexpr size_t MIN_RESERVE = size_t{1} << 20;
// Entries of objects removed by other processes are looked for at most this often.
constexpr long SWEEP_INTERVAL_NS = 1000000000L;

struct Mapping {
    unsigned char* addr = nullptr;
    size_t len = 0;
    Mapping* next = nullptr; // chain of retired mappings
};

} // namespace

struct TableEntry {
    uint64_t hash;
    char name[MAX_NAME_BYTES + 1];
    int fd;
    ObjectId id;
    Mapping map;         // current mapping, handed to new references
    Mapping* retired;    // earlier mappings that pinned references may still use
    int pins;            // live SegmentRefs
    uint64_t last_use;   // LRU clock
    unsigned generation; // fork generation it was opened in
    bool in_table;
};

namespace {

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
TableEntry* slots[MAX_OPEN_SEGMENTS];
int slot_count = 0;
uint64_t use_clock = 0;
unsigned generation = 0;
struct timespec last_sweep = {0, 0};

class TableLock {
  public:
    TableLock() { pthread_mutex_lock(&table_lock); }
    ~TableLock() { pthread_mutex_unlock(&table_lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// Entries taken out of the table under the lock, destroyed after it is released.
struct Victims {
    TableEntry* list[MAX_OPEN_SEGMENTS + 1];
    int count = 0;
    void add(TableEntry* e) { list[count++] = e; }
};

void destroy_entry(TableEntry* e)
{
    munmap(e->map.addr, e->map.len);
    for (Mapping* m = e->retired; m != nullptr;) {
        Mapping* next = m->next;
        munmap(m->addr, m->len);
        delete m;
        m = next;
    }
    close(e->fd);
    delete e;
}

void destroy_all(Victims& victims)
{
    for (int i = 0; i < victims.count; ++i) {
        destroy_entry(victims.list[i]);
    }
}

uint64_t hash_name(const char* name)
{
    uint64_t h = 14695981039346656037ULL;
    for (const char* p = name; *p != '\0'; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
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

TableEntry* find_locked(uint64_t hash, const char* name)
{
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i]->hash == hash && std::strcmp(slots[i]->name, name) == 0) {
            return slots[i];
        }
    }
    return nullptr;
}

void detach_locked(TableEntry* e, Victims& victims)
{
    if (!e->in_table) {
        return;
    }
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i] == e) {
            slots[i] = slots[--slot_count];
            break;
        }
    }
    e->in_table = false;
    if (e->pins == 0) {
        victims.add(e);
    }
}

// An object is published under one name with exactly one link (renameat2 publishing), so a
// count of 0 means removed. More than one link is a creation by the older link-then-unlink
// scheme in progress, or a hard link made by hand: then the name itself is asked.
bool still_published(const char* name, const struct stat& st)
{
    if (st.st_nlink == 1) {
        return true;
    }
    if (st.st_nlink == 0) {
        return false;
    }
    char path[PATH_MAX];
    struct stat named;
    return segment_path(name, path, sizeof(path)) && stat(path, &named) == 0 &&
           named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

// Drops entries whose object was removed elsewhere (so its memory is not pinned for long) and
// entries inherited over fork. At most once a second; under the lock, fstat only.
void sweep_locked(Victims& victims)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    long elapsed =
        (now.tv_sec - last_sweep.tv_sec) * 1000000000L + (now.tv_nsec - last_sweep.tv_nsec);
    if (elapsed < SWEEP_INTERVAL_NS) {
        return;
    }
    last_sweep = now;
    for (int i = slot_count - 1; i >= 0; --i) {
        TableEntry* e = slots[i];
        struct stat st;
        if (e->pins == 0 &&
            (e->generation != generation || fstat(e->fd, &st) != 0 || st.st_nlink == 0)) {
            detach_locked(e, victims);
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
    pthread_mutex_lock(&table_lock);
}

void after_fork_parent()
{
    pthread_mutex_unlock(&table_lock);
}

// The child's descriptors share open file descriptions with the parent's: it opens every name
// afresh instead. What the parent's other threads had pinned is simply never reused.
void after_fork_child()
{
    ++generation;
    last_sweep = {0, 0};
    pthread_mutex_unlock(&table_lock);
}

void register_fork_handlers()
{
    static bool registered = [] {
        pthread_atfork(after_fork_prepare, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
}

} // namespace

SegmentRef::SegmentRef(SegmentRef&& other) noexcept
    : entry_(other.entry_), map_(other.map_), map_len_(other.map_len_), stat_(other.stat_)
{
    other.entry_ = nullptr;
}

SegmentRef& SegmentRef::operator=(SegmentRef&& other) noexcept
{
    if (this != &other) {
        reset();
        entry_ = other.entry_;
        map_ = other.map_;
        map_len_ = other.map_len_;
        stat_ = other.stat_;
        other.entry_ = nullptr;
    }
    return *this;
}

void SegmentRef::reset() noexcept
{
    if (entry_ != nullptr) {
        unpin(entry_);
        entry_ = nullptr;
        map_ = nullptr;
        map_len_ = 0;
        stat_ = {};
    }
}

int SegmentRef::fd() const noexcept
{
    return entry_->fd;
}

ObjectId SegmentRef::id() const noexcept
{
    return entry_->id;
}

bool SegmentRef::refresh_size()
{
    return fstat(entry_->fd, &stat_) == 0;
}

bool SegmentRef::cover(size_t len)
{
    if (len <= map_len_) {
        return true;
    }
    Mapping current;
    {
        TableLock lock;
        current = entry_->map;
    }
    if (current.len < len) {
        Mapping fresh;
        if (!map_object(entry_->fd, len, fresh)) {
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
    if (fstat(fd, &st) != 0 || !map_object(fd, static_cast<size_t>(st.st_size), map)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return SegmentRef();
    }
    auto* e = new (std::nothrow) TableEntry;
    if (e == nullptr) {
        munmap(map.addr, map.len);
        close(fd);
        errno = ENOMEM;
        return SegmentRef();
    }
    e->hash = hash_name(name);
    std::strncpy(e->name, name, MAX_NAME_BYTES);
    e->name[MAX_NAME_BYTES] = '\0';
    e->fd = fd;
    e->id = ObjectId{st.st_dev, st.st_ino};
    e->map = map;
    e->retired = nullptr;
    e->pins = 1;
    e->in_table = false;
    Victims victims;
    {
        TableLock lock;
        e->generation = generation;
        e->last_use = ++use_clock;
        if (TableEntry* old = find_locked(e->hash, name)) {
            detach_locked(old, victims);
        }
        if (slot_count == MAX_OPEN_SEGMENTS) {
            TableEntry* lru = nullptr;
            for (int i = 0; i < slot_count; ++i) {
                if (slots[i]->pins == 0 && (lru == nullptr || slots[i]->last_use < lru->last_use)) {
                    lru = slots[i];
                }
            }
            if (lru != nullptr) {
                detach_locked(lru, victims);
            }
        }
        // When every entry is in use, this one serves its caller uncached.
        if (slot_count < MAX_OPEN_SEGMENTS) {
            slots[slot_count++] = e;
            e->in_table = true;
        }
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
    uint64_t hash = hash_name(name);
    Victims victims;
    TableEntry* e;
    Mapping map;
    {
        TableLock lock;
        sweep_locked(victims);
        e = find_locked(hash, name);
        if (e != nullptr && e->generation != generation) {
            detach_locked(e, victims);
            e = nullptr;
        }
        if (e != nullptr) {
            ++e->pins;
            e->last_use = ++use_clock;
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
        if (fstat(e->fd, &st) == 0 && still_published(name, st)) {
            ref.stat_ = st;
            if (!ref.cover(ref.object_size())) {
                return SegmentRef();
            }
            return ref;
        }
        ref.forget();
    }
    int fd = shm_open(name, O_RDWR, SEGMENT_MODE);
    if (fd < 0) {
        return SegmentRef();
    }
    return segment_adopt(name, fd);
}

void segment_forget(const char* name)
{
    uint64_t hash = hash_name(name);
    Victims victims;
    {
        TableLock lock;
        if (TableEntry* e = find_locked(hash, name)) {
            detach_locked(e, victims);
        }
    }
    destroy_all(victims);
}

} // namespace tw
