#!/usr/bin/env bash
# Fuzzes the metafile reader, writer, views, marks and purge for SECONDS
# (default 60) with the libFuzzer target of the fuzz preset.
#
#   bash fuzz/run.sh [SECONDS]
#
# The fuzzer works on a copy of fuzz/corpus and fuzz/regressions in a scratch
# directory, so the repository's corpus never changes. Any crash, leak,
# sanitizer report, time-out or failed check stops it: the input is saved in
# the scratch directory's artifacts/, which is kept and listed, and the exit
# status is non-zero. Otherwise the scratch directory is removed. Rounds make
# their files under a tmpfs when there is one, so that the writer's syncs do
# not wait for a disk.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

secs=${1:-60}
if ! [[ $secs =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: fuzz/run.sh [SECONDS]" >&2
    exit 2
fi

cmake --preset fuzz > /dev/null
cmake --build --preset fuzz
fuzzer=$root/build-fuzz/fuzz/metafile_fuzz

work=$(mktemp -d "${TMPDIR:-/tmp}/mailbox-fuzz-run-XXXXXX")
rounds_base=${TMPDIR:-/tmp}
[[ -d /dev/shm && -w /dev/shm ]] && rounds_base=/dev/shm
rounds=$(mktemp -d "$rounds_base/mailbox-fuzz-rounds-XXXXXX")
mkdir "$work/corpus" "$work/artifacts"
find fuzz/corpus fuzz/regressions -maxdepth 1 -type f ! -name '.*' -exec cp {} "$work/corpus/" \;
seeds=$(find "$work/corpus" -type f | wc -l)

echo "== fuzzing for $secs s from $seeds seeds in $work"
status=0
TMPDIR=$rounds "$fuzzer" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -dict=fuzz/metafile.dict -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" > "$work/log" 2>&1 || status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/log" | tail -1)
inputs=$(find "$work/corpus" -type f | wc -l)
echo "executions: ${execs:-unknown} in ${took:-?} s; corpus: $seeds seeds grew to $inputs inputs"

left=$(find "$rounds" -mindepth 1 -maxdepth 1 | wc -l)
rm -rf "$rounds"
artifacts=$(find "$work/artifacts" -type f)
if [[ $status -ne 0 || -n $artifacts ]]; then
    tail -n 60 "$work/log"
    echo "fuzzing FAILED (status $status); log $work/log; inputs that failed:"
    for a in $artifacts; do echo "  $a"; done
    echo "replay one with: $fuzzer INPUT; keep it in fuzz/regressions/"
    exit $((status == 0 ? 1 : status))
fi
if [[ $left -ne 0 ]]; then
    echo "fuzzing FAILED: rounds left $left entries in their scratch directory"
    exit 1
fi
echo "no faults found"
rm -rf "$work"
