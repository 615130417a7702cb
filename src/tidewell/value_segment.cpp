// Shared value segments: a 48-byte header (capacity and a robust mutex), then the data area.
#include "tidewell/value_segment.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/segment_error.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_table.hpp"
#include "tidewell/value_lock.hpp"
#include "tidewell/guarded_copy.hpp"
#include "tidewell/watch_table.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <climits>
#include <utility>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

struct BasicShm {
    size_t max_size;       // capacity of the data area
    pthread_mutex_t mutex; // guards capacity, growth and the data area
};
static_assert(sizeof(BasicShm) == VALUE_HEADER_SIZE, "peers rely on a 48-byte value header");
static_assert(offsetof(BasicShm, mutex) == VALUE_MUTEX_OFFSET);

constexpr size_t HEADER_SIZE = VALUE_HEADER_SIZE;
const size_t MAX_PREALLOC_SIZE = SIZE_MAX - HEADER_SIZE;
// Growth leaves 32 bytes of slack: the object becomes new_size + 80 bytes.
constexpr size_t GROWTH_SLACK = 32;
// Capacity to give a value object: never one that makes the object exactly a function segment's
// size (it gets one byte more then), so a value tidewell wrote is never taken for a function.
static size_t value_capacity(size_t capacity)
{
    return capacity + HEADER_SIZE == FUNCTION_SEGMENT_SIZE ? capacity + 1 : capacity;
}

// Copies larger than this run with the GIL released.
constexpr size_t RELEASE_GIL_COPY = 1 << 20;

static bool flag_set(PyObject* flag)
{
    return flag != nullptr && Py_IsTrue(flag);
}

HeldValue::~HeldValue()
{
    unlock();
}

HeldValue::HeldValue(HeldValue&& other) noexcept
    : ref(std::move(other.ref)), locked_header(other.locked_header), id(other.id),
      capacity(other.capacity), name(other.name), header_lost(other.header_lost)
{
    other.locked_header = nullptr;
}

void HeldValue::unlock() noexcept
{
    if (locked_header != nullptr) {
        // A mutex whose page was cut off by a truncation is gone for everybody: touching it would
        // raise SIGBUS.
        if (!header_lost) {
            pthread_mutex_unlock(&locked_header->mutex);
        }
        leave_held(id);
        locked_header = nullptr;
    }
}

BasicShm* HeldValue::header() const
{
    return reinterpret_cast<BasicShm*>(ref.map());
}

unsigned char* HeldValue::data() const
{
    return ref.map() + HEADER_SIZE;
}

// First byte of the data area: a protocol marker (0xFD, 0xFE) once a value is written, 0 while
// nothing was ever written (a fresh or preallocated area), WRITING while a write is under way.
constexpr unsigned char NEVER_WRITTEN = 0x00;
constexpr unsigned char WRITING = 0xFF;

