#pragma once
#include <Python.h>
#include "common/py_ref.hpp"

// The module's seven functions and its lifecycle hooks, exported under these names.
extern "C" {
TW_EXPORT PyObject* create_memory(PyObject* self, PyObject* args, PyObject* kwargs);
TW_EXPORT PyObject* remove_memory(PyObject* self, PyObject* args, PyObject* kwargs);
TW_EXPORT PyObject* read_memory(PyObject* self, PyObject* args);
TW_EXPORT PyObject* write_memory(PyObject* self, PyObject* args, PyObject* kwargs);
TW_EXPORT PyObject* create_function(PyObject* self, PyObject* args, PyObject* kwargs);
TW_EXPORT PyObject* remove_function(PyObject* self, PyObject* args);
TW_EXPORT PyObject* call_function(PyObject* self, PyObject* args);

PyMODINIT_FUNC PyInit_tidewell(void);
TW_EXPORT void tidewell_module_cleanup(void* module);
}

namespace tw {
// trust(uids=(), gids=()): whose objects, besides this user's and root's, may be opened. Not
// exported.
PyObject* trust(PyObject* self, PyObject* args, PyObject* kwargs);
// Codec entry points of the module (not exported): dumps(value) -> bytes, loads(data) -> value.
PyObject* dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loads(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// update_memory(name, func, default=None, create=True) -> value (not exported).
PyObject* update_memory(PyObject* self, PyObject* args, PyObject* kwargs);
// Private to the package (not exported): _inspect(file_name) -> dict | None, and
// _owner_refused(owner, group, mode, uids, gids) -> bool; the command line decides with these.
PyObject* inspect(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* owner_refused(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// _call_start(name, args) -> _PendingCall, behind call_function_async (not exported).
PyObject* call_start(PyObject* self, PyObject* args);
// The key operations behind tidewell.Mapping (not exported): the only functions that take the
// names of a mapping's keys.
PyObject* key_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* key_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* key_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* key_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* key_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
} // namespace tw
