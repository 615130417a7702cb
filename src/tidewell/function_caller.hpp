#pragma once

// The caller's side of a shared function (call_shared_function is declared in
// function_segment.hpp). Callers keep the segments they call mapped between calls.
namespace tw {

// With the GIL held: drops this process's mapping of `name` unless a call is using it.
void forget_caller_segment(const char* name);

} // namespace tw
