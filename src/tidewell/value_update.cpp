// Read-modify-write of a shared value: the caller's function runs under the name's lock.
#include "tidewell/value_update.hpp"
#include "tidewell/value_lock.hpp"
#include "tidewell/watch_table.hpp"
#include "common/py_ref.hpp"

namespace tw {

// The lock is taken with the GIL released (other threads run, Ctrl-C ends the wait); the
// function then runs with the GIL and the lock held. Code it runs that reaches the same name in
// this thread fails with RuntimeError instead of waiting for itself. Nothing is written until
// the new value has been encoded completely.
PyObject* update_memory_impl(const char* name, PyObject* func, PyObject* fallback, PyObject* create,
                             bool key)
{
    // Declared before the lock so that they are released after it: dropping the old value can
    // run finalizers, which may use this name.
    PyRef current;
    PyRef result;
    HeldValue held;
    if (!(key ? hold_key(name, held) : hold_value(name, create, held))) {
        return nullptr;
    }
    current.reset(held_value_read(held, fallback));
    if (current) {
        result.reset(PyObject_CallOneArg(func, current.get()));
    }
    if (result && held_value_write(held, result.get())) {
        held.unlock();
        notify_watchers(name);
        return result.release();
    }
    if (key) {
        drop_unwritten_key(held);
    }
    return nullptr;
}

} // namespace tw
