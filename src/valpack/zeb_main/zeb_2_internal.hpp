#pragma once
#include <Python.h>
#include <cstdint>
#include <cstring>
#include "valpack/common/registry.hpp"
#include "valpack/common/steps.hpp"
#include "valpack/common/writer.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

// Protocol 2: the encoder's dispatch and steps, and the decoder's dispatcher and the steps only
// this protocol has. The pieces both protocols use are in valpack/common/.
namespace zeb2 {

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

// ---------------------------------------------------------------------------------------------
// Encoder

StatusCode from_string(ValueData* vd, PyObject* value);
StatusCode from_integer(ValueData* vd, PyObject* value);
StatusCode from_float(ValueData* vd, PyObject* value);
StatusCode from_complex(ValueData* vd, PyObject* value);
StatusCode from_boolean(ValueData* vd, PyObject* value);
StatusCode from_bytes(ValueData* vd, PyObject* value);
StatusCode from_bytearray(ValueData* vd, PyObject* value);
StatusCode from_static_value(ValueData* vd, unsigned char datachar);

// The dispatcher behind from_item, for every value that is not an exact str, int or float: the
// other exact built-ins, then the exact library classes, then routing by the type's name.
StatusCode from_any_value(ValueData* vd, PyObject* value);

// Exact str, int and float, the bulk of most values, skip the dispatcher. Writing them runs no
// Python code, so a container need not hold them while they are written.
inline bool is_plain_scalar(PyObject* value)
{
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type;
}

// The encoder's front end: every value, at the top and inside containers, is written through it.
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
        return write_float(vd, PyFloat_AS_DOUBLE(value));
    }
    return from_any_value(vd, value);
}

StatusCode from_list(ValueData* vd, PyObject* value);
StatusCode from_tuple(ValueData* vd, PyObject* value);
StatusCode from_iterable(ValueData* vd, PyObject* value, unsigned char empty, PyObject* type_cl);
StatusCode from_dict_type(ValueData* vd, PyObject* value, unsigned char empty);
// Writes the pairs of a dict (or dict subclass) as family `empty`: each key through from_item,
// each value through `write_item`.
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

// Imports the encoder's own pointer to the datetime C API.
void init_datetime_api();

// Turns a failed step's status into the encoder's exception; returns NULL.
PyObject* raise_status(StatusCode status, PyObject* value);

// ---------------------------------------------------------------------------------------------
// Decoder

// The protocol 2 dispatcher: the value whose datachar is at `bd->offset`.
PyObject* to_any_value(ByteData* bd);

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

PyObject* to_range_s(ByteData* bd);
PyObject* to_path_e(ByteData* bd, PyObject* type_cl);
PyObject* to_path_gen(ByteData* bd, size_t w, PyObject* type_cl);

} // namespace zeb2
