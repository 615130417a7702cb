"""Reach the codec's exported entry points (not part of the module's method table) via ctypes."""
import ctypes

import tidewell

_lib = ctypes.PyDLL(tidewell.tidewell.__file__)


def _bind(symbol, restype, argtypes):
    func = _lib[symbol]  # a fresh function object: each binding keeps its own types
    func.restype = restype
    func.argtypes = argtypes
    return func


encode = _bind("from_value", ctypes.py_object, [ctypes.py_object])
decode = _bind("to_value", ctypes.py_object, [ctypes.py_object])
decode_prot1 = _bind("to_value_prot1", ctypes.py_object, [ctypes.py_object])
# from_value given no object at all (NULL), as a server does for a call that is not a tuple.
encode_nothing = _bind("from_value", ctypes.py_object, [ctypes.c_void_p])
call_shared_function = _bind("call_shared_function", ctypes.py_object,
                             [ctypes.c_char_p, ctypes.py_object])


def roundtrip(value):
    return decode(encode(value))


def class_global(name):
    """Borrowed value of one of the exported class globals."""
    return ctypes.py_object.in_dll(_lib, name).value


# Python code run while an item is converted can change the container being written. The
# namedtuple test looks up "_fields", so a tuple subclass with a "_fields" property is a
# legitimate hook; a "__class__" property is another (the instance tests consult it).
def mutating(action):
    class Sneaky(tuple):
        @property
        def _fields(self):
            action()
            return ()

    return Sneaky()


UNHASHABLE = "Likely received an invalid bytes object: a dict key or set item is unhashable."
TIMEDELTA_RANGE = "Likely received an invalid bytes object: a timedelta is out of range."


def damage(read, data):
    """Decodes damaged bytes with `read` and returns the exception: always a ValueError, so any
    other type propagates and fails the test. The reason, when it is another error (an
    unhashable key, a class refusing its payload), is the __cause__."""
    try:
        read(data)
    except ValueError as exc:
        return exc
    raise AssertionError(f"{data!r} decoded")
