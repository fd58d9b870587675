#!/usr/bin/env bash
# Times msgseq on a mailbox of N message files numbered with gaps (in000.msg,
# in002.msg, in004.msg, ...) against a bare loop of rename calls on the same
# files. Each timing starts from a fresh copy of the mailbox; the best of
# REPS runs is reported.
#   bench/msgseq_bench.sh [BUILD_DIR] [N ...]     (default: build 10000 100000 1000000)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
sizes=("${@:-10000}")
[ $# -gt 0 ] || sizes=(10000 100000 1000000)
reps=${REPS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A fresh mailbox of n files in $work/box; its index in $work/meta.
setup() {
    local n=$1
    rm -rf "$work/box"
    mkdir "$work/box"
    (cd "$work/box" && "$build/bench/makebox" "$n" > "$work/meta")
}

now() { date +%s%N; }

best() {  # best() n command...: best wall time in ms of reps runs
    local n=$1 t best=
    shift
    for _ in $(seq "$reps"); do
        setup "$n"
        sync
        local t0 t1
        t0=$(now)
        (cd "$work/box" && "$@" > /dev/null)
        t1=$(now)
        t=$(( (t1 - t0) / 1000 ))
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    echo "$best"
}

printf '%10s %14s %14s %8s\n' records "msgseq (ms)" "renames (ms)" ratio
for n in "${sizes[@]}"; do
    m=$(best "$n" "$build/msgseq" "$work/meta")
    r=$(best "$n" "$build/bench/rename_loop" "$n")
    awk -v n="$n" -v m="$m" -v r="$r" \
        'BEGIN { printf "%10d %14.1f %14.1f %8.2f\n", n, m / 1000, r / 1000, m / r }'
done
