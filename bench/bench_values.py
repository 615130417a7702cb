"""Shared values against what users write by hand, measured in one run and printed as ratios
(the machine is shared and timings drift, so only ratios from one run are worth comparing).

- codec: scalar encode/decode against pickle and marshal (reached through ctypes).
- values: write and read of small values, 1 MB and 10 MB against a SharedMemory block kept open,
  pickle and a multiprocessing lock; median of interleaved rounds, ratio = tidewell / peer.
- churn (--churn): RSS and open descriptors over 100k operations on 10k distinct names.

Run:  python bench/bench_values.py [--quick] [--churn] [--only codec|values|churn]
"""
import argparse
import ctypes
import marshal
import os
import pickle
import resource
import statistics
import struct
import time
from collections import namedtuple
from multiprocessing import Lock, shared_memory

import tidewell

_lib = ctypes.PyDLL(tidewell.tidewell.__file__)
encode = _lib["from_value"]
encode.restype, encode.argtypes = ctypes.py_object, [ctypes.py_object]
decode = _lib["to_value"]
decode.restype, decode.argtypes = ctypes.py_object, [ctypes.py_object]

SCALARS = [
    0, 1, -1, 127, 255, 65535, 2**31, -(2**40), 2**100, 3.14159, -0.0, 1e300, True, False, None,
    "", "a", "hello world", "é" * 20, "x" * 200, b"", b"\x00\x01" * 8, b"z" * 500,
    bytearray(b"abc"), 1 + 2j, ...,
]


def best_of(func, repeat=7, number=None, budget=0.05):
    if number is None:
        number, start = 1, time.perf_counter()
        while time.perf_counter() - start < budget:
            func()
            number += 1
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            func()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def codec_table():
    tw_blobs = [encode(v) for v in SCALARS]
    pk_blobs = [pickle.dumps(v, 5) for v in SCALARS]
    ms_values = [v for v in SCALARS if v is not ...]
    ms_blobs = [marshal.dumps(v) for v in ms_values]
    rows = {
        "tidewell": (
            best_of(lambda: [encode(v) for v in SCALARS]),
            best_of(lambda: [decode(b) for b in tw_blobs]),
            sum(map(len, tw_blobs)),
        ),
        "pickle-5": (
            best_of(lambda: [pickle.dumps(v, 5) for v in SCALARS]),
            best_of(lambda: [pickle.loads(b) for b in pk_blobs]),
            sum(map(len, pk_blobs)),
        ),
        "marshal": (
            best_of(lambda: [marshal.dumps(v) for v in ms_values]),
            best_of(lambda: [marshal.loads(b) for b in ms_blobs]),
            sum(map(len, ms_blobs)),
        ),
    }
    base = rows["tidewell"]
    none = encode(None)
    floor = best_of(lambda: [decode(none) for _ in SCALARS])
    print(f"Scalar corpus ({len(SCALARS)} values), time per corpus; ratio = peer / tidewell")
    print(f"{'codec':10} {'encode us':>10} {'ratio':>6} {'decode us':>10} {'ratio':>6} {'bytes':>7}")
    for name, (enc, dec, size) in rows.items():
        print(f"{name:10} {enc * 1e6:10.2f} {enc / base[0]:6.2f} {dec * 1e6:10.2f} "
              f"{dec / base[1]:6.2f} {size:7d}")
    print(f"(of tidewell's times, about {floor * 1e6:.2f} us per corpus is the ctypes call itself)")


class HandMadeShared:
    """What users write by hand: a SharedMemory block kept open, a length prefix, pickle and a
    multiprocessing lock (so both sides pay for mutual exclusion between processes)."""

    def __init__(self, name, size):
        self.shm = shared_memory.SharedMemory(name=name, create=True, size=size + 8)
        self.lock = Lock()

    def write(self, value):
        data = pickle.dumps(value, 5)
        with self.lock:
            struct.pack_into("<Q", self.shm.buf, 0, len(data))
            self.shm.buf[8 : 8 + len(data)] = data

    def read(self):
        with self.lock:
            (length,) = struct.unpack_from("<Q", self.shm.buf, 0)
            return pickle.loads(self.shm.buf[8 : 8 + length])

    def close(self):
        self.shm.close()
        self.shm.unlink()


