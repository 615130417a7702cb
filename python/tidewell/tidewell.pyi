"""A module for managing shared memory with Python."""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal, TypeVar

from typing_extensions import Buffer

from ._types import Value

_V = TypeVar("_V", bound=Value)

# Optional arguments may be left out but not passed as None (that is an argument error); the
# defaults below are the values that behave exactly like leaving them out.

def create_memory(
    name: str, prealloc_size: int = 0, error_if_exists: bool = False, *, mode: int = 0o600
) -> bool:
    """Create a shared memory address.

    Creates the shared-memory object ``name`` (``/dev/shm/NAME``) holding no value yet, with room
    for ``prealloc_size`` bytes of encoded data reserved at once, with permissions ``mode``
    (owner only by default, whatever the umask).

    Returns ``True`` when it was created and ``False`` when the name already exists.

    Raises:
        MemoryError: the name exists and ``error_if_exists`` is true, or belongs to a user this
            process does not trust (see ``trust``), or the object cannot be created or reserved
            (a full ``/dev/shm``); an OSError cause carries the reason.
        ValueError: "Expected at least the name (str) argument." for any argument error.
    """

def remove_memory(name: str, throw_error: bool = False) -> bool:
    """Remove a shared memory address.

    Unlinks the name, whether it holds a value or a function. Processes using the object at
    that moment finish undisturbed.

    Returns ``True`` when the name was removed and ``False`` when it did not exist.

    Raises:
        MemoryError: the name does not exist and ``throw_error`` is true.
        ValueError: "Expected at least the 'name' (str) argument." for any argument error.
    """

def read_memory(name: str, /) -> Any:
    """Get the value stored in a shared memory address.

    Returns a value equal to the one last written (as the plain type of its family), or
    ``None`` when the name exists but nothing was written yet. The result is typed ``Any``,
    like ``json.loads``: narrow it where you use it.

    Raises:
        MemoryError: the name does not exist (nothing is created), or holds a function.
        ValueError: the stored bytes do not decode (a writer died midway; the errors of
            ``loads``); "Expected 1 'str' type." for an argument error.
    """

def read_with_token(name: str, /) -> tuple[Any, bytes]:
    """Get the value stored in a shared memory address, and a token for ``wait_for_change``.

    The token is opaque (it stands for the value read); pass it to ``wait_for_change`` to wait
    for the next value without missing a change made in between.

    Raises:
        MemoryError: the name does not exist, or holds a function.
        ValueError: as ``read_memory``.
    """

def write_memory(
    name: str, value: Value, create: bool = True, *, mode: int = 0o600
) -> Literal[True]:
    """Write a value to a shared memory address.

    Encodes ``value`` and stores it under ``name``, creating the name when it does not exist
    (unless ``create`` is false) with permissions ``mode``. The object grows to fit and never
    shrinks.

    Returns ``True``.

    Raises:
        ValueError: "Received an unsupported datatype." (its ``__cause__``, a TypeError, names
            the refused type), "Exceeded the maximum value nest depth.", or "Expected at least
            the 'name' (str) and 'value' (any) arguments." for an argument error. The stored
            value is left untouched.
        MemoryError: the name does not exist and ``create`` is false, holds a function,
            belongs to a user this process does not trust (see ``trust``), or cannot be grown.
    """

def update_memory(
    name: str, func: Callable[[Any], _V], default: Value = None, create: bool = True
) -> _V:
    """Replace the value stored under name with func(current) in one step and return it.

    Under the name's lock: reads the current value (``default`` when nothing is stored yet),
    calls ``func`` with it, writes the result and returns it (``func``'s own object). No update
    from another process or thread is lost in between; other users of the name wait while
    ``func`` runs, so keep it short.

    Raises:
        Exception: whatever ``func`` raised; nothing is written.
        ValueError: the result cannot be encoded (nothing is written); "Expected at least the
            'name' (str) and 'func' (callable) arguments." for an argument error.
        RuntimeError: ``func`` used the same name.
        MemoryError: the name does not exist and ``create`` is false, or holds a function.
    """

class RemoteError(RuntimeError):
    """A shared function's callable raised (served with ``errors="reply"``).

    ``str()`` is ``"Type: message"``; the remote exception itself never travels.
    """

    remote_type: str
    remote_message: str
    remote_traceback: str

def create_function(
    name: str,
    func: Callable[..., Value],
    /,
    *,
    mode: int = 0o600,
    errors: Literal["raise", "reply"] = "raise",
    shared: bool = False,
) -> None:
    """Create and link a function to shared memory.

    Serves ``func`` under ``name`` in the calling thread: blocks, answering calls from any
    process one at a time, until ``remove_function(name)`` (then prints ``read`` and returns
    ``None``) or Ctrl-C. Serve from a thread to keep the caller free. The object gets
    permissions ``mode`` (owner only by default): only processes that can open it may call.
    With ``errors="reply"``, a call whose ``func`` raises an ``Exception`` (or returns what
    cannot be encoded) is answered with an error reply, the caller's ``RemoteError``, and
    serving goes on. A ``func`` that returns a coroutine (an ``async def``) has it run to
    completion per call, on an event loop the serving thread keeps while it serves.

    With ``shared=True``, further processes (or threads) may serve the same name: a
    ``create_function(name, ..., shared=True)`` on a name served that way joins its servers
    (up to 64), with the same ``errors=``. Each call is answered by exactly one of them; one
    that stops or dies leaves the others serving and loses no call it had not taken;
    ``remove_function`` stops them all. Callers of builds before this option reach the first
    server only.

    Raises:
        MemoryError: the name is already in use (served without ``shared=True``, or it holds a
            value): the ``FileExistsError`` cause says by what.
        ValueError: "Expected a 'str' and 'callable' type." for an argument error; ``errors``
            neither "raise" nor "reply"; ``shared`` not a bool; joining servers with another
            ``errors=``.
        Exception: whatever ``func`` raised (serving stops, the name is removed); with
            ``errors="reply"`` only what is not an ``Exception`` (``KeyboardInterrupt``).
    """

