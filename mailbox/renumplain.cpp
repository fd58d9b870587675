// A plain run (renumfiles): the files renamed, the index left as it is, and
// a journal kept while the files move, so that a run cut short (a kill, a
// signal, a power cut) and run again ends as one whole run would have.
//
// The journal is the update's (mailbox/renumjournal.cpp), marked "run
// plain": written in the index's work directory "<index>.msgseq-update"
// before the first file moves, or, where the index's directory can't be
// written (a plain run needs no more than the working directory), in the
// working directory's own ".msgseq-update". Where neither can be written the
// run goes on without one, and says that a run cut short could not be
// finished exactly. A rerun, plain or -u, reads it, finds each record's file
// by its inode under the names this run gives it, moves the rest, and removes
// the work directory once the moves are on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

std::string renumsparedir() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? std::string(buf) + "/" + renumworkext : std::string();
}

void renumfindwork(const char* fname, renumwork* w) {
    w->dir = renumworkdir(fname, &w->real);
    w->found = w->dir.empty() ? renumjournal::none : renumreadjournal(w->dir, &w->log);
    w->err = errno;
    if (w->found != renumjournal::none) return;
    const std::string spare = renumsparedir();
    if (spare.empty() || spare == w->dir) return;
    renumlog log;
    const renumjournal there = renumreadjournal(spare, &log);
    if (there == renumjournal::none) return;
    w->err = errno;
    w->found = there;
    w->dir = spare;
    w->log = std::move(log);
}

bool renumunfinished(const char* fname) { return renumcutshort(fname) == renumcut::update; }

renumcut renumcutshort(const char* fname) {
    renumwork w;
    renumfindwork(fname, &w);
    if (w.found == renumjournal::none) return renumcut::none;
    if (w.found != renumjournal::good) return renumcut::unreadable;
    if (w.log.undo) return renumcut::undo;
    return w.log.plain ? renumcut::plain : renumcut::update;
}

