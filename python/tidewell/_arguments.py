"""Argument rules of the seven operations, for stores written in Python.

The native functions parse with the C API and replace every parser error by one ValueError per
function; these helpers accept and refuse exactly the same calls with the same messages, so a
store in Python is a drop-in for the module functions.
"""

from .tidewell import _KEY_NAME_PREFIX

ABSENT = object()  # an optional argument that was left out (not the same as False)

CREATE_MEMORY = "Expected at least the name (str) argument."
REMOVE_MEMORY = "Expected at least the 'name' (str) argument."
READ_MEMORY = "Expected 1 'str' type."
WRITE_MEMORY = "Expected at least the 'name' (str) and 'value' (any) arguments."
CREATE_FUNCTION = "Expected a 'str' and 'callable' type."
REMOVE_FUNCTION = "Expected 1 'str' type."
CALL_FUNCTION = "Expected a 'str' and 'tuple' type."
UPDATE_MEMORY = "Expected at least the 'name' (str) and 'func' (callable) arguments."

PREALLOC_TOO_LARGE = "The given pre-allocate size is too large."
_MAX_PREALLOC = (1 << 64) - 1 - 48  # the native object also holds its 48-byte header


_KEY_NAME_HEAD = _KEY_NAME_PREFIX.encode()
RESERVED_KEY_NAME = f"Shared memory names starting with '{_KEY_NAME_PREFIX}' are reserved."


class KeyName(str):
    """The name of a Mapping's key: the only names that may start with the reserved prefix."""

    __slots__ = ()


def valid_name(name):
    """The UTF-8 bytes of a str name, or None (the caller raises its argument message).

    An empty name, a NUL character and the reserved prefix of the Mapping's key names are
    refused as on shared memory, with the same messages, so that a name that works on one store
    works on the other as far as Redis allows, and no plain name is ever a Mapping's key.
    """
    if not isinstance(name, str):
        return None
    try:
        key = name.encode()
    except UnicodeEncodeError:
        return None
    if not key:
        raise ValueError("A shared memory name must not be empty.")
    if b"\0" in key:
        raise ValueError("A shared memory name must not contain a NUL character.")
    if key.startswith(_KEY_NAME_HEAD) and type(name) is not KeyName:
        raise ValueError(RESERVED_KEY_NAME)
    return key


def parse(message, args, kwargs, keywords, required):
    """Positional and keyword arguments by the C parser's rules; any failure is ValueError."""
    if len(args) > len(keywords):
        raise ValueError(message)
    values = list(args) + [ABSENT] * (len(keywords) - len(args))
    for key, value in kwargs.items():
        try:
            index = keywords.index(key)
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


def create_memory(args, kwargs):
    """-> (encoded name, name, prealloc size, error_if_exists is True)"""
    name, size, error_if_exists = parse(
        CREATE_MEMORY, args, kwargs, ("name", "prealloc_size", "error_if_exists"), 1)
    key = valid_name(name)
    if key is None or (size is not ABSENT and not isinstance(size, int)):
        raise ValueError(CREATE_MEMORY)
    check_flag(error_if_exists, CREATE_MEMORY)
    if size is ABSENT:
        size = 0
    elif not 0 <= size <= _MAX_PREALLOC:
        raise ValueError(PREALLOC_TOO_LARGE)
    return key, name, size, error_if_exists is True


def remove_memory(args, kwargs):
    """-> (encoded name, name, throw_error is True)"""
    name, throw_error = parse(REMOVE_MEMORY, args, kwargs, ("name", "throw_error"), 1)
    key = valid_name(name)
    if key is None:
        raise ValueError(REMOVE_MEMORY)
    check_flag(throw_error, REMOVE_MEMORY)
    return key, name, throw_error is True


def write_memory(args, kwargs):
    """-> (encoded name, name, value, create): create is False only when passed as False"""
    if len(args) == 2 and not kwargs:  # the common call, without the general parser
        (name, value), create = args, ABSENT
    else:
        name, value, create = parse(WRITE_MEMORY, args, kwargs, ("name", "value", "create"), 2)
    key = valid_name(name)
    if key is None:
        raise ValueError(WRITE_MEMORY)
    check_flag(create, WRITE_MEMORY)
    return key, name, value, create is not False


def update_memory(args, kwargs):
    """-> (encoded name, name, func, default, create): create is False only when passed as False"""
    name, func, default, create = parse(
        UPDATE_MEMORY, args, kwargs, ("name", "func", "default", "create"), 2)
    if not callable(func):
        raise ValueError(UPDATE_MEMORY)
    check_flag(create, UPDATE_MEMORY)
    key = valid_name(name)
    if key is None:
        raise ValueError(UPDATE_MEMORY)
    return key, name, func, None if default is ABSENT else default, create is not False


def one_name(function, message, args, kwargs):
    no_keywords(function, kwargs)
    key = valid_name(args[0]) if len(args) == 1 else None
    if key is None:
        raise ValueError(message)
    return key, args[0]


def create_function(args, kwargs):
    no_keywords("create_function", kwargs)
    key = valid_name(args[0]) if len(args) == 2 else None
    if key is None or not callable(args[1]):
        raise ValueError(CREATE_FUNCTION)
    return key, args[0], args[1]


def call_function(args, kwargs):
    no_keywords("call_function", kwargs)
    key = valid_name(args[0]) if len(args) == 2 else None
    if key is None or not isinstance(args[1], tuple):
        raise ValueError(CALL_FUNCTION)
    return key, args[0], args[1]
