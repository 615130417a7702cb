// Raising the codec's errors, and chaining the exception that caused them.
#include "valpack/common/errors.hpp"
#include "valpack/common/stack_guard.hpp"

namespace zeb2 {

// The pending exception as one object (new reference), or NULL when none is pending.
static PyObject* take_pending()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(traceback);
    Py_DECREF(type);
    return value;
#endif
}

static void restore_pending(PyObject* exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

__attribute__((cold)) void set_error_from_pending(PyObject* type, const char* message)
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(type, message);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return;
    }
    PyObject* cause = take_pending();
    PyErr_SetString(type, message);
    PyObject* ours = take_pending();
    if (ours == nullptr || cause == nullptr) {
        Py_XDECREF(cause);
        if (ours != nullptr) {
            restore_pending(ours);
        }
        return;
    }
    PyException_SetContext(ours, Py_NewRef(cause));
    PyException_SetCause(ours, cause);
    restore_pending(ours);
}

__attribute__((cold)) StatusCode container_changed()
{
    PyErr_SetString(PyExc_RuntimeError, "A container changed size while it was being encoded.");
    return SC_EXCEPTION;
}

__attribute__((cold)) StatusCode stack_exhausted_status()
{
    raise_stack_exhausted();
    return SC_EXCEPTION;
}

__attribute__((cold)) PyObject* raise_offset_error()
{
    PyErr_SetString(PyExc_ValueError,
                    "Likely received an invalid bytes object: offset exceeded max limit.");
    return nullptr;
}

__attribute__((cold)) PyObject* raise_invalid(const char* detail)
{
    PyErr_Format(PyExc_ValueError, "Likely received an invalid bytes object: %s", detail);
    return nullptr;
}

__attribute__((cold)) PyObject* raise_invalid_datachar(unsigned int code)
{
    PyErr_Format(PyExc_ValueError,
                 "Likely received an invalid bytes object: fetched an invalid datatype "
                 "representative. (Rep. code: %u)",
                 code);
    return nullptr;
}

// Exhausted resources, not damaged bytes: they pass unchanged.
static bool out_of_resources()
{
    return PyErr_ExceptionMatches(PyExc_MemoryError) ||
           PyErr_ExceptionMatches(PyExc_RecursionError);
}

__attribute__((cold)) PyObject* raise_damaged(const char* message)
{
    if (!PyErr_Occurred() || !out_of_resources()) {
        set_error_from_pending(PyExc_ValueError, message);
    }
    return nullptr;
}

__attribute__((cold)) void settle_decode_error()
{
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ValueError) && !out_of_resources()) {
        set_error_from_pending(PyExc_ValueError, "Likely received an invalid bytes object: a "
                                                 "value could not be rebuilt from its bytes.");
    }
}

} // namespace zeb2
