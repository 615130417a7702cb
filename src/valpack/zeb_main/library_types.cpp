// Protocol 2 library value types: the datetime family, UUID, Decimal, memoryview, range, paths.
// The builders at the end rebuild these values from their payloads for both protocol decoders.
#include "valpack/zeb_main/zeb_2_internal.hpp"
#include <datetime.h>

using tw::PyRef;

namespace zeb2 {

void init_datetime_api()
{
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

constexpr unsigned char DATETIME_CODE = 0x35;
constexpr unsigned char TIMEDELTA_CODE = 0x36;
constexpr unsigned char DATE_CODE = 0x37;
constexpr unsigned char TIME_CODE = 0x38;
constexpr unsigned char UUID_CODE = 0x39;
constexpr unsigned char MEMORYVIEW_EMPTY = 0x3A;
// Decimal has no E form: its family starts one below, on the memoryview's D2 code.
constexpr unsigned char DECIMAL_BASE = 0x3E;
constexpr unsigned char RANGE_CODE = 0x43;
constexpr Py_ssize_t UUID_HEX_LENGTH = 32;

static inline void write_int32(ValueData* vd, int value)
{
    write_size_bytes(vd, static_cast<uint32_t>(value), 4);
}

// The 16 big-endian bytes of an int in [0, 2**128); false (no exception) for any other int.
static bool uuid_int_bytes(PyObject* number, unsigned char raw[16])
{
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t needed =
        PyLong_AsNativeBytes(number, raw, 16,
                             Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                                 Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (needed < 0 || needed > 16) {
        PyErr_Clear();
        return false;
    }
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), raw, 16, 0, 0) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    return true;
}

// ---------------------------------------------------------------------------------------------
// Encoder

static StatusCode from_timedelta(ValueData* vd, PyObject* value)
{
    if (PyDateTimeAPI == nullptr || !PyDelta_CheckExact(value)) {
        return SC_INCORRECT;
    }
    if (auto_resize_vd(vd, 13) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, TIMEDELTA_CODE);
    write_int32(vd, PyDateTime_DELTA_GET_DAYS(value));
    write_int32(vd, PyDateTime_DELTA_GET_SECONDS(value));
    write_int32(vd, PyDateTime_DELTA_GET_MICROSECONDS(value));
    return SC_SUCCESS;
}

// ISO text of the datetime family written from the fields, as isoformat() writes it:
// YYYY-MM-DD, HH:MM:SS[.ffffff], datetimes joined by 'T', then the offset +HH:MM[:SS[.ffffff]].
class IsoWriter {
  public:
    void digits(int value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            text_[length_ + i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        length_ += count;
    }
    void put(char c) { text_[length_++] = c; }
    void date(int year, int month, int day)
    {
        digits(year, 4);
        put('-');
        digits(month, 2);
        put('-');
        digits(day, 2);
    }
    void clock(int hour, int minute, int second, int microsecond)
    {
        digits(hour, 2);
        put(':');
        digits(minute, 2);
        put(':');
        digits(second, 2);
        if (microsecond != 0) {
            put('.');
            digits(microsecond, 6);
        }
    }
    // An offset from timedelta fields (normalised: only the days carry a sign, and
    // |offset| < 1 day, as the timezone class guarantees).
    void offset(int days, int seconds, int microseconds)
    {
        char sign = '+';
        if (days < 0) {
            sign = '-';
            // Negate the normalised -1 day + s + us.
            int64_t total = 86400LL * 1000000 - (seconds * 1000000LL + microseconds);
            seconds = static_cast<int>(total / 1000000);
            microseconds = static_cast<int>(total % 1000000);
        }
        put(sign);
        digits(seconds / 3600, 2);
        put(':');
        digits(seconds / 60 % 60, 2);
        if (seconds % 60 != 0 || microseconds != 0) {
            put(':');
            digits(seconds % 60, 2);
            if (microseconds != 0) {
                put('.');
                digits(microseconds, 6);
            }
        }
    }
    const char* text() const { return text_; }
    int length() const { return length_; }

  private:
    char text_[64];
    int length_ = 0;
};

// Naive values and those of the library's own fixed-offset timezone class are written here; any
// other tzinfo is user code, left to isoformat(). SC_UNSUPPORTED hands the value on to it.
static StatusCode from_datetime_fields(ValueData* vd, PyObject* value, unsigned char datachar)
{
    PyObject* tzinfo = Py_None;
    if (datachar == DATETIME_CODE) {
        tzinfo = PyDateTime_DATE_GET_TZINFO(value);
    }
    else if (datachar == TIME_CODE) {
        tzinfo = PyDateTime_TIME_GET_TZINFO(value);
    }
    PyRef offset;
    if (tzinfo != Py_None) {
        if (PyDateTimeAPI->TimeZone_UTC == nullptr ||
            !Py_IS_TYPE(tzinfo, Py_TYPE(PyDateTimeAPI->TimeZone_UTC))) {
            return SC_UNSUPPORTED;
        }
        // The class's own C method: it returns the offset it holds.
        offset = PyRef(PyObject_CallMethodOneArg(tzinfo, names::utcoffset, Py_None));
        if (!offset) {
            return SC_EXCEPTION;
        }
        if (!PyDelta_CheckExact(offset.get())) {
            return SC_UNSUPPORTED;
        }
    }
    IsoWriter iso;
    if (datachar == TIME_CODE) {
        iso.clock(PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                  PyDateTime_TIME_GET_SECOND(value), PyDateTime_TIME_GET_MICROSECOND(value));
    }
    else {
        iso.date(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                 PyDateTime_GET_DAY(value));
        if (datachar == DATETIME_CODE) {
            iso.put('T');
            iso.clock(PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
                      PyDateTime_DATE_GET_SECOND(value), PyDateTime_DATE_GET_MICROSECOND(value));
        }
    }
    if (offset) {
        iso.offset(PyDateTime_DELTA_GET_DAYS(offset.get()),
                   PyDateTime_DELTA_GET_SECONDS(offset.get()),
                   PyDateTime_DELTA_GET_MICROSECONDS(offset.get()));
    }
    if (auto_resize_vd(vd, 2 + iso.length()) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, datachar);
    write_byte(vd, static_cast<unsigned char>(iso.length()));
    std::memcpy(vd->bytes + vd->offset, iso.text(), static_cast<size_t>(iso.length()));
    vd->offset += iso.length();
    return SC_SUCCESS;
}

StatusCode from_datetime(ValueData* vd, PyObject* value, const char* datatype)
{
    if (std::strcmp(datatype, "datetime.timedelta") == 0) {
        return from_timedelta(vd, value);
    }
    // Only the exact classes, whatever a subclass calls itself: a subclass would come back as
    // its base class, and its own isoformat() could write a text of any length into the one
    // length byte.
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    unsigned char datachar;
    if (type == datetime_dt) {
        datachar = DATETIME_CODE;
    }
    else if (type == datetime_d) {
        datachar = DATE_CODE;
    }
    else if (type == datetime_t) {
        datachar = TIME_CODE;
    }
    else {
        return SC_INCORRECT;
    }
    StatusCode status = from_datetime_fields(vd, value, datachar);
    if (status != SC_UNSUPPORTED) {
        return status;
    }
    // isoformat() consults the tzinfo, which is user code and may fail.
    PyRef text(PyObject_CallMethodNoArgs(value, names::isoformat));
    if (!text || !PyUnicode_Check(text.get())) {
        return SC_INCORRECT;
    }
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr) {
        return SC_EXCEPTION;
    }
    if (length > 0xFF) {
        return SC_INCORRECT;
    }
    if (auto_resize_vd(vd, length + 2) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, datachar);
    write_byte(vd, static_cast<unsigned char>(length));
    std::memcpy(vd->bytes + vd->offset, utf8, static_cast<size_t>(length));
    vd->offset += length;
    return SC_SUCCESS;
}

// A subclass's str() is its own code: it is written only when Decimal reads it back, so the
// bytes always decode. The check uses a fresh default context, whose traps refuse a malformed
// text even when the caller's context would quietly make it NaN. The exact class always writes
// a valid number.
static bool decimal_text_reads_back(PyObject* value, PyObject* text)
{
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == decimal_cl) {
        return true;
    }
    PyRef module(PyImport_ImportModule("decimal"));
    PyRef context(module ? PyObject_CallMethod(module.get(), "Context", nullptr) : nullptr);
    PyRef number(context ? PyObject_CallFunctionObjArgs(decimal_cl, text, context.get(), nullptr)
                         : nullptr);
    return static_cast<bool>(number);
}

