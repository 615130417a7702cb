"""tidewell beside the usual ways of sharing data between processes, as a table and a chart.

One small fixed comparison, all peers measured in the same run on the same value:
- write / read of a small config dict and of a 64 KiB list of ints:
  tidewell write_memory / read_memory; multiprocessing.shared_memory + pickle + a
  multiprocessing.Lock (done by hand, as its documentation suggests); a Manager dict; and a
  local Redis over its unix socket with pickle (only if redis-server is on PATH and redis-py
  is installed).
- call: a small function served by another process: tidewell call_function, a
  multiprocessing Pipe to a server process, and Pool.apply.

Writes docs/benchmark.json, docs/benchmark.md and docs/benchmark.svg (needs matplotlib, the
bench extra) and the table between the README's benchmark markers. Rerun it after speed work
lands:

    python bench/compare.py            # about 30 s on 2 CPUs
    python bench/compare.py --quick    # fewer repeats, for a smoke test
"""
import argparse
import datetime
import functools
import json
import multiprocessing as mp
import os
import pickle
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from multiprocessing import shared_memory
from pathlib import Path

import tidewell

DOCS = Path(__file__).resolve().parent.parent / "docs"
CTX = mp.get_context("fork")
SMALL = {"port": 8080, "hosts": ["alpha", "beta", "gamma"], "ratio": 0.75, "debug": False,
         "name": "tidewell-benchmark"}
LARGE = list(range(8192))  # 64 KiB of int64 in memory; about 32 KiB encoded
PAYLOADS = {"small dict": SMALL, "64 KiB list": LARGE}


def score(word, weight):
    return {"word": word, "score": len(word) * weight}


