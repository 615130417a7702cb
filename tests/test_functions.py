"""Shared functions across real processes: results, limits, stops, dead servers, interrupts."""
import collections
import ctypes
import mmap
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tidewell
from codec_access import call_shared_function, encode
from conftest import shm_exists, shm_path
from helpers import (SIGINT_DEFAULT, WAIT, gated_call, read_line, sleeps_on, wait_for_name,
                     wait_until)

NULL_FROM_FUNCTION = tidewell.tidewell._messages["null_from_function"]


def ops(op, *args):
    """The one served callable: what it does is chosen by the caller."""
    if op == "add":
        return args[0] + args[1]
    if op == "echo":
        return args
    if op == "tagged":
        return (os.getpid(), args)
    if op == "sleep":
        time.sleep(args[0])
        return args[0]
    if op == "gated":  # tells the test that the call runs, then runs until the test says so
        return gated_call(*args)
    if op == "bytes":
        return b"x" * args[0]
    if op == "gated_bytes":  # a gated call with a result of args[2] bytes (args[3:]: padding)
        gated_call(args[0], args[1])
        return b"x" * args[2]
    if op == "raise":
        raise ValueError("boom")
    if op == "interrupt":
        raise KeyboardInterrupt
    if op == "unsupported":
        return object()
    raise AssertionError(op)


def _serve(name, results):
    try:
        results.put(("returned", tidewell.create_function(name, ops)))
    except BaseException as exc:  # reported to the test, which asserts on it
        results.put(("raised", type(exc).__name__, str(exc)))


def start_process(process):
    # A forked child flushes what it inherited in the parent's stdio buffers when it ends.
    sys.stdout.flush()
    sys.stderr.flush()
    process.start()


def bytes_arg_of_encoded_size(size, wrap=lambda b: (b,)):
    """A bytes length whose wrapped value encodes to exactly `size` bytes."""
    for n in range(size, 0, -1):
        if len(encode(wrap(b"x" * n))) == size:
            return n
    raise AssertionError(size)


class Server:
    def __init__(self, name, method="fork"):
        ctx = multiprocessing.get_context(method)
        self.name = name
        self.results = ctx.Queue()
        self.process = ctx.Process(target=_serve, args=(name, self.results), daemon=True)
        start_process(self.process)
        wait_for_name(name)

    def outcome(self):
        return self.results.get(timeout=WAIT)

    def stop(self):
        if self.process.is_alive():
            tidewell.remove_function(self.name)
        self.process.join(WAIT)
        if self.process.is_alive():
            self.process.kill()
            self.process.join(WAIT)


@pytest.fixture
def gate(tmp_path):
    """Arguments of a "gated" call, and the files that say it started and let it end."""
    started, go = tmp_path / "started", tmp_path / "go"
    return ("gated", str(started), str(go)), started, go


@pytest.fixture
def server(name):
    started = []

    def start(method="fork"):
        srv = Server(name, method)
        started.append(srv)
        return srv

    yield start
    for srv in started:
        srv.stop()


def run_script(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            cwd=os.path.dirname(__file__))


class CallInThread:
    """call_function in a thread of this process (the caller releases the GIL while it waits)."""

    def __init__(self, name, args):
        self.result = self.error = None
        self.thread = threading.Thread(target=self._run, args=(name, args), daemon=True)
        self.thread.start()

    def _run(self, name, args):
        try:
            self.result = tidewell.call_function(name, args)
        except BaseException as exc:
            self.error = exc

    def sleeps_on(self, name):
        return sleeps_on(name, self.thread.native_id)

    def join(self):
        self.thread.join(WAIT)
        assert not self.thread.is_alive()
        return self


