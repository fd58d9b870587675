// Updating the index (renumindex, mailbox/renum.h): the renames of a run,
// then the index rewritten to name them, made safe against a kill or a
// power cut by a journal in the work directory "<index>.msgseq-update".
//
// The states an update passes through on disk, in order; renumindex reads
// which one it is in from the work directory and the journal in it, and
// takes each step below in turn from there:
//
//  1. Nothing: no work directory. A run starts afresh (startafresh);
//     mkdir makes state 2.
//  2. Work directory made, no journal in it (perhaps "journal.new" or
//     "index", half written). A rerun clears it (renumclearwork: only those
//     names; anything else there stops it) and starts afresh.
//     writejournal writes the journal, syncs it, the work directory and the
//     directory holding that: state 3, before the first file moves.
//  3. Journal on disk, some files moved. A rerun reads the journal
//     (renumreadjournal), checks that the index is the one it was written
//     for (its records' names; records added after them and other fields
//     changed are the index's own) and finds each record's file by its
//     inode under the names this update gives it (takeupjournal), then
//     moves the rest (moveall). When every file is where it ends, the
//     mailbox directory is synced: state 4. A plain run's journal (marked
//     so; mailbox/renumplain.cpp) is taken up the same way, and the update
//     goes on from here.
//  4. Renames on disk. A rerun does as from 3 and finds nothing to move.
//     replaceindex reads the index as it is then, writes it again in the
//     work directory with the new names in the records this update worked
//     on, each found by its name and fields wherever it stands
//     (mailbox/renummerge.cpp), syncs it, takes a last look at the index
//     under the locks, links the new one as "placed-INODE" and syncs the
//     work directory, swaps it with the index and syncs the index's
//     directory: state 5. What came out of the index's place is the index
//     read, as read, or another program's (saved over it since, or written
//     to): that goes back, and another round merges it. An index whose
//     records were removed or changed meanwhile is left as it is, in
//     state 4.
//  5. Index replaced, journal still there. A rerun does as from 3: the
//     "placed-" link tells that the index is the update's, every record
//     lists the name its file now has, which the check accepts, and the
//     same index is written again. keepreceipt writes the receipt beside
//     the index and syncs it (mailbox/receipt.h); clearwork then removes the
//     journal: state 6.
//  6. Journal removed, work directory still there. A rerun is as from 2:
//     it starts afresh, finds every file in place, and writes the same
//     index. clearwork removes the directory; its parent is synced.
//  7. Done.
//
// A power cut keeps what was synced before it: the journal before any file
// moves, the moves before the index names them, the index before the
// journal goes. A rerun from what survives is one of the states above.
//
// From states 2 to 5, renumabort (mailbox/renumabort.cpp) gives the update
// up instead: every file back under the name the index lists, the index as
// it is, and then the journal and the work directory removed.
//
// An update lives on renumindex's stack for one call: it holds the locks it
// took until then and points into the caller's list; nothing else outlives
// the call.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "mailbox/metachk.h"
#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

namespace {

// What a step returns to let the next one follow; anything else is the
// run's result.
constexpr int next = -1;

struct update {
    const char* fname;
    const renumopts* opts;
    renumstats* stats;
    std::string real{};  // the file fname leads to
    std::string dir{};   // its work directory
    // The caller's records, lent for the call; those past the journal's are
    // set aside in later while the run works, and given back after them.
    std::vector<renumrec>* caller = nullptr;
    std::vector<renumrec> later{};
    renumfd lock{-1};    // the working directory's, when this run took it
    renumfd uplock{-1};  // the index's directory's, when it is another one
    renumlog log{};
    renumjournal found = renumjournal::none;
    renumrun r{};
    std::vector<uint32_t> same{};  // for each record, the record whose file it is too
    bool named = true;             // every record can name its file
    // Each record's name as this run loaded it: the commit finds the records
    // again by them in the index as it is then.
    std::vector<std::string> was{};