// Copies an encoded value into the data area. The marker byte is written last, after a barrier,
// so a writer that dies midway leaves WRITING, which older peers read as an invalid marker, never
// as a different value or as "nothing written" (and which this build repairs from the redo copy).
static void store_value(unsigned char* dst, const unsigned char* src, size_t len)
{
    __atomic_store_n(dst, WRITING, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    std::memcpy(dst + 1, src + 1, len - 1);
    __atomic_store_n(dst, src[0], __ATOMIC_RELEASE);
}

// The write record, past the data area at the next 8-aligned offset, in room older peers never
// read (they size and read only header + capacity). `state` is REDO_TAG ^ len while a complete
// copy of the value being written follows the record (the data area may be torn then), and
// LIVE_TAG ^ len once the data area holds those len bytes. Whoever takes the lock and finds the
// marker WRITING replays a REDO copy: a writer killed at any instant leaves the old value (redo
// not yet complete, data area untouched) or the new one (redo complete).
struct WriteRecord {
    uint64_t len;
    uint64_t state;
};
constexpr size_t RECORD_SIZE = sizeof(WriteRecord);
constexpr uint64_t REDO_TAG = 0x5245444f74772d31; // "REDOtw-1"
constexpr uint64_t LIVE_TAG = 0x4c49564574772d31; // "LIVEtw-1"

static size_t record_offset(size_t capacity)
{
    return (HEADER_SIZE + capacity + 7) & ~size_t{7};
}

// Object size that holds `capacity` and a redo copy of `len` bytes.
static size_t size_with_redo(size_t capacity, size_t len)
{
    return record_offset(capacity) + RECORD_SIZE + len;
}

static WriteRecord* record_of(unsigned char* map, size_t capacity)
{
    return reinterpret_cast<WriteRecord*>(map + record_offset(capacity));
}

static void mark_live(WriteRecord* record, size_t len)
{
    __atomic_store_n(&record->len, len, __ATOMIC_RELAXED);
    __atomic_store_n(&record->state, LIVE_TAG ^ len, __ATOMIC_RELEASE);
}

struct DurableWrite {
    unsigned char* data;
    WriteRecord* record;
    const unsigned char* bytes;
    size_t len;
};

// Redo copy first, then the data area: see WriteRecord.
static void durable_write_step(void* context)
{
    auto* w = static_cast<DurableWrite*>(context);
    __atomic_store_n(&w->record->state, uint64_t{0}, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    w->record->len = w->len;
    std::memcpy(reinterpret_cast<unsigned char*>(w->record + 1), w->bytes, w->len);
    __atomic_store_n(&w->record->state, REDO_TAG ^ w->len, __ATOMIC_RELEASE);
    store_value(w->data, w->bytes, w->len);
    __atomic_store_n(&w->record->state, LIVE_TAG ^ w->len, __ATOMIC_RELEASE);
}

static bool run_maybe_without_gil(void (*step)(void*), void* context, size_t len)
{
    bool ok;
    if (len > RELEASE_GIL_COPY) {
        Py_BEGIN_ALLOW_THREADS
            ok = run_guarded(step, context);
        Py_END_ALLOW_THREADS
    }
    else {
        ok = run_guarded(step, context);
    }
    return ok;
}

// The encoder's own bytes object, untrimmed: `len` bytes of encoding at `bytes`.
struct EncodedValue {
    PyRef object;
    const unsigned char* bytes = nullptr;
    size_t len = 0;

    bool encode(PyObject* value)
    {
        object = PyRef(zeb2::encode_untrimmed(value, &len));
        if (!object) {
            return false;
        }
        bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object.get()));
        return true;
    }
};

// Largest data size whose object size (with the header and the slack of growth) fits an off_t.
constexpr size_t MAX_DATA_SIZE = static_cast<size_t>(INT64_MAX) - HEADER_SIZE - GROWTH_SLACK - 1;

struct ValueInit {
    size_t capacity;
    const EncodedValue* first; // the value a new object is published with, or nullptr
};

static Status init_value_header(unsigned char* map, void* ctx)
{
    auto* init = static_cast<ValueInit*>(ctx);
    auto* header = reinterpret_cast<BasicShm*>(map);
    int rc = init_robust_mutex(&header->mutex);
    if (rc != 0) {
        return failed(Step::MUTEX_INIT, rc);
    }
    header->max_size = init->capacity;
    if (init->first != nullptr) {
        store_value(map + HEADER_SIZE, init->first->bytes, init->first->len);
    }
    return STATUS_OK;
}

// Creates value object `name` of capacity `pre_size`, or, with `first`, holding that value (with
// the slack of growth), so that the name appears with its value or not at all. On OK the object
// enters the segment table, and `adopted` (when given) holds it, unless it could not be mapped
// (then empty: the object exists all the same). EXISTS when the name is taken.
static Status create_value(const char* name, size_t pre_size, const EncodedValue* first,
                           SegmentRef* adopted)
{
    if (first != nullptr) {
        if (first->len > MAX_DATA_SIZE) {
            return failed(Step::ALLOCATE, EFBIG);
        }
        pre_size = first->len + GROWTH_SLACK;
    }
    ValueInit init{value_capacity(pre_size), first};
    // No room for a write record yet: the first write that overwrites a value adds it (a read
    // without one copies the whole capacity, here the value and the slack of growth).
    size_t map_size = HEADER_SIZE + (first != nullptr ? first->len : 0);
    MappedObject object;
    Status status = create_segment(name, static_cast<off_t>(init.capacity + HEADER_SIZE), map_size,
                                   init_value_header, &init, object);
    if (!status) {
        return status;
    }
    object.unmap();
    SegmentRef ref = segment_adopt(name, object.release_fd());
    if (adopted != nullptr) {
        *adopted = std::move(ref);
    }
    return STATUS_OK;
}

