"""tidewell.Mapping beside the shared dicts users reach for, measured in one run.

For mappings of --sizes keys (small values: a tuple (key number, counter)), each peer is timed
for a write `m[k] = v` and a read `m[k]` cycling round robin over all keys, `len(m)`, a full
iteration over the keys, and a read while another process writes random keys as fast as it can.
While that writer runs, every value read is checked: a value that is not the key's own tuple, or
a read that raises, counts as wrong. Times are microseconds per operation (len and iteration:
milliseconds per call), best of --rounds, and in brackets relative to tidewell's in the same run
(the machine is shared and timings drift: compare ratios, not runs).

Peers: multiprocessing Manager().dict(); UltraDict (PyPI ultradict); shared-memory-dict (PyPI
shared-memory-dict); a Redis hash (redis-py, pickle, on a private redis-server on loopback that
this script starts and stops); and tidewell's own Mapping on that Redis server.

A second table times tidewell alone at key counts around the size of this process's table of
open segments, where reads and writes leave the cached path.

Run:  pip install "tidewell[bench]"; python bench/bench_mapping.py [--sizes 1000 10000]
"""
import argparse
import multiprocessing
import os
import pickle
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import tidewell

CTX = multiprocessing.get_context("fork")
TAG = f"tw-bench-map-{os.getpid()}"


def keys_for(n):
    return [f"key{i}" for i in range(n)]


# ---------------------------------------------------------------------------------------------
# Peers: each makes a mapping of n keys, and opens it again in a forked writer process.


class Tidewell:
    label = "tidewell"

    def __init__(self, n, ctx):
        self.m = tidewell.Mapping(f"{TAG}-{n}")
        self.m.update({k: (i, 0) for i, k in enumerate(keys_for(n))})

    def child(self):
        return tidewell.Mapping(self.m.prefix)

    def close(self):
        self.m.clear()


class TidewellRedis:
    label = "tidewell on Redis"

    def __init__(self, n, ctx):
        self.url = f"redis://127.0.0.1:{ctx.redis_port}/0?prefix={TAG}:"
        self.store = tidewell.connect(self.url)
        self.m = self.store.Mapping(f"m{n}")
        self.m.update({k: (i, 0) for i, k in enumerate(keys_for(n))})

    def child(self):
        return tidewell.connect(self.url).Mapping(self.m.prefix)

    def close(self):
        self.m.clear()
        self.store.close()


class ManagerDict:
    label = "Manager().dict()"

    def __init__(self, n, ctx):
        self.manager = CTX.Manager()
        self.m = self.manager.dict({k: (i, 0) for i, k in enumerate(keys_for(n))})

    def child(self):
        return self.m  # the proxy, inherited through fork

    def close(self):
        self.manager.shutdown()


class Ultra:
    label = "UltraDict"

    def __init__(self, n, ctx):
        from UltraDict import UltraDict

        # A stream buffer large enough that writes seldom need a full dump (its fast case).
        self.m = UltraDict({k: (i, 0) for i, k in enumerate(keys_for(n))},
                           name=f"{TAG}-u{n}", create=True, buffer_size=4_000_000,
                           auto_unlink=False)

    def child(self):
        return self.m  # its lock is a multiprocessing lock, shared only through fork

    def close(self):
        self.m.close(unlink=True)


class SharedMemoryDictPeer:
    label = "shared-memory-dict"

    def __init__(self, n, ctx):
        from shared_memory_dict import SharedMemoryDict

        self.name, self.size = f"{TAG}-s{n}", 64 * n + 4096
        self.m = SharedMemoryDict(name=self.name, size=self.size)
        self.m.update({k: (i, 0) for i, k in enumerate(keys_for(n))})

    def child(self):
        from shared_memory_dict import SharedMemoryDict

        return SharedMemoryDict(name=self.name, size=self.size)

    def close(self):
        block = self.m.shm
        self.m.cleanup()
        block.unlink()


