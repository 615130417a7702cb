"""The seven operations on a Redis server, for processes on several hosts.

Key layout under the store's prefix P (NAME is the name's UTF-8 bytes, as the module checks and
uses it, with "%" written "%25" and ":" written "%3A"):

    P n:NAME   the name. A value is a string: tidewell-encoded bytes, or b"" when created and
               not written yet. A function is a hash {id: server id (16 bytes) + epoch
               (4 bytes), busy: ids of the calls its server holds, ttl: its heartbeat in ms,
               beat: the Redis clock (ms) at its server's last heartbeat} kept alive by a TTL
               heartbeat; being of another type, it refuses the value commands (WRONGTYPE).
    P q:NAME   requests to the function NAME: call id (16 bytes) + encoded argument tuple;
               an empty request asks the server to stop
    P r:ID     the reply list of one call, with an expiry
    P t:ID     a large value on its way to P n:NAME

What follows P holds exactly one ":" (after the key's kind), so no key of one prefix is a key of
another, even where one prefix begins with the other ("app:" and "app:n:").

Values and functions share the names, as on shared memory. Decoding is always tidewell.loads.
"""
import collections
import hashlib
import os
import re
import threading
import time
import traceback
import urllib.parse

from . import _arguments as A
from .tidewell import RemoteError, dumps, loads

try:
    import redis
    from redis.backoff import ExponentialBackoff
    from redis.retry import Retry
except ImportError:  # pragma: no cover - exercised only without the extra
    # Raised while handling the original error, which stays attached as the context. (No
    # "as" name: a name bound and deleted by the except clause confuses stub checkers.)
    raise ImportError('The Redis store needs redis-py: pip install "tidewell[redis]"')

DEFAULT_PREFIX = "tidewell:"
DEFAULT_HEARTBEAT = 2.0  # seconds a dead server's name survives it
# The longest heartbeat a server may have, and so the longest a caller believes a function's
# hash about its heartbeat: a hash that a crashed restore or a hostile client left behind
# cannot hold a caller longer than this.
MAX_HEARTBEAT = 60.0
REPLY_TTL_MS = 60_000  # an unread reply (its caller gave up or died) expires after this
LARGE_VALUE = 64 * 1024  # from here on, values reach Redis as plain SET + rename, not Lua args
MAX_BATCH = 64  # requests a server takes per blocking pop
RECONNECT_WINDOW = 10.0  # seconds a server keeps retrying an unreachable Redis before it fails
_RETRY_ERRORS = (redis.ConnectionError, redis.TimeoutError)
_GLOB_SPECIAL = re.compile(rb"[*?\[\]\\]")  # matched literally in a SCAN pattern
_ESCAPE_CODE = re.compile(rb"%(25|3A)")

NULL_FROM_FUNCTION = A.NULL_FROM_FUNCTION
# First byte of a reply that is not an encoded value (encodings begin with 0xFD or 0xFE):
R_NULL = b"\x00"  # the NULL message
R_REFUSED = b"\x01"  # + the decoder's message: the arguments could not be decoded
R_MISSING = b"\x02"  # no such name
R_NOT_FUNCTION = b"\x03"  # the name holds a value
R_LOST = b"\x04"  # the call arrived twice and ran once (its first reply went missing)
R_ERROR = b"\x05"  # + type name, message and traceback, NUL-separated: the callable raised
NO_VALUE = b"\xfdg"  # the encoder's no-value string: a call whose arguments are not a tuple


class _Script:
    def __init__(self, text):
        self.text = text
        self.sha = hashlib.sha1(text.encode()).hexdigest()


