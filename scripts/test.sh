#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test, case by
# case under ctest and then each test program whole (scripts/run-whole.sh).
#   scripts/test.sh [--cases-only] [build-dir] [sanitizers]
# sanitizers: empty (release build), "address,undefined" or "thread".
# --cases-only: ctest alone, no whole runs (CI's sanitizer stages: whether a
# case leans on another's leftovers is a property of the tests, which the
# release run checks).
set -euo pipefail
cd "$(dirname "$0")/.."
whole=1
if [ "${1:-}" = "--cases-only" ]; then
  whole=0
  shift
fi
build_dir="${1:-build}"
sanitize="${2:-}"
bash scripts/deps.sh
extra=()
if [ -n "$sanitize" ]; then
  source scripts/sanitizer-env.sh
  extra+=(-DZEB_SANITIZE="$sanitize" "${zeb_sanitizer_cmake_options[@]}")
fi
cmake -S . -B "$build_dir" -G Ninja "${extra[@]}"
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
# Each test program once as a whole, in order and shuffled: no case leans
# on another's leftovers.
if [ $whole -eq 1 ]; then
  bash scripts/run-whole.sh "$build_dir"
fi
