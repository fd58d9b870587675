// Renumbering a mailbox: the message files that a loaded index names are
// renamed, in index order, to in000.msg, in001.msg, ... in the working
// directory, and, when asked, the index is rewritten to name them.
//
// Ownership: the list belongs to the caller, who loaded it with readmeta and
// frees it with llfree (or the vector of records, loaded with renumload);
// renumfiles and renumindex change only the datafile fields of its records
// (and only when asked to update them). Nothing here
// keeps memory, descriptors or state between calls but the lock that
// renumlock hands back, which the caller releases with renumunlock.
//
// No rename ever replaces a file: a record whose new name is held by a file
// that no record moves away keeps its name and is reported. Renames are made
// at once where the new name is free; records whose new name is still taken
// are worked afterwards, each chain of them from its free end, and each ring
// of them through one temporary name, ".msgseq-temp-<name>.<inode>": the
// file of the record listing <name>, waiting for the file with inode <inode>,
// that of the record whose new name <name> is, to move in. A run that is not
// killed leaves no temporary name behind.
//
// The calling sequence of a program that updates an index:
//   int lock = renumlock();            // -1: busy (EWOULDBLOCK) or unlockable
//   if (renumunfinished(fname)) ...     // only renumindex may go on from here
//   llinit(); readmeta(fname, inlist);  // the whole index, or stop
//   renumindex(fname, inlist, &opts, &stats);
//   llfree(inlist); renumunlock(lock);
#ifndef MAILBOX_RENUM_H
#define MAILBOX_RENUM_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/ll.h"

// How a run went, and what the tool reports as its exit status.
constexpr int RENUMOK = 0;     // every record's file has its new name
constexpr int RENUMINDEX = 2;  // the index can't be rewritten as it is or where it is, or an
                               // unfinished update blocks the run: nothing was changed
constexpr int RENUMFILES = 3;  // some record's file was not renamed; the others were
constexpr int RENUMBUSY = 5;   // another run holds the directory, or it can't be locked at all
                               // (ENOLCK): nothing was changed
constexpr int RENUMWRITE = 6;  // the files were renamed but the update is not finished (the
                               // index not replaced, or its journal or work directory not
                               // removed, or not synced); renumindex run again finishes it

// A stop was asked for (renumopts.stop): stats->left records were not worked;
// nothing is under a temporary name, and an update's journal stays, so that
// renumindex run again finishes it.
constexpr int RENUMSTOPPED = 7;

struct renumopts {
    const char* prog;  // starts every line written to errs ("msgseq"); or null: no prefix
    bool dryrun;       // work out and report every rename, make none
    FILE* trace;       // gets "renamed 'OLD' -> 'NEW'\n" for each rename made; or null
    FILE* errs;        // gets one line for each record whose file is not renamed; or null

    // Callers that give only the fields above get no stop and no progress.
    // Set nonzero (by a signal handler, say): the run stops at its next safe
    // point. Null: it never stops.
    const volatile sig_atomic_t* stop = nullptr;
    // Gets "\rPROG: N of M records", updated in place while a long run works,
    // and blanked out before the lines to errs; or null.
    FILE* progress = nullptr;
    // How long a run works, in milliseconds, before the progress line shows.
    int progressms = 0;
    // The caller holds the lock and has just found that the index would be
    // written back as it is (metachkall with exact, none found): renumindex
    // does not read it through once more to ask the same.
    bool checked = false;
};

struct renumstats {
    int records;  // records worked on: stayed + moved + missing + refused (+ left)
    int moved;    // records whose file was renamed to its new name by this run
    int missing;  // records whose file was found under no name
    int refused;  // records not renamed for any other reason
    int stayed;   // records whose file already had its new name

    // Records not worked, because the run was stopped (RENUMSTOPPED).
    int left = 0;
};

// The counts as one line's words, which add up to the whole:
// "R renamed, S already in place, M missing, F refused, of N records", with
// ", L not reached" before ", of" when the run was stopped, and "would be
// renamed" for a dry run's renames. No prefix and no newline.
std::string renumtotals(const renumstats& st, bool dryrun);

// A name as one line of output shows it: control bytes become '?'
// (quoteshown, mailbox/quote.h, which every module below the engine uses).
std::string renumshown(std::string_view name);

// Takes the lock that keeps two runs out of one directory: an exclusive
// flock(2) on the working directory, which shell scripts can share with
// flock(1). Returns a descriptor to hand to renumunlock, -1 with errno
// EWOULDBLOCK when another run holds it, or -1 with another errno when the
// directory can't be opened or locked. renumfiles and renumindex check the
// lock for themselves, and take it when the caller did not: a directory
// that can't be locked is refused with RENUMBUSY and a line of its own.
int renumlock();
void renumunlock(int lockfd);

// true when an update of the index fname (renumindex) was cut short: its
// work directory "<index>.msgseq-update", beside the file that fname leads
// to, holds an update's journal. One that holds a plain run's journal is
// finished by renumfiles; one that holds none has nothing to finish.
bool renumunfinished(const char* fname);

// What a run of fname cut short left behind: nothing, a plain run's journal
// (finished by renumfiles or renumindex), an update's (by renumindex), an
// undo's (by renumundo), or a journal that can't be read (renumabort says
// why). Every one of them but
// none means the index must not change until the run is finished or given
// up: the journal names its records.
enum class renumcut { none, plain, update, unreadable, undo };
renumcut renumcutshort(const char* fname);

// A record as renumbering needs it: its file's name, its read flag, and the
// sum of its other fields (to, from, subject, cc and bcc, as the list's record
// would hold them), which tells it from another record listing the same name.
// A program that renumbers a large index loads these (renumload) rather than
// a list, whose records hold every field whole.
struct renumrec {
    uint64_t fields = 0;
    char datafile[13] = {};
    bool read = false;
};

