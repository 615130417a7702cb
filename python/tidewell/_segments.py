"""What the objects in /dev/shm are, as the module itself decides (used by the command line).

The layouts and the rules that tell tidewell's objects apart (values, functions, temporaries
a creating process is building), the ownership rule and the rule for leftovers all live in the
native module; this file only asks it (``tidewell.tidewell._inspect`` and ``_owner_refused``), so
the command line and the module never disagree about an object. Nothing here decodes a value,
waits for a lock or opens anything but a regular file.
"""

from __future__ import annotations

import os
import stat
import time
from typing import NamedTuple

from . import tidewell as _native

SHM_DIR = "/dev/shm"

VALUE, FUNCTION, TEMPORARY, OTHER, WATCH = "value", "function", "temporary", "other", "watch"
# The names of the lanes of a shared function (its further servers' segments): temporaries by
# their prefix, listed through their function while their server runs.
LANE_PREFIX = ".tidewell-new-0-L"


class ObjectInfo(NamedTuple):
    """What a name in /dev/shm holds, as far as its header tells."""

    name: str
    kind: str  # VALUE, FUNCTION, TEMPORARY, WATCH (a watch table) or OTHER
    size: int  # bytes of the object
    modified: float  # st_mtime: creation or last growth (writes through a mapping keep it)
    capacity: int | None = None  # values: room for encoded data
    pid: int | None = None  # functions: the server; temporaries: the creating process
    alive: bool | None = None  # whether that process is running
    owner: int | None = None  # st_uid
    group: int | None = None  # st_gid
    mode: int | None = None  # permission bits
    busy: bool | None = None  # values: whether some process holds the value's lock right now
    torn: bool | None = None  # values: a writer died mid-copy and nobody has repaired it yet
    servers: tuple[int, ...] = ()  # shared functions: the pids of their further live servers

    def refused(self, uids: tuple[int, ...] = (), gids: tuple[int, ...] = ()) -> bool:
        """Whether tidewell in a process that trusts these users and groups refuses the object
        (the module's ownership rule)."""
        if self.owner is None or self.group is None or self.mode is None:
            return False
        return _native._owner_refused(self.owner, self.group, self.mode, tuple(uids),
                                      tuple(gids))

    @property
    def stale(self) -> bool:
        """Left behind by a process that is gone: what `tidewell clean` removes. Asked of the
        module now, for the object this entry describes (False once the name holds another)."""
        if self.kind not in (FUNCTION, TEMPORARY, WATCH):
            return False
        now = _native._inspect(self.name)
        return (now is not None and now["stale"] and now["kind"] == self.kind
                and now["pid"] == self.pid and not now["lane_servers"])

    @property
    def lane(self) -> bool:
        """A running further server's segment of a shared function (shown with the function)."""
        return self.kind == TEMPORARY and self.name.startswith(LANE_PREFIX) and not self.stale


def path_of(name: str) -> str:
    return os.path.join(SHM_DIR, name.lstrip("/"))


def describe(name: str) -> ObjectInfo | None:
    """What the shared-memory object ``name`` is, or None when there is none.

    ``kind`` is "value", "function", "temporary" (an object a process is building), "watch" (the
    table that tells writers whom to wake, see ``tidewell.watch``) or "other"
    (not tidewell's, or nothing the module would open as one). For functions ``pid`` is the
    serving process and ``alive`` whether it runs; for values ``busy`` whether the lock is held.
    Only the object's header is read; values are not decoded.
    """
    seen = _native._inspect(name.lstrip("/"))
    if seen is None:
        return None
    return ObjectInfo(name, seen["kind"], seen["size"], seen["modified"],
                      capacity=seen["capacity"], pid=seen["pid"], alive=seen["alive"],
                      owner=seen["owner"], group=seen["group"], mode=seen["mode"],
                      busy=seen["busy"], torn=seen["torn"], servers=seen["lane_servers"])


def scan() -> list[ObjectInfo]:
    """Every object in /dev/shm but directories, sorted by name."""
    entries = []
    try:
        with os.scandir(SHM_DIR) as it:
            names = sorted(e.name for e in it if not e.is_dir(follow_symlinks=False))
    except FileNotFoundError:
        return []
    for name in names:
        entry = describe(name)
        if entry is not None:
            entries.append(entry)
    return entries


def unlink_if_unchanged(entry: ObjectInfo) -> bool:
    """Unlinks `entry` only if the name still refers to the object that was classified as
    stale (a new object under the same name belongs to someone else). The object is held open
    meanwhile, so its inode number cannot be given to another object; the open never blocks."""
    path = path_of(entry.name)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return False
    try:
        held = os.fstat(fd)
        if not stat.S_ISREG(held.st_mode) or not entry.stale:
            return False
        if os.stat(path, follow_symlinks=False).st_ino != held.st_ino:
            return False
        os.unlink(path)
        return True
    except FileNotFoundError:
        return False
    finally:
        os.close(fd)


def remove_watch_table_when_stale(within: float) -> bool:
    """Removes this process's watch table once ``tidewell clean`` would take it (no watcher
    holds it and it is unchanged for 5 s), waiting up to ``within`` seconds for that: for a
    program that made the table and leaves nothing behind (tests, soaks, benchmarks)."""
    table = _native._watch_table_name()
    deadline = time.monotonic() + within
    while True:
        entry = describe(table)
        if entry is None:
            return False
        if entry.stale:
            return unlink_if_unchanged(entry)
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.2)
