"""The Redis store against plain redis-py on the same Redis server, in one run.

Values: write_memory / read_memory against SET / GET of pickle.dumps / pickle.loads, for a small
record, 1 MB of bytes (transport cost) and a list of records that pickles to 1 MB (codec cost).
Calls: call_function on an echo server against a hand-written redis-py request/reply over lists
(RPUSH of a pickled request naming a reply list, BLPOP on it; the server BLPOPs requests and
RPUSHes replies), with 1 and 4 caller processes (calls per second).

    python bench/bench_redis.py [--url redis://host:6379/0] [--calls N] [--repeat N]

Without --url a private redis-server (the binary must be installed) runs on a Unix socket.
"""
import argparse
import multiprocessing as mp
import os
import pickle
import shutil
import subprocess
import tempfile
import time

import redis

import tidewell

CTX = mp.get_context("spawn")


def paired(ours, theirs, rounds=9, seconds=0.3):
    """Microseconds per call of each, best of `rounds` alternating rounds, and the median of the
    per-round ratios (the machine is shared: a pair of neighbouring rounds sees the same load)."""
    number, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds / rounds / 2:
        ours()
        theirs()
        number += 1
    times = ([], [])
    for _ in range(rounds):
        for func, out in ((ours, times[0]), (theirs, times[1])):
            start = time.perf_counter()
            for _ in range(number):
                func()
            out.append((time.perf_counter() - start) / number * 1e6)
    ratios = sorted(a / b for a, b in zip(*times))
    return min(times[0]), min(times[1]), ratios[len(ratios) // 2]


def values(url, prefix):
    store = tidewell.connect(url, prefix=prefix)
    plain = redis.Redis.from_url(url.partition("?")[0])
    small = {"id": 12345, "name": "tidewell", "tags": ["a", "b", "c"], "score": 0.75,
             "active": True}
    rows = [{"id": i, "name": f"row-{i}", "score": i * 0.5, "flags": [i % 2 == 0, None]}
            for i in range(25000)]
    print(f"\nvalues (us per operation; pickle {len(pickle.dumps(rows)) >> 10} KiB, "
          f"tidewell {len(tidewell.dumps(rows)) >> 10} KiB for the records)")
    print(f"{'value':8} {'op':6} {'tidewell':>10} {'pickle+redis':>13} {'ratio':>7}"
          "  (ratio: median of paired rounds)")
    for label, value in (("small", small), ("1 MB b''", b"x" * (1 << 20)), ("1 MB rec", rows)):
        name, key = "bench-v", prefix.encode() + b"plain"
        ops = [
            ("write", lambda: store.write_memory(name, value),
             lambda: plain.set(key, pickle.dumps(value))),
            ("read", lambda: store.read_memory(name), lambda: pickle.loads(plain.get(key))),
        ]
        for op, ours, theirs in ops:
            a, b, ratio = paired(ours, theirs)
            print(f"{label:8} {op:6} {a:10.1f} {b:13.1f} {ratio:7.2f}")
        store.remove_memory(name)
        plain.delete(key)


# --- calls ----------------------------------------------------------------------------------

def echo(x):
    return x


def tidewell_server(url, name):
    tidewell.connect(url).create_function(name, echo)


def tidewell_caller(url, name, calls, barrier, results):
    call = tidewell.connect(url).call_function
    for i in range(20):
        call(name, (i,))
    barrier.wait()
    start = time.perf_counter()
    for i in range(calls):
        assert call(name, (i,)) == i
    results.put(time.perf_counter() - start)


def plain_server(url, queue):
    r = redis.Redis.from_url(url)
    while True:
        _, request = r.blpop([queue])
        reply_key, args = pickle.loads(request)
        if reply_key is None:
            return
        r.rpush(reply_key, pickle.dumps(echo(*args)))


def plain_caller(url, queue, calls, barrier, results):
    r = redis.Redis.from_url(url)
    reply_key = f"{queue}:reply:{os.getpid()}".encode()

    def call(args):
        r.rpush(queue, pickle.dumps((reply_key, args)))
        return pickle.loads(r.blpop([reply_key], 10)[1])

    for i in range(20):
        call((i,))
    barrier.wait()
    start = time.perf_counter()
    for i in range(calls):
        assert call((i,)) == i
    results.put(time.perf_counter() - start)


def run_calls(server, caller, url, name, callers, calls, ready):
    srv = CTX.Process(target=server, args=(url, name), daemon=True)
    srv.start()
    ready()
    barrier, results = CTX.Barrier(callers), CTX.Queue()
    procs = [CTX.Process(target=caller, args=(url, name, calls, barrier, results))
             for _ in range(callers)]
    for p in procs:
        p.start()
    wall = max(results.get(timeout=300) for _ in procs)
    for p in procs:
        p.join(30)
    return callers * calls / wall, srv


def calls_bench(url, prefix, calls, repeat):
    store = tidewell.connect(url)
    plain_url = url.partition("?")[0]
    plain = redis.Redis.from_url(plain_url)
    print(f"\ncalls (echo of a small int; calls per second, all callers together, best of "
          f"{repeat} alternating runs)")
    print(f"{'callers':8} {'tidewell':>10} {'hand-written':>13} {'ratio':>7}")
    for callers in (1, 4):
        name = f"bench-f-{callers}"

        def ready():
            deadline = time.monotonic() + 30
            while True:
                try:
                    store.call_function(name, (0,))
                    return
                except MemoryError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.02)

        best = [0.0, 0.0]
        for _ in range(repeat):
            rate, srv = run_calls(tidewell_server, tidewell_caller, url, name, callers, calls,
                                  ready)
            best[0] = max(best[0], rate)
            store.remove_function(name)
            srv.join(10)
            queue = prefix + f"plain-q-{callers}"
            rate, srv = run_calls(plain_server, plain_caller, plain_url, queue, callers, calls,
                                  lambda: None)
            best[1] = max(best[1], rate)
            plain.lpush(queue, pickle.dumps((None, ())))
            srv.join(10)
        print(f"{callers:<8} {best[0]:10.0f} {best[1]:13.0f} {best[0] / best[1]:7.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", help="a Redis URL; default: a private redis-server")
    parser.add_argument("--calls", type=int, default=2000, help="calls per caller")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each call benchmark")
    args = parser.parse_args()
    prefix = f"tw-bench-{os.getpid()}:"
    workdir = server = None
    url = args.url
    if url is None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise SystemExit("redis-server not found: install it or pass --url")
        workdir = tempfile.mkdtemp(prefix="tw-bench-redis-")
        sock = os.path.join(workdir, "redis.sock")
        server = subprocess.Popen([binary, "--port", "0", "--unixsocket", sock, "--save", "",
                                   "--appendonly", "no", "--dir", workdir],
                                  stdout=subprocess.DEVNULL)
        url = f"unix://{sock}"
        deadline = time.monotonic() + 10
        while not os.path.exists(sock):
            if time.monotonic() > deadline:
                raise SystemExit("redis-server did not start")
            time.sleep(0.02)
    try:
        print(f"Redis at {url}; hiredis parser: {redis.utils.HIREDIS_AVAILABLE}")
        values(url, prefix)
        calls_bench(url + ("&" if "?" in url else "?") + f"prefix={prefix}", prefix, args.calls,
                    args.repeat)
    finally:
        if server is not None:
            server.kill()
            server.wait()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
