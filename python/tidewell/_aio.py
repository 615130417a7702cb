"""Awaited calls of shared functions, and coroutine functions served.

`call_function_async` starts the call in the module (arguments encoded, the function opened, the
call placed when the data area is free) and leaves it in flight; the event loop then looks at
every call in flight of that loop when a timer descriptor fires: soon after a call was placed or
finished, less often the longer nothing happens. No thread waits for any call, and nothing
blocks the loop: a look only tries the function's lock.
"""
import asyncio
import os
import threading
import weakref
from typing import Any

from . import tidewell as _native
from ._types import Value

# Microseconds between looks: from FIRST_US after a call was placed or finished, doubling while
# nothing happens, up to a quarter of the time calls of this loop have taken of late (so a
# reply waits for its look about an eighth of a call's time), within SHORTEST_US..LONGEST_US. A
# call's time counts from its start or the last call's end, whichever is later: calls queued
# for one server take one call's time each, not the queue's.
FIRST_US = 20
SHORTEST_US = 100
LONGEST_US = 5000


class _Poller:
    """The calls in flight on one event loop."""

    def __init__(self, loop):
        self.loop = loop
        self.calls = {}  # call -> (future, when it was started)
        self.fd = None
        self.interval = FIRST_US
        self.typical_us = 4 * SHORTEST_US
        self.last_end = 0.0

    def add(self, call, future):
        self.calls[call] = (future, self.loop.time())
        if self.fd is None:
            self.fd = _native._timer_create()
            try:
                self.loop.add_reader(self.fd, self._look)
            except BaseException:
                os.close(self.fd)
                self.fd = None
                raise
        self.interval = FIRST_US
        _native._timer_arm(self.fd, self.interval)

    def discard(self, call):
        self.calls.pop(call, None)
        if not self.calls:
            self._close()

    def _close(self):
        if self.fd is not None:
            self.loop.remove_reader(self.fd)
            os.close(self.fd)
            self.fd = None

    def _look(self):
        try:
            os.read(self.fd, 8)
        except BlockingIOError:
            pass
        finished = []
        for call, (future, started) in list(self.calls.items()):
            if future.done():  # cancelled: its awaiter withdraws the call
                finished.append(call)
                continue
            try:
                result = call.poll()
            except Exception as exc:
                future.set_exception(exc)
            else:
                if result is call:
                    continue
                future.set_result(result)
            finished.append(call)
            now = self.loop.time()
            took_us = (now - max(started, self.last_end)) * 1e6
            self.last_end = now
            self.typical_us += (took_us - self.typical_us) / 8
        for call in finished:
            del self.calls[call]
        if not self.calls:
            self._close()
            return
        longest = min(max(self.typical_us / 4, SHORTEST_US), LONGEST_US)
        self.interval = FIRST_US if finished else min(self.interval * 2, longest)
        _native._timer_arm(self.fd, int(self.interval))


_pollers: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _Poller]" = (
    weakref.WeakKeyDictionary())


async def call_function_async(name: str, args: tuple[Value, ...]) -> Any:
    """call_function(name, args), awaited: the same result and errors, without blocking the event
    loop and without a thread. Cancelling the awaiting task withdraws a call no server has taken
    (a call already running is left to finish, its reply unread)."""
    call = _native._call_start(name, args)
    loop = asyncio.get_running_loop()
    poller = _pollers.get(loop)
    if poller is None:
        poller = _pollers[loop] = _Poller(loop)
    result = call.poll()  # places the call now when the data area is free
    if result is not call:
        return result
    future = loop.create_future()
    poller.add(call, future)
    try:
        return await future
    finally:
        if not future.done() or future.cancelled():
            call.cancel()
        poller.discard(call)


# --- coroutine functions served ---------------------------------------------------------------

_serving = threading.local()


def _run_coroutine(coroutine):
    """Runs what a served callable returned as a coroutine to completion, on the event loop of
    this serving thread (made on first use, closed when serving ends)."""
    loop = getattr(_serving, "loop", None)
    if loop is None or loop.is_closed():
        loop = _serving.loop = asyncio.new_event_loop()
    return loop.run_until_complete(coroutine)


def _end_serving():
    loop = getattr(_serving, "loop", None)
    if loop is not None:
        _serving.loop = None
        try:
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            loop.close()
