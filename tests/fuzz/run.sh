#!/bin/sh
# Builds a fuzzer in build/fuzz (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time from its seed
# corpus.
#
#   tests/fuzz/run.sh [seconds] [target]     default 60 s, ReceivePathFuzzer
#
#   ReceivePathFuzzer  the tunnel receive path; seeds in tests/fuzz/corpus
#   IgmpParserFuzzer   the IGMP decoder; seeds in tests/fuzz/igmp-corpus
#
# Prints libFuzzer's final figures (executions, coverage) and fails on any
# crash, leak or time-out; the input that caused it is left in
# build/fuzz/artifacts. The receive-path fuzzer needs root: it sends replies
# and multicast, so it moves itself into a private network namespace first
# and refuses to run without one. New inputs a fuzzer finds go to
# build/fuzz (corpus, igmp-corpus), never into the committed seeds.
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
target=${2:-ReceivePathFuzzer}
dir=build/fuzz
case $target in
  ReceivePathFuzzer) seeds=corpus max_len=51217 ;;
  IgmpParserFuzzer) seeds=igmp-corpus max_len=2048 ;;
  *) echo "run.sh: unknown fuzzer $target" >&2; exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF >/dev/null
cmake --build $dir --target "$target" -j2

mkdir -p $dir/$seeds $dir/artifacts
log=$dir/$target.log
status=0
# A smaller quarantine than the default keeps memory modest on a shared
# machine; every deletion hazard here is touched within one call anyway.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
  $dir/tests/fuzz/$target -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -max_len=$max_len -print_final_stats=1 -artifact_prefix=$dir/artifacts/ $dir/$seeds \
  tests/fuzz/$seeds >$log 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::' $log || true
if [ $status -ne 0 ]; then
  echo "=== $target failed (status $status); the end of $log:" >&2
  tail -n 60 $log >&2
  exit 1
fi
