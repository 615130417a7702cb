// The awaitable side of calls: a small object per call in flight that the event loop looks at
// until it has finished (python/tidewell/_aio.py drives it). No thread waits for it.
#include "tidewell/function_async.hpp"
#include "tidewell/function_caller.hpp"

#include <cerrno>
#include <ctime>
#include <sys/timerfd.h>

namespace tw {

namespace {

struct PendingObject {
    PyObject_HEAD PendingCall* call;
};

PyObject* pending_type = nullptr; // lives as long as the process

void pending_dealloc(PyObject* self)
{
    auto* pending = reinterpret_cast<PendingObject*>(self);
    if (pending->call != nullptr) {
        cancel_call(pending->call);
        free_call(pending->call);
        pending->call = nullptr;
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// poll(): the result once the call has finished (or its exception), else the call itself.
PyObject* pending_poll(PyObject* self, PyObject*)
{
    auto* pending = reinterpret_cast<PendingObject*>(self);
    PyObject* result = nullptr;
    if (poll_call(pending->call, &result) == 0) {
        return Py_NewRef(self);
    }
    return result;
}

// cancel(): withdraws the call unless it has finished.
PyObject* pending_cancel(PyObject* self, PyObject*)
{
    cancel_call(reinterpret_cast<PendingObject*>(self)->call);
    Py_RETURN_NONE;
}

PyMethodDef pending_methods[] = {
    {"poll", pending_poll, METH_NOARGS,
     "poll()\n--\n\nThe result once the call has finished (raises its error), else this object."},
    {"cancel", pending_cancel, METH_NOARGS,
     "cancel()\n--\n\nWithdraws the call unless it has finished."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pending_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pending_dealloc)},
    {Py_tp_methods, pending_methods},
    {Py_tp_doc,
     const_cast<char*>("A call of a shared function in flight (see call_function_async).")},
    {0, nullptr},
};

PyType_Spec pending_spec = {
    "tidewell.tidewell._PendingCall", sizeof(PendingObject), 0, Py_TPFLAGS_DEFAULT, pending_slots,
};

} // namespace

// The event loop looks at calls in flight when a timer descriptor fires: its timeouts are in
// microseconds, where the loop's own timers wait at least a millisecond.
PyObject* timer_create(PyObject*, PyObject*)
{
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromLong(fd);
}

PyObject* timer_arm(PyObject*, PyObject* args)
{
    int fd;
    long microseconds;
    if (!PyArg_ParseTuple(args, "il", &fd, &microseconds)) {
        return nullptr;
    }
    struct itimerspec when = {};
    microseconds = microseconds < 1 ? 1 : microseconds;
    when.it_value.tv_sec = microseconds / 1000000;
    when.it_value.tv_nsec = (microseconds % 1000000) * 1000;
    if (timerfd_settime(fd, 0, &when, nullptr) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

int add_pending_call_type(PyObject* module)
{
    if (pending_type == nullptr) {
        pending_type = PyType_FromSpec(&pending_spec);
        if (pending_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(pending_type);
    if (PyModule_AddObject(module, "_PendingCall", pending_type) < 0) {
        Py_DECREF(pending_type);
        return -1;
    }
    return 0;
}

PyObject* start_pending_call(const char* name, PyObject* args)
{
    PendingCall* call = start_call(name, args);
    if (call == nullptr) {
        return nullptr;
    }
    PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(pending_type), 0);
    if (self == nullptr) {
        free_call(call);
        return nullptr;
    }
    reinterpret_cast<PendingObject*>(self)->call = call;
    return self;
}

} // namespace tw
