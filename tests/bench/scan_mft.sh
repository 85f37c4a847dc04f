#!/usr/bin/env bash
# Times "-scanmft 0 ffffffffffffffff" over an MFT of N files in use (default 110000)
# against The Sleuth Kit's "ils -e" (every inode, allocated or not) on the same image,
# made by mkntfs and an ntfs-3g mount with "permissions", so every file gets a
# 72-byte $STANDARD_INFORMATION with a security id.
#
#   sudo bash tests/bench/scan_mft.sh KORVEX_BINARY [N] [WORKDIR]
#
# Needs root, /dev/fuse, ntfs-3g and sleuthkit. The image (512 MiB, sparse) is kept in
# WORKDIR (default /tmp/korvex-bench) and reused by later runs with the same N.
set -euo pipefail
export LC_ALL=C

KORVEX=$(realpath "$1")
N=${2:-110000}
WORK=${3:-/tmp/korvex-bench}
IMG=$WORK/scanmft-$N.img
MNT=$WORK/mnt-scanmft
mkdir -p "$WORK" "$MNT"

if [ ! -e "$IMG" ]; then
    truncate -s 512M "$IMG.tmp"
    mkntfs -F -Q -q -T -c 4096 -s 512 -p 0 -H 255 -S 63 "$IMG.tmp" >/dev/null
    ntfs-3g -o no_detach,big_writes,permissions "$IMG.tmp" "$MNT" &
    pid=$!
    for _ in $(seq 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
    # 1000 files a directory; every 7th file gets its own mode, so there are a few
    # distinct security ids among the records
    for ((d = 0; d * 1000 < N; d++)); do
        mkdir "$MNT/d$d"
        count=$(( N - d * 1000 < 1000 ? N - d * 1000 : 1000 ))
        (cd "$MNT/d$d" && seq -f 'f%04g' 1 "$count" | xargs touch && seq -f 'f%04g' 1 7 "$count" | xargs chmod 600)
    done
    sync
    umount "$MNT"
    wait "$pid"
    mv "$IMG.tmp" "$IMG"
fi

best() { # best of 3 wall-clock times in milliseconds, output to /dev/null
    local b=999999999 t0 t1 ms
    for _ in 1 2 3; do
        t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N)
        ms=$(( (t1 - t0) / 1000000 )); [ "$ms" -lt "$b" ] && b=$ms
    done
    echo "$b"
}
inuse=$(ils -f ntfs -a "$IMG" | grep -c '^[0-9]')
listed=$("$KORVEX" -vol "$IMG" -seid 0 ffffffff -scanmft 0 ffffffffffffffff | grep -c '^0x')
echo "records in use $inuse, korvex lists $listed"
echo "korvex -scanmft : $(best "$KORVEX" -vol "$IMG" -seid 0 ffffffff -scanmft 0 ffffffffffffffff) ms"
echo "ils -e          : $(best ils -f ntfs -e "$IMG") ms"