namespace {

// What keeps a plain run from starting or going on: a journal it can't read,
// or an update's, which only renumindex finishes. RENUMOK, or RENUMINDEX
// said.
int gate(const char* fname, const renumwork& w, const renumopts* opts) {
    const std::string shown = renumshown(fname);
    if (w.found == renumjournal::bad) {
        renumsay(opts,
                 "cannot read the journal '%s/journal': %s; nothing done; '%s --abort %s' "
                 "gives up the run that wrote it\n",
                 renumshown(w.dir).c_str(), w.err ? trustwhy(w.err) : "not in a form msgseq writes",
                 progof(opts), shown.c_str());
        return RENUMINDEX;
    }
    if (w.found == renumjournal::good && w.log.undo) return renumundocut(fname, opts);
    if (w.found == renumjournal::good && !w.log.plain) {
        renumsay(opts, "an update of '%s' was cut short; finish it with '%s -u' first\n",
                 shown.c_str(), progof(opts));
        return RENUMINDEX;
    }
    return RENUMOK;
}

// A rerun finds each record's file where the run cut short left it.
// RENUMOK; RENUMFILES said when the directory could not be listed; or
// RENUMINDEX said: the journal is not this index's, or this
// directory's.
int resume(renumrun& r, const renumwork& w, const char* fname) {
    const std::string shown = renumshown(fname);
    const char* prog = progof(r.opts);
    uint32_t differs = 0;
    // The directory is known by its inode: a remount may give it another
    // device number.
    const renumresume how = w.log.where.ino == r.here.ino && w.log.recs.size() == r.recs.size()
                                ? renumfindfiles(r, w.log, &differs, w.dir, w.real)
                                : renumresume::other;
    if (how == renumresume::ok) return RENUMOK;
    if (how == renumresume::unlisted) {
        renumsay(r.opts,
                 "cannot list the directory '.' to find the files of the run of '%s' that was "
                 "cut short: %s; nothing done; the journal stays\n",
                 shown.c_str(), strerror(errno ? errno : EIO));
        return RENUMFILES;
    }
    if (how == renumresume::apart)
        renumsay(r.opts,
                 "files in this directory share inode numbers; the run of '%s' that was cut "
                 "short can't be finished safely here; '%s --abort %s' gives it up\n",
                 shown.c_str(), prog, shown.c_str());
    else
        renumsay(r.opts,
                 "'%s' is not the index that the run cut short was working on, or this not "
                 "its directory; nothing done; put that index back, or give the run up with "
                 "'%s --abort %s'\n",
                 shown.c_str(), prog, shown.c_str());
    return RENUMINDEX;
}

// The journal, beside the index or else in the working directory; where
// neither can be written the run goes on without one, and says so.
void begin(renumrun& r, renumwork& w) {
    int err = 0;
    for (const std::string& dir : {w.dir, renumsparedir()}) {
        if (dir.empty()) continue;
        // A work directory with no journal is from a run cut short before
        // its first move, or after its last: nothing to finish.
        if (renumbegin(r, dir, {}) ||
            (errno == EEXIST && renumclearwork(dir) == 0 && renumbegin(r, dir, {}))) {
            w.dir = dir;
            return;
        }
        if (!err) err = errno ? errno : EIO;
        if (renumclearwork(dir) != 0) (void)rmdir(dir.c_str());
    }
    w.dir.clear();
    renumsay(r.opts,
             "cannot write a journal for this run (%s); should it be cut short, running it "
             "again can't finish it exactly\n",
             strerror(err ? err : ENOENT));
}

// The receipt goes where the journal went: beside the index, else in the
// working directory.
std::string receiptpath(const char* fname, const renumwork& w) {
    if (!w.dir.empty() && w.dir == renumsparedir()) return rcptspare();
    std::string beside = rcptbeside(fname);
    if (w.dir.empty() && (beside.empty() || access(durparent(beside).c_str(), W_OK) != 0))
        return rcptspare();
    return beside;
}

// The index summed before the first move, and its status then.
struct summed {
    rcptindex sums;
    struct stat st {};
    bool stated = false;
};

// No write, rename or chmod leaves a file's status-change time as it was,
// and no program can set it back.
bool samestate(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The index's sums for the receipt: as the run found it, but for a body
// that another program rewrote while the files moved (a field edited, in
// place or as a new file), summed as the run leaves it, so that later
// commands still know the index as the one listing the old names. The
// tail stays as found: records added meanwhile were added after the run.
// An index that can't be read again keeps the sums it had.
rcptindex asleft(const char* fname, size_t records, const summed& found, const struct stat* now) {
    if (!found.sums.known || !found.stated || !now || samestate(found.st, *now)) return found.sums;
    const rcptindex later = rcptsumindex(fname, records);
    rcptindex out = found.sums;
    if (later.known) out.body = later.body;
    return out;
}

// The moves on disk, then the receipt, then the journal gone: a run cut
// short before the receipt is on disk is still finished by its journal.
int finish(const renumrun& r, const renumwork& w, int rc, const char* fname, const summed& was,
           bool resumed) {
    if (!dursyncdir(".")) {
        renumsay(r.opts,
                 "cannot sync the directory '.': %s; the renames may not survive a crash%s\n",
                 strerror(errno), w.dir.empty() ? "" : "; the journal stays");
        return RENUMFILES;
    }
    // A run that found none of its files (the wrong directory, most
    // likely) knows nothing of where they are: the receipt of the last run
    // that did stays, so the index it left is still known as stale.
    const bool found = std::any_of(r.state.begin(), r.state.end(), renumhome);
    // A plain run that moved nothing (and finished none cut short) changed
    // nothing a receipt must say: one that can't be written there (a
    // read-only mailbox) is no failure.
    const bool moved = r.update || resumed ||
                       std::any_of(r.state.begin(), r.state.end(),
                                   [](renumst s) { return s == renumst::moved; });
    struct stat index;
    const bool known = stat(fname, &index) == 0;
    const rcptindex before = asleft(fname, r.recs.size(), was, known ? &index : nullptr);
    if (const std::string path = receiptpath(fname, w);
        found && (path.empty() || !rcptkeep(r, path, before, nullptr, {}, known ? &index : nullptr)) &&
        moved) {
        renumsay(r.opts, "the files are renamed, but their receipt '%s' was not written (%s)%s\n",
                 renumshown(path).c_str(), strerror(path.empty() ? ENOENT : errno),
                 w.dir.empty() ? "" : "; the journal stays, and the run again finishes it");
        return RENUMFILES;
    }
    if (w.dir.empty()) return rc;
    return renumdropwork(r.opts, w.dir, true) ? rc : RENUMFILES;
}

}  // namespace

int renumfiles(const char* fname, llnode* itemlist, const renumopts* opts, bool update,
               renumstats* stats) {
    std::vector<llnode*> nodes;
    std::vector<renumrec> recs = renumrecsof(itemlist, &nodes);
    const int rc = renumfiles(fname, &recs, opts, update, stats);
    if (update) renumnamenodes(recs, nodes);
    return rc;
}

int renumfiles(const char* fname, std::vector<renumrec>* recs, const renumopts* opts, bool update,
               renumstats* stats) {
    renumfd lock{-1};
    if (int rc = renumheld(opts, &lock)) return rc;
    renumwork w;
    renumfindwork(fname, &w);
    if (const int rc = gate(fname, w, opts)) return rc;
    const bool resuming = w.found == renumjournal::good;
    renumrun r;
    const renumlent lent{r.recs, *recs};
    if (!renumstart(r, fname, opts, true, resuming))
        return r.recs.empty() ? RENUMOK : RENUMFILES;
    if (resuming)
        if (const int rc = resume(r, w, fname)) return rc;
    r.verified = resuming;
    // The index the last plain run left as it was: nothing to move again,
    // unless what a run left of its work directory is still to go.
    struct stat work;
    // A work directory without a journal is what a run killed at its very
    // end leaves: that run is done, and its receipt holds.
    if (!resuming && w.found == renumjournal::none)
        if (const int rc = rcptagain(r, fname, stats); rc >= 0) {
            if (r.dry || w.dir.empty() || lstat(w.dir.c_str(), &work) != 0) return rc;
            return renumdropwork(opts, w.dir, true) ? rc : RENUMFILES;
        }
    summed was;
    if (!r.dry) {
        was.stated = stat(fname, &was.st) == 0;
        was.sums = rcptsumindex(fname, r.recs.size());
    }
    if (!r.dry && !resuming) {
        // Stopped before the journal, the run changes nothing, unless an
        // earlier one left files set aside: those it still takes on.
        if (r.recs.empty() || (renumstopping(r) && r.away.empty())) {
            if (stats) *stats = renumstats{};
            if (stats) stats->records = stats->left = static_cast<int>(r.recs.size());
            return r.recs.empty() ? RENUMOK : RENUMSTOPPED;
        }
        begin(r, w);
    }
    const int rc = renumpasses(r, stats, update);
    // Stopped, the journal stays for the run that finishes.
    if (r.dry || rc == RENUMSTOPPED) return rc;
    return finish(r, w, rc, fname, was, resuming);
}
