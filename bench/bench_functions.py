"""Round-trip latency of a trivial shared function against multiprocessing equivalents.

Each transport serves `echo(x) -> x` from one server process; callers send a small int and wait
for the reply. Measured: 1 caller, then 4 concurrent caller processes (latencies pooled).

    python bench/bench_functions.py [--calls N]
"""
import argparse
import multiprocessing as mp
import os
import statistics
import time
from multiprocessing.connection import wait as wait_connections
from multiprocessing.managers import BaseManager

import tidewell

CTX = mp.get_context("spawn")


def echo(x):
    return x


# --- tidewell -------------------------------------------------------------------------------

def tidewell_server(name):
    tidewell.create_function(name, echo)


def tidewell_caller(name, calls, barrier, results):
    call = tidewell.call_function
    for i in range(50):
        call(name, (i,))
    barrier.wait()
    lat = []
    for i in range(calls):
        t = time.perf_counter_ns()
        call(name, (i,))
        lat.append(time.perf_counter_ns() - t)
    results.put(lat)


class TidewellBench:
    label = "tidewell call_function"

    def __init__(self, callers):
        self.name = f"tw-bench-{os.getpid()}"
        self.server = CTX.Process(target=tidewell_server, args=(self.name,), daemon=True)
        self.server.start()
        deadline = time.monotonic() + 30
        while not os.path.exists("/dev/shm/" + self.name):
            if time.monotonic() > deadline:
                raise TimeoutError("server did not start")
            time.sleep(0.01)

    def caller_args(self, index):
        return (tidewell_caller, (self.name,))

    def close(self):
        tidewell.remove_function(self.name)
        self.server.join(10)


# --- multiprocessing Pipe -------------------------------------------------------------------

def pipe_server(conns):
    live = list(conns)
    while live:
        for conn in wait_connections(live):
            try:
                conn.send(echo(conn.recv()))
            except EOFError:
                live.remove(conn)


def pipe_caller(conn, calls, barrier, results):
    for i in range(50):
        conn.send(i)
        conn.recv()
    barrier.wait()
    lat = []
    for i in range(calls):
        t = time.perf_counter_ns()
        conn.send(i)
        conn.recv()
        lat.append(time.perf_counter_ns() - t)
    conn.close()
    results.put(lat)


class PipeBench:
    label = "multiprocessing Pipe"

    def __init__(self, callers):
        pairs = [CTX.Pipe() for _ in range(callers)]
        self.client_ends = [a for a, _ in pairs]
        self.server = CTX.Process(target=pipe_server, args=([b for _, b in pairs],), daemon=True)
        self.server.start()
        for _, b in pairs:
            b.close()

    def caller_args(self, index):
        return (pipe_caller, (self.client_ends[index],))

    def close(self):
        for a in self.client_ends:
            a.close()
        self.server.join(10)


# --- multiprocessing manager ----------------------------------------------------------------

class Service:
    def echo(self, x):
        return x


class EchoManager(BaseManager):
    pass


EchoManager.register("Service", Service)


def manager_caller(address, authkey, calls, barrier, results):
    manager = EchoManager(address=address, authkey=authkey)
    manager.connect()
    service = manager.Service()
    for i in range(50):
        service.echo(i)
    barrier.wait()
    lat = []
    for i in range(calls):
        t = time.perf_counter_ns()
        service.echo(i)
        lat.append(time.perf_counter_ns() - t)
    results.put(lat)


class ManagerBench:
    label = "multiprocessing manager"

    def __init__(self, callers):
        self.manager = EchoManager(ctx=CTX)
        self.manager.start()

    def caller_args(self, index):
        return (manager_caller, (self.manager.address, bytes(mp.current_process().authkey)))

    def close(self):
        self.manager.shutdown()


# --- driver ---------------------------------------------------------------------------------

def measure(bench_type, callers, calls):
    bench = bench_type(callers)
    try:
        barrier = CTX.Barrier(callers)
        results = CTX.Queue()
        procs = []
        for index in range(callers):
            target, args = bench.caller_args(index)
            procs.append(CTX.Process(target=target, args=(*args, calls, barrier, results)))
        for p in procs:
            p.start()
        lat = []
        for _ in procs:
            lat.extend(results.get(timeout=300))
        for p in procs:
            p.join(30)
    finally:
        bench.close()
    lat.sort()
    return statistics.median(lat) / 1000, lat[int(len(lat) * 0.99)] / 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000, help="calls per caller")
    calls = parser.parse_args().calls
    benches = [TidewellBench, PipeBench, ManagerBench]
    for callers in (1, 4):
        print(f"\n{callers} caller(s), {calls} calls each, round trip in microseconds")
        print(f"{'transport':28} {'median':>9} {'p99':>9} {'median/tw':>10} {'p99/tw':>8}")
        rows = [(b.label, *measure(b, callers, calls)) for b in benches]
        base_med, base_p99 = rows[0][1], rows[0][2]
        for label, med, p99 in rows:
            print(f"{label:28} {med:9.1f} {p99:9.1f} {med / base_med:10.2f} {p99 / base_p99:8.2f}")


if __name__ == "__main__":
    main()
