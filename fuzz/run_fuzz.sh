#!/usr/bin/env bash
# Runs a fuzzer for a bounded time, from the seeds the build writes,
# into a corpus made afresh each run. Fails when the fuzzer finds anything;
# the input that did it is kept in WORK/crashes.
#   run_fuzz.sh FUZZER SEED_MAKER WORK SECONDS
set -euo pipefail
fuzzer=$1 make_seeds=$2 work=$3 seconds=$4

rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus" "$work/crashes"
"$make_seeds" "$work/seeds"
exec "$fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/crashes/" "$work/corpus" "$work/seeds"
