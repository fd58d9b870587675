// The commands of the mailbox tool: what the command line asked for, the
// table main.cpp dispatches through, and one function a command. Each
// command runs in the mailbox directory with its locks held and a delete
// cut short already finished; it loads the index into a list of its own and
// frees it before it returns. Nothing is kept between calls.
//
// A new command is one row of the table in tools/mailbox/main.cpp and one
// function here, in the file of its family: read.cpp (list, check, show,
// pick), change.cpp (delete, mend, mark, sort), rebuild.cpp, inout.cpp
// (deliver, import, export).
#ifndef MAILBOX_TOOLS_MAILBOX_CMD_H
#define MAILBOX_TOOLS_MAILBOX_CMD_H

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Exit statuses; a signal during the wait for the locks ends the process by
// that signal (128 + N).
enum : int {
    MBXOK = 0,      // done, and on disk; check: nothing found
    MBXFOUND = 1,   // check: problems found; delete, mend, rebuild: done, but some file
                    // was left out or left in place (each one said)
    MBXFAIL = 2,    // nothing changed: the index not read or not writable as it is, a run
                    // cut short in the way, or a write that failed (its line says what is
                    // on disk then); check: could not check
    MBXOUT = 4,     // standard output could not be written: what it would say is lost
    MBXBUSY = 5,    // another process holds the lock on the directory: nothing done
    MBXUSAGE = 64,  // the command line is wrong: nothing done
};

struct mbxcmd;

struct mbxargs {
    std::string cmd;
    const mbxcmd* row = nullptr;  // cmd's row of the table
    const char* meta = nullptr;
    bool dryrun = false;
    bool dropmissing = false, droptwice = false, cutlong = false, adopt = false;  // mend
    const char* ownerpath = nullptr;                                            // rebuild
    const char* owneraddr = nullptr;
    std::vector<std::string> nums;  // delete, show, mark, export: "N" or "A-B"
    std::vector<std::string> files;  // delete: --file NAME, each a record's file
    const char* format = nullptr;    // list, pick: --format
    bool headers = false;            // show: the header block alone
    bool markread = false, marknew = false;                                     // mark
    const char *pfrom = nullptr, *pto = nullptr, *pcc = nullptr, *psubject = nullptr;  // pick
    const char *since = nullptr, *before = nullptr;
    bool onlynew = false, numbers = false;
    const char* by = nullptr;  // sort
    bool reverse = false;
    const char* wait = nullptr;  // --wait's SECONDS, checked; null: the row's own
    // Set before the command runs: the index is one a plain msgseq run left
    // listing the names it has since changed.
    bool stale = false;
    std::vector<std::string> sources;  // import
    const char* mboxto = nullptr;      // export --mbox FILE
    const char* maildirto = nullptr;   // export --maildir DIR
    std::string input;                 // deliver: the message, read before the locks
    // import: the locks given up between two batches, so that readers and
    // deliveries waiting for them get in, and taken again; 0, or the status
    // after a line.
    std::function<int()> letin;
};

// One option a command takes: a flag set alone, or one with a value given
// as --name=VALUE or --name VALUE, which check (may be null) accepts or
// refuses: 0, or the status after a line saying why.
struct mbxopt {
    const char* name;
    bool mbxargs::*flag = nullptr;
    const char* mbxargs::*value = nullptr;
    int (*check)(std::string_view name, const char* value) = nullptr;
    std::vector<std::string> mbxargs::*many = nullptr;  // a value given again adds to these
};

// How a command stands to an index that a msgseq run left behind.
enum class mbxstale {
    ignore,  // it makes the index anew from the files (rebuild)
    say,     // says so and goes on (list, check)
    refuse,  // acts on the records' files, which have other names by now
};

// One row of the dispatch table.
struct mbxcmd {  // NOLINT(clang-analyzer-optin.performance.Padding): rows read in this order
    const char* name;
    int (*run)(const mbxargs& a);
    std::span<const mbxopt> opts;  // beside -n, which every command takes
    mbxstale stale;
    // Changes nothing and shares the locks with other readers: a reader of
    // its output that goes away just ends it.
    bool shared;
    // Reports what it finds rather than acting on it: a lock it can't take
    // or a delete it can't finish is "could not check" (2), a run cut short
    // and a stale index are findings, what a write cut short left aside is
    // left for the command that acts.
    bool survey;
    // Takes record numbers after METAFILE (at least one): numbers given
    // while a delete was unfinished may name other records once it is done.
    bool numbered;
    // Seconds it waits for the locks that another process holds, unless
    // --wait says otherwise: a reader a mail client runs waits out a short
    // run; a command that changes the index gives way at once.
    int wait;
    // Reads the index as it stands while a msgseq run is cut short, saying
    // so: the index is whole then, since a run replaces it by one rename.
    // Every other command but a survey refuses then.
    bool midrun;
    // What it takes after METAFILE otherwise: record numbers, none or more
    // (export); sources, one or more (import).
    enum { none, numbers, sources } more = none;
};

// One line to standard error, "mailbox: " first.
void mbxsay(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A name as one line shows it, in single quotes.
std::string mbxq(const char* name);

// read.cpp
int mbxlist(const mbxargs& a);
int mbxcheck(const mbxargs& a);
int mbxshow(const mbxargs& a);
int mbxpick(const mbxargs& a);
// change.cpp
int mbxdelete(const mbxargs& a);
int mbxmend(const mbxargs& a);
int mbxmark(const mbxargs& a);
int mbxsort(const mbxargs& a);
// rebuild.cpp
int mbxrebuild(const mbxargs& a);
// inout.cpp: deliver's status is one of sysexits.h's (0, 64, 65, 74, 75);
// import's and export's are the table's above.
// A delivery's status (sysexits.h) for a failure whose cause is err:
// EX_TEMPFAIL, which a mail transfer agent tries again for days, only for
// what may pass by itself (the lock, ENOSPC, EIO, EAGAIN); a mailbox that
// can't take mail as it stands gets a status a person acts on.
int mbxdeliverstatus(int err);
int mbxdeliver(const mbxargs& a);
int mbximport(const mbxargs& a);
int mbxexport(const mbxargs& a);

#endif
