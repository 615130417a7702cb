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


def redis_cpu(admin):
    """Seconds of CPU the Redis server has used (user + system)."""
    info = admin.info("cpu")
    return info["used_cpu_user"] + info["used_cpu_sys"]


def paired(ours, theirs, admin, rounds=10, seconds=0.4):
    """Per operation, for each side: best wall time and best CPU time (this process plus the
    Redis server), in microseconds, over alternating rounds. The machine is shared, so CPU time
    is the steadier comparison; wall time is shown as the median ratio of neighbouring rounds."""
    number, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds / rounds / 2:
        ours()
        theirs()
        number += 1
    walls, cpus = ([], []), ([], [])
    for round_ in range(rounds):
        # Whichever runs second in a pair tends to pay for the first one's freed memory: the
        # order alternates.
        order = ((0, ours), (1, theirs)) if round_ % 2 == 0 else ((1, theirs), (0, ours))
        for side, func in order:
            r0, c0, w0 = redis_cpu(admin), time.process_time(), time.perf_counter()
            for _ in range(number):
                func()
            w1, c1, r1 = time.perf_counter(), time.process_time(), redis_cpu(admin)
            walls[side].append((w1 - w0) / number * 1e6)
            cpus[side].append(((c1 - c0) + (r1 - r0)) / number * 1e6)
    ratios = sorted(a / b for a, b in zip(*walls))
    return (min(walls[0]), min(cpus[0]), min(walls[1]), min(cpus[1]), ratios[len(ratios) // 2],
            min(cpus[0]) / min(cpus[1]))


def values(url, prefix):
    store = tidewell.connect(url, prefix=prefix)
    plain = redis.Redis.from_url(url.partition("?")[0])
    small = {"id": 12345, "name": "tidewell", "tags": ["a", "b", "c"], "score": 0.75,
             "active": True}
    rows = [{"id": i, "name": f"row-{i}", "score": i * 0.5, "flags": [i % 2 == 0, None]}
            for i in range(25000)]
    print(f"\nvalues, us per operation (records: pickle {len(pickle.dumps(rows)) >> 10} KiB, "
          f"tidewell {len(tidewell.dumps(rows)) >> 10} KiB); cpu = this process + Redis")
    print(f"{'value':9} {'op':6} {'tw wall':>9} {'tw cpu':>8} {'pk wall':>9} {'pk cpu':>8} "
          f"{'wall ratio':>10} {'cpu ratio':>9}")
    for label, value in (("small", small), ("1MB bytes", b"x" * (1 << 20)), ("1MB recs", rows)):
        name, key = "bench-v", prefix.encode() + b"plain"
        ops = [
            ("write", lambda: store.write_memory(name, value),
             lambda: plain.set(key, pickle.dumps(value))),
            ("read", lambda: store.read_memory(name), lambda: pickle.loads(plain.get(key))),
        ]
        for op, ours, theirs in ops:
            tw_wall, tw_cpu, pk_wall, pk_cpu, wall_ratio, cpu_ratio = paired(ours, theirs, plain)
            print(f"{label:9} {op:6} {tw_wall:9.1f} {tw_cpu:8.1f} {pk_wall:9.1f} {pk_cpu:8.1f} "
                  f"{wall_ratio:10.2f} {cpu_ratio:9.2f}")
        store.remove_memory(name)
        plain.delete(key)


# --- calls ----------------------------------------------------------------------------------

def echo(x):
    return x


def tidewell_server(url, name, cpu):
    start = time.process_time()
    tidewell.connect(url).create_function(name, echo)
    cpu.put(time.process_time() - start)


def tidewell_caller(url, name, calls, barrier, results):
    call = tidewell.connect(url).call_function
    for i in range(20):
        call(name, (i,))
    barrier.wait()
    start, cpu = time.perf_counter(), time.process_time()
    for i in range(calls):
        assert call(name, (i,)) == i
    results.put((time.perf_counter() - start, time.process_time() - cpu))


def plain_server(url, queue, cpu):
    start = time.process_time()
    r = redis.Redis.from_url(url)
    while True:
        _, request = r.blpop([queue])
        reply_key, args = pickle.loads(request)
        if reply_key is None:
            break
        r.rpush(reply_key, pickle.dumps(echo(*args)))
    cpu.put(time.process_time() - start)


def plain_caller(url, queue, calls, barrier, results):
    r = redis.Redis.from_url(url)
    reply_key = f"{queue}:reply:{os.getpid()}".encode()

    def call(args):
        r.rpush(queue, pickle.dumps((reply_key, args)))
        return pickle.loads(r.blpop([reply_key], 10)[1])

    for i in range(20):
        call((i,))
    barrier.wait()
    start, cpu = time.perf_counter(), time.process_time()
    for i in range(calls):
        assert call((i,)) == i
    results.put((time.perf_counter() - start, time.process_time() - cpu))


def run_calls(server, caller, url, name, callers, calls, ready, stop, admin):
    """-> (calls per second, CPU microseconds per call: callers + server + Redis)."""
    server_cpu = CTX.Queue()
    srv = CTX.Process(target=server, args=(url, name, server_cpu), daemon=True)
    srv.start()
    ready()
    redis_before = redis_cpu(admin)
    barrier, results = CTX.Barrier(callers), CTX.Queue()
    procs = [CTX.Process(target=caller, args=(url, name, calls, barrier, results))
             for _ in range(callers)]
    for p in procs:
        p.start()
    reports = [results.get(timeout=300) for _ in procs]
    redis_used = redis_cpu(admin) - redis_before
    for p in procs:
        p.join(30)
    stop()
    used = server_cpu.get(timeout=30) + redis_used + sum(cpu for _, cpu in reports)
    srv.join(10)
    total = callers * calls
    return total / max(wall for wall, _ in reports), used / total * 1e6


def calls_bench(url, prefix, calls, repeat):
    store = tidewell.connect(url)
    plain_url = url.partition("?")[0]
    plain = redis.Redis.from_url(plain_url)
    print(f"\ncalls: echo of a small int; calls per second (all callers, best of {repeat} "
          f"alternating runs); cpu = us per call of callers + server + Redis, best")
    print(f"{'callers':8} {'tw calls/s':>10} {'tw cpu':>8} {'hw calls/s':>10} {'hw cpu':>8} "
          f"{'rate ratio':>10} {'cpu ratio':>9}")
    for callers in (1, 4):
        name = f"bench-f-{callers}"
        queue = prefix + f"plain-q-{callers}"

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

        ours, theirs = [0.0, float("inf")], [0.0, float("inf")]
        for _ in range(repeat):
            for best, args in (
                (ours, (tidewell_server, tidewell_caller, url, name, callers, calls, ready,
                        lambda: store.remove_function(name))),
                (theirs, (plain_server, plain_caller, plain_url, queue, callers, calls,
                          lambda: None, lambda: plain.lpush(queue, pickle.dumps((None, ())))))):
                rate, cpu = run_calls(*args, plain)
                best[0], best[1] = max(best[0], rate), min(best[1], cpu)
        print(f"{callers:<8} {ours[0]:10.0f} {ours[1]:8.1f} {theirs[0]:10.0f} {theirs[1]:8.1f} "
              f"{ours[0] / theirs[0]:10.2f} {ours[1] / theirs[1]:9.2f}")


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
