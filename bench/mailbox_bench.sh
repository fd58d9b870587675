#!/usr/bin/env bash
# What the mailbox tool costs beside the bare reading of the same files.
#
#   bench/mailbox_bench.sh [BUILD_DIR | MAILBOX] [N [M]]
#
# BUILD_DIR (default build) holds the mailbox tool to measure, or MAILBOX
# names the binary itself. N (default 100000) records for list and check, M
# (default 10000) messages of about 4 KB for rebuild. ROUNDS (default 7)
# rounds, each running every column once in an order that turns by one.
# COLUMNS (default all) names the columns to run, e.g. "rebuild heads cat".
#
#   list          mailbox list on an index of N records
#   check         mailbox check on the same index and its N message files
#   wc -l index   wc -l of that index: reading it and nothing more
#   ls -f         ls -f of that directory: reading its names and nothing more
#   rebuild       mailbox rebuild of M message files of about 4 KB, written as
#                 real mail is (folded headers, encoded words in UTF-8 and
#                 ISO-8859-1, a Status: header on half), with no old index
#   cat heads     cat of the header blocks alone of those M files (each
#                 file's lines up to its first empty one, kept as files of
#                 their own), in the same order: what rebuild must read
#   cat files     cat of those M files, in the order rebuild reads them
#   list --format list of N records of small real messages (From, To, Subject
#                 and a Date: header each, the dates out of index order) with
#                 the date column, which reads every message's header block
#   pick --from   pick --from 'bob' --numbers on that mailbox: the index alone
#   pick --since  pick --since with a day: every message's Date: header read
#   pick --before the same with --before
#   peek files    peekfiles (bench/peekfiles.cpp) on those N small messages:
#                 the bare open, fstat, read of the first piece and close of
#                 each, as the date is read, and nothing more
#   sort --by date  sort of that index by date (the index laid again before
#                 each run, untimed), written to disk
# and beside them nmh, where it is installed (/usr/bin/mh), on an MH folder
# of hard links to the same message files named 1 to N, in a scratch HOME
# whose .mh_profile says "Path: Mail" (a tool that can't run there is said
# and left out):
#   scan          scan +inbox, the date column of every message
#   nmh pick      pick +inbox -from bob, and pick -after with the same day
#   sortm         sortm +inbox (the folder laid again before each run)
#   deliver       D (default 1000, DELIVERIES) mailbox deliver runs in a row, each
#                 one message of about 4 KB on standard input, into the mailbox
#                 of N records (a copy of its index; the new files removed
#                 after each round)
#   cat > D files D cat runs in a row, each writing that message to a file of
#                 its own: the bare writing of the messages, no sync
#   import        mailbox import of an mbox file of the M messages into an
#                 empty mailbox
#   inc           nmh's inc -file of the same mbox into an empty folder, with
#                 a profile of its own in the scratch directory (left out
#                 when nmh's inc is not found: INC names it, default
#                 /usr/bin/mh/inc or inc on PATH)
#   cat mbox      cat of that mbox: reading it and nothing more
#   split mbox    splitfiles (bench/splitfiles.cpp) on that mbox: each message
#                 written to a new file of its own, nothing synced or parsed:
#                 the bare making of the files import makes
#
# The message files of check are the benchmark's own (bench/boxnames.h),
# made once by makebox; the index is outside the mailbox directory, so that
# check finds nothing and rebuild keeps no file aside in it. Each program is
# timed by benchrun: CPU time (user + system) of the process and what it
# waited for, wall time and peak RSS. Everything read is in the page cache
# before the first round (one untimed run of each column), so the ratios
# compare work, not the disk: CPU minima over the rounds, wall minima beside
# them. rebuild's wall time also holds its syncs to disk.
#
# Output: a table per size, then one line, e.g.
#   N=100000 list/wc=4.1 check/wc=6.0 check/(wc+ls)=2.2 M=10000 rebuild/heads=1.9 rebuild/cat=1.3
# and one for the reading commands and nmh's beside them, e.g.
#   R=100000 listdate/scan=0.6 pickfrom/pick=0.1 pickdate/pick=0.6 pickbefore/pick=0.6
#   sort/sortm=0.4 pickdate/peek=1.4 sort/peek=1.6
#   D=1000 deliver/cat=3.3 deliver_wall_s=16.7 import/inc=1.2 import/split=1.6
# On a quiet machine (load under 1), 1,000 deliveries into 100,000 records
# took 16.7 s wall; an import of 10,000 messages, a batch of 256 at a time
# with one syncfs each, 1.4 to 1.6 times the bare making of its files
# (split mbox), which itself is 4 to 14 times a rebuild of them.
# With the mbox read a piece at a time, import's peak RSS is 6 MB at 10,000
# messages and 10 MB at 100,000 (69 MB at 10,000 when it was read whole).
# At 100,000 messages (M=100000, one round, a faster machine under a load
# of 2): import 11.1 s CPU, 23.9 s wall; nmh's inc 10.3 s; the bare split
# 15.4 s (it holds the whole mbox); rebuild of the same files 0.79 s.
# On that machine, 100,000 records: list 28 ms, pick --since 0.30 s, sort
# --by date 0.27 s (0.28 s wall), the bare peek 0.17 s; 1,000 deliveries
# 7.5 s wall.
# CPU minima of 3 rounds on 2 shared cores under a load of 7 to 14, 100,000
# records: list 0.11 s; pick --from 0.15 s; list --format with %date 1.38 s;
# pick --since 1.08 s, --before 1.05 s; sort --by date 1.22 s; the bare peek
# of every message 0.76 s; nmh's scan 2.38 s, pick -after 1.83 s, sortm 3.10
# s. The date costs one open, fstat, read and close a message, the most of
# it in the kernel: read only as far as the Date: line and parsed without
# allocating, it is the same 1.4 times the bare peek as before, which is why
# list reads message files only for %date.
# A column the tool fails on (a command it does not have yet) is said and left
# out. The helpers (benchrun, makebox, peekfiles) come from BENCH_TOOLS if set, else from
# BUILD_DIR/bench, else from this tree's build/bench. The scratch directory is
# made under TMPDIR (default /tmp) and removed on exit.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
die() { echo "mailbox_bench: $*" >&2; exit 2; }

