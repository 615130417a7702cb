"""Argument rules of the operations, for stores written in Python.

The messages, the name rule, the `mode=` rule and the limits come from the native module (its
private `_messages`, `_check_name`, `_check_mode` and `_limits`), so they cannot drift from what
the module functions raise. What is left here is the shape of each call as the C parser sees it:
which arguments are positional, which keywords exist, which are flags (exactly True or False).
A store in Python takes every argument the module functions take, and refuses the same calls
with the same exceptions.
"""
from .tidewell import _check_key_name, _check_mode, _check_name, _limits, _messages

ABSENT = object()  # an optional argument that was left out (not the same as False)

CREATE_MEMORY = _messages["create_memory"]
REMOVE_MEMORY = _messages["remove_memory"]
READ_MEMORY = _messages["read_memory"]
WRITE_MEMORY = _messages["write_memory"]
CREATE_FUNCTION = _messages["create_function"]
REMOVE_FUNCTION = _messages["remove_function"]
CALL_FUNCTION = _messages["call_function"]
UPDATE_MEMORY = _messages["update_memory"]
PREALLOC_TOO_LARGE = _messages["prealloc_size"]
NULL_FROM_FUNCTION = _messages["null_from_function"]
_MAX_PREALLOC = _limits["prealloc_size"]


class KeyName(str):
    """The name of a Mapping's key: the only names that may start with the reserved prefix."""

    __slots__ = ()


def valid_name(name):
    """The name as the module uses it (UTF-8 bytes, a leading '/' dropped), or None for what is
    not a str the module takes (the caller raises its argument message). A str that cannot name
    an object raises the module's own ValueError; so does the reserved prefix of a Mapping's key
    names, unless the name is a KeyName."""
    return _check_key_name(name) if type(name) is KeyName else _check_name(name)


def parse(message, args, kwargs, keywords, required, keyword_only=()):
    """Positional and keyword arguments by the C parser's rules; any failure is ValueError."""
    if len(args) > len(keywords):
        raise ValueError(message)
    names = keywords + keyword_only
    values = list(args) + [ABSENT] * (len(names) - len(args))
    for key, value in kwargs.items():
        try:
            index = names.index(key)
        except ValueError:
            raise ValueError(message) from None
        if values[index] is not ABSENT:
            raise ValueError(message)
        values[index] = value
    if any(value is ABSENT for value in values[:required]):
        raise ValueError(message)
    return values


def no_keywords(function, kwargs):
    if kwargs:
        raise TypeError(f"{function}() takes no keyword arguments")


def check_flag(flag, message):
    if flag is not ABSENT and flag is not True and flag is not False:
        raise ValueError(message)


def check_int(value, message):
    if value is not ABSENT and not isinstance(value, int):
        raise ValueError(message)


def check_mode(mode):
    """`mode=` of the functions that create; where a store has no permissions, it is checked and
    then has no effect."""
    if mode is not ABSENT:
        _check_mode(mode)


def name_key(name, message):
    key = valid_name(name)
    if key is None:
        raise ValueError(message)
    return key


def create_memory(args, kwargs):
    """-> (encoded name, name, prealloc size, error_if_exists is True)"""
    name, size, error_if_exists, mode = parse(
        CREATE_MEMORY, args, kwargs, ("name", "prealloc_size", "error_if_exists"), 1, ("mode",))
    check_int(size, CREATE_MEMORY)
    check_flag(error_if_exists, CREATE_MEMORY)
    check_int(mode, CREATE_MEMORY)
    key = name_key(name, CREATE_MEMORY)
    check_mode(mode)
    if size is ABSENT:
        size = 0
    elif not 0 <= size <= _MAX_PREALLOC:
        raise ValueError(PREALLOC_TOO_LARGE)
    return key, name, size, error_if_exists is True


def remove_memory(args, kwargs):
    """-> (encoded name, name, throw_error is True)"""
    name, throw_error = parse(REMOVE_MEMORY, args, kwargs, ("name", "throw_error"), 1)
    check_flag(throw_error, REMOVE_MEMORY)
    return name_key(name, REMOVE_MEMORY), name, throw_error is True


def write_memory(args, kwargs):
    """-> (encoded name, name, value, create): create is False only when passed as False"""
    if len(args) == 2 and not kwargs:  # the common call, without the general parser
        (name, value), create, mode = args, ABSENT, ABSENT
    else:
        name, value, create, mode = parse(
            WRITE_MEMORY, args, kwargs, ("name", "value", "create"), 2, ("mode",))
        check_flag(create, WRITE_MEMORY)
        check_int(mode, WRITE_MEMORY)
    key = name_key(name, WRITE_MEMORY)
    check_mode(mode)
    return key, name, value, create is not False


def update_memory(args, kwargs):
    """-> (encoded name, name, func, default, create): create is False only when passed as False"""
    name, func, default, create = parse(
        UPDATE_MEMORY, args, kwargs, ("name", "func", "default", "create"), 2)
    if not callable(func):
        raise ValueError(UPDATE_MEMORY)
    check_flag(create, UPDATE_MEMORY)
    key = name_key(name, UPDATE_MEMORY)
    return key, name, func, None if default is ABSENT else default, create is not False


def one_name(function, message, args, kwargs):
    no_keywords(function, kwargs)
    if len(args) != 1:
        raise ValueError(message)
    return name_key(args[0], message), args[0]


def create_function(args, kwargs):
    """-> (encoded name, name, func, errors, shared); `mode=`, `errors=` and `shared=` are the
    keywords, as on shared memory"""
    if set(kwargs) - {"mode", "errors", "shared"}:
        no_keywords("create_function", kwargs)
    mode = kwargs.get("mode", ABSENT)
    errors = kwargs.get("errors", "raise")
    shared = kwargs.get("shared", False)
    if len(args) != 2 or not callable(args[1]):
        raise ValueError(CREATE_FUNCTION)
    check_int(mode, CREATE_FUNCTION)
    key = name_key(args[0], CREATE_FUNCTION)
    check_mode(mode)
    if not isinstance(errors, str) or errors not in ("raise", "reply"):
        raise ValueError(f"create_function() errors must be 'raise' or 'reply', not {errors!r}")
    if shared is not True and shared is not False:
        raise ValueError(f"create_function() shared must be True or False, not {shared!r}")
    return key, args[0], args[1], errors, shared


def call_function(args, kwargs):
    no_keywords("call_function", kwargs)
    if len(args) != 2 or not isinstance(args[1], tuple):
        raise ValueError(CALL_FUNCTION)
    return name_key(args[0], CALL_FUNCTION), args[0], args[1]
