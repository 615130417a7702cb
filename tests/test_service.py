"""Shared functions as a service: several servers per name, awaited calls, coroutines served."""
import asyncio
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import tidewell
from conftest import shm_path
from helpers import WAIT, interruptible, wait_until

LANE_PREFIX = ".tidewell-new-0-L"


def whose(x, pause=0.0):
    """Which process answered, after `pause` seconds of work."""
    if pause:
        end = time.perf_counter() + pause
        while time.perf_counter() < end:
            pass
    return os.getpid(), x


async def doubled(x):
    await asyncio.sleep(0.001)
    if x is None:
        raise LookupError("nothing to double")
    return 2 * x


def counted(name, pause):
    """Counts its runs in the value `name`, then works `pause` seconds."""
    tidewell.update_memory(name, lambda n: n + 1, 0)
    time.sleep(pause)
    return pause


def _serve(name, func, kwargs):
    interruptible()
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the "read" printed when serving ends
    tidewell.create_function(name, func, **kwargs)


def lanes_of(name):
    """The lane names of the function `name` (from its inode)."""
    ino = os.stat(shm_path(name)).st_ino
    return [n for n in os.listdir("/dev/shm") if n.startswith(f"{LANE_PREFIX}{ino:x}-")]


@pytest.fixture
def servers(name):
    """Starts server processes of `name`, each serving after the last one is up; stops them all
    and removes what they left, whatever the test did."""
    started = []
    inodes = set()

    def start(count, func=whose, **kwargs):
        ctx = multiprocessing.get_context("fork")
        for _ in range(count):
            expected = len(started) + 1
            process = ctx.Process(target=_serve, args=(name, func, kwargs), daemon=True)
            process.start()
            started.append(process)
            wait_until(lambda: (tidewell.describe(name) is not None and
                                1 + len(tidewell.describe(name).servers) == expected),
                       what=f"{expected} servers of {name}")
            inodes.add(os.stat(shm_path(name)).st_ino)
        return started

    yield start
    tidewell.remove_function(name)
    for process in started:
        process.join(WAIT)
        if process.is_alive():
            process.kill()
            process.join(WAIT)
    for lane in os.listdir("/dev/shm"):
        if any(lane.startswith(f"{LANE_PREFIX}{ino:x}-") for ino in inodes):
            os.unlink(shm_path(lane))


def calls_from(name, clients, count, pause=0.0):
    """`count` calls from each of `clients` threads: the answering pids, and the errors."""
    answered, errors = [], []

    def client(c):
        for i in range(count):
            try:
                pid, x = tidewell.call_function(name, ((c, i), pause))
                assert x == (c, i)
                answered.append(pid)
            except RuntimeError as exc:
                errors.append(str(exc))

    threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return answered, errors


class TestSeveralServers:
    def test_calls_are_shared_and_remove_stops_all(self, servers, name):
        pids = {p.pid for p in servers(3, shared=True)}
        info = tidewell.describe(name)
        lanes = lanes_of(name)
        assert {info.pid, *info.servers} == pids and len(lanes) == 2
        answered, errors = calls_from(name, 4, 100, pause=0.001)
        assert errors == [] and len(answered) == 400 and set(answered) == pids
        assert tidewell.remove_function(name) is True
        for p in servers(0):
            p.join(WAIT)
            assert p.exitcode == 0
        assert not set(lanes) & set(os.listdir("/dev/shm"))
        with pytest.raises(MemoryError):
            tidewell.call_function(name, (1,))

    def test_joining_needs_the_same_options(self, servers, name):
        servers(1, errors="reply", shared=True)
        with pytest.raises(ValueError, match="is served with errors='reply'"):
            tidewell.create_function(name, whose, shared=True)
        with pytest.raises(ValueError, match="shared must be True or False"):
            tidewell.create_function(name, whose, shared=1)
        with pytest.raises(MemoryError, match="already exists") as caught:
            tidewell.create_function(name, whose, errors="reply")
        assert "served by the process with pid" in str(caught.value.__cause__)

    def test_a_server_not_shared_is_not_joined(self, servers, name):
        servers(1)
        with pytest.raises(MemoryError, match="already exists") as caught:
            tidewell.create_function(name, whose, shared=True)
        assert "without shared=True" in str(caught.value.__cause__)

    @pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGINT])
    @pytest.mark.parametrize("which", ["first", "second"])
    def test_a_server_that_ends_leaves_the_others_serving(self, servers, name, how, which):
        started = servers(3, shared=True)
        victim = started[0] if which == "first" else started[1]
        answered, errors = [], []
        stop = threading.Event()

        def client(c):
            i = 0
            while not stop.is_set():
                i += 1
                try:
                    pid, x = tidewell.call_function(name, ((c, i), 0.001))
                    assert x == (c, i)
                    answered.append(pid)
                except RuntimeError as exc:
                    errors.append(str(exc))

        threads = [threading.Thread(target=client, args=(c,)) for c in range(3)]
        for t in threads:
            t.start()
        try:
            wait_until(lambda: victim.pid in answered, what="a call answered by the victim")
            os.kill(victim.pid, how)
            victim.join(WAIT)
            seen = len(answered)
            wait_until(lambda: len(answered) > seen + 200, what="calls after the end")
        finally:
            stop.set()
            for t in threads:
                t.join(WAIT)
        # Only a call the ended server had taken fails: it ran there, or it was interrupted.
        assert len(errors) <= 1, errors
        survivors = {p.pid for p in started} - {victim.pid}
        assert set(answered[seen:]) <= survivors
        wait_until(lambda: {tidewell.describe(name).pid, *tidewell.describe(name).servers}
                   == survivors, what="the servers listed without the ended one")
        wait_until(lambda: len(lanes_of(name)) == 1, what="the ended server's lane removed")


