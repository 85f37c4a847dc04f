#!/usr/bin/env bash
# Builds the NTFS test images used by korvex's tests and the README sample.
#
#   sudo bash tests/images/make_images.sh [OUTDIR [IMAGE...]]   (OUTDIR defaults to this folder;
#                                       IMAGE: sample, clusters512, compressed, security, acls,
#                                       dirs, names)
#
# Every image is made by mkntfs and then filled through an ntfs-3g FUSE mount, so the
# on-disk structures are the ones a real NTFS driver writes (run lists, $ATTRIBUTE_LIST,
# LZNT1 compression units, $I30 B+ trees, $Secure).  Needs root and /dev/fuse.
#
# Outputs per image NAME:
#   NAME.img.tar.xz   reproducible tar (just NAME.img) compressed with xz
#   NAME.manifest     one line per file/stream written, TAB separated:
#                       mft_record  path_in_volume  stream_name(or empty)  size  sha256
#                     (mft_record is the inode ntfs-3g reports, which is the MFT record number)
#   NAME.content/     raw bytes of the small (< 64 KiB, non-empty) streams, named
#                     REC.bin for the unnamed $DATA and REC.STREAM.bin for a named stream.
#
# File contents are generated deterministically so a test can rebuild them without the
# fixture; the generators are:
#   text N LINE     : `yes LINE | head -c N` - LINE plus '\n' repeated, cut at N bytes
#   lcg N SEED      : N pseudo-random bytes: x = SEED; repeat { x = (x*214013 + 2531011)
#                     mod 2^32; emit (x >> 16) & 0xff }  (incompressible for LZNT1)
#   zeros N         : N zero bytes
#   literal STRING  : printf '%s' STRING (no newline added)
#   blocks N BS LBL : N blocks of BS bytes, block i = text(BS, "LBL i") (block order is
#                     visible in the content, so a misread run list shows up)
# Layouts that combine generators (holes, zero stretches) are described where they are made.
#
# The volumes are formatted with fixed geometry, label and serial number and with mkntfs -T
# (system file times = 1970-01-01), so the layout (record numbers, clusters) is the same on
# every run; only the timestamps of the files written through the mount differ.

set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$HERE}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

if [ "$(id -u)" != 0 ]; then
    echo "make_images.sh: must run as root (mkntfs on a file is fine, but the FUSE mount is not)" >&2
    exit 1
fi
command -v mkntfs >/dev/null || apt-get install -y ntfs-3g
command -v setfattr >/dev/null || apt-get install -y attr
for t in mkntfs ntfs-3g ntfslabel ntfsinfo setfattr xz tar sha256sum mountpoint; do
    command -v "$t" >/dev/null || { echo "missing tool: $t" >&2; exit 1; }
done
HAVE_TSK=0
command -v istat >/dev/null && command -v icat >/dev/null && HAVE_TSK=1

WORK=$(mktemp -d /tmp/korvex-images.XXXXXX)
MNT=$WORK/mnt
mkdir -p "$MNT"
FUSE_PID=""

cleanup() {
    set +e
    if mountpoint -q "$MNT"; then
        umount "$MNT" || umount -l "$MNT"
    fi
    if [ -n "$FUSE_PID" ]; then
        wait "$FUSE_PID" 2>/dev/null
        FUSE_PID=""
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { printf '== %s\n' "$*" >&2; }

# ---------------------------------------------------------------- content generators
text()    { yes "$2" | head -c "$1" || true; }
lcg()     {
    awk -v n="$1" -v s="$2" 'BEGIN {
        x = s
        for (i = 0; i < n; i++) {
            x = (x * 214013 + 2531011) % 4294967296   # stays below 2^53: exact in a double
            printf "%c", int(x / 65536) % 256
        }
    }'
}
zeros()   { head -c "$1" /dev/zero; }
literal() { printf '%s' "$1"; }
blocks()  { local i; for ((i = 0; i < $1; i++)); do text "$2" "$3 $i"; done; }

# ---------------------------------------------------------------- image / mount helpers
IMG=""      # current image file
NAME=""     # current image name
MANIFEST="" # current manifest (built in WORK, copied to OUT at the end)
CONTENT=""  # current content dir

