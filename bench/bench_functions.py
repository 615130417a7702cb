"""Calls of a trivial shared function against a multiprocessing.Pipe round trip, in one run.

Each transport serves `echo(x) -> x` from one server process; callers send a small int and wait
for the reply. Measured with 1 caller and with 4 concurrent caller processes, in interleaved
rounds; printed: median (p50) and p99 latency of the pooled calls, throughput (calls/s over the
measured phase), and tidewell's ratio to the Pipe (time ratios: below 1 is faster; throughput
ratio: above 1 is faster). Medians over the rounds.

With --payloads: echo calls of one caller with 1 kB, 64 kB, 1 MB and 10 MB bytes arguments and
results, against a Pipe, zmq (REQ/REP over ipc, raw bytes) and the hand-made pattern
(write_memory of the argument, call_function with its name, the server reading it and writing
its result to a second name, read_memory of that); a 10 MB echo is also set against the time of
two 10 MB copies in this process. Printed: median time per call and tidewell's ratios.

    python bench/bench_functions.py [--calls N] [--rounds R] [--payloads]
"""
import argparse
import multiprocessing as mp
import os
import statistics
import time
from multiprocessing.connection import wait as wait_connections

import tidewell

CTX = mp.get_context("spawn")
WARM_UP = 200


def echo(x):
    return x


def timed_calls(call, calls, barrier, results):
    for i in range(WARM_UP):
        call(i)
    barrier.wait()
    lat = []
    start = time.perf_counter_ns()
    for i in range(calls):
        t = time.perf_counter_ns()
        call(i)
        lat.append(time.perf_counter_ns() - t)
    results.put((start, time.perf_counter_ns(), lat))


# --- tidewell -------------------------------------------------------------------------------

def tidewell_server(name):
    tidewell.create_function(name, echo)


def tidewell_caller(name, calls, barrier, results):
    call = tidewell.call_function
    timed_calls(lambda i: call(name, (i,)), calls, barrier, results)


class TidewellBench:
    label = "tidewell"

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
    def call(i):
        conn.send(i)
        conn.recv()

    timed_calls(call, calls, barrier, results)
    conn.close()


class PipeBench:
    label = "multiprocessing.Pipe"

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


# --- payloads -------------------------------------------------------------------------------

PAYLOAD_SIZES = [(1000, "1 kB", 2000), (64 * 1024, "64 kB", 1000), (1 << 20, "1 MB", 200),
                 (10 << 20, "10 MB", 30)]


def handmade(arg_name, result_name):
    tidewell.write_memory(result_name, tidewell.read_memory(arg_name))
    return True


def handmade_server(name):
    tidewell.create_function(name, handmade)


def zmq_server(address):
    import zmq
    sock = zmq.Context().socket(zmq.REP)
    sock.bind(address)
    while True:
        message = sock.recv(copy=False)
        if len(message) == 0:
            sock.send(b"")
            return
        sock.send(message, copy=False)


def wait_for_shm(name):
    deadline = time.monotonic() + 30
    while not os.path.exists("/dev/shm/" + name):
        if time.monotonic() > deadline:
            raise TimeoutError("server did not start")
        time.sleep(0.01)


