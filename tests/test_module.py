"""The module surface: argument rules and messages, docstrings, exported symbols, lifecycle."""
import ctypes
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import codec_access
import tidewell

TIMEOUT = 60

MSG_CREATE = "Expected at least the name (str) argument."
MSG_REMOVE = "Expected at least the 'name' (str) argument."
MSG_READ = "Expected 1 'str' type."
MSG_WRITE = "Expected at least the 'name' (str) and 'value' (any) arguments."
MSG_CREATE_FN = "Expected a 'str' and 'callable' type."
MSG_CALL = "Expected a 'str' and 'tuple' type."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tidewell.create_memory(), MSG_CREATE),
        (lambda: tidewell.create_memory("x", prealloc_size=1.5), MSG_CREATE),
        (lambda: tidewell.create_memory("x", None), MSG_CREATE),
        (lambda: tidewell.create_memory("x", 1, 1), MSG_CREATE),
        (lambda: tidewell.create_memory("x", bogus=1), MSG_CREATE),
        (lambda: tidewell.create_memory("\ud800"), MSG_CREATE),
        (lambda: tidewell.remove_memory("x", throw_error=1), MSG_REMOVE),
        (lambda: tidewell.remove_memory(b"x"), MSG_REMOVE),
        (lambda: tidewell.read_memory(b"x"), MSG_READ),
        (lambda: tidewell.read_memory(), MSG_READ),
        (lambda: tidewell.read_memory("x", "y"), MSG_READ),
        (lambda: tidewell.write_memory("x"), MSG_WRITE),
        (lambda: tidewell.write_memory("x", 1, None), MSG_WRITE),
        (lambda: tidewell.write_memory("x", 1, create=0), MSG_WRITE),
        (lambda: tidewell.create_function("f", 5), MSG_CREATE_FN),
        (lambda: tidewell.create_function("f"), MSG_CREATE_FN),
        (lambda: tidewell.remove_function(), MSG_READ),
        (lambda: tidewell.remove_function("f", 1), MSG_READ),
        (lambda: tidewell.call_function("f", [1, 2]), MSG_CALL),
        (lambda: tidewell.call_function("f"), MSG_CALL),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


ALL_SEVEN = [
    lambda n: tidewell.create_memory(n, error_if_exists=True),
    lambda n: tidewell.remove_memory(n, throw_error=True),
    lambda n: tidewell.read_memory(n),
    lambda n: tidewell.write_memory(n, 1),
    lambda n: tidewell.create_function(n, print),
    lambda n: tidewell.remove_function(n),
    lambda n: tidewell.call_function(n, ()),
    lambda n: tidewell.tidewell._check_name(n),  # the same check, for the Python stores
]


@pytest.mark.parametrize("call", ALL_SEVEN)
@pytest.mark.parametrize(
    "bad, problem",
    [
        ("", "must not be empty"),
        ("/", "must not be empty"),
        (".", "must not be '.' or '..'"),
        ("/..", "must not be '.' or '..'"),
        ("a/b", "must not contain '/' after its first character"),
        ("//a", "must not contain '/' after its first character"),
        ("x\0y", "must not contain a NUL character"),
        ("x" * 256, "must be at most 255 bytes in UTF-8 (this one has 256)"),
        ("é" * 128, "must be at most 255 bytes in UTF-8 (this one has 256)"),
        (".tidewell-new-1-2-3", "starting with '.tidewell-new-' are reserved"),
    ],
)
def test_invalid_names_are_refused_before_any_system_call(call, bad, problem):
    # Only what this process could have made: other processes may use /dev/shm meanwhile.
    def ours():
        return {n for n in os.listdir("/dev/shm")
                if n == bad.lstrip("/") or n.startswith(f".tidewell-new-{os.getpid()}-")}

    before = ours()
    with pytest.raises(ValueError) as err:
        call(bad)
    assert problem in str(err.value)
    assert ours() == before


@pytest.mark.parametrize("length", [254, 255])
def test_names_work_up_to_the_system_limit(name, length):
    name += "n" * (length - len(name))
    try:
        assert tidewell.create_memory(name, error_if_exists=True) is True
        assert tidewell.write_memory(name, "v") and tidewell.read_memory(name) == "v"
    finally:
        assert tidewell.remove_memory(name) is True


def test_one_leading_slash_names_the_same_object(name):
    tidewell.write_memory("/" + name, 5)
    assert tidewell.read_memory(name) == 5
    assert tidewell.remove_memory("/" + name) is True


def test_the_rules_the_python_stores_take_from_the_module():
    native = tidewell.tidewell
    assert dict(native._messages) | {
        "create_memory": MSG_CREATE, "remove_memory": MSG_REMOVE, "read_memory": MSG_READ,
        "remove_function": MSG_READ, "write_memory": MSG_WRITE,
        "create_function": MSG_CREATE_FN, "call_function": MSG_CALL,
    } == dict(native._messages)
    with pytest.raises(TypeError):
        native._messages["read_memory"] = "changed"  # one table for every store
    assert [native._check_name(n) for n in ("/é", "a" * 255, b"a", "a\udcff", None)] == [
        "é".encode(), b"a" * 255, None, None, None]
    assert [native._check_mode(m) for m in (0o600, True + 0o677, "0o600")] == [0o600, 0o700, None]
    for mode in (0o400, -1, 1 << 70, True):
        with pytest.raises(ValueError, match=r"^The mode must be permission bits"):
            native._check_mode(mode)
    # The largest pre-allocation: whatever the object's header leaves of the address space.
    limit = native._limits["prealloc_size"]
    with pytest.raises(ValueError, match="^The given pre-allocate size is too large.$"):
        tidewell.create_memory("n", limit + 1)