# new_image NAME SIZE_MIB CLUSTER_BYTES SERIAL
new_image() {
    NAME=$1
    IMG=$WORK/$NAME.img
    MANIFEST=$WORK/$NAME.manifest
    CONTENT=$WORK/$NAME.content
    rm -rf "$IMG" "$MANIFEST" "$CONTENT"
    : > "$MANIFEST"
    mkdir -p "$CONTENT"
    truncate -s "$(($2 * 1024 * 1024))" "$IMG"
    # -Q quick (no zeroing / bad-block scan), -T fixed 1970 times for the system files,
    # 512-byte sectors, CHS fields as a typical disk would report them, no hidden sectors.
    mkntfs -F -Q -q -T -c "$3" -s 512 -p 0 -H 255 -S 63 -L "$NAME" "$IMG" >/dev/null 2>&1
    ntfslabel -q --new-serial="$4" "$IMG" >/dev/null
    log "$NAME: formatted $2 MiB, cluster $3"
}

# mount_img [extra ntfs-3g options]
# ntfs-3g runs in the foreground (no_detach) as our child so that after umount we can
# wait for it to finish writing back and close the image.
MOUNT_OPTS=""
mount_img() {
    MOUNT_OPTS=${1:-}
    local opts="no_detach,big_writes${1:+,$1}"
    ntfs-3g -o "$opts" "$IMG" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
    FUSE_PID=$!
    local i
    for i in $(seq 100); do
        mountpoint -q "$MNT" && return 0
        sleep 0.1
    done
    cat "$WORK/ntfs-3g.log" >&2
    echo "ntfs-3g mount of $IMG failed" >&2
    exit 1
}

umount_img() {
    sync
    umount "$MNT"
    wait "$FUSE_PID"
    FUSE_PID=""
}

# path of REL (absolute inside the volume) with optional :STREAM, on the mount
mpath() { if [ -n "${2:-}" ]; then printf '%s:%s' "$MNT$1" "$2"; else printf '%s' "$MNT$1"; fi; }

# esc TEXT : TEXT with '%', the C0 controls and DEL written as %HH, so that names holding
# TAB or a line feed keep the manifest's one line per stream and make valid file names
esc() { printf '%s' "$1" | perl -pe 's/([%\x00-\x1f\x7f])/sprintf("%%%02x", ord $1)/ge'; }

# record REL STREAM EXPECTED_FILE : checks the mounted stream equals EXPECTED_FILE and
# appends the manifest line; keeps a copy of small content.
record() {
    local rel=$1 stream=$2 expect=$3 target rec size sha
    target=$(mpath "$rel" "$stream")
    if ! cmp -s "$expect" "$target"; then
        echo "read-back mismatch for $rel${stream:+:$stream}" >&2
        exit 1
    fi
    rec=$(stat -c %i "$MNT$rel")
    size=$(stat -c %s "$expect")
    sha=$(sha256sum < "$expect" | cut -d' ' -f1)
    printf '%s\t%s\t%s\t%s\t%s\n' "$rec" "$(esc "$rel")" "$(esc "$stream")" "$size" "$sha" >> "$MANIFEST"
    if [ "$size" -gt 0 ] && [ "$size" -lt 65536 ]; then
        local cname="$rec.bin"
        [ -n "$stream" ] && cname="$rec.$(esc "$stream").bin"
        [ -e "$CONTENT/$cname" ] || cp "$expect" "$CONTENT/$cname"
    fi
}

# put REL STREAM GENERATOR ARGS... : writes one stream in one go and records it
put() {
    local rel=$1 stream=$2
    shift 2
    "$@" > "$WORK/expect"
    [ -n "$stream" ] && [ ! -e "$MNT$rel" ] && : > "$MNT$rel"
    cat "$WORK/expect" > "$(mpath "$rel" "$stream")"
    record "$rel" "$stream" "$WORK/expect"
}

# build REL FUNCTION : FUNCTION FILE builds a file by several operations (seeks, holes);
# it is run on a scratch file and on the mounted file, and the two must agree.
build() {
    local rel=$1 fn=$2
    rm -f "$WORK/expect"
    "$fn" "$WORK/expect"
    "$fn" "$MNT$rel"
    record "$rel" "" "$WORK/expect"
}

