// Shared function segments. (Placeholder.)
#include "tidewell/function_segment.hpp"
#include "tidewell/segment_common.hpp"

extern "C" TW_EXPORT PyObject* call_shared_function(const char*, PyObject*)
{
    PyErr_SetString(PyExc_MemoryError, "Failed to open the shared memory.");
    return nullptr;
}

namespace tw {
PyObject* create_function_impl(const char*, PyObject*)
{
    PyErr_SetString(PyExc_NotImplementedError, "Shared functions are not available yet.");
    return nullptr;
}
PyObject* remove_function_impl(const char*) { Py_RETURN_FALSE; }
} // namespace tw
