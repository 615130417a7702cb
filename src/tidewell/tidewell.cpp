// The module: method table, initialisation and teardown.
#include "tidewell/function_async.hpp"
#include "tidewell/tidewell.hpp"
#include "tidewell/watch.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/function_segment.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

// Each docstring starts with a text signature ("name(params)\n--\n\n") that inspect.signature
// reads and __doc__ leaves out. Optional flags may be omitted but not passed as None, so the
// signatures show the defaults that behave like an omitted argument.
static PyMethodDef methods[] = {
    {"create_memory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(create_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "create_memory(name, prealloc_size=0, error_if_exists=False, *, mode=0o600)\n--\n\n"
     "Create a shared memory address."},
    {"remove_memory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(remove_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "remove_memory(name, throw_error=False)\n--\n\nRemove a shared memory address."},
    {"read_memory", read_memory, METH_VARARGS,
     "read_memory(name, /)\n--\n\nGet the value stored in a shared memory address."},
    {"write_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(write_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "write_memory(name, value, create=True, *, mode=0o600)\n--\n\nWrite a value to a shared "
     "memory address."},
    {"create_function",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(create_function)),
     METH_VARARGS | METH_KEYWORDS,
     "create_function(name, func, /, *, mode=0o600, errors='raise', shared=False)\n--\n\nCreate "
     "and link a "
     "function to shared "
     "memory."},
    {"remove_function", remove_function, METH_VARARGS,
     "remove_function(name, /)\n--\n\nStop a function linked to shared memory."},
    {"call_function", call_function, METH_VARARGS,
     "call_function(name, args, /)\n--\n\nCall a function linked to shared memory."},
    {"trust", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::trust)),
     METH_VARARGS | METH_KEYWORDS,
     "trust(*, uids=(), gids=())\n--\n\nTrust shared memory objects of these users and groups."},
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::dumps)),
     METH_FASTCALL,
     "dumps(value, /)\n--\n\nEncode a value to bytes in tidewell's format (protocol 2)."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::loads)),
     METH_FASTCALL,
     "loads(data, /)\n--\n\nDecode a value from bytes in tidewell's format (protocol 2 or 1)."},
    {"update_memory",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::update_memory)),
     METH_VARARGS | METH_KEYWORDS,
     "update_memory(name, func, default=None, create=True)\n--\n\n"
     "Replace the value stored under name with func(current) in one step and return it.\n\n"
     "Under the name's lock: read the current value (default when none is stored yet), call\n"
     "func with it, write the result. Other processes wait for the name while func runs. If\n"
     "func raises or its result cannot be encoded, nothing is written. func must not use the\n"
     "same name (RuntimeError); create=False raises MemoryError for a missing name."},
    // Private: the argument rules, for the package's stores written in Python.
    {"_check_name", tw::check_name, METH_O,
     "_check_name(name, /)\n--\n\nThe module's name check: the name's bytes, None for a non-str, "
     "or "
     "ValueError."},
    {"_check_key_name", tw::check_key_name, METH_O,
     "_check_key_name(name, /)\n--\n\nThe name check of a mapping's key: the name's bytes, None "
     "for a non-str, or ValueError."},
    {"_check_mode", tw::check_mode, METH_O,
     "_check_mode(mode, /)\n--\n\nThe module's mode= check: the mode, None for a non-int, or "
     "ValueError."},
    {"_inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::inspect)),
     METH_FASTCALL,
     "_inspect(file_name, /)\n--\n\nWhat a shared memory object is, by the module's own rules "
     "(None when there is none)."},
    {"_owner_refused",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::owner_refused)),
     METH_FASTCALL,
     "_owner_refused(owner, group, mode, uids, gids, /)\n--\n\nWhether a process trusting "
     "these users and groups refuses an object of that owner, group and mode."},
    {"_key_read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::key_read)),
     METH_FASTCALL, "_key_read(name, missing, /)\n--\n\nThe value of a mapping's key, or missing."},
    {"_key_write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::key_write)),
     METH_FASTCALL, "_key_write(name, value, mode, /)\n--\n\nWrite a mapping's key."},
    {"_key_update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::key_update)),
     METH_FASTCALL,
     "_key_update(name, func, default, mode, /)\n--\n\nupdate_memory on a mapping's key."},
    {"_key_take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::key_take)),
     METH_FASTCALL,
     "_key_take(name, missing, decode, /)\n--\n\nRemove a mapping's key, returning its value."},
    {"_key_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::key_names)),
     METH_FASTCALL,
     "_key_names(head, /)\n--\n\nThe rest of each key name in /dev/shm that starts with head."},
    {"read_with_token", tw::read_with_token, METH_O,
     "read_with_token(name, /)\n--\n\nThe value stored under name and a token for "
     "wait_for_change: (value, token)."},
    {"_watch_open", tw::watch_open, METH_O,
     "_watch_open(name, /)\n--\n\nRegister a watcher of name: a handle for _watch_wait."},
    {"_watch_close", tw::watch_close, METH_O,
     "_watch_close(handle, /)\n--\n\nGive up a watcher's registration."},
    {"_watch_wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::watch_wait)),
     METH_FASTCALL,
     "_watch_wait(handle, name, token, timeout, /)\n--\n\nWait until name's value differs from "
     "token: (value, token)."},
    {"_call_start", tw::call_start, METH_VARARGS,
     "_call_start(name, args, /)\n--\n\nA call of a shared function in flight (for "
     "call_function_async)."},
    {"_timer_create", tw::timer_create, METH_NOARGS,
     "_timer_create()\n--\n\nA one-shot timer descriptor (non-blocking, close-on-exec)."},
    {"_timer_arm", tw::timer_arm, METH_VARARGS,
     "_timer_arm(fd, microseconds, /)\n--\n\nArms the timer to fire once after that long."},
    {"_watch_table_name",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tw::watch_table)),
     METH_FASTCALL,
     "_watch_table_name(name=None, /)\n--\n\nThe name of this process's watch table (set it "
     "with name)."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef tidewell_def = {
    PyModuleDef_HEAD_INIT,
    "tidewell",
    "A module for managing shared memory with Python.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    tidewell_module_cleanup,
};

static int interpreter_finalizing()
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

PyMODINIT_FUNC PyInit_tidewell(void)
{
    if (zeb2_init() < 0) {
        return nullptr;
    }
    tw::PyRef module(PyModule_Create2(&tidewell_def, 1013));
    if (!module || tw::add_argument_rules(module.get()) < 0 ||
        tw::add_remote_error(module.get()) < 0 || tw::add_pending_call_type(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}

// The registry is released only at interpreter shutdown: a module object freed earlier (removed
// from sys.modules) can be imported again from the interpreter's cache without a new init, and
// its functions still need the registry.
extern "C" TW_EXPORT void tidewell_module_cleanup(void*)
{
    if (interpreter_finalizing()) {
        zeb2_cleanup();
    }
}
