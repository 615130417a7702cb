// Shared value segments: a 48-byte header (capacity and a robust mutex), then the data area.
#include "tidewell/value_segment.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/value_lock.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <fcntl.h>
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
// Copies larger than this run with the GIL released.
constexpr size_t RELEASE_GIL_COPY = 1 << 20;

static bool flag_set(PyObject* flag)
{
    return flag != nullptr && Py_IsTrue(flag);
}

// An open, locked value segment. The mutex is locked and unlocked through `header`, the first
// mapping, which stays at one address while the lock is held, as robust mutexes require. `full`
// is that same mapping unless the object had to be mapped again at a larger size.
struct OpenSegment {
    BasicShm* header = nullptr;
    size_t header_len = 0;
    unsigned char* full = nullptr;
    size_t full_len = 0;

    unsigned char* data() const { return full + HEADER_SIZE; }
    size_t capacity() const { return header->max_size; }
};

static void close_shm(OpenSegment& seg)
{
    pthread_mutex_unlock(&seg.header->mutex);
    if (seg.full != nullptr && seg.full != reinterpret_cast<unsigned char*>(seg.header)) {
        munmap(seg.full, seg.full_len);
    }
    munmap(seg.header, seg.header_len);
    seg = OpenSegment{};
}

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

// 1 created, 0 not created (no exception), -1 failed with an exception set.
static int create_shared_memory(const char* name, size_t pre_size, PyObject* error_if_exists)
{
    ValueInit init{pre_size};
    int rc = create_segment(name, static_cast<off_t>(pre_size + HEADER_SIZE), HEADER_SIZE,
                            init_value_header, &init, nullptr);
    if (rc == 0 && errno == EEXIST && flag_set(error_if_exists)) {
        raise_segment_error("The memory address '%s' already exists.", name);
        return -1;
    }
    return rc;
}

// Best effort: if this fails too, the object stays larger than max_size says, which is harmless.
static void shrink_back(int fd, off_t size)
{
    int rc = ftruncate(fd, size);
    (void)rc;
}

static bool is_function_segment(int fd, const struct stat& st)
{
    unsigned char magic[2];
    return static_cast<size_t>(st.st_size) == FUNCTION_SEGMENT_SIZE &&
           pread(fd, magic, 2, FUNCTION_MAGIC_OFFSET) == 2 &&
           std::memcmp(magic, FUNCTION_MAGIC, 2) == 0;
}

static int open_segment(const char* name, PyObject* create)
{
    int fd = shm_open(name, O_RDWR, SEGMENT_MODE);
    if (fd >= 0) {
        return fd;
    }
    if (errno != ENOENT || (create != nullptr && !Py_IsTrue(create))) {
        raise_segment_error("Failed to open shared memory address '%s'.", name);
        return -1;
    }
    if (create_shared_memory(name, 0, nullptr) < 0) {
        return -1;
    }
    fd = shm_open(name, O_RDWR, SEGMENT_MODE);
    if (fd < 0) {
        raise_segment_error("Failed to open shared memory address '%s' after creation.", name);
    }
    return fd;
}

// Under the lock: makes `seg.full` cover a data area of at least `new_size` bytes, growing the
// object when it is too small. Returns nullptr, or the message of the step that failed.
static const char* map_data_area(int fd, size_t new_size, OpenSegment& seg)
{
    size_t max_size = seg.header->max_size;
    bool grow = new_size > max_size;
    size_t total;
    if (grow) {
        if (new_size > static_cast<size_t>(INT64_MAX) - HEADER_SIZE - GROWTH_SLACK) {
            return "Failed to resize shared memory.";
        }
        struct stat st;
        total = new_size + HEADER_SIZE + GROWTH_SLACK;
        if (fstat(fd, &st) != 0 || ftruncate(fd, static_cast<off_t>(total)) != 0) {
            return "Failed to resize shared memory.";
        }
        if (posix_fallocate(fd, 0, static_cast<off_t>(total)) != 0) {
            // Give back what could not be reserved; the old value and capacity stay.
            shrink_back(fd, st.st_size);
            return "Failed to resize shared memory.";
        }
    }
    else {
        total = max_size + HEADER_SIZE;
        if (total <= seg.header_len) {
            seg.full = reinterpret_cast<unsigned char*>(seg.header);
            seg.full_len = seg.header_len;
            return nullptr;
        }
        // Grown by another process since the first mapping was made, or a damaged header.
        struct stat st;
        if (max_size > static_cast<size_t>(INT64_MAX) - HEADER_SIZE || fstat(fd, &st) != 0 ||
            total > static_cast<size_t>(st.st_size)) {
            return "The shared memory address '%s' is damaged: its header claims more than it "
                   "holds.";
        }
    }
    void* addr = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        return "Failed to map shared memory address '%s'.";
    }
    seg.full = static_cast<unsigned char*>(addr);
    seg.full_len = total;
    if (grow) {
        seg.header->max_size = new_size + GROWTH_SLACK;
    }
    return nullptr;
}