def stopped(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


# ---------------------------------------------------------------------------------------------
# Calls and results


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_call_returns_the_callables_result(server, name, method):
    server(method)
    assert tidewell.call_function(name, ("add", 2, 3)) == 5
    value = ("echo", [1, "two", None], {"k": (3.5, b"b")}, True)
    assert tidewell.call_function(name, value) == value[1:]


def test_call_on_a_missing_name(name):
    with pytest.raises(MemoryError, match=r"^Failed to open the shared memory\.$") as info:
        tidewell.call_function(name, ())
    cause = info.value.__cause__
    assert isinstance(cause, FileNotFoundError) and cause.filename == name


@pytest.mark.parametrize("op, exc_type, message", [
    ("raise", "ValueError", "boom"),
    ("interrupt", "KeyboardInterrupt", ""),
    ("unsupported", "ValueError", "Received an unsupported datatype."),
])
def test_failing_callable_ends_serving(server, name, op, exc_type, message):
    srv = server()
    with pytest.raises(RuntimeError) as info:
        tidewell.call_function(name, (op,))
    assert str(info.value) == NULL_FROM_FUNCTION
    assert srv.outcome() == ("raised", exc_type, message)
    srv.process.join(WAIT)
    assert not shm_exists(name)
    with pytest.raises(MemoryError, match=r"^Failed to open the shared memory\.$"):
        tidewell.call_function(name, ("add", 1, 2))


def test_unsupported_argument_fails_in_the_caller(server, name):
    server()
    with pytest.raises(ValueError, match=r"^Received an unsupported datatype\.$"):
        tidewell.call_function(name, ("echo", object()))
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


def test_non_tuple_from_native_code_gets_the_no_value_reply(server, name):
    server()
    with pytest.raises(ValueError) as info:
        call_shared_function(name.encode(), ["add", 1, 2])
    assert str(info.value) == ("Likely received an invalid bytes object: fetched an invalid "
                               "datatype representative. (Rep. code: 103)")
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


class list_with_hash(list):
    """Encodes as a list (routed by its type name), which the server cannot use as a key."""

    def __hash__(self):
        return 0


@pytest.mark.parametrize("via", ["module", "native"])
def test_undecodable_args_fail_the_call_and_serving_goes_on(server, name, via):
    server()
    args = ("echo", {list_with_hash([1]): 1})
    with pytest.raises(RuntimeError) as info:
        if via == "module":
            tidewell.call_function(name, args)
        else:
            call_shared_function(name.encode(), args)
    assert str(info.value).startswith(
        f"The shared function '{name}' could not decode its arguments: ")
    assert "unhashable" in str(info.value)
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


def _namedtuples_supported():
    try:
        encode(collections.namedtuple("P", "a")(1))
    except ValueError:
        return False
    return True


@pytest.mark.skipif(not _namedtuples_supported(), reason="codec has no namedtuple yet")
def test_namedtuple_args_are_accepted_as_a_tuple(server, name):
    server()
    Call = collections.namedtuple("Call", "op a b")
    assert tidewell.call_function(name, Call("add", 4, 5)) == 9


# ---------------------------------------------------------------------------------------------
# Names: taken, stopped, wrong kind


def test_create_on_a_taken_name(server, name):
    srv = server()
    with pytest.raises(MemoryError) as info:
        tidewell.create_function(name, ops)
    assert str(info.value) == f"The memory address '{name}' already exists."
    # The cause says who serves it.
    assert isinstance(info.value.__cause__, FileExistsError)
    assert str(info.value.__cause__) == (
        f"[Errno 17] The name is served by the process with pid {srv.process.pid}: '{name}'")
    assert tidewell.call_function(name, ("add", 1, 2)) == 3
    srv.process.kill()
    srv.process.join(WAIT)
    with pytest.raises(MemoryError) as info:
        tidewell.create_function(name, ops)
    assert f"whose server (pid {srv.process.pid}) has ended" in str(info.value.__cause__)
    assert tidewell.remove_function(name) is True


def test_create_on_a_value_name(name):
    tidewell.write_memory(name, [1, 2])
    with pytest.raises(MemoryError) as info:
        tidewell.create_function(name, ops)
    assert str(info.value) == f"The memory address '{name}' already exists."
    assert str(info.value.__cause__) == f"[Errno 17] The name holds a value: '{name}'"
    assert tidewell.read_memory(name) == [1, 2]


def test_remove_on_a_missing_name(name):
    assert tidewell.remove_function(name) is False


# Value segments of 48 bytes (never written), of a few bytes, and of exactly a function
# segment's size, so only the marker tells them apart.
@pytest.mark.parametrize("payload", [None, "small", "function-sized"])
def test_value_segment_is_not_a_function(name, payload):
    if payload == "function-sized":
        # A value of n encoded bytes grows the object to n + 80 bytes.
        payload = b"y" * bytes_arg_of_encoded_size(1168 - 80, lambda b: b)
    if payload is None:
        tidewell.create_memory(name)
    else:
        tidewell.write_memory(name, payload)
        if isinstance(payload, bytes):
            # A value object is never exactly a function segment's size: one byte more.
            assert os.path.getsize(shm_path(name)) == 1169
    with pytest.raises(MemoryError) as info:
        tidewell.call_function(name, ("add", 1, 2))
    assert str(info.value) == f"The shared memory address '{name}' does not hold a function."
    assert tidewell.remove_function(name) is False
    assert tidewell.read_memory(name) == payload


@pytest.mark.parametrize("operation", [
    lambda n: tidewell.read_memory(n),
    lambda n: tidewell.write_memory(n, [1, 2]),
])
def test_value_operations_refuse_a_function(server, name, operation):
    server()
    with pytest.raises(MemoryError) as info:
        operation(name)
    assert str(info.value) == f"The shared memory address '{name}' holds a function, not a value."
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


STOP_SERVER = """
    import sys, tidewell
    print("returned", tidewell.create_function(sys.argv[1], lambda *a: a))
"""


def test_stop_prints_read_and_removes_the_segment(name):
    proc = run_script(STOP_SERVER, name)
    try:
        wait_until(lambda: shm_exists(name))
        assert tidewell.call_function(name, (1,)) == (1,)
        assert tidewell.remove_function(name) is True
        out, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
        proc.wait(WAIT)
    assert out.splitlines() == ["read", "returned None"], err
    assert not shm_exists(name)
    with pytest.raises(MemoryError, match=r"^Failed to open the shared memory\.$"):
        tidewell.call_function(name, (1,))


def test_stop_with_a_call_pending_answers_it(server, name):
    srv = server()
    pid = srv.process.pid
    os.kill(pid, signal.SIGSTOP)
    try:
        wait_until(lambda: stopped(pid))
        pending = CallInThread(name, ("add", 1, 2))
        wait_until(lambda: pending.sleeps_on(name), what="the call placed")
        waiting = CallInThread(name, ("add", 3, 4))
        wait_until(lambda: waiting.sleeps_on(name), what="a second caller waiting for its turn")
        assert tidewell.remove_function(name) is True
    finally:
        os.kill(pid, signal.SIGCONT)
    pending.join()
    waiting.join()
    assert isinstance(pending.error, RuntimeError) and str(pending.error) == NULL_FROM_FUNCTION
    assert isinstance(waiting.error, RuntimeError)
    assert str(waiting.error) == f"The shared function '{name}' has stopped."
    assert srv.outcome() == ("returned", None)
    srv.process.join(WAIT)
    assert not shm_exists(name)


# ---------------------------------------------------------------------------------------------
# No lost wake-ups, one call at a time


def test_call_placed_while_the_server_is_not_waiting(server, name):
    srv = server()
    os.kill(srv.process.pid, signal.SIGSTOP)
    try:
        wait_until(lambda: stopped(srv.process.pid))
        call = CallInThread(name, ("add", 20, 22))
        wait_until(lambda: call.sleeps_on(name), what="the call placed")
    finally:
        os.kill(srv.process.pid, signal.SIGCONT)
    assert call.join().error is None and call.result == 42


def _call_as_soon_as_created(name, results):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            results.put(tidewell.call_function(name, ("add", 1, 2)))
            return
        except MemoryError:
            pass
    results.put("no segment")


def test_calls_made_before_the_servers_first_wait(name):
    ctx = multiprocessing.get_context("fork")
    for _ in range(3):
        results = ctx.Queue()
        caller = ctx.Process(target=_call_as_soon_as_created, args=(name, results))
        start_process(caller)
        srv = Server(name)
        try:
            assert results.get(timeout=WAIT) == 3
        finally:
            caller.join(WAIT)
            srv.stop()
        assert srv.outcome() == ("returned", None)


def _tagged_calls(name, tag, count, results):
    replies = [tidewell.call_function(name, ("tagged", tag, i))[1] for i in range(count)]
    results.put((tag, replies))


def test_concurrent_callers_each_get_their_own_reply(server, name):
    server()
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    count = 100
    callers = [ctx.Process(target=_tagged_calls, args=(name, tag, count, results))
               for tag in range(4)]
    for p in callers:
        start_process(p)
    got = dict(results.get(timeout=WAIT * 3) for _ in callers)
    for p in callers:
        p.join(WAIT)
    assert got == {tag: [(tag, i) for i in range(count)] for tag in range(4)}


def test_concurrent_threads_each_get_their_own_reply(server, name):
    server()
    calls = [CallInThread(name, ("tagged", tag)) for tag in range(8)]
    assert sorted(c.join().result[1] for c in calls) == [(tag,) for tag in range(8)]


# ---------------------------------------------------------------------------------------------
# Dead servers and callers: nobody waits forever


def test_server_killed_while_idle(server, name):
    srv = server()
    srv.process.kill()  # not reaped yet: a zombie must count as gone
    call = CallInThread(name, ("add", 1, 2)).join()
    assert isinstance(call.error, RuntimeError)
    assert str(call.error) == f"The process serving the shared function '{name}' has ended."
    # The segment of a dead server is removed by a stop request.
    assert tidewell.remove_function(name) is True
    assert not shm_exists(name)


def test_server_killed_while_serving(server, name, gate):
    srv = server()
    args, started, _ = gate
    call = CallInThread(name, args)  # a call that would run until the test ends
    wait_until(started.exists, what="the call running")
    srv.process.kill()
    call.join()
    assert isinstance(call.error, RuntimeError)
    assert str(call.error) == f"The process serving the shared function '{name}' has ended."


LOCK_AND_HOLD = """
    import ctypes, mmap, os, sys, threading, time, tidewell
    name, serve = sys.argv[1], sys.argv[2] == "serve"
    if serve:
        threading.Thread(target=tidewell.create_function, args=(name, max), daemon=True).start()
    while not os.path.exists("/dev/shm/" + name):
        time.sleep(0.005)
    with open("/dev/shm/" + name, "r+b") as f:
        mem = mmap.mmap(f.fileno(), 1168)
    mutex = ctypes.addressof((ctypes.c_char * 1168).from_buffer(mem))
    assert ctypes.CDLL(None).pthread_mutex_lock(ctypes.c_void_p(mutex)) == 0
    print("locked", flush=True)
    time.sleep(60)
"""


def test_server_killed_while_holding_the_mutex(name):
    proc = run_script(LOCK_AND_HOLD, name, "serve")
    try:
        assert read_line(proc.stdout) == "locked"
        call = CallInThread(name, (1, 2))
        wait_until(lambda: call.sleeps_on(name), what="the caller waiting for the lock")
        proc.kill()
        call.join()
    finally:
        proc.kill()
        proc.communicate(timeout=WAIT)
    assert isinstance(call.error, RuntimeError)
    assert str(call.error) == f"The process serving the shared function '{name}' has ended."


def test_caller_killed_while_holding_the_mutex(server, name):
    server()
    proc = run_script(LOCK_AND_HOLD, name, "call")
    try:
        assert read_line(proc.stdout) == "locked"
        proc.kill()
    finally:
        proc.communicate(timeout=WAIT)
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


def _call_and_report(name, args, results):
    results.put(("started", os.getpid()))
    results.put(tidewell.call_function(name, args))


def test_caller_killed_while_waiting_for_its_reply(server, name, gate):
    server()
    args, started, go = gate
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    caller = ctx.Process(target=_call_and_report, args=(name, args, results))
    start_process(caller)
    wait_until(started.exists, what="the call running")
    caller.kill()
    caller.join(WAIT)
    go.touch()
    # Its reply is never collected; the next caller still gets its turn.
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


# ---------------------------------------------------------------------------------------------
# The interpreter lock and signals


def test_serving_from_a_background_thread(name):
    served = threading.Thread(target=tidewell.create_function, args=(name, ops), daemon=True)
    served.start()
    try:
        wait_until(lambda: shm_exists(name))
        ticks = []
        ticker = threading.Thread(target=lambda: [ticks.append(time.sleep(0.01))
                                                  for _ in range(20)])
        ticker.start()
        assert tidewell.call_function(name, ("sleep", 0.1)) == 0.1
        ticker.join(WAIT)
        assert len(ticks) == 20
    finally:
        tidewell.remove_function(name)
        served.join(WAIT)
    assert not served.is_alive()
    assert not shm_exists(name)


# Child scripts that test Ctrl-C set its default handler first (see SIGINT_DEFAULT).
INTERRUPTED_SERVER = SIGINT_DEFAULT + textwrap.dedent("""
    import sys, tidewell
    try:
        tidewell.create_function(sys.argv[1], lambda: 1)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")

INTERRUPTED_CALLER = SIGINT_DEFAULT + textwrap.dedent("""
    import sys, tidewell
    try:
        tidewell.call_function(sys.argv[1], tuple(sys.argv[2:]))
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


def test_sigint_interrupts_a_serving_create_function(name):
    proc = run_script(INTERRUPTED_SERVER, name)
    try:
        wait_for_name(name)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
        proc.wait(WAIT)
    assert out == "interrupted\n", err
    assert not shm_exists(name)


def test_sigint_interrupts_a_waiting_call_function(server, name, gate):
    server()
    args, started, go = gate
    proc = run_script(INTERRUPTED_CALLER, name, *args)
    try:
        wait_until(started.exists, what="the call running")  # its caller waits for the reply
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
        proc.wait(WAIT)
        go.touch()
    assert out == "interrupted\n", err
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


# ---------------------------------------------------------------------------------------------
# Objects that only look like functions


def _value_header():
    """The 48-byte header of a real value segment (capacity and an initialised robust mutex)."""
    import secrets
    probe = f"tw-test-{os.getpid()}-hdr-{secrets.token_hex(4)}"
    tidewell.write_memory(probe, 1)
    try:
        with open(shm_path(probe), "rb") as f:
            return f.read(48)
    finally:
        tidewell.remove_memory(probe)


def _write_object(name, data):
    with open(shm_path(name), "wb") as f:
        f.write(data)


PROBE_FUNCTION_OPS = """
    import sys, tidewell
    name = sys.argv[1]
    for op in (lambda: tidewell.call_function(name, (1,)), lambda: tidewell.remove_function(name)):
        try:
            print(repr(op()), flush=True)
        except Exception as exc:
            print(type(exc).__name__, exc, flush=True)
"""


def probe_function_ops(name):
    proc = run_script(PROBE_FUNCTION_OPS, name)
    try:
        out, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
        proc.wait(WAIT)
    return out.splitlines(), err


def test_value_with_the_marker_at_the_function_offset_is_not_a_function(name):
    # A value object of exactly a function segment's size whose data holds "TW" where the
    # function marker would be: only the header tells it apart.
    header = _value_header()
    data = header[:8] + header[8:] + encode("a" * 90 + "TW" + "a" * 992)[:1120]
    data = (1120).to_bytes(8, "little") + header[8:48] + data[48:]
    data = data[:142] + b"TW" + data[144:]
    data = data.ljust(1168, b"a")
    assert len(data) == 1168 and data[48 + 94:48 + 96] == b"TW"
    _write_object(name, data)
    lines, err = probe_function_ops(name)
    assert lines == [f"MemoryError The shared memory address '{name}' does not hold a function.",
                     "False"], err
    with open(shm_path(name), "rb") as f:
        assert f.read() == data  # never locked, written or unlinked


def test_wait_on_a_foreign_lock_ends_with_an_error(server, name, shm_name):
    # A function-like object whose mutex some live process holds and never releases.
    srv = server()
    with open(shm_path(name), "rb") as f:
        record = bytearray(f.read())
    srv.stop()
    holder = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        record[0:4] = holder.pid.to_bytes(4, "little")
        record[138:142] = holder.pid.to_bytes(4, "little")
        record[56:60] = bytes(4)  # no liveness lock claimed: the pid tells that a server lives
        foreign = shm_name("foreign")
        _write_object(foreign, bytes(record))
        lines, err = probe_function_ops(foreign)  # within WAIT, or it fails
    finally:
        holder.kill()
        holder.wait(WAIT)
    assert lines == [f"MemoryError Failed to lock the shared memory address '{foreign}'."] * 2, err


# ---------------------------------------------------------------------------------------------
# Stopping: synchronous removal, removal by other means, end of the program


@pytest.mark.parametrize("server_state", ["idle", "stopped"])
def test_remove_function_returns_with_the_name_gone(server, name, server_state):
    srv = server()
    pid = srv.process.pid
    if server_state == "stopped":
        os.kill(pid, signal.SIGSTOP)
        wait_until(lambda: stopped(pid))
    try:
        assert tidewell.remove_function(name) is True
        assert not shm_exists(name)
        # The name is free at once, and the old server leaves the new object alone.
        assert tidewell.write_memory(name, 1) is True
    finally:
        os.kill(pid, signal.SIGCONT)
    assert srv.outcome() == ("returned", None)
    srv.process.join(WAIT)
    assert tidewell.read_memory(name) == 1


@pytest.mark.parametrize("remove", [tidewell.remove_memory, lambda n: os.unlink(shm_path(n))])
def test_server_stops_when_its_name_is_removed(server, name, remove):
    srv = server()
    remove(name)
    tidewell.write_memory(name, "new")
    assert srv.outcome() == ("returned", None)  # within WAIT, or it fails
    srv.process.join(WAIT)
    assert tidewell.read_memory(name) == "new"


THREAD_SERVER = SIGINT_DEFAULT + textwrap.dedent("""
    import sys, threading, time, tidewell
    threading.Thread(target=tidewell.create_function, args=(sys.argv[1], max)).start()
    print("serving", flush=True)
    if sys.argv[2] == "sleep":
        time.sleep(60)
    else:
        sys.stdin.readline()
""")


@pytest.mark.parametrize("end", ["sigint", "normal"])
def test_program_end_stops_servers_in_threads(name, end):
    proc = run_script(THREAD_SERVER, name, "sleep" if end == "sigint" else "readline")
    try:
        assert read_line(proc.stdout) == "serving"
        wait_for_name(name)
        assert tidewell.call_function(name, (1, 2)) == 2
        if end == "sigint":
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate("\n", timeout=WAIT)
    finally:
        proc.kill()
        proc.wait(WAIT)
    assert "read" in out.split()
    assert ("KeyboardInterrupt" in err) == (end == "sigint"), err
    assert not shm_exists(name)


def test_call_after_the_name_is_replaced(server, name):
    first = server()
    assert tidewell.call_function(name, ("tagged",))[0] == first.process.pid
    first.stop()
    second = server()
    assert tidewell.call_function(name, ("tagged",))[0] == second.process.pid


def test_kept_mapping_never_hides_a_removal(server, name):
    srv = server()
    assert tidewell.call_function(name, ("add", 1, 2)) == 3  # mapped and kept
    srv.stop()
    tidewell.write_memory(name, 1)
    with pytest.raises(MemoryError) as info:
        tidewell.call_function(name, ("add", 1, 2))
    assert str(info.value) == f"The shared memory address '{name}' does not hold a function."
    tidewell.remove_memory(name)
    with pytest.raises(MemoryError, match=r"^Failed to open the shared memory\.$"):
        tidewell.call_function(name, ("add", 1, 2))


def test_forked_child_calls_through_what_it_inherited(server, name):
    srv = server()
    assert tidewell.call_function(name, ("tagged",))[0] == srv.process.pid
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    child = ctx.Process(target=_tagged_calls, args=(name, "child", 20, results))
    start_process(child)
    assert results.get(timeout=WAIT) == ("child", [("child", i) for i in range(20)])
    child.join(WAIT)
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_waiting_burns_no_cpu(server, name):
    # Spinning is bounded and learnt: an idle server, and a caller waiting for a slow call, sleep.
    srv = server()
    for i in range(50):
        tidewell.call_function(name, ("add", i, 1))
    before = cpu_seconds(srv.process.pid)
    start = time.thread_time()
    assert tidewell.call_function(name, ("sleep", 0.5)) == 0.5
    assert time.thread_time() - start < 0.1
    time.sleep(0.5)
    assert cpu_seconds(srv.process.pid) - before < 0.1


# ---------------------------------------------------------------------------------------------
# Stopped processes (SIGSTOP, Ctrl-Z, a debugger): nobody waits on them for long

PENDING, RUNNING, REPLIED = 1, 2, 3


def call_state(name):
    with open(shm_path(name), "rb") as f:
        return f.read()[137]


def _call_once(name, args, results):
    results.put(("started", os.getpid()))
    try:
        results.put(("returned", tidewell.call_function(name, args)))
    except BaseException as exc:
        results.put(("raised", type(exc).__name__, str(exc)))


@pytest.fixture
def sigcont_at_end():
    """Processes the test stops, continued whatever happens."""
    pids = []
    yield pids.append
    for pid in pids:
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


def test_stopped_caller_with_an_uncollected_reply_holds_nobody_up(server, name, sigcont_at_end):
    server()
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    caller = ctx.Process(target=_call_once, args=(name, ("sleep", 0.3), results), daemon=True)
    start_process(caller)
    try:
        assert results.get(timeout=WAIT)[0] == "started"
        wait_until(lambda: call_state(name) == RUNNING)
        os.kill(caller.pid, signal.SIGSTOP)
        sigcont_at_end(caller.pid)
        wait_until(lambda: stopped(caller.pid))
        wait_until(lambda: call_state(name) == REPLIED)  # answered, and nobody collects it
        others = [CallInThread(name, ("tagged", i)) for i in range(3)]
        replies = [c.join().result for c in others]  # while the caller is still stopped
        assert stopped(caller.pid)
        assert [r[1] for r in replies] == [(i,) for i in range(3)]
        os.kill(caller.pid, signal.SIGCONT)
        # Continued, it gets an error, never another call's reply.
        assert results.get(timeout=WAIT) == (
            "raised", "RuntimeError", f"The call to the shared function '{name}' was lost.")
    finally:
        caller.kill()
        caller.join(WAIT)
    assert tidewell.call_function(name, ("add", 1, 2)) == 3


@pytest.mark.parametrize("when", ["pending", "running"])
@pytest.mark.parametrize("removal", ["remove_function", "unlink"])
def test_stopped_server_removed_fails_its_placed_call(server, name, sigcont_at_end, when, removal):
    srv = server()
    pid = srv.process.pid
    args = ("sleep", 60) if when == "running" else ("add", 1, 2)
    if when == "pending":
        os.kill(pid, signal.SIGSTOP)
        sigcont_at_end(pid)
        wait_until(lambda: stopped(pid))
    call = CallInThread(name, args)
    wait_until(lambda: call_state(name) == (RUNNING if when == "running" else PENDING))
    if when == "running":
        os.kill(pid, signal.SIGSTOP)
        sigcont_at_end(pid)
        wait_until(lambda: stopped(pid))
    if removal == "remove_function":
        assert tidewell.remove_function(name) is True
    else:
        os.unlink(shm_path(name))
    call.join()  # the server is still stopped
    assert stopped(pid)
    assert isinstance(call.error, RuntimeError)
    assert str(call.error) == f"The shared function '{name}' has stopped."
    os.kill(pid, signal.SIGCONT)
    if when == "pending":
        assert srv.outcome() == ("returned", None)
    else:
        srv.process.kill()  # still in its call


def _fork_and_linger(*args):
    child = os.fork()
    if child == 0:
        time.sleep(60)
        os._exit(0)
    return child


def test_forked_child_of_a_server_does_not_keep_it_alive(name):
    ctx = multiprocessing.get_context("fork")
    served = ctx.Process(target=tidewell.create_function, args=(name, _fork_and_linger),
                         daemon=True)
    start_process(served)
    wait_until(lambda: shm_exists(name))
    child = tidewell.call_function(name, ())
    try:
        served.kill()
        served.join(WAIT)
        # Another program's `tidewell clean` may remove the dead function first: then it is gone.
        with pytest.raises((RuntimeError, MemoryError)) as info:
            tidewell.call_function(name, ())
        if isinstance(info.value, RuntimeError):
            assert str(info.value) == (
                f"The process serving the shared function '{name}' has ended.")
        seen = tidewell.describe(name)
        assert seen is None or seen.alive is False
    finally:
        os.kill(child, signal.SIGKILL)
