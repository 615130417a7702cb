"""Servers sharing one name on Redis: calls per second of a CPU-bound function (1 ms of work per
call) served by 1, then 2 (then N) processes with create_function(..., shared=True), called by a
few caller processes for a fixed time. With as many servers as free cores, the rate should grow
close to linearly.

    python bench/bench_redis_shared.py [--url redis://host:6379/0] [--servers 2] [--callers 4]
                                       [--seconds 5] [--work-ms 1]

Without --url a private redis-server (the binary must be installed) runs on a Unix socket.
"""
import argparse
import multiprocessing as mp
import os
import shutil
import subprocess
import tempfile
import time

import tidewell

CTX = mp.get_context("spawn")


def work(ms):
    """Spins for `ms` milliseconds of this process's CPU time."""
    end = time.process_time() + ms / 1000
    n = 0
    while time.process_time() < end:
        n += 1
    return n


def server(url, name):
    tidewell.connect(url).create_function(name, work, shared=True)


def caller(url, name, ms, seconds, barrier, results):
    store = tidewell.connect(url)
    store.call_function(name, (0,))
    barrier.wait()
    calls, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        store.call_function(name, (ms,))
        calls += 1
    results.put(calls)


def rate(url, name, servers, callers, seconds, ms):
    store = tidewell.connect(url)
    procs = [CTX.Process(target=server, args=(url, name), daemon=True) for _ in range(servers)]
    for proc in procs:
        proc.start()
    deadline = time.monotonic() + 20
    while True:  # every server joined: one field per server in the name's hash
        try:
            fields = store.client.hkeys(store.prefix + b"n:" + name.encode())
        except Exception:
            fields = []
        if sum(f.startswith(b"s:") for f in fields) == servers:
            break
        if time.monotonic() > deadline:
            raise SystemExit("the servers did not start")
        time.sleep(0.02)
    barrier, results = CTX.Barrier(callers + 1), CTX.Queue()
    workers = [CTX.Process(target=caller, args=(url, name, ms, seconds, barrier, results))
               for _ in range(callers)]
    for proc in workers:
        proc.start()
    barrier.wait(60)
    started, redis_started = time.monotonic(), redis_cpu(store)
    total = sum(results.get(timeout=seconds + 60) for _ in workers)
    elapsed = time.monotonic() - started
    redis_ms = (redis_cpu(store) - redis_started) * 1000 / total
    for proc in workers:
        proc.join(10)
    store.remove_function(name)
    for proc in procs:
        proc.join(10)
    store.close()
    return total / elapsed, redis_ms


def redis_cpu(store):
    info = store.client.info("cpu")
    return info["used_cpu_user"] + info["used_cpu_sys"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", help="a Redis URL; default: a private redis-server")
    parser.add_argument("--servers", type=int, default=2, help="the most servers to try")
    parser.add_argument("--callers", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--work-ms", type=float, default=1.0)
    args = parser.parse_args()
    workdir = redis_server = None
    url = args.url
    if url is None:
        binary = shutil.which("redis-server")
        if binary is None:
            raise SystemExit("redis-server not found: install it or pass --url")
        workdir = tempfile.mkdtemp(prefix="tw-bench-redis-")
        sock = os.path.join(workdir, "redis.sock")
        redis_server = subprocess.Popen([binary, "--port", "0", "--unixsocket", sock, "--save",
                                         "", "--appendonly", "no", "--dir", workdir],
                                        stdout=subprocess.DEVNULL)
        url = f"unix://{sock}"
        deadline = time.monotonic() + 10
        while not os.path.exists(sock):
            if time.monotonic() > deadline:
                raise SystemExit("redis-server did not start")
            time.sleep(0.02)
    url += ("&" if "?" in url else "?") + f"prefix=tw-bench-{os.getpid()}:"
    try:
        print(f"{args.work_ms:g} ms of CPU per call, {args.callers} callers, {os.cpu_count()} "
              f"cores")
        base = None
        for servers in range(1, args.servers + 1):
            before = os.times()
            per_s, redis_ms = rate(url, f"work-{servers}", servers, args.callers, args.seconds,
                                   args.work_ms)
            after = os.times()
            # CPU of the servers and callers (children that ended) per call, over the whole run.
            ours = (after.children_user + after.children_system - before.children_user
                    - before.children_system)
            base = base or per_s
            print(f"{servers} server(s): {per_s:7.0f} calls/s  ({per_s / base:.2f}x)  "
                  f"Redis {redis_ms:.3f} ms CPU per call; servers and callers {ours:.1f} s CPU",
                  flush=True)
    finally:
        if redis_server is not None:
            redis_server.kill()
            redis_server.wait()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