// Opens `name` (creating it when allowed), locks it, grows it so that `new_size` data bytes fit,
// and maps all of it. Returns false with an exception set. The object never gets shorter than
// 48 + max_size while its lock is free, so the first mapping, sized before locking, covers the
// data area unless another process grew it meanwhile.
static bool get_basic_shm(const char* name, size_t new_size, PyObject* create, OpenSegment& seg,
                          int* keep_fd = nullptr)
{
    int fd = open_segment(name, create);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < HEADER_SIZE) {
        close(fd);
        raise_segment_error("The shared memory address '%s' does not hold a value.", name);
        return false;
    }
    if (is_function_segment(fd, st)) {
        // A function segment keeps its own mutex where a value's header is: never lock it.
        close(fd);
        raise_segment_error("The shared memory address '%s' holds a function, not a value.", name);
        return false;
    }
    auto length = static_cast<size_t>(st.st_size);
    void* addr = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        close(fd);
        raise_segment_error("Failed to map shared memory metadata address '%s'.", name);
        return false;
    }
    seg.header = static_cast<BasicShm*>(addr);
    seg.header_len = length;
    if (lock_segment_mutex(&seg.header->mutex, name) == LOCK_FAILED) {
        munmap(addr, length);
        close(fd);
        seg = OpenSegment{};
        return false;
    }
    const char* failure = map_data_area(fd, new_size, seg);
    if (keep_fd != nullptr && failure == nullptr) {
        *keep_fd = fd;
    }
    else {
        close(fd);
    }
    if (failure != nullptr) {
        close_shm(seg);
        raise_segment_error(failure, name);
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
    int rc = create_shared_memory(name, pre_size, error_if_exists);
    if (rc < 0) {
        return nullptr;
    }
    return PyBool_FromLong(rc);
}

// Copies an encoded value into the data area. The marker byte is written last, after a barrier,
// so a writer that dies midway leaves bytes that fail to decode instead of a different value.
static void store_value(unsigned char* dst, const unsigned char* src, size_t len)
{
    __atomic_store_n(dst, static_cast<unsigned char>(0), __ATOMIC_RELAXED);
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

PyObject* write_memory_impl(const char* name, PyObject* value, PyObject* create)
{
    PyRef encoded(from_value(value));
    if (!encoded) {
        return nullptr;
    }
    char* bytes;
    Py_ssize_t length;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Failed to convert a Python bytes object to a C string.");
        return nullptr;
    }
    OpenSegment seg;
    if (!get_basic_shm(name, static_cast<size_t>(length), create, seg)) {
        return nullptr;
    }
    store_value(seg.data(), reinterpret_cast<const unsigned char*>(bytes),
                static_cast<size_t>(length));
    close_shm(seg);
    Py_RETURN_TRUE;
}

PyObject* read_memory_impl(const char* name)
{
    OpenSegment seg;
    if (!get_basic_shm(name, 0, Py_None, seg)) {
        return nullptr;
    }
    PyObject* result;
    if (seg.capacity() == 0) {
        result = Py_NewRef(Py_None);
    }
    else {
        // Decoded in place: writers wait on the mutex, and the decoder never reads past the
        // capacity that the object was checked to hold.
        result = zeb2::to_value_buffer(seg.data(), seg.capacity());
    }
    close_shm(seg);
    return result;
}

PyObject* remove_memory_impl(const char* name, PyObject* throw_error)
{
    if (shm_unlink(name) == 0) {
        Py_RETURN_TRUE;
    }
    if (flag_set(throw_error)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to unlink the shared memory.");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

// A read-modify-write keeps the descriptor: the new value's size is known only under the lock.
struct HeldValue {
    OpenSegment seg;
    int fd = -1;
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
    if (!get_basic_shm(name, 0, create, held->seg, &held->fd)) {
        delete held;
        return nullptr;
    }
    return held;
}

PyObject* held_value_read(HeldValue* held, PyObject* fallback)
{
    if (held->seg.capacity() == 0) {
        return Py_NewRef(fallback);
    }
    return zeb2::to_value_buffer(held->seg.data(), held->seg.capacity());
}

bool held_value_store(HeldValue* held, const unsigned char* bytes, size_t len)
{
    OpenSegment& seg = held->seg;
    if (len > seg.capacity()) {
        unsigned char* old_full = seg.full;
        size_t old_len = seg.full_len;
        const char* failure = map_data_area(held->fd, len, seg);
        if (failure != nullptr) {
            raise_segment_error(failure, held->name);
            return false;
        }
        if (old_full != reinterpret_cast<unsigned char*>(seg.header)) {
            munmap(old_full, old_len);
        }
    }
    unsigned char* dst = seg.data();
    if (len <= sizeof(uint64_t) && seg.capacity() >= sizeof(uint64_t)) {
        // One aligned store (the data area starts 8-aligned): a process killed here leaves the
        // old value or the new one, never a torn one. The bytes after the value stay as they were.
        uint64_t word;
        std::memcpy(&word, dst, sizeof(word));
        std::memcpy(&word, bytes, len);
        __atomic_store_n(reinterpret_cast<uint64_t*>(dst), word, __ATOMIC_RELEASE);
    }
    else {
        store_value(dst, bytes, len);
    }
    return true;
}

void release_value(HeldValue* held)
{
    if (held != nullptr) {
        close_shm(held->seg);
        close(held->fd);
        delete held;
    }
}

} // namespace tw
