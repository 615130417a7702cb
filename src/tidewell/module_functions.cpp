// The module functions: parse, put our message in place of the parser's, delegate.
#include "tidewell/function_async.hpp"
#include "tidewell/function_lanes.hpp"
#include "tidewell/tidewell.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/function_segment.hpp"
#include "tidewell/liveness.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/segment_recognise.hpp"
#include "tidewell/value_segment.hpp"
#include "tidewell/value_update.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

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
        return argument_error(tw::msg::CREATE_MEMORY);
    }
    if (!parse_name(name_arg, tw::msg::CREATE_MEMORY, &name) || !parse_mode(mode_arg, &mode)) {
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
        return argument_error(tw::msg::REMOVE_MEMORY);
    }
    if (!parse_name(name_arg, tw::msg::REMOVE_MEMORY, &name)) {
        return nullptr;
    }
    return tw::remove_memory_impl(name, throw_error);
}

extern "C" TW_EXPORT PyObject* read_memory(PyObject*, PyObject* args)
{
    PyObject* name_arg;
    const char* name;
    if (!PyArg_ParseTuple(args, "O", &name_arg)) {
        return argument_error(tw::msg::ONE_NAME);
    }
    if (!parse_name(name_arg, tw::msg::ONE_NAME, &name)) {
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
        return argument_error(tw::msg::WRITE_MEMORY);
    }
    if (!parse_name(name_arg, tw::msg::WRITE_MEMORY, &name) || !parse_mode(mode_arg, &mode)) {
        return nullptr;
    }
    tw::CreationMode scope(mode);
    return tw::write_memory_impl(name, value, create);
}

extern "C" TW_EXPORT PyObject* create_function(PyObject*, PyObject* args, PyObject* kwargs)
{
    // The name and the callable stay positional-only, refused as keywords the way they always
    // were; `mode` is keyword-only.
    // `mode`, `errors` and `shared` are keyword-only.
    static const char* kwlist[] = {"", "", "mode", "errors", "shared", nullptr};
    if (kwargs != nullptr) {
        Py_ssize_t known = (PyDict_GetItemString(kwargs, "mode") != nullptr ? 1 : 0) +
                           (PyDict_GetItemString(kwargs, "errors") != nullptr ? 1 : 0) +
                           (PyDict_GetItemString(kwargs, "shared") != nullptr ? 1 : 0);
        if (PyDict_GET_SIZE(kwargs) > known) {
            PyErr_SetString(PyExc_TypeError, "create_function() takes no keyword arguments");
            return nullptr;
        }
    }
    PyObject* name_arg;
    const char* name;
    PyObject* func;
    PyObject* mode_arg = nullptr;
    PyObject* errors_arg = nullptr;
    PyObject* shared_arg = Py_False;
    mode_t mode;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O!OO", const_cast<char**>(kwlist),
                                     &name_arg, &func, &PyLong_Type, &mode_arg, &errors_arg,
                                     &shared_arg) ||
        !PyCallable_Check(func)) {
        return argument_error(tw::msg::CREATE_FUNCTION);
    }
    bool reply_errors = false;
    if (errors_arg != nullptr) {
        const char* errors = PyUnicode_Check(errors_arg) ? PyUnicode_AsUTF8(errors_arg) : nullptr;
        if (errors != nullptr && std::strcmp(errors, "reply") == 0) {
            reply_errors = true;
        }
        else if (errors == nullptr || std::strcmp(errors, "raise") != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "create_function() errors must be 'raise' or 'reply', not %R", errors_arg);
            return nullptr;
        }
    }
    if (!PyBool_Check(shared_arg)) {
        PyErr_Format(PyExc_ValueError, "create_function() shared must be True or False, not %R",
                     shared_arg);
        return nullptr;
    }
    if (!parse_name(name_arg, tw::msg::CREATE_FUNCTION, &name) || !parse_mode(mode_arg, &mode)) {
        return nullptr;
    }
    PyRef held = PyRef::borrow(func);
    tw::CreationMode scope(mode);
    return tw::create_function_impl(name, held.get(), reply_errors, shared_arg == Py_True);
}