StatusCode from_decimal(ValueData* vd, PyObject* value)
{
    if (!is_of_type(value, decimal_cl)) {
        return SC_INCORRECT;
    }
    PyRef text(PyObject_Str(value));
    if (!text) {
        return SC_INCORRECT;
    }
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr) {
        return SC_EXCEPTION;
    }
    // An empty text would be written as the E code of the family, which is the memoryview's D2
    // code, and come back as a memoryview.
    if (length == 0 || !decimal_text_reads_back(value, text.get())) {
        return SC_INCORRECT;
    }
    return write_E12D(vd, length, utf8, DECIMAL_BASE);
}

static bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The library's UUID keeps its value in the slot `int`, and its hex is that int as 32 lowercase
// digits; exact UUIDs are written from the int without the Python property. SC_UNSUPPORTED
// hands anything unusual on to the property.
static StatusCode from_uuid_int(ValueData* vd, PyObject* value)
{
    PyRef number(PyObject_GetAttr(value, names::int_));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return SC_EXCEPTION;
        }
        PyErr_Clear();
        return SC_UNSUPPORTED;
    }
    unsigned char raw[16];
    if (!PyLong_CheckExact(number.get()) || !uuid_int_bytes(number.get(), raw)) {
        return SC_UNSUPPORTED;
    }
    if (auto_resize_vd(vd, 1 + UUID_HEX_LENGTH) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    static constexpr char HEX[] = "0123456789abcdef";
    unsigned char* dst = vd->bytes + vd->offset;
    *dst++ = UUID_CODE;
    for (unsigned char byte : raw) {
        *dst++ = static_cast<unsigned char>(HEX[byte >> 4]);
        *dst++ = static_cast<unsigned char>(HEX[byte & 0x0F]);
    }
    vd->offset += 1 + UUID_HEX_LENGTH;
    return SC_SUCCESS;
}

