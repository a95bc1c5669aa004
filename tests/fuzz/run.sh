#!/bin/sh
# Builds the fuzz targets in build/fuzz (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs them for a bounded time from the
# seed corpus in tests/fuzz/corpus:
#
#   TrailerDecoderFuzzer  the trailer decoder alone (bytes in, no sockets):
#                         a quarter of the time
#   ReceivePathFuzzer     the whole receive path of a tunnel socket: the rest
#
#   tests/fuzz/run.sh [seconds]      default 60 in all
#
# Prints libFuzzer's final figures (executions, coverage) and fails on any
# crash, leak or time-out; the input that caused it is left in
# build/fuzz/artifacts. Needs root: the receive path sends replies and
# multicast, so its harness moves itself into a private network namespace
# first and refuses to run without one. New inputs go to
# build/fuzz/corpus-<target>, never into the committed seeds.
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
dir=build/fuzz

CC=clang CXX=clang++ cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF >/dev/null
cmake --build $dir --target ReceivePathFuzzer TrailerDecoderFuzzer -j2

decoder_seconds=$((seconds / 4))
[ "$decoder_seconds" -lt 1 ] && decoder_seconds=1
path_seconds=$((seconds - decoder_seconds))
[ "$path_seconds" -lt 1 ] && path_seconds=1

mkdir -p $dir/artifacts
status=0
# fuzz target seconds: runs one target; its log is build/fuzz/<target>.log.
fuzz() {
  target=$1 log=$dir/$1.log
  mkdir -p $dir/corpus-$target
  echo "=== $target, $2 s"
  # A smaller quarantine than the default keeps memory modest on a shared
  # machine; every deletion hazard here is touched within one call anyway.
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
    $dir/tests/fuzz/$target -max_total_time="$2" -timeout=5 -rss_limit_mb=2048 \
    -max_len=51217 -print_final_stats=1 -artifact_prefix=$dir/artifacts/ \
    $dir/corpus-$target tests/fuzz/corpus >$log 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::' $log || true
  if [ $status -ne 0 ]; then
    echo "=== $target failed (status $status); the end of $log:" >&2
    tail -n 60 $log >&2
    exit 1
  fi
}
fuzz TrailerDecoderFuzzer $decoder_seconds
fuzz ReceivePathFuzzer $path_seconds
