"""update_memory: read-modify-write of a shared value, across threads, processes and kills."""
import inspect
import multiprocessing
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tidewell
from conftest import shm_exists
from helpers import SIGINT_DEFAULT, read_line, sleeps_on, wait_until
from test_values import run_child

TIMEOUT = 30
pytestmark = pytest.mark.timeout(120)

# Child processes, one per mode. "count" reports each update that returned with one byte, so a
# parent that kills it knows how many increments it must find. "wait" is ended by Ctrl-C.
UPDATER = SIGINT_DEFAULT + textwrap.dedent(
    """
    import os, sys, tidewell
    name, mode = sys.argv[1], sys.argv[2]
    if mode == "count":
        while True:
            tidewell.update_memory(name, lambda v: v + 1, 0)
            os.write(1, b".")
    elif mode == "hold":
        def hold(v):
            print("locked", flush=True)
            sys.stdin.readline()
            return v + ["held"]
        tidewell.update_memory(name, hold, [])
    elif mode == "die":
        tidewell.update_memory(name, lambda v: os._exit(0))
    elif mode == "wait":
        try:
            print("waiting", flush=True)
            tidewell.update_memory(name, lambda v: v)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """
)


def spawn(name, mode, **kwargs):
    return subprocess.Popen([sys.executable, "-c", UPDATER, name, mode], **kwargs)


def increment(v):
    return v + 1


class TestSurface:
    def test_signature_shows_what_a_call_gets(self, shm_name):
        # What help() and editors show: these names work as keywords, and the defaults shown
        # are the ones a call gets when it leaves them out.
        params = inspect.signature(tidewell.update_memory).parameters
        assert list(params) == ["name", "func", "default", "create"]
        shown = {key: p.default for key, p in params.items() if p.default is not p.empty}
        implicit, explicit = shm_name(), shm_name()
        assert tidewell.update_memory(implicit, lambda v: [v]) == [None]
        assert tidewell.update_memory(name=explicit, func=lambda v: [v], **shown) == [None]
        assert tidewell.read_memory(implicit) == tidewell.read_memory(explicit) == [None]
        assert "update_memory" in tidewell.__all__

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            (("n",), {}),
            (("n", 5), {}),
            ((b"n", len), {}),
            (("n", len, 0, None), {}),
            (("n", len), {"create": 1}),
            (("n", len), {"other": 1}),
        ],
    )
    def test_argument_errors(self, args, kwargs):
        with pytest.raises(ValueError) as err:
            tidewell.update_memory(*args, **kwargs)
        assert str(err.value) == tidewell.tidewell._messages["update_memory"]

    def test_bad_name_says_why(self):
        with pytest.raises(ValueError, match="must not be empty"):
            tidewell.update_memory("", increment)


class TestOneProcess:
    def test_default_creates_and_counts(self, name):
        assert tidewell.update_memory(name, increment, 41) == 42
        assert tidewell.update_memory(name, increment, 0) == 43
        assert tidewell.read_memory(name) == 43

    @pytest.mark.parametrize("prealloc", [0, 100])
    def test_fresh_segment_gives_default_and_result_is_returned(self, name, prealloc):
        tidewell.create_memory(name, prealloc)
        seen, result = [], ["new"]
        assert tidewell.update_memory(name, lambda v: seen.append(v) or result) is result
        assert seen == [None] and tidewell.read_memory(name) == ["new"]

    def test_create_false_on_missing_name(self, name):
        with pytest.raises(MemoryError, match=f"^Failed to open shared memory address '{name}'"):
            tidewell.update_memory(name, increment, 0, create=False)
        assert not shm_exists(name)

    def test_growth_keeps_values(self, name):
        for size in (1, 10, 1000, 100_000):
            assert tidewell.update_memory(name, lambda v: "x" * size) == "x" * size
        assert tidewell.update_memory(name, len) == 100_000
        assert tidewell.read_memory(name) == 100_000

    @pytest.mark.parametrize("error", [ZeroDivisionError("boom"), KeyboardInterrupt()])
    def test_raising_func_writes_nothing(self, name, error):
        tidewell.write_memory(name, {"a": 1})

        def fail(v):
            v["a"] = 2
            raise error

        with pytest.raises(type(error)) as caught:
            tidewell.update_memory(name, fail)
        assert caught.value is error
        assert tidewell.read_memory(name) == {"a": 1}
        assert tidewell.update_memory(name, lambda v: {**v, "b": 2}) == {"a": 1, "b": 2}

    def test_unencodable_result_writes_nothing(self, name):
        tidewell.write_memory(name, "kept")
        with pytest.raises(ValueError, match="^Received an unsupported datatype.$"):
            tidewell.update_memory(name, lambda v: object())
        assert tidewell.read_memory(name) == "kept"

    @pytest.mark.parametrize(
        "touch",
        [
            lambda n: tidewell.read_memory(n),
            lambda n: tidewell.write_memory(n, 1),
            lambda n: tidewell.update_memory(n, increment),
            lambda n: tidewell.read_memory("/" + n),
        ],
        ids=["read", "write", "update", "slash-alias"],
    )
    def test_reentry_raises(self, name, touch):
        tidewell.write_memory(name, 5)
        with pytest.raises(RuntimeError, match=f"'{name}' is already in use by this thread"):
            tidewell.update_memory(name, lambda v: touch(name))
        assert tidewell.read_memory(name) == 5

    def test_reentry_from_signal_handler_and_finalizer(self, name):
        tidewell.write_memory(name, 5)
        seen = []

        def touch(*_):
            try:
                tidewell.read_memory(name)
            except RuntimeError as err:
                seen.append(err)

        class Finalized:
            def __del__(self):
                touch()

        def func(v):
            signal.raise_signal(signal.SIGUSR1)
            Finalized()
            return v + 1

        previous = signal.signal(signal.SIGUSR1, touch)
        try:
            assert tidewell.update_memory(name, func) == 6
        finally:
            signal.signal(signal.SIGUSR1, previous)
        assert len(seen) == 2

    def test_threads_lose_no_increment(self, name):
        def work():
            for _ in range(500):
                tidewell.update_memory(name, increment, 0)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        assert tidewell.read_memory(name) == 2000

    def test_other_names_inside_func(self, shm_name):
        outer, inner = shm_name(), shm_name()
        tidewell.write_memory(outer, 1)

        def func(v):
            tidewell.update_memory(inner, increment, 10)
            return v + tidewell.read_memory(inner)

        assert tidewell.update_memory(outer, func) == 12

    def test_torn_value_is_reported_and_kept(self, name):
        tidewell.write_memory(name, "a longer value than the torn one")
        run_child(name, "torn")
        with pytest.raises(ValueError, match="invalid protocol marker.$"):
            tidewell.update_memory(name, lambda v: "never")
        tidewell.write_memory(name, "repaired")
        assert tidewell.update_memory(name, str.upper) == "REPAIRED"


