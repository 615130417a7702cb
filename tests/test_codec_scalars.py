"""Protocol 2 scalars: exact bytes, round trips and the failures a user can see."""
import math
import struct

import pytest

from codec_access import decode, encode, encode_nothing, roundtrip

INVALID = "Likely received an invalid bytes object: "
OFFSET = INVALID + "offset exceeded max limit."


def fd(hexbytes):
    return bytes.fromhex("fd" + hexbytes.replace(" ", ""))


@pytest.mark.parametrize(
    "value, expected",
    [
        ("", "00"),
        ("a", "01 01 61"),
        (0, "05 00"),
        (127, "05 7f"),
        (128, "06 80 00"),
        (255, "06 ff 00"),
        (-1, "05 ff"),
        (-128, "05 80"),
        (-129, "06 7f ff"),
        (2**39 - 1, "09 ff ff ff ff 7f"),
        (2**39, "0a 06 00 00 00 00 80 00"),
        (1.0, "0c 00 00 00 00 00 00 f0 3f"),
        (True, "0d"),
        (False, "0e"),
        (None, "10"),
        (..., "11"),
        (NotImplemented, "10"),
        (b"", "12"),
        (bytearray(), "17"),
        (b"\x00\xff", "13 02 00 ff"),
        (bytearray(b"ab"), "18 02 61 62"),
        (1 + 2j, "0f" + struct.pack("<dd", 1.0, 2.0).hex()),
    ],
)
def test_exact_bytes(value, expected):
    assert encode(value) == fd(expected)


@pytest.mark.parametrize("size", [0, 1, 255, 256, 65535, 65536])
@pytest.mark.parametrize("kind, empty", [(str, 0x00), (bytes, 0x12), (bytearray, 0x17)])
def test_size_class_edges(kind, empty, size):
    value = kind("x" * size) if kind is str else kind(b"x" * size)
    data = encode(value)
    if size == 0:
        header = bytes([empty])
    elif size <= 0xFF:
        header = bytes([empty + 1, size])
    elif size <= 0xFFFF:
        header = bytes([empty + 2]) + size.to_bytes(2, "little")
    else:
        header = bytes([empty + 3, 3]) + size.to_bytes(3, "little")
    assert data[1 : 1 + len(header)] == header
    assert len(data) == 1 + len(header) + size
    result = decode(data)
    assert result == value and type(result) is kind


def test_text_sizes_from_the_format():
    assert encode("x" * 300)[:4] == fd("02 2c 01")
    assert encode("x" * 70000)[:6] == fd("03 03 70 11 01")


@pytest.mark.parametrize("bits", [1, 7, 8, 15, 16, 31, 32, 39, 40, 47, 48, 63, 64, 65, 127, 128, 2039, 2040, 5000])
@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("delta", [-1, 0, 1])
def test_integers_round_trip_at_every_width_edge(bits, sign, delta):
    value = sign * (2**bits) + delta
    data = encode(value)
    assert decode(data) == value
    # Smallest signed width that holds the value.
    magnitude = ~value if value < 0 else value
    width = magnitude.bit_length() // 8 + 1
    if width <= 5:
        assert data[1] == 4 + width and len(data) == 2 + width
    elif width <= 255:
        assert data[1:3] == bytes([0x0A, width])
    else:
        assert data[1] == 0x0B
        assert int.from_bytes(data[3 : 3 + data[2]], "little") == width


def test_huge_integer_uses_two_length_bytes():
    data = encode(2**2039)
    assert data[1:3] == bytes([0x0B, 2])
    assert decode(data) == 2**2039


def test_int_subclasses_follow_their_names():
    class iSmall(int):
        pass

    class Large(int):
        pass

    assert decode(encode(iSmall(7))) == 7 and type(decode(encode(iSmall(7)))) is int
    with pytest.raises(ValueError, match="^Received an unsupported datatype.$"):
        encode(Large(7))


