#pragma once
#include <cstddef>

namespace zeb2 {

// Memory an encoding is written into in place of a bytes object of its own (a shared object,
// say): `data` holds `capacity` bytes; `grow` returns memory of at least `capacity` bytes that
// holds the first `used` bytes written so far, and updates the target, or returns nullptr (the
// encoding then fails with SC_NOMEMORY, and the target says why).
struct EncodeTarget {
    unsigned char* data;
    size_t capacity;
    unsigned char* (*grow)(EncodeTarget* target, size_t used, size_t capacity);
};

} // namespace zeb2
