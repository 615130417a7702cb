#pragma once
#include <Python.h>
#include <cstdint>
#include <cstring>
#include "valpack/zeb_main/zeb_2.hpp"
#include "valpack/zeb_main/byte_reader.hpp"

// Class globals that only the codec's own files use (the other six are in zeb_2.hpp).
extern "C" {
TW_EXPORT extern PyObject* deque_cl;
TW_EXPORT extern PyObject* counter_cl;
TW_EXPORT extern PyObject* ordereddict_cl;
TW_EXPORT extern PyObject* chainmap_cl;
TW_EXPORT extern PyObject* path_cl;
TW_EXPORT extern PyObject* purepath_cl;
}

namespace zeb2 {

// Interned attribute names, made by zeb2_init.
namespace names {
extern PyObject* sizeof_;
extern PyObject* fields;
extern PyObject* name;
extern PyObject* maps;
extern PyObject* isoformat;
extern PyObject* fromisoformat;
extern PyObject* hex;
extern PyObject* start;
extern PyObject* stop;
extern PyObject* step;
extern PyObject* utcoffset;
extern PyObject* int_;
extern PyObject* is_safe;
} // namespace names

enum StatusCode : int {
    SC_SUCCESS = 0,
    SC_INCORRECT = 1,   // the name led to a step whose type test failed
    SC_UNSUPPORTED = 2, // no step for the type
    SC_EXCEPTION = 3,   // a Python exception is already set
    SC_NESTDEPTH = 4,
    SC_NOMEMORY = 5,
};

// At most this many containers may be open at once; the next one fails.
constexpr int MAX_NESTS = 100;
// Namedtuples do not count as containers, but a chain of them still recurses.
constexpr int MAX_NAMEDTUPLE_DEPTH = 800;

constexpr unsigned char PROTOCOL_2 = 0xFD;
constexpr unsigned char PROTOCOL_1 = 0xFE;
constexpr unsigned char NO_VALUE = 0x67;

struct ValueData {
    Py_ssize_t offset;   // bytes written; the next byte goes to bytes[offset]
    Py_ssize_t max_size; // capacity of bytes
    int nests;           // containers currently open
    int nt_depth;        // namedtuples currently open
    unsigned char* bytes;
    // The bytes object whose storage `bytes` is: trimmed to `offset` at the end, it becomes the
    // result without another copy.
    PyObject* out;
    uintptr_t stack_bottom; // see stack_bottom()
};

// Cold path of auto_resize_vd: grows the buffer so that `jump` more bytes fit.
StatusCode grow_vd(ValueData* vd, Py_ssize_t jump);

// Reserves room for `jump` more bytes. Every writer calls it before writing.
inline StatusCode auto_resize_vd(ValueData* vd, Py_ssize_t jump)
{
    if (jump <= vd->max_size - vd->offset) {
        return SC_SUCCESS;
    }
    return grow_vd(vd, jump);
}

// Raises the RecursionError of a thread whose stack is nearly used up.
StatusCode stack_exhausted_status();

// Opens one container level: SC_NESTDEPTH at the limit, SC_EXCEPTION when the thread's stack
// is nearly used up (small thread stacks reach that before the limit).
inline StatusCode increment_nests(ValueData* vd)
{
    if (++vd->nests > MAX_NESTS) {
        return SC_NESTDEPTH;
    }
    return stack_left(vd->stack_bottom) ? SC_SUCCESS : stack_exhausted_status();
}

// Number of significant bytes of a size: 0 for a size <= 0.
inline int get_num_bytes(int64_t size)
{
    int k = 0;
    for (uint64_t n = size > 0 ? static_cast<uint64_t>(size) : 0; n != 0; n >>= 8) {
        ++k;
    }
    return k;
}

// Bytes that write_E12D writes for a payload of `size` bytes, header included.
inline Py_ssize_t E12D_size(Py_ssize_t size)
{
    int k = get_num_bytes(size);
    return k == 0 ? 1 : (k <= 2 ? 1 + k : 2 + k) + size;
}

// Writes `num` as `num_bytes` little-endian bytes; room must be reserved.
inline void write_size_bytes(ValueData* vd, uint64_t num, int num_bytes)
{
    for (int i = 0; i < num_bytes; ++i) {
        vd->bytes[vd->offset++] = static_cast<unsigned char>(num >> (8 * i));
    }
}

inline void write_byte(ValueData* vd, unsigned char byte)
{
    vd->bytes[vd->offset++] = byte;
}

// Any size: the general form of write_E12D.
StatusCode write_E12D_sized(ValueData* vd, Py_ssize_t size, const void* payload,
                            unsigned char empty);

// Writes a size-class header for `size` in family `empty`, then `size` payload bytes when
// `payload` is given. Containers pass no payload; the reservation still holds one byte per item.
inline StatusCode write_E12D(ValueData* vd, Py_ssize_t size, const void* payload,
                             unsigned char empty)
{
    // Most texts and containers have a one-byte size.
    if (size > 0 && size <= 0xFF) {
        if (auto_resize_vd(vd, 2 + size) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        unsigned char* dst = vd->bytes + vd->offset;
        dst[0] = static_cast<unsigned char>(empty + 1);
        dst[1] = static_cast<unsigned char>(size);
        vd->offset += 2;
        if (payload != nullptr) {
            std::memcpy(dst + 2, payload, static_cast<size_t>(size));
            vd->offset += size;
        }
        return SC_SUCCESS;
    }
    return write_E12D_sized(vd, size, payload, empty);
}

// Raised when Python code run during encoding changed a container being written.
StatusCode container_changed();

#define TW_DICT_WATCHERS (PY_VERSION_HEX >= 0x030C0000)

// Tells whether a dict's entries changed (added, removed, replaced) since the guard was made.
// Stack objects only, made and destroyed with the GIL held.
class DictChangeGuard {
  public:
    explicit DictChangeGuard(PyObject* dict);
    DictChangeGuard(const DictChangeGuard&) = delete;
    DictChangeGuard& operator=(const DictChangeGuard&) = delete;
#if TW_DICT_WATCHERS
    ~DictChangeGuard();
    bool changed() const { return changed_; }

  private:
    friend int dict_changed_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*);
    PyObject* dict_;
    bool changed_ = false;
    DictChangeGuard* prev_ = nullptr;
    DictChangeGuard* next_;
#else
    bool changed() const { return version() != version_; }

  private:
    uint64_t version() const { return reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag; }
    PyObject* dict_;
    uint64_t version_;
#endif
};

#if !TW_DICT_WATCHERS
inline DictChangeGuard::DictChangeGuard(PyObject* dict) : dict_(dict), version_(version()) {}
#endif

// The dict watcher of 3.12 and later (nothing to do before): 0, or -1 with an exception set.
int init_dict_watch();
void clear_dict_watch();

// Looks up an attribute that may be missing: 1 with a new reference in *out, 0 when missing
// (AttributeError only), -1 with any other exception set.
inline int lookup_optional_attr(PyObject* obj, PyObject* name, PyObject** out)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// True when `value`'s real type is `type_cl` or a subclass of it. Unlike isinstance, a
// `__class__` attribute cannot make another object pass.
inline bool is_of_type(PyObject* value, PyObject* type_cl)
{
    return PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type_cl));
}

