#!/usr/bin/env bash
# What msgseq's renumbering costs beside the bare renames it has to make.
#
#   bench/msgseq_bench.sh [--million] [BUILD_DIR | MSGSEQ] [N ...]
#
# BUILD_DIR (default build) holds the msgseq to measure, or MSGSEQ names the
# binary itself; N are record counts (default 1000 10000 100000; --million,
# or BENCH_MILLION=1 in the environment, adds 1000000, at most 1000000).
# ROUNDS (default 7) rounds are run per N. The msgseq column is a plain run
# with its journal: the journal is part of what a plain run costs.
#
# Record k's (from 0) message file is in(2k).msg ("in%03d.msg" of 2k): a
# mailbox numbered with gaps, renumbered to in000.msg, in001.msg, ... At
# 1,000,000 records in(2k).msg would take 13 characters from k = 500,000 on,
# past the 12 a record's file name may have: those records are named i(2k).msg
# instead (i1000000.msg ... i1999998.msg), the same gaps. bench/boxnames.h
# holds the scheme for every program here.
#
# Each round runs every column once, on a fresh copy of the mailbox, in an
# order that turns by one each round:
#   msgseq        msgseq METAFILE
#   bare          rename_loop: rename(2) on exactly the pairs msgseq renames,
#                 in a process that loads the same C++ runtime
#   msgseq -u     msgseq -u on a fresh copy of the metafile too, as -u
#                 rewrites it; only when msgseq --help mentions -u
#   folder -pack  nmh's folder -pack on an MH folder of messages 1, 3, 5, ...
#                 with a private HOME and profile; only when nmh is installed
#   MH bare       rename_loop --mh: the same pairs, 2k+1 -> k+1
# The receipt the last round's run left beside the index is removed first:
# a copy is a fresh mailbox, not one whose last run put its files elsewhere.
# Left there, that receipt names the copy's directory whenever the new copy
# gets the old one's inode, as it mostly does, and a plain run then reads
# it, sums the index and lists the directory a second time to see whether
# the files are still where that run left them (they never are, being a
# fresh copy): 5 to 6% of the run, the case of a plain run again on an
# index a plain run left stale.
# A copy is hard links to a master made once per N, made the same way every
# time and synced to disk before the run; only the program itself is timed,
# by benchrun: CPU time (user + system) of that process alone, wall time and
# peak resident set. Each run is checked afterwards: every record's file under
# its new name, nothing else left. On a shared machine wall times swing by a
# third between runs, so ratios compare CPU minima over the rounds; wall
# minima and medians are shown beside them, and the largest peak RSS.
#
# RSS over records = (msgseq's peak RSS - the bare loop's - N x one record's
# heap chunk) / N, in bytes per record: what msgseq holds beyond the list of
# records itself. One record's chunk is sizeof(llnode) as malloc rounds it
# (benchrun --record-heap). The aim is at most 40 bytes.
#
# Output: per N a table of the columns and the RSS over records, then one line
# per N, e.g.
#   N=100000 msgseq/bare=1.08 folder/bare=1.13 msgseq-u/bare=1.21 rss_over=26B/rec
# (msgseq and msgseq -u against the bare loop, folder -pack against the MH
# bare loop; a column that did not run is left out), and with 1,000,000 and
# 10,000 both run, how msgseq's CPU minimum and the bare loop's grew between
# them. Making copies and removing them costs more than the timed runs: the
# default sizes take about 4 minutes on this project's 2-core machine, with a
# million about 40.
#
# Measured at 100,000 records on the 2-core machine under load (load average
# 8 to 15, so ratios are rough), CPU minima over 3 to 5 interleaved rounds:
# before the records were loaded compactly, msgseq/bare 1.13-1.15 (1.44 in a
# round where the last run's receipt named this directory), folder/bare 1.18,
# msgseq-u/bare 1.70-1.80, rss_over 175 B/rec; after, msgseq/bare 1.10,
# msgseq-u/bare 1.54, rss_over -373 B/rec (msgseq keeps a name, a flag and a
# sum, 24 bytes, of each record rather than a 560-byte list record). The
# million was not measured again. System calls beyond the renames, per
# record: plain 0.013 -> 0.008 (1.0 -> 0.001 when a stale receipt names the
# directory), -u 1.028 -> 1.022: -u's journal still stats each file once, for
# the size and time its receipt keeps.
#
# Later, in one session (load average 1 to 2.5), CPU minima over 5
# interleaved rounds of each, the same within the noise as ROUNDS=3 runs of
# this script: msgseq/bare 1.11-1.13 -> 1.07-1.09, msgseq-u/bare 1.35-1.40 ->
# 1.22-1.28, rss_over -457 B/rec, -u's peak RSS 40 -> 34 MB. Each file's
# stat for the receipt moved from the journal, before the first move, to
# just after the file's own move (-u's fstatat from 9% of its run to 3%);
# the index loaded in large pieces; the commit matching records place by
# place; the names checked, the journal and the receipt formatted, without
# per-character library calls; the index checked exactly once, not twice.
# System calls beyond the renames, per record: plain 0.0065, -u 1.016 (that
# stat). Of -u's CPU time now: renames 80%, that stat 3%, listing the
# directory 3%, the commit 2.6%, page faults 1.6%, summing the index (three
# times: before, after, the copy kept) 1.5%, the receipt 1.4%, loading 1.2%.
#
# Then each copy without the last round's receipt (see above), and the
# receipt's fence in place of -u's stat of each file: ROUNDS=3 --million,
# load average 2.5 to 5 (two helpers building and testing beside it):
#   N=100000  msgseq/bare=1.03 folder/bare=1.08 msgseq-u/bare=1.07
#   N=1000000 msgseq/bare=1.05 folder/bare=1.08 msgseq-u/bare=1.09
# and alone on a quiet machine (load average about 1), ROUNDS=3:
#   N=1000000 msgseq/bare=1.07 folder/bare=1.09 msgseq-u/bare=1.08
# rss_over -458 and -465 B/rec; -u's peak RSS 30 MB at 100,000 and 270 MB
# at a million (plain 12 and 93 MB). Renames are 92.8% of a plain run's CPU
# time and 90.2% of -u's (perf), against 97.75% of the bare loop's.
#
# Then the listing's names looked up a batch at a time, the name table filled
# with its slots fetched ahead, and the big tables on huge pages (msgseq's own
# code 2.44% -> 2.02% of a plain run at a million, the lookup 0.83% -> 0.37%),
# alone on a quiet machine:
#   ROUNDS=7 N=100000  msgseq/bare=1.05 folder/bare=1.06 msgseq-u/bare=1.07
#   ROUNDS=3 N=100000  msgseq/bare=1.18 folder/bare=0.99 msgseq-u/bare=1.19
#   ROUNDS=3 N=1000000 msgseq/bare=1.07 folder/bare=1.07 msgseq-u/bare=1.09
#   ROUNDS=3 N=1000000 msgseq/bare=1.11 folder/bare=1.06 msgseq-u/bare=1.10 (again)
# One binary's CPU time swings 10-15% between runs here (at a million, msgseq
# 20.3-23.5 s, the bare loop 19.9-22.4 s), more than what is measured: three
# rounds do not tell 0.02 apart, and at 100,000 msgseq's median was below the
# bare loop's. What a plain run does beyond the renames, 5.5% of it: listing
# the directory 1.3% (ext4's hashed readdir, per entry), the name lookups
# 0.4%, loading the index 0.5%, the journal's and the receipt's writes 0.6%,
# the first pass 0.7%.
#
# Then, tried and withdrawn: the receipt's sums of the index taken in the
# pass that loads it, not by reading the index a second time (a plain run at
# 100,000 records: 221 reads -> 113, 7 MB fewer copied). ROUNDS=7 N=100000
# on a quiet machine (load average under 1.5), before and with it:
#   N=100000  msgseq/bare=1.07 folder/bare=1.11 msgseq-u/bare=1.14
#   N=100000  msgseq/bare=1.10 folder/bare=1.13 msgseq-u/bare=1.17
# msgseq's CPU minimum 979 -> 991 ms, the bare loop's 911 -> 900: the gain,
# well under 1%, is below what one binary swings between runs. It went
# because sums of the index as loaded miss an edit made while the files
# move (the index must still be known as stale after it): the sum is taken
# before the moves as it was, and the index's status compared at the end,
# its body summed again only where it changed (two stat calls a run); so
# built, the same session (load average 1.3 to 1.4):
#   N=100000  msgseq/bare=1.10 folder/bare=1.16 msgseq-u/bare=1.17
# a lead over folder -pack of 0.03 to 0.06 in the three runs. Of a
# plain run at 100,000 (perf), msgseq's own code is 3.4% and libc 1.7%,
# against the bare loop's 0.5% and 2.6%; the rest is the kernel's renames.
#
# The helpers (benchrun, makebox, rename_loop) come from BENCH_TOOLS if set,
# else from BUILD_DIR/bench when it has them, else from this tree's
# build/bench. The scratch directory is made under TMPDIR (default /tmp) and
# removed on exit.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
die() { echo "msgseq_bench: $*" >&2; exit 2; }