// Whether a step failed only because the name no longer refers to the object this process has
// mapped (removed, or removed and created again, by another process): the entry had no
// descriptor of its own and opening the name found another object or none. The operation is
// repeated on what the name holds now.
static bool lost_its_name(Status status)
{
    return (status.step == Step::MAP || status.step == Step::RESIZE) &&
           (status.err == ESTALE || status.err == ENOENT);
}

// Best effort: if this fails too, the object stays larger than max_size says, which is harmless.
static void shrink_back(int fd, off_t size)
{
    int rc = ftruncate(fd, size);
    (void)rc;
}

// Under the lock: checks the shared capacity against the object, grows the object when
// `new_size` data bytes do not fit, and makes the mapping cover the data area. `max_size` is
// shared and may be damaged: it is checked against the object's real size before any size is
// computed from it, so no sum below can wrap. Callable again while the lock is held (a
// read-modify-write grows after reading).
static Status fit_data_area(HeldValue& seg, size_t new_size)
{
    size_t max_size = seg.header()->max_size;
    size_t object_size = seg.ref.object_size();
    if (max_size > object_size - HEADER_SIZE) {
        // Grown by another process since the lookup, or a damaged header.
        if (!seg.ref.refresh_size()) {
            return failed(Step::MAP);
        }
        object_size = seg.ref.object_size();
        if (object_size < HEADER_SIZE) {
            return failed(Step::DAMAGED, 0);
        }
        if (max_size > object_size - HEADER_SIZE) {
            // Cut short by someone with write access: what it held is lost, but a write replaces
            // all of it, so it grows the object again instead of refusing it for ever.
            if (new_size == 0) {
                return failed(Step::DAMAGED, 0);
            }
            max_size = 0;
        }
    }
    if (new_size > max_size) {
        if (new_size > MAX_DATA_SIZE) {
            return failed(Step::RESIZE, EFBIG);
        }
        size_t capacity = value_capacity(new_size + GROWTH_SLACK);
        // With room for the redo copy of this write, so that it needs no second growth.
        size_t total = size_with_redo(capacity, new_size);
        int fd = seg.ref.fd();
        if (fd < 0) {
            return failed(Step::RESIZE);
        }
        Status sized =
            gil_free_status(size_and_reserve(fd, static_cast<off_t>(total)), Step::RESIZE);
        if (!sized) {
            // Give back what could not be reserved; the old value and capacity stay.
            shrink_back(fd, static_cast<off_t>(object_size));
            return sized;
        }
        if (!seg.ref.cover(total) || !seg.ref.refresh_size()) {
            return failed(Step::MAP);
        }
        seg.header()->max_size = capacity;
        max_size = capacity;
    }
    else if (!seg.ref.cover(HEADER_SIZE + max_size)) {
        return failed(Step::MAP);
    }
    seg.capacity = max_size;
    return STATUS_OK;
}

// Opens `name` through the segment table, creating it when it is missing and `create` allows
// (with `first`, holding that value: then `published_first` is set and nothing is locked).
// Otherwise locks it, grows it so that `new_size` data bytes fit, and maps all of it.
//
// Opening, creating and opening again is repeated for as long as each attempt fails only because
// another process changed the name meanwhile (created it before us, then removed it before we
// opened it): every round means someone else made progress, so this ends unless the name is
// recreated and removed for ever, and Ctrl-C still ends it.
static Status replay_redo(HeldValue& seg);

