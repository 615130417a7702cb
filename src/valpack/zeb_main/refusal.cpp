// The encoder's errors: a failed step's status becomes the exception, and a refused value's error
// names the type that was refused.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

// An error raised while searching is dropped, unless it is not an Exception (KeyboardInterrupt,
// SystemExit): that one stays pending and ends the search.
static bool search_interrupted()
{
    if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Cold path of a refusal: searches the plain containers depth first for the item that is refused
// on its own, so that the error can name its type. 1 refused, 0 not, -1 interrupted.
static int refused_alone(PyObject* item)
{
    ValueData vd{};
    if (!start_encoder(vd, 64)) {
        PyErr_Clear();
        return 0;
    }
    StatusCode status = from_item(&vd, item);
    Py_CLEAR(vd.out);
    if (search_interrupted()) {
        return -1;
    }
    return status == SC_UNSUPPORTED || status == SC_INCORRECT ? 1 : 0;
}

// The refused type (a new reference), or NULL with the interrupting exception set.
static PyObject* refused_type(PyObject* value, int depth)
{
    PyRef items;
    if (depth < MAX_NESTS) {
        if (PyDict_Check(value)) {
            items = PyRef(PyDict_Items(value));
        }
        else if (PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value) ||
                 PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(deque_cl))) {
            items = PyRef(PySequence_List(value));
        }
        if (search_interrupted()) {
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        int refused = refused_alone(item);
        if (refused != 0) {
            return refused < 0 ? nullptr : refused_type(item, depth + 1);
        }
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

// Names the refused type beside the message, never in it: callers match the message. The name
// travels as a TypeError cause rather than an exception note, because pytest.raises(match=...)
// matches the notes as well, and an anchored pattern for the message would stop matching.
__attribute__((cold, noinline)) static void raise_unsupported(PyObject* value)
{
    PyRef error(PyObject_CallFunction(PyExc_ValueError, "s", "Received an unsupported datatype."));
    if (!error) {
        return;
    }
    PyRef type(refused_type(value, 0));
    if (!type) {
        return;
    }
    PyRef module(PyObject_GetAttrString(type.get(), "__module__"));
    PyRef qualname(PyObject_GetAttrString(type.get(), "__qualname__"));
    PyRef text;
    if (module && qualname && PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
        text = PyRef(PyUnicode_FromFormat("The refused value is of type '%U.%S'.", module.get(),
                                          qualname.get()));
    }
    else if (qualname) {
        text = PyRef(PyUnicode_FromFormat("The refused value is of type '%S'.", qualname.get()));
    }
    if (text) {
        PyObject* cause = PyObject_CallOneArg(PyExc_TypeError, text.get());
        if (cause != nullptr) {
            PyException_SetCause(error.get(), cause);
        }
    }
    PyErr_Clear();
    PyErr_SetObject(PyExc_ValueError, error.get());
}

// A step that failed with an exception pending (a user's __str__ or tzinfo, say) keeps it as
// the cause of our error, or in place of it when it is not an Exception.
PyObject* raise_status(StatusCode status, PyObject* value)
{
    static constexpr const char UNEXPECTED[] =
        "Something unexpected went wrong, and we couldn't quite catch what it was.";
    switch (status) {
    case SC_INCORRECT:
    case SC_UNSUPPORTED:
        // A user's hook that raised is the reason; otherwise say which type was refused.
        if (PyErr_Occurred()) {
            set_error_from_pending(PyExc_ValueError, "Received an unsupported datatype.");
        }
        else {
            raise_unsupported(value);
        }
        break;
    case SC_EXCEPTION:
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, UNEXPECTED);
        }
        break;
    case SC_NESTDEPTH:
        set_error_from_pending(PyExc_ValueError, "Exceeded the maximum value nest depth.");
        break;
    case SC_NOMEMORY:
        set_error_from_pending(PyExc_MemoryError, "Not enough memory space available for use.");
        break;
    default:
        set_error_from_pending(PyExc_RuntimeError, UNEXPECTED);
        break;
    }
    return nullptr;
}

} // namespace zeb2
