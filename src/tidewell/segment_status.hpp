#pragma once
#include <cerrno>

// What a step of the segment layer reports: which step failed and the errno it saw (or a pthread
// return code, which uses the same numbers). Steps that run without the GIL return one of these
// and touch no Python state; raise_status (segment_error.hpp) turns it into the exception, once,
// at the entry point.
namespace tw {

enum class Step : unsigned char {
    OK,
    RAISED,            // an exception is already set (a signal handler raised, a refusal)
    EXISTS,            // the name is taken (no exception for create_memory: False)
    NOT_CREATED,       // the exclusive creation did not happen for another reason (errno)
    OPEN,              // opening an existing name
    OPEN_AFTER_CREATE, // opening the name this call could not create
    REFUSED,           // another user's object (the owner check's message)
    ALLOCATE,          // sizing or reserving a new object
    MAP,               // mapping an object
    MUTEX_INIT,        // initialising a new object's mutex
    GROUP,             // giving a new object its group
    MODE,              // giving a new object its mode
    RESIZE,            // growing a value object
    DAMAGED,           // a value header that claims more than the object holds
    NOT_VALUE,         // not a value object
    IS_FUNCTION,       // a function object where a value was expected
    NOT_FUNCTION,      // not a function object
    CREATE_FUNCTION,   // creating a function object failed otherwise
    LOCK,              // a segment mutex could not be had
    UNLINK,            // removing a name
    TRUNCATED,         // a value object was cut short while it was being copied
};

struct Status {
    Step step = Step::OK;
    int err = 0;

    bool ok() const noexcept { return step == Step::OK; }
    explicit operator bool() const noexcept { return ok(); }
};

constexpr Status STATUS_OK{};

// The step that failed, with the errno it left.
inline Status failed(Step step) noexcept
{
    return Status{step, errno};
}

inline Status failed(Step step, int err) noexcept
{
    return Status{step, err};
}

} // namespace tw
