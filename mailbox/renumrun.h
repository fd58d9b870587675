// The renumbering run's shared state, for the files of the library that
// carry out its steps: mailbox/renumscan.cpp (the records, the listing of the
// directory and the names that lead to the index), mailbox/renummove.cpp (the
// moves: the first pass, chains, rings and their undoing),
// mailbox/renumfs.cpp (one move as the file system makes it),
// mailbox/renumjournal.cpp (the update's journal, its resumption and the
// writing of files that must survive a crash), mailbox/renumupdate.cpp (the
// update of the index, step by step) and mailbox/renum.cpp (the other
// public entry points). Not installed: callers use mailbox/renum.h.
//
// A renumrun lives on its caller's stack for one call of renumfiles or
// renumindex; it holds the caller's records for the call (renumlent gives
// them back) and owns nothing else but its own containers.
#ifndef MAILBOX_RENUMRUN_H
#define MAILBOX_RENUMRUN_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/ll.h"
#include "mailbox/receipt.h"
#include "mailbox/renum.h"

// Longer than any listed name (12 bytes at most), so no listed name can
// be mistaken for a temporary one.
constexpr std::string_view renumtmp = ".msgseq-temp-";
constexpr char renumworkext[] = ".msgseq-update";
constexpr uint32_t renumnone = UINT32_MAX;
// A move refused before its link: the old name could not have been removed.
constexpr int renumstuck = -1;

// Where each record stands. A record is worked once, in index order; those
// whose new name is still taken wait for the second pass.
enum class renumst : uint8_t {
    open,    // not worked yet
    twin,    // not worked yet, and an earlier record lists the same name
    stayed,  // its file already had its new name
    moved,   // its file got its new name in this run
    wait,    // its new name was taken when it was worked
    lost,    // its file is under no name
    kept,    // not renamed, and reported
};

// The program that a line to errs names, in lines that tell what to run.
inline const char* progof(const renumopts* opts) { return opts->prog ? opts->prog : "msgseq"; }

inline bool renumhome(renumst s) { return s == renumst::stayed || s == renumst::moved; }

struct renumname {
    char s[24];  // "in" + 10 digits + ".msg"
};

// The k-th record's new name, in%03d.msg formatted with k. Made once per
// record, so without printf.
inline renumname renumtarget(uint32_t k) {
    renumname b{};
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + k % 10);
        k /= 10;
    } while (k);
    while (n < 3) digits[n++] = '0';
    char* p = b.s;
    *p++ = 'i';
    *p++ = 'n';
    while (n) *p++ = digits[--n];
    memcpy(p, ".msg", 5);
    return b;
}

// The record whose new name is name, or none.
inline uint32_t renumtargetno(std::string_view name) {
    if (name.size() < 9 || !name.starts_with("in") || !name.ends_with(".msg")) return renumnone;
    const std::string_view digits = name.substr(2, name.size() - 6);
    if (digits.size() > 9) return renumnone;
    uint32_t k = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return renumnone;
        k = k * 10 + static_cast<uint32_t>(c - '0');
    }
    // renumtarget(k) itself: three digits, or more without a leading zero.
    return digits.size() == 3 || digits[0] != '0' ? k : renumnone;
}

