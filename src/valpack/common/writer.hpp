#pragma once
#include <Python.h>
#include <cstdint>
#include <cstring>
#include "valpack/common/encode_target.hpp"
#include "valpack/common/errors.hpp"
#include "valpack/common/format.hpp"
#include "valpack/common/stack_guard.hpp"

// Encoder state and the writing helpers of every encoder step.
namespace zeb2 {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);

struct ValueData {
    Py_ssize_t offset;   // bytes written; the next byte goes to bytes[offset]
    Py_ssize_t max_size; // capacity of bytes
    int nests;           // containers currently open
    int nt_depth;        // namedtuples currently open
    unsigned char* bytes;
    // The bytes object whose storage `bytes` is: trimmed to `offset` at the end, it becomes the
    // result without another copy.
    PyObject* out;
    uintptr_t stack_bottom; // see stack_bottom()
    // Instead of `out`: memory of the caller's that grows through it (encode_into).
    EncodeTarget* target;
};

// Starts an encoder over a new bytes object of `capacity` bytes that holds the marker: every
// encoder writes into such an object, since growing it is a bytes resize. false with an
// exception set.
bool start_encoder(ValueData& vd, Py_ssize_t capacity);

// Cold path of auto_resize_vd: grows the buffer so that `jump` more bytes fit.
StatusCode grow_vd(ValueData* vd, Py_ssize_t jump);

// Reserves room for `jump` more bytes. Every writer calls it before writing.
inline StatusCode auto_resize_vd(ValueData* vd, Py_ssize_t jump)
{
    if (jump <= vd->max_size - vd->offset) {
        return SC_SUCCESS;
    }
    return grow_vd(vd, jump);
}

// Opens one container level: SC_NESTDEPTH at the limit, SC_EXCEPTION when the thread's stack
// is nearly used up (small thread stacks reach that before the limit).
inline StatusCode increment_nests(ValueData* vd)
{
    if (++vd->nests > MAX_NESTS) {
        return SC_NESTDEPTH;
    }
    return stack_left(vd->stack_bottom) ? SC_SUCCESS : stack_exhausted_status();
}

// Number of significant bytes of a size: 0 for a size <= 0.
inline int get_num_bytes(int64_t size)
{
    int k = 0;
    for (uint64_t n = size > 0 ? static_cast<uint64_t>(size) : 0; n != 0; n >>= 8) {
        ++k;
    }
    return k;
}

// Bytes that write_E12D writes for a payload of `size` bytes, header included.
inline Py_ssize_t E12D_size(Py_ssize_t size)
{
    int k = get_num_bytes(size);
    return k == 0 ? 1 : (k <= 2 ? 1 + k : 2 + k) + size;
}

// Writes `num` as `num_bytes` little-endian bytes; room must be reserved.
inline void write_size_bytes(ValueData* vd, uint64_t num, int num_bytes)
{
    for (int i = 0; i < num_bytes; ++i) {
        vd->bytes[vd->offset++] = static_cast<unsigned char>(num >> (8 * i));
    }
}

inline void write_byte(ValueData* vd, unsigned char byte)
{
    vd->bytes[vd->offset++] = byte;
}

inline void store_le64(unsigned char* dst, uint64_t bits)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        bits = __builtin_bswap64(bits);
    }
    std::memcpy(dst, &bits, 8);
}

// Eight bytes of IEEE 754 binary64, little-endian; room must be reserved.
inline void write_double(ValueData* vd, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    store_le64(vd->bytes + vd->offset, bits);
    vd->offset += 8;
}

// A float: one reservation, the datachar and eight bytes, stored through one pointer and one
// offset update (a byte stored through `bytes` may alias the state, so each separate step would
// load the state again).
inline StatusCode write_float(ValueData* vd, double value)
{
    if (auto_resize_vd(vd, 9) != SC_SUCCESS) {
        return SC_NOMEMORY;
    }
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    unsigned char* dst = vd->bytes + vd->offset;
    dst[0] = 0x0C;
    store_le64(dst + 1, bits);
    vd->offset += 9;
    return SC_SUCCESS;
}

// Any size: the general form of write_E12D.
StatusCode write_E12D_sized(ValueData* vd, Py_ssize_t size, const void* payload,
                            unsigned char empty);

// Writes a size-class header for `size` in family `empty`, then `size` payload bytes when
// `payload` is given. Containers pass no payload; the reservation still holds one byte per item.
inline StatusCode write_E12D(ValueData* vd, Py_ssize_t size, const void* payload,
                             unsigned char empty)
{
    // Most texts and containers have a one-byte size.
    if (size > 0 && size <= 0xFF) {
        if (auto_resize_vd(vd, 2 + size) != SC_SUCCESS) {
            return SC_NOMEMORY;
        }
        unsigned char* dst = vd->bytes + vd->offset;
        dst[0] = static_cast<unsigned char>(empty + 1);
        dst[1] = static_cast<unsigned char>(size);
        vd->offset += 2;
        if (payload != nullptr) {
            std::memcpy(dst + 2, payload, static_cast<size_t>(size));
            vd->offset += size;
        }
        return SC_SUCCESS;
    }
    return write_E12D_sized(vd, size, payload, empty);
}

} // namespace zeb2
