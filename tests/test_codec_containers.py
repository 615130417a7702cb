"""Protocol 2 containers: list, tuple, set, frozenset, dict, deque."""
from collections import Counter, defaultdict, deque

import pytest

from codec_access import UNHASHABLE, damage, decode, encode, mutating, roundtrip

INVALID = "Likely received an invalid bytes object: "
OFFSET = INVALID + "offset exceeded max limit."
UNSUPPORTED = "Received an unsupported datatype."
NEST = "Exceeded the maximum value nest depth."


def fd(hexbytes):
    return bytes.fromhex("fd" + hexbytes.replace(" ", ""))


def header(empty, count):
    if count == 0:
        return bytes([empty])
    if count <= 0xFF:
        return bytes([empty + 1, count])
    if count <= 0xFFFF:
        return bytes([empty + 2]) + count.to_bytes(2, "little")
    width = (count.bit_length() + 7) // 8
    return bytes([empty + 3, width]) + count.to_bytes(width, "little")


@pytest.mark.parametrize(
    "value, expected",
    [
        ([], "1c"),
        ((), "26"),
        ({}, "2b"),
        (set(), "21"),
        (frozenset(), "30"),
        (deque(), "49"),
        ([[]], "1d 01 1c"),
        (((), []), "27 02 26 1c"),
        ({(): []}, "2c 01 26 1c"),
        ({frozenset()}, "22 01 30"),
        ([1, 2], "1d 02 05 01 05 02"),
        ({"port": 80}, "2c 01 01 04 70 6f 72 74 05 50"),
        (deque([None, ...]), "4a 02 10 11"),
    ],
)
def test_exact_bytes(value, expected):
    data = encode(value)
    assert data == fd(expected)
    back = decode(data)
    assert back == value
    assert type(back) is type(value)


SIZES = [0, 1, 255, 256, 65535, 65536]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind, empty", [(list, 0x1C), (tuple, 0x26), (deque, 0x49)])
def test_sequence_size_classes(kind, empty, size):
    value = kind([None] * size)
    data = encode(value)
    assert data == b"\xfd" + header(empty, size) + b"\x10" * size
    back = decode(data)
    assert type(back) is kind and back == value


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind, empty", [(set, 0x21), (frozenset, 0x30)])
def test_set_size_classes(kind, empty, size):
    value = kind(range(size))
    data = encode(value)
    assert data.startswith(b"\xfd" + header(empty, size))
    back = decode(data)
    assert type(back) is kind and back == value


@pytest.mark.parametrize("size", SIZES)
def test_dict_size_classes(size):
    value = {i: None for i in range(size)}
    data = encode(value)
    assert data.startswith(b"\xfd" + header(0x2B, size))
    back = decode(data)
    assert back == value and list(back) == list(value)


def test_list_of_empty_containers_headers():
    assert encode([[]] * 255)[:3] == fd("1d ff")
    assert encode([[]] * 256)[:4] == fd("1e 00 01")
    assert encode([()] * 65536)[:6] == fd("1f 03 00 00 01")


@pytest.mark.parametrize(
    "data",
    [fd("1f 01 01 10"), fd("20 01 01 01 10"), fd("1d 01 10"), fd("1f 08 01 00 00 00 00 00 00 00 10")],
)
def test_width_stated_forms_for_small_counts(data):
    assert decode(data) == [None]


def test_one_form_with_zero_count_is_empty():
    assert decode(fd("1d 00")) == []
    assert decode(fd("22 00")) == set()


def nested(make, depth):
    value = make()
    for _ in range(depth - 1):
        value = make(value)
    return value


WRAPPERS = {
    "list": lambda *inner: [inner[0]] if inner else [],
    "tuple": lambda *inner: (inner[0],) if inner else (),
    "dict": lambda *inner: {"k": inner[0]} if inner else {},
    "deque": lambda *inner: deque([inner[0]]) if inner else deque(),
    "frozenset": lambda *inner: frozenset([inner[0]]) if inner else frozenset(),
}


@pytest.mark.parametrize("kind", sorted(WRAPPERS))
def test_nesting_limit(kind):
    ok = nested(WRAPPERS[kind], 100)
    assert roundtrip(ok) == ok
    with pytest.raises(ValueError, match=f"^{NEST}$"):
        encode(nested(WRAPPERS[kind], 101))


def test_nesting_counts_mixed_containers_and_siblings_do_not():
    # 50 lists around 50 dicts: 100 levels; siblings at the same level add nothing.
    inner = nested(WRAPPERS["dict"], 50)
    value = nested(lambda *x: [x[0], [[]], ()] if x else [inner], 50)
    assert roundtrip(value) == value
    with pytest.raises(ValueError, match=f"^{NEST}$"):
        encode([value])


def test_self_containing_list_is_refused():
    value = []
    value.append(value)
    with pytest.raises(ValueError, match=f"^{NEST}$"):
        encode(value)


def test_deque_maxlen_is_not_kept():
    back = roundtrip(deque([1, 2, 3], maxlen=3))
    assert back == deque([1, 2, 3]) and back.maxlen is None


def test_dict_keeps_insertion_order():
    value = {"b": 1, "a": 2, 3: "c"}
    del value["b"]
    value["b"] = 4
    assert list(roundtrip(value).items()) == [("a", 2), (3, "c"), ("b", 4)]


