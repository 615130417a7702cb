#pragma once
#include <Python.h>

namespace tw {

// Replaces the value of `name` with func(current) under the name's lock and returns the new
// value (a new reference), or NULL with an exception set and the stored value unchanged.
// `fallback` stands in for a name that holds no value yet; `create` is the caller's flag object,
// or NULL when omitted. `key`: `name` is a mapping's key, created when missing (`create` is
// ignored) and held as hold_key holds it.
PyObject* update_memory_impl(const char* name, PyObject* func, PyObject* fallback, PyObject* create,
                             bool key = false);

} // namespace tw
