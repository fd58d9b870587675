# shellcheck shell=bash disable=SC2034  # prog, build and tools are for the caller
# Sourced by the benchmark scripts: where the program they measure and their
# helpers are.
#
#   benchfind TARGET PROGRAM HELPER...
#
# TARGET is a build directory that holds PROGRAM, or the program's binary
# itself; empty means build, else this tree's build. Sets prog (the binary)
# and build (its directory); then tools, the directory of the helpers:
# BENCH_TOOLS if set, else build/bench when it has them all, else this tree's
# build/bench. Calls the script's die when something is not there.
benchfind() {
    local target=$1 name=$2 top dir h
    shift 2
    top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    if [ -z "$target" ]; then
        target=build
        [ -e "$target" ] || target=$top/build
    fi
    if [ -d "$target" ]; then
        build=$(cd "$target" && pwd)
        prog=$build/$name
    else
        prog=$(realpath -- "$target")
        build=$(dirname "$prog")
    fi
    if [ ! -f "$prog" ] || [ ! -x "$prog" ]; then die "no $name at $prog"; fi
    local dirs=("$build/bench" "$top/build/bench")
    [ -z "${BENCH_TOOLS:-}" ] || dirs=("$BENCH_TOOLS")
    for dir in "${dirs[@]}"; do
        for h in "$@"; do [ -x "$dir/$h" ] || continue 2; done
        tools=$(cd "$dir" && pwd)
        return 0
    done
    die "no $*; build them: cmake --workflow --preset default"
}