// Loads the index fname as readmeta loads a list, with the same messages to
// standard output and the same result: 1 when it was read whole, -1 after a
// message otherwise, with the records before the fault in *recs.
int renumload(const char* fname, std::vector<renumrec>* recs);

// Renames the file of each record of itemlist, numbered 1 to count, to its
// new name in the working directory. fname is the index the list was loaded
// from: neither it nor a link on the path to it is ever moved. With update
// set, each record whose file now has its new name gets that name in its
// datafile field. Returns RENUMOK or RENUMFILES, or RENUMINDEX without
// touching anything when an update of fname was cut short, or RENUMSTOPPED;
// *stats (may be null) gets the counts. The caller holds the lock.
//
// A stop (opts->stop) is taken between two records in index order, and
// between two chains or rings of records whose new names were taken: a ring
// under way is finished first. A file that an earlier run left under a
// temporary name is still moved on, or put back, and so is every file in its
// way, stop or no stop.
//
// A journal written before the first move (beside the index, else in the
// working directory's ".msgseq-update") lets a run cut short (a kill, a stop,
// a power cut) and called again end as one whole run; renumindex and
// renumabort take it up too. A journal that can't be read is RENUMINDEX,
// nothing touched.
int renumfiles(const char* fname, llnode* itemlist, const renumopts* opts, bool update,
               renumstats* stats);
// The same for records loaded by renumload, in index order; with update set,
// each record whose file now has its new name gets it in its datafile.
int renumfiles(const char* fname, std::vector<renumrec>* recs, const renumopts* opts, bool update,
               renumstats* stats);

// Renames as renumfiles does and then replaces the index fname with the
// index as it is then, the records this run worked on naming their files'
// new names. itemlist must be fname loaded whole. An index that writing back
// would change (metachk) is refused, untouched.
//
// Mail delivered meanwhile is kept: the last look at the index is taken
// under the locks, and records added after the run's own, and other fields
// changed (a read flag), stay as they are then. The old index is held open
// across the swap, and what reached it after the last look is merged into
// the new one. A delivery program that takes flock(2) on the index's
// directory, as renumlock does, never races the update at all. An index
// whose records were removed or moved meanwhile is left as it is: RENUMWRITE,
// the journal kept.
//
// Safe against a kill or a power cut at any point: before the first rename a
// journal names each record and its file, and is on disk; the index is
// replaced after the renames are on disk, and the journal removed once the
// new index is. Called again on the same index while the journal is there,
// it checks that the index lists the records the journal was written for
// (records added after them, and fields other than the names, may differ),
// finds every file by its inode under the names this update gives it (its
// size or time may have changed, and the directory's device number, as after
// a remount), and ends exactly as one whole run would have; no other name of
// a file (a hard link) is removed. A directory that can't be listed then
// stops it: RENUMWRITE, nothing touched. Returns RENUMOK, RENUMFILES (the
// index then names each file where it is), RENUMINDEX (nothing changed: the
// index's directory can't be written, a journal that belongs to another
// directory or index, a file set aside by a plain run cut short that could go
// neither on nor back, or no journal could be written), RENUMBUSY (another
// update of fname holds its directory), RENUMWRITE, or RENUMSTOPPED: the
// index is not rewritten and the journal stays (none is written when the
// stop came first), so that renumindex run again finishes. A dry run
// (opts.dryrun) makes every check the real run makes before it changes
// anything, and says what it says.
int renumindex(const char* fname, llnode* itemlist, const renumopts* opts, renumstats* stats);
// The same for records loaded by renumload, in index order.
int renumindex(const char* fname, std::vector<renumrec>* recs, const renumopts* opts,
               renumstats* stats);

// Gives up a run of the index fname that was cut short, plain or an update:
// each file its journal knows goes back under the name the index lists
// (the name it listed when the run began, or, where the index was replaced
// already, its new name), the index is not touched, and the journal and its
// work directory are removed once the moves are on disk. A file that can't go
// back (its name taken meanwhile, the file gone) is said, left where it is,
// and the others still go back. Cut short itself, it is finished by calling
// it again. A dry run (opts.dryrun) says what it would do and changes
// nothing; opts.trace gets each move back. Returns RENUMOK (also, said, when
// no run was cut short), RENUMFILES (some file not put back, or not synced),
// RENUMINDEX (a journal that can't be read, or one from another directory:
// nothing done) or RENUMBUSY.
int renumabort(const char* fname, llnode* itemlist, const renumopts* opts);

// Puts the last finished run of the index fname back, as its receipt tells
// it (mailbox/receipt.h): each file it renamed under the name the index
// listed before, and after an update the index it replaced, byte for byte,
// records appended since kept after its own. Only when nothing changed
// since: each file still under the name that run gave it and the same file,
// the index as that run left it (records appended are its own), every name
// to go back free. Otherwise each thing changed is said, nothing is done
// and RENUMINDEX returned; so too for a receipt that can't be trusted or
// belongs to another directory. Journaled like every run, and finished by
// calling it again; renumabort gives it up until the index is put back. A
// finished undo removes the receipt: called again, it says there is
// nothing to undo (RENUMOK). Returns RENUMOK, RENUMINDEX, RENUMFILES (some
// file could not go back, or a sync failed: the journal stays), RENUMBUSY,
// RENUMWRITE (the files back, the index not: the journal stays) or
// RENUMSTOPPED (opts->stop). A dry run says what it would do; *stats (may
// be null) gets the counts.
int renumundo(const char* fname, const renumopts* opts, renumstats* stats);

#endif
