// mailbox: the index of a mailbox from the shell: list it, check it against
// the directory, delete messages, mend it, make it again, take mail in and
// write it out. This file is the
// command line, the table of commands, the locks and what every command
// does first; the commands themselves are in tools/mailbox/ by family
// (tools/mailbox/cmd.h).
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#include "mailbox/append.h"
#include "mailbox/durable.h"
#include "mailbox/ll.h"
#include "mailbox/quote.h"
#include "mailbox/receipt.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"
#include "tools/cli.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

#ifndef MAILBOX_VERSION
#define MAILBOX_VERSION "unknown"
#endif

namespace {

// One line of the index each, within its field: never cut, never two lines.
int ownerline(std::string_view name, const char* value) {
    const size_t limit = name == "--owner-path" ? sizeof(ownerdata::mypath) - 1
                                                : sizeof(ownerdata::myaddr) - 1;
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
    return 0;
}

// How long to wait for the locks, for every command.
int waitline(std::string_view name, const char* value) {
    if (int s = 0; cliwaitvalue(value, &s)) return 0;
    mbxsay("%.*s: %s is not a number of seconds from 0 to %d; nothing done\n",
           static_cast<int>(name.size()), name.data(), mbxq(value).c_str(), CLIWAITMAX);
    return MBXUSAGE;
}

// Options every command takes, beside -n.
const mbxopt everyopts[] = {
    {"--wait", nullptr, &mbxargs::wait, waitline},
};

const mbxopt mendopts[] = {
    {"--drop-missing", &mbxargs::dropmissing},
    {"--drop-twice", &mbxargs::droptwice},
    {"--cut-long", &mbxargs::cutlong},
    {"--adopt", &mbxargs::adopt},
};
const mbxopt rebuildopts[] = {
    {"--owner-path", nullptr, &mbxargs::ownerpath, ownerline},
    {"--owner-addr", nullptr, &mbxargs::owneraddr, ownerline},
};
const mbxopt deleteopts[] = {
    {"--file", nullptr, nullptr, nullptr, &mbxargs::files},
};
const mbxopt listopts[] = {
    {"--format", nullptr, &mbxargs::format},
};
const mbxopt showopts[] = {
    {"--headers", &mbxargs::headers},
};
const mbxopt pickopts[] = {
    {"--from", nullptr, &mbxargs::pfrom},     {"--to", nullptr, &mbxargs::pto},
    {"--cc", nullptr, &mbxargs::pcc},         {"--subject", nullptr, &mbxargs::psubject},
    {"--since", nullptr, &mbxargs::since},    {"--before", nullptr, &mbxargs::before},
    {"--new", &mbxargs::onlynew},             {"--numbers", &mbxargs::numbers},
    {"--format", nullptr, &mbxargs::format},
};
const mbxopt markopts[] = {
    {"--read", &mbxargs::markread},
    {"--new", &mbxargs::marknew},
};
const mbxopt sortopts[] = {
    {"--by", nullptr, &mbxargs::by},
    {"-r", &mbxargs::reverse},
};

// How long a reader waits for the locks by default: a msgseq run or a
// change of the index that holds them is done well within it, and a mail
// client that lists can wait that long.
constexpr int readerwait = 10;

// An export goes to one place.
int oneplace(std::string_view, const char* value) { return *value ? 0 : MBXUSAGE; }

const mbxopt exportopts[] = {
    {"--mbox", nullptr, &mbxargs::mboxto, oneplace},
    {"--maildir", nullptr, &mbxargs::maildirto, oneplace},
};

// Every command, in the order the usage line names them.
const mbxcmd commands[] = {
    // name, function, options, stale index, shared, survey, numbered, wait, midrun, more
    {"list", mbxlist, listopts, mbxstale::say, true, false, false, readerwait, true},
    {"show", mbxshow, showopts, mbxstale::refuse, true, false, true, readerwait, false},
    {"pick", mbxpick, pickopts, mbxstale::say, true, false, false, readerwait, true},
    {"check", mbxcheck, {}, mbxstale::say, false, true, false, readerwait, false},
    {"delete", mbxdelete, deleteopts, mbxstale::refuse, false, false, true, 0, false},
    {"mend", mbxmend, mendopts, mbxstale::refuse, false, false, false, 0, false},
    {"mark", mbxmark, markopts, mbxstale::refuse, false, false, true, 0, false},
    {"sort", mbxsort, sortopts, mbxstale::refuse, false, false, false, 0, false},
    {"rebuild", mbxrebuild, rebuildopts, mbxstale::ignore, false, false, false, 0, false},
    // New mail goes in whatever names the index lists.
    {"deliver", mbxdeliver, {}, mbxstale::ignore, false, false, false, 60, false},
    {"import", mbximport, {}, mbxstale::ignore, false, false, false, 0, false, mbxcmd::sources},
    {"export", mbxexport, exportopts, mbxstale::refuse, true, false, false, readerwait, false,
     mbxcmd::numbers},
};

const mbxcmd* commandnamed(std::string_view name) {
    const auto* c = std::find_if(std::begin(commands), std::end(commands),
                                 [name](const mbxcmd& row) { return name == row.name; });
    return c != std::end(commands) ? c : nullptr;
}

constexpr char help[] =
    "Usage: mailbox COMMAND [OPTIONS] METAFILE [N...|SOURCE...]\n"
    "Lists, shows, picks, checks, deletes from, mends, marks, sorts and rebuilds\n"
    "the index METAFILE of the mailbox in the working directory; delivers, imports\n"
    "and exports its mail.\n"
    "\n"
    "  list METAFILE [--format=FORMAT]\n"
    "                      one line a record, in index order: its number, its read\n"
    "                      flag (R or N), from and subject, separated by tabs; or\n"
    "                      the fields FORMAT names: %n %flag %file %date %from %to\n"
    "                      %cc %bcc %subject (%{name} too), %% \\t \\n \\\\; %date,\n"
    "                      the message's Date: header, is read from its file\n"
    "  show METAFILE N... [--headers]\n"
    "                      the messages as they are on disk (--headers: the header\n"
    "                      block alone); several each after a line\n"
    "                      '==> record N ('NAME'), B bytes <=='\n"
    "  pick METAFILE [--from RE] [--to RE] [--cc RE] [--subject RE] [--new]\n"
    "       [--since DATE] [--before DATE] [--numbers] [--format=FORMAT]\n"
    "                      the records that meet every criterion (extended regular\n"
    "                      expressions, case ignored for UTF-8 letters too; DATE\n"
    "                      as YYYY-MM-DD [HH:MM],\n"
    "                      local time), as list prints them, or their numbers alone\n"
    "                      for delete; status 1 when none does\n"
    "  check METAFILE      every problem, one line each, starting with its kind:\n"
    "                      missing, unlisted, twice, too long, unfinished, index;\n"
    "                      then a line of totals\n"
    "  delete METAFILE N... [--file NAME]...\n"
    "                      the records numbered N (as list shows them; ranges such\n"
    "                      as 3-7 too), and those listing the file NAME, leave the\n"
    "                      index, then their files the disk\n"
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
    "  mark METAFILE N... --read|--new\n"
    "                      sets the records' read flags\n"
    "  sort METAFILE --by date|from|subject|size [-r]\n"
    "                      reorders the records (stable; -r reversed); then\n"
    "                      'msgseq -u METAFILE' renumbers the files to match\n"
    "  rebuild METAFILE [--owner-path PATH] [--owner-addr ADDRESS]\n"
    "                      a new index from the message files, in the order of\n"
    "                      their names (in999.msg before in1000.msg); a file the old\n"
    "                      index lists, unchanged since, keeps its record; the owner's\n"
    "                      path and address from these options, else the old index;\n"
    "                      the old index is kept as METAFILE.old (an older copy\n"
    "                      there is replaced); in a directory of no messages, an\n"
    "                      index of no records: how a new mailbox starts\n"
    "  deliver METAFILE    the message on standard input, stored byte for byte as the\n"
    "                      next free in%03d.msg with its record at the end; waits for\n"
    "                      the lock (60 seconds unless --wait=SECONDS says). Exit\n"
    "                      status 0 only when message and record are on disk; 75\n"
    "                      (try again later: the lock, the disk full, EIO, memory\n"
    "                      short, a msgseq run cut short, the wrong directory), 74\n"
    "                      (standard input unreadable), 65 (not a message: no\n"
    "                      header line, or over 4 GiB), 69 (the index broken),\n"
    "                      73 (can't create), 77 (no permission, a planted\n"
    "                      file), 78 (no metafile, or not a file), nothing kept\n"
    "  import METAFILE SOURCE...\n"
    "                      the messages of mbox files, Maildir folders (new/ and\n"
    "                      cur/) and loose message files, in order, each as the\n"
    "                      next free in%03d.msg with its record, a batch at a\n"
    "                      time; each message a source gave is taken once: run\n"
    "                      again, cut short or whole, only what is new comes in;\n"
    "                      a long import lets waiting commands in between batches\n"
    "  export METAFILE --mbox FILE | --maildir DIR [N...]\n"
    "                      the records numbered (all when none) to a new mbox FILE\n"
    "                      (never written over) or into the Maildir DIR, read ones\n"
    "                      marked Status: RO or with the S flag\n"
    "\n"
    "  -n                  change nothing: print what the command would do (a\n"
    "                      delete cut short is left as it is, and said)\n"
    "  --wait=SECONDS      wait up to SECONDS (0 to 86400) for the locks another\n"
    "                      process holds, then give up with status 5; list, show,\n"
    "                      pick, export and check wait 10 by default, deliver\n"
    "                      60, the others 0\n"
    "  --help              print this help and exit\n"
    "  --version           print the version and exit\n"
    "\n"
    "A delete cut short is finished by the next mailbox command on that index,\n"
    "which says so in one line; msgseq refuses the index until then. While a\n"
    "msgseq run is unfinished, list and pick read the index as it stands and say\n"
    "so, check reports it and every other command refuses; on an index a plain\n"
    "msgseq run left stale, show, export, delete, mend, mark and sort refuse,\n"
    "and list, pick and check say so.\n"
    "\n"
    "Exit status: 0 done (check: no problem); 1 check found problems, pick found\n"
    "nothing, or show, delete, mend, rebuild, import or export left some file or\n"
    "message out or in place (each one named); 2 nothing changed: METAFILE not\n"
    "read whole or not writable back as it is, a run cut short in the way, no\n"
    "such record, none of the listed files here, or a write that failed, its line\n"
    "saying what is on disk (check: could not check); 4 standard output could not\n"
    "be written; 5 another process (a msgseq or mailbox run, or flock(1)) holds\n"
    "the lock on the directory: nothing done (check: 2; lists share it); 64\n"
    "usage. A signal while a command waits for the locks ends it, nothing done,\n"
    "by that signal; one while delete, mend, mark or sort works ends it by that\n"
    "signal once the change is made. deliver: sysexits.h's statuses, as above.\n";

// The usage line, after one that names what was wrong, when it is known.
int bad(const std::string& why = {}) {
    if (!why.empty()) mbxsay("%s\n", why.c_str());
    std::string names;
    for (const mbxcmd& c : commands) (names += names.empty() ? "" : "|") += c.name;
    (void)fprintf(stderr,
                  "Usage: mailbox %s [OPTIONS] METAFILE [N...]\n"
                  "Try 'mailbox --help' for more.\n",
                  names.c_str());
    return MBXUSAGE;
}

// The option called name that row's command takes, or null.
const mbxopt* optionnamed(const mbxcmd* row, std::string_view name) {
    for (const std::span<const mbxopt> opts : {std::span<const mbxopt>(everyopts), row->opts})
        for (const mbxopt& o : opts)
            if (name == o.name) return &o;
    return nullptr;
}

// One option, with its value for those that take one. 0 or MBXUSAGE.
int option(mbxargs* a, int argc, char** argv, int* i) {
    const std::string_view arg(argv[*i]);
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (name == "-n") {  // list and check change nothing anyway
        if (eq != std::string_view::npos) return bad("-n takes no value");
        a->dryrun = true;
        return 0;
    }
    const std::string shown = mbxq(std::string(name).c_str());
    const mbxopt* o = optionnamed(a->row, name);
    if (!o) return bad(a->cmd + " takes no option " + shown);
    if (o->flag) {
        if (eq != std::string_view::npos) return bad(shown + " takes no value");
        a->*o->flag = true;
        return 0;
    }
    const char* value = eq != std::string_view::npos ? argv[*i] + eq + 1
                        : *i + 1 < argc              ? argv[++*i]
                                                     : nullptr;
    if (!value) return bad(shown + " needs a value");
    if (o->check)
        if (const int rc = o->check(name, value)) return rc;
    if (o->many)
        (a->*o->many).emplace_back(value);
    else
        a->*o->value = value;
    return 0;
}

// Options may stand anywhere after the command; "--" ends them. The first
// operand is METAFILE; only a numbered command takes more. 0 to go on, or
// the status.
int parse(int argc, char** argv, mbxargs* a) {
    if (argc == 2 && std::string_view(argv[1]) == "--help")
        return fputs(help, stdout) < 0 || fflush(stdout) != 0 ? MBXOUT : -1;
    if (argc == 2 && std::string_view(argv[1]) == "--version")
        return printf("mailbox %s\n", MAILBOX_VERSION) < 0 || fflush(stdout) != 0 ? MBXOUT : -1;
    if (argc < 3) return bad();
    a->cmd = argv[1];
    a->row = commandnamed(a->cmd);
    if (!a->row) return bad(mbxq(argv[1]) + " is not a command");
    bool opts = true;
    for (int i = 2; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (opts && arg == "--") {
            opts = false;
        } else if (opts && arg.size() > 1 && arg[0] == '-') {
            if (int rc = option(a, argc, argv, &i)) return rc;
        } else if (!a->meta) {
            a->meta = argv[i];
        } else if (a->row->numbered || a->row->more == mbxcmd::numbers) {
            a->nums.emplace_back(arg);
        } else if (a->row->more == mbxcmd::sources) {
            a->sources.emplace_back(arg);
        } else {
            return bad(a->cmd + " takes one METAFILE; " + mbxq(argv[i]) + " is one too many");
        }
    }
    if (!a->meta || (a->row->more == mbxcmd::sources && a->sources.empty())) return bad();
    // The numbers most often come from a pick, which gives none when it
    // finds none: said as that, not as a usage line.
    if (a->row->numbered && a->nums.empty() && a->files.empty()) {
        mbxsay("%s: no record number given (a pick that finds nothing gives none); nothing "
               "done\n",
               a->cmd.c_str());
        return MBXUSAGE;
    }
    // An export goes to one place, and somewhere.
    if (a->row->run == mbxexport && (a->mboxto != nullptr) == (a->maildirto != nullptr))
        return bad("export takes one of --mbox FILE and --maildir DIR");
    return 0;
}

// The working directory's lock and, when the index is elsewhere, its
// directory's too, as msgseq takes them; shared for a command that changes
// nothing, so that such commands run side by side. Both or neither: 0, or
// -1 with errno and *dir the directory that could not be locked.
int tryboth(const char* meta, bool shared, int* here, int* there, std::string* dir) {
    dir->assign(1, '.');  // GCC 12 at -O3 misreads a literal assigned here
    *here = durlock(".", shared);
    if (*here >= 0) {
        char buf[PATH_MAX];
        struct stat a, b;
        *dir = durparent(realpath(meta, buf) ? buf : meta);
        // A directory that is not there: loading the index says so.
        if (stat(dir->c_str(), &a) != 0 ||
            (stat(".", &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino))
            return 0;
        if ((*there = durlock(*dir, shared)) >= 0) return 0;
    }
    const int err = errno;
    durunlock(*here);
    *here = -1;
    errno = err;
    return -1;
}

// The locks (tryboth), tried again until the wait w ends while another
// process holds one: none is kept while waiting for the other, so that two
// commands that take them in turn never hold each other up. 0, or the
// status, said; a stop signal in the wait leaves clistopsig set.
// done says what has been done when they can't be had.
int lockboth(const char* meta, bool shared, const cliwait& w, int* here, int* there,
             const char* done = "nothing done") {
    std::string dir;
    while (tryboth(meta, shared, here, there, &dir) != 0) {
        if (errno != EWOULDBLOCK) {
            const int err = errno;
            mbxsay("cannot lock %s: %s; %s\n",
                   dir == "." ? "the working directory" : mbxq(dir.c_str()).c_str(),
                   strerror(err), done);
            errno = err;
            return MBXBUSY;
        }
        if (clinexttry(w)) continue;
        if (clistopsig()) return MBXBUSY;
        mbxsay(
            "another process (a msgseq or mailbox run, or flock(1)) holds the lock on %s; "
            "%s\n",
            dir == "." ? "this directory" : mbxq(dir.c_str()).c_str(), done);
        errno = EWOULDBLOCK;
        return MBXBUSY;
    }
    return 0;
}

// An index that a finished plain msgseq run left listing the names it has
// since changed: delete and mend, which act on the records' files, refuse
// it; list and check say so and go on (*stale set). 0, or the status.
int stalefrom(const mbxargs& a, bool* stale) {
    rcpt last;
    if (rcptlast(a.meta, &last, "mailbox", stderr) == rcptfit::none) return 0;
    const bool acts = a.row->stale == mbxstale::refuse;
    mbxsaystale(a.meta, acts);
    *stale = true;
    return acts ? MBXFAIL : 0;
}

// What stands in the way of every command: a delete cut short is finished
// (or, with -n, said), an update by msgseq -u cut short refuses all but
// check, and so does an index a plain msgseq run left behind (stalefrom).
// 0 to go on, or the status.
// The msgseq command that finishes a run cut short.
const char* runof(renumcut cut) {
    return cut == renumcut::plain ? "msgseq" : cut == renumcut::undo ? "msgseq --undo" : "msgseq -u";
}

// A refusal's status: a delivery's says what err says (mbxdeliverstatus);
// every other command's is MBXFAIL.
int refusal(const mbxargs& a, int err) {
    return a.row->run == mbxdeliver ? mbxdeliverstatus(err) : MBXFAIL;
}

// said says what has been done when it refuses (an import between two
// batches has its messages so far in).
int before(const mbxargs& a, bool* stale, const char* said = "nothing done") {
    // An append cut short first: its record may be half written.
    if (a.dryrun && apunfinished(a.meta)) {
        mbxsay("an append to %s was cut short; a run without -n finishes it\n",
               mbxq(a.meta).c_str());
    } else if (!apfinish(a.meta, stderr, nullptr) && !a.row->survey) {
        return refusal(a, errno);
    }
    if (a.dryrun && rmunfinished(a.meta)) {
        mbxsay("a delete from %s was cut short; a run without -n finishes it\n",
               mbxq(a.meta).c_str());
    } else if (bool done = false;
               rmfinish(a.meta, stderr, &done) == RMFAIL && !a.row->survey) {
        return refusal(a, errno);  // check goes on, and counts it as unfinished
    } else if (done && a.row->numbered) {
        // Numbers given while that delete was unfinished were read before it.
        mbxsay("the record numbers given may name other records now: see 'mailbox list %s', "
               "then give them again; nothing else done\n",
               quoteshown(a.meta).c_str());
        return MBXFAIL;
    }
    // What a write cut short left aside is of no use to anyone; check
    // leaves it, as it changes nothing.
    char buf[PATH_MAX];
    if (!a.dryrun && !a.row->survey && realpath(a.meta, buf)) {
        for (const char* ext : {".mailbox-new", ".mailbox-delete.new"})
            (void)unlink(durbeside(buf, ext).c_str());
        mbxoldleft(buf);
    }
    const renumcut cut = renumcutshort(a.meta);
    if (!a.row->survey && cut != renumcut::none) {
        const std::string shown = quoteshown(a.meta);
        mbxsay("%s of %s by '%s' was cut short; run '%s %s' to finish it, or 'msgseq --abort %s' "
               "to give it up; %s\n",
               cut == renumcut::plain  ? "a run"
               : cut == renumcut::undo ? "an undo"
                                       : "an update",
               mbxq(a.meta).c_str(), runof(cut), runof(cut), shown.c_str(), shown.c_str(),
               a.row->midrun ? "the index as it stands follows" : said);
        if (!a.row->midrun) return refusal(a, ENOTRECOVERABLE);
        // Files are on their way to other names: a date read from one now
        // may be another record's.
        *stale = true;
    }
    // While a run's journal is there, it says where the files are.
    if (cut == renumcut::none && a.row->stale != mbxstale::ignore) return stalefrom(a, stale);
    return 0;
}

// Root in another user's mailbox acts as that user, before the locks or
// anything else there is opened; then the metafile must be a regular file
// (rebuild: or none), refused at once rather than blocked on while the
// locks are held. 0 to go on, or the status, said.
int trusted(const mbxargs& a) {
    if (std::string why; !trustbecome(a.meta, &why)) {
        mbxsay("%s: %s; nothing done\n", quoteshown(a.meta).c_str(), why.c_str());
        return refusal(a, EPERM);
    }
    // None at all is rebuild's to make, and every other command's to say.
    if (trustmeta(a.meta) || errno == ENOENT) return 0;
    const int err = errno;
    if (err == EINVAL)
        mbxsay("%s is not a regular file; nothing done\n", mbxq(a.meta).c_str());
    else
        mbxsay("cannot read %s: %s; nothing done\n", mbxq(a.meta).c_str(), strerror(err));
    return refusal(a, err);
}

// The locks, waited for as the command line or the command's row says. A
// list changes nothing and shares them, but for finishing a delete cut
// short, which takes the writers' own; check may always finish one. 0, or
// the status, said: a stop signal in the wait ends the process by it.
int lockfor(const mbxargs& a, int* here, int* there) {
    int seconds = a.row->wait;
    if (a.wait) (void)cliwaitvalue(a.wait, &seconds);
    const cliwait w = clistartwait(seconds);
    if (seconds > 0) clicatch();
    const bool shared = a.row->shared;
    int rc = lockboth(a.meta, shared, w, here, there);
    if (rc == 0 && shared && (rmunfinished(a.meta) || apunfinished(a.meta))) {
        durunlock(*there);
        durunlock(*here);
        *here = *there = -1;
        rc = lockboth(a.meta, false, w, here, there);
    }
    if (seconds > 0) cliuncatch();
    // One that came as the wait ended stops the command all the same.
    if (const int sig = clistopsig()) {
        durunlock(*there);
        durunlock(*here);
        *here = *there = -1;
        mbxsay("interrupted by %s while waiting for the lock; nothing done\n", clisigname(sig));
        return cliraise(sig);
    }
    return rc;
}

// An import's pause between two batches: the locks given up for longer
// than a waiting command sleeps between its tries, taken again (waited for
// a minute, or as --wait says), and what stands in every command's way
// asked again, as another command may have run meanwhile.
// A stop signal in the gap ends it there, the locks not waited for.
int letin(const mbxargs& a, int* here, int* there) {
    clicatch();
    durunlock(*there);
    durunlock(*here);
    *here = *there = -1;
    const timespec gap{0, 60000000L};
    (void)nanosleep(&gap, nullptr);
    int seconds = 60;
    if (a.wait) (void)cliwaitvalue(a.wait, &seconds);
    const cliwait w = clistartwait(seconds);
    int rc = clistopsig() ? MBXBUSY : lockboth(a.meta, false, w, here, there, "the import stops here");
    cliuncatch();
    bool stale = false;
    return rc != 0 ? rc : before(a, &stale, "the import stops here");
}

// A delivery's status as a mail transfer agent reads it: whatever kept
// the message out of the mailbox is worth trying again.
int delivered(int rc) {
    switch (rc) {
    case MBXOK:
    case EX_USAGE:
    case EX_DATAERR:
    case EX_UNAVAILABLE:
    case EX_CANTCREAT:
    case EX_IOERR:
    case EX_TEMPFAIL:
    case EX_NOPERM:
    case EX_CONFIG:
        return rc;
    default:
        return EX_TEMPFAIL;
    }
}

int run(mbxargs& a);

// The message on standard input, whole: 0, or a delivery's status after a
// line. A stream is anyone's to make endless (/dev/zero): past the most any
// file is read whole, it is refused for good, as no later try can pass; one
// that memory can't hold now may pass later.
int readinput(std::string* out) {
    // A file given as standard input says its size: one past the bound is
    // refused before any of it is read (a terabyte of hole costs no disk).
    struct stat st;
    const off_t at = lseek(0, 0, SEEK_CUR);
    const bool huge = fstat(0, &st) == 0 && S_ISREG(st.st_mode) && at >= 0 && st.st_size > at &&
                      static_cast<uintmax_t>(st.st_size - at) > DURREADMAX;
    int err = huge ? EFBIG : 0;
    try {
        char buf[65536];
        for (ssize_t n; !err && (n = read(0, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            if (out->size() + static_cast<size_t>(n) > DURREADMAX) {
                err = EFBIG;
                break;
            }
            // Grown by doubling, but never past the bound itself.
            if (out->capacity() - out->size() < static_cast<size_t>(n))
                out->reserve(std::min(out->capacity() * 2 + sizeof buf, DURREADMAX));
            out->append(buf, static_cast<size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    if (!err) return 0;
    std::string().swap(*out);
    mbxsay("cannot read standard input: %s; nothing kept\n",
           err == EFBIG ? "more than 4 GiB, too large a message" : strerror(err));
    return err == EFBIG ? EX_DATAERR : err == ENOMEM ? EX_TEMPFAIL : EX_IOERR;
}

}  // namespace

int main(int argc, char** argv) {
    mbxargs a;
    if (int rc = parse(argc, argv, &a)) return rc < 0 ? MBXOK : rc;
    if (a.row->run != mbxdeliver) return run(a);
    // The message is read before the locks: a slow sender keeps no one out.
    if (const int rc = readinput(&a.input)) return rc;
    return delivered(run(a));
}

namespace {

int run(mbxargs& a) {
    if (int rc = trusted(a)) return rc;
    // A reader of the output that goes away must not stop a change half way;
    // a list, which changes nothing, just ends. An export writes files.
    if (!a.row->shared || a.row->run == mbxexport) (void)signal(SIGPIPE, SIG_IGN);
    int here = -1, there = -1;
    errno = EWOULDBLOCK;
    int rc = lockfor(a, &here, &there);
    if (rc == MBXBUSY && a.row->survey) rc = MBXFAIL;
    // A lock that can't be taken for a lasting cause (the directory not
    // readable) is no busy lock to a delivery.
    if (rc == MBXBUSY && a.row->run == mbxdeliver) rc = mbxdeliverstatus(errno);
    bool stale = false;
    if (rc == 0) rc = before(a, &stale);
    a.stale = stale;
    a.letin = [&a, &here, &there] { return letin(a, &here, &there); };
    // A change that takes a moment is finished before a stop signal ends
    // it, so that the line it says is true; a rebuild or an import stops
    // at once or at its own safe point, and a delivery is its agent's.
    const bool finish = a.row->run == mbxdelete || a.row->run == mbxmend ||
                        a.row->run == mbxmark || a.row->run == mbxsort;
    const bool caught = rc == 0 && finish;
    if (caught) clicatch();
    if (rc == 0) rc = a.row->run(a);
    if (caught) cliuncatch();
    // A stale index is one more problem.
    if (rc == MBXOK && stale && a.row->survey) rc = MBXFOUND;
    durunlock(there);
    durunlock(here);
    if (const int sig = caught ? clistopsig() : 0) {
        mbxsay("interrupted by %s; the %s %s\n", clisigname(sig), a.cmd.c_str(),
               rc == MBXOK || rc == MBXFOUND || rc == MBXOUT ? "was finished first"
                                                             : "ended as said above");
        return cliraise(sig);
    }
    return rc;
}

}  // namespace
