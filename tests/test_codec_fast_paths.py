"""The codec's shortcuts write and read exactly what its general steps do, at their edges."""
import collections
import datetime as dt
import decimal
import gc
import pickle
import tracemalloc
import uuid
import weakref

import pytest

import tidewell

OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."


def sized(empty, payload):
    """A value of a sized family: E, widths 1 and 2, then D1, as the format lays them out."""
    n = len(payload)
    if n == 0:
        return bytes([empty])
    k = (n.bit_length() + 7) // 8
    head = bytes([empty + k]) if k <= 2 else bytes([empty + 3, k])
    return head + n.to_bytes(k, "little") + payload


def as_list(*items):
    return bytes([0x1D, len(items)]) + b"".join(items)


# ---------------------------------------------------------------------------------------------
# Byte strings and text: written once into an exactly sized or growing buffer


@pytest.mark.parametrize("size", [0, 1, 7, 8, 9, 255, 256, 65535, 65536])
@pytest.mark.parametrize("kind, empty", [(bytes, 0x12), (bytearray, 0x17), (memoryview, 0x3A),
                                         (str, 0x00)])
def test_byte_strings_alone_and_inside_a_list(kind, empty, size):
    raw = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    value = raw.decode("latin-1").encode("ascii", "replace").decode() if kind is str else kind(raw)
    payload = value.encode() if kind is str else bytes(value)
    alone = tidewell.dumps(value)
    assert alone == b"\xfd" + sized(empty, payload)
    nested = tidewell.dumps([value, value])
    assert nested == b"\xfd" + as_list(sized(empty, payload), sized(empty, payload))
    back = tidewell.loads(alone)
    assert type(back) is kind and back == value
    assert tidewell.loads(nested) == [value, value]


@pytest.mark.parametrize("size", [2, 8, 63, 64, 65, 254, 256, 65534, 65536, 2**20])
@pytest.mark.parametrize("where", [0, 1, -1])
def test_long_text_with_one_non_ascii_character(size, where):
    chars = ["a"] * (size - 1)
    chars.insert(where % size if where >= 0 else size - 1, "é")
    value = "".join(chars)
    for data in (tidewell.dumps(value), tidewell.dumps([value])):
        assert sized(0x00, value.encode()) in data
        back = tidewell.loads(data)
        assert back == value or back == [value]


@pytest.mark.parametrize("text", ["é", "aé", "a" * 7 + "é", "a" * 8 + "é", "é" + "a" * 40,
                                  "\x7f",
                                  "\x80", "€" * 100, "x\x00y", "🙂ab", "ab" * 200 + "ÿ"])
def test_non_ascii_text_beside_ascii_text(text):
    value = {text: text, "ascii": [text, "plain", text[:1]], text[:1]: text}
    data = tidewell.dumps(value)
    assert sized(0x00, text.encode()) in data
    back = tidewell.loads(data)
    assert back == value and list(back) == list(value)


@pytest.mark.parametrize("payload", [b"ab\x80", b"\xc3", b"abcdefgh\xff", b"\xed\xa0\x80"])
@pytest.mark.parametrize("as_key", [False, True])
def test_invalid_utf8_refused_as_value_and_as_key(payload, as_key):
    text = sized(0x00, payload)
    data = b"\xfd" + (bytes([0x2C, 1]) + text + b"\x10" if as_key else text)
    with pytest.raises(UnicodeDecodeError):
        tidewell.loads(data)


def test_keys_that_share_words_stay_apart():
    # Keys alike in their first word, or differing by trailing zero bytes, all of cache length.
    keys = ["a", "a\x00", "a\x00\x00", "abcdefgh", "abcdefgh\x00", "abcdefghi", "abcdefghj",
            "x" * 32, "x" * 31 + "y", "x" * 33, ""]
    value = [{k: i for i, k in enumerate(keys)}, {k: -i for i, k in enumerate(reversed(keys))}]
    back = tidewell.loads(tidewell.dumps(value))
    assert back == value and [list(d) for d in back] == [list(d) for d in value]


