// The private functions behind tidewell.Mapping: value operations on the names of a mapping's
// keys, which the module functions refuse, so that no plain name is ever one of a mapping's keys.
#include "tidewell/tidewell.hpp"
#include "tidewell/argument_rules.hpp"
#include "tidewell/segment_common.hpp"
#include "tidewell/segment_owner.hpp"
#include "tidewell/value_segment.hpp"
#include "tidewell/value_update.hpp"

#include <dirent.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using tw::PyRef;

static PyObject* key_argument_error()
{
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, tw::msg::KEY_OPERATION);
    return nullptr;
}

static bool parse_key_name(PyObject* arg, const char** name)
{
    tw::NameResult rc = tw::check_key_name(arg, name);
    if (rc == tw::NAME_NOT_STR) {
        key_argument_error();
    }
    return rc == tw::NAME_OK;
}

// _key_read(name, missing): the value, or `missing` when the key has none.
PyObject* tw::key_read(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    if (nargs != 2) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name)) {
        return nullptr;
    }
    return tw::read_value_or(name, args[1]);
}

// _key_write(name, value, mode) -> True, creating the key with permissions `mode`.
PyObject* tw::key_write(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    mode_t mode;
    if (nargs != 3 || !PyLong_Check(args[2])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name) || !tw::parse_create_mode(args[2], &mode)) {
        return nullptr;
    }
    tw::CreationMode scope(mode);
    return tw::write_key_impl(name, args[1]);
}

// _key_update(name, func, default, mode) -> func(current), as update_memory.
PyObject* tw::key_update(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    mode_t mode;
    if (nargs != 4 || !PyCallable_Check(args[1]) || !PyLong_Check(args[3])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name) || !tw::parse_create_mode(args[3], &mode)) {
        return nullptr;
    }
    // The function runs arbitrary code: keep what it could otherwise free.
    PyRef held_name = PyRef::borrow(args[0]);
    PyRef held_func = PyRef::borrow(args[1]);
    PyRef held_default = PyRef::borrow(args[2]);
    tw::CreationMode scope(mode);
    return tw::update_memory_impl(name, held_func.get(), held_default.get(), nullptr, true);
}

// _key_take(name, missing, decode): removes the key and returns its value (True when `decode`
// is false), or `missing` when it had none.
PyObject* tw::key_take(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* name;
    if (nargs != 3 || !PyBool_Check(args[2])) {
        return key_argument_error();
    }
    if (!parse_key_name(args[0], &name)) {
        return nullptr;
    }
    return tw::take_key_impl(name, args[1], args[2] == Py_True);
}

namespace {

// The tails of the directory entries that start with a head, one after another, each ended by
// its NUL. Filled without the GIL.
struct NameTails {
    char* bytes = nullptr;
    size_t len = 0;
    size_t cap = 0;
    int error = 0; // errno of a failed step

    NameTails() = default;
    NameTails(const NameTails&) = delete;
    NameTails& operator=(const NameTails&) = delete;
    ~NameTails() { std::free(bytes); }

    bool append(const char* tail, size_t n)
    {
        if (cap - len < n + 1) {
            size_t grown = cap + cap / 2 + n + 1 + 4096;
            auto* more = static_cast<char*>(std::realloc(bytes, grown));
            if (more == nullptr) {
                error = ENOMEM;
                return false;
            }
            bytes = more;
            cap = grown;
        }
        std::memcpy(bytes + len, tail, n + 1);
        len += n + 1;
        return true;
    }
};

// One pass over the shared-memory directory; no Python API.
void scan_heads(const char* head, size_t head_len, NameTails& out)
{
    DIR* dir = opendir(tw::SHM_DIR);
    if (dir == nullptr) {
        out.error = errno;
        return;
    }
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, head, head_len) == 0 &&
            !out.append(entry->d_name + head_len, std::strlen(entry->d_name + head_len))) {
            break;
        }
        errno = 0;
    }
    if (out.error == 0 && errno != 0) {
        out.error = errno;
    }
    closedir(dir);
}

} // namespace

// _key_names(head) -> list of str: what follows `head` in the names of the shared-memory
// directory that start with it. `head` must start with the key names' prefix, so nothing but
// a mapping's names is listed; names that are not UTF-8 are no key's and are left out.
PyObject* tw::key_names(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    const char* head;
    if (nargs != 1) {
        return key_argument_error();
    }
    // A head is the start of a key name, and checked as one.
    if (!parse_key_name(args[0], &head)) {
        return nullptr;
    }
    size_t head_len = std::strlen(head);
    NameTails tails;
    Py_BEGIN_ALLOW_THREADS
        scan_heads(head, head_len, tails);
    Py_END_ALLOW_THREADS
    if (tails.error != 0) {
        errno = tails.error;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, tw::SHM_DIR);
    }
    PyRef list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (size_t at = 0; at < tails.len;) {
        size_t n = std::strlen(tails.bytes + at);
        PyRef tail(PyUnicode_DecodeUTF8(tails.bytes + at, static_cast<Py_ssize_t>(n), nullptr));
        at += n + 1;
        if (!tail) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (PyList_Append(list.get(), tail.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}
