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
from helpers import pid_of_a_process_that_ended as dead_pid
from helpers import wait_for_name, wait_until

TIMEOUT = 60
# A temporary changed "in an hour": young for the whole test, so no sweep or clean removes it.
YOUNG = -3600


def tw(*args):
    return subprocess.run([sys.executable, "-m", "tidewell", *args], capture_output=True,
                          text=True, timeout=TIMEOUT)


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
        wait_for_name(name)
        if kill:
            proc.send_signal(signal.SIGKILL)
            proc.wait(TIMEOUT)
        return name, proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=TIMEOUT)


def reported(result, line, name):
    """The output of a command about a stale object of the test, which another program's
    `tidewell clean` may remove at any moment: there while the command ran, it is reported."""
    assert result.returncode == 0, result.stderr
    if shm_exists(name):  # there before and after the command: there while it ran
        assert result.stdout == line
    else:
        assert result.stdout in ("", line)


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
    made, held = [], []

    def make(pid, age=10, locked=False):
        made.append(make_temporary(pid, age))
        if locked:
            held.append(hold_liveness_lock(shm_path(made[-1])))
        return made[-1]

    yield make
    for fd in held:
        os.close(fd)
    for name in made:
        Path(shm_path(name)).unlink(missing_ok=True)


@pytest.fixture
def odd_names(shm_name):
    """Names made of a unique stem and any suffix (newlines, escape sequences...), unlinked
    afterwards."""
    made = []

    def make(suffix, stem=None):
        made.append((stem or shm_name("odd")) + suffix)
        return made[-1]

    yield make
    for name in made:
        Path(shm_path(name)).unlink(missing_ok=True)


DAMAGED_TIMEDELTA = bytes.fromhex("fd36ffffff7f0000000000000000")  # days = 2**31 - 1


def damage(name, encoding):
    """Puts `encoding` into the data area of the value `name` (after its 48-byte header), as a
    faulty or hostile writer with access to the object could."""
    tidewell.write_memory(name, b"\0" * len(encoding))
    fd = os.open(shm_path(name), os.O_RDWR)
    try:
        os.pwrite(fd, encoding, 48)
    finally:
        os.close(fd)


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