# A value never replaces a function: RENAME would, so it is checked here.
_MOVE = _Script("""
local fail = nil
if redis.call('TYPE', KEYS[1])['ok'] == 'hash' then fail = -1
elseif ARGV[1] == '0' and redis.call('EXISTS', KEYS[1]) == 0 then fail = 0 end
if fail then redis.call('DEL', KEYS[2]) return fail end
redis.call('RENAME', KEYS[2], KEYS[1])
redis.call('PERSIST', KEYS[1])
return 1""")
# Removing a function's name also stops its server.
_REMOVE = _Script("""
local kind = redis.call('TYPE', KEYS[1])['ok']
local n = redis.call('DEL', KEYS[1])
if kind == 'hash' then redis.call('LPUSH', KEYS[2], '') end
return n""")
_STOP = _Script("""
if redis.call('TYPE', KEYS[1])['ok'] ~= 'hash' then return 0 end
redis.call('LPUSH', KEYS[2], '')
return 1""")
# The Redis server's clock in ms: the one clock every client of a heartbeat agrees on. (Before
# Redis 5 a script that writes after reading the clock must replicate its effects.)
_CLOCK = """
if redis.replicate_commands then redis.replicate_commands() end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
"""
# Requests left by an earlier, dead server's callers are dropped.
_CLAIM = _Script(_CLOCK + """
if redis.call('EXISTS', KEYS[1]) == 1 then return 0 end
redis.call('HSET', KEYS[1], 'id', ARGV[1], 'ttl', ARGV[2], 'beat', now_ms())
redis.call('PEXPIRE', KEYS[1], ARGV[2])
redis.call('DEL', KEYS[2])
return 1""")
# 1: alive; 2: the name had vanished with its queue (Redis lost its data) and is taken again
# under a new epoch; 0: the name belongs to someone else now. `busy` lists the ids of the calls
# the server holds, for callers that check their call is still somewhere.
_HEARTBEAT = _Script(_CLOCK + """
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind == 'hash' and redis.call('HGET', KEYS[1], 'id') == ARGV[1] then
  redis.call('HSET', KEYS[1], 'busy', ARGV[4], 'beat', now_ms())
  redis.call('PEXPIRE', KEYS[1], ARGV[3]) return 1 end
if kind == 'none' and redis.call('EXISTS', KEYS[2]) == 0 then
  redis.call('HSET', KEYS[1], 'id', ARGV[2], 'busy', '', 'ttl', ARGV[3], 'beat', now_ms())
  redis.call('PEXPIRE', KEYS[1], ARGV[3]) return 2 end
return 0""")
# The requests nobody will serve, taken with the name (only while the name is ours or gone).
_DRAIN = _Script("""
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind ~= 'none' then
  if kind ~= 'hash' or redis.call('HGET', KEYS[1], 'id') ~= ARGV[1] then return {} end
  redis.call('DEL', KEYS[1])
end
local rest = redis.call('LRANGE', KEYS[2], 0, -1)
redis.call('DEL', KEYS[2])
return rest""")
# A call joins the queue only while the name holds a function; otherwise the caller's own reply
# list gets the error code, so its blocking pop in the same round trip returns at once.
_CALL = _Script("""
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind == 'hash' then
  redis.call('RPUSH', KEYS[2], ARGV[1])
  return redis.call('HGET', KEYS[1], 'id')
end
local code = '\\2'
if kind ~= 'none' then code = '\\3' end
redis.call('RPUSH', KEYS[3], code)
redis.call('PEXPIRE', KEYS[3], ARGV[2])
return false""")
# A caller's look at its call: {owner id, whether the call is in the server's hands (`busy`) or
# still queued, the server's heartbeat (ms), the age of its last beat (ms) or false}.
_LOOK = _Script(_CLOCK + """
if redis.call('TYPE', KEYS[1])['ok'] ~= 'hash' then return {false, 0, 0, false} end
local f = redis.call('HMGET', KEYS[1], 'id', 'busy', 'ttl', 'beat')
local held = 0
local busy = f[2] or ''
for i = 1, #busy, 16 do
  if string.sub(busy, i, i + 15) == ARGV[2] then held = 1 break end
end
if held == 0 and f[1] and redis.call('TYPE', KEYS[2])['ok'] == 'list'
    and redis.call('LPOS', KEYS[2], ARGV[1]) then held = 1 end
local age = false
if f[4] and tonumber(f[4]) then age = now_ms() - tonumber(f[4]) end
return {f[1], held, tonumber(f[3]) or 0, age}""")
# A queue key that is not a list (written by a client that does not know the layout) would fail
# every blocking pop of its server: the server takes the key back.
_RESET_QUEUE = _Script("""
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind ~= 'list' and kind ~= 'none' then redis.call('DEL', KEYS[1]) return 1 end
return 0""")
_SCRIPTS = (_MOVE, _REMOVE, _STOP, _CLAIM, _HEARTBEAT, _DRAIN, _CALL, _LOOK, _RESET_QUEUE)


