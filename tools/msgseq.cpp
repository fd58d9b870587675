// msgseq: renames the message files that a metafile lists, in index order, to
// in000.msg, in001.msg, ... in the working directory and prints how many
// records it loaded. The renaming itself is the library's (mailbox/renum.h);
// this file is the command line, the messages and the exit status.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/append.h"
#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"

#ifndef MSGSEQ_VERSION
#define MSGSEQ_VERSION "unknown"
#endif

namespace {

enum : int { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_LOAD = 2, EXIT_RENAME = 3, EXIT_OUTPUT = 4 };

constexpr char usage[] = "Usage: msgseq matafile\n";
constexpr char help[] =
    "Usage: msgseq [-n] [-v] [-u] [--] METAFILE\n"
    "       msgseq --abort [-n] [-v] [--] METAFILE\n"
    "       msgseq --undo [-n] [-v] [--] METAFILE\n"
    "Renames the message files that METAFILE lists, in index order, to in000.msg,\n"
    "in001.msg, ... in the working directory, and prints how many records it read.\n"
    "\n"
    "  -n         change nothing: print the renames a run would make, report what it\n"
    "             would refuse, and end as it would\n"
    "  -v         print each rename made, as: renamed 'OLD' -> 'NEW'\n"
    "  -u         also rewrite METAFILE so that each record names its file's new name\n"
    "             (every run is journaled: run it again to finish an interrupted run;\n"
    "             on an index a plain run left, it names the files from its receipt)\n"
    "  --abort    give up a run of METAFILE that was cut short (plain or -u): put\n"
    "             each file back under the name METAFILE lists, leave METAFILE as it\n"
    "             is, and remove the journal; of an undo cut short, put each file\n"
    "             back where the undone run left it; with -n, only show what it\n"
    "             would do\n"
    "  --undo     put the last finished run of METAFILE back, from the receipt it\n"
    "             left: each file it renamed under the name METAFILE listed before,\n"
    "             and after -u the index as it was (records added since kept after\n"
    "             its own); refused, nothing changed, when anything it did changed\n"
    "             since; done, it says how many files went back; with -n, only\n"
    "             show what it would do\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "With -n or -v, when any record is not renamed, and after a stop, a line on\n"
    "standard error counts the records: renamed, already in place, missing,\n"
    "refused (and not reached, after a stop), of how many.\n"
    "\n"
    "Exit status: 0 done, and on disk; 1 usage; 2 METAFILE not read whole, or an\n"
    "interrupted -u run to finish first, or -u refused with nothing changed (the\n"
    "index not rewritable as it is or where it is, or not the one an interrupted\n"
    "update was working on); 3 some file not renamed, or the renames not synced;\n"
    "4 standard output not written (the renames made all the same); 5 another\n"
    "process (a msgseq run, or flock(1)) holds the lock on this directory (with -u,\n"
    "or on the index's), or it can't be locked at all: nothing done; 6 the files\n"
    "renamed but the update not finished (METAFILE not rewritten, or its journal\n"
    "not removed, or not synced): run msgseq -u again, or msgseq --abort; 128+N\n"
    "stopped by signal N (SIGINT, SIGTERM, SIGHUP) where nothing is left half\n"
    "done, and ended by that signal: run the same command again to finish, or\n"
    "msgseq --abort to give up. --abort: 0 given up, or nothing to give up; 3 a\n"
    "file could not go back; 2 a journal it can't read. --undo: 0 undone, or\n"
    "nothing to undo; 2 refused, nothing changed; 3 a file could not go back, or\n"
    "a sync failed; 6 the files back, the index not (run it again to finish).\n";

struct args {
    const char* meta = nullptr;
    bool dryrun = false;
    bool verbose = false;
    bool update = false;
    bool abort = false;
    bool undo = false;
};

// A single argument is always the metafile, whatever it looks like, but for
// the two words that ask about the tool itself. With more, options come
// first and "--" ends them. 0 to go on, or the exit status.
int parse(int argc, char** argv, args* a) {
    if (argc == 2) {
        const std::string_view only(argv[1]);
        if (only == "--help")
            return fputs(help, stdout) < 0 || fflush(stdout) != 0 ? EXIT_OUTPUT : -1;
        if (only == "--version")
            return printf("msgseq %s\n", MSGSEQ_VERSION) < 0 || fflush(stdout) != 0 ? EXIT_OUTPUT
                                                                                    : -1;
        a->meta = argv[1];
        return 0;
    }
    int i = 1;
    for (; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (arg == "--") {
            i++;
            break;
        }
        if (arg == "--abort") {
            a->abort = true;
            continue;
        }
        if (arg == "--undo") {
            a->undo = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-') break;
        for (char c : arg.substr(1)) {
            if (c == 'n') {
                a->dryrun = true;
            } else if (c == 'v') {
                a->verbose = true;
            } else if (c == 'u') {
                a->update = true;
            } else {
                (void)fputs(usage, stderr);
                return EXIT_USAGE;
            }
        }
    }
    if (argc - i != 1 || (a->abort && a->update) || (a->undo && (a->abort || a->update))) {
        (void)fputs(usage, stderr);
        return EXIT_USAGE;
    }
    a->meta = argv[i];
    return 0;
}

// How many lines of the metafile -u names before it only counts the rest.
constexpr int SHOWN = 10;

// Where and why the metafile falls short, on standard error: the line where
// loading stopped, or with exact every line that writing it back would not
// reproduce, up to SHOWN of them. path is what is read, meta what the user
// named. *crlf is set when the cause is a carriage return.
bool explain(const char* path, const char* meta, bool exact, bool* crlf) {
    metafault f[SHOWN];
    const int n = metachkall(path, exact, f, exact ? SHOWN : 1);
    const std::string shown = renumshown(meta);
    for (int k = 0; k < std::min(n, exact ? SHOWN : 1); k++) {
        if (f[k].line < 0)
            (void)fprintf(stderr, "msgseq: %s: %s\n", shown.c_str(), f[k].why);
        else
            (void)fprintf(stderr, "msgseq: %s:%d: %s\n", shown.c_str(), f[k].line, f[k].why);
        if (strcmp(f[k].why, METACRLF) == 0) *crlf = true;
    }
    if (exact && n > SHOWN)
        (void)fprintf(stderr, "msgseq: %s: and %d more such lines\n", shown.c_str(), n - SHOWN);
    return n > 0;
}

// A metafile that is not a regular file (a FIFO, a pipe, a device) may give
// its bytes only once, or never end: it is read here once, into a memory
// file that the reader and the checker then each open afresh. The bound
// ends a source that never stops.
constexpr size_t ONCEMAX = size_t{256} << 20;

struct source {
    std::string path;  // what the reader and the checker open
    int fd = -1;       // the memory file, when there is one
    source() = default;
    source(const source&) = delete;
    source& operator=(const source&) = delete;
    ~source() {
        if (fd >= 0) close(fd);
    }
};

// false when the metafile was not read whole, said so on standard error.
bool readonce(const char* meta, source* src) {
    src->path = meta;
    struct stat st;
    if (stat(meta, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return true;
    const int in = open(meta, O_RDONLY | O_CLOEXEC);
    if (in < 0) return true;  // the reader says why
    src->fd = memfd_create("msgseq-index", MFD_CLOEXEC);
    if (src->fd < 0) {
        const int err = errno;
        close(in);
        (void)fprintf(stderr, "msgseq: %s: cannot keep a copy of it: %s; nothing done\n",
                      renumshown(meta).c_str(), strerror(err));
        return false;
    }
    static char buf[1 << 16];
    size_t total = 0;
    int err = 0;
    for (;;) {
        const ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : 0;
            break;
        }
        total += static_cast<size_t>(n);
        if (total > ONCEMAX) break;
        for (ssize_t at = 0; at < n;) {
            const ssize_t w = write(src->fd, buf + at, static_cast<size_t>(n - at));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                err = w < 0 ? errno : EIO;
                break;
            }
            at += w;
        }
        if (err) break;
    }
    close(in);
    if (total > ONCEMAX)
        (void)fprintf(stderr,
                      "msgseq: %s: not a regular file, and longer than 256 MiB: no index; "
                      "nothing done\n",
                      renumshown(meta).c_str());
    else if (err)
        (void)fprintf(stderr, "msgseq: %s: %s; nothing done\n", renumshown(meta).c_str(),
                      strerror(err));
    if (total > ONCEMAX || err) return false;
    src->path = "/proc/self/fd/" + std::to_string(src->fd);
    return true;
}

// Loads the index with read (readmeta or renumload of a path: 1 when whole).
// The reader names the file it reads in its messages: a memory file's name
// is put back to the one the user gave.
template <typename F>
bool load(const source& src, const char* meta, F read) {
    if (src.fd < 0) return read(meta) == 1;
    (void)fflush(stdout);
    const int held = memfd_create("msgseq-messages", MFD_CLOEXEC);
    const int out = held >= 0 ? dup(1) : -1;
    if (out < 0 || dup2(held, 1) < 0) {
        if (held >= 0) close(held);
        if (out >= 0) close(out);
        return read(src.path.c_str()) == 1;
    }
    const bool whole = read(src.path.c_str()) == 1;
    (void)fflush(stdout);
    (void)dup2(out, 1);
    close(out);
    std::string said;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(held, buf, sizeof buf, at)) > 0; at += n)
        said.append(buf, static_cast<size_t>(n));
    close(held);
    for (size_t at = 0; (at = said.find(src.path, at)) != std::string::npos; at += strlen(meta))
        said.replace(at, src.path.size(), meta);
    (void)fwrite(said.data(), 1, said.size(), stdout);
    return whole;
}