def test_varargs_functions_take_no_keywords():
    with pytest.raises(TypeError):
        tidewell.read_memory(name="x")
    with pytest.raises(TypeError):
        tidewell.call_function(name="f", args=())


def test_keyword_arguments(name):
    assert tidewell.write_memory(name=name, value=1) is True
    assert tidewell.create_memory(name=name, error_if_exists=False) is False
    assert tidewell.remove_memory(name=name, throw_error=False) is True


def test_docstrings():
    assert tidewell.__doc__ == "A module for managing shared memory with Python."
    seven = ["create_memory", "remove_memory", "read_memory", "write_memory", "create_function",
             "remove_function", "call_function"]
    assert {f: getattr(tidewell, f).__doc__ for f in seven} == {
        "create_memory": "Create a shared memory address.",
        "remove_memory": "Remove a shared memory address.",
        "read_memory": "Get the value stored in a shared memory address.",
        "write_memory": "Write a value to a shared memory address.",
        "create_function": "Create and link a function to shared memory.",
        "remove_function": "Stop a function linked to shared memory.",
        "call_function": "Call a function linked to shared memory.",
    }


EXPORTED_FUNCTIONS = [
    "create_memory", "remove_memory", "read_memory", "write_memory", "create_function",
    "remove_function", "call_function", "call_shared_function", "from_value", "to_value",
    "to_value_prot1", "zeb2_init", "zeb2_cleanup", "zeb1_init", "PyInit_tidewell",
    "tidewell_module_cleanup",
]
CLASS_GLOBALS = [
    "datetime_dt", "datetime_d", "datetime_t", "uuid_cl", "decimal_cl", "namedtuple_cl",
    "deque_cl", "counter_cl", "ordereddict_cl", "chainmap_cl", "path_cl", "purepath_cl",
]


def test_exported_symbols():
    lib = ctypes.PyDLL(tidewell.tidewell.__file__)
    for symbol in EXPORTED_FUNCTIONS:
        assert hasattr(lib, symbol), symbol
    for symbol in CLASS_GLOBALS:
        assert ctypes.py_object.in_dll(lib, symbol).value is not None, symbol


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_nothing_else_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tidewell.tidewell.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.split()[-2] in "TDBRV"}
    assert exported == set(EXPORTED_FUNCTIONS + CLASS_GLOBALS)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=TIMEOUT
    )


def test_module_freed_and_imported_again_keeps_working():
    result = run_python(
        """
        import gc, sys, collections, ctypes
        import tidewell
        path = tidewell.tidewell.__file__
        del tidewell
        del sys.modules["tidewell"], sys.modules["tidewell.tidewell"]
        gc.collect()
        import tidewell
        lib = ctypes.PyDLL(path)
        enc = lib["from_value"]; enc.restype = ctypes.py_object; enc.argtypes = [ctypes.py_object]
        print(enc(collections.deque([1])).hex())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "fd4a010501"


@pytest.mark.parametrize(
    "blocked, exc, message",
    [
        ("pathlib", "ModuleNotFoundError", "Could not find module 'pathlib'."),
        ("decimal", "ModuleNotFoundError", "Could not find module 'decimal'."),
    ],
)
def test_import_fails_with_the_registry_error(blocked, exc, message):
    result = run_python(
        f"""
        import sys
        sys.modules[{blocked!r}] = None
        try:
            import tidewell
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert result.stdout.strip() == f"{exc} {message}", result.stderr


def test_missing_attribute_is_reported_by_the_registry():
    result = run_python(
        """
        import pathlib
        del pathlib.Path
        try:
            import tidewell
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert result.stdout.strip() == "AttributeError Could not fund attribute 'Path' in module 'pathlib'."


class TestCodecFunctions:
    def test_dumps_is_the_codec_and_loads_reads_any_bytes_like(self):
        value = {"port": 80, "hosts": ["a", "b"], "t": (1, 2.5, None)}
        data = tidewell.dumps(value)
        assert data == codec_access.encode(value)
        for form in (data, bytearray(data), memoryview(data), memoryview(b"xx" + data)[2:]):
            assert tidewell.loads(form) == value
        assert tidewell.loads(bytes.fromhex("fe04ff")) == -1  # protocol 1

    @pytest.mark.parametrize("call", [
        lambda: tidewell.dumps(), lambda: tidewell.dumps(1, 2), lambda: tidewell.loads(),
        lambda: tidewell.loads("text"), lambda: tidewell.loads(5),
    ])
    def test_argument_errors(self, call):
        with pytest.raises(ValueError, match="^Expected 1 "):
            call()

    def test_refusals_match_write_memory(self):
        with pytest.raises(ValueError, match="unsupported datatype"):
            tidewell.dumps(object())
        with pytest.raises(ValueError, match="invalid protocol marker"):
            tidewell.loads(b"\x00")
