"""Malformed protocol 2 input: every damaged byte string ends in an exception, never a crash."""
import os
import random
import subprocess
import sys
import textwrap
import tracemalloc
from collections import ChainMap, Counter, OrderedDict, deque, namedtuple

import pytest

from codec_access import damage, decode, encode

INVALID = "Likely received an invalid bytes object: "
OFFSET = INVALID + "offset exceeded max limit."
WIDTH = INVALID + "a size field states an impossible width."

Rec = namedtuple("Rec", ["name", "tags", "extra"])

# A damaged input ends in ValueError: the decoder's own "Likely received an invalid bytes
# object: ...", a UnicodeDecodeError, or "Failed to ..." for a library value that cannot be
# rebuilt (which also covers a range cut off inside its three ints).
RANGE_FAILED = "Failed to recreate a range object."


def sample_values():
    values = [
        "text",
        "é" * 40,
        -(2**70),
        3.5,
        1 - 2j,
        b"\x00bytes",
        bytearray(b"ba"),
        [1, [2, (3, None)], {"k": {4, 5}}],
        {"cfg": {"port": 80, "debug": True, "ratio": 0.5, "name": "x" * 300}},
        (frozenset({1, 2}), deque([..., False])),
        Rec("r", ["a", "b"], {"n": 1}),
        [Counter("hello"), OrderedDict(a=[1], b=()), ChainMap({1: 2}, {"x": None})],
        [Rec("a", (), Rec("b", [], None))] * 2,
    ]
    try:
        import datetime
        import decimal
        import pathlib
        import uuid

        encode(datetime.date(2020, 1, 2))
    except ValueError:
        return values
    values.append(
        [
            datetime.datetime(2020, 1, 2, 3, 4, 5, 6),
            datetime.date(2021, 5, 6),
            datetime.time(7, 8),
            datetime.timedelta(days=-3, seconds=5),
            uuid.UUID(int=12345),
            decimal.Decimal("-1.25E+7"),
            range(1, 100, 7),
            pathlib.Path("/tmp/x"),
            pathlib.PurePath("a/b"),
            memoryview(b"mv"),
        ]
    )
    return values


ENCODINGS = [encode(v) for v in sample_values()]
HAVE_LIBRARY_TYPES = len(ENCODINGS) > 13
LIBRARY_FAMILIES = {"memoryview", "Path", "PurePath"}


@pytest.mark.parametrize("data", ENCODINGS, ids=range(len(ENCODINGS)))
def test_every_truncation_fails_with_the_offset_error(data):
    for cut in range(1, len(data)):
        error = damage(decode, data[:cut])
        assert str(error) in (OFFSET, RANGE_FAILED), cut
        if str(error) == RANGE_FAILED and error.__cause__ is not None:
            assert str(error.__cause__) == OFFSET
    assert decode(data) is not None or data == b"\xfd\x10"


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        choice = rng.random()
        pos = rng.randrange(1, len(data)) if len(data) > 1 else 1
        if choice < 0.6 and len(data) > 1:
            data[pos] = rng.randrange(256)
        elif choice < 0.8:
            data.insert(pos, rng.randrange(256))
        elif len(data) > 2:
            del data[pos]
    return bytes(data)


def test_random_mutations_never_crash():
    rng = random.Random(20240611)
    outcomes = {"value": 0, "error": 0}
    for _ in range(4000):
        data = mutate(rng, rng.choice(ENCODINGS))
        try:
            decode(data)
        except ValueError:
            outcomes["error"] += 1
        else:
            outcomes["value"] += 1
    # Both kinds of outcome occur, so the mutations reach past the first byte checks.
    assert outcomes["value"] > 100 and outcomes["error"] > 100


# Families whose count or length is taken from the header, by their E datachar.
FAMILIES = {
    "str": 0x00,
    "bytes": 0x12,
    "bytearray": 0x17,
    "list": 0x1C,
    "set": 0x21,
    "tuple": 0x26,
    "dict": 0x2B,
    "frozenset": 0x30,
    "memoryview": 0x3A,
    "namedtuple": 0x44,
    "deque": 0x49,
    "Counter": 0x4E,
    "OrderedDict": 0x53,
    "ChainMap": 0x58,
    "Path": 0x5D,
    "PurePath": 0x62,
}