extern "C" TW_EXPORT PyObject* remove_function(PyObject*, PyObject* args)
{
    PyObject* name_arg;
    const char* name;
    if (!PyArg_ParseTuple(args, "O", &name_arg)) {
        return argument_error(tw::msg::ONE_NAME);
    }
    if (!parse_name(name_arg, tw::msg::ONE_NAME, &name)) {
        return nullptr;
    }
    return tw::remove_function_impl(name);
}

// call_function's arguments: the name and the tuple of arguments. False with an exception set.
static bool parse_call(PyObject* args, const char** name, PyObject** call_args)
{
    PyObject* name_arg;
    if (!PyArg_ParseTuple(args, "OO!", &name_arg, &PyTuple_Type, call_args)) {
        argument_error(tw::msg::CALL_FUNCTION);
        return false;
    }
    return parse_name(name_arg, tw::msg::CALL_FUNCTION, name);
}

extern "C" TW_EXPORT PyObject* call_function(PyObject*, PyObject* args)
{
    const char* name;
    PyObject* call_args;
    if (!parse_call(args, &name, &call_args)) {
        return nullptr;
    }
    PyRef held = PyRef::borrow(call_args);
    return call_shared_function(name, held.get());
}

// _call_start(name, args): call_function's arguments and errors; the call is left in flight.
PyObject* tw::call_start(PyObject*, PyObject* args)
{
    const char* name;
    PyObject* call_args;
    if (!parse_call(args, &name, &call_args)) {
        return nullptr;
    }
    PyRef held = PyRef::borrow(call_args);
    return tw::start_pending_call(name, held.get());
}

PyObject* tw::trust(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"uids", "gids", nullptr};
    PyObject* uids = nullptr;
    PyObject* gids = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO", const_cast<char**>(kwlist), &uids,
                                     &gids)) {
        return argument_error(tw::msg::TRUST);
    }
    return tw::trust_impl(uids, gids);
}

// The codec on its own, for values that travel some other way (a file, a socket, a key store).
// Fast calls: these sit on hot paths where the tuple of a varargs call would cost as much as
// encoding a small value.
PyObject* tw::dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        return argument_error(tw::msg::DUMPS);
    }
    return from_value(args[0]);
}

PyObject* tw::loads(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        return argument_error(tw::msg::LOADS);
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
        return argument_error(tw::msg::LOADS);
    }
    PyObject* result = zeb2::to_value_buffer(static_cast<const unsigned char*>(view.buf),
                                             static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return result;
}

