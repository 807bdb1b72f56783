#!/usr/bin/env bash
# The create/play/delete soak, under AddressSanitizer with
# UndefinedBehaviorSanitizer and then under ThreadSanitizer:
#   scripts/soak.sh [cycles] [zebsim-soak options...]
# Builds zebsim-soak and the library in the sanitizer build folders of
# scripts/test.sh (build-asan, build-tsan; configured the same way, so a
# folder it has built is reused) and runs the cycles (default 50) in each,
# with one seed for both (given with --seed, or drawn and printed). Fails if
# either run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cycles="${1:-50}"
shift || true
args=("$@")
case " ${args[*]-} " in
  *" --seed "*) ;;
  *) args+=(--seed "$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')") ;;
esac
bash scripts/deps.sh
source scripts/sanitizer-env.sh
status=0
for config in build-asan:address,undefined build-tsan:thread; do
  dir="${config%%:*}"
  sanitize="${config#*:}"
  echo "=== soak: $cycles cycle(s) under $sanitize ($dir) ==="
  cmake -S . -B "$dir" -G Ninja -DZEB_SANITIZE="$sanitize" "${zeb_sanitizer_cmake_options[@]}" >/dev/null
  cmake --build "$dir" --target zebsim-soak
  start=$(date +%s)
  "$dir/tools/zebsim-soak/zebsim-soak" --cycles "$cycles" "${args[@]}" || status=1
  echo "=== soak under $sanitize: $(( $(date +%s) - start )) s ==="
done
exit $status
