"""tidewell.Mapping: the same behaviour on shared memory and on Redis, keys of any text, and
several processes sharing one mapping."""
import multiprocessing
import os
import pickle
import secrets
import stat
import threading

import pytest

import tidewell
from conftest import SHM_DIR
from test_stores import CTX, WAIT, redis_server  # noqa: F401 (a fixture)

KEY_HEAD = tidewell.tidewell._KEY_NAME_PREFIX


def _shm_leftovers(tag):
    return [n for n in os.listdir(SHM_DIR) if tag in n]


@pytest.fixture(params=["shm", "redis"])
def url(request):
    """A store URL. Every prefix the test uses contains `tag`; what is left of them on either
    store is removed afterwards."""
    tag = f"tw-test-{os.getpid()}-{secrets.token_hex(4)}"
    if request.param == "shm":
        yield "shm:", tag
        for name in _shm_leftovers(tag):
            os.unlink(os.path.join(SHM_DIR, name))
        return
    server = request.getfixturevalue("redis_server")
    store_prefix = f"{tag}:"
    yield server.url(store_prefix), tag
    store = tidewell.connect(server.url(store_prefix))
    keys = list(store.client.scan_iter(match=store_prefix.encode() + b"*"))
    if keys:
        store.client.delete(*keys)
    store.close()


@pytest.fixture
def store(url):
    store = tidewell.connect(url[0])
    yield store
    store.close()


@pytest.fixture
def make(store, url):
    """Makes mappings whose prefixes carry the test's tag (suffix: the rest of the prefix)."""
    return lambda suffix="m": store.Mapping(f"{url[1]}-{suffix}")


@pytest.fixture
def m(make):
    return make()


@pytest.fixture
def shm_tag():
    tag = f"tw-test-{os.getpid()}-{secrets.token_hex(4)}"
    yield tag
    for name in _shm_leftovers(tag):
        os.unlink(os.path.join(SHM_DIR, name))


# ---------------------------------------------------------------------------------------------
# The mapping protocol, on both stores


def test_items_in_and_out(m):
    assert len(m) == 0 and list(m) == [] and "a" not in m
    m["a"] = 1
    m["b"] = {"nested": [1, 2, (3, None)]}
    m["none"] = None  # a stored None is a value, not a missing key
    assert m["a"] == 1 and m["b"] == {"nested": [1, 2, (3, None)]}
    assert "none" in m and m["none"] is None and m.get("none", 5) is None
    assert sorted(m) == ["a", "b", "none"] and len(m) == 3
    assert sorted(m.keys()) == ["a", "b", "none"] and "a" in m.keys()
    assert dict(m.items()) == {"a": 1, "b": {"nested": [1, 2, (3, None)]}, "none": None}
    assert sorted(map(repr, m.values())) == sorted(map(repr, [1, None, m["b"]]))
    assert m == {"a": 1, "b": {"nested": [1, 2, (3, None)]}, "none": None}
    m["a"] = "replaced"
    assert m["a"] == "replaced"
    del m["a"]
    assert "a" not in m and sorted(m) == ["b", "none"]
    with pytest.raises(KeyError):
        m["a"]
    with pytest.raises(KeyError):
        del m["a"]
    assert m.get("a") is None and m.get("a", 7) == 7


def test_pop_popitem_setdefault(m):
    m["k"] = [1]
    assert m.pop("k") == [1] and "k" not in m
    assert m.pop("k", "gone") == "gone"
    with pytest.raises(KeyError):
        m.pop("k")
    assert m.setdefault("s", {"n": 0}) == {"n": 0}
    assert m.setdefault("s", "other") == {"n": 0} and m["s"] == {"n": 0}
    assert m.setdefault("t") is None and "t" in m
    popped = dict([m.popitem(), m.popitem()])
    assert popped == {"s": {"n": 0}, "t": None} and len(m) == 0
    with pytest.raises(KeyError):
        m.popitem()