# link EXISTING_REL NEW_REL : hard link; recorded as another name of the same record
link() {
    ln "$MNT$1" "$MNT$2"
    cp "$MNT$1" "$WORK/expect"
    record "$2" "" "$WORK/expect"
}

# write a block of generated data at byte OFFSET of FILE without truncating it
poke() { # poke FILE OFFSET GENERATOR ARGS...
    local f=$1 off=$2
    shift 2
    "$@" | dd of="$f" bs=512 seek="$off" oflag=seek_bytes conv=notrunc status=none
}

# finish : unmount, sanity-check with The Sleuth Kit, package
finish() {
    ( cd "$MNT" && find . -type d -printf '%i\t/%P\n' | sort -n | sed "s/^/   $NAME dir: /" ) >&2
    umount_img
    if command -v ntfsfix >/dev/null; then
        ntfsfix -n "$IMG" >"$WORK/ntfsfix.log" 2>&1 || { cat "$WORK/ntfsfix.log" >&2; exit 1; }
    fi
    if [ "$HAVE_TSK" = 1 ]; then
        fsstat -f ntfs "$IMG" >/dev/null
        # every unnamed stream must read back the same through an independent reader
        local rec rel stream size sha got
        while IFS=$'\t' read -r rec rel stream size sha; do
            [ -n "$stream" ] && continue
            got=$(icat -f ntfs "$IMG" "$rec" | sha256sum | cut -d' ' -f1)
            [ "$got" = "$sha" ] || log "WARNING: icat of record $rec ($rel) differs from what was written"
        done < "$MANIFEST"
    fi
    rm -f "$OUT/$NAME.img.tar.xz"
    XZ_OPT=-9e tar -C "$WORK" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
        -cJf "$OUT/$NAME.img.tar.xz" "$NAME.img"
    cp "$MANIFEST" "$OUT/$NAME.manifest"
    rm -rf "$OUT/$NAME.content"
    if [ -n "$(ls -A "$CONTENT")" ]; then
        cp -r "$CONTENT" "$OUT/$NAME.content"
    fi
    log "$NAME: $(wc -l < "$MANIFEST") streams, $(stat -c %s "$OUT/$NAME.img.tar.xz") bytes compressed"
    rm -f "$IMG"
}

# ================================================================ image 1: sample
# 8 MiB, 4 KiB clusters, 1 KiB MFT records.  A small everyday tree: nested directories,
# non-ASCII names, a named stream, resident and non-resident data.
make_sample() {
    new_image sample 8 4096 0x5A3C96E1F00DBA11
    mount_img streams_interface=windows
    mkdir -p "$MNT/docs/sub/deeper" "$MNT/empty_dir" "$MNT/media"
    put /docs/readme.txt ""  literal $'korvex sample volume\nThis file is small enough to stay resident in its MFT record.\n'
    put /docs/sub/deep.txt "" text 300 "deep inside /docs/sub"
    put /docs/sub/deeper/deepest.txt "" literal $'three levels down\n'
    put /small.txt ""        text 512 "resident"                    # 512 bytes: resident $DATA
    put /big.bin ""          lcg 102400 1                            # 100 KiB: 25 clusters, non-resident
    put /media/notes.md ""   text 5000 "# notes - 5000 bytes, non-resident but one run"
    put "/café.txt" ""       literal $'caf\xc3\xa9 - a name with a Latin-1 letter\n'
    put "/日本語のファイル.txt" "" literal $'CJK file name (UTF-16 in $FILE_NAME)\n'
    put /empty.txt ""        literal ""
    # unnamed data plus two named $DATA streams on the same record
    put /streams.txt ""        literal $'main stream\n'
    put /streams.txt author    literal $'written by the korvex image builder\n'
    put /streams.txt Zone.Identifier literal $'[ZoneTransfer]\r\nZoneId=3\r\n'
    finish
}

