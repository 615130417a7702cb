"""Waiting for a change: write-to-watcher latency of tidewell.watch against what users build by
hand, and what watching costs a write when nobody watches. One run, ratios.

- latency: a writer stores its CLOCK_MONOTONIC time, each of 1 or 8 watcher processes records
  how long after that it held the new value (p50, p99), for tidewell.watch, a
  multiprocessing.Condition notify over a SharedMemory block, a manager's Condition (same
  block), and Redis pub/sub (skipped without redis-server and redis-py). The writer paces its
  writes so that every watcher is asleep again before the next one.
- write cost: 100-byte write_memory and update_memory in this build and, with --against PYTHON,
  in another interpreter's tidewell (the main branch's build), interleaved rounds, same run.

Run:  python bench/bench_watch.py [--samples N] [--against PYTHON] [--only latency|cost]
"""
import argparse
import multiprocessing as mp
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from multiprocessing import shared_memory

import tidewell

PACE = 0.004  # seconds between writes: every watcher is back asleep by then


def now_ns():
    return time.monotonic_ns()


def percentiles(samples):
    ordered = sorted(samples)
    return (ordered[len(ordered) // 2] / 1000,
            ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] / 1000)


# --- tidewell -----------------------------------------------------------------------------------

def tw_watcher(name, count, ready, out):
    lat = []
    it = tidewell.watch(name, timeout=30)
    next(it)
    ready.release()
    for value in it:
        lat.append(now_ns() - value)
        if len(lat) == count:
            break
    it.close()
    out.put(lat)


def tw_round(watchers, count):
    name = f"bench-watch-{os.getpid()}"
    tidewell.write_memory(name, 0)
    ready, out = mp.Semaphore(0), mp.Queue()
    procs = [mp.Process(target=tw_watcher, args=(name, count, ready, out)) for _ in range(watchers)]
    for p in procs:
        p.start()
    for _ in procs:
        ready.acquire()
    time.sleep(0.05)
    for _ in range(count):
        tidewell.write_memory(name, now_ns())
        time.sleep(PACE)
    lat = [x for _ in procs for x in out.get(timeout=60)]
    for p in procs:
        p.join()
    tidewell.remove_memory(name)
    return lat


# --- multiprocessing.Condition over SharedMemory -----------------------------------------------

def cond_watcher(cond, shm_name, count, ready, out):
    shm = shared_memory.SharedMemory(shm_name)
    lat, seen = [], 0
    with cond:
        ready.release()
        while len(lat) < count:
            cond.wait(30)
            gen, stamp = struct.unpack_from("=QQ", shm.buf, 0)
            if gen != seen:
                seen = gen
                lat.append(now_ns() - stamp)
    shm.close()
    out.put(lat)


def cond_round(watchers, count, manager=None):
    cond = manager.Condition() if manager is not None else mp.Condition()
    shm = shared_memory.SharedMemory(create=True, size=16)
    ready, out = mp.Semaphore(0), mp.Queue()
    procs = [mp.Process(target=cond_watcher, args=(cond, shm.name, count, ready, out))
             for _ in range(watchers)]
    for p in procs:
        p.start()
    for _ in procs:
        ready.acquire()
    time.sleep(0.05)
    for gen in range(1, count + 1):
        with cond:
            struct.pack_into("=QQ", shm.buf, 0, gen, now_ns())
            cond.notify_all()
        time.sleep(PACE)
    lat = [x for _ in procs for x in out.get(timeout=60)]
    for p in procs:
        p.join()
    shm.close()
    shm.unlink()
    return lat


# --- Redis pub/sub -----------------------------------------------------------------------------

def redis_watcher(port, count, ready, out):
    import redis

    pubsub = redis.Redis(port=port).pubsub()
    pubsub.subscribe("bench")
    pubsub.get_message(timeout=5)  # the subscription's confirmation
    ready.release()
    lat = []
    while len(lat) < count:
        message = pubsub.get_message(timeout=30)
        if message is not None and message["type"] == "message":
            lat.append(now_ns() - int(message["data"]))
    out.put(lat)


