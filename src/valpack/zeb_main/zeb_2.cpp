// Protocol 2 codec: the entry points, the type registry, the output buffer and both dispatchers.
#include "valpack/zeb_main/zeb_2_internal.hpp"
#include "valpack/zeb_old/zeb_1.hpp"

#include <cstdlib>
#include <pthread.h>

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

// Attribute names are interned once; they live as long as the process.
static int intern_names()
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

// ---------------------------------------------------------------------------------------------
// Output buffer

constexpr Py_ssize_t GROWTH_SLACK = 128;

__attribute__((noinline, cold)) StatusCode grow_vd(ValueData* vd, Py_ssize_t jump)
{
    // Grow by at least half the capacity so that many small reservations stay linear overall.
    Py_ssize_t needed = vd->offset;
    if (jump < 0 || jump > PY_SSIZE_T_MAX - needed - GROWTH_SLACK) {
        return SC_NOMEMORY;
    }
    needed += jump + GROWTH_SLACK;
    Py_ssize_t grown = vd->max_size + vd->max_size / 2;
    Py_ssize_t new_size = grown > needed && vd->max_size < PY_SSIZE_T_MAX / 2 ? grown : needed;
    // On failure the resize frees the object and leaves NULL behind; the status says why.
    if (_PyBytes_Resize(&vd->out, new_size) < 0) {
        PyErr_Clear();
        return SC_NOMEMORY;
    }
    vd->bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd->out));
    vd->max_size = new_size;
    return SC_SUCCESS;
}

StatusCode write_E12D_sized(ValueData* vd, Py_ssize_t size, const void* payload,
                            unsigned char empty)
{
    int k = get_num_bytes(size);
    if (k == 0) {
        if (auto_resize_vd(vd, 1) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        write_byte(vd, empty);
        return SC_SUCCESS;
    }
    // The D1 form needs one byte more, for its width.
    Py_ssize_t header = k <= 2 ? 1 + k : 2 + k;
    if (size > PY_SSIZE_T_MAX - header || auto_resize_vd(vd, header + size) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    if (k <= 2) {
        write_byte(vd, static_cast<unsigned char>(empty + k));
    }
    else {
        write_byte(vd, static_cast<unsigned char>(empty + 3));
        write_byte(vd, static_cast<unsigned char>(k));
    }
    write_size_bytes(vd, static_cast<uint64_t>(size), k);
    if (payload != nullptr) {
        std::memcpy(vd->bytes + vd->offset, payload, static_cast<size_t>(size));
        vd->offset += size;
    }
    return SC_SUCCESS;
}

__attribute__((cold)) StatusCode container_changed()
{
    PyErr_SetString(PyExc_RuntimeError, "A container changed size while it was being encoded.");
    return SC_EXCEPTION;
}

// ---------------------------------------------------------------------------------------------
// Stack reserve and error chaining, shared by the encoder and both decoders

static thread_local uintptr_t thread_stack_bottom = 0;

__attribute__((noinline, cold)) static uintptr_t find_stack_bottom()
{
    uintptr_t bottom = 1; // unknown bounds: never refuse
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr) {
            bottom = reinterpret_cast<uintptr_t>(low);
        }
        pthread_attr_destroy(&attr);
    }
    thread_stack_bottom = bottom;
    return bottom;
}

uintptr_t stack_bottom()
{
    uintptr_t bottom = thread_stack_bottom;
    return bottom != 0 ? bottom : find_stack_bottom();
}

static constexpr const char STACK_MESSAGE[] =
    "The value is nested too deeply for the stack of this thread.";

__attribute__((cold)) StatusCode stack_exhausted_status()
{
    PyErr_SetString(PyExc_RecursionError, STACK_MESSAGE);
    return SC_EXCEPTION;
}

__attribute__((cold)) PyObject* raise_stack_exhausted()
{
    PyErr_SetString(PyExc_RecursionError, STACK_MESSAGE);
    return nullptr;
}

