import os
import secrets

import pytest

import tidewell

SHM_DIR = "/dev/shm"


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def shm_exists(name):
    return os.path.exists(shm_path(name))


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
