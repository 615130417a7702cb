// The marker switch, above both protocols: the first byte of a byte string names the decoder
// that reads it.
#include "valpack/zeb_main/zeb_2.hpp"
#include "valpack/common/errors.hpp"
#include "valpack/common/format.hpp"
#include "valpack/zeb_old/zeb_1.hpp"

namespace zeb2 {

PyObject* to_value_buffer(const unsigned char* data, size_t size)
{
    if (size != 0 && data[0] == PROTOCOL_2) {
        return to_value_prot2_buffer(data, size);
    }
    if (size != 0 && data[0] == PROTOCOL_1) {
        return zeb1::to_value_prot1_buffer(data, size);
    }
    return raise_invalid("invalid protocol marker.");
}

} // namespace zeb2

// The input is an immutable bytes object that the caller keeps alive, so it is read in place.
extern "C" TW_EXPORT PyObject* to_value(PyObject* py_bytes)
{
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(py_bytes, &data, &size) < 0) {
        return nullptr;
    }
    return zeb2::to_value_buffer(reinterpret_cast<const unsigned char*>(data),
                                 static_cast<size_t>(size));
}
