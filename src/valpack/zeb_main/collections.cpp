// Protocol 2 collections family: namedtuple, Counter, OrderedDict and ChainMap. (deque is a
// container; OrderedDict is written by the dict step with its own family.)
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

// ---------------------------------------------------------------------------------------------
// Encoder

// A namedtuple's field names must be a tuple of str, one per element: fewer names would drop
// elements, more would pair names with missing elements.
static bool valid_fields(PyObject* fields, PyObject* value)
{
    if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) != PyTuple_GET_SIZE(value)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(fields, i))) {
            return false;
        }
    }
    return true;
}

// Layout: header with the field count, the type name as a str value, then per field its name
// and its value. Namedtuples are not containers for the nesting limit, but a chain of them still
// recurses, so it has a bound of its own.
StatusCode from_namedtuple(ValueData* vd, PyObject* value, PyObject* fields)
{
    if (++vd->nt_depth > MAX_NAMEDTUPLE_DEPTH) {
        return SC_NESTDEPTH;
    }
    if (!stack_left(vd->stack_bottom)) {
        return stack_exhausted_status();
    }
    // `_fields` may be computed by Python code on every access: the caller holds the one tuple
    // checked here.
    if (!valid_fields(fields, value)) {
        return SC_INCORRECT;
    }
    Py_ssize_t num_items = PyTuple_GET_SIZE(fields);
    StatusCode status = write_E12D(vd, num_items, nullptr, 0x44);
    if (status != SC_SUCCESS) {
        return status;
    }
    {
        PyRef type_name(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), names::name));
        if (!type_name) {
            return SC_EXCEPTION;
        }
        status = from_string(vd, type_name.get());
        if (status != SC_SUCCESS) {
            return status;
        }
        // Names the decoder's class factory would refuse are refused here, not on every read.
        if (!namedtuple_names_decode(type_name.get(), fields)) {
            return SC_INCORRECT;
        }
    }
    // Both tuples are immutable and held, so their items stay alive while they are written.
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        status = from_string(vd, PyTuple_GET_ITEM(fields, i));
        if (status != SC_SUCCESS) {
            return status;
        }
        status = from_item(vd, PyTuple_GET_ITEM(value, i));
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    --vd->nt_depth;
    return SC_SUCCESS;
}

StatusCode from_counter(ValueData* vd, PyObject* value)
{
    // The real type decides (a Counter is a dict): a `__class__` attribute cannot pass.
    if (!is_of_type(value, counter_cl) || !PyDict_Check(value)) {
        return SC_INCORRECT;
    }
    // Counts are written as ints whatever their type's name: bool counts become ints and any
    // non-int count is refused.
    return from_pairs(vd, value, 0x4E, from_integer);
}

StatusCode from_chainmap(ValueData* vd, PyObject* value)
{
    if (!is_of_type(value, chainmap_cl)) {
        return SC_INCORRECT;
    }
    if (StatusCode opened = increment_nests(vd); opened != SC_SUCCESS) {
        return opened;
    }
    PyRef maps(PyObject_GetAttr(value, names::maps));
    if (!maps) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return SC_EXCEPTION;
        }
        PyErr_Clear();
        return SC_INCORRECT;
    }
    if (!PyList_Check(maps.get())) {
        return SC_INCORRECT;
    }
    Py_ssize_t num_items = PyList_GET_SIZE(maps.get());
    StatusCode status = write_E12D(vd, num_items, nullptr, 0x58);
    if (status != SC_SUCCESS) {
        return status;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        // Writing a map may run Python code that edits the maps list.
        if (PyList_GET_SIZE(maps.get()) != num_items) {
            return container_changed();
        }
        PyRef map = PyRef::borrow(PyList_GET_ITEM(maps.get(), i));
        status = from_any_value(vd, map.get());
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    if (PyList_GET_SIZE(maps.get()) != num_items) {
        return container_changed();
    }
    --vd->nests;
    return SC_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Decoder

PyObject* to_namedtuple_e(ByteData* bd)
{
    bd->offset += 1;
    PyRef type_name(to_any_value(bd));
    if (!type_name) {
        return nullptr;
    }
    PyRef empty(PyTuple_New(0));
    if (!empty) {
        return nullptr;
    }
    return build_namedtuple(type_name.get(), empty.get(), empty.get());
}

PyObject* to_namedtuple_gen(ByteData* bd, size_t w)
{
    // Each field is a name and a value, at least one byte each.
    size_t count;
    if (!read_count(bd, w, 2, &count)) {
        return nullptr;
    }
    PyRef type_name(bd->offset < bd->max_offset ? decode_cached_key(bd) : nullptr);
    if (!type_name) {
        type_name = PyRef(to_any_value(bd));
    }
    if (!type_name) {
        return nullptr;
    }
    PyRef fields(PyTuple_New(static_cast<Py_ssize_t>(count)));
    PyRef items(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!fields || !items) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        // Field names repeat in every value of a class: shared str objects hash once.
        PyObject* field = bd->offset < bd->max_offset ? decode_cached_key(bd, i) : nullptr;
        if (field == nullptr) {
            field = to_any_value(bd);
        }
        if (field == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), field);
        PyObject* item = to_any_value(bd);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item);
    }
    return build_namedtuple(type_name.get(), fields.get(), items.get());
}

PyObject* to_counter_e(ByteData* bd)
{
    bd->offset += 1;
    return PyObject_CallNoArgs(counter_cl);
}

PyObject* to_ordereddict_e(ByteData* bd)
{
    bd->offset += 1;
    return PyObject_CallNoArgs(ordereddict_cl);
}

PyObject* to_chainmap_e(ByteData* bd)
{
    bd->offset += 1;
    return PyObject_CallNoArgs(chainmap_cl);
}

// Counter and OrderedDict travel as their pairs; the class is filled from a plain dict, which
// keeps the pairs' order and accepts counts of any type.
static PyObject* to_mapping_gen(ByteData* bd, size_t w, PyObject* type_cl)
{
    size_t count;
    if (!read_count(bd, w, 2, &count)) {
        return nullptr;
    }
    PyRef dict(decode_dict_pairs(bd, count));
    if (!dict) {
        return nullptr;
    }
    return PyObject_CallOneArg(type_cl, dict.get());
}

PyObject* to_counter_gen(ByteData* bd, size_t w)
{
    return to_mapping_gen(bd, w, counter_cl);
}

PyObject* to_ordereddict_gen(ByteData* bd, size_t w)
{
    return to_mapping_gen(bd, w, ordereddict_cl);
}

PyObject* to_chainmap_gen(ByteData* bd, size_t w)
{
    // The maps travel as a tuple's items would, and become the constructor's arguments.
    PyRef maps(to_tuple_gen(bd, w));
    if (!maps) {
        return nullptr;
    }
    return PyObject_Call(chainmap_cl, maps.get(), nullptr);
}

} // namespace zeb2
