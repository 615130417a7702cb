"""Shared values: creation, growth, reading and writing across processes, crash safety."""
import multiprocessing
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import tidewell
from conftest import shm_exists, shm_path
from helpers import pid_of_a_process_that_ended, read_line, sleeps_on, wait_until

TIMEOUT = 30

# A child that takes a segment's lock the way tidewell does and dies holding it.
LOCK_AND_DIE = textwrap.dedent(
    """
    import ctypes, mmap, os, sys
    name, mode = sys.argv[1], sys.argv[2]
    libc = ctypes.CDLL(None)
    fd = os.open("/dev/shm/" + name, os.O_RDWR)
    mm = mmap.mmap(fd, os.fstat(fd).st_size)
    base = ctypes.addressof(ctypes.c_char.from_buffer(mm))
    assert libc.pthread_mutex_lock(ctypes.c_void_p(base + 8)) == 0
    if mode == "torn":
        # Die in the middle of a write: marker set to "write in progress", half the bytes copied.
        mm[48] = 0xFF
        mm[49:52] = b"\\x01\\x05a"
    if mode == "hold":
        print("locked", flush=True)
        sys.stdin.readline()
        libc.pthread_mutex_unlock(ctypes.c_void_p(base + 8))
        sys.exit(0)
    os._exit(0)
    """
)


def run_child(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", LOCK_AND_DIE, *args], timeout=TIMEOUT, check=True, **kwargs
    )


def object_size(name):
    return os.stat(shm_path(name)).st_size


def header_capacity(name):
    with open(shm_path(name), "rb") as f:
        return struct.unpack("<Q", f.read(8))[0]


class TestCreateAndRemove:
    def test_create_twice(self, name):
        assert tidewell.create_memory(name) is True
        assert tidewell.create_memory(name) is False
        with pytest.raises(MemoryError) as err:
            tidewell.create_memory(name, error_if_exists=True)
        assert str(err.value) == f"The memory address '{name}' already exists."
        assert tidewell.create_memory(name, error_if_exists=False) is False

    def test_fresh_segment_reads_none(self, name):
        tidewell.create_memory(name)
        assert tidewell.read_memory(name) is None
        assert object_size(name) == 48

    def test_preallocated_never_written_reads_none(self, name):
        assert tidewell.create_memory(name, 16)
        assert object_size(name) == 64
        assert tidewell.read_memory(name) is None
        tidewell.write_memory(name, "x")
        assert tidewell.read_memory(name) == "x"

    def test_prealloc_true_is_one_byte(self, name):
        assert tidewell.create_memory(name, prealloc_size=True)
        assert header_capacity(name) == 1

    @pytest.mark.parametrize("size", [-1, 2**64, 2**64 - 48, 2**64 - 1])
    def test_prealloc_too_large(self, name, size):
        with pytest.raises(ValueError) as err:
            tidewell.create_memory(name, size)
        assert str(err.value) == tidewell.tidewell._messages["prealloc_size"]
        assert not shm_exists(name)

    def test_prealloc_that_cannot_be_reserved(self, name):
        with pytest.raises(MemoryError) as err:
            tidewell.create_memory(name, 2**62)
        assert str(err.value) == f"Failed to allocate for shared memory address '{name}'."
        assert not shm_exists(name)
        assert not [f for f in os.listdir("/dev/shm") if f.startswith(f".tidewell-new-{os.getpid()}-")]

    def test_creation_removes_temporaries_of_dead_creators(self, name):
        dead_pid, live_pid = pid_of_a_process_that_ended(), os.getpid()
        old = time.time() - 60
        temps = {
            f".tidewell-new-{dead_pid}-0-{name}": False,  # creator gone: removed
            f".tidewell-new-{live_pid}-0-{name}": True,  # creator alive: kept
        }
        try:
            for temp in temps:
                with open(shm_path(temp), "wb") as f:
                    f.write(b"\0" * 4096)
                os.utime(shm_path(temp), (old, old))
            # A fresh process sweeps at its first creation.
            subprocess.run([sys.executable, "-c", f"import tidewell; tidewell.create_memory({name!r})"],
                           timeout=TIMEOUT, check=True)
            assert {t: shm_exists(t) for t in temps} == temps
        finally:
            for temp in temps:
                if shm_exists(temp):
                    os.unlink(shm_path(temp))

    def test_remove(self, name):
        assert tidewell.remove_memory(name) is False
        with pytest.raises(MemoryError, match="^Failed to unlink the shared memory.$"):
            tidewell.remove_memory(name, throw_error=True)
        tidewell.write_memory(name, 1)
        assert tidewell.remove_memory(name, True) is True
        assert not shm_exists(name)