def test_str_subclasses_follow_their_names():
    class strict(str):
        pass

    class Text(str):
        pass

    assert type(roundtrip(strict("a"))) is str
    with pytest.raises(ValueError, match="unsupported datatype"):
        encode(Text("a"))


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308])
def test_floats_bit_for_bit(value):
    result = decode(encode(value))
    assert struct.pack("<d", result) == struct.pack("<d", value)


def test_float_subclass_decodes_as_float():
    class fancy(float):
        pass

    result = roundtrip(fancy(2.5))
    assert result == 2.5 and type(result) is float


def test_complex_round_trip_keeps_signs():
    value = complex(-0.0, math.inf)
    result = roundtrip(value)
    assert math.copysign(1, result.real) == -1 and result.imag == math.inf


def test_text_encoding_errors():
    with pytest.raises(UnicodeEncodeError):
        encode("\ud800")
    with pytest.raises(UnicodeDecodeError):
        decode(fd("01 01 ff"))


def test_no_value_is_written_but_never_read():
    assert encode_nothing(None) == fd("67")
    with pytest.raises(ValueError, match=r"representative. \(Rep. code: 103\)$"):
        decode(fd("67"))


@pytest.mark.parametrize("code", [0x67, 0x80, 0xFC, 0xFF])
def test_invalid_datachar(code):
    with pytest.raises(ValueError) as err:
        decode(bytes([0xFD, code]))
    assert str(err.value) == (
        INVALID + f"fetched an invalid datatype representative. (Rep. code: {code})"
    )


def test_width_stated_forms_decode_like_small_forms():
    assert decode(fd("04 01 01 02 68 69")) == "hi"
    assert decode(fd("03 01 02 68 69")) == "hi"
    assert decode(fd("15 02 01 00 61")) == b"a"


@pytest.mark.parametrize(
    "data",
    [
        "03 00",  # D1 with a width of zero
        "03 09 01 00 00 00 00 00 00 00 00",  # D1 wider than eight bytes
        "04 00",  # D2 whose J is zero
        "04 01 00",  # D2 whose K field is zero
        "04 01 09",  # D2 whose K is above eight
        "04 09 01 01 01 01 01 01 01 01 01",  # D2 whose J is above eight
        "0b 00",  # big int whose J is zero
        "0b 01 00",  # big int of zero bytes
        "0b 09 01 00 00 00 00 00 00 00 00",
    ],
)
def test_impossible_widths_are_invalid(data):
    with pytest.raises(ValueError) as err:
        decode(fd(data))
    assert str(err.value).startswith(INVALID)


@pytest.mark.parametrize(
    "data", ["", "fd", "fd 0c 00 00", "fd 01 05 61 62", "fd 0f" + "00" * 15, "fd 0a", "fd 0a 06 00", "fd 13"]
)
def test_truncated_input(data):
    with pytest.raises(ValueError) as err:
        decode(bytes.fromhex(data))
    expected = INVALID + "invalid protocol marker." if data == "" else OFFSET
    assert str(err.value) == expected


@pytest.mark.parametrize("data", [b"\x00", b"\x10", b"\xfc\x10", b"\xff"])
def test_invalid_marker(data):
    with pytest.raises(ValueError, match="invalid protocol marker.$"):
        decode(data)


def test_trailing_bytes_are_ignored():
    assert decode(fd("10") + bytes(1000)) is None
    assert decode(fd("01 01 61") + b"garbage") == "a"


def test_every_cut_of_a_valid_encoding_fails_cleanly():
    for value in ["text" * 70, 2**300, -(2**70), 3.5, 1j, b"x" * 300, bytearray(b"y" * 70000)]:
        data = encode(value)
        for cut in range(len(data)):
            with pytest.raises(ValueError):
                decode(data[:cut])


def test_size_method_that_raises_is_ignored():
    class irritable(int):
        def __sizeof__(self):
            raise RuntimeError("no size")

    assert encode(irritable(5)) == fd("05 05")


def test_list_that_contains_itself_hits_the_nest_limit():
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="^Exceeded the maximum value nest depth.$"):
        encode(loop)


def test_decoder_refuses_non_bytes():
    with pytest.raises(TypeError):
        decode("fd10")