# ================================================================ image 2: clusters512
# 4 MiB, 512-byte clusters: cluster == sector, run lists with many short runs.
make_clusters512() {
    new_image clusters512 4 512 0x0512C1A5DEADF00D
    mount_img streams_interface=windows
    mkdir -p "$MNT/dir"
    put /hello.txt ""        literal $'hello from a 512-byte-cluster volume\n'
    put /dir/multi.bin ""    text 6000 "6000 bytes over 12 clusters of 512"
    put /dir/page.txt ""     text 4096 "exactly eight clusters"
    # fragmented.bin: blocks(32, 1024, "fragment") laid into 32 two-cluster holes, see
    # fragment() - one run per 1 KiB block.
    fragment /fragmented.bin 32 1024 fragment
    put /tail.txt ""         text 700 "after the fragmented file"
    finish
}
# fragment REL COUNT BS LABEL : writes blocks(COUNT, BS, LABEL) to REL so that every block
# gets its own run.  An allocator prefers contiguous free space, so we leave it none:
#   1. 2*(COUNT+8) helper files of BS bytes are written (one run each) and the rest of the
#      volume is filled up with a zero file;
#   2. the volume is unmounted and the first LCN of every helper file is read back; the
#      helpers are sorted by LCN and every other one is deleted, which leaves COUNT+8
#      holes of BS bytes, each between two allocated clusters (helpers are not placed in
#      creation order, so deleting "every other file by name" would free whole stretches);
#   3. REL is written block by block and has to be scattered over the holes.
# Afterwards the helpers and the filler are removed (their MFT records remain as unused
# records, their clusters are free again).
fragment() {
    local rel=$1 count=$2 bs=$3 label=$4 i n pairs=$(( $2 + 8 )) rec lcn
    : > "$MNT$rel"
    mkdir "$MNT/.checker"
    text "$bs" "checker" > "$WORK/checker"
    for ((i = 0; i < 2 * pairs; i++)); do
        cp "$WORK/checker" "$MNT/.checker/$i"
    done
    for n in 65536 4096 512; do
        dd if=/dev/zero of="$MNT/.fill" bs="$n" oflag=append conv=notrunc status=none 2>/dev/null || true
    done
    : > "$WORK/checker.lcn"
    for ((i = 0; i < 2 * pairs; i++)); do
        printf '%s %s\n' "$i" "$(stat -c %i "$MNT/.checker/$i")" >> "$WORK/checker.lcn"
    done
    umount_img
    while read -r i rec; do
        lcn=$(ntfsinfo -v -i "$rec" "$IMG" | awk '/Runlist:/ { getline; print $2; exit }')
        printf '%d %s\n' "$lcn" "$i"
    done < "$WORK/checker.lcn" | sort -n > "$WORK/checker.sorted"
    mount_img "$MOUNT_OPTS"
    awk 'NR % 2 == 0 { print $2 }' "$WORK/checker.sorted" | while read -r i; do
        rm "$MNT/.checker/$i"
    done
    blocks "$count" "$bs" "$label" > "$WORK/expect"
    # one BS-sized write per block (a single large write of the whole file can fail with
    # ENOSPC here even though enough scattered clusters are free)
    dd if="$WORK/expect" of="$MNT$rel" bs="$bs" status=none
    rm -rf "$MNT/.checker" "$MNT/.fill"
    record "$rel" "" "$WORK/expect"
}

