"""Codec speed against pickle 5, marshal, msgpack, msgspec and orjson, measured in one run.

Run from the repository root after installing the package (peers are optional: the `bench` extra):
    python bench/bench_codec.py [--quick] [--only NAME]
Every codec goes through its plain Python call (tidewell.dumps / tidewell.loads). Times are the
best of several interleaved repeats per call, in CPU time of this process. Ratio columns are
peer time / tidewell time: above 1.00 tidewell is faster. "ok" says whether tidewell's round
trip kept every type and value; a peer whose round trip loses types or values is marked with "*"
(msgpack turns tuples into lists...). A peer that cannot encode an item shows "-". The last
lines check the speed targets of the codec against these figures.
"""
import argparse
import collections
import datetime
import decimal
import marshal
import math
import pathlib
import pickle
import random
import sys
import time
import uuid

import tidewell

try:
    import msgpack
except ImportError:
    msgpack = None
try:
    import msgspec
except ImportError:
    msgspec = None
try:
    import orjson
except ImportError:
    orjson = None

Point = collections.namedtuple("Point", "x y label")
Row = collections.namedtuple("Row", "id name score when")


def make_corpus(rng):
    words = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "host", "port", "user", "mode"]

    def record(i):
        return {
            "id": i,
            "name": "".join(rng.choice("abcdefghij") for _ in range(12)),
            "email": f"user{i}@example.com",
            "score": rng.random() * 100,
            "active": rng.random() < 0.5,
            "tags": [rng.choice(words) for _ in range(rng.randrange(5))],
        }

    utc2 = datetime.timezone(datetime.timedelta(hours=2))
    start = datetime.datetime(2024, 1, 1, 12, 0, 0)
    rich = [
        {
            "at": start + datetime.timedelta(seconds=17 * i, microseconds=i),
            "at_tz": datetime.datetime(2024, 5, 1, 8, i % 60, 3, 250, tzinfo=utc2),
            "day": (start + datetime.timedelta(days=i)).date(),
            "clock": datetime.time(i % 24, 30, 15),
            "span": datetime.timedelta(days=i, seconds=5),
            "amount": decimal.Decimal(rng.randrange(10**8)) / 100,
            "id": uuid.UUID(int=rng.getrandbits(128)),
            "path": pathlib.PurePosixPath(f"/var/data/{i}.bin"),
            "point": Point(i, -i, "p"),
            "recent": collections.deque([i, i + 1, i + 2]),
            "window": range(i, i + 10, 2),
        }
        for i in range(100)
    ]
    return {
        "one record dict": record(0),
        "1,000 record dicts": [record(i) for i in range(1000)],
        "10k small ints": [rng.randrange(-1000, 1000) for _ in range(10000)],
        "10k floats": [rng.random() * 1e6 for _ in range(10000)],
        "1k str->str dict": {f"key-{i}": f"value-{rng.randrange(10**9)}" for i in range(1000)},
        "rich types (100 rows)": rich,
        "1 MB bytes": rng.randbytes(1 << 20),
        "10k namedtuples": [Point(i, i * 0.5, "pt") for i in range(10000)],
    }


def same(a, b):
    """Equal values of the same types all the way down (namedtuples by name and fields)."""
    if isinstance(a, tuple) and hasattr(a, "_fields"):
        return (type(a).__name__ == type(b).__name__ and a._fields == getattr(b, "_fields", None)
                and all(same(x, y) for x, y in zip(a, b)))
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple, collections.deque)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, datetime.datetime):
        return a == b and a.utcoffset() == b.utcoffset() and a.fold == b.fold
    return a == b


def codecs():
    yield "tidewell", tidewell.dumps, tidewell.loads
    yield "pickle-5", lambda v: pickle.dumps(v, protocol=5), pickle.loads
    yield "marshal", marshal.dumps, marshal.loads
    if msgpack is not None:
        yield "msgpack", msgpack.packb, lambda b: msgpack.unpackb(b, strict_map_key=False)
    if msgspec is not None:
        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        yield "msgspec", enc.encode, dec.decode
    if orjson is not None:
        yield "orjson", orjson.dumps, orjson.loads


def timed(func, arg, loops):
    # CPU time of this process: on a shared machine, time spent waiting for a core is not the
    # codec's.
    t0 = time.process_time()
    for _ in range(loops):
        func(arg)
    return (time.process_time() - t0) / loops


def calibrate(func, arg, budget):
    loops = 1
    while loops < 1 << 16:
        if timed(func, arg, loops) * loops > budget:
            break
        loops *= 2
    return loops


def measure(jobs, budget, rounds):
    """Best time per job; the rounds interleave all jobs so that noise hits every codec alike."""
    loops = [calibrate(func, arg, budget) for func, arg in jobs]
    best = [math.inf] * len(jobs)
    for _ in range(rounds):
        for i, (func, arg) in enumerate(jobs):
            best[i] = min(best[i], timed(func, arg, loops[i]))
    return best


