"""Objects of other users: refused unless trusted; modes of new objects; the trust opt-in."""
import os
import select
import signal
import stat
import sys
import threading

import pytest

import tidewell
from conftest import shm_exists, shm_path
from helpers import WAIT, wait_for_name
NOBODY = 65534
TEAM = 4242  # a group only the tests use; it need not exist in /etc/group

needs_root = pytest.mark.skipif(
    os.geteuid() != 0, reason="planting objects as another user needs root (os.setuid)")


@pytest.fixture(autouse=True)
def trust_nobody_else():
    tidewell.trust()
    yield
    tidewell.trust()


def owned_by_other(name, uid=NOBODY):
    return f"The shared memory address '{name}' is owned by user {uid}, not by this user."


def world_writable(name, uid=NOBODY):
    return (f"The shared memory address '{name}' is owned by user {uid} and writable by every "
            f"user (mode 0o666).")


def fork_as(action, uid=NOBODY, gid=NOBODY, groups=()):
    """Runs action() in a forked child switched to another user. Returns (pid, pipe): the child
    writes b"ok" or the repr of its exception to the pipe once action() returns or raises."""
    read_end, write_end = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read_end)
            os.setgroups(list(groups))
            os.setgid(gid)
            os.setuid(uid)
            action()
            os.write(write_end, b"ok")
            code = 0
        except BaseException as exc:
            os.write(write_end, repr(exc).encode()[:2000])
        finally:
            os._exit(code)
    os.close(write_end)
    return pid, read_end


def run_as(action, **user):
    """Runs action() as another user to its end; returns what it reported."""
    pid, pipe = fork_as(action, **user)
    try:
        ready, _, _ = select.select([pipe], [], [], WAIT)
        assert ready, "the child did not finish in time"
        return os.read(pipe, 4096).decode()
    finally:
        os.close(pipe)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


@pytest.fixture
def serve_as():
    """Serves a function as another user in a forked child, until the test ends."""
    children = []

    def start(name, mode=0o600, gids=(), **user):
        def serve():
            tidewell.trust(gids=gids)
            tidewell.create_function(name, lambda *args: args, mode=mode)

        pid, pipe = fork_as(serve, **user)
        children.append((pid, pipe))
        wait_for_name(name)
        return pid

    yield start
    for pid, pipe in children:
        os.close(pipe)
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass  # the test has stopped and reaped it


def alive(pid):
    return os.waitpid(pid, os.WNOHANG) == (0, 0)


def plant(kind, name, serve_as, mode):
    """An object of `kind` made by user nobody under `name`; the server's pid for a function."""
    if kind == "function":
        return serve_as(name, mode=mode)
    assert run_as(lambda: tidewell.write_memory(name, {"k": 1}, mode=mode)) == "ok"
    return None


# Every operation that opens or creates, and how it answers an object it refuses.
OPERATIONS = {
    "read_memory": lambda n: tidewell.read_memory(n),
    "write_memory": lambda n: tidewell.write_memory(n, {"password": "hunter2"}),
    "write_memory create=False": lambda n: tidewell.write_memory(n, "hunter2", create=False),
    "create_memory": lambda n: tidewell.create_memory(n),
    "create_memory error_if_exists": lambda n: tidewell.create_memory(n, error_if_exists=True),
    "create_function": lambda n: tidewell.create_function(n, print),
    "call_function": lambda n: tidewell.call_function(n, ("hunter2",)),
}


@needs_root
@pytest.mark.parametrize("kind", ["value", "function"])
@pytest.mark.parametrize("trusted", [False, True], ids=["untrusted", "trusted-world-writable"])
def test_planted_objects_are_refused_by_every_operation(name, serve_as, kind, trusted):
    server = plant(kind, name, serve_as, mode=0o666)
    if trusted:
        # Trusting the owner does not cover an object every user can write.
        tidewell.trust(uids=[NOBODY], gids=[NOBODY])
    message = world_writable(name) if trusted else owned_by_other(name)
    for label, operation in OPERATIONS.items():
        with pytest.raises(MemoryError) as info:
            operation(name)
        assert str(info.value) == message, label
    assert tidewell.remove_function(name) is False
    with open(shm_path(name), "rb") as f:
        assert b"hunter2" not in f.read()
    if server is not None:
        assert alive(server)
    # Root clears a planted name (the kernel decides who may unlink).
    assert tidewell.remove_memory(name) is True