million=${BENCH_MILLION:-0}
target=
sizes=()
for arg in "$@"; do
    case $arg in
    --million) million=1 ;;
    -h | --help) sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) die "unknown option $arg" ;;
    *)
        if [ -z "$target" ] && [ ${#sizes[@]} -eq 0 ] && ! [[ $arg =~ ^[0-9]+$ && ! -e $arg ]]; then
            target=$arg
        elif [[ $arg =~ ^[1-9][0-9]*$ ]] && [ "$arg" -le 1000000 ]; then
            sizes+=("$arg")
        else
            die "not a record count from 1 to 1000000: $arg"
        fi
        ;;
    esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 100000)
if [ "$million" = 1 ] && [[ " ${sizes[*]} " != *" 1000000 "* ]]; then sizes+=(1000000); fi
rounds=${ROUNDS:-7}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || die "ROUNDS must be a positive count"

# shellcheck source=bench/benchfind.sh
source "$top/bench/benchfind.sh"
benchfind "$target" msgseq benchrun makebox rename_loop
msgseq=$prog

work=$(mktemp -d "${TMPDIR:-/tmp}/msgseq-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# msgseq -u only where this msgseq says it has it.
cols=(msgseq bare)
if help=$(cd "$work" && "$msgseq" --help 2>&1 < /dev/null) &&
    grep -qE '(^|[^[:alnum:]-])-u([^[:alnum:]-]|$)' <<< "$help"; then
    cols+=(msgseq-u)
fi

# nmh is a yardstick only: used when present, never installed from here.
folder=
if command -v folder > /dev/null; then
    folder=$(command -v folder)
elif [ -x /usr/bin/mh/folder ]; then
    folder=/usr/bin/mh/folder
fi
if [ -n "$folder" ]; then
    cols+=(folder mhbare)
    # nmh reads this profile and keeps its context under Path, all in here.
    mkdir -p "$work/mhhome" "$work/mh"
    printf 'Path: %s\n' "$work/mh" > "$work/mhhome/.mh_profile"
fi

recheap=$("$tools/benchrun" --record-heap)
results=$work/results
: > "$results"

echo "msgseq:   $msgseq"
echo "helpers:  $tools"
echo "scratch:  $work ($(df -PT "$work" | awk 'NR == 2 { print $2 }'))"
[ "$(stat -c %d "$work")" = "$(stat -c %d "$build")" ] ||
    echo "note:     scratch is not on the file system of $build"
echo "rounds:   $rounds per size; one list record takes $recheap bytes of heap"
if [ -n "$folder" ]; then
    echo "nmh:      $folder"
else
    echo "nmh not installed"
fi
[ "$rounds" -ge 7 ] || echo "note:     fewer than 7 rounds: minima are rough"

# One timed run of column $1 on $n records in a fresh copy; appends
# "n column cpu_us wall_us maxrss_kb" to the results.
runone() {
    local col=$1 dir master flag=() cmd env=()
    case $col in
    msgseq | msgseq-u | bare) dir=$work/box master=$work/master ;;
    folder | mhbare) dir=$work/mh/box master=$work/mhmaster flag=(--mh) ;;
    esac
    case $col in
    msgseq)
        rm -f "$work/.meta.msgseq-receipt"
        cmd=("$msgseq" "$work/meta")
        ;;
    msgseq-u)
        cp "$work/meta" "$work/meta.u"
        rm -f "$work/.meta.u.msgseq-receipt" "$work/.meta.u.msgseq-before"
        cmd=("$msgseq" -u "$work/meta.u")
        ;;
    bare | mhbare) cmd=("$tools/rename_loop" "${flag[@]}" "$n") ;;
    folder)
        cmd=("$folder" +box -pack)
        env=(-u MH -u MHCONTEXT "HOME=$work/mhhome")
        printf 'Current-Folder: box\n' > "$work/mh/context"
        ;;
    esac
    mkdir "$dir"
    (cd "$dir" && "$tools/makebox" "${flag[@]}" --link "$master" "$n")
    # Commits the copy's links, and the last run's unlinks, to the journal
    # now rather than in the middle of the run. Only this directory: syncing
    # the whole shared file system waits on everyone's writes.
    sync "$dir"
    local out
    out=$(env "${env[@]}" "$tools/benchrun" "$dir" "${cmd[@]}") ||
        die "$col failed on $n records"
    (cd "$dir" && "$tools/makebox" "${flag[@]}" --check "$master" "$n") ||
        die "$col left $n records misnumbered"
    if [ "$col" = msgseq-u ] && [ "$n" -gt 1 ]; then
        # The index must now list the new names: the last record's old one is gone.
        if grep -qxF -- "$(sed -n "$((3 + 7 * (n - 1)))p" "$work/meta")" "$work/meta.u" ||
            ! grep -qxF -- "$(printf 'in%03d.msg' $((n - 1)))" "$work/meta.u"; then
            die "msgseq -u did not rewrite the index on $n records"
        fi
    fi
    rm -rf "$dir"
    echo "$n $col $out" >> "$results"
}

