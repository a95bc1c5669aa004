#!/bin/sh
# Builds the libFuzzer targets in build/fuzz (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs one of them for
# a bounded time from its seed corpus.
#
#   tests/fuzz/run.sh [seconds [fuzzer]]      default 60, ReceivePathFuzzer
#
#   ReceivePathFuzzer     the tunnel receive path; seeds in tests/fuzz/corpus
#   ScriptCommandFuzzer   the corvex_ and groupsock_ commands; seeds in
#                         tests/fuzz/script-corpus, words in script.dict
#
# Prints libFuzzer's final figures (executions, coverage) and fails on any
# crash, leak or time-out; the input that caused it is left in
# build/fuzz/artifacts. Needs root: the fuzzers send replies and multicast,
# so they move themselves into a private network namespace first and refuse
# to run without one. New inputs they find go to build/fuzz/<corpus>, never
# into the committed seeds.
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
fuzzer=${2:-ReceivePathFuzzer}
dir=build/fuzz

case $fuzzer in
  ReceivePathFuzzer)
    seeds=tests/fuzz/corpus work=$dir/corpus options="-max_len=51217" ;;
  ScriptCommandFuzzer)
    # The commands trace to standard error at will: their output is closed
    # (libFuzzer keeps its own and the sanitizers' reports).
    seeds=tests/fuzz/script-corpus work=$dir/script-corpus
    options="-max_len=4096 -close_fd_mask=3 -dict=tests/fuzz/script.dict" ;;
  *)
    echo "run.sh: unknown fuzzer $fuzzer" >&2
    exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF >/dev/null
cmake --build $dir --target "$fuzzer" -j2

mkdir -p "$work" $dir/artifacts
log=$dir/$fuzzer.log
status=0
# A smaller quarantine than the default keeps memory modest on a shared
# machine; every deletion hazard here is touched within one call anyway.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
  $dir/tests/fuzz/$fuzzer -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  $options -print_final_stats=1 -artifact_prefix=$dir/artifacts/$fuzzer- "$work" $seeds \
  >$log 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::' $log || true
if [ $status -ne 0 ]; then
  echo "=== $fuzzer failed (status $status); the end of $log:" >&2
  tail -n 60 $log >&2
  exit 1
fi