Point = namedtuple("Point", "x y")
CASES = [
    ("int", 12345),
    ("str 100", "x" * 100),
    ("record", {"host": "localhost", "port": 8080, "ratio": 0.25, "tags": ["a", "b"], "on": True}),
    ("bytes 1 MB", b"\xab" * (1 << 20)),
    ("bytes 10 MB", b"\xcd" * (10 << 20)),
]


def values_table(rounds, budget):
    tag = os.getpid()
    print(f"\nShared values, median of {rounds} interleaved rounds; ratio = tidewell / peer "
          "(peer: SharedMemory kept open + pickle + multiprocessing.Lock)")
    print(f"{'value':12} {'op':5} {'tidewell us':>12} {'peer us':>10} {'ratio':>6} {'tw GB/s':>8} "
          f"{'copy us':>8}")
    for label, value in CASES:
        name = f"tw-bench-{tag}"
        size = len(pickle.dumps(value, 5))
        tidewell.write_memory(name, value)
        hand = HandMadeShared(f"psm-bench-{tag}", size)
        hand.write(value)
        try:
            samples = {k: [] for k in ("tw w", "tw r", "pk w", "pk r", "copy")}
            view = hand.shm.buf[8 : 8 + size]
            for _ in range(rounds):
                samples["tw w"].append(best_of(lambda: tidewell.write_memory(name, value),
                                               repeat=3, budget=budget))
                samples["pk w"].append(best_of(lambda: hand.write(value), repeat=3, budget=budget))
                samples["tw r"].append(best_of(lambda: tidewell.read_memory(name), repeat=3,
                                               budget=budget))
                samples["pk r"].append(best_of(lambda: hand.read(), repeat=3, budget=budget))
                # The floor of any read: one copy of the bytes out of a shared mapping.
                samples["copy"].append(best_of(lambda: bytes(view), repeat=3, budget=budget))
            view.release()
            assert tidewell.read_memory(name) == value
            for op in ("w", "r"):
                tw = statistics.median(samples[f"tw {op}"])
                pk = statistics.median(samples[f"pk {op}"])
                rate = size / tw / 1e9 if size > 1000 else float("nan")
                copy = statistics.median(samples["copy"]) * 1e6
                print(f"{label:12} {'write' if op == 'w' else 'read':5} {tw * 1e6:12.2f} "
                      f"{pk * 1e6:10.2f} {tw / pk:6.2f} {rate:8.2f} {copy:8.2f}")
        finally:
            tidewell.remove_memory(name)
            hand.close()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)


def churn(ops=100_000, names=10_000):
    """Bounded memory and descriptors: many distinct names, each written and read in turn."""
    tag = os.getpid()
    all_names = [f"tw-churn-{tag}-{i}" for i in range(names)]
    print(f"\nChurn: {ops} operations over {names} distinct names")
    fds0, rss0 = open_fds(), rss_kb()
    start = time.perf_counter()
    try:
        for i in range(ops):
            name = all_names[((i // 2) * 7919) % names]  # written, then read
            if i % 2:
                tidewell.read_memory(name)
            else:
                tidewell.write_memory(name, i)
            if i % 20_000 == 0:
                print(f"  after {i:6d} ops: open fds {open_fds():5d}  RSS {rss_kb():7d} kB")
        elapsed = time.perf_counter() - start
        print(f"  after {ops:6d} ops: open fds {open_fds():5d}  RSS {rss_kb():7d} kB "
              f"(start: {fds0} fds, {rss0} kB); {elapsed / ops * 1e6:.2f} us per op")
    finally:
        for name in all_names:
            tidewell.remove_memory(name)
    print(f"  after removing all: open fds {open_fds():5d}  RSS {rss_kb():7d} kB")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--churn", action="store_true", help="also run the churn measurement")
    parser.add_argument("--only", choices=["codec", "values", "churn"])
    args = parser.parse_args()
    if args.only in (None, "codec"):
        codec_table()
    if args.only in (None, "values"):
        values_table(3 if args.quick else 5, 0.02 if args.quick else 0.05)
    if args.only == "churn" or (args.only is None and args.churn):
        churn()
