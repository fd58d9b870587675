// The metafile: a mailbox's index on disk. Line 1 is the owner's path, line 2
// the owner's address, then seven lines per message (message file name, to,
// from, subject, cc, bcc, read flag "R" or "N"), then the line "END".
//
// The reader fills a list head made by llinit; the records it appends belong
// to that list and are released with llfree on the head. Files are opened and
// closed within each call. Failures are printed to standard output with no
// line terminator, then returned as -1.
#ifndef MAILBOX_META_H
#define MAILBOX_META_H

#include <cstdio>

#include "mailbox/ll.h"

// Longest line the line reader returns, newline included; line needs room
// for METALINE + 1 characters.
constexpr int METALINE = 1023;

// Reads one line of at most METALINE characters into line and drops its
// newline. A longer line comes back in pieces, one per call. 1 when a line
// was read, -1 at end of file or on a read error.
int getf(FILE* fd, char* line);
// Reads one seven-line record and appends it to itemlist, numbered after the
// records already there. 1 when a record was appended, 0 at "END", -1 after a
// message when the record is cut short or its message file name is not one
// (longer than 12 characters, or holding a NUL byte). Other fields longer than
// their field are cut to fit.
int readhdr(FILE* fd, llnode* itemlist);
// Loads the metafile fname into itemlist, which must have an owner block.
// 1 when everything up to "END" was loaded; -1 after a message otherwise, with
// the records read before the failure left in the list.
int readmeta(const char* fname, llnode* itemlist);

#endif
