"""What the owner check costs on the open path, measured in one run and printed as ratios.

- own: read and write of a small value this user owns (the check is one compare);
- trusted: the same on an object of another user that a trusted group shares (needs root to
  make such an object; skipped otherwise): the check's slow path, a look-up in the trusted ids.
Each row is the median of interleaved rounds; the ratio is against "own". Both make one fstat
per operation and no other system call, which strace shows:
  strace -c -f python bench/bench_owner.py --syscalls
The check itself against no check is an instruction count (callgrind), not a timing: see
docs/ARCHITECTURE.md, "Ownership".

Run:  python bench/bench_owner.py [--rounds N] [--syscalls]
"""
import argparse
import os
import statistics
import sys
import time

import tidewell

GROUP = 4242
OTHER = 65534


def per_op(func, number):
    start = time.perf_counter()
    for _ in range(number):
        func()
    return (time.perf_counter() - start) / number


def make_foreign(name):
    """An object of user OTHER shared with GROUP, mode 0o660; False when this is impossible."""
    if os.geteuid() != 0 or not hasattr(tidewell, "trust"):
        return False
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([GROUP])
            os.setgid(OTHER)
            os.setuid(OTHER)
            tidewell.trust(gids=[GROUP])
            tidewell.write_memory(name, {"k": 1}, mode=0o660)
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    return os.path.exists("/dev/shm/" + name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--syscalls", action="store_true",
                        help="only run 10000 reads of each kind, for strace -c")
    args = parser.parse_args()
    tag = f"tw-bench-owner-{os.getpid()}"
    own, foreign = tag + "-own", tag + "-foreign"
    try:
        tidewell.write_memory(own, {"k": 1})
        has_foreign = make_foreign(foreign)
        if has_foreign:
            tidewell.trust(gids=[GROUP])
        if args.syscalls:
            for name in [own] + ([foreign] if has_foreign else []):
                for _ in range(10000):
                    tidewell.read_memory(name)
            return
        rows = {
            "read own": lambda: tidewell.read_memory(own),
            "write own": lambda: tidewell.write_memory(own, {"k": 2}),
        }
        if has_foreign:
            rows["read trusted"] = lambda: tidewell.read_memory(foreign)
            rows["write trusted"] = lambda: tidewell.write_memory(foreign, {"k": 2})
        samples = {label: [] for label in rows}
        for _ in range(args.rounds):
            for label, func in rows.items():
                samples[label].append(per_op(func, args.number))
        medians = {label: statistics.median(values) for label, values in samples.items()}
        for label, value in medians.items():
            base = "write own" if label.startswith("write") else "read own"
            print(f"{label:14} {value * 1e6:8.3f} us/op   ratio to {base}: "
                  f"{value / medians[base]:5.2f}")
        if not has_foreign:
            print("trusted rows skipped: making another user's object needs root", file=sys.stderr)
    finally:
        if hasattr(tidewell, "trust"):
            tidewell.trust()
        for name in (own, foreign):
            try:
                os.unlink("/dev/shm/" + name)
            except FileNotFoundError:
                pass


if __name__ == "__main__":
    main()
