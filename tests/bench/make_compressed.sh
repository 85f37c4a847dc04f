#!/usr/bin/env bash
# Makes IMAGE (default /tmp/korvex-bench/compressed.img): an NTFS volume with
# one NTFS-compressed file /c/big.txt of about 250 MB, written through an
# ntfs-3g mount with compression. Prints the file's MFT record number.
# Needs root and /dev/fuse.
set -euo pipefail
image=${1:-/tmp/korvex-bench/compressed.img}
mkdir -p "$(dirname "$image")"
command -v mkntfs >/dev/null || apt-get install -y ntfs-3g attr >/dev/null
mnt=$(mktemp -d)
trap 'umount "$mnt" 2>/dev/null || true; rmdir "$mnt"' EXIT
rm -f "$image"
truncate -s 600M "$image"
mkntfs -F -Q -q -c 4096 -L bench "$image" 2>/dev/null
ntfs-3g -o compression "$image" "$mnt"
mkdir "$mnt/c"
setfattr -h -v 0x00000810 -n system.ntfs_attrib_be "$mnt/c"
# Text that compresses to roughly a third: numbered lines with varying words.
seq 1 30000000 | awk '{ printf "%08d %s %x\n", $1, ($1 % 7 ? "alpha" : "omega"), $1 * 2654435761 % 4294967296 }' \
  | head -c 250000000 > "$mnt/c/big.txt" || true   # head ends the pipe early on purpose
record=$(stat -c %i "$mnt/c/big.txt")
umount "$mnt"
echo "$image record $record"
