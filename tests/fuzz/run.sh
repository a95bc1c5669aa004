#!/bin/sh
# Builds the receive-path fuzzer in build/fuzz (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs it for a bounded
# time from the seed corpus in tests/fuzz/corpus.
#
#   tests/fuzz/run.sh [seconds]      default 60
#
# Prints libFuzzer's final figures (executions, coverage) and fails on any
# crash, leak or time-out; the input that caused it is left in
# build/fuzz/artifacts. Needs root: the fuzzer sends replies and multicast,
# so it moves itself into a private network namespace first and refuses to
# run without one. New inputs it finds go to build/fuzz/corpus, never into
# the committed seeds.
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
dir=build/fuzz

CC=clang CXX=clang++ cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF >/dev/null
cmake --build $dir --target ReceivePathFuzzer -j2

mkdir -p $dir/corpus $dir/artifacts
log=$dir/fuzz.log
status=0
# A smaller quarantine than the default keeps memory modest on a shared
# machine; every deletion hazard here is touched within one call anyway.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
  $dir/tests/fuzz/ReceivePathFuzzer -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -max_len=51217 -print_final_stats=1 -artifact_prefix=$dir/artifacts/ $dir/corpus tests/fuzz/corpus \
  >$log 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::' $log || true
if [ $status -ne 0 ]; then
  echo "=== ReceivePathFuzzer failed (status $status); the end of $log:" >&2
  tail -n 60 $log >&2
  exit 1
fi
