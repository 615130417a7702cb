"""Segments stay open between operations: what a process keeps must never hide a removal, a
replacement or a growth made elsewhere, and must stay bounded."""
import multiprocessing
import os
import subprocess
import sys
import threading

import pytest

import tidewell
from conftest import shm_path
from helpers import read_line, sleeps_on, wait_until
from test_values import LOCK_AND_DIE, TIMEOUT


def run(code, *args):
    subprocess.run([sys.executable, "-c", code, *args], timeout=TIMEOUT, check=True)


def open_shm_fds():
    """Descriptors of this process that point into /dev/shm, as {target: count}."""
    found = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/dev/shm/"):
            found[target] = found.get(target, 0) + 1
    return found


REPLACE = "import sys, tidewell; n = sys.argv[1]; tidewell.remove_memory(n); tidewell.write_memory(n, 'new')"
RM_AND_WRITE = "import os, sys, tidewell; n = sys.argv[1]; os.unlink('/dev/shm/' + n); tidewell.write_memory(n, 'new')"
RM_AND_HAND_MADE = "import os, sys; open('/dev/shm/' + sys.argv[1], 'wb').write(b'\\0' * 10)"
GROW = "import sys, tidewell; tidewell.write_memory(sys.argv[1], b'g' * (5 << 20))"


# Holds the lock, and meanwhile grows the object past any mapping made before and writes a value
# there, as another tidewell process would.
GROW_UNDER_LOCK = """
import ctypes, mmap, os, sys, struct, tidewell
name = sys.argv[1]
lib = ctypes.PyDLL(tidewell.tidewell.__file__)
enc = lib["from_value"]; enc.restype = ctypes.py_object; enc.argtypes = [ctypes.py_object]
data = enc(b"g" * (5 << 20))
libc = ctypes.CDLL(None)
fd = os.open("/dev/shm/" + name, os.O_RDWR)
head = mmap.mmap(fd, 48)
base = ctypes.addressof(ctypes.c_char.from_buffer(head))
assert libc.pthread_mutex_lock(ctypes.c_void_p(base + 8)) == 0
print("locked", flush=True)
sys.stdin.readline()
os.ftruncate(fd, 48 + len(data) + 32)
with mmap.mmap(fd, 48 + len(data) + 32) as mm:
    mm[48:48 + len(data)] = data
    mm[0:8] = struct.pack("<Q", len(data) + 32)
libc.pthread_mutex_unlock(ctypes.c_void_p(base + 8))
"""


@pytest.fixture(params=["descriptor", "path"])
def checked_by(request, name, shm_name):
    """How the table checks `name`: by the descriptor it keeps, or (pushed out of the newest
    entries that keep one) by its path and the directory watch."""
    if request.param == "path":
        tidewell.write_memory(name, "first")
        for _ in range(80):
            tidewell.write_memory(shm_name("fill"), 0)
        assert not any(name in t for t in open_shm_fds())
    return request.param


