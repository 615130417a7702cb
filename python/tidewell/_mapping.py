"""Mapping(prefix): str keys to shared values, one named object per key.

A key is stored under the name  KEY_NAME_PREFIX + escaped prefix + ":" + escaped key.

- The key names' prefix is refused as a plain name by both stores, so no plain name is a key.
- Escaping writes "%" as %25, "/" as %2F and NUL as %00 (and ":" as %3A in the prefix only),
  everything else as it is. The prefix's part ends at the first ":", so the name tells its
  prefix and its key apart: two different (prefix, key) pairs never share a name, and one
  mapping's names never start with another prefix's head.
- A name lists as a key only in its one canonical spelling; anything else under the head (made
  by hand) is not one of the mapping's keys and is left alone, also by clear().
"""
import re
from collections.abc import Callable, ItemsView, Iterator, MutableMapping, ValuesView
from typing import Any, TypeVar, overload

from . import tidewell as _native
from ._arguments import KeyName
from ._store import SharedMemoryStore, connect

KEY_NAME_PREFIX = _native._KEY_NAME_PREFIX
MAX_NAME_BYTES = _native._limits["name_bytes"]
DEFAULT_MODE = 0o600

_MISSING: Any = object()  # what the key operations return for a key that holds no value
_T = TypeVar("_T")
_KEY_SPECIAL = re.compile("[%/\0]")
_PREFIX_SPECIAL = re.compile("[%/\0:]")
_ESCAPED = re.compile("%([0-9A-F]{2})")
KNOWN_NAMES = 32768  # names a Mapping remembers (the segment table keeps about as many)


def _escape_one(match: "re.Match[str]") -> str:
    return f"%{ord(match.group()):02X}"


def _unescape_one(match: "re.Match[str]") -> str:
    return chr(int(match.group(1), 16))


def _utf8_size(text: str, what: str) -> int:
    try:
        return len(text.encode())
    except UnicodeEncodeError:
        raise ValueError(f"{what} must be encodable as UTF-8 (it holds a lone surrogate).") from None


class _Unfit(Exception):
    """A key that no name can hold: its reason, for the operations that would write it."""