target=
sizes=()
for arg in "$@"; do
    case $arg in
    -h | --help) sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) die "unknown option $arg" ;;
    *)
        if [ -z "$target" ] && [ ${#sizes[@]} -eq 0 ] && ! [[ $arg =~ ^[0-9]+$ && ! -e $arg ]]; then
            target=$arg
        elif [[ $arg =~ ^[1-9][0-9]*$ ]] && [ "$arg" -le 1000000 ] && [ ${#sizes[@]} -lt 2 ]; then
            sizes+=("$arg")
        else
            die "not a count from 1 to 1000000, or one too many: $arg"
        fi
        ;;
    esac
done
nrec=${sizes[0]:-100000}
nmsg=${sizes[1]:-10000}
ndel=${DELIVERIES:-1000}
[[ $ndel =~ ^[1-9][0-9]*$ ]] || die "DELIVERIES must be a positive count"
inc=${INC:-}
[ -n "$inc" ] || inc=$(command -v inc || true)
[ -n "$inc" ] || [ ! -x /usr/bin/mh/inc ] || inc=/usr/bin/mh/inc
rounds=${ROUNDS:-7}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || die "ROUNDS must be a positive count"
allcols="list check wc ls rebuild heads cat listdate pickfrom pickdate pickbefore peek sort scan nmhpick nmhpickdate sortm deliver catn import catmbox split inc"
want=${COLUMNS:-$allcols}
for col in $want; do
    [[ " $allcols " == *" $col "* ]] || die "COLUMNS: no column $col (the columns: $allcols)"
done

# shellcheck source=bench/benchfind.sh
source "$top/bench/benchfind.sh"
benchfind "$target" mailbox benchrun makebox peekfiles splitfiles
tool=$prog

work=$(mktemp -d "${TMPDIR:-/tmp}/mailbox-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# M messages of about 4 KB, in000.msg on, each with the headers a record
# takes in one of the shapes mail arrives in.
makemail() {
    awk -v n="$1" 'BEGIN {
        line = "The quarterly figures are attached; the summary follows below, as agreed.\n"
        for (i = 0; i < 47; i++) body = body line
        for (k = 0; k < n; k++) {
            f = sprintf("in%03d.msg", k)
            printf "Return-Path: <sender%d@example.org>\n", k > f
            printf "Received: from mail.example.org (mail.example.org [192.0.2.1])\n" > f
            printf "\tby mx.example.net with ESMTP id %08X\n\tfor <ann@example.org>; " \
                   "Tue, 8 Dec 2026 10:%02d:00 +0000\n", k * 7919, k % 60 > f
            if (k % 3 == 0) printf "From: Sender %d <sender%d@example.org>\n", k, k > f
            if (k % 3 == 1)
                printf "From: =?UTF-8?B?0JjQstCw0L0g0J/QtdGC0YDQvtCy?= <ivan%d@example.org>\n", k > f
            if (k % 3 == 2) printf "From: =?ISO-8859-1?Q?Ren=E9_Dupont?= <rene%d@example.org>\n", k > f
            printf "To: Ann <ann@example.org>\n" > f
            if (k % 4 == 0) printf "Cc: Bob <bob@example.org>,\n Carol <carol@example.org>\n" > f
            if (k % 2 == 0) printf "Subject: Figures for the quarter, number %d,\n folded as long " \
                                   "subjects are\n", k > f
            else printf "Subject: =?UTF-8?Q?Re:_=D0=BE=D1=82=D1=87=D1=91=D1=82_%d?=\n", k > f
            printf "Date: Tue, 8 Dec 2026 10:%02d:00 +0000\n", k % 60 > f
            printf "Message-ID: <%d.%08X@mail.example.org>\n", k, k * 7919 > f
            printf "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n" > f
            if (k % 2 == 0) printf "Status: RO\n" > f
            printf "\n%s", body > f
            close(f)
        }
    }'
}

# The command line of column $1, run in its directory.
cmdof() {
    case $1 in
    list) echo "$tool list $work/meta" ;;
    check) echo "$tool check $work/meta" ;;
    wc) echo "wc -l $work/meta" ;;
    ls) echo "ls -f" ;;
    rebuild) echo "$tool rebuild --owner-path /home/ann/mail --owner-addr ann@example.org $work/rmeta" ;;
    cat | heads) echo "cat $(cd "$work/mail" && printf '%s\n' * | sort -V | tr '\n' ' ')" ;;
    listdate) echo "$tool list --format=%n,%date,%from,%subject $work/qmeta" ;;
    pickfrom) echo "$tool pick $work/qmeta --from bob --numbers" ;;
    pickdate) echo "$tool pick $work/qmeta --since $since --numbers" ;;
    pickbefore) echo "$tool pick $work/qmeta --before $since --numbers" ;;
    peek) echo "$tools/peekfiles $nrec" ;;
    sort) echo "$tool sort $work/qmeta --by date" ;;
    scan) echo "env HOME=$work MH=$work/.mh_profile MHCONTEXT=$work/mh_context $mh/scan +inbox" ;;
    nmhpick) echo "env HOME=$work MH=$work/.mh_profile MHCONTEXT=$work/mh_context $mh/pick +inbox -from bob" ;;
    sortm) echo "env HOME=$work MH=$work/.mh_profile MHCONTEXT=$work/mh_context $mh/sortm +inbox" ;;
    deliver) echo "bash $work/deliver.sh" ;;
    catn) echo "bash $work/catn.sh" ;;
    import) echo "$tool import $work/imeta $work/in.mbox" ;;
    inc) echo "env HOME=$work/mh MH=$work/mh/.mh_profile $inc +inbox -file $work/in.mbox -notruncate -silent" ;;
    catmbox) echo "cat $work/in.mbox" ;;
    split) echo "$tools/splitfiles $work/in.mbox" ;;
    esac
}
dirof() {
    case $1 in
    rebuild | cat) echo "$work/mail" ;;
    heads) echo "$work/heads" ;;
    listdate | pickfrom | pickdate | pickbefore | peek | sort | scan | nmhpick | nmhpickdate | sortm) echo "$work/quick" ;;
    import) echo "$work/ibox" ;;
    inc | catmbox) echo "$work/mh" ;;
    catn) echo "$work/cbox" ;;
    split) echo "$work/sbox" ;;
    *) echo "$work/box" ;;
    esac
}