class TestHostileObjects:
    """Names and values chosen by anyone who can create objects: one row per object, nothing
    reaches the terminal as a control sequence, and one bad object does not stop a command."""

    FORGED_ROW = "root-db  value  107  -  2024-01-01T00:00:00Z  -  -  root  0600"

    @pytest.mark.parametrize("suffix, escaped", [
        ("\n" + FORGED_ROW, r"'$'\n''root-db  value"),
        ("\x1b]0;owned\x07\x1b[2J", r"'$'\033'']0;owned'$'\a'''$'\033''[2J'"),
        ("\r\t\u202e", r"'$'\r'''$'\t'''$'\342\200\256'''"),
    ])
    def test_ls_escapes_names_and_json_keeps_them(self, odd_names, suffix, escaped):
        name, other = odd_names(suffix), odd_names("")
        tidewell.write_memory(name, 1)
        tidewell.write_memory(other, 2)
        out = tw("ls", name, other).stdout
        assert not any(ch in out for ch in "\x1b\x07\r\t\u202e")
        stem = name[:len(name) - len(suffix)]
        lines = out.splitlines()
        assert len(lines) == 3 and lines[0].startswith("NAME")  # a row per object
        assert lines[1].startswith(f"'{stem}{escaped}") and lines[2].startswith(f"{other} ")
        rows = json.loads(tw("ls", "--json", name, other).stdout)
        assert [r["name"] for r in rows] == [name, other]

    def test_names_in_messages_are_escaped(self, odd_names):
        name = odd_names("\x1b[2J")
        result = tw("rm", name)
        assert result.returncode == 1 and "\x1b" not in result.stderr
        assert r"\x1b[2J" in result.stderr
        stem = make_temporary(dead_pid())
        leftover = odd_names("\n\x1b[2J", stem=stem)
        os.rename(shm_path(stem), shm_path(leftover))
        dry = tw("clean", "--dry-run", leftover)
        # Stale on purpose, so another program's `tidewell clean` may have taken it first.
        if dry.stdout or shm_exists(leftover):
            assert dry.stdout.startswith(f"would remove '{stem}'$'\\n'''$'\\033''[2J' (")

    def test_a_damaged_value_is_reported_and_the_rest_goes_on(self, shm_name):
        damaged, fine = shm_name("damaged"), shm_name("fine")
        damage(damaged, DAMAGED_TIMEDELTA)
        tidewell.write_memory(fine, [1, 2])
        listing = tw("ls", "--json", damaged, fine)
        assert listing.returncode == 0, listing.stderr
        assert [r["kind"] for r in json.loads(listing.stdout)] == ["value", "value"]
        table = tw("ls", damaged, fine)
        assert table.returncode == 0 and damaged in table.stdout and fine in table.stdout
        got = tw("get", damaged)
        assert got.returncode == 1 and "Traceback" not in got.stderr
        assert f"{damaged!r} holds a damaged value" in got.stderr
        assert tw("get", fine).stdout == "[1, 2]\n"
        assert tw("rm", damaged, fine).returncode == 0
        assert not shm_exists(damaged) and not shm_exists(fine)

    def test_ls_does_not_wait_for_a_held_value(self, name):
        tidewell.write_memory(name, "x" * 1000)
        code = f"""
            import sys, tidewell
            def hold(value):
                print("holding", flush=True)
                sys.stdin.readline()  # until the test lets go (or ends: end of file)
                return value
            tidewell.update_memory({name!r}, hold)
        """
        holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline() == "holding\n"
            listing = tw("ls", "--json", name)  # bounded by TIMEOUT: it used to wait for the lock
            [row] = json.loads(listing.stdout)
            assert row["kind"] == "value" and row["busy"] is not False
        finally:
            holder.communicate("go\n", timeout=TIMEOUT)
        assert holder.returncode == 0

    def test_a_torn_value_is_told_from_an_empty_one(self, shm_name):
        torn, empty = shm_name(), shm_name()
        tidewell.write_memory(torn, "x" * 1000)
        tidewell.create_memory(empty, prealloc_size=1000)
        # What an older writer killed in its copy leaves: the marker says "being written".
        with open(shm_path(torn), "r+b") as f:
            f.seek(48)
            f.write(b"\xff")
        rows = {r["name"]: r for r in json.loads(tw("ls", "--json", torn, empty).stdout)}
        assert (rows[torn]["torn"], rows[empty]["torn"]) == (True, False)
        lines = tw("ls", torn, empty).stdout.splitlines()
        assert [line.endswith(" torn") for line in lines[1:]] == [True, False]


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
        assert call.returncode == 1
        assert "has ended" in call.stderr or not shm_exists(name), call.stderr
        dry = tw("clean", "--dry-run", name)
        reported(dry, f"would remove {name} (function, pid {proc.pid} has ended)\n", name)
        reported(tw("clean", name), f"removed {name} (function, pid {proc.pid} has ended)\n", name)
        assert not shm_exists(name)


class TestListAndClean:
    def test_ls_of_names(self, name, shm_name):
        missing = shm_name("missing")
        tidewell.write_memory(name, "x")
        result = tw("ls", "--json", missing, name)
        assert result.returncode == 1 and f"no shared object named {missing!r}" in result.stderr
        assert [r["name"] for r in json.loads(result.stdout)] == [name]

    def test_ls_shows_kinds_sizes_and_servers(self, name, shm_name, served, temporaries):
        tidewell.write_memory(name, "x" * 100)
        foreign = shm_name("other")
        Path(shm_path(foreign)).write_bytes(b"\1" * 1168)
        live, proc = served()
        dead, dead_proc = served(kill=True)
        temporary = temporaries(dead_pid(), age=YOUNG)
        rows = {r["name"]: r for r in json.loads(tw("ls", "--all", "--json").stdout)}
        assert rows[name]["kind"] == "value"
        assert rows[name]["capacity"] >= len(tidewell.dumps("x" * 100))
        assert rows[name]["size"] == os.path.getsize(shm_path(name))
        assert (rows[live]["kind"], rows[live]["pid"], rows[live]["alive"]) == ("function", proc.pid, True)
        if dead in rows or shm_exists(dead):  # else another program's clean took it first
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
        assert rows[theirs]["refused"] is False

    def test_ls_lists_a_mappings_keys(self, name):
        m = tidewell.Mapping(name)
        try:
            m.update({"a/b": "x" * 10, "ü": 1})
            tidewell.Mapping(name + ":more")["other"] = 1
            rows = json.loads(tw("ls", "--mapping", name, "--json").stdout)
            assert {r["name"]: r["kind"] for r in rows} == {"a/b": "value", "ü": "value"}
            by_key = {r["name"]: r for r in rows}
            assert by_key["a/b"]["capacity"] >= len(tidewell.dumps("x" * 10))
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
        # A live creator holds its object's lock: a pid alone means nothing to a cleaner in
        # another pid namespace (a container sharing /dev/shm), which may take the object.
        kept = [name, live, temporaries(gone, age=YOUNG), temporaries(os.getpid(), locked=True)]
        result = tw("clean", *stale, *kept)
        assert result.returncode == 0, result.stderr
        # Stale objects are fair game for every cleaner on the host: each line names one of
        # them, and none is left; nothing else is touched.
        removed = [line.split()[1] for line in result.stdout.splitlines()]
        assert set(removed) <= set(stale) and len(removed) == len(set(removed)), result.stdout
        assert [shm_exists(n) for n in stale + kept] == [False] * 3 + [True] * 4


