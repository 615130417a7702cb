#pragma once
#include <Python.h>

// The codec's errors: its messages live here, and every step raises through these functions.
namespace zeb2 {

// Result of every encoder step; only the encoder's entry point turns it into an exception.
enum StatusCode : int {
    SC_SUCCESS = 0,
    SC_INCORRECT = 1,   // the name led to a step whose type test failed
    SC_UNSUPPORTED = 2, // no step for the type
    SC_EXCEPTION = 3,   // a Python exception is already set
    SC_NESTDEPTH = 4,
    SC_NOMEMORY = 5,
};

// Raised when Python code run during encoding changed a container being written.
StatusCode container_changed();
// Raises the RecursionError of a thread whose stack is nearly used up.
StatusCode stack_exhausted_status();

// Raises `type(message)`. A pending Exception becomes its __cause__; a pending BaseException that
// is not an Exception (KeyboardInterrupt, SystemExit) is left in place instead.
void set_error_from_pending(PyObject* type, const char* message);

// Raise the one "truncated" error and return NULL.
PyObject* raise_offset_error();
// Raise ValueError "Likely received an invalid bytes object: <detail>" and return NULL.
PyObject* raise_invalid(const char* detail);
PyObject* raise_invalid_datachar(unsigned int code);

// A value the bytes describe could not be rebuilt: raises ValueError(message) with the pending
// exception (a library class refusing its payload, an unhashable key) as its __cause__, and
// returns NULL. Running out of memory or stack is no damage of the input: a pending
// MemoryError or RecursionError stays as it is, and so does a KeyboardInterrupt.
PyObject* raise_damaged(const char* message);

// Called once by each decoder's entry point when decoding failed: whatever a step let through
// becomes the __cause__ of the ValueError that damaged input raises, so that a decode fails
// with ValueError (UnicodeDecodeError included), MemoryError, RecursionError or the user's
// KeyboardInterrupt, and nothing else.
void settle_decode_error();

} // namespace zeb2