// Encoder dispatch and steps.
StatusCode from_any_value(ValueData* vd, PyObject* value);

StatusCode from_string(ValueData* vd, PyObject* value);
StatusCode from_integer(ValueData* vd, PyObject* value);
StatusCode from_float(ValueData* vd, PyObject* value);
StatusCode from_complex(ValueData* vd, PyObject* value);
StatusCode from_boolean(ValueData* vd, PyObject* value);
StatusCode from_bytes(ValueData* vd, PyObject* value);
StatusCode from_bytearray(ValueData* vd, PyObject* value);
StatusCode from_static_value(ValueData* vd, unsigned char datachar);

// Exact str, int and float, the bulk of most values, skip the dispatcher. Writing them runs no
// Python code, so a container need not hold them while they are written.
inline bool is_plain_scalar(PyObject* value)
{
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type;
}

inline StatusCode from_item(ValueData* vd, PyObject* value)
{
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return from_string(vd, value);
    }
    if (type == &PyLong_Type) {
        return from_integer(vd, value);
    }
    if (type == &PyFloat_Type) {
        // Inline: a float is one reservation and nine bytes.
        if (auto_resize_vd(vd, 9) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        double number = PyFloat_AS_DOUBLE(value);
        uint64_t bits;
        std::memcpy(&bits, &number, 8);
        if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
            bits = __builtin_bswap64(bits);
        }
        vd->bytes[vd->offset] = 0x0C;
        std::memcpy(vd->bytes + vd->offset + 1, &bits, 8);
        vd->offset += 9;
        return SC_SUCCESS;
    }
    return from_any_value(vd, value);
}

StatusCode from_list(ValueData* vd, PyObject* value);
StatusCode from_tuple(ValueData* vd, PyObject* value);
StatusCode from_iterable(ValueData* vd, PyObject* value, unsigned char empty, PyObject* type_cl);
StatusCode from_dict_type(ValueData* vd, PyObject* value, unsigned char empty);
// Writes the pairs of a dict (or dict subclass) as family `empty`: each key through the
// dispatcher, each value through `write_item`.
using ValueWriter = StatusCode (*)(ValueData*, PyObject*);
StatusCode from_pairs(ValueData* vd, PyObject* value, unsigned char empty, ValueWriter write_item);

// `fields` is the value's `_fields`, looked up once by the dispatcher.
StatusCode from_namedtuple(ValueData* vd, PyObject* value, PyObject* fields);
StatusCode from_counter(ValueData* vd, PyObject* value);
StatusCode from_chainmap(ValueData* vd, PyObject* value);

