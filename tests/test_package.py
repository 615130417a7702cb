"""The package surface: import, version, signatures, stubs, and the details errors carry."""
import errno
import importlib.metadata
import importlib.util
import inspect
import subprocess
import sys
from collections import Counter
from pathlib import Path, PurePosixPath

import pytest

import tidewell

TIMEOUT = 120
NATIVE = ["create_memory", "remove_memory", "read_memory", "write_memory", "update_memory",
          "create_function", "remove_function", "call_function", "dumps", "loads", "trust"]


def run(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=TIMEOUT)


class TestSurface:
    def test_reexports_are_the_native_functions(self):
        native = {n for n in dir(tidewell.tidewell) if not n.startswith("_")}
        assert set(NATIVE) <= native
        assert native | {"Value", "ObjectInfo", "describe"} <= set(tidewell.__all__)
        for n in native:
            assert getattr(tidewell, n) is getattr(tidewell.tidewell, n)
        for n in tidewell.__all__:
            assert getattr(tidewell, n) is not None

    def test_version_comes_from_the_metadata_on_first_use(self):
        assert tidewell.__version__ == importlib.metadata.version("tidewell")
        result = run("-c", "import sys, tidewell; print('importlib.metadata' in sys.modules); "
                           "print(tidewell.__version__)")
        assert result.stdout.split() == ["False", tidewell.__version__]
        with pytest.raises(AttributeError, match="no attribute 'nope'"):
            tidewell.nope

    def test_package_files(self):
        root = Path(tidewell.__file__).parent
        assert (root / "py.typed").exists() and (root / "tidewell.pyi").exists()
        assert Path(tidewell.tidewell.__file__).parent == root

    @pytest.mark.parametrize("fn, signature", [
        ("create_memory", "(name, prealloc_size=0, error_if_exists=False, *, mode=384)"),
        ("remove_memory", "(name, throw_error=False)"),
        ("read_memory", "(name, /)"),
        ("write_memory", "(name, value, create=True, *, mode=384)"),
        ("update_memory", "(name, func, default=None, create=True)"),
        ("create_function", "(name, func, /, *, mode=384, errors='raise', shared=False)"),
        ("remove_function", "(name, /)"),
        ("call_function", "(name, args, /)"),
        ("dumps", "(value, /)"),
        ("loads", "(data, /)"),
        ("trust", "(*, uids=(), gids=())"),
    ])
    def test_signatures(self, fn, signature):
        assert str(inspect.signature(getattr(tidewell, fn))) == signature

    def test_shown_defaults_behave_like_omitted_arguments(self, name):
        # The flags may not be passed as None, so the signatures show values that may be passed.
        assert tidewell.create_memory(name, 0, False) is True
        assert tidewell.write_memory(name, 1, True) is True
        assert tidewell.read_memory(name) == 1
        assert tidewell.remove_memory(name, False) is True
        assert tidewell.remove_memory(name, False) is False


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy (the test extra)")
class TestTyping:
    def test_strict_sample_program(self, tmp_path):
        sample = Path(__file__).with_name("typecheck") / "sample.py"
        result = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(sample))
        assert result.returncode == 0, result.stdout + result.stderr

    def test_stubs_match_the_runtime(self):
        result = run("-m", "mypy.stubtest", "tidewell")
        assert result.returncode == 0, result.stdout + result.stderr


class Odd:
    pass


class TestErrorDetails:
    @pytest.mark.parametrize("value, type_name", [
        (object(), "object"),
        ([1, {"k": (2, Odd())}], f"{__name__}.Odd"),
        ({1: Counter(a="x")}, "collections.Counter"),
        ({frozenset({1}): {Odd}}, "type"),
    ])
    def test_unsupported_type_is_named_in_the_cause(self, name, value, type_name):
        for call in (lambda: tidewell.dumps(value), lambda: tidewell.write_memory(name, value)):
            with pytest.raises(ValueError) as err:
                call()
            assert err.value.args == ("Received an unsupported datatype.",)
            assert isinstance(err.value.__cause__, TypeError)
            assert str(err.value.__cause__) == f"The refused value is of type '{type_name}'."

    def test_interrupt_while_searching_is_not_swallowed(self):
        class Refused(list):  # refused by its name before any item is written
            pass

        class PathThatInterrupts(PurePosixPath):  # a P... name is written as a path
            def __str__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            tidewell.dumps(Refused([1, PathThatInterrupts("a")]))

    def test_system_call_failure_carries_errno(self, name):
        with pytest.raises(MemoryError) as err:
            tidewell.write_memory(name, 1, create=False)
        assert str(err.value) == f"Failed to open shared memory address '{name}'."
        assert isinstance(err.value.__cause__, FileNotFoundError)
        assert err.value.__cause__.errno == errno.ENOENT

    def test_errors_that_state_their_reason_get_no_cause(self, name):
        tidewell.create_memory(name)
        with pytest.raises(MemoryError) as err:
            tidewell.create_memory(name, error_if_exists=True)
        assert err.value.__cause__ is None