# ---------------------------------------------------------------------------------------------
# datetime family: ISO text from the fields, and the common ISO forms parsed directly

UTC = dt.timezone.utc
ZONES = [None, UTC] + [dt.timezone(offset) for offset in [
    dt.timedelta(hours=5, minutes=30), -dt.timedelta(hours=8), dt.timedelta(seconds=-1),
    dt.timedelta(hours=23, minutes=59, seconds=59), dt.timedelta(microseconds=1),
    -dt.timedelta(hours=3, microseconds=5)]] + [dt.timezone(dt.timedelta(0), "Z0")]


def same_value(back, value):
    expected = type(value).fromisoformat(value.isoformat())
    assert type(back) is type(expected) and repr(back) == repr(expected)
    if getattr(expected, "tzinfo", None) is UTC:
        assert back.tzinfo is UTC


@pytest.mark.parametrize("tz", ZONES)
@pytest.mark.parametrize("fields", [(1, 1, 1, 0, 0, 0, 0), (9999, 12, 31, 23, 59, 59, 999999),
                                    (2024, 2, 29, 12, 0, 5, 1), (999, 7, 4, 0, 0, 0, 100000)])
def test_datetime_family_writes_isoformat_and_reads_it_back(fields, tz):
    stamp = dt.datetime(*fields, tzinfo=tz)
    for value, code in [(stamp, 0x35), (stamp.date(), 0x37), (stamp.timetz(), 0x38)]:
        data = tidewell.dumps(value)
        text = value.isoformat().encode()
        assert data == bytes([0xFD, code, len(text)]) + text
        same_value(tidewell.loads(data), value)


def test_fold_and_user_tzinfo_as_before():
    class Zone(dt.tzinfo):
        def utcoffset(self, when):
            return dt.timedelta(hours=1, seconds=1)

    for value in [dt.datetime(2024, 11, 3, 1, 30, fold=1), dt.time(1, 30, fold=1),
                  dt.datetime(2024, 1, 1, tzinfo=Zone()), dt.time(4, 5, tzinfo=Zone())]:
        data = tidewell.dumps(value)
        assert data[3:] == value.isoformat().encode()
        same_value(tidewell.loads(data), value)


@pytest.mark.parametrize("code, cls", [(0x35, dt.datetime), (0x37, dt.date), (0x38, dt.time)])
@pytest.mark.parametrize("text", [
    "2024-02-29", "2023-02-29", "1900-02-29", "2000-02-29", "0000-01-01", "2024-13-01",
    "2024-00-10",
    "2024-04-31", "2024-1-01", "2024-01-01T24:00:00", "2024-01-01T23:60:00", "2024-01-01T12:00:60",
    "2024-01-01T12:00:00.5", "2024-01-01T12:00:00.123", "2024-01-01T12:00:00.1234567",
    "2024-01-01T12:00:00+24:00", "2024-01-01T12:00:00+05:60", "2024-01-01T12:00:00+05:00:00.5",
    "2024-01-01T12:00:00-00:00", "2024-01-01T12:00:00Z", "2024-01-01T12:00", "2024-01-01 12:00:00",
    "2024-01-01T12:00:00+0530", "12:00:00", "12:00:00.000001+01:00:01", "12:00", "12", "T12:00:00",
    "٢٠٢٤-01-01", "2024-01-01T12:00:00+05:30x", "",
])
def test_odd_iso_forms_read_as_the_library_reads_them(code, cls, text):
    raw = text.encode()
    data = bytes([0xFD, code, len(raw)]) + raw
    try:
        expected = cls.fromisoformat(text)
    except Exception as exc:  # the same error as the library's
        with pytest.raises(type(exc)) as err:
            tidewell.loads(data)
        assert str(err.value) == str(exc)
    else:
        back = tidewell.loads(data)
        assert type(back) is type(expected) and repr(back) == repr(expected)


