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


def watch(name: str, timeout: float | None = None) -> Iterator[Any]:
    """Yields the value of ``name`` (None when nothing is written yet), then each new value
    written by any process. A watcher slower than the writers sees the latest value, never a
    stale one: after the last write, every watcher yields that value. Writing the value already
    stored is not a change.

    ``timeout`` (seconds, None for no limit) bounds each wait for a change: ``TimeoutError``
    when it passes. The iteration ends when the name is removed. A name that does not exist
    raises as ``read_memory`` does. The wait releases the GIL and Ctrl-C interrupts it.
    """
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not 0 <= timeout < float("inf")):
        raise ValueError("timeout must be None or a number of seconds >= 0.")
    return _iterate(_native._watch_open(name), name, timeout)


def _iterate(handle: Any, name: str, timeout: float | None) -> Iterator[Any]:
    try:
        value, token = _native.read_with_token(name)
        yield value
        while True:
            try:
                value, token = _native._watch_wait(handle, name, token, timeout)
            except FileNotFoundError:
                return
            yield value
    finally:
        _native._watch_close(handle)
