"""Library value types: the datetime family, UUID, Decimal, memoryview, range and paths."""
import array
import datetime as dt
import decimal
import pathlib
import struct
import uuid

import pytest

from codec_access import TIMEDELTA_RANGE, damage, decode, encode, roundtrip

UNSUPPORTED = "Received an unsupported datatype."
OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."


def fd(hextext):
    return bytes.fromhex("FD" + hextext)


def td_bytes(days, seconds, microseconds):
    return b"\xfd\x36" + struct.pack("<iii", days, seconds, microseconds)


# ---------------------------------------------------------------------------------------------
# datetime family


@pytest.mark.parametrize("value, expected", [
    (dt.timedelta(days=-1, seconds=5), "36 FFFFFFFF 05000000 00000000"),
    (dt.timedelta(0), "36 00000000 00000000 00000000"),
    (dt.timedelta(days=1, microseconds=2), "36 01000000 00000000 02000000"),
    (dt.date(2020, 1, 2), "37 0A" + b"2020-01-02".hex()),
    (dt.time(1, 2, 3), "38 08" + b"01:02:03".hex()),
    (dt.datetime(2001, 2, 3, 4, 5, 6), "35 13" + b"2001-02-03T04:05:06".hex()),
])
def test_datetime_family_bytes(value, expected):
    assert encode(value) == fd(expected)
    assert decode(encode(value)) == value


@pytest.mark.parametrize("value", [
    dt.timedelta.max, dt.timedelta.min, dt.timedelta(microseconds=-1),
    dt.date.min, dt.date.max,
    dt.time(23, 59, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=-5, seconds=1))),
    dt.datetime.min, dt.datetime.max,
    dt.datetime(2020, 2, 29, 12, 0, 0, 123456, tzinfo=dt.timezone.utc),
    dt.datetime(1999, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30,
                                                             microseconds=7))),
])
def test_datetime_family_round_trip(value):
    back = roundtrip(value)
    assert type(back) is type(value)
    assert back == value
    if isinstance(value, (dt.time, dt.datetime)):
        assert back.utcoffset() == value.utcoffset()
        assert back.isoformat() == value.isoformat()


