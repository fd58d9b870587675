// The receipt a finished msgseq run leaves in place of its journal: which
// index it ran on (its size and checksum), for -u also the index as the run
// left it, the working directory it ran in, and for each record its old
// name, its new name and its file's identity. A plain run leaves the index
// listing the old names; its receipt is how a later command knows that, and
// how msgseq -u brings the index up to date without moving a file again.
//
// The file is ".NAME.msgseq-receipt" beside the index (NAME the index's own
// file name), or ".msgseq-receipt" in the working directory where a plain
// run could not write beside the index, and it is replaced, never edited:
//
//   msgseq receipt 1|2|3
//   run plain|update
//   dir DEV INO                    the working directory
//   fence SEC.NSEC SEC.NSEC        version 3 only: a time the file system gave no
//                                  change before the run's end and every change
//                                  after it; then the time since which the
//                                  status of no file has changed by this system's
//                                  own moves (the same, or an undo given up
//                                  where files have no birth time)
//   before BLEN BSUM TLEN TSUM     the index the run ran on
//   after BLEN BSUM TLEN TSUM      the index as -u left it ("after -" for a plain run)
//   kept NAME                      versions 2 (always) and 3 (after -u): the index -u
//                                  replaced, kept beside the receipt under NAME, so
//                                  that msgseq --undo can put it back
//   records N moved M
//   DEV INO SIZE SEC.NSEC NEW OLD  one line a record, in index order
//
// An index is summed in two parts: its body (the two owner lines and the N
// records the run worked on) and its tail (whatever follows: END, or records
// added since). A record's identity is "- -" when it had no file, and its
// size and time "- -" where the run did not stat it; NEW is "=" when the
// file kept its old name; OLD runs to the end of the line.
//
// A file is known by more than its inode number, which the system gives
// again to a file made after another is removed. The fence does that for
// every file at once: a file the run left was last written (mtime) and made
// (birth time) no later than the fence, while one written since has a later
// mtime and a new file under the old number a later birth time. Where the
// file system keeps no birth time, the status-change time (ctime), which no
// program can set back, stands in for it: no later than the second time,
// else something was done to the file since (a write, a new name, a chmod).
// Only where the fence could not be taken does the run stat each file for
// its size and time (and an earlier release's receipts have those for -u
// alone).
//
// Ownership: an rcpt owns the receipt's text; its records point into it and
// live as long as it does. Nothing here keeps memory or state between calls.
#ifndef MAILBOX_RECEIPT_H
#define MAILBOX_RECEIPT_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Bytes and their checksum.
struct rcptsum {
    uint64_t len = 0;
    uint64_t hash = 0;
    bool operator==(const rcptsum&) const = default;
};

// An index summed in its two parts; known false when it could not be read
// (not a regular file, say).
struct rcptindex {
    bool known = false;
    rcptsum body, tail;
};

struct rcptrec {
    bool known = false;  // the record had a file: dev and ino are its
    dev_t dev = 0;
    ino_t ino = 0;
    bool timed = false;  // size and time written
    off_t size = 0;
    int64_t sec = 0;
    long nsec = 0;
    std::string_view now;  // the name its file has: NEW, or OLD where NEW is "="
    std::string_view was;  // the name the index listed
};

struct rcpt {
    bool update = false;
    dev_t dirdev = 0;
    ino_t dirino = 0;
    rcptindex before, after;
    bool fenced = false;  // the fence and settled were taken
    timespec fence{}, settled{};
    uint32_t moved = 0;  // records whose file took another name
    std::vector<rcptrec> recs;
    std::string kept;  // the name of the index -u replaced, kept beside the receipt; or empty
    std::string text;  // the records' names point into it
    std::string path;  // where it was read
};

// The checksum of bytes, 8 at a time.
struct rcpthasher {
    uint64_t h = 14695981039346656037ull;
    uint64_t len = 0;
    unsigned char pend[8] = {};
    size_t npend = 0;
    void add(const char* p, size_t n);
    rcptsum done() const;
};
rcptsum rcptsumof(std::string_view bytes);

