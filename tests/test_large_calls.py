"""Calls whose arguments or result do not fit the function's data area: they travel in a payload
object beside it. Sizes at the edge, leftovers after kills, damaged payloads, older servers,
objects kept from call to call."""
import ctypes
import fcntl
import mmap
import os
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

import tidewell
from codec_access import encode
from conftest import shm_path
from helpers import WAIT, wait_until
from test_functions import (CallInThread, bytes_arg_of_encoded_size, gate, run_script, server,
                            sigcont_at_end, stopped)

__all__ = ["gate", "server", "sigcont_at_end"]  # fixtures used here

STATE_OFFSET = 137
DATA_OFFSET = 144
PENDING, RUNNING, REPLIED = 1, 2, 3


def _written_by(pids, roles):
    prefixes = tuple(f".tidewell-new-{pid}-" for pid in pids)
    return sorted(e for e in os.listdir("/dev/shm")
                  if e.startswith(prefixes) and e.split("-")[4][:1] in roles)


def payloads(*pids):
    """Per-call payload objects written by these processes that are still in the directory."""
    return _written_by(pids, "ar")


def kept(*pids):
    """Objects these processes keep from call to call (arguments, results)."""
    return _written_by(pids, "AR")


def reference(name):
    """The payload name the function's data area refers to now."""
    with open(shm_path(name), "rb") as f:
        area = f.read()[DATA_OFFSET:]
    assert area[0] == 0xFC
    return area[9:area.index(b"\0", 9)].decode()


def call_state(name):
    with open(shm_path(name), "rb") as f:
        return f.read(STATE_OFFSET + 1)[STATE_OFFSET]


def encoded_bytes_len(size, wrap):
    return bytes_arg_of_encoded_size(size, wrap)


def test_a_long_string_argument(server, name):
    server()
    assert tidewell.call_function(name, ("echo", "x" * 2000)) == ("x" * 2000,)


@pytest.mark.parametrize("size", [1023, 1024, 1025])
def test_sizes_around_the_data_area_both_ways(server, name, size):
    srv = server()
    n = encoded_bytes_len(size, lambda b: ("echo", b))
    assert len(encode(("echo", b"x" * n))) == size
    assert tidewell.call_function(name, ("echo", b"x" * n)) == (b"x" * n,)
    k = encoded_bytes_len(size, lambda b: b)
    assert tidewell.call_function(name, ("bytes", k)) == b"x" * k
    assert tidewell.call_function(name, ("add", 1, 1)) == 2  # still serving
    assert payloads(os.getpid(), srv.process.pid) == []


