// The module functions: parse, put our message in place of the parser's, delegate.
#include "tidewell/tidewell.hpp"
#include "tidewell/function_segment.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/value_segment.hpp"
#include "tidewell/value_update.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

using tw::PyRef;

// Replaces whatever the parser raised with the function's own argument message.
static PyObject* argument_error(const char* message)
{
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

// Every function takes its name through here, before anything touches the system: a name that
// is not a str is an argument error; a str that cannot name a segment says what is wrong.
static bool parse_name(PyObject* arg, const char* message, const char** name)
{
    tw::NameResult rc = tw::check_segment_name(arg, name);
    if (rc == tw::NAME_NOT_STR) {
        argument_error(message);
    }
    return rc == tw::NAME_OK;
}

// The keyword-only `mode=` of the functions that create: 0600 when omitted.
static bool parse_mode(PyObject* arg, mode_t* mode)
{
    *mode = tw::DEFAULT_CREATE_MODE;
    return arg == nullptr || tw::parse_create_mode(arg, mode);
}

// Each function's argument message, raised for a parser error and for a name that is not a str.
static constexpr const char MSG_CREATE_MEMORY[] = "Expected at least the name (str) argument.";
static constexpr const char MSG_REMOVE_MEMORY[] = "Expected at least the 'name' (str) argument.";
static constexpr const char MSG_ONE_NAME[] = "Expected 1 'str' type.";
static constexpr const char MSG_WRITE_MEMORY[] =
    "Expected at least the 'name' (str) and 'value' (any) arguments.";
static constexpr const char MSG_CREATE_FUNCTION[] = "Expected a 'str' and 'callable' type.";
static constexpr const char MSG_CALL_FUNCTION[] = "Expected a 'str' and 'tuple' type.";

extern "C" TW_EXPORT PyObject* create_memory(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", "prealloc_size", "error_if_exists", "mode", nullptr};
    PyObject* name_arg;
    const char* name;
    PyObject* prealloc_size = nullptr;
    PyObject* error_if_exists = nullptr;
    PyObject* mode_arg = nullptr;
    mode_t mode;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O!O!$O!", const_cast<char**>(kwlist),
                                     &name_arg, &PyLong_Type, &prealloc_size, &PyBool_Type,
                                     &error_if_exists, &PyLong_Type, &mode_arg)) {
        return argument_error(MSG_CREATE_MEMORY);
    }
    if (!parse_name(name_arg, MSG_CREATE_MEMORY, &name) || !parse_mode(mode_arg, &mode)) {
        return nullptr;
    }
    tw::CreationMode scope(mode);
    return tw::create_memory_impl(name, prealloc_size, error_if_exists);
}

extern "C" TW_EXPORT PyObject* remove_memory(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", "throw_error", nullptr};
    PyObject* name_arg;
    const char* name;
    PyObject* throw_error = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O!", const_cast<char**>(kwlist), &name_arg,
                                     &PyBool_Type, &throw_error)) {
        return argument_error(MSG_REMOVE_MEMORY);
    }
    if (!parse_name(name_arg, MSG_REMOVE_MEMORY, &name)) {
        return nullptr;
    }
    return tw::remove_memory_impl(name, throw_error);
}

extern "C" TW_EXPORT PyObject* read_memory(PyObject*, PyObject* args)
{
    PyObject* name_arg;
    const char* name;
    if (!PyArg_ParseTuple(args, "O", &name_arg)) {
        return argument_error(MSG_ONE_NAME);
    }
    if (!parse_name(name_arg, MSG_ONE_NAME, &name)) {
        return nullptr;
    }
    return tw::read_memory_impl(name);
}

extern "C" TW_EXPORT PyObject* write_memory(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", "value", "create", "mode", nullptr};
    PyObject* name_arg;
    const char* name;
    PyObject* value;
    PyObject* create = nullptr;
    PyObject* mode_arg = nullptr;
    mode_t mode;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O!$O!", const_cast<char**>(kwlist),
                                     &name_arg, &value, &PyBool_Type, &create, &PyLong_Type,
                                     &mode_arg)) {
        return argument_error(MSG_WRITE_MEMORY);
    }
    if (!parse_name(name_arg, MSG_WRITE_MEMORY, &name) || !parse_mode(mode_arg, &mode)) {
        return nullptr;
    }
    tw::CreationMode scope(mode);
    return tw::write_memory_impl(name, value, create);
}