def _query_float(query, key, default):
    values = query.pop(key, None)
    return float(values[-1]) if values else default


def connect_url(url, prefix=None, heartbeat=None, **redis_kwargs):
    """A RedisStore for a redis://, rediss:// or unix:// URL.

    The URL may carry `prefix` and `heartbeat` (seconds) as query parameters; the keywords win.
    Other keywords go to redis.Redis.from_url (timeouts, retry, pool size...).
    """
    base, _, query_text = url.partition("?")
    query = urllib.parse.parse_qs(query_text, keep_blank_values=True)
    url_prefix = query.pop("prefix", None)
    url_heartbeat = _query_float(query, "heartbeat", DEFAULT_HEARTBEAT)
    url = base + ("?" + urllib.parse.urlencode(query, doseq=True) if query else "")
    if prefix is None:
        prefix = url_prefix[-1] if url_prefix else DEFAULT_PREFIX
    redis_kwargs.setdefault("socket_timeout", 10.0)
    if not url.startswith("unix:"):  # a Unix socket connects at once or fails
        redis_kwargs.setdefault("socket_connect_timeout", 5.0)
    redis_kwargs.setdefault("retry", Retry(ExponentialBackoff(cap=0.5, base=0.02), 3))
    redis_kwargs["decode_responses"] = False
    client = redis.Redis.from_url(url, **redis_kwargs)
    return RedisStore(client, prefix, url_heartbeat if heartbeat is None else heartbeat)