StatusCode from_uuid(ValueData* vd, PyObject* value)
{
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == uuid_cl) {
        StatusCode status = from_uuid_int(vd, value);
        if (status != SC_UNSUPPORTED) {
            return status;
        }
    }
    if (!is_of_type(value, uuid_cl)) {
        return SC_INCORRECT;
    }
    PyRef hex(PyObject_GetAttr(value, names::hex));
    if (!hex) {
        set_error_from_pending(PyExc_RuntimeError,
                               "Could not get the hex representation of a UUID.");
        return SC_EXCEPTION;
    }
    // The payload has a fixed width of 32 bytes; a subclass's hex of any other shape could be
    // neither written whole nor read back.
    if (!PyUnicode_Check(hex.get()) || PyUnicode_GET_LENGTH(hex.get()) != UUID_HEX_LENGTH ||
        !PyUnicode_IS_ASCII(hex.get())) {
        return SC_INCORRECT;
    }
    const char* digits = reinterpret_cast<const char*>(PyUnicode_DATA(hex.get()));
    for (Py_ssize_t i = 0; i < UUID_HEX_LENGTH; ++i) {
        if (!is_hex_digit(digits[i])) {
            return SC_INCORRECT;
        }
    }
    if (auto_resize_vd(vd, 1 + UUID_HEX_LENGTH) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, UUID_CODE);
    std::memcpy(vd->bytes + vd->offset, digits, UUID_HEX_LENGTH);
    vd->offset += UUID_HEX_LENGTH;
    return SC_SUCCESS;
}

