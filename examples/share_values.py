"""Processes on one host sharing values and calling a shared function with tidewell.

The parent publishes a configuration, serves a function from a background thread and starts
worker processes. Each worker reads the configuration, calls the function, and writes its
result under a name of its own; the parent reads the results back and cleans everything up.

Run:  python examples/share_values.py
"""
import multiprocessing
import os
import threading
import time

import tidewell



def names(prefix):
    return f"{prefix}-config", f"{prefix}-score"


def score(word, weight):
    """Served by the parent; called from the workers."""
    return {"word": word, "score": len(word) * weight, "served_by": os.getpid()}


def worker(prefix, index):
    config_name, score_name = names(prefix)
    config = tidewell.read_memory(config_name)
    word = config["words"][index]
    reply = tidewell.call_function(score_name, (word, config["weight"]))
    tidewell.write_memory(f"{prefix}-result-{index}", {"worker": os.getpid(), **reply})


def wait_for_function(name, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not os.path.exists(f"/dev/shm/{name}"):
        if time.monotonic() > deadline:
            raise TimeoutError(f"function {name!r} did not appear")
        time.sleep(0.01)


def main():
    prefix = f"tidewell-demo-{os.getpid()}"
    config_name, score_name = names(prefix)
    config = {"words": ["tide", "well", "shared", "memory"], "weight": 1.5, "owner": os.getpid()}
    tidewell.write_memory(config_name, config)
    server = threading.Thread(target=tidewell.create_function, args=(score_name, score))
    server.start()
    result_names = [f"{prefix}-result-{i}" for i in range(len(config["words"]))]
    try:
        wait_for_function(score_name)
        ctx = multiprocessing.get_context("spawn")
        workers = [ctx.Process(target=worker, args=(prefix, i)) for i in range(len(config["words"]))]
        for proc in workers:
            proc.start()
        for proc in workers:
            proc.join(30)
            if proc.exitcode != 0:
                raise RuntimeError(f"worker {proc.pid} failed with exit code {proc.exitcode}")
        for name in result_names:
            result = tidewell.read_memory(name)
            print(f"worker {result['worker']} read the config from {config['owner']}, "
                  f"called score() served by {result['served_by']}: "
                  f"{result['word']!r} scores {result['score']}")
    finally:
        tidewell.remove_function(score_name)
        server.join(10)
        for name in [config_name, *result_names]:
            tidewell.remove_memory(name)


if __name__ == "__main__":
    main()
