// Protocol 2 entry points: from_value and the protocol 2 decoder, and the registry's
// initialisation and release.
#include "valpack/zeb_main/zeb_2_internal.hpp"

using tw::PyRef;

namespace zeb2 {

// Capacity hint. It only affects speed: the buffer grows as needed, so a size method that fails
// is ignored, and an estimate from one is capped rather than trusted with a huge allocation.
static Py_ssize_t initial_capacity(PyObject* value)
{
    constexpr Py_ssize_t DEFAULT_CAPACITY = 128;
    constexpr Py_ssize_t MAX_ESTIMATE = 1 << 20;
    PyTypeObject* type = Py_TYPE(value);
    // Exact sizes for a lone byte string or ASCII text, so that the buffer is the result as is.
    if (type == &PyBytes_Type) {
        return 1 + E12D_size(PyBytes_GET_SIZE(value));
    }
    if (type == &PyUnicode_Type && PyUnicode_IS_ASCII(value)) {
        return 1 + E12D_size(PyUnicode_GET_LENGTH(value));
    }
    if (type == &PyByteArray_Type) {
        return 1 + E12D_size(PyByteArray_GET_SIZE(value));
    }
    // Only a contiguous view is written; any other fails without its size reserved.
    if (type == &PyMemoryView_Type && PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(value), 'C')) {
        return 1 + E12D_size(PyMemoryView_GET_BUFFER(value)->len);
    }
    if (type == &PyUnicode_Type) {
        // The UTF-8 form is kept on the str, so the encoding step finds it made.
        Py_ssize_t length;
        if (PyUnicode_AsUTF8AndSize(value, &length) != nullptr) {
            return 1 + E12D_size(length);
        }
        PyErr_Clear(); // a lone surrogate: the encoding step raises it again
        return DEFAULT_CAPACITY;
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || value == Py_None) {
        return DEFAULT_CAPACITY;
    }
    // The built-in containers are guessed from their length, which costs less than asking
    // __sizeof__ (a method call) when the value is small.
    Py_ssize_t count = -1;
    if (type == &PyDict_Type) {
        count = 2 * PyDict_GET_SIZE(value);
    }
    else if (type == &PyList_Type) {
        count = PyList_GET_SIZE(value);
    }
    else if (type == &PyTuple_Type) {
        count = PyTuple_GET_SIZE(value);
    }
    if (count >= 0) {
        return count > MAX_ESTIMATE / 16 ? 2 * MAX_ESTIMATE : 16 * count + DEFAULT_CAPACITY;
    }
    PyRef result(PyObject_CallMethodNoArgs(value, names::sizeof_));
    Py_ssize_t size = result ? PyLong_AsSsize_t(result.get()) : -1;
    if (size < 0) {
        // A KeyboardInterrupt raised meanwhile is the caller's, not a failed estimate.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
            return -1;
        }
        PyErr_Clear();
        return DEFAULT_CAPACITY;
    }
    return size > MAX_ESTIMATE ? 2 * MAX_ESTIMATE : 2 * size + DEFAULT_CAPACITY;
}

PyObject* encode_untrimmed(PyObject* value, size_t* len)
{
    Py_ssize_t capacity = initial_capacity(value);
    if (capacity < 0) {
        return nullptr;
    }
    ValueData vd{};
    if (!start_encoder(vd, capacity)) {
        PyErr_Clear();
        return raise_status(SC_NOMEMORY, value);
    }
    StatusCode status = from_item(&vd, value);
    if (status != SC_SUCCESS) {
        Py_CLEAR(vd.out);
        return raise_status(status, value);
    }
    *len = static_cast<size_t>(vd.offset);
    return vd.out;
}

Py_ssize_t encode_into(PyObject* value, EncodeTarget* target)
{
    ValueData vd{};
    vd.stack_bottom = stack_bottom();
    vd.target = target;
    vd.bytes = target->data;
    vd.max_size = static_cast<Py_ssize_t>(target->capacity);
    vd.bytes[0] = PROTOCOL_2;
    vd.offset = 1;
    StatusCode status = from_item(&vd, value);
    if (status != SC_SUCCESS) {
        raise_status(status, value);
        return -1;
    }
    return vd.offset;
}

PyObject* to_value_prot2_buffer(const unsigned char* data, size_t size)
{
    if (size == 0 || data[0] != PROTOCOL_2) {
        return raise_invalid("invalid protocol marker.");
    }
    ByteData bd = make_byte_data(data, size, to_any_value);
    PyObject* result = to_any_value(&bd);
    if (result == nullptr) {
        settle_decode_error();
    }
    return result;
}

} // namespace zeb2

extern "C" TW_EXPORT PyObject* from_value(PyObject* value)
{
    if (value == nullptr) {
        static const char no_value[2] = {static_cast<char>(zeb2::PROTOCOL_2),
                                         static_cast<char>(zeb2::NO_VALUE)};
        return PyBytes_FromStringAndSize(no_value, 2);
    }
    size_t len;
    PyObject* out = zeb2::encode_untrimmed(value, &len);
    if (out == nullptr) {
        return nullptr;
    }
    auto size = static_cast<Py_ssize_t>(len);
    // The encoder wrote into the bytes object itself: trimmed to its length, it is the result.
    if (size == PyBytes_GET_SIZE(out) || _PyBytes_Resize(&out, size) == 0) {
        return out;
    }
    PyErr_Clear();
    return zeb2::raise_status(zeb2::SC_NOMEMORY, value);
}

extern "C" TW_EXPORT int zeb2_init(void)
{
    zeb2::init_library_steps();
    zeb2::init_datetime_api();
    PyErr_Clear();
    if (zeb2::intern_names() < 0 || zeb2::init_dict_watch() < 0 || zeb2::fetch_classes() < 0) {
        return -1;
    }
    zeb2::init_uuid_builder();
    return 1;
}

extern "C" TW_EXPORT void zeb2_cleanup(void)
{
    zeb2::clear_classes();
    zeb2::clear_key_cache();
    zeb2::clear_library_steps();
    zeb2::clear_namedtuple_cache();
    zeb2::clear_dict_watch();
}