class Mapping(MutableMapping[str, Any]):
    """str keys to shared values, seen alike by every process that uses the same prefix.

    Each key is its own shared value (its own lock: a writer of one key never waits for
    another), so a read or a write costs what read_memory or write_memory costs. See docs/API.md.
    """

    __slots__ = ("prefix", "store", "_head", "_room", "_mode", "_known", "_read", "_write",
                 "_update", "_take", "_names")

    prefix: str
    store: Any

    def __init__(self, prefix: str, *, mode: int = DEFAULT_MODE, store: Any = None) -> None:
        if not isinstance(prefix, str):
            raise TypeError(f"A Mapping's prefix must be a str, not {type(prefix).__name__}.")
        head = KEY_NAME_PREFIX + _PREFIX_SPECIAL.sub(_escape_one, prefix) + ":"
        room = MAX_NAME_BYTES - _utf8_size(head, "A Mapping's prefix")
        if room < 1:
            raise ValueError(f"A Mapping's prefix must leave room for its keys: at most "
                             f"{MAX_NAME_BYTES - len(KEY_NAME_PREFIX) - 2} bytes in UTF-8.")
        self.prefix = prefix
        self._head = head
        self._room = room
        self._mode = mode
        self._known: dict[str, str] = {}  # names of recent keys: a lookup instead of the checks
        if store is None or isinstance(store, SharedMemoryStore):
            # The mode is checked by the first write, as write_memory checks it.
            self.store = connect()  # type: ignore[no-untyped-call]
            self._read = _native._key_read
            self._write = _native._key_write
            self._update = _native._key_update
            self._take = _native._key_take
            self._names = _native._key_names
        else:
            if mode != DEFAULT_MODE:
                raise ValueError("The mode applies to shared memory only.")
            keys = _RedisKeys(store)
            self.store = store
            self._read = keys.read
            self._write = keys.write
            self._update = keys.update
            self._take = keys.take
            self._names = keys.names

    def __reduce__(self) -> tuple[Any, ...]:
        # Another process (a multiprocessing argument) opens the same mapping by its prefix.
        if not isinstance(self.store, SharedMemoryStore):
            raise TypeError("A Mapping of a Redis store cannot be pickled: open it in the other "
                            "process with tidewell.connect(url).Mapping(prefix).")
        return (_shared_memory_mapping, (self.prefix, self._mode))

    @property
    def max_key_bytes(self) -> int:
        """The longest key this mapping takes, in bytes of UTF-8 ("%", "/" and NUL count 3)."""
        return self._room

    def __repr__(self) -> str:
        where = "" if isinstance(self.store, SharedMemoryStore) else f", store={self.store!r}"
        return f"tidewell.Mapping({self.prefix!r}{where})"

    # --- key to name ----------------------------------------------------------------------

    def _name(self, key: object) -> str:
        return self._known.get(key) or self._new_name(key)  # type: ignore[call-overload]

    def _new_name(self, key: object) -> str:
        # Most keys are short ASCII text with nothing to escape: the name is head + key.
        if (type(key) is str and key.isascii() and len(key) <= self._room and "%" not in key
                and "/" not in key and "\0" not in key):
            name = self._head + key
        else:
            name = self._escaped_name(key)
        if type(key) is str:
            if len(self._known) >= KNOWN_NAMES:
                self._known.clear()
            self._known[key] = name
        return name

    def _escaped_name(self, key: object) -> str:
        if not isinstance(key, str):
            raise _Unfit(TypeError(f"Mapping keys are str, not {type(key).__name__}."))
        text = _KEY_SPECIAL.sub(_escape_one, key)
        try:
            size = _utf8_size(text, "A Mapping key")
        except ValueError as exc:
            raise _Unfit(exc) from None
        if size > self._room:
            raise _Unfit(ValueError(
                f"A key of this Mapping must be at most {self._room} bytes in UTF-8, with '%', "
                f"'/' and NUL counting 3 (this one has {size})."))
        return self._head + text

    def _name_for_write(self, key: object) -> str:
        try:
            return self._name(key)
        except _Unfit as unfit:
            raise unfit.args[0] from None

    def _key_of(self, text: str) -> str | None:
        """The key whose canonical name is head + text, or None."""
        if "%" in text:
            key = _ESCAPED.sub(_unescape_one, text)
            return key if _KEY_SPECIAL.sub(_escape_one, key) == text else None
        if "/" in text or "\0" in text:
            return None
        if not text.isascii():
            try:
                text.encode()  # a name that is not UTF-8 lists with surrogates
            except UnicodeEncodeError:
                return None
        return text

    def _keys_now(self) -> list[str]:
        texts = self._names(self._head)
        # Usually no name needs unescaping: one scan of them all says so.
        joined = "".join(texts)
        if joined.isascii() and "%" not in joined and "/" not in joined and "\0" not in joined:
            return texts
        return [key for key in map(self._key_of, texts) if key is not None]

    def _value_or_missing(self, key: object) -> Any:
        try:
            name = self._name(key)
        except _Unfit:
            return _MISSING
        return self._read(name, _MISSING)

    # --- the mapping ----------------------------------------------------------------------

    def __getitem__(self, key: str) -> Any:
        try:
            value = self._read(self._known.get(key) or self._new_name(key), _MISSING)
        except _Unfit:
            raise KeyError(key) from None
        if value is _MISSING:
            raise KeyError(key)
        return value

    def __setitem__(self, key: str, value: Any) -> None:
        self._write(self._known.get(key) or self._name_for_write(key), value, self._mode)

    def __delitem__(self, key: str) -> None:
        try:
            name = self._name(key)
        except _Unfit:
            raise KeyError(key) from None
        if self._take(name, _MISSING, False) is _MISSING:
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        return self._value_or_missing(key) is not _MISSING

    def __iter__(self) -> Iterator[str]:
        return iter(self._keys_now())

    def __len__(self) -> int:
        return len(self._keys_now())

    def get(self, key: str, default: Any = None) -> Any:
        value = self._value_or_missing(key)
        return default if value is _MISSING else value

    def pop(self, key: str, default: Any = _MISSING) -> Any:
        """Removes the key and returns its value, in one step under the key's lock (no write
        by another process falls between the read and the removal)."""
        try:
            value = self._take(self._name(key), _MISSING, True)
        except _Unfit:
            value = _MISSING
        if value is not _MISSING:
            return value
        if default is _MISSING:
            raise KeyError(key)
        return default

    def popitem(self) -> tuple[str, Any]:
        for key in self._keys_now():
            value = self._take(self._name(key), _MISSING, True)
            if value is not _MISSING:
                return key, value
        raise KeyError("popitem(): the mapping is empty")

    def setdefault(self, key: str, default: Any = None) -> Any:
        """The key's value; if it has none, stores `default` (atomically: of two processes that
        set the same key at once, both return the one value that was stored)."""
        value = self._value_or_missing(key)
        if value is not _MISSING:
            return value
        return self._update(self._name_for_write(key),
                            lambda current: default if current is _MISSING else current,
                            _MISSING, self._mode)

    @overload
    def update(self, key: str, func: Callable[[Any], _T], /, default: Any = None) -> _T: ...
    @overload
    def update(self, other: Any = (), /, **kwargs: Any) -> None: ...

    def update(self, /, *args: Any, **kwargs: Any) -> Any:
        """update(key, func, default=None): the key's read-modify-write, as update_memory;
        update(other=(), /, **kwargs): dict.update. Two positional arguments or more make it
        the first."""
        if len(args) < 2:
            return MutableMapping.update(self, *args, **kwargs)
        return self._update_key(*args, **kwargs)

    def _update_key(self, key: str, func: Callable[[Any], Any], default: Any = None) -> Any:
        if not callable(func):
            raise TypeError(f"update(key, func, default=None): func must be callable, not "
                            f"{type(func).__name__}.")
        return self._update(self._name_for_write(key), func, default, self._mode)

    def clear(self) -> None:
        """Removes every key of this mapping (each under its lock), and nothing else."""
        for key in self._keys_now():
            self._take(self._name(key), _MISSING, False)

    def items(self) -> ItemsView[str, Any]:
        return _Items(self)

    def values(self) -> ValuesView[Any]:
        return _Values(self)


