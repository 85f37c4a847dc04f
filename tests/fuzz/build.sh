#!/usr/bin/env bash
# Builds one libFuzzer binary per target into build-fuzz/ with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build-fuzz
mkdir -p "$out/obj"
sample=$(pwd)/build/images/sample.img
mkdir -p build/images
for name in sample compressed security; do
  [ -f "build/images/$name.img" ] || tar -xJf "tests/images/$name.img.tar.xz" -C build/images
done
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=all -DKORVEX_FUZZ_SAMPLE="\"$sample\"")
objects=()
for source in src/attr.cpp src/file.cpp src/main.cpp src/ntfstool.cpp src/volume.cpp \
              platform/console.cpp platform/faults.cpp platform/posix_file.cpp platform/posix_heap.cpp \
              platform/posix_time.cpp platform/text.cpp $(ls platform/security.cpp 2>/dev/null) \
              tests/fuzz/targets.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ]; then
    clang++ "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
for target in Record RunList Lznt1 Index SecurityDescriptor WholeRun Replay; do
  name=$(echo "$target" | tr '[:upper:]' '[:lower:]')
  clang++ "${flags[@]}" -fsanitize=fuzzer -DKORVEX_FUZZ_TARGET="$target" tests/fuzz/entry.cpp "${objects[@]}" \
    -o "$out/fuzz_$name"
  echo "$out/fuzz_$name"
done