class RedisStore:
    """create_memory ... remove_function on one Redis database, under a key prefix."""

    def __init__(self, client, prefix=DEFAULT_PREFIX, heartbeat=DEFAULT_HEARTBEAT):
        if not 0 < heartbeat <= MAX_HEARTBEAT:
            raise ValueError(f"heartbeat must be a positive number of seconds, at most "
                             f"{MAX_HEARTBEAT:g}")
        self.client = client
        self.prefix = prefix.encode() if isinstance(prefix, str) else bytes(prefix)
        self.heartbeat = float(heartbeat)
        self._local = threading.local()  # names this thread is updating
        timeout = client.connection_pool.connection_kwargs.get("socket_timeout")
        # A blocking pop must come back well within the socket time-out.
        self.slice = min(0.25, self.heartbeat / 4, timeout / 4 if timeout else 0.25)
        self._load_scripts()
        self._db = int(client.connection_pool.connection_kwargs.get("db") or 0)
        # A server that announces writes itself (keyspace notifications) saves every write the
        # PUBLISH of its own announcement.
        self._publish = not _keyspace_events_on(client)

    def __repr__(self):
        return f"<tidewell RedisStore {self.client!r} prefix={self.prefix!r}>"

    def close(self):
        self.client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _load_scripts(self):
        for script in _SCRIPTS:
            self.client.script_load(script.text)

    def _eval(self, script, keys, args):
        try:
            return self.client.execute_command("EVALSHA", script.sha, len(keys), *keys, *args)
        except redis.exceptions.NoScriptError:  # Redis restarted or its scripts were flushed
            self._load_scripts()
            return self.client.execute_command("EVALSHA", script.sha, len(keys), *keys, *args)

    def _name_key(self, key):
        return self.prefix + b"n:" + _escaped(key)

    def _queue_key(self, key):
        return self.prefix + b"q:" + _escaped(key)

    def _watch_channel(self, key):
        return self.prefix + b"w:" + _escaped(key)

    # --- values ---------------------------------------------------------------------------

    def create_memory(self, *args, **kwargs):
        key, name, _, error_if_exists = A.create_memory(args, kwargs)
        # Redis allocates per value: a pre-allocation has nothing to reserve.
        if self.client.set(self._name_key(key), b"", nx=True):
            if self._publish:
                self.client.publish(self._watch_channel(key), b"")
            return True
        if error_if_exists:
            raise MemoryError(f"The memory address '{name}' already exists.")
        return False

    def write_memory(self, *args, **kwargs):
        key, name, value, create = A.write_memory(args, kwargs)
        self._check_not_updating(key, name)
        data = dumps(value)
        flag = b"1" if create else b"0"
        if len(data) < LARGE_VALUE:
            # SET ... GET refuses a function's hash; the old value it returns is small, since
            # large ones go the other way.
            try:
                if self._publish:
                    # One round trip: the write and its announcement for watchers.
                    pipe = self.client.pipeline(transaction=False)
                    pipe.execute_command("SET", self._name_key(key), data, "GET",
                                         *(() if create else ("XX",)))
                    pipe.execute_command("PUBLISH", self._watch_channel(key), b"")
                    old = pipe.execute(raise_on_error=False)[0]
                    if isinstance(old, Exception):
                        raise old
                else:
                    old = self.client.execute_command(
                        "SET", self._name_key(key), data, "GET", *(() if create else ("XX",)))
            except redis.exceptions.ResponseError as exc:
                if not str(exc).startswith("WRONGTYPE"):
                    raise
                done = -1
            else:
                done = 0 if old is None and not create else 1
        else:
            tmp = self.prefix + b"t:" + os.urandom(16).hex().encode()
            pipe = self.client.pipeline(transaction=False)
            pipe.set(tmp, data, px=REPLY_TTL_MS)
            pipe.execute_command("EVALSHA", _MOVE.sha, 2, self._name_key(key), tmp, flag)
            if self._publish:
                pipe.execute_command("PUBLISH", self._watch_channel(key), b"")
            try:
                done = pipe.execute()[1]
            except redis.exceptions.NoScriptError:
                self._load_scripts()
                return self.write_memory(*args, **kwargs)
        if done == 1:
            return True
        if done == 0:
            raise MemoryError(f"Failed to open shared memory address '{name}'.")
        raise MemoryError(f"The shared memory address '{name}' holds a function, not a value.")

    def read_memory(self, *args, **kwargs):
        key, name = A.one_name("read_memory", A.READ_MEMORY, args, kwargs)
        self._check_not_updating(key, name)
        data = _get_value(self.client, self._name_key(key), name)
        if data is None:
            raise MemoryError(f"Failed to open shared memory address '{name}'.")
        return loads(data) if data else None

    def update_memory(self, *args, **kwargs):
        key, name, func, default, create = A.update_memory(args, kwargs)
        self._check_not_updating(key, name)
        name_key = self._name_key(key)
        updating = self._local.__dict__.setdefault("names", set())
        updating.add(key)
        try:
            with self.client.pipeline() as pipe:
                while True:
                    # Optimistic: if another client changes the name before ours is written, the
                    # transaction fails and func runs again on the newer value.
                    try:
                        pipe.watch(name_key)
                        data = _get_value(pipe, name_key, name)
                        if data is None and not create:
                            raise MemoryError(f"Failed to open shared memory address '{name}'.")
                        result = func(loads(data) if data else default)
                        encoded = dumps(result)
                        pipe.multi()
                        pipe.set(name_key, encoded)
                        if self._publish:
                            pipe.publish(self._watch_channel(key), b"")
                        pipe.execute()
                        return result
                    except redis.WatchError:
                        continue
        finally:
            updating.discard(key)

    def _check_not_updating(self, key, name):
        # A func of update_memory that used its own name would make its update fail for ever.
        if key in self._local.__dict__.get("names", ()):
            raise RuntimeError(
                f"The shared memory address '{name}' is already in use by this thread (a signal "
                f"handler, finalizer or callback ran while it was locked).")

    def remove_memory(self, *args, **kwargs):
        key, _, throw_error = A.remove_memory(args, kwargs)
        if self._eval(_REMOVE, (self._name_key(key), self._queue_key(key)), ()):
            if self._publish:
                self.client.publish(self._watch_channel(key), b"")
            return True
        if throw_error:
            raise MemoryError("Failed to unlink the shared memory.")
        return False

    # --- watching: pub/sub on P w:NAME, published by this store's own commits -------------

    def read_with_token(self, *args, **kwargs):
        key, name = A.one_name("read_with_token", A.READ_MEMORY, args, kwargs)
        self._check_not_updating(key, name)
        data = _get_value(self.client, self._name_key(key), name)
        if data is None:
            raise MemoryError(f"Failed to open shared memory address '{name}'.")
        return (loads(data) if data else None), data

    def wait_for_change(self, name, token, timeout=None):
        key, name = A.one_name("wait_for_change", A.READ_MEMORY, (name,), {})
        _check_token(token)
        _check_timeout(timeout)
        pubsub = self._subscribe(key)
        try:
            return self._wait(pubsub, key, name, token, timeout)
        finally:
            pubsub.close()

    def watch(self, name, timeout=None):
        key, name = A.one_name("watch", A.READ_MEMORY, (name,), {})
        _check_timeout(timeout)
        return self._watch(key, name, timeout)

    def _watch(self, key, name, timeout):
        pubsub = self._subscribe(key)
        try:
            value, token = self.read_with_token(name)
            yield value
            while True:
                try:
                    value, token = self._wait(pubsub, key, name, token, timeout)
                except FileNotFoundError:
                    return
                yield value
        finally:
            pubsub.close()

    def _subscribe(self, key):
        pubsub = self.client.pubsub()
        # The store's own announcements, and the server's when it makes them.
        keyspace = b"__keyspace@%d__:" % self._db + self._name_key(key)
        pubsub.subscribe(self._watch_channel(key), keyspace)
        # Subscribed before the first read: no commit after that read goes unannounced.
        confirmed = 0
        deadline = time.monotonic() + 10
        while confirmed < 2 and time.monotonic() < deadline:
            message = pubsub.get_message(timeout=1)
            if message is not None and message["type"] == "subscribe":
                confirmed += 1
        return pubsub

    def _wait(self, pubsub, key, name, token, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        name_key = self._name_key(key)
        while True:
            data = _get_value(self.client, name_key, name)
            if data is None:
                raise FileNotFoundError(f"The shared memory address '{name}' was removed.")
            if data != token:
                return (loads(data) if data else None), data
            left = WATCH_RECHECK_S if deadline is None else deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"'{name}' did not change within the timeout.")
            # Woken by a publish, or at the latest after WATCH_RECHECK_S to see writes of
            # clients that publish nothing; then the next message is drained the same way.
            pubsub.get_message(timeout=min(left, WATCH_RECHECK_S))

    def names(self, prefix=""):
        """The names of this store that start with `prefix`, values and functions alike, in no
        particular order: a SCAN, so a name created or removed meanwhile may or may not be
        listed. Names that are not UTF-8 (written by other clients) are left out."""
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
        try:
            wanted = prefix.encode()
        except UnicodeEncodeError:
            return []  # no name holds a lone surrogate
        head = self._name_key(b"")
        pattern = _GLOB_SPECIAL.sub(rb"\\\g<0>", self._name_key(wanted)) + b"*"
        found = set()  # SCAN may return a key twice
        for key in self.client.scan_iter(match=pattern, count=1000):
            name = _unescaped(key[len(head):])
            if name is None:
                continue
            try:
                found.add(name.decode())
            except UnicodeDecodeError:
                continue
        return list(found)

    def _take_value(self, name):
        """Removes the value `name` and returns its encoded bytes (None when there was none),
        in one command: the Mapping's pop."""
        key, name = A.one_name("_take_value", A.READ_MEMORY, (name,), {})
        try:
            return self.client.execute_command("GETDEL", self._name_key(key))
        except redis.exceptions.ResponseError as exc:
            if not str(exc).startswith("WRONGTYPE"):
                raise
            raise MemoryError(
                f"The shared memory address '{name}' holds a function, not a value.") from None

    def Mapping(self, prefix):  # noqa: N802 - the same spelling as tidewell.Mapping
        """A tidewell.Mapping of this store's values (see tidewell.Mapping)."""
        from ._mapping import Mapping

        return Mapping(prefix, store=self)

    # --- functions ------------------------------------------------------------------------

    def create_function(self, *args, **kwargs):
        key, name, func, errors = A.create_function(args, kwargs)
        return _Server(self, key, name, func, errors).run()

    def remove_function(self, *args, **kwargs):
        key, _ = A.one_name("remove_function", A.REMOVE_FUNCTION, args, kwargs)
        return bool(self._eval(_STOP, (self._name_key(key), self._queue_key(key)), ()))

    def call_function(self, *args, **kwargs):
        key, name, call_args = A.call_function(args, kwargs)
        request_id = os.urandom(16)
        request = request_id + dumps(call_args)
        name_key, queue = self._name_key(key), self._queue_key(key)
        reply_key = self.prefix + b"r:" + request_id.hex().encode()
        try:
            marker, popped = self._place(name_key, queue, reply_key, request)
            if marker is None and popped is None:  # refused, and the code went astray
                popped = R_MISSING
            accounted = time.monotonic()
            while popped is None:
                # No reply yet: is the server that took the call still the name's owner, still
                # beating, and does the call still wait in the queue or in the server's hands?
                # Only a recent heartbeat counts as a server: a hash alone proves nothing.
                owner, held, beat, alive = self._look(name_key, queue, request, request_id)
                if owner == marker and alive and held:
                    accounted = time.monotonic()
                elif owner == marker and alive and time.monotonic() - accounted < beat:
                    pass  # the server names the calls it took at its next heartbeat
                else:
                    popped = self.client.lpop(reply_key)  # a reply sent just before it ended
                    if popped is None:
                        raise _server_gone(name, marker, owner, alive)
                    break
                popped = self.client.blpop([reply_key], self.slice)
        except BaseException:
            self._withdraw(queue, reply_key, request)
            raise
        reply = popped[1] if isinstance(popped, (list, tuple)) else popped
        return _decode_reply(name, reply)

    def _place(self, name_key, queue, reply_key, request):
        """Places the call and waits one slice for its reply, in one round trip."""
        for attempt in (0, 1):
            pipe = self.client.pipeline(transaction=False)
            pipe.execute_command("EVALSHA", _CALL.sha, 3, name_key, queue, reply_key, request,
                                 REPLY_TTL_MS)
            pipe.execute_command("BLPOP", reply_key, self.slice)
            marker, popped = pipe.execute(raise_on_error=False)
            if isinstance(marker, redis.exceptions.NoScriptError) and attempt == 0:
                self._load_scripts()
                continue
            for result in (marker, popped):
                if isinstance(result, Exception):
                    raise result
            return marker, popped

    def _look(self, name_key, queue, request, request_id):
        """-> (the name's owner, whether the call is in its hands or still in its queue, how
        long the call may be in neither: the longer of both sides' heartbeats, and whether the
        owner's last heartbeat is recent)"""
        owner, held, ttl_ms, age_ms = self._eval(_LOOK, (name_key, queue), (request, request_id))
        beat = max(self.heartbeat, min(ttl_ms / 1000, MAX_HEARTBEAT))
        # One clock (the Redis server's) stamps and reads the beat; a beat from the future is
        # as good as none.
        alive = age_ms is not None and 0 <= age_ms <= beat * 1000
        return owner, bool(held), beat, alive

    def _withdraw(self, queue, reply_key, request):
        # A caller that gives up takes its call back if no server took it yet; an answer that
        # comes anyway expires with its reply list.
        try:
            self.client.lrem(queue, 1, request)
            self.client.delete(reply_key)
        except Exception:
            pass