class TestReadWrite:
    def test_read_missing(self, name):
        with pytest.raises(MemoryError) as err:
            tidewell.read_memory(name)
        assert str(err.value) == f"Failed to open shared memory address '{name}'."
        assert not shm_exists(name)

    def test_write_create_flag(self, name):
        with pytest.raises(MemoryError) as err:
            tidewell.write_memory(name, 1, create=False)
        assert str(err.value) == f"Failed to open shared memory address '{name}'."
        assert not shm_exists(name)
        assert tidewell.write_memory(name, 1, create=True) is True
        assert tidewell.write_memory(name, 2, False) is True
        assert tidewell.read_memory(name) == 2

    def test_growth_sizes(self, name):
        tidewell.create_memory(name)
        tidewell.write_memory(name, "x" * 8)  # FD 01 08 + 8 bytes: 11 bytes
        assert header_capacity(name) == 43
        tidewell.write_memory(name, "y")  # shorter: no change
        tidewell.write_memory(name, "z" * 40)  # 43 bytes: fits exactly
        assert header_capacity(name) == 43
        tidewell.write_memory(name, "z" * 41)  # 44 bytes: grows
        assert header_capacity(name) == 76
        # Beyond the capacity the object keeps room for a redo copy of the value being written.
        assert object_size(name) >= 48 + 76 + 44
        assert tidewell.read_memory(name) == "z" * 41

    def test_growth_sizes_of_the_format(self, name):
        tidewell.create_memory(name)
        tidewell.write_memory(name, "x" * 7)  # 10 bytes
        assert header_capacity(name) == 42
        tidewell.write_memory(name, "x" * 39)  # 42 bytes
        assert header_capacity(name) == 42
        tidewell.write_memory(name, "x" * 40)  # 43 bytes
        assert header_capacity(name) == 75

    def test_short_after_long(self, name):
        tidewell.write_memory(name, list(range(100)))
        tidewell.write_memory(name, "s")
        assert tidewell.read_memory(name) == "s"

    def test_unencodable_value_touches_nothing(self, name):
        with pytest.raises(ValueError, match="unsupported datatype"):
            tidewell.write_memory(name, object())
        assert not shm_exists(name)
        tidewell.write_memory(name, "kept")
        with pytest.raises(ValueError):
            tidewell.write_memory(name, [object()])
        assert tidewell.read_memory(name) == "kept"

    @pytest.mark.parametrize(
        "value", [0, -5, 2**100, "é" * 1000, b"\x00" * 5000, 1.5, None, True, [1, (2, 3)], {"k": [1.5, None]}]
    )
    def test_round_trip(self, name, value):
        tidewell.write_memory(name, value)
        assert tidewell.read_memory(name) == value

    def test_large_value(self, name):
        value = b"\xab" * (3 << 20)
        tidewell.write_memory(name, value)
        assert tidewell.read_memory(name) == value


