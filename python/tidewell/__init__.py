"""A module for managing shared memory with Python."""

# The functions live in the native extension tidewell.tidewell (its file exports PyInit_tidewell
# and the codec's C entry points for native peers); this package re-exports them unchanged.

from ._aio import call_function_async
from ._store import connect
from ._watch import read_with_token, wait_for_change, watch
from .tidewell import (
    RemoteError,
    call_function,
    create_function,
    create_memory,
    dumps,
    loads,
    read_memory,
    remove_function,
    remove_memory,
    trust,
    update_memory,
    write_memory,
)

__all__ = [
    "Mapping",
    "ObjectInfo",
    "RemoteError",
    "Value",
    "call_function",
    "call_function_async",
    "connect",
    "create_function",
    "create_memory",
    "describe",
    "dumps",
    "loads",
    "read_memory",
    "read_with_token",
    "remove_function",
    "remove_memory",
    "trust",
    "update_memory",
    "wait_for_change",
    "watch",
    "write_memory",
]

# Type checkers take a name TYPE_CHECKING as true; at run time the names below load on first
# use, which keeps typing and importlib.metadata out of `import tidewell`.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._mapping import Mapping
    from ._segments import ObjectInfo, describe
    from ._types import Value

    __version__: str
else:
    _LAZY = {"Value": "_types", "ObjectInfo": "_segments", "describe": "_segments",
             "Mapping": "_mapping"}

    def __getattr__(name):
        if name == "__version__":
            from importlib.metadata import version

            value = version("tidewell")
        elif name in _LAZY:
            from importlib import import_module

            value = getattr(import_module(f".{_LAZY[name]}", __name__), name)
        else:
            raise AttributeError(f"module 'tidewell' has no attribute {name!r}")
        globals()[name] = value
        return value