@pytest.mark.parametrize("size", [64 * 1024, 3 * 1024 * 1024])
def test_large_values_of_every_kind_round_trip(server, name, size):
    srv = server()
    rows = [{"id": i, "name": f"row {i}", "score": i / 7, "tags": ("a", "b")}
            for i in range(size // 60)]
    assert tidewell.call_function(name, ("echo", rows, b"\x00" * size)) == (rows, b"\x00" * size)
    assert tidewell.call_function(name, ("bytes", size)) == b"x" * size
    assert payloads(os.getpid(), srv.process.pid) == []


# ---------------------------------------------------------------------------------------------
# Killed mid-call: nothing is left that the next call, the sweep or `tidewell clean` does not remove

LARGE_CALLER = """
    import sys, tidewell
    name, started, go = sys.argv[1:]
    print(tidewell.call_function(name, ("gated_bytes", started, go, 5000, "z" * 100000)))
"""


def test_killed_caller_leaves_nothing_after_the_next_call(server, name, gate, tmp_path):
    srv = server()
    args, started, go = gate
    caller = run_script(LARGE_CALLER, name, str(started), str(go))
    try:
        wait_until(started.exists, what="the call to run")
        caller.kill()
        caller.communicate(timeout=WAIT)
    finally:
        go.touch()
    # The server answers into its kept object; the next call writes it again.
    assert tidewell.call_function(name, ("bytes", 5000)) == b"x" * 5000
    assert payloads(caller.pid, srv.process.pid) == []
    assert len(kept(srv.process.pid)) == 1
    # The killed caller's argument object: a temporary whose creator is gone, which the sweep
    # and `tidewell clean` remove once it has been unchanged for a while.
    [leftover] = kept(caller.pid)
    os.utime(shm_path(leftover), (0, 0))
    out = subprocess.run([sys.executable, "-m", "tidewell", "clean", leftover],
                         capture_output=True, text=True, timeout=WAIT)
    assert out.returncode == 0, out.stderr
    assert kept(caller.pid) == []


def test_killed_server_leaves_no_arguments_behind(server, name):
    srv = server()
    os.kill(srv.process.pid, signal.SIGSTOP)
    call = CallInThread(name, ("echo", b"q" * 50000))
    try:
        wait_until(lambda: call_state(name) == PENDING, what="the call to be placed")
        arguments = reference(name)
        assert os.path.exists(shm_path(arguments))
    finally:
        os.kill(srv.process.pid, signal.SIGKILL)
    call.join()
    assert isinstance(call.error, RuntimeError) and "has ended" in str(call.error)
    assert payloads(os.getpid()) == []
    assert not os.path.exists(shm_path(arguments))


def test_clean_removes_a_payload_whose_writer_is_gone(tmp_path):
    # What a server killed between writing its result and posting it leaves.
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, timeout=WAIT, check=True)
    leftover = f".tidewell-new-{int(child.stdout)}-0-r1234"
    path = shm_path(leftover)
    with open(path, "wb") as f:
        f.write(b"\xfd" + b"\x00" * 2000)
    try:
        os.utime(path, (0, 0))  # long unchanged
        out = subprocess.run([sys.executable, "-m", "tidewell", "clean", leftover],
                             capture_output=True, text=True, timeout=WAIT)
        assert out.returncode == 0, out.stderr
        assert not os.path.exists(path)
    finally:
        if os.path.exists(path):
            os.unlink(path)


# ---------------------------------------------------------------------------------------------
# Damaged, truncated and foreign payloads are errors of the call

def truncate(path):
    os.truncate(path, 100)


def scramble(path):
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.write(b"\xfd" + b"\xff" * (size - 1))


def give_away(path):
    os.chown(path, 65534, 65534)


DAMAGES = [
    pytest.param(truncate, "the payload is truncated", id="truncated"),
    pytest.param(scramble, "Likely received an invalid bytes object", id="damaged"),
    pytest.param(give_away, "the payload belongs to another user", id="foreign",
                 marks=pytest.mark.skipif(os.geteuid() != 0, reason="needs another owner")),
]


@pytest.mark.parametrize("damage, text", DAMAGES)
def test_damaged_argument_payload(server, name, damage, text):
    srv = server()
    os.kill(srv.process.pid, signal.SIGSTOP)
    try:
        call = CallInThread(name, ("echo", b"a" * 20000))
        wait_until(lambda: call_state(name) == PENDING, what="the call to be placed")
        damage(shm_path(reference(name)))
    finally:
        os.kill(srv.process.pid, signal.SIGCONT)
    call.join()
    assert isinstance(call.error, RuntimeError), call.error
    assert "could not decode its arguments" in str(call.error) and text in str(call.error)
    assert tidewell.call_function(name, ("add", 2, 2)) == 4  # the server goes on
    assert tidewell.call_function(name, ("echo", b"b" * 20000)) == (b"b" * 20000,)
    assert payloads(os.getpid(), srv.process.pid) == []


RESULT_CALLER = """
    import sys, tidewell
    name, started, go = sys.argv[1:]
    try:
        tidewell.call_function(name, ("gated_bytes", started, go, 30000))
        print("returned", flush=True)
    except Exception as exc:
        print(type(exc).__name__, exc, flush=True)
"""


@pytest.mark.parametrize("damage, text", DAMAGES)
def test_damaged_result_payload(server, name, gate, damage, text):
    srv = server()
    _, started, go = gate
    caller = run_script(RESULT_CALLER, name, str(started), str(go))
    try:
        wait_until(started.exists, what="the gated call")
        os.kill(caller.pid, signal.SIGSTOP)
        wait_until(lambda: stopped(caller.pid), what="the caller to stop")
        go.touch()
        wait_until(lambda: call_state(name) == REPLIED, what="the reply")
        damage(shm_path(reference(name)))
    finally:
        go.touch()
        os.kill(caller.pid, signal.SIGCONT)
    out, err = caller.communicate(timeout=WAIT)
    assert out.startswith(("RuntimeError", "ValueError")) and text in out, (out, err)
    assert tidewell.call_function(name, ("add", 2, 2)) == 4
    assert tidewell.call_function(name, ("bytes", 30000)) == b"x" * 30000
    assert payloads(caller.pid, srv.process.pid) == []


# ---------------------------------------------------------------------------------------------
# A server of an older build answers the payload's reference with its decoder's error

libc = ctypes.CDLL(None, use_errno=True)


class FakeOldServer:
    """A function segment built and served by hand, as a server that knows no payloads serves:
    it decodes the data area and, failing, answers REFUSED with the decoder's message."""

    def __init__(self, name):
        self.path = shm_path(name)
        fd = os.open(self.path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        try:
            os.ftruncate(fd, 1168)
            self.map = mmap.mmap(fd, 1168)
        finally:
            os.close(fd)
        attr = ctypes.create_string_buffer(8)
        base = ctypes.addressof(ctypes.c_char.from_buffer(self.map))
        assert libc.pthread_mutexattr_init(attr) == 0
        assert libc.pthread_mutexattr_setpshared(attr, 1) == 0
        assert libc.pthread_mutexattr_setrobust(attr, 1) == 0
        assert libc.pthread_mutex_init(ctypes.c_void_p(base), attr) == 0
        self.map[138:142] = os.getpid().to_bytes(4, sys.byteorder)
        self.map[142:144] = b"TW"
        self.map[136] = 1
        self.seen = None
        self.thread = threading.Thread(target=self.serve_one, daemon=True)
        self.thread.start()

    def serve_one(self):
        from codec_access import decode
        wait_until(lambda: self.map[STATE_OFFSET] == PENDING, what="a call")
        self.seen = bytes(self.map[144:1168])
        try:
            decode(self.seen)
            message = b"decoded"
        except ValueError as exc:
            message = str(exc).encode()
        self.map[144:144 + len(message) + 1] = message + b"\x00"
        self.map[STATE_OFFSET] = 4  # REFUSED
        word = int.from_bytes(self.map[88:92], sys.byteorder)
        self.map[88:92] = ((word + 1) & 0xFFFFFFFF).to_bytes(4, sys.byteorder)

    def close(self):
        self.thread.join(WAIT)
        self.map.close()
        os.unlink(self.path)


def test_an_older_server_refuses_the_reference(name):
    old = FakeOldServer(name)
    try:
        with pytest.raises(RuntimeError) as info:
            tidewell.call_function(name, ("echo", b"o" * 5000))
    finally:
        old.close()
    assert old.seen[0] == 0xFC
    assert "could not decode its arguments: Likely received an invalid bytes object" in str(
        info.value)
    assert payloads(os.getpid()) == []
    # This caller's object for the function goes with remove_function, even of a missing name.
    arguments = old.seen[9:old.seen.index(b"\0", 9)].decode()
    assert os.path.exists(shm_path(arguments))
    assert tidewell.remove_function(name) is False
    assert not os.path.exists(shm_path(arguments))


# ---------------------------------------------------------------------------------------------
# Kept objects: one argument object per function in each caller, one result object per server

def test_objects_are_kept_and_grow_across_calls(server, name):
    srv = server()
    before = set(kept(os.getpid()))
    assert tidewell.call_function(name, ("echo", b"1" * 20000)) == (b"1" * 20000,)
    [arguments] = set(kept(os.getpid())) - before
    [result] = kept(srv.process.pid)
    for size in (3 << 20, 5000, 40000):
        value = os.urandom(size)
        assert tidewell.call_function(name, ("echo", value)) == (value,)
        assert set(kept(os.getpid())) - before == {arguments}
        assert kept(srv.process.pid) == [result]
    assert os.path.getsize(shm_path(arguments)) >= 3 << 20
    assert os.stat(shm_path(arguments)).st_mode & 0o777 == 0o600
    assert payloads(os.getpid(), srv.process.pid) == []
    tidewell.remove_function(name)
    srv.process.join(WAIT)
    assert not os.path.exists(shm_path(arguments))
    assert kept(srv.process.pid) == []


F_RDLCK = 0


def test_a_reader_still_holding_a_result_keeps_it_unchanged(server, name):
    # What a caller stopped while it decodes holds: the next result goes into a new object.
    srv = server()
    assert tidewell.call_function(name, ("bytes", 50000)) == b"x" * 50000
    [result] = kept(srv.process.pid)
    fd = os.open(shm_path(result), os.O_RDONLY)
    try:
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", F_RDLCK, os.SEEK_SET, 1, 1, 0))
        assert tidewell.call_function(name, ("echo", b"y" * 60000)) == (b"y" * 60000,)
        first = encode(b"x" * 50000)
        assert os.pread(fd, len(first), 0) == first
        assert not os.path.exists(shm_path(result))
    finally:
        os.close(fd)
    [new_result] = kept(srv.process.pid)
    assert new_result != result
    assert tidewell.call_function(name, ("bytes", 70000)) == b"x" * 70000
    assert kept(srv.process.pid) == [new_result]


STOPPED_CALLER = """
    import sys, tidewell
    name, started, go = sys.argv[1:]
    try:
        value = tidewell.call_function(name, ("gated_bytes", started, go, 30000))
        print("returned", value == b"x" * 30000, flush=True)
    except Exception as exc:
        print(type(exc).__name__, exc, flush=True)
"""


def test_a_stopped_caller_whose_large_reply_was_given_back_gets_lost(server, name, gate,
                                                                     sigcont_at_end):
    server()
    _, started, go = gate
    caller = run_script(STOPPED_CALLER, name, str(started), str(go))
    try:
        wait_until(started.exists, what="the gated call")
        os.kill(caller.pid, signal.SIGSTOP)
        sigcont_at_end(caller.pid)
        wait_until(lambda: stopped(caller.pid), what="the caller to stop")
        go.touch()
        wait_until(lambda: call_state(name) == REPLIED, what="the reply")
        # Given back after a while; the others' results overwrite the kept result object.
        for i in range(3):
            value = bytes([i]) * 40000
            assert tidewell.call_function(name, ("echo", value)) == (value,)
        assert stopped(caller.pid)
    finally:
        go.touch()
        os.kill(caller.pid, signal.SIGCONT)
    out, err = caller.communicate(timeout=WAIT)
    assert out.strip() == f"RuntimeError The call to the shared function '{name}' was lost.", err


FORKING_CALLER = """
    import os, sys, tidewell
    name = sys.argv[1]
    def kept():
        return sorted(e for e in os.listdir("/dev/shm")
                      if e.startswith(f".tidewell-new-{os.getpid()}-") and e.split("-")[4][0] == "A")
    assert tidewell.call_function(name, ("echo", b"p" * 30000)) == (b"p" * 30000,)
    mine = kept()
    child = os.fork()
    if child == 0:
        ok = tidewell.call_function(name, ("echo", b"c" * 30000)) == (b"c" * 30000,)
        print("child", os.getpid(), ok, len(kept()), flush=True)
        sys.exit(0)
    os.waitpid(child, 0)
    assert tidewell.call_function(name, ("echo", b"q" * 30000)) == (b"q" * 30000,)
    print("parent", kept() == mine and len(mine) == 1, flush=True)
"""


def test_a_forked_child_and_a_finished_caller_leave_no_kept_objects(server, name):
    server()
    caller = run_script(FORKING_CALLER, name)
    out, err = caller.communicate(timeout=WAIT)
    assert caller.returncode == 0, err
    child_line, parent_line = out.split("\n")[:2]
    _, child_pid, child_ok, child_kept = child_line.split()
    assert (child_ok, child_kept) == ("True", "1")  # its own object, not its parent's
    assert parent_line == "parent True"
    assert kept(caller.pid, int(child_pid)) == []  # both removed theirs when they ended
