"""A module for managing shared memory with Python."""

# The functions live in the native extension tidewell.tidewell (its file exports PyInit_tidewell
# and the codec's C entry points for native peers); this package re-exports them unchanged.

from typing import TYPE_CHECKING

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

# After the native module, whose own import errors (a missing standard module) come first.
from ._types import Value  # noqa: E402

__all__ = [
    "Value",
    "call_function",
    "create_function",
    "create_memory",
    "dumps",
    "loads",
    "read_memory",
    "remove_function",
    "remove_memory",
    "write_memory",
]

__version__: str

if not TYPE_CHECKING:
    # Looked up on first use: importlib.metadata costs more than the rest of the import.
    def __getattr__(name):
        if name == "__version__":
            global __version__
            from importlib.metadata import version

            __version__ = version("tidewell")
            return __version__
        raise AttributeError(f"module 'tidewell' has no attribute {name!r}")
