// Library value decoder steps, shared by both protocols: the datetime family, UUID, Decimal and
// memoryview, rebuilt from payloads that both protocols lay out alike.
#include "valpack/common/registry.hpp"
#include "valpack/common/steps.hpp"
#include <datetime.h>

using tw::PyRef;

namespace zeb2 {

constexpr Py_ssize_t UUID_HEX_LENGTH = 32;

void init_library_steps()
{
    PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

static inline int32_t read_int32(const unsigned char* src)
{
    return static_cast<int32_t>(static_cast<uint32_t>(bytes_to_size_t(src, 4)));
}

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

// The timezone of the last non-zero offset decoded, and that offset in seconds.
static PyObject* last_timezone = nullptr;
static int last_offset = 0;

void clear_library_steps()
{
    Py_CLEAR(safe_uuid_unknown);
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

static PyObject* build_datetime(PyObject* method, const unsigned char* text, size_t len)
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

static PyObject* build_uuid(const unsigned char* hex32)
{
    static constexpr const char FAILED[] = "Failed to create UUID object.";
    PyObject* fast = build_uuid_from_digits(hex32);
    if (fast != nullptr) {
        return fast;
    }
    if (PyErr_Occurred()) {
        return raise_damaged(FAILED);
    }
    PyRef hex(
        PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(hex32), UUID_HEX_LENGTH, "strict"));
    PyObject* result = hex ? PyObject_CallOneArg(uuid_cl, hex.get()) : nullptr;
    return result != nullptr ? result : raise_damaged(FAILED);
}

static PyObject* build_memoryview(const unsigned char* data, size_t len)
{
    PyRef copy(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                         static_cast<Py_ssize_t>(len)));
    PyObject* result = copy ? PyMemoryView_FromObject(copy.get()) : nullptr;
    return result != nullptr ? result
                             : raise_damaged("Failed to convert a memoryview buffer to bytes.");
}

static PyObject* build_decimal(const unsigned char* text, size_t len)
{
    PyRef str(decode_text(text, len));
    PyObject* result = str ? PyObject_CallOneArg(decimal_cl, str.get()) : nullptr;
    return result != nullptr ? result : raise_damaged("Failed to convert string to Decimal.");
}

// Hand-made timedelta fields are normalised without overflowing C int arithmetic: seconds and
// microseconds are carried into days in 64 bits. Returns false with OverflowError when the days
// leave the range of timedelta.
static bool normalize_timedelta(int32_t days, int32_t seconds, int32_t microseconds, int* out_days,
                                int* out_seconds, int* out_microseconds)
{
    int64_t us = microseconds % 1000000;
    int64_t s = static_cast<int64_t>(seconds) + microseconds / 1000000;
    if (us < 0) {
        us += 1000000;
        s -= 1;
    }
    int64_t d = static_cast<int64_t>(days) + s / 86400;
    s %= 86400;
    if (s < 0) {
        s += 86400;
        d -= 1;
    }
    if (d < -999999999 || d > 999999999) {
        PyErr_Format(PyExc_OverflowError, "days=%lld; must have magnitude <= 999999999",
                     static_cast<long long>(d));
        return false;
    }
    *out_days = static_cast<int>(d);
    *out_seconds = static_cast<int>(s);
    *out_microseconds = static_cast<int>(us);
    return true;
}

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
        return raise_damaged("Likely received an invalid bytes object: a timedelta is out of "
                             "range.");
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

} // namespace zeb2
