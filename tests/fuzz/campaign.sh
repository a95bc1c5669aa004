#!/bin/bash
# Runs every fuzzer in turn for the same bounded time, each from its seed
# corpus and what earlier runs found (tests/fuzz/run.sh), and prints one
# line of figures per fuzzer and the total number of executions. Fails as
# soon as one fuzzer finds a crash, a leak or a time-out (the input is in
# build/fuzz/artifacts).
#
#   tests/fuzz/campaign.sh [seconds-per-fuzzer]      default 60
#
# CI runs the fuzzers briefly, sharing VELDRA_FUZZ_SECONDS (test.sh); a
# recorded campaign runs them for longer by hand (tests/fuzz/RESULTS.md).
# Needs root (see run.sh).
set -e
cd "$(dirname "$0")/../.."
seconds=${1:-60}
total=0 summary=""
for fuzzer in TrailerDecoderFuzzer ReceivePathFuzzer IgmpParserFuzzer ScriptCommandFuzzer; do
  echo "=== $fuzzer, $seconds s ==="
  out=$(tests/fuzz/run.sh "$seconds" "$fuzzer") || { echo "$out"; exit 1; }
  echo "$out"
  runs=$(echo "$out" | sed -n 's/^stat::number_of_executed_units: *//p')
  rate=$(echo "$out" | sed -n 's/^stat::average_exec_per_sec: *//p')
  rss=$(echo "$out" | sed -n 's/^stat::peak_rss_mb: *//p')
  cov=$(echo "$out" | sed -n 's/^#[0-9]*[[:space:]]*DONE[[:space:]]*cov: \([0-9]*\) ft: \([0-9]*\) corp: \([0-9]*\).*/\1 edges, \2 features, corpus \3/p')
  summary+=$(printf '%s: %s executions in %s s (%s/s), %s, peak RSS %s MB' \
    "$fuzzer" "${runs:-0}" "$seconds" "${rate:-0}" "${cov:-?}" "${rss:-?}")$'\n'
  total=$((total + ${runs:-0}))
done
echo "=== campaign: $seconds s per fuzzer ==="
printf '%s' "$summary"
echo "total: $total executions"
