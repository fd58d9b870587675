// msgseq: renames the message files that a metafile lists, in index order, to
// in000.msg, in001.msg, ... in the working directory and prints how many
// records it loaded. The renaming itself is the library's (mailbox/renum.h);
// this file is the command line, the messages and the exit status.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/renum.h"

#ifndef MSGSEQ_VERSION
#define MSGSEQ_VERSION "unknown"
#endif

namespace {

enum : int { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_LOAD = 2, EXIT_RENAME = 3, EXIT_OUTPUT = 4 };

constexpr char usage[] = "Usage: msgseq matafile\n";
constexpr char help[] =
    "Usage: msgseq [-n] [-v] [-u] [--] METAFILE\n"
    "Renames the message files that METAFILE lists, in index order, to in000.msg,\n"
    "in001.msg, ... in the working directory, and prints how many records it read.\n"
    "\n"
    "  -n         change nothing: report what a run would do, and end as it would\n"
    "  -v         print each rename made, as: renamed 'OLD' -> 'NEW'\n"
    "  -u         also rewrite METAFILE so that each record names its file's new name\n"
    "             (safe against a crash: run it again to finish an interrupted run)\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 done; 1 usage; 2 METAFILE not read whole, or not rewritable as\n"
    "it is, or an interrupted -u run to finish; 3 some file not renamed; 4 the\n"
    "count not written; 5 another msgseq run is working in this directory; 6 the\n"
    "files renamed but METAFILE not rewritten (run msgseq -u again); 128+N\n"
    "stopped by signal N (SIGINT, SIGTERM, SIGHUP) where nothing is left half done,\n"
    "and ended by that signal (with -u, run msgseq -u again to finish).\n";

struct args {
    const char* meta = nullptr;
    bool dryrun = false;
    bool verbose = false;
    bool update = false;
};

// A single argument is always the metafile, whatever it looks like, but for
// the two words that ask about the tool itself. With more, options come
// first and "--" ends them. 0 to go on, or the exit status.
int parse(int argc, char** argv, args* a) {
    if (argc == 2) {
        const std::string_view only(argv[1]);
        if (only == "--help") return fputs(help, stdout) < 0 || fflush(stdout) != 0 ? EXIT_OUTPUT : -1;
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
    if (argc - i != 1) {
        (void)fputs(usage, stderr);
        return EXIT_USAGE;
    }
    a->meta = argv[i];
    return 0;
}

// Where and why the metafile falls short, as one line on standard error.
bool explain(const char* meta, bool exact) {
    const metafault f = metachk(meta, exact);
    if (f.line == 0) return false;
    if (f.line < 0)
        (void)fprintf(stderr, "msgseq: %s: %s\n", renumshown(meta).c_str(), f.why);
    else
        (void)fprintf(stderr, "msgseq: %s:%d: %s\n", renumshown(meta).c_str(), f.line, f.why);
    return true;
}

// Loading a large index takes a heap record for every message. The heap is
// grown for all of them at once, in memory the kernel may back with 2 MiB
// pages, and the pages are handed over in one call rather than one fault at
// a time: first-touch page faults, not parsing, are most of a big load's
// cost. Only the pages the records will fill are asked for, so the process
// grows by no more than the records need; the eager part is capped, so that
// an index that stops loading early can't make the process hold much more.
void roomforrecords(const char* meta) {
    const int fd = open(meta, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    size_t lines = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[1 << 14];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) lines += static_cast<size_t>(std::count(buf, buf + n, '\n'));
    }
    close(fd);
    constexpr size_t huge = size_t{2} << 20;
    const size_t chunk = (sizeof(llnode) + 8 + 15) & ~size_t{15};  // the heap's size for one record
    const size_t need = (lines / 7) * chunk;
    constexpr size_t page = 4096;
    constexpr size_t eager = size_t{64} << 20;
    if (need < 64 * page) return;
    const size_t top = mallinfo2().keepcost;
    if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(std::max<size_t>(top + 4096, 1 << 20))) != 1 ||
        mallopt(M_TOP_PAD, static_cast<int>(std::min<size_t>(need, INT_MAX))) != 1)
        return;
    // More than the heap's top holds: the heap grows by this and the pad.
    char* p = static_cast<char*>(malloc(top + 64));
    if (!p) return;
    const auto at = reinterpret_cast<uintptr_t>(p);
    const auto end = reinterpret_cast<uintptr_t>(sbrk(0));
    const uintptr_t lo = (at + huge - 1) & ~(huge - 1);
    const uintptr_t hi = std::min(end, at + need) & ~(huge - 1);
    if (end > at && hi > lo) (void)madvise(p + (lo - at), hi - lo, MADV_HUGEPAGE);
    const uintptr_t from = (at + page - 1) & ~(page - 1);
    const uintptr_t to = std::min({end, at + need, at + eager}) & ~(page - 1);
    if (end > at && to > from) (void)madvise(p + (from - at), to - from, MADV_POPULATE_WRITE);
    free(p);
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