static Status open_value_once(const char* name, size_t new_size, PyObject* create, HeldValue& seg,
                              const EncodedValue* first, bool& published_first)
{
    published_first = false;
    for (unsigned round = 1;; ++round) {
        seg.ref = segment_open(name);
        if (seg.ref) {
            break;
        }
        int err = errno;
        if (err == EPERM || err == EACCES) {
            return failed(Step::REFUSED, err);
        }
        if (err != ENOENT || (create != nullptr && !Py_IsTrue(create))) {
            return failed(Step::OPEN, err);
        }
        Status created = create_value(name, 0, first, &seg.ref);
        if (created) {
            if (first != nullptr) {
                published_first = true;
                return STATUS_OK;
            }
            if (!seg.ref) {
                return failed(Step::MAP);
            }
            break;
        }
        if (created.step == Step::NOT_CREATED) {
            return failed(Step::OPEN_AFTER_CREATE, created.err);
        }
        if (created.step != Step::EXISTS) {
            return created;
        }
        if (round % 64 == 0 && PyErr_CheckSignals() < 0) {
            return Status{Step::RAISED, 0};
        }
    }
    size_t size = seg.ref.object_size();
    Recognition what = recognise(name, size, seg.ref.map(), std::min(size, RECOGNISE_BYTES));
    if (what.kind == ObjectKind::FUNCTION) {
        // A function segment keeps its own mutex where a value's header is: never lock it.
        return failed(Step::IS_FUNCTION, 0);
    }
    if (what.kind != ObjectKind::VALUE) {
        return failed(Step::NOT_VALUE, 0);
    }
    ObjectId id = seg.ref.id();
    if (!enter_held(id, name)) {
        return Status{Step::RAISED, 0};
    }
    BasicShm* header = seg.header();
    Status locked = lock_segment_mutex(&header->mutex);
    if (!locked) {
        leave_held(id);
        return locked;
    }
    seg.locked_header = header;
    seg.id = id;
    seg.name = name;
    Status fitted = fit_data_area(seg, 0);
    if (!fitted) {
        // A header cut short is repaired by a write, which replaces all of it.
        return fitted.step == Step::DAMAGED && new_size != 0 ? fit_data_area(seg, new_size)
                                                             : fitted;
    }
    if (seg.capacity != 0 && seg.data()[0] == WRITING) {
        // A writer died holding the lock: finish its write before anyone reads, and before a
        // writer overwrites the redo copy (killed in turn before its own copy is complete, it
        // would leave a torn value and no copy to finish it from).
        Status replayed = replay_redo(seg);
        if (!replayed) {
            return replayed;
        }
    }
    return new_size > seg.capacity ? fit_data_area(seg, new_size) : STATUS_OK;
}

// Lets go of what `seg` holds and drops its table entry, so that the name is opened afresh.
static void let_go_of_stale(HeldValue& seg)
{
    seg.unlock();
    if (seg.ref) {
        seg.ref.forget();
        seg.ref.reset();
    }
    seg.capacity = 0;
    seg.header_lost = false;
}

// open_value_once, repeated once when the object it locked lost its name before it could be
// grown or sized (an entry checked by its path has no descriptor to do it with). The fresh open
// keeps a descriptor, so a second loss needs another replacement within this call.
static Status open_value(const char* name, size_t new_size, PyObject* create, HeldValue& seg,
                         const EncodedValue* first, bool& published_first)
{
    Status status = open_value_once(name, new_size, create, seg, first, published_first);
    if (!status && lost_its_name(status)) {
        let_go_of_stale(seg);
        status = open_value_once(name, new_size, create, seg, first, published_first);
    }
    return status;
}

// Under the lock: makes the object hold a redo copy of `len` bytes past the data area.
static Status make_redo_room(HeldValue& seg, size_t len)
{
    size_t need = size_with_redo(seg.capacity, len);
    size_t object_size = seg.ref.object_size();
    if (need > object_size) {
        int fd = seg.ref.fd();
        if (fd < 0) {
            return failed(Step::RESIZE);
        }
        Status sized =
            gil_free_status(size_and_reserve(fd, static_cast<off_t>(need)), Step::RESIZE);
        if (!sized) {
            shrink_back(fd, static_cast<off_t>(object_size));
            return sized;
        }
        if (!seg.ref.refresh_size()) {
            return failed(Step::MAP);
        }
    }
    if (!seg.ref.cover(need)) {
        return failed(Step::MAP);
    }
    return STATUS_OK;
}