# Each column that adds to a mailbox starts from the same one.
reset() {
    case $1 in
    deliver)
        cp "$work/meta" "$work/dmeta"
        find "$work/box" -newer "$work/stamp" -name 'in*.msg' -delete
        ;;
    catn) rm -rf "$work/cbox" && mkdir "$work/cbox" ;;
    split) rm -rf "$work/sbox" && mkdir "$work/sbox" ;;
    import) rm -rf "$work/ibox" "$work/imeta" "$work/.imeta.mailbox-import" && mkdir "$work/ibox" &&
        printf '/home/ann/mail\nann@example.org\nEND\n' > "$work/imeta" ;;
    inc) rm -rf "$work/mh/Mail" "$work/mh/context" && mkdir -p "$work/mh/Mail/inbox" ;;
    esac
}

# One run of column $1: appends "column cpu_us wall_us maxrss_kb" to the
# results when $2 is "timed". False when the program failed.
runone() {
    local col=$1 out
    [ "$col" != rebuild ] || rm -f "$work/rmeta" "$work/rmeta.old"
    reset "$col"
    [ "$col" != sort ] || cp "$work/qmeta.laid" "$work/qmeta"
    [ "$col" != sortm ] || layfolder
    if [ "$col" = nmhpickdate ]; then  # nmh's day has spaces in it
        out=$("$tools/benchrun" "$(dirof "$col")" env HOME="$work" MH="$work/.mh_profile" \
            MHCONTEXT="$work/mh_context" "$mh/pick" +inbox -after "1 Feb 2026" 2> "$work/err") || return 1
    else
        # shellcheck disable=SC2046  # the command line is split into words on purpose
        out=$("$tools/benchrun" "$(dirof "$col")" $(cmdof "$col") 2> "$work/err") || return 1
    fi
    [ "$2" != timed ] || echo "$col $out" >> "$work/results"
    [ "$col" != deliver ] || reset deliver  # check and list see the mailbox as made
}