def test_update_is_read_modify_write_with_two_arguments(m):
    assert m.update("n", lambda v: v + 1, 10) == 11 and m["n"] == 11
    assert m.update("n", lambda v: v * 2) == 22
    assert m.update("fresh", lambda v: [v], default="d") == ["d"]
    with pytest.raises(ZeroDivisionError):
        m.update("n", lambda v: 1 / 0)
    with pytest.raises(ValueError, match="unsupported datatype"):
        m.update("n", lambda v: object())
    assert m["n"] == 22
    with pytest.raises(TypeError, match="func must be callable"):
        m.update("n", 5)
    # A func that uses its own key would wait for itself.
    with pytest.raises(RuntimeError, match="already in use by this thread"):
        m.update("n", lambda v: m["n"])
    assert m["n"] == 22


def test_update_with_one_argument_is_dict_update(m):
    m.update({"a": 1}, b=2)
    m.update([("c", 3)])
    m.update(default=4, func=5)  # keywords alone are keys, as for dict.update
    assert dict(m.items()) == {"a": 1, "b": 2, "c": 3, "default": 4, "func": 5}


def test_a_key_held_by_an_update_does_not_hold_the_others(m):
    inside, release = threading.Event(), threading.Event()

    def slow(value):
        inside.set()
        assert release.wait(WAIT)
        return value + 1

    m["a"] = 0
    holder = threading.Thread(target=m.update, args=("a", slow))
    holder.start()
    try:
        assert inside.wait(WAIT)
        m["b"] = "written while 'a' is held"
        assert m["b"] == "written while 'a' is held" and sorted(m) == ["a", "b"]
    finally:
        release.set()
        holder.join(WAIT)
    assert m["a"] == 1


def test_unsupported_value_writes_nothing(m):
    with pytest.raises(ValueError, match="unsupported datatype"):
        m["x"] = object()
    assert "x" not in m and len(m) == 0
    assert m.setdefault("y", 1) == 1
    with pytest.raises(ValueError):
        m.setdefault("z", object())
    assert sorted(m) == ["y"]


# ---------------------------------------------------------------------------------------------
# Keys and names


ODD_KEYS = ["", " ", "a/b", "/", "//", "%", "%2F", "%25", "a\0b", "\0", ":", "a:b", "ü", "日本",
            "🐍/%\0", ".", "..", "x" * 200, "\n\t"]


def test_any_text_is_a_key_of_its_own(m):
    for i, key in enumerate(ODD_KEYS):
        m[key] = i
    assert len(m) == len(ODD_KEYS)
    assert sorted(m) == sorted(ODD_KEYS)
    assert {key: m[key] for key in ODD_KEYS} == {key: i for i, key in enumerate(ODD_KEYS)}
    del m["%2F"]
    assert m["/"] == ODD_KEYS.index("/") and "%2F" not in m