class TestDamagedSegments:
    def test_object_shorter_than_header(self, name):
        with open(shm_path(name), "wb") as f:
            f.write(b"\x00" * 10)
        with pytest.raises(MemoryError, match=name):
            tidewell.read_memory(name)
        with pytest.raises(MemoryError, match=name):
            tidewell.write_memory(name, 1)

    def test_header_claims_more_than_the_object_holds(self, name):
        tidewell.write_memory(name, 5)
        with open(shm_path(name), "r+b") as f:
            f.write(struct.pack("<Q", 10**6))
        with pytest.raises(MemoryError, match=name):
            tidewell.read_memory(name)
        # The failed call left the mutex free.
        with open(shm_path(name), "r+b") as f:
            f.write(struct.pack("<Q", 0))
        assert tidewell.read_memory(name) is None

    @pytest.mark.parametrize("capacity", [2**64 - 1, 2**64 - 16, 2**64 - 48, 2**63])
    @pytest.mark.parametrize("size", [5, 100_000])
    def test_capacity_near_two_to_the_64(self, name, capacity, size):
        tidewell.write_memory(name, b"v" * size)
        with open(shm_path(name), "r+b") as f:
            f.write(struct.pack("<Q", capacity))
        with pytest.raises(MemoryError, match="header claims more than it holds"):
            tidewell.read_memory(name)
        with pytest.raises(MemoryError, match="header claims more than it holds"):
            tidewell.update_memory(name, lambda v: v, None)
        # What it held is lost; a write replaces all of it, so it repairs the object.
        assert tidewell.write_memory(name, b"w" * 100_000) is True
        assert tidewell.read_memory(name) == b"w" * 100_000

    def test_values_of_the_function_segment_size_stay_values(self, name, shm_name):
        value = "a" * 90 + "TW" + "a" * 992  # would make a 1168-byte object with "TW" at 142
        tidewell.write_memory(name, value)
        tidewell.write_memory(name, value)
        assert tidewell.read_memory(name) == value
        assert object_size(name) != 1168
        other = shm_name()
        tidewell.create_memory(other, prealloc_size=1168 - 48)
        assert object_size(other) != 1168
        tidewell.write_memory(other, value)
        assert tidewell.read_memory(other) == value

    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(
        capacity=st.one_of(st.integers(0, 300), st.integers(0, 2**64 - 1),
                           st.integers(2**64 - 100, 2**64 - 1)),
        data=st.binary(max_size=200),
        size=st.integers(0, 256),
    )
    # Drawn once each: a UUID of 32 zero bytes, a range cut short, a timedelta beyond its range,
    # an unhashable set item, a Decimal that is no number.
    @example(capacity=40, data=b"\xfe1", size=40)
    @example(capacity=3, data=b"\xfdC\x05", size=3)
    @example(capacity=14, data=b"\xfd\x36\xff\xff\xff\x7f", size=14)
    @example(capacity=4, data=b"\xfd\x22\x01\x1c", size=4)
    @example(capacity=6, data=b"\xfd\x3f\x03abc", size=6)
    def test_damaged_header_and_data_never_crash(self, name, capacity, data, size):
        """Any capacity and any data area: an error or a value, never a crash."""
        tidewell.write_memory(name, 0)
        with open(shm_path(name), "r+b") as f:
            f.truncate(48 + size)
            f.write(struct.pack("<Q", capacity))
            f.seek(48)
            f.write(data[:size])
        try:
            tidewell.read_memory(name)
        except (ValueError, MemoryError):
            pass
        try:
            tidewell.write_memory(name, "v" * (size % 50))
            assert tidewell.read_memory(name) == "v" * (size % 50)
        except MemoryError as e:
            assert "claims more than it holds" in str(e)
        finally:
            os.unlink(shm_path(name))

    @pytest.mark.parametrize("header", [
        bytes(48),  # never initialised
        struct.pack("<Q5i", 0, 4242, 0, 4242, 1, 0).ljust(48, b"\0"),  # "locked" by a stranger
    ])
    def test_foreign_object_is_refused_not_waited_on(self, name, header):
        with open(shm_path(name), "wb") as f:
            f.write(header + b"\xfd\x05\x01")
        code = "import sys, tidewell\ntry: tidewell.read_memory(sys.argv[1])\nexcept MemoryError as e: print(e)"
        out = subprocess.run([sys.executable, "-c", code, name], capture_output=True, text=True, timeout=10)
        assert out.stdout.strip() == f"The shared memory address '{name}' does not hold a value."
        with pytest.raises(MemoryError, match="does not hold a value"):
            tidewell.write_memory(name, 1)

    def test_function_segment_is_not_read_as_a_value(self, name):
        data = bytearray(1168)
        data[142:144] = b"TW"
        with open(shm_path(name), "wb") as f:
            f.write(data)
        with pytest.raises(MemoryError, match=name):
            tidewell.read_memory(name)
        with pytest.raises(MemoryError, match=name):
            tidewell.write_memory(name, 1)


class TestOtherThreadsRun:
    def test_reserving_releases_the_gil(self, name):
        # A new object is built under a private name and published once reserved: a thread that
        # sees this process's private name ran while the other one was creating.
        private = f".tidewell-new-{os.getpid()}-"
        seen, done = [], threading.Event()

        def watch():
            while not done.is_set() and not seen:
                seen.extend(f for f in os.listdir("/dev/shm") if f.startswith(private))

        thread = threading.Thread(target=watch)
        thread.start()
        try:
            tidewell.create_memory(name, prealloc_size=512 << 20)
        finally:
            done.set()
            thread.join(TIMEOUT)
        assert seen and tidewell.read_memory(name) is None