# Per column of size $1: cpu min, cpu median, wall min, wall median (ms) and
# the largest peak RSS (KiB), one line each: "column cpumin cpumed wallmin
# wallmed rss".
summary() {
    awk -v n="$1" '
        function med(a, c,    i, j, t) {
            for (i = 2; i <= c; i++)
                for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
        }
        $1 == n {
            c = ++cnt[$2]; cpu[$2, c] = $3; wall[$2, c] = $4
            if (!($2 in rss) || $5 > rss[$2]) rss[$2] = $5
        }
        END {
            for (col in cnt) {
                split("", a); split("", b)
                for (i = 1; i <= cnt[col]; i++) { a[i] = cpu[col, i]; b[i] = wall[col, i] }
                cm = med(a, cnt[col]); wm = med(b, cnt[col])
                printf "%s %.3f %.3f %.3f %.3f %d\n", col, a[1] / 1000, cm / 1000,
                    b[1] / 1000, wm / 1000, rss[col]
            }
        }' "$results"
}

declare -A label=([msgseq]="msgseq" [bare]="bare loop" [msgseq-u]="msgseq -u"
                  [folder]="folder -pack" [mhbare]="MH bare loop")
declare -A base=([msgseq]=bare [bare]=bare [msgseq-u]=bare [folder]=mhbare [mhbare]=mhbare)
declare -A cpumin
finals=()

