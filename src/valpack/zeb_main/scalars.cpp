// Protocol 2 scalar encoder steps: str, int, float, complex, bool, None, Ellipsis, bytes,
// bytearray.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

StatusCode from_string(ValueData* vd, PyObject* value)
{
    if (!PyUnicode_Check(value)) {
        return SC_INCORRECT;
    }
    // ASCII text is its own UTF-8.
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
        return write_E12D(vd, PyUnicode_GET_LENGTH(value), PyUnicode_DATA(value), 0x00);
    }
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &length);
    if (utf8 == nullptr) {
        return SC_EXCEPTION;
    }
    return write_E12D(vd, length, utf8, 0x00) == SC_NOMEMORY ? SC_NOMEMORY : SC_SUCCESS;
}

// Writes the integer datachar and width fields for an integer of `length` bytes.
static StatusCode write_int_header(ValueData* vd, Py_ssize_t length)
{
    if (length <= 5) {
        if (auto_resize_vd(vd, 1 + length) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        write_byte(vd, static_cast<unsigned char>(4 + length));
        return SC_SUCCESS;
    }
    if (length <= 255) {
        if (auto_resize_vd(vd, 2 + length) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        write_byte(vd, 0x0A);
        write_byte(vd, static_cast<unsigned char>(length));
        return SC_SUCCESS;
    }
    int j = get_num_bytes(length);
    if (length > PY_SSIZE_T_MAX - 2 - j || auto_resize_vd(vd, 2 + j + length) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, 0x0B);
    write_byte(vd, static_cast<unsigned char>(j));
    write_size_bytes(vd, static_cast<uint64_t>(length), j);
    return SC_SUCCESS;
}

// Integers beyond 64 bits: width from the bit length of x (or of ~x when x < 0), so that the
// sign bit always fits.
__attribute__((noinline)) static StatusCode from_big_integer(ValueData* vd, PyObject* value)
{
    // An exact int, so that a subclass's own operators cannot change the arithmetic.
    PyRef exact(PyNumber_Index(value));
    PyRef zero(PyLong_FromLong(0));
    if (!exact || !zero) {
        return SC_EXCEPTION;
    }
    int negative = PyObject_RichCompareBool(exact.get(), zero.get(), Py_LT);
    if (negative < 0) {
        return SC_EXCEPTION;
    }
    PyRef magnitude(negative ? PyNumber_Invert(exact.get()) : Py_NewRef(exact.get()));
    if (!magnitude) {
        return SC_EXCEPTION;
    }
    PyRef bits_obj(PyObject_CallMethod(magnitude.get(), "bit_length", nullptr));
    if (!bits_obj) {
        return SC_EXCEPTION;
    }
    Py_ssize_t bits = PyLong_AsSsize_t(bits_obj.get());
    if (bits < 0) {
        return PyErr_Occurred() ? SC_EXCEPTION : SC_INCORRECT;
    }
    Py_ssize_t length = bits / 8 + 1;
    StatusCode status = write_int_header(vd, length);
    if (status != SC_SUCCESS) {
        return status;
    }
    unsigned char* dst = vd->bytes + vd->offset;
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t needed =
        PyLong_AsNativeBytes(exact.get(), dst, length, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
    if (needed < 0) {
        return SC_EXCEPTION;
    }
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(exact.get()), dst,
                            static_cast<size_t>(length), 1, 1) < 0) {
        return SC_EXCEPTION;
    }
#endif
    vd->offset += length;
    return SC_SUCCESS;
}

// The value of an int of one internal digit, read in place: most ints are that small.
static inline bool compact_int_value(PyObject* value, long long* out)
{
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    *out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
    return true;
#else
    // Before 3.12 the sign and digit count are the object's size, and a digit always exists.
    Py_ssize_t size = Py_SIZE(value);
    if (size < -1 || size > 1) {
        return false;
    }
    *out = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
    return true;
#endif
}

StatusCode from_integer(ValueData* vd, PyObject* value)
{
    if (!PyLong_Check(value)) {
        return SC_INCORRECT;
    }
    long long num;
    if (!compact_int_value(value, &num)) {
        int overflow;
        num = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return from_big_integer(vd, value);
        }
        if (num == -1 && PyErr_Occurred()) {
            return SC_EXCEPTION;
        }
    }
    // Smallest signed width: bit length of x, or of ~x for negatives, plus a sign bit.
    uint64_t magnitude = num < 0 ? ~static_cast<uint64_t>(num) : static_cast<uint64_t>(num);
    int bits = magnitude == 0 ? 0 : 64 - __builtin_clzll(magnitude);
    int length = bits / 8 + 1;
    // Room for the longest form (0x0A, width, eight bytes): all eight are stored at once and the
    // offset then moves past the `length` that count.
    if (auto_resize_vd(vd, 10) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    unsigned char* dst = vd->bytes + vd->offset;
    if (length <= 5) {
        *dst++ = static_cast<unsigned char>(4 + length);
    }
    else {
        *dst++ = 0x0A;
        *dst++ = static_cast<unsigned char>(length);
    }
    store_le64(dst, static_cast<uint64_t>(num));
    vd->offset = (dst - vd->bytes) + length;
    return SC_SUCCESS;
}

StatusCode from_float(ValueData* vd, PyObject* value)
{
    if (!PyFloat_Check(value)) {
        return SC_INCORRECT;
    }
    return write_float(vd, PyFloat_AS_DOUBLE(value));
}

StatusCode from_complex(ValueData* vd, PyObject* value)
{
    if (!PyComplex_Check(value)) {
        return SC_INCORRECT;
    }
    if (auto_resize_vd(vd, 17) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    Py_complex c = PyComplex_AsCComplex(value);
    write_byte(vd, 0x0F);
    write_double(vd, c.real);
    write_double(vd, c.imag);
    return SC_SUCCESS;
}

StatusCode from_boolean(ValueData* vd, PyObject* value)
{
    if (auto_resize_vd(vd, 1) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, value == Py_True ? 0x0D : 0x0E);
    return SC_SUCCESS;
}

StatusCode from_bytes(ValueData* vd, PyObject* value)
{
    if (!PyBytes_Check(value)) {
        return SC_INCORRECT;
    }
    return write_E12D(vd, PyBytes_GET_SIZE(value), PyBytes_AS_STRING(value), 0x12) == SC_NOMEMORY
               ? SC_NOMEMORY
               : SC_SUCCESS;
}

StatusCode from_bytearray(ValueData* vd, PyObject* value)
{
    if (!PyByteArray_Check(value)) {
        return SC_INCORRECT;
    }
    return write_E12D(vd, PyByteArray_GET_SIZE(value), PyByteArray_AS_STRING(value), 0x17) ==
                   SC_NOMEMORY
               ? SC_NOMEMORY
               : SC_SUCCESS;
}

StatusCode from_static_value(ValueData* vd, unsigned char datachar)
{
    if (auto_resize_vd(vd, 1) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, datachar);
    return SC_SUCCESS;
}

} // namespace zeb2
