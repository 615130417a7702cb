"""Codec under hostile values and bytes: no substitution, no swallowed exception, no mixed state,
no unreadable write, bounded memory and stack."""
import argparse
import datetime as dt
import decimal
import os
import pathlib
import subprocess
import sys
import textwrap
import tracemalloc
import uuid
from collections import ChainMap, Counter, OrderedDict

import pytest

from codec_access import decode, encode, mutating, roundtrip

UNSUPPORTED = "Received an unsupported datatype."
HERE = os.path.dirname(os.path.abspath(__file__))


def fd(hexbytes):
    return bytes.fromhex("fd" + hexbytes.replace(" ", ""))


# ---------------------------------------------------------------------------------------------
# A type's name never turns an object into another value


class employee:  # a name beginning with "e"
    pass


class Nums(int):  # an int whose name begins with "N"
    pass


class Node(dict):
    pass


class Unique:  # claims to be a UUID
    __class__ = property(lambda self: uuid.UUID)
    hex = "0" * 32


class decoy:  # claims to be a Decimal
    __class__ = property(lambda self: decimal.Decimal)

    def __str__(self):
        return "1"


class Cobalt(dict):  # claims to be a Counter
    __class__ = property(lambda self: Counter)


class Chained:  # claims to be a ChainMap
    __class__ = property(lambda self: ChainMap)
    maps = [{}]


class settable:  # claims to be a set
    __class__ = property(lambda self: set)

    def __iter__(self):
        return iter([1])


FORGED_ORDEREDDICT = type("collections.OrderedDict", (dict,), {})
FORGED_TIMEDELTA = type("datetime.timedelta", (dt.timedelta,), {})


@pytest.mark.parametrize("value", [
    enumerate([]), employee(), argparse.Namespace(a=1), Node(a=1), Nums(5), {"k": Nums(5)},
    Unique(), decoy(), Cobalt(a=1), Chained(), settable(),
    FORGED_ORDEREDDICT(a=1), FORGED_TIMEDELTA(1),
], ids=lambda v: type(v).__name__)
def test_objects_are_not_substituted_by_their_type_name(value):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)


def test_the_singletons_themselves_still_travel():
    assert encode([None, ..., NotImplemented]) == fd("1d 03 10 11 10")


Concrete = type(pathlib.Path())


class Purely(Concrete):  # a concrete path whose name begins "Pu"
    pass


class Pathish(pathlib.PurePosixPath):  # a pure path whose name does not
    pass


def test_path_family_follows_the_class():
    assert type(roundtrip(Purely("a"))) is Concrete
    assert type(roundtrip(Pathish("a"))) is type(pathlib.PurePath())


# ---------------------------------------------------------------------------------------------
# Exceptions raised by the value's own code


class Zone(dt.tzinfo):
    def __init__(self, error):
        self.error = error

    def utcoffset(self, when):
        raise self.error


class decimal_interrupting(decimal.Decimal):
    def __str__(self):
        raise KeyboardInterrupt


class UUIDInterrupted(uuid.UUID):
    @property
    def hex(self):
        raise KeyboardInterrupt


class list_sized(list):
    def __sizeof__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("value", [
    dt.datetime(2024, 1, 1, tzinfo=Zone(KeyboardInterrupt())),
    [dt.time(1, tzinfo=Zone(SystemExit()))],
    decimal_interrupting(1), UUIDInterrupted(int=5), list_sized(),
], ids=lambda v: type(v).__name__)
def test_base_exceptions_are_never_swallowed(value):
    with pytest.raises((KeyboardInterrupt, SystemExit)):
        encode(value)


def test_documented_error_keeps_the_hook_exception_as_cause():
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$") as info:
        encode({"at": dt.datetime(2024, 1, 1, tzinfo=Zone(ZeroDivisionError("tz")))})
    assert isinstance(info.value.__cause__, ZeroDivisionError)


# ---------------------------------------------------------------------------------------------
# A write never produces bytes that fail to decode


class decimal_oops(decimal.Decimal):
    def __str__(self):
        return "oops"


class decimal_spaced(decimal.Decimal):
    def __str__(self):
        return "2.50"


def test_decimal_subclass_text_is_checked():
    assert roundtrip(decimal_spaced("1")) == decimal.Decimal("2.50")
    with decimal.localcontext() as ctx:
        ctx.traps[decimal.InvalidOperation] = False  # would make "oops" a quiet NaN
        with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$") as info:
            encode([decimal_oops(1)])
    assert isinstance(info.value.__cause__, decimal.InvalidOperation)


# ---------------------------------------------------------------------------------------------
# A dict changed while it is written