// How far a stopped run got, as one line, or that the signal came too late
// to stop anything; then the process ends by the signal itself, so that a
// shell or script that started it sees it stopped by that signal (status
// 128 + its number) and stops too.
int endstopped(int sig, int rc, const renumstats& stats, const args& a) {
    const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (rc != RENUMSTOPPED)
        (void)fprintf(stderr,
                      "msgseq: interrupted by %s after the run had ended; nothing was stopped\n",
                      name);
    else
        (void)fprintf(stderr, "msgseq: interrupted by %s after %d of %d records; %s%s%s\n", name,
                      stats.records - stats.left, stats.records,
                      a.dryrun   ? "nothing was changed"
                      : a.update ? "run 'msgseq -u "
                                 : "nothing is under a temporary name",
                      a.update && !a.dryrun ? renumshown(a.meta).c_str() : "",
                      a.update && !a.dryrun ? "' to finish" : "");
    (void)fflush(stdout);
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    return 128 + sig;
}

}  // namespace

int main(int argc, char** argv) {
    args a;
    if (int rc = parse(argc, argv, &a)) return rc < 0 ? EXIT_OK : rc;

    catchstops();
    const int lock = renumlock();
    if (lock < 0 && errno == EWOULDBLOCK) {
        (void)fputs("msgseq: another msgseq run is working in this directory; nothing done\n",
                    stderr);
        return RENUMBUSY;
    }
    if (!a.update && renumunfinished(a.meta)) {
        (void)fprintf(stderr,
                      "msgseq: an update of '%s' by 'msgseq -u' was cut short; run 'msgseq -u %s' "
                      "to finish it\n",
                      renumshown(a.meta).c_str(), renumshown(a.meta).c_str());
        renumunlock(lock);
        return EXIT_LOAD;
    }

    roomforrecords(a.meta);
    llinit();
    const bool loaded = readmeta(a.meta, inlist) == 1;
    const int count = inlist->count;
    if (!loaded) explain(a.meta, false);
    if (a.verbose && !loaded) putchar('\n');  // the reader's messages end no line of their own

    // The progress line goes where a person watches, and not where -v's
    // lines would run into it.
    const bool watched = isatty(STDERR_FILENO) && !(a.verbose && isatty(STDOUT_FILENO));
    renumopts opts{"msgseq", a.dryrun, a.verbose ? stdout : nullptr, stderr};
    opts.stop = &stopsig;
    opts.progress = watched ? stderr : nullptr;
    opts.progressms = 1000;
    renumstats stats{};
    // With -u, an index that would not come back as it is touches nothing.
    const int rc = !a.update                         ? renumfiles(a.meta, inlist, &opts, false, &stats)
                   : loaded && !explain(a.meta, true) ? renumindex(a.meta, inlist, &opts, &stats)
                                                      : RENUMINDEX;
    if (stats.records > 0 && stats.missing == stats.records) {
        char cwd[PATH_MAX];
        (void)fprintf(stderr,
                      "msgseq: none of the listed files was found; names are taken relative to "
                      "the working directory, %s\n",
                      getcwd(cwd, sizeof cwd) ? renumshown(cwd).c_str() : "(unknown)");
    }
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    renumunlock(lock);
    if (stopsig && rc == RENUMSTOPPED) return endstopped(stopsig, rc, stats, a);

    printf("%d", count);
    const bool printed = fflush(stdout) == 0 && !ferror(stdout);
    if (!printed)
        (void)fprintf(stderr, "msgseq: error writing standard output: %s\n", strerror(errno));
    if (stopsig) return endstopped(stopsig, rc, stats, a);
    // The lowest status that applies, but for an update left unfinished,
    // which asks to be run again, or one that another run kept out.
    if (rc == RENUMWRITE || rc == RENUMBUSY) return rc;
    if (!loaded || rc == RENUMINDEX) return EXIT_LOAD;
    if (rc == RENUMFILES) return EXIT_RENAME;
    if (!printed) return EXIT_OUTPUT;
    return EXIT_OK;
}
