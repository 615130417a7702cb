// Where this thread's stack ends, and the error of a value nested too deeply for it.
#include "valpack/common/stack_guard.hpp"
#include <pthread.h>

namespace zeb2 {

static thread_local uintptr_t thread_stack_bottom = 0;

__attribute__((noinline, cold)) static uintptr_t find_stack_bottom()
{
    uintptr_t bottom = 1; // unknown bounds: never refuse
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr) {
            bottom = reinterpret_cast<uintptr_t>(low);
        }
        pthread_attr_destroy(&attr);
    }
    thread_stack_bottom = bottom;
    return bottom;
}

uintptr_t stack_bottom()
{
    uintptr_t bottom = thread_stack_bottom;
    return bottom != 0 ? bottom : find_stack_bottom();
}

__attribute__((cold)) PyObject* raise_stack_exhausted()
{
    PyErr_SetString(PyExc_RecursionError,
                    "The value is nested too deeply for the stack of this thread.");
    return nullptr;
}

} // namespace zeb2
