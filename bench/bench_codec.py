"""Codec speed and size against pickle, marshal, msgpack and msgspec, measured in one run.

Run from the repository root after installing the module (and, optionally, msgpack/msgspec):
    python bench/bench_codec.py [--quick]
Times are the best of several repeats, per encode or decode of the whole corpus. Ratios are
peer / tidewell: above 1.00 the peer is slower or larger.
"""
import argparse
import collections
import datetime
import decimal
import marshal
import os
import pickle
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from codec_access import decode, encode  # noqa: E402

try:
    import msgpack
except ImportError:
    msgpack = None
try:
    import msgspec
except ImportError:
    msgspec = None


Sample = collections.namedtuple("Sample", ["id", "name"])


def make_corpora(rng):
    words = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "host", "port", "user", "mode"]

    def config(i):
        return {
            "name": f"service-{i}",
            "enabled": rng.random() < 0.8,
            "port": rng.randrange(1024, 65535),
            "timeout": round(rng.uniform(0.1, 30.0), 3),
            "retries": rng.randrange(10),
            "tags": rng.sample(words, 3),
            "limits": {"cpu": rng.uniform(0, 4), "mem": rng.randrange(1 << 20, 1 << 32)},
            "env": {w: f"{w}-{rng.randrange(100)}" for w in rng.sample(words, 4)},
        }

    def record(i):
        return {
            "id": i,
            "name": "".join(rng.choice("abcdefghij") for _ in range(12)),
            "email": f"user{i}@example.com",
            "score": rng.random() * 100,
            "active": rng.random() < 0.5,
            "tags": [rng.choice(words) for _ in range(rng.randrange(5))],
        }

    def tree(depth):
        if depth == 0:
            return rng.choice([1, 2.5, "leaf", None, True])
        return {
            "children": [tree(depth - 1) for _ in range(3)],
            "meta": (depth, f"level-{depth}"),
        }

    start = datetime.datetime(2024, 1, 1, 12, 0, 0)
    timed = [
        {
            "at": start + datetime.timedelta(seconds=17 * i, microseconds=i),
            "day": (start + datetime.timedelta(days=i)).date(),
            "amount": decimal.Decimal(rng.randrange(10**8)) / 100,
            "fee": decimal.Decimal("0.25"),
            "ref": i,
        }
        for i in range(500)
    ]
    scalars = [rng.randrange(-(10**9), 10**9) for _ in range(4000)]
    scalars += [rng.random() for _ in range(4000)]
    scalars += [f"s{rng.randrange(10**6)}" for _ in range(2000)]
    rng.shuffle(scalars)
    return {
        "namedtuples (20k)": [Sample(i, f"n{i}") for i in range(20000)],
        "config dicts (200)": [config(i) for i in range(200)],
        "records (1000)": [record(i) for i in range(1000)],
        "nested containers": tree(6),
        "datetime+Decimal (500)": timed,
        "scalar-heavy (10k)": scalars,
    }


def best_time(func, arg, budget):
    """Best seconds per call over repeats, each repeat long enough to time reliably."""
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            func(arg)
        elapsed = time.perf_counter() - t0
        if elapsed > budget / 10 or loops >= 1 << 16:
            break
        loops *= 2
    best = elapsed / loops
    for _ in range(4):
        t0 = time.perf_counter()
        for _ in range(loops):
            func(arg)
        best = min(best, (time.perf_counter() - t0) / loops)
    return best


def peers():
    yield "tidewell", encode, decode
    yield "pickle-5", lambda v: pickle.dumps(v, protocol=5), pickle.loads
    yield "marshal", marshal.dumps, marshal.loads
    if msgpack is not None:
        yield "msgpack", msgpack.packb, lambda b: msgpack.unpackb(b, strict_map_key=False)
    if msgspec is not None:
        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        yield "msgspec", enc.encode, dec.decode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    args = parser.parse_args()
    budget = 0.05 if args.quick else 0.3
    corpora = make_corpora(random.Random(7))
    print(f"Python {sys.version.split()[0]}; ratios are peer / tidewell (> 1: peer slower/larger)")
    print("  * = decodes to a different value (e.g. tuples as lists, datetimes as str)")
    header = f"{'corpus':24} {'codec':9} {'enc µs':>9} {'dec µs':>9} {'bytes':>8}"
    header += f" {'enc x':>6} {'dec x':>6} {'size x':>6}"
    for corpus_name, value in corpora.items():
        print()
        print(header)
        base = None
        for codec, enc, dec in peers():
            try:
                data = enc(value)
                back = dec(data)
            except Exception as exc:  # a peer that cannot carry these types
                print(f"{corpus_name:24} {codec:9} {'n/a: ' + type(exc).__name__:>9}")
                continue
            lossy = "*" if back != value else " "
            t_enc = best_time(enc, value, budget)
            t_dec = best_time(dec, data, budget)
            if base is None:
                base = (t_enc, t_dec, len(data))
            print(
                f"{corpus_name:24} {codec:8}{lossy} {t_enc * 1e6:9.1f} {t_dec * 1e6:9.1f}"
                f" {len(data):8d} {t_enc / base[0]:6.2f} {t_dec / base[1]:6.2f}"
                f" {len(data) / base[2]:6.2f}"
            )


if __name__ == "__main__":
    main()