    ~update() {
        r.recs.insert(r.recs.end(), later.begin(), later.end());
        if (caller) caller->swap(r.recs);
    }
};

std::string shown(const update& u) { return renumshown(u.fname); }

int unwritten(const update& u) {
    renumsay(u.opts,
             "'%s' is not rewritten; the journal stays: run '%s -u %s' again to finish "
             "the update, or '%s --abort %s' to give it up\n",
             shown(u).c_str(), progof(u.opts), shown(u).c_str(), progof(u.opts),
             shown(u).c_str());
    return RENUMWRITE;
}

// What stops an update before anything is touched, said the same by a dry
// run and a real one: a line to errs and RENUMINDEX, or RENUMOK to go on.
int precheck(const char* fname, const std::string& real, const std::string& dir,
             const renumopts* opts) {
    struct stat st;
    if (dir.empty() || stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        renumsay(opts, "'%s' is not a metafile that can be rewritten\n", renumshown(fname).c_str());
        return RENUMINDEX;
    }
    if (dir.size() - dir.rfind('/') - 1 > NAME_MAX || dir.size() >= PATH_MAX) {
        renumsay(opts,
                 "cannot update '%s': the name of its work directory would be too long (%s)\n",
                 renumshown(fname).c_str(), strerror(ENAMETOOLONG));
        return RENUMINDEX;
    }
    // The index is written back from the list: a line that would not come
    // back as it was would be lost, so such an index is not touched.
    if (const metafault f = opts->checked ? metafault{} : metachk(real.c_str(), true);
        f.line != 0) {
        renumsay(opts, "'%s' would not be written back as it is (line %d: %s); nothing done\n",
                 renumshown(fname).c_str(), f.line, f.why);
        return RENUMINDEX;
    }
    // The new index and the work directory are made beside the index.
    if (access(durparent(real).c_str(), W_OK) != 0) {
        renumsay(opts, "cannot write in '%s', where the index '%s' is (%s); nothing done\n",
                 renumshown(durparent(real)).c_str(), renumshown(fname).c_str(), strerror(errno));
        return RENUMINDEX;
    }
    return RENUMOK;
}

// Before any state: the locks, the index fit to be rewritten, and which
// state the work directory is in (u.found).
int findstate(update& u) {
    if (const int rc = renumheld(u.opts, &u.lock)) return rc;
    u.dir = renumworkdir(u.fname, &u.real);
    if (const int rc = precheck(u.fname, u.real, u.dir, u.opts)) return rc;
    // Names past in999999.msg would not fit a record's name field.
    if (u.r.recs.size() > 1000000) {
        renumsay(u.opts,
                 "'%s' lists more than 1000000 messages, whose new names would not fit "
                 "the index\n",
                 shown(u).c_str());
        return RENUMINDEX;
    }
    if (const int rc = renumlockindexdir(u.real, u.fname, u.opts, &u.uplock)) return rc;
    u.found = renumreadjournal(u.dir, &u.log);
    if (u.found == renumjournal::bad) {
        renumsay(u.opts, "cannot read the journal '%s/journal': %s\n", renumshown(u.dir).c_str(),
                 errno ? trustwhy(errno) : "not in a form msgseq writes");
        return RENUMINDEX;
    }
    if (u.found == renumjournal::good && u.log.undo) return renumundocut(u.fname, u.opts);
    // A plain run that could not write beside the index kept its journal in
    // the working directory: it finishes there, by a plain run.
    if (u.found == renumjournal::none) {
        renumwork w;
        renumfindwork(u.fname, &w);
        if (w.found != renumjournal::none && w.dir != u.dir) {
            renumsay(u.opts,
                     "a run of '%s' was cut short, its journal in '%s'; finish it with '%s %s' "
                     "first, or give it up with '%s --abort %s'\n",
                     shown(u).c_str(), renumshown(w.dir).c_str(), progof(u.opts),
                     shown(u).c_str(), progof(u.opts), shown(u).c_str());
            return RENUMINDEX;
        }
    }
    if (renumworkforeign(u.dir)) {
        renumsay(u.opts, "'%s' holds files that msgseq did not put there; nothing done\n",
                 renumshown(u.dir).c_str());
        return RENUMINDEX;
    }
    return next;
}

// A file a plain run cut short set aside that the update could move neither
// on nor back: the plain run must finish first.
int stranded(const update& u) {
    const renumrun& r = u.r;
    const uint32_t i = renumstranded(r);
    if (i == renumnone) return next;
    const char* prog = progof(u.opts);
    renumsay(u.opts,
             "the file of the record listing '%s' was set aside by a run cut short, and "
             "can take neither its new name '%s', which another record keeps in the "
             "index, nor its own, which another file has; run '%s %s' to finish that "
             "run, then '%s -u %s'; nothing done\n",
             renumshown(renumlisted(r, i)).c_str(), renumtarget(i).s, prog, shown(u).c_str(), prog,
             shown(u).c_str());
    return RENUMINDEX;
}

// A name listed twice: the new index would give the first record's file
// its new name and leave the second naming a file gone, so nothing is done.
int twice(const update& u) {
    const renumrun& r = u.r;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (r.state[i] != renumst::twin) continue;
        const std::string name = shown(u);
        renumsay(u.opts,
                 "'%s' lists '%s' twice (records %u and %u), and an update would leave one "
                 "of them naming a file that is gone; nothing done; 'mailbox check %s' lists "
                 "them, and 'mailbox mend --drop-twice %s' keeps the first record of each\n",
                 name.c_str(), renumshown(renumlisted(r, i)).c_str(),
                 renumfindname(r, renumlisted(r, i)) + 1, i + 1, name.c_str(), name.c_str());
        return RENUMINDEX;
    }
    return next;
}

