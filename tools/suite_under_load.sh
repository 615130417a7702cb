#!/usr/bin/env bash
# Runs the test suite N times in a row while a second copy of it runs N times at the same time,
# and while another process keeps creating names (values, served functions, a killed server's
# function, a dead creator's temporary) and running `tidewell clean` over the whole of /dev/shm.
# The suite must pass every time: no test may depend on being alone on the host. The cleaner also
# checks that `tidewell clean` never takes a live object of its own.
#
#   tools/suite_under_load.sh [-n N] [--host-shm] [--max-minutes M] [-- PYTEST-ARGS...]
#
# Uses the interpreter `python3` on PATH (activate the venv the package is installed in) or
# $PYTHON. By default everything runs in a private mount namespace with a /dev/shm of its own
# (root and unshare(1) needed): other programs on the host neither disturb the runs nor lose
# their stale objects to the cleaner, and whatever the runs leave behind is counted and then
# vanishes with the namespace. --host-shm uses the host's /dev/shm instead.
# Exit status: 0 when every run passed and the cleaner saw no fault, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=3
host_shm=0
max_minutes=60
while [ $# -gt 0 ]; do
    case "$1" in
        -n) runs=$2; shift 2 ;;
        --host-shm) host_shm=1; shift ;;
        --max-minutes) max_minutes=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [-n N] [--host-shm] [--max-minutes M] [-- PYTEST-ARGS...]" >&2; exit 2 ;;
    esac
done
python=${PYTHON:-python3}
pytest_args=("$@")
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(-q -p no:cacheprovider)

if [ "$host_shm" = 0 ] && [ -z "${TIDEWELL_LOAD_PRIVATE_SHM:-}" ]; then
    # Again, inside a mount namespace of its own with a fresh tmpfs on /dev/shm.
    exec env TIDEWELL_LOAD_PRIVATE_SHM=1 PYTHON="$python" unshare --mount --propagation private \
        bash -c 'mount -t tmpfs -o mode=1777 tidewell-load /dev/shm && exec "$0" "$@"' \
        "$0" -n "$runs" --max-minutes "$max_minutes" -- "${pytest_args[@]}"
fi

work=$(mktemp -d /tmp/tw-load-XXXXXX)
stop="$work/stop"
pids=()
cleanup() {
    touch "$stop"
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The cleaner: one round every ~0.2 s until told to stop (or the time limit).
"$python" - "$stop" "$((max_minutes * 60))" > "$work/cleaner.log" 2>&1 <<'EOF' &
import os, subprocess, sys, threading, time
import tidewell

stop, limit = sys.argv[1], time.monotonic() + float(sys.argv[2])
SERVE = "import sys, tidewell; tidewell.create_function(sys.argv[1], max)"
rounds = faults = clean_failures = 0


def path(name):
    return "/dev/shm/" + name


def wait_for(name):
    deadline = time.monotonic() + 30
    while not os.path.exists(path(name)):
        if time.monotonic() > deadline:
            raise TimeoutError(name)
        time.sleep(0.005)


while not os.path.exists(stop) and time.monotonic() < limit:
    tag = f"tw-load-{os.getpid()}-{rounds}"
    value, live, dead = tag + "-value", tag + "-live", tag + "-dead"
    tidewell.write_memory(value, {"round": rounds})
    server = threading.Thread(target=tidewell.create_function, args=(live, max), daemon=True)
    server.start()
    child = subprocess.Popen([sys.executable, "-c", SERVE, dead])
    try:
        wait_for(live)
        wait_for(dead)
    finally:
        child.kill()
        child.wait()
    temporary = f".tidewell-new-{child.pid}-0-load{rounds}"
    with open(path(temporary), "wb") as f:
        f.write(b"\0" * 64)
    os.utime(path(temporary), (time.time() - 60,) * 2)
    clean = subprocess.run([sys.executable, "-m", "tidewell", "clean"], capture_output=True,
                           text=True, timeout=120)
    if clean.returncode != 0:
        clean_failures += 1
        print("clean failed:", clean.returncode, clean.stderr.strip(), flush=True)
    if not (os.path.exists(path(value)) and os.path.exists(path(live))):
        faults += 1
        print("FAULT: clean removed a live object of round", rounds, flush=True)
    if os.path.exists(path(dead)) or os.path.exists(path(temporary)):
        faults += 1
        print("FAULT: clean left a stale object of round", rounds, flush=True)
    tidewell.remove_function(live)
    server.join(30)
    tidewell.remove_memory(value)
    for name in (dead, temporary):
        try:
            os.unlink(path(name))
        except FileNotFoundError:
            pass
    rounds += 1
    time.sleep(0.2)

print(f"cleaner: {rounds} rounds, {faults} faults, {clean_failures} failed cleans", flush=True)
sys.exit(1 if faults or clean_failures or rounds == 0 else 0)
EOF
cleaner=$!
pids+=("$cleaner")

# One copy of the suite: runs it N times, one log per run, and writes its verdicts.
suite_loop() {
    local copy=$1 i rc start
    for i in $(seq 1 "$runs"); do
        start=$(date +%s)
        rc=0
        timeout "$((max_minutes * 60))" "$python" -m pytest "${pytest_args[@]}" \
            > "$work/$copy-$i.log" 2>&1 || rc=$?
        echo "$copy run $i: exit $rc, $(( $(date +%s) - start )) s, $(tail -n 1 "$work/$copy-$i.log")" \
            | tee -a "$work/verdicts"
    done
}

echo "logs in $work; $runs runs of each copy; /dev/shm: $([ "$host_shm" = 1 ] && echo host || echo private)"
suite_loop second &
pids+=($!)
suite_loop first
wait "${pids[1]}" || true
touch "$stop"
cleaner_rc=0
wait "$cleaner" || cleaner_rc=$?
pids=()
grep -v "^read$" "$work/cleaner.log" || true

status=0
if grep -v ": exit 0," "$work/verdicts" > /dev/null; then
    status=1
    for log in "$work"/first-*.log "$work"/second-*.log; do
        grep -E "^(FAILED|ERROR)" "$log" | sed "s|^|$(basename "$log" .log): |" || true
    done
fi
[ "$cleaner_rc" = 0 ] || status=1
if [ -n "${TIDEWELL_LOAD_PRIVATE_SHM:-}" ]; then
    left=$(ls -A /dev/shm)
    if [ -n "$left" ]; then
        status=1
        echo "left behind in /dev/shm:"
        echo "$left" | sed 's/^/  /'
    else
        echo "nothing left behind in /dev/shm"
    fi
fi
echo "$([ $status = 0 ] && echo PASSED || echo FAILED): $(grep -c ': exit 0,' "$work/verdicts") of $((2 * runs)) runs passed"
exit $status
