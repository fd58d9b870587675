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

best() {  # best() n command...: "real user" of the run with the best wall time, in ms
    local n=$1 best= bestuser= out real user
    shift
    for _ in $(seq "$reps"); do
        setup "$n"
        sync
        out=$( { TIMEFORMAT='%3R %3U'; time (cd "$work/box" && "$@" > /dev/null); } 2>&1 )
        real=$(awk '{ printf "%d", $1 * 1000 }' <<< "$out")
        user=$(awk '{ printf "%d", $2 * 1000 }' <<< "$out")
        if [ -z "$best" ] || [ "$real" -lt "$best" ]; then best=$real bestuser=$user; fi
    done
    echo "$best $bestuser"
}

# Wall time is mostly the file system's renames, which grow faster than
# linearly in a large directory; user time is msgseq's own work.
printf '%10s %12s %12s %12s %8s\n' records "msgseq ms" "user ms" "renames ms" ratio
for n in "${sizes[@]}"; do
    read -r m mu < <(best "$n" "$build/msgseq" "$work/meta")
    read -r r _ < <(best "$n" "$build/bench/rename_loop" "$n")
    awk -v n="$n" -v m="$m" -v mu="$mu" -v r="$r" \
        'BEGIN { printf "%10d %12d %12d %12d %8.2f\n", n, m, mu, r, m / r }'
done