def geomean(values):
    values = [v for v in values if v is not None]
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    parser.add_argument("--only", help="run the items whose name contains this text")
    args = parser.parse_args()
    # Many short rounds: on a busy machine the best of many short samples is the steadiest.
    budget, rounds = (0.005, 3) if args.quick else (0.008, 12)
    corpus = make_corpus(random.Random(7))
    if args.only:
        corpus = {k: v for k, v in corpus.items() if args.only in k}
    names = [name for name, _, _ in codecs()]
    peers = names[1:]
    print(f"Python {sys.version.split()[0]}; ratio = peer time / tidewell time (> 1: tidewell "
          "faster); * = peer's round trip loses types or values; - = peer cannot encode it")
    head = f"{'item':22} {'ok':3} {'enc µs':>9} {'dec µs':>9} {'copy µs':>8} |"
    print(head + "".join(f" {p[:8]:>8}" for p in peers) + "   (encode, then decode)")
    ratios = {p: ([], []) for p in peers}
    by_item = {}  # item -> {peer: (encode ratio, decode ratio)}, plus "copy" for byte strings
    for item, value in corpus.items():
        cells = {}
        jobs = []
        for name, enc, dec in codecs():
            try:
                data = enc(value)
                back = dec(data)
            except Exception:  # a peer that cannot carry these types
                continue
            cells[name] = (len(jobs), same(value, back))
            jobs += [(enc, value), (dec, data)]
        if isinstance(value, bytes):
            jobs.append((lambda b: memoryview(b).tobytes(), value))  # a plain copy, the bound
        times = measure(jobs, budget, rounds)
        base, ok = cells["tidewell"]
        t_enc, t_dec = times[base], times[base + 1]
        copy = f"{times[-1] * 1e6:8.1f}" if isinstance(value, bytes) else f"{'':8}"
        by_item[item] = {}
        if isinstance(value, bytes):
            by_item[item]["copy"] = (times[-1] / t_enc, times[-1] / t_dec)
        lines = [f"{item:22} {'yes' if ok else 'NO':3} {t_enc * 1e6:9.1f} {t_dec * 1e6:9.1f} "
                 f"{copy} |", f"{'':22} {'':3} {'':9} {'':9} {'':8} |"]
        for peer in peers:
            if peer not in cells:
                lines[0] += f" {'-':>8}"
                lines[1] += f" {'-':>8}"
                continue
            at, peer_ok = cells[peer]
            mark = " " if peer_ok else "*"
            r_enc, r_dec = times[at] / t_enc, times[at + 1] / t_dec
            by_item[item][peer] = (r_enc, r_dec)
            lines[0] += f" {r_enc:7.2f}{mark}"
            lines[1] += f" {r_dec:7.2f}{mark}"
            if not isinstance(value, bytes):
                ratios[peer][0].append((r_enc, peer_ok))
                ratios[peer][1].append((r_dec, peer_ok))
        print(lines[0])
        print(lines[1])
    # Geometric means without the large bytes (a plain copy bounds both sides there): over the
    # items a peer carries faithfully, and over every item it encodes at all.
    for label, keep in [("geomean, faithful", lambda ok: ok), ("geomean, all encoded", None)]:
        for op, name in [(0, "encode"), (1, "decode")]:
            cells = ""
            for p in peers:
                values = [r for r, ok in ratios[p][op] if keep is None or keep(ok)]
                cells += f" {geomean(values) or 0:8.2f}"
            print(f"{label if op == 0 else '':22} {'':3} {'':9} {'':9} {'':8} |{cells}   {name}")
    report_targets(by_item, ratios)


def report_targets(by_item, ratios):
    """The issue's targets, each as met or not with the figure that decides it."""
    def verdict(ok):
        return "met    " if ok else "MISSED "

    print()
    for op, name, need in [(0, "encode", 2.0), (1, "decode", 1.5)]:
        items = {k: v["pickle-5"][op] for k, v in by_item.items()
                 if "pickle-5" in v and "copy" not in v}
        if items:
            worst = min(items, key=items.get)
            gm = geomean(list(items.values()))
            print(f"{verdict(gm >= need and items[worst] >= need)}{name} <= {1 / need:.2f}x "
                  f"pickle-5: geomean {1 / gm:.2f}x, worst {1 / items[worst]:.2f}x ({worst})")
    if "msgspec" in ratios:
        for op, name in [(0, "encode"), (1, "decode")]:
            gm = geomean([r for r, ok in ratios["msgspec"][op] if ok])
            if gm:
                print(f"{verdict(gm >= 1)}{name} at least as fast as msgspec (items it carries "
                      f"faithfully): geomean {1 / gm:.2f}x its time")
    for item, v in by_item.items():
        if "namedtuple" in item and "pickle-5" in v:
            r = v["pickle-5"][1]
            print(f"{verdict(r >= 0.5)}{item} decode within 2x pickle-5: {1 / r:.2f}x")
        if "copy" in v:
            enc, dec = v["copy"]
            print(f"{verdict(enc >= 1 / 1.1 and dec >= 1 / 1.1)}{item} within 1.1x a plain copy: "
                  f"encode {1 / enc:.2f}x, decode {1 / dec:.2f}x")


if __name__ == "__main__":
    main()