def _unshare_works():
    try:
        return subprocess.run(["unshare", "--pid", "--fork", "--kill-child", "true"],
                              capture_output=True, timeout=TIMEOUT).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def hold_liveness_lock(path):
    """What a creating or serving process holds: an open-file-description write lock on byte 0
    of the object. Returns the descriptor; closing it releases the lock."""
    import fcntl
    import struct
    fd = os.open(path, os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hh4xqqi4x", fcntl.F_WRLCK, 0, 0, 1, 0))
    return fd


@pytest.mark.skipif(os.geteuid() != 0 or not _unshare_works(),
                    reason="needs root and unshare --pid")
class TestOtherPidNamespace:
    """A server in another pid namespace (a container sharing /dev/shm) records a pid that means
    nothing here: it is alive for as long as it holds its lock, whatever that pid says here."""

    def test_server_is_alive_served_and_kept_until_it_ends(self, shm_name):
        name = shm_name("ns")
        code = f"""
            import os, time, tidewell
            print(os.getpid(), flush=True)
            tidewell.create_function({name!r}, lambda x: (time.sleep(0.3), x * 2)[1])
        """
        proc = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", sys.executable,
                                 "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
        try:
            assert proc.stdout.readline() == "1\n"  # its pid there
            wait_until(lambda: shm_exists(name))
            row = {r["name"]: r for r in json.loads(tw("ls", "--json").stdout)}[name]
            assert (row["pid"], row["alive"]) == (1, True)
            assert tw("clean", name).stdout == "" and shm_exists(name)
            assert tidewell.call_function(name, (21,)) == 42
        finally:
            proc.kill()
            proc.communicate(timeout=TIMEOUT)
        wait_until(lambda: tidewell.describe(name).alive is False)
        with pytest.raises(RuntimeError, match="has ended"):
            tidewell.call_function(name, (1,))
        # Another program's `tidewell clean` may have taken it first.
        assert tw("clean", name).stdout in (f"removed {name} (function, pid 1 has ended)\n", "")
        assert not shm_exists(name)

    def test_temporary_is_kept_while_its_creator_holds_the_lock(self):
        # In a /dev/shm of its own (older builds elsewhere on the host would sweep it): named
        # with a pid that is not alive here and unchanged for longer than any rule allows.
        code = f"""
            import os, subprocess, sys, time, tidewell
            from test_cli import hold_liveness_lock
            path = "/dev/shm/.tidewell-new-{dead_pid()}-0-held"
            open(path, "wb").write(bytes(64))
            held = hold_liveness_lock(path)
            then = time.time() - 700
            os.utime(path, (then, then))
            def seen():
                info = tidewell.describe(os.path.basename(path))
                clean = subprocess.run([sys.executable, "-m", "tidewell", "clean", "--dry-run"],
                                       capture_output=True, text=True).stdout
                return [info.alive, info.stale, clean.startswith("would remove .tidewell-new-")]
            print(seen())
            # The module's own sweep, at a process's first creation, keeps it too.
            subprocess.run([sys.executable, "-c", "import tidewell; tidewell.create_memory('p')"])
            print(os.path.exists(path))
            os.close(held)
            print(seen())
        """
        mounted = ("mount -t tmpfs -o size=1m tmpfs /dev/shm && exec " + sys.executable
                   + ' -c "$0"')
        result = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--kill-child", "sh",
                                 "-c", mounted, textwrap.dedent(code)], capture_output=True,
                                text=True, timeout=TIMEOUT, cwd=os.path.dirname(__file__))
        assert result.stdout.splitlines() == [
            "[True, False, False]", "True", "[False, True, True]"], result.stderr


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("tidewell")
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=TIMEOUT)
    assert (result.returncode, result.stdout) == (0, f"tidewell {tidewell.__version__}\n")
