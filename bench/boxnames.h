// The names of the message files that the msgseq benchmark renumbers. makebox
// (which makes, copies and checks the mailboxes) and rename_loop (the bare
// renames) both take them from here, so that msgseq, nmh's folder and their
// bare loops move exactly the same files between exactly the same names.
//
// Ownership: nothing here allocates; each function writes one name into a
// buffer the caller owns, bounded by its size.
#ifndef BENCH_BOXNAMES_H
#define BENCH_BOXNAMES_H

#include <cstddef>
#include <cstdio>

// mailbox: message files listed by an index, renumbered to in000.msg, ...
// mh: an MH folder, whose message files are plain numbers from 1.
enum class benchscheme { mailbox, mh };

// The most records a benchmark mailbox holds: beyond it the renumbered names
// themselves (in1000000.msg) would no longer fit the 12 characters a record's
// file name may have.
constexpr long BENCHMAXN = 1000000;

// Record k's (from 0) file before renumbering. A mailbox numbered with gaps,
// as after every other message went away: in%03d.msg of 2k. From 2k =
// 1,000,000 on that name would take 13 characters, so those records are named
// i%d.msg of 2k instead (i1000000.msg ... i1999998.msg, 12 characters), the
// same numbers with the same gaps. An MH folder holds 1, 3, 5, ...: 2k + 1.
// False when the name does not fit buf.
inline bool benchold(benchscheme s, char* buf, size_t size, long k) {
    int n = 0;
    if (s == benchscheme::mh)
        n = snprintf(buf, size, "%ld", 2 * k + 1);
    else if (2 * k < 1000000)
        n = snprintf(buf, size, "in%03ld.msg", 2 * k);
    else
        n = snprintf(buf, size, "i%ld.msg", 2 * k);
    return n > 0 && static_cast<size_t>(n) < size;
}

// Record k's file after renumbering: in%03d.msg of k, or k + 1 in MH.
inline bool benchnew(benchscheme s, char* buf, size_t size, long k) {
    const int n = s == benchscheme::mh ? snprintf(buf, size, "%ld", k + 1)
                                       : snprintf(buf, size, "in%03ld.msg", k);
    return n > 0 && static_cast<size_t>(n) < size;
}

#endif
