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

static inline int32_t read_int32(const unsigned char* src)
{
    return static_cast<int32_t>(static_cast<uint32_t>(bytes_to_size_t(src, 4)));
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
// Decoder

PyObject* to_datetime_gen(ByteData* bd, PyObject* method)
{
    if (!ensure_offset(bd, 2)) {
        return nullptr;
    }
    size_t length = bd->bytes[bd->offset + 1];
    if (!ensure_offset(bd, 2 + length)) {
        return nullptr;
    }
    const unsigned char* text = bd->bytes + bd->offset + 2;
    bd->offset += 2 + length;
    return build_datetime(method, text, length);
}

PyObject* to_timedelta_s(ByteData* bd)
{
    if (!ensure_offset(bd, 13)) {
        return nullptr;
    }
    const unsigned char* src = bd->bytes + bd->offset + 1;
    int days, seconds, microseconds;
    if (!normalize_timedelta(read_int32(src), read_int32(src + 4), read_int32(src + 8), &days,
                             &seconds, &microseconds)) {
        return nullptr;
    }
    bd->offset += 13;
    return PyDateTimeAPI->Delta_FromDelta(days, seconds, microseconds, 1, PyDateTimeAPI->DeltaType);
}

PyObject* to_uuid_s(ByteData* bd)
{
    if (!ensure_offset(bd, 1 + UUID_HEX_LENGTH)) {
        return nullptr;
    }
    PyObject* result = build_uuid(bd->bytes + bd->offset + 1);
    if (result != nullptr) {
        bd->offset += 1 + UUID_HEX_LENGTH;
    }
    return result;
}

PyObject* to_memoryview_e(ByteData* bd)
{
    bd->offset += 1;
    return build_memoryview(nullptr, 0);
}

PyObject* to_memoryview_gen(ByteData* bd, size_t w)
{
    size_t length;
    if (!read_payload(bd, w, &length)) {
        return nullptr;
    }
    PyObject* result = build_memoryview(bd->bytes + bd->offset, length);
    if (result != nullptr) {
        bd->offset += length;
    }
    return result;
}

PyObject* to_decimal_gen(ByteData* bd, size_t w)
{
    size_t length;
    if (!read_payload(bd, w, &length)) {
        return nullptr;
    }
    PyObject* result = build_decimal(bd->bytes + bd->offset, length);
    if (result != nullptr) {
        bd->offset += length;
    }
    return result;
}

static PyObject* range_failed()
{
    set_error_from_pending(PyExc_RuntimeError, "Failed to recreate a range object.");
    return nullptr;
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

// ---------------------------------------------------------------------------------------------
// Builders shared with the protocol 1 decoder

// uuid.SafeUUID.unknown, the `is_safe` of a UUID made from its hex; NULL when the library's UUID
// is not laid out as build_uuid_from_digits expects.
static PyObject* safe_uuid_unknown = nullptr;

void init_uuid_builder()
{
    Py_CLEAR(safe_uuid_unknown);
    if (uuid_cl == nullptr || !PyType_Check(uuid_cl)) {
        return;
    }
    // Both slots must be plain member descriptors, and instances must start out empty.
    auto* type = reinterpret_cast<PyTypeObject*>(uuid_cl);
    PyRef slot_int(PyObject_GetAttr(uuid_cl, names::int_));
    PyRef slot_safe(PyObject_GetAttr(uuid_cl, names::is_safe));
    PyRef module(PyImport_ImportModule("uuid"));
    PyRef safe(module ? PyObject_GetAttrString(module.get(), "SafeUUID") : nullptr);
    PyRef unknown(safe ? PyObject_GetAttrString(safe.get(), "unknown") : nullptr);
    if (slot_int && slot_safe && unknown && Py_IS_TYPE(slot_int.get(), &PyMemberDescr_Type) &&
        Py_IS_TYPE(slot_safe.get(), &PyMemberDescr_Type) &&
        type->tp_new == PyBaseObject_Type.tp_new && type->tp_init != PyBaseObject_Type.tp_init) {
        safe_uuid_unknown = unknown.release();
    }
    PyErr_Clear();
}

void clear_uuid_builder()
{
    Py_CLEAR(safe_uuid_unknown);
}

// The timezone of the last non-zero offset decoded, and that offset in seconds.
static PyObject* last_timezone = nullptr;
static int last_offset = 0;

void clear_timezone_cache()
{
    Py_CLEAR(last_timezone);
}

// A reader for the ISO forms that the encoder writes. It accepts only texts whose every field
// is in range, so that the constructors cannot fail on them; anything else goes to
// fromisoformat(), which keeps its own errors and its rarer forms.
class IsoReader {
  public:
    IsoReader(const unsigned char* text, size_t length) : text_(text), left_(length) {}

    bool number(int count, int max, int* out)
    {
        if (left_ < static_cast<size_t>(count)) {
            return false;
        }
        int value = 0;
        for (int i = 0; i < count; ++i) {
            unsigned digit = text_[i] - static_cast<unsigned>('0');
            if (digit > 9) {
                return false;
            }
            value = value * 10 + static_cast<int>(digit);
        }
        text_ += count;
        left_ -= static_cast<size_t>(count);
        *out = value;
        return value <= max;
    }
    bool take(char c)
    {
        if (left_ == 0 || text_[0] != static_cast<unsigned char>(c)) {
            return false;
        }
        ++text_;
        --left_;
        return true;
    }
    bool at(char c) const { return left_ != 0 && text_[0] == static_cast<unsigned char>(c); }
    bool done() const { return left_ == 0; }

    bool date(int* year, int* month, int* day)
    {
        static constexpr int DAYS[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (!number(4, 9999, year) || *year == 0 || !take('-') || !number(2, 12, month) ||
            *month == 0 || !take('-') || !number(2, DAYS[*month], day) || *day == 0) {
            return false;
        }
        bool leap = *year % 4 == 0 && (*year % 100 != 0 || *year % 400 == 0);
        return *month != 2 || *day <= 28 || leap;
    }
    // HH:MM:SS with an optional six-digit fraction.
    bool clock(int* hour, int* minute, int* second, int* microsecond)
    {
        *microsecond = 0;
        if (!number(2, 23, hour) || !take(':') || !number(2, 59, minute) || !take(':') ||
            !number(2, 59, second)) {
            return false;
        }
        return !take('.') || number(6, 999999, microsecond);
    }
    // An optional +HH:MM or +HH:MM:SS offset, as the library's tzinfo for it: the UTC singleton
    // for a zero offset, else a new timezone. Offsets with a fraction are left to the library.
    // Returns false when the text holds anything else; *tzinfo is then unset.
    bool offset(PyRef* tzinfo)
    {
        if (done()) {
            *tzinfo = PyRef::borrow(Py_None);
            return true;
        }
        int sign = at('-') ? -1 : 1;
        if (!take('+') && !take('-')) {
            return false;
        }
        int hours, minutes, seconds = 0;
        if (!number(2, 23, &hours) || !take(':') || !number(2, 59, &minutes) ||
            (take(':') && !number(2, 59, &seconds)) || !done()) {
            return false;
        }
        int total = sign * (hours * 3600 + minutes * 60 + seconds);
        if (total == 0) {
            *tzinfo = PyRef::borrow(PyDateTimeAPI->TimeZone_UTC);
            return true;
        }
        // Values of one source tend to share an offset; timezones are immutable, so the last
        // one made serves again.
        if (last_timezone == nullptr || last_offset != total) {
            PyRef delta(PyDateTimeAPI->Delta_FromDelta(0, total, 0, 1, PyDateTimeAPI->DeltaType));
            PyObject* fresh =
                delta ? PyDateTimeAPI->TimeZone_FromTimeZone(delta.get(), nullptr) : nullptr;
            if (fresh == nullptr) {
                return true;
            }
            Py_XSETREF(last_timezone, fresh);
            last_offset = total;
        }
        *tzinfo = PyRef::borrow(last_timezone);
        return true;
    }

  private:
    const unsigned char* text_;
    size_t left_;
};

// The common ISO forms, straight into the constructors. Returns NULL without an exception when
// the text is not one of them.
static PyObject* parse_datetime(PyObject* method, const unsigned char* text, size_t len)
{
    if (PyDateTimeAPI == nullptr || PyDateTimeAPI->TimeZone_UTC == nullptr) {
        return nullptr;
    }
    IsoReader iso(text, len);
    int year, month, day, hour, minute, second, microsecond;
    PyRef tzinfo;
    if (method == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateType)) {
        if (!iso.date(&year, &month, &day) || !iso.done()) {
            return nullptr;
        }
        return PyDateTimeAPI->Date_FromDate(year, month, day, PyDateTimeAPI->DateType);
    }
    if (method == reinterpret_cast<PyObject*>(PyDateTimeAPI->TimeType)) {
        if (!iso.clock(&hour, &minute, &second, &microsecond) || !iso.offset(&tzinfo)) {
            return nullptr;
        }
        return tzinfo ? PyDateTimeAPI->Time_FromTime(hour, minute, second, microsecond,
                                                     tzinfo.get(), PyDateTimeAPI->TimeType)
                      : nullptr;
    }
    if (method == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType)) {
        if (!iso.date(&year, &month, &day) || !iso.take('T') ||
            !iso.clock(&hour, &minute, &second, &microsecond) || !iso.offset(&tzinfo)) {
            return nullptr;
        }
        return tzinfo ? PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute,
                                                                second, microsecond, tzinfo.get(),
                                                                PyDateTimeAPI->DateTimeType)
                      : nullptr;
    }
    return nullptr;
}

