// Protocol 2 container encoder steps: list, tuple, set, frozenset, dict (and OrderedDict),
// deque.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

// ---------------------------------------------------------------------------------------------
// Encoder

static StatusCode write_container_header(ValueData* vd, Py_ssize_t count, unsigned char empty)
{
    return write_E12D(vd, count, nullptr, empty);
}

StatusCode from_list(ValueData* vd, PyObject* value)
{
    if (!PyList_Check(value)) {
        return SC_INCORRECT;
    }
    if (StatusCode opened = increment_nests(vd); opened != SC_SUCCESS) {
        return opened;
    }
    Py_ssize_t num_items = PyList_GET_SIZE(value);
    StatusCode status = write_container_header(vd, num_items, 0x1C);
    if (status != SC_SUCCESS) {
        return status;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        // Converting an item may run Python code that shrinks the list: re-check the bound and
        // hold the item while it is written.
        if (PyList_GET_SIZE(value) != num_items) {
            return container_changed();
        }
        PyObject* item = PyList_GET_ITEM(value, i);
        if (is_plain_scalar(item)) {
            status = from_item(vd, item);
        }
        else {
            PyRef held = PyRef::borrow(item);
            status = from_any_value(vd, held.get());
        }
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    if (PyList_GET_SIZE(value) != num_items) {
        return container_changed();
    }
    --vd->nests;
    return SC_SUCCESS;
}

StatusCode from_tuple(ValueData* vd, PyObject* value)
{
    if (StatusCode opened = increment_nests(vd); opened != SC_SUCCESS) {
        return opened;
    }
    Py_ssize_t num_items = PyTuple_GET_SIZE(value);
    StatusCode status = write_container_header(vd, num_items, 0x26);
    if (status != SC_SUCCESS) {
        return status;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        status = from_item(vd, PyTuple_GET_ITEM(value, i));
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    --vd->nests;
    return SC_SUCCESS;
}

StatusCode from_iterable(ValueData* vd, PyObject* value, unsigned char empty, PyObject* type_cl)
{
    if (!is_of_type(value, type_cl)) {
        return SC_INCORRECT;
    }
    if (StatusCode opened = increment_nests(vd); opened != SC_SUCCESS) {
        return opened;
    }
    // Counting pass: the header needs the exact count before the items.
    Py_ssize_t num_items = 0;
    {
        PyRef count_iter(PyObject_GetIter(value));
        if (!count_iter) {
            return SC_INCORRECT;
        }
        while (PyRef item{PyIter_Next(count_iter.get())}) {
            ++num_items;
        }
        if (PyErr_Occurred()) {
            return SC_EXCEPTION;
        }
    }
    StatusCode status = write_container_header(vd, num_items, empty);
    if (status != SC_SUCCESS) {
        return status;
    }
    PyRef iter(PyObject_GetIter(value));
    if (!iter) {
        set_error_from_pending(PyExc_RuntimeError, "Could not get an iterator of a set type.");
        return SC_EXCEPTION;
    }
    for (Py_ssize_t i = 0; i < num_items; ++i) {
        PyRef item(PyIter_Next(iter.get()));
        if (!item) {
            return PyErr_Occurred() ? SC_EXCEPTION : container_changed();
        }
        status = from_any_value(vd, item.get());
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    // The second pass must end where the first did.
    PyRef extra(PyIter_Next(iter.get()));
    if (extra) {
        return container_changed();
    }
    if (PyErr_Occurred()) {
        return SC_EXCEPTION;
    }
    --vd->nests;
    return SC_SUCCESS;
}

StatusCode from_pairs(ValueData* vd, PyObject* value, unsigned char empty, ValueWriter write_item)
{
    if (StatusCode opened = increment_nests(vd); opened != SC_SUCCESS) {
        return opened;
    }
    Py_ssize_t num_pairs = PyDict_GET_SIZE(value);
    StatusCode status = write_container_header(vd, num_pairs, empty);
    if (status != SC_SUCCESS) {
        return status;
    }
    // Pairs in the order of the dict's own storage (insertion order). Key and value are held
    // while written. Python code run by a conversion may change the dict, even keeping its size
    // (delete, compact, insert): any change fails the encoding, so the pairs written are always
    // one state of the dict.
    DictChangeGuard guard(value);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* item;
    for (Py_ssize_t i = 0; i < num_pairs; ++i) {
        if (guard.changed() || !PyDict_Next(value, &pos, &key, &item)) {
            return container_changed();
        }
        PyRef held_key = PyRef::borrow(key);
        PyRef held_item = PyRef::borrow(item);
        status = from_item(vd, held_key.get());
        if (status == SC_SUCCESS) {
            status = write_item(vd, held_item.get());
        }
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    if (guard.changed()) {
        return container_changed();
    }
    --vd->nests;
    return SC_SUCCESS;
}

StatusCode from_dict_type(ValueData* vd, PyObject* value, unsigned char empty)
{
    if (!PyDict_Check(value)) {
        return SC_INCORRECT;
    }
    return from_pairs(vd, value, empty, from_item);
}

} // namespace zeb2
