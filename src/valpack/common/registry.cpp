// The type registry: the twelve class globals and the attribute names the codec looks up.
#include "valpack/common/registry.hpp"

using tw::PyRef;

extern "C" {
TW_EXPORT PyObject* datetime_dt = nullptr;
TW_EXPORT PyObject* datetime_d = nullptr;
TW_EXPORT PyObject* datetime_t = nullptr;
TW_EXPORT PyObject* uuid_cl = nullptr;
TW_EXPORT PyObject* decimal_cl = nullptr;
TW_EXPORT PyObject* namedtuple_cl = nullptr;
TW_EXPORT PyObject* deque_cl = nullptr;
TW_EXPORT PyObject* counter_cl = nullptr;
TW_EXPORT PyObject* ordereddict_cl = nullptr;
TW_EXPORT PyObject* chainmap_cl = nullptr;
TW_EXPORT PyObject* path_cl = nullptr;
TW_EXPORT PyObject* purepath_cl = nullptr;
}

namespace zeb2 {

namespace names {
PyObject* sizeof_ = nullptr;
PyObject* fields = nullptr;
PyObject* name = nullptr;
PyObject* maps = nullptr;
PyObject* isoformat = nullptr;
PyObject* fromisoformat = nullptr;
PyObject* hex = nullptr;
PyObject* start = nullptr;
PyObject* stop = nullptr;
PyObject* step = nullptr;
PyObject* utcoffset = nullptr;
PyObject* int_ = nullptr;
PyObject* is_safe = nullptr;
} // namespace names

int intern_names()
{
    struct {
        PyObject** slot;
        const char* text;
    } table[] = {{&names::sizeof_, "__sizeof__"},
                 {&names::fields, "_fields"},
                 {&names::name, "__name__"},
                 {&names::maps, "maps"},
                 {&names::isoformat, "isoformat"},
                 {&names::fromisoformat, "fromisoformat"},
                 {&names::hex, "hex"},
                 {&names::start, "start"},
                 {&names::stop, "stop"},
                 {&names::step, "step"},
                 {&names::utcoffset, "utcoffset"},
                 {&names::int_, "int"},
                 {&names::is_safe, "is_safe"}};
    for (auto& entry : table) {
        if (*entry.slot == nullptr) {
            *entry.slot = PyUnicode_InternFromString(entry.text);
            if (*entry.slot == nullptr) {
                return -1;
            }
        }
    }
    return 0;
}

namespace {

struct RegistryEntry {
    PyObject** global;
    const char* attribute;
};

// Imports `module` and fetches every entry before checking any, as the registry's failure
// rules expect: entries fetched before a failure keep their references.
int fetch_module(const char* module, RegistryEntry* entries, size_t count, const char* fund)
{
    PyRef mod(PyImport_ImportModule(module));
    if (!mod) {
        PyErr_Format(PyExc_ModuleNotFoundError, "Could not find module '%s'.", module);
        return -1;
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject* value = PyObject_GetAttrString(mod.get(), entries[i].attribute);
        if (value == nullptr) {
            PyErr_Clear();
        }
        Py_XSETREF(*entries[i].global, value);
    }
    mod.reset();
    for (size_t i = 0; i < count; ++i) {
        if (*entries[i].global == nullptr) {
            PyErr_Format(PyExc_AttributeError, "Could not %s attribute '%s' in module '%s'.", fund,
                         entries[i].attribute, module);
            return -1;
        }
    }
    return 1;
}

} // namespace

int fetch_classes()
{
    RegistryEntry dt[] = {{&datetime_dt, "datetime"}, {&datetime_d, "date"}, {&datetime_t, "time"}};
    RegistryEntry uuid[] = {{&uuid_cl, "UUID"}};
    RegistryEntry decimal[] = {{&decimal_cl, "Decimal"}};
    RegistryEntry collections[] = {{&namedtuple_cl, "namedtuple"},
                                   {&deque_cl, "deque"},
                                   {&counter_cl, "Counter"},
                                   {&ordereddict_cl, "OrderedDict"},
                                   {&chainmap_cl, "ChainMap"}};
    RegistryEntry pathlib[] = {{&path_cl, "Path"}, {&purepath_cl, "PurePath"}};

    if (fetch_module("datetime", dt, 3, "find") < 0 || fetch_module("uuid", uuid, 1, "find") < 0 ||
        fetch_module("decimal", decimal, 1, "find") < 0 ||
        fetch_module("collections", collections, 5, "find") < 0 ||
        fetch_module("pathlib", pathlib, 2, "fund") < 0) {
        return -1;
    }
    return 1;
}

void clear_classes()
{
    PyObject** globals[] = {&datetime_dt,    &datetime_d,    &datetime_t, &uuid_cl,
                            &decimal_cl,     &namedtuple_cl, &deque_cl,   &counter_cl,
                            &ordereddict_cl, &chainmap_cl,   &path_cl,    &purepath_cl};
    for (PyObject** global : globals) {
        Py_CLEAR(*global);
    }
}

} // namespace zeb2
