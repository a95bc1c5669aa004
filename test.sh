#!/bin/sh
# Runs the fuzzers (trailer decoder, receive path, IGMP decoder, script
# commands) for a bounded time (VELDRA_FUZZ_SECONDS, default 60; 0 skips
# them), then builds veldra twice, normally and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on each build.
# Fails on any failing test, crash or sanitizer report.
# Extra arguments go to ctest (for example -L unit, or -LE slow).
set -e
cd "$(dirname "$0")"
tools/install-deps.sh test
jobs=$(nproc)

fuzz_seconds=${VELDRA_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzzers, $fuzz_seconds s ==="
  tests/fuzz/run.sh "$fuzz_seconds"
fi

# Sanitizer reports end the process with a failure status; leaks are reported.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for variant in normal sanitize; do
  dir=build/test-$variant
  sanitize=OFF
  [ $variant = sanitize ] && sanitize=ON
  echo "=== $variant build ==="
  cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRA_SANITIZE=$sanitize >/dev/null
  cmake --build $dir -j"$jobs"
  # The slow end-to-end cases (a real 60-second membership lapse) run once,
  # in the normal build.
  subset=""
  [ $variant = sanitize ] && subset="-LE slow"
  (cd $dir && ctest --output-on-failure -j"$jobs" $subset "$@")
done
