#pragma once
#include <Python.h>

// Shared values: one encoded value per named segment. Each returns a new reference or NULL with
// an exception set. Flag arguments are the caller's objects, or NULL when omitted.
namespace tw {

PyObject* create_memory_impl(const char* name, PyObject* prealloc_size, PyObject* error_if_exists);
PyObject* write_memory_impl(const char* name, PyObject* value, PyObject* create);
PyObject* read_memory_impl(const char* name);
PyObject* remove_memory_impl(const char* name, PyObject* throw_error);

} // namespace tw