def remove_function(name: str, /) -> bool:
    """Stop a function linked to shared memory.

    Returns ``True`` when a stop request reached the function (or a leftover of a dead server
    was removed), ``False`` when the name does not hold a function.

    Raises:
        ValueError: "Expected 1 'str' type." for an argument error.
    """

def call_function(name: str, args: tuple[Value, ...], /) -> Any:
    """Call a function linked to shared memory.

    Calls the function served under ``name`` with the positional arguments ``args`` (a tuple,
    of any size a value may have) and returns its result (typed ``Any``, like ``read_memory``).

    Raises:
        MemoryError: the name does not exist or holds a value; large arguments do not fit.
        RemoteError: the callable raised, served with ``errors="reply"``.
        RuntimeError: the callable failed (its ``RemoteError`` as ``__cause__``), the server
            stopped or its process ended; a large result cannot be read.
        ValueError: the arguments cannot be encoded; "Expected a 'str' and
            'tuple' type." for an argument error.
    """

def dumps(value: Value, /) -> bytes:
    """Encode a value to bytes in tidewell's format (protocol 2).

    The bytes ``write_memory`` would store, for values that travel some other way (a file, a
    socket, a key store). ``loads`` reads them back.

    Raises:
        ValueError: "Received an unsupported datatype." (its ``__cause__`` names the refused
            type) or "Exceeded the maximum value nest depth."; "Expected 1 value (any)
            argument." for an argument error.
    """

def loads(data: Buffer, /) -> Any:
    """Decode a value from bytes in tidewell's format (protocol 2 or 1).

    ``data`` is any C-contiguous bytes-like object (bytes, bytearray, memoryview, mmap). Bytes
    after the first value are ignored. Decoding never runs code that came with the data.

    Raises:
        ValueError: truncated or damaged input, and only that: "Likely received an invalid
            bytes object: ...", a UnicodeDecodeError for text that is not UTF-8, or
            "Failed to ..." for a UUID, Decimal, range or memoryview that cannot be rebuilt;
            another error that was the reason (an unhashable key's TypeError, a timedelta's
            OverflowError) is the ``__cause__``. "Expected 1 'bytes-like' argument." for an
            argument error.
        MemoryError: memory ran out.
        RecursionError: the value is nested too deeply for the thread's stack.
    """

def trust(*, uids: Iterable[int] = (), gids: Iterable[int] = ()) -> None:
    """Trust shared memory objects of these users and groups.

    By default only objects of this user (any mode) or of root are opened; others fail with
    ``MemoryError`` naming their owner. Objects of the listed users, or in the listed groups, are
    opened too unless every user can write them. Replaces the previous setting (``trust()``
    goes back to the default). A process that trusts a group it belongs to creates its objects
    in the first such group, so ``mode=0o660`` shares them with it.

    Raises:
        ValueError: "Expected 'uids' and 'gids' as iterables of user and group ids (int)." or
            more than 64 of either.
    """

# Private: the argument rules the package's stores written in Python share with the functions.
_messages: Mapping[str, str]
_limits: Mapping[str, int]

def _check_name(name: object, /) -> bytes | None: ...
def _check_key_name(name: object, /) -> bytes | None: ...
def _check_mode(mode: object, /) -> int | None: ...
# Private to the package: the command line asks the module's own rules through these.
def _inspect(file_name: str, /) -> dict[str, Any] | None: ...
def _owner_refused(
    owner: int, group: int, mode: int, uids: tuple[int, ...], gids: tuple[int, ...], /
) -> bool: ...

# The key operations behind tidewell.Mapping: the only functions that take names starting with
# _KEY_NAME_PREFIX, which every other function refuses.
_KEY_NAME_PREFIX: str

def _key_read(name: str, missing: Any, /) -> Any: ...
def _key_write(name: str, value: Value, mode: int, /) -> Literal[True]: ...
def _key_update(name: str, func: Callable[[Any], _V], default: Any, mode: int, /) -> _V: ...
def _key_take(name: str, missing: Any, decode: bool, /) -> Any: ...
def _key_names(head: str, /) -> list[str]: ...

# Private to the package: the waits behind tidewell.watch and tidewell.wait_for_change.
def _watch_open(name: str, /) -> object: ...
def _watch_close(handle: object, /) -> None: ...
def _watch_wait(
    handle: object | None, name: str, token: bytes, timeout: float | None, /
) -> tuple[Any, bytes]: ...
def _watch_table_name(name: str | None = None, /) -> str: ...

# Awaited calls (tidewell.call_function_async): a call in flight, and the timer the loop uses.
def _call_start(name: str, args: tuple[Value, ...], /) -> Any: ...
def _timer_create() -> int: ...
def _timer_arm(fd: int, microseconds: int, /) -> None: ...