StatusCode from_datetime(ValueData* vd, PyObject* value, const char* datatype);
StatusCode from_decimal(ValueData* vd, PyObject* value);
StatusCode from_uuid(ValueData* vd, PyObject* value);
StatusCode from_memoryview(ValueData* vd, PyObject* value);
StatusCode from_range(ValueData* vd, PyObject* value);
StatusCode from_path(ValueData* vd, PyObject* value);

// Decoder dispatch and steps. The container steps read their items through `bd->decode_item`,
// so the protocol 1 decoder shares them. `_e` steps stand on their datachar; `_gen` steps stand on
// the last byte before their count or length field, which is `w` bytes wide; all end after their
// value.
PyObject* to_any_value(ByteData* bd);

PyObject* to_str_e(ByteData* bd);
PyObject* to_str_gen(ByteData* bd, size_t w);
PyObject* to_int_gen(ByteData* bd, size_t length);
PyObject* to_float_s(ByteData* bd);
PyObject* to_bool_gen(ByteData* bd, bool bool_value);
PyObject* to_complex_s(ByteData* bd);
PyObject* to_none_s(ByteData* bd);
PyObject* to_ellipsis_s(ByteData* bd);
PyObject* to_bytes_e(ByteData* bd, bool is_bytearray);
PyObject* to_bytes_gen(ByteData* bd, size_t w, bool is_bytearray);

PyObject* to_list_e(ByteData* bd);
PyObject* to_list_gen(ByteData* bd, size_t w);
PyObject* to_tuple_e(ByteData* bd);
PyObject* to_tuple_gen(ByteData* bd, size_t w);
PyObject* to_dict_e(ByteData* bd);
PyObject* to_dict_gen(ByteData* bd, size_t w);
PyObject* to_iterable_e(ByteData* bd, unsigned char empty);
PyObject* to_iterable_gen(ByteData* bd, size_t w, unsigned char empty);
// Decodes `count` key/value pairs into a new dict; the insertion's TypeError fails it.
PyObject* decode_dict_pairs(ByteData* bd, size_t count);
// A short ASCII str in the one-byte-length form, as one shared object per text (new reference);
// NULL with no exception set when the next value is anything else.
PyObject* decode_cached_key(ByteData* bd, size_t position = SIZE_MAX);
// A tuple, or a namedtuple (no __dict__), whose items can never be part of a reference cycle
// cannot be part of one either. The collector untracks such exact tuples on its first pass;
// untracking decoded ones at once spares the collector visiting them at all.
inline void untrack_if_atomic(PyObject* tuple)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (PyObject_IS_GC(item) && (!PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item))) {
            return;
        }
    }
    PyObject_GC_UnTrack(tuple);
}

// Releases the decoder's cache of short dict keys (module teardown).
void clear_key_cache();
// Releases the decoder's last timezone (module teardown).
void clear_timezone_cache();
// Looks up what the fast UUID builder needs (after the registry); without it UUIDs are made by
// calling the class.
void init_uuid_builder();
void clear_uuid_builder();

// The instance of the class for `type_name` and `fields` (shared by every decoded value with the
// same names, from a bounded cache) holding `items`; the factory refuses names it cannot use.
PyObject* build_namedtuple(PyObject* type_name, PyObject* fields, PyObject* items);
// True when the decoder can make a class of these names (the factory refuses keywords, names
// that are no identifiers, field names with a leading underscore, repeated field names);
// otherwise false with the factory's exception.
bool namedtuple_names_decode(PyObject* type_name, PyObject* fields);
// Releases the cache of namedtuple classes (module teardown).
void clear_namedtuple_cache();

PyObject* to_namedtuple_e(ByteData* bd);
PyObject* to_namedtuple_gen(ByteData* bd, size_t w);
PyObject* to_counter_e(ByteData* bd);
PyObject* to_counter_gen(ByteData* bd, size_t w);
PyObject* to_ordereddict_e(ByteData* bd);
PyObject* to_ordereddict_gen(ByteData* bd, size_t w);
PyObject* to_chainmap_e(ByteData* bd);
PyObject* to_chainmap_gen(ByteData* bd, size_t w);

PyObject* to_datetime_gen(ByteData* bd, PyObject* method);
PyObject* to_timedelta_s(ByteData* bd);
PyObject* to_uuid_s(ByteData* bd);
PyObject* to_memoryview_e(ByteData* bd);
PyObject* to_memoryview_gen(ByteData* bd, size_t w);
PyObject* to_decimal_gen(ByteData* bd, size_t w);
PyObject* to_range_s(ByteData* bd);
PyObject* to_path_e(ByteData* bd, PyObject* type_cl);
PyObject* to_path_gen(ByteData* bd, size_t w, PyObject* type_cl);

// Imports this codec's own pointer to the datetime C API (the protocol 1 decoder keeps its own).
void init_datetime_api();

} // namespace zeb2