class RedisHash:
    """A Redis hash of pickled values: HSET, HGET, HLEN, HSCAN."""

    label = "Redis hash"

    class View:
        def __init__(self, port, key):
            import redis

            self.client = redis.Redis(host="127.0.0.1", port=port)
            self.key = key

        def __setitem__(self, k, v):
            self.client.hset(self.key, k, pickle.dumps(v))

        def __getitem__(self, k):
            data = self.client.hget(self.key, k)
            if data is None:
                raise KeyError(k)
            return pickle.loads(data)

        def __len__(self):
            return self.client.hlen(self.key)

        def __iter__(self):
            return (k.decode() for k in self.client.hkeys(self.key))

    def __init__(self, n, ctx):
        self.args = (ctx.redis_port, f"{TAG}-h{n}")
        self.m = self.View(*self.args)
        self.m.client.hset(self.args[1], mapping={
            k: pickle.dumps((i, 0)) for i, k in enumerate(keys_for(n))})

    def child(self):
        return self.View(*self.args)

    def close(self):
        self.m.client.delete(self.args[1])
        self.m.client.close()


PEERS = [Tidewell, Ultra, ManagerDict, SharedMemoryDictPeer, RedisHash, TidewellRedis]


# ---------------------------------------------------------------------------------------------
# Measurements


def per_op(run, count, seconds):
    """Microseconds per operation of run(i) for i cycling over range(count), for about
    `seconds` (at least one full cycle when that is short)."""
    done, start = 0, time.perf_counter()
    deadline = start + seconds
    while True:
        for i in range(min(count, 200)):
            run((done + i) % count)
        done += min(count, 200)
        now = time.perf_counter()
        if now >= deadline:
            return (now - start) / done * 1e6


def per_call(run, seconds):
    """Milliseconds per call of run()."""
    done, start = 0, time.perf_counter()
    while True:
        run()
        done += 1
        now = time.perf_counter()
        if now - start >= seconds and done >= 3:
            return (now - start) / done * 1e3


def writer(peer, n, ready, stop):
    m = peer.child()
    keys = keys_for(n)
    rng = random.Random(1)
    counter = 0
    ready.set()
    while not stop.is_set():
        for _ in range(50):
            i = rng.randrange(n)
            counter += 1
            m[keys[i]] = (i, counter)
    os._exit(0)


def read_while_writing(peer, n, seconds):
    """(µs per read, reads, wrong values) while a forked process writes."""
    ready, stop = CTX.Event(), CTX.Event()
    sys.stdout.flush()
    proc = CTX.Process(target=writer, args=(peer, n, ready, stop), daemon=True)
    proc.start()
    if not ready.wait(60):
        proc.kill()
        raise RuntimeError(f"{peer.label}: the writer did not start")
    m, keys = peer.m, keys_for(n)
    reads = wrong = 0
    start = time.perf_counter()
    try:
        while time.perf_counter() - start < seconds:
            for _ in range(100):
                i = reads % n
                reads += 1
                try:
                    value = m[keys[i]]
                except Exception:
                    wrong += 1
                    continue
                if type(value) is not tuple or len(value) != 2 or value[0] != i:
                    wrong += 1
        elapsed = time.perf_counter() - start
    finally:
        stop.set()
        proc.join(30)
        if proc.is_alive():
            proc.kill()
            proc.join(30)
    return elapsed / reads * 1e6, reads, wrong


def measure(peer_cls, n, ctx, seconds):
    peer = peer_cls(n, ctx)
    try:
        m, keys = peer.m, keys_for(n)
        row = {
            "write": per_op(lambda i: m.__setitem__(keys[i], (i, 1)), n, seconds),
            "read": per_op(lambda i: m[keys[i]], n, seconds),
            "len": per_call(lambda: len(m), seconds / 3),
            "iterate": per_call(lambda: [k for k in m], seconds / 3),
        }
        assert len(m) == n, f"{peer.label}: {len(m)} keys, not {n}"
        row["read, writer"], row["reads"], row["wrong"] = read_while_writing(peer, n, seconds)
        return row
    finally:
        peer.close()


