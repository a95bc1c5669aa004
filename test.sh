#!/bin/sh
# Checks that the C++ sources are laid out as .clang-format says, builds
# veldra twice, normally and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the test suite quickest first:
#
#   0. the layout check (clang-format --dry-run);
#   1. unit and script tests, normal build, then sanitizer build;
#   2. end-to-end tests and the short chaos run, normal build (the slow
#      end-to-end cases, a real 60-second membership lapse, only here),
#      then sanitizer build;
#   3. the fuzzers (trailer decoder, receive path, IGMP decoder, script
#      commands) for VELDRA_FUZZ_SECONDS (default 60; 0 skips them).
#
# Stops at the first stage that fails: any failing test, crash or sanitizer
# report. Ends with one line per stage run, with its wall time.
# Extra arguments go to every ctest run (for example -R tunnel or -LE slow).
set -e
cd "$(dirname "$0")"
tools/install-deps.sh test
jobs=$(nproc)
fuzz_seconds=${VELDRA_FUZZ_SECONDS:-60}

# Sanitizer reports end the process with a failure status; leaks are reported.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

summary=""
stage_name=""
stage_start=0

begin() {
  stage_name=$1
  stage_start=$(date +%s)
  echo "=== $stage_name ==="
}

# Records the stage just run as passed.
passed() {
  summary="${summary}stage $stage_name: passed in $(($(date +%s) - stage_start)) s
"
}

# On any failure: the stages so far, the failing one last.
report() {
  status=$?
  if [ $status -ne 0 ] && [ -n "$stage_name" ]; then
    summary="${summary}stage $stage_name: FAILED after $(($(date +%s) - stage_start)) s
"
  fi
  printf '\n%s' "$summary"
  exit $status
}
trap report EXIT

build() {
  sanitize=OFF
  [ "$1" = sanitize ] && sanitize=ON
  cmake -S . -B "build/test-$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRA_SANITIZE=$sanitize \
    >/dev/null
  cmake --build "build/test-$1" -j"$jobs"
}

# Runs ctest in the build of variant $1 with the arguments that follow.
run_ctest() {
  dir=build/test-$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}

begin "layout"
git ls-files '*.cc' '*.hh' | xargs clang-format --dry-run -Werror
passed

for variant in normal sanitize; do
  begin "unit+script ($variant)"
  build $variant
  run_ctest $variant -L 'unit|script' "$@"
  passed
done

begin "e2e+chaos (normal)"
run_ctest normal -L 'e2e|chaos' "$@"
passed

begin "e2e+chaos (sanitize)"
run_ctest sanitize -L 'e2e|chaos' -LE slow "$@"
passed

if [ "$fuzz_seconds" -gt 0 ]; then
  begin "fuzzers ($fuzz_seconds s)"
  tests/fuzz/run.sh "$fuzz_seconds"
  passed
fi
stage_name=""
