#!/usr/bin/env bash
# Static analysis of the mailbox library, the two tools, the message header
# reader and the example programs:
# clang-tidy with the checks in .clang-tidy, every warning counted as an
# error, and cppcheck with the suppressions in .cppcheck-suppressions. Headers
# are checked through the sources that include them.
#
#   scripts/lint.sh [BUILD_DIR]
#
# clang-tidy takes its compile commands from BUILD_DIR (default: build), which
# the default preset configures when it has none yet. Findings are printed as
# file:line:column; the exit status is 0 when there are none, 1 when there are
# some, 2 when a tool is missing or the build cannot be configured.
# CLANG_TIDY and CPPCHECK name other binaries for the two tools.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
build=${1:-build}
clang_tidy=${CLANG_TIDY:-clang-tidy}
cppcheck=${CPPCHECK:-cppcheck}

for tool in "$clang_tidy" "$cppcheck"; do
    if ! command -v "$tool" >/dev/null; then
        echo "lint: $tool not found" >&2
        exit 2
    fi
done

if [[ ! -f $build/compile_commands.json ]]; then
    if [[ $build != build ]]; then
        echo "lint: no compile_commands.json in $build; configure it first" >&2
        exit 2
    fi
    cmake --preset default >/dev/null || exit 2
fi

shopt -s nullglob
sources=(mailbox/*.cpp tools/*.cpp tools/mailbox/*.cpp headers/*.cpp examples/*.cpp)
status=0

echo "lint: clang-tidy"
# clang does not know every warning option that g++ does.
if ! out=$("$clang_tidy" -p "$build" --quiet --warnings-as-errors='*' \
    --extra-arg=-Wno-unknown-warning-option "${sources[@]}" 2>&1); then
    status=1
fi
# Drop the per-file tallies; keep the findings and any real error.
grep -v -E '^[0-9]+ (warning|error)s? (generated|treated as errors)\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
    <<<"$out" || true

echo "lint: cppcheck"
"$cppcheck" --enable=warning,style,performance,portability --error-exitcode=1 \
    --inline-suppr --suppressions-list=.cppcheck-suppressions \
    --std=c++20 --language=c++ --library=posix -I . --quiet \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    mailbox tools headers examples || status=1

if [[ $status -eq 0 ]]; then
    echo "lint: no findings"
else
    echo "lint: findings above" >&2
fi
exit $status
