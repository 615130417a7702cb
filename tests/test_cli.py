"""The `tidewell` command line, run as a real subprocess against real shared objects."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import tidewell
from tidewell import cli
from conftest import shm_exists, shm_path

TIMEOUT = 60


def tw(*args):
    return subprocess.run([sys.executable, "-m", "tidewell", *args], capture_output=True,
                          text=True, timeout=TIMEOUT)


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def dead_pid():
    proc = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, timeout=TIMEOUT)
    return int(proc.stdout)


@pytest.fixture
def served(shm_name):
    """Starts a server process for a fresh name; `kill=True` leaves a dead server behind."""
    procs = []

    def start(kill=False):
        name = shm_name("fn")
        code = f"""
            import tidewell
            tidewell.create_function({name!r}, lambda *a: {{"sum": sum(a), "n": len(a)}})
        """
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        wait_until(lambda: shm_exists(name))
        if kill:
            proc.send_signal(signal.SIGKILL)
            proc.wait(TIMEOUT)
        return name, proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=TIMEOUT)


def make_temporary(pid, age=10):
    """A temporary object of `pid`, last changed `age` seconds ago."""
    name = f".tidewell-new-{pid}-0-{os.urandom(4).hex()}"
    path = shm_path(name)
    Path(path).write_bytes(b"\0" * 64)
    then = time.time() - age
    os.utime(path, (then, then))
    return name


@pytest.fixture
def temporaries():
    """Makes temporaries (after the test's own creations, which sweep stale ones) and removes
    what is left of them."""
    made = []

    def make(pid, age=10):
        made.append(make_temporary(pid, age))
        return made[-1]

    yield make
    for name in made:
        Path(shm_path(name)).unlink(missing_ok=True)


class TestValues:
    def test_set_get_rm(self, name):
        assert tw("set", name, "{'port': 80, 'hosts': ('a', 'b'), 'raw': b'\\x00'}").returncode == 0
        assert tidewell.read_memory(name) == {"port": 80, "hosts": ("a", "b"), "raw": b"\0"}
        got = tw("get", name)
        assert (got.returncode, got.stdout) == (0, "{'port': 80, 'hosts': ('a', 'b'), 'raw': b'\\x00'}\n")
        assert tw("set", name, "--json", '{"a": [1, null]}').returncode == 0
        got = tw("get", name, "--json")
        assert (got.returncode, json.loads(got.stdout)) == (0, {"a": [1, None]})
        assert tw("rm", name).returncode == 0
        assert not shm_exists(name)

    @pytest.mark.parametrize("args, code, text", [
        (["get", "{name}"], 1, "no shared object named"),
        (["rm", "{name}"], 1, "no shared object named"),
        (["set", "{name}", "hello"], 2, "not a Python literal"),
        (["set", "{name}", "{{1:", "--json"], 2, "not JSON"),
        (["set", "{name}", "object()"], 2, "not a Python literal"),
        (["call", "{name}", "1"], 1, "no shared object named"),
        (["frobnicate"], 2, "invalid choice"),
        (["get"], 2, "required"),
    ])
    def test_errors_and_exit_codes(self, name, args, code, text):
        result = tw(*[a.format(name=name) for a in args])
        assert result.returncode == code
        assert text in result.stderr
        assert not shm_exists(name)

    def test_value_that_is_not_json(self, name):
        tidewell.write_memory(name, {1, 2})
        result = tw("get", name, "--json")
        assert result.returncode == 1 and "cannot be shown as JSON" in result.stderr

    def test_foreign_objects_are_refused(self, name):
        Path(shm_path(name)).write_bytes(b"not ours" * 20)
        for args in (["get", name], ["set", name, "1"], ["rm", name]):
            result = tw(*args)
            assert result.returncode == 1 and "not a tidewell object" in result.stderr
        assert Path(shm_path(name)).read_bytes() == b"not ours" * 20

    @pytest.mark.parametrize("command", ["ls", "get", "set", "rm", "call", "clean"])
    def test_help(self, command, capsys):
        with pytest.raises(SystemExit) as done:
            cli.main([command, "--help"])
        assert done.value.code == 0
        assert capsys.readouterr().out.startswith(f"usage: tidewell {command}")


class TestFunctions:
    def test_call_and_stop(self, served):
        name, proc = served()
        result = tw("call", name, "1", "2.5", "--json")
        assert (result.returncode, json.loads(result.stdout)) == (0, {"sum": 3.5, "n": 2})
        assert tw("rm", name).returncode == 0
        out, _ = proc.communicate(timeout=TIMEOUT)
        assert (proc.returncode, out) == (0, "read\n")

    def test_dead_server_is_reported_and_cleaned(self, served):
        name, proc = served(kill=True)
        call = tw("call", name)
        assert call.returncode == 1 and "has ended" in call.stderr
        dry = tw("clean", "--dry-run", name)
        assert dry.stdout == f"would remove {name} (function, pid {proc.pid} has ended)\n"
        assert shm_exists(name)
        assert tw("clean", name).stdout == f"removed {name} (function, pid {proc.pid} has ended)\n"
        assert not shm_exists(name)


class TestListAndClean:
    def test_ls_shows_kinds_sizes_and_servers(self, name, shm_name, served, temporaries):
        tidewell.write_memory(name, "x" * 100)
        foreign = shm_name("other")
        Path(shm_path(foreign)).write_bytes(b"\1" * 1168)
        live, proc = served()
        dead, dead_proc = served(kill=True)
        temporary = temporaries(dead_pid())
        rows = {r["name"]: r for r in json.loads(tw("ls", "--all", "--json").stdout)}
        assert rows[name]["kind"] == "value"
        assert rows[name]["value_size"] == len(tidewell.dumps("x" * 100))
        assert rows[name]["size"] == os.path.getsize(shm_path(name))
        assert (rows[live]["kind"], rows[live]["pid"], rows[live]["alive"]) == ("function", proc.pid, True)
        assert (rows[dead]["pid"], rows[dead]["alive"]) == (dead_proc.pid, False)
        assert (rows[temporary]["kind"], rows[temporary]["alive"]) == ("temporary", False)
        assert rows[foreign]["kind"] == "other"
        plain = tw("ls")
        assert plain.returncode == 0 and foreign not in plain.stdout
        assert any(line.split()[:2] == [live, "function"] for line in plain.stdout.splitlines())

    @pytest.mark.skipif(os.geteuid() != 0, reason="giving an object to another user needs root")
    def test_ls_shows_owner_and_mode_and_marks_refused_objects(self, shm_name):
        mine, theirs = shm_name("mine"), shm_name("theirs")
        tidewell.write_memory(mine, 1, mode=0o640)
        tidewell.write_memory(theirs, 2)
        os.chown(shm_path(theirs), 65534, 4242)
        rows = {r["name"]: r for r in json.loads(tw("ls", "--json").stdout)}
        seen = [(rows[n]["owner"], rows[n]["mode"], rows[n]["refused"]) for n in (mine, theirs)]
        assert seen == [(0, 0o640, False), (65534, 0o600, True)]
        lines = {line.split()[0]: line.split() for line in tw("ls").stdout.splitlines()}
        assert lines[mine][-1] == "0640" and lines[theirs][-2:] == ["0600", "refused"]
        rows = {r["name"]: r for r in json.loads(tw("--trust-gid", "4242", "ls", "--json").stdout)}
        assert rows[theirs]["refused"] is False and rows[theirs]["value_size"] is not None

    def test_ls_lists_a_mappings_keys(self, name):
        m = tidewell.Mapping(name)
        try:
            m.update({"a/b": "x" * 10, "ü": 1})
            tidewell.Mapping(name + ":more")["other"] = 1
            rows = json.loads(tw("ls", "--mapping", name, "--json").stdout)
            assert {r["name"]: r["value_size"] for r in rows} == {
                "a/b": len(tidewell.dumps("x" * 10)), "ü": len(tidewell.dumps(1))}
            assert "a/b" in tw("ls", "--mapping", name).stdout
        finally:
            m.clear()
            tidewell.Mapping(name + ":more").clear()

    def test_clean_removes_only_leftovers(self, name, served, temporaries):
        tidewell.write_memory(name, 1)
        live, _ = served()
        dead, _ = served(kill=True)
        gone = dead_pid()
        stale = [dead, temporaries(gone), temporaries(os.getpid(), age=700)]
        kept = [name, live, temporaries(gone, age=0), temporaries(os.getpid())]
        result = tw("clean", *stale, *kept)
        assert result.returncode == 0
        assert sorted(line.split()[1] for line in result.stdout.splitlines()) == sorted(stale)
        assert [shm_exists(n) for n in stale + kept] == [False] * 3 + [True] * 4


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("tidewell")
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=TIMEOUT)
    assert (result.returncode, result.stdout) == (0, f"tidewell {tidewell.__version__}\n")
