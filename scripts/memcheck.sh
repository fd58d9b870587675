#!/usr/bin/env bash
# Runs msgseq on a scratch copy of the example mailbox under valgrind's
# memcheck: any memory error, or any block left allocated at exit, fails.
#   scripts/memcheck.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
box=$(mktemp -d)
trap 'rm -rf "$box"' EXIT
cp "$top"/examples/mailbox/* "$box"
cd "$box"
valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all "$build/msgseq" inbox.meta
echo
ls in*.msg | tr '\n' ' '
echo
# Every failure path too: a missing metafile, and a second run that refuses.
valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all "$build/msgseq" nosuch.meta || [ $? -eq 2 ]
echo
valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --log-fd=9 "$build/msgseq" inbox.meta 9>&2 2> /dev/null ||
    [ $? -eq 3 ]
echo
echo "memcheck: no errors, nothing left allocated"
