"""Shared counter increments per second: tidewell.update_memory against what users write by hand,
from 1 and 4 processes, measured in one run and printed as ratios (the machine is shared and
timings drift, so only ratios from one run are worth comparing).

Peers, each incrementing one shared int under a lock that every process takes:
- mp.Value:  multiprocessing.Value('q') with its own lock;
- manager:   a Manager().dict() under a Manager().Lock();
- hand-made: a SharedMemory block kept open, pickle and a multiprocessing.Lock.
Every run checks that the final count equals the increments the workers report (no lost update).

Run:  python bench/bench_update.py [--seconds 1.0] [--rounds 3]
"""
import argparse
import multiprocessing
import os
import pickle
import statistics
import struct
import time
from multiprocessing import shared_memory

import tidewell

CTX = multiprocessing.get_context("fork")


def increment(v):
    return v + 1


class Tidewell:
    def __init__(self):
        self.name = f"tw-bench-update-{os.getpid()}"
        tidewell.write_memory(self.name, 0)

    def step(self):
        tidewell.update_memory(self.name, increment, 0)

    def total(self):
        return tidewell.read_memory(self.name)

    def close(self):
        tidewell.remove_memory(self.name)


class MpValue:
    def __init__(self):
        self.value = CTX.Value("q", 0)

    def step(self):
        with self.value.get_lock():
            self.value.value += 1

    def total(self):
        return self.value.value

    def close(self):
        pass


class Manager:
    def __init__(self):
        self.manager = CTX.Manager()
        self.dict = self.manager.dict(n=0)
        self.lock = self.manager.Lock()

    def step(self):
        with self.lock:
            self.dict["n"] = self.dict["n"] + 1

    def total(self):
        return self.dict["n"]

    def close(self):
        self.manager.shutdown()


class HandMade:
    """A SharedMemory block kept open, a length prefix, pickle and a multiprocessing lock."""

    def __init__(self):
        self.shm = shared_memory.SharedMemory(create=True, size=64)
        self.lock = CTX.Lock()
        self._store(0)

    def _store(self, n):
        data = pickle.dumps(n, 5)
        struct.pack_into("<Q", self.shm.buf, 0, len(data))
        self.shm.buf[8 : 8 + len(data)] = data

    def step(self):
        with self.lock:
            (length,) = struct.unpack_from("<Q", self.shm.buf, 0)
            self._store(pickle.loads(self.shm.buf[8 : 8 + length]) + 1)

    def total(self):
        (length,) = struct.unpack_from("<Q", self.shm.buf, 0)
        return pickle.loads(self.shm.buf[8 : 8 + length])

    def close(self):
        self.shm.close()
        self.shm.unlink()


PEERS = {"tidewell": Tidewell, "mp.Value": MpValue, "manager": Manager, "hand-made": HandMade}


def worker(peer, start, seconds, counts, slot):
    start.wait()
    done, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        peer.step()
        done += 1
    counts[slot] = done


def rate(peer_cls, procs, seconds):
    """Increments per second of `procs` processes hammering one counter for `seconds`."""
    peer = peer_cls()
    try:
        start = CTX.Event()
        counts = CTX.Array("q", procs, lock=False)
        workers = [
            CTX.Process(target=worker, args=(peer, start, seconds, counts, i)) for i in range(procs)
        ]
        for w in workers:
            w.start()
        start.set()
        for w in workers:
            w.join(seconds + 60)
            assert w.exitcode == 0, f"{peer_cls.__name__} worker failed"
        done = sum(counts)
        total = peer.total()
        assert total == done, f"{peer_cls.__name__}: {done} increments reported, count is {total}"
        return done / seconds
    finally:
        peer.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each run")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds (median)")
    args = parser.parse_args()
    print(f"Shared counter, increments/s, median of {args.rounds} interleaved rounds of "
          f"{args.seconds:g} s on {os.cpu_count()} CPUs; ratio = tidewell / peer; "
          "every run lost no update")
    print(f"{'procs':>5} {'peer':10} {'incr/s':>10} {'ratio':>7}")
    for procs in (1, 4):
        samples = {name: [] for name in PEERS}
        for _ in range(args.rounds):
            for name, cls in PEERS.items():
                samples[name].append(rate(cls, procs, args.seconds))
        base = statistics.median(samples["tidewell"])
        for name in PEERS:
            value = statistics.median(samples[name])
            print(f"{procs:5d} {name:10} {value:10.0f} {base / value:7.2f}")


if __name__ == "__main__":
    main()
