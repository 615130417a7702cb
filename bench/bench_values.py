"""Scalar codec speed against pickle and marshal, and a shared value round trip against
multiprocessing.shared_memory + pickle done by hand. All peers are measured in the same run and
reported as ratios, because the machine is shared and timings drift.

Run:  python bench/bench_values.py
"""
import ctypes
import marshal
import os
import pickle
import statistics
import struct
import time
from multiprocessing import shared_memory

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


def best_of(func, repeat=7, number=None):
    if number is None:
        number, start = 1, time.perf_counter()
        while time.perf_counter() - start < 0.05:
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
    # The codec is reached through ctypes here, which costs a fixed amount per call.
    none = encode(None)
    floor = best_of(lambda: [decode(none) for _ in SCALARS])
    print(f"Scalar corpus ({len(SCALARS)} values), time per corpus; ratio = peer / tidewell")
    print(f"{'codec':10} {'encode us':>10} {'ratio':>6} {'decode us':>10} {'ratio':>6} {'bytes':>7}")
    for name, (enc, dec, size) in rows.items():
        print(f"{name:10} {enc * 1e6:10.2f} {enc / base[0]:6.2f} {dec * 1e6:10.2f} "
              f"{dec / base[1]:6.2f} {size:7d}")
    print(f"(of tidewell's times, about {floor * 1e6:.2f} us per corpus is the ctypes call itself)")


class HandMadeShared:
    """What users write today: a shared_memory block, a length prefix and pickle."""

    def __init__(self, name, size=4096):
        self.shm = shared_memory.SharedMemory(name=name, create=True, size=size)

    def write(self, value):
        data = pickle.dumps(value, 5)
        struct.pack_into("<Q", self.shm.buf, 0, len(data))
        self.shm.buf[8 : 8 + len(data)] = data

    def read(self):
        (length,) = struct.unpack_from("<Q", self.shm.buf, 0)
        return pickle.loads(self.shm.buf[8 : 8 + length])

    def close(self):
        self.shm.close()
        self.shm.unlink()


def shm_table():
    value = {"host": "localhost", "port": 8080, "ratio": 0.25, "tags": ["a", "b"], "on": True}
    name = f"tw-bench-{os.getpid()}"
    tidewell.write_memory(name, value)
    hand = HandMadeShared(f"psm_bench_{os.getpid()}")
    hand.write(value)
    try:
        samples = {"tidewell": [], "shared_memory+pickle": []}
        for _ in range(5):
            samples["tidewell"].append(
                best_of(lambda: (tidewell.write_memory(name, value), tidewell.read_memory(name)))
            )
            samples["shared_memory+pickle"].append(best_of(lambda: (hand.write(value), hand.read())))
        base = statistics.median(samples["tidewell"])
        print("\nwrite + read of a small dict in one process; ratio = peer / tidewell")
        for peer, times in samples.items():
            med = statistics.median(times)
            print(f"{peer:22} {med * 1e6:8.2f} us  ratio {med / base:5.2f}")
        print("(the hand-made version has no lock, no growth, no crash safety and runs pickle)")
    finally:
        tidewell.remove_memory(name)
        hand.close()


if __name__ == "__main__":
    codec_table()
    shm_table()
