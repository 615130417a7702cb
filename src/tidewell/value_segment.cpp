// Shared value segments: a 48-byte header (capacity and a robust mutex), then the data area.
#include "tidewell/value_segment.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_table.hpp"
#include "tidewell/value_lock.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

struct BasicShm {
    size_t max_size;       // capacity of the data area
    pthread_mutex_t mutex; // guards capacity, growth and the data area
};
static_assert(sizeof(BasicShm) == 48, "peers rely on a 48-byte value header");

constexpr size_t HEADER_SIZE = sizeof(BasicShm);
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

// A value segment pinned in the segment table and locked by this thread; the destructor
// unlocks. The mutex is unlocked through the mapping it was locked through (`locked_header`),
// which the pinned reference keeps in place even when the data area is mapped again.
struct OpenSegment {
    SegmentRef ref;
    BasicShm* locked_header = nullptr;
    ObjectId id{};
    size_t capacity = 0; // max_size as checked against the object under the lock

    OpenSegment() = default;
    OpenSegment(const OpenSegment&) = delete;
    OpenSegment& operator=(const OpenSegment&) = delete;
    ~OpenSegment()
    {
        if (locked_header != nullptr) {
            pthread_mutex_unlock(&locked_header->mutex);
            leave_held(id);
        }
    }

    BasicShm* header() const { return reinterpret_cast<BasicShm*>(ref.map()); }
    unsigned char* data() const { return ref.map() + HEADER_SIZE; }
};

struct ValueInit {
    size_t pre_size;
};

static const char* init_value_header(unsigned char* map, void* ctx)
{
    auto* header = reinterpret_cast<BasicShm*>(map);
    if (init_robust_mutex(&header->mutex) != 0) {
        return "Failed to initialize mutex for shared memory address '%s'.";
    }
    header->max_size = static_cast<ValueInit*>(ctx)->pre_size;
    return nullptr;
}

// 1 created, 0 not created (no exception), -1 failed with an exception set. A segment this call
// created enters the segment table, and `adopted` (when given) holds it.
static int create_shared_memory(const char* name, size_t pre_size, PyObject* error_if_exists,
                                SegmentRef* adopted)
{
    pre_size = value_capacity(pre_size);
    ValueInit init{pre_size};
    int fd = -1;
    int rc = create_segment_fd(name, static_cast<off_t>(pre_size + HEADER_SIZE), HEADER_SIZE,
                               init_value_header, &init, nullptr, &fd);
    if (rc == 0 && errno == EEXIST && flag_set(error_if_exists)) {
        raise_segment_error("The memory address '%s' already exists.", name);
        return -1;
    }
    if (rc == 1) {
        SegmentRef ref = segment_adopt(name, fd);
        if (adopted != nullptr) {
            *adopted = std::move(ref);
        }
    }
    return rc;
}

// Best effort: if this fails too, the object stays larger than max_size says, which is harmless.
static void shrink_back(int fd, off_t size)
{
    int rc = ftruncate(fd, size);
    (void)rc;
}

// Returned by a step whose system call was interrupted by a signal handler that raised: the
// handler's exception stands.
static const char SIGNAL_RAISED[] = "";

// Under the lock: checks the shared capacity against the object, grows the object when
// `new_size` data bytes do not fit, and makes the mapping cover the data area. Returns nullptr,
// or the message of the step that failed. `max_size` is shared and may be damaged: it is checked
// against the object's real size before any size is computed from it, so no sum below can wrap.
// Callable again while the lock is held (a read-modify-write grows after reading).
static const char* fit_data_area(OpenSegment& seg, size_t new_size)
{
    size_t max_size = seg.header()->max_size;
    size_t object_size = seg.ref.object_size();
    if (max_size > object_size - HEADER_SIZE) {
        // Grown by another process since the lookup, or a damaged header.
        if (!seg.ref.refresh_size()) {
            return "Failed to map shared memory address '%s'.";
        }
        object_size = seg.ref.object_size();
        if (object_size < HEADER_SIZE || max_size > object_size - HEADER_SIZE) {
            return "The shared memory address '%s' is damaged: its header claims more than it "
                   "holds.";
        }
    }
    if (new_size > max_size) {
        if (new_size > static_cast<size_t>(INT64_MAX) - HEADER_SIZE - GROWTH_SLACK - 1) {
            return "Failed to resize shared memory.";
        }
        size_t capacity = value_capacity(new_size + GROWTH_SLACK);
        size_t total = capacity + HEADER_SIZE;
        int sized = size_and_reserve(seg.ref.fd(), static_cast<off_t>(total));
        if (sized != 0) {
            // Give back what could not be reserved; the old value and capacity stay.
            shrink_back(seg.ref.fd(), static_cast<off_t>(object_size));
            return sized < 0 ? SIGNAL_RAISED : "Failed to resize shared memory.";
        }
        if (!seg.ref.cover(total) || !seg.ref.refresh_size()) {
            return "Failed to map shared memory address '%s'.";
        }
        seg.header()->max_size = capacity;
        max_size = capacity;
    }
    else if (!seg.ref.cover(HEADER_SIZE + max_size)) {
        return "Failed to map shared memory address '%s'.";
    }
    seg.capacity = max_size;
    return nullptr;
}

