#pragma once
#include <Python.h>

// The module functions of watching (not exported): read_with_token(name) -> (value, token), and
// the package's private _watch_open, _watch_wait, _watch_close and _watch_table_name.
namespace tw {

PyObject* read_with_token(PyObject* self, PyObject* name);
PyObject* watch_open(PyObject* self, PyObject* name);
PyObject* watch_close(PyObject* self, PyObject* handle);
PyObject* watch_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* watch_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

} // namespace tw
