"""Type-checked with `mypy --strict` by tests/test_package.py; never run."""
import collections
import datetime
import decimal
import pathlib
import threading
import uuid
from typing import Any, NamedTuple

import tidewell
from tidewell import Value


class Point(NamedTuple):
    x: int
    y: int


def add(a: int, b: int) -> int:
    return a + b


def values() -> None:
    created: bool = tidewell.create_memory("cfg")
    created = tidewell.create_memory("cfg", prealloc_size=1 << 20, error_if_exists=True)
    counts: list[int] = [1, 2]
    stored: Value = {"port": 8080, "hosts": ["a"], "when": datetime.datetime.now()}
    for value in (counts, stored, Point(1, 2), collections.deque([1]), uuid.uuid4(),
                  decimal.Decimal("1.5"), pathlib.Path("/tmp"), ..., range(3), None, 1j):
        assert tidewell.write_memory("cfg", value, create=False) is True
    config: Any = tidewell.read_memory("cfg")
    port: int = config["port"]
    hits: int = tidewell.update_memory("hits", lambda n: n + 1, 0)
    pids = tidewell.update_memory("pids", lambda p: [*p, hits], [], create=True)
    removed: bool = tidewell.remove_memory("cfg", throw_error=False)
    data: bytes = tidewell.dumps({"port": port})
    back = tidewell.loads(memoryview(data)), tidewell.loads(bytearray(data))
    print(created, removed, back, pids[0], tidewell.__version__.split("."))


def functions() -> None:
    server = threading.Thread(target=tidewell.create_function, args=("adder", add))
    server.start()
    result: int = tidewell.call_function("adder", (2, 3))
    info = tidewell.describe("adder")
    if info is not None and info.kind == "function":
        alive: bool | None = info.alive
        print(info.pid, alive, info.size + 1)
    stopped: bool = tidewell.remove_function("adder")
    tidewell.create_function("adder", add)
    print(result, stopped)


def refused() -> None:
    # Each of these is a type error; an unused ignore would fail the strict check.
    tidewell.write_memory("cfg", object())  # type: ignore[arg-type]
    tidewell.write_memory("cfg", 1, create=None)  # type: ignore[arg-type]
    tidewell.read_memory(name="cfg")  # type: ignore[call-arg]
    tidewell.call_function("adder", [2, 3])  # type: ignore[arg-type]
    tidewell.loads("text")  # type: ignore[arg-type]
    tidewell.update_memory("hits", lambda n: object())  # type: ignore[type-var]
    tidewell.wirte_memory("cfg", 1)  # type: ignore[attr-defined]


def mapping() -> None:
    sessions = tidewell.Mapping("sessions")
    sessions["alice"] = {"cart": [1, 2]}
    count: int = sessions.update("hits", lambda n: n + 1, 0)
    sessions.update({"bob": None}, carol=1)
    cart: Any = sessions.get("alice", {}).get("cart")
    limit: int = sessions.max_key_bytes
    names: list[str] = sorted(sessions)
    pairs: dict[str, Any] = dict(sessions.items())
    popped: Any = sessions.pop("bob", None)
    sessions.setdefault("dave", 0)
    del sessions["dave"], count, cart, limit, names, pairs, popped