# ================================================================ image 3: compressed
# 16 MiB, 4 KiB clusters (LZNT1 needs clusters <= 4 KiB; compression unit = 16 clusters =
# 64 KiB).  Also: sparse file, several named streams, $ATTRIBUTE_LIST, large $I30 indexes.
make_compressed() {
    new_image compressed 16 4096 0xC0C0C0C0DEC0DE16
    mount_img streams_interface=windows,compression
    mkdir "$MNT/comp"
    # FILE_ATTRIBUTE_COMPRESSED (0x800) | FILE_ATTRIBUTE_DIRECTORY (0x10), big-endian
    # value of ntfs-3g's system.ntfs_attrib_be; new files inside get compressed $DATA.
    setfattr -h -v 0x00000810 -n system.ntfs_attrib_be "$MNT/comp"
    local TXT="The quick brown fox jumps over the lazy dog. 0123456789"
    put /comp/text_100000.txt ""  text 100000 "$TXT"    # 1 full unit + partial unit
    put /comp/text_200001.txt ""  text 200001 "$TXT"    # 3 full units + 3393 bytes
    put /comp/exact_65536.txt ""  text 65536 "$TXT"     # exactly one unit
    put /comp/one_byte.txt ""     literal "A"           # resident even in a compressed dir
    put /comp/random_150000.bin "" lcg 150000 3         # incompressible: units stored raw
    build /comp/zeros_mixed.bin zeros_mixed
    build /comp/holes.bin holes
    build /comp/mixed_units.bin mixed_units
    mkdir "$MNT/comp/sub"                               # inherits the compressed flag
    put /comp/sub/inner.txt ""    text 70000 "compressed because the parent directory is"

    # sparse (not compressed) file: 1 MiB with three islands of data
    build /sparse.bin sparse

    # several named streams of different sizes on one file
    put /streams.txt ""           literal $'unnamed stream of streams.txt\n'
    put /streams.txt alpha        literal "a"
    put /streams.txt beta         text 20000 "beta is non-resident"
    put /streams.txt gamma        literal ""
    put /streams.txt Zone.Identifier literal $'[ZoneTransfer]\r\nZoneId=3\r\n'

    # $ATTRIBUTE_LIST through hard links: 70 extra names of ~120 characters in one
    # directory give 71 $FILE_NAME attributes (~300 bytes each), far more than a 1 KiB
    # record holds, so they spill into extension records listed by an $ATTRIBUTE_LIST.
    mkdir "$MNT/links"
    put /links/target.txt ""      text 3000 "one record, many names"
    local i pad
    pad=$(printf '%0100d' 0 | tr 0 n)
    for i in $(seq -w 1 70); do
        link /links/target.txt "/links/name_${i}_${pad}.txt"
    done

    # $ATTRIBUTE_LIST through a long run list: blocks(800, 4096, "cluster") scattered
    # one cluster per run (see fragment()); ~800 runs of ~3 bytes of mapping pairs do not
    # fit one record, so the unnamed $DATA is split into several attribute pieces (each
    # starting at a later VCN) kept in extension records listed by an $ATTRIBUTE_LIST.
    fragment /fragmented.bin 800 4096 cluster

    # directory indexes: 300 entries (index root + a few index blocks) and 2000 entries
    # with long names (a B+ tree of more than two levels).  Names are created in a
    # scrambled order (k = i*7919 mod N) so the tree is not built by pure appends.
    mkdir "$MNT/dir300" "$MNT/bigdir"
    make_dir_entries /dir300 300 24
    make_dir_entries /bigdir 2000 90
    finish
}

# zeros_mixed.bin, 300000 bytes, everything written explicitly (zeros included):
#   [0, 16384) text; [16384, 49152) zeros; [49152, 65536) text  -> zeros inside unit 0
#   [65536, 131072) zeros                                        -> an all-zero unit 1
#   [131072, 163840) text; [163840, 196608) zeros                -> unit 2 half zero
#   [196608, 262144) text                                        -> unit 3
#   [262144, 272144) text; [272144, 300000) zeros                -> zero tail in last unit
# "text" here is text(N, "zero stretches around me") starting afresh at each piece.
zeros_mixed() {
    local L="zero stretches around me"
    {
        text 16384 "$L"; zeros 32768; text 16384 "$L"
        zeros 65536
        text 32768 "$L"; zeros 32768
        text 65536 "$L"
        text 10000 "$L"; zeros 27856
    } > "$1"
}
# holes.bin: 327680 bytes (5 units) created by truncate; only units 1 and 3 are written
# (text(65536, "unit one") at 65536 and text(65536, "unit three") at 196608), and 100 bytes
# text(100, "tail") at 327580.  Units 0 and 2 are never written -> sparse.
holes() {
    : > "$1"
    truncate -s 327680 "$1"
    poke "$1" 65536  text 65536 "unit one"
    poke "$1" 196608 text 65536 "unit three"
    poke "$1" 327580 text 100 "tail"
}
# mixed_units.bin, 180000 bytes: lcg(65536, 11) | text(65536, "compressible unit") |
# lcg(20000, 12) | text(28928, "half and half")
mixed_units() {
    { lcg 65536 11; text 65536 "compressible unit"; lcg 20000 12; text 28928 "half and half"; } > "$1"
}
# sparse.bin: truncate to 1 MiB, then text(8192, "island one") at 262144,
# lcg(4096, 5) at 655360 and text(100, "near the end") at 1048000.
sparse() {
    : > "$1"
    truncate -s 1048576 "$1"
    poke "$1" 262144  text 8192 "island one"
    poke "$1" 655360  lcg 4096 5
    poke "$1" 1048000 text 100 "near the end"
}
# make_dir_entries DIR N MAXPAD: N empty files "fNNNN_" + 'x' * (k*37 mod MAXPAD) + ".dat"
# with k = i*7919 mod N for i = 0..N-1 (creation order).
make_dir_entries() {
    local dir=$1 n=$2 maxpad=$3 i k name rec
    for ((i = 0; i < n; i++)); do
        k=$(( i * 7919 % n ))
        name=$(printf 'f%04d_%s.dat' "$k" "$(printf '%*s' $(( k * 37 % maxpad )) '' | tr ' ' x)")
        : > "$MNT$dir/$name"
        rec=$(stat -c %i "$MNT$dir/$name")
        printf '%s\t%s\t\t0\te3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n' \
            "$rec" "$dir/$name" >> "$MANIFEST"
    done
}

