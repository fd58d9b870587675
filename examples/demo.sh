#!/usr/bin/env bash
# Builds msgseq and runs it on a scratch copy of the example mailbox, showing
# the directory before and after. The repository itself is never changed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$top/build" --target msgseq -j 2 > /dev/null
box=$(mktemp -d)
trap 'rm -rf "$box"' EXIT
cp "$top"/examples/mailbox/* "$box"
cd "$box"
echo "before:"; ls -1
echo "\$ msgseq inbox.meta"
status=0
"$top/build/msgseq" inbox.meta || status=$?
echo
echo "exit status $status"
echo "after:"; ls -1
for f in in*.msg; do printf '%s: %s\n' "$f" "$(sed -n "s/^Subject: //p" "$f")"; done