// Creations of a missing name that another process removes as fast as it is created.
constexpr int CREATE_ATTEMPTS = 100;

static PyObject* raise_open_error(const char* name)
{
    return raise_segment_error("Failed to open shared memory address '%s'.", name);
}

// Opens `name` through the segment table (creating it when allowed), locks it, grows it so
// that `new_size` data bytes fit, and maps all of it. Returns false with an exception set, or,
// when `absent` is given and the name does not exist, false with `*absent` set and no exception.
static bool get_basic_shm(const char* name, size_t new_size, PyObject* create, OpenSegment& seg,
                          bool* absent = nullptr)
{
    seg.ref = segment_open(name);
    if (!seg.ref) {
        if (raise_refused(name)) {
            return false;
        }
        if (absent != nullptr && errno == ENOENT) {
            *absent = true;
            return false;
        }
        if (errno != ENOENT || (create != nullptr && !Py_IsTrue(create))) {
            raise_open_error(name);
            return false;
        }
        // Another process may create the name meanwhile, and a third remove it again before
        // it is opened here: create again then, a bounded number of times.
        for (int attempt = 0; !seg.ref && attempt < CREATE_ATTEMPTS; ++attempt) {
            if (create_shared_memory(name, 0, nullptr, &seg.ref) < 0) {
                return false;
            }
            if (!seg.ref) {
                seg.ref = segment_open(name);
            }
            if (!seg.ref && errno != ENOENT) {
                break;
            }
        }
        if (!seg.ref) {
            if (!raise_refused(name)) {
                raise_segment_error("Failed to open shared memory address '%s' after creation.",
                                    name);
            }
            return false;
        }
    }
    size_t size = seg.ref.object_size();
    if (size < HEADER_SIZE) {
        raise_segment_error("The shared memory address '%s' does not hold a value.", name);
        return false;
    }
    if (size == FUNCTION_SEGMENT_SIZE &&
        std::memcmp(seg.ref.map() + FUNCTION_MAGIC_OFFSET, FUNCTION_MAGIC, 2) == 0) {
        // A function segment keeps its own mutex where a value's header is: never lock it.
        raise_segment_error("The shared memory address '%s' holds a function, not a value.", name);
        return false;
    }
    if (!looks_like_segment_mutex(&seg.header()->mutex)) {
        raise_segment_error("The shared memory address '%s' does not hold a value.", name);
        return false;
    }
    ObjectId id = seg.ref.id();
    if (!enter_held(id, name)) {
        return false;
    }
    BasicShm* header = seg.header();
    if (lock_segment_mutex(&header->mutex, name) == LOCK_FAILED) {
        leave_held(id);
        return false;
    }
    seg.locked_header = header;
    seg.id = id;
    const char* failure = fit_data_area(seg, new_size);
    if (failure != nullptr) {
        if (failure != SIGNAL_RAISED) {
            raise_segment_error(failure, name);
        }
        return false;
    }
    return true;
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
            PyErr_SetString(PyExc_ValueError, "The given pre-allocate size is too large.");
            return nullptr;
        }
    }
    int rc = create_shared_memory(name, pre_size, error_if_exists, nullptr);
    if (rc < 0) {
        return nullptr;
    }
    return PyBool_FromLong(rc);
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

PyObject* write_memory_impl(const char* name, PyObject* value, PyObject* create)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return nullptr;
    }
    OpenSegment seg;
    if (!get_basic_shm(name, encoded.len, create, seg)) {
        return nullptr;
    }
    // The one copy of a write: from the encoder's buffer into the segment.
    store_value(seg.data(), encoded.bytes, encoded.len);
    Py_RETURN_TRUE;
}