def huge_headers(empty):
    count = 0x7FFF_FFFF_FFFF_FFFF
    yield bytes([0xFD, empty + 3, 8]) + count.to_bytes(8, "little") + b"\x10"  # 12 bytes
    yield bytes([0xFD, empty + 4, 1, 8]) + count.to_bytes(8, "little")
    yield bytes([0xFD, empty + 3, 4]) + (2**31).to_bytes(4, "little") + b"\x10" * 5
    yield bytes([0xFD, empty + 2, 0xFF, 0xFF, 0x10])


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_huge_counts_fail_before_allocating(family):
    if family in LIBRARY_FAMILIES and not HAVE_LIBRARY_TYPES:
        pytest.skip("library value types are not built yet")
    tracemalloc.start()
    try:
        for data in huge_headers(FAMILIES[family]):
            with pytest.raises(ValueError, match=f"^{OFFSET}$"):
                decode(data)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_huge_integer_length_fails_before_allocating():
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(bytes([0xFD, 0x0B, 8]) + b"\xff" * 7 + b"\x7f" + b"\x00")


@pytest.mark.parametrize(
    "data",
    [
        "1f 00 10",  # D1 with K = 0
        "1f 09 01 00 00 00 00 00 00 00 00 10",  # K above 8
        "20 00 10",  # D2 with J = 0
        "20 09 01 00 00 00 00 00 00 00 00 10",  # J above 8
        "20 01 00 10",  # D2 whose K field is 0
        "20 01 09 01 00 00 00 00 00 00 00 00 10",  # D2 whose K is above 8
        "03 00",
        "2e ff 10",
        "0b 00 10",
        "0b 01 00 10",
    ],
)
def test_impossible_widths(data):
    with pytest.raises(ValueError, match=f"^{WIDTH}$"):
        decode(bytes.fromhex("fd" + data))


@pytest.mark.parametrize(
    "data", ["1f", "20", "20 02 01", "1f 02 01", "0a", "0a 03 01", "0b 01", "0b 01 05 00"]
)
def test_width_fields_cut_short(data):
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(bytes.fromhex("fd" + data))


def deep(prefix, leaf, depth):
    return b"\xfd" + prefix * depth + leaf


NAMED_LEVEL = bytes.fromhex("45 01 01 01 50 01 01 61")
DEEP_INPUTS = {
    "lists": (b"\x1d\x01", b"\x1c"),
    "dict values": (b"\x2c\x01\x10", b"\x10"),
    "dict keys": (b"\x2c\x01", b"\x26\x10"),
    "frozensets": (b"\x31\x01", b"\x30"),
    "namedtuples": (NAMED_LEVEL, b"\x10"),
    "chainmaps": (b"\x59\x01", b"\x2b"),
}


@pytest.mark.parametrize("kind", sorted(DEEP_INPUTS))
def test_deep_nesting_input_raises(kind):
    prefix, leaf = DEEP_INPUTS[kind]
    with pytest.raises((ValueError, RecursionError)):
        decode(deep(prefix, leaf, 100_000))


def test_decode_depth_edge():
    # 1000 nested values decode (999 lists and the innermost one); one more fails.
    assert decode(deep(b"\x1d\x01", b"\x1c", 999)) is not None
    with pytest.raises(ValueError, match=f"^{INVALID}exceeded the maximum value nest depth.$"):
        decode(deep(b"\x1d\x01", b"\x1c", 1000))


ADVERSARIAL_SCRIPT = textwrap.dedent(
    """
    import resource, sys
    sys.path.insert(0, {tests!r})
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    from codec_access import decode
    inputs = []
    count = (0x7FFF_FFFF_FFFF_FFFF).to_bytes(8, "little")
    for empty in {families!r}:
        inputs.append(bytes([0xFD, empty + 3, 8]) + count + b"\\x10")
        inputs.append(bytes([0xFD, empty + 4, 1, 8]) + count)
        inputs.append(bytes([0xFD, empty + 3, 4]) + (2**32 - 1).to_bytes(4, "little") + b"\\x10" * 64)
    inputs.append(bytes([0xFD, 0x0B, 8]) + b"\\xff" * 7 + b"\\x7f")
    for prefix in (b"\\x1d\\x01", b"\\x2c\\x01", b"\\x45\\x01\\x01\\x01\\x50\\x01\\x01\\x61", b"\\x59\\x01"):
        inputs.append(b"\\xfd" + prefix * 100000 + b"\\x10")
    inputs.append(b"\\xfd" + b"\\x1e\\xff\\xff" + b"\\x1c" * 65535)
    for data in inputs:
        try:
            decode(data)
        except (ValueError, TypeError, RecursionError):
            pass
    print("survived", len(inputs))
    """
)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves address space")
def test_adversarial_inputs_in_a_memory_limited_process():
    script = ADVERSARIAL_SCRIPT.format(
        tests=os.path.dirname(__file__), families=sorted(FAMILIES.values())
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("survived ")
