#!/bin/sh
# Runs every fuzz target built in $1 for a short bounded time.
set -e
dir="$1/tests/fuzz"
secs="${FUZZ_SECONDS:-20}"
[ -d "$dir" ] || { echo "no fuzz targets"; exit 0; }
for f in "$dir"/fuzz_*; do
  [ -x "$f" ] || continue
  echo "fuzzing $(basename "$f") for ${secs}s"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 -print_final_stats=0 2>&1 | tail -n 3
done