@needs_root
@pytest.mark.parametrize("how", ["uid", "gid"])
def test_trusted_users_and_groups_are_opened(name, serve_as, how):
    trust = {"uids": [NOBODY]} if how == "uid" else {"gids": [NOBODY]}
    plant("value", name, serve_as, mode=0o600)
    function = name + "-f"
    try:
        server = serve_as(function, mode=0o600)
        tidewell.trust(**trust)
        assert tidewell.read_memory(name) == {"k": 1}
        assert tidewell.write_memory(name, [1, 2]) is True
        assert tidewell.read_memory(name) == [1, 2]
        assert tidewell.create_memory(name) is False
        assert tidewell.call_function(function, (1, 2)) == (1, 2)
        assert tidewell.remove_function(function) is True
        _, status = os.waitpid(server, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        if shm_exists(function):
            os.unlink(shm_path(function))


@needs_root
def test_a_team_shares_through_a_group(shm_name, serve_as):
    """Members of one group trust it, create with mode 0o660 and use each other's objects."""
    value, function = shm_name("value"), shm_name("function")
    member = {"uid": NOBODY, "gid": NOBODY, "groups": [TEAM]}

    def write_as_member():
        tidewell.trust(gids=[TEAM])
        tidewell.write_memory(value, "shared", mode=0o660)

    assert run_as(write_as_member, **member) == "ok"
    serve_as(function, mode=0o660, gids=[TEAM], **member)
    for name in (value, function):
        st = os.stat(shm_path(name))
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, TEAM, 0o660)

    with pytest.raises(MemoryError, match="not by this user"):
        tidewell.read_memory(value)
    tidewell.trust(gids=[TEAM + 1])
    with pytest.raises(MemoryError, match="not by this user"):
        tidewell.call_function(function, (1,))
    tidewell.trust(gids=[TEAM + 1, TEAM])
    assert tidewell.read_memory(value) == "shared"
    assert tidewell.call_function(function, (1,)) == (1,)

    # And the other way: the member opens an object root made for the group.
    tidewell.trust(gids=[TEAM])
    mine = shm_name("root")
    tidewell.write_memory(mine, "from root", mode=0o660)
    assert os.stat(shm_path(mine)).st_gid == TEAM

    def read_as_member():
        tidewell.trust(gids=[TEAM])
        assert tidewell.read_memory(mine) == "from root"
        tidewell.write_memory(mine, "from member")

    assert run_as(read_as_member, **member) == "ok"
    assert tidewell.read_memory(mine) == "from member"


@needs_root
def test_a_process_that_left_root_judges_as_its_new_user(name):
    """Objects of its new user are its own; root's world-writable ones are not."""
    tidewell.write_memory(name, "root's", mode=0o666)
    mine = name + "-mine"

    def as_nobody():
        try:
            with pytest.raises(MemoryError) as info:
                tidewell.read_memory(name)
            assert str(info.value) == world_writable(name, uid=0)
            tidewell.write_memory(mine, 1)
            assert tidewell.read_memory(mine) == 1
        finally:
            tidewell.remove_memory(mine)

    assert run_as(as_nobody) == "ok"


@needs_root
def test_an_object_the_kernel_keeps_from_this_user_names_its_owner(shm_name):
    """Without root's override the kernel refuses first; the message still says whose it is."""
    others, roots = shm_name("other"), shm_name("root")
    for name in (others, roots):
        tidewell.write_memory(name, 1)
    os.chown(shm_path(others), 1234, 1234)

    def read_both_as_nobody():
        for name, operation, message in [
            (others, "read_memory", owned_by_other(others, uid=1234)),
            (others, "call_function", owned_by_other(others, uid=1234)),
            # Root is trusted: only the kernel's refusal, as before.
            (roots, "read_memory", f"Failed to open shared memory address '{roots}'."),
            (roots, "call_function", "Failed to open the shared memory."),
        ]:
            with pytest.raises(MemoryError) as info:
                OPERATIONS[operation](name)
            assert str(info.value) == message, operation

    assert run_as(read_both_as_nobody) == "ok"


@needs_root
def test_a_planted_link_is_refused_at_creation(name):
    target = shm_path(name + "-target")
    tidewell.write_memory(name + "-target", 1)
    try:
        assert run_as(lambda: os.symlink(target, shm_path(name))) == "ok"
        for create in (tidewell.create_memory, lambda n: tidewell.create_function(n, print)):
            with pytest.raises(MemoryError) as info:
                create(name)
            assert str(info.value) == owned_by_other(name)
    finally:
        os.unlink(target)


