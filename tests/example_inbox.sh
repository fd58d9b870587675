#!/usr/bin/env bash
# Runs the example program examples/inbox.cpp on a scratch copy of the example
# mailbox, deleting message 2, and checks what it printed, its exit status and
# the index it wrote back, each byte for byte, and that no message file or
# temporary file changed.
#
#   example_inbox.sh INBOX MAILBOX_DIR
#
# The scratch directory is removed on exit whatever happens.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 INBOX MAILBOX_DIR" >&2
    exit 2
fi
inbox=$1
mailbox=$2

fail() {
    echo "example_inbox: $*" >&2
    exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailbox-example.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/box"
cp "$mailbox"/* "$scratch/box"
cd "$scratch/box"
before=$(ls -A)
sums=$(cksum in*.msg)

# The view lines end in a space: each column is followed by one.
printf '%s\n' \
    'ann@example.org: 4 messages' \
    '1 bob@example.org Lunch on Friday? READ ' \
    '2 carol@example.org Minutes of the meeting READ ' \
    '3 dave@example.org Re: build is green NEW ' \
    '4 erin@example.org Your parcel NEW ' \
    'deleted 2:' \
    '1 bob@example.org Lunch on Friday? READ ' \
    '3 dave@example.org Re: build is green NEW ' \
    '4 erin@example.org Your parcel NEW ' \
    'wrote inbox.meta' > ../out.want

printf '%s\n' \
    /home/ann/mail ann@example.org \
    in000.msg ann@example.org bob@example.org 'Lunch on Friday?' '' '' R \
    in005.msg ann@example.org dave@example.org 'Re: build is green' '' '' N \
    in009.msg ann@example.org erin@example.org 'Your parcel' '' '' N \
    END > ../index.want

status=0
"$inbox" inbox.meta 2 > ../out.got 2> ../err.got || status=$?
[[ $status -eq 0 ]] || fail "exit status $status; standard error: $(cat ../err.got)"
[[ ! -s ../err.got ]] || fail "wrote to standard error: $(cat ../err.got)"
cmp ../out.want ../out.got || { diff ../out.want ../out.got >&2 || true; fail "standard output differs"; }
cmp ../index.want inbox.meta ||
    { diff ../index.want inbox.meta >&2 || true; fail "the rewritten index differs"; }
[[ $(ls -A) == "$before" ]] || fail "the directory now holds: $(ls -A | tr '\n' ' ')"
[[ $(cksum in*.msg) == "$sums" ]] || fail "a message file changed"

echo "example_inbox: output and rewritten index as expected"