// Some loaded record names a file that ends in a carriage return.
bool crnames(const std::vector<renumrec>& recs) {
    return std::any_of(recs.begin(), recs.end(), [](const renumrec& rec) {
        const size_t len = strnlen(rec.datafile, sizeof rec.datafile);
        return len > 0 && rec.datafile[len - 1] == '\r';
    });
}

// The last word on the records: how many renamed, in place, missing, refused
// and not reached. A plain run that renamed every one stays quiet.
void tally(const renumstats& st, const args& a) {
    if (st.records <= 0) return;
    if (!a.dryrun && !a.verbose && st.missing + st.refused + st.left == 0) return;
    (void)fprintf(stderr, "msgseq: %s\n", renumtotals(st, a.dryrun).c_str());
}

volatile sig_atomic_t stopsig = 0;

extern "C" void onstop(int sig) {
    if (!stopsig) stopsig = sig;
}

// Ctrl-C, SIGTERM and SIGHUP ask the run to stop at its next safe point
// rather than wherever they land; a second one changes nothing. A signal
// that the tool was started ignoring (nohup, a background job) stays ignored.
void catchstops() {
    struct sigaction sa {};
    sa.sa_handler = onstop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;  // reads and writes under way go on
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was {};
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            (void)sigaction(sig, &sa, nullptr);
    }
}

