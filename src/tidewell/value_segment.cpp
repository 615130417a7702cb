// Shared value segments: a 48-byte header (capacity and a robust mutex), then the data area.
#include "tidewell/value_segment.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/segment_error.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_table.hpp"
#include "tidewell/value_lock.hpp"
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
      capacity(other.capacity), name(other.name)
{
    other.locked_header = nullptr;
}

void HeldValue::unlock() noexcept
{
    if (locked_header != nullptr) {
        pthread_mutex_unlock(&locked_header->mutex);
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
// so a writer that dies midway leaves WRITING, which reads as an invalid marker, never as a
// different value or as "nothing written".
static void store_value(unsigned char* dst, const unsigned char* src, size_t len)
{
    __atomic_store_n(dst, WRITING, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (len > RELEASE_GIL_COPY) {
        Py_BEGIN_ALLOW_THREADS
            std::memcpy(dst + 1, src + 1, len - 1);
        Py_END_ALLOW_THREADS
    }
    else {
        std::memcpy(dst + 1, src + 1, len - 1);
    }
    __atomic_store_n(dst, src[0], __ATOMIC_RELEASE);
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
        if (object_size < HEADER_SIZE || max_size > object_size - HEADER_SIZE) {
            return failed(Step::DAMAGED, 0);
        }
    }
    if (new_size > max_size) {
        if (new_size > MAX_DATA_SIZE) {
            return failed(Step::RESIZE, EFBIG);
        }
        size_t capacity = value_capacity(new_size + GROWTH_SLACK);
        size_t total = capacity + HEADER_SIZE;
        Status sized = gil_free_status(size_and_reserve(seg.ref.fd(), static_cast<off_t>(total)),
                                       Step::RESIZE);
        if (!sized) {
            // Give back what could not be reserved; the old value and capacity stay.
            shrink_back(seg.ref.fd(), static_cast<off_t>(object_size));
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
static Status open_value(const char* name, size_t new_size, PyObject* create, HeldValue& seg,
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
    return fit_data_area(seg, new_size);
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
    if (!status) {
        return raise_status(status, name);
    }
    if (!published) {
        // The one copy of a write: from the encoder's buffer into the segment.
        store_value(seg.data(), encoded.bytes, encoded.len);
    }
    Py_RETURN_TRUE;
}

PyObject* read_memory_impl(const char* name)
{
    HeldValue seg;
    bool published;
    Status status = open_value(name, 0, Py_None, seg, nullptr, published);
    if (!status) {
        return raise_status(status, name);
    }
    if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
        Py_RETURN_NONE;
    }
    // Decoded in place under the lock: the only copy is the one into the new objects. Writers
    // wait on the mutex, and the decoder never reads past the checked capacity. Python code that
    // runs meanwhile and reaches this name again gets RuntimeError (enter_held).
    return zeb2::to_value_buffer(seg.data(), seg.capacity);
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
    return zeb2::to_value_buffer(held.data(), held.capacity);
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
    unsigned char* dst = held.data();
    if (encoded.len <= sizeof(uint64_t) && held.capacity >= sizeof(uint64_t)) {
        // One aligned store (the data area starts 8-aligned): a process killed here leaves the
        // old value or the new one, never a torn one. The bytes after the value stay as they were.
        uint64_t word;
        std::memcpy(&word, dst, sizeof(word));
        std::memcpy(&word, encoded.bytes, encoded.len);
        __atomic_store_n(reinterpret_cast<uint64_t*>(dst), word, __ATOMIC_RELEASE);
    }
    else {
        store_value(dst, encoded.bytes, encoded.len);
    }
    return true;
}

// Under the lock: whether the locked object is still the one published under its name. The key
// operations remove a name only while holding its lock, so an object found linked here stays the
// name's until it is unlocked, and nothing written to a key is lost to a removal that the writer
// waited for.
static Status locked_still_linked(HeldValue& seg, bool& linked)
{
    if (!seg.ref.refresh_size()) {
        return failed(Step::OPEN);
    }
    linked = seg.ref.last_stat().st_nlink > 0;
    return STATUS_OK;
}

static bool holds_no_value(const HeldValue& seg)
{
    return seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN;
}

static bool is_missing(Status status)
{
    return status.step == Step::OPEN && status.err == ENOENT;
}

PyObject* read_value_or(const char* name, PyObject* missing)
{
    HeldValue seg;
    bool published;
    Status status = open_value(name, 0, Py_None, seg, nullptr, published);
    if (!status) {
        return is_missing(status) ? Py_NewRef(missing) : raise_status(status, name);
    }
    if (holds_no_value(seg)) {
        return Py_NewRef(missing);
    }
    return zeb2::to_value_buffer(seg.data(), seg.capacity);
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
            Py_RETURN_TRUE;
        }
        if (linked) {
            store_value(seg.data(), encoded.bytes, encoded.len);
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
            value = PyRef(zeb2::to_value_buffer(seg.data(), seg.capacity));
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
