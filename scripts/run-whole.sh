#!/usr/bin/env bash
# Runs every test program of a build as one process: once with its cases in
# order, once shuffled. ctest starts each case in a process of its own, which
# hides a case that leans on what another left behind.
#   scripts/run-whole.sh [build-dir] [extra gtest arguments...]
# Prints a line per program and run, then "N passed, N failed"; exits 1 when
# a run failed. The environment is the one ctest gives the cases.
set -uo pipefail
build_dir="${1:-build}"
shift || true
export ZEB_TIME_SCALE="${ZEB_TIME_SCALE:-0.01}"
passed=0
failed=0
shopt -s nullglob
programs=("$build_dir"/tests/test_*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "run-whole: no test program in $build_dir/tests" >&2
  exit 2
fi
log_dir="$(mktemp -d "${TMPDIR:-/tmp}/run-whole.XXXXXX")"
for program in "${programs[@]}"; do
  [ -x "$program" ] || continue
  name="$(basename "$program")"
  for order in in-order shuffled; do
    args=("$@")
    [ "$order" = shuffled ] && args+=(--gtest_shuffle)
    log="$log_dir/$name.$order.log"
    start=$(date +%s)
    if "$program" "${args[@]}" >"$log" 2>&1; then
      status=passed
      passed=$((passed + 1))
    else
      status=FAILED
      failed=$((failed + 1))
    fi
    seed="$(grep -m1 -o 'with a seed of [0-9]*' "$log" | grep -o '[0-9]*$' || true)"
    cases="$(grep -m1 -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$log" | cut -d' ' -f1 || true)"
    printf '%-18s %-9s %-7s %5s case(s) %4d s%s\n' "$name" "$order" "$status" "${cases:-?}" \
      "$(( $(date +%s) - start ))" "${seed:+ (seed $seed)}"
    if [ "$status" = FAILED ]; then
      # What failed, and how the program ended.
      grep -E -A3 ': Failure$|^\[  FAILED  \] [^0-9]|terminate called|ERROR: .*Sanitizer' "$log" | head -40 | sed 's/^/    /'
      tail -3 "$log" | sed 's/^/    | /'
    fi
  done
done
rm -rf "$log_dir"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
