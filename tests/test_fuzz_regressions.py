"""Inputs found by the fuzz harness (fuzz/): each once crashed the process."""
import subprocess
import sys
import textwrap

import pytest

import tidewell

from conftest import shm_path

# A damaged capacity field near 2**64 wraps `capacity + 48` in the segment's mapping step, so the
# decoder is handed a data area far longer than the mapping (found by the `segment` target).
DAMAGED_CAPACITY = textwrap.dedent("""
    import os, sys, tidewell
    name, path, capacity = sys.argv[1], sys.argv[2], int(sys.argv[3])
    tidewell.write_memory(name, "x" * 100_000)
    with open(path, "r+b") as segment:
        segment.write(capacity.to_bytes(8, "little"))
        segment.truncate(4096)
    try:
        tidewell.read_memory(name)
    except MemoryError:
        print("refused")
""")


@pytest.mark.parametrize("capacity", [2**64 - 1, 2**64 - 16, 2**64 - 48])
def test_read_of_segment_with_wrapping_capacity(name, capacity):
    result = subprocess.run([sys.executable, "-c", DAMAGED_CAPACITY, name, shm_path(name),
                             str(capacity)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "refused", result.stderr[-500:]


def test_refused_item_search_grows_its_buffer():
    # Naming the refused type encodes the items again on their own; an item that outgrows the
    # first buffer of that search crashed the process.
    with pytest.raises(ValueError, match="^Received an unsupported datatype.$") as err:
        tidewell.dumps([b"x" * 100, {"k": "v" * 200}, object()])
    assert "'object'" in str(err.value.__cause__)
