#!/usr/bin/env bash
# Builds the fuzz targets, makes their seed corpora and runs each for SECONDS
# (default 30), all targets or the ones named. Fails when a target finds a crash, a leak, a sanitizer report,
# a hang (an input running longer than 10 s) or runs out of memory; the
# input is left in build-fuzz/found/TARGET/ and belongs, once fixed, in
# tests/fuzz/regressions/TARGET/.
#
#   bash tests/fuzz/run.sh [SECONDS [TARGET...]]
# Long runs: FUZZ_JOBS=2 bash tests/fuzz/run.sh 1800 (two targets at a time)
# Each target prints its executions, coverage (the edges and features it
# reached), the execution at which it last reached new edges, its corpus size
# and its slowest input; inputs slower than a second are saved as slow-unit-*
# in build-fuzz/found/TARGET/ for a look.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record runlist lznt1 index securitydescriptor wholerun replay)
[ -f build/korvex ] || { cmake -S . -B build >/dev/null && cmake --build build -j2 >/dev/null; }
bash tests/fuzz/build.sh >/dev/null
bash tests/fuzz/seeds.sh >/dev/null
status=0
# The figures of one run from its log: final statistics and the coverage lines.
report() {
  awk '
    /^#[0-9]+/ && / cov: / {
      for (i = 1; i <= NF; i++) { if ($i == "cov:") cov = $(i + 1); if ($i == "ft:") ft = $(i + 1);
                                  if ($i == "corp:") corp = $(i + 1) }
      if (cov != last) { last = cov; reached = substr($1, 2) }
    }
    /^stat::number_of_executed_units/ { runs = $2 }
    /^stat::average_exec_per_sec/ { rate = $2 }
    /^stat::slowest_unit_time_sec/ { slowest = $2 }
    END { printf "%s executions (%s/s), cov %s ft %s, last new edge at #%s, corpus %s, slowest input %s s\n",
                 runs, rate, cov, ft, reached, corp, slowest }' "$1"
}
run_target() {
  local target=$1 binary=build-fuzz/fuzz_$1
  mkdir -p "build-fuzz/found/$target" "build-fuzz/corpus/$target"
  # Kept regression inputs join the corpus.
  cp -n tests/fuzz/regressions/"$target"/* "build-fuzz/corpus/$target/" 2>/dev/null || true
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -report_slow_units=1 \
       -artifact_prefix="build-fuzz/found/$target/" "build-fuzz/corpus/$target" > "build-fuzz/$target.log" 2>&1; then
    echo "fuzz $target: ok, $(report "build-fuzz/$target.log")"
  else
    echo "fuzz $target: FAILED, see build-fuzz/$target.log"
    grep -E 'ERROR|SUMMARY' "build-fuzz/$target.log" | head -5 || true
    return 1
  fi
}
# FUZZ_JOBS targets run at once (default 1).
jobs=${FUZZ_JOBS:-1}
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