// What a stopped run leaves to do (its totals are said just before), or that
// the signal came too late to stop anything; then the process ends by the signal itself, so that a
// shell or script that started it sees it stopped by that signal (status
// 128 + its number) and stops too.
int endstopped(int sig, int rc, const args& a) {
    const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (rc != RENUMSTOPPED)
        (void)fprintf(stderr,
                      "msgseq: interrupted by %s after the run had ended; nothing was stopped\n",
                      name);
    else if (a.dryrun)
        (void)fprintf(stderr, "msgseq: interrupted by %s; nothing was changed\n", name);
    else
        (void)fprintf(stderr,
                      "msgseq: interrupted by %s; run 'msgseq %s%s' to finish, or 'msgseq "
                      "--abort %s' to give it up\n",
                      name, a.undo ? "--undo " : a.update ? "-u " : "", renumshown(a.meta).c_str(),
                      renumshown(a.meta).c_str());
    (void)fflush(stdout);
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    return 128 + sig;
}

// Takes the working directory's lock and checks that no update of the index
// waits to be finished: 0 with *lock held, or the exit status.
int lockdir(const args& a, int* lock) {
    *lock = renumlock();
    if (*lock < 0 && errno == EWOULDBLOCK) {
        (void)fputs(
            "msgseq: another process (a msgseq run, or flock(1)) holds the lock on this "
            "directory; nothing done\n",
            stderr);
        return RENUMBUSY;
    }
    // NFS without its lock manager, say: no run goes on unlocked.
    if (*lock < 0) {
        (void)fprintf(stderr, "msgseq: cannot lock the working directory: %s; nothing done\n",
                      strerror(errno));
        return RENUMBUSY;
    }
    if (a.abort) return 0;  // giving up needs nothing finished first
    if (!a.update && renumunfinished(a.meta)) {
        (void)fprintf(stderr,
                      "msgseq: an update of '%s' by 'msgseq -u' was cut short; run 'msgseq -u %s' "
                      "to finish it, or 'msgseq --abort %s' to give it up\n",
                      renumshown(a.meta).c_str(), renumshown(a.meta).c_str(),
                      renumshown(a.meta).c_str());
        renumunlock(*lock);
        return EXIT_LOAD;
    }
    if (apunfinished(a.meta)) {
        (void)fprintf(stderr,
                      "msgseq: an append to '%s' by 'mailbox deliver' or 'mailbox import' was cut "
                      "short; run 'mailbox check %s' to finish it\n",
                      renumshown(a.meta).c_str(), renumshown(a.meta).c_str());
        renumunlock(*lock);
        return EXIT_LOAD;
    }
    if (rmunfinished(a.meta)) {
        (void)fprintf(stderr,
                      "msgseq: a delete from '%s' by 'mailbox delete' was cut short; run "
                      "'mailbox check %s' to finish it\n",
                      renumshown(a.meta).c_str(), renumshown(a.meta).c_str());
        renumunlock(*lock);
        return EXIT_LOAD;
    }
    return 0;
}

