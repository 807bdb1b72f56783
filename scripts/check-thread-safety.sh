#!/usr/bin/env bash
# Compiles the library, every subsystem archive and the tools with clang 14's
# thread-safety analysis, its warnings errors: a member marked GUARDED_BY that
# is touched without its lock, a REQUIRES helper called without it, fails the
# build. Compile only; tests and benchmarks are left out. Installs clang 14
# when it is missing.
#   scripts/check-thread-safety.sh [build-dir]   (default build-tsa)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-tsa}"
bash scripts/deps.sh clang-14
# A cache made with another compiler would be reset by cmake, and the options
# below lost with it: start that folder afresh.
compiler="$(command -v clang++-14)"
if [ -f "$build_dir/CMakeCache.txt" ] && ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$compiler" "$build_dir/CMakeCache.txt"; then
  rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" "${launcher[@]}" \
      -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" \
      -DZEB_BUILD_TOOLS=ON -DZEB_BUILD_TESTS=OFF -DZEB_BUILD_BENCH=OFF -DZEB_BUILD_FUZZ=OFF
# Keeps going past a failure, so that one run names every file the analysis refuses.
cmake --build "$build_dir" -- -k 0
