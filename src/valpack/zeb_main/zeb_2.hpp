#pragma once
#include <Python.h>
#include "common/py_ref.hpp"
#include "valpack/common/class_globals.hpp"
#include "valpack/common/encode_target.hpp"

// Protocol 2 codec: Python value <-> byte string that starts with the marker 0xFD.
extern "C" {

// New bytes object, or NULL with an exception set. A NULL value gives the no-value string FD 67.
TW_EXPORT PyObject* from_value(PyObject* value);
// New reference to the decoded value, or NULL with an exception set. The marker decides the
// protocol: 0xFD this one, 0xFE protocol 1 (valpack/marker.cpp, above both decoders).
TW_EXPORT PyObject* to_value(PyObject* py_bytes);

// Type registry: 1 on success, -1 with an exception set.
TW_EXPORT int zeb2_init(void);
TW_EXPORT void zeb2_cleanup(void);
}

namespace zeb2 {
// Encodes `value` as from_value does, but leaves the encoder's bytes object untrimmed, so that a
// caller that copies the encoding to where it goes skips the trim: on success a new bytes object
// whose first `*len` bytes are the encoding (it may be longer); NULL with an exception set.
PyObject* encode_untrimmed(PyObject* value, size_t* len);
// Encodes `value` as from_value does, into `target` (at least 2 bytes to start), which grows as
// needed through its own function: the length of the encoding, or -1 with an exception set.
Py_ssize_t encode_into(PyObject* value, EncodeTarget* target);
// Decodes a byte string of either protocol held in memory that stays valid and unchanged for
// the call (a bytes object, or a shared data area under its mutex). Same results as to_value.
PyObject* to_value_buffer(const unsigned char* data, size_t size);
// Decodes a protocol 2 byte string (marker 0xFD) held in memory, as to_value_buffer does.
PyObject* to_value_prot2_buffer(const unsigned char* data, size_t size);
} // namespace zeb2
