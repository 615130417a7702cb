// The argument rules the package's Python stores share with the module functions.
#include "tidewell/argument_rules.hpp"
#include "common/py_ref.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"

namespace tw {

static PyObject* checked_name(PyObject* name, bool key)
{
    const char* checked;
    NameResult rc = key ? tw::check_key_name(name, &checked) : check_segment_name(name, &checked);
    if (rc == NAME_NOT_STR) {
        Py_RETURN_NONE;
    }
    if (rc != NAME_OK) {
        return nullptr;
    }
    return PyBytes_FromString(checked);
}

PyObject* check_name(PyObject*, PyObject* name)
{
    return checked_name(name, false);
}

PyObject* check_key_name(PyObject*, PyObject* name)
{
    return checked_name(name, true);
}

PyObject* check_mode(PyObject*, PyObject* mode)
{
    // As the parsers take it: an int or a subclass of int (bool included).
    if (!PyLong_Check(mode)) {
        Py_RETURN_NONE;
    }
    mode_t checked;
    if (!parse_create_mode(mode, &checked)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(checked);
}

static int set_text(PyObject* dict, const char* key, const char* text)
{
    PyRef value(PyUnicode_FromString(text));
    return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

static int set_size(PyObject* dict, const char* key, size_t size)
{
    PyRef value(PyLong_FromSize_t(size));
    return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

// Read-only views: a store that changed a message would change it for every store.
static int add_view(PyObject* module, const char* name, PyObject* dict)
{
    PyRef view(PyDictProxy_New(dict));
    if (!view || PyModule_AddObject(module, name, view.get()) < 0) {
        return -1;
    }
    view.release();
    return 0;
}

int add_argument_rules(PyObject* module)
{
    static const struct {
        const char* key;
        const char* text;
    } messages[] = {
        {"create_memory", msg::CREATE_MEMORY},
        {"remove_memory", msg::REMOVE_MEMORY},
        {"read_memory", msg::ONE_NAME},
        {"write_memory", msg::WRITE_MEMORY},
        {"update_memory", msg::UPDATE_MEMORY},
        {"create_function", msg::CREATE_FUNCTION},
        {"remove_function", msg::ONE_NAME},
        {"call_function", msg::CALL_FUNCTION},
        {"trust", msg::TRUST},
        {"dumps", msg::DUMPS},
        {"loads", msg::LOADS},
        {"prealloc_size", msg::PREALLOC_TOO_LARGE},
        {"mode", msg::BAD_MODE},
        {"null_from_function", msg::NULL_FROM_FUNCTION},
        {"key_operation", msg::KEY_OPERATION},
    };
    PyRef texts(PyDict_New());
    PyRef limits(PyDict_New());
    if (!texts || !limits) {
        return -1;
    }
    for (const auto& m : messages) {
        if (set_text(texts.get(), m.key, m.text) < 0) {
            return -1;
        }
    }
    if (set_size(limits.get(), "prealloc_size", MAX_PREALLOC_SIZE) < 0 ||
        set_size(limits.get(), "name_bytes", MAX_NAME_BYTES) < 0) {
        return -1;
    }
    if (add_view(module, "_messages", texts.get()) < 0 ||
        add_view(module, "_limits", limits.get()) < 0 ||
        PyModule_AddStringConstant(module, "_KEY_NAME_PREFIX", KEY_NAME_PREFIX) < 0) {
        return -1;
    }
    return 0;
}

} // namespace tw