// The index path leads to, summed with records records in its body; known
// false when it is not a regular file or can't be read.
rcptindex rcptsumindex(const char* path, size_t records);
// The same for an index's text, read whole; *bodyend (may be null) gets
// where its body ends, or npos when the text has fewer lines than that.
rcptindex rcptsumtext(std::string_view text, size_t records, size_t* bodyend = nullptr);

// Where a run of the index fname keeps its receipt: beside the file the
// path leads to, or, spare, in the working directory. Empty when the path
// leads nowhere (spare: when the working directory has no name).
std::string rcptbeside(const char* fname);
std::string rcptspare();
// Where the receipt at path keeps the index an update replaced: beside it,
// ".NAME.msgseq-before" for ".NAME.msgseq-receipt".
std::string rcptkeptpath(const std::string& receipt);

// One line a record for rcptwrite, by record number from 0.
struct rcptentry {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    bool timed = false;
    off_t size = 0;
    int64_t sec = 0;
    long nsec = 0;
    std::string_view now;  // empty or equal to was: the file kept its name
    std::string_view was;
};

// Writes the receipt path whole or not at all, synced, renamed into place and
// its directory synced (durwrite), mode 0600, given to like's owner where
// this process may (as root). r's records are ignored: count entries come
// from entry. false with errno set when it is not on disk.
bool rcptwrite(const std::string& path, const rcpt& head, size_t count,
               const std::function<rcptentry(size_t)>& entry, const struct stat* like);

// Takes the fence for a receipt of the run in the working directory, once
// its files are renamed: touches the directory until the file system gives
// a change a later time than it gave the first touch (at once on most,
// within a tick of its clock on others), so that no change after this call
// can be given the fence's time. false, and nothing taken, where the
// directory can't be touched or its clock does not move on within 3 s.
bool rcptfence(rcpt* head);

// The receipt path settled anew, once its run's files, moved away by an
// undo, have been put back where the run left them: their moves back gave
// them later status-change times. Its fence stays: a file written meanwhile
// is still one written since the run. A receipt without a fence, where no
// time can be taken, or where every file has a birth time (which tells the
// moves back from a new file under a moved one's number), stays as it is.
// false, errno set, when it could not be read or written.
bool rcptrefence(const std::string& path);

// Reads the receipt path: true when it is one this user wrote (trustopenown)
// in the form above, every name a plain one (trustplain). false with *why
// set (ENOENT's words when there is none, *absent set then).
bool rcptread(const std::string& path, rcpt* out, std::string* why, bool* absent);

// How the index stands to the receipt of the last plain run that renamed
// its files in this directory.
enum class rcptfit : uint8_t {
    none,      // no such receipt (or one of another index or directory, or -u's)
    whole,     // the index is the one that run ran on, byte for byte
    appended,  // that index with more after its records (a delivery since)
};

// Looks beside the index, then in the working directory, for the receipt
// of a plain run of fname in this directory that changed some name, that
// the index still lists, and some of whose renamed files are still where it
// left them (files all put back by hand leave it nothing to tell). A receipt that can't be trusted is ignored with one line to errs
// ("PROG: ignoring the receipt 'PATH': WHY"), errs may be null.
rcptfit rcptlast(const char* fname, rcpt* out, const char* prog, FILE* errs);

// The records of r whose file is not where the run left it: not under its
// name there, or another file (by device and inode, and size and time where
// known, and a birth time later than the fence where r has one and the file
// system keeps them: a new file given the old one's number); with
// unchanged, also one changed since the fence. Record numbers from 0.
std::vector<uint32_t> rcptastray(const rcpt& r, bool unchanged = false);

// One line for each record astray, the first ten, then "PROG: and N more":
// its file changed since, where it is still the file by its number, or no
// longer there.
void rcptsayastray(const rcpt& r, const std::vector<uint32_t>& astray, const char* prog,
                   FILE* errs);

#endif
