"""Kill test: servers and callers SIGKILLed at random while calls go on, on either store.

Callers call `tagged(tag, i)` in a loop and check that each reply is their own; every so often a
random caller and the server are killed and replaced. At the end every surviving caller reports
its calls, crossed replies, errors by message and its longest single call (a hang shows there).

    python bench/kill_redis.py [URL] [--seconds 20] [--callers 4]

Without a URL a private redis-server runs on a Unix socket; pass "shm:" for shared memory.
"""
import argparse
import collections
import multiprocessing as mp
import os
import random
import re
import shutil
import subprocess
import tempfile
import time

import tidewell

CTX = mp.get_context("fork")


def tagged(tag, i):
    return (tag, i)


def serve(url, name):
    store = tidewell.connect(url)
    deadline = time.monotonic() + 30
    while True:
        try:
            store.create_function(name, tagged)
            return
        except MemoryError:  # the killed server's name is not free yet
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def call_until(url, name, tag, until, results):
    store = tidewell.connect(url)
    ok = crossed = 0
    errors = collections.Counter()
    longest = 0.0
    i = 0
    while time.time() < until:
        i += 1
        start = time.monotonic()
        try:
            reply = store.call_function(name, (tag, i))
        except (RuntimeError, MemoryError) as exc:
            errors[re.sub(r"'[^']*'", "'…'", f"{type(exc).__name__}: {exc}")] += 1
            time.sleep(0.01)
        else:
            ok += 1
            crossed += reply != (tag, i)
        longest = max(longest, time.monotonic() - start)
    results.put((ok, crossed, errors, longest))


def run(url, seconds, callers):
    name = f"tw-kill-{os.getpid()}"
    store = tidewell.connect(url)
    until = time.time() + seconds
    results = CTX.Queue()
    server = CTX.Process(target=serve, args=(url, name), daemon=True)
    server.start()
    procs = [CTX.Process(target=call_until, args=(url, name, t, until, results), daemon=True)
             for t in range(callers)]
    for p in procs:
        p.start()
    kills = collections.Counter()
    tag = callers
    while time.time() < until - 1.0:
        time.sleep(random.uniform(0.2, 0.8))
        victim = random.choice(procs)
        victim.kill()
        victim.join()
        procs.remove(victim)
        procs.append(CTX.Process(target=call_until, args=(url, name, tag, until, results),
                                 daemon=True))
        procs[-1].start()
        tag += 1
        kills["callers"] += 1
        if random.random() < 0.5:
            server.kill()
            server.join()
            store.remove_function(name)  # frees a dead server's name on shared memory
            server = CTX.Process(target=serve, args=(url, name), daemon=True)
            server.start()
            kills["servers"] += 1
    reports = []
    for p in procs:
        reports.append(results.get(timeout=60))  # a hung caller fails here
        p.join(10)
    store.remove_function(name)
    server.join(10)
    errors = collections.Counter()
    for _, _, errs, _ in reports:
        errors.update(errs)
    print(f"store {url}: {seconds} s, killed {kills['callers']} callers and "
          f"{kills['servers']} servers")
    print(f"surviving callers: {len(reports)}; calls answered: {sum(r[0] for r in reports)}; "
          f"crossed replies: {sum(r[1] for r in reports)}; "
          f"longest call: {max(r[3] for r in reports):.2f} s")
    for message, count in errors.most_common():
        print(f"  {count:6}  {message}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url", nargs="?")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--callers", type=int, default=4)
    args = parser.parse_args()
    if args.url:
        return run(args.url, args.seconds, args.callers)
    binary = shutil.which("redis-server")
    if binary is None:
        raise SystemExit("redis-server not found: install it or pass a URL")
    workdir = tempfile.mkdtemp(prefix="tw-kill-redis-")
    sock = os.path.join(workdir, "redis.sock")
    redis_server = subprocess.Popen([binary, "--port", "0", "--unixsocket", sock, "--save", "",
                                     "--appendonly", "no", "--dir", workdir],
                                    stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(sock):
            if time.monotonic() > deadline:
                raise SystemExit("redis-server did not start")
            time.sleep(0.02)
        run(f"unix://{sock}?heartbeat=0.5", args.seconds, args.callers)
    finally:
        redis_server.kill()
        redis_server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