def start_redis():
    try:
        import redis
    except ImportError:
        return None, None
    binary = shutil.which("redis-server")
    if binary is None:
        return None, None
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    work = tempfile.mkdtemp()
    server = subprocess.Popen([binary, "--port", str(port), "--save", "", "--appendonly", "no",
                               "--dir", work], stdout=subprocess.DEVNULL)
    client = redis.Redis(port=port)
    deadline = time.monotonic() + 10
    while True:
        try:
            client.ping()
            return server, port
        except redis.ConnectionError:
            if time.monotonic() > deadline:
                server.kill()
                return None, None
            time.sleep(0.05)


def redis_round(port, watchers, count):
    import redis

    client = redis.Redis(port=port)
    ready, out = mp.Semaphore(0), mp.Queue()
    procs = [mp.Process(target=redis_watcher, args=(port, count, ready, out))
             for _ in range(watchers)]
    for p in procs:
        p.start()
    for _ in procs:
        ready.acquire()
    time.sleep(0.05)
    for _ in range(count):
        client.publish("bench", now_ns())
        time.sleep(PACE)
    lat = [x for _ in procs for x in out.get(timeout=60)]
    for p in procs:
        p.join()
    return lat


def latency_table(samples):
    print(f"write-to-watcher latency, {samples} writes, microseconds (p50 / p99)")
    server, port = start_redis()
    manager = mp.Manager()
    try:
        for watchers in (1, 8):
            rows = {
                "tidewell.watch": tw_round(watchers, samples),
                "mp.Condition + SharedMemory": cond_round(watchers, samples),
                "manager Condition": cond_round(watchers, samples, manager),
            }
            if port is not None:
                rows["Redis pub/sub"] = redis_round(port, watchers, samples)
            base = percentiles(rows["mp.Condition + SharedMemory"])
            print(f"  {watchers} watcher(s)")
            for label, lat in rows.items():
                p50, p99 = percentiles(lat)
                print(f"    {label:30s} {p50:9.1f} / {p99:9.1f}   "
                      f"ratio to Condition {p50 / base[0]:5.2f} / {p99 / base[1]:5.2f}")
        if port is None:
            print("  (Redis pub/sub skipped: no redis-server or redis-py)")
    finally:
        manager.shutdown()
        if server is not None:
            server.kill()
            server.wait()


# --- write cost --------------------------------------------------------------------------------

COST = r"""
import sys, time, os, tidewell
name = f"bench-watch-cost-{os.getpid()}"
value = "x" * 97  # 100 bytes encoded
tidewell.write_memory(name, value)
def run(f, n=20000):
    start = time.perf_counter()
    for _ in range(n):
        f()
    return (time.perf_counter() - start) / n
out = []
for _ in range(int(sys.argv[1])):
    w = run(lambda: tidewell.write_memory(name, value))
    u = run(lambda: tidewell.update_memory(name, lambda v: v))
    out.append((w, u))
tidewell.remove_memory(name)
print(min(o[0] for o in out), min(o[1] for o in out))
"""


def cost_table(against, rounds=5):
    pythons = {"this build": sys.executable}
    if against:
        pythons["--against"] = against
    best = {label: [float("inf"), float("inf")] for label in pythons}
    for _ in range(rounds):  # interleaved, so drift hits both alike
        for label, python in pythons.items():
            out = subprocess.run([python, "-c", COST, "3"], capture_output=True, text=True,
                                 check=True, timeout=600).stdout.split()
            best[label] = [min(b, float(x)) for b, x in zip(best[label], out)]
    print("no-watcher write cost, 100 B, best of interleaved rounds (us)")
    for label, (w, u) in best.items():
        print(f"  {label:12s} write_memory {w * 1e6:6.3f}   update_memory {u * 1e6:6.3f}")
    if against:
        (w, u), (bw, bu) = best["this build"], best["--against"]
        print(f"  ratio this/against: write_memory {w / bw:5.3f}  update_memory {u / bu:5.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=400)
    parser.add_argument("--against", metavar="PYTHON", help="an interpreter with main's tidewell")
    parser.add_argument("--only", choices=("latency", "cost"))
    args = parser.parse_args()
    if args.only in (None, "latency"):
        latency_table(args.samples)
    if args.only in (None, "cost"):
        cost_table(args.against)


if __name__ == "__main__":
    main()
