"""connect(): the same operations on shared memory and on a real Redis server.

The Redis server is started here from the redis-server binary, on a Unix socket in a temporary
directory, without persistence; the tests that need it are skipped when it is missing.
"""
import asyncio
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import tidewell
from helpers import WAIT, gated_call, interruptible, wait_until

HEARTBEAT = 0.5  # a dead Redis-side server's name expires after this
NULL_FROM_FUNCTION = tidewell.tidewell._messages["null_from_function"]
CTX = multiprocessing.get_context("fork")
REDIS_BIN = shutil.which("redis-server")


class RedisServer:
    """A private redis-server on a Unix socket; restart() keeps the socket path."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tw-redis-")
        self.socket = os.path.join(self.dir, "redis.sock")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            [REDIS_BIN, "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
             "--save", "", "--appendonly", "no", "--dir", self.dir],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT
        while not self._answers_ping():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("redis-server did not start")
            time.sleep(0.02)

    def _answers_ping(self):
        with socket.socket(socket.AF_UNIX) as sock:
            sock.settimeout(1)
            try:
                sock.connect(self.socket)
                sock.sendall(b"PING\r\n")
                return sock.recv(16) == b"+PONG\r\n"
            except OSError:
                return False

    def stop(self):
        self.process.kill()
        self.process.wait(WAIT)

    def restart(self):
        self.stop()
        self.start()

    def url(self, prefix):
        return f"unix://{self.socket}?db=0&prefix={prefix}&heartbeat={HEARTBEAT}"

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="module")
def redis_server():
    if REDIS_BIN is None:
        pytest.skip("redis-server is not installed (Debian: apt-get install redis-server)")
    pytest.importorskip("redis", reason='redis-py is not installed: pip install "tidewell[redis]"')
    server = RedisServer()
    yield server
    server.close()


@pytest.fixture(params=["shm", "redis"])
def url(request, shm_name):
    """A store URL; Redis keys live under a prefix of their own and are deleted afterwards."""
    if request.param == "shm":
        yield "shm:"
        return
    server = request.getfixturevalue("redis_server")
    prefix = f"tw-test-{os.getpid()}-{shm_name('p')}:"
    yield server.url(prefix)
    store = tidewell.connect(server.url(prefix))
    try:
        keys = list(store.client.scan_iter(match=prefix.encode() + b"*"))
        if keys:
            store.client.delete(*keys)
    except Exception:
        pass  # a test that stopped the server
    store.close()


@pytest.fixture
def store(url):
    store = tidewell.connect(url)
    yield store
    store.close()


@pytest.fixture
def redis_url(redis_server, shm_name):
    return redis_server.url(f"tw-test-{os.getpid()}-{shm_name('p')}:")


def raised(call):
    try:
        call()
    except BaseException as exc:
        return type(exc), str(exc)
    return None


# ---------------------------------------------------------------------------------------------
# Served in other processes


def ops(op, *args):
    if op == "add":
        return args[0] + args[1]
    if op == "tagged":
        return (os.getpid(), args)
    if op == "sleep":
        time.sleep(args[0])
        return args[0]
    if op == "touch_and_sleep":  # tells the test that the call is running
        open(args[0], "w").close()
        time.sleep(args[1])
        return args[1]
    if op == "gated":  # tells the test that the call is running, and runs until it says so
        return gated_call(*args)
    if op == "raise":
        raise ValueError("boom")
    raise AssertionError(op)


def _serve(url, name, results):
    interruptible()  # Ctrl-C tests interrupt it
    try:
        results.put(("returned", tidewell.connect(url).create_function(name, ops)))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


def _serve_replying(url, name, results):
    try:
        results.put(("returned", tidewell.connect(url).create_function(name, ops, errors="reply")))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


def _call_many(url, name, tag, count, results):
    store = tidewell.connect(url)
    try:
        for i in range(count):
            assert store.call_function(name, ("tagged", tag, i))[1] == (tag, i)
        results.put(("ok", tag))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


def _call_once(url, name, args, results):
    interruptible()
    try:
        results.put(("returned", tidewell.connect(url).call_function(name, args)))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


class Proc:
    def __init__(self, target, *args):
        self.results = CTX.Queue()
        self.process = CTX.Process(target=target, args=(*args, self.results), daemon=True)
        sys.stdout.flush()
        self.process.start()

    def outcome(self):
        return self.results.get(timeout=WAIT)

    def end(self):
        if self.process.is_alive():
            self.process.kill()
        self.process.join(WAIT)


@pytest.fixture
def procs():
    started = []

    def start(target, *args):
        started.append(Proc(target, *args))
        return started[-1]

    yield start
    for proc in started:
        proc.end()


@pytest.fixture
def server(procs, url, name, store):
    def start():
        srv = procs(_serve, url, name)
        wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
        return srv

    yield start
    store.remove_function(name)


# ---------------------------------------------------------------------------------------------
# connect()


def test_connect_gives_the_module_functions_for_shared_memory():
    local = tidewell.connect()
    assert tidewell.connect("shm:") is local
    for op in ("create_memory", "write_memory", "read_memory", "remove_memory",
               "create_function", "call_function", "remove_function"):
        assert getattr(local, op) is getattr(tidewell, op)
    with pytest.raises(ValueError, match="Unsupported store URL"):
        tidewell.connect("memcached://x")


def test_redis_store_without_redis_py_names_the_extra():
    code = ("import sys; sys.modules['redis'] = None; import tidewell\n"
            "try: tidewell.connect('redis://localhost')\n"
            "except ImportError as e: print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=WAIT)
    assert 'pip install "tidewell[redis]"' in out.stdout


# ---------------------------------------------------------------------------------------------
# Values: the same results and errors on both stores


def test_value_lifecycle(store, name):
    assert store.create_memory(name) is True
    assert store.create_memory(name) is False
    assert raised(lambda: store.create_memory(name, error_if_exists=True)) == (
        MemoryError, f"The memory address '{name}' already exists.")
    assert store.read_memory(name) is None
    value = {"port": 80, "hosts": ["a", "b"], "big": b"x" * 100_000, "t": (1.5, None)}
    assert store.write_memory(name, value) is True
    assert store.read_memory(name) == value
    assert store.write_memory(name, 7, create=False) is True
    assert store.read_memory(name) == 7
    assert raised(lambda: store.write_memory(name, object()))[0] is ValueError
    assert store.read_memory(name) == 7
    assert store.remove_memory(name) is True
    assert store.remove_memory(name) is False
    assert raised(lambda: store.remove_memory(name, throw_error=True)) == (
        MemoryError, "Failed to unlink the shared memory.")


def test_missing_names(store, name):
    missing = (MemoryError, f"Failed to open shared memory address '{name}'.")
    assert raised(lambda: store.read_memory(name)) == missing
    assert raised(lambda: store.write_memory(name, 1, create=False)) == missing
    assert raised(lambda: store.read_memory(name)) == missing
    assert raised(lambda: store.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory.")
    assert store.remove_function(name) is False
    assert store.write_memory(name, 1, create=True) is True
    assert raised(lambda: store.call_function(name, ())) == (
        MemoryError, f"The shared memory address '{name}' does not hold a function.")
    assert store.remove_function(name) is False
    store.remove_memory(name)


def test_update_memory(store, name, shm_name):
    missing = (MemoryError, f"Failed to open shared memory address '{name}'.")
    assert raised(lambda: store.update_memory(name, len, create=False)) == missing
    assert store.update_memory(name, lambda v: v + [1], []) == [1]
    assert store.update_memory(name, lambda v: v + [2], []) == [1, 2]
    assert raised(lambda: store.update_memory(name, lambda v: 1 / 0))[0] is ZeroDivisionError
    assert raised(lambda: store.update_memory(name, lambda v: object()))[0] is ValueError
    in_use = raised(lambda: store.update_memory(name, lambda v: store.read_memory(name)))
    assert in_use == (RuntimeError, f"The shared memory address '{name}' is already in use by "
                      "this thread (a signal handler, finalizer or callback ran while it was "
                      "locked).")
    assert store.read_memory(name) == [1, 2]
    other = shm_name()
    store.create_memory(other, 16)  # created, nothing written: the default
    assert store.update_memory(other, lambda v: v, "d") == "d"


def _count(url, name, times, results):
    store = tidewell.connect(url)
    for _ in range(times):
        store.update_memory(name, lambda n: n + 1, 0)
    results.put("done")


def test_update_memory_loses_no_update(url, store, name, procs):
    counters = [procs(_count, url, name, 50) for _ in range(3)]
    assert [c.outcome() for c in counters] == ["done"] * 3
    assert store.read_memory(name) == 150


BAD_CALLS = [
    ("create_memory", (), {}), ("create_memory", ("n", 1.5), {}),
    ("create_memory", ("n",), {"error_if_exists": 1}), ("create_memory", ("n", None), {}),
    ("create_memory", ("n",), {"name": "m"}), ("create_memory", ("n",), {"bogus": 1}),
    ("create_memory", ("n", -1), {}), ("create_memory", ("n", 1 << 64), {}),
    ("remove_memory", ("n", 1), {}), ("remove_memory", (b"n",), {}),
    ("read_memory", (b"n",), {}),
    ("read_memory", ("a\udcff",), {}), ("read_memory", (), {"name": "n"}),
    ("write_memory", ("n",), {}), ("write_memory", ("n", 1, None), {}),
    ("write_memory", ("n", 1, 1, 1), {}), ("write_memory", ("n", 1), {"name": "m"}),
    ("create_function", ("n", 5), {}), ("create_function", (), {"name": "n", "func": print}),
    ("remove_function", (), {}), ("remove_function", ("n", 1), {}),
    ("call_function", ("n", [1]), {}), ("call_function", ("n",), {}),
    ("update_memory", ("n",), {}), ("update_memory", ("n", 5), {}),
    ("update_memory", ("n", len, 1, 1), {}), ("update_memory", ("n", len), {"create": None}),
    ("update_memory", ("n",), {"func": len, "bogus": 1}), ("update_memory", (b"n", len), {}),
    # mode= is keyword-only, an int, and must leave the owner reading and writing
    ("write_memory", ("n", 1), {"mode": None}), ("write_memory", ("n", 1, True, 0o640), {}),
    ("write_memory", ("n", 1), {"mode": 0o400}), ("write_memory", ("n", 1), {"mode": 1 << 70}),
    ("create_memory", ("n",), {"mode": 0o1600}), ("create_memory", ("n", 0, False, 0o600), {}),
    ("create_function", ("n", print), {"mode": "0o600"}),
    ("create_function", ("n", print), {"mode": 0o200}),
    ("create_function", ("n", print), {"mode": 0o600, "x": 1}),
    # which error wins when several apply: the parser's, then the name's, then the mode's
    ("create_memory", ("", 1.5), {}), ("create_memory", ("", 1), {"mode": 0}),
    ("create_memory", ("n", -1), {"mode": 0}), ("write_memory", ("a/b", 1), {"mode": 0}),
    ("create_function", ("", 5), {}), ("create_function", (".", print), {"mode": 0}),
    # the name rules of the module, on every store
    ("read_memory", ("a/b",), {}), ("write_memory", ("..", 1), {}),
    ("call_function", ("x" * 256, ()), {}), ("remove_memory", (".tidewell-new-1",), {}),
]


@pytest.mark.parametrize("op, args, kwargs", BAD_CALLS)
def test_argument_errors_match_the_module(store, op, args, kwargs):
    expected = raised(lambda: getattr(tidewell, op)(*args, **kwargs))
    assert expected is not None and expected[0] in (ValueError, TypeError)
    assert raised(lambda: getattr(store, op)(*args, **kwargs)) == expected


def test_every_argument_of_the_module_is_taken(store, name, shm_name):
    """mode= works on every store (on Redis it has no effect), and a leading '/' is the same
    name, as on shared memory."""
    assert store.create_memory(name, 16, False, mode=0o640) is True
    assert store.write_memory("/" + name, "v", True, mode=0o660) is True
    assert store.read_memory(name) == "v"
    other = shm_name()
    assert store.write_memory(other, 1, mode=0o600) is True
    assert store.update_memory(other, lambda v: v + 1, create=True) == 2
    assert store.remove_memory("/" + other, throw_error=True) is True


def _write(url, name, value, results):
    results.put(tidewell.connect(url).write_memory(name, value))


def test_values_across_processes(url, store, name, procs):
    value = {"from": "child", "n": list(range(100))}
    assert procs(_write, url, name, value).outcome() is True
    assert store.read_memory(name) == value


def _write_many(url, name, count, results):
    store = tidewell.connect(url)
    for i in range(1, count + 1):
        store.write_memory(name, i)
    results.put(True)


def test_watch_sees_another_process_and_ends_with_the_name(url, store, name, procs):
    store.create_memory(name)
    it = store.watch(name, timeout=WAIT)
    seen = [next(it)]
    writer = procs(_write_many, url, name, 100)
    while seen[-1] != 100:
        seen.append(next(it))
    assert writer.outcome() is True
    assert seen[0] is None and seen[1:] == sorted(set(seen[1:]))
    store.update_memory(name, lambda v: v + 1)
    assert next(it) == 101
    store.remove_memory(name)
    assert list(it) == []


def test_wait_for_change_misses_nothing_and_times_out(store, name):
    store.write_memory(name, "a")
    value, token = store.read_with_token(name)
    assert value == "a"
    with pytest.raises(TimeoutError):
        store.wait_for_change(name, token, timeout=0.01)
    store.write_memory(name, "b")
    value, token = store.wait_for_change(name, token, timeout=0)
    assert value == "b"
    with pytest.raises(ValueError):
        store.wait_for_change(name, token, timeout=-1)
    store.remove_memory(name)
    with pytest.raises(FileNotFoundError):
        store.wait_for_change(name, token, timeout=WAIT)
    with pytest.raises(MemoryError, match="Failed to open shared memory address"):
        store.read_with_token(name)


# ---------------------------------------------------------------------------------------------
# Functions: the same results and errors on both stores


def test_calls_and_stop(server, store, name):
    srv = server()
    assert store.call_function(name, ("add", 2, 3)) == 5
    assert raised(lambda: store.create_function(name, ops)) == (
        MemoryError, f"The memory address '{name}' already exists.")
    for op in (lambda: store.read_memory(name), lambda: store.write_memory(name, 1),
               lambda: store.update_memory(name, len)):
        assert raised(op) == (
            MemoryError, f"The shared memory address '{name}' holds a function, not a value.")
    assert store.create_memory(name) is False
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)
    srv.process.join(WAIT)
    assert raised(lambda: store.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory.")


def test_create_function_on_a_value_name(store, name):
    store.write_memory(name, 1)
    assert raised(lambda: store.create_function(name, ops)) == (
        MemoryError, f"The memory address '{name}' already exists.")


def test_failing_callable_ends_serving(server, store, name):
    srv = server()
    assert raised(lambda: store.call_function(name, ("raise",))) == (
        RuntimeError, NULL_FROM_FUNCTION)
    assert srv.outcome() == ("raised", "ValueError", "boom")
    assert raised(lambda: store.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory.")


def test_concurrent_callers_each_get_their_own_reply(server, url, name, procs):
    server()
    callers = [procs(_call_many, url, name, tag, 40) for tag in range(4)]
    assert sorted(c.outcome() for c in callers) == [("ok", tag) for tag in range(4)]


def test_server_killed_mid_call(server, url, name, procs, tmp_path):
    srv = server()
    caller = procs(_call_once, url, name, ("touch_and_sleep", str(tmp_path / "started"), 30))
    wait_until((tmp_path / "started").exists)
    srv.process.kill()
    # Within WAIT, long before the call would have ended.
    assert caller.outcome() == (
        "raised", "RuntimeError", f"The process serving the shared function '{name}' has ended.")


def test_sigint_ends_a_serving_server_and_a_waiting_caller(server, url, store, name, procs,
                                                            tmp_path):
    srv = server()
    caller = procs(_call_once, url, name, ("touch_and_sleep", str(tmp_path / "started"), 30))
    wait_until((tmp_path / "started").exists)
    os.kill(caller.process.pid, signal.SIGINT)
    assert caller.outcome()[:2] == ("raised", "KeyboardInterrupt")
    os.kill(srv.process.pid, signal.SIGINT)
    assert srv.outcome()[:2] == ("raised", "KeyboardInterrupt")
    srv.process.join(WAIT)
    # The name goes with the server (after the running call, which an interrupt ends too).
    wait_until(lambda: raised(lambda: store.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory."))


# ---------------------------------------------------------------------------------------------
# Redis only


def test_redis_stop_answers_queued_calls(redis_url, name, procs, tmp_path):
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    started, go = tmp_path / "started", tmp_path / "go"
    running = procs(_call_once, redis_url, name, ("gated", str(started), str(go)))
    wait_until(started.exists)
    queued = procs(_call_once, redis_url, name, ("add", 1, 2))
    wait_until(lambda: store.client.llen(store.prefix + b"q:" + name.encode()) == 1)
    assert store.remove_function(name) is True
    go.touch()  # the running call ends after the stop, and its reply still arrives
    assert running.outcome() == ("returned", "done")
    assert queued.outcome() == ("raised", "RuntimeError", NULL_FROM_FUNCTION)
    assert srv.outcome() == ("returned", None)
    # No 1024-byte limit on Redis.
    assert store.write_memory(name, b"x" * 5000) and len(store.read_memory(name)) == 5000


@pytest.mark.parametrize("name, message", [
    ("", "A shared memory name must not be empty."),
    ("a\0b", "A shared memory name must not contain a NUL character."),
])
def test_redis_refuses_the_names_shared_memory_refuses(redis_url, name, message):
    store = tidewell.connect(redis_url)
    for call in (lambda: store.write_memory(name, 1), lambda: store.call_function(name, ())):
        assert raised(call) == (ValueError, message)


def test_redis_planted_function_hash_does_not_hold_callers(redis_url, name, procs):
    """A function's hash that no server keeps alive (planted by any client, or left without
    its expiry by PERSIST or a restore) fails a call within the heartbeat it claims."""
    store = tidewell.connect(redis_url)
    key = store.prefix + b"n:" + name.encode()
    store.client.hset(key, mapping={"id": os.urandom(20), "ttl": 2000})
    caller = procs(_call_once, redis_url, name, (1,))
    assert caller.outcome() == (
        "raised", "RuntimeError", f"The process serving the shared function '{name}' has ended.")
    # Claiming a heartbeat longer than any server may have changes nothing.
    store.client.hset(key, mapping={"ttl": 10 ** 12, "beat": 0})
    caller = procs(_call_once, redis_url, name, (1,))
    assert caller.outcome()[:2] == ("raised", "RuntimeError")
    store.client.delete(key)
    with pytest.raises(ValueError, match="at most 60"):
        tidewell.connect(redis_url, heartbeat=61)


def test_redis_prefixes_do_not_nest(redis_url, name, procs):
    """Store A under P and store B under P + "n:" share no key, whatever the names; a key of
    the wrong type where a server expects its queue does not end serving."""
    outer = tidewell.connect(redis_url)
    inner_url = redis_url.replace("&heartbeat", "n:&heartbeat")
    inner = tidewell.connect(inner_url)
    assert inner.prefix == outer.prefix + b"n:"
    srv = procs(_serve, inner_url, name)
    wait_until(lambda: raised(lambda: inner.call_function(name, ("add", 0, 0))) is None)
    assert outer.write_memory("n:" + name, "outer") is True
    assert outer.write_memory("q:" + name, "not a queue") is True
    assert raised(lambda: inner.read_memory(name)) == (
        MemoryError, f"The shared memory address '{name}' holds a function, not a value.")
    assert inner.call_function(name, ("add", 1, 2)) == 3
    # A client that writes keys by hand can still put a string where the queue belongs.
    outer.client.set(inner.prefix + b"q:" + name.encode(), b"x")
    wait_until(lambda: raised(lambda: inner.call_function(name, ("add", 0, 0))) is None)
    assert inner.call_function(name, ("add", 2, 2)) == 4
    assert (outer.read_memory("n:" + name), outer.read_memory("q:" + name)) == (
        "outer", "not a queue")
    assert inner.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


def test_redis_call_that_vanished_fails(redis_url, name, procs, tmp_path):
    """A request lost while the server lives (a pop whose answer never arrived, Redis restored
    from an older snapshot) is noticed within the heartbeat, not waited for without end."""
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    go = tmp_path / "go"
    running = procs(_call_once, redis_url, name, ("gated", str(tmp_path / "s"), str(go)))
    wait_until((tmp_path / "s").exists)
    queued = procs(_call_once, redis_url, name, ("add", 1, 2))
    queue = store.prefix + b"q:" + name.encode()
    wait_until(lambda: store.client.llen(queue) == 1)
    store.client.delete(queue)
    # Noticed while the server is still busy with the running call, which ends only after.
    assert queued.outcome() == (
        "raised", "RuntimeError", f"The call to the shared function '{name}' was lost.")
    go.touch()
    assert running.outcome() == ("returned", "done")
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


def test_redis_remove_memory_of_a_function_stops_its_server(redis_url, name, procs):
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    assert store.remove_memory(name) is True
    assert srv.outcome() == ("returned", None)
    assert store.create_memory(name) is True


def test_redis_raw_requests_the_decoder_refuses(redis_url, name, procs):
    """A peer that writes the request list itself: undecodable arguments and arguments that are
    not a tuple are answered, and serving goes on."""
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    queue = store.prefix + b"q:" + name.encode()
    replies = {}
    for request_id, payload in ((b"a" * 16, b"\xfd\xff"), (b"b" * 16, tidewell.dumps([1]))):
        store.client.rpush(queue, request_id + payload)
        reply_key = store.prefix + b"r:" + request_id.hex().encode()
        replies[request_id] = store.client.blpop([reply_key], WAIT)[1]
    assert replies[b"a" * 16][:1] == b"\x01"  # refused, with the decoder's message
    assert raised(lambda: tidewell.loads(replies[b"b" * 16])) == (
        ValueError, "Likely received an invalid bytes object: fetched an invalid datatype "
        "representative. (Rep. code: 103)")
    assert store.call_function(name, ("add", 1, 2)) == 3
    # Another prefix is another namespace.
    other = tidewell.connect(redis_url.replace("prefix=", "prefix=other-"))
    assert raised(lambda: other.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory.")
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


def test_redis_restart_under_server_and_callers(redis_server, redis_url, name, procs,
                                                tmp_path):
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    go = tmp_path / "go"
    slow = procs(_call_once, redis_url, name, ("gated", str(tmp_path / "started"), str(go)))
    wait_until((tmp_path / "started").exists)
    queued = procs(_call_once, redis_url, name, ("add", 1, 2))
    wait_until(lambda: store.client.llen(store.prefix + b"q:" + name.encode()) == 1)
    redis_server.restart()
    go.touch()
    # Each call is answered (the running one's reply reaches the new Redis, the queued one is
    # placed again by its caller's retry) or fails clearly, within a bounded time.
    for caller, result in ((slow, "done"), (queued, 3)):
        outcome = caller.outcome()
        assert outcome == ("returned", result) or outcome[1] in (
            "RuntimeError", "MemoryError", "ConnectionError"), outcome
    # The server takes its name again and serves new calls.
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 1, 1))) is None)
    assert store.call_function(name, ("add", 2, 2)) == 4
    callers = [procs(_call_many, redis_url, name, tag, 10) for tag in range(2)]
    assert sorted(c.outcome() for c in callers) == [("ok", 0), ("ok", 1)]
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


# ---------------------------------------------------------------------------------------------
# Redis only: several servers of one name, async calls, coroutine functions


def _serve_shared(url, name, results):
    """Serves `name` with shared=True; returns the arguments of every call it ran."""
    ran = []

    def recording(*args):
        ran.append(args)
        return ops(*args)

    try:
        tidewell.connect(url).create_function(name, recording, shared=True)
        results.put(("returned", ran))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


def _gone(store, name):
    return raised(lambda: store.call_function(name, ())) == (
        MemoryError, "Failed to open the shared memory.")


def test_redis_shared_servers_answer_each_call_once(redis_url, name, procs):
    store = tidewell.connect(redis_url)
    servers = [procs(_serve_shared, redis_url, name) for _ in range(2)]
    answered = set()

    def both_answer():
        try:
            answered.add(store.call_function(name, ("tagged",))[0])
        except MemoryError:  # not served yet
            pass
        return answered == {s.process.pid for s in servers}

    wait_until(both_answer, what="a reply from each server")
    taken = (MemoryError, f"The memory address '{name}' already exists.")
    for kwargs, expected in (
            ({}, taken),
            ({"shared": True, "errors": "reply"}, (ValueError, (
                f"The shared function '{name}' is served with errors='raise'; serve it with the "
                f"same errors= to share it."))),
            ({"shared": 1}, (ValueError, "create_function() shared must be True or False, not 1"))):
        assert raised(lambda: store.create_function(name, ops, **kwargs)) == expected
    callers = [procs(_call_many, redis_url, name, tag, 40) for tag in range(3)]
    assert sorted(c.outcome() for c in callers) == [("ok", tag) for tag in range(3)]
    assert store.remove_function(name) is True
    outcomes = [s.outcome() for s in servers]
    assert [o[0] for o in outcomes] == ["returned", "returned"], outcomes
    ran = [[args for args in o[1] if len(args) == 3] for o in outcomes]
    assert all(ran), "each server runs some of the calls"
    assert sorted(ran[0] + ran[1]) == sorted(("tagged", t, i) for t in range(3) for i in range(40))
    wait_until(lambda: _gone(store, name))
    # A name served without shared=True cannot be joined.
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    assert raised(lambda: store.create_function(name, ops, shared=True)) == taken
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


def test_redis_shared_server_killed_leaves_its_queue_to_the_other(redis_url, name, procs,
                                                                  tmp_path):
    store = tidewell.connect(redis_url)
    first = procs(_serve_shared, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    held = procs(_call_once, redis_url, name, ("gated", str(tmp_path / "a"), str(tmp_path / "x")))
    wait_until((tmp_path / "a").exists)  # the first server runs it, until it is killed
    second = procs(_serve_shared, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    busy = procs(_call_once, redis_url, name, ("gated", str(tmp_path / "b"), str(tmp_path / "go")))
    wait_until((tmp_path / "b").exists)  # the second one runs this: both are busy
    queued = [procs(_call_once, redis_url, name, ("tagged", i)) for i in range(3)]
    queue = store.prefix + b"q:" + name.encode()
    wait_until(lambda: store.client.llen(queue) == 3)
    first.process.kill()
    (tmp_path / "go").touch()
    assert busy.outcome() == ("returned", "done")
    assert [q.outcome() for q in queued] == [
        ("returned", (second.process.pid, (i,))) for i in range(3)]
    outcome = held.outcome()
    assert outcome[:2] == ("raised", "RuntimeError") and outcome[2].endswith(
        ("has ended.", "was lost.")), outcome
    assert store.call_function(name, ("add", 1, 2)) == 3
    assert store.remove_function(name) is True
    assert second.outcome()[0] == "returned"
    wait_until(lambda: _gone(store, name))


async def _until(predicate):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, "the state was not reached in time"
        await asyncio.sleep(0.005)


async def _raised_async(awaitable):
    try:
        await awaitable
    except BaseException as exc:
        return type(exc), str(exc)
    return None


def test_redis_async_calls_and_cancellation(redis_url, name, shm_name, procs, tmp_path):
    store = tidewell.connect(redis_url)
    srv = procs(_serve, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    value = shm_name()
    store.write_memory(value, 1)
    queue = store.prefix + b"q:" + name.encode()
    started, go = tmp_path / "started", tmp_path / "go"

    async def main():
        threads, seen = threading.active_count(), set()

        async def count_threads():
            while True:
                seen.add(threading.active_count())
                await asyncio.sleep(0.001)

        counting = asyncio.ensure_future(count_threads())
        results = await asyncio.wait_for(asyncio.gather(
            *(store.call_function_async(name, ("add", i, 1)) for i in range(100))), WAIT)
        counting.cancel()
        assert results == list(range(1, 101)) and seen == {threads}
        # The same errors as call_function.
        for args in ((shm_name(), ()), (value, ()), (name, [1])):
            assert await _raised_async(store.call_function_async(*args)) == raised(
                lambda: store.call_function(*args))
        # A cancelled call that no server took is taken back.
        running = asyncio.ensure_future(
            store.call_function_async(name, ("gated", str(started), str(go))))
        await _until(started.exists)
        waiting = asyncio.ensure_future(store.call_function_async(name, ("add", 1, 1)))
        await _until(lambda: store.client.llen(queue) == 1)
        waiting.cancel()
        assert await _raised_async(waiting) == (asyncio.CancelledError, "")
        assert store.client.llen(queue) == 0
        go.touch()
        assert await asyncio.wait_for(running, WAIT) == "done"
        # A failing callable (served with errors="raise") ends serving, as with call_function.
        assert await _raised_async(store.call_function_async(name, ("raise",))) == (
            RuntimeError, NULL_FROM_FUNCTION)
        await store.aclose()

    asyncio.run(main())
    assert srv.outcome() == ("raised", "ValueError", "boom")


async def async_ops(op, *args):
    await asyncio.sleep(0)
    if op == "loop":
        return id(asyncio.get_running_loop())
    if op == "raise":
        raise ValueError("boom")
    return ops(op, *args)


def _serve_async(url, name, results):
    try:
        results.put(("returned", tidewell.connect(url).create_function(name, async_ops,
                                                                       errors="reply")))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


def test_redis_serves_an_async_def(redis_url, name, procs):
    store = tidewell.connect(redis_url)
    srv = procs(_serve_async, redis_url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    assert store.call_function(name, ("add", 1, 2)) == 3
    # One event loop for the server's life.
    assert store.call_function(name, ("loop",)) == store.call_function(name, ("loop",))
    with pytest.raises(tidewell.RemoteError, match="^ValueError: boom$"):
        store.call_function(name, ("raise",))
    assert store.call_function(name, ("add", 2, 2)) == 4
    assert store.remove_function(name) is True
    assert srv.outcome() == ("returned", None)


# ---------------------------------------------------------------------------------------------
# Kill test: servers and callers killed at random while calls go on


CLEAR_ERRORS = {
    "RuntimeError": ("has ended.", "was lost.", "has stopped.", NULL_FROM_FUNCTION),
    "MemoryError": ("Failed to open the shared memory.",),
}


def _serve_retrying(url, name, results):
    store = tidewell.connect(url)
    deadline = time.monotonic() + WAIT
    while True:
        try:
            store.create_function(name, ops)
            return
        except MemoryError:  # the killed server's name is not free yet
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def _call_until(url, name, tag, stop, replies, results):
    """Calls until `stop` holds 1, counting its right replies in `replies` as it goes."""
    store = tidewell.connect(url)
    ok = crossed = 0
    errors = []
    i = 0
    while not stop.value:
        i += 1
        try:
            reply = store.call_function(name, ("tagged", tag, i))
        except (RuntimeError, MemoryError) as exc:
            errors.append((type(exc).__name__, str(exc)))
            time.sleep(0.02)  # the server is being replaced
            continue
        if reply[1] == (tag, i):
            ok += 1
            replies.value = ok
        else:
            crossed += 1
    results.put((tag, ok, crossed, errors))


def test_kill_servers_and_callers(url, store, name, procs):
    # A flag without a lock: a caller killed while it looks at an Event would keep the Event's
    # lock, and every other process would wait on it for ever.
    stop = CTX.Value("b", 0, lock=False)
    callers = {}

    def start_caller(tag):
        replies = CTX.Value("i", 0, lock=False)
        callers[tag] = (procs(_call_until, url, name, tag, stop, replies), replies)

    def each_caller_served():  # every caller gets replies from the server of this round
        seen = {tag: replies.value for tag, (_, replies) in callers.items()}
        wait_until(lambda: all(callers[tag][1].value > n for tag, n in seen.items()),
                   what="a reply to every caller")

    srv = procs(_serve_retrying, url, name)
    for tag in range(3):
        start_caller(tag)
    try:
        for round_ in range(3):
            each_caller_served()
            victim, _ = callers.pop(round_)
            victim.process.kill()
            start_caller(10 + round_)
            srv.process.kill()
            srv.process.join(WAIT)
            store.remove_function(name)  # frees a dead server's name on shared memory
            srv = procs(_serve_retrying, url, name)
        each_caller_served()
    finally:
        stop.value = 1
    reports = [caller.outcome() for caller, _ in callers.values()]  # each within WAIT: no hang
    for tag, ok, crossed, errors in reports:
        assert crossed == 0
        assert ok > 0, (tag, errors)
        for exc_type, message in errors:
            assert message.endswith(CLEAR_ERRORS[exc_type]), message


def test_example_runs_on_either_store(url):
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "redis_workers.py")
    out = subprocess.run([sys.executable, example, url], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("called score() served by") == 4


def test_error_replies_keep_the_service_serving(procs, url, name, store):
    procs(_serve_replying, url, name)
    wait_until(lambda: raised(lambda: store.call_function(name, ("add", 0, 0))) is None)
    try:
        with pytest.raises(tidewell.RemoteError) as info:
            store.call_function(name, ("raise",))
        err = info.value
        assert (str(err), err.remote_type, err.remote_message) == ("ValueError: boom", "ValueError", "boom")
        assert err.remote_traceback.rstrip().endswith("ValueError: boom")
        assert store.call_function(name, ("add", 1, 2)) == 3
    finally:
        store.remove_function(name)
    with pytest.raises(ValueError, match="errors must be 'raise' or 'reply'"):
        store.create_function(name, ops, errors="ignore")
