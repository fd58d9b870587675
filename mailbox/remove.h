// Deleting messages for good: their records leave the index, then their
// files leave the disk, then the directory is synced. A journal beside the
// index, ".<index>.mailbox-delete", is on disk before the index changes and
// goes only when every file is gone, so that a delete cut short at any point
// is finished by rmfinish, from the journal alone: the record numbers are
// never asked for again (by then they would name other records).
//
// The list belongs to the caller (loaded with readmeta, freed with llfree);
// rmdelete marks the records it deletes DELETED. Nothing here keeps memory,
// descriptors or state between calls. Lines for the user go to the streams
// given, each starting "mailbox: ".
#ifndef MAILBOX_REMOVE_H
#define MAILBOX_REMOVE_H

#include <cstdio>
#include <string>
#include <vector>

#include "mailbox/ll.h"

constexpr int RMOK = 0;    // done (or nothing to do), and on disk
constexpr int RMLEFT = 1;  // the index written, but some file not removed: each one said
constexpr int RMFAIL = 2;  // the index not changed, or a delete cut short not finished

// The journal of a delete from the index fname, beside the file fname leads
// to; "" when fname leads nowhere.
std::string rmjournal(const char* fname);
// true while a delete from fname was cut short: its journal is there.
bool rmunfinished(const char* fname);

// Deletes the records numbered nos (each 1..count, in any order) from
// itemlist, which holds the whole index fname and which writing back would
// reproduce; a file still listed by a record that stays is kept. The caller
// holds the directory locks. dryrun: each record that would go is said to
// out, and nothing changes. Otherwise out gets one line per record deleted.
int rmdelete(const char* fname, llnode* itemlist, const std::vector<int>& nos, bool dryrun,
             FILE* out, FILE* errs);

// Finishes a delete from fname cut short, if there is one, and says so in
// one line to errs: *done (may be null) is set then. RMOK when there was
// none or it is now finished; RMLEFT when some file stays (said);
// RMFAIL when it can't be finished here and now (said), the journal kept.
int rmfinish(const char* fname, FILE* errs, bool* done);

#endif
