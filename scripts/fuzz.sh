#!/usr/bin/env bash
# Builds the harnesses of fuzz/ as libFuzzer programs (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each in turn.
#   scripts/fuzz.sh [seconds-per-target] [target...]   fuzz (default 60 s each, every target)
#   scripts/fuzz.sh --replay [target...]               run each corpus once and stop
# Targets are the names after "fuzz_" (task_list, frame_folder, ...). New
# inputs go to build-fuzz/corpus/<target> (fuzz/corpus/<target> seeds it and
# is only read); a crash, leak, timeout or out-of-memory input goes to
# build-fuzz/findings/<target>/ and ends the script with its status.
# FUZZ_FLAGS adds libFuzzer options (e.g. FUZZ_FLAGS=-runs=10000000).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build-fuzz
replay=0
seconds=60
if [ "${1:-}" = "--replay" ]; then
  replay=1
  shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
bash scripts/deps.sh clang libclang-rt-14-dev
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEB_BUILD_FUZZ=ON -DZEB_SANITIZE=address,undefined \
  -DZEB_BUILD_TESTS=OFF -DZEB_BUILD_BENCH=OFF -DZEB_BUILD_TOOLS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi
cmake --build "$build_dir" --target "${targets[@]/#/fuzz_}"

# Each harness writes its inputs to files: in memory where there is room.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
source scripts/sanitizer-env.sh
for target in "${targets[@]}"; do
  program="$PWD/$build_dir/fuzz/fuzz_$target"
  seeds="$PWD/fuzz/corpus/$target"
  if [ $replay -eq 1 ]; then
    echo "=== replay $target ==="
    "$program" -runs=0 "$seeds"
    continue
  fi
  corpus="$PWD/$build_dir/corpus/$target"
  findings="$PWD/$build_dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "=== fuzz $target for ${seconds}s ==="
  # Slow inputs and large allocations count as findings too: a camera process
  # must not stall or run out of memory on a configuration file.
  # shellcheck disable=SC2086
  "$program" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1 \
    -dict="$PWD/fuzz/zebsim.dict" -artifact_prefix="$findings/" ${FUZZ_FLAGS:-} "$corpus" "$seeds"
done
