"""Thousands of names stay cached in one process, whatever the descriptor limit, and every name
of a large working set still sees removal, replacement and growth made elsewhere."""
import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

import tidewell
from conftest import shm_path
from test_values import TIMEOUT

MANY = 300


def run(code, *args):
    subprocess.run([sys.executable, "-c", code, *args], timeout=TIMEOUT, check=True)


def mapped_shm_names():
    """Names of the /dev/shm objects this process has mapped, each once."""
    with open("/proc/self/maps") as maps:
        return {line.split(" /dev/shm/", 1)[1].split(" ")[0].strip()
                for line in maps if " /dev/shm/" in line}


@pytest.fixture
def many(shm_name):
    names = [shm_name("m") for _ in range(MANY)]
    for i, n in enumerate(names):
        tidewell.write_memory(n, i)
    yield names
    for n in names:
        tidewell.remove_memory(n)


def test_a_cyclic_working_set_stays_mapped(many):
    for _ in range(2):
        assert [tidewell.read_memory(n) for n in many] == list(range(MANY))
        for i, n in enumerate(many):
            tidewell.write_memory(n, i)
    # Every name of the cycle is still held: none was dropped to make room for the next.
    assert set(many) <= mapped_shm_names()


# The first names of the set were opened longest ago: they keep no descriptor of their own.
@pytest.mark.parametrize("which", [0, MANY // 2, MANY - 1])
class TestEveryNameSeesChanges:
    def test_removed_elsewhere(self, many, which):
        n = many[which]
        os.unlink(shm_path(n))
        with pytest.raises(MemoryError, match="Failed to open shared memory address"):
            tidewell.read_memory(n)
        assert tidewell.read_memory(many[which - 1]) == (which - 1) % MANY

    def test_replaced_elsewhere(self, many, which):
        n = many[which]
        run("import sys, tidewell; n = sys.argv[1]; tidewell.remove_memory(n);"
            " tidewell.write_memory(n, 'new')", n)
        assert tidewell.read_memory(n) == "new"
        tidewell.write_memory(n, "mine")
        run("import sys, tidewell; assert tidewell.read_memory(sys.argv[1]) == 'mine'", n)

    def test_grown_elsewhere_and_here(self, many, which):
        n = many[which]
        run("import sys, tidewell; tidewell.write_memory(sys.argv[1], b'g' * (3 << 20))", n)
        assert tidewell.read_memory(n) == b"g" * (3 << 20)
        tidewell.write_memory(n, b"h" * (5 << 20))
        run("import sys, tidewell; assert tidewell.read_memory(sys.argv[1]) == b'h' * (5 << 20)", n)


def _child_reads_and_replaces(names, queue):
    try:
        assert [tidewell.read_memory(n) for n in names] == list(range(len(names)))
        tidewell.remove_memory(names[0])
        tidewell.write_memory(names[0], "child")
        queue.put("ok")
    except BaseException as e:  # reported to the parent
        queue.put(repr(e))


def test_fork_child_with_many_names_cached(many):
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    proc = ctx.Process(target=_child_reads_and_replaces, args=(many, queue))
    proc.start()
    assert queue.get(timeout=TIMEOUT) == "ok"
    proc.join(TIMEOUT)
    assert tidewell.read_memory(many[0]) == "child"
    assert [tidewell.read_memory(n) for n in many[1:]] == list(range(1, MANY))


# With a soft limit of 40 descriptors, hundreds of names are written and read, and the program
# can still open files of its own: the table never takes the process's last descriptors, and
# gives its idle ones back when the program has taken the rest.
LOW_LIMIT = textwrap.dedent("""
    import os, resource, sys, tidewell
    prefix = sys.argv[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (40, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    names = [f"{prefix}-{i}" for i in range(200)]
    try:
        for i, n in enumerate(names):
            tidewell.write_memory(n, i)
        files = [open(os.devnull) for _ in range(10)]
        assert [tidewell.read_memory(n) for n in names] == list(range(200))
        # The program takes every descriptor left; the table still works and gives its own back.
        while True:
            try:
                files.append(open(os.devnull))
            except OSError:
                break
        for f in files[-4:]:
            f.close()
        tidewell.write_memory(prefix + "-late", "x")
        assert tidewell.read_memory(prefix + "-late") == "x"
        assert [tidewell.read_memory(n) for n in names] == list(range(200))
        while True:
            try:
                files.append(open(os.devnull))
            except OSError:
                break
        tidewell.write_memory(names[7], "after")
        assert tidewell.read_memory(names[7]) == "after"
    finally:
        for n in names + [prefix + "-late"]:
            tidewell.remove_memory(n)
    print("ok")
""")


def test_low_descriptor_limit(shm_name):
    prefix = shm_name("low")
    out = subprocess.run([sys.executable, "-c", LOW_LIMIT, prefix], timeout=TIMEOUT,
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
    assert not [n for n in os.listdir("/dev/shm") if n.startswith(prefix)]
