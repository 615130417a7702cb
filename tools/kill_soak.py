"""Kill soak: writers, readers, a server, callers and mapping users under random SIGKILL and
SIGSTOP.

Runs for --duration seconds and fails (exit status 1) on any wrong value, crossed reply,
operation that hangs longer than --hang seconds (not counting time the process spent waiting for
a CPU on a loaded machine), unexpected error, or object left behind in /dev/shm. Every name
starts with a unique prefix and is removed at the end.

Callers and the server are also stopped (SIGSTOP) for a random while and continued; half the
stops of the server come with a remove_function. A stopped caller may hold up the others only
for the module's bound on an uncollected reply, a removed stopped server its callers only for
the bound on an unanswered call (plus, when a process stopped inside the few instructions that
hold a function's mutex, the bounded wait for that mutex); a server stopped without a removal
holds its callers for as long as it stays stopped, like a slow one.

Watchers (also killed at random) follow every value name with tidewell.watch, one thread per
name, and check each value they are given; at the end the other roles are stopped, a final value
is written to every name, and every watcher must yield each of them.

With --rewrite, a rewriter removes a name and writes it again in a loop while readers read it:
a name made by write_memory appears with its value or not at all, so any None read fails.

With --servers N, N processes serve the function together (shared=True), and the soak also fails
on a call run twice, or on a call that failed without being run by any server while some server
had been up for the whole call (a call must go to another server when its own ends before
taking it).

With --rounds N, instead: N rounds in each of which three processes append to one list with
update_memory and a fourth writes 1-16 MB values, and one of the four is SIGKILLed at a random
instant; it fails on any round that leaves a name unreadable or loses a committed append.

    python tools/kill_soak.py --duration 600 [--rewrite] [--servers 2]
    python tools/kill_soak.py --rounds 100
"""
import argparse
import multiprocessing as mp
import os
import random
import signal
import sys
import time
import zlib

import tidewell
from tidewell._segments import remove_watch_table_when_stale

SHM_DIR = "/dev/shm"
CTX = mp.get_context("fork")
SERVERS = 1
WATCH_TABLE = tidewell.tidewell._watch_table_name()
TEMPORARY_STALE_S = 6.0  # the module sweeps a dead creator's temporary unchanged for 5 s
TORN = "Likely received an invalid bytes object"
# What a caller may see while the server is killed and restarted.
CALL_OUTAGES = ("Failed to open the shared memory.", "has ended", "has stopped",
                "Received a NULL message from the function", "was lost")
# A process stopped while it holds a function's mutex (a few instructions of each call).
LOCK_OUTAGE = "Failed to lock the shared memory address"
# The module's bounds: an uncollected reply, an unanswered call of a stopped function; the
# wait for a function's mutex.
UNCOLLECTED_S = 1.0
# Age after which the sweep removes a temporary whose creator is gone.
LOCK_WAIT_S = 2.0
STOPPED_ROLES = ("caller", "server")


def check(value):
    return zlib.crc32(repr(value).encode())


def fail(role, message):
    print(f"kill_soak: {role}: {message}", file=sys.stderr, flush=True)
    os._exit(3)


_schedstat = None
done = None  # operations completed per slot, shared with the supervisor