// States 1, 2 and 6: no journal. The records are taken and the directory
// listed afresh; nothing is changed yet.
int startafresh(update& u) {
    renumrun& r = u.r;
    if (!renumstart(r, u.fname, u.opts, true))
        return r.recs.empty() ? RENUMOK : RENUMFILES;
    // The index a plain run left listing the old names: its receipt knows
    // where each file went.
    if (const int rc = rcptseed(r, u.fname); rc >= 0) return rc;
    u.same = renumrefuselinked(r);
    if (const int rc = stranded(u); rc != next) return rc;
    return twice(u);
}

// States 3 to 5: a journal on disk. The index must be the one it was written
// for, and each record's file is found again by its inode. Records added to
// the index since are its own: the run leaves them out, and the commit
// keeps them as they are then.
int takeupjournal(update& u) {
    renumrun& r = u.r;
    const size_t journaled = u.log.recs.size();
    if (r.recs.size() > journaled) {
        const auto cut = r.recs.begin() + static_cast<long>(journaled);
        u.later.assign(cut, r.recs.end());
        r.recs.erase(cut, r.recs.end());
    }
    if (!renumstart(r, u.fname, u.opts, false, true)) return RENUMFILES;
    const std::string name = shown(u);
    const char* prog = progof(u.opts);
    // The directory is known by its inode: a remount or a reboot may give
    // its file system another device number.
    if (u.log.where.ino != r.here.ino || journaled != r.recs.size()) {
        renumsay(u.opts,
                 "the update of '%s' that was cut short worked in another directory "
                 "or on another index; finish it there, or give it up with '%s --abort %s'\n",
                 name.c_str(), prog, name.c_str());
        return RENUMINDEX;
    }
    uint32_t differs = 0;
    switch (renumfindfiles(r, u.log, &differs, u.dir, u.real)) {
    case renumresume::ok:
        if (u.log.plain)
            if (const int rc = stranded(u); rc != next) return rc;
        return twice(u);
    case renumresume::unlisted:
        renumsay(u.opts,
                 "cannot list the directory '.' to find the files of the update of '%s' that "
                 "was cut short: %s; nothing done; the journal stays, and '%s -u' run again "
                 "finishes the update\n",
                 name.c_str(), strerror(errno ? errno : EIO), prog);
        return RENUMWRITE;
    case renumresume::other:
        renumsay(u.opts,
                 "'%s' is not the index that the update cut short was working on (record %u "
                 "differs from its journal); nothing done; put that index back, or give the "
                 "update up with '%s --abort %s'\n",
                 name.c_str(), differs + 1, prog, name.c_str());
        break;
    case renumresume::apart:
        renumsay(u.opts,
                 "files in this directory share inode numbers; the update of '%s' "
                 "that was cut short can't be finished safely here\n",
                 name.c_str());
        break;
    }
    return RENUMINDEX;
}