def median_time(call, payload, calls):
    for _ in range(max(3, calls // 10)):
        call(payload)
    times = []
    for _ in range(calls):
        t = time.perf_counter_ns()
        call(payload)
        times.append(time.perf_counter_ns() - t)
    return statistics.median(times) / 1000


def payload_round(size, calls):
    """Median us per echo call for each transport, one size."""
    payload = os.urandom(size)
    out = {}
    name = f"tw-bench-{os.getpid()}-p"
    srv = CTX.Process(target=tidewell_server, args=(name,), daemon=True)
    srv.start()
    wait_for_shm(name)

    def tw_call(p):
        assert tidewell.call_function(name, (p,)) is not None

    out["tidewell"] = median_time(tw_call, payload, calls)
    tidewell.remove_function(name)
    srv.join(10)

    hname, arg, res = name + "h", name + "a", name + "r"
    srv = CTX.Process(target=handmade_server, args=(hname,), daemon=True)
    srv.start()
    wait_for_shm(hname)

    def hand_call(p):
        tidewell.write_memory(arg, p)
        tidewell.call_function(hname, (arg, res))
        assert tidewell.read_memory(res) is not None

    out["hand-made"] = median_time(hand_call, payload, calls)
    tidewell.remove_function(hname)
    srv.join(10)
    tidewell.remove_memory(arg)
    tidewell.remove_memory(res)

    a, b = CTX.Pipe()
    srv = CTX.Process(target=pipe_server, args=([b],), daemon=True)
    srv.start()
    b.close()

    def pipe_call(p):
        a.send(p)
        a.recv()

    out["multiprocessing.Pipe"] = median_time(pipe_call, payload, calls)
    a.close()
    srv.join(10)

    try:
        import zmq
    except ImportError:
        return out
    address = f"ipc:///tmp/tw-bench-{os.getpid()}.zmq"
    srv = CTX.Process(target=zmq_server, args=(address,), daemon=True)
    srv.start()
    sock = zmq.Context().socket(zmq.REQ)
    sock.connect(address)

    def zmq_call(p):
        sock.send(p, copy=False)
        sock.recv()

    out["zmq"] = median_time(zmq_call, payload, calls)
    sock.send(b"")
    sock.recv()
    srv.join(10)
    sock.close()
    return out


def two_copies_us(size):
    src, dst = bytearray(os.urandom(size)), bytearray(size)
    times = []
    for _ in range(20):
        t = time.perf_counter_ns()
        dst[:] = src
        dst[:] = src
        times.append(time.perf_counter_ns() - t)
    return statistics.median(times) / 1000


def payload_main(rounds):
    print(f"echo of bytes, 1 caller, medians of {rounds} rounds, us per call")
    labels = ["tidewell", "hand-made", "multiprocessing.Pipe", "zmq"]
    print(f"{'size':6} " + " ".join(f"{label:>20}" for label in labels)
          + f" {'tw/Pipe':>8} {'tw/zmq':>8} {'tw/hand':>8}")
    for size, label, calls in PAYLOAD_SIZES:
        runs = [payload_round(size, calls) for _ in range(rounds)]
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        cells = " ".join(f"{med.get(k, float('nan')):20.1f}" for k in labels)
        print(f"{label:6} {cells} {med['tidewell'] / med['multiprocessing.Pipe']:8.2f} "
              f"{med['tidewell'] / med.get('zmq', float('nan')):8.2f} "
              f"{med['tidewell'] / med['hand-made']:8.2f}")
        if size == 10 << 20:
            copies = two_copies_us(size)
            print(f"10 MB echo / two 10 MB copies ({copies:.0f} us): "
                  f"{med['tidewell'] / copies:.2f}")


# --- driver ---------------------------------------------------------------------------------

def measure(bench_type, callers, calls):
    """(p50 us, p99 us, calls/s) of one round."""
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
        runs = [results.get(timeout=300) for _ in procs]
        for p in procs:
            p.join(30)
    finally:
        bench.close()
    lat = sorted(x for _, _, run in runs for x in run)
    span = max(end for _, end, _ in runs) - min(start for start, _, _ in runs)
    return (statistics.median(lat) / 1000, lat[int(len(lat) * 0.99)] / 1000,
            len(lat) / (span / 1e9))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=5000, help="calls per caller and round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--payloads", action="store_true", help="large arguments and results")
    args = parser.parse_args()
    if args.payloads:
        payload_main(args.rounds)
        return
    benches = [TidewellBench, PipeBench]
    print(f"{args.calls} calls per caller, {args.rounds} interleaved rounds, medians of rounds")
    for callers in (1, 4):
        rounds = {b.label: [] for b in benches}
        for _ in range(args.rounds):
            for b in benches:
                rounds[b.label].append(measure(b, callers, args.calls))
        rows = {label: [statistics.median(r[i] for r in runs) for i in range(3)]
                for label, runs in rounds.items()}
        print(f"\n{callers} caller(s)")
        print(f"{'transport':22} {'p50 us':>8} {'p99 us':>8} {'calls/s':>9}")
        for label, (p50, p99, rate) in rows.items():
            print(f"{label:22} {p50:8.1f} {p99:8.1f} {rate:9.0f}")
        tw, pipe = rows["tidewell"], rows["multiprocessing.Pipe"]
        print(f"{'tidewell / Pipe':22} {tw[0] / pipe[0]:8.2f} {tw[1] / pipe[1]:8.2f} "
              f"{tw[2] / pipe[2]:9.2f}")


if __name__ == "__main__":
    main()
