// Decoded namedtuples: one class per type name and field names, kept in a bounded cache, so a
// value of many namedtuples costs about what a value of as many tuples does, and hostile input
// cannot make the decoder create classes without bound.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

// Classes kept at most. Each costs a few kilobytes.
constexpr Py_ssize_t NAMEDTUPLE_CACHE_SIZE = 128;

// (type name, field names) -> class. A dict keeps insertion order and a hit moves its entry to
// the end, so the first entry is the least recently used one.
static PyObject* class_cache = nullptr;
// The class last found or made; compared by address only, never dereferenced.
static PyObject* most_recent = nullptr;

void clear_namedtuple_cache()
{
    Py_CLEAR(class_cache);
    most_recent = nullptr;
}

// Only plain str names make a key: anything else goes to the factory, which refuses it or makes
// a class of its str().
static bool cacheable(PyObject* type_name, PyObject* fields)
{
    if (!PyUnicode_CheckExact(type_name)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(fields, i))) {
            return false;
        }
    }
    return true;
}

// New reference to the class for these names, or NULL with the factory's exception. The
// factory runs Python code, which may re-enter the decoder; every step here keeps the cache
// consistent on its own.
static PyObject* cached_class(PyObject* type_name, PyObject* fields)
{
    if (class_cache == nullptr) {
        class_cache = PyDict_New();
        if (class_cache == nullptr) {
            return nullptr;
        }
    }
    PyRef key(PyTuple_Pack(2, type_name, fields));
    if (!key) {
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(class_cache, key.get());
    if (found != nullptr) {
        PyRef cls = PyRef::borrow(found);
        if (found != most_recent) {
            if (PyDict_DelItem(class_cache, key.get()) < 0 ||
                PyDict_SetItem(class_cache, key.get(), found) < 0) {
                return nullptr;
            }
            most_recent = found;
        }
        return cls.release();
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    PyRef made(PyObject_CallFunctionObjArgs(namedtuple_cl, type_name, fields, nullptr));
    if (!made) {
        return nullptr;
    }
    while (class_cache != nullptr && PyDict_GET_SIZE(class_cache) >= NAMEDTUPLE_CACHE_SIZE) {
        Py_ssize_t pos = 0;
        PyObject* oldest;
        PyObject* unused;
        if (!PyDict_Next(class_cache, &pos, &oldest, &unused)) {
            break;
        }
        PyRef held = PyRef::borrow(oldest);
        if (PyDict_DelItem(class_cache, held.get()) < 0) {
            return nullptr;
        }
    }
    if (class_cache == nullptr || PyDict_SetItem(class_cache, key.get(), made.get()) < 0) {
        return class_cache == nullptr ? made.release() : nullptr;
    }
    most_recent = made.get();
    return made.release();
}

PyObject* build_namedtuple(PyObject* type_name, PyObject* fields, PyObject* items)
{
    if (!cacheable(type_name, fields)) {
        PyRef nt_type(PyObject_CallFunctionObjArgs(namedtuple_cl, type_name, fields, nullptr));
        return nt_type ? PyObject_Call(nt_type.get(), items, nullptr) : nullptr;
    }
    PyRef cls(cached_class(type_name, fields));
    if (!cls) {
        return nullptr;
    }
    // The class came from the factory with exactly these fields, whose __new__ only packs its
    // arguments into the tuple: fill the instance directly, as tuple.__new__ does for a subclass.
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    Py_ssize_t count = PyTuple_GET_SIZE(items);
    PyObject* instance = type->tp_alloc(type, count);
    if (instance == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(instance, i, Py_NewRef(PyTuple_GET_ITEM(items, i)));
    }
    if (type->tp_dictoffset == 0) {
        untrack_if_atomic(instance);
    }
    return instance;
}

} // namespace zeb2
