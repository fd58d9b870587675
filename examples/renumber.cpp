// A second program on the mailbox library: it renumbers a mailbox, renaming
// the message files that the index lists to in000.msg, in001.msg, ... in
// index order, and rewrites the index to name them, safely against a kill at
// any point.
//
//   renumber METAFILE
//
// Run it in the directory that holds the message files: the names in the
// index are taken relative to the working directory. METAFILE is rewritten,
// and the files renamed, so try it on a copy:
//
//   cp -r examples/mailbox /tmp/box && cd /tmp/box && renumber inbox.meta
//
// Exit status: 0 when every file has its new name and the index names it,
// 1 for a bad argument, and otherwise the library's own code: 2 (RENUMINDEX)
// when the index could not be loaded or would not be written back as it is
// (nothing changed), 3 (RENUMFILES) when some file was not renamed (the index
// then names each file where it is), 5 (RENUMBUSY) when another run holds the
// directory, 6 (RENUMWRITE) when the files were renamed but the index was not
// replaced: run it again to finish; 4 when all went well but standard output
// could not be written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/renum.h"

namespace {

// Why the index falls short, with its line when there is one.
void complain(const std::string& shown, const metafault& f, const char* what) {
    if (f.line > 0)
        (void)fprintf(stderr, "renumber: %s:%d: %s; %s\n", shown.c_str(), f.line, f.why, what);
    else
        (void)fprintf(stderr, "renumber: %s: %s; %s\n", shown.c_str(), f.why, what);
}

// Works on inlist; the caller made the lists, holds the lock and frees both.
int renumber(const char* metafile) {
    // The index's name as one line of output shows it, control bytes as '?'.
    const std::string shown = renumshown(metafile);
    // A journal beside the index says that an update was killed part way.
    // Nothing special is needed: renumindex finds every file wherever the
    // killed run left it and ends as one whole run would have.
    if (renumunfinished(metafile))
        printf("%s: finishing an update that was cut short\n", shown.c_str());

    // readmeta prints its failures to standard output, with no line end;
    // metachk says in plain words where and why the file stops loading.
    if (readmeta(metafile, inlist) != 1) {
        printf("\n");
        complain(shown, metachk(metafile, false), "nothing renamed");
        return RENUMINDEX;
    }
    // The writer keeps only what a record holds: a field cut to its limit, or
    // text after END, would be lost. Check that the index comes back as it
    // is before anything is renamed.
    const metafault f = metachk(metafile, true);
    if (f.line != 0) {
        complain(shown, f, "nothing renamed");
        return RENUMINDEX;
    }

    // Set by name: the option and count structs may grow.
    renumopts opts{};
    opts.prog = "renumber";  // starts each line on errs
    opts.dryrun = false;
    opts.trace = stdout;  // "renamed 'OLD' -> 'NEW'" for each rename
    opts.errs = stderr;   // one line for each record whose file is not renamed
    renumstats stats{};
    const int rc = renumindex(metafile, inlist, &opts, &stats);

    // The library has said on errs why it stopped, if it did; when it
    // stopped before renaming (RENUMINDEX, RENUMBUSY), nothing changed.
    if (rc != RENUMOK && rc != RENUMFILES && rc != RENUMWRITE) return rc;
    // Records neither moved, missing nor refused already had their new name.
    const int named = stats.records - stats.moved - stats.missing - stats.refused;
    printf("%d records: %d renamed, %d already named, %d missing, %d refused\n", stats.records,
           stats.moved, named, stats.missing, stats.refused);
    // With RENUMFILES too the index is rewritten: it names each file where it is.
    if (rc != RENUMWRITE) printf("wrote %s\n", shown.c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)fputs("usage: renumber METAFILE\n", stderr);
        return 1;
    }
    // One run at a time in a directory: the lock is an flock(2) on the
    // working directory, which msgseq and shell scripts (flock .) share.
    const int lock = renumlock();
    if (lock < 0) {
        if (errno == EWOULDBLOCK)
            (void)fputs("renumber: another run is working in this directory\n", stderr);
        else
            (void)fprintf(stderr, "renumber: cannot lock this directory: %s\n", strerror(errno));
        return RENUMBUSY;
    }
    llinit();
    const int rc = renumber(argv[1]);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    renumunlock(lock);
    // What was printed may still wait in standard output's buffer.
    if (fflush(stdout) != 0 && rc == RENUMOK) return 4;
    return rc;
}
