"""Workers sharing values and a function through either store, chosen by URL.

The parent publishes a configuration, serves a function from a background thread and starts
worker processes. Each worker connects to the same store, reads the configuration, calls the
function and writes its result under a name of its own. With a Redis URL the workers could run
on other hosts: only the URL changes, the code does not.

Run:  python examples/redis_workers.py                              # this host's shared memory
      python examples/redis_workers.py redis://localhost:6379/0     # a Redis server
      python examples/redis_workers.py "unix:///run/redis/redis.sock?db=0&prefix=demo:"
"""
import multiprocessing
import os
import sys
import threading
import time

import tidewell


def score(word, weight):
    """Served by the parent; called from the workers."""
    return {"word": word, "score": len(word) * weight, "served_by": os.getpid()}


def worker(url, prefix, index):
    store = tidewell.connect(url)
    config = store.read_memory(f"{prefix}-config")
    word = config["words"][index]
    reply = store.call_function(f"{prefix}-score", (word, config["weight"]))
    store.write_memory(f"{prefix}-result-{index}", {"worker": os.getpid(), **reply})


def wait_for_function(store, name, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            store.call_function(name, ("", 0))
            return
        except MemoryError:  # not served yet
            if time.monotonic() > deadline:
                raise TimeoutError(f"function {name!r} did not appear") from None
            time.sleep(0.01)


def main(url):
    store = tidewell.connect(url)
    prefix = f"tidewell-demo-{os.getpid()}"
    config = {"words": ["tide", "well", "shared", "memory"], "weight": 1.5, "owner": os.getpid()}
    store.write_memory(f"{prefix}-config", config)
    server = threading.Thread(target=store.create_function, args=(f"{prefix}-score", score))
    server.start()
    result_names = [f"{prefix}-result-{i}" for i in range(len(config["words"]))]
    try:
        wait_for_function(store, f"{prefix}-score")
        ctx = multiprocessing.get_context("spawn")
        workers = [ctx.Process(target=worker, args=(url, prefix, i))
                   for i in range(len(config["words"]))]
        for proc in workers:
            proc.start()
        for proc in workers:
            proc.join(30)
            if proc.exitcode != 0:
                raise RuntimeError(f"worker {proc.pid} failed with exit code {proc.exitcode}")
        for name in result_names:
            result = store.read_memory(name)
            print(f"[{url}] worker {result['worker']} called score() served by "
                  f"{result['served_by']}: {result['word']!r} scores {result['score']}")
    finally:
        store.remove_function(f"{prefix}-score")
        server.join(10)
        for name in [f"{prefix}-config", *result_names]:
            store.remove_memory(name)
        store.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "shm:")
