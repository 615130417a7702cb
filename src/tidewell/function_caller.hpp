#pragma once
#include <Python.h>

// Calls that do not wait: an event loop starts one, looks at it again and again until it has
// finished, or cancels it. Every step runs with the GIL held and never waits on a shared lock
// (the mutex is only tried); a cancel may wait for it briefly, with the GIL released.
namespace tw {
struct PendingCall;
// Opens the function and encodes the arguments (as call_function does before it waits); nothing
// is placed yet. NULL with an exception set.
PendingCall* start_call(const char* name, PyObject* args);
// One look: 0 while the call goes on; 1 when it has finished, with `*result` the result (new
// reference) or NULL with its exception set.
int poll_call(PendingCall* call, PyObject** result);
// Withdraws a call that has not finished, as a signal does to a waiting call_function.
void cancel_call(PendingCall* call);
void free_call(PendingCall* call);
} // namespace tw
