#!/bin/sh
# Runs every fuzz target built in $1 for a short bounded time, seeded from
# tests/fuzz/corpus/<target without "fuzz_"> when that directory exists.
set -e
dir="$1/tests/fuzz"
secs="${FUZZ_SECONDS:-20}"
seeds="$(cd "$(dirname "$0")/.." && pwd)/tests/fuzz/corpus"
[ -d "$dir" ] || { echo "no fuzz targets"; exit 0; }
for f in "$dir"/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  echo "fuzzing $name for ${secs}s"
  # New inputs go to a scratch directory, never into the checked-in seeds.
  work=$(mktemp -d)
  corpus="$seeds/${name#fuzz_}"
  [ -d "$corpus" ] || corpus=""
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 -print_final_stats=0 "$work" $corpus 2>&1 | tail -n 3
  rm -rf "$work"
done
