"""Waiting for a change: write-to-watcher latency of tidewell.watch against what users build by
hand, and what watching costs a write when nobody watches. One run, ratios.

- latency: a writer stores its CLOCK_MONOTONIC time, each of 1 or 8 watcher processes records
  how long after that it held the new value (p50, p99), for tidewell.watch, a
  multiprocessing.Condition notify over a SharedMemory block, a manager's Condition (same
  block), Redis pub/sub (skipped without redis-server and redis-py), and a bare futex word
  driven through ctypes: one wake-up and nothing else, the least any watcher that sleeps can
  cost on this host. The writer paces its writes so that every watcher is asleep again before
  the next one, and takes the peers in turn, in blocks of BLOCK writes, so that the host's
  phases of load fall on all of them alike; each stamp is taken before its write begins (for a
  Condition, before its lock is taken).
- write cost: 100-byte write_memory and update_memory in this build and, with --against PYTHON,
  in another interpreter's tidewell (the main branch's build), interleaved rounds, same run.

Run:  python bench/bench_watch.py [--samples N] [--against PYTHON] [--only latency|cost]
"""
import argparse
import multiprocessing as mp
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
from multiprocessing import shared_memory

import tidewell
from tidewell._segments import remove_watch_table_when_stale

PACE = 0.004  # seconds between writes: every watcher is back asleep by then
WARM_UP, END = 0, 1  # stamps of the write that starts a block (not counted) and of the last


def now_ns():
    return time.monotonic_ns()


def percentiles(samples):
    ordered = sorted(samples)
    return (ordered[len(ordered) // 2] / 1000,
            ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] / 1000)


# --- the peers --------------------------------------------------------------------------------
# Each peer starts its watcher processes, then takes the writes interleaved_round gives it. A
# watcher runs until it sees the END stamp, so one that coalesced two writes never waits for a
# write that will not come.

def tw_watcher(name, ready, out):
    lat = []
    it = tidewell.watch(name, timeout=30)
    next(it)
    ready.release()
    for value in it:
        if value == END:
            break
        if value != WARM_UP:
            lat.append(now_ns() - value)
    it.close()
    out.put(lat)


def cond_watcher(cond, shm_name, ready, out):
    shm = shared_memory.SharedMemory(shm_name)
    lat, seen, stamp = [], 0, WARM_UP
    with cond:
        ready.release()
        while stamp != END:
            cond.wait(1)  # a notify made while this watcher was not waiting is seen within 1 s
            gen, stamp = struct.unpack_from("=QQ", shm.buf, 0)
            if gen != seen:
                seen = gen
                if stamp not in (WARM_UP, END):
                    lat.append(now_ns() - stamp)
    shm.close()
    out.put(lat)


def redis_watcher(port, ready, out):
    import redis

    pubsub = redis.Redis(port=port).pubsub()
    pubsub.subscribe("bench")
    pubsub.get_message(timeout=5)  # the subscription's confirmation
    ready.release()
    lat = []
    while True:
        message = pubsub.get_message(timeout=30)
        if message is None or message["type"] != "message":
            continue
        stamp = int(message["data"])
        if stamp == END:
            break
        if stamp != WARM_UP:
            lat.append(now_ns() - stamp)
    out.put(lat)


FUTEX_WAIT, FUTEX_WAKE = 0, 1
SYS_FUTEX = {"x86_64": 202, "aarch64": 98}.get(os.uname().machine)


def futex_syscall():
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    return ctypes, libc.syscall


def futex_watcher(shm_name, ready, out):
    """The least a sleeping watcher can do: one futex word, no lock, no encoding."""
    ctypes, syscall = futex_syscall()
    shm = shared_memory.SharedMemory(shm_name)
    word = ctypes.c_uint32.from_buffer(shm.buf)
    address = ctypes.addressof(word)
    limit = ctypes.pointer((ctypes.c_long * 2)(1, 0))
    lat, seen, stamp = [], word.value, WARM_UP
    ready.release()
    while stamp != END:
        syscall(SYS_FUTEX, ctypes.c_void_p(address), FUTEX_WAIT, seen, limit, None, 0)
        if word.value != seen:
            seen = word.value
            stamp = struct.unpack_from("=Q", shm.buf, 8)[0]
            if stamp not in (WARM_UP, END):
                lat.append(now_ns() - stamp)
    del word
    shm.close()
    out.put(lat)


