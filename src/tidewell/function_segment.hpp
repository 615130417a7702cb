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
// NULL with an exception set when setting up or serving failed. With `reply_errors`, a call whose
// callable raises an Exception is answered with an error reply and serving goes on. With `shared`,
// a name served by a shared function is joined: this server serves a lane of it.
PyObject* create_function_impl(const char* name, PyObject* func, bool reply_errors, bool shared);
// Adds RemoteError, the caller's exception for an error reply, to the module.
int add_remote_error(PyObject* module);
// Removes this process's kept argument object for the function `name`, if any.
void drop_argument_object(const char* name);
// Places a stop request: True when placed, False when the segment cannot be opened.
PyObject* remove_function_impl(const char* name);
// What holds the taken `name`, for a message: its server's pid (alive or ended) or a value; NULL
// when that cannot be told. May write the text into `text`.
const char* describe_taken(const char* name, char* text, size_t room);
} // namespace tw
