#pragma once
#include <Python.h>

// Shared values: one encoded value per named segment. Each returns a new reference or NULL with
// an exception set. Flag arguments are the caller's objects, or NULL when omitted.
namespace tw {

PyObject* create_memory_impl(const char* name, PyObject* prealloc_size, PyObject* error_if_exists);
PyObject* write_memory_impl(const char* name, PyObject* value, PyObject* create);
PyObject* read_memory_impl(const char* name);
// The value of `name`, or `missing` (a new reference to it) when the name does not exist or
// holds no value yet.
PyObject* read_value_or(const char* name, PyObject* missing);
// The encoding stored under `name` as bytes (empty when nothing is written yet), or `missing`
// (a new reference to it) when the name does not exist. Without `trust_record` the whole data
// area is copied (see read_memory_impl: a record an older writer left stale).
PyObject* read_encoding_or(const char* name, PyObject* missing, bool trust_record);

// The key operations of a shared mapping. They differ from the plain ones in one rule: a key is
// removed only under its lock, and a write finds the name still published once it holds the
// lock, so a write is never lost to a removal it waited for.
// Writes `value` to `name`, creating it. True, or NULL with an exception set.
PyObject* write_key_impl(const char* name, PyObject* value);
// Removes `name` under its lock and returns its value (True when `decode` is false), or
// `missing` when the name does not exist or held no value. A value that does not decode is not
// removed: NULL with the decoder's exception.
PyObject* take_key_impl(const char* name, PyObject* missing, bool decode);
PyObject* remove_memory_impl(const char* name, PyObject* throw_error);

} // namespace tw