extern "C" TW_EXPORT PyObject* create_function(PyObject*, PyObject* args, PyObject* kwargs)
{
    // The name and the callable stay positional-only, refused as keywords the way they always
    // were; `mode` is keyword-only.
    static const char* kwlist[] = {"", "", "mode", nullptr};
    if (kwargs != nullptr &&
        (PyDict_GET_SIZE(kwargs) > 1 ||
         (PyDict_GET_SIZE(kwargs) == 1 && PyDict_GetItemString(kwargs, "mode") == nullptr))) {
        PyErr_SetString(PyExc_TypeError, "create_function() takes no keyword arguments");
        return nullptr;
    }
    PyObject* name_arg;
    const char* name;
    PyObject* func;
    PyObject* mode_arg = nullptr;
    mode_t mode;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O!", const_cast<char**>(kwlist), &name_arg,
                                     &func, &PyLong_Type, &mode_arg) ||
        !PyCallable_Check(func)) {
        return argument_error(MSG_CREATE_FUNCTION);
    }
    if (!parse_name(name_arg, MSG_CREATE_FUNCTION, &name) || !parse_mode(mode_arg, &mode)) {
        return nullptr;
    }
    PyRef held = PyRef::borrow(func);
    tw::CreationMode scope(mode);
    return tw::create_function_impl(name, held.get());
}

extern "C" TW_EXPORT PyObject* remove_function(PyObject*, PyObject* args)
{
    PyObject* name_arg;
    const char* name;
    if (!PyArg_ParseTuple(args, "O", &name_arg)) {
        return argument_error(MSG_ONE_NAME);
    }
    if (!parse_name(name_arg, MSG_ONE_NAME, &name)) {
        return nullptr;
    }
    return tw::remove_function_impl(name);
}

extern "C" TW_EXPORT PyObject* call_function(PyObject*, PyObject* args)
{
    PyObject* name_arg;
    const char* name;
    PyObject* call_args;
    if (!PyArg_ParseTuple(args, "OO!", &name_arg, &PyTuple_Type, &call_args)) {
        return argument_error(MSG_CALL_FUNCTION);
    }
    if (!parse_name(name_arg, MSG_CALL_FUNCTION, &name)) {
        return nullptr;
    }
    PyRef held = PyRef::borrow(call_args);
    return call_shared_function(name, held.get());
}

// The liveness verdicts of the command line's listing and clean-up, so that they are the
// module's own.
PyObject* tw::server_alive_of(PyObject*, PyObject* args)
{
    int fd;
    if (!PyArg_ParseTuple(args, "i", &fd)) {
        return argument_error("Expected 1 file descriptor (int).");
    }
    bool alive;
    Py_BEGIN_ALLOW_THREADS
        alive = tw::function_object_alive(fd);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(alive);
}

PyObject* tw::creator_alive_of(PyObject*, PyObject* args)
{
    int fd;
    int pid;
    long age;
    if (!PyArg_ParseTuple(args, "iil", &fd, &pid, &age)) {
        return argument_error("Expected a file descriptor, a pid and an age (int).");
    }
    bool alive;
    Py_BEGIN_ALLOW_THREADS
        alive = tw::creator_alive(fd, static_cast<pid_t>(pid), age);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(alive);
}

PyObject* tw::trust(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"uids", "gids", nullptr};
    PyObject* uids = nullptr;
    PyObject* gids = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO", const_cast<char**>(kwlist), &uids,
                                     &gids)) {
        return argument_error(
            "Expected 'uids' and 'gids' as iterables of user and group ids (int).");
    }
    return tw::trust_impl(uids, gids);
}

// The codec on its own, for values that travel some other way (a file, a socket, a key store).
// Fast calls: these sit on hot paths where the tuple of a varargs call would cost as much as
// encoding a small value.
PyObject* tw::dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        return argument_error("Expected 1 value (any) argument.");
    }
    return from_value(args[0]);
}

PyObject* tw::loads(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        return argument_error("Expected 1 'bytes-like' argument.");
    }
    PyObject* data = args[0];
    if (PyBytes_CheckExact(data)) {
        return zeb2::to_value_buffer(
            reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
            static_cast<size_t>(PyBytes_GET_SIZE(data)));
    }
    // Holding the buffer keeps a bytearray from being resized, or an mmap from being closed,
    // by Python code that decoding may run.
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS) < 0) {
        return argument_error("Expected 1 'bytes-like' argument.");
    }
    PyObject* result = zeb2::to_value_buffer(static_cast<const unsigned char*>(view.buf),
                                             static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return result;
}

PyObject* tw::update_memory(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", "func", "default", "create", nullptr};
    static const char message[] =
        "Expected at least the 'name' (str) and 'func' (callable) arguments.";
    PyObject* name_arg;
    const char* name;
    PyObject* func;
    PyObject* fallback = Py_None;
    PyObject* create = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO!", const_cast<char**>(kwlist), &name_arg,
                                     &func, &fallback, &PyBool_Type, &create) ||
        !PyCallable_Check(func)) {
        return argument_error(message);
    }
    if (!parse_name(name_arg, message, &name)) {
        return nullptr;
    }
    // The function runs arbitrary code: keep what it could otherwise free.
    PyRef held_name = PyRef::borrow(name_arg);
    PyRef held_func = PyRef::borrow(func);
    PyRef held_default = PyRef::borrow(fallback);
    return tw::update_memory_impl(name, held_func.get(), held_default.get(), create);
}
