#pragma once
#include <Python.h>
#include <cstdint>

// The stack reserve of the codec: every nesting level of the encoder and of both decoders checks
// that the thread's stack has room left, so a thread with a small stack gets an exception instead
// of a crash.
namespace zeb2 {

// Stack kept free below the deepest codec frame for what a step calls there: a class factory
// compiling code, a constructor written in Python, a garbage collection running finalizers.
constexpr uintptr_t STACK_RESERVE = 32 * 1024;

// Lowest address of this thread's stack (found once per thread), or 1 when it is unknown.
uintptr_t stack_bottom();

// False once the caller's frame lies within STACK_RESERVE of the bottom of the thread's stack.
// A frame outside the thread's stack (a coroutine library's own stack) is never refused.
__attribute__((always_inline)) inline bool stack_left(uintptr_t bottom)
{
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - bottom >= STACK_RESERVE;
}

// Raises the RecursionError of a thread whose stack is nearly used up; returns NULL.
PyObject* raise_stack_exhausted();

} // namespace zeb2