@needs_root
def test_an_object_given_away_while_open_is_refused(shm_name):
    """The check is made on every use, not only on the first open of a name."""
    value, function = shm_name("value"), shm_name("function")
    tidewell.write_memory(value, 1)
    server = threading.Thread(target=tidewell.create_function, args=(function, lambda x: x),
                              daemon=True)
    server.start()
    try:
        wait_for_name(function)
        assert tidewell.read_memory(value) == 1
        assert tidewell.call_function(function, (2,)) == 2
        for name in (value, function):
            os.chown(shm_path(name), NOBODY, NOBODY)
        with pytest.raises(MemoryError) as info:
            tidewell.read_memory(value)
        assert str(info.value) == owned_by_other(value)
        with pytest.raises(MemoryError) as info:
            tidewell.call_function(function, (2,))
        assert str(info.value) == owned_by_other(function)
    finally:
        os.chown(shm_path(function), 0, 0)
        tidewell.remove_function(function)
        server.join(WAIT)
    assert not server.is_alive()


# ---------------------------------------------------------------------------------------------
# This user's own objects, and the modes of new ones


@pytest.fixture
def umask():
    def set_umask(mask):
        previous.append(os.umask(mask))

    previous = []
    yield set_umask
    for mask in reversed(previous):
        os.umask(mask)


def mode_of(name):
    return stat.S_IMODE(os.stat(shm_path(name)).st_mode)


CREATORS = {
    "create_memory": lambda n, **kw: tidewell.create_memory(n, **kw),
    "write_memory": lambda n, **kw: tidewell.write_memory(n, 1, **kw),
}


@pytest.mark.parametrize("creator", CREATORS)
@pytest.mark.parametrize("mask, mode, expected", [
    (0, None, 0o600),  # owner only by default, whatever the umask
    (0o077, 0o660, 0o660),  # the mode asked for, whatever the umask
    (0, 0o644, 0o644),
])
def test_new_objects_get_the_mode_asked_for(name, umask, creator, mask, mode, expected):
    umask(mask)
    CREATORS[creator](name, **({} if mode is None else {"mode": mode}))
    assert mode_of(name) == expected


@pytest.mark.parametrize("mode", [None, 0o640])
def test_new_functions_get_the_mode_asked_for(name, umask, mode):
    umask(0)
    kwargs = {} if mode is None else {"mode": mode}
    thread = threading.Thread(target=tidewell.create_function, args=(name, print), kwargs=kwargs,
                              daemon=True)
    thread.start()
    try:
        wait_for_name(name)
        assert mode_of(name) == kwargs.get("mode", 0o600)
    finally:
        tidewell.remove_function(name)
        thread.join(WAIT)
    assert not thread.is_alive()


@pytest.mark.parametrize("mode", [0o600, 0o666, 0o777])
def test_own_objects_work_whatever_their_mode(name, mode):
    tidewell.write_memory(name, 1)
    os.chmod(shm_path(name), mode)
    assert tidewell.read_memory(name) == 1
    assert tidewell.write_memory(name, 2) is True
    assert tidewell.create_memory(name) is False
    assert tidewell.read_memory(name) == 2


MESSAGES = tidewell.tidewell._messages
MSG_MODE = MESSAGES["mode"]
MSG_CREATE = MESSAGES["create_memory"]
MSG_TRUST = MESSAGES["trust"]


@pytest.mark.parametrize("call, message", [
    (lambda n: tidewell.create_memory(n, mode=0o1666), MSG_MODE),
    (lambda n: tidewell.create_memory(n, mode=0o400), MSG_MODE),
    (lambda n: tidewell.write_memory(n, 1, mode=-1), MSG_MODE),
    (lambda n: tidewell.create_function(n, print, mode=1 << 70), MSG_MODE),
    (lambda n: tidewell.create_memory(n, mode="0o600"), MSG_CREATE),
    (lambda n: tidewell.create_memory(n, 0, False, 0o600), MSG_CREATE),
    (lambda n: tidewell.write_memory(n, 1, True, 0o600), MESSAGES["write_memory"]),
    (lambda n: tidewell.create_function(n, print, 0o600), MESSAGES["create_function"]),
    (lambda n: tidewell.trust([0]), MSG_TRUST),
    (lambda n: tidewell.trust(uids=0), MSG_TRUST),
    (lambda n: tidewell.trust(uids=["0"]), MSG_TRUST),
    (lambda n: tidewell.trust(gids=[-1]), MSG_TRUST),
    (lambda n: tidewell.trust(gids=[2**32 - 1]), MSG_TRUST),
    (lambda n: tidewell.trust(uids=range(65)), "At most 64 users and 64 groups can be trusted."),
])
def test_argument_errors(name, call, message):
    with pytest.raises(ValueError) as info:
        call(name)
    assert str(info.value) == message
    assert not shm_exists(name)