def test_key_length_limit(m):
    limit = m.max_key_bytes
    assert limit == 255 - len(KEY_HEAD) - len(m.prefix.encode()) - 1
    m["k" * limit] = "longest"
    assert m["k" * limit] == "longest"
    m["é" * (limit // 2)] = "two bytes each"
    m["/" * (limit // 3)] = "three bytes each"
    too_long = ["k" * (limit + 1), "é" * (limit // 2 + 1), "/" * (limit // 3 + 1)]
    for key in too_long:
        with pytest.raises(ValueError, match=f"at most {limit} bytes in UTF-8"):
            m[key] = 1
        with pytest.raises(ValueError, match=f"at most {limit} bytes"):
            m.update(key, lambda v: 1)
        with pytest.raises(KeyError):
            m[key]
        assert key not in m and m.get(key, "no") == "no" and m.pop(key, "no") == "no"
    assert len(m) == 3  # nothing was written for the keys that do not fit


def test_keys_that_cannot_be_names(m):
    with pytest.raises(ValueError, match="lone surrogate"):
        m["a\udcff"] = 1
    with pytest.raises(TypeError, match="Mapping keys are str, not int"):
        m[1] = 1
    with pytest.raises(TypeError, match="not bytes"):
        m.setdefault(b"k", 1)
    assert 1 not in m and m.get(b"k") is None and "a\udcff" not in m
    with pytest.raises(KeyError):
        m[1]
    assert len(m) == 0


def test_prefixes_do_not_nest(make):
    outer, inner, longer = make("a"), make("a:b"), make("ab")
    outer["b:c"] = "outer"
    inner["c"] = "inner"
    longer["c"] = "longer"
    assert list(outer) == ["b:c"] and list(inner) == ["c"] and list(longer) == ["c"]
    assert outer["b:c"] == "outer" and inner["c"] == "inner" and longer["c"] == "longer"
    outer.clear()
    assert inner["c"] == "inner" and longer["c"] == "longer" and len(outer) == 0


def test_clear_leaves_other_names_alone(store, make, url):
    plain = f"{url[1]}-plain"
    store.write_memory(plain, "plain")
    m, other = make("m"), make("other")
    for i in range(20):
        m[f"k{i}"] = i
    other["k0"] = "kept"
    m.clear()
    assert len(m) == 0
    assert store.read_memory(plain) == "plain" and other["k0"] == "kept"
    store.remove_memory(plain)


@pytest.mark.parametrize("name", [KEY_HEAD + "x:y", "/" + KEY_HEAD + "x:y"])
def test_plain_names_cannot_be_keys(store, name):
    message = f"Shared memory names starting with '{KEY_HEAD}' are reserved."
    for call in (lambda: store.write_memory(name, 1), lambda: store.read_memory(name),
                 lambda: store.create_memory(name), lambda: store.remove_memory(name),
                 lambda: store.update_memory(name, len)):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message


def test_mappings_of_one_prefix_are_one_mapping(store, url):
    first, second = store.Mapping(f"{url[1]}-same"), store.Mapping(f"{url[1]}-same")
    first["k"] = "v"
    assert second["k"] == "v" and first == second
    assert repr(first).startswith(f"tidewell.Mapping('{url[1]}-same'")


# ---------------------------------------------------------------------------------------------
# Shared memory only


def test_names_made_by_hand_are_not_keys(shm_tag):
    m = tidewell.Mapping(shm_tag)
    m["real"] = 1
    head = KEY_HEAD + shm_tag + ":"
    # Another spelling of a key, a bad escape, a name that is not UTF-8: none of them is a key.
    strays = [head + "%72eal", head + "%zz", os.fsencode(head) + b"\xff"]
    for stray in strays:
        with open(os.path.join(os.fsencode(SHM_DIR), os.fsencode(stray)), "wb"):
            pass
    assert list(m) == ["real"] and len(m) == 1 and dict(m.items()) == {"real": 1}
    m.clear()
    left = sorted(os.fsencode(n) for n in os.listdir(SHM_DIR) if n.startswith(head))
    assert left == sorted(os.fsencode(s) for s in strays)


def test_listing_reaches_only_key_names(shm_tag):
    with pytest.raises(ValueError, match="must start with '.tidewell-map-'"):
        tidewell.tidewell._key_names(shm_tag)
    assert tidewell.tidewell._key_names(KEY_HEAD + shm_tag + ":") == []
    # The Redis store checks key names by the same rule.
    with pytest.raises(ValueError, match="must start with '.tidewell-map-'"):
        tidewell.tidewell._check_key_name(shm_tag)
    assert tidewell.tidewell._check_key_name("/" + KEY_HEAD + "p:k") == (KEY_HEAD + "p:k").encode()


def test_mode_of_new_keys(shm_tag):
    m = tidewell.Mapping(shm_tag, mode=0o640)
    m["k"] = 1
    m.update("u", lambda v: 1, 0)
    for key in ("k", "u"):
        st = os.stat(os.path.join(SHM_DIR, m._name(key)))
        assert stat.S_IMODE(st.st_mode) == 0o640
    with pytest.raises(ValueError, match="The mode must be permission bits"):
        tidewell.Mapping(shm_tag + "x", mode=0o044)["k"] = 1


def test_each_key_is_its_own_value(shm_tag):
    """A damaged key is that key's problem alone, and del still removes it."""
    m = tidewell.Mapping(shm_tag)
    m["good"] = "fine"
    m["bad"] = "soon damaged"
    with open(os.path.join(SHM_DIR, m._name("bad")), "r+b") as f:
        f.seek(48)
        f.write(b"\xff")  # a writer killed midway leaves this marker
    with pytest.raises(ValueError, match="invalid bytes object"):
        m["bad"]
    with pytest.raises(ValueError, match="invalid bytes object"):
        m.pop("bad")
    assert m["good"] == "fine" and "bad" in list(m)
    del m["bad"]
    assert list(m) == ["good"]


def test_a_pickled_mapping_is_the_same_mapping(shm_tag):
    m = tidewell.Mapping(shm_tag, mode=0o640)
    copy = pickle.loads(pickle.dumps(m))
    copy["k"] = 1
    assert m["k"] == 1 and copy.prefix == shm_tag
    assert stat.S_IMODE(os.stat(os.path.join(SHM_DIR, m._name("k"))).st_mode) == 0o640
    spawned = multiprocessing.get_context("spawn").Pool(1)
    try:
        assert spawned.apply(len, (m,)) == 1
    finally:
        spawned.terminate()
        spawned.join()


def test_redis_mapping_takes_no_mode_and_no_pickle(redis_server, shm_tag):
    store = tidewell.connect(redis_server.url(f"{shm_tag}:"))
    with pytest.raises(ValueError, match="shared memory only"):
        tidewell.Mapping("p", store=store, mode=0o640)
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(store.Mapping("p"))
    store.close()


def test_redis_names_lists_by_prefix(redis_server, shm_tag):
    store = tidewell.connect(redis_server.url(f"{shm_tag}:"))
    try:
        names = ("a*b", "a*c", "ab", "b", "ü", "a:b", "a%3Ab", "a%c")
        for name in names:
            store.write_memory(name, 1)
        assert sorted(store.names("a*")) == ["a*b", "a*c"]  # glob characters match themselves
        assert sorted(store.names()) == sorted(names)
        # Names reach keys escaped ("%" and ":"), and are listed by the name, not the key.
        assert store.names("a:") == ["a:b"]
        assert sorted(store.names("a%")) == ["a%3Ab", "a%c"]
        m = store.Mapping("x:%")
        m["k:%"] = 1
        assert list(m) == ["k:%"] and m["k:%"] == 1
    finally:
        store.client.delete(*store.client.keys(f"{shm_tag}:*".encode()))
        store.close()


# ---------------------------------------------------------------------------------------------
# Several processes


def _run(target, *args):
    results = CTX.Queue()
    process = CTX.Process(target=_report, args=(target, args, results), daemon=True)
    process.start()
    return process, results


def _report(target, args, results):
    try:
        results.put(("ok", target(*args)))
    except BaseException as exc:
        results.put(("raised", f"{type(exc).__name__}: {exc}"))


def _outcomes(started):
    try:
        return [results.get(timeout=WAIT) for _, results in started]
    finally:
        for process, _ in started:
            if process.is_alive():
                process.kill()
            process.join(WAIT)


def _fill(url, prefix, keys):
    m = tidewell.connect(url).Mapping(prefix)
    for key in keys:
        m[key] = {"by": os.getpid(), "key": key}
    return os.getpid()


def _count(url, prefix, times):
    m = tidewell.connect(url).Mapping(prefix)
    for _ in range(times):
        m.update("n", lambda v: v + 1, 0)


def _pop_all(url, prefix, keys):
    m = tidewell.connect(url).Mapping(prefix)
    return [key for key in keys if m.pop(key, None) is not None]


def test_another_process_sees_the_keys(url, m):
    outcome = _outcomes([_run(_fill, url[0], m.prefix, ["a/b", "c", "ü"])])
    assert outcome[0][0] == "ok"
    pid = outcome[0][1]
    assert sorted(m) == ["a/b", "c", "ü"] and m["ü"] == {"by": pid, "key": "ü"}


def test_writers_of_different_keys_and_of_one_key(url, m):
    fills = [_run(_fill, url[0], m.prefix, [f"w{i}-{j}" for j in range(30)]) for i in range(2)]
    counts = [_run(_count, url[0], m.prefix, 100) for _ in range(2)]
    assert [o[0] for o in _outcomes(fills + counts)] == ["ok"] * 4
    assert m["n"] == 200  # no update lost
    assert len(m) == 61


def test_each_key_is_popped_once(url, m):
    keys = [f"k{i}" for i in range(60)]
    m.update({key: i for i, key in enumerate(keys)})
    poppers = [_run(_pop_all, url[0], m.prefix, keys) for _ in range(2)]
    outcomes = _outcomes(poppers)
    assert [o[0] for o in outcomes] == ["ok", "ok"]
    first, second = outcomes[0][1], outcomes[1][1]
    assert sorted(first + second) == sorted(keys) and not set(first) & set(second)
    assert len(m) == 0
