// mailbox: the index of a mailbox from the shell: list it, check it against
// the directory, delete messages, mend it, make it again. This file is the
// command line, the locks and what every command does first; the commands
// themselves are in tools/mailboxcmd.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <sysexits.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "mailbox/append.h"
#include "mailbox/durable.h"
#include "mailbox/ll.h"
#include "mailbox/receipt.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"
#include "tools/mailboxcmd.h"

#ifndef MAILBOX_VERSION
#define MAILBOX_VERSION "unknown"
#endif

namespace {

constexpr char usage[] =
    "Usage: mailbox list|check|delete|mend|rebuild|deliver|import|export [OPTIONS] METAFILE "
    "[N...|SOURCE...]\n"
    "Try 'mailbox --help' for more.\n";
constexpr char help[] =
    "Usage: mailbox COMMAND [OPTIONS] METAFILE [N...]\n"
    "Lists, checks, deletes from, mends and rebuilds the index METAFILE of the\n"
    "mailbox in the working directory.\n"
    "\n"
    "  list METAFILE       one line a record, in index order: its number, its read\n"
    "                      flag (R or N), from and subject, separated by tabs\n"
    "  check METAFILE      every problem, one line each, starting with its kind:\n"
    "                      missing, unlisted, twice, too long, unfinished, index;\n"
    "                      then a line of totals\n"
    "  delete METAFILE N...\n"
    "                      the records numbered N (as list shows them; ranges such\n"
    "                      as 3-7 too) leave the index, then their files the disk\n"
    "  mend METAFILE [--drop-missing] [--drop-twice] [--cut-long] [--adopt]\n"
    "                      --drop-missing: drop the records whose file is missing\n"
    "                      --drop-twice: drop each record but the first that lists\n"
    "                      one file (compared as files where it is here)\n"
    "                      --cut-long: cut fields over their limit in bytes at a\n"
    "                      whole UTF-8 character\n"
    "                      --adopt: add the unlisted message files as records at\n"
    "                      the end, read from their own headers\n"
    "                      Its lines number records as list showed them; adopted\n"
    "                      files are numbered on from the last record; the old\n"
    "                      index is kept as METAFILE.old\n"
    "  rebuild METAFILE [--owner-path PATH] [--owner-addr ADDRESS]\n"
    "                      a new index from the message files alone, in the order\n"
    "                      of their names (in999.msg before in1000.msg); the owner's\n"
    "                      path and address from these options, else the old index;\n"
    "                      the old index is kept as METAFILE.old (an older copy\n"
    "                      there is replaced)\n"
    "  deliver METAFILE    the message on standard input, stored byte for byte as the\n"
    "                      next free in%03d.msg with its record at the end; waits for\n"
    "                      the lock (60 seconds unless --wait=SECONDS says). Exit\n"
    "                      status 0 only when message and record are on disk; 75\n"
    "                      (try again later: the lock, the disk full, the index\n"
    "                      not one to append to) or 65 (not a message: no header\n"
    "                      line), and nothing kept\n"
    "  import METAFILE SOURCE...\n"
    "                      the messages of mbox files, Maildir folders (new/ and\n"
    "                      cur/) and loose message files, in order, each as the\n"
    "                      next free in%03d.msg with its record; one cut short is\n"
    "                      finished by the same import run again\n"
    "  export METAFILE --mbox FILE | --maildir DIR [N...]\n"
    "                      the records numbered (all when none) to a new mbox FILE\n"
    "                      (never written over) or into the Maildir DIR, read ones\n"
    "                      marked Status: RO or with the S flag\n"
    "\n"
    "  --wait=SECONDS      wait so long for the lock (deliver, import, export)\n"
    "  -n                  change nothing: print what the command would do (a\n"
    "                      delete cut short is left as it is, and said)\n"
    "  --help              print this help and exit\n"
    "  --version           print the version and exit\n"
    "\n"
    "A delete cut short is finished by the next mailbox command on that index,\n"
    "which says so in one line; msgseq refuses the index until then. While an\n"
    "update by 'msgseq -u' is unfinished, every command but check refuses; on an\n"
    "index a plain msgseq run left stale, delete and mend refuse, and list and\n"
    "check say so.\n"
    "\n"
    "Exit status: 0 done (check: no problem); 1 check found problems, or delete,\n"
    "mend or rebuild left some file out or in place (each one named); 2 nothing\n"
    "changed: METAFILE not read whole or not writable back as it is, a run cut\n"
    "short in the way, no such record, none of the listed files here, or a write\n"
    "that failed, its line saying what is on disk (check: could not check); 4\n"
    "standard output could not be written; 5 another process (a msgseq or\n"
    "mailbox run, or flock(1)) holds the lock on the directory: nothing done\n"
    "(check: 2; lists share it); 64 usage.\n";

bool takes(const std::string& cmd, std::string_view opt) {
    if (opt == "-n") return true;  // list and check change nothing anyway
    if (opt == "--drop-missing" || opt == "--drop-twice" || opt == "--cut-long" ||
        opt == "--adopt")
        return cmd == "mend";
    if (opt == "--wait") return cmd == "deliver" || cmd == "import" || cmd == "export";
    if (opt == "--mbox" || opt == "--maildir") return cmd == "export";
    return cmd == "rebuild" && (opt == "--owner-path" || opt == "--owner-addr");
}

// --wait=SECONDS: a whole number of seconds, at most a day.
int waitfor(mbxargs* a, std::string_view value) {
    int n = -1;
    const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
    if (r.ec != std::errc() || r.ptr != value.data() + value.size() || n < 0 || n > 86400) {
        mbxsay("--wait: %.*s is not a number of seconds (0 to 86400)\n",
               static_cast<int>(value.size()), value.data());
        return MBXUSAGE;
    }
    a->wait = n;
    return 0;
}

int bad() {
    (void)fputs(usage, stderr);
    return MBXUSAGE;
}

// One option, with its value for those that take one. 0 or MBXUSAGE.
int option(mbxargs* a, int argc, char** argv, int* i) {
    const std::string_view arg(argv[*i]);
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (!takes(a->cmd, name)) return bad();
    if (name == "--wait") return eq == std::string_view::npos ? bad() : waitfor(a, arg.substr(eq + 1));
    if (name == "--mbox" || name == "--maildir") {
        const char* value = eq != std::string_view::npos ? argv[*i] + eq + 1
                            : *i + 1 < argc              ? argv[++*i]
                                                         : nullptr;
        if (!value || !*value || a->mboxto || a->maildirto) return bad();
        (name == "--mbox" ? a->mboxto : a->maildirto) = value;
        return 0;
    }
    if (name == "--owner-path" || name == "--owner-addr") {
        const char* value = eq != std::string_view::npos ? argv[*i] + eq + 1
                            : *i + 1 < argc              ? argv[++*i]
                                                         : nullptr;
        if (!value) return bad();
        // One line of the index each, within its field: never cut, never two lines.
        const bool path = name == "--owner-path";
        const size_t limit = path ? sizeof(ownerdata::mypath) - 1 : sizeof(ownerdata::myaddr) - 1;
        if (strpbrk(value, "\n\r")) {
            mbxsay("%.*s: the value holds a line break, which the index can't hold; nothing "
                   "done\n",
                   static_cast<int>(name.size()), name.data());
            return MBXUSAGE;
        }
        if (strlen(value) > limit) {
            mbxsay("%.*s: the value is %zu bytes, over the index's limit of %zu; nothing done\n",
                   static_cast<int>(name.size()), name.data(), strlen(value), limit);
            return MBXUSAGE;
        }
        (path ? a->ownerpath : a->owneraddr) = value;
        return 0;
    }
    if (eq != std::string_view::npos) return bad();
    if (name == "-n") a->dryrun = true;
    if (name == "--drop-missing") a->dropmissing = true;
    if (name == "--drop-twice") a->droptwice = true;
    if (name == "--cut-long") a->cutlong = true;
    if (name == "--adopt") a->adopt = true;
    return 0;
}

// Options may stand anywhere after the command; "--" ends them. The first
// operand is METAFILE; only delete takes more. 0 to go on, or the status.
int parse(int argc, char** argv, mbxargs* a) {
    if (argc == 2 && std::string_view(argv[1]) == "--help")
        return fputs(help, stdout) < 0 || fflush(stdout) != 0 ? MBXOUT : -1;
    if (argc == 2 && std::string_view(argv[1]) == "--version")
        return printf("mailbox %s\n", MAILBOX_VERSION) < 0 || fflush(stdout) != 0 ? MBXOUT : -1;
    if (argc < 3) return bad();
    a->cmd = argv[1];
    if (a->cmd != "list" && a->cmd != "check" && a->cmd != "delete" && a->cmd != "mend" &&
        a->cmd != "rebuild" && a->cmd != "deliver" && a->cmd != "import" && a->cmd != "export")
        return bad();
    bool opts = true;
    for (int i = 2; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (opts && arg == "--") {
            opts = false;
        } else if (opts && arg.size() > 1 && arg[0] == '-') {
            if (int rc = option(a, argc, argv, &i)) return rc;
        } else if (!a->meta) {
            a->meta = argv[i];
        } else if (a->cmd == "delete" || a->cmd == "export") {
            a->nums.emplace_back(arg);
        } else if (a->cmd == "import") {
            a->sources.emplace_back(arg);
        } else {
            return bad();
        }
    }
    if (!a->meta || (a->cmd == "delete" && a->nums.empty()) ||
        (a->cmd == "import" && a->sources.empty()) ||
        (a->cmd == "export" && !a->mboxto && !a->maildirto))
        return bad();
    return 0;
}

// The working directory's lock and, when the index is elsewhere, its
// directory's too, as msgseq takes them; shared for a command that changes
// nothing, so that such commands run side by side. 0, or the status, said.
int lockonce(const char* meta, bool shared, int* here, int* there, std::string* dir);

// As lockonce, tried again every tenth of a second for up to wait seconds
// while another process holds a lock. 0, or the status, said.
int lockboth(const char* meta, bool shared, int* here, int* there, int wait = 0) {
    std::string dir = ".";
    struct timespec start {};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (lockonce(meta, shared, here, there, &dir) == 0) return 0;
        struct timespec now {};
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        if (errno != EWOULDBLOCK || now.tv_sec - start.tv_sec >= wait) break;
        durunlock(*there);
        durunlock(*here);
        *here = *there = -1;
        const struct timespec tenth = {0, 100000000};
        (void)nanosleep(&tenth, nullptr);
    }
    if (errno == EWOULDBLOCK) {
        mbxsay(
            "another process (a msgseq or mailbox run, or flock(1)) holds the lock on %s; "
            "nothing done\n",
            dir == "." ? "this directory" : mbxq(dir.c_str()).c_str());
        return MBXBUSY;
    }
    mbxsay("cannot lock %s: %s; nothing done\n",
           dir == "." ? "the working directory" : mbxq(dir.c_str()).c_str(), strerror(errno));
    return MBXBUSY;
}

