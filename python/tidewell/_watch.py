"""Waiting for a value to change: watch(), and its one-shot form read_with_token() plus
wait_for_change().

A watcher is woken by the commits of this build's writers at once; it also compares the stored
value every 100 ms, so a write that wakes nobody (an older tidewell's, another user's) is seen
within that bound.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from . import tidewell as _native

read_with_token = _native.read_with_token


def wait_for_change(name: str, token: bytes, timeout: float | None = None) -> tuple[Any, bytes]:
    """Waits until the value of ``name`` differs from the one ``token`` stands for, and returns
    the new ``(value, token)``. A change made after the read that gave ``token`` and before
    this call is seen at once: nothing between the two can be missed.

    ``timeout`` (seconds, None for no limit) bounds the wait: ``TimeoutError`` when nothing
    changed. A name removed meanwhile raises ``FileNotFoundError``.
    """
    return _native._watch_wait(None, name, token, timeout)


def watch(name: str, timeout: float | None = None) -> _Watch:
    """Yields the value of ``name`` (None when nothing is written yet), then each new value
    written by any process. A watcher slower than the writers sees the latest value, never a
    stale one: after the last write, every watcher yields that value. Writing the value already
    stored is not a change.

    ``timeout`` (seconds, None for no limit) bounds each wait for a change: ``TimeoutError``
    when it passes. The iteration ends when the name is removed. A name that does not exist
    raises as ``read_memory`` does. The wait releases the GIL and Ctrl-C interrupts it.
    ``close()``, or leaving a ``with`` block, ends the watch.
    """
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not 0 <= timeout < float("inf")):
        raise ValueError("timeout must be None or a number of seconds >= 0.")
    return _Watch(_native._watch_open(name), name, timeout)


class _Watch(Iterator[Any]):
    """The iterator watch() returns. close() (or the end of a with block) gives up the
    registration at once, whether or not iteration began."""

    __slots__ = ("_handle", "_name", "_timeout", "_token")

    def __init__(self, handle: Any, name: str, timeout: float | None) -> None:
        self._handle = handle
        self._name = name
        self._timeout = timeout
        self._token: bytes | None = None

    def __iter__(self) -> _Watch:
        return self

    def __next__(self) -> Any:
        if self._handle is None:
            raise StopIteration
        try:
            if self._token is None:
                value, self._token = _native.read_with_token(self._name)
            else:
                value, self._token = _native._watch_wait(self._handle, self._name, self._token,
                                                         self._timeout)
        except FileNotFoundError:
            self.close()
            raise StopIteration from None
        return value

    def close(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            _native._watch_close(handle)

    def __enter__(self) -> _Watch:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