def test_set_items_follow_iteration_order():
    value = {"x", "y", "zz", 7}
    body = b"".join(encode(item)[1:] for item in value)
    assert encode(value) == fd("22 04") + body


def test_dict_later_duplicate_key_wins():
    assert decode(fd("2c 02 05 01 10 05 01 11")) == {1: ...}


# Subclasses travel as their base type only when their own type name leads to it.
class lst(list):
    pass


class MyList(list):
    pass


class dict_of_things(dict):
    pass


class dx(dict):
    pass


class Registry(dict):
    pass


class settled(set):
    pass


class sx(set):
    pass


class frozen(frozenset):
    pass


class fz(frozenset):
    pass


class MyDeque(deque):
    pass


class Pair(tuple):
    pass


class lemon:
    pass


@pytest.mark.parametrize(
    "value, base",
    [
        (lst([1, 2]), list),
        (dict_of_things(a=1), dict),
        (settled({1}), set),
        (frozen({1}), frozenset),
    ],
)
def test_subclass_with_matching_name_travels_as_base(value, base):
    back = roundtrip(value)
    assert type(back) is base and back == value


@pytest.mark.parametrize(
    "value",
    [
        MyList([1]),
        dx(a=1),
        Registry(a=1),
        sx({1}),
        fz({1}),
        MyDeque([1]),
        Pair((1, 2)),
        lemon(),
        defaultdict(int),
        [defaultdict(list)],
    ],
    ids=lambda v: type(v).__name__,
)
def test_subclass_with_other_name_is_refused(value):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)


@pytest.mark.parametrize(
    "data",
    [fd("1d 02 1c"), fd("1e 05"), fd("1d"), fd("2c 01 10"), fd("22 02 05 01"), fd("4a 01")],
)
def test_missing_items_fail_with_the_offset_error(data):
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(data)


@pytest.mark.parametrize(
    "data", [fd("2c 01 1c 10"), fd("22 01 1c"), fd("31 01 2b"), fd("2c 01 27 01 1c 10")]
)
def test_unhashable_keys_and_items_are_damaged_input(data):
    error = damage(decode, data)
    assert str(error) == UNHASHABLE
    assert type(error.__cause__) is TypeError and "unhashable" in str(error.__cause__)


@pytest.mark.parametrize(
    "make",
    [
        lambda: _with_list(lambda box: box.clear()),
        lambda: _with_list(lambda box: box.append(1)),
        lambda: _with_list(lambda box: box.pop()),
        lambda: _with_dict(lambda box: box.clear()),
        lambda: _with_dict(lambda box: box.update({n: n for n in range(50)})),
        lambda: _with_set(lambda box: box.clear()),
        lambda: _with_set(lambda box: box.update(range(50))),
        lambda: _with_deque(lambda box: box.clear()),
        lambda: _with_deque(lambda box: box.append(1)),
    ],
)
def test_container_changed_while_encoding_fails(make):
    value = make()
    with pytest.raises(RuntimeError):
        encode(value)


def _with_list(change):
    box = []
    box.extend([mutating(lambda: change(box)), 1, 2])
    return box


def _with_dict(change):
    box = {}
    box.update({"a": mutating(lambda: change(box)), "b": 1, "c": 2})
    return box


def _with_set(change):
    box = set()
    box.update({mutating(lambda: change(box)), 1, 2})
    return box


def _with_deque(change):
    box = deque()
    box.extend([mutating(lambda: change(box)), 1, 2])
    return box


def test_item_freed_by_its_own_conversion_is_still_written():
    # The only reference to the item goes away while the item itself is being written.
    box = []
    box.append(mutating(lambda: box.clear()))
    with pytest.raises(RuntimeError):
        encode(box)
    owner = {}
    owner["k"] = mutating(lambda: owner.clear())
    with pytest.raises(RuntimeError):
        encode([owner])


def test_same_size_replacement_keeps_the_count_consistent():
    box = []
    box.extend([mutating(lambda: box.__setitem__(slice(None), [7, 8, 9])), 1, 2])
    data = encode(box)
    # Three items were announced and three values follow.
    assert data[:3] == fd("1d 03")
    assert len(decode(data)) == 3


@pytest.mark.parametrize("claimed, type_name", [(set, "settable"), (Counter, "Counterfeit")])
def test_lookalike_via_class_attribute_is_not_read_as_storage(claimed, type_name):
    # isinstance consults __class__, but items are read from real set or dict storage only.
    lookalike = type(type_name, (), {"__class__": property(lambda self: claimed)})()
    assert isinstance(lookalike, claimed)
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(lookalike)


def test_dict_key_reinserted_while_encoding_fails():
    # Same size throughout, but "k0" would be met (and written) twice. The table is made roomy
    # first so that the changes append to it instead of rebuilding it.
    box = dict.fromkeys(range(30))
    for i in range(30):
        del box[i]
    box["k0"] = 0
    box["k1"] = 1

    def change():
        if "c" in box:
            return
        del box["k0"]
        del box["b"]
        box["k0"] = 0
        box["c"] = 2

    box["a"] = mutating(change)
    box["b"] = 3
    with pytest.raises(RuntimeError):
        encode(box)