PyObject* build_datetime(PyObject* method, const unsigned char* text, size_t len)
{
    PyObject* parsed = parse_datetime(method, text, len);
    if (parsed != nullptr || PyErr_Occurred()) {
        return parsed;
    }
    PyRef iso(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text),
                                   static_cast<Py_ssize_t>(len), "strict"));
    if (!iso) {
        return nullptr;
    }
    return PyObject_CallMethodOneArg(method, names::fromisoformat, iso.get());
}

static int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// What UUID(hex) makes of 32 hex digits, made without running UUID.__init__: a bare instance
// whose slots `int` and `is_safe` are set as __init__ sets them. NULL without an exception when
// the payload is not 32 hex digits or the class is not laid out that way.
static PyObject* build_uuid_from_digits(const unsigned char* hex32)
{
    if (safe_uuid_unknown == nullptr || !PyType_Check(uuid_cl)) {
        return nullptr;
    }
    unsigned char raw[16];
    for (int i = 0; i < 16; ++i) {
        int high = hex_value(hex32[2 * i]);
        int low = hex_value(hex32[2 * i + 1]);
        if (high < 0 || low < 0) {
            return nullptr;
        }
        raw[i] = static_cast<unsigned char>(high << 4 | low);
    }
#if PY_VERSION_HEX >= 0x030D0000
    PyRef number(PyLong_FromUnsignedNativeBytes(raw, 16, Py_ASNATIVEBYTES_BIG_ENDIAN));
#else
    PyRef number(_PyLong_FromByteArray(raw, 16, 0, 0));
#endif
    if (!number) {
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(uuid_cl);
    PyRef result(type->tp_alloc(type, 0));
    if (!result || PyObject_GenericSetAttr(result.get(), names::int_, number.get()) < 0 ||
        PyObject_GenericSetAttr(result.get(), names::is_safe, safe_uuid_unknown) < 0) {
        return nullptr;
    }
    return result.release();
}

PyObject* build_uuid(const unsigned char* hex32)
{
    PyObject* fast = build_uuid_from_digits(hex32);
    if (fast != nullptr) {
        return fast;
    }
    if (PyErr_Occurred()) {
        set_error_from_pending(PyExc_RuntimeError, "Failed to create UUID object.");
        return nullptr;
    }
    PyRef hex(
        PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(hex32), UUID_HEX_LENGTH, "strict"));
    PyObject* result = hex ? PyObject_CallOneArg(uuid_cl, hex.get()) : nullptr;
    if (result == nullptr) {
        set_error_from_pending(PyExc_RuntimeError, "Failed to create UUID object.");
    }
    return result;
}

PyObject* build_memoryview(const unsigned char* data, size_t len)
{
    PyRef copy(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                         static_cast<Py_ssize_t>(len)));
    PyObject* result = copy ? PyMemoryView_FromObject(copy.get()) : nullptr;
    if (result == nullptr) {
        set_error_from_pending(PyExc_RuntimeError,
                               "Failed to convert a memoryview buffer to bytes.");
    }
    return result;
}

PyObject* build_decimal(const unsigned char* text, size_t len)
{
    PyRef str(decode_text(text, len));
    PyObject* result = str ? PyObject_CallOneArg(decimal_cl, str.get()) : nullptr;
    if (result == nullptr) {
        set_error_from_pending(PyExc_RuntimeError, "Failed to convert string to Decimal.");
    }
    return result;
}

} // namespace zeb2
