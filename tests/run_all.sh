#!/usr/bin/env bash
# Builds korvex and its tests twice, plainly and with AddressSanitizer and
# UndefinedBehaviorSanitizer, with warnings as errors, and runs the whole suite
# in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DKORVEX_WERROR=ON -DKORVEX_SANITIZE=OFF >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -DKORVEX_WERROR=ON -DKORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
