// The metafile: a mailbox's index on disk. Line 1 is the owner's path, line 2
// the owner's address, then seven lines per message (message file name, to,
// from, subject, cc, bcc, read flag "R" or "N"), then the line "END".
//
// The reader fills a list head made by llinit; the records it appends belong
// to that list and are released with llfree on the head. The writer only reads
// the list it is given. Files are opened and closed within each call. Failures
// are printed to standard output with no line terminator, then returned as -1.
#ifndef MAILBOX_META_H
#define MAILBOX_META_H

#include <cstdio>
#include <functional>
#include <string_view>

#include "mailbox/ll.h"

// Longest line the line reader returns, newline included; line needs room
// for METALINE + 1 characters.
constexpr int METALINE = 1023;

// Reads one line of at most METALINE bytes into line and drops its
// newline. A longer line comes back in pieces, one per call. 1 when a line
// was read, -1 at end of file or on a read error.
int getf(FILE* fd, char* line);
// Reads one seven-line record and appends it to itemlist, numbered after the
// records already there. 1 when a record was appended, 0 at "END", -1 after a
// message when the record is cut short or its message file name is not one
// (longer than 12 bytes, or holding a NUL byte). Other fields longer than
// their field are cut to fit.
int readhdr(FILE* fd, llnode* itemlist);
// Loads the metafile fname into itemlist, which must have an owner block.
// 1 when everything up to "END" was loaded; -1 after a message otherwise, with
// the records read before the failure left in the list.
int readmeta(const char* fname, llnode* itemlist);

// One record as the reader takes it: each field as a list's record would hold
// it (cut to its field, up to a NUL byte), and whether it is marked read. It
// points into the reader's own buffers and lives for the call alone.
struct metarec {
    std::string_view datafile, to, from, subject, cc, bcc;
    bool read;
};
// Reads the metafile fname as readmeta does, with the same messages and the
// same result, but hands each record to each, in file order, instead of
// keeping it: for a caller that keeps a few bytes of each record of a large
// index. The owner lines are read and not kept.
int readmetaeach(const char* fname, const std::function<void(const metarec&)>& each);

// Bytes the writer gathers before each write to the new metafile. A write
// that fails shows at the line that overflows them, or at the final flush.
constexpr size_t METABUF = 16384;

// Writes line and a newline. 1, or -1 when the write reports an error.
int putf(FILE* fd, const char* line);
// Writes an ACTIVE record as its seven lines, the flag as "R" for read and "N"
// for anything else; any other record is passed over. 1 when written or passed
// over, -1 after a message when a line fails. A record that would not read
// back as itself fails with its field's message: a field holding a newline,
// or the message file name "END", which would end the index early.
int wrthdr(FILE* fd, const llnode* item);
// Replaces the metafile fname with itemlist's owner block (empty lines when
// the head has none), its ACTIVE records in list order and "END".
//
// fname must already exist and not be a directory. The new index is written
// in full to a fresh file beside it, "<fname>.XXXXXX" with fname's permission
// bits, flushed and synced, and only then renamed over fname; the directory
// is synced last. A symbolic link at fname is replaced by the new file.
// 1 when the new index is in place. -1 after a message otherwise, with fname
// untouched and the fresh file removed; the one exception is a failure to
// sync the directory, reported after the rename: the new index is then in
// place but may not survive a crash.
int wrtmeta(const char* fname, llnode* itemlist);

#endif