# A watcher compares the value at least this often (writers that do not publish).
WATCH_RECHECK_S = 0.1


def _keyspace_events_on(client):
    """Whether the server publishes keyspace events for string commands and generic ones (SET,
    DEL, RENAME): notify-keyspace-events holding K and $g (or A). False when it cannot tell."""
    try:
        flags = client.config_get("notify-keyspace-events").get("notify-keyspace-events", "")
    except redis.exceptions.RedisError:
        return False
    flags = flags.decode() if isinstance(flags, bytes) else str(flags)
    return "K" in flags and ("A" in flags or ("$" in flags and "g" in flags))


def _check_timeout(timeout):
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not 0 <= timeout < float("inf")):
        raise ValueError("timeout must be None or a number of seconds >= 0.")


def _check_token(token):
    if type(token) is not bytes:
        raise ValueError("The token must be the bytes read_with_token or wait_for_change gave.")


def _get_value(client, name_key, name):
    """The stored string, or None for a missing name; a function's hash is a MemoryError."""
    try:
        return client.execute_command("GET", name_key)
    except redis.exceptions.ResponseError as exc:
        if not str(exc).startswith("WRONGTYPE"):
            raise
        raise MemoryError(
            f"The shared memory address '{name}' holds a function, not a value.") from None


def _escaped(key):
    """A name as it appears in keys: without ":", so that prefixes cannot nest."""
    return key.replace(b"%", b"%25").replace(b":", b"%3A")