# N small messages 1 to N, each with the headers scan and pick read,
# the senders in turns (every fifth is bob's), the dates a shuffle of N
# minutes from 2026-01-01 so that a sort by date moves nearly every record;
# their index on standard output.
makequick() {
    awk -v n="$1" 'BEGIN {
        split("bob carol dave erin frank", who, " ")
        split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", mon, " ")
        split("31 28 31 30 31 30 31 31 30 31 30 31", days, " ")
        printf "/home/ann/mail\nann@example.org\n"
        for (k = 0; k < n; k++) {
            f = k + 1
            s = who[k % 5 + 1]
            m = (k * 7919) % n; d = int(m / 1440); mo = 1
            while (d >= days[mo] && mo < 12) { d -= days[mo]; mo++ }
            printf "From: %s <%s%d@example.org>\nTo: Ann <ann@example.org>\n", s, s, k > f
            printf "Subject: Figures for the quarter, number %d\n", k > f
            printf "Date: %d %s 2026 %02d:%02d:00 +0000\n", d % 28 + 1, mon[mo], int(m / 60) % 24, m % 60 > f
            printf "Message-ID: <%d@mail.example.org>\n\nThe figures are attached.\n", k > f
            close(f)
            printf "%s\nann@example.org\n%s <%s%d@example.org>\nFigures for the quarter, number %d\n\n\nN\n", f, s, s, k, k
        }
        printf "END\n"
    }'
}

# The MH folder of the same message files, laid again (hard links): the
# mailbox's files are named 1 to N, as MH names them.
layfolder() {
    rm -rf "$work/Mail/inbox"
    mkdir -p "$work/Mail"
    cp -al "$work/quick" "$work/Mail/inbox"
}