// States 1 and 2 to 3: the work directory cleared and the journal written,
// both on disk before the first file moves. A stop before it changes nothing.
int writejournal(update& u) {
    if (renumstopping(u.r)) {
        if (u.stats) {
            *u.stats = renumstats{};
            u.stats->records = u.stats->left = static_cast<int>(u.r.recs.size());
        }
        return RENUMSTOPPED;
    }
    // A work directory without a journal is from a run cut short before
    // its first rename, or after its last step: nothing to finish.
    if (const int err = renumclearwork(u.dir)) {
        renumsay(u.opts, "cannot remove '%s': %s; nothing done\n", renumshown(u.dir).c_str(),
                 strerror(err));
        return RENUMINDEX;
    }
    if (!renumbegin(u.r, u.dir, u.same)) {
        renumsay(u.opts, "cannot write the journal '%s/journal': %s\n", renumshown(u.dir).c_str(),
                 strerror(errno));
        (void)renumclearwork(u.dir);
        return RENUMINDEX;
    }
    // They stay whoever ran's: a rerun believes no journal another user
    // made (root in the owner's mailbox runs as the owner: mailbox/trust.h).
    return next;
}

// State 3 to 4: every file moved, and the moves on disk before the index
// names them. *rc gets the run's result; a stop leaves the journal for the
// run that finishes.
int moveall(update& u, int* rc) {
    *rc = renumpasses(u.r, u.stats, true, &u.named);
    if (*rc == RENUMSTOPPED) return *rc;
    if (!u.named || !dursyncdir(".")) return unwritten(u);
    return next;
}

// State 4 to 5: the index as it is now, under the locks, replaced by the
// same with the new names of the records this run worked on. What another
// program wrote to it meanwhile is kept; a record it removed or moved leaves
// the index alone.
int replaceindex(update& u) {
    uint32_t bad = 0;
    switch (renummerge(u.real, u.dir + "/index", u.was, u.r.recs, &bad)) {
    case renummerged::done: return next;
    case renummerged::failed: return unwritten(u);
    case renummerged::unplaced:
        renumsay(u.opts,
                 "'%s' was changed by another program during the update (record %u was "
                 "removed or changed), and is not rewritten, so that nothing written to it is "
                 "lost; the journal stays; give the update up with '%s --abort %s'\n",
                 shown(u).c_str(), bad + 1, progof(u.opts), shown(u).c_str());
        break;
    case renummerged::partial:
        renumsay(u.opts,
                 "'%s' ends in a record another program has not finished writing, and is not "
                 "rewritten; the journal stays: run '%s -u %s' again to finish the update\n",
                 shown(u).c_str(), progof(u.opts), shown(u).c_str());
        break;
    case renummerged::busy:
        renumsay(u.opts,
                 "'%s' was replaced by another program again and again during the update, and "
                 "is not rewritten, so that nothing written to it is lost; the journal stays: "
                 "run '%s -u %s' again to finish the update\n",
                 shown(u).c_str(), progof(u.opts), shown(u).c_str());
        break;
    case renummerged::late:
        renumsay(u.opts,
                 "'%s' is rewritten, but the index another program put in its place meanwhile "
                 "could not be merged; it is kept as '%s/kept-index'; the journal stays\n",
                 shown(u).c_str(), renumshown(u.dir).c_str());
        break;
    }
    return RENUMWRITE;
}

