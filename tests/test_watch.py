"""Waiting for a change: tidewell.watch, read_with_token and wait_for_change, across processes."""
import mmap
import os
import secrets
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tidewell
from conftest import shm_exists, shm_path
from helpers import SIGINT_DEFAULT, WAIT, read_line, sleeps_on, wait_until

native = tidewell.tidewell
WATCHERS_OFFSET = 16  # the table's count of watchers on the host


@pytest.fixture
def table():
    """A watch table of this test's own (in this process and in the children it names it to),
    so that no other watcher on the host shares its counts; removed afterwards."""
    own = f".tidewell-watch-t{os.getpid()}-{secrets.token_hex(4)}"
    default = native._watch_table_name()
    native._watch_table_name(own)
    yield own
    native._watch_table_name(default)
    try:
        os.unlink(shm_path(own))
    except FileNotFoundError:
        pass


def watchers_on_host(table_name):
    with open(shm_path(table_name), "rb") as f:
        f.seek(WATCHERS_OFFSET)
        return struct.unpack("=I", f.read(4))[0]


def finish(proc):
    """Ends a child (if it still runs) and closes its pipes."""
    proc.kill()
    proc.communicate(timeout=WAIT)


def child(code, *args):
    return subprocess.Popen([sys.executable, "-c", SIGINT_DEFAULT + textwrap.dedent(code), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


WRITER = """
    import sys, tidewell
    name, count = sys.argv[1], int(sys.argv[2])
    for i in range(1, count + 1):
        tidewell.write_memory(name, i)
"""

WATCHER = """
    import sys, tidewell
    tidewell.tidewell._watch_table_name(sys.argv[2])
    for value in tidewell.watch(sys.argv[1], timeout={timeout}):
        print(value, flush=True)
"""


class TestWatch:
    def test_first_value_then_each_change_from_another_process(self, name):
        tidewell.create_memory(name)
        seen = []
        it = tidewell.watch(name, timeout=WAIT)
        seen.append(next(it))
        writer = child(WRITER, name, "200")
        try:
            while seen[-1] != 200:
                seen.append(next(it))
        finally:
            writer.communicate(timeout=WAIT)
        it.close()
        # Coalesced, never stale or out of order, and the last write is always seen.
        assert seen[0] is None
        assert seen[1:] == sorted(set(seen[1:])) and seen[-1] == 200

    def test_every_watcher_sees_the_last_write(self, name, table):
        tidewell.write_memory(name, 0)
        watchers = [child(WATCHER.format(timeout=WAIT), name, table) for _ in range(3)]
        try:
            for w in watchers:
                assert read_line(w.stdout) == "0"
            wait_until(lambda: watchers_on_host(table) == 3, what="three watchers registered")
            subprocess.run([sys.executable, "-c", textwrap.dedent(WRITER), name, "300"],
                           timeout=WAIT, check=True)
            for w in watchers:
                last = None
                while last != "300":
                    last = read_line(w.stdout)
        finally:
            for w in watchers:
                finish(w)

    def test_writing_the_stored_value_again_is_no_change(self, name):
        tidewell.write_memory(name, "same")
        value, token = tidewell.read_with_token(name)
        tidewell.write_memory(name, "same")
        with pytest.raises(TimeoutError):
            tidewell.wait_for_change(name, token, timeout=0.01)

    def test_every_kind_of_commit_wakes(self, name):
        tidewell.write_memory(name, 1)
        _, token = tidewell.read_with_token(name)
        for commit, expected in [(lambda: tidewell.update_memory(name, lambda v: v + 1), 2),
                                 (lambda: tidewell.write_memory(name, [3] * 100), [3] * 100)]:
            threading.Timer(0.01, commit).start()
            value, token = tidewell.wait_for_change(name, token, timeout=WAIT)
            assert value == expected


class TestOneShot:
    def test_a_change_between_read_and_wait_is_not_missed(self, name):
        tidewell.write_memory(name, "a")
        value, token = tidewell.read_with_token(name)
        assert value == "a" and isinstance(token, bytes)
        tidewell.write_memory(name, "b")
        assert tidewell.wait_for_change(name, token, timeout=0)[0] == "b"

    def test_timeout(self, name):
        tidewell.write_memory(name, 1)
        _, token = tidewell.read_with_token(name)
        with pytest.raises(TimeoutError):
            tidewell.wait_for_change(name, token, timeout=0.05)
        with pytest.raises(TimeoutError):
            next(iter_after_first(tidewell.watch(name, timeout=0)))

    @pytest.mark.parametrize("timeout", [-1, "1", True, float("nan")])
    def test_bad_timeout(self, name, timeout):
        tidewell.write_memory(name, 1)
        _, token = tidewell.read_with_token(name)
        with pytest.raises(ValueError):
            tidewell.wait_for_change(name, token, timeout=timeout)
        with pytest.raises(ValueError):
            tidewell.watch(name, timeout=timeout)

    def test_removed_name(self, name):
        tidewell.write_memory(name, 1)
        _, token = tidewell.read_with_token(name)
        it = tidewell.watch(name, timeout=WAIT)
        assert next(it) == 1
        threading.Timer(0.01, tidewell.remove_memory, (name,)).start()
        assert list(it) == []
        with pytest.raises(FileNotFoundError):
            tidewell.wait_for_change(name, token, timeout=WAIT)
        for call in (tidewell.read_with_token, lambda n: next(tidewell.watch(n))):
            with pytest.raises(MemoryError, match="Failed to open shared memory address"):
                call(name)
        assert not shm_exists(name)


def iter_after_first(it):
    next(it)
    return it


class TestBlocking:
    def test_a_thread_watches_while_the_main_thread_works(self, name, table):
        tidewell.write_memory(name, 0)
        seen = []
        ready = threading.Event()

        def watch():
            it = tidewell.watch(name, timeout=WAIT)
            seen.append(next(it))
            ready.set()
            for value in it:
                seen.append(value)
                if value == "done":
                    return

        t = threading.Thread(target=watch)
        t.start()
        assert ready.wait(WAIT)
        # Asleep on the table with the GIL released, while this thread runs Python code.
        wait_until(lambda: sleeps_on(table, t.native_id), what="the watcher asleep")
        tidewell.write_memory(name, "done")
        t.join(WAIT)
        assert not t.is_alive() and seen[-1] == "done"

    def test_ctrl_c_interrupts_the_wait(self, name, table):
        tidewell.write_memory(name, 0)
        w = child("""
            import sys, tidewell
            tidewell.tidewell._watch_table_name(sys.argv[2])
            try:
                for value in tidewell.watch(sys.argv[1]):
                    print(value, flush=True)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """, name, table)
        try:
            assert read_line(w.stdout) == "0"
            wait_until(lambda: sleeps_on(table, w.pid, w.pid), what="the watcher asleep")
            w.send_signal(signal.SIGINT)
            assert read_line(w.stdout) == "interrupted"
        finally:
            finish(w)

    def test_forked_child_keeps_no_lease_of_its_parent(self, name, table):
        tidewell.write_memory(name, 0)
        it = tidewell.watch(name, timeout=WAIT)
        assert next(it) == 0
        assert watchers_on_host(table) == 1
        pid = os.fork()
        if pid == 0:
            # The inherited watch registers anew in the child and still sees changes.
            code = 1
            try:
                tidewell.write_memory(name, 1)
                code = 0 if next(it) == 1 else 1
            finally:
                os._exit(code)
        assert os.waitpid(pid, 0)[1] == 0
        it.close()
        # The child's own lease ended with it: the next registration takes it back.
        again = tidewell.watch(name, timeout=WAIT)
        again.close()
        assert watchers_on_host(table) == 0


class TestLeftovers:
    def test_a_killed_watcher_costs_nothing_lasting(self, name, table):
        tidewell.write_memory(name, 0)
        w = child(WATCHER.format(timeout=None), name, table)
        try:
            assert read_line(w.stdout) == "0"
            wait_until(lambda: sleeps_on(table, w.pid, w.pid), what="the watcher asleep")
        finally:
            finish(w)
        assert watchers_on_host(table) == 1
        # The next registration anywhere takes the dead watcher's lease back.
        it = tidewell.watch(name, timeout=WAIT)
        assert watchers_on_host(table) == 1
        it.close()
        assert watchers_on_host(table) == 0

    def test_a_write_that_wakes_nobody_is_seen_within_the_bound(self, name):
        # As an older peer writes: straight into the data area, no wake-up.
        tidewell.write_memory(name, 1)
        value, token = tidewell.read_with_token(name)
        encoded = tidewell.dumps(2)
        assert len(encoded) == len(tidewell.dumps(1))

        def write_raw():
            with open(shm_path(name), "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
                m[48:48 + len(encoded)] = encoded

        threading.Timer(0.01, write_raw).start()
        assert tidewell.wait_for_change(name, token, timeout=WAIT)[0] == 2

    def test_clean_removes_a_table_nobody_holds(self, name, table):
        tidewell.write_memory(name, 0)
        w = child(WATCHER.format(timeout=None), name, table)
        try:
            assert read_line(w.stdout) == "0"
            old = time.time() - 60
            os.utime(shm_path(table), (old, old))
            clean = [sys.executable, "-m", "tidewell", "clean", table]
            held = subprocess.run(clean, capture_output=True, text=True, timeout=WAIT)
            assert held.returncode == 0 and shm_exists(table)
        finally:
            finish(w)
        gone = subprocess.run(clean, capture_output=True, text=True, timeout=WAIT)
        assert gone.returncode == 0 and "watch table" in gone.stdout
        assert not shm_exists(table)
        # Writers that still map it, and new watchers, move on to a new table.
        it = tidewell.watch(name, timeout=WAIT)
        assert next(it) == 0
        threading.Timer(0.01, tidewell.write_memory, (name, 1)).start()
        assert next(it) == 1
        it.close()

    def test_the_table_prefix_is_reserved(self):
        with pytest.raises(ValueError, match="reserved"):
            tidewell.write_memory(".tidewell-watch-x", 1)


class TestCommandLine:
    def test_watch_prints_each_new_value_until_ctrl_c(self, name):
        tidewell.write_memory(name, {"n": 0})
        p = subprocess.Popen([sys.executable, "-c", SIGINT_DEFAULT +
                              "import sys; from tidewell import cli; sys.exit(cli.main())",
                              "watch", name, "--json"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert read_line(p.stdout) == '{"n": 0}'
            tidewell.write_memory(name, {"n": (1, 2)})
            assert read_line(p.stdout) == '{"n": [1, 2]}'
            p.send_signal(signal.SIGINT)
            assert p.wait(WAIT) == 130
        finally:
            finish(p)