mkdir "$work/box" "$work/mail" "$work/heads" "$work/quick"
(cd "$work/box" && "$tools/makebox" "$nrec" > "$work/meta")
(cd "$work/mail" && makemail "$nmsg")
# Each file's header block, up to and with its empty line.
(cd "$work/mail" && awk 'FNR == 1 { if (out) close(out); out = "../heads/" FILENAME; done = 0 }
    !done { print > out; if ($0 == "") done = 1 }' *)
(cd "$work/quick" && makequick "$nrec" > "$work/qmeta.laid")
cp "$work/qmeta.laid" "$work/qmeta"
since=2026-02-01
mh=/usr/bin/mh
readcols=(listdate pickfrom pickdate pickbefore peek sort)
if [ -x "$mh/scan" ] && [ -x "$mh/pick" ] && [ -x "$mh/sortm" ]; then
    printf 'Path: Mail\n' > "$work/.mh_profile"
    layfolder
    readcols+=(scan nmhpick nmhpickdate sortm)
fi
# The mbox of those messages, as an mbox writer quotes them (none of the
# bodies has a "From " line), and the one message each delivery brings.
(cd "$work/mail" && for f in $(printf '%s\n' * | sort -V); do
    printf 'From sender@example.org Tue Dec  8 10:00:00 2026\n'
    cat "$f"
    printf '\n'
done) > "$work/in.mbox"
cp "$work/mail/in001.msg" "$work/one.msg"
printf 'for ((i = 0; i < %d; i++)); do %q deliver %q < %q || exit 1; done\n' \
    "$ndel" "$tool" "$work/dmeta" "$work/one.msg" > "$work/deliver.sh"
printf 'for ((i = 0; i < %d; i++)); do cat %q > m$i || exit 1; done\n' \
    "$ndel" "$work/one.msg" > "$work/catn.sh"
mkdir -p "$work/mh"
echo "Path: $work/mh/Mail" > "$work/mh/.mh_profile"
touch "$work/stamp"
: > "$work/results"

echo "mailbox:  $tool"
echo "helpers:  $tools"
echo "scratch:  $work ($(df -PT "$work" | awk 'NR == 2 { print $2 }'))"
echo "sizes:    list and check on $nrec records; rebuild of $nmsg messages of" \
    "$(($(find "$work/mail" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }') / nmsg)) bytes on average; $ndel deliveries;" \
    "import of an mbox of $nmsg messages; $rounds rounds"

cols=()
[ -n "$inc" ] && [ -x "$inc" ] || echo "not measured: inc (nmh's inc not found)"
for col in $want; do
    # nmh's columns only where nmh is here
    case " scan nmhpick nmhpickdate sortm " in
    *" $col "*) [[ " ${readcols[*]} " == *" $col "* ]] || continue ;;
    esac
    [ "$col" != inc ] || { [ -n "$inc" ] && [ -x "$inc" ]; } || continue
    if runone "$col" warm; then
        cols+=("$col")
    else
        echo "not measured: $col ($(head -c 200 "$work/err" | tr '\n' ' '))"
    fi
done
[ -z "$(cd "$work/box" && "$tool" check "$work/meta" > /dev/null 2>&1 || echo x)" ] ||
    echo "note:     check finds problems in the benchmark's mailbox"

