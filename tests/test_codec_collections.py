"""Protocol 2 collections family: namedtuple, Counter, OrderedDict, ChainMap."""
import gc
import struct
import weakref
from collections import ChainMap, Counter, OrderedDict, namedtuple

import pytest

from codec_access import UNHASHABLE, damage, decode, encode, mutating, roundtrip

INVALID = "Likely received an invalid bytes object: "
OFFSET = INVALID + "offset exceeded max limit."
UNSUPPORTED = "Received an unsupported datatype."
NEST = "Exceeded the maximum value nest depth."

E = namedtuple("E", [])
P = namedtuple("P", ["a"])
Point = namedtuple("Point", ["x", "y"])


def fd(hexbytes):
    return bytes.fromhex("fd" + hexbytes.replace(" ", ""))


def same_namedtuple(back, value):
    assert type(back).__name__ == type(value).__name__
    assert back._fields == value._fields
    assert tuple(back) == tuple(value)


@pytest.mark.parametrize(
    "value, expected",
    [
        (E(), "44 01 01 45"),
        (P(""), "45 01 01 01 50 01 01 61 00"),
        (Point(1, None), "45 02 01 05 50 6f 69 6e 74 01 01 78 05 01 01 01 79 10"),
    ],
)
def test_namedtuple_bytes(value, expected):
    data = encode(value)
    assert data == fd(expected)
    back = decode(data)
    same_namedtuple(back, value)
    assert type(back) is not type(value)


def test_decoded_values_of_one_type_share_a_class():
    data = encode(Point(1, 2))
    first, second = decode(data), decode(data)
    assert type(first) is type(second) and type(first) is not Point
    assert first == second == (1, 2)
    assert first.x == 1 and second.y == 2
    many = roundtrip([P(i) for i in range(1000)] + [Point(1, 2), namedtuple("P", "b")(3)])
    assert len({type(item) for item in many[:1000]}) == 1
    assert type(many[0]) not in (type(many[1000]), type(many[1001]))
    assert many[1001].b == 3 and many[999].a == 999


def test_class_cache_is_bounded():
    first = decode(encode(namedtuple("Once", "a")(1)))
    ref = weakref.ref(type(first))
    del first
    for i in range(1000):
        assert roundtrip(namedtuple(f"T{i}", ["f"])(i)).f == i
    gc.collect()
    assert ref() is None


def test_namedtuple_fields_hold_any_value():
    value = Point([1, {"a": (2,)}], P(Counter("ab")))
    back = roundtrip(value)
    same_namedtuple(back, value)
    same_namedtuple(back.y, value.y)
    assert type(back.y.a) is Counter


class Keyword(tuple):
    _fields = ("a", "class")


class dup(tuple):
    _fields = ("a", "a")


@pytest.mark.parametrize("value", [
    namedtuple("R", ["a", "def"], rename=True)(1, 2),  # field _1
    Keyword((1, 2)), dup((1, 2)), type("not an identifier", (tuple,), {"_fields": ()})(),
], ids=lambda v: repr(type(v).__name__))
def test_names_the_decoder_cannot_use_are_refused_when_writing(value):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$") as info:
        encode([value])
    assert isinstance(info.value.__cause__, ValueError)


def test_names_the_factory_refuses_fail_on_decoding():
    renamed = fd("45 02 01 01 52 01 01 61 05 01 01 02 5f 31 05 02")  # R(a=1, _1=2)
    with pytest.raises(ValueError, match="underscore"):
        decode(renamed)


def chain(depth):
    value = P(None)
    for _ in range(depth - 1):
        value = P(value)
    return value


@pytest.mark.parametrize("depth", [150, 800])
def test_namedtuple_chains_do_not_count_as_containers(depth):
    value = chain(depth)
    back = roundtrip([[value]] * 2)
    assert back == [[value]] * 2


def test_namedtuple_chain_inside_the_deepest_containers_decodes():
    value = chain(800)
    for _ in range(99):
        value = [value]
    assert roundtrip(value) == value


@pytest.mark.parametrize("depth", [801, 100_000])
def test_namedtuple_chain_too_deep_is_refused(depth):
    with pytest.raises(ValueError, match=f"^{NEST}$"):
        encode(chain(depth))


def test_101_nested_lists_still_fail():
    value = []
    for _ in range(100):
        value = [value]
    with pytest.raises(ValueError, match=f"^{NEST}$"):
        encode(value)


class FieldsNotTuple(tuple):
    _fields = ["a"]


class FieldNotStr(tuple):
    _fields = ("a", 1)


class TooFewElements(tuple):
    _fields = ("a", "b")


class TooFewFields(tuple):  # would come back as tShort(a=1)
    _fields = ("a",)


class NameNotStr(type):
    @property
    def __name__(cls):
        return 5


class OddName(tuple, metaclass=NameNotStr):
    _fields = ()


@pytest.mark.parametrize(
    "value",
    [FieldsNotTuple((1,)), FieldNotStr((1, 2)), TooFewElements((1,)), TooFewFields((1, 2, 3)),
     OddName(())],
    ids=lambda v: type(v).__qualname__,
)
def test_malformed_namedtuples_are_refused(value):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode([1, {"k": value}])


@pytest.mark.parametrize("error", [KeyError("gone"), KeyboardInterrupt()], ids=repr)
def test_fields_lookup_that_raises_passes_its_error_on(error):
    class Broken(tuple):
        calls = 0

        @property
        def _fields(self):
            Broken.calls += 1
            raise error

    class Hooked(tuple):
        def __getattr__(self, attribute):
            raise error

    for value in (Broken(), [Hooked((1,))]):
        with pytest.raises(type(error)):
            encode(value)
    assert Broken.calls == 1