def _unescaped(text):
    """The name whose key holds `text`, or None for what _escaped never writes (a key made by
    another client)."""
    name = _ESCAPE_CODE.sub(lambda m: b"%" if m.group(1) == b"25" else b":", text)
    return name if _escaped(name) == text else None


def _server_gone(name, marker, owner, alive):
    # The same server under a new epoch, or the same one that no longer has the call.
    if owner and alive and owner[:16] == marker[:16]:
        return RuntimeError(f"The call to the shared function '{name}' was lost.")
    return RuntimeError(f"The process serving the shared function '{name}' has ended.")


def _decode_reply(name, reply):
    head = reply[:1]
    if head == R_NULL:
        raise RuntimeError(NULL_FROM_FUNCTION)
    if head == R_REFUSED:
        text = reply[1:].decode("utf-8", "replace")
        raise RuntimeError(f"The shared function '{name}' could not decode its arguments: {text}")
    if head == R_MISSING:
        raise MemoryError("Failed to open the shared memory.")
    if head == R_NOT_FUNCTION:
        raise MemoryError(f"The shared memory address '{name}' does not hold a function.")
    if head == R_LOST:
        raise RuntimeError(f"The call to the shared function '{name}' was lost.")
    if head == R_ERROR:
        raise _remote_error(reply[1:])
    return loads(reply)


