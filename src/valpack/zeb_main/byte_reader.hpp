#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>

// Decoder state and the bounds-checked reading helpers that both protocol decoders share.
namespace zeb2 {

// Every nested value counts one level. The encoder never writes more than
// MAX_NESTS containers plus MAX_NAMEDTUPLE_DEPTH namedtuples inside each other, so this
// bound decodes everything it writes while keeping damaged input off the end of the stack.
constexpr int MAX_DECODE_DEPTH = 1000;

// Stack kept free below the deepest codec frame for what a step calls there: a class factory
// compiling code, a constructor written in Python, a garbage collection running finalizers.
constexpr uintptr_t STACK_RESERVE = 32 * 1024;

// Lowest address of this thread's stack (found once per thread), or 1 when it is unknown.
uintptr_t stack_bottom();

// False once the caller's frame lies within STACK_RESERVE of the bottom of the thread's stack.
// The codec checks it per nesting level, so a thread with a small stack gets an exception
// instead of a crash. A frame outside the thread's stack (a coroutine library's own stack) is
// never refused.
__attribute__((always_inline)) inline bool stack_left(uintptr_t bottom)
{
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - bottom >= STACK_RESERVE;
}

// Raises `type(message)`. A pending Exception becomes its __cause__; a pending BaseException that
// is not an Exception (KeyboardInterrupt, SystemExit) is left in place instead.
void set_error_from_pending(PyObject* type, const char* message);

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
};

// State for decoding `size` bytes at `data` with the dispatcher `decode_item`; offset 1 is the
// top value's datachar.
inline ByteData make_byte_data(const unsigned char* data, size_t size, ValueDecoder decode_item)
{
    return ByteData{1, size, data, 0, decode_item, size, stack_bottom()};
}

// Raises the RecursionError of a thread whose stack is nearly used up; returns NULL.
PyObject* raise_stack_exhausted();

// Raise the one "truncated" error and return NULL.
PyObject* raise_offset_error();
// Raise ValueError "Likely received an invalid bytes object: <detail>" and return NULL.
PyObject* raise_invalid(const char* detail);
PyObject* raise_invalid_datachar(unsigned int code);

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

// A str from UTF-8 text. ASCII text, the common case, is copied straight into a new str.
PyObject* decode_text(const unsigned char* text, size_t n);

// Library values rebuilt from their payloads; shared by both protocol decoders.
// Each returns a new reference or NULL with the exception the format prescribes.
PyObject* build_datetime(PyObject* method, const unsigned char* text, size_t len);
PyObject* build_uuid(const unsigned char* hex32);
PyObject* build_memoryview(const unsigned char* data, size_t len);
PyObject* build_decimal(const unsigned char* text, size_t len);

// Normalises hand-made timedelta fields without overflowing C int arithmetic: seconds and
// microseconds are carried into days in 64 bits. Returns false with OverflowError when the days
// leave the range of timedelta.
inline bool normalize_timedelta(int32_t days, int32_t seconds, int32_t microseconds, int* out_days,
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

} // namespace zeb2