inline bool renumforeign(std::string_view name) {
    return name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

// One line of a journal or a receipt in the making: numbers formatted in
// place, and the line then appended whole. Room for a line of numbers and
// a record's name; longer names are appended after it.
struct renumline {
    char s[160];
    char* p = s;
    template <typename T>
    void num(T v, char after, int base = 10, size_t width = 0) {
        const auto res = std::to_chars(p, s + sizeof s - 1, v, base);
        const size_t n = res.ptr > p ? static_cast<size_t>(res.ptr - p) : 0;
        if (n < width) {
            memmove(p + (width - n), p, n);
            memset(p, '0', width - n);
        }
        p += std::max(n, width);
        *p++ = after;
    }
    void lit(std::string_view v) {
        memcpy(p, v.data(), v.size());
        p += v.size();
    }
    std::string_view text() const { return {s, static_cast<size_t>(p - s)}; }
};

struct renumid {
    dev_t dev;
    ino_t ino;
    bool operator==(const renumid&) const = default;
};

struct renumdircloser {
    void operator()(DIR* d) const { closedir(d); }
};
using renumdirptr = std::unique_ptr<DIR, renumdircloser>;

// A descriptor closed when it goes out of scope.
struct renumfd {
    int fd;
    explicit renumfd(int f) : fd(f) {}
    renumfd(const renumfd&) = delete;
    renumfd& operator=(const renumfd&) = delete;
    ~renumfd() {
        if (fd >= 0) close(fd);
    }
};

// A record's file as stat gave it, for a receipt whose fence could not be
// taken: its inode, size and modification time.
struct renumstamp {
    ino_t ino = 0;  // 0: no file, or none stat'ed
    off_t size = 0;
    int64_t sec = 0;
    long nsec = 0;
};

// Everything one run knows. The records' names stay in the list; a record
// whose file is under another name (set aside, or found by its inode) has
// that name in away.
struct renumrun {
    const renumopts* opts = nullptr;
    bool dry = false;
    bool verified = false;  // every record's file was found by listing the directory
    std::vector<renumrec> recs;
    std::vector<renumst> state;
    // Listed names, open addressing: a slot holds the name's hash in its high
    // half and its first record + 1 in its low half.
    std::vector<uint64_t> slots;
    std::unordered_map<uint32_t, std::string> away;
    std::vector<std::string> keep;  // names in this directory that lead to the index
    std::vector<std::string> temps;
    std::vector<std::pair<uint32_t, std::string>> complaints;
    // A dry run renames in this picture of the directory instead.
    std::unordered_map<std::string, ino_t> names;
    bool linkonly = false;              // the file system refuses no-replace renames
    bool update = false;                // the index will be rewritten with the new names
    std::vector<std::string> reserved;  // sorted: names no record may move in under
    std::vector<ino_t> ino;             // each record's file, when the directory was listed for it
    // Records a stop does not keep from working: a file set aside, and each
    // record whose file holds the new name of the one before.
    std::vector<bool> aside;
    renumid here{};
    // The progress line: calls since the clock was last read, when the run
    // began, and how wide the line shown is (0: none shown).
    uint32_t ticks = 0;
    timespec began{};
    int shown = 0;
    // Link+unlink moves: the directory as stat gave it, and the links of
    // the first pass, whose old names go once the links are synced.
    bool dirknown = false;
    struct stat dirst {};
    bool batch = false;
    struct pendinglink {
        uint32_t rec;
        std::string from, to;
    };
    std::vector<pendinglink> linked;
    std::unordered_set<std::string> linkedfrom;
};

inline const char* renumlisted(const renumrun& r, uint32_t i) { return r.recs[i].datafile; }

// Whether record i lists name: asked once for every name in the directory,
// so without measuring the listed name first.
inline bool renumlists(const renumrun& r, uint32_t i, std::string_view name) {
    const char* listed = r.recs[i].datafile;
    return name.size() < sizeof r.recs[i].datafile && listed[name.size()] == '\0' &&
           memcmp(listed, name.data(), name.size()) == 0;
}

// The caller's records, lent to a run for one call: they go back, with the
// names the run gave them, however the call ends.
struct renumlent {
    std::vector<renumrec>& run;
    std::vector<renumrec>& caller;
    renumlent(std::vector<renumrec>& r, std::vector<renumrec>& c) : run(r), caller(c) {
        run.swap(caller);
    }
    renumlent(const renumlent&) = delete;
    renumlent& operator=(const renumlent&) = delete;
    ~renumlent() { caller.swap(run); }
};

// A list's records by number, 1 to count, as renumbering takes them: a
// loaded list holds them in order after its head; any other list is sorted
// out by number, up to a hole in the numbering. nodes (may be null) gets
// each record's node, for renumnamenodes.
renumrec renumrecof(const llnode* rec);
std::vector<renumrec> renumrecsof(const llnode* head, std::vector<llnode*>* nodes);
// Each node's datafile given its record's name, where the run changed it.
void renumnamenodes(const std::vector<renumrec>& recs, const std::vector<llnode*>& nodes);

inline std::string_view renumcur(const renumrun& r, uint32_t i) {
    if (renumhome(r.state[i])) return {};
    if (r.away.empty()) return renumlisted(r, i);
    auto it = r.away.find(i);
    return it == r.away.end() ? std::string_view{renumlisted(r, i)} : std::string_view{it->second};
}

// ---- renumscan.cpp: the records, and what the directory holds.

// The first record listing name, or renumnone.
uint32_t renumfindname(const renumrun& r, std::string_view name);
// The identity of the working directory.
renumid renumhere();
// Whether a listing's inode numbers are those the files report (not on an
// overlay), and a listed file's inode accordingly.
bool renumtrustlisting(int dirfd);
ino_t renumfileino(int dirfd, const dirent* ent, bool listingino);
// The names a record can't be moved under, or be moved from: why, or null.
const char* renumunfit(const renumrun& r, uint32_t i);
// Takes the records (in r.recs) and lists the directory. A run that starts
// afresh then claims what an earlier one set aside; one that resumes a
// journal finds its files by inode instead.
bool renumstart(renumrun& r, const char* fname, const renumopts* opts, bool wantino,
                bool resume = false);

// ---- renumfs.cpp: one move, and what is said.

// What stands under a name: its file, or inode 0 when nothing does.
renumid renumlookupid(const renumrun& r, const std::string& name);
ino_t renumlookup(const renumrun& r, const std::string& name);
// Two names of one file.
bool renumsamefile(const renumrun& r, const std::string& a, const std::string& b);
// Two names of one file that are two entries of the directory, so that
// either may go and leave the file the other.
bool renumtwoentries(const renumrun& r, const std::string& a, const std::string& b);
// Whether uid may remove a name of file in dir (the sticky bit's rule).
bool renumunlinkable(const struct stat& dir, const struct stat& file, uid_t uid);
// strerror(err), or why a move was refused before it began (renumstuck).
const char* renumwhy(int err);
int renumfsunlink(renumrun& r, const std::string& name);
// Renames from to to unless to exists: 0, or the errno of the failure (or
// renumstuck); *both (may be null) set when a link+unlink left both names.
// While r.batch is set, record rec's link waits in r.linked for
// renumflushlinks to sync it and unlink its old name.
int renumfsmove(renumrun& r, const std::string& from, const char* to, bool* both = nullptr,
                uint32_t rec = renumnone);
void renumflushlinks(renumrun& r);
// "renamed 'FROM' -> 'TO'" to opts->trace.
void renumtrace(const renumrun& r, std::string_view from, std::string_view to);
// Every line the library writes to opts->errs: "PROG: " and the line, or
// nothing when errs is null.
void renumsay(const renumopts* opts, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// One line about record i for the report, in the form every such line has.
void renumcomplain(renumrun& r, uint32_t i, std::string_view from, std::string_view to,
                   const char* why);
// Whether a stop was asked for (opts->stop).
inline bool renumstopping(const renumrun& r) { return r.opts->stop && *r.opts->stop; }
// done of the records are worked: shown on opts->progress once the run has
// gone on for opts->progressms; the clock is read every 1024 calls.
void renumprogress(renumrun& r, uint32_t done);
// Blanks the progress line out, if one is shown.
void renumprogressend(renumrun& r);

// ---- renummove.cpp: the moves.

// Record i's file where the run leaves it, stat'ed: false when it has none,
// or another file is there.
bool renumstampnow(const renumrun& r, uint32_t i, renumstamp* out);

// Both passes, once the run knows where every file is. *named (may be null)
// is false when update was asked for but some record can't name its file.
int renumpasses(renumrun& r, renumstats* stats, bool update, bool* named = nullptr);

// ---- renum.cpp: the locks.

// RENUMOK when the working directory is locked, by the caller or now by
// this run into *keep; else RENUMBUSY, said.
int renumheld(const renumopts* opts, renumfd* keep);
// The same for the directory of the index real (its resolved path), unless
// it is the working one.
int renumlockindexdir(const std::string& real, const char* fname, const renumopts* opts,
                      renumfd* keep);

// ---- renumjournal.cpp: the update's work directory and journal.

enum class renumjournal : uint8_t { none, good, bad };
// unlisted: the directory could not be listed whole (errno says why).
enum class renumresume : uint8_t { ok, apart, other, unlisted };

// The sum of a record's fields besides its file's name (to, from, subject,
// cc, bcc, each as the index's line holds it) and of its read flag: what
// tells this record from another listing the same name.
uint64_t renumsum(const std::string_view (&fields)[5], bool read);
// The same in two steps: the fields alone, kept with each record
// (renumrec.fields), and the read flag added to that.
uint64_t renumfieldshash(const std::string_view (&fields)[5]);
uint64_t renumwithflag(uint64_t fields, bool read);
inline uint64_t renumfieldsum(const renumrec& rec, bool read) {
    return renumwithflag(rec.fields, read);
}

// A record's line of the journal.
struct renumentry {
    ino_t ino = 0;  // its file's inode, 0 for none
    off_t size = 0;
    int64_t sec = 0;  // the file's modification time
    long nsec = 0;
    bool timed = true;    // size and time written (a plain run writes neither)
    uint64_t fields = 0;  // the sum of the record's other fields
    uint32_t same = 0;    // the record whose file it is too, + 1; 0 for none
    std::string name;     // the name the index listed
};

struct renumlog {
    bool old = false;  // a journal of the release before: inodes and names alone
    int version = 0;
    bool plain = false;  // written by a run that does not rewrite the index
    bool undo = false;   // an undo's journal (mailbox/renumundo.cpp): no records here
    renumid where{};     // the directory the run worked in
    std::vector<renumentry> recs;
};

// "<index>.msgseq-update" beside the file the index path leads to; empty
// when it leads nowhere.
std::string renumworkdir(const char* fname, std::string* real = nullptr);
// Makes the work directory and writes the journal, on disk before the first
// file moves: each record's file by its inode alone, which is all a rerun
// finds it by. same: for each record, the record whose file it is too, or
// renumnone (empty: none).
bool renumbegin(renumrun& r, const std::string& dir, const std::vector<uint32_t>& same);
renumjournal renumreadjournal(const std::string& dir, renumlog* log);
// Where the journal of a run cut short is: in the index's work directory,
// else, for a plain run that could not write there, in the working
// directory's own ".msgseq-update" (renumsparedir).
struct renumwork {
    std::string dir;   // the work directory found, or where the index's would be
    std::string real;  // the index's resolved path, or empty
    renumjournal found = renumjournal::none;
    int err = 0;  // why a journal found could not be read (0: not in a form msgseq writes)
    renumlog log;
};
void renumfindwork(const char* fname, renumwork* w);
std::string renumsparedir();
// Removes the work directory: 0, or the errno of the step that failed.
int renumclearwork(const std::string& dir);
// Removes the work directory once a run is done with it and syncs the
// directory that held it: false, said, when either fails. renamed: the
// files are on their new names, and a rerun removes what stays.
bool renumdropwork(const renumopts* opts, const std::string& dir, bool renamed);
// The work directory holds a name this code never makes.
bool renumworkforeign(const std::string& dir);
// Who wrote the index as it is now, as the work directory dir tells: the
// index the run began on, or another program's copy of it (old: its records
// list the names the journal lists); the index an update put in place
// (ours: a "placed-INODE" link in dir is that file); or either (unknown: a
// journal of a release that kept no such links, or another program replaced
// the index after an update put it in place).
enum class renumkind : uint8_t { old, ours, unknown };
renumkind renumindexkind(const std::string& dir, const std::string& real, const renumlog& log);
// The link that marks the index an update writes, "placed-INODE".
std::string renummarker(ino_t ino);
// The first of the index's first count records (r.recs) that is not the
// journal's record at that place, known by name and fields, or could be
// another of its records; renumnone when each is. found: for each of the
// journal's records, the names its file has here.
uint32_t renummisplaced(const renumrun& r, const renumlog& log, renumkind kind,
                        const std::vector<std::vector<std::string>>& found, uint32_t count);
// Finds each record's file again from the journal; other: the index is not
// the one the journal was written for, its records not the journal's in the
// journal's order, known by their names and fields (*differs: the first
// record that differs, or that could be another of the journal's); apart:
// names that share an inode number are different files. dir is the work
// directory the journal is in, real the index.
renumresume renumfindfiles(renumrun& r, const renumlog& log, uint32_t* differs,
                           const std::string& dir, const std::string& real);
std::vector<uint32_t> renumrefuselinked(renumrun& r);
// A record whose set-aside file could go neither on nor back, or renumnone.
uint32_t renumstranded(const renumrun& r);

// ---- renummerge.cpp: the commit of an update.

enum class renummerged : uint8_t { done, unplaced, partial, late, failed, busy };

// Replaces the index real, through tmp (in the work directory), with its
// text as it is now, each record the update loaded (recs[i], loaded as
// was[i]) found there by that name and by its fields, wherever it stands,
// and given recs[i]'s name; every other line kept byte for byte. The new
// index is marked (renummarker) in the work directory before it goes in
// place; what another program put in the index's place meanwhile, or wrote
// to it, is merged in by another round. unplaced: a record of the update's
// is gone, changed or listed twice, or another lists a name it gives (*bad:
// that record); partial: another program is halfway through writing a
// record; the index is left as it is either way. busy: another program kept replacing it; left as it is. late: the
// update's index is in place, but what another program put there could not
// be put back (it is kept as "kept-index" in the work
// directory, which stops every run until it is seen to). failed: errno says why; the index is as it
// was, or the update's and marked.
renummerged renummerge(const std::string& real, const std::string& tmp,
                       const std::vector<std::string>& was, const std::vector<renumrec>& recs,
                       uint32_t* bad);

// ---- renumundo.cpp: msgseq --undo.

// What every run but an undo says of an undo cut short: RENUMINDEX.
int renumundocut(const char* fname, const renumopts* opts);
// renumabort of an undo cut short (w: its work directory): each file back
// where the undone run had left it, the journal removed; refused once the
// index is put back.
int renumundoabort(const char* fname, const renumopts* opts, const renumwork& w);

// ---- receipt.cpp: the receipt a finished run leaves (mailbox/receipt.h).

// A plain run on the index that the last plain run left as it was: when the
// files are still where that run left them, nothing moves and it is said
// (RENUMOK, or RENUMFILES when that run left some file out); records added
// since, or files moved since, refuse it (RENUMINDEX, said); -1: no such
// receipt, the run goes on.
int rcptagain(renumrun& r, const char* fname, renumstats* stats);
// An update of such an index: each file is taken to be where that run left
// it, so that none moves again; files moved since refuse it (RENUMINDEX,
// said); -1 to go on.
int rcptseed(renumrun& r, const char* fname);
// Writes the receipt of the run r, which has finished, to path: before is
// the index it ran on, after (may be null) the index it left, log (may be
// null) its journal, whose names are the old ones and whose sizes and times
// are the files'. like: the index, whose owner gets it. keptfrom: for an
// update, the link its work directory holds to the index it replaced, kept
// beside the receipt for msgseq --undo. A run that moved nothing and left
// the index as it was keeps the last update's receipt. false, errno set.
// What the receipt takes of each record besides the run's own state: the
// name the index listed, from the journal as read back (log) or, for the
// run that wrote it, without reading it back, as it loaded them (names).
// Neither: nothing known.
struct renumjournaled {
    const renumlog* log = nullptr;
    const std::vector<std::string>* names = nullptr;
    size_t size() const {
        if (log) return log->recs.size();
        return names ? names->size() : 0;
    }
    std::string_view name(size_t i) const { return log ? log->recs[i].name : (*names)[i]; }
};
bool rcptkeep(const renumrun& r, const std::string& path, const rcptindex& before,
              const rcptindex* after, const renumjournaled& log, const struct stat* like,
              const std::string& keptfrom = {});
// Links the index real, while it is the one the update began on (same: its
// records are still the journal's), as "before" in the work directory dir,
// where rcptkeep finds it; the commit syncs the directory.
void rcpthold(const std::string& dir, const std::string& real, bool same);
#endif