def _error_reply(exc):
    """The error reply for `exc`: its type name, message and traceback as text, never pickled."""
    texts = (type(exc).__qualname__, str(exc),
             "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)))
    return R_ERROR + b"\0".join(t.replace("\0", "\ufffd").encode("utf-8", "replace") for t in texts)


def _remote_error(record):
    remote_type, message, remote_traceback = (
        t.decode("utf-8", "replace") for t in (record.split(b"\0", 2) + [b"", b""])[:3])
    error = RemoteError(f"{remote_type}: {message}" if message else remote_type)
    error.remote_type, error.remote_message = remote_type, message
    error.remote_traceback = remote_traceback
    return error


class _Server:
    """One create_function on Redis: claims the name, serves requests, keeps the name alive."""

    def __init__(self, store, key, name, func, errors):
        self.store = store
        self.errors = errors
        self.client = store.client
        self.name = name
        self.func = func
        self.name_key = store._name_key(key)
        self.queue = store._queue_key(key)
        self.server_id = os.urandom(16)
        self.epoch = 0
        self.marker = self._marker()
        self.ttl_ms = max(1, int(store.heartbeat * 1000))
        self.stopping = threading.Event()
        self.lost = False
        self.pending = []  # requests taken and not answered yet
        self.seen = set()  # recent call ids: a request a client retry sent twice runs once
        self.seen_order = collections.deque()
        self.replies = []

    def _marker(self):
        return self.server_id + self.epoch.to_bytes(4, "big")

    def run(self):
        if not self.store._eval(_CLAIM, (self.name_key, self.queue), (self.marker, self.ttl_ms)):
            raise MemoryError(f"The memory address '{self.name}' already exists.")
        beat = threading.Thread(target=self._beat, name=f"tidewell heartbeat {self.name}",
                                daemon=True)
        beat.start()
        try:
            self._serve()
        finally:
            self.stopping.set()
            beat.join(self.store.heartbeat)
            self._close()
        print("read", flush=True)
        return None

    def _beat(self):
        while not self.stopping.wait(self.store.heartbeat / 4):
            next_marker = self.server_id + (self.epoch + 1).to_bytes(4, "big")
            # Pending first: a call moves from `pending` to `replies`, never back.
            held = [r[:16] for r in list(self.pending)] + [i for i, _ in list(self.replies)]
            try:
                state = self.store._eval(_HEARTBEAT, (self.name_key, self.queue),
                                         (self.marker, next_marker, self.ttl_ms, b"".join(held)))
            except redis.RedisError:
                continue  # unreachable for now; the serving loop decides when to give up
            if state == 2:
                self.epoch += 1
                self.marker = next_marker
            elif state == 0:
                self.lost = True
                return

    def _serve(self):
        failing_since = None
        use_blmpop = True
        while True:
            if self.lost:
                raise RuntimeError(f"The shared function '{self.name}' lost its name on the "
                                   f"Redis server to another owner.")
            try:
                batch = self._next_batch(use_blmpop)
            except redis.exceptions.ResponseError as exc:
                if use_blmpop and "unknown command" in str(exc).lower():
                    use_blmpop = False  # Redis before 7.0
                    continue
                if str(exc).startswith("WRONGTYPE"):
                    self.store._eval(_RESET_QUEUE, (self.queue,), ())
                    continue
                raise
            except _RETRY_ERRORS:
                now = time.monotonic()
                failing_since = failing_since or now
                if now - failing_since > RECONNECT_WINDOW:
                    raise
                time.sleep(0.1)
                continue
            failing_since = None
            self.pending.extend(batch)
            started = time.monotonic()
            while self.pending:
                request = self.pending[0]
                if len(request) < 16:  # a stop request: what is still queued gets NULL
                    return
                reply = self._answer(request)
                self.replies.append((request[:16], reply))  # before it leaves `pending`
                del self.pending[0]
                if time.monotonic() - started > 0.002:  # a slow batch: answer what is done
                    try:
                        self._flush()
                    except _RETRY_ERRORS:
                        pass  # kept for the next round trip
                    started = time.monotonic()

    def _answer(self, request):
        """The reply to one request. Raises when serving must end."""
        request_id = request[:16]
        if request_id in self.seen:
            # A caller's retried round trip placed its call again. It is not run twice; this
            # answer reaches the caller only if the first reply was lost too.
            return R_LOST
        self.seen.add(request_id)
        self.seen_order.append(request_id)
        if len(self.seen_order) > 4096:
            self.seen.discard(self.seen_order.popleft())
        try:
            args = loads(request[16:])
        except Exception as exc:
            return R_REFUSED + str(exc).encode("utf-8", "replace")
        if not isinstance(args, tuple):
            return NO_VALUE
        if self.errors == "raise":
            return dumps(self.func(*args))
        try:
            return dumps(self.func(*args))
        except Exception as exc:  # answered: the server goes on
            return _error_reply(exc)

    def _next_batch(self, use_blmpop):
        """Sends the replies made so far and waits for the next requests, in one round trip."""
        pipe = self._reply_pipeline()
        if use_blmpop:
            pipe.execute_command("BLMPOP", self.store.slice, 1, self.queue, "LEFT",
                                 "COUNT", MAX_BATCH)
        else:
            pipe.blpop([self.queue], self.store.slice)
        # A reply key of another type loses that one reply (its caller reports the call lost);
        # it does not end serving.
        popped = pipe.execute(raise_on_error=False)[-1]
        self.replies.clear()
        if isinstance(popped, Exception):
            raise popped
        if not popped:
            return ()
        return popped[1] if use_blmpop else (popped[1],)

    def _reply_pipeline(self):
        pipe = self.client.pipeline(transaction=False)
        for request_id, reply in self.replies:
            reply_key = self.store.prefix + b"r:" + request_id.hex().encode()
            pipe.rpush(reply_key, reply)
            pipe.pexpire(reply_key, REPLY_TTL_MS)
        return pipe

    def _flush(self):
        if self.replies:
            self._reply_pipeline().execute(raise_on_error=False)
            self.replies.clear()

    def _close(self):
        """Gives up the name and answers every call nobody will serve with the NULL message."""
        try:
            self._flush()
        except Exception:
            pass
        try:
            rest = self.store._eval(_DRAIN, (self.name_key, self.queue), (self.marker,))
        except Exception:
            rest = []  # the name expires with the heartbeat; its callers notice
        self.replies = [(r[:16], R_NULL) for r in [*self.pending, *rest] if len(r) >= 16]
        self.pending = []
        try:
            self._flush()
        except Exception:
            pass
