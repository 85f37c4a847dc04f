#!/usr/bin/env bash
# Builds the fuzz targets, makes their seed corpora and runs each for SECONDS
# (default 30). Fails when a target finds a crash, a leak, a sanitizer report,
# a hang (an input running longer than 10 s) or runs out of memory; the
# input is left in build-fuzz/found/TARGET/ and belongs, once fixed, in
# tests/fuzz/regressions/TARGET/.
#
#   bash tests/fuzz/run.sh [SECONDS]
# Long runs: bash tests/fuzz/run.sh 3600
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
[ -f build/korvex ] || { cmake -S . -B build >/dev/null && cmake --build build -j2 >/dev/null; }
bash tests/fuzz/build.sh >/dev/null
bash tests/fuzz/seeds.sh >/dev/null
status=0
for binary in build-fuzz/fuzz_*; do
  target=${binary#build-fuzz/fuzz_}
  mkdir -p "build-fuzz/found/$target" "build-fuzz/corpus/$target"
  # Kept regression inputs join the corpus.
  cp -n tests/fuzz/regressions/"$target"/* "build-fuzz/corpus/$target/" 2>/dev/null || true
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="build-fuzz/found/$target/" "build-fuzz/corpus/$target" > "build-fuzz/$target.log" 2>&1; then
    summary=$(grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "build-fuzz/$target.log" | tail -1)
    echo "fuzz $target: ok, $summary"
  else
    echo "fuzz $target: FAILED, see build-fuzz/$target.log"
    grep -E 'ERROR|SUMMARY' "build-fuzz/$target.log" | head -5 || true
    status=1
  fi
done
exit $status
