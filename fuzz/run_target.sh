#!/usr/bin/env bash
# Runs one fuzz target: replays the checked-in seeds and what earlier runs found, then fuzzes
# for a fixed time. Any crash, sanitizer report, leak, failed check or input slower than the
# per-input limit fails the run; the input is saved under WORK/artifacts.
#   run_target.sh TARGET SEEDS WORK SECONDS MAX_LEN [more libFuzzer options]
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4 max_len=$5
shift 5
# New inputs go to WORK/corpus (the first corpus folder), never into the checked-in seeds.
mkdir -p "$work/corpus" "$work/artifacts"
exec "$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "$seeds"