class Context:
    def __init__(self, redis_port):
        self.redis_port = redis_port


class PrivateRedis:
    """redis-server on a free loopback port, without persistence, in a temporary directory."""

    def __init__(self):
        binary = shutil.which("redis-server")
        if binary is None:
            raise SystemExit("redis-server is not installed")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.dir = tempfile.mkdtemp(prefix="tw-bench-redis-")
        self.process = subprocess.Popen(
            [binary, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--dir", self.dir],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16) == b"+PONG\r\n":
                        return
            except OSError:
                pass
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.close()
                raise SystemExit("redis-server did not start")
            time.sleep(0.05)

    def close(self):
        self.process.kill()
        self.process.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


COLUMNS = [("write", "µs"), ("read", "µs"), ("len", "ms"), ("iterate", "ms"),
           ("read, writer", "µs")]


def print_table(n, results):
    labels = [cls.label for cls in PEERS if cls.label in results]
    base = results["tidewell"]
    print(f"\n### {n:,} keys\n")
    print("| operation | " + " | ".join(labels) + " |")
    print("|---|" + "---:|" * len(labels))
    for column, unit in COLUMNS:
        cells = []
        for label in labels:
            value = results[label][column]
            text = f"{value:.2f}" if value < 10 else f"{value:.1f}" if value < 1000 else f"{value:.0f}"
            if label != "tidewell":
                ratio = value / base[column]
                text += f" ({ratio:.2f}×)" if ratio < 10 else f" ({ratio:.0f}×)"
            cells.append(text)
        print(f"| {column} ({unit}) | " + " | ".join(cells) + " |")
    print("| wrong values while another process writes | " + " | ".join(
        f"{results[label]['wrong']:,} of {results[label]['reads']:,}" for label in labels) + " |")


def cliff(seconds):
    print("\n### tidewell alone, keys cycled round robin\n")
    print("| keys | write µs | read µs | read relative to 10 keys |")
    print("|---:|---:|---:|---:|")
    first = None
    for n in (10, 100, 128, 129, 200, 1000, 10000):
        m = tidewell.Mapping(f"{TAG}-c{n}")
        keys = keys_for(n)
        try:
            m.update({k: (i, 0) for i, k in enumerate(keys)})
            write = min(per_op(lambda i: m.__setitem__(keys[i], (i, 1)), n, seconds)
                        for _ in range(2))
            read = min(per_op(lambda i: m[keys[i]], n, seconds) for _ in range(2))
        finally:
            m.clear()
        first = first or read
        print(f"| {n:,} | {write:.2f} | {read:.2f} | {read / first:.1f}× |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--seconds", type=float, default=0.5, help="per measurement")
    parser.add_argument("--rounds", type=int, default=2, help="best of this many")
    parser.add_argument("--peers", nargs="+", help="labels to run (default: all)")
    args = parser.parse_args()
    redis_server = PrivateRedis()
    try:
        ctx = Context(redis_server.port)
        print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; best of {args.rounds}")
        for n in args.sizes:
            results = {}
            for _ in range(args.rounds):
                for cls in PEERS:
                    if args.peers and cls.label not in args.peers and cls is not Tidewell:
                        continue
                    row = measure(cls, n, ctx, args.seconds)
                    best = results.setdefault(cls.label, row)
                    for key, value in row.items():
                        if key in ("reads", "wrong"):
                            best[key] = best[key] + value if best is not row else value
                        else:
                            best[key] = min(best[key], value)
            print_table(n, results)
        cliff(args.seconds)
    finally:
        redis_server.close()
        left = [name for name in os.listdir("/dev/shm") if TAG in name]
        if left:
            print(f"left behind in /dev/shm: {left}", file=sys.stderr)


if __name__ == "__main__":
    main()
