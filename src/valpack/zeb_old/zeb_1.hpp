#pragma once
#include <Python.h>
#include <cstddef>
#include "common/py_ref.hpp"

// Protocol 1 decoder: reads byte strings that start with the marker 0xFE. There is no encoder.
extern "C" {
// New reference to the decoded value, or NULL with an exception set.
TW_EXPORT PyObject* to_value_prot1(PyObject* py_bytes);
// Imports the datetime C API that this decoder's library types are rebuilt through (zeb2_init
// does it too).
TW_EXPORT void zeb1_init(void);
}

namespace zeb1 {
// Decodes a protocol 1 byte string held in memory that stays valid for the call.
PyObject* to_value_prot1_buffer(const unsigned char* data, size_t size);
} // namespace zeb1
