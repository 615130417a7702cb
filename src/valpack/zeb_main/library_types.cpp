// Protocol 2 library value types. (Placeholder.)
#include "valpack/zeb_main/zeb_2_internal.hpp"
#include <datetime.h>

namespace zeb2 {

void init_datetime_api()
{
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

static PyObject* not_yet()
{
    PyErr_SetString(PyExc_ValueError, "Likely received an invalid bytes object: not supported yet.");
    return nullptr;
}

StatusCode from_datetime(ValueData*, PyObject*, const char*) { return SC_UNSUPPORTED; }
StatusCode from_decimal(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_uuid(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_memoryview(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_range(ValueData*, PyObject*) { return SC_UNSUPPORTED; }
StatusCode from_path(ValueData*, PyObject*, unsigned char) { return SC_UNSUPPORTED; }
PyObject* to_datetime_gen(ByteData*, PyObject*) { return not_yet(); }
PyObject* to_timedelta_s(ByteData*) { return not_yet(); }
PyObject* to_uuid_s(ByteData*) { return not_yet(); }
PyObject* to_memoryview_e(ByteData*) { return not_yet(); }
PyObject* to_memoryview_gen(ByteData*, size_t) { return not_yet(); }
PyObject* to_decimal_gen(ByteData*, size_t) { return not_yet(); }
PyObject* to_range_s(ByteData*) { return not_yet(); }
PyObject* to_path_e(ByteData*, PyObject*) { return not_yet(); }
PyObject* to_path_gen(ByteData*, size_t, PyObject*) { return not_yet(); }
PyObject* build_datetime(PyObject*, const unsigned char*, size_t) { return not_yet(); }
PyObject* build_uuid(const unsigned char*) { return not_yet(); }
PyObject* build_memoryview(const unsigned char*, size_t) { return not_yet(); }
PyObject* build_decimal(const unsigned char*, size_t) { return not_yet(); }

} // namespace zeb2