class TestWaiting:
    def test_death_inside_func_leaves_the_old_value(self, name):
        tidewell.write_memory(name, 7)
        spawn(name, "die").wait(TIMEOUT)
        assert tidewell.update_memory(name, increment) == 8

    def test_waiter_lets_threads_run_and_follows_the_holder(self, name):
        with spawn(name, "hold", stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as holder:
            try:
                assert read_line(holder.stdout) == "locked"
                result = {}
                waiter = threading.Thread(
                    target=lambda: result.setdefault("v", tidewell.update_memory(name, len))
                )
                waiter.start()
                # Seen asleep on the lock from this thread: it waits without the GIL.
                wait_until(lambda: sleeps_on(name, waiter.native_id), what="the waiter waiting")
                assert waiter.is_alive()
                holder.stdin.write("\n")
                holder.stdin.flush()
                waiter.join(TIMEOUT)
                assert result == {"v": 1}
            finally:
                holder.kill()

    def test_ctrl_c_ends_the_wait(self, name):
        opts = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        with spawn(name, "hold", **opts) as holder:
            try:
                assert read_line(holder.stdout) == "locked"
                with spawn(name, "wait", **opts) as waiter:
                    try:
                        assert read_line(waiter.stdout) == "waiting"
                        wait_until(lambda: sleeps_on(name, waiter.pid, waiter.pid),
                                   what="the waiter waiting")
                        waiter.send_signal(signal.SIGINT)
                        assert read_line(waiter.stdout) == "interrupted"
                        assert waiter.wait(TIMEOUT) == 0
                    finally:
                        waiter.kill()
            finally:
                holder.kill()


def _increments(name, count):
    for _ in range(count):
        tidewell.update_memory(name, increment, 0)


def _appends(name, tag, count):
    for i in range(count):
        tidewell.update_memory(name, lambda v: v + [f"{tag}-{i}"], [])


def run_all(targets):
    ctx = multiprocessing.get_context("fork")
    procs = [ctx.Process(target=t, args=a) for t, a in targets]
    try:
        for p in procs:
            p.start()
        for p in procs:
            p.join(TIMEOUT * 2)
            assert p.exitcode == 0
    finally:
        for p in procs:
            p.kill()


class TestAcrossProcesses:
    def test_four_processes_lose_no_increment(self, name):
        run_all([(_increments, (name, 2000))] * 4)
        assert tidewell.read_memory(name) == 8000

    def test_appends_all_present_once(self, name):
        run_all([(_appends, (name, tag, 150)) for tag in "abcd"])
        items = tidewell.read_memory(name)
        assert sorted(items) == sorted(f"{tag}-{i}" for tag in "abcd" for i in range(150))
        for tag in "abcd":
            assert [x for x in items if x[0] == tag] == [f"{tag}-{i}" for i in range(150)]

    def test_sigkill_never_loses_or_tears(self, name):
        tidewell.write_memory(name, 0)
        rng = random.Random()
        returned = kills = 0
        live = []
        try:
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                while len(live) < 2:
                    child = spawn(name, "count", stdout=subprocess.PIPE)
                    ready, _, _ = select.select([child.stdout], [], [], TIMEOUT)
                    assert ready, "updater did not start"
                    live.append(child)
                time.sleep(rng.uniform(0, 0.05))
                victim = live.pop(rng.randrange(len(live)))
                victim.kill()
                victim.wait(TIMEOUT)
                returned += len(victim.stdout.read())
                victim.stdout.close()
                kills += 1
        finally:
            for child in live:
                child.kill()
                child.wait(TIMEOUT)
                returned += len(child.stdout.read())
                child.stdout.close()
                kills += 1
        total = tidewell.read_memory(name)
        assert returned > 0 and returned <= total <= returned + kills