// State 5: the receipt of the update on disk, beside the index, before the
// journal goes. The journal holds the names the index listed: as this run
// wrote it, or as a rerun read it.
int keepreceipt(update& u, const rcptindex& before) {
    renumjournaled journaled;
    if (u.found != renumjournal::good) {
        // The names the journal this run wrote lists, without reading it.
        journaled.names = &u.was;
    } else if (!u.log.recs.empty()) {
        journaled.log = &u.log;
    }
    const rcptindex after = rcptsumindex(u.real.c_str(), u.r.recs.size());
    struct stat index;
    const bool known = stat(u.real.c_str(), &index) == 0;
    const std::string path = rcptbeside(u.fname);
    if (!path.empty() &&
        rcptkeep(u.r, path, before, &after, journaled, known ? &index : nullptr, u.dir + "/before"))
        return next;
    renumsay(u.opts,
             "'%s' is rewritten, but its receipt '%s' was not written (%s); the journal stays: "
             "'%s -u' run again finishes the update\n",
             shown(u).c_str(), renumshown(path).c_str(), strerror(path.empty() ? ENOENT : errno),
             progof(u.opts));
    return RENUMWRITE;
}

// The index as the update found it, for its receipt; unknown when a run
// cut short had replaced it already.
rcptindex indexfound(const update& u, bool resuming) {
    if (resuming)
        for (uint32_t i = 0; i < u.r.recs.size() && i < u.log.recs.size(); i++)
            if (u.log.recs[i].name != renumlisted(u.r, i)) return {};
    return rcptsumindex(u.real.c_str(), u.r.recs.size());
}

// States 5 and 6 to 7: the journal removed, then the work directory, and
// the end of the update synced.
int clearwork(update& u) {
    const char* prog = progof(u.opts);
    if (const int err = renumclearwork(u.dir)) {
        struct stat st;
        if (lstat((u.dir + "/journal").c_str(), &st) == 0)
            renumsay(u.opts,
                     "'%s' is rewritten but its journal stays; '%s -u' run again "
                     "finishes the update\n",
                     shown(u).c_str(), prog);
        else
            renumsay(u.opts,
                     "'%s' is rewritten, but its work directory stays (%s); '%s -u' run "
                     "again removes it\n",
                     shown(u).c_str(), strerror(err), prog);
        return RENUMWRITE;
    }
    if (!dursyncdir(durparent(u.real))) {
        renumsay(u.opts,
                 "'%s' is rewritten, but the end of the update may not be on disk (%s); '%s -u' "
                 "run again makes sure\n",
                 shown(u).c_str(), strerror(errno), prog);
        return RENUMWRITE;
    }
    return next;
}

}  // namespace

int renumindex(const char* fname, llnode* itemlist, const renumopts* opts, renumstats* stats) {
    std::vector<llnode*> nodes;
    std::vector<renumrec> recs = renumrecsof(itemlist, &nodes);
    const int rc = renumindex(fname, &recs, opts, stats);
    renumnamenodes(recs, nodes);
    return rc;
}

int renumindex(const char* fname, std::vector<renumrec>* recs, const renumopts* opts,
               renumstats* stats) {
    update u{.fname = fname, .opts = opts, .stats = stats};
    u.caller = recs;
    u.r.recs.swap(*recs);
    if (const int rc = findstate(u); rc != next) return rc;
    const bool resuming = u.found == renumjournal::good;
    if (const int rc = resuming ? takeupjournal(u) : startafresh(u); rc != next) return rc;
    u.r.verified = true;
    u.r.update = true;
    u.was.reserve(u.r.recs.size());
    for (const renumrec& rec : u.r.recs) u.was.emplace_back(rec.datafile);
    if (u.r.dry) {
        const int rc = renumpasses(u.r, stats, false, &u.named);
        return u.named ? rc : unwritten(u);
    }
    const rcptindex before = indexfound(u, resuming);
    if (!resuming)
        if (const int rc = writejournal(u); rc != next) return rc;
    int rc = RENUMOK;
    if (const int bad = moveall(u, &rc); bad != next) return bad;
    // The index as the run found it, kept for msgseq --undo: linked before
    // the commit, which syncs the work directory before the swap.
    rcpthold(u.dir, u.real, before.known);
    if (const int bad = replaceindex(u); bad != next) return bad;
    if (const int bad = keepreceipt(u, before); bad != next) return bad;
    if (const int bad = clearwork(u); bad != next) return bad;
    return rc;
}
