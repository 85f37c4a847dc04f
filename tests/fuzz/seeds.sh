#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets in build-fuzz/corpus/ from the
# real test images: MFT records, a run list, compressed units, a recorded
# volume log, and no patch at all for the whole run.
set -euo pipefail
cd "$(dirname "$0")/../.."
images=build/images
corpus=build-fuzz/corpus
mkdir -p "$corpus"/{record,runlist,lznt1,index,securitydescriptor,wholerun,replay}
for name in sample compressed; do
  [ -f "$images/$name.img" ] || tar -xJf "tests/images/$name.img.tar.xz" -C "$images"
done
# Records 0, 3, 5 and 64 onwards of the sample image (MFT at cluster 4).
for record in 0 3 5 $(seq 64 78); do
  dd if="$images/sample.img" of="$corpus/record/sample_$record" bs=1024 skip=$((16 + record)) count=3 status=none
done
# The compressed image's attribute-list file (record 103) and its extensions.
mft=$(od -An -t u8 -j 48 -N 8 "$images/compressed.img" | tr -d ' ')
for record in 78 103 105; do
  dd if="$images/compressed.img" of="$corpus/record/compressed_$record" bs=1024 skip=$((mft * 4 + record)) count=3 status=none
done
# Attribute lists over the target's own records 64 to 66.
cp tests/fuzz/seeds/record/* "$corpus/record/"
printf '\x21\x18\x34\x56\x11\x10\xf0\x00' > "$corpus/runlist/negative"
printf '\x01\x20\x11\x05\x30\x21\x10\x00\x01\x00' > "$corpus/runlist/sparse"
printf '\x11\x03\x64\x11\x05\x64\x00' > "$corpus/runlist/two"
# Stored clusters of the first compressed unit of each compressed file.
for record in 65 66 69 72; do
  lcn=$(./build/korvex -vol "$images/compressed.img" -fid "$(printf %x $record)" -printfile |
        awk '/Clusters start @/ && !found { print $NF; found = 1 }')
  dd if="$images/compressed.img" of="$corpus/lznt1/unit_$record" bs=4096 skip=$((lcn)) count=4 status=none
done
# Directory indexes: kind 0 ($I30), the root value's size, the root value,
# then the index blocks.
work=$(mktemp -d)
for entry in "sample 5" "compressed 68" "compressed 69"; do
  set -- $entry
  ./build/korvex -vol "$images/$1.img" -fid "$2" -attribute 90 '$I30' -read 0 10000 -save "$work/root" >/dev/null || true
  ./build/korvex -vol "$images/$1.img" -fid "$2" -attribute a0 '$I30' -read 0 8000 -save "$work/blocks" >/dev/null || true
  if [ -s "$work/root" ]; then
    size=$(stat -c %s "$work/root")
    { printf "\x00\x$(printf %02x $(( (size - 16) / 4 )))"; cat "$work/root"; cat "$work/blocks" 2>/dev/null || true; } \
      > "$corpus/index/$1_$2"
  fi
  rm -f "$work/root" "$work/blocks"
done
rm -rf "$work"
# The descriptors the acls image was made with (hex, third column).
[ -f tests/images/acls.descriptors ] &&
  awk -F'\t' 'NF >= 3 && $3 ~ /^[0-9a-fA-F]+$/ { print NR, $3 }' tests/images/acls.descriptors |
  while read -r line hex; do echo "$hex" | xxd -r -p > "$corpus/securitydescriptor/acl_$line"; done
: > "$corpus/wholerun/none"
printf '\x01\x00\x00\x00\x04ABCD' > "$corpus/wholerun/boot"
# A recorded log of the sample image: entry count, ".idx", ".dat".
log=$(mktemp -d)
./build/korvex -vol "$images/sample.img" -rlog "$log/log" -fid 5 -printfile -dir >/dev/null
entries=$(( $(stat -c %s "$log/log.idx") / 8 ))
{ printf "\\x$(printf %02x $((entries & 255)))\\x$(printf %02x $((entries >> 8)))"; cat "$log/log.idx" "$log/log.dat"; } \
  > "$corpus/replay/sample"
rm -rf "$log"
echo "$corpus"
