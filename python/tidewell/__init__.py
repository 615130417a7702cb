"""A module for managing shared memory with Python."""

# The functions live in the native extension tidewell.tidewell (its file exports PyInit_tidewell
# and the codec's C entry points for native peers); this package re-exports them unchanged.

from ._store import connect
from .tidewell import (
    call_function,
    create_function,
    create_memory,
    dumps,
    loads,
    read_memory,
    remove_function,
    remove_memory,
    write_memory,
)
from .tidewell import update_memory

__all__ = [
    "call_function",
    "connect",
    "create_function",
    "create_memory",
    "dumps",
    "loads",
    "read_memory",
    "remove_function",
    "remove_memory",
    "update_memory",
    "write_memory",
]
