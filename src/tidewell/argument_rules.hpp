#pragma once
#include <Python.h>
#include <cstddef>

// The argument messages of the module functions, written once: the functions raise them, and the
// package's Python stores read them from the module (`_messages`) instead of repeating them.
namespace tw::msg {
inline constexpr char CREATE_MEMORY[] = "Expected at least the name (str) argument.";
inline constexpr char REMOVE_MEMORY[] = "Expected at least the 'name' (str) argument.";
inline constexpr char ONE_NAME[] = "Expected 1 'str' type.";
inline constexpr char WRITE_MEMORY[] =
    "Expected at least the 'name' (str) and 'value' (any) arguments.";
inline constexpr char CREATE_FUNCTION[] = "Expected a 'str' and 'callable' type.";
inline constexpr char CALL_FUNCTION[] = "Expected a 'str' and 'tuple' type.";
inline constexpr char UPDATE_MEMORY[] =
    "Expected at least the 'name' (str) and 'func' (callable) arguments.";
inline constexpr char TRUST[] =
    "Expected 'uids' and 'gids' as iterables of user and group ids (int).";
inline constexpr char DUMPS[] = "Expected 1 value (any) argument.";
inline constexpr char LOADS[] = "Expected 1 'bytes-like' argument.";
inline constexpr char PREALLOC_TOO_LARGE[] = "The given pre-allocate size is too large.";
inline constexpr char BAD_MODE[] =
    "The mode must be permission bits (at most 0o777) that let the owner read and write (0o600).";
inline constexpr char KEY_OPERATION[] =
    "Expected a mapping key's name (str) and the arguments of the key operation.";
inline constexpr char NULL_FROM_FUNCTION[] =
    "Received a NULL message from the function. This is likely because the function returned "
    "arguments of too large size.";
} // namespace tw::msg

namespace tw {

// The largest `prealloc_size` create_memory accepts: the object also holds its header.
extern const size_t MAX_PREALLOC_SIZE;

// `_check_name(name)`: the name check every module function applies, for stores written in
// Python. Returns the name as the module uses it (UTF-8 bytes, leading '/' dropped), None when
// `name` is not a str the module takes (the caller raises its own argument message), or raises
// the module's ValueError saying what is wrong with the name.
PyObject* check_name(PyObject* self, PyObject* name);

// `_check_key_name(name)`: the same for the name of a mapping's key, which must start with the
// reserved prefix of key names that `_check_name` refuses.
PyObject* check_key_name(PyObject* self, PyObject* name);

// `_check_mode(mode)`: the `mode=` rule of the creating functions. Returns the mode, None when
// `mode` is not an int (an argument error of the caller), or raises the module's ValueError.
PyObject* check_mode(PyObject* self, PyObject* mode);

// Adds `_messages` (a read-only mapping of the messages above, by function), `_limits` and
// `_KEY_NAME_PREFIX` (the reserved prefix of a mapping's key names) to the module. 0, or -1 with an
// exception set.
int add_argument_rules(PyObject* module);

} // namespace tw