PyObject* read_memory_impl(const char* name)
{
    OpenSegment seg;
    if (!get_basic_shm(name, 0, Py_None, seg)) {
        return nullptr;
    }
    if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
        Py_RETURN_NONE;
    }
    // Decoded in place under the lock: the only copy is the one into the new objects. Writers
    // wait on the mutex, and the decoder never reads past the checked capacity. Python code that
    // runs meanwhile and reaches this name again gets RuntimeError (enter_held).
    return zeb2::to_value_buffer(seg.data(), seg.capacity);
}

// Under the lock: whether the locked object is still the one published under its name. The
// key operations remove a name only while holding its lock, so an object found linked here stays
// the name's until it is unlocked, and nothing written to a key is lost to a removal that the
// writer waited for. false with an exception set when the object cannot be examined.
static bool locked_still_linked(OpenSegment& seg, const char* name, bool* linked)
{
    if (!seg.ref.refresh_size()) {
        raise_segment_error("Failed to open shared memory address '%s'.", name);
        return false;
    }
    *linked = seg.ref.last_stat().st_nlink > 0;
    return true;
}

PyObject* write_key_impl(const char* name, PyObject* value)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return nullptr;
    }
    for (;;) {
        OpenSegment seg;
        bool linked = false;
        if (!get_basic_shm(name, encoded.len, nullptr, seg) ||
            !locked_still_linked(seg, name, &linked)) {
            return nullptr;
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
        OpenSegment seg;
        bool absent = false;
        bool linked = false;
        if (!get_basic_shm(name, 0, Py_None, seg, &absent)) {
            return absent ? Py_NewRef(missing) : nullptr;
        }
        if (!locked_still_linked(seg, name, &linked)) {
            return nullptr;
        }
        if (!linked) {
            continue; // removed meanwhile; the name may hold a newer object
        }
        PyRef value;
        if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
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
        segment_forget(name);
        if (rc != 0 && errno == ENOENT) {
            // Unlinked by hand between the check and here: it was not ours to report.
            return Py_NewRef(missing);
        }
        if (rc != 0) {
            return raise_segment_error("Failed to unlink shared memory address '%s'.", name);
        }
        return value.release();
    }
}

PyObject* read_value_or(const char* name, PyObject* missing)
{
    OpenSegment seg;
    bool absent = false;
    if (!get_basic_shm(name, 0, Py_None, seg, &absent)) {
        return absent ? Py_NewRef(missing) : nullptr;
    }
    if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
        return Py_NewRef(missing);
    }
    return zeb2::to_value_buffer(seg.data(), seg.capacity);
}

PyObject* remove_memory_impl(const char* name, PyObject* throw_error)
{
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

// A read-modify-write: the lock stays held while Python code computes the new value, whose size
// is known only then.
struct HeldValue {
    OpenSegment seg;
    const char* name = nullptr;
};

HeldValue* hold_value(const char* name, PyObject* create)
{
    auto* held = new (std::nothrow) HeldValue;
    if (held == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    held->name = name;
    if (!get_basic_shm(name, 0, create, held->seg)) {
        delete held;
        return nullptr;
    }
    return held;
}

HeldValue* hold_key(const char* name)
{
    for (;;) {
        HeldValue* held = hold_value(name, nullptr);
        bool linked = false;
        if (held == nullptr) {
            return nullptr;
        }
        if (!locked_still_linked(held->seg, name, &linked)) {
            delete held;
            return nullptr;
        }
        if (linked) {
            return held;
        }
        delete held;
    }
}

void drop_unwritten_key(HeldValue* held)
{
    const OpenSegment& seg = held->seg;
    if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
        // Still linked: hold_key checked it, and key removals wait for the lock held here.
        if (shm_unlink(held->name) == 0) {
            segment_forget(held->name);
        }
    }
}

PyObject* held_value_read(HeldValue* held, PyObject* fallback)
{
    const OpenSegment& seg = held->seg;
    if (seg.capacity == 0 || seg.data()[0] == NEVER_WRITTEN) {
        return Py_NewRef(fallback);
    }
    return zeb2::to_value_buffer(seg.data(), seg.capacity);
}

bool held_value_write(HeldValue* held, PyObject* value)
{
    EncodedValue encoded;
    if (!encoded.encode(value)) {
        return false;
    }
    OpenSegment& seg = held->seg;
    if (encoded.len > seg.capacity) {
        const char* failure = fit_data_area(seg, encoded.len);
        if (failure != nullptr) {
            if (failure != SIGNAL_RAISED) {
                raise_segment_error(failure, held->name);
            }
            return false;
        }
    }
    unsigned char* dst = seg.data();
    if (encoded.len <= sizeof(uint64_t) && seg.capacity >= sizeof(uint64_t)) {
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

void release_value(HeldValue* held)
{
    delete held;
}

} // namespace tw
