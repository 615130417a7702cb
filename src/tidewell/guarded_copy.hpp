#pragma once
#include <cstddef>

// Copies out of (or into) a shared mapping that another process may truncate at any moment:
// touching a page past the new end of a tmpfs object raises SIGBUS, which would end the process.
// A SIGBUS raised inside a guarded copy ends only the copy. Safe without the GIL and from any
// thread; includes no Python header.
namespace tw {

// Runs `step(context)`; false if it touched a page that stopped being backed (then it ended
// there). `step` must not take locks, allocate or call Python.
bool run_guarded(void (*step)(void*), void* context) noexcept;

// Copies `len` bytes; false if the source or destination stopped being backed meanwhile (the
// destination then holds part of the bytes).
bool guarded_copy(void* dst, const void* src, size_t len) noexcept;

} // namespace tw
