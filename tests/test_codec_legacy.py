"""Reading protocol 1 byte strings (marker 0xFE), through to_value and to_value_prot1."""
import datetime as dt
import decimal
import gc
import os
import random
import struct
import subprocess
import sys
import textwrap
import uuid

import pytest

from codec_access import TIMEDELTA_RANGE, UNHASHABLE, damage, decode, decode_prot1

OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."
TOO_DEEP = "Likely received an invalid bytes object: exceeded the maximum value nest depth."
DECODERS = pytest.mark.parametrize("read", [decode, decode_prot1], ids=["to_value", "prot1"])


def fe(hextext):
    return bytes.fromhex("FE" + hextext)


def text(payload):
    return payload.encode().hex()


VECTORS = [
    # str
    ("00", ""), ("01 02 6869", "hi"), ("02 0200 6869", "hi"), ("03 00", ""),
    ("03 01 02 6869", "hi"), ("03 08 0200000000000000 6869", "hi"),
    ("01 02 C3A9", "é"),
    # int
    ("04 FF", -1), ("04 7F", 127), ("05 0001", 256), ("06 000080", -(2**23)),
    ("07 FFFFFF7F", 2**31 - 1), ("08 0000000001", 2**32), ("09 00", 0), ("0A 0000", 0),
    ("09 02 0080", -32768), ("09 09 000000000000000080", -(2**71)),
    ("0A 0900 000000000000000001", 2**64),
    # fixed values
    ("0B 000000000000F03F", 1.0), ("0C", True), ("0D", False),
    ("0E 000000000000F03F 00000000000000C0", complex(1, -2)), ("0F", None), ("10", ...),
    # the E codes of the byte families give the other family's type
    ("11", bytearray()), ("15", b""),
    ("12 03 616263", b"abc"), ("13 0300 616263", b"abc"), ("14 01 03 616263", b"abc"),
    ("14 00", b""), ("16 01 61", bytearray(b"a")), ("17 0100 61", bytearray(b"a")),
    ("18 02 0100 61", bytearray(b"a")), ("18 00", bytearray()),
    # containers
    ("19", []), ("1A 02 0401 0402", [1, 2]), ("1B 0200 0401 0402", [1, 2]),
    ("1C 01 02 0401 0402", [1, 2]), ("1C 00", []),
    ("1D", set()), ("1E 02 0401 0401", {1}), ("1F 0100 0F", {None}), ("20 00", set()),
    ("20 01 01 00", {""}),
    ("21", ()), ("22 01 00", ("",)), ("23 0200 0C 0D", (True, False)), ("24 00", ()),
    ("25", {}), ("26 01 01016104 01", {"a": 1}), ("26 02 0101610401 0101610402", {"a": 2}),
    ("27 0100 0F 10", {None: ...}), ("28 01 01 0401 19", {1: []}), ("28 00", {}),
    ("29", frozenset()), ("2A 00", frozenset()), ("2A 02 0401 0402", frozenset({1, 2})),
    ("2B 0100 0403", frozenset({3})), ("2C 00", frozenset()),
    ("1A 02 1A01 1A01 19 22 01 26 01 0F 21", [[[[]]], ({None: ()},)]),
    # library types
    ("2D 13" + text("2001-02-03T04:05:06"), dt.datetime(2001, 2, 3, 4, 5, 6)),
    ("2E" + "00" * 12, dt.timedelta(0)),
    ("2E FFFFFFFF 05000000 07000000", dt.timedelta(days=-1, seconds=5, microseconds=7)),
    ("2F 0A" + text("2020-01-02"), dt.date(2020, 1, 2)),
    ("30 0F" + text("01:02:03.000004"), dt.time(1, 2, 3, 4)),
    ("31" + text("0" * 31 + "a"), uuid.UUID(int=10)),
    ("36 04" + text("1.50"), decimal.Decimal("1.50")),
    ("37 0300" + text("NaN"), decimal.Decimal("NaN")),
    ("38 01 02" + text("-0"), decimal.Decimal("-0")),
    # bytes after the top value are ignored
    ("0F 0000", None),
]


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, decimal.Decimal):
        return str(a) == str(b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


@DECODERS
@pytest.mark.parametrize("hextext, expected", VECTORS, ids=[v[0] for v in VECTORS])
def test_vectors(read, hextext, expected):
    assert same(read(fe(hextext)), expected)


@DECODERS
@pytest.mark.parametrize("hextext, payload", [
    ("32", b""), ("33 03 616263", b"abc"), ("34 0300 616263", b"abc"),
    ("35 01 03 616263", b"abc"), ("35 00", b""),
])
def test_memoryview(read, hextext, payload):
    view = read(fe(hextext))
    assert type(view) is memoryview and view.readonly and view.tobytes() == payload


@DECODERS
@pytest.mark.parametrize("size", [0, 1, 255, 256, 65535, 65536])
def test_size_classes(read, size):
    raw = bytes(i % 251 for i in range(size))
    if size <= 0xFF:
        headers = [b"\x01" + bytes([size])]
    elif size <= 0xFFFF:
        headers = [b"\x02" + size.to_bytes(2, "little")]
    else:
        headers = []
    headers.append(b"\x03\x03" + size.to_bytes(3, "little"))
    for header in headers:
        # the same header shape for bytes (0x12), list (0x1A) and str (0x01) families
        assert read(b"\xfe" + bytes([0x11 + header[0]]) + header[1:] + raw) == raw
        assert read(b"\xfe" + bytes([0x19 + header[0]]) + header[1:] + b"\x0f" * size) == \
            [None] * size
        assert read(b"\xfe" + header + b"a" * size) == "a" * size


# Every D-form code: K = 9 cannot describe any real length.
D_CODES = [0x03, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C, 0x35, 0x38]


@DECODERS
@pytest.mark.parametrize("code", D_CODES)
@pytest.mark.parametrize("k", [9, 255])
def test_d_header_wider_than_eight_bytes(read, code, k):
    with pytest.raises(ValueError) as info:
        read(bytes([0xFE, code, k]) + b"\x00" * 16)
    assert str(info.value) == OFFSET


@DECODERS
@pytest.mark.parametrize("code", D_CODES)
def test_d_header_with_huge_length(read, code):
    with pytest.raises(ValueError) as info:
        read(bytes([0xFE, code, 8]) + b"\xff" * 8 + b"\x0f" * 4)
    assert str(info.value) == OFFSET


@DECODERS
@pytest.mark.parametrize("code", [c for c in D_CODES if c != 0x38])
def test_d_header_with_zero_width_is_empty(read, code):
    value = read(bytes([0xFE, code, 0]))
    assert len(value) == 0


def test_decimal_with_zero_width_d_header():
    with pytest.raises(ValueError, match="^Failed to convert string to Decimal.$"):
        decode(fe("38 00"))


@DECODERS
@pytest.mark.parametrize("data", [
    fe("1B FFFF 0F"), fe("1C 08 FFFFFFFFFFFFFF7F 0F0F0F"), fe("22 05 0F0F0F0F"),
    fe("26 03 0F0F 0F0F"), fe("28 04 FFFFFFFF 0F0F"), fe("2C 02 FFFF 0F"),
    fe("1E 04 0F0F0F"),
])
def test_counts_larger_than_the_input(read, data):
    with pytest.raises(ValueError) as info:
        read(data)
    assert str(info.value) == OFFSET


@DECODERS
@pytest.mark.parametrize("data, code", [
    (fe("39"), 57), (fe("3A"), 58), (fe("FF"), 255), (fe("1A 01 67"), 103),
])
def test_invalid_datachar(read, data, code):
    with pytest.raises(ValueError) as info:
        read(data)
    assert str(info.value) == ("Likely received an invalid bytes object: fetched an invalid "
                               f"datatype representative. (Rep. code: {code})")


@DECODERS
@pytest.mark.parametrize("data, message, cause", [
    (fe(""), OFFSET, None),
    (fe("1A 02 0401"), OFFSET, None),
    (fe("2E" + "00" * 11), OFFSET, None),
    (fe("09 05 0000"), OFFSET, None),
    (fe("0A 01"), OFFSET, None),
    (fe("01 02 FF FE"), None, None),
    (fe("1E 01 19"), UNHASHABLE, TypeError),
    (fe("2A 02 0401 25"), UNHASHABLE, TypeError),
    (fe("26 01 19 0401"), UNHASHABLE, TypeError),
    (fe("26 01 25 0401"), UNHASHABLE, TypeError),
    (fe("31" + "7A" * 32), "Failed to create UUID object.", ValueError),
    (fe("36 03" + text("abc")), "Failed to convert string to Decimal.", decimal.InvalidOperation),
    (fe("2F 03" + text("abc")), None, None),
    (fe("2E 00CA9A3B 00000000 00000000"), TIMEDELTA_RANGE, OverflowError),
])
def test_malformed(read, data, message, cause):
    # Every damaged input is a ValueError (a UnicodeDecodeError for text that is not UTF-8).
    error = damage(read, data)
    if message is not None:
        assert str(error) == message
    if cause is not None:
        assert isinstance(error.__cause__, cause)


@DECODERS
@pytest.mark.parametrize("fields", [(0, 2**31 - 1, 2**31 - 1), (0, -2**31, -2**31),
                                    (-999999999, 0, 0), (999999999, 86399, 999999)])
def test_hand_made_timedelta(read, fields):
    days, seconds, microseconds = fields
    data = b"\xfe\x2e" + struct.pack("<iii", *fields)
    assert read(data) == dt.timedelta(days=days, seconds=seconds, microseconds=microseconds)


def test_marker_checked_by_the_direct_entry_point():
    for data in (b"", b"\xfd\x0f"):
        with pytest.raises(ValueError) as info:
            decode_prot1(data)
        assert str(info.value) == ("Likely received an invalid bytes object: "
                                   "invalid protocol marker.")


# ---------------------------------------------------------------------------------------------
# depth, truncation, references


def nested_lists(depth):
    return b"\xfe" + b"\x1a\x01" * depth + b"\x0f"


@DECODERS
def test_depth_limit_edge(read):
    # 999 lists and the None inside them are 1000 values.
    value = read(nested_lists(999))
    for _ in range(999):
        value = value[0]
    assert value is None
    with pytest.raises(ValueError) as info:
        read(nested_lists(1000))
    assert str(info.value) == TOO_DEEP


@DECODERS
@pytest.mark.parametrize("opener", [b"\x1a\x01", b"\x22\x01", b"\x26\x01\x0f", b"\x1e\x01"])
def test_very_deep_nesting_fails_cleanly(read, opener):
    with pytest.raises(ValueError) as info:
        read(b"\xfe" + opener * 100_000 + b"\x0f")
    assert str(info.value) == TOO_DEEP


COMPOSITE = fe(
    "1A 0A"
    "02 0300 616263"
    "09 03 010203"
    "0B 000000000000F03F"
    "26 01 01 01 6B 12 02 6869"
    "22 02 16 01 7A 0E" + "00" * 16 +
    "2D 13" + text("2001-02-03T04:05:06") +
    "2E 01000000 02000000 03000000"
    "31" + text("f" * 32) +
    "33 02 0102"
    "38 01 03" + text("1.5")
)


@DECODERS
def test_every_cut_of_a_composite_fails_with_the_offset_error(read):
    whole = read(COMPOSITE)
    assert len(whole) == 10 and whole[0] == "abc" and whole[9] == decimal.Decimal("1.5")
    for end in range(1, len(COMPOSITE)):
        with pytest.raises(ValueError) as info:
            read(COMPOSITE[:end])
        assert str(info.value) == OFFSET, end


def test_random_mutations_never_crash():
    rng = random.Random(1234)
    accepted = (ValueError, MemoryError)
    for _ in range(3000):
        data = bytearray(COMPOSITE)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(1, len(data))] = rng.randrange(256)
        data = bytes(data[:rng.randint(1, len(data))])
        try:
            decode(data)
        except accepted:
            pass


