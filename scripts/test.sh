#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test, case by
# case under ctest and then each test program whole (scripts/run-whole.sh).
#   scripts/test.sh [build-dir] [sanitizers]
# sanitizers: empty (release build), "address,undefined" or "thread".
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
sanitize="${2:-}"
bash scripts/deps.sh
extra=()
if [ -n "$sanitize" ]; then
  # Benchmarks measure the release build only.
  extra+=(-DZEB_SANITIZE="$sanitize" -DZEB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
fi
cmake -S . -B "$build_dir" -G Ninja "${extra[@]}"
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
# Each test program once as a whole, in order and shuffled: no case leans
# on another's leftovers.
bash scripts/run-whole.sh "$build_dir"