def churn_directory(shm_name):
    """More events in /dev/shm than a watch queues: the watch overflows."""
    try:
        with open("/proc/sys/fs/inotify/max_queued_events") as f:
            limit = int(f.read())
    except OSError:
        limit = 16384
    scratch = shm_path(shm_name("churn"))
    for _ in range(limit // 2 + 16):
        os.close(os.open(scratch, os.O_CREAT | os.O_RDWR, 0o600))
        os.unlink(scratch)


@pytest.mark.usefixtures("checked_by")
class TestNeverStale:
    @pytest.mark.parametrize("code", [REPLACE, RM_AND_WRITE])
    def test_replaced_elsewhere_reads_the_new_object(self, name, code):
        tidewell.write_memory(name, "old")
        assert tidewell.read_memory(name) == "old"
        run(code, name)
        assert tidewell.read_memory(name) == "new"
        tidewell.write_memory(name, "mine")
        run(f"import sys, tidewell; assert tidewell.read_memory(sys.argv[1]) == 'mine'", name)

    def test_replaced_by_a_foreign_object_is_checked_again(self, name):
        tidewell.write_memory(name, "old")
        run(RM_AND_HAND_MADE, name)
        with pytest.raises(MemoryError, match="does not hold a value"):
            tidewell.read_memory(name)

    def test_removed_elsewhere_is_gone_here(self, name):
        tidewell.write_memory(name, "old")
        os.unlink(shm_path(name))
        with pytest.raises(MemoryError, match="Failed to open shared memory address"):
            tidewell.read_memory(name)
        with pytest.raises(MemoryError, match="Failed to open shared memory address"):
            tidewell.write_memory(name, 1, create=False)

    def test_growth_elsewhere_is_seen(self, name):
        tidewell.write_memory(name, "small")
        run(GROW, name)
        assert tidewell.read_memory(name) == b"g" * (5 << 20)
        tidewell.write_memory(name, b"h" * (9 << 20))
        run(f"import sys, tidewell; assert tidewell.read_memory(sys.argv[1]) == b'h' * (9 << 20)", name)

    def test_replaced_after_the_watch_overflowed(self, name, shm_name):
        tidewell.write_memory(name, "old")
        assert tidewell.read_memory(name) == "old"
        churn_directory(shm_name)
        run(REPLACE, name)
        assert tidewell.read_memory(name) == "new"

    def test_growth_while_waiting_for_the_lock_is_seen(self, name):
        tidewell.write_memory(name, "small")
        with subprocess.Popen([sys.executable, "-c", GROW_UNDER_LOCK, name], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) as child:
            try:
                assert read_line(child.stdout) == "locked"
                result = {}
                reader = threading.Thread(target=lambda: result.setdefault("v", tidewell.read_memory(name)))
                reader.start()
                # The reader has looked the name up and waits for the lock.
                wait_until(lambda: sleeps_on(name, reader.native_id), what="the reader waiting")
                child.stdin.write("\n")
                child.stdin.flush()
                reader.join(TIMEOUT)
                assert child.wait(TIMEOUT) == 0
                assert result["v"] == b"g" * (5 << 20)
            finally:
                child.kill()

def test_removed_here_is_dropped_at_once(name):
    tidewell.write_memory(name, 1)
    assert any(name in t for t in open_shm_fds())
    tidewell.remove_memory(name)
    assert not any(name in t for t in open_shm_fds())

def test_memory_of_objects_removed_elsewhere_is_released(shm_name):
    name, other = shm_name(), shm_name()
    tidewell.write_memory(name, 1)
    os.unlink(shm_path(name))

    def released():
        tidewell.write_memory(other, 2)  # any operation may sweep
        return not any(name in t for t in open_shm_fds())

    wait_until(released, what="the descriptor given back")


def test_bounded_descriptors(shm_name):
    before = sum(open_shm_fds().values())
    names = [shm_name() for _ in range(300)]
    for i, n in enumerate(names):
        tidewell.write_memory(n, i)
    assert all(tidewell.read_memory(n) == i for i, n in enumerate(names))
    assert sum(open_shm_fds().values()) - before <= 128
    for n in names:
        tidewell.remove_memory(n)
    assert sum(open_shm_fds().values()) <= before


def test_entry_in_use_by_a_waiting_thread_survives_removal_and_eviction(shm_name):
    name = shm_name()
    tidewell.write_memory(name, "kept")
    others = [shm_name() for _ in range(200)]
    with subprocess.Popen(
        [sys.executable, "-c", LOCK_AND_DIE, name, "hold"], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, text=True,
    ) as child:
        try:
            assert read_line(child.stdout) == "locked"
            result = {}
            reader = threading.Thread(target=lambda: result.setdefault("v", tidewell.read_memory(name)))
            reader.start()
            wait_until(lambda: sleeps_on(name, reader.native_id), what="the reader waiting")
            # While the reader waits with the GIL released: remove its name and churn the table.
            assert tidewell.remove_memory(name) is True
            for i, n in enumerate(others):
                tidewell.write_memory(n, i)
            child.stdin.write("\n")
            child.stdin.flush()
            reader.join(TIMEOUT)
            assert result == {"v": "kept"}
        finally:
            child.kill()
    for n in others:
        tidewell.remove_memory(n)


def _child_replace_and_check(name, queue):
    try:
        assert tidewell.read_memory(name) == "parent"
        tidewell.remove_memory(name)
        tidewell.write_memory(name, "child")
        queue.put("ok")
    except BaseException as e:  # reported to the parent
        queue.put(repr(e))


@pytest.mark.usefixtures("checked_by")
def test_fork_child_uses_its_own_entries(name):
    tidewell.write_memory(name, "parent")
    assert tidewell.read_memory(name) == "parent"
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    proc = ctx.Process(target=_child_replace_and_check, args=(name, queue))
    proc.start()
    assert queue.get(timeout=TIMEOUT) == "ok"
    proc.join(TIMEOUT)
    assert tidewell.read_memory(name) == "child"
    tidewell.write_memory(name, "parent again")
    assert tidewell.read_memory(name) == "parent again"


# Grows (writes ever longer values, reads them back), reads, or replaces (removes, writes a short
# value) each name in turn; prints every unexpected error or value, then "done".
GROW_OR_REPLACE = """
import sys, tidewell
role, rounds, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def absent(e):
    return isinstance(e.__cause__, FileNotFoundError) and "Failed to open" in str(e)
for r in range(rounds):
    for i, n in enumerate(names):
        try:
            if role == "replace":
                tidewell.remove_memory(n)
                tidewell.write_memory(n, b"s")
                continue
            if role == "grow":
                tidewell.write_memory(n, b"g" * (64 * r + i + 9))
            v = tidewell.read_memory(n)
            if not (v is None or v == b"s" or (v and not v.strip(b"g"))):
                print("value", n, v[:16], flush=True)
        except MemoryError as e:
            if not absent(e):
                print("error", n, repr(e), repr(e.__cause__), flush=True)
print("done", flush=True)
"""


def test_growth_racing_replacement_of_names_checked_by_path(shm_name):
    # More names than the table keeps descriptors for: most entries are checked by their path,
    # and a growth must not fail when the name was replaced after the lookup.
    names = [shm_name() for _ in range(96)]
    roles = ["grow", "grow", "read", "replace"]
    procs = [
        subprocess.Popen([sys.executable, "-c", GROW_OR_REPLACE, role, "150", *names],
                         stdout=subprocess.PIPE, text=True)
        for role in roles
    ]
    outputs = []
    try:
        for p in procs:
            outputs.append(p.communicate(timeout=TIMEOUT * 4)[0])
    finally:
        for p in procs:
            p.kill()
            p.wait()
    assert [p.returncode for p in procs] == [0] * len(procs)
    assert [out.splitlines() for out in outputs] == [["done"]] * len(procs)
    for n in names:
        v = tidewell.read_memory(n)
        assert v == b"s" or (v and not v.strip(b"g"))
