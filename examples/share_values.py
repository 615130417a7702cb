"""Processes on one host sharing values and calling a shared function with tidewell.

The parent publishes a configuration, serves a function from a background thread and starts
worker processes. Each worker reads the configuration, calls the function, and writes its
result under a name of its own; the parent reads the results back and cleans everything up.

Run:  python examples/share_values.py

It prints one line per worker, then `read`:

    worker 4312 read the config from 4308, called score() served by 4308: 'tide' scores 6.0
    ...
    read

- `worker 4312`: the pid of the worker process that wrote this result;
- `read the config from 4308`: the `owner` field of the configuration the worker read, that
  is the parent's pid: the value crossed from the parent to the worker;
- `served by 4308`: the pid that ran score(), written by score() itself: the call crossed from
  the worker to the parent's serving thread and back;
- `'tide' scores 6.0`: len(word) * weight, with word and weight from the configuration.
- `read`: printed by tidewell itself, not by this script. A serving create_function writes
  this line to standard output when it is stopped (here by remove_function in `finally`),
  just before it removes the name and returns.
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
    """Waits until a function is served under `name` (create_function runs in another thread)."""
    deadline = time.monotonic() + timeout
    while (info := tidewell.describe(name)) is None or info.kind != "function":
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
        # Stops the server: its create_function prints "read", removes the name and returns.
        tidewell.remove_function(score_name)
        server.join(10)
        for name in [config_name, *result_names]:
            tidewell.remove_memory(name)


if __name__ == "__main__":
    main()
