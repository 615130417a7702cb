"""Recognising tidewell's objects in /dev/shm from their layouts (used by the command line).

Every rule about what a shared-memory object is lives here, so it can be adjusted in one place
when a layout changes. Nothing here decodes a value: values are read through read_memory.

Value object:    offset 0 capacity (8 bytes, host order), offset 8 robust process-shared mutex
                 (40 bytes), data from offset 48; the object holds at least 48 + capacity bytes.
Function object: exactly 1168 bytes, mutex at offset 0, server pid at 138..141 (host order),
                 "TW" at 142..143. No value object is ever exactly 1168 bytes.
Temporary:       ".tidewell-new-PID-..." while a creating process builds an object; left
                 behind only when that process died midway. Stale by the same rule as the
                 module's own sweep: unchanged for 5 s and its creator gone.
Whether a server or a creator is alive is the module's verdict (its liveness lock, else its pid),
asked through the object's descriptor.
"""

from __future__ import annotations

import os
import struct
import time
from typing import NamedTuple

SHM_DIR = "/dev/shm"

VALUE_HEADER = 48
FUNCTION_SIZE = 1168
FUNCTION_PID = slice(138, 142)
FUNCTION_MAGIC = slice(142, 144)
MAGIC = b"TW"
TEMPORARY_PREFIX = ".tidewell-new-"
# glibc's mutex kind word (offset 16 in the mutex): robust (0x10) and process-shared (0x80), as
# every tidewell mutex is initialised. Checked so that foreign objects are not taken for values.
MUTEX_KIND_OFFSET = 16
MUTEX_KIND_BITS = 0x90

TEMPORARY_STALE_DEAD_S = 5

VALUE, FUNCTION, TEMPORARY, OTHER = "value", "function", "temporary", "other"


class ObjectInfo(NamedTuple):
    """What a name in /dev/shm holds, as far as its layout tells."""

    name: str
    kind: str  # VALUE, FUNCTION, TEMPORARY or OTHER
    size: int  # bytes of the object
    modified: float  # st_mtime: creation or last growth (writes through a mapping keep it)
    capacity: int | None = None  # values: room for encoded data
    pid: int | None = None  # functions: the server; temporaries: the creating process
    alive: bool | None = None  # whether that process is running
    owner: int | None = None  # st_uid
    group: int | None = None  # st_gid
    mode: int | None = None  # permission bits

    def refused(self, uids: tuple[int, ...] = (), gids: tuple[int, ...] = ()) -> bool:
        """Whether tidewell in this process, trusting these users and groups, refuses the object:
        not this user's, and writable by every user or owned by neither root nor a trusted user
        and not in a trusted group."""
        if self.owner is None or self.owner == os.geteuid():
            return False
        if (self.mode or 0) & 0o002:
            return True
        return not (self.owner == 0 or self.owner in uids or self.group in gids)

    @property
    def stale(self) -> bool:
        """Left behind by a process that is gone: what `tidewell clean` removes."""
        if self.kind == FUNCTION:
            return self.alive is False
        if self.kind == TEMPORARY:
            return self.alive is not True and time.time() - self.modified >= TEMPORARY_STALE_DEAD_S
        return False


def path_of(name: str) -> str:
    return os.path.join(SHM_DIR, name.lstrip("/"))


def _temporary_pid(name: str) -> int | None:
    rest = name[len(TEMPORARY_PREFIX):]
    pid = rest.split("-", 1)[0]
    return int(pid) if pid.isdigit() else None


def _owned(info: ObjectInfo, st: os.stat_result) -> ObjectInfo:
    return info._replace(owner=st.st_uid, group=st.st_gid, mode=st.st_mode & 0o7777)


def describe(name: str) -> ObjectInfo | None:
    """What the shared-memory object ``name`` is, or None when there is none.

    ``kind`` is "value", "function", "temporary" (an object a process is building) or "other"
    (not tidewell's). For functions ``pid`` is the serving process and ``alive`` whether it
    runs. Only the object's header is read; values are not decoded.
    """
    path = path_of(name)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        return None
    except OSError:
        try:
            st = os.stat(path, follow_symlinks=False)
        except FileNotFoundError:
            return None
        return _owned(ObjectInfo(name, OTHER, st.st_size, st.st_mtime), st)
    try:
        st = os.fstat(fd)
        head = os.pread(fd, VALUE_HEADER, 0) if st.st_size >= VALUE_HEADER else b""
        if name.startswith(TEMPORARY_PREFIX):
            from .tidewell import _creator_alive

            pid = _temporary_pid(name)
            age = max(0, int(time.time() - st.st_mtime))
            alive = _creator_alive(fd, pid if pid is not None and pid < 1 << 31 else 0, age)
            info = ObjectInfo(name, TEMPORARY, st.st_size, st.st_mtime, pid=pid, alive=alive)
            return _owned(info, st)
        if st.st_size == FUNCTION_SIZE:
            tail = os.pread(fd, 6, FUNCTION_PID.start)
            if tail[4:] == MAGIC:
                from .tidewell import _server_alive

                (pid,) = struct.unpack("=i", tail[:4])
                info = ObjectInfo(name, FUNCTION, st.st_size, st.st_mtime, pid=pid,
                                  alive=_server_alive(fd))
                return _owned(info, st)
        if len(head) == VALUE_HEADER:
            (capacity,) = struct.unpack_from("=Q", head, 0)
            (kind,) = struct.unpack_from("=i", head, 8 + MUTEX_KIND_OFFSET)
            if VALUE_HEADER + capacity <= st.st_size and kind & MUTEX_KIND_BITS == MUTEX_KIND_BITS:
                info = ObjectInfo(name, VALUE, st.st_size, st.st_mtime, capacity=capacity)
                return _owned(info, st)
        return _owned(ObjectInfo(name, OTHER, st.st_size, st.st_mtime), st)
    finally:
        os.close(fd)


def scan() -> list[ObjectInfo]:
    """Every object in /dev/shm (regular files only), sorted by name."""
    entries = []
    try:
        names = sorted(os.listdir(SHM_DIR))
    except FileNotFoundError:
        return []
    for name in names:
        if os.path.isdir(path_of(name)):
            continue
        entry = describe(name)
        if entry is not None:
            entries.append(entry)
    return entries


def unlink_if_unchanged(entry: ObjectInfo) -> bool:
    """Unlinks `entry` only if the name still refers to the object that was classified as
    stale (a new object under the same name belongs to someone else)."""
    path = path_of(entry.name)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    try:
        again = describe(entry.name)
        st = os.fstat(fd)
        if again is None or not again.stale or again.pid != entry.pid:
            return False
        if os.stat(path, follow_symlinks=False).st_ino != st.st_ino:
            return False
        os.unlink(path)
        return True
    except FileNotFoundError:
        return False
    finally:
        os.close(fd)
