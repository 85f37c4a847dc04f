#!/usr/bin/env bash
# Builds the 4 GiB benchmark volume once (mkntfs, then an ntfs-3g mount) into
# WORKDIR (default /var/tmp/korvex-bench) and writes WORKDIR/bench.info with the
# record numbers of what it holds:
#   /big   100,000 empty files, /mid 10,000 (names of 12 to 40 characters, made
#          in a scrambled order so the trees are not built by appends)
#   /frag.bin  512 MiB of pseudo-random bytes written into free space cut into
#          holes, so its $DATA has thousands of runs spread over extension
#          records through an attribute list
#   /c/big.txt  about 250 MB of text in a compressed folder (LZNT1 units)
#
#   sudo bash tests/bench/make_bench_image.sh [WORKDIR]
#
# Needs root and /dev/fuse; installs ntfs-3g and attr when missing.
set -euo pipefail
export LC_ALL=C

WORK=${1:-/var/tmp/korvex-bench}
IMG=$WORK/bench.img
[ -e "$IMG" ] && [ -e "$WORK/bench.info" ] && exit 0
command -v mkntfs >/dev/null || apt-get install -y ntfs-3g >/dev/null
command -v setfattr >/dev/null || apt-get install -y attr >/dev/null
mkdir -p "$WORK"
MNT=$(mktemp -d)
pid=""
cleanup() {
    set +e
    mountpoint -q "$MNT" && umount "$MNT"
    [ -n "$pid" ] && wait "$pid"
    rmdir "$MNT"
}
trap cleanup EXIT

rm -f "$IMG.tmp"
truncate -s 4G "$IMG.tmp"
mkntfs -F -Q -q -T -c 4096 -s 512 -p 0 -H 255 -S 63 -L bench "$IMG.tmp" >/dev/null
ntfs-3g -o no_detach,big_writes,compression "$IMG.tmp" "$MNT" &
pid=$!
for _ in $(seq 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
mountpoint -q "$MNT"

names() { # N names in a scrambled order
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) { k = (i * 7919) % n;
        printf "file_%06d_%s\n", k, substr("abcdefghijklmnopqrstuvwxyz0123456789", 1, k % 29) } }'
}
echo "== directories" >&2
mkdir "$MNT/big" "$MNT/mid"
names 100000 | (cd "$MNT/big" && xargs touch)
names 10000 | (cd "$MNT/mid" && xargs touch)

echo "== compressed file" >&2
mkdir "$MNT/c"
setfattr -h -v 0x00000810 -n system.ntfs_attrib_be "$MNT/c"
# Numbered lines with varying words: compresses to roughly a half.
seq 1 30000000 | awk '{ printf "%08d %s %x\n", $1, ($1 % 7 ? "alpha" : "omega"), $1 * 2654435761 % 4294967296 }' |
    head -c 262000000 >"$MNT/c/big.txt" || true # head ends the pipe early on purpose

echo "== fragmented file" >&2
# Free space cut into holes: pairs of a 192 KiB and a 4 KiB file, the rest of
# the volume filled, then the 192 KiB files removed, so that the driver has to
# scatter the file over the holes.
mkdir "$MNT/h"
python3 -c '
import os, sys
for i in range(2760):
    for name, size in (("h%d" % i, 196608), ("k%d" % i, 4096)):
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(b"\x55" * size)
' "$MNT/h"
dd if=/dev/zero of="$MNT/fill" bs=1M 2>/dev/null || true
rm -f "$MNT"/h/h*
python3 -c '
import random, sys
rng = random.Random(13)
with open(sys.argv[1], "wb") as f:
    for _ in range(512):
        f.write(rng.randbytes(1 << 20))
' "$MNT/frag.bin"
rm -f "$MNT/fill"

{
    echo "FRAG=$(stat -c %i "$MNT/frag.bin")"
    echo "COMP=$(stat -c %i "$MNT/c/big.txt")"
    echo "BIG=$(stat -c %i "$MNT/big")"
    echo "MID=$(stat -c %i "$MNT/mid")"
} >"$WORK/bench.info.tmp"
sync
umount "$MNT"
wait "$pid"
pid=""
mv "$IMG.tmp" "$IMG"
mv "$WORK/bench.info.tmp" "$WORK/bench.info"
cat "$WORK/bench.info" >&2
