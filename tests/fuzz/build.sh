#!/usr/bin/env bash
# Builds one libFuzzer binary per target into build-fuzz/ with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build-fuzz
mkdir -p "$out/obj"
sample=$(pwd)/build/images/sample.img
[ -f "$sample" ] || { mkdir -p build/images; tar -xJf tests/images/sample.img.tar.xz -C build/images; }
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=all -DKORVEX_FUZZ_SAMPLE="\"$sample\"")
objects=()
for source in src/attr.cpp src/file.cpp src/main.cpp src/ntfstool.cpp src/volume.cpp \
              platform/console.cpp platform/device.cpp platform/faults.cpp platform/posix/console.cpp platform/posix/file.cpp platform/posix/heap.cpp \
              platform/posix/time.cpp platform/text.cpp $(ls platform/security.cpp 2>/dev/null) \
              tests/image_builder.cpp tests/fuzz/targets.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ]; then
    clang++ "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
# The seed maker for what the real images cannot give (no sanitizers needed).
clang++ -std=c++20 -O1 tests/fuzz/make_seeds.cpp tests/image_builder.cpp -o "$out/make_seeds"
for target in Record RunList Lznt1 Index SecurityDescriptor WholeRun Replay; do
  name=$(echo "$target" | tr '[:upper:]' '[:lower:]')
  clang++ "${flags[@]}" -fsanitize=fuzzer -DKORVEX_FUZZ_TARGET="$target" tests/fuzz/entry.cpp "${objects[@]}" \
    -o "$out/fuzz_$name"
  echo "$out/fuzz_$name"
done