// What one run found: the records loaded, whether the index was read whole,
// whether a carriage return is to blame, and the library's counts.
struct outcome {
    std::vector<renumrec> recs;  // as loaded, for the whole run
    int count = 0;
    bool loaded = false;
    bool crlf = false;
    renumstats stats{};
};

// With -u, an index that would not come back as it is touches nothing: every
// line that stops it is named, and where to see and mend them all.
bool refusedupdate(const source& src, const args& a, outcome* o) {
    if (!explain(src.path.c_str(), a.meta, true, &o->crlf)) return false;
    const std::string shown = renumshown(a.meta);
    (void)fprintf(stderr,
                  "msgseq: nothing done; 'mailbox check %s' lists what stops the update, and "
                  "'mailbox mend %s' mends it\n",
                  shown.c_str(), shown.c_str());
    return true;
}

// Reads the index and renames its records' files: the library's status.
int renumber(const args& a, outcome* o) {
    source src;
    const bool readable = readonce(a.meta, &src);
    // Only what renumbering needs of each record is kept: its name, its
    // read flag and the sum of its other fields.
    o->loaded = readable && load(src, a.meta, [o](const char* path) {
        return renumload(path, &o->recs);
    });
    // Caught only from here on: until the metafile is read nothing has
    // changed, and a metafile that blocks (a FIFO with no writer, a
    // terminal) must still yield to Ctrl-C, which a restarted read would not.
    catchstops();
    o->count = static_cast<int>(std::min<size_t>(o->recs.size(), INT_MAX));
    if (readable && !o->loaded && !a.update) explain(src.path.c_str(), a.meta, false, &o->crlf);
    // A dry run shows the renames it would make; -v shows those made.
    FILE* const trace = a.verbose || a.dryrun ? stdout : nullptr;
    if (trace && readable && !o->loaded)
        putchar('\n');  // the reader's messages end no line of their own

    // The progress line goes where a person watches, and not where -v's
    // lines would run into it.
    const bool watched = isatty(STDERR_FILENO) && !(a.verbose && isatty(STDOUT_FILENO));
    renumopts opts{"msgseq", a.dryrun, trace, stderr};
    opts.stop = &stopsig;
    opts.progress = watched ? stderr : nullptr;
    opts.progressms = 1000;
    if (readable && !a.update) return renumfiles(a.meta, &o->recs, &opts, false, &o->stats);
    if (readable && !refusedupdate(src, a, o) && o->loaded) {
        opts.checked = true;  // just now, under the lock
        return renumindex(a.meta, &o->recs, &opts, &o->stats);
    }
    return RENUMINDEX;
}

// Every record's file missing: most likely the wrong directory, or an index
// with CR-LF line ends.
void nonefound(const outcome& o) {
    if (o.stats.records <= 0 || o.stats.missing != o.stats.records) return;
    if (o.crlf || crnames(o.recs)) {
        (void)fputs(
            "msgseq: none of the listed files was found, most likely because the "
            "index has CR-LF line ends: a name read from it ends in a carriage "
            "return\n",
            stderr);
        return;
    }
    char cwd[PATH_MAX];
    (void)fprintf(stderr,
                  "msgseq: none of the listed files was found; names are taken relative "
                  "to the working directory, %s\n",
                  getcwd(cwd, sizeof cwd) ? renumshown(cwd).c_str() : "(unknown)");
}

// The count on standard output; false when it, or a line before it, was
// not written.
bool printcount(int count) {
    printf("%d", count);
    const bool flushed = fflush(stdout) == 0;
    const int err = errno;
    // A write that failed earlier, a rename's line, fails the run as much.
    const bool printed = flushed && !ferror(stdout);
    if (!printed && !flushed)
        (void)fprintf(stderr, "msgseq: error writing standard output: %s\n", strerror(err));
    else if (!printed)
        (void)fputs("msgseq: error writing standard output\n", stderr);
    return printed;
}