// The locks taken once: 0, or -1 with errno and *dir the directory.
int lockonce(const char* meta, bool shared, int* here, int* there, std::string* where) {
    std::string& dir = *where;
    dir.assign(1, '.');  // GCC 12 at -O3 misreads a literal assigned here
    *here = durlock(".", shared);
    if (*here >= 0) {
        char buf[PATH_MAX];
        struct stat a, b;
        dir = durparent(realpath(meta, buf) ? buf : meta);
        // A directory that is not there: loading the index says so.
        if (stat(dir.c_str(), &a) != 0 ||
            (stat(".", &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino))
            return 0;
        if ((*there = durlock(dir, shared)) >= 0) return 0;
    }
    return -1;
}

// An index that a finished plain msgseq run left listing the names it has
// since changed: delete and mend, which act on the records' files, refuse
// it; list and check say so and go on (*stale set). 0, or the status.
int stalefrom(const mbxargs& a, bool* stale) {
    rcpt last;
    if (rcptlast(a.meta, &last, "mailbox", stderr) == rcptfit::none) return 0;
    const bool acts = a.cmd == "delete" || a.cmd == "mend" || a.cmd == "export";
    mbxsay("%s still lists the names a plain msgseq run has since changed; run 'msgseq -u %s' to "
           "bring it up to date%s\n",
           mbxq(a.meta).c_str(), renumshown(a.meta).c_str(), acts ? "; nothing done" : "");
    *stale = true;
    return acts ? MBXFAIL : 0;
}

// What stands in the way of every command: a delete cut short is finished
// (or, with -n, said), an update by msgseq -u cut short refuses all but
// check, and so does an index a plain msgseq run left behind (stalefrom).
// 0 to go on, or the status.
int before(const mbxargs& a, bool* stale) {
    if (a.dryrun && apunfinished(a.meta)) {
        mbxsay("an append to %s was cut short; a run without -n finishes it\n",
               mbxq(a.meta).c_str());
    } else if (!apfinish(a.meta, stderr, nullptr) && a.cmd != "check") {
        return MBXFAIL;
    }
    if (a.dryrun && rmunfinished(a.meta)) {
        mbxsay("a delete from %s was cut short; a run without -n finishes it\n",
               mbxq(a.meta).c_str());
    } else if (bool done = false;
               rmfinish(a.meta, stderr, &done) == RMFAIL && a.cmd != "check") {
        return MBXFAIL;  // check goes on, and counts it as unfinished
    } else if (done && a.cmd == "delete") {
        // Numbers given while that delete was unfinished were read before it.
        mbxsay("the record numbers given may name other records now: see 'mailbox list %s', "
               "then give them again; nothing else done\n",
               renumshown(a.meta).c_str());
        return MBXFAIL;
    }
    // What a write cut short left aside is of no use to anyone; check
    // leaves it, as it changes nothing.
    char buf[PATH_MAX];
    if (!a.dryrun && a.cmd != "check" && realpath(a.meta, buf))
        for (const char* ext : {".mailbox-new", ".mailbox-delete.new", ".mailbox-old"})
            (void)unlink(durbeside(buf, ext).c_str());
    const renumcut cut = renumcutshort(a.meta);
    if (a.cmd != "check" && cut != renumcut::none) {
        const std::string shown = renumshown(a.meta);
        mbxsay("%s of %s by '%s' was cut short; run '%s %s' to finish it, or 'msgseq --abort %s' "
               "to give it up; nothing done\n",
               cut == renumcut::plain ? "a run" : "an update", mbxq(a.meta).c_str(),
               cut == renumcut::plain ? "msgseq" : "msgseq -u",
               cut == renumcut::plain ? "msgseq" : "msgseq -u", shown.c_str(), shown.c_str());
        return MBXFAIL;
    }
    // While a run's journal is there, it says where the files are.
    // New mail goes in whatever names the index lists.
    if (cut == renumcut::none && a.cmd != "rebuild" && a.cmd != "deliver" && a.cmd != "import")
        return stalefrom(a, stale);
    return 0;
}

// Root in another user's mailbox acts as that user, before the locks or
// anything else there is opened; then the metafile must be a regular file
// (rebuild: or none), refused at once rather than blocked on while the
// locks are held. 0 to go on, or the status, said.
int trusted(const mbxargs& a) {
    if (std::string why; !trustbecome(a.meta, &why)) {
        mbxsay("%s: %s; nothing done\n", renumshown(a.meta).c_str(), why.c_str());
        return MBXFAIL;
    }
    // None at all is rebuild's to make, and every other command's to say.
    if (trustmeta(a.meta) || errno == ENOENT) return 0;
    if (errno == EINVAL)
        mbxsay("%s is not a regular file; nothing done\n", mbxq(a.meta).c_str());
    else
        mbxsay("cannot read %s: %s; nothing done\n", mbxq(a.meta).c_str(), strerror(errno));
    return MBXFAIL;
}

// A delivery's status as an MTA reads it: whatever kept the message out of
// a mailbox that is there is worth trying again.
int delivered(int rc) {
    return rc == MBXOK || rc == MBXUSAGE || rc == EX_DATAERR || rc == EX_TEMPFAIL ||
                   rc == EX_IOERR
               ? rc
               : EX_TEMPFAIL;
}

int run(mbxargs& a);

}  // namespace

