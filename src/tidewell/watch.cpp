// Waiting for a change of a value: tidewell.read_with_token and the waits behind
// tidewell.watch and tidewell.wait_for_change.
#include "tidewell/watch.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_error.hpp"
#include "tidewell/value_segment.hpp"
#include "tidewell/wake_word.hpp"
#include "tidewell/watch_table.hpp"
#include "valpack/zeb_main/zeb_2.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>

namespace tw {
namespace {

// How long a watcher sleeps before it compares the value again even if nobody woke it: the
// bound on seeing a write that bumps nothing (an older peer's, a writer of another user).
constexpr long RECHECK_NS = 100000000L;
constexpr char HANDLE_NAME[] = "tidewell.watch";

// The decoded value of `name` and its encoding (the token) as new references, or false with an
// exception set. `missing` is set instead when the name does not exist.
bool current_state(const char* name, PyRef& value, PyRef& token, bool& missing)
{
    missing = false;
    for (bool trust_record : {true, false}) {
        token = PyRef(read_encoding_or(name, Py_None, trust_record));
        if (!token) {
            return false;
        }
        if (token.get() == Py_None) {
            missing = true;
            return true;
        }
        Py_ssize_t len = PyBytes_GET_SIZE(token.get());
        if (len == 0) {
            value = PyRef::borrow(Py_None);
            return true;
        }
        value = PyRef(zeb2::to_value_buffer(
            reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(token.get())),
            static_cast<size_t>(len)));
        if (value || !trust_record || !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return static_cast<bool>(value);
        }
        // A record left stale by an older writer: the whole data area.
        PyErr_Clear();
    }
    return false;
}

bool same_token(PyObject* a, PyObject* b)
{
    Py_ssize_t len = PyBytes_GET_SIZE(a);
    return len == PyBytes_GET_SIZE(b) &&
           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<size_t>(len)) == 0;
}

PyObject* pair(PyRef& value, PyRef& token)
{
    return PyTuple_Pack(2, value.get(), token.get());
}

struct Registration {
    WatchLeaseHandle lease;
};

void drop_handle(PyObject* capsule)
{
    auto* reg = static_cast<Registration*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
    if (reg != nullptr) {
        watch_unregister(reg->lease);
        delete reg;
    }
    else {
        PyErr_Clear();
    }
}

// -1 for no timeout, else nanoseconds. false with ValueError set.
bool parse_timeout(PyObject* arg, long long& ns)
{
    ns = -1;
    if (arg == nullptr || arg == Py_None) {
        return true;
    }
    double seconds = PyBool_Check(arg) ? -1.0 : PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        seconds = -1.0;
    }
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be None or a number of seconds >= 0.");
        return false;
    }
    ns = seconds > 1e9 ? static_cast<long long>(1e18) : static_cast<long long>(seconds * 1e9);
    return true;
}

struct timespec to_timespec(long long ns)
{
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

// Waits until the encoding of `name` differs from `token`, registering `lease` when it holds
// none (or one the table no longer knows, or one a fork inherited).
PyObject* wait_impl(WatchLeaseHandle& lease, const char* name, PyObject* token, long long timeout)
{
    long long start = now_ns();
    long long deadline = timeout < 0 ? -1 : start + timeout;
    bool woken = false;
    for (;;) {
        if (!woken && !watch_lease_current(lease)) {
            watch_unregister(lease);
            if (!watch_register(lease, name) && PyErr_Occurred()) {
                return nullptr;
            }
        }
        // Read before the value is compared: a commit after the comparison bumps it, so the
        // sleep below returns at once.
        uint32_t seen = watch_seen(lease);
        PyRef value;
        PyRef now_token;
        bool missing;
        if (!current_state(name, value, now_token, missing)) {
            return nullptr;
        }
        if (missing) {
            PyErr_Format(PyExc_FileNotFoundError, "The shared memory address '%s' was removed.",
                         name);
            return nullptr;
        }
        if (!same_token(now_token.get(), token)) {
            return pair(value, now_token);
        }
        long long now = now_ns();
        if (deadline >= 0 && now >= deadline) {
            PyErr_Format(PyExc_TimeoutError, "'%s' did not change within the timeout.", name);
            return nullptr;
        }
        long long until = now + RECHECK_NS;
        if (deadline >= 0 && deadline < until) {
            until = deadline;
        }
        struct timespec ts = to_timespec(until);
        Py_BEGIN_ALLOW_THREADS
            watch_sleep(lease, seen, ts);
        Py_END_ALLOW_THREADS
        woken = lease.table != nullptr && watch_seen(lease) != seen;
        if (PyErr_CheckSignals() < 0) {
            return nullptr;
        }
    }
}

// The checked name, or false with the ValueError set (`usage` when it is not a str).
bool parse_name(PyObject* arg, const char* usage, const char*& name)
{
    NameResult rc = check_segment_name(arg, &name);
    if (rc == NAME_NOT_STR) {
        PyErr_SetString(PyExc_ValueError, usage);
    }
    return rc == NAME_OK;
}

bool parse_token(PyObject* arg)
{
    if (!PyBytes_CheckExact(arg)) {
        PyErr_SetString(PyExc_ValueError,
                        "The token must be the bytes read_with_token or wait_for_change gave.");
        return false;
    }
    return true;
}

} // namespace