def runqueue_wait(pid="self"):
    """Seconds this process has spent runnable but not running (from /proc schedstat)."""
    global _schedstat
    try:
        if pid != "self":
            with open(f"/proc/{pid}/schedstat", "rb") as f:
                return int(f.read().split()[1]) / 1e9
        if _schedstat is None:
            _schedstat = os.open("/proc/self/schedstat", os.O_RDONLY)
        return int(os.pread(_schedstat, 100, 0).split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return 0.0


def timed(beat, slot, op):
    """Runs op, publishing when it started (and the run-queue wait so far, so that time a
    loaded machine kept the process off the CPU does not count as a hang)."""
    beat[2 * slot + 1] = runqueue_wait()
    beat[2 * slot] = time.monotonic()
    try:
        result = op()
    finally:
        beat[2 * slot] = 0.0
    done[slot] += 1
    return result


def writer(prefix, slot, beat, seed):
    rng = random.Random(seed)
    names = value_names(prefix)
    seq = 0
    while True:
        seq += 1
        body = (slot, seq, "x" * rng.choice((0, 10, 1000, 100000)))
        timed(beat, slot, lambda: tidewell.write_memory(rng.choice(names), (*body, check(body))))


def reader(prefix, slot, beat, seed):
    rng = random.Random(seed)
    names = value_names(prefix)
    while True:
        name = rng.choice(names)
        try:
            value = timed(beat, slot, lambda: tidewell.read_memory(name))
        except ValueError as exc:
            if str(exc).startswith(TORN):
                continue  # a writer killed midway: the documented error, never another value
            fail("reader", f"{name}: {exc!r}")
        except Exception as exc:
            fail("reader", f"{name}: {exc!r}")
        if value is not None and (not isinstance(value, tuple) or len(value) != 4 or
                                  check(value[:3]) != value[3]):
            fail("reader", f"{name}: wrong value {str(value)[:200]}")


seen = None  # per watcher slot and value name: check() of the last value yielded, plus 1


def watcher(prefix, slot, beat, seed):
    import threading

    names = value_names(prefix)

    def follow(i, name):
        while True:
            try:
                for value in tidewell.watch(name):
                    if value is not None and (not isinstance(value, tuple) or len(value) != 4 or
                                              check(value[:3]) != value[3]):
                        fail("watcher", f"{name}: wrong value {str(value)[:200]}")
                    seen[slot * len(names) + i] = 0 if value is None else value[3] + 1
                    done[slot] += 1
            except ValueError as exc:
                if not str(exc).startswith(TORN):
                    fail("watcher", f"{name}: {exc!r}")
            except Exception as exc:
                fail("watcher", f"{name}: {exc!r}")

    threads = [threading.Thread(target=follow, args=(i, n), daemon=True)
               for i, n in enumerate(names)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def final_values_seen(procs, roles, prefix, timeout=10.0):
    """Writes a last value to every name; None once every watcher yielded all of them, else
    what is missing."""
    names = value_names(prefix)
    finals = []
    for i, name in enumerate(names):
        body = (-1, i, "final")
        tidewell.write_memory(name, (*body, check(body)))
        finals.append(check(body) + 1)
    watchers = [slot for slot, role in enumerate(roles) if role is watcher]
    deadline = time.monotonic() + timeout
    while True:
        missing = [(slot, names[i]) for slot in watchers for i in range(len(names))
                   if seen[slot * len(names) + i] != finals[i]]
        if not missing:
            return None
        if time.monotonic() > deadline:
            return f"watchers did not see the final values within {timeout} s: {missing[:6]}"
        time.sleep(0.01)


def rewriter(prefix, slot, beat, seed):
    """Removes the name and writes it again, for ever: readers must never see it empty."""
    name = rewrite_name(prefix)
    seq = 0
    while True:
        seq += 1
        body = (slot, seq, "r" * (seq % 3000))
        timed(beat, slot, lambda: tidewell.remove_memory(name))
        timed(beat, slot, lambda: tidewell.write_memory(name, (*body, check(body))))


def rewrite_reader(prefix, slot, beat, seed):
    name = rewrite_name(prefix)
    while True:
        try:
            value = timed(beat, slot, lambda: tidewell.read_memory(name))
        except MemoryError as exc:
            if "Failed to open shared memory address" in str(exc):
                continue  # removed, not written again yet
            fail("rewrite reader", f"{name}: {exc!r}")
        except ValueError as exc:
            if str(exc).startswith(TORN):
                continue
            fail("rewrite reader", f"{name}: {exc!r}")
        except Exception as exc:
            fail("rewrite reader", f"{name}: {exc!r}")
        if value is None:
            fail("rewrite reader", f"{name}: read None, which nobody wrote")
        if not isinstance(value, tuple) or len(value) != 4 or check(value[:3]) != value[3]:
            fail("rewrite reader", f"{name}: wrong value {str(value)[:200]}")


def mapper(prefix, slot, beat, seed):
    """Writes, reads, pops, deletes and counts keys of one shared mapping."""
    rng = random.Random(seed)
    m = tidewell.Mapping(mapping_prefix(prefix))
    keys = mapping_keys()
    seq = 0

    def well_formed(key, value):
        if value is not None and (not isinstance(value, tuple) or len(value) != 5 or
                                  value[0] != key or check(value[:4]) != value[4]):
            fail("mapper", f"{key!r}: wrong value {str(value)[:200]}")

    while True:
        seq += 1
        key = rng.choice(keys)
        op = rng.randrange(6)
        try:
            if op <= 1:
                body = (key, slot, seq, "m" * rng.choice((0, 10, 3000)))
                timed(beat, slot, lambda: m.__setitem__(key, (*body, check(body))))
            elif op == 2:
                well_formed(key, timed(beat, slot, lambda: m.get(key)))
            elif op == 3:
                well_formed(key, timed(beat, slot, lambda: m.pop(key, None)))
            elif op == 4:
                count = timed(beat, slot, lambda: m.update("count", lambda n: n + 1, 0))
                if not isinstance(count, int) or count < 1:
                    fail("mapper", f"count: wrong value {count!r}")
            else:
                listed = timed(beat, slot, lambda: list(m))
                if not set(listed) <= {*keys, "count"}:
                    fail("mapper", f"listed keys that were never written: {listed}")
        except ValueError as exc:
            if not str(exc).startswith(TORN):
                fail("mapper", f"{key!r}: {exc!r}")
            timed(beat, slot, lambda: m.__delitem__(key))  # a mapper killed midway: start anew
        except Exception as exc:
            fail("mapper", f"{key!r}: {exc!r}")


def mapping_prefix(prefix):
    return f"{prefix}-map"


def mapping_keys():
    return ["a", "b/c", "ü", ""]


def served(caller, seq, payload, nap=0.0):
    # Each caller's calls come one at a time, with growing numbers: a number not above the last
    # one run is a call run twice.
    if seq <= last_run[caller]:
        counts[0] += 1
    last_run[caller] = seq
    # A call that takes a while is one that a caller is often stopped in, so its reply waits
    # for it uncollected.
    if nap:
        time.sleep(nap)
    # The payload comes back: a large one travels beside the segment both ways.
    return (caller, seq, check(payload), payload)


def server(prefix, slot, beat, seed):
    name = function_name(prefix)
    if SERVERS == 1:
        tidewell.remove_function(name)  # the segment of a server killed earlier
    try:
        # Several servers share the name: a new one joins, and takes over the function's
        # segment if its server was killed.
        tidewell.create_function(name, served, shared=SERVERS > 1)
    except MemoryError as exc:
        if "already exists" not in str(exc):  # another server won the name: try again later
            fail("server", repr(exc))
    os._exit(0)


def caller(prefix, slot, beat, seed):
    rng = random.Random(seed)
    name = function_name(prefix)
    seq = time.monotonic_ns() // 1000  # above the numbers of this slot's earlier callers
    while True:
        seq += 1
        payload = "y" * rng.choice((0, 10, 500, 5000, 300000))
        nap = rng.choice((0.0, 0.0, 0.0, 0.002))
        began = time.monotonic()
        try:
            reply = timed(beat, slot,
                          lambda: tidewell.call_function(name, (slot, seq, payload, nap)))
        except (MemoryError, RuntimeError) as exc:
            if any(text in str(exc) for text in CALL_OUTAGES) or LOCK_OUTAGE in str(exc):
                if (SERVERS > 1 and ("has ended" in str(exc) or "was lost" in str(exc))
                        and last_run[slot] < seq and min(serving_since) < began):
                    counts[1] += 1  # not run, though a server was up all along
                time.sleep(0.001)
                continue
            fail("caller", repr(exc))
        if reply != (slot, seq, check(payload), payload):
            fail("caller", f"crossed reply: sent {(slot, seq)}, got {str(reply)[:200]}")


def mutex_owner(prefix):
    """The thread that holds the function's mutex (glibc keeps its tid at offset 8), or 0."""
    try:
        with open(os.path.join(SHM_DIR, function_name(prefix)), "rb") as f:
            return int.from_bytes(f.read(12)[8:12], "little") & 0x3FFFFFFF
    except (OSError, ValueError):
        return 0


def value_names(prefix):
    return [f"{prefix}-v{i}" for i in range(3)]


def function_name(prefix):
    return f"{prefix}-f"


def rewrite_name(prefix):
    return f"{prefix}-r"


def where(pid):
    """What a hung process is doing, from /proc: state, kernel wait channel, system call."""
    parts = []
    for entry in ("stat", "wchan", "syscall"):
        try:
            with open(f"/proc/{pid}/{entry}") as f:
                text = f.read().strip()
        except OSError as exc:
            text = f"({exc.strerror})"
        if entry == "stat":
            text = text.rsplit(")", 1)[-1].split()[0]
        parts.append(f"{entry} {text}")
    return ", ".join(parts)


def modified(entry):
    try:
        return os.stat(os.path.join(SHM_DIR, entry)).st_mtime
    except FileNotFoundError:  # swept meanwhile by another tidewell process of the host
        return 0.0


# The inodes the function's name has had: its further servers' lanes are named after them.
function_inodes = set()


def leftovers(prefix, pids):
    temporaries = tuple(f".tidewell-new-{pid}-" for pid in pids) + tuple(
        f".tidewell-new-0-L{ino:x}-" for ino in function_inodes)
    keys = tidewell.tidewell._KEY_NAME_PREFIX + mapping_prefix(prefix)
    return sorted(entry for entry in os.listdir(SHM_DIR)
                  if entry.startswith((prefix, keys)) or entry.startswith(temporaries))


def appender(name, slot, committed, stop):
    """Appends (slot, seq, padding) to the list; `committed[slot]` is the last seq stored."""
    seq = 0
    while not stop.value:
        seq += 1
        item = (slot, seq, "a" * 2000)
        tidewell.update_memory(name, lambda items, item=item: items + [item], [])
        committed[slot] = seq


def big_writer(name, seed, stop):
    """Writes a few prebuilt values of 1-16 MB (one byte repeated), so that most of its time is
    the copy into the object."""
    rng = random.Random(seed)
    values = [bytes([k]) * rng.randrange(1 << 20, 16 << 20) for k in range(1, 4)]
    while not stop.value:
        tidewell.write_memory(name, rng.choice(values))


def durable_round(prefix, rnd, rng, timeout):
    """One round; an error message, or None when nothing was lost."""
    lst, big = f"{prefix}-list-{rnd}", f"{prefix}-big-{rnd}"
    committed = CTX.RawArray("Q", 3)
    # A flag without a lock: a worker killed while it looks at an Event keeps the Event's lock.
    stop = CTX.RawValue("b", 0)
    procs = [CTX.Process(target=appender, args=(lst, i, committed, stop)) for i in range(3)]
    procs.append(CTX.Process(target=big_writer, args=(big, rng.randrange(1 << 30), stop)))
    try:
        for proc in procs:
            proc.start()
        deadline = time.monotonic() + timeout
        while min(committed) < 2 or not os.path.exists(os.path.join(SHM_DIR, big)):
            if time.monotonic() > deadline:
                return "the workers made no progress"
            time.sleep(0.002)
        # A random instant of the victim's work (the list grows by 2 kB per append).
        time.sleep(rng.uniform(0, 0.2))
        victim = procs[rng.randrange(len(procs))]
        os.kill(victim.pid, signal.SIGKILL)
        victim.join(timeout)
        stop.value = 1
        for proc in procs:
            proc.join(timeout)
            if proc.exitcode not in (0, -signal.SIGKILL):
                return f"a worker exited with {proc.exitcode}"
        try:
            items = tidewell.update_memory(lst, lambda v: v, [])
            value = tidewell.read_memory(big)
        except Exception as exc:
            return f"unreadable: {exc!r}"
        for slot in range(3):
            seqs = [i[1] for i in items if i[0] == slot]
            if seqs[:committed[slot]] != list(range(1, committed[slot] + 1)):
                return f"lost appends of worker {slot} (committed {committed[slot]})"
        if value is not None and (not value or value != value[:1] * len(value)):
            return "wrong big value"
        return None
    finally:
        for proc in procs:
            if proc.is_alive():
                os.kill(proc.pid, signal.SIGKILL)
                proc.join(timeout)
        tidewell.remove_memory(lst)
        tidewell.remove_memory(big)


def durable_rounds(rounds, seed):
    rng = random.Random(seed)
    prefix = f"tw-soak-{os.getpid()}"
    print(f"kill_soak: {rounds} rounds, prefix {prefix}, seed {seed}", flush=True)
    bad = []
    for rnd in range(rounds):
        error = durable_round(prefix, rnd, rng, 30.0)
        if error is not None:
            bad.append((rnd, error))
            print(f"kill_soak: round {rnd}: {error}", file=sys.stderr, flush=True)
    left = [e for e in os.listdir(SHM_DIR) if e.startswith(prefix)]
    for entry in left:
        os.unlink(os.path.join(SHM_DIR, entry))
    print(f"kill_soak: {rounds} rounds, {len(bad)} failed, left behind {len(left)}", flush=True)
    if bad or left:
        print(f"kill_soak: FAILED (seed {seed})", file=sys.stderr, flush=True)
        return 1
    print("kill_soak: passed", flush=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=0,
                        help="kill appenders and 1-16 MB writers in this many rounds instead")
    parser.add_argument("--duration", type=float, default=30.0, help="seconds (default 30)")
    parser.add_argument("--hang", type=float, default=1.0, help="longest operation, seconds")
    parser.add_argument("--kill-every", type=float, default=0.05,
                        help="mean seconds between two kills (default 0.05)")
    parser.add_argument("--stop-every", type=float, default=1.0,
                        help="mean seconds between two stops of a caller or the server, one at "
                             "a time (default 1; 0: none)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--servers", type=int, default=1,
                        help="processes serving the function together (default 1)")
    parser.add_argument("--rewrite", action="store_true",
                        help="add a rewriter (remove, then write again) and readers of its name")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    if args.rounds:
        return durable_rounds(args.rounds, seed)
    rng = random.Random(seed)
    prefix = f"tw-soak-{os.getpid()}"
    roles = [writer, writer, reader, reader, *[server] * args.servers, caller, caller, caller,
             mapper, mapper, watcher, watcher]
    if args.rewrite:
        roles += [rewriter, rewrite_reader, rewrite_reader]
    global done, seen, last_run, counts, serving_since, SERVERS
    SERVERS = args.servers
    last_run = CTX.RawArray("q", len(roles))
    counts = CTX.RawArray("q", 2)  # calls run twice, calls lost
    # Per server slot: since when it serves for sure (inf while it is dead or being killed).
    serving_since = CTX.RawArray("d", [float("inf")] * args.servers)
    server_slots = [slot for slot, role in enumerate(roles) if role is server]
    seen = CTX.RawArray("Q", len(roles) * len(value_names(prefix)))
    beat = CTX.RawArray("d", 2 * len(roles))
    done = CTX.RawArray("Q", len(roles))
    procs = [None] * len(roles)
    started_pids = set()
    table_existed = os.path.exists(os.path.join(SHM_DIR, WATCH_TABLE))
    kills = restarts = stops = 0
    failure = None
    # Stops: [slot, pid, start, end or None, continue at, with a removal, holding the mutex]
    stopped = []

    def allowance(slot, began, now):
        """How long the operation of `slot` begun at `began` may legitimately have waited on
        stopped processes."""
        total = 0.0
        for s_slot, s_pid, start, end, _, removed, holds_mutex in stopped:
            if (end or now) < began:
                continue
            overlap = max(min(end or now, now) - max(start, began), 0.0)
            if s_pid == procs[slot].pid or (roles[s_slot] is server and not removed):
                total += overlap
            total += UNCOLLECTED_S + 0.3 + (LOCK_WAIT_S if holds_mutex else 0.0)
        return total

    def stop_one(now):
        # One stop at a time, so that each one's effect on the others is seen alone.
        if any(st[3] is None for st in stopped):
            return 0
        candidates = [slot for slot, proc in enumerate(procs)
                      if roles[slot].__name__ in STOPPED_ROLES and proc.is_alive()
                      and not any(st[1] == proc.pid and st[3] is None for st in stopped)]
        if not candidates:
            return 0
        slot = rng.choice(candidates)
        pid = procs[slot].pid
        os.kill(pid, signal.SIGSTOP)
        removed = False
        if roles[slot] is server and rng.random() < 0.5:
            try:
                removed = tidewell.remove_function(function_name(prefix))
            except MemoryError:
                pass  # it stopped holding the mutex: no removal placed, its callers wait
        stopped.append([slot, pid, now, None, now + rng.uniform(0.0, 6.0), removed,
                        mutex_owner(prefix) == pid])
        return 1

    def continue_due(now):
        for st in stopped:
            if st[3] is None and (now >= st[4] or not procs[st[0]].is_alive() or
                                  procs[st[0]].pid != st[1]):
                try:
                    os.kill(st[1], signal.SIGCONT)
                except ProcessLookupError:
                    pass
                st[3] = now
        stopped[:] = [st for st in stopped if st[3] is None or now - st[3] < 120]

    def start(slot):
        beat[2 * slot] = 0.0
        if roles[slot] is server:
            # Serving for sure once it had time to start and join (or when it was continued).
            serving_since[server_slots.index(slot)] = time.monotonic() + 1.0
        proc = CTX.Process(target=roles[slot],
                           args=(prefix, slot, beat, rng.randrange(1 << 30)), daemon=True)
        proc.start()
        started_pids.add(proc.pid)
        procs[slot] = proc

    print(f"kill_soak: prefix {prefix}, seed {seed}, {args.duration:.0f} s", flush=True)
    for name in value_names(prefix):
        tidewell.create_memory(name)
    try:
        for slot in range(len(roles)):
            start(slot)
        end = time.monotonic() + args.duration
        next_kill = time.monotonic() + rng.expovariate(1 / args.kill_every)
        never = float("inf")
        next_stop = (time.monotonic() + rng.expovariate(1 / args.stop_every)
                     if args.stop_every > 0 else never)
        while failure is None and time.monotonic() < end:
            time.sleep(0.005)
            now = time.monotonic()
            try:
                function_inodes.add(os.stat(os.path.join(SHM_DIR, function_name(prefix))).st_ino)
            except FileNotFoundError:
                pass
            continue_due(now)
            for slot, proc in enumerate(procs):
                began = beat[2 * slot]
                if began and now - began > args.hang and (
                        now - began - (runqueue_wait(proc.pid) - beat[2 * slot + 1])
                        - allowance(slot, began, now) > args.hang):
                    failure = (f"{roles[slot].__name__} {proc.pid}: operation over {args.hang} s "
                               f"({where(proc.pid)})")
                elif not proc.is_alive():
                    if proc.exitcode not in (0, -signal.SIGKILL):
                        failure = f"{roles[slot].__name__} exited with {proc.exitcode}"
                    else:
                        start(slot)
                        restarts += 1
            if now >= next_kill:
                victim = procs[rng.randrange(len(procs))]
                # While a process is stopped, only writers and readers are killed: how long
                # the server and callers wait for it is what is watched (a new server would
                # end the wait).
                stopping = any(st[3] is None for st in stopped)
                if victim.is_alive() and not (
                        stopping and roles[procs.index(victim)].__name__ in STOPPED_ROLES):
                    if roles[procs.index(victim)] is server:
                        serving_since[server_slots.index(procs.index(victim))] = float("inf")
                    os.kill(victim.pid, signal.SIGKILL)
                    kills += 1
                next_kill = now + rng.expovariate(1 / args.kill_every)
            if now >= next_stop:
                stops += stop_one(now)
                next_stop = now + rng.expovariate(1 / args.stop_every)
        if failure is None:
            # Everyone but the watchers stops; the watchers (restarted if killed last) must
            # each yield the final value of every name.
            for st in stopped:
                if st[3] is None:
                    try:
                        os.kill(st[1], signal.SIGCONT)
                    except ProcessLookupError:
                        pass
            for slot, proc in enumerate(procs):
                if roles[slot] is not watcher:
                    if proc.is_alive():
                        os.kill(proc.pid, signal.SIGKILL)
                    proc.join(10)
                elif not proc.is_alive():
                    start(slot)
            failure = final_values_seen(procs, roles, prefix)
    finally:
        for proc in procs:
            if proc is not None and proc.is_alive():
                os.kill(proc.pid, signal.SIGKILL)
            if proc is not None:
                proc.join(10)
        tidewell.remove_function(function_name(prefix))
        for name in value_names(prefix):
            tidewell.remove_memory(name)
        tidewell.remove_memory(rewrite_name(prefix))
        tidewell.Mapping(mapping_prefix(prefix)).clear()
    # Creation cleans up what creators killed midway left (also the payloads of killed callers
    # and servers), once those are old enough for the
    # module's rule (creator gone, unchanged for 5 s): mapping users create names all the time,
    # so a creator killed in the last seconds is the rule, not the exception.
    newest = max((modified(entry) for entry in leftovers(prefix, started_pids)
                  if entry.startswith(".tidewell-new-")), default=0.0)
    time.sleep(max(0.0, min(newest + TEMPORARY_STALE_S - time.time(), TEMPORARY_STALE_S)))
    probe = f"{prefix}-probe"
    tidewell.create_memory(probe)
    tidewell.remove_memory(probe)
    left = leftovers(prefix, started_pids)
    # The watch table the watchers made outlives them, as it should; it was the soak's to remove,
    # once it is what `tidewell clean` takes (no lease, unchanged for 5 s: it grows while
    # watchers register, up to the end).
    if not table_existed:
        remove_watch_table_when_stale(within=TEMPORARY_STALE_S + 2)
    if failure is None and left:
        failure = f"left behind in {SHM_DIR}: {left[:10]}"
    for entry in left:
        try:
            os.unlink(os.path.join(SHM_DIR, entry))
        except FileNotFoundError:
            pass
    per_role = {}
    for slot, role in enumerate(roles):
        per_role[role.__name__] = per_role.get(role.__name__, 0) + done[slot]
    print(f"kill_soak: {kills} kills, {stops} stops, {restarts} restarts; operations completed: "
          + ", ".join(f"{role} {count}" for role, count in per_role.items()), flush=True)
    if SERVERS > 1:
        print(f"kill_soak: {SERVERS} servers; calls run twice {counts[0]}, lost {counts[1]}",
              flush=True)
        if failure is None and (counts[0] or counts[1]):
            failure = f"calls run twice: {counts[0]}, calls lost: {counts[1]}"
    if failure is not None:
        print(f"kill_soak: FAILED (seed {seed}): {failure}", file=sys.stderr, flush=True)
        return 1
    print("kill_soak: passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
