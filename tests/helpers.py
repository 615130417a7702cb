"""What the multi-process tests share: bounded waits for a state (never for a time), handshakes
with child processes, and where a thread sleeps.

Other programs may use /dev/shm while the suite runs (another copy of it, `tidewell clean` in a
loop): a test looks only at the objects it made, and an object it left stale on purpose may be
removed by someone else at any moment.
"""
import os
import select
import signal
import subprocess
import sys
import time

from conftest import shm_exists

WAIT = 10  # hard limit for every wait on another process or thread, in seconds

# First line of a child script that tests Ctrl-C: a background job of a non-interactive shell
# starts with SIGINT ignored, and Python then keeps it ignored in every child.
SIGINT_DEFAULT = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"


def interruptible():
    """Makes SIGINT raise KeyboardInterrupt in this (forked) process, however it was started."""
    signal.signal(signal.SIGINT, signal.default_int_handler)


def wait_until(predicate, timeout=WAIT, what="the condition"):
    """Polls `predicate` until it is true; TimeoutError after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} was not reached within {timeout} s")
        time.sleep(0.005)


def wait_for_name(name, timeout=WAIT):
    """Waits until the shared object `name` exists (a server or writer elsewhere made it)."""
    wait_until(lambda: shm_exists(name), timeout, f"the object {name!r}")


def read_line(stream, timeout=WAIT):
    """The next line a child writes to a pipe, stripped; AssertionError if none comes in time."""
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, "the child did not answer in time"
    return stream.readline().strip()


def _mappings(pid, name):
    path = "/dev/shm/" + name.lstrip("/")
    found = []
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and fields[5].rstrip("\n").removesuffix(" (deleted)") == path:
                low, high = fields[0].split("-")
                found.append((int(low, 16), int(high, 16)))
    return found


def sleeps_on(name, tid, pid=None):
    """Whether thread `tid` of process `pid` (this one by default) sleeps in a system call on a
    word of its mapping of the shared object `name`: a lock, a reply or its turn. Seen from a
    thread of the same process, this also proves the sleeper does not hold the GIL."""
    pid = os.getpid() if pid is None else pid
    try:
        with open(f"/proc/{pid}/task/{tid}/syscall") as f:
            fields = f.read().split()
        # "running", or "-1 sp pc" outside a system call; else the number and its arguments.
        if len(fields) < 2 or fields[0] in ("running", "-1"):
            return False
        address = int(fields[1], 16)
        return any(low <= address < high for low, high in _mappings(pid, name))
    except (FileNotFoundError, ProcessLookupError):
        return False


def pid_of_a_process_that_ended():
    """The pid of a process that has ended and been reaped (reuse within a test is unlikely)."""
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, timeout=WAIT, check=True)
    return int(child.stdout)


def gated_call(started, go):
    """The body of a served call that the test controls: it creates the file `started`, then runs
    until the file `go` exists (at most WAIT)."""
    open(started, "w").close()
    wait_until(lambda: os.path.exists(go), what="the test's go-ahead")
    return "done"
