// What the mailbox tool's commands share about the index and its output:
// loading it whole or saying where it stops, whether it would be written
// back as it is, keeping the old one as METAFILE.old, a record read from a
// message file's own headers, and the status once output is flushed.
// A loaded list is an mbxhead, which frees it; nothing else is kept.
#ifndef MAILBOX_TOOLS_MAILBOX_INDEX_H
#define MAILBOX_TOOLS_MAILBOX_INDEX_H

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/metachk.h"
#include "mailbox/recview.h"

struct mbxargs;

struct mbxheadfree {
    void operator()(llnode* l) const { llfree(l); }
};
using mbxhead = std::unique_ptr<llnode, mbxheadfree>;

// An empty list with its owner block.
mbxhead mbxnewhead();

// readmeta into head, with its own messages kept off standard output: the
// tool says what went wrong in its own words.
void mbxquietload(const char* meta, llnode* head);

// A line for where and why the index stops loading.
void mbxsayfault(const char* meta, const metafault& f);

// What keeps the index from being read at all, or from being read the same
// twice (a FIFO, a device): a line, and false.
bool mbxreadable(const char* meta);

// The whole index, or null after a line that says where it stops loading.
mbxhead mbxload(const char* meta);

// The whole index as one read took it, its records seen in place (what
// list, show, pick, mark and sort need, without a list); false after a line
// that says where it stops loading.
bool mbxview(const char* meta, rvindex* idx);

// The record numbers a command was given ("N" or "A-B") into *nos, each
// 1..count: 0, or the status after a line saying why.
int mbxnumbers(const mbxargs& a, int count, std::vector<int>* nos);

// Whether the loaded index would be written back as it is; otherwise its
// first few faulty lines are said.
bool mbxwritable(const char* meta);

// MBXOK once f is flushed without an error, else MBXOUT after a line.
int mbxflushed(FILE* f);

// A command's status once its lines are out: a write to standard output
// that failed says so, unless the command failed already.
int mbxwithoutput(int rc);

// true, after a line, when the index lists records and none of their files
// is here: run from the wrong directory, most likely, where a command that
// drops or deletes would take every message for gone.
bool mbxnonehere(const llnode* head);
// Its line alone, for a command that knows so by other means (deliver,
// import): the stale index's line instead (mbxsaystale) when a plain
// msgseq run left meta listing the names it has since changed.
void mbxsaynonehere(const char* meta);
// The line for an index a plain msgseq run left stale; "; nothing done"
// after it when the command refuses.
void mbxsaystale(const char* meta, bool refused);
// The same for the records seen in place: what list and pick ask before
// reading dates from the files, sort before ordering by them.
bool mbxnonehere(const rvindex& idx);

// The old index kept as real + ".old", where the mailbox's owner finds it
// (an older copy there is replaced): a second name made for it now, in
// *staged (empty when none is needed; a dry run only looks), then moved
// over the older copy by mbxoldin once the new index is written, or taken
// away when it was not: a failed write leaves the older copy as it was.
// Both: 0, or the status after a line.
int mbxkeepold(const std::string& real, const char* meta, bool dryrun, std::string* staged);
int mbxoldin(const std::string& real, const char* meta, const std::string& staged, bool replaced);

// What a write cut short left of mbxkeepold's second name: moved over the
// older copy when the new index went in (it names the one replaced, a
// regular file of whoever runs here), else taken away.
void mbxoldleft(const std::string& real);

// The line for an index renamed in whose directory could not be synced.
void mbxnotondisk(const char* meta, int err, bool kept);

// The record an old index holds for the message file just opened as name
// (st what fstat gave of it), or null: how rebuild keeps what that index
// knew. The record stays the caller's.
using mbxknown = std::function<const llnode*(const std::string& name, const struct stat& st)>;

// Appends a record read from the message file name's own headers after
// *last, numbered no, listing the file as as (when given: the name it is
// about to take); false after a line that says why it is left out. Where
// known gives a record for the file opened, its fields and read flag are
// taken instead, and the file is not read.
bool mbxadopt(const std::string& name, llnode* head, llnode** last, int no,
              const mbxknown& known = {}, const char* as = nullptr);

#endif
