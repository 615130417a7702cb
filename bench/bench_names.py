"""Many names in one process: read and write of small values with the names cycled round robin,
against the same operations on 10 names, measured in one run and printed as ratios (the machine
is shared and timings drift, so only ratios from one run are worth comparing).

For each working set the names are written once, then every round writes and reads each name in
turn, alternating with the same operations over 10 other names; the figures are medians over
rounds of the time per operation, and the ratio is against the 10 names of the same rounds. The
last columns show what the process holds into /dev/shm after each working set.

Run:  python bench/bench_names.py [--quick] [--sizes 10,1000,...] [--ops N]
"""
import argparse
import os
import secrets
import statistics
import time

import tidewell

SIZES = [10, 100, 128, 129, 200, 1_000, 10_000, 100_000]


def held_in_shm():
    """(descriptors, mappings) of this process that refer to objects in /dev/shm."""
    fds = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("/dev/shm/"):
                fds += 1
        except OSError:
            pass
    with open("/proc/self/maps") as maps:
        mappings = sum(1 for line in maps if " /dev/shm/" in line)
    return fds, mappings


def per_op(func, names, ops):
    """Seconds per operation of func(name) over `ops` operations cycling through `names`."""
    n = len(names)
    passes, rest = divmod(ops, n)
    start = time.perf_counter()
    for _ in range(passes):
        for name in names:
            func(name)
    for name in names[:rest]:
        func(name)
    return (time.perf_counter() - start) / ops


def measure(names, base, ops, rounds):
    """Median write and read times per operation over `names` and over the 10 `base` names, the
    two measured in alternation so that both see the same machine."""
    write = tidewell.write_memory
    read = tidewell.read_memory
    for name in names:
        write(name, 1)
    # One untimed pass each way, so that both start from the state the cycle keeps.
    per_op(lambda n: write(n, 2), names, len(names))
    per_op(read, names, len(names))
    times = {key: [] for key in ("w", "r", "bw", "br")}
    for _ in range(rounds):
        times["bw"].append(per_op(lambda n: write(n, 3), base, ops))
        times["w"].append(per_op(lambda n: write(n, 3), names, ops))
        times["br"].append(per_op(read, base, ops))
        times["r"].append(per_op(read, names, ops))
    return {key: statistics.median(values) for key, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer operations and rounds")
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="comma-separated working-set sizes")
    parser.add_argument("--ops", type=int, default=0,
                        help="operations per round (default: 20,000, or one pass if larger)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    rounds = 3 if args.quick else 5
    base_ops = 5_000 if args.quick else 20_000
    prefix = f"twbench-names-{os.getpid()}-{secrets.token_hex(3)}-"
    base = [f"{prefix}base-{i}" for i in range(10)]
    made = list(base)
    rows = []
    try:
        for name in base:
            tidewell.write_memory(name, 0)
        base_fds, base_maps = held_in_shm()
        for size in sizes:
            # The names of one working set are the first names of the next.
            names = [f"{prefix}{i}" for i in range(size)]
            made += names[len(made) - len(base):]
            ops = args.ops or max(base_ops, size)
            t = measure(names, base, ops, rounds)
            fds, maps = held_in_shm()
            rows.append((size, t, fds - base_fds, maps - base_maps))
    finally:
        for name in made:
            tidewell.remove_memory(name)
    print(f"{'names':>8} {'write us/op':>12} {'10 names':>9} {'ratio':>6} {'read us/op':>11}"
          f" {'10 names':>9} {'ratio':>6} {'shm fds':>8} {'mappings':>9}")
    for size, t, fds, maps in rows:
        print(f"{size:>8,} {t['w'] * 1e6:>12.2f} {t['bw'] * 1e6:>9.2f} {t['w'] / t['bw']:>6.2f}"
              f" {t['r'] * 1e6:>11.2f} {t['br'] * 1e6:>9.2f} {t['r'] / t['br']:>6.2f}"
              f" {fds:>8} {maps:>9}")
    print("shm fds, mappings: held into /dev/shm after the run, beyond the 10 names of the base")

if __name__ == "__main__":
    main()