PyObject* read_with_token(PyObject*, PyObject* name_arg)
{
    const char* name;
    if (!parse_name(name_arg, "read_with_token() takes one name (str).", name)) {
        return nullptr;
    }
    PyRef value;
    PyRef token;
    bool missing;
    if (!current_state(name, value, token, missing)) {
        return nullptr;
    }
    if (missing) {
        return raise_status(Status{Step::OPEN, ENOENT}, name);
    }
    return pair(value, token);
}

PyObject* watch_open(PyObject*, PyObject* name_arg)
{
    const char* name;
    if (!parse_name(name_arg, "watch() takes a name (str).", name)) {
        return nullptr;
    }
    auto* reg = new (std::nothrow) Registration;
    if (reg == nullptr) {
        return PyErr_NoMemory();
    }
    if (!watch_register(reg->lease, name) && PyErr_Occurred()) {
        delete reg;
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(reg, HANDLE_NAME, drop_handle);
    if (capsule == nullptr) {
        watch_unregister(reg->lease);
        delete reg;
    }
    return capsule;
}

PyObject* watch_close(PyObject*, PyObject* handle)
{
    auto* reg = static_cast<Registration*>(PyCapsule_GetPointer(handle, HANDLE_NAME));
    if (reg == nullptr) {
        return nullptr;
    }
    watch_unregister(reg->lease);
    Py_RETURN_NONE;
}

// _watch_wait(handle, name, token, timeout): handle is a _watch_open handle or None (a lease
// for this wait only).
PyObject* watch_wait(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "_watch_wait(handle, name, token, timeout)");
        return nullptr;
    }
    const char* name;
    long long timeout;
    if (!parse_name(args[1], "wait_for_change() takes a name (str).", name) ||
        !parse_token(args[2]) || !parse_timeout(args[3], timeout)) {
        return nullptr;
    }
    PyRef token = PyRef::borrow(args[2]);
    if (args[0] == Py_None) {
        WatchLeaseHandle lease;
        PyObject* result = wait_impl(lease, name, token.get(), timeout);
        watch_unregister(lease);
        return result;
    }
    auto* reg = static_cast<Registration*>(PyCapsule_GetPointer(args[0], HANDLE_NAME));
    if (reg == nullptr) {
        return nullptr;
    }
    PyRef handle = PyRef::borrow(args[0]);
    return wait_impl(reg->lease, name, token.get(), timeout);
}

// _watch_table_name(name=None): the name of this process's watch table; a name given replaces
// it (tests keep their own table).
PyObject* watch_table(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs == 1 && args[0] != Py_None) {
        Py_ssize_t len;
        const char* name =
            PyUnicode_Check(args[0]) ? PyUnicode_AsUTF8AndSize(args[0], &len) : nullptr;
        if (name == nullptr || len <= static_cast<Py_ssize_t>(sizeof(WATCH_TABLE_PREFIX) - 1) ||
            len >= 60 ||
            std::strncmp(name, WATCH_TABLE_PREFIX, sizeof(WATCH_TABLE_PREFIX) - 1) != 0 ||
            std::strchr(name, '/') != nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError,
                            "A watch table's name starts with '.tidewell-watch-'.");
            return nullptr;
        }
        set_watch_table_name(name);
    }
    return PyUnicode_FromString(watch_table_name());
}

} // namespace tw
