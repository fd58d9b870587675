#!/usr/bin/env bash
# What the mailbox tool costs beside the bare reading of the same files.
#
#   bench/mailbox_bench.sh [BUILD_DIR]
#
# BUILD_DIR (default build) holds mailbox and bench/benchrun. Columns, each
# run ROUNDS (default 5) times, timed by benchrun (CPU of the child alone):
#   list, check   mailbox list / check on an index of N (default 100000)
#                 records, every file there (empty), nothing to report
#   wc -l         wc -l of that index: the bare read of it
#   rebuild       mailbox rebuild of M (default 10000) messages of about 4 KB
#   cat           cat of those message files: the bare read of them
# Output: a line per column with the CPU and wall minima in milliseconds, then
#   list/wc=R check/wc=R rebuild/cat=R
# from the CPU minima. The scratch directory is made under TMPDIR and
# removed on exit.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build}
mbx=$build/mailbox
benchrun=$build/bench/benchrun
N=${N:-100000}
M=${M:-10000}
ROUNDS=${ROUNDS:-5}
[[ -x $mbx && -x $benchrun ]] || { echo "mailbox_bench: no $mbx or $benchrun" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/mailbox_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/list" "$work/msgs"

# N records naming in0.msg ... in(N-1).msg, each file there.
awk -v n="$N" 'BEGIN { print "/home/ann/mail"; print "ann@example.org"
  for (k = 0; k < n; k++) printf "in%d.msg\nann@example.org\nSender %d <s%d@example.org>\n" \
    "A subject line of some length, number %d\n\n\n%s\n", k, k, k, k, (k % 3 ? "N" : "R")
  print "END" }' > "$work/list/index"
(cd "$work/list" && seq -f 'in%.0f.msg' 0 $((N - 1)) | xargs touch)

# M messages of about 4 KB: a header block, then body lines.
awk -v m="$M" -v dir="$work/msgs" 'BEGIN {
  line = "The body of a message, a line of text long enough to count for something."
  for (k = 0; k < m; k++) {
    f = sprintf("%s/in%d.msg", dir, k)
    printf "From: Sender %d <s%d@example.org>\nTo: ann@example.org\n", k, k > f
    printf "Subject: =?UTF-8?B?UHLDvGZ1bmc=?= number %d\nStatus: RO\n\n", k > f
    for (j = 0; j < 53; j++) print line > f
    close(f)
  } }'

# The CPU and wall minima, in microseconds, of ROUNDS runs of a command.
best() {
  local dir=$1 cpu=-1 wall=-1 c w r
  shift
  for ((i = 0; i < ROUNDS; i++)); do
    [[ $1 == rebuild ]] && rm -f "$dir/index" "$dir/index.old"
    read -r c w r < <("$benchrun" "$dir" "${@:2}")
    ((cpu < 0 || c < cpu)) && cpu=$c
    ((wall < 0 || w < wall)) && wall=$w
  done
  awk -v n="$1" -v c="$cpu" -v w="$wall" \
    'BEGIN { printf "%-8s cpu %8.1f ms  wall %8.1f ms\n", n, c / 1000, w / 1000 }' >&2
  echo "$cpu"
}

list=$(best "$work/list" list "$mbx" list index)
check=$(best "$work/list" check "$mbx" check index)
wc=$(best "$work/list" wc wc -l index)
rebuild=$(best "$work/msgs" rebuild "$mbx" rebuild index --owner-path=/home/ann/mail \
  --owner-addr=ann@example.org)
cat=$(best "$work/msgs" cat sh -c 'cat -- *.msg')
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }'; }
echo "N=$N M=$M list/wc=$(ratio "$list" "$wc") check/wc=$(ratio "$check" "$wc")" \
  "rebuild/cat=$(ratio "$rebuild" "$cat")"
