#!/usr/bin/env bash
# Times korvex against its peers on the benchmark volume, all in one run, and
# prints a table of medians (of 11 runs after a warm-up, each a whole process,
# warm page cache, the programs of a task taking turns) with the ratios the
# performance goals are stated in. Every
# extractor's output is checked by SHA-256 against the others; with a second
# korvex binary (say the build before a change) both are timed side by side and
# their outputs, save files and volume logs must be byte-identical.
#
#   sudo bash tests/bench/run.sh KORVEX [KORVEX_BEFORE] [WORKDIR]
#
# The 4 GiB volume (tests/bench/make_bench_image.sh) and a 1 TiB sparse volume
# are built once into WORKDIR (default /var/tmp/korvex-bench) and reused.
# Needs root and /dev/fuse for the first build; installs sleuthkit, ntfs-3g and
# strace when missing. Timings are only as quiet as the machine: note its load.
set -euo pipefail
export LC_ALL=C
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

AFTER=$(realpath "$1")
BEFORE=${2:+$(realpath "$2")}
WORK=${3:-/var/tmp/korvex-bench}
RUNS=${KORVEX_BENCH_RUNS:-11} # timed runs per task, after one warm-up
command -v icat >/dev/null || apt-get install -y sleuthkit >/dev/null
command -v ntfscat >/dev/null || apt-get install -y ntfs-3g >/dev/null
command -v strace >/dev/null || apt-get install -y strace >/dev/null
bash "$HERE/make_bench_image.sh" "$WORK"
# shellcheck disable=SC1091
source "$WORK/bench.info"
IMG=$WORK/bench.img
HUGE=$WORK/huge-1t.img
if [ ! -e "$HUGE" ]; then
    truncate -s 1T "$HUGE.tmp"
    mkntfs -F -Q -q -T -c 4096 -s 512 -p 0 -H 255 -S 63 "$HUGE.tmp" >/dev/null
    mv "$HUGE.tmp" "$HUGE"
fi
# Every run starts from the same warm page cache: the image is dropped from
# the cache and read back once in order. How the cache holds a file (pages or
# larger folios) changes the cost of every read of it, and otherwise depends
# on what the machine did with the image before.
python3 -c 'import os, sys; os.posix_fadvise(os.open(sys.argv[1], os.O_RDONLY), 0, 0, os.POSIX_FADV_DONTNEED)' "$IMG"
cat "$IMG" >/dev/null
OUT=$(mktemp -d "$WORK/out.XXXXXX")
trap 'rm -rf "$OUT"' EXIT
hex() { printf '%x' "$1"; }