def test_servers_in_threads_end_with_their_program(name):
    """Every server of the name is a thread of one program: when it ends, nothing is left."""
    script = f"""
import os, sys, threading, tidewell
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
for count in (1, 2):
    threading.Thread(target=tidewell.create_function, args=({name!r}, abs),
                     kwargs={{"shared": True}}).start()
    while (tidewell.describe({name!r}) is None
           or 1 + len(tidewell.describe({name!r}).servers) < count):
        pass
print(os.stat("/dev/shm/" + {name!r}).st_ino, tidewell.call_function({name!r}, (-3,)),
      file=sys.stderr, flush=True)
"""
    done = subprocess.run([sys.executable, "-c", script], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=WAIT)
    ino, result = done.stderr.split()[-2:]
    assert done.returncode == 0 and result == "3", done.stderr
    assert tidewell.describe(name) is None
    assert not [n for n in os.listdir("/dev/shm") if n.startswith(f"{LANE_PREFIX}{int(ino):x}-")]


class TestAwaitedCalls:
    def test_many_awaited_calls_use_no_thread(self, servers, name):
        servers(2, shared=True)

        async def main():
            before = threading.active_count()
            results = await asyncio.gather(
                *(tidewell.call_function_async(name, (i,)) for i in range(100)))
            assert threading.active_count() == before
            return results

        results = asyncio.run(main())
        assert [x for _, x in results] == list(range(100))
        assert len({pid for pid, _ in results}) == 2

    def test_errors_are_those_of_call_function(self, servers, name, shm_name):
        with pytest.raises(MemoryError):
            asyncio.run(tidewell.call_function_async(shm_name("none"), (1,)))
        servers(1, func=doubled, errors="reply")
        assert asyncio.run(tidewell.call_function_async(name, (21,))) == 42
        assert tidewell.call_function(name, (4,)) == 8
        with pytest.raises(tidewell.RemoteError, match="LookupError: nothing to double"):
            asyncio.run(tidewell.call_function_async(name, (None,)))
        with pytest.raises(ValueError):
            asyncio.run(tidewell.call_function_async(name, [1]))

    def test_cancelling_withdraws_calls_not_taken(self, servers, name, shm_name):
        runs = shm_name("runs")
        tidewell.write_memory(runs, 0)
        servers(1, func=counted)

        async def main():
            tasks = [asyncio.ensure_future(tidewell.call_function_async(name, (runs, 0.2)))
                     for _ in range(5)]
            await asyncio.sleep(0.05)
            for task in tasks:
                task.cancel()
            return await asyncio.gather(*tasks, return_exceptions=True)

        outcomes = asyncio.run(main())
        assert all(isinstance(o, asyncio.CancelledError) for o in outcomes)
        # The running call finishes with its reply unread; the others never ran.
        assert tidewell.call_function(name, (runs, 0.0)) == 0.0
        assert tidewell.read_memory(runs) == 2
        tidewell.remove_memory(runs)
