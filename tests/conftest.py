import gc
import os
import secrets

import pytest

import tidewell
from tidewell._segments import remove_watch_table_when_stale

SHM_DIR = "/dev/shm"


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def shm_exists(name):
    return os.path.exists(shm_path(name))


@pytest.fixture(scope="session", autouse=True)
def no_watch_table_left():
    """The first watcher of a user creates the user's watch table, which outlives its watchers
    (as it should): the one the tests made goes with them once `tidewell clean` would take it
    (no watcher holds it and it is 5 s old), waited for a few seconds at most."""
    existed = shm_exists(tidewell.tidewell._watch_table_name())
    yield
    gc.collect()  # watches this process dropped without closing give their leases back
    if not existed:
        remove_watch_table_when_stale(within=8)


@pytest.fixture
def shm_name(request):
    """Makes unique segment names (pid plus random suffix) and unlinks them after the test."""
    made = []

    def make(tag="v"):
        name = f"tw-test-{os.getpid()}-{tag}-{secrets.token_hex(4)}"
        made.append(name)
        return name

    yield make
    for name in made:
        try:
            os.unlink(shm_path(name))
        except FileNotFoundError:
            pass


@pytest.fixture
def name(shm_name):
    return shm_name()
