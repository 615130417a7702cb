"""The seven operations on a Redis server, for processes on several hosts.

Key layout under the store's prefix P (NAME is the name's UTF-8 bytes, as the module checks and
uses it, with "%" written "%25" and ":" written "%3A"):

    P n:NAME   the name. A value is a string: tidewell-encoded bytes, or b"" when created and
               not written yet. A function is a hash {id: server id (16 bytes) + epoch
               (4 bytes), busy: ids of the calls its servers hold, ttl: its heartbeat in ms,
               beat: the Redis clock (ms) at its servers' last heartbeat} kept alive by a TTL
               heartbeat; being of another type, it refuses the value commands (WRONGTYPE).
               Servers of this store add one field per server, "s:" + its id (16 bytes):
               "<beat ms> <ttl ms> <ids of the calls it holds>", and errors: its errors=;
               shared: "1" when further servers may join; stop: "1" once all are asked to stop.
               `id` then names the serving group, which lives while any of its servers does.
    P q:NAME   requests to the function NAME: call id (16 bytes) + encoded argument tuple;
               an empty request asks a server to stop
    P r:ID     the reply list of one call, with an expiry
    P t:ID     a large value on its way to P n:NAME

What follows P holds exactly one ":" (after the key's kind), so no key of one prefix is a key of
another, even where one prefix begins with the other ("app:" and "app:n:").

Values and functions share the names, as on shared memory. Decoding is always tidewell.loads.
"""
import asyncio
import collections
import hashlib
import inspect
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
    import redis.asyncio
    from redis.asyncio.retry import Retry as AsyncRetry
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
# The Redis server's clock in ms: the one clock every client of a heartbeat agrees on. (Before
# Redis 5 a script that writes after reading the clock must replicate its effects.)
_CLOCK = """
if redis.replicate_commands then redis.replicate_commands() end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
"""
# The servers a function's hash lists: fields "s:" + server id, each "<beat> <ttl> <held ids>".
# A hash without them belongs to a server that keeps no such list: it is its own only server.
_SERVERS = _CLOCK + """
local function each_server(name)
  local all = redis.call('HGETALL', name)
  local i = -1
  return function()
    while true do
      i = i + 2
      if not all[i] then return nil end
      local field, v = all[i], all[i + 1]
      if string.sub(field, 1, 2) == 's:' then
        local a = string.find(v, ' ', 1, true)
        local b = a and string.find(v, ' ', a + 1, true)
        local at = b and tonumber(string.sub(v, 1, a - 1))
        local ttl = b and tonumber(string.sub(v, a + 1, b - 1))
        if at and ttl then return field, at, math.min(ttl, %(max_ms)d), string.sub(v, b + 1) end
        return field, 0, 0, ''
      end
    end
  end
end
local function holds(ids, id)
  for i = 1, #ids, 16 do if string.sub(ids, i, i + 15) == id then return true end end
  return false
end
-- Asks every listed server to stop: the flag for their heartbeats, one empty request each to
-- wake them. Without a list, the one empty request the server stops at.
local function stop_all(name, queue)
  local n = 0
  for _ in each_server(name) do n = n + 1 end
  if n > 0 then redis.call('HSET', name, 'stop', '1') else n = 1 end
  for _ = 1, n do redis.call('LPUSH', queue, '') end
end
""" % {"max_ms": int(MAX_HEARTBEAT * 1000)}
# Removing a function's name also stops its servers. The name of servers that share it stays
# until the last one leaves: deleted now, it would be taken again by a server yet to stop.
_REMOVE = _Script(_SERVERS + """
if redis.call('TYPE', KEYS[1])['ok'] ~= 'hash' then return redis.call('DEL', KEYS[1]) end
if redis.call('HGET', KEYS[1], 'shared') == '1' then stop_all(KEYS[1], KEYS[2]) return 1 end
redis.call('DEL', KEYS[1])
redis.call('LPUSH', KEYS[2], '')
return 1""")
_STOP = _Script(_SERVERS + """
if redis.call('TYPE', KEYS[1])['ok'] ~= 'hash' then return 0 end
stop_all(KEYS[1], KEYS[2])
return 1""")
# A server takes a free name, or joins the servers of a shared one (ARGV: its marker, ttl,
# shared "1"/"0", errors=). 1: serving; 0: the name is taken; a string: the errors= of the
# servers it would join. Requests left by an earlier, dead server's callers are dropped.
_CLAIM = _Script(_CLOCK + """
local now = now_ms()
local field = 's:' .. string.sub(ARGV[1], 1, 16)
local entry = now .. ' ' .. ARGV[2] .. ' '
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind ~= 'none' then
  if kind ~= 'hash' or ARGV[3] ~= '1' or redis.call('HGET', KEYS[1], 'shared') ~= '1'
      or redis.call('HEXISTS', KEYS[1], 'stop') == 1 then return 0 end
  local errors = redis.call('HGET', KEYS[1], 'errors') or 'raise'
  if errors ~= ARGV[4] then return errors end
  redis.call('HSET', KEYS[1], field, entry, 'beat', now)
  if redis.call('PTTL', KEYS[1]) < tonumber(ARGV[2]) then
    redis.call('PEXPIRE', KEYS[1], ARGV[2]) end
  return 1
end
redis.call('HSET', KEYS[1], 'id', ARGV[1], 'busy', '', 'ttl', ARGV[2], 'beat', now,
           'errors', ARGV[4], field, entry)
if ARGV[3] == '1' then redis.call('HSET', KEYS[1], 'shared', '1') end
redis.call('PEXPIRE', KEYS[1], ARGV[2])
redis.call('DEL', KEYS[2])
return 1""")
# One server's heartbeat (ARGV: its next marker, ttl, the ids of the calls it holds, shared,
# errors=). It renews its own entry, drops those of servers silent for twice their heartbeat and
# writes what callers read: `busy`, all servers' calls; `beat`; `ttl`, the longest heartbeat.
# 1: serving; 3: serving, and asked to stop; 2: the name had vanished with its queue (Redis lost
# its data) and is taken again under a new epoch; 0: the name belongs to someone else now.
_HEARTBEAT = _Script(_SERVERS + """
local now = now_ms()
local field = 's:' .. string.sub(ARGV[1], 1, 16)
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind == 'hash' then
  local stop = redis.call('HEXISTS', KEYS[1], 'stop') == 1
  if redis.call('HEXISTS', KEYS[1], field) == 0 then
    -- dropped while it stalled, or the name was taken again by another server of the group
    if stop then return 3 end
    if ARGV[4] ~= '1' or redis.call('HGET', KEYS[1], 'shared') ~= '1'
        or (redis.call('HGET', KEYS[1], 'errors') or 'raise') ~= ARGV[5] then return 0 end
  end
  redis.call('HSET', KEYS[1], field, now .. ' ' .. ARGV[2] .. ' ' .. ARGV[3])
  local held, ttl = {}, tonumber(ARGV[2])
  for f, at, t, ids in each_server(KEYS[1]) do
    if now - at > 2 * t and f ~= field then redis.call('HDEL', KEYS[1], f)
    else
      held[#held + 1] = ids
      if t > ttl then ttl = t end
    end
  end
  redis.call('HSET', KEYS[1], 'busy', table.concat(held), 'beat', now, 'ttl', ttl)
  redis.call('PEXPIRE', KEYS[1], ttl)
  if stop then return 3 end
  return 1
end
if kind == 'none' and redis.call('EXISTS', KEYS[2]) == 0 then
  redis.call('HSET', KEYS[1], 'id', ARGV[1], 'busy', '', 'ttl', ARGV[2], 'beat', now,
             'errors', ARGV[5], field, now .. ' ' .. ARGV[2] .. ' ')
  if ARGV[4] == '1' then redis.call('HSET', KEYS[1], 'shared', '1') end
  redis.call('PEXPIRE', KEYS[1], ARGV[2]) return 2 end
return 0""")
# A server leaves (ARGV: its id). The last one to leave takes the name, and with it the requests
# nobody will serve; while another still beats, they stay queued for it.
_LEAVE = _Script(_SERVERS + """
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind ~= 'none' then
  if kind ~= 'hash' or redis.call('HDEL', KEYS[1], 's:' .. ARGV[1]) == 0 then return {} end
  local now = now_ms()
  for _, at, t in each_server(KEYS[1]) do
    if now - at <= t then return {} end
  end
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
# A caller's look at its call (ARGV: the request, its id, the caller's heartbeat in ms): {the
# name's id; 1 if the call is in its servers' hands (`busy`) or still queued, 2 if the server
# holding it has been silent for a heartbeat, else 0; the servers' heartbeat (ms); the age of
# their last beat (ms) or false}.
_LOOK = _Script(_SERVERS + """
if redis.call('TYPE', KEYS[1])['ok'] ~= 'hash' then return {false, 0, 0, false} end
local f = redis.call('HMGET', KEYS[1], 'id', 'busy', 'ttl', 'beat')
local held = 0
if holds(f[2] or '', ARGV[2]) then held = 1 end
if held == 0 and f[1] and redis.call('TYPE', KEYS[2])['ok'] == 'list'
    and redis.call('LPOS', KEYS[2], ARGV[1]) then held = 1 end
local now = now_ms()
if held == 1 then
  for _, at, t, ids in each_server(KEYS[1]) do
    if holds(ids, ARGV[2]) and now - at > math.max(t, tonumber(ARGV[3])) then held = 2 end
  end
end
local age = false
if f[4] and tonumber(f[4]) then age = now - tonumber(f[4]) end
return {f[1], held, tonumber(f[3]) or 0, age}""")
# A queue key that is not a list (written by a client that does not know the layout) would fail
# every blocking pop of its server: the server takes the key back.
_RESET_QUEUE = _Script("""
local kind = redis.call('TYPE', KEYS[1])['ok']
if kind ~= 'list' and kind ~= 'none' then redis.call('DEL', KEYS[1]) return 1 end
return 0""")
_SCRIPTS = (_MOVE, _REMOVE, _STOP, _CLAIM, _HEARTBEAT, _LEAVE, _CALL, _LOOK, _RESET_QUEUE)


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

    def async_client():
        # The same connection for asyncio; a retry policy of redis-py's sync kind does not fit it.
        options = dict(redis_kwargs, retry=AsyncRetry(ExponentialBackoff(cap=0.5, base=0.02), 3))
        return redis.asyncio.Redis.from_url(url, **options)

    return RedisStore(client, prefix, url_heartbeat if heartbeat is None else heartbeat,
                      async_client=async_client)


class RedisStore:
    """create_memory ... remove_function on one Redis database, under a key prefix."""

    def __init__(self, client, prefix=DEFAULT_PREFIX, heartbeat=DEFAULT_HEARTBEAT, *,
                 async_client=None):
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
        # call_function_async: a redis.asyncio client per event loop, made by this callable.
        self._new_async_client = async_client or (lambda: _async_client_like(client))
        self._async_clients = {}  # event loop -> _AsyncClient

    def __repr__(self):
        return f"<tidewell RedisStore {self.client!r} prefix={self.prefix!r}>"

    def close(self):
        """Closes the connections, also those of call_function_async where it can: those of an
        event loop running now close when it ends (asyncio.run) or with `await aclose()`."""
        self.client.close()
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            in_a_loop = False  # free to run the other loops
        else:
            in_a_loop = True
        for loop, async_client in list(self._async_clients.items()):
            if loop.is_closed():
                del self._async_clients[loop]
            elif not loop.is_running() and not in_a_loop:
                del self._async_clients[loop]
                loop.run_until_complete(async_client.aclose())

    async def aclose(self):
        """close(), and the running event loop's connections at once."""
        async_client = self._async_clients.pop(asyncio.get_running_loop(), None)
        if async_client is not None:
            await async_client.aclose()
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.aclose()

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
        key, name, func, errors, shared = A.create_function(args, kwargs)
        return _Server(self, key, name, func, errors, shared).run()

    def remove_function(self, *args, **kwargs):
        key, _ = A.one_name("remove_function", A.REMOVE_FUNCTION, args, kwargs)
        return bool(self._eval(_STOP, (self._name_key(key), self._queue_key(key)), ()))

    def call_function(self, *args, **kwargs):
        call = _Call(self, args, kwargs)
        try:
            reply = call.placed(*self._place(call))
            while reply is None:
                if not call.still_served(self._eval(_LOOK, *call.look())):
                    reply = self.client.lpop(call.reply_key)  # sent just before the server ended
                    if reply is None:
                        raise call.gone
                    break
                popped = self.client.blpop([call.reply_key], self.slice)
                reply = popped[1] if popped else None
        except BaseException:
            self._withdraw(call)
            raise
        return _decode_reply(call.name, reply)

    async def call_function_async(self, *args, **kwargs):
        """call_function for asyncio: the same arguments, results and errors, awaited on this
        event loop's own connections, without a thread. Cancelling it takes back a call that no
        server took yet."""
        call = _Call(self, args, kwargs)
        client = await self._async_client()
        try:
            reply = call.placed(*await self._place_async(client, call))
            while reply is None:
                if not call.still_served(await self._eval_async(client, _LOOK, *call.look())):
                    reply = await client.lpop(call.reply_key)
                    if reply is None:
                        raise call.gone
                    break
                popped = await client.blpop([call.reply_key], self.slice)
                reply = popped[1] if popped else None
        except BaseException:
            try:
                # Shielded: a second cancellation does not leave the call queued.
                await asyncio.shield(self._withdraw_async(client, call))
            except (Exception, asyncio.CancelledError):
                pass
            raise
        return _decode_reply(call.name, reply)

    def _place(self, call):
        """Places the call and waits one slice for its reply, in one round trip."""
        for attempt in (0, 1):
            pipe = self.client.pipeline(transaction=False)
            call.placing(pipe, self.slice)
            results = pipe.execute(raise_on_error=False)
            if isinstance(results[0], redis.exceptions.NoScriptError) and attempt == 0:
                self._load_scripts()
                continue
            return _results(results)

    async def _place_async(self, client, call):
        for attempt in (0, 1):
            pipe = client.pipeline(transaction=False)
            call.placing(pipe, self.slice)
            results = await pipe.execute(raise_on_error=False)
            if isinstance(results[0], redis.exceptions.NoScriptError) and attempt == 0:
                for script in _SCRIPTS:
                    await client.script_load(script.text)
                continue
            return _results(results)

    async def _eval_async(self, client, script, keys, args):
        try:
            return await client.execute_command("EVALSHA", script.sha, len(keys), *keys, *args)
        except redis.exceptions.NoScriptError:
            for each in _SCRIPTS:
                await client.script_load(each.text)
            return await client.execute_command("EVALSHA", script.sha, len(keys), *keys, *args)

    async def _async_client(self):
        loop = asyncio.get_running_loop()
        async_client = self._async_clients.get(loop)
        if async_client is None:
            for ended in [other for other in self._async_clients if other.is_closed()]:
                del self._async_clients[ended]  # closed with its loop
            async_client = self._async_clients[loop] = _AsyncClient(self._new_async_client())
            await async_client.start()
        return async_client.client

    def _withdraw(self, call):
        # A caller that gives up takes its call back if no server took it yet; an answer that
        # comes anyway expires with its reply list.
        try:
            self.client.lrem(call.queue, 1, call.request)
            self.client.delete(call.reply_key)
        except Exception:
            pass

    async def _withdraw_async(self, client, call):
        await client.lrem(call.queue, 1, call.request)
        await client.delete(call.reply_key)


def _results(results):
    for result in results:
        if isinstance(result, Exception):
            raise result
    return results


class _Call:
    """One call: its keys and request, and what its caller has seen of the servers so far."""

    def __init__(self, store, args, kwargs):
        key, self.name, call_args = A.call_function(args, kwargs)
        self.request_id = os.urandom(16)
        self.request = self.request_id + dumps(call_args)
        self.name_key, self.queue = store._name_key(key), store._queue_key(key)
        self.reply_key = store.prefix + b"r:" + self.request_id.hex().encode()
        self.heartbeat = store.heartbeat
        self.marker = None
        self.accounted = 0.0
        self.gone = None

    def placing(self, pipe, seconds):
        """The round trip that places the call and waits `seconds` for its reply."""
        pipe.execute_command("EVALSHA", _CALL.sha, 3, self.name_key, self.queue, self.reply_key,
                             self.request, REPLY_TTL_MS)
        pipe.execute_command("BLPOP", self.reply_key, seconds)

    def placed(self, marker, popped):
        """The reply, if it came with the placing round trip."""
        self.marker, self.accounted = marker, time.monotonic()
        if marker is None and popped is None:  # refused, and the code went astray
            return R_MISSING
        return popped[1] if popped else None

    def look(self):
        """The keys and arguments of _LOOK for this call."""
        return ((self.name_key, self.queue),
                (self.request, self.request_id, int(self.heartbeat * 1000)))

    def still_served(self, look):
        """Whether the call may still be answered, from what _LOOK saw: the name still has the
        servers it was placed with, one beat recently, and the call waits in the queue or in a
        live server's hands (a server names the calls it took at its next heartbeat). Only a
        recent heartbeat counts as a server: a hash alone proves nothing. Sets `gone` if not."""
        owner, held, ttl_ms, age_ms = look
        # The call may be in nobody's list this long: the longer of both sides' heartbeats.
        beat = max(self.heartbeat, min(ttl_ms / 1000, MAX_HEARTBEAT))
        # One clock (the Redis server's) stamps and reads the beat; a beat from the future is
        # as good as none.
        alive = age_ms is not None and 0 <= age_ms <= beat * 1000
        now = time.monotonic()
        if owner == self.marker and alive and held == 1:
            self.accounted = now
            return True
        if owner == self.marker and alive and held == 0 and now - self.accounted < beat:
            return True
        # A call held by a server that fell silent went with that server.
        self.gone = _server_gone(self.name, self.marker, owner, alive and held != 2)
        return False


class _AsyncClient:
    """The redis.asyncio client of one event loop. An async generator, suspended for the
    client's life, closes it when the loop closes its async generators (asyncio.run does so
    before it closes the loop), unless aclose() came first."""

    def __init__(self, client):
        self.client = client
        self._guard = self._closed_with_loop()

    async def start(self):
        await self._guard.__anext__()

    async def aclose(self):
        await self._guard.aclose()

    async def _closed_with_loop(self):
        try:
            yield
        finally:
            close = getattr(self.client, "aclose", None) or self.client.close  # redis-py < 5
            await close()


def _async_client_like(client):
    """A redis.asyncio client to the server `client` talks to (for a store made from a client)."""
    options = client.connection_pool.connection_kwargs
    kept = {k: options[k] for k in ("host", "port", "db", "username", "password",
                                    "socket_timeout", "socket_connect_timeout") if k in options}
    if "path" in options:
        kept["unix_socket_path"] = options["path"]
    if issubclass(client.connection_pool.connection_class, redis.SSLConnection):
        kept["ssl"] = True
    return redis.asyncio.Redis(retry=AsyncRetry(ExponentialBackoff(cap=0.5, base=0.02), 3),
                               **kept)


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
    """One create_function on Redis: claims the name or joins its servers, serves requests,
    keeps the name alive."""

    def __init__(self, store, key, name, func, errors, shared):
        self.store = store
        self.errors = errors
        self.shared = shared
        # Servers that share a name take one request at a time, so that none holds requests
        # another is free to serve.
        self.batch = 1 if shared else MAX_BATCH
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
        self.stop_asked = False  # all servers of the name were asked to stop
        self.loop = None  # the event loop of a func that returns coroutines
        self.pending = []  # requests taken and not answered yet
        # Recent call ids: a request a client retry sent twice runs once (here: with servers
        # that share the name, another may pop the second copy).
        self.seen = set()
        self.seen_order = collections.deque()
        self.replies = []

    def _marker(self):
        return self.server_id + self.epoch.to_bytes(4, "big")

    def _flags(self):
        return (b"1" if self.shared else b"0", self.errors)

    def run(self):
        state = self.store._eval(_CLAIM, (self.name_key, self.queue),
                                 (self.marker, self.ttl_ms, *self._flags()))
        if isinstance(state, bytes):
            raise ValueError(f"The shared function '{self.name}' is served with "
                             f"errors='{state.decode('utf-8', 'replace')}'; serve it with the "
                             f"same errors= to share it.")
        if not state:
            raise MemoryError(f"The memory address '{self.name}' already exists.")
        beat = threading.Thread(target=self._beat, name=f"tidewell heartbeat {self.name}",
                                daemon=True)
        beat.start()
        try:
            self._serve()
        finally:
            self.stopping.set()
            beat.join(self.store.heartbeat)
            try:
                self._close()
            finally:
                if self.loop is not None:
                    _close_loop(self.loop)
        print("read", flush=True)
        return None

    def _beat(self):
        while not self.stopping.wait(self.store.heartbeat / 4):
            next_marker = self.server_id + (self.epoch + 1).to_bytes(4, "big")
            # Pending first: a call moves from `pending` to `replies`, never back.
            held = [r[:16] for r in list(self.pending)] + [i for i, _ in list(self.replies)]
            try:
                state = self.store._eval(_HEARTBEAT, (self.name_key, self.queue),
                                         (next_marker, self.ttl_ms, b"".join(held),
                                          *self._flags()))
            except redis.RedisError:
                continue  # unreachable for now; the serving loop decides when to give up
            if state == 2:
                self.epoch += 1
                self.marker = next_marker
            elif state == 3:
                self.stop_asked = True  # beating on until the call in hand is answered
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
            if self.stop_asked:
                return
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
            return dumps(self._run(args))
        try:
            return dumps(self._run(args))
        except Exception as exc:  # answered: the server goes on
            return _error_reply(exc)

    def _run(self, args):
        result = self.func(*args)
        if inspect.iscoroutine(result):  # an async def: run to its end on the server's loop
            if self.loop is None:
                self.loop = asyncio.new_event_loop()
            result = self.loop.run_until_complete(result)
        return result

    def _next_batch(self, use_blmpop):
        """Sends the replies made so far and waits for the next requests, in one round trip."""
        pipe = self._reply_pipeline()
        if use_blmpop:
            pipe.execute_command("BLMPOP", self.store.slice, 1, self.queue, "LEFT",
                                 "COUNT", self.batch)
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
        """Leaves the name and answers the calls it took, and if it was the last server every
        call nobody will serve, with the NULL message."""
        try:
            self._flush()
        except Exception:
            pass
        try:
            rest = self.store._eval(_LEAVE, (self.name_key, self.queue), (self.server_id,))
        except Exception:
            rest = []  # the name expires with the heartbeat; its callers notice
        self.replies = [(r[:16], R_NULL) for r in [*self.pending, *rest] if len(r) >= 16]
        self.pending = []
        try:
            self._flush()
        except Exception:
            pass


def _close_loop(loop):
    """Ends what a served coroutine left running on the server's loop, then closes it."""
    try:
        tasks = asyncio.all_tasks(loop)
        for task in tasks:
            task.cancel()
        if tasks:
            loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        loop.run_until_complete(loop.shutdown_asyncgens())
    finally:
        loop.close()
