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

With --service: shared functions as a service, in interleaved rounds (each round starts one
setup further on), medians of the rounds.
- Throughput of a CPU-bound function: a pure-Python busy loop calibrated once to ~1 ms, called by
  4 clients for --seconds each round, against tidewell with 1 server (`create_function`) and with
  2 (`create_function(..., shared=True)` in each of two processes; a build that refuses the
  keyword prints "2 servers: not supported by this build"), `multiprocessing.Pool(1)` and
  `Pool(2)`, and a `BaseManager` server. The tidewell and BaseManager clients are 4 processes
  (the manager's through a proxy of one object each); the Pool clients are 4 threads of this
  process each calling the blocking `pool.apply`, as a Pool is used (its tasks and results go
  through this process anyway). Every server or worker has answered once before the clock
  starts. As a ceiling, the loop also runs with no calls in 1 and in 2 processes of its own (what
  the CPUs give in this run). Printed: calls/s (the span from the first client's start to the
  last one's end), how many processes answered, and the ratios of 2 servers to 1 (beside Pool's
  and the ceiling's) and of tidewell to Pool (same number of workers), to BaseManager and to the
  loop alone (above 1: the first is faster).
- Error replies: one caller against a function served with errors="reply" that raises KeyError
  with a message, and one that returns a str as long (in UTF-8 bytes) as the error reply's text
  (type name + message + traceback of one RemoteError), and one that catches the same KeyError
  itself and returns its type, message and traceback.format_exc() (what a served callable does
  without errors="reply"; its caller raises its own error). Printed: median us per call of each,
  in --calls calls a round, and the ratios error / normal and error / caught by hand.

Servers' stdout goes to /dev/null (a tidewell server prints "read" when it stops).

    python bench/bench_functions.py [--calls N] [--rounds R] [--payloads]
    python bench/bench_functions.py --service [--rounds R] [--seconds S] [--calls N]
"""
import argparse
import multiprocessing as mp
import os
import queue
import statistics
import sys
import threading
import time
import traceback
from multiprocessing.connection import wait as wait_connections
from multiprocessing.managers import BaseManager

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

def quiet_stdout():
    """Sends this server process's stdout to /dev/null: a server prints "read" when it stops,
    which is not the bench's output."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def tidewell_server(name):
    quiet_stdout()
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
    quiet_stdout()
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


# --- service: a CPU-bound function from 4 clients -------------------------------------------

SERVICE_CLIENTS = 4
SERVICE_WARM_UP = 20
UNSUPPORTED = 3  # exit code of a server whose create_function refuses shared=True
START_TIMEOUT = 30


def burn(n):
    """The served function: a pure-Python busy loop of n steps; returns who ran it."""
    x = 0
    for i in range(n):
        x += i
    return os.getpid()


def calibrate_burn(target_s=0.001):
    """Steps of `burn` that take target_s here, and their measured median time."""
    probe = 20000
    times = []
    for _ in range(30):
        t = time.perf_counter()
        burn(probe)
        times.append(time.perf_counter() - t)
    n = max(1, round(probe * target_s / statistics.median(times)))
    times = []
    for _ in range(30):
        t = time.perf_counter()
        burn(n)
        times.append(time.perf_counter() - t)
    return n, statistics.median(times)


def run_for(call, n, seconds, barrier):
    """(start ns, end ns, calls, pids that answered) of one client calling for `seconds`."""
    for _ in range(SERVICE_WARM_UP):
        call(n)
    barrier.wait(timeout=START_TIMEOUT)
    pids = set()
    count = 0
    start = time.perf_counter_ns()
    stop = start + int(seconds * 1e9)
    while True:
        pids.add(call(n))
        count += 1
        now = time.perf_counter_ns()
        if now >= stop:
            return start, now, count, sorted(pids)


def service_rate(runs):
    span = max(end for _, end, _, _ in runs) - min(start for start, _, _, _ in runs)
    return sum(count for _, _, count, _ in runs) / (span / 1e9)


def answered_by(runs):
    """How many processes answered the calls of these clients."""
    return len({pid for *_, pids in runs for pid in pids})


def collect(results, procs, timeout):
    """One result from each client process; a client that dies first is an error, not a hang."""
    runs = []
    deadline = time.monotonic() + timeout
    while len(runs) < len(procs):
        try:
            runs.append(results.get(timeout=0.5))
        except queue.Empty:
            if time.monotonic() > deadline:
                raise TimeoutError("clients did not finish") from None
            dead = [p.exitcode for p in procs if p.exitcode not in (None, 0)]
            if dead:
                raise RuntimeError(f"a client process failed (exit code {dead[0]})") from None
    return runs


def run_client_processes(target, args, seconds, clients=SERVICE_CLIENTS):
    barrier = CTX.Barrier(clients)
    results = CTX.Queue()
    procs = [CTX.Process(target=target, args=(*args, seconds, barrier, results), daemon=True)
             for _ in range(clients)]
    try:
        for p in procs:
            p.start()
        runs = collect(results, procs, START_TIMEOUT + seconds + 60)
        for p in procs:
            p.join(10)
        return runs
    finally:
        for p in procs:
            if p.is_alive():
                p.terminate()
                p.join(5)


def run_client_threads(call, n, seconds):
    barrier = threading.Barrier(SERVICE_CLIENTS)
    results = queue.Queue()

    def client():
        try:
            results.put(run_for(call, n, seconds, barrier))
        except BaseException as e:  # the parent must hear of it instead of waiting
            barrier.abort()
            results.put(e)

    threads = [threading.Thread(target=client, daemon=True) for _ in range(SERVICE_CLIENTS)]
    for t in threads:
        t.start()
    runs = [results.get(timeout=START_TIMEOUT + seconds + 60) for _ in threads]
    for t in threads:
        t.join(10)
    for run in runs:
        if isinstance(run, BaseException):
            raise run
    return runs


def answering_pids(call, n, expected, timeout=START_TIMEOUT):
    """Concurrent calls from `expected` threads until that many servers have answered (or the
    timeout): every server is up before the clock starts. Returns the pids that answered."""
    seen = set()
    failures = []
    deadline = time.monotonic() + timeout

    def caller():
        try:
            while len(seen) < expected and time.monotonic() < deadline:
                seen.add(call(n))
        except Exception as e:
            failures.append(e)

    threads = [threading.Thread(target=caller, daemon=True) for _ in range(expected)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout + 10)
    if failures:
        raise failures[0]
    return seen


def burn_server(name, shared):
    quiet_stdout()
    try:
        if shared:
            tidewell.create_function(name, burn, shared=True)
        else:
            tidewell.create_function(name, burn)
    except TypeError:
        if shared:
            sys.exit(UNSUPPORTED)
        raise


def tw_service_client(name, n, seconds, barrier, results):
    call = tidewell.call_function
    results.put(run_for(lambda k: call(name, (k,)), n, seconds, barrier))


def wait_served(name, procs):
    """Until `name` is served; False when a server refused shared=True."""
    deadline = time.monotonic() + START_TIMEOUT
    while True:
        info = tidewell.describe(name)
        if info is not None and info.kind == "function":
            return True
        for p in procs:
            if p.exitcode == UNSUPPORTED:
                return False
            if p.exitcode is not None:
                raise RuntimeError(f"server of {name!r} ended (exit code {p.exitcode})")
        if time.monotonic() > deadline:
            raise TimeoutError(f"{name!r} was not served within {START_TIMEOUT} s")
        time.sleep(0.01)


def service_tidewell(n, seconds, servers):
    """(calls/s, processes that answered), or None when this build serves a name from one
    process only."""
    name = f"tw-bench-{os.getpid()}-s{servers}"
    procs = []
    try:
        for _ in range(servers):
            # One at a time: each later server joins a name that is already served.
            p = CTX.Process(target=burn_server, args=(name, servers > 1), daemon=True)
            p.start()
            procs.append(p)
            if not wait_served(name, procs):
                return None
        call = tidewell.call_function
        ready = answering_pids(lambda k: call(name, (k,)), n, servers)
        for p in procs:
            if p.exitcode is not None:
                raise RuntimeError(f"a server of {name!r} ended (exit code {p.exitcode})")
        if len(ready) < servers:
            print(f"  ({servers} servers started, {len(ready)} answered before the measurement)")
        runs = run_client_processes(tw_service_client, (name, n), seconds)
        return service_rate(runs), answered_by(runs)
    finally:
        stop_servers((name,), procs)


def service_pool(n, seconds, workers):
    with CTX.Pool(workers) as pool:
        def call(k):
            return pool.apply(burn, (k,))

        answering_pids(call, n, workers)
        runs = run_client_threads(call, n, seconds)
    return service_rate(runs), answered_by(runs)


class Service:
    def burn(self, n):
        return burn(n)


class ServiceManager(BaseManager):
    pass


ServiceManager.register("Service", Service)


def manager_client(address, authkey, n, seconds, barrier, results):
    manager = ServiceManager(address=address, authkey=authkey)
    manager.connect()
    service = manager.Service()
    results.put(run_for(service.burn, n, seconds, barrier))


def service_manager(n, seconds):
    authkey = os.urandom(16)
    manager = ServiceManager(authkey=authkey, ctx=CTX)
    manager.start()
    try:
        runs = run_client_processes(manager_client, (manager.address, authkey, n), seconds)
    finally:
        manager.shutdown()
    return service_rate(runs), answered_by(runs)


def local_client(n, seconds, barrier, results):
    results.put(run_for(burn, n, seconds, barrier))


def service_local(n, seconds, processes):
    """The loop run in `processes` processes of their own, no calls: what the CPUs give."""
    runs = run_client_processes(local_client, (n,), seconds, processes)
    return service_rate(runs), processes


SETUPS = [
    ("loop alone, 1 process", lambda n, s: service_local(n, s, 1)),
    ("loop alone, 2 processes", lambda n, s: service_local(n, s, 2)),
    ("tidewell, 1 server", lambda n, s: service_tidewell(n, s, 1)),
    ("tidewell, 2 servers", lambda n, s: service_tidewell(n, s, 2)),
    ("multiprocessing.Pool(1)", lambda n, s: service_pool(n, s, 1)),
    ("multiprocessing.Pool(2)", lambda n, s: service_pool(n, s, 2)),
    ("BaseManager, 1 server", service_manager),
]


def throughput_main(rounds, seconds):
    n, busy = calibrate_burn()
    print(f"a CPU-bound function ({n} steps of a Python loop, {busy * 1e3:.2f} ms here) from "
          f"{SERVICE_CLIENTS} clients, {seconds:g} s per measurement, medians of {rounds} "
          f"interleaved rounds")
    rates = {label: [] for label, _ in SETUPS}
    answered = {label: 0 for label, _ in SETUPS}
    unsupported = set()
    for r in range(rounds):
        # Each round starts one setup further on, so none always runs first or last.
        for label, run in SETUPS[r % len(SETUPS):] + SETUPS[:r % len(SETUPS)]:
            if label in unsupported:
                continue
            got = run(n, seconds)
            if got is None:
                unsupported.add(label)
                continue
            rates[label].append(got[0])
            answered[label] = max(answered[label], got[1])
    med = {label: statistics.median(v) for label, v in rates.items() if v}
    print(f"{'setup':26} {'calls/s':>9} {'answered by':>12}")
    for label, _ in SETUPS:
        if label in med:
            print(f"{label:26} {med[label]:9.0f} {answered[label]:>8} process(es)")
    if "tidewell, 2 servers" in unsupported:
        print("2 servers: not supported by this build")
    ratios = [("tidewell 2 servers / 1 server", "tidewell, 2 servers", "tidewell, 1 server"),
              ("Pool(2) / Pool(1)", "multiprocessing.Pool(2)", "multiprocessing.Pool(1)"),
              ("loop alone, 2 processes / 1", "loop alone, 2 processes", "loop alone, 1 process"),
              ("tidewell 1 server / loop alone", "tidewell, 1 server", "loop alone, 1 process"),
              ("tidewell 1 server / Pool(1)", "tidewell, 1 server", "multiprocessing.Pool(1)"),
              ("tidewell 2 servers / Pool(2)", "tidewell, 2 servers", "multiprocessing.Pool(2)"),
              ("tidewell 1 server / BaseManager", "tidewell, 1 server", "BaseManager, 1 server")]
    print("calls/s ratios (above 1: the first is faster)")
    for text, a, b in ratios:
        if a in med and b in med:
            print(f"{text:34} {med[a] / med[b]:6.2f}")


def stop_servers(names, procs):
    """Stops the servers of `names` and their processes; a server that had to be terminated
    leaves its name, which the second removal takes."""
    for name in names:
        tidewell.remove_function(name)
    for p in procs:
        p.join(10)
        if p.is_alive():
            p.terminate()
            p.join(5)
    for name in names:
        tidewell.remove_function(name)


# --- service: the cost of an error reply ----------------------------------------------------

ERROR_MESSAGE = "no entry for this key in the lookup table"


def raise_key_error():
    raise KeyError(ERROR_MESSAGE)


def error_server(name):
    quiet_stdout()
    tidewell.create_function(name, raise_key_error, errors="reply")


def caught_key_error():
    """What a served callable does by hand without errors="reply": catch, return the error."""
    try:
        raise_key_error()
    except KeyError as e:
        return ("err", type(e).__qualname__, str(e), traceback.format_exc())


def caught_server(name):
    quiet_stdout()
    tidewell.create_function(name, caught_key_error)


def text_server(name, size):
    quiet_stdout()
    text = "x" * size
    tidewell.create_function(name, lambda: text, errors="reply")


def error_main(rounds, calls):
    base = f"tw-bench-{os.getpid()}-e"
    err_name, text_name, caught_name = base + "r", base + "t", base + "c"
    procs = []
    try:
        procs.append(CTX.Process(target=error_server, args=(err_name,), daemon=True))
        procs[-1].start()
        wait_served(err_name, procs[-1:])
        try:
            tidewell.call_function(err_name, ())
            raise RuntimeError("the error server returned instead of raising")
        except tidewell.RemoteError as e:
            parts = [e.remote_type, e.remote_message, e.remote_traceback]
        size = sum(len(p.encode()) for p in parts)
        procs.append(CTX.Process(target=text_server, args=(text_name, size), daemon=True))
        procs[-1].start()
        wait_served(text_name, procs[-1:])
        procs.append(CTX.Process(target=caught_server, args=(caught_name,), daemon=True))
        procs[-1].start()
        wait_served(caught_name, procs[-1:])

        def error_call():
            try:
                tidewell.call_function(err_name, ())
            except tidewell.RemoteError:
                pass

        def text_call():
            tidewell.call_function(text_name, ())

        def caught_call():
            reply = tidewell.call_function(caught_name, ())
            try:
                raise RuntimeError(f"{reply[1]}: {reply[2]}")
            except RuntimeError:
                pass

        kinds = [("KeyError, errors=\"reply\"", error_call), (f"str of {size} bytes", text_call),
                 ("KeyError caught by hand", caught_call)]
        medians = {label: [] for label, _ in kinds}
        for r in range(rounds):
            for label, call in kinds[r % 3:] + kinds[:r % 3]:
                medians[label].append(median_time(lambda _: call(), None, calls))
    finally:
        stop_servers((err_name, text_name, caught_name), procs)
    print(f"\nan error reply against a normal reply of the same size, 1 caller, medians of "
          f"{rounds} interleaved rounds of {calls} calls")
    print(f"error reply text: type {len(parts[0])} + message {len(parts[1])} + traceback "
          f"{len(parts[2])} = {size} bytes")
    med = {label: statistics.median(v) for label, v in medians.items()}
    for label, _ in kinds:
        print(f"{label:26} {med[label]:8.1f} us per call")
    err, text, caught = (med[label] for label, _ in kinds)
    print(f"{'error / normal':26} {err / text:8.2f}")
    print(f"{'error / caught by hand':26} {err / caught:8.2f}")
    print(f"traceback.format_exception of that error in this process: "
          f"{format_exception_us(calls):.1f} us")


def format_exception_us(calls):
    """Median us of traceback.format_exception of the served error, in this process (what a
    server does for each error reply), with the traceback the server sees."""
    try:
        raise_key_error()
    except KeyError as e:
        error = e
    tb = error.__traceback__.tb_next

    def fmt(_):
        "".join(traceback.format_exception(type(error), error, tb))

    return median_time(fmt, None, calls)


def service_main(rounds, seconds, calls):
    throughput_main(rounds, seconds)
    error_main(rounds, calls)


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
    parser.add_argument("--service", action="store_true",
                        help="a CPU-bound function from 4 clients, and error replies")
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="--service: seconds per throughput measurement")
    args = parser.parse_args()
    if args.payloads:
        payload_main(args.rounds)
        return
    if args.service:
        service_main(args.rounds, args.seconds, args.calls)
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