def test_time_keeps_microseconds_and_offset():
    value = dt.time(10, 20, 30, 405060, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    back = roundtrip(value)
    assert (back.microsecond, back.utcoffset()) == (405060, dt.timedelta(hours=2))


def test_named_zone_comes_back_as_its_fixed_offset():
    class Zone(dt.tzinfo):
        def utcoffset(self, when):
            return dt.timedelta(hours=3)

        def dst(self, when):
            return dt.timedelta(0)

    value = dt.datetime(2021, 6, 1, 8, tzinfo=Zone())
    back = roundtrip(value)
    assert back == value
    assert type(back.tzinfo) is dt.timezone


class SubDatetime(dt.datetime):
    pass


class datestamp(dt.date):  # a name beginning with "da"
    pass


class SubDelta(dt.timedelta):
    pass


class dawn:  # not a date at all, but has isoformat()
    def isoformat(self):
        return "2020-01-01"


# A subclass whose name is exactly that of the standard class.
Impostor = type("datetime.datetime", (dt.datetime,), {})


class BadZone(dt.tzinfo):
    def utcoffset(self, when):
        raise KeyError("no offset")


@pytest.mark.parametrize("value", [
    SubDatetime(2020, 1, 1), datestamp(2020, 1, 1), SubDelta(days=1), dawn(),
    Impostor(2020, 1, 1), dt.datetime(2020, 1, 1, tzinfo=BadZone()),
])
def test_datetime_lookalikes_refused(value):
    with pytest.raises(ValueError) as info:
        encode(value)
    assert str(info.value) == UNSUPPORTED


@pytest.mark.parametrize("fields", [
    (0, 2**31 - 1, 2**31 - 1),
    (0, -2**31, -2**31),
    (-5, 2**31 - 1, -2**31),
    (999999999, 0, 86399999999 % 1000000),
    (-999999999, 86399, 999999),
])
def test_hand_made_timedelta_fields_normalise(fields):
    days, seconds, microseconds = fields
    expected = dt.timedelta(days=days, seconds=seconds, microseconds=microseconds)
    assert decode(td_bytes(*fields)) == expected


@pytest.mark.parametrize("fields", [
    (999999999, 86400, 0), (-999999999, -1, 0), (2**31 - 1, 0, 0), (-2**31, 0, 0),
    (999999999, 2**31 - 1, 2**31 - 1),
])
def test_hand_made_timedelta_out_of_range(fields):
    error = damage(decode, td_bytes(*fields))
    assert str(error) == TIMEDELTA_RANGE
    assert type(error.__cause__) is OverflowError
    assert str(error.__cause__).endswith("; must have magnitude <= 999999999")


@pytest.mark.parametrize("data, error, message", [
    (fd("36" + "00" * 11), ValueError, OFFSET),
    (fd("35"), ValueError, OFFSET),
    (fd("37 0A") + b"2020-01-0", ValueError, OFFSET),
    (fd("37 03") + b"abc", ValueError, None),
    (fd("38 02") + b"25", ValueError, None),
    (fd("37 02 FF FE"), UnicodeDecodeError, None),
])
def test_datetime_family_malformed(data, error, message):
    with pytest.raises(error) as info:
        decode(data)
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("Likely received")


# ---------------------------------------------------------------------------------------------
# UUID


def test_uuid_bytes():
    value = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
    data = encode(value)
    assert data == b"\xfd\x39" + b"123456789abcdef0123456789abcdef0"
    assert len(data) - 1 == 33
    assert decode(data) == value


class UUIDKind(uuid.UUID):
    pass


class UUIDShortHex(uuid.UUID):
    @property
    def hex(self):
        return "abc"


class UUIDLongHex(uuid.UUID):
    @property
    def hex(self):
        return "0" * 33


class UUIDIntHex(uuid.UUID):
    @property
    def hex(self):
        return 5


class UUIDWideHex(uuid.UUID):
    @property
    def hex(self):
        return "é" * 32


class UUIDWordHex(uuid.UUID):
    @property
    def hex(self):
        return "z" * 32


class UUIDNoHex(uuid.UUID):
    @property
    def hex(self):
        raise AttributeError("hex")


class Unique:  # a name beginning with "U"
    hex = "0" * 32


def test_uuid_subclass_travels_as_uuid():
    value = UUIDKind(int=7)
    back = roundtrip(value)
    assert type(back) is uuid.UUID and back == value


@pytest.mark.parametrize("cls", [UUIDShortHex, UUIDLongHex, UUIDIntHex, UUIDWideHex,
                                 UUIDWordHex])
def test_uuid_with_unusable_hex_refused(cls):
    with pytest.raises(ValueError) as info:
        encode(cls(int=1))
    assert str(info.value) == UNSUPPORTED


def test_uuid_without_hex():
    with pytest.raises(RuntimeError) as info:
        encode(UUIDNoHex(int=1))
    assert str(info.value) == "Could not get the hex representation of a UUID."


def test_not_a_uuid_refused():
    with pytest.raises(ValueError, match=UNSUPPORTED):
        encode(Unique())


@pytest.mark.parametrize("payload", [b"g" * 32, b"\xff" * 32, b"urn:uuid:" + b"0" * 23])
def test_uuid_payload_rejected(payload):
    error = damage(decode, b"\xfd\x39" + payload)
    assert str(error) == "Failed to create UUID object."
    # The class's own reason: not hex digits, or not UTF-8 at all.
    assert isinstance(error.__cause__, ValueError)


def test_uuid_truncated():
    with pytest.raises(ValueError, match=OFFSET):
        decode(b"\xfd\x39" + b"0" * 31)


# ---------------------------------------------------------------------------------------------
# Decimal


@pytest.mark.parametrize("text, header", [
    ("1.50", "3F 04"), ("-0", "3F 02"), ("NaN", "3F 03"), ("-sNaN", "3F 05"),
    ("Infinity", "3F 08"), ("1E+999999", "3F 09"),
    ("9" * 255, "3F FF"), ("9" * 256, "40 00 01"), ("7" * 70000, "41 03 70 11 01"),
])
def test_decimal_bytes(text, header):
    value = decimal.Decimal(text)
    data = encode(value)
    assert data == fd(header) + text.encode()
    back = decode(data)
    assert str(back) == text
    assert back.is_signed() == value.is_signed()


def test_decimal_context_not_stored():
    with decimal.localcontext(decimal.Context(prec=2, rounding=decimal.ROUND_DOWN)):
        value = decimal.Decimal("1.23456")
        data = encode(value)
    assert str(decode(data)) == "1.23456"


class decimal_kind(decimal.Decimal):  # a name beginning with "de"
    pass


class decimal_empty(decimal.Decimal):  # a name beginning with "de"
    def __str__(self):
        return ""


class decoy:  # a name beginning with "de", not a Decimal
    pass


def test_decimal_subclass_travels_as_decimal():
    back = roundtrip(decimal_kind("2.5"))
    assert type(back) is decimal.Decimal and back == decimal.Decimal("2.5")


@pytest.mark.parametrize("value", [decimal_empty("1"), decoy()])
def test_decimal_lookalikes_refused(value):
    with pytest.raises(ValueError) as info:
        encode(value)
    assert str(info.value) == UNSUPPORTED


@pytest.mark.parametrize("data, error, message", [
    (fd("3F 03") + b"abc", ValueError, "Failed to convert string to Decimal."),
    (fd("3F 02 FF FE"), ValueError, "Failed to convert string to Decimal."),
    (fd("3F 05") + b"12", ValueError, OFFSET),
    (fd("40 01"), ValueError, OFFSET),
])
def test_decimal_malformed(data, error, message):
    with pytest.raises(error) as info:
        decode(data)
    assert str(info.value) == message


def test_decimal_second_level_form():
    assert decode(fd("42 01 01 03") + b"1.5") == decimal.Decimal("1.5")


# ---------------------------------------------------------------------------------------------
# memoryview


@pytest.mark.parametrize("size, header", [
    (0, "3A"), (1, "3B 01"), (255, "3B FF"), (256, "3C 00 01"), (65535, "3C FF FF"),
    (65536, "3D 03 00 00 01"),
])
def test_memoryview_bytes(size, header):
    raw = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    data = encode(memoryview(raw))
    assert data == fd(header) + raw
    back = decode(data)
    assert type(back) is memoryview
    assert back.tobytes() == raw and back.readonly and back.format == "B"


def test_memoryview_of_bytearray_comes_back_read_only_copy():
    source = bytearray(b"hello")
    back = roundtrip(memoryview(source))
    assert back.readonly and type(back.obj) is bytes and back.tobytes() == b"hello"
    source[0] = ord("j")
    assert back.tobytes() == b"hello"


def test_memoryview_keeps_raw_bytes_not_format_or_shape():
    numbers = array.array("i", [1, -2, 3, 4])
    view = memoryview(numbers).cast("B").cast("i", shape=[2, 2])
    back = roundtrip(view)
    assert back.tobytes() == numbers.tobytes()
    assert (back.format, back.shape, back.ndim) == ("B", (16,), 1)


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


@pytest.mark.parametrize("make", [lambda: memoryview(b"abcd")[::2], released_view,
                                  lambda: memoryview(b"abcdef")[::-1]])
def test_memoryview_without_contiguous_buffer(make):
    with pytest.raises(RuntimeError) as info:
        encode(make())
    assert str(info.value) == "Could not get the buffer of a memoryview object."


class mirror:  # a name beginning with "m", not a memoryview
    def __buffer__(self, flags):
        return memoryview(b"abc")


def test_memoryview_lookalike_refused():
    with pytest.raises(ValueError, match=UNSUPPORTED):
        encode(mirror())


@pytest.mark.parametrize("data", [fd("3B 05") + b"abc", fd("3C 01"), fd("3D 03 00 00")])
def test_memoryview_truncated(data):
    with pytest.raises(ValueError, match=OFFSET):
        decode(data)


def test_memoryview_second_level_form():
    assert decode(fd("3E 01 01 02") + b"hi").tobytes() == b"hi"


# ---------------------------------------------------------------------------------------------
# range


@pytest.mark.parametrize("value, expected", [
    (range(0, 10, 2), "43 0500 050A 0502"),
    (range(5), "43 0500 0505 0501"),
    (range(-1, -300, -7), "43 05FF 06D4FE 05F9"),
])
def test_range_bytes(value, expected):
    assert encode(value) == fd(expected)
    back = decode(encode(value))
    assert back == value and (back.start, back.stop, back.step) == (value.start, value.stop,
                                                                     value.step)


def test_range_with_huge_bounds():
    value = range(-2**200, 2**300, 3**50)
    assert roundtrip(value) == value


class rangelike:  # a name beginning with "r": the attributes decide
    def __init__(self, start, stop, step):
        self.start, self.stop, self.step = start, stop, step


class rubble:
    pass


@pytest.mark.parametrize("value", [rubble(), rangelike(1, 9, 4), rangelike("1", 9, 1),
                                   rangelike(1, 9.0, 1), rangelike(1, 9, 0), rangelike(1, None, 1)])
def test_unusable_range_like_refused(value):
    with pytest.raises(ValueError) as info:
        encode(value)
    assert str(info.value) == UNSUPPORTED


@pytest.mark.parametrize("data", [
    fd("43 0500 0505 0500"),   # step 0
    fd("43 0500"),             # cut after the first int
    fd("43"),
    fd("43 0101 30 0505 0501"),  # a str bound
    fd("43 1D01" * 5000 + "10 0505 0501"),  # a deeply nested bound is not decoded
])
def test_range_malformed(data):
    error = damage(decode, data)
    assert str(error) == "Failed to recreate a range object."


# ---------------------------------------------------------------------------------------------
# paths


def test_path_family_bytes():
    text = "/" + "p" * 299
    assert encode(pathlib.Path(text)) == fd("5F 2C 01") + text.encode()
    assert decode(encode(pathlib.Path(text))) == pathlib.Path(text)
    assert encode(pathlib.Path()) == fd("5E 01 2E")
    assert encode(pathlib.PurePosixPath("a/b")) == fd("63 03") + b"a/b"
    assert encode(pathlib.PurePath("x")) == fd("63 01") + b"x"


@pytest.mark.parametrize("data, expected_type, text", [
    (fd("5D"), pathlib.Path, "."),
    (fd("62"), pathlib.PurePath, "."),
    (fd("63 03") + b"a/b", pathlib.PurePath, "a/b"),
    (fd("5E 03") + b"a/b", pathlib.Path, "a/b"),
    (fd("61 01 01 02") + b"ab", pathlib.Path, "ab"),
    (fd("65 03 00 00 01") + b"q" * 65536, pathlib.PurePath, "q" * 65536),
])
def test_path_decoding(data, expected_type, text):
    back = decode(data)
    assert isinstance(back, expected_type) and str(back) == text


def test_windows_path_comes_back_in_the_running_flavour():
    back = roundtrip(pathlib.PureWindowsPath("c:/dir/file"))
    assert type(back) is type(pathlib.PurePath()) and str(back) == "c:\\dir\\file"


def test_path_with_zero_byte_round_trips():
    value = pathlib.PurePosixPath("a\x00b/c")
    assert encode(value) == fd("63 05") + b"a\x00b/c"
    assert roundtrip(value) == value
    assert str(roundtrip(pathlib.Path("x\x00y"))) == "x\x00y"


def test_path_with_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        encode(pathlib.Path("bad\udcff"))


class PseudoPath:  # a name beginning with "P", not a path
    def __str__(self):
        return "/tmp"


def test_path_lookalike_refused():
    with pytest.raises(ValueError, match=UNSUPPORTED):
        encode(PseudoPath())


@pytest.mark.parametrize("data, error", [
    (fd("5E 05") + b"ab", ValueError), (fd("63"), ValueError),
    (fd("5E 02 FF FE"), UnicodeDecodeError),
])
def test_path_malformed(data, error):
    with pytest.raises(error):
        decode(data)


# ---------------------------------------------------------------------------------------------
# all together


MIXED = [
    dt.datetime(2024, 5, 6, 7, 8, 9, 10), dt.date(1, 1, 1), dt.time(0, 0),
    dt.timedelta(days=3, seconds=4), uuid.UUID(int=2**128 - 1), decimal.Decimal("-1.5E-7"),
    range(3, 30, 3), pathlib.PurePosixPath("/etc/hosts"), pathlib.Path("rel"),
]


def test_library_values_inside_containers():
    value = {"items": MIXED, "key": (decimal.Decimal("2"), uuid.UUID(int=5)),
             dt.date(2000, 1, 1): frozenset([dt.time(1), range(2)])}
    assert roundtrip(value) == value
    view_list = roundtrip([memoryview(b"xy"), MIXED])
    assert view_list[0].tobytes() == b"xy" and view_list[1] == MIXED


@pytest.mark.parametrize("value", MIXED + [memoryview(b"abc")], ids=repr)
def test_every_cut_fails_cleanly(value):
    data = encode(value)
    for end in range(1, len(data)):
        damage(decode, data[:end])