// The pending exception as one object (new reference), or NULL when none is pending.
static PyObject* take_pending()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(traceback);
    Py_DECREF(type);
    return value;
#endif
}

static void restore_pending(PyObject* exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

__attribute__((cold)) void set_error_from_pending(PyObject* type, const char* message)
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(type, message);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return;
    }
    PyObject* cause = take_pending();
    PyErr_SetString(type, message);
    PyObject* ours = take_pending();
    if (ours == nullptr || cause == nullptr) {
        Py_XDECREF(cause);
        if (ours != nullptr) {
            restore_pending(ours);
        }
        return;
    }
    PyException_SetContext(ours, Py_NewRef(cause));
    PyException_SetCause(ours, cause);
    restore_pending(ours);
}

// ---------------------------------------------------------------------------------------------
// Encoder dispatch

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
    // The exact built-ins first: they are most of what is written.
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return from_string(vd, value);
    }
    if (type == &PyLong_Type) {
        return from_integer(vd, value);
    }
    if (type == &PyFloat_Type) {
        return from_float(vd, value);
    }
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

// ---------------------------------------------------------------------------------------------
// from_value

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

// Starts an encoder over a new bytes object of `capacity` bytes that holds the marker: every
// encoder writes into such an object, since growing it is a bytes resize. false with an
// exception set.
static bool start_encoder(ValueData& vd, Py_ssize_t capacity)
{
    vd.max_size = capacity;
    vd.stack_bottom = stack_bottom();
    vd.out = PyBytes_FromStringAndSize(nullptr, capacity);
    if (vd.out == nullptr) {
        return false;
    }
    vd.bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(vd.out));
    vd.bytes[0] = PROTOCOL_2;
    vd.offset = 1;
    return true;
}

// An error raised while searching is dropped, unless it is not an Exception (KeyboardInterrupt,
// SystemExit): that one stays pending and ends the search.
static bool search_interrupted()
{
    if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Cold path of a refusal: searches the plain containers depth first for the item that is refused
// on its own, so that the error can name its type. 1 refused, 0 not, -1 interrupted.
static int refused_alone(PyObject* item)
{
    ValueData vd{};
    if (!start_encoder(vd, 64)) {
        PyErr_Clear();
        return 0;
    }
    StatusCode status = from_any_value(&vd, item);
    Py_CLEAR(vd.out);
    if (search_interrupted()) {
        return -1;
    }
    return status == SC_UNSUPPORTED || status == SC_INCORRECT ? 1 : 0;
}

// The refused type (a new reference), or NULL with the interrupting exception set.
static PyObject* refused_type(PyObject* value, int depth)
{
    PyRef items;
    if (depth < MAX_NESTS) {
        if (PyDict_Check(value)) {
            items = PyRef(PyDict_Items(value));
        }
        else if (PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value) ||
                 PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(deque_cl))) {
            items = PyRef(PySequence_List(value));
        }
        if (search_interrupted()) {
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        int refused = refused_alone(item);
        if (refused != 0) {
            return refused < 0 ? nullptr : refused_type(item, depth + 1);
        }
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

// Names the refused type beside the message, never in it: callers match the message. The name
// travels as a TypeError cause rather than an exception note, because pytest.raises(match=...)
// matches the notes as well, and an anchored pattern for the message would stop matching.
__attribute__((cold, noinline)) static void raise_unsupported(PyObject* value)
{
    PyRef error(PyObject_CallFunction(PyExc_ValueError, "s", "Received an unsupported datatype."));
    if (!error) {
        return;
    }
    PyRef type(refused_type(value, 0));
    if (!type) {
        return;
    }
    PyRef module(PyObject_GetAttrString(type.get(), "__module__"));
    PyRef qualname(PyObject_GetAttrString(type.get(), "__qualname__"));
    PyRef text;
    if (module && qualname && PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
        text = PyRef(PyUnicode_FromFormat("The refused value is of type '%U.%S'.", module.get(),
                                          qualname.get()));
    }
    else if (qualname) {
        text = PyRef(PyUnicode_FromFormat("The refused value is of type '%S'.", qualname.get()));
    }
    if (text) {
        PyObject* cause = PyObject_CallOneArg(PyExc_TypeError, text.get());
        if (cause != nullptr) {
            PyException_SetCause(error.get(), cause);
        }
    }
    PyErr_Clear();
    PyErr_SetObject(PyExc_ValueError, error.get());
}

// A step that failed with an exception pending (a user's __str__ or tzinfo, say) keeps it as
// the cause of our error, or in place of it when it is not an Exception.
static PyObject* raise_status(StatusCode status, PyObject* value)
{
    static constexpr const char UNEXPECTED[] =
        "Something unexpected went wrong, and we couldn't quite catch what it was.";
    switch (status) {
    case SC_INCORRECT:
    case SC_UNSUPPORTED:
        // A user's hook that raised is the reason; otherwise say which type was refused.
        if (PyErr_Occurred()) {
            set_error_from_pending(PyExc_ValueError, "Received an unsupported datatype.");
        }
        else {
            raise_unsupported(value);
        }
        break;
    case SC_EXCEPTION:
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, UNEXPECTED);
        }
        break;
    case SC_NESTDEPTH:
        set_error_from_pending(PyExc_ValueError, "Exceeded the maximum value nest depth.");
        break;
    case SC_NOMEMORY:
        set_error_from_pending(PyExc_MemoryError, "Not enough memory space available for use.");
        break;
    default:
        set_error_from_pending(PyExc_RuntimeError, UNEXPECTED);
        break;
    }
    return nullptr;
}

} // namespace zeb2

