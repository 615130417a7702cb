#pragma once
#include <Python.h>
#include "common/py_ref.hpp"

// Shared functions: a server serves a callable under a name; callers call it by that name.
extern "C" {
// The caller's side of one call: encodes `args`, waits for the reply and decodes it.
// New reference, or NULL with an exception set.
TW_EXPORT PyObject* call_shared_function(const char* name, PyObject* args);
}

namespace tw {
// Creates the function segment and serves calls until stopped: None after a stop request,
// NULL with an exception set when setting up or serving failed.
PyObject* create_function_impl(const char* name, PyObject* func);
// Places a stop request: True when placed, False when the segment cannot be opened.
PyObject* remove_function_impl(const char* name);
// Whether the server of the function object open as `fd` (any access mode) is still there, by
// its liveness lock or, for objects of builds that take none, its recorded pid.
bool function_object_alive(int fd);
} // namespace tw
