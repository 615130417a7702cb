#include "tidewell/segment_error.hpp"
#include "common/py_ref.hpp"
#include "tidewell/segment_owner.hpp"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

struct StepMessage {
    const char* format; // one %s for the name, or none
    bool system_call;   // the status carries the errno of a failed system call
};

StepMessage message_of(Step step)
{
    switch (step) {
    case Step::EXISTS:
        return {"The memory address '%s' already exists.", false};
    case Step::NOT_CREATED:
    case Step::OPEN_AFTER_CREATE:
        return {"Failed to open shared memory address '%s' after creation.", true};
    case Step::OPEN:
        return {"Failed to open shared memory address '%s'.", true};
    case Step::ALLOCATE:
        return {"Failed to allocate for shared memory address '%s'.", true};
    case Step::MAP:
        return {"Failed to map shared memory address '%s'.", true};
    case Step::MUTEX_INIT:
        return {"Failed to initialize mutex for shared memory address '%s'.", true};
    case Step::GROUP:
        return {"Failed to give shared memory address '%s' to its group.", true};
    case Step::MODE:
        return {"Failed to set the mode of shared memory address '%s'.", true};
    case Step::RESIZE:
        return {"Failed to resize shared memory.", true};
    case Step::DAMAGED:
        return {"The shared memory address '%s' is damaged: its header claims more than it holds.",
                false};
    case Step::NOT_VALUE:
        return {"The shared memory address '%s' does not hold a value.", false};
    case Step::IS_FUNCTION:
        return {"The shared memory address '%s' holds a function, not a value.", false};
    case Step::NOT_FUNCTION:
        return {"The shared memory address '%s' does not hold a function.", false};
    case Step::CREATE_FUNCTION:
        return {"Failed to create memory address '%s'.", true};
    case Step::LOCK:
        // A pthread return code, and the message says what failed.
        return {"Failed to lock the shared memory address '%s'.", false};
    case Step::UNLINK:
        return {"Failed to unlink shared memory address '%s'.", true};
    case Step::TRUNCATED:
        return {"The shared memory address '%s' was truncated while it was being copied.", false};
    case Step::OK:
    case Step::RAISED:
    case Step::REFUSED:
        break;
    }
    return {"Failed to open shared memory address '%s'.", true};
}

} // namespace

PyObject* raise_status(Status status, const char* name)
{
    return raise_status_because(status, name, nullptr);
}

PyObject* raise_status_because(Status status, const char* name, const char* why)
{
    if (status.step == Step::RAISED) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a segment step failed without an exception");
        }
        return nullptr;
    }
    if (status.step == Step::REFUSED) {
        errno = status.err;
        if (raise_refused(name)) {
            return nullptr;
        }
        status.step = Step::OPEN;
    }
    StepMessage m = message_of(status.step);
    PyRef text(std::strchr(m.format, '%') != nullptr ? PyUnicode_FromFormat(m.format, name)
                                                     : PyUnicode_FromString(m.format));
    PyRef error(text ? PyObject_CallOneArg(PyExc_MemoryError, text.get()) : nullptr);
    if (!error) {
        return nullptr;
    }
    if (why != nullptr) {
        int err = status.err != 0 ? status.err : EEXIST;
        PyObject* cause = PyObject_CallFunction(PyExc_OSError, "iss", err, why, name);
        if (cause == nullptr) {
            return nullptr;
        }
        PyException_SetCause(error.get(), cause); // steals cause
    }
    else if (m.system_call && status.err != 0) {
        PyObject* cause =
            PyObject_CallFunction(PyExc_OSError, "is", status.err, std::strerror(status.err));
        if (cause == nullptr) {
            return nullptr;
        }
        PyException_SetCause(error.get(), cause); // steals cause
    }
    PyErr_SetObject(PyExc_MemoryError, error.get());
    return nullptr;
}

} // namespace tw
