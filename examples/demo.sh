#!/usr/bin/env bash
# Builds msgseq and runs it on a scratch copy of the example mailbox, showing
# the directory before and after. The repository itself is never changed.
#
# Needs only a C++ compiler and CMake: the build in build-demo/ has the tests
# and benchmarks switched off and makes just the library and the tool, so it
# neither needs GoogleTest nor disturbs a full build in build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-demo
# Quiet unless something fails; then the whole log is shown.
quiet() {
    local log
    log=$("$@" 2>&1) || { printf '%s\n' "$log" >&2; echo "demo: failed: $*" >&2; exit 1; }
}
quiet cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMAILBOX_TESTS=OFF -DMAILBOX_BENCH=OFF
quiet cmake --build "$build" --target msgseq -j 2
box=$(mktemp -d)
trap 'rm -rf "$box"' EXIT
cp "$top"/examples/mailbox/* "$box"
cd "$box"
echo "before:"; ls -1
echo "\$ msgseq inbox.meta"
status=0
"$build/msgseq" inbox.meta || status=$?
echo
echo "exit status $status"
echo "after:"; ls -1
for f in in*.msg; do printf '%s: %s\n' "$f" "$(sed -n "s/^Subject: //p" "$f")"; done
