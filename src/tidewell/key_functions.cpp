// The private functions behind tidewell.Mapping: value operations on the names of a mapping's
// keys, which the module functions refuse, so that no plain name is ever one of a mapping's keys.
#include "tidewell/tidewell.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/value_segment.hpp"
#include "tidewell/value_update.hpp"

using tw::PyRef;

static constexpr const char MSG_KEY_ARGUMENTS[] =
    "Expected a mapping key's name (str) and the arguments of the key operation.";

static PyObject* key_argument_error()
{
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, MSG_KEY_ARGUMENTS);
    return nullptr;
}

static bool parse_key_name(PyObject* arg, const char** name)
{
    tw::NameResult rc = tw::check_key_name(arg, name);
    if (rc == tw::NAME_NOT_STR) {
        key_argument_error();
    }
    return rc == tw::NAME_OK;
}

// _key_read(name, missing): the value, or `missing` when the key has none.
PyObject* tw::key_read(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    if (nargs != 2) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name)) {
        return nullptr;
    }
    return tw::read_value_or(name, args[1]);
}

// _key_write(name, value, mode) -> True, creating the key with permissions `mode`.
PyObject* tw::key_write(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    mode_t mode;
    if (nargs != 3 || !PyLong_Check(args[2])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name) || !tw::parse_create_mode(args[2], &mode)) {
        return nullptr;
    }
    tw::CreationMode scope(mode);
    return tw::write_key_impl(name, args[1]);
}

// _key_update(name, func, default, mode) -> func(current), as update_memory.
PyObject* tw::key_update(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    mode_t mode;
    if (nargs != 4 || !PyCallable_Check(args[1]) || !PyLong_Check(args[3])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name) || !tw::parse_create_mode(args[3], &mode)) {
        return nullptr;
    }
    // The function runs arbitrary code: keep what it could otherwise free.
    PyRef held_name = PyRef::borrow(args[0]);
    PyRef held_func = PyRef::borrow(args[1]);
    PyRef held_default = PyRef::borrow(args[2]);
    tw::CreationMode scope(mode);
    return tw::update_memory_impl(name, held_func.get(), held_default.get(), nullptr, true);
}

// _key_take(name, missing, decode): removes the key and returns its value (True when `decode`
// is false), or `missing` when it had none.
PyObject* tw::key_take(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    if (nargs != 3 || !PyBool_Check(args[2])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name)) {
        return nullptr;
    }
    return tw::take_key_impl(name, args[1], args[2] == Py_True);
}
