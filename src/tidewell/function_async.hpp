#pragma once
#include <Python.h>

namespace tw {
// Adds the type of calls in flight, `_PendingCall`, to the module.
int add_pending_call_type(PyObject* module);
// _call_start(name, args): a call of the shared function `name` in flight, or NULL with an
// exception set (the errors call_function raises before it waits).
PyObject* start_pending_call(const char* name, PyObject* args);
// _timer_create() -> fd and _timer_arm(fd, microseconds): a one-shot timer descriptor.
PyObject* timer_create(PyObject* self, PyObject* args);
PyObject* timer_arm(PyObject* self, PyObject* args);
} // namespace tw
