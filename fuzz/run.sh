#!/usr/bin/env bash
# Runs one fuzz target for a bounded time over a scratch copy of its seed corpus, or reruns
# saved inputs.
#   fuzz/run.sh TARGET [SECONDS] [more libFuzzer options]      TARGET: prot2, prot1, segment
#   fuzz/run.sh TARGET crash-...                                  rerun saved inputs only
# New inputs go to a scratch corpus (kept in $FUZZ_WORK when set); a crash leaves its input in
# the working directory as crash-* (or oom-*, timeout-*) and ends with a non-zero status.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
target=$1
shift
runtime="$(python3 -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
export LD_PRELOAD="$runtime" PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
if [ -f "${1:-}" ]; then
    exec python3 "$here/fuzz_codec.py" "$target" "$@"
fi
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
work=${FUZZ_WORK:-$(mktemp -d)}
mkdir -p "$work/$target"
exec python3 "$here/fuzz_codec.py" "$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=3072 -print_final_stats=1 "$@" "$work/$target" "$here/seeds/$target"
