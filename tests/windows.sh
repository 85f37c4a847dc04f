#!/usr/bin/env bash
# Cross-builds korvex.exe and its unit tests with mingw-w64 and runs them under
# wine: the unit tests, whole runs compared byte for byte with the Linux build
# (build/korvex, which must exist), volume logs recorded on one platform and
# replayed on the other, and an image behind a wine drive device opened as
# \\.\d:. Needs g++-mingw-w64-x86-64-posix, wine, wine64 and libgtest-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
linux=$root/build/korvex
out=$root/build-windows
exe=$out/korvex.exe
[ -x "$linux" ] || { echo "windows.sh: build the Linux korvex first (build/korvex)" >&2; exit 1; }

# GoogleTest for Windows, built once from the sources Debian installs.
if [ ! -f "$out/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$out/googletest" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$out/gtest" >/dev/null
  cmake --build "$out/googletest" -j "$jobs" >/dev/null
  cmake --install "$out/googletest" >/dev/null
fi
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKORVEX_WERROR=ON -DKORVEX_TESTS=ON \
  -DGTest_DIR="$out/gtest/lib/cmake/GTest" >/dev/null
cmake --build "$out" -j "$jobs"

# One wine prefix for the run and one persistent server (otherwise every
# process waits seconds for the server to go), ended by its process id.
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all TZ=UTC WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -f -p &
server=$!
scratch=$(mktemp -d)
# SIGINT (not SIGTERM) makes the server end wine's own service processes of
# the prefix with it.
cleanup() {
  kill -INT "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
wine cmd /c exit >/dev/null 2>&1 || true   # sets up the prefix once

echo "== unit tests under wine"
echo "  Linux only: platform_test.cpp (the POSIX stand-ins), *_contracts_test.cpp, fuzz_regression_test.cpp and"
echo "  the fuzz targets (memory files of the stand-ins), case_runner.cpp (it runs korvex.exe under wine below)"
if ! (cd "$out" && wine korvex_tests.exe >"$scratch/unit.log" 2>&1); then
  cat "$scratch/unit.log"; exit 1
fi
# GoogleTest writes in text mode: "\r\n" line ends.
sed -i 's/\r$//' "$scratch/unit.log"
grep -E '^\[  PASSED  \]|^\[  SKIPPED \] [0-9]+ tests' "$scratch/unit.log" || true
grep -E '^\[  SKIPPED \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+$' "$scratch/unit.log" | sed 's/^\[  SKIPPED \]/ /' || true

failures=0
images=$root/build/images
# The whole-run cases (tests/cases/**/*.case) against korvex.exe, byte for
# byte: the Linux build's case runner with korvex.exe as the binary and wine as
# the prefix. Cases that only make sense on Linux say so and are skipped.
echo "== whole-run cases against korvex.exe"
KORVEX_CASE_BINARY=$exe KORVEX_CASE_PREFIX=wine "$root/build/korvex_tests" --gtest_filter='Cases/*' --gtest_brief=1 ||
  failures=$((failures + 1))

echo "== volume logs recorded on one platform replay on the other"
for image in sample compressed acls; do
  img=$images/$image.img
  for recorder in linux windows; do
    base=$scratch/$image-$recorder
    arguments=(-fid 5 -dir -seid 0 ffffffff -v)
    if [ "$recorder" = linux ]; then
      "$linux" -vol "$img" -rlog "$base" "${arguments[@]}" >/dev/null
      wine "$exe" -rlog "$base" "${arguments[@]}" >"$scratch/replay.out"
    else
      wine "$exe" -vol "$img" -rlog "$base" "${arguments[@]}" >/dev/null
      "$linux" -rlog "$base" "${arguments[@]}" >"$scratch/replay.out"
    fi
    "$linux" -vol "$img" "${arguments[@]}" >"$scratch/live.out"
    if cmp -s <(tail -n +2 "$scratch/live.out") <(tail -n +2 "$scratch/replay.out"); then
      echo "$image: recorded on $recorder, replayed on the other: identical"
    else
      echo "DIFFERENT: $image log recorded on $recorder"; failures=$((failures + 1))
    fi
  done
done

echo "== an image behind the wine drive device \\\\.\\d:"
ln -sfn "$images/sample.img" "$WINEPREFIX/dosdevices/d::"
"$linux" -vol "$images/sample.img" >"$scratch/linux.out"
for lock in "" -lockvol; do
  wine "$exe" -vol '\\.\d:' $lock >"$scratch/windows.out"
  if cmp -s <(tail -n +2 "$scratch/linux.out") <(tail -n +2 "$scratch/windows.out"); then
    echo "-vol \\\\.\\d: $lock: identical"
  else
    echo "DIFFERENT: -vol \\\\.\\d: $lock"; diff "$scratch/linux.out" "$scratch/windows.out" || true
    failures=$((failures + 1))
  fi
done
# -lockvol asks for the device alone (share mode 0): while another process has
# it open, the open fails with the system's error 32, and while -lockvol has
# it, so does a shared open. The holder is a run whose long dump fills a pipe
# that nobody reads yet, so that it keeps the device open meanwhile.
for holder in "" -lockvol; do
  rm -f "$scratch/fifo"; mkfifo "$scratch/fifo"
  wine "$exe" -vol '\\.\d:' $holder -fid 49 -attribute 80 "" -read 0 19000 -dump >"$scratch/fifo" &
  holding=$!
  exec 7<"$scratch/fifo"
  # Its volume report comes out once it has the device open.
  while read -r -u 7 line && [ "$line" != "Volume information:" ]; do :; done
  if [ -n "$holder" ]; then second=(); else second=(-lockvol); fi
  wine "$exe" -vol '\\.\d:' "${second[@]}" >"$scratch/windows.out" || true
  cat <&7 >/dev/null; exec 7<&-; wait "$holding" || true
  if [ "$(tail -n +2 "$scratch/windows.out")" = 'Unable to open the volume \\.\d:, error is 32' ]; then
    echo "-vol \\\\.\\d: ${second[*]} while ${holder:-a shared open} holds it: error 32"
  else
    echo "DIFFERENT: -vol \\\\.\\d: ${second[*]} while ${holder:-a shared open} holds it:"; cat "$scratch/windows.out"
    failures=$((failures + 1))
  fi
done
# Recording measures the device (GetFileSizeEx, else the disk driver); the log
# replays on Linux as the image's own run does.
wine "$exe" -vol '\\.\d:' -rlog "$scratch/device" -fid 5 -dir >/dev/null
"$linux" -vol "$images/sample.img" -fid 5 -dir >"$scratch/linux.out"
"$linux" -rlog "$scratch/device" -fid 5 -dir >"$scratch/replay.out"
if cmp -s <(tail -n +2 "$scratch/linux.out") <(tail -n +2 "$scratch/replay.out"); then
  echo "-vol \\\\.\\d: -rlog: replays on Linux identically"
else
  echo "DIFFERENT: log recorded from \\\\.\\d:"; failures=$((failures + 1))
fi
rm -f "$WINEPREFIX/dosdevices/d::"

if [ "$failures" -ne 0 ]; then
  echo "windows.sh: $failures difference(s)" >&2
  exit 1
fi
echo "windows.sh: korvex.exe matches the Linux build"
