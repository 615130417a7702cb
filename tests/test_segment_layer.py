"""The segment layer's seams: one recogniser for the module and the command line, names that
appear with their value or not at all, errors with their real cause, re-entry by removal."""
import errno
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import tidewell
from tidewell import _segments
from conftest import SHM_DIR, shm_exists, shm_path

TIMEOUT = 60


def tw(*args):
    return subprocess.run([sys.executable, "-m", "tidewell", *args], capture_output=True,
                          text=True, timeout=TIMEOUT)


def spawn(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def dead_pid():
    proc = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, timeout=TIMEOUT)
    return int(proc.stdout)


def remove_temporaries_of(pid):
    prefix = f".tidewell-new-{pid}-"
    for entry in os.listdir(SHM_DIR):
        if entry.startswith(prefix):
            try:
                os.unlink(os.path.join(SHM_DIR, entry))
            except FileNotFoundError:
                pass


def plain_mutex_value(value):
    """A value object as older versions made it: a process-shared mutex that is not robust."""
    data = tidewell.dumps(value)
    mutex = bytearray(40)
    mutex[16:20] = struct.pack("=i", 128)  # kind: process-shared, not robust
    return struct.pack("=Q", len(data)) + bytes(mutex) + data


class TestOneRecogniser:
    def test_forged_function_marker_is_nobody_s_function(self, name):
        # 1168 bytes, "TW" at 142 and a dead pid in the server field: not a function for the
        # module, so neither for ls nor for clean.
        data = bytearray(1168)
        data[138:142] = struct.pack("=i", dead_pid())
        data[142:144] = b"TW"
        with open(shm_path(name), "wb") as f:
            f.write(data)
        info = _segments.describe(name)
        assert info.kind == "other" and not info.stale
        with pytest.raises(MemoryError, match="does not hold a function"):
            tidewell.call_function(name, (1,))
        out = tw("clean", name)
        assert out.returncode == 0 and shm_exists(name), out.stderr
        listed = json.loads(tw("ls", "--all", "--json").stdout)
        assert [row["kind"] for row in listed if row["name"] == name] == ["other"]

    def test_plain_process_shared_mutex_value_is_a_value_everywhere(self, name):
        with open(shm_path(name), "wb") as f:
            f.write(plain_mutex_value({"a": 1}))
        assert tidewell.read_memory(name) == {"a": 1}
        info = _segments.describe(name)
        assert (info.kind, info.capacity, info.busy) == ("value", len(tidewell.dumps({"a": 1})),
                                                         False)
        out = tw("get", name)
        assert (out.returncode, out.stdout.strip()) == (0, "{'a': 1}"), out.stderr

    def test_fifo_is_never_opened(self, shm_name):
        name = shm_name("fifo")
        os.mkfifo(shm_path(name), 0o600)
        info = _segments.describe(name)
        assert info.kind == "other" and info.capacity is None
        for args in (("ls",), ("ls", "--all"), ("clean", "--dry-run"), ("get", name)):
            out = tw(*args)  # would hang on open before
            assert out.returncode in (0, 1), (args, out.stderr)
        assert tw("get", name).returncode == 1

    def test_names_no_file_can_have_describe_nothing(self, name):
        tidewell.write_memory(name, 1)
        assert _segments.describe(name).kind == "value"
        assert _segments.describe(name + "\0tail") is None  # not the name before the NUL
        assert _segments.describe(f"{name}/x") is None

    def test_held_lock_is_busy_and_not_waited_for(self, name):
        tidewell.write_memory(name, 5)
        with spawn("""
            import sys, tidewell
            def hold(value):
                print("holding", flush=True)
                sys.stdin.readline()
                return value + 1
            tidewell.update_memory(sys.argv[1], hold)
        """, name) as holder:
            try:
                assert holder.stdout.readline().strip() == "holding"
                assert _segments.describe(name).busy is True
                out = tw("ls", "--json")
                assert out.returncode == 0, out.stderr
                (row,) = [row for row in json.loads(out.stdout) if row["name"] == name]
                assert row["kind"] == "value"
            finally:
                holder.stdin.write("\n")
                holder.stdin.flush()
                holder.wait(TIMEOUT)
            assert holder.returncode == 0, holder.stderr.read()
        assert _segments.describe(name).busy is False
        assert tidewell.read_memory(name) == 6

    def test_ownership_verdict_is_the_module_s(self):
        me = os.geteuid()
        other = me + 4242
        refused = tidewell.tidewell._owner_refused
        assert not refused(me, 0, 0o666, (), ())
        assert refused(other, 4242, 0o600, (), ())
        assert not refused(other, 4242, 0o600, (other,), ())
        assert not refused(other, 4242, 0o640, (), (4242,))
        assert refused(other, 4242, 0o666, (other,), ())  # writable by every user
        assert not refused(0, 0, 0o644, (), ()) or me == 0

    def test_stale_temporary_follows_the_module_s_sweep(self, shm_name):
        pid = dead_pid()
        path = os.path.join(SHM_DIR, f".tidewell-new-{pid}-0-test{os.getpid()}")
        with open(path, "wb") as f:
            f.write(b"x" * 48)
        try:
            assert not _segments.describe(os.path.basename(path)).stale  # just changed
            old = time.time() - 60
            os.utime(path, (old, old))
            info = _segments.describe(os.path.basename(path))
            assert (info.kind, info.pid, info.alive, info.stale) == ("temporary", pid, False, True)
        finally:
            if os.path.exists(path):
                os.unlink(path)