# task NAME SETUP COMMAND adds a command to the group being built; group then
# runs SETUP and COMMAND (both through eval) of every task in turn, RUNS + 1
# rounds (ROUNDS + 1 when set), drops the first round, and records in T[NAME] the median wall time
# in seconds and in C[NAME] the median processor time (user + system), which a
# busy machine disturbs less. Taking turns round by round, every program of a
# group meets the machine's changes of load alike; each round starts one task
# further on, so that no program always follows the same one (a program that
# writes and removes gigabytes leaves the file system busy for the next).
declare -A T C WALLS CPUS
NAMES=() SETUPS=() CMDS=()
task() { NAMES+=("$1"); SETUPS+=("$2"); CMDS+=("$3"); }
children_cpu() { # CPU_NS: user + system time of this shell's children so far
    times >"$OUT/.times" # in this shell: $(times) would ask a subshell
    CPU_NS=$(awk 'NR == 2 { n = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); n += p[1] * 60 + p[2] }
                            printf "%.0f", n * 1e9 }' "$OUT/.times")
}
middle() { # SAMPLES UNIT: the median of the samples, in seconds
    local count=$(printf '%s\n' $1 | wc -l)
    printf '%s\n' $1 | sort -n | sed -n "$(( (count + 1) / 2 ))p" | awk -v unit="$2" '{ printf "%.4f", $1 / unit }'
}
group() {
    local round k j t0 t1 c0 name
    for ((round = 0; round <= ${ROUNDS:-$RUNS}; round++)); do
        for ((k = 0; k < ${#NAMES[@]}; k++)); do
            j=$(( (k + round) % ${#NAMES[@]} ))
            eval "${SETUPS[j]}"
            # Dirty pages of earlier runs are written out before the clock starts.
            sync
            children_cpu
            c0=$CPU_NS
            # The shell's own clock: no process is started to read it, so the
            # timing holds nothing but the command.
            t0=${EPOCHREALTIME/./}
            eval "${CMDS[j]}"
            t1=${EPOCHREALTIME/./}
            children_cpu
            if [ "$round" -gt 0 ]; then
                WALLS[${NAMES[j]}]+="$(( t1 - t0 )) "
                CPUS[${NAMES[j]}]+="$(( CPU_NS - c0 )) "
            fi
        done
    done
    for name in "${NAMES[@]}"; do
        T[$name]=$(middle "${WALLS[$name]}" 1e6)
        C[$name]=$(middle "${CPUS[$name]}" 1e9)
    done
    NAMES=() SETUPS=() CMDS=()
}
sha() { sha256sum "$1" | cut -c1-64; }
same() { # LABEL FILE... : all files must have the same SHA-256
    local first=$(sha "$2") f
    for f in "${@:2}"; do
        if [ "$(sha "$f")" != "$first" ]; then echo "MISMATCH $1: $f" >&2; exit 1; fi
    done
    echo "same bytes ($1): ${*:2}" | sed "s|$OUT/||g"
}

BINS=(after)
declare -A BIN=([after]=$AFTER)
[ -n "$BEFORE" ] && BINS=(before after) && BIN[before]=$BEFORE
FRAGBYTES=$(icat -f ntfs "$IMG" "$FRAG" | wc -c)
echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"

# Task by task, each with the programs it compares. The short tasks come
# first: writing and removing gigabytes of save files leaves the file system
# busy for a while, which would weigh on tasks of a few milliseconds. They
# also take four times the rounds: a few busy seconds of the machine cover
# most of eleven rounds of a task that takes milliseconds.
FRAGMB=$(( FRAGBYTES >> 20 ))
each() { local b; for b in "${BINS[@]}"; do K=${BIN[$b]}; eval "$1"; done; }
save() { echo "$K -vol $IMG -fid $(hex "$1") -attribute 80 '' -read 0 20000000"; }
each 'task "$b.dirbig" "rm -f $OUT/$b.dirbig" "$K -vol $IMG -fid $(hex "$BIG") -dir >$OUT/$b.dirbig"'
task lsbig "rm -f $OUT/ls.big" "ntfsls -a -F -p /big $IMG >$OUT/ls.big"
ROUNDS=$(( 4 * RUNS )) group
each 'task "$b.dirmid" "rm -f $OUT/$b.dirmid" "$K -vol $IMG -fid $(hex "$MID") -dir >$OUT/$b.dirmid"'
task lsmid "rm -f $OUT/ls.mid" "ntfsls -a -F -p /mid $IMG >$OUT/ls.mid"
ROUNDS=$(( 4 * RUNS )) group
each 'task "$b.scan" "rm -f $OUT/$b.scan" "$K -vol $IMG -scanmft 0 ffffffffffffffff >$OUT/$b.scan"'
task ils ":" "ils -f ntfs -e $IMG >/dev/null"
ROUNDS=$(( 4 * RUNS )) group
each 'task "$b.huge" "rm -f $OUT/$b.huge.*" "$K -vol $HUGE -fid 5 -dir -rlog $OUT/$b.huge >/dev/null"'
each 'task "$b.hugeplain" ":" "$K -vol $HUGE -fid 5 -dir >/dev/null"'
ROUNDS=$(( 4 * RUNS )) group
each 'task "$b.save" "rm -f $OUT/$b.frag" "$(save "$FRAG") -save $OUT/$b.frag >/dev/null"'
task icat "rm -f $OUT/icat.frag" "icat -f ntfs $IMG $FRAG >$OUT/icat.frag"
task ntfscat ":" "ntfscat $IMG /frag.bin >/dev/null"
task dd "rm -f $OUT/dd.bin" "dd if=$IMG of=$OUT/dd.bin bs=1M skip=1024 count=$FRAGMB 2>/dev/null"
each 'task "$b.rlog" "rm -f $OUT/$b.log.*" "$(save "$FRAG") -rlog $OUT/$b.log >/dev/null"'
group
each 'task "$b.comp" "rm -f $OUT/$b.comp" "$(save "$COMP") -save $OUT/$b.comp >/dev/null"'
task icatc "rm -f $OUT/icat.comp" "icat -f ntfs $IMG $COMP >$OUT/icat.comp"
task ntfscatc ":" "ntfscat $IMG /c/big.txt >/dev/null"
group
calls() { awk '$NF == "total" { print $4 }' "$1"; }
for b in "${BINS[@]}"; do
    K=${BIN[$b]}
    strace -f -c -o "$OUT/$b.sc1" "$K" -vol "$HUGE" -fid 5 -dir >/dev/null
    rm -f "$OUT/$b.huge".*
    strace -f -c -o "$OUT/$b.sc2" "$K" -vol "$HUGE" -fid 5 -dir -rlog "$OUT/$b.huge" >/dev/null
    T[$b.hugecalls]=$(( $(calls "$OUT/$b.sc2") - $(calls "$OUT/$b.sc1") ))
    eval "/usr/bin/time -f %M -o $OUT/$b.rss $(save "$FRAG") -save $OUT/$b.rss.bin >/dev/null"
    T[$b.rss]=$(cat "$OUT/$b.rss")
done
echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"

# The same bytes from every extractor, and from both builds.
ntfscat "$IMG" /frag.bin >"$OUT/ntfscat.frag"
ntfscat "$IMG" /c/big.txt >"$OUT/ntfscat.comp"
of() { local b; for b in "${BINS[@]}"; do echo "$OUT/$b.$1"; done; }
same "fragmented file" "$OUT/icat.frag" "$OUT/ntfscat.frag" $(of frag)
same "compressed file" "$OUT/icat.comp" "$OUT/ntfscat.comp" $(of comp)
(cd "$OUT" && for b in "${BINS[@]}"; do sed -i 's/^.*korvex.*$//' $b.dirbig $b.dirmid $b.scan; done)
for kind in dirbig dirmid scan log.idx log.dat huge.idx huge.dat; do
    [ -n "$BEFORE" ] && same "$kind, before and after" "$OUT/before.$kind" "$OUT/after.$kind"
done
for d in big mid; do
    echo "/$d: korvex lists $(grep -c '^0x' "$OUT/after.dir$d") entries, ntfsls $(wc -l <"$OUT/ls.$d")"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { # TASK KEY PEER-NAME PEER-KEY GOAL
    local b text="" cpu=""
    for b in "${BINS[@]}"; do
        text+=$(printf ' %-8s' "${T[$b.$2]}")
        cpu+=$(printf ' %-8s' "${C[$b.$2]}")
    done
    printf '%-32s%s %-22s %-6s |%s %-8s %-6s %s\n' "$1" "$text" "$3 ${T[$4]}" "$(ratio "${T[after.$2]}" "${T[$4]}")" \
        "$cpu" "${C[$4]}" "$(ratio "${C[after.$2]}" "${C[$4]}")" "$5"
}
echo
bins=$(for b in "${BINS[@]}"; do printf ' %-8s' "$b"; done)
printf '%-32s%s %-22s %-6s |%s %-8s %-6s %s\n' "wall s, median of $RUNS (short: $(( 4 * RUNS )))" "$bins" "peer" "ratio" "$bins" "peer" "ratio" "goal (on the ratio)"
printf '%-32s%s\n' "" "$(printf '%*s' $(( ${#bins} + 31 )) '')| processor s (user + system), median of $RUNS"
row "-save, fragmented file" save "dd bs=1M" dd "<= 1.25 x dd"
row "-save, fragmented file" save "icat" icat "<= 0.7 x icat"
row "-save, fragmented file" save "ntfscat>null" ntfscat "(for reference)"
row "-save, compressed file" comp "icat" icatc "<= 0.7 x icat"
row "-save, compressed file" comp "ntfscat>null" ntfscatc "(for reference)"
row "-dir, 100,000 entries" dirbig "ntfsls" lsbig "<= 0.9 x ntfsls"
row "-dir, 10,000 entries" dirmid "ntfsls" lsmid "<= 0.9 x ntfsls"
row "-scanmft, all records" scan "ils -e" ils "<= 0.8 x ils -e"
row "-rlog of the fragmented read" rlog "korvex -save" after.save "<= 1.2 x the -save"
row "-rlog of -dir /, 1 TiB volume" huge "no -rlog" after.hugeplain "extra cost independent of size"
printf '%-32s%s\n' "  extra system calls of it" "$(for b in "${BINS[@]}"; do printf ' %-8s' "${T[$b.hugecalls]}"; done)  goal < 100"
printf '%-32s%s\n' "  max resident KiB, -save" "$(for b in "${BINS[@]}"; do printf ' %-8s' "${T[$b.rss]}"; done)  goal: small, bounded"