# ================================================================ image 4: security
# 4 MiB, 4 KiB clusters, mounted with ntfs-3g's "permissions" so every file gets a
# security id into $Secure ($SDS data, $SII and $SDH indexes) instead of a private
# $SECURITY_DESCRIPTOR; distinct owner/group/mode triples give distinct descriptors.
make_security() {
    new_image security 4 4096 0x5EC0DE5EC0DE0004
    mount_img streams_interface=windows,permissions
    mkdir "$MNT/private" "$MNT/shared"
    chmod 700 "$MNT/private"
    chmod 1777 "$MNT/shared"
    put /public.txt ""          literal $'mode 644 owner 0\n'
    chmod 644 "$MNT/public.txt"
    put /secret.txt ""          literal $'mode 600 owner 1000\n'
    chown 1000:1000 "$MNT/secret.txt"; chmod 600 "$MNT/secret.txt"
    put /script.sh ""           literal $'#!/bin/sh\necho mode 755 owner 1001\n'
    chown 1001:100 "$MNT/script.sh"; chmod 755 "$MNT/script.sh"
    put /private/key.txt ""     literal $'mode 400 owner 1000 group 1001\n'
    chown 1000:1001 "$MNT/private/key.txt"; chmod 400 "$MNT/private/key.txt"
    put /shared/group.txt ""    literal $'mode 664 owner 1002 group 100\n'
    chown 1002:100 "$MNT/shared/group.txt"; chmod 664 "$MNT/shared/group.txt"
    put /shared/same_as_public.txt "" literal $'same owner and mode as /public.txt\n'
    chmod 644 "$MNT/shared/same_as_public.txt"
    finish
}