class TestNamesAppearWithTheirValue:
    def test_writer_killed_during_its_first_write_leaves_no_empty_name(self, shm_name):
        big = "v" * (16 << 20)
        for _ in range(5):
            name = shm_name("kill")
            with spawn("""
                import sys, tidewell
                value = "v" * (16 << 20)
                print("writing", flush=True)
                tidewell.write_memory(sys.argv[1], value)
                print("done", flush=True)
            """, name) as writer:
                try:
                    assert writer.stdout.readline().strip() == "writing"
                    # Killed the moment its name appears (or once it has ended).
                    deadline = time.monotonic() + TIMEOUT
                    while not shm_exists(name) and writer.poll() is None:
                        assert time.monotonic() < deadline, "the write never published its name"
                    writer.send_signal(signal.SIGKILL)
                    writer.wait(TIMEOUT)
                finally:
                    if writer.poll() is None:
                        writer.kill()
                        writer.wait(TIMEOUT)
                    remove_temporaries_of(writer.pid)
            if shm_exists(name):
                value = tidewell.read_memory(name)
                assert value is not None and value == big, "a name without its value"

    def test_readers_and_writers_of_a_name_removed_and_written_again(self, name):
        # Two processes remove the name and write it again in a loop. Readers never get None
        # (which nobody wrote), and a write that may create the name never fails because the
        # name came and went between its open, its creation and its second open.
        code = """
            import sys, tidewell
            name = sys.argv[1]
            tidewell.write_memory(name, ("B", 0))
            print("ready", flush=True)
            for k in range(1, 6000):
                tidewell.remove_memory(name)
                tidewell.write_memory(name, ("B", k))
        """
        with spawn(code, name) as first, spawn(code, name) as second:
            rewriters = (first, second)
            nones = reads = 0
            write_errors = []
            try:
                for proc in rewriters:
                    assert proc.stdout.readline().strip() == "ready"
                while any(proc.poll() is None for proc in rewriters):
                    try:
                        value = tidewell.read_memory(name)
                        reads += 1
                        nones += value is None
                    except MemoryError as exc:
                        assert "Failed to open shared memory address" in str(exc)
                    for _ in range(4):
                        try:
                            tidewell.write_memory(name, ("A", 0))
                        except MemoryError as exc:
                            write_errors.append(repr(exc))
            finally:
                for proc in rewriters:
                    if proc.poll() is None:
                        proc.kill()
                    proc.wait(TIMEOUT)
            for proc in rewriters:
                assert proc.returncode == 0, proc.stderr.read()
            assert write_errors == [], f"{len(write_errors)} failed writes: {write_errors[0]}"
            assert nones == 0, f"{nones} of {reads} reads gave None"


FULL_TMPFS = """
    import errno, json, os, tidewell
    out = {}
    def cause(fn):
        try:
            fn()
        except MemoryError as exc:
            c = exc.__cause__
            return [str(exc), getattr(c, "errno", None)]
        return None
    big = "x" * (3 << 20)
    out["first_write"] = cause(lambda: tidewell.write_memory("first", big))
    out["first_left"] = os.path.exists("/dev/shm/first")
    out["prealloc"] = cause(lambda: tidewell.create_memory("pre", prealloc_size=3 << 20))
    out["prealloc_left"] = os.path.exists("/dev/shm/pre")
    tidewell.write_memory("grow", "small")
    out["growth"] = cause(lambda: tidewell.write_memory("grow", big))
    out["update"] = cause(lambda: tidewell.update_memory("grow", lambda v: big))
    out["kept"] = tidewell.read_memory("grow")
    fd = os.open("/dev/shm/filler", os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while True:
            os.write(fd, b"f" * 4096)
    except OSError:
        pass
    os.close(fd)
    out["create_name"] = cause(lambda: tidewell.write_memory("new", 1))
    out["create_function"] = cause(lambda: tidewell.create_function("fn", print))
    print(json.dumps(out))
"""


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None,
                    reason="needs root and unshare for a private /dev/shm")
def test_full_shm_reports_enospc_and_leaves_nothing():
    script = f"mount -t tmpfs -o size=2m tmpfs /dev/shm && exec {sys.executable} -c " \
             f"'{textwrap.dedent(FULL_TMPFS)}'"
    out = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                         capture_output=True, text=True, timeout=TIMEOUT)
    if out.returncode != 0 and "unshare" in out.stderr:
        pytest.skip(f"no private mount namespace here: {out.stderr.strip()}")
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    enospc = errno.ENOSPC
    assert seen["first_write"][1] == enospc and not seen["first_left"], seen
    assert seen["prealloc"][1] == enospc and not seen["prealloc_left"], seen
    assert seen["growth"] == ["Failed to resize shared memory.", enospc], seen
    assert seen["update"] == ["Failed to resize shared memory.", enospc], seen
    assert seen["kept"] == "small"
    assert seen["create_name"][1] == enospc, seen
    assert seen["create_function"][1] == enospc, seen


def test_remove_memory_under_its_own_lock_is_reentry(name):
    tidewell.write_memory(name, 1)

    def remove_self(value):
        tidewell.remove_memory(name)
        return value + 1

    with pytest.raises(RuntimeError, match="already in use by this thread"):
        tidewell.update_memory(name, remove_self)
    assert tidewell.read_memory(name) == 1
    other = name + "-other"
    try:
        tidewell.write_memory(other, 0)
        assert tidewell.update_memory(name, lambda v: tidewell.remove_memory(other) and v) == 1
        assert not shm_exists(other)
    finally:
        tidewell.remove_memory(other)