def calibrate(func, target):
    """Calls per batch so that one batch takes about `target` seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            func()
        if time.perf_counter() - start >= target / 4:
            return max(1, number * 4)
        number *= 2


def batch(func, number):
    start = time.perf_counter()
    for _ in range(number):
        func()
    return (time.perf_counter() - start) / number


# --- values ---------------------------------------------------------------------------------

class Tidewell:
    label = "tidewell"

    def __init__(self):
        self.name = f"tw-bench-compare-{os.getpid()}"

    def write(self, value):
        tidewell.write_memory(self.name, value)

    def read(self):
        return tidewell.read_memory(self.name)

    def close(self):
        tidewell.remove_memory(self.name)


class SharedMemoryPickle:
    label = "SharedMemory + pickle + Lock"

    def __init__(self):
        self.shm = shared_memory.SharedMemory(create=True, size=1 << 20)
        self.lock = CTX.Lock()

    def write(self, value):
        data = pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
        with self.lock:
            self.shm.buf[:8] = len(data).to_bytes(8, "little")
            self.shm.buf[8:8 + len(data)] = data

    def read(self):
        with self.lock:
            size = int.from_bytes(self.shm.buf[:8], "little")
            return pickle.loads(self.shm.buf[8:8 + size])

    def close(self):
        self.shm.close()
        self.shm.unlink()


class ManagerDict:
    label = "Manager().dict()"

    def __init__(self):
        self.manager = CTX.Manager()
        self.dict = self.manager.dict()

    def write(self, value):
        self.dict["cfg"] = value

    def read(self):
        return self.dict["cfg"]

    def close(self):
        self.manager.shutdown()


class Redis:
    label = "Redis (unix socket) + pickle"

    def __init__(self):
        import redis  # noqa: PLC0415 - optional

        self.dir = tempfile.TemporaryDirectory()
        sock = os.path.join(self.dir.name, "redis.sock")
        self.server = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", sock, "--save", "", "--appendonly",
             "no", "--dir", self.dir.name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.client = redis.Redis(unix_socket_path=sock)
        deadline = time.monotonic() + 10
        while True:
            try:
                self.client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def write(self, value):
        self.client.set("cfg", pickle.dumps(value, pickle.HIGHEST_PROTOCOL))

    def read(self):
        return pickle.loads(self.client.get("cfg"))

    def close(self):
        self.client.close()
        self.server.terminate()
        self.server.wait(10)
        self.dir.cleanup()


def redis_available():
    if shutil.which("redis-server") is None:
        return False
    try:
        import redis  # noqa: F401, PLC0415
    except ImportError:
        return False
    return True


# --- calls ----------------------------------------------------------------------------------

def _tidewell_server(name):
    # Keeps the "read" line that a stopped server prints out of the report.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    tidewell.create_function(name, score)


class TidewellCall:
    label = "tidewell"

    def __init__(self):
        self.name = f"tw-bench-compare-fn-{os.getpid()}"
        self.server = CTX.Process(target=_tidewell_server, args=(self.name,), daemon=True)
        self.server.start()
        deadline = time.monotonic() + 30
        while (info := tidewell.describe(self.name)) is None or info.kind != "function":
            if time.monotonic() > deadline:
                raise TimeoutError("server did not start")
            time.sleep(0.01)

    def call(self):
        return tidewell.call_function(self.name, ("tidewell", 1.5))

    def close(self):
        tidewell.remove_function(self.name)
        self.server.join(10)


def _pipe_server(conn):
    while True:
        try:
            args = conn.recv()
        except EOFError:
            return
        conn.send(score(*args))


class PipeCall:
    label = "Pipe to a server process"

    def __init__(self):
        self.conn, child = CTX.Pipe()
        self.server = CTX.Process(target=_pipe_server, args=(child,), daemon=True)
        self.server.start()
        child.close()

    def call(self):
        self.conn.send(("tidewell", 1.5))
        return self.conn.recv()

    def close(self):
        self.conn.close()
        self.server.join(10)


class PoolApply:
    label = "Pool(1).apply"

    def __init__(self):
        self.pool = CTX.Pool(1)

    def call(self):
        return self.pool.apply(score, ("tidewell", 1.5))

    def close(self):
        self.pool.close()
        self.pool.join()


# --- run and report -------------------------------------------------------------------------

def measure(repeat, target=0.02):
    """Best seconds per call of every (operation, peer). The rounds interleave all peers, so
    that load from other processes on a shared machine falls on all of them alike; and as
    interference only ever adds time, the best batch is the steadiest figure."""
    value_classes = [Tidewell, SharedMemoryPickle, ManagerDict]
    if redis_available():
        value_classes.append(Redis)
    peers = []
    try:
        for cls in value_classes + [TidewellCall, PipeCall, PoolApply]:
            peers.append(cls())
        tasks = []  # (operation, peer, timed call, untimed preparation)
        for payload, value in PAYLOADS.items():
            for peer in peers[:len(value_classes)]:
                peer.write(value)
                assert peer.read() == value
                write = functools.partial(peer.write, value)
                tasks.append((f"write, {payload}", peer.label, write, None))
                tasks.append((f"read, {payload}", peer.label, peer.read, write))
        for peer in peers[len(value_classes):]:
            assert peer.call() == score("tidewell", 1.5)
            tasks.append(("call, small args", peer.label, peer.call, None))
        numbers = []
        for _, _, func, prepare in tasks:
            if prepare:
                prepare()
            numbers.append(calibrate(func, target))
        best = [float("inf")] * len(tasks)
        for _ in range(repeat):
            for i, (_, _, func, prepare) in enumerate(tasks):
                if prepare:
                    prepare()
                best[i] = min(best[i], batch(func, numbers[i]))
    finally:
        for peer in reversed(peers):
            peer.close()
    order = list(dict.fromkeys(op for op, *_ in tasks))
    rows = [(op, label, t) for (op, label, _, _), t in zip(tasks, best)]
    return sorted(rows, key=lambda r: order.index(r[0]))


def write_table(result, path):
    ops = list(dict.fromkeys(r["op"] for r in result["rows"]))
    peers = list(dict.fromkeys(r["peer"] for r in result["rows"]))
    cell = {(r["op"], r["peer"]): r["us"] for r in result["rows"]}
    lines = [
        "# Benchmark: tidewell beside its peers",
        "",
        f"Generated by `bench/compare.py` on {result['date']}: CPython {result['python']}, "
        f"{result['machine']}. Microseconds per operation (best batch of {result['repeat']} "
        "rounds that interleave all peers; lower is better), and in brackets the time relative to tidewell's in the same "
        "run (above 1 means slower than tidewell).",
        "",
        "| operation | " + " | ".join(peers) + " |",
        "|---|" + "---:|" * len(peers),
    ]
    for op in ops:
        base = cell.get((op, "tidewell"))
        cells = []
        for peer in peers:
            us = cell.get((op, peer))
            if us is None:
                cells.append("—")
            elif base is None or peer == "tidewell":
                cells.append(f"{us:.1f}")
            else:
                ratio = us / base
                cells.append(f"{us:.1f} ({ratio:.2g}×)" if ratio < 10 else f"{us:.1f} ({ratio:.0f}×)")
        lines.append(f"| {op} | " + " | ".join(cells) + " |")
    path.write_text("\n".join(lines) + "\n")
    return lines[4:]


def update_readme(table, result, readme=DOCS.parent / "README.md"):
    """Puts the table between the README's benchmark markers, if it has them."""
    start, end = "<!-- bench:start -->", "<!-- bench:end -->"
    text = readme.read_text()
    if start not in text or end not in text:
        return
    head, rest = text.split(start, 1)
    tail = rest.split(end, 1)[1]
    note = (f"Measured by `bench/compare.py` on {result['date']} (CPython {result['python']}, "
            f"{result['machine']}): microseconds per operation, lower is better, and the time "
            "relative to tidewell's in brackets.")
    readme.write_text(head + start + "\n" + note + "\n\n" + "\n".join(table) + "\n" + end + tail)


