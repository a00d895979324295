#!/bin/bash
# Runs every fuzz target built in $1 for a bounded time (FUZZ_SECONDS, 60 by
# default), as many at once as there are cores, each seeded from
# tests/data/fuzz/<target without "fuzz_"> when that directory exists.
# Any crash or sanitizer report fails the run.
dir="$1/tests/fuzz"
secs="${FUZZ_SECONDS:-60}"
jobs="${FUZZ_JOBS:-$(nproc)}"
seeds="$(cd "$(dirname "$0")/.." && pwd)/tests/data/fuzz"
[ -d "$dir" ] || { echo "no fuzz targets"; exit 0; }
results=$(mktemp -d)

fuzzOne() {
  local f="$1" name work corpus
  name=$(basename "$f")
  # New inputs go to a scratch directory, never into the checked-in seeds.
  work=$(mktemp -d)
  corpus="$seeds/${name#fuzz_}"
  [ -d "$corpus" ] || corpus=""
  if "$f" -max_total_time="$secs" -rss_limit_mb=2048 -print_final_stats=0 \
       -artifact_prefix="$work/" "$work" $corpus >"$results/$name.log" 2>&1; then
    echo "fuzz $name: ${secs}s, no findings"
    touch "$results/$name.ok"
  else
    echo "fuzz $name: FAILED"
    tail -n 40 "$results/$name.log"
  fi
  rm -rf "$work"
}

count=0
for f in "$dir"/fuzz_*; do
  [ -x "$f" ] || continue
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  fuzzOne "$f" &
  count=$((count + 1))
done
wait
passed=$(find "$results" -name '*.ok' | wc -l)
rm -rf "$results"
echo "fuzz: $passed passed, $((count - passed)) failed"
[ "$passed" -eq "$count" ]
