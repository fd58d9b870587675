#!/usr/bin/env bash
# Runs the example program examples/renumber.cpp on scratch copies of the
# example mailbox and checks, byte for byte, what it printed on each stream,
# its exit status, which message is under which name and the index it wrote:
# a first run, a second one, a missing file, an index that would not be
# written back whole, an update left unfinished and a directory locked by
# another process.
#
#   example_renumber.sh RENUMBER MAILBOX_DIR
#
# The scratch directory is removed on exit whatever happens.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 RENUMBER MAILBOX_DIR" >&2
    exit 2
fi
renumber=$1
mailbox=$2

fail() {
    echo "example_renumber: $case: $*" >&2
    exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailbox-example.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A fresh copy of the mailbox in $scratch/$1, made the working directory.
fresh() {
    case=$1
    mkdir "$scratch/$case"
    cp "$mailbox"/* "$scratch/$case"
    cd "$scratch/$case"
}

# The index with the four records' names given.
index() {
    printf '%s\n' /home/ann/mail ann@example.org \
        "$1" ann@example.org bob@example.org 'Lunch on Friday?' '' '' R \
        "$2" ann@example.org carol@example.org 'Minutes of the meeting' '' '' R \
        "$3" ann@example.org dave@example.org 'Re: build is green' '' '' N \
        "$4" ann@example.org erin@example.org 'Your parcel' '' '' N END
}

# check STATUS OUT ERR [ARGS...]: runs renumber inbox.meta, the command
# before it given as ARGS, and compares the status and both streams.
check() {
    local want=$1 out=$2 err=$3 status=0
    shift 3
    "$@" "$renumber" inbox.meta > ../out.got 2> ../err.got || status=$?
    [[ $status -eq $want ]] || fail "exit status $status, not $want; stderr: $(cat ../err.got)"
    printf '%s' "$out" | cmp - ../out.got || fail "standard output: $(cat ../out.got)"
    printf '%s' "$err" | cmp - ../err.got || fail "standard error: $(cat ../err.got)"
}

# files NAME=ORIGINAL...: the directory holds exactly these message files
# and the index, each message the one first under ORIGINAL.
files() {
    local names=() pair
    for pair in "$@"; do
        names+=("${pair%=*}")
        cmp "$mailbox/${pair#*=}" "${pair%=*}" || fail "${pair%=*} is not ${pair#*=}"
    done
    # (and the receipt a finished run leaves beside the index, with the
    # index an update replaced, kept for msgseq --undo)
    [[ $(ls -A | grep -v '^\.inbox\.meta\.msgseq-\(receipt\|before\)$') == "$(printf '%s\n' "${names[@]}" inbox.meta | sort)" ]] ||
        fail "the directory holds: $(ls -A | tr '\n' ' ')"
}

renamed=$'renamed \'in002.msg\' -> \'in001.msg\'\nrenamed \'in005.msg\' -> \'in002.msg\'\nrenamed \'in009.msg\' -> \'in003.msg\'\n'
done3=$'4 records: 3 renamed, 1 already named, 0 missing, 0 refused\nwrote inbox.meta\n'

fresh first
check 0 "$renamed$done3" ''
files in000.msg=in000.msg in001.msg=in002.msg in002.msg=in005.msg in003.msg=in009.msg
index in000.msg in001.msg in002.msg in003.msg | cmp - inbox.meta || fail "the index differs"
case=second
check 0 $'4 records: 0 renamed, 4 already named, 0 missing, 0 refused\nwrote inbox.meta\n' ''
index in000.msg in001.msg in002.msg in003.msg | cmp - inbox.meta || fail "the index differs"

# The missing file's record keeps its name; the others' files move on.
fresh missing
rm in005.msg
check 3 $'renamed \'in002.msg\' -> \'in001.msg\'\nrenamed \'in009.msg\' -> \'in003.msg\'\n4 records: 2 renamed, 1 already named, 1 missing, 0 refused\nwrote inbox.meta\n' \
    $'renumber: cannot move \'in005.msg\' to \'in002.msg\': No such file or directory\n'
files in000.msg=in000.msg in001.msg=in002.msg in003.msg=in009.msg
index in000.msg in001.msg in005.msg in003.msg | cmp - inbox.meta || fail "the index differs"

# Nothing is touched when writing the index back would lose a line.
fresh after_end
echo junk >> inbox.meta
check 2 '' $'renumber: inbox.meta:32: text after the END line; nothing renamed\n'
files in000.msg=in000.msg in002.msg=in002.msg in005.msg=in005.msg in009.msg=in009.msg

# A work directory left without a journal: the update starts afresh.
fresh unfinished
mkdir inbox.meta.msgseq-update
{
    printf 'msgseq update journal\ndir %s\nrecords 4\n' "$(stat -c '%d %i' .)"
    for f in in000.msg in002.msg in005.msg in009.msg; do printf '%s %s\n' "$(stat -c %i $f)" $f; done
} >inbox.meta.msgseq-update/journal
check 0 $'inbox.meta: finishing an update that was cut short\n'"$renamed$done3" ''
files in000.msg=in000.msg in001.msg=in002.msg in002.msg=in005.msg in003.msg=in009.msg

fresh locked
check 5 '' $'renumber: another run is working in this directory\n' flock .
files in000.msg=in000.msg in002.msg=in002.msg in005.msg=in005.msg in009.msg=in009.msg

echo "example_renumber: output, files and index as expected"
