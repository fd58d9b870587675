// The subcommands of the mailbox tool: what the command line asked for, and
// one function a subcommand, each run in the mailbox directory with its
// locks held, a delete cut short already finished. Each loads the index into
// a list of its own and frees it before it returns; nothing is kept between
// calls.
#ifndef MAILBOX_TOOLS_MAILBOXCMD_H
#define MAILBOX_TOOLS_MAILBOXCMD_H

#include <string>
#include <vector>

// Exit statuses.
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

struct mbxargs {
    std::string cmd;
    const char* meta = nullptr;
    bool dryrun = false;
    bool dropmissing = false, droptwice = false, cutlong = false, adopt = false;  // mend
    const char* ownerpath = nullptr;                           // rebuild
    const char* owneraddr = nullptr;
    std::vector<std::string> nums;  // delete, export: "N" or "A-B"
    std::vector<std::string> sources;  // import
    const char* mboxto = nullptr;      // export --mbox FILE
    const char* maildirto = nullptr;   // export --maildir DIR
    int wait = -1;                     // seconds to wait for the lock; -1: the command's own
    std::string input;                 // deliver: the message, read before the lock
};

// One line to standard error, "mailbox: " first.
void mbxsay(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A name as one line shows it, in single quotes.
std::string mbxq(const char* name);

int mbxlist(const mbxargs& a);
int mbxcheck(const mbxargs& a);
int mbxdelete(const mbxargs& a);
int mbxmend(const mbxargs& a);
int mbxrebuild(const mbxargs& a);
// tools/mailboxinout.cpp: deliver's status is one of sysexits.h's (0, 64,
// 65, 75, 74); import's and export's are the table's above.
int mbxdeliver(const mbxargs& a);
int mbximport(const mbxargs& a);
int mbxexport(const mbxargs& a);

#endif