class Peer:
    """Watcher processes of one peer, started together; collect() gathers their latencies."""

    def __init__(self, target, args, watchers):
        self.ready, self.out = mp.Semaphore(0), mp.Queue()
        self.procs = [mp.Process(target=target, args=(*args, self.ready, self.out), daemon=True)
                      for _ in range(watchers)]
        for p in self.procs:
            p.start()

    def wait_ready(self):
        for _ in self.procs:
            if not self.ready.acquire(timeout=60):
                raise RuntimeError("a watcher did not start")

    def collect(self):
        self.write(END)
        lat = [x for _ in self.procs for x in self.out.get(timeout=60)]
        for p in self.procs:
            p.join(timeout=60)
        self.close()
        return lat

    def close(self):
        pass


class TidewellPeer(Peer):
    def __init__(self, watchers):
        self.name = f"bench-watch-{os.getpid()}"
        tidewell.write_memory(self.name, 0)
        super().__init__(tw_watcher, (self.name,), watchers)

    def write(self, stamp):
        tidewell.write_memory(self.name, stamp)

    def close(self):
        tidewell.remove_memory(self.name)


class ConditionPeer(Peer):
    def __init__(self, watchers, manager=None):
        self.cond = manager.Condition() if manager is not None else mp.Condition()
        self.shm = shared_memory.SharedMemory(create=True, size=16)
        self.gen = 0
        super().__init__(cond_watcher, (self.cond, self.shm.name), watchers)

    def write(self, stamp):
        self.gen += 1
        with self.cond:
            struct.pack_into("=QQ", self.shm.buf, 0, self.gen, stamp)
            self.cond.notify_all()

    def close(self):
        self.shm.close()
        self.shm.unlink()


class FutexPeer(Peer):
    def __init__(self, watchers):
        ctypes, self.syscall = futex_syscall()
        self.shm = shared_memory.SharedMemory(create=True, size=16)
        self.word = ctypes.c_uint32.from_buffer(self.shm.buf)
        self.address = ctypes.c_void_p(ctypes.addressof(self.word))
        super().__init__(futex_watcher, (self.shm.name,), watchers)

    def write(self, stamp):
        struct.pack_into("=Q", self.shm.buf, 8, stamp)
        self.word.value += 1
        self.syscall(SYS_FUTEX, self.address, FUTEX_WAKE, 1 << 30, None, None, 0)

    def close(self):
        del self.word
        self.shm.close()
        self.shm.unlink()


class RedisPeer(Peer):
    def __init__(self, watchers, port):
        import redis

        self.client = redis.Redis(port=port)
        super().__init__(redis_watcher, (port,), watchers)

    def write(self, stamp):
        self.client.publish("bench", stamp)


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


BLOCK = 20  # writes a peer takes in a row, after one write left out as its warm-up


def interleaved_round(watchers, count, manager, port):
    peers = {
        "tidewell.watch": TidewellPeer(watchers),
        "mp.Condition + SharedMemory": ConditionPeer(watchers),
        "bare futex word (ctypes)": FutexPeer(watchers),
        "manager Condition": ConditionPeer(watchers, manager),
    }
    if port is not None:
        peers["Redis pub/sub"] = RedisPeer(watchers, port)
    for peer in peers.values():
        peer.wait_ready()
    time.sleep(0.05)
    order = list(peers.values())
    for block in range(-(-count // BLOCK)):
        for k in range(len(order)):  # a turning order: no peer always follows the same one
            peer = order[(block + k) % len(order)]
            for i in range(min(BLOCK, count - block * BLOCK) + 1):
                peer.write(WARM_UP if i == 0 else now_ns())
                time.sleep(PACE)
    return {label: peer.collect() for label, peer in peers.items()}


def latency_table(samples):
    print(f"write-to-watcher latency, {samples} writes each, interleaved, microseconds "
          "(p50 / p99)")
    server, port = start_redis()
    manager = mp.Manager()
    try:
        for watchers in (1, 8):
            rows = interleaved_round(watchers, samples, manager, port)
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
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--against", metavar="PYTHON", help="an interpreter with main's tidewell")
    parser.add_argument("--only", choices=("latency", "cost"))
    args = parser.parse_args()
    table = tidewell.tidewell._watch_table_name()
    table_existed = os.path.exists(os.path.join("/dev/shm", table))
    if args.only in (None, "latency"):
        latency_table(args.samples)
    if args.only in (None, "cost"):
        cost_table(args.against)
    if not table_existed:  # the watch table this run made: removed once no watcher holds it
        remove_watch_table_when_stale(within=8)


if __name__ == "__main__":
    main()