def test_alternating_offsets_keep_their_own_zone():
    zones = [dt.timezone(dt.timedelta(hours=h)) for h in (1, 2, 1, -1)]
    back = tidewell.loads(tidewell.dumps([dt.datetime(2024, 1, 1, tzinfo=z) for z in zones]))
    assert [b.utcoffset() for b in back] == [z.utcoffset(None) for z in zones]


# ---------------------------------------------------------------------------------------------
# UUID: written from its int, rebuilt without UUID.__init__


@pytest.mark.parametrize("number", [0, 1, 2**64 - 1, 2**64, 2**127, 2**128 - 1,
                                    0x123456789ABCDEF0FEDCBA9876543210])
def test_uuid_from_its_int(number):
    value = uuid.UUID(int=number)
    data = tidewell.dumps(value)
    assert data == b"\xfd\x39" + value.hex.encode()
    back = tidewell.loads(data)
    assert type(back) is uuid.UUID and back == value and back.is_safe is uuid.SafeUUID.unknown
    assert pickle.loads(pickle.dumps(back)) == value
    with pytest.raises(TypeError):
        back.int = 5


@pytest.mark.parametrize("payload", [b"ABCDEF0123456789abcdef0123456789", b" " + b"1" * 31,
                                     b"0x" + b"f" * 30, b"1_" + b"2" * 30, b"{" + b"3" * 31])
def test_uuid_payloads_read_as_the_class_reads_them(payload):
    data = b"\xfd\x39" + payload
    try:
        expected = uuid.UUID(payload.decode())
    except ValueError:
        with pytest.raises(ValueError, match="^Failed to create UUID object.$"):
            tidewell.loads(data)
    else:
        assert tidewell.loads(data) == expected


@pytest.mark.parametrize("text", ["0", "-0", "1E-999999", "9" * 1000, "-1.000", "1E+999999",
                                  "NaN", "-sNaN", "Infinity", "0E-1000",
                                  "123456789012345678901234567890.5"])
def test_decimals_huge_and_tiny(text):
    value = decimal.Decimal(text)
    data = tidewell.dumps([value, value])
    assert sized(0x3E, str(value).encode()) in data
    back = tidewell.loads(data)
    assert [str(b) for b in back] == [str(value)] * 2 and type(back[0]) is decimal.Decimal


# ---------------------------------------------------------------------------------------------
# Containers presized from their counts


def test_presize_cap_against_counts_that_lie():
    # Nested dicts each claiming 65535 pairs but holding one: every claim fits the bytes left,
    # so only the cap keeps the reservations small before the input runs out.
    depth = 200
    body = b"".join(b"\x2d\xff\xff\x01\x01k" for _ in range(depth))
    data = b"\xfd" + body + b"\x10" * (2 * 65535 + 16)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=OFFSET):
            tidewell.loads(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 * 2**20


@pytest.mark.parametrize("count", [0, 1, 5, 6, 1023, 1024, 1025, 3000])
def test_dicts_of_any_count(count):
    value = {f"k{i}": i for i in range(count)}
    back = tidewell.loads(tidewell.dumps([value, value]))
    assert back == [value, value] and list(back[0]) == list(value)


def test_only_tuples_of_atomic_items_are_left_to_themselves():
    Pair = collections.namedtuple("Pair", "a b")
    atomic = [(1, "x", 2.5, None), Pair(1, "y"), (), ((1, 2), "nested")]
    linked = [(1, []), Pair({}, 1), ((1, [2]),), (Pair(1, 2),)]
    back_atomic, back_linked = tidewell.loads(tidewell.dumps([atomic, linked]))
    assert back_atomic == atomic and back_linked == linked
    assert not any(gc.is_tracked(t) for t in back_atomic)
    assert all(gc.is_tracked(t) for t in back_linked)
    # A cycle through a decoded tuple is still collected.
    class Node:
        pass

    node = Node()
    cyclic = back_linked[0]
    cyclic[1].extend([cyclic, node])
    probe = weakref.ref(node)
    del cyclic, back_linked, node
    gc.collect()
    assert probe() is None