// After a guarded step failed: the object was truncated under us. The mutex is left alone when
// its page went with the rest.
static Status truncated(HeldValue& seg)
{
    if (!seg.ref.refresh_size() || seg.ref.object_size() < HEADER_SIZE) {
        seg.header_lost = true;
    }
    return failed(Step::TRUNCATED, 0);
}

// Under the lock, with the data area fitting `len` bytes: stores them so that a kill at any
// instant leaves the old value or the new one for the next holder of the lock.
static Status store_durably(HeldValue& seg, const EncodedValue& value)
{
    size_t len = value.len;
    if (len <= sizeof(uint64_t) && seg.capacity >= sizeof(uint64_t)) {
        // One aligned store (the data area starts 8-aligned) needs no redo copy. The bytes after
        // the value stay as they were.
        unsigned char* dst = seg.data();
        uint64_t word;
        std::memcpy(&word, dst, sizeof(word));
        std::memcpy(&word, value.bytes, len);
        __atomic_store_n(reinterpret_cast<uint64_t*>(dst), word, __ATOMIC_RELEASE);
        if (size_with_redo(seg.capacity, 0) <= seg.ref.object_size() &&
            seg.ref.cover(size_with_redo(seg.capacity, 0))) {
            mark_live(record_of(seg.ref.map(), seg.capacity), len);
        }
        return STATUS_OK;
    }
    Status room = make_redo_room(seg, len);
    if (!room) {
        return room;
    }
    DurableWrite w{seg.data(), record_of(seg.ref.map(), seg.capacity), value.bytes, len};
    if (!run_maybe_without_gil(durable_write_step, &w, len)) {
        return truncated(seg);
    }
    return STATUS_OK;
}

struct Replay {
    unsigned char* data;
    WriteRecord* record;
    size_t capacity;
    size_t object_room; // bytes of the object from the record on
    bool replayed;
};

static void replay_step(void* context)
{
    auto* r = static_cast<Replay*>(context);
    uint64_t len = r->record->len;
    uint64_t state = __atomic_load_n(&r->record->state, __ATOMIC_ACQUIRE);
    if (state != (REDO_TAG ^ len) || len == 0 || len > r->capacity ||
        len > r->object_room - RECORD_SIZE) {
        return; // torn by a writer that kept no redo copy: it reads as an invalid marker
    }
    const unsigned char* copy = reinterpret_cast<const unsigned char*>(r->record + 1);
    store_value(r->data, copy, len);
    __atomic_store_n(&r->record->state, LIVE_TAG ^ len, __ATOMIC_RELEASE);
    r->replayed = true;
}

static Status replay_redo(HeldValue& seg)
{
    // The dead writer may have grown the object for its redo copy after this process last
    // looked: the size known here can be short of the copy.
    if (!seg.ref.refresh_size()) {
        return failed(Step::MAP);
    }
    size_t offset = record_offset(seg.capacity);
    size_t object_size = seg.ref.object_size();
    if (offset + RECORD_SIZE > object_size) {
        return STATUS_OK;
    }
    if (!seg.ref.cover(object_size)) {
        return failed(Step::MAP);
    }
    Replay r{seg.data(), record_of(seg.ref.map(), seg.capacity), seg.capacity, object_size - offset,
             false};
    if (!run_maybe_without_gil(replay_step, &r, seg.capacity)) {
        return truncated(seg);
    }
    return STATUS_OK;
}

// A private copy of a stored encoding, taken under the lock and decoded after it (or, for a
// read-modify-write, while it is still held): readers wait for each other only for the copy,
// and a truncation during the copy is an error instead of SIGBUS.
struct ValueCopy {
    // Most values fit here, and are copied with their record in one guarded step, no allocation.
    unsigned char small[4096];
    unsigned char* bytes = small;
    size_t len = 0;
    bool from_record = false; // len came from this build's write record

    ValueCopy() = default;
    ValueCopy(const ValueCopy&) = delete;
    ValueCopy& operator=(const ValueCopy&) = delete;
    ~ValueCopy() { release(); }

    void release() noexcept
    {
        if (bytes != small) {
            PyMem_RawFree(bytes);
            bytes = small;
        }
    }
};

