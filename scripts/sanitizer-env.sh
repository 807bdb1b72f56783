# The sanitizer settings, sourced by scripts/test.sh, scripts/soak.sh and
# scripts/fuzz.sh so that every sanitizer run stops at the first report the
# same way. Options already in the environment are kept.
#   source scripts/sanitizer-env.sh
# The runtime options: a report ends the process with an abort, leaks count.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
# The cmake options of a sanitizer build folder beside -DZEB_SANITIZE=<set>:
# a debug build without benchmarks, which measure the release build only.
# scripts/test.sh and scripts/soak.sh configure build-asan (address,undefined)
# and build-tsan (thread) with them, so either reuses what the other built.
zeb_sanitizer_cmake_options=(-DZEB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
