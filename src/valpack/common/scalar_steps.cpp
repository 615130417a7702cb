// Scalar decoder steps, shared by both protocols: str, int, float, complex, bool, None,
// Ellipsis, bytes, bytearray.
#include "valpack/common/steps.hpp"

namespace zeb2 {

PyObject* to_str_e(ByteData* bd)
{
    bd->offset += 1;
    return PyUnicode_New(0, 0);
}

// Copies `n` bytes while checking that all are ASCII, in one pass; stops early (false) at the
// first block that is not.
static bool copy_ascii(unsigned char* dst, const unsigned char* src, size_t n)
{
    constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;
    size_t i = 0;
    while (i + 64 <= n) {
        uint64_t seen = 0;
        for (size_t end = i + 64; i < end; i += 8) {
            uint64_t word;
            std::memcpy(&word, src + i, 8);
            std::memcpy(dst + i, &word, 8);
            seen |= word;
        }
        if ((seen & HIGH_BITS) != 0) {
            return false;
        }
    }
    uint64_t seen = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, src + i, 8);
        std::memcpy(dst + i, &word, 8);
        seen |= word;
    }
    for (; i < n; ++i) {
        dst[i] = src[i];
        seen |= src[i];
    }
    return (seen & HIGH_BITS) == 0;
}

PyObject* decode_text(const unsigned char* text, size_t n)
{
    // A single character goes to the decoder, which hands out its shared one-character strs.
    if (n > 1) {
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (result == nullptr) {
            return nullptr;
        }
        if (copy_ascii(PyUnicode_1BYTE_DATA(result), text, n)) {
            return result;
        }
        Py_DECREF(result);
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(n),
                                "strict");
}

PyObject* to_str_gen(ByteData* bd, size_t w)
{
    size_t n;
    if (!read_payload(bd, w, &n)) {
        return nullptr;
    }
    PyObject* result = decode_text(bd->bytes + bd->offset, n);
    bd->offset += n;
    return result;
}

PyObject* to_int_gen(ByteData* bd, size_t length)
{
    if (!ensure_offset(bd, 1) || !ensure_offset(bd, 1 + length)) {
        return nullptr;
    }
    const unsigned char* src = bd->bytes + bd->offset + 1;
    size_t readable = bd->max_offset - bd->offset - 1;
    bd->offset += 1 + length;
    if (length == 0) {
        return PyLong_FromLong(0);
    }
    if (length <= 8) {
        // One load when eight bytes are there to read, then the `length` low bytes are kept and
        // sign-extended from the top one.
        uint64_t raw;
        if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && readable >= 8) {
            std::memcpy(&raw, src, 8);
        }
        else {
            raw = bytes_to_size_t(src, length);
        }
        unsigned shift = static_cast<unsigned>(64 - 8 * length);
        return PyLong_FromLongLong(static_cast<int64_t>(raw << shift) >> shift);
    }
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromNativeBytes(src, length, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
#else
    return _PyLong_FromByteArray(src, length, 1, 1);
#endif
}

PyObject* to_float_s(ByteData* bd)
{
    if (!ensure_offset(bd, 9)) {
        return nullptr;
    }
    double value = read_double(bd->bytes + bd->offset + 1);
    bd->offset += 9;
    return PyFloat_FromDouble(value);
}

PyObject* to_complex_s(ByteData* bd)
{
    if (!ensure_offset(bd, 17)) {
        return nullptr;
    }
    Py_complex c;
    c.real = read_double(bd->bytes + bd->offset + 1);
    c.imag = read_double(bd->bytes + bd->offset + 9);
    bd->offset += 17;
    return PyComplex_FromCComplex(c);
}

PyObject* to_bool_gen(ByteData* bd, bool bool_value)
{
    bd->offset += 1;
    return PyBool_FromLong(bool_value);
}

PyObject* to_none_s(ByteData* bd)
{
    bd->offset += 1;
    Py_RETURN_NONE;
}

PyObject* to_ellipsis_s(ByteData* bd)
{
    bd->offset += 1;
    return Py_NewRef(Py_Ellipsis);
}

PyObject* to_bytes_e(ByteData* bd, bool is_bytearray)
{
    bd->offset += 1;
    return is_bytearray ? PyByteArray_FromStringAndSize(nullptr, 0)
                        : PyBytes_FromStringAndSize(nullptr, 0);
}

PyObject* to_bytes_gen(ByteData* bd, size_t w, bool is_bytearray)
{
    size_t n;
    if (!read_payload(bd, w, &n)) {
        return nullptr;
    }
    const char* data = reinterpret_cast<const char*>(bd->bytes + bd->offset);
    bd->offset += n;
    auto size = static_cast<Py_ssize_t>(n);
    return is_bytearray ? PyByteArray_FromStringAndSize(data, size)
                        : PyBytes_FromStringAndSize(data, size);
}

} // namespace zeb2