def churn(target, delete, insert):
    """Deletes a written key, churns until the dict compacts, then inserts keeping the size."""
    def action():
        del target[delete]
        for i in range(64):
            target[f"tmp{i}"] = i
            del target[f"tmp{i}"]
        target[insert] = 0
    return action


@pytest.mark.parametrize("kind", [dict, OrderedDict, Counter])
def test_dict_changed_keeping_its_size_is_refused(kind):
    value = kind({"a": 1, "b": 2})
    value[mutating(churn(value, "a", "z"))] = 3
    for key in "cdef":
        value[key] = 4
    with pytest.raises(RuntimeError):
        encode(value)


def test_dict_value_replaced_after_it_was_written_is_refused():
    value = {"a": 1}
    value["hook"] = mutating(lambda: value.__setitem__("a", 2))
    with pytest.raises(RuntimeError):
        encode([value])


# ---------------------------------------------------------------------------------------------
# Decoding untrusted bytes: memory bounded by the input, at any depth


def nested_claims(head, min_item_bytes, levels=999, total=54_000, prefix=b""):
    """Containers inside each other, each announcing as many items as the bytes left allow."""
    data = bytearray(b"\xfd")
    for _ in range(levels):
        left = total - len(data) - 3 - len(prefix)
        count = min(0xFFFF, left // min_item_bytes)
        data += bytes([head]) + count.to_bytes(2, "little") + prefix
    data += b"\x10" * (total - len(data))
    return bytes(data)


@pytest.mark.parametrize("head, min_item_bytes, prefix", [
    (0x28, 1, b""),                          # tuples
    (0x1E, 1, b""),                          # lists
    (0x23, 1, b""),                          # sets
    (0x2D, 2, b"\x05\x00"),                  # dicts, key 0
    (0x46, 2, b"\x01\x01P\x01\x01a"),        # namedtuples: name P, field a
    (0x5A, 1, b""),                          # ChainMaps
])
def test_nested_counts_share_one_budget(head, min_item_bytes, prefix):
    data = nested_claims(head, min_item_bytes, prefix=prefix)
    tracemalloc.start()
    try:
        with pytest.raises((ValueError, TypeError)):
            decode(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 * len(data)


# ---------------------------------------------------------------------------------------------
# Small thread stacks: the deepest accepted value raises or decodes, never crashes

STACK_SCRIPT = textwrap.dedent("""
    import sys, threading
    from collections import namedtuple
    sys.path.insert(0, {tests!r})
    from codec_access import decode, decode_prot1, encode

    def deep(head, leaf=b"\\x10", marker=b"\\xfd", levels=999):
        return marker + head * levels + leaf

    named = b"\\x45\\x01\\x01\\x01P\\x01\\x01a"
    cases = [deep(bytes([code, 1])) for code in (0x1D, 0x27, 0x22, 0x31, 0x4A, 0x59)]
    cases += [deep(b"\\x2c\\x01\\x05\\x00"), deep(b"\\x4f\\x01\\x05\\x00"),
              deep(b"\\x54\\x01\\x05\\x00"), deep(named),
              b"\\xfd" + b"".join(b"\\x45\\x01\\x01\\x04N%03d\\x01\\x01a" % i for i in range(999))
              + b"\\x10"]
    cases += [deep(bytes([code, 1]), b"\\x0f", b"\\xfe") for code in (0x1A, 0x22, 0x1E, 0x2A)]
    cases += [deep(b"\\x26\\x01\\x04\\x00", b"\\x0f", b"\\xfe")]
    P = namedtuple("P", "a")
    value = None
    for i in range(800):
        value = P(value)
    for i in range(100):
        value = [value]

    outcome = []

    def work():
        for data in cases:
            try:
                (decode_prot1 if data[0] == 0xFE else decode)(data)
            except (ValueError, TypeError, RuntimeError):
                pass
        try:
            encode(value)
        except RuntimeError:
            pass
        outcome.append("ok")

    threading.stack_size({stack})
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    print(outcome[0] if outcome else "no result")
""")


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("stack", [256 * 1024, 128 * 1024])
def test_deepest_values_in_small_thread_stacks(stack):
    script = STACK_SCRIPT.format(tests=HERE, stack=stack)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


def test_deepest_value_on_the_default_stack():
    def from_python_frames(depth):  # the caller's own frames do not lower the limit
        return from_python_frames(depth - 1) if depth else decode(fd("2c 01 05 00" * 999 + "10"))

    back = from_python_frames(sys.getrecursionlimit() // 2)
    for _ in range(999):
        back = back[0]
    assert back is None
