"""A writer killed at any instant leaves the old value or the new one, and a reader survives an
object that is cut short under it."""
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import tidewell
from conftest import shm_path
from helpers import WAIT, read_line, sleeps_on, wait_until

MB = 1 << 20

# A child's start: `kill_when_writing`, run in a second thread, kills it once the data area's
# marker says a write is under way (copies of more than 1 MiB run without the GIL, so the thread
# runs during the copy).
KILL_WHEN_WRITING = """
import mmap, os, signal, sys, threading, time
import tidewell
with open(sys.argv[2], "rb") as f:
    head = mmap.mmap(f.fileno(), 4096, prot=mmap.PROT_READ)

def kill_when_writing():
    while head[48] != 0xFF:
        pass
    os.kill(os.getpid(), signal.SIGKILL)
"""

KILLED_WRITER = KILL_WHEN_WRITING + textwrap.dedent(
    """
    name, size, mode = sys.argv[1], int(sys.argv[3]), sys.argv[4]
    threading.Thread(target=kill_when_writing, daemon=True).start()
    if mode == "write":
        tidewell.write_memory(name, b"n" * size)
    else:
        tidewell.update_memory(name, lambda v: v + [b"n" * size], [])
    print("not killed", flush=True)
    """
)

# Holds the lock in an update until the file `gate` exists, then stores 4 MiB and is killed
# during the copy.
LOCKED_WRITER = KILL_WHEN_WRITING + textwrap.dedent(
    """
    name, gate = sys.argv[1], sys.argv[3]

    def grow(value):
        print("locked", flush=True)
        while not os.path.exists(gate):
            time.sleep(0.001)
        threading.Thread(target=kill_when_writing, daemon=True).start()
        return b"n" * (4 << 20)

    tidewell.update_memory(name, grow, None)
    """
)


def read_or_error(name):
    try:
        return tidewell.read_memory(name)
    except Exception as exc:  # the assertion shows it
        return exc


def run_killed(name, size, mode):
    # On a loaded machine the copy can end before the watcher runs: try again (a whole write
    # leaves a whole value too).
    for _ in range(5):
        out = subprocess.run(
            [sys.executable, "-c", KILLED_WRITER, name, shm_path(name), str(size), mode],
            capture_output=True,
            text=True,
            timeout=WAIT * 3,
        )
        if out.returncode == -signal.SIGKILL:
            return
        assert out.returncode == 0 and out.stdout == "not killed\n", out.stderr
    pytest.skip("the writer's copy always ended before it could be killed")


class TestKilledWriters:
    @pytest.mark.parametrize("new_size", [4 * MB, 16 * MB], ids=["same-capacity", "grows"])
    def test_write_killed_mid_copy_leaves_a_whole_value(self, name, new_size):
        old = b"o" * (4 * MB)
        tidewell.write_memory(name, old)
        tidewell.write_memory(name, old)  # the object now has room for a redo copy
        run_killed(name, new_size, "write")
        value = tidewell.read_memory(name)
        assert value in (old, b"n" * new_size)
        # Readable for writers and read-modify-writes too.
        assert tidewell.update_memory(name, lambda v: v[:3], None) == value[:3]
        assert tidewell.read_memory(name) == value[:3]

    def test_reader_that_waited_while_the_dead_writer_grew_its_redo_room(self, name, tmp_path):
        # The capacity fits the new value but the room for its redo copy grows: a reader that
        # looked the object up before that growth must still finish the dead writer's write.
        tidewell.create_memory(name, 8 * MB)
        tidewell.write_memory(name, b"o" * 1000)
        gate = tmp_path / "go"
        child = subprocess.Popen([sys.executable, "-c", LOCKED_WRITER, name, shm_path(name),
                                  str(gate)], stdout=subprocess.PIPE, text=True)
        got = []
        reader = threading.Thread(target=lambda: got.append(read_or_error(name)))
        try:
            assert read_line(child.stdout) == "locked"
            reader.start()
            wait_until(lambda: sleeps_on(name, reader.native_id), what="the reader's wait")
            gate.touch()
            child.wait(timeout=WAIT)
            reader.join(WAIT)
        finally:
            child.kill()
            child.communicate(timeout=WAIT)
        if child.returncode != -signal.SIGKILL:
            pytest.skip("the writer's copy ended before it could be killed")
        assert got == [b"n" * (4 * MB)]

    def test_update_killed_mid_copy_keeps_every_committed_item(self, name):
        committed = [b"c%d" % i + b"x" * MB for i in range(3)]
        for item in committed:
            tidewell.update_memory(name, lambda v, item=item: v + [item], [])
        run_killed(name, MB, "update")
        value = tidewell.update_memory(name, lambda v: v + [b"after"], [])
        assert value[:3] == committed
        assert value[-1] == b"after" and all(item == b"n" * MB for item in value[3:-1])


# The second thread gets the GIL as soon as the read releases it for its copy, and cuts the
# object short at once.
TRUNCATED_READ = textwrap.dedent(
    """
    import os, sys, threading
    import tidewell
    name, path, keep = sys.argv[1], sys.argv[2], int(sys.argv[3])
    go = threading.Event()

    def cut():
        go.wait()
        os.truncate(path, keep)

    t = threading.Thread(target=cut)
    t.start()
    go.set()
    try:
        value = tidewell.read_memory(name)
        print("read", len(value))
    except (MemoryError, ValueError) as e:
        print(type(e).__name__, e)
    t.join()
    """
)


class TestTruncation:
    @pytest.mark.parametrize("keep", [0, 4096], ids=["header-gone", "header-kept"])
    def test_truncate_during_a_read_is_an_error_not_a_signal(self, name, keep):
        value = b"v" * (40 * MB)
        tidewell.write_memory(name, value)
        out = subprocess.run(
            [sys.executable, "-c", TRUNCATED_READ, name, shm_path(name), str(keep)],
            capture_output=True,
            text=True,
            timeout=WAIT * 3,
        )
        assert out.returncode == 0, (out.returncode, out.stderr)
        result = out.stdout.strip()
        # Cut before the lock was taken, during the copy, or after it (then the copy is whole).
        assert result.startswith(("MemoryError", f"read {len(value)}")), result
        if keep:
            # The header survived: a write grows the object again.
            assert tidewell.write_memory(name, b"w" * 100) is True
            assert tidewell.read_memory(name) == b"w" * 100

    def test_a_write_repairs_an_object_cut_short_between_operations(self, name):
        tidewell.write_memory(name, b"v" * MB)
        with open(shm_path(name), "r+b") as f:
            f.truncate(4096)
        with pytest.raises(MemoryError, match="header claims more than it holds"):
            tidewell.read_memory(name)
        assert tidewell.write_memory(name, b"w" * (2 * MB)) is True
        assert tidewell.read_memory(name) == b"w" * (2 * MB)
        assert tidewell.update_memory(name, lambda v: len(v), None) == 2 * MB