def test_fields_computed_per_access_are_held_while_written():
    class Fresh(tuple):
        @property
        def _fields(self):
            return tuple(["f" + str(i) for i in range(len(self))])

    back = roundtrip(Fresh((1, 2, 3)))
    assert back._fields == ("f0", "f1", "f2") and back == (1, 2, 3)


# Counter, OrderedDict, ChainMap


@pytest.mark.parametrize(
    "value, expected",
    [
        (Counter(), "4e"),
        (OrderedDict(), "53"),
        (ChainMap(), "59 01 2b"),
        (Counter({"a": 2}), "4f 01 01 01 61 05 02"),
        (Counter({None: -3}), "4f 01 10 05 fd"),
        (OrderedDict([("a", 1), (2, [])]), "54 02 01 01 61 05 01 05 02 1c"),
        (ChainMap({}, {1: 2}), "59 02 2b 2c 01 05 01 05 02"),
    ],
)
def test_collection_bytes(value, expected):
    data = encode(value)
    assert data == fd(expected)
    back = decode(data)
    assert type(back) is type(value) and back == value


def test_chainmap_with_empty_maps_list():
    value = ChainMap()
    value.maps = []
    assert encode(value) == fd("58")
    back = decode(fd("58"))
    assert type(back) is ChainMap and back.maps == [{}]


def test_chainmap_keeps_map_types_and_order():
    value = ChainMap(Counter("aab"), OrderedDict(b=2), {"c": 3})
    back = roundtrip(value)
    assert [type(m) for m in back.maps] == [Counter, OrderedDict, dict]
    assert back.maps == value.maps and back["a"] == 2


def test_counter_counts():
    assert roundtrip(Counter({"x": 2**80, "y": -1, "z": 0})) == Counter({"x": 2**80, "y": -1, "z": 0})
    back = roundtrip(Counter({"t": True}))
    assert back == Counter({"t": 1}) and type(back["t"]) is int
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(Counter({"a": 1.5}))
    # The decoder takes counts of any type.
    assert decode(fd("4f 01 01 01 61 0c") + struct.pack("<d", 1.5)) == Counter({"a": 1.5})


def test_ordereddict_travels_in_storage_order():
    value = OrderedDict(a=1, b=2, c=3)
    value.move_to_end("a")
    assert list(value) == ["b", "c", "a"]
    data = encode(value)
    assert data == fd("54 03 01 01 61 05 01 01 01 62 05 02 01 01 63 05 03")
    assert list(decode(data)) == ["a", "b", "c"]


class Cool(Counter):
    pass


class Chained(ChainMap):
    pass


class MyCounter(Counter):
    pass


class MyOD(OrderedDict):
    pass


class Config(OrderedDict):
    pass


class Cutlery(dict):
    pass


class Chainsaw:
    pass


@pytest.mark.parametrize(
    "value, base", [(Cool("ab"), Counter), (Chained({1: 2}), ChainMap)], ids=["Cool", "Chained"]
)
def test_subclass_with_matching_name_travels_as_base(value, base):
    back = roundtrip(value)
    assert type(back) is base and back == value


@pytest.mark.parametrize(
    "value",
    [MyCounter("a"), MyOD(a=1), Config(a=1), Cutlery(), Chainsaw()],
    ids=lambda v: type(v).__name__,
)
def test_other_subclasses_are_refused(value):
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)


@pytest.mark.parametrize("maps", [({},), None, "abc"])
def test_chainmap_whose_maps_is_not_a_list_is_refused(maps):
    value = ChainMap({})
    value.maps = maps
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)


def test_chainmap_without_maps_is_refused():
    value = ChainMap({})
    del value.maps
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(value)


def test_chainmap_with_unsupported_map_is_refused():
    with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
        encode(ChainMap({}, object()))


def test_counter_changed_while_encoding_fails():
    counter = Counter()
    counter[mutating(lambda: counter.clear())] = 1
    counter["b"] = 2
    with pytest.raises(RuntimeError):
        encode(counter)


def test_chainmap_maps_changed_while_encoding_fails():
    value = ChainMap()
    value.maps = [{"k": mutating(lambda: value.maps.clear())}, {}]
    with pytest.raises(RuntimeError):
        encode(value)


@pytest.mark.parametrize(
    "data",
    [fd("4f 01 1c 05 01"), fd("54 01 1c 10"), fd("4f 01 31 01 2b 05 01")],
)
def test_unhashable_keys_fail_the_decode(data):
    error = damage(decode, data)
    assert str(error) == UNHASHABLE and type(error.__cause__) is TypeError


@pytest.mark.parametrize(
    "data",
    [
        fd("44"),
        fd("45 01 01 01 50 01 01 61"),
        fd("45 02 01 01 50 01 01 61 10"),
        fd("4f 02 10 05 01"),
        fd("54 01 10"),
        fd("59 02 2b"),
        fd("59"),
        fd("47 08 ff ff ff ff ff ff ff 7f"),
    ],
)
def test_truncated_collections_fail_with_the_offset_error(data):
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(data)


def test_namedtuple_field_names_decoded_as_any_value_go_to_the_factory():
    with pytest.raises(ValueError, match="identifiers"):
        decode(fd("45 01 01 01 50 05 01 10"))
    with pytest.raises(ValueError):
        decode(fd("45 01 01 01 50 01 03 64 65 66 10"))  # a keyword as field name