// Reads the write record and, when the value it states fits `dst`, copies the value too.
struct RecordedCopy {
    const WriteRecord* record;
    const unsigned char* data;
    size_t capacity;
    unsigned char* dst;
    size_t dst_room;
    size_t len = 0; // the record's LIVE length, 0 when it states none
    bool copied = false;
};

static void recorded_copy_step(void* context)
{
    auto* c = static_cast<RecordedCopy*>(context);
    WriteRecord record = *c->record;
    if (record.state != (LIVE_TAG ^ record.len) || record.len == 0 || record.len > c->capacity) {
        return;
    }
    c->len = record.len;
    if (c->len <= c->dst_room) {
        std::memcpy(c->dst, c->data, c->len);
        c->copied = true;
    }
}

// The encoding's length: this build's record says it; otherwise (written by an older peer) the
// whole capacity is copied. A record an older writer left stale can only be shorter or longer
// than the value: longer copies trailing bytes the decoder ignores, shorter cuts the encoding,
// which never decodes (every encoding states its own extent), and the read is repeated in full.
static Status copy_value_out(HeldValue& seg, ValueCopy& copy, bool trust_record)
{
    copy.release();
    size_t len = seg.capacity;
    copy.from_record = false;
    size_t offset = record_offset(seg.capacity);
    if (trust_record && offset + RECORD_SIZE <= seg.ref.object_size()) {
        if (!seg.ref.cover(offset + RECORD_SIZE)) {
            Status status = failed(Step::MAP);
            if (!lost_its_name(status)) {
                return status;
            }
            // The record cannot be mapped (the name moved on): the whole data area, which is,
            // is copied.
            return copy_value_out(seg, copy, false);
        }
        RecordedCopy c{record_of(seg.ref.map(), seg.capacity), seg.data(), seg.capacity, copy.small,
                       sizeof(copy.small)};
        if (!run_guarded(recorded_copy_step, &c)) {
            return truncated(seg);
        }
        if (c.len != 0) {
            len = c.len;
            copy.from_record = len < seg.capacity;
            if (c.copied) {
                copy.len = len;
                return STATUS_OK;
            }
        }
    }
    if (len > sizeof(copy.small)) {
        copy.bytes = static_cast<unsigned char*>(PyMem_RawMalloc(len));
        if (copy.bytes == nullptr) {
            copy.bytes = copy.small;
            PyErr_NoMemory();
            return Status{Step::RAISED, 0};
        }
    }
    copy.len = len;
    bool ok;
    if (len > RELEASE_GIL_COPY) {
        Py_BEGIN_ALLOW_THREADS
            ok = guarded_copy(copy.bytes, seg.data(), len);
        Py_END_ALLOW_THREADS
    }
    else {
        ok = guarded_copy(copy.bytes, seg.data(), len);
    }
    return ok ? STATUS_OK : truncated(seg);
}

// Decodes a copy of the value held under the lock. NULL with an exception set.
static PyObject* decode_copy_of(const HeldValue& held)
{
    auto& seg = const_cast<HeldValue&>(held);
    ValueCopy copy;
    for (bool trust_record : {true, false}) {
        Status status = copy_value_out(seg, copy, trust_record);
        if (!status) {
            return raise_status(status, seg.name);
        }
        PyObject* value = zeb2::to_value_buffer(copy.bytes, copy.len);
        if (value != nullptr || !copy.from_record || !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return value;
        }
        // A record left stale by an older writer: copy the whole data area.
        PyErr_Clear();
    }
    return nullptr;
}

PyObject* create_memory_impl(const char* name, PyObject* prealloc_size, PyObject* error_if_exists)
{
    size_t pre_size = 0;
    if (prealloc_size != nullptr) {
        pre_size = PyLong_AsSize_t(prealloc_size);
        // The object must hold the 48-byte header as well.
        if ((pre_size == static_cast<size_t>(-1) && PyErr_Occurred()) ||
            pre_size > SIZE_MAX - HEADER_SIZE) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, msg::PREALLOC_TOO_LARGE);
            return nullptr;
        }
    }
    Status status = create_value(name, pre_size, nullptr, nullptr);
    if (status) {
        notify_watchers(name);
        Py_RETURN_TRUE;
    }
    if (status.step == Step::EXISTS) {
        if (flag_set(error_if_exists)) {
            return raise_status(status, name);
        }
        Py_RETURN_FALSE;
    }
    if (status.step == Step::NOT_CREATED) {
        Py_RETURN_FALSE;
    }
    return raise_status(status, name);
}