// The lowest status that applies, but for an update left unfinished, which
// asks to be run again.
int exitstatus(int rc, bool loaded, bool printed) {
    if (rc == RENUMWRITE) return rc;
    if (!loaded || rc == RENUMINDEX) return EXIT_LOAD;
    if (rc == RENUMFILES) return EXIT_RENAME;
    if (!printed) return EXIT_OUTPUT;
    return EXIT_OK;
}

// msgseq --abort: the run cut short given up, the index read only to learn
// which names it lists; no count is printed.
int giveup(const args& a) {
    source src;
    llinit();
    if (readonce(a.meta, &src))
        (void)load(src, a.meta, [](const char* path) { return readmeta(path, inlist); });
    renumopts opts{"msgseq", a.dryrun, a.dryrun || a.verbose ? stdout : nullptr, stderr};
    const int rc = renumabort(a.meta, inlist, &opts);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    (void)fflush(stdout);
    return rc == RENUMINDEX ? EXIT_LOAD : rc == RENUMFILES ? EXIT_RENAME : rc;
}

// msgseq --undo: the last finished run put back from its receipt; the
// index is read only by the library, and no count of records read is
// printed. Done, it says how many files went back: a quiet undo would look
// the same as one that found nothing to do.
int undo(const args& a) {
    catchstops();
    renumopts opts{"msgseq", a.dryrun, a.dryrun || a.verbose ? stdout : nullptr, stderr};
    opts.stop = &stopsig;
    renumstats st{};
    const int rc = renumundo(a.meta, &opts, &st);
    if (rc != RENUMINDEX && rc != RENUMBUSY) tally(st, a);
    if (rc == RENUMOK && !a.dryrun && st.records > 0)
        (void)fprintf(stderr, "msgseq: the last run of '%s' is undone: %d %s\n",
                      renumshown(a.meta).c_str(), st.moved,
                      st.moved == 1 ? "file back under its old name"
                                    : "files back under their old names");
    const bool printed = fflush(stdout) == 0 && !ferror(stdout);
    if (!printed) (void)fputs("msgseq: error writing standard output\n", stderr);
    if (stopsig) return endstopped(stopsig, rc, a);
    if (rc == RENUMINDEX) return EXIT_LOAD;
    if (rc == RENUMFILES) return EXIT_RENAME;
    if (rc != RENUMOK) return rc;
    return printed ? EXIT_OK : EXIT_OUTPUT;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard output that goes away must not stop the renames
    // half way: a failed write is noted, and the run goes on.
    (void)signal(SIGPIPE, SIG_IGN);
    args a;
    if (int rc = parse(argc, argv, &a)) return rc < 0 ? EXIT_OK : rc;
    // Root in another user's mailbox acts as that user, before anything
    // there is opened: nothing planted can steer it, nothing left is root's.
    if (std::string why; !trustbecome(a.meta, &why)) {
        (void)fprintf(stderr, "msgseq: %s: %s; nothing done\n", renumshown(a.meta).c_str(),
                      why.c_str());
        return EXIT_LOAD;
    }
    // An update or --abort works on the index as a file of its own: a FIFO
    // or a device there is refused before the lock, never waited on with it.
    if ((a.update || a.abort || a.undo) && !trustmeta(a.meta) && errno == EINVAL) {
        (void)fprintf(stderr, "msgseq: %s is not a regular file; nothing done\n",
                      ("'" + renumshown(a.meta) + "'").c_str());
        return EXIT_LOAD;
    }
    int lock = -1;
    if (int rc = lockdir(a, &lock)) return rc;
    if (a.abort || a.undo) {
        const int rc = a.abort ? giveup(a) : undo(a);
        renumunlock(lock);
        return rc;
    }

    outcome o;
    const int rc = renumber(a, &o);
    nonefound(o);
    tally(o.stats, a);
    renumunlock(lock);
    if (stopsig && rc == RENUMSTOPPED) return endstopped(stopsig, rc, a);
    // Kept out by another run's lock, or a directory that can't be locked:
    // nothing was done, and no count is printed.
    if (rc == RENUMBUSY) return rc;
    const bool printed = printcount(o.count);
    if (stopsig) return endstopped(stopsig, rc, a);
    return exitstatus(rc, o.loaded, printed);
}