for n in "${sizes[@]}"; do
    started=$SECONDS
    rm -rf "$work/master" "$work/mhmaster"
    mkdir "$work/master"
    (cd "$work/master" && "$tools/makebox" "$n" > "$work/meta")
    if [ -n "$folder" ]; then
        mkdir "$work/mhmaster"
        (cd "$work/mhmaster" && "$tools/makebox" --mh "$n")
    fi
    for ((r = 0; r < rounds; r++)); do
        [ ! -t 2 ] || printf '\rN = %d: round %d of %d ' "$n" $((r + 1)) "$rounds" >&2
        for ((c = 0; c < ${#cols[@]}; c++)); do
            runone "${cols[(r + c) % ${#cols[@]}]}"
        done
    done
    [ ! -t 2 ] || printf '\r%40s\r' '' >&2

    declare -A cm=() cmed=() wmin=() wmed=() rss=()
    while read -r col a b w x m; do
        cm[$col]=$a cmed[$col]=$b wmin[$col]=$w wmed[$col]=$x rss[$col]=$m
    done < <(summary "$n")
    echo
    timed=$(awk -v n="$n" '$1 == n { t += $4 } END { printf "%.1f", t / 1e6 }' "$results")
    echo "N = $n records, $rounds rounds, $((SECONDS - started)) s ($timed s of it timed runs)"
    if [ "$n" -gt 500000 ]; then
        echo "  records 500000 on are named i(2k).msg: in(2k).msg would pass 12 characters"
    fi
    printf '  %-13s %11s %11s %12s %12s %13s %10s\n' column "cpu min ms" "cpu med ms" \
        "wall min ms" "wall med ms" "peak RSS KiB" "cpu/bare"
    for col in "${cols[@]}"; do
        ratio=
        if [ "$col" != bare ] && [ "$col" != mhbare ]; then
            ratio=$(awk -v a="${cm[$col]}" -v b="${cm[${base[$col]}]}" \
                'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        fi
        printf '  %-13s %11.1f %11.1f %12.1f %12.1f %13d %10s\n' "${label[$col]}" "${cm[$col]}" \
            "${cmed[$col]}" "${wmin[$col]}" "${wmed[$col]}" "${rss[$col]}" "$ratio"
    done
    over=$(awk -v m="${rss[msgseq]}" -v b="${rss[bare]}" -v h="$recheap" -v n="$n" \
        'BEGIN { printf "%.0f", ((m - b) * 1024 - n * h) / n }')
    printf '  RSS over records: (%d KiB - %d KiB - %d x %d B) / %d = %d B/record (aim: <= 40)\n' \
        "${rss[msgseq]}" "${rss[bare]}" "$n" "$recheap" "$n" "$over"

    line="N=$n msgseq/bare=$(awk -v a="${cm[msgseq]}" -v b="${cm[bare]}" \
        'BEGIN { printf "%.2f", a / b }')"
    if [ -n "$folder" ]; then
        line+=" folder/bare=$(awk -v a="${cm[folder]}" -v b="${cm[mhbare]}" \
            'BEGIN { printf "%.2f", a / b }')"
    fi
    if [ -n "${cm[msgseq-u]:-}" ]; then
        line+=" msgseq-u/bare=$(awk -v a="${cm[msgseq-u]}" -v b="${cm[bare]}" \
            'BEGIN { printf "%.2f", a / b }')"
    fi
    finals+=("$line rss_over=${over}B/rec")
    cpumin[$n,msgseq]=${cm[msgseq]}
    cpumin[$n,bare]=${cm[bare]}
    unset cm cmed wmin wmed rss
    # Freeing every master file is slow at a million; the table is out first.
    rm -rf "$work/master" "$work/mhmaster"
done

echo
if [ -n "${cpumin[1000000,msgseq]:-}" ] && [ -n "${cpumin[10000,msgseq]:-}" ]; then
    awk -v m1="${cpumin[10000,msgseq]}" -v m2="${cpumin[1000000,msgseq]}" \
        -v b1="${cpumin[10000,bare]}" -v b2="${cpumin[1000000,bare]}" 'BEGIN {
            printf "growth 10000 -> 1000000 records (x100), CPU min: msgseq x%.1f, bare loop x%.1f, msgseq/bare %.2f\n",
                m2 / m1, b2 / b1, (m2 / m1) / (b2 / b1)
        }'
fi
printf '%s\n' "${finals[@]}"
echo "total: $SECONDS s"