PyObject* write_memory_impl(const char* name, PyObject* value, PyObject* create)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return nullptr;
    }
    HeldValue seg;
    bool published = false;
    Status status = open_value(name, encoded.len, create, seg, &encoded, published);
    if (status && !published) {
        // From the encoder's buffer into the redo copy and the data area.
        status = store_durably(seg, encoded);
        if (!status && lost_its_name(status)) {
            // Nothing was written: the name's current object takes the value.
            let_go_of_stale(seg);
            status = open_value(name, encoded.len, create, seg, &encoded, published);
            if (status && !published) {
                status = store_durably(seg, encoded);
            }
        }
    }
    if (!status) {
        return raise_status(status, name);
    }
    seg.unlock();
    notify_watchers(name);
    Py_RETURN_TRUE;
}

static bool holds_no_value(const HeldValue& seg)
{
    return seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN;
}

static bool is_missing(Status status)
{
    return status.step == Step::OPEN && status.err == ENOENT;
}

enum class Stored { MISSING, EMPTY, COPIED };

// Opens `name` and copies its encoding out under the lock, which is let go on return: readers
// and writers wait for each other only for the copy, and Python code that decoding runs may use
// the name again. `stored` says whether there was a name, and a value in it.
static Status copy_out_unlocked(const char* name, bool trust_record, ValueCopy& copy,
                                Stored& stored)
{
    HeldValue seg;
    bool published;
    Status status = open_value(name, 0, Py_None, seg, nullptr, published);
    if (!status) {
        stored = Stored::MISSING;
        return is_missing(status) ? STATUS_OK : status;
    }
    stored = holds_no_value(seg) ? Stored::EMPTY : Stored::COPIED;
    return stored == Stored::COPIED ? copy_value_out(seg, copy, trust_record) : STATUS_OK;
}

// Reads a value: `missing` (borrowed) when the name holds none, or is absent and `missing` is set.
static PyObject* read_unlocked(const char* name, PyObject* missing)
{
    for (bool trust_record : {true, false}) {
        ValueCopy copy;
        Stored stored;
        Status status = copy_out_unlocked(name, trust_record, copy, stored);
        if (!status) {
            return raise_status(status, name);
        }
        if (stored == Stored::MISSING && missing == nullptr) {
            return raise_status(Status{Step::OPEN, ENOENT}, name);
        }
        if (stored != Stored::COPIED) {
            return Py_NewRef(missing != nullptr ? missing : Py_None);
        }
        PyObject* value = zeb2::to_value_buffer(copy.bytes, copy.len);
        if (value != nullptr || !copy.from_record || !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return value;
        }
        // A record left stale by an older writer: read the whole data area.
        PyErr_Clear();
    }
    return nullptr;
}

PyObject* read_memory_impl(const char* name)
{
    return read_unlocked(name, nullptr);
}

PyObject* remove_memory_impl(const char* name, PyObject* throw_error)
{
    // Removing a name whose lock this thread holds (from inside update_memory's function, a
    // finalizer, a signal handler) is re-entry like any other use of it.
    char path[PATH_MAX];
    if (segment_path(name, path, sizeof(path)) && refuse_if_held(path, name)) {
        return nullptr;
    }
    int rc = shm_unlink(name);
    // Whatever the outcome, this process stops using what it had open under the name.
    segment_forget(name);
    if (rc == 0) {
        notify_watchers(name);
        Py_RETURN_TRUE;
    }
    if (flag_set(throw_error)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to unlink the shared memory.");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

bool hold_value(const char* name, PyObject* create, HeldValue& held)
{
    bool published;
    Status status = open_value(name, 0, create, held, nullptr, published);
    if (!status) {
        raise_status(status, name);
        return false;
    }
    return true;
}

PyObject* held_value_read(const HeldValue& held, PyObject* fallback)
{
    if (held.capacity == 0 || held.data()[0] == NEVER_WRITTEN) {
        return Py_NewRef(fallback);
    }
    return decode_copy_of(held);
}

bool held_value_write(HeldValue& held, PyObject* value)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return false;
    }
    if (encoded.len > held.capacity) {
        Status status = fit_data_area(held, encoded.len);
        if (!status) {
            raise_status(status, held.name);
            return false;
        }
    }
    Status status = store_durably(held, encoded);
    if (!status) {
        raise_status(status, held.name);
        return false;
    }
    return true;
}