for ((r = 0; r < rounds; r++)); do
    [ ! -t 2 ] || printf '\rround %d of %d ' $((r + 1)) "$rounds" >&2
    for ((c = 0; c < ${#cols[@]}; c++)); do
        col=${cols[(r + c) % ${#cols[@]}]}
        runone "$col" timed || die "$col failed: $(head -c 200 "$work/err")"
    done
done
[ ! -t 2 ] || printf '\r%30s\r' '' >&2

declare -A cpu=() wall=() rss=()
while read -r col c w m; do
    cpu[$col]=$c wall[$col]=$w rss[$col]=$m
done < <(awk '{
        if (!($1 in c) || $2 < c[$1]) c[$1] = $2
        if (!($1 in w) || $3 < w[$1]) w[$1] = $3
        if ($4 > m[$1]) m[$1] = $4
    } END { for (k in c) printf "%s %.3f %.3f %d\n", k, c[k] / 1000, w[k] / 1000, m[k] }' \
    "$work/results")

declare -A label=([list]="mailbox list" [check]="mailbox check" [wc]="wc -l index"
                  [ls]="ls -f dir" [rebuild]="mailbox rebuild" [heads]="cat heads"
                  [cat]="cat files"
                  [listdate]="list --format" [pickfrom]="pick --from" [pickdate]="pick --since"
                  [pickbefore]="pick --before" [peek]="peek files"
                  [sort]="sort --by date" [scan]="nmh scan" [nmhpick]="nmh pick -from"
                  [nmhpickdate]="nmh pick -after" [sortm]="nmh sortm"
                  [deliver]="mailbox deliver" [catn]="cat > D files" [import]="mailbox import"
                  [inc]="nmh inc -file" [catmbox]="cat mbox" [split]="split mbox")
echo
printf '  %-16s %11s %12s %13s\n' column "cpu min ms" "wall min ms" "peak RSS KiB"
for col in "${cols[@]}"; do
    printf '  %-16s %11.1f %12.1f %13d\n' "${label[$col]}" "${cpu[$col]}" "${wall[$col]}" "${rss[$col]}"
done

ratio() { awk -v a="${cpu[$1]:-}" -v b="$2" 'BEGIN { if (a == "" || b <= 0) print "-"; else printf "%.1f", a / b }'; }
line="N=$nrec list/wc=$(ratio list "${cpu[wc]:-0}") check/wc=$(ratio check "${cpu[wc]:-0}")"
line+=" check/(wc+ls)=$(ratio check "$(awk -v a="${cpu[wc]:-0}" -v b="${cpu[ls]:-0}" 'BEGIN { print a + b }')")"
line+=" M=$nmsg rebuild/heads=$(ratio rebuild "${cpu[heads]:-0}")"
line+=" rebuild/cat=$(ratio rebuild "${cpu[cat]:-0}")"
line+=" D=$ndel deliver/cat=$(ratio deliver "${cpu[catn]:-0}")"
line+=" deliver_wall_s=$(awk -v w="${wall[deliver]:-}" 'BEGIN { if (w == "") print "-"; else printf "%.1f", w / 1000 }')"
line+=" import/inc=$(ratio import "${cpu[inc]:-0}") import/cat=$(ratio import "${cpu[catmbox]:-0}")"
line+=" import/rebuild=$(ratio import "${cpu[rebuild]:-0}") import/split=$(ratio import "${cpu[split]:-0}")"
line+=" import_wall/rebuild_wall=$(awk -v a="${wall[import]:-}" -v b="${wall[rebuild]:-0}" 'BEGIN { if (a == "" || b <= 0) print "-"; else printf "%.1f", a / b }')"
echo
echo "$line"
# The syncs of one delivery into the mailbox of N records, counted by strace.
if [[ " ${cols[*]} " == *" deliver "* ]] && command -v strace > /dev/null; then
    cp "$work/meta" "$work/smeta"
    syncs=$(cd "$work/box" && strace -f -c -e trace=fsync,fdatasync,syncfs,sync -o "$work/strace" \
        "$tool" deliver "$work/smeta" < "$work/one.msg" > /dev/null 2>&1 &&
        awk '$NF ~ /^(fsync|fdatasync|syncfs|sync)$/ { n += $(NF - 1) } END { print n + 0 }' "$work/strace")
    echo "syncs a delivery: ${syncs:-?}"
fi
line="R=$nrec listdate/scan=$(ratio listdate "${cpu[scan]:-0}") pickfrom/pick=$(ratio pickfrom "${cpu[nmhpick]:-0}")"
line+=" pickdate/pick=$(ratio pickdate "${cpu[nmhpickdate]:-0}")"
line+=" pickbefore/pick=$(ratio pickbefore "${cpu[nmhpickdate]:-0}") sort/sortm=$(ratio sort "${cpu[sortm]:-0}")"
line+=" pickdate/peek=$(ratio pickdate "${cpu[peek]:-0}") sort/peek=$(ratio sort "${cpu[peek]:-0}")"
echo "$line"
echo "total: $SECONDS s"