def write_chart(result, path):
    import matplotlib  # noqa: PLC0415 - bench-only dependency

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # noqa: PLC0415

    plt.rcParams["svg.fonttype"] = "none"
    plt.rcParams["svg.hashsalt"] = "tidewell"
    ops = list(dict.fromkeys(r["op"] for r in result["rows"]))
    peers = list(dict.fromkeys(r["peer"] for r in result["rows"]))
    colors = dict(zip(peers, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    # One bar per measured (operation, peer), grouped by operation with a gap between groups.
    y, ticks, labelled = 0.0, [], set()
    fig, ax = plt.subplots(figsize=(8, 0.28 * len(result["rows"]) + 0.35 * len(ops) + 1.8))
    for op in ops:
        group = [r for r in result["rows"] if r["op"] == op]
        ticks.append((y + (len(group) - 1) / 2, op))
        for r in group:
            label = None if r["peer"] in labelled else r["peer"]
            labelled.add(r["peer"])
            ax.barh(y, r["us"], height=0.85, color=colors[r["peer"]], label=label)
            ax.text(r["us"] * 1.04, y, f"{r['us']:.1f}", va="center", fontsize=7)
            y += 1
        y += 0.8
    ax.set_yticks([t for t, _ in ticks], [label for _, label in ticks])
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("microseconds per operation (log scale, lower is better)")
    ax.set_title(f"tidewell beside its peers (CPython {result['python']}, one host)")
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3, frameon=False)
    ax.grid(axis="x", which="major", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="5 rounds instead of 25")
    parser.add_argument("--out", type=Path, default=DOCS, help="directory for the outputs")
    args = parser.parse_args()
    repeat = 5 if args.quick else 25
    rows = measure(repeat)
    result = {
        "date": datetime.date.today().isoformat(),
        "python": platform.python_version(),
        "machine": f"{platform.machine()}, {os.cpu_count()} CPUs, {platform.system()} "
                   f"{platform.release()}",
        "repeat": repeat,
        "rows": [{"op": op, "peer": peer, "us": round(sec * 1e6, 3)} for op, peer, sec in rows],
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "benchmark.json").write_text(json.dumps(result, indent=1) + "\n")
    table = write_table(result, args.out / "benchmark.md")
    if args.out == DOCS:
        update_readme(table, result)
    print((args.out / "benchmark.md").read_text())
    try:
        write_chart(result, args.out / "benchmark.svg")
    except ImportError:
        print("matplotlib is not installed: no chart (pip install '.[bench]')", file=sys.stderr)


if __name__ == "__main__":
    main()
