#!/usr/bin/env bash
# Installs a configured and built mailbox tree into a scratch prefix, checks
# the installed layout, then builds the program in this directory against the
# installed package alone, once with CMake and once with pkg-config, and runs
# it and the installed msgseq.
#
#   run.sh BUILD_DIR [CMAKE [CXX [CXXFLAGS]]]
#
# CXX and CXXFLAGS are those the library was built with, so that a sanitized
# library is linked with its runtime. The scratch directory is removed on exit
# whatever happens.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 4 ]]; then
    echo "usage: $0 BUILD_DIR [CMAKE [CXX [CXXFLAGS]]]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
cmake=${2:-cmake}
cxx=${3:-}
cxxflags=${4:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() {
    echo "install_consumer: $*" >&2
    exit 1
}

# The install directories as this build was configured with them.
cached() {
    local value
    value=$(sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt")
    echo "${value:-$2}"
}
[[ -f $build/CMakeCache.txt ]] || fail "$build is not a configured build directory"
bindir=$(cached CMAKE_INSTALL_BINDIR bin)
libdir=$(cached CMAKE_INSTALL_LIBDIR lib)
includedir=$(cached CMAKE_INSTALL_INCLUDEDIR include)
mandir=$(cached CMAKE_INSTALL_MANDIR share/man)
generator=$(cached CMAKE_GENERATOR "")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailbox-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }

for f in "$bindir/msgseq" "$libdir/libmailbox.a" \
    "$includedir/mailbox/ll.h" "$includedir/mailbox/meta.h" \
    "$includedir/mailbox/dele.h" "$includedir/mailbox/datafile.h" \
    "$mandir/man1/msgseq.1" \
    "$libdir/cmake/mailbox/mailboxConfig.cmake" \
    "$libdir/cmake/mailbox/mailboxConfigVersion.cmake" \
    "$libdir/cmake/mailbox/mailboxTargets.cmake" \
    "$libdir/pkgconfig/mailbox.pc"; do
    [[ -f $prefix/$f ]] || fail "not installed: $f"
done
[[ -x $prefix/$bindir/msgseq ]] || fail "$bindir/msgseq is not executable"

# The manual pages name the version that is installed with them.
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$prefix/$libdir/cmake/mailbox/mailboxConfigVersion.cmake")
# It must format without a warning where groff is at hand. mailbox(1) is
# installed with the mailbox tool, where GMime is found.
pages=(msgseq)
[[ ! -e $prefix/$bindir/mailbox ]] || pages+=(mailbox)
for page in "${pages[@]}"; do
    man=$prefix/$mandir/man1/$page.1
    [[ -f $man ]] || fail "not installed: $mandir/man1/$page.1"
    grep -q "^\.TH ${page^^} 1 .* \"mailbox $version\"" "$man" ||
        fail "$page.1 does not name version '$version' on its .TH line"
    if command -v groff >/dev/null; then
        warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
        [[ -z $warnings ]] || fail "groff warns about $page.1: $warnings"
    fi
done

# The consumer, configured against the scratch prefix only.
configure=("$cmake" -S "$here" -B "$scratch/consumer"
    -DCMAKE_PREFIX_PATH="$prefix"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_CXX_FLAGS="$cxxflags")
[[ -n $generator ]] && configure+=(-G "$generator")
[[ -n $cxx ]] && configure+=(-DCMAKE_CXX_COMPILER="$cxx")
"${configure[@]}" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log" >&2; fail "the consumer did not configure"; }
found=$(sed -n 's/^mailbox_DIR:[A-Z]*=//p' "$scratch/consumer/CMakeCache.txt")
[[ $found == "$prefix/$libdir/cmake/mailbox" ]] ||
    fail "find_package(mailbox) took '$found', not the scratch prefix"
"$cmake" --build "$scratch/consumer" >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "the consumer did not build"; }

out=$("$scratch/consumer/consumer" "$scratch/inbox.meta") || fail "the consumer failed"
[[ $out == "1 2 ann@example.org" ]] || fail "the consumer printed '$out'"

# The same program built as a Makefile would build it, with what pkg-config
# finds in the scratch prefix: mailbox.pc must name the prefix given to
# cmake --install, not the one configured.
pcdir=$prefix/$libdir/pkgconfig
grep -qx "prefix=$prefix" "$pcdir/mailbox.pc" || fail "mailbox.pc does not name prefix=$prefix"
if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH=$pcdir
    pc=$(pkg-config --cflags --libs mailbox) || fail "pkg-config does not find mailbox"
    read -ra pcflags <<<"$pc"
    read -ra flags <<<"$cxxflags"
    "${cxx:-c++}" -std=c++20 -Wall -Wextra -Werror "${flags[@]}" "$here/main.cpp" \
        "${pcflags[@]}" -o "$scratch/pkgconsumer" >"$scratch/pkgbuild.log" 2>&1 ||
        { cat "$scratch/pkgbuild.log" >&2; fail "the consumer did not build with pkg-config"; }
    out=$("$scratch/pkgconsumer" "$scratch/pkg.meta") || fail "the pkg-config consumer failed"
    [[ $out == "1 2 ann@example.org" ]] || fail "the pkg-config consumer printed '$out'"
else
    echo "install_consumer: pkg-config is not installed; mailbox.pc not tried"
fi

# The installed tool renumbers the mailbox that the consumer wrote.
msgseq=$prefix/$bindir/msgseq
status=0
err=$("$msgseq" 2>&1 >/dev/null) || status=$?
[[ $status -eq 1 && $err == "Usage: msgseq matafile" ]] ||
    fail "msgseq with no argument: status $status, '$err'"
mkdir "$scratch/mail"
echo first >"$scratch/mail/in000.msg"
echo second >"$scratch/mail/in004.msg"
out=$(cd "$scratch/mail" && "$msgseq" ../inbox.meta) || fail "msgseq exited with status $?"
[[ $out == "2" ]] || fail "msgseq printed '$out'"
[[ $(cat "$scratch/mail/in001.msg" 2>/dev/null) == second && ! -e $scratch/mail/in004.msg ]] ||
    fail "msgseq did not move in004.msg to in001.msg"

echo "install_consumer: installed package builds and runs"
