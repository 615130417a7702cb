// Protocol 1 decoder. The scalar payloads and the library types are laid out as in protocol 2,
// so their steps are shared (valpack/common/steps.hpp); the datachar table, the single D form
// (whose K may be 0) and the containers' codes are this protocol's own.
#include "valpack/zeb_old/zeb_1.hpp"
#include "valpack/common/class_globals.hpp"
#include "valpack/common/steps.hpp"

using zeb2::ByteData;

// The shared library steps hold the datetime C API pointer that protocol 1 reads through.
extern "C" TW_EXPORT void zeb1_init(void)
{
    zeb2::init_library_steps();
}

namespace zeb1 {

static PyObject* to_any_value(ByteData* bd);

// A D header: K as one byte after the datachar, then N in K bytes. K = 0 is an empty length;
// K above 8 cannot describe a payload that fits in any input. Leaves `offset` on the K byte.
static bool D_length(ByteData* bd, size_t* k)
{
    if (!zeb2::ensure_offset(bd, 2)) {
        return false;
    }
    bd->offset += 1;
    *k = bd->bytes[bd->offset];
    if (*k > 8) {
        zeb2::raise_offset_error();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

// The sized forms of a family: `1` and `2` after the datachar, or a D header.
template <typename Gen> static PyObject* to_sized(ByteData* bd, unsigned int form, Gen gen_step)
{
    if (form < 3) {
        return gen_step(static_cast<size_t>(form));
    }
    size_t k;
    return D_length(bd, &k) ? gen_step(k) : nullptr;
}

// The four codes of a family: E, `1`, `2`, D.
template <typename E, typename Gen>
static PyObject* to_family(ByteData* bd, unsigned int form, E empty_step, Gen gen_step)
{
    return form == 0 ? empty_step() : to_sized(bd, form, gen_step);
}

#define TW_FAMILY(base, empty_expr, gen_expr)                                                      \
    to_family(bd, code - (base), [&]() { return empty_expr; }, [&](size_t w) { return gen_expr; })

static PyObject* to_value_dispatch(ByteData* bd, unsigned int code)
{
    switch (code) {
    case 0x00 ... 0x03:
        return TW_FAMILY(0x00, zeb2::to_str_e(bd), zeb2::to_str_gen(bd, w));
    case 0x04 ... 0x08:
        return zeb2::to_int_gen(bd, code - 3);
    case 0x09:
    case 0x0A: {
        // L in one or two bytes; to_int_gen stands on the last of them.
        size_t length;
        if (!zeb2::read_size(bd, code - 8, &length)) {
            return nullptr;
        }
        bd->offset -= 1;
        return zeb2::to_int_gen(bd, length);
    }
    case 0x0B:
        return zeb2::to_float_s(bd);
    case 0x0C:
        return zeb2::to_bool_gen(bd, true);
    case 0x0D:
        return zeb2::to_bool_gen(bd, false);
    case 0x0E:
        return zeb2::to_complex_s(bd);
    case 0x0F:
        return zeb2::to_none_s(bd);
    case 0x10:
        return zeb2::to_ellipsis_s(bd);
    // Each byte family's E code gives the other family's type.
    case 0x11 ... 0x14:
        return TW_FAMILY(0x11, zeb2::to_bytes_e(bd, true), zeb2::to_bytes_gen(bd, w, false));
    case 0x15 ... 0x18:
        return TW_FAMILY(0x15, zeb2::to_bytes_e(bd, false), zeb2::to_bytes_gen(bd, w, true));
    case 0x19 ... 0x1C:
        return TW_FAMILY(0x19, zeb2::to_list_e(bd), zeb2::to_list_gen(bd, w));
    case 0x1D ... 0x20:
        return TW_FAMILY(0x1D, zeb2::to_iterable_e(bd, 0x21), zeb2::to_iterable_gen(bd, w, 0x21));
    case 0x21 ... 0x24:
        return TW_FAMILY(0x21, zeb2::to_tuple_e(bd), zeb2::to_tuple_gen(bd, w));
    case 0x25 ... 0x28:
        return TW_FAMILY(0x25, zeb2::to_dict_e(bd), zeb2::to_dict_gen(bd, w));
    case 0x29 ... 0x2C:
        return TW_FAMILY(0x29, zeb2::to_iterable_e(bd, 0x30), zeb2::to_iterable_gen(bd, w, 0x30));
    case 0x2D:
        return zeb2::to_datetime_gen(bd, datetime_dt);
    case 0x2E:
        return zeb2::to_timedelta_s(bd);
    case 0x2F:
        return zeb2::to_datetime_gen(bd, datetime_d);
    case 0x30:
        return zeb2::to_datetime_gen(bd, datetime_t);
    case 0x31:
        return zeb2::to_uuid_s(bd);
    case 0x32 ... 0x35:
        return TW_FAMILY(0x32, zeb2::to_memoryview_e(bd), zeb2::to_memoryview_gen(bd, w));
    case 0x36 ... 0x38:
        // No E form: the family is laid out from the memoryview's D code.
        return to_sized(bd, code - 0x35, [&](size_t w) { return zeb2::to_decimal_gen(bd, w); });
    default:
        return zeb2::raise_invalid_datachar(code);
    }
}

#undef TW_FAMILY

static PyObject* to_any_value(ByteData* bd)
{
    if (!zeb2::ensure_offset(bd, 1)) {
        return nullptr;
    }
    if (bd->depth >= zeb2::MAX_DECODE_DEPTH) {
        return zeb2::raise_invalid("exceeded the maximum value nest depth.");
    }
    if (!zeb2::stack_left(bd->stack_bottom)) {
        return zeb2::raise_stack_exhausted();
    }
    ++bd->depth;
    PyObject* result = to_value_dispatch(bd, bd->bytes[bd->offset]);
    --bd->depth;
    return result;
}

PyObject* to_value_prot1_buffer(const unsigned char* data, size_t size)
{
    if (size == 0 || data[0] != zeb2::PROTOCOL_1) {
        return zeb2::raise_invalid("invalid protocol marker.");
    }
    ByteData bd = zeb2::make_byte_data(data, size, zeb1::to_any_value);
    PyObject* result = zeb1::to_any_value(&bd);
    if (result == nullptr) {
        zeb2::settle_decode_error();
    }
    return result;
}

} // namespace zeb1

// The input is an immutable bytes object that the caller keeps alive, so it is read in place.
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