class _Items(ItemsView[str, Any]):
    """Each key as it is when it is read; keys removed meanwhile are left out."""

    __slots__ = ()

    _mapping: Mapping

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        mapping = self._mapping
        for key in mapping._keys_now():
            value = mapping._value_or_missing(key)
            if value is not _MISSING:
                yield key, value


class _Values(ValuesView[Any]):
    __slots__ = ()
    _mapping: Mapping

    def __iter__(self) -> Iterator[Any]:
        for _, value in _Items(self._mapping):
            yield value


def _shared_memory_mapping(prefix: str, mode: int) -> Mapping:
    return Mapping(prefix, mode=mode)


class _RedisKeys:
    """The key operations on a RedisStore, through its value operations."""

    __slots__ = ("store",)

    def __init__(self, store: Any) -> None:
        self.store = store

    def read(self, name: str, missing: Any) -> Any:
        try:
            return self.store.read_memory(KeyName(name))
        except MemoryError:  # key names hold no functions: the key is missing
            return missing

    def write(self, name: str, value: Any, mode: int) -> Any:
        return self.store.write_memory(KeyName(name), value)

    def update(self, name: str, func: Callable[[Any], Any], default: Any, mode: int) -> Any:
        return self.store.update_memory(KeyName(name), func, default)

    def take(self, name: str, missing: Any, decode: bool) -> Any:
        if not decode:
            return True if self.store.remove_memory(KeyName(name)) else missing
        data = self.store._take_value(KeyName(name))
        return _native.loads(data) if data else missing

    def names(self, head: str) -> list[str]:
        """What follows `head` in the names that start with it."""
        return [name[len(head):] for name in self.store.names(head)]
