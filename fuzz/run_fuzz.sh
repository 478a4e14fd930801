#!/usr/bin/env bash
# A short, bounded libFuzzer run for CI: run_fuzz.sh <fuzzer> <seconds> <work dir> <seed dir> [dict]
# New inputs and any crash file go to the work dir, never into the seed corpus.
set -euo pipefail
fuzzer=$1 seconds=$2 work=$3 seeds=$4 dict=${5:-}
rm -rf "$work"
mkdir -p "$work/corpus"
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
      -artifact_prefix="$work/" -print_final_stats=1)
[ -n "$dict" ] && args+=(-dict="$dict")
exec "$fuzzer" "${args[@]}" "$work/corpus" "$seeds"
