#!/usr/bin/env bash
# Installs atheris and builds tidewell with clang, AddressSanitizer and libFuzzer coverage into
# the Python environment of `python3` (use a virtual environment of its own).
#   fuzz/build.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build/fuzz}
command -v clang++ >/dev/null || { echo "clang++ not found (Debian: apt-get install clang)" >&2; exit 1; }
python3 -m pip install -q atheris scikit-build-core cmake ninja
CC=clang CXX=clang++ python3 -m pip install -q --no-build-isolation -C build-dir="$build_dir" \
    -C cmake.define.TIDEWELL_FUZZ=ON -C cmake.define.CMAKE_CXX_COMPILER=clang++ .
