// Protocol 2 encoder dispatch: the exact built-ins and library classes first, then routing by the
// letters of the type's name.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

static bool starts_with(const char* name, const char* prefix)
{
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// Routes a value whose type is not one of the exact built-ins by the letters of its type name.
__attribute__((noinline)) static StatusCode from_named_value(ValueData* vd, PyObject* value)
{
    const char* name = Py_TYPE(value)->tp_name;
    char c0 = name[0];
    char c1 = c0 != '\0' ? name[1] : '\0';
    switch (c0) {
    case 'C':
        if (c1 == 'h') {
            return from_chainmap(vd, value);
        }
        if (c1 == 'o') {
            return from_counter(vd, value);
        }
        return SC_INCORRECT;
    case 'N':
        // None is written by the exact-type dispatch; NotImplemented is written as None too.
        return value == Py_NotImplemented ? from_static_value(vd, 0x10) : SC_UNSUPPORTED;
    case 'P':
    case 'W':
        return from_path(vd, value);
    case 'U':
        return from_uuid(vd, value);
    case 'b':
        if (c1 == 'o') {
            return Py_IS_TYPE(value, &PyBool_Type) ? from_boolean(vd, value) : SC_INCORRECT;
        }
        if (std::strlen(name) > 4) {
            if (name[4] == 'a') {
                return from_bytearray(vd, value);
            }
            if (name[4] == 's') {
                return from_bytes(vd, value);
            }
        }
        return SC_INCORRECT;
    case 'c':
        if (starts_with(name, "collections.")) {
            // Only the classes themselves: their subclasses would lose what they add.
            if (name[12] == 'O') {
                return reinterpret_cast<PyObject*>(Py_TYPE(value)) == ordereddict_cl
                           ? from_dict_type(vd, value, 0x53)
                           : SC_INCORRECT;
            }
            if (name[12] == 'd') {
                return reinterpret_cast<PyObject*>(Py_TYPE(value)) == deque_cl
                           ? from_iterable(vd, value, 0x49, deque_cl)
                           : SC_INCORRECT;
            }
            return SC_UNSUPPORTED;
        }
        return from_complex(vd, value);
    case 'd':
        if (c1 == 'e') {
            return from_decimal(vd, value);
        }
        if (c1 == 'i') {
            return from_dict_type(vd, value, 0x2B);
        }
        if (c1 == 'a') {
            return from_datetime(vd, value, name);
        }
        return SC_INCORRECT;
    case 'e':
        return value == Py_Ellipsis ? from_static_value(vd, 0x11) : SC_UNSUPPORTED;
    case 'f':
        if (c1 == 'r') {
            return from_iterable(vd, value, 0x30, reinterpret_cast<PyObject*>(&PyFrozenSet_Type));
        }
        return from_float(vd, value);
    case 'i':
        return from_integer(vd, value);
    case 'l':
        return from_list(vd, value);
    case 'm':
        return from_memoryview(vd, value);
    case 'r':
        return from_range(vd, value);
    case 's':
        if (c1 == 'e') {
            return from_iterable(vd, value, 0x21, reinterpret_cast<PyObject*>(&PySet_Type));
        }
        if (c1 == 't') {
            return from_string(vd, value);
        }
        return SC_INCORRECT;
    default:
        return SC_UNSUPPORTED;
    }
}

StatusCode from_any_value(ValueData* vd, PyObject* value)
{
    if (value == nullptr) {
        return from_static_value(vd, NO_VALUE);
    }
    // The other exact built-ins first (from_item took str, int and float): they are most of
    // what is left.
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyBool_Type) {
        return from_boolean(vd, value);
    }
    if (value == Py_None) {
        return from_static_value(vd, 0x10);
    }
    if (type == &PyTuple_Type) {
        return from_tuple(vd, value);
    }
    if (type == &PyList_Type) {
        return from_list(vd, value);
    }
    if (type == &PyDict_Type) {
        return from_dict_type(vd, value, 0x2B);
    }
    if (type == &PyBytes_Type) {
        return from_bytes(vd, value);
    }
    // The exact library classes go to their steps without the routing by name.
    auto* type_object = reinterpret_cast<PyObject*>(type);
    if (type_object == datetime_dt || type_object == datetime_d || type_object == datetime_t) {
        return from_datetime(vd, value, type->tp_name);
    }
    if (type_object == decimal_cl) {
        return from_decimal(vd, value);
    }
    if (type_object == uuid_cl) {
        return from_uuid(vd, value);
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_TUPLE_SUBCLASS)) {
        // One lookup: its own exception (a KeyboardInterrupt from a __getattr__ included) passes.
        PyObject* fields;
        int found = lookup_optional_attr(value, names::fields, &fields);
        if (found <= 0) {
            return found < 0 ? SC_EXCEPTION : SC_UNSUPPORTED;
        }
        PyRef held(fields);
        return from_namedtuple(vd, value, fields);
    }
    return from_named_value(vd, value);
}

} // namespace zeb2
