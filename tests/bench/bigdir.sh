#!/usr/bin/env bash
# Times the listing of one directory of N entries (default 100000) with korvex -dir,
# ntfsls and The Sleuth Kit's fls, on an image made by mkntfs and an ntfs-3g mount.
#
#   sudo bash tests/bench/bigdir.sh KORVEX_BINARY [N] [WORKDIR]
#
# Needs root, /dev/fuse, ntfs-3g and sleuthkit. The image (about 256 MiB) is kept in
# WORKDIR (default /tmp/korvex-bench) and reused by later runs with the same N.
set -euo pipefail
export LC_ALL=C

KORVEX=$(realpath "$1")
N=${2:-100000}
WORK=${3:-/tmp/korvex-bench}
IMG=$WORK/bigdir-$N.img
MNT=$WORK/mnt
mkdir -p "$WORK" "$MNT"

if [ ! -e "$IMG" ]; then
    truncate -s 256M "$IMG.tmp"
    mkntfs -F -Q -q -T -c 4096 -s 512 -p 0 -H 255 -S 63 "$IMG.tmp" >/dev/null
    ntfs-3g -o no_detach,big_writes "$IMG.tmp" "$MNT" &
    pid=$!
    trap 'mountpoint -q "$MNT" && umount "$MNT"; wait "$pid"' EXIT
    for _ in $(seq 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
    mkdir "$MNT/big"
    # names of 12 to 40 characters in a scrambled order, so the tree is not built by appends
    awk -v n="$N" 'BEGIN { for (i = 0; i < n; i++) { k = (i * 7919) % n;
        printf "file_%06d_%s\n", k, substr("abcdefghijklmnopqrstuvwxyz0123456789", 1, k % 29) } }' |
        (cd "$MNT/big" && xargs touch)
    sync
    umount "$MNT"
    wait "$pid"
    trap - EXIT
    mv "$IMG.tmp" "$IMG"
fi

# the directory's record number, from the root's listing
REC=$(fls -f ntfs "$IMG" 5 | awk -F'[ \t:-]+' '$NF == "big" { print $2 }')
HEX=$(printf '%x' "$REC")

best() { # best of 5 wall-clock times in milliseconds, output to /dev/null
    local b=999999999 t0 t1 ms
    for _ in 1 2 3 4 5; do
        t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
        ms=$(( (t1 - t0) / 1000000 )); [ "$ms" -lt "$b" ] && b=$ms
    done
    echo "$b"
}
lines=$("$KORVEX" -vol "$IMG" -fid "$HEX" -dir | grep -c '^0x')
echo "directory record $REC, korvex lists $lines entries"
echo "korvex -dir : $(best "$KORVEX" -vol "$IMG" -fid "$HEX" -dir) ms"
echo "ntfsls      : $(best ntfsls -a -F -p /big "$IMG") ms"
t0=$(date +%s%N); fls -f ntfs "$IMG" "$REC" >/dev/null; t1=$(date +%s%N)
echo "fls         : $(( (t1 - t0) / 1000000 )) ms (one run)"