PyObject* tw::update_memory(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", "func", "default", "create", nullptr};
    const char* message = tw::msg::UPDATE_MEMORY;
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

// _inspect(file_name): what the object of that name in the shared-memory directory is, by the
// module's own rules, as a dict; None when there is none. For the command line and describe().
PyObject* tw::inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1 || !PyUnicode_Check(args[0])) {
        return argument_error("Expected 1 'str' type.");
    }
    Py_ssize_t len;
    const char* name = PyUnicode_AsUTF8AndSize(args[0], &len);
    if (name == nullptr) {
        return nullptr;
    }
    if (std::strlen(name) != static_cast<size_t>(len)) {
        Py_RETURN_NONE; // no file name holds a NUL
    }
    tw::Inspection seen;
    int err = tw::inspect_object(name, seen);
    if (err == ENOENT) {
        Py_RETURN_NONE;
    }
    if (err != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    static const char* const kinds[] = {"value", "function", "temporary", "other", "watch"};
    const tw::Recognition& r = seen.r;
    bool value = r.kind == tw::ObjectKind::VALUE;
    double modified = static_cast<double>(seen.st.st_mtim.tv_sec) +
                      static_cast<double>(seen.st.st_mtim.tv_nsec) * 1e-9;
    PyRef capacity(value ? PyLong_FromUnsignedLongLong(r.capacity) : Py_NewRef(Py_None));
    PyRef pid(r.has_pid ? PyLong_FromLong(r.pid) : Py_NewRef(Py_None));
    PyRef alive(r.has_pid ? PyBool_FromLong(seen.alive) : Py_NewRef(Py_None));
    PyRef busy(value ? PyBool_FromLong(r.busy) : Py_NewRef(Py_None));
    PyRef torn(value ? PyBool_FromLong(r.torn) : Py_NewRef(Py_None));
    // A shared function's further servers, one per lane.
    pid_t lane_pids[tw::MAX_LANES];
    int lanes =
        r.kind == tw::ObjectKind::FUNCTION ? tw::lane_servers(name, lane_pids, tw::MAX_LANES) : 0;
    PyRef servers(PyTuple_New(lanes));
    for (int i = 0; servers && i < lanes; ++i) {
        PyObject* lane_pid = PyLong_FromLong(lane_pids[i]);
        if (lane_pid == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(servers.get(), i, lane_pid);
    }
    if (!capacity || !pid || !alive || !busy || !torn || !servers) {
        return nullptr;
    }
    return Py_BuildValue("{s:s,s:L,s:d,s:O,s:O,s:O,s:O,s:O,s:O,s:k,s:k,s:k,s:O,s:O,s:O}", "kind",
                         kinds[static_cast<int>(r.kind)], "size",
                         static_cast<long long>(seen.st.st_size), "modified", modified, "capacity",
                         capacity.get(), "pid", pid.get(), "alive", alive.get(), "busy", busy.get(),
                         "torn", torn.get(), "damaged", value && r.damaged ? Py_True : Py_False,
                         "owner", static_cast<unsigned long>(seen.st.st_uid), "group",
                         static_cast<unsigned long>(seen.st.st_gid), "mode",
                         static_cast<unsigned long>(seen.st.st_mode & 07777), "refused",
                         tw::owner_refuses(seen.st) ? Py_True : Py_False, "stale",
                         seen.stale ? Py_True : Py_False, "lane_servers", servers.get());
}

// Reads an iterable of ids for _owner_refused. Count, or -1 with an exception set.
static Py_ssize_t read_id_list(PyObject* arg, uint32_t* out, size_t room)
{
    PyRef items(PySequence_Fast(arg, "Expected iterables of user and group ids (int)."));
    if (!items) {
        return -1;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (static_cast<size_t>(count) > room) {
        PyErr_SetString(PyExc_ValueError, "Too many ids.");
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        unsigned long id = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (PyErr_Occurred()) {
            return -1;
        }
        out[i] = static_cast<uint32_t>(id);
    }
    return count;
}

// _owner_refused(owner, group, mode, uids, gids): whether a process trusting exactly these users
// and groups refuses an object of that owner, group and mode (the module's ownership rule).
PyObject* tw::owner_refused(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        return argument_error("Expected owner, group, mode, uids and gids.");
    }
    unsigned long owner = PyLong_AsUnsignedLong(args[0]);
    unsigned long group = PyLong_AsUnsignedLong(args[1]);
    unsigned long mode = PyLong_AsUnsignedLong(args[2]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    constexpr size_t ROOM = 256;
    uint32_t uids[ROOM];
    uint32_t gids[ROOM];
    Py_ssize_t n_uids = read_id_list(args[3], uids, ROOM);
    Py_ssize_t n_gids = n_uids < 0 ? -1 : read_id_list(args[4], gids, ROOM);
    if (n_gids < 0) {
        return nullptr;
    }
    return PyBool_FromLong(tw::owner_refuses_given(
        static_cast<uid_t>(owner), static_cast<gid_t>(group), static_cast<mode_t>(mode), uids,
        static_cast<size_t>(n_uids), gids, static_cast<size_t>(n_gids)));
}
