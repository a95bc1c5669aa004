#!/bin/sh
# Builds the fuzz targets in build/fuzz (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs them for a bounded time, each
# from its seed corpus:
#
#   TrailerDecoderFuzzer  the trailer decoder alone (bytes in, no sockets);
#                         seeds in tests/fuzz/corpus; share 1
#   ReceivePathFuzzer     the whole receive path of a tunnel socket; seeds in
#                         tests/fuzz/corpus; share 2
#   IgmpParserFuzzer      the IGMP decoder; seeds in tests/fuzz/igmp-corpus;
#                         share 1
#   ScriptCommandFuzzer   the corvex_ and groupsock_ commands with any words
#                         in a fresh interpreter; seeds in
#                         tests/fuzz/script-corpus, words in script.dict;
#                         share 1
#
#   tests/fuzz/run.sh [seconds [target ...]]    default 60 s, every target
#
# The seconds are split among the targets named (all by default) by their
# shares. Prints libFuzzer's final figures (executions, coverage) and fails
# on any crash, leak or time-out; the input that caused it is left in
# build/fuzz/artifacts. The receive-path and script-command fuzzers need
# root: they send replies and multicast, so their harnesses move themselves
# into a private network namespace first and refuse to run without one.
# tests/fuzz/campaign.sh runs every target for a given time each. New inputs go to
# build/fuzz/corpus-<target>, never into the committed seeds.
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"TrailerDecoderFuzzer ReceivePathFuzzer IgmpParserFuzzer ScriptCommandFuzzer"}
dir=build/fuzz

# share target / seeds target / max_len target / options target
share() { case $1 in ReceivePathFuzzer) echo 2 ;; *) echo 1 ;; esac; }
seeds() {
  case $1 in
    IgmpParserFuzzer) echo igmp-corpus ;;
    ScriptCommandFuzzer) echo script-corpus ;;
    *) echo corpus ;;
  esac
}
max_len() {
  case $1 in
    IgmpParserFuzzer) echo 2048 ;;
    ScriptCommandFuzzer) echo 4096 ;;
    *) echo 51217 ;;
  esac
}
# The script commands trace to standard error at will: the target's output
# is closed (libFuzzer keeps its own and the sanitizers' reports).
options() {
  case $1 in
    ScriptCommandFuzzer) echo "-close_fd_mask=3 -dict=tests/fuzz/script.dict" ;;
  esac
}

shares=0
for target in $targets; do
  case $target in
    TrailerDecoderFuzzer | ReceivePathFuzzer | IgmpParserFuzzer | ScriptCommandFuzzer) ;;
    *) echo "run.sh: unknown fuzzer $target" >&2; exit 2 ;;
  esac
  shares=$((shares + $(share $target)))
done

CC=clang CXX=clang++ cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build $dir --target $targets -j2

mkdir -p $dir/artifacts
for target in $targets; do
  time=$((seconds * $(share $target) / shares))
  [ "$time" -lt 1 ] && time=1
  log=$dir/$target.log
  mkdir -p $dir/corpus-$target
  echo "=== $target, $time s"
  status=0
  # A smaller quarantine than the default keeps memory modest on a shared
  # machine; every deletion hazard here is touched within one call anyway.
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
    $dir/tests/fuzz/$target -max_total_time="$time" -timeout=5 -rss_limit_mb=2048 \
    -max_len="$(max_len $target)" $(options $target) -print_final_stats=1 \
    -artifact_prefix=$dir/artifacts/ \
    $dir/corpus-$target tests/fuzz/"$(seeds $target)" >$log 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::' $log || true
  if [ $status -ne 0 ]; then
    echo "=== $target failed (status $status); the end of $log:" >&2
    tail -n 60 $log >&2
    exit 1
  fi
done