int main(int argc, char** argv) {
    mbxargs a;
    if (int rc = parse(argc, argv, &a)) return rc < 0 ? MBXOK : rc;
    if (a.cmd != "deliver") return run(a);
    // The message is read before the locks: a slow sender keeps no one out.
    char buf[65536];
    for (ssize_t n; (n = read(0, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            mbxsay("cannot read standard input: %s; nothing kept\n", strerror(errno));
            return EX_IOERR;
        }
        a.input.append(buf, static_cast<size_t>(n));
    }
    return delivered(run(a));
}

namespace {

int run(mbxargs& a) {
    if (int rc = trusted(a)) return rc;
    // A reader of the output that goes away must not stop a change half way;
    // a list, which changes nothing, just ends.
    if (a.cmd != "list") (void)signal(SIGPIPE, SIG_IGN);
    int here = -1, there = -1;
    // list changes nothing and shares the lock, but for finishing a delete
    // cut short, which takes the writers' own; check may always finish one.
    const bool shared = a.cmd == "list" || a.cmd == "export";
    const int wait = a.wait >= 0 ? a.wait : a.cmd == "deliver" ? 60 : 0;
    int rc = lockboth(a.meta, shared, &here, &there, wait);
    if (rc == 0 && shared && (rmunfinished(a.meta) || apunfinished(a.meta))) {
        durunlock(there);
        durunlock(here);
        here = there = -1;
        rc = lockboth(a.meta, false, &here, &there, wait);
    }
    if (rc == MBXBUSY && a.cmd == "check") rc = MBXFAIL;
    bool stale = false;
    if (rc == 0) rc = before(a, &stale);
    if (rc == 0) {
        if (a.cmd == "list")
            rc = mbxlist(a);
        else if (a.cmd == "check")
            rc = mbxcheck(a);
        else if (a.cmd == "delete")
            rc = mbxdelete(a);
        else if (a.cmd == "mend")
            rc = mbxmend(a);
        else if (a.cmd == "deliver")
            rc = mbxdeliver(a);
        else if (a.cmd == "import")
            rc = mbximport(a);
        else if (a.cmd == "export")
            rc = mbxexport(a);
        else
            rc = mbxrebuild(a);
    }
    // A stale index is one more problem.
    if (rc == MBXOK && stale && a.cmd == "check") rc = MBXFOUND;
    durunlock(there);
    durunlock(here);
    return rc;
}

}  // namespace
