// Protocol 2 decoder dispatch: one switch on the datachar, over the families of five codes.
#include "valpack/zeb_main/zeb_2_internal.hpp"

namespace zeb2 {

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

} // namespace zeb2
