#pragma once
#include <Python.h>
#include "tidewell/segment_status.hpp"

namespace tw {

// The one place a segment status becomes an exception: MemoryError with the step's message (the
// segment name in it), and, for a failed system call, OSError(errno) chained as its cause. A
// status of Step::RAISED leaves the pending exception. Always returns NULL.
PyObject* raise_status(Status status, const char* name);

} // namespace tw