# ================================================================ image 5: acls
# 4 MiB, 4 KiB clusters, mounted with "permissions". Each file gets a security descriptor
# written byte for byte through ntfs-3g's system.ntfs_acl attribute, so $Secure holds
# descriptors that chmod/chown never make: no DACL, NULL DACLs, inherited and denying
# entries, object and audit entries inside a DACL, an empty DACL, authorities of 2^32 and
# more.  NAME.descriptors lists record, path and the descriptor in hex, as set.
#
# Descriptor builders (hex strings; every field little-endian except the 48-bit
# big-endian identifier authority of a SID):
le16() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }
# sid AUTHORITY SUB... : revision 1, sub-authority count, authority, sub-authorities
sid() { local a=$1 s; shift; printf '01%02x%012x' $# "$a"; for s in "$@"; do le32 "$s"; done; }
# ace TYPE FLAGS MASK REST : 4-byte header (type, flags, size), access mask, REST (the SID,
# or for an object entry its flags word and SID)
ace() { local body; body=$(le32 "$3")$4; printf '%02x%02x' "$1" "$2"; le16 $((4 + ${#body} / 2)); printf '%s' "$body"; }
# acl REVISION ACE... : 8-byte header (revision, size, entry count), then the entries
acl() { local rev=$1 all; shift; all=$(printf '%s' "$@"); printf '%02x00' "$rev"; le16 $((8 + ${#all} / 2)); le16 $#; printf '0000%s' "$all"; }
# descriptor CONTROL OWNER GROUP DACL : self-relative (revision 1, control, offsets of owner,
# group, SACL and DACL), DACL first, then owner and group; an empty part is absent (offset 0)
descriptor() {
    local off=20 d=0 o=0 g=0
    [ -n "$4" ] && { d=$off; off=$((off + ${#4} / 2)); }
    [ -n "$2" ] && { o=$off; off=$((off + ${#2} / 2)); }
    [ -n "$3" ] && g=$off
    printf '0100'; le16 "$1"; le32 $o; le32 $g; le32 0; le32 $d; printf '%s%s%s' "$4" "$2" "$3"
}
# acl_file REL HEX : creates REL, sets its descriptor and records it
acl_file() {
    put "$1" "" literal "descriptor set through system.ntfs_acl"$'\n'
    setfattr -h -n system.ntfs_acl -v "0x$2" "$MNT$1"
    local got
    got=$(getfattr -h -e hex --only-values -n system.ntfs_acl "$MNT$1" 2>/dev/null | od -An -tx1 -v | tr -d ' \n')
    [ "$got" = "$2" ] || { echo "system.ntfs_acl of $1 reads back as $got" >&2; exit 1; }
    printf '%s\t%s\t%s\n' "$(stat -c %i "$MNT$1")" "$1" "$2" >> "$WORK/$NAME.descriptors"
}
make_acls() {
    new_image acls 4 4096 0xAC15AC15AC15AC15
    : > "$WORK/acls.descriptors"
    mount_img streams_interface=windows,permissions
    local ADMINS SYSTEM WORLD USER
    ADMINS=$(sid 5 32 544)             # S-1-5-32-544
    SYSTEM=$(sid 5 18)                 # S-1-5-18
    WORLD=$(sid 1 0)                   # S-1-1-0
    USER=$(sid 5 21 1 2 3 1001)        # S-1-5-21-1-2-3-1001
    # control bits: 0x8000 self-relative, 0x0004 DACL present, 0x1000 DACL protected,
    # 0x0400 DACL auto-inherited; entry flags: 0x10 inherited, 0x03 object+container inherit
    acl_file /no_dacl.txt              "$(descriptor 0x8000 "$USER" "$ADMINS" "")"
    acl_file /null_dacl.txt            "$(descriptor 0x8004 "$ADMINS" "$ADMINS" "")"
    acl_file /null_dacl_protected.txt  "$(descriptor 0x9004 "$ADMINS" "$ADMINS" "")"
    acl_file /inherited.txt            "$(descriptor 0x8404 "$USER" "$ADMINS" "$(acl 2 \
        "$(ace 0 0x10 0x1f01ff "$ADMINS")" "$(ace 1 0 0x2 "$WORLD")" "$(ace 0 0x13 0x1200a9 "$USER")")")"
    # an ACCESS_ALLOWED_OBJECT_ACE (type 5, no object types: flags word 0) needs ACL revision 4
    acl_file /object_ace.txt           "$(descriptor 0x8004 "$ADMINS" "$ADMINS" "$(acl 4 \
        "$(ace 5 0 0x100 "00000000$ADMINS")" "$(ace 0 0 0x1f01ff "$SYSTEM")")")"
    # a SYSTEM_AUDIT_ACE (type 2, success and failure flags) where a DACL entry would be
    acl_file /audit_ace.txt            "$(descriptor 0x8004 "$ADMINS" "$ADMINS" "$(acl 2 \
        "$(ace 2 0xc0 0x1f01ff "$WORLD")" "$(ace 0 0 0x1f01ff "$SYSTEM")")")"
    acl_file /empty_dacl.txt           "$(descriptor 0x9004 "$ADMINS" "$ADMINS" "$(acl 2)")"
    acl_file /big_authority.txt        "$(descriptor 0x8004 "$(sid 0xab0000000001 7 8)" "$(sid 0xffffffff 1)" \
        "$(acl 2 "$(ace 0 0 0x1f01ff "$(sid 0x100000000)")")")"
    finish
    cp "$WORK/acls.descriptors" "$OUT/acls.descriptors"
}

# ================================================================ image 6: dirs
# 32 MiB, 64 KiB clusters: the 4 KiB index blocks are smaller than a cluster, so subnode
# VCNs count 512-byte units and several blocks share a cluster.  A directory of 3000
# entries (a B+ tree of more than two levels), names whose order by UTF-16 code unit
# differs from their order by code point, by case or by locale, hard links, and a Win32
# name with a DOS 8.3 alias (two $I30 entries for one file).
make_dirs() {
    new_image dirs 32 65536 0xD1D5D1D5D1D5D1D5
    mount_img streams_interface=windows
    mkdir "$MNT/many" "$MNT/names" "$MNT/names/sub"
    make_dir_entries /many 3000 40
    # Non-ASCII names as UTF-8 bytes: e-acute, capital E-acute, CJK, Greek omega, U+1F600,
    # U+1D11E and U+1F004 (astral: surrogate pairs D83D/D834/D83C), U+E000 (private use,
    # above the surrogates) and U+FF21 (fullwidth A).  By code unit the astral names sort
    # before U+E000 and U+FF21; by code point they would sort after.
    local name
    for name in Zeta alpha ABC abc a "~tilde" $'caf\xc3\xa9' $'CAF\xc3\x89' \
                $'\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e' $'\xce\xa9' \
                $'\xf0\x9f\x98\x80 grinning' $'\xf0\x9d\x84\x9e clef' $'\xf0\x9f\x80\x84 tile' \
                $'\xee\x80\x80 private' $'\xef\xbc\xa1 fullwidth'; do
        put "/names/$name.txt" "" literal "$name"$'\n'
    done
    link /names/a.txt "/names/link to a.txt"
    link /names/a.txt $'/names/\xf0\x9f\x94\x97 link.txt'
    # ntfs-3g turns the POSIX name into a Win32 name and adds the DOS name beside it.
    put "/names/Long File Name.txt" "" literal $'has a DOS alias\n'
    setfattr -h -n system.ntfs_dos_name -v LONGFI~1.TXT "$MNT/names/Long File Name.txt"
    finish
}

# ================================================================ image 7: names
# 4 MiB, 4 KiB clusters. POSIX names may hold any code unit but NUL and '/', and ntfs-3g
# stores them as given: names with terminal escape sequences (a window title, colours, a
# screen clear), BEL, a line feed that would start a fake listing line, TAB, DEL, the C1
# control CSI (U+009B), a right-to-left override (U+202E) and a left-to-right isolate
# (U+2066); a directory and a named stream with such names; one plain name beside them.
make_names() {
    new_image names 4 4096 0x4E414D45535F0015
    mount_img streams_interface=windows
    local title=$'a\e]0;pwned\a\e[31mRED\e[0m' clear=$'dir\e[2J\e[H'
    put "/$title" ""                       literal $'title and colour\n'
    put $'/bell\ax' ""                     literal $'bell\n'
    put $'/line\n0x0000000000000040       fake.txt' "" literal $'line feed\n'
    put $'/tab\tand\x7fdel' ""             literal $'tab and delete\n'
    put $'/c1\xc2\x9b31mred' ""            literal $'C1 CSI\n'
    put $'/invoice\xe2\x80\xaetxt.exe' "" literal $'right-to-left override\n'
    put $'/isolate\xe2\x81\xa6x\xe2\x81\xa9' "" literal $'isolate\n'
    put /plain.txt ""                      literal $'plain name\n'
    mkdir "$MNT/$clear"
    put "/$clear/inner.txt" ""             literal $'inside a hostile directory name\n'
    put /plain.txt $'s\e[31m\x7f'          literal $'named stream\n'
    finish
}

# images named after OUTDIR are made alone; without names, all of them
IMAGES=("${@:2}")
[ ${#IMAGES[@]} -gt 0 ] || IMAGES=(sample clusters512 compressed security acls dirs names)
for image in "${IMAGES[@]}"; do
    "make_$image"
done
log "done: outputs in $OUT"
