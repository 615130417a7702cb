// Read-modify-write of a shared value: the caller's function runs under the name's lock.
#include "tidewell/value_update.hpp"
#include "tidewell/value_lock.hpp"
#include "common/py_ref.hpp"

namespace tw {

namespace {

// Unlocks the segment on every exit, after whatever the function or the encoder raised.
class HeldValueRef {
  public:
    explicit HeldValueRef(HeldValue* held) noexcept : held_(held) {}
    HeldValueRef(const HeldValueRef&) = delete;
    HeldValueRef& operator=(const HeldValueRef&) = delete;
    ~HeldValueRef() { release_value(held_); }

    HeldValue* get() const noexcept { return held_; }
    explicit operator bool() const noexcept { return held_ != nullptr; }

  private:
    HeldValue* held_;
};

} // namespace

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
    HeldValueRef held(key ? hold_key(name) : hold_value(name, create));
    if (!held) {
        return nullptr;
    }
    current.reset(held_value_read(held.get(), fallback));
    if (current) {
        result.reset(PyObject_CallOneArg(func, current.get()));
    }
    if (result && held_value_write(held.get(), result.get())) {
        return result.release();
    }
    if (key) {
        drop_unwritten_key(held.get());
    }
    return nullptr;
}

} // namespace tw
