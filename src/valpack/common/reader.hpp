#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "valpack/common/errors.hpp"
#include "valpack/common/format.hpp"
#include "valpack/common/stack_guard.hpp"

// Decoder state and the bounds-checked reading helpers that both protocol decoders share.
namespace zeb2 {

struct ByteData;
using ValueDecoder = PyObject* (*)(ByteData*);

struct ByteData {
    size_t offset;     // position of the next byte; a step starts on its datachar
    size_t max_offset; // length of the input
    const unsigned char* bytes;
    int depth;                // values currently being decoded
    ValueDecoder decode_item; // the protocol's own dispatcher, for the items of containers
    // Item slots that containers may still allocate. Every item of every container begins with
    // its own datachar, so a whole valid input never announces more items than it has bytes;
    // charging each count against one budget keeps nested containers from multiplying it.
    size_t item_budget;
    uintptr_t stack_bottom; // see stack_bottom()
    unsigned char marker;   // PROTOCOL_2 or PROTOCOL_1: whose datachars the items use
};

// State for decoding `size` bytes at `data` with the dispatcher `decode_item` of the protocol
// that data[0] names; offset 1 is the top value's datachar.
inline ByteData make_byte_data(const unsigned char* data, size_t size, ValueDecoder decode_item)
{
    return ByteData{1, size, data, 0, decode_item, size, stack_bottom(), data[0]};
}

// True when `jump` bytes from `offset` on lie inside the input; otherwise the offset error.
inline bool ensure_offset(ByteData* bd, size_t jump)
{
    if (jump <= bd->max_offset - bd->offset) {
        return true;
    }
    raise_offset_error();
    return false;
}

// Unsigned little-endian number of `length` bytes (length <= 8).
inline uint64_t bytes_to_size_t(const unsigned char* bytes, size_t length)
{
    uint64_t num = 0;
    for (size_t i = length; i > 0; --i) {
        num = (num << 8) | bytes[i - 1];
    }
    return num;
}

inline uint64_t load_le64(const unsigned char* src)
{
    uint64_t bits;
    std::memcpy(&bits, src, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        bits = __builtin_bswap64(bits);
    }
    return bits;
}

inline double read_double(const unsigned char* src)
{
    uint64_t bits = load_le64(src);
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

// Reads a count or length of `width` bytes. `offset` stands on the last byte before the field
// and ends on the first byte after it.
inline bool read_size(ByteData* bd, size_t width, size_t* out)
{
    if (!ensure_offset(bd, 1 + width)) {
        return false;
    }
    *out = static_cast<size_t>(bytes_to_size_t(bd->bytes + bd->offset + 1, width));
    bd->offset += 1 + width;
    return true;
}

// Reads a length field of width `w` and checks that the payload it announces is present.
// `offset` ends on the payload's first byte.
inline bool read_payload(ByteData* bd, size_t w, size_t* length)
{
    return read_size(bd, w, length) && ensure_offset(bd, *length);
}

// A count read from the input never sizes an allocation before the input is known to be able
// to hold that many items of at least `min_item_bytes` bytes each.
inline bool ensure_items(ByteData* bd, size_t count, size_t min_item_bytes)
{
    size_t left = bd->max_offset - bd->offset;
    if (count <= left / min_item_bytes && count <= bd->item_budget / min_item_bytes) {
        bd->item_budget -= count * min_item_bytes;
        return true;
    }
    raise_offset_error();
    return false;
}

// Reads a container count of width `w` and checks that the input can hold that many items of
// at least `min_item_bytes` each, before anything is allocated.
inline bool read_count(ByteData* bd, size_t w, size_t min_item_bytes, size_t* count)
{
    return read_size(bd, w, count) && ensure_items(bd, *count, min_item_bytes);
}

} // namespace zeb2