StatusCode from_memoryview(ValueData* vd, PyObject* value)
{
    if (!Py_IS_TYPE(value, &PyMemoryView_Type)) {
        return SC_INCORRECT;
    }
    // A simple request (no format, shape or strides) succeeds only for C-contiguous memory,
    // so the bytes can be copied in memory order.
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
        set_error_from_pending(PyExc_RuntimeError,
                               "Could not get the buffer of a memoryview object.");
        return SC_EXCEPTION;
    }
    StatusCode status = write_E12D(vd, view.len, view.buf, MEMORYVIEW_EMPTY);
    PyBuffer_Release(&view);
    return status;
}

StatusCode from_range(ValueData* vd, PyObject* value)
{
    // Only a range itself (the type is final): another object that merely has the attributes
    // would come back as a different value.
    if (!PyRange_Check(value)) {
        return SC_INCORRECT;
    }
    PyObject* const attribute_names[3] = {names::start, names::stop, names::step};
    PyRef parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = PyRef(PyObject_GetAttr(value, attribute_names[i]));
        if (!parts[i] || !PyLong_Check(parts[i].get())) {
            return SC_INCORRECT;
        }
    }
    int step_is_zero = PyObject_Not(parts[2].get());
    if (step_is_zero != 0) {
        return step_is_zero < 0 ? SC_EXCEPTION : SC_INCORRECT;
    }
    if (auto_resize_vd(vd, 1) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    write_byte(vd, RANGE_CODE);
    for (const PyRef& part : parts) {
        StatusCode status = from_integer(vd, part.get());
        if (status != SC_SUCCESS) {
            return status;
        }
    }
    return SC_SUCCESS;
}

StatusCode from_path(ValueData* vd, PyObject* value)
{
    // The class decides the family, whatever the subclass calls itself: concrete paths come back
    // as Path, pure ones as PurePath.
    unsigned char empty;
    if (is_of_type(value, path_cl)) {
        empty = 0x5D;
    }
    else if (is_of_type(value, purepath_cl)) {
        empty = 0x62;
    }
    else {
        return SC_INCORRECT;
    }
    PyRef text(PyObject_Str(value));
    if (!text) {
        return SC_EXCEPTION;
    }
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr) {
        return SC_EXCEPTION;
    }
    return write_E12D(vd, length, utf8, empty);
}

// ---------------------------------------------------------------------------------------------
// Decoder (protocol 2 only)

static PyObject* range_failed()
{
    return raise_damaged("Failed to recreate a range object.");
}

PyObject* to_range_s(ByteData* bd)
{
    // The range's own level is counted; its ints would be one deeper.
    if (bd->depth >= MAX_DECODE_DEPTH) {
        return raise_invalid("exceeded the maximum value nest depth.");
    }
    bd->offset += 1;
    PyRef parts[3];
    for (PyRef& part : parts) {
        // Only an int can be a bound, so anything else is refused before it is decoded:
        // a nested container here would only be built to be thrown away.
        if (bd->offset >= bd->max_offset || bd->bytes[bd->offset] < 0x05 ||
            bd->bytes[bd->offset] > 0x0B) {
            return range_failed();
        }
        part = PyRef(to_any_value(bd));
        if (!part) {
            return range_failed();
        }
    }
    PyObject* args[3] = {parts[0].get(), parts[1].get(), parts[2].get()};
    PyObject* result =
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyRange_Type), args, 3, nullptr);
    return result != nullptr ? result : range_failed();
}

PyObject* to_path_e(ByteData* bd, PyObject* type_cl)
{
    bd->offset += 1;
    return PyObject_CallNoArgs(type_cl);
}

PyObject* to_path_gen(ByteData* bd, size_t w, PyObject* type_cl)
{
    size_t length;
    if (!read_payload(bd, w, &length)) {
        return nullptr;
    }
    // The whole payload is the text, zero bytes included, so every path written comes back.
    PyRef text(decode_text(bd->bytes + bd->offset, length));
    if (!text) {
        return nullptr;
    }
    bd->offset += length;
    return PyObject_CallOneArg(type_cl, text.get());
}

} // namespace zeb2