using namespace zeb2;

namespace zeb2 {

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
    StatusCode status = from_any_value(&vd, value);
    if (status != SC_SUCCESS) {
        Py_CLEAR(vd.out);
        return raise_status(status, value);
    }
    *len = static_cast<size_t>(vd.offset);
    return vd.out;
}

} // namespace zeb2

extern "C" TW_EXPORT PyObject* from_value(PyObject* value)
{
    if (value == nullptr) {
        static const char no_value[2] = {static_cast<char>(PROTOCOL_2),
                                         static_cast<char>(NO_VALUE)};
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
    return raise_status(SC_NOMEMORY, value);
}

// ---------------------------------------------------------------------------------------------
// Decoder

namespace zeb2 {

__attribute__((cold)) PyObject* raise_offset_error()
{
    PyErr_SetString(PyExc_ValueError,
                    "Likely received an invalid bytes object: offset exceeded max limit.");
    return nullptr;
}

__attribute__((cold)) PyObject* raise_invalid(const char* detail)
{
    PyErr_Format(PyExc_ValueError, "Likely received an invalid bytes object: %s", detail);
    return nullptr;
}

__attribute__((cold)) PyObject* raise_invalid_datachar(unsigned int code)
{
    PyErr_Format(PyExc_ValueError,
                 "Likely received an invalid bytes object: fetched an invalid datatype "
                 "representative. (Rep. code: %u)",
                 code);
    return nullptr;
}

// A width field states how many bytes the next field has: at least one, at most eight.
static bool valid_width(uint64_t width)
{
    if (width >= 1 && width <= 8) {
        return true;
    }
    raise_invalid("a size field states an impossible width.");
    return false;
}

// D1 header: the K byte follows the datachar. Leaves `offset` on the K byte; 0 means failure.
static size_t D1_length(ByteData* bd)
{
    if (!ensure_offset(bd, 2)) {
        return 0;
    }
    bd->offset += 1;
    size_t k = bd->bytes[bd->offset];
    return valid_width(k) ? k : 0;
}

// D2 header: a J byte, then K in J bytes. Leaves `offset` on the last byte of the K field.
static size_t D2_length(ByteData* bd)
{
    if (!ensure_offset(bd, 2)) {
        return 0;
    }
    size_t j = bd->bytes[bd->offset + 1];
    if (!valid_width(j) || !ensure_offset(bd, 2 + j)) {
        return 0;
    }
    uint64_t k = bytes_to_size_t(bd->bytes + bd->offset + 2, j);
    bd->offset += 1 + j;
    return valid_width(k) ? static_cast<size_t>(k) : 0;
}

// The five datachars of a sized family: E, then widths 1 and 2, then D1 and D2.
template <typename E, typename Gen>
static PyObject* to_family(ByteData* bd, unsigned char form, E empty_step, Gen gen_step)
{
    size_t w;
    switch (form) {
    case 0:
        return empty_step();
    case 1:
    case 2:
        return gen_step(static_cast<size_t>(form));
    case 3:
        w = D1_length(bd);
        break;
    default:
        w = D2_length(bd);
        break;
    }
    return w == 0 ? nullptr : gen_step(w);
}

#define TW_FAMILY(base, empty_expr, gen_expr)                                                      \
    to_family(                                                                                     \
        bd, static_cast<unsigned char>(code - (base)), [&]() { return empty_expr; },               \
        [&](size_t w) { return gen_expr; })

static PyObject* to_value_dispatch(ByteData* bd, unsigned char code)
{
    switch (code) {
    case 0x00 ... 0x04:
        return TW_FAMILY(0x00, to_str_e(bd), to_str_gen(bd, w));
    case 0x05 ... 0x09:
        return to_int_gen(bd, static_cast<size_t>(code - 4));
    case 0x0A: {
        if (!ensure_offset(bd, 2)) {
            return nullptr;
        }
        bd->offset += 1;
        return to_int_gen(bd, bd->bytes[bd->offset]);
    }
    case 0x0B: {
        // J byte, then L in J bytes; L counts the integer's bytes and may be any size.
        if (!ensure_offset(bd, 2)) {
            return nullptr;
        }
        size_t j = bd->bytes[bd->offset + 1];
        if (!valid_width(j) || !ensure_offset(bd, 2 + j)) {
            return nullptr;
        }
        uint64_t length = bytes_to_size_t(bd->bytes + bd->offset + 2, j);
        if (length == 0) {
            return raise_invalid("a size field states an impossible width.");
        }
        bd->offset += 1 + j;
        if (length > bd->max_offset) {
            return raise_offset_error();
        }
        return to_int_gen(bd, static_cast<size_t>(length));
    }
    case 0x0C:
        return to_float_s(bd);
    case 0x0D:
        return to_bool_gen(bd, true);
    case 0x0E:
        return to_bool_gen(bd, false);
    case 0x0F:
        return to_complex_s(bd);
    case 0x10:
        return to_none_s(bd);
    case 0x11:
        return to_ellipsis_s(bd);
    case 0x12 ... 0x16:
        return TW_FAMILY(0x12, to_bytes_e(bd, false), to_bytes_gen(bd, w, false));
    case 0x17 ... 0x1B:
        return TW_FAMILY(0x17, to_bytes_e(bd, true), to_bytes_gen(bd, w, true));
    case 0x1C ... 0x20:
        return TW_FAMILY(0x1C, to_list_e(bd), to_list_gen(bd, w));
    case 0x21 ... 0x25:
        return TW_FAMILY(0x21, to_iterable_e(bd, 0x21), to_iterable_gen(bd, w, 0x21));
    case 0x26 ... 0x2A:
        return TW_FAMILY(0x26, to_tuple_e(bd), to_tuple_gen(bd, w));
    case 0x2B ... 0x2F:
        return TW_FAMILY(0x2B, to_dict_e(bd), to_dict_gen(bd, w));
    case 0x30 ... 0x34:
        return TW_FAMILY(0x30, to_iterable_e(bd, 0x30), to_iterable_gen(bd, w, 0x30));
    case 0x35:
        return to_datetime_gen(bd, datetime_dt);
    case 0x36:
        return to_timedelta_s(bd);
    case 0x37:
        return to_datetime_gen(bd, datetime_d);
    case 0x38:
        return to_datetime_gen(bd, datetime_t);
    case 0x39:
        return to_uuid_s(bd);
    case 0x3A ... 0x3E:
        return TW_FAMILY(0x3A, to_memoryview_e(bd), to_memoryview_gen(bd, w));
    case 0x3F ... 0x42:
        // Laid out as a family whose E would be 0x3E, the memoryview's D2 code.
        return TW_FAMILY(0x3E, nullptr, to_decimal_gen(bd, w));
    case 0x43:
        return to_range_s(bd);
    case 0x44 ... 0x48:
        return TW_FAMILY(0x44, to_namedtuple_e(bd), to_namedtuple_gen(bd, w));
    case 0x49 ... 0x4D:
        return TW_FAMILY(0x49, to_iterable_e(bd, 0x49), to_iterable_gen(bd, w, 0x49));
    case 0x4E ... 0x52:
        return TW_FAMILY(0x4E, to_counter_e(bd), to_counter_gen(bd, w));
    case 0x53 ... 0x57:
        return TW_FAMILY(0x53, to_ordereddict_e(bd), to_ordereddict_gen(bd, w));
    case 0x58 ... 0x5C:
        return TW_FAMILY(0x58, to_chainmap_e(bd), to_chainmap_gen(bd, w));
    case 0x5D ... 0x61:
        return TW_FAMILY(0x5D, to_path_e(bd, path_cl), to_path_gen(bd, w, path_cl));
    case 0x62 ... 0x66:
        return TW_FAMILY(0x62, to_path_e(bd, purepath_cl), to_path_gen(bd, w, purepath_cl));
    default:
        return raise_invalid_datachar(code);
    }
}

#undef TW_FAMILY

PyObject* to_any_value(ByteData* bd)
{
    if (bd->offset >= bd->max_offset) {
        return raise_offset_error();
    }
    if (bd->depth >= MAX_DECODE_DEPTH) {
        return raise_invalid("exceeded the maximum value nest depth.");
    }
    if (!stack_left(bd->stack_bottom)) {
        return raise_stack_exhausted();
    }
    ++bd->depth;
    PyObject* result = to_value_dispatch(bd, bd->bytes[bd->offset]);
    --bd->depth;
    return result;
}

PyObject* to_value_buffer(const unsigned char* data, size_t size)
{
    if (size == 0 || (data[0] != PROTOCOL_2 && data[0] != PROTOCOL_1)) {
        return raise_invalid("invalid protocol marker.");
    }
    if (data[0] == PROTOCOL_1) {
        return zeb1::to_value_prot1_buffer(data, size);
    }
    ByteData bd = make_byte_data(data, size, to_any_value);
    return to_any_value(&bd);
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

// ---------------------------------------------------------------------------------------------
// Type registry

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

extern "C" TW_EXPORT int zeb2_init(void)
{
    zeb1_init();
    zeb2::init_datetime_api();
    PyErr_Clear();
    if (zeb2::intern_names() < 0 || zeb2::init_dict_watch() < 0) {
        return -1;
    }

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
    zeb2::init_uuid_builder();
    return 1;
}

extern "C" TW_EXPORT void zeb2_cleanup(void)
{
    PyObject** globals[] = {&datetime_dt,    &datetime_d,    &datetime_t, &uuid_cl,
                            &decimal_cl,     &namedtuple_cl, &deque_cl,   &counter_cl,
                            &ordereddict_cl, &chainmap_cl,   &path_cl,    &purepath_cl};
    for (PyObject** global : globals) {
        Py_CLEAR(*global);
    }
    zeb2::clear_key_cache();
    zeb2::clear_timezone_cache();
    zeb2::clear_uuid_builder();
    zeb2::clear_namedtuple_cache();
    zeb2::clear_dict_watch();
}
