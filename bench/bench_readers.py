"""Write costs and parallel reads of one shared value, for this build and (with --against) an
older one, measured in the same session and printed side by side.

- writes: median time of overwriting a value of 100 B, 64 kB, 1 MB and 16 MB (bytes), and a small
  read, in µs.
- readers: N processes (1, 2, 4, 8) reading one 10,000-record value at the same time; median
  time per read of each, and its ratio to one reader alone; beside it N processes reading N
  names (no lock shared), which is what the machine's CPUs allow.

Run:  python bench/bench_readers.py [--against /path/to/old/venv/bin/python] [--quick]
"""
import argparse
import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import time
import uuid

SIZES = {"100 B": 100, "64 kB": 64 << 10, "1 MB": 1 << 20, "16 MB": 16 << 20}


def records():
    return [{"id": i, "name": f"user{i}", "score": i * 0.5, "tags": ["a", "b"], "ok": i % 2 == 0}
            for i in range(10_000)]


def time_writes(tidewell, quick):
    out = {}
    for label, size in SIZES.items():
        name = f"bench-rd-{os.getpid()}-{uuid.uuid4().hex[:6]}"
        value = b"x" * size
        tidewell.write_memory(name, value)
        tidewell.write_memory(name, value)
        rounds = 15 if size >= 1 << 20 else 2000
        if quick:
            rounds = max(5, rounds // 5)
        times = []
        for _ in range(rounds):
            t = time.perf_counter()
            tidewell.write_memory(name, value)
            times.append(time.perf_counter() - t)
        out[label] = statistics.median(times) * 1e6
        if size == 100:
            times = []
            for _ in range(rounds):
                t = time.perf_counter()
                tidewell.read_memory(name)
                times.append(time.perf_counter() - t)
            out["read 100 B"] = statistics.median(times) * 1e6
        tidewell.remove_memory(name)
    return out


def _reader(name, reads, start, results):
    import tidewell
    tidewell.read_memory(name)
    start.wait()
    times = []
    for _ in range(reads):
        t = time.perf_counter()
        tidewell.read_memory(name)
        times.append(time.perf_counter() - t)
    results.put(statistics.median(times))


def time_readers(tidewell, quick, separate=False):
    """N readers of one name, or (`separate`) of N names: what the CPUs allow without any lock."""
    names = [f"bench-rd-{os.getpid()}-{uuid.uuid4().hex[:6]}" for _ in range(8 if separate else 1)]
    for name in names:
        tidewell.write_memory(name, records())
    ctx = multiprocessing.get_context("fork")
    out = {}
    reads = 10 if quick else 30
    try:
        for n in (1, 2, 4, 8):
            start, results = ctx.Event(), ctx.Queue()
            procs = [ctx.Process(target=_reader,
                                 args=(names[i % len(names)], reads, start, results))
                     for i in range(n)]
            for p in procs:
                p.start()
            start.set()
            medians = [results.get(timeout=120) for _ in procs]
            for p in procs:
                p.join(60)
            out[n] = statistics.median(medians) * 1e3
    finally:
        for name in names:
            tidewell.remove_memory(name)
    return out


def measure(quick):
    import tidewell
    return {"writes": time_writes(tidewell, quick), "readers": time_readers(tidewell, quick),
            "separate": time_readers(tidewell, quick, separate=True)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="python of a venv with the older build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.json_only:
        print(json.dumps(measure(args.quick)))
        return
    runs = {"this": [sys.executable]}
    if args.against:
        runs = {"older": [args.against], **runs}
    found = {}
    for label, python in runs.items():
        cmd = python + [os.path.abspath(__file__), "--json-only"] + (["--quick"] if args.quick else [])
        found[label] = json.loads(subprocess.run(cmd, capture_output=True, text=True,
                                                 check=True, cwd="/").stdout)
    labels = list(found)
    print("write (median µs)    " + "  ".join(f"{lab:>10}" for lab in labels)
          + ("      ratio" if len(labels) == 2 else ""))
    for key in list(SIZES) + ["read 100 B"]:
        vals = [found[lab]["writes"][key] for lab in labels]
        ratio = f"  {vals[1] / vals[0]:9.2f}x" if len(vals) == 2 else ""
        print(f"{key:<20} " + "  ".join(f"{v:10.1f}" for v in vals) + ratio)
    print("\n10,000 records, N readers: median ms per read (ratio to 1 reader); 'apart' reads N"
          " names, one each (the CPUs' own limit)")
    for n in ("1", "2", "4", "8"):
        cells = []
        for lab in labels:
            r = found[lab]["readers"]
            cells.append(f"{lab}: {r[n]:7.2f} ({r[n] / r['1']:.2f}x)")
        apart = found[labels[-1]]["separate"]
        cells.append(f"apart: {apart[n]:7.2f} ({apart[n] / apart['1']:.2f}x)")
        print(f"  {n} readers   " + "   ".join(cells))


if __name__ == "__main__":
    main()
