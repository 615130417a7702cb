#pragma once
#include <Python.h>
#include "tidewell/segment_status.hpp"

namespace tw {

// The one place a segment status becomes an exception: MemoryError with the step's message (the
// segment name in it), and, for a failed system call, OSError(errno) chained as its cause. A
// status of Step::RAISED leaves the pending exception. Always returns NULL.
PyObject* raise_status(Status status, const char* name);

// The same, with `why` (when not NULL) as the text of the OSError chained as its cause, which
// names the segment: what holds a name that is taken, for example.
PyObject* raise_status_because(Status status, const char* name, const char* why);

} // namespace tw