class TestCrashSafety:
    def test_dead_lock_holder_does_not_hang_readers(self, name):
        tidewell.write_memory(name, "before")
        run_child(name, "die")
        assert tidewell.read_memory(name) == "before"
        tidewell.write_memory(name, "after")
        assert tidewell.read_memory(name) == "after"

    @pytest.mark.parametrize("prealloc", [0, 64])
    def test_writer_that_died_midway_leaves_no_other_value(self, name, prealloc):
        tidewell.create_memory(name, prealloc)
        tidewell.write_memory(name, "a longer value than the torn one")
        run_child(name, "torn")
        with pytest.raises(ValueError, match="invalid protocol marker.$"):
            tidewell.read_memory(name)
        tidewell.write_memory(name, "repaired")
        assert tidewell.read_memory(name) == "repaired"

    def test_waiting_for_the_lock_lets_other_threads_run(self, name):
        tidewell.write_memory(name, 1)
        with subprocess.Popen(
            [sys.executable, "-c", LOCK_AND_DIE, name, "hold"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        ) as child:
            try:
                assert read_line(child.stdout) == "locked"
                result = {}
                reader = threading.Thread(
                    target=lambda: result.setdefault("v", tidewell.read_memory(name))
                )
                reader.start()
                # Seen asleep on the lock from this thread: it waits without the GIL.
                wait_until(lambda: sleeps_on(name, reader.native_id), what="the reader waiting")
                assert reader.is_alive()
                child.stdin.write("\n")
                child.stdin.flush()
                reader.join(TIMEOUT)
                assert result == {"v": 1}
            finally:
                child.kill()


# While a read decodes, a garbage collection runs the finalizer of a cycle, and the finalizer
# reads the same name (and another one) from the same thread.
REENTRY = textwrap.dedent(
    """
    import collections, gc, sys, uuid
    import tidewell
    name, other, how = sys.argv[1], sys.argv[2], sys.argv[3]
    if how == "mapping":  # a mapping's key is read through its own entry point
        shared = tidewell.Mapping(name)
        write, read = shared.__setitem__, shared.get
        name = "key"
    else:
        write, read = tidewell.write_memory, tidewell.read_memory
    # Distinct classes: decoding runs the class factory's Python code for each, so a collection
    # that is due runs while the name is locked, whether the interpreter collects at once (3.11)
    # or at its next look at pending work (3.12 and later).
    tag = uuid.uuid4().hex[:8]
    kinds = [collections.namedtuple(f"P{tag}{i}", "a b") for i in range(200)]
    write(name, [kinds[i](i, i) for i in range(200)])
    tidewell.write_memory(other, "other")
    seen = []

    class Finalized:
        def __del__(self):
            for n, read_it in ((name, read), (other, tidewell.read_memory)):
                try:
                    seen.append(repr(read_it(n))[:10])
                except RuntimeError as e:
                    seen.append(str(e))

    def make_garbage():
        a = Finalized()
        a.self = a

    gc.collect()
    make_garbage()
    gc.set_threshold(50)
    value = read(name)
    gc.set_threshold(700)
    make_garbage()
    gc.collect()
    print(len(value), seen)
    if how == "mapping":
        shared.clear()
    """
)


class TestReentry:
    @pytest.mark.parametrize("how", ["value", "mapping"])
    def test_finalizer_during_a_read_reads_the_name(self, shm_name, how):
        name, other = shm_name(), shm_name()
        out = subprocess.run(
            [sys.executable, "-c", REENTRY, name, other, how], capture_output=True, text=True, timeout=TIMEOUT
        )
        assert out.returncode == 0, out.stderr
        count, seen = out.stdout.split(" ", 1)
        assert count == "200"
        seen = eval(seen)
        # A read decodes after unlocking: the finalizer that runs meanwhile reads the name too.
        assert seen[0].startswith("[P") and seen[1] == "'other'"
        assert seen[2:] == ["[P" + seen[2][2:], "'other'"]


def _child_write(name, value):
    tidewell.write_memory(name, value)


def _child_grow(name, start, count, queue):
    for i in range(start, start + count):
        tidewell.write_memory(name, "x" * i)
        value = tidewell.read_memory(name)
        assert isinstance(value, str) and set(value) <= {"x"}
    queue.put("ok")


def _child_create(name, queue):
    queue.put(tidewell.create_memory(name))
    tidewell.write_memory(name, os.getpid())
    queue.put(type(tidewell.read_memory(name)).__name__)


@pytest.mark.parametrize("method", ["spawn", "fork"])
class TestAcrossProcesses:
    def test_child_writes_parent_reads(self, name, method):
        ctx = multiprocessing.get_context(method)
        value = {"port": 80, "hosts": ["a", "b"], "ratio": 0.5, "blob": b"\x00\x01"}
        proc = ctx.Process(target=_child_write, args=(name, value))
        proc.start()
        proc.join(TIMEOUT)
        assert proc.exitcode == 0
        assert tidewell.read_memory(name) == value

    def test_concurrent_growth_stays_consistent(self, name, method):
        ctx = multiprocessing.get_context(method)
        queue = ctx.Queue()
        procs = [ctx.Process(target=_child_grow, args=(name, 1 + i, 150, queue)) for i in range(3)]
        for p in procs:
            p.start()
        results = [queue.get(timeout=TIMEOUT) for _ in procs]
        for p in procs:
            p.join(TIMEOUT)
        assert results == ["ok"] * 3
        assert object_size(name) >= 48 + header_capacity(name)

    def test_racing_creators(self, name, method):
        ctx = multiprocessing.get_context(method)
        queue = ctx.Queue()
        procs = [ctx.Process(target=_child_create, args=(name, queue)) for _ in range(4)]
        for p in procs:
            p.start()
        results = [queue.get(timeout=TIMEOUT) for _ in range(8)]
        for p in procs:
            p.join(TIMEOUT)
        assert sorted(r for r in results if isinstance(r, bool)) == [False, False, False, True]
        assert [r for r in results if isinstance(r, str)] == ["int"] * 4