// Under the lock: whether the locked object is still the one published under its name. The key
// operations remove a name only while holding its lock, so an object found linked here stays the
// name's until it is unlocked, and nothing written to a key is lost to a removal that the writer
// waited for.
static Status locked_still_linked(HeldValue& seg, bool& linked)
{
    return seg.ref.still_linked(linked) ? STATUS_OK : failed(Step::OPEN);
}

PyObject* read_value_or(const char* name, PyObject* missing)
{
    return read_unlocked(name, missing);
}

PyObject* read_encoding_or(const char* name, PyObject* missing, bool trust_record)
{
    ValueCopy copy;
    Stored stored;
    Status status = copy_out_unlocked(name, trust_record, copy, stored);
    if (!status) {
        return raise_status(status, name);
    }
    if (stored != Stored::COPIED) {
        return stored == Stored::MISSING ? Py_NewRef(missing)
                                         : PyBytes_FromStringAndSize(nullptr, 0);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(copy.bytes),
                                     static_cast<Py_ssize_t>(copy.len));
}

PyObject* write_key_impl(const char* name, PyObject* value)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return nullptr;
    }
    for (;;) {
        HeldValue seg;
        bool published = false;
        bool linked = false;
        Status status = open_value(name, encoded.len, nullptr, seg, &encoded, published);
        if (status && !published) {
            status = locked_still_linked(seg, linked);
        }
        if (!status) {
            return raise_status(status, name);
        }
        if (published) {
            notify_watchers(name);
            Py_RETURN_TRUE;
        }
        if (linked) {
            status = store_durably(seg, encoded);
            if (!status) {
                return raise_status(status, name);
            }
            seg.unlock();
            notify_watchers(name);
            Py_RETURN_TRUE;
        }
        // Removed while this write waited for the lock: write to the name's next object.
    }
}

PyObject* take_key_impl(const char* name, PyObject* missing, bool decode)
{
    for (;;) {
        HeldValue seg;
        bool published;
        bool linked = false;
        Status status = open_value(name, 0, Py_None, seg, nullptr, published);
        if (status) {
            status = locked_still_linked(seg, linked);
        }
        if (!status) {
            return is_missing(status) ? Py_NewRef(missing) : raise_status(status, name);
        }
        if (!linked) {
            continue; // removed meanwhile; the name may hold a newer object
        }
        PyRef value;
        if (holds_no_value(seg)) {
            value = PyRef::borrow(missing);
        }
        else if (decode) {
            // A value that does not decode stays, with the decoder's error.
            value = PyRef(decode_copy_of(seg));
            if (!value) {
                return nullptr;
            }
        }
        else {
            value = PyRef::borrow(Py_True);
        }
        int rc = shm_unlink(name);
        int err = errno;
        segment_forget(name);
        if (rc != 0 && err == ENOENT) {
            // Unlinked by hand between the check and here: it was not ours to report.
            return Py_NewRef(missing);
        }
        if (rc != 0) {
            return raise_status(failed(Step::UNLINK, err), name);
        }
        seg.unlock();
        notify_watchers(name);
        return value.release();
    }
}

bool hold_key(const char* name, HeldValue& held)
{
    for (;;) {
        bool linked = false;
        if (!hold_value(name, nullptr, held)) {
            return false;
        }
        Status status = locked_still_linked(held, linked);
        if (!status) {
            raise_status(status, name);
            return false;
        }
        if (linked) {
            return true;
        }
        held.unlock();
    }
}

void drop_unwritten_key(const HeldValue& held)
{
    // Still linked: hold_key checked it, and key removals wait for the lock held here.
    if (holds_no_value(held) && shm_unlink(held.name) == 0) {
        segment_forget(held.name);
    }
}

} // namespace tw
