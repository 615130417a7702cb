#pragma once
#include <Python.h>
#include <cstdint>
#include "valpack/common/reader.hpp"

// Decoder steps whose payloads both protocols lay out alike: scalars, the plain containers and
// the library types. `_e` steps stand on their datachar; `_gen` steps stand on the last byte
// before their count or length field, which is `w` bytes wide; all end after their value. The
// container steps read their items through `bd->decode_item`, the protocol's own dispatcher.
namespace zeb2 {

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

// A str from UTF-8 text. ASCII text, the common case, is copied straight into a new str.
PyObject* decode_text(const unsigned char* text, size_t n);

PyObject* to_list_e(ByteData* bd);
PyObject* to_list_gen(ByteData* bd, size_t w);
PyObject* to_tuple_e(ByteData* bd);
PyObject* to_tuple_gen(ByteData* bd, size_t w);
PyObject* to_dict_e(ByteData* bd);
PyObject* to_dict_gen(ByteData* bd, size_t w);
// `empty` is the protocol 2 E datachar of the family: 0x21 set, 0x30 frozenset, 0x49 deque.
PyObject* to_iterable_e(ByteData* bd, unsigned char empty);
PyObject* to_iterable_gen(ByteData* bd, size_t w, unsigned char empty);
// Decodes `count` key/value pairs into a new dict; an unhashable key fails it.
PyObject* decode_dict_pairs(ByteData* bd, size_t count);
// A short ASCII str in the one-byte-length form, as one shared object per text (new reference);
// NULL with no exception set when the next value is anything else.
PyObject* decode_cached_key(ByteData* bd, size_t position = SIZE_MAX);
// Releases the decoder's cache of short dict keys (module teardown).
void clear_key_cache();

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

// `method` is the class: datetime_dt, datetime_d or datetime_t.
PyObject* to_datetime_gen(ByteData* bd, PyObject* method);
PyObject* to_timedelta_s(ByteData* bd);
PyObject* to_uuid_s(ByteData* bd);
PyObject* to_memoryview_e(ByteData* bd);
PyObject* to_memoryview_gen(ByteData* bd, size_t w);
PyObject* to_decimal_gen(ByteData* bd, size_t w);

// Imports the datetime C API for these steps (after the registry's classes or before).
void init_library_steps();
// Looks up what the fast UUID builder needs (after the registry); without it UUIDs are made by
// calling the class.
void init_uuid_builder();
// Releases the UUID builder's and the last timezone's references (module teardown).
void clear_library_steps();

} // namespace zeb2
