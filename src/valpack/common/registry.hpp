#pragma once
#include <Python.h>
#include "valpack/common/class_globals.hpp"

// The type registry: the class globals, the interned attribute names, and the type tests that
// decide by a value's real type.
namespace zeb2 {

// Interned attribute names, made by intern_names.
namespace names {
extern PyObject* sizeof_;
extern PyObject* fields;
extern PyObject* name;
extern PyObject* maps;
extern PyObject* isoformat;
extern PyObject* fromisoformat;
extern PyObject* hex;
extern PyObject* start;
extern PyObject* stop;
extern PyObject* step;
extern PyObject* utcoffset;
extern PyObject* int_;
extern PyObject* is_safe;
} // namespace names

// 0, or -1 with an exception set. The names live as long as the process.
int intern_names();
// Imports the classes' modules and fills the class globals: 1, or -1 with an exception set
// (entries fetched before a failure keep their references).
int fetch_classes();
// Releases the class globals.
void clear_classes();

// Looks up an attribute that may be missing: 1 with a new reference in *out, 0 when missing
// (AttributeError only), -1 with any other exception set.
inline int lookup_optional_attr(PyObject* obj, PyObject* name, PyObject** out)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// True when `value`'s real type is `type_cl` or a subclass of it. Unlike isinstance, a
// `__class__` attribute cannot make another object pass.
inline bool is_of_type(PyObject* value, PyObject* type_cl)
{
    return PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type_cl));
}

} // namespace zeb2
