"""connect(url): the seven operations as methods of a store, on shared memory or on Redis."""
from . import _aio, _watch
from . import tidewell as _native


class SharedMemoryStore:
    """The local store: its methods are the native module functions themselves.

    Built-in functions do not bind as methods, so `store.read_memory is tidewell.read_memory`
    and a call costs exactly what the module function costs.
    """

    url = "shm:"
    create_memory = _native.create_memory
    write_memory = _native.write_memory
    read_memory = _native.read_memory
    remove_memory = _native.remove_memory
    update_memory = _native.update_memory
    create_function = _native.create_function
    call_function = _native.call_function
    remove_function = _native.remove_function
    read_with_token = _native.read_with_token

    def __repr__(self):
        return "<tidewell SharedMemoryStore shm:>"

    def Mapping(self, prefix, *, mode=0o600):  # noqa: N802 - the same spelling as tidewell.Mapping
        """A tidewell.Mapping of this host's shared values (tidewell.Mapping itself)."""
        from ._mapping import Mapping

        return Mapping(prefix, mode=mode)

    async def call_function_async(self, name, args):
        """tidewell.call_function_async."""
        return await _aio.call_function_async(name, args)

    def wait_for_change(self, name, token, timeout=None):
        """tidewell.wait_for_change."""
        return _watch.wait_for_change(name, token, timeout)

    def watch(self, name, timeout=None):
        """tidewell.watch."""
        return _watch.watch(name, timeout)

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass


_LOCAL = SharedMemoryStore()
_REDIS_SCHEMES = ("redis", "rediss", "unix")


def connect(url=None, **options):
    """A store with create_memory, write_memory, read_memory, update_memory, remove_memory,
    create_function, call_function and remove_function, taking the module functions' arguments.

    connect() or connect("shm:")        this host's shared memory (the module functions)
    connect("redis://host:6379/0")      a Redis server (also rediss:// and unix:///path?db=0);
                                        needs pip install "tidewell[redis]"

    Redis URLs take `prefix` (default "tidewell:") and `heartbeat` (seconds, default 2, at most
    60) as query parameters or keywords; further keywords go to redis.Redis.from_url.
    """
    if url is None or url == "shm:":
        if options:
            raise TypeError(f"the shared-memory store takes no options: {sorted(options)}")
        return _LOCAL
    scheme = url.partition(":")[0].lower() if isinstance(url, str) else None
    if scheme not in _REDIS_SCHEMES:
        raise ValueError(f"Unsupported store URL {url!r}: use 'shm:', 'redis://', 'rediss://' "
                         f"or 'unix://'.")
    from .redis_store import connect_url

    return connect_url(url, **options)
