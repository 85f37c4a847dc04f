#!/usr/bin/env bash
# Source coverage of the fuzz corpora: builds the targets once more with
# clang's coverage instrumentation (no sanitizers), runs every corpus in
# build-fuzz/corpus/ through its target and prints the line, branch and
# function coverage of src/ and platform/, per file and for all targets
# together. Run after tests/fuzz/run.sh has grown the corpora.
#
#   bash tests/fuzz/coverage.sh [TARGET...]
# The HTML report is left in build-fuzz/coverage/html/.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build-fuzz/coverage
mkdir -p "$out/obj" "$out/profiles"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record runlist lznt1 index securitydescriptor wholerun replay)
sample=$(pwd)/build/images/sample.img
flags=(-std=c++20 -O1 -g -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer-no-link
       -DKORVEX_FUZZ_SAMPLE="\"$sample\"")
objects=()
for source in src/*.cpp platform/console.cpp platform/device.cpp platform/faults.cpp platform/posix/console.cpp platform/posix/file.cpp platform/posix/heap.cpp \
              platform/posix/time.cpp platform/text.cpp platform/security.cpp tests/image_builder.cpp \
              tests/fuzz/targets.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ]; then
    clang++ "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
rm -f "$out"/profiles/*.profraw
binaries=()
for target in "${targets[@]}"; do
  name=$(echo "$target" | sed 's/securitydescriptor/SecurityDescriptor/; s/wholerun/WholeRun/; s/runlist/RunList/; s/^./\U&/')
  binary="$out/cover_$target"
  clang++ "${flags[@]}" -fsanitize=fuzzer -DKORVEX_FUZZ_TARGET="$name" tests/fuzz/entry.cpp "${objects[@]}" -o "$binary"
  LLVM_PROFILE_FILE="$out/profiles/$target.profraw" "$binary" -runs=0 "build-fuzz/corpus/$target" >/dev/null 2>&1
  binaries+=("$binary")
done
llvm-profdata-14 merge -sparse "$out"/profiles/*.profraw -o "$out/all.profdata"
objects_args=()
for binary in "${binaries[@]:1}"; do objects_args+=(-object "$binary"); done
llvm-cov-14 report "${binaries[0]}" "${objects_args[@]}" -instr-profile="$out/all.profdata" src/ platform/
llvm-cov-14 show "${binaries[0]}" "${objects_args[@]}" -instr-profile="$out/all.profdata" -format=html \
  -output-dir="$out/html" src/ platform/ >/dev/null
