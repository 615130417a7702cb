"""Decodes many mutated encodings and reports which exception types they end in.

    python tools/mutation_campaign.py [-n COUNT] [--seed SEED] [--check]

The encodings are those of a corpus that covers every type the codec writes (protocol 2), and
the same bytes read as protocol 1 (marker 0xFE): most protocol 2 datachars mean another type
there, which reaches the legacy decoder's steps as well. Each input gets one to four mutations
(a byte replaced, inserted or deleted, a run of bytes replaced). Damaged input may decode to a
value or fail with ValueError (UnicodeDecodeError included); MemoryError and RecursionError
only when memory or the thread's stack runs out. With --check the exit status is 1 when any
other type was seen.
"""
import argparse
import collections
import datetime
import decimal
import pathlib
import random
import re
import sys
import uuid

import tidewell

DOCUMENTED = (ValueError, MemoryError, RecursionError)

Rec = collections.namedtuple("Rec", "name tags extra")


def corpus():
    tz = datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))
    return [
        "text",
        "é" * 40,
        -(2**70),
        2**31,
        3.5,
        1 - 2j,
        b"\x00bytes",
        bytearray(b"ba"),
        [1, [2, (3, None)], {"k": {4, 5}}],
        {"cfg": {"port": 80, "debug": True, "ratio": 0.5, "name": "x" * 300}},
        (frozenset({1, 2}), collections.deque([..., False])),
        Rec("r", ["a", "b"], {"n": 1}),
        [collections.Counter("hello"), collections.OrderedDict(a=[1], b=())],
        collections.ChainMap({1: 2}, {"x": None}),
        [Rec("a", (), Rec("b", [], None))] * 2,
        datetime.datetime(2020, 1, 2, 3, 4, 5, 6),
        datetime.datetime(2020, 1, 2, 3, 4, tzinfo=tz),
        datetime.date(2021, 5, 6),
        datetime.time(7, 8, 9, 10),
        datetime.timedelta(days=-3, seconds=5, microseconds=7),
        [datetime.timedelta(days=999_999_999), datetime.timedelta(0)],
        uuid.UUID(int=12345),
        [uuid.UUID(int=2**128 - 1), uuid.UUID(int=0)],
        decimal.Decimal("-1.25E+7"),
        [decimal.Decimal("NaN"), decimal.Decimal("0.001")],
        range(1, 100, 7),
        [range(-(2**40), 2**40, 3), range(0)],
        pathlib.Path("/tmp/x"),
        pathlib.PurePath("a/b"),
        memoryview(b"mv"),
        {(1, "a"): frozenset({"k"}), 2.5: [None, ...]},
    ]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        pos = rng.randrange(1, len(data)) if len(data) > 1 else 1
        choice = rng.random()
        if choice < 0.5 and len(data) > 1:
            data[pos] = rng.randrange(256)
        elif choice < 0.7:
            data.insert(pos, rng.randrange(256))
        elif choice < 0.85 and len(data) > 2:
            del data[pos]
        else:
            run = rng.randint(1, 8)
            data[pos:pos + run] = bytes(rng.randrange(256) for _ in range(run))
    return bytes(data)


def campaign(count, seed):
    rng = random.Random(seed)
    encodings = [tidewell.dumps(value) for value in corpus()]
    encodings += [b"\xfe" + data[1:] for data in encodings]
    outcomes = collections.Counter()
    messages = collections.defaultdict(collections.Counter)
    for _ in range(count):
        data = mutate(rng, rng.choice(encodings))
        try:
            tidewell.loads(data)
        except Exception as exc:  # noqa: BLE001 - every type is counted
            outcomes[type(exc)] += 1
            # Numbers and quoted parts vary from input to input; the message's shape does not.
            shape = re.sub(r"\d+", "#", re.sub(r"'[^']*'", "'…'", str(exc)))
            messages[type(exc)][shape[:90]] += 1
        else:
            outcomes[None] += 1
    return outcomes, messages


def documented(kind):
    return kind is None or issubclass(kind, DOCUMENTED)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=200_000, help="mutated inputs (200000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (1)")
    parser.add_argument("--check", action="store_true", help="fail on undocumented types")
    args = parser.parse_args()
    outcomes, messages = campaign(args.n, args.seed)
    undocumented = [kind for kind in outcomes if not documented(kind)]
    print(f"{args.n} mutated encodings (seed {args.seed}):")
    for kind, seen in outcomes.most_common():
        name = "(a value)" if kind is None else kind.__name__
        mark = "" if documented(kind) else "   <- undocumented"
        print(f"  {name:20} {seen:8}{mark}")
        for shape, times in messages[kind].most_common(4):
            print(f"      {times:8}  {shape}")
    if args.check and undocumented:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
