// Protocol 1 decoder (not yet complete: every input is refused).
#include "valpack/zeb_old/zeb_1.hpp"
#include "valpack/zeb_main/byte_reader.hpp"
#include <datetime.h>

extern "C" TW_EXPORT void zeb1_init(void)
{
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

namespace zeb1 {
PyObject* to_value_prot1_buffer(const unsigned char*, size_t)
{
    PyErr_SetString(PyExc_ValueError, "Protocol 1 byte strings are not supported yet.");
    return nullptr;
}
} // namespace zeb1

extern "C" TW_EXPORT PyObject* to_value_prot1(PyObject* py_bytes)
{
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(py_bytes, &data, &size) < 0) {
        return nullptr;
    }
    return zeb1::to_value_prot1_buffer(reinterpret_cast<const unsigned char*>(data),
                                       static_cast<size_t>(size));
}