@DECODERS
def test_reference_counts_stay_balanced(read):
    before = (sys.getrefcount(True), sys.getrefcount(None), sys.getrefcount(...))
    for _ in range(10_000):
        read(b"\xfe\x0c")
        read(b"\xfe\x22\x02\x0f\x10")
    after = (sys.getrefcount(True), sys.getrefcount(None), sys.getrefcount(...))
    assert after == before


def test_failed_decodes_release_what_they_built():
    # Each input fails after building a few levels of containers and some values.
    bad = [fe("1A 03 01 01 61 22 01 26 01 04 01 1A 02 0F"), fe("26 02 04 01 1A 01 0F 19 0F"),
           fe("1E 02 01 01 61 19"), fe("22 02 31" + text("f" * 32) + "36 01 7A")]

    def run(times):
        for _ in range(times):
            for data in bad:
                try:
                    decode(data)
                except ValueError:
                    pass
                else:
                    raise AssertionError(data)

    run(100)
    gc.collect()
    before = sys.getallocatedblocks()
    run(5000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit breaks the sanitizer runtime")
def test_adversarial_inputs_under_a_memory_limit():
    script = textwrap.dedent("""
        import resource, sys
        sys.path.insert(0, sys.argv[1])
        from codec_access import decode
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        inputs = [
            b"\\xfe\\x1c\\x08" + b"\\xff" * 7 + b"\\x7f" + b"\\x0f" * 4,
            b"\\xfe\\x28\\x08" + b"\\xff" * 7 + b"\\x7f",
            b"\\xfe\\x14\\x08" + b"\\xff" * 8,
            b"\\xfe" + b"\\x1a\\x01" * 100000 + b"\\x0f",
            b"\\xfe" + b"\\x26\\x01\\x0f" * 100000 + b"\\x0f",
        ]
        for data in inputs:
            try:
                decode(data)
            except ValueError as exc:
                assert str(exc).startswith("Likely received an invalid bytes object:"), exc
            else:
                raise SystemExit("decoded")
        print("ok")
    """)
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", script, here], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
