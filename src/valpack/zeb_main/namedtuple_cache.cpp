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
// The entry last found or made, held: a run of values of one class, whose names come from the
// decoder's key cache as the same str objects, finds it by identity alone.
static PyObject* recent_key = nullptr;
static PyObject* recent_class = nullptr;

// The names last found decodable by the encoder, held so that their addresses stay theirs. A
// class keeps one name object and usually one `_fields` tuple, so repeated values pass on two
// comparisons.
static PyObject* checked_name = nullptr;
static PyObject* checked_fields = nullptr;

void clear_namedtuple_cache()
{
    Py_CLEAR(class_cache);
    Py_CLEAR(checked_name);
    Py_CLEAR(checked_fields);
    Py_CLEAR(recent_key);
    Py_CLEAR(recent_class);
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

static bool is_recent(PyObject* type_name, PyObject* fields)
{
    if (recent_key == nullptr || PyTuple_GET_ITEM(recent_key, 0) != type_name) {
        return false;
    }
    PyObject* recent_fields = PyTuple_GET_ITEM(recent_key, 1);
    Py_ssize_t count = PyTuple_GET_SIZE(fields);
    if (recent_fields == fields) {
        return true;
    }
    if (PyTuple_GET_SIZE(recent_fields) != count) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(recent_fields, i) != PyTuple_GET_ITEM(fields, i)) {
            return false;
        }
    }
    return true;
}

static void remember(PyObject* key, PyObject* cls)
{
    Py_XSETREF(recent_key, Py_NewRef(key));
    Py_XSETREF(recent_class, Py_NewRef(cls));
}

// New reference to the class for these names, or NULL with the factory's exception. The
// factory runs Python code, which may re-enter the decoder; every step here keeps the cache
// consistent on its own.
static PyObject* cached_class(PyObject* type_name, PyObject* fields)
{
    if (is_recent(type_name, fields)) {
        return Py_NewRef(recent_class);
    }
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
        if (PyDict_DelItem(class_cache, key.get()) < 0 ||
            PyDict_SetItem(class_cache, key.get(), cls.get()) < 0) {
            return nullptr;
        }
        remember(key.get(), cls.get());
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
    remember(key.get(), made.get());
    return made.release();
}

bool namedtuple_names_decode(PyObject* type_name, PyObject* fields)
{
    if (type_name == checked_name && fields == checked_fields) {
        return true;
    }
    // The decoder asks the same factory (through the same cache) for the class.
    PyRef cls(cacheable(type_name, fields)
                  ? cached_class(type_name, fields)
                  : PyObject_CallFunctionObjArgs(namedtuple_cl, type_name, fields, nullptr));
    if (!cls) {
        return false;
    }
    Py_XSETREF(checked_name, Py_NewRef(type_name));
    Py_XSETREF(checked_fields, Py_NewRef(fields));
    return true;
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
