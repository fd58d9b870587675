// The update's journal and its work directory: what makes an update of the
// index safe against a kill or a power cut, and how a killed one is taken
// up again.
//
// The states an update passes through on disk, and the step that takes it
// from each to the next, are told where renumindex takes them:
// mailbox/renumupdate.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

namespace {

// The names this code makes in the work directory; nothing else there is
// ever removed. Besides them, the links "placed-INODE" (renummarker), and
// "before", the index an update replaces, linked until its receipt keeps it
// (mailbox/receipt.h).
constexpr const char* worknames[] = {"journal", "journal.new", "index"};
constexpr char held[] = "before";
constexpr std::string_view placed = "placed-";

bool ismarker(std::string_view name) {
    return name.size() > placed.size() && name.size() < placed.size() + 21 &&
           name.starts_with(placed) &&
           name.find_first_not_of("0123456789", placed.size()) == std::string_view::npos;
}

}  // namespace

std::string renummarker(ino_t ino) { return std::string(placed) + std::to_string(ino); }

std::string renumworkdir(const char* fname, std::string* real) {
    char buf[PATH_MAX];
    if (!realpath(fname, buf)) return {};
    if (real) *real = buf;
    return std::string(buf) + renumworkext;
}

// What the journal keeps of a record's fields besides its file's name, so
// that a rerun can tell this index from another listing the same names. A
// reader marks messages read between a kill and the rerun: the flag is
// summed either way when checking.
uint64_t renumfieldshash(const std::string_view (&fields)[5]) {
    uint64_t h = 14695981039346656037ull;
    for (const std::string_view field : fields) {
        // cppcheck-suppress useStlAlgorithm ; a hash step, plainer as the loop
        for (const char c : field) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        h = (h ^ '\n') * 1099511628211ull;
    }
    return h;
}

uint64_t renumwithflag(uint64_t fields, bool read) {
    return (fields ^ (read ? 'R' : 'N')) * 1099511628211ull;
}

uint64_t renumsum(const std::string_view (&fields)[5], bool read) {
    return renumwithflag(renumfieldshash(fields), read);
}

// The journal: its version, whether the run rewrites the index ("run
// update") or only renames ("run plain"), the directory and the count; then
// one line a record: the file's inode ("-": none), its size and modification
// time, signed ("- -" where a plain run did not ask: it finds files by inode
// alone), the sum of the record's other fields, the record whose file it is
// too (0: none, else that record + 1) and the listed name, to the line's end.
namespace {

// Each line made in place, without printf: a plain run writes a line for
// every record before its first move.
void journalline(std::string& text, const renumrun& r, uint32_t i, uint32_t same) {
    renumline l;
    if (r.ino[i])
        l.num(static_cast<uintmax_t>(r.ino[i]), ' ');
    else
        l.lit("- ");
    l.lit("- - ");  // no size and time: see renumbegin
    l.num(renumfieldsum(r.recs[i], r.recs[i].read), ' ', 16, 16);
    l.num(same, ' ');
    // A record's name is 12 bytes at most.
    l.lit(std::string_view(renumlisted(r, i)));
    *l.p++ = '\n';
    text.append(l.text());
}

}  // namespace

bool renumbegin(renumrun& r, const std::string& dir, const std::vector<uint32_t>& same) {
    if (mkdir(dir.c_str(), 0700) != 0) return false;
    const std::string head = "msgseq update journal 4\nrun " +
                             std::string(r.update ? "update" : "plain") + "\ndir " +
                             std::to_string(r.here.dev) + " " + std::to_string(r.here.ino) +
                             "\nrecords " + std::to_string(r.recs.size()) + "\n";
    // Written as it is made, a piece at a time: the journal of a large
    // index is never held whole. A rerun finds each file by its inode alone
    // (its size and time may have changed since), so the journal gives no
    // more: what the receipt keeps of each file is taken as it moves.
    auto fill = [&](FILE* f) {
        std::string text = head;
        constexpr size_t piece = size_t{1} << 16;
        text.reserve(piece + 256);
        for (uint32_t i = 0; i < r.recs.size(); i++) {
            const uint32_t also = same.empty() || same[i] == renumnone ? 0 : same[i] + 1;
            journalline(text, r, i, also);
            if (text.size() >= piece || i + 1 == r.recs.size()) {
                if (fwrite(text.data(), 1, text.size(), f) != text.size()) return false;
                text.clear();
            }
        }
        return r.recs.empty() ? fwrite(text.data(), 1, text.size(), f) == text.size() : true;
    };
    return durwrite(dir + "/journal.new", dir + "/journal", nullptr, fill) &&
           dursyncdir(durparent(dir));
}

namespace {

// The journal's text, read field by field: each number ended by the
// character given; a field that is not there as written stops the reading.
struct journaltext {
    const char* at;
    const char* end;

    bool lit(std::string_view s) {
        if (static_cast<size_t>(end - at) < s.size() || std::string_view(at, s.size()) != s)
            return false;
        at += s.size();
        return true;
    }
    template <typename T>
    bool num(char after, T* v, int base = 10) {
        if (at == end || *at == '-' || *at == '+' || *at == ' ') return false;
        char* stop = nullptr;
        errno = 0;
        const unsigned long long got = strtoull(at, &stop, base);
        if (stop == at || stop >= end || errno != 0 || *stop != after ||
            got > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
            return false;
        *v = static_cast<T>(got);
        at = stop + 1;
        return true;
    }
    bool snum(char after, int64_t* v) {
        const bool neg = at != end && *at == '-';
        if (neg) at++;
        uint64_t got = 0;
        if (!num(after, &got) || got > (neg ? uint64_t{1} << 63 : uint64_t{INT64_MAX}))
            return false;
        *v = neg ? static_cast<int64_t>(0 - got) : static_cast<int64_t>(got);
        return true;
    }
    // "- " for a value a run did not write.
    bool none(char after) {
        if (end - at < 2 || at[0] != '-' || at[1] != after) return false;
        at += 2;
        return true;
    }
};

bool readentry(journaltext& t, const renumlog& log, renumentry* e) {
    if (!t.none(' ') && (!t.num(' ', &e->ino) || (e->ino == 0 && log.version > 2))) return false;
    if (log.old) return true;
    if (log.version > 2 && t.none(' ')) {
        if (!t.none(' ')) return false;
        e->timed = false;
    } else if (!t.num(' ', &e->size) || !t.snum('.', &e->sec) || !t.num(' ', &e->nsec) ||
               e->nsec >= 1000000000) {
        return false;
    }
    return t.num(' ', &e->fields, 16) && t.num(' ', &e->same);
}

}  // namespace

// Reads the journal back: bad when there is one this run can't trust, or
// that does not end where its last record does. A journal of the release
// before that (first line without its number) held each record's inode and
// name alone; it is read, and its files are known by their inodes alone.
//
// Whoever may write the mailbox's directory may put anything there: the
// work directory must be one this user made and no link, the journal a
// regular file this user made, and each name of a record with a file a
// plain name in the working directory. A record with no file (one the run
// refused, such as "../x") is never acted on: its name is only compared.
renumjournal renumreadjournal(const std::string& dir, renumlog* log) {
    const renumfd d{trustopendir(AT_FDCWD, dir.c_str())};
    const renumfd fd{d.fd < 0 ? -1 : trustopenown(d.fd, "journal")};
    if (fd.fd < 0) return errno == ENOENT ? renumjournal::none : renumjournal::bad;
    std::string text;
    if (!durreadfd(fd.fd, &text)) return renumjournal::bad;
    errno = 0;  // from here on, not a read that failed: not a journal this code wrote
    journaltext t{text.data(), text.data() + text.size()};
    // An undo's journal (mailbox/renumundo.cpp) is read there: here it only
    // says that an undo was cut short, which nothing else may go on from.
    if (t.lit("msgseq undo journal ")) {
        log->undo = true;
        return renumjournal::good;
    }
    if (!t.lit("msgseq update journal")) return renumjournal::bad;
    log->old = t.lit("\n");
    if (!log->old &&
        (!t.lit(" ") || !t.num('\n', &log->version) || log->version < 2 || log->version > 4))
        return renumjournal::bad;
    if (log->version > 2 && !(t.lit("run update\n") || (log->plain = t.lit("run plain\n"))))
        return renumjournal::bad;
    uint64_t count = 0;
    if (!t.lit("dir ") || !t.num(' ', &log->where.dev) || !t.num('\n', &log->where.ino) ||
        !t.lit("records ") || !t.num('\n', &count) || count > 1000000)
        return renumjournal::bad;
    log->recs.assign(count, {});
    for (renumentry& e : log->recs) {
        if (!readentry(t, *log, &e)) return renumjournal::bad;
        const char* eol =
            static_cast<const char*>(memchr(t.at, '\n', static_cast<size_t>(t.end - t.at)));
        if (!eol) return renumjournal::bad;
        e.name.assign(t.at, static_cast<size_t>(eol - t.at));
        if (e.ino && !trustplain(e.name)) return renumjournal::bad;
        t.at = eol + 1;
    }
    return t.at == t.end ? renumjournal::good : renumjournal::bad;
}

// Removes the journal first, since an index beside no journal is a finished
// one, then the other names this code makes there, then the directory. 0,
// or the errno of the first step that failed. The names go through the
// directory's own descriptor, taken once it is known to be this user's and
// no link: a directory swapped for a link meanwhile leads nowhere else.
int renumclearwork(const std::string& dir) {
    const renumfd d{trustopendir(AT_FDCWD, dir.c_str())};
    if (d.fd < 0) return errno == ENOENT ? 0 : errno;
    for (const char* name : worknames)
        if (unlinkat(d.fd, name, 0) != 0 && errno != ENOENT) return errno;
    if (struct stat st; fstatat(d.fd, held, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        unlinkat(d.fd, held, 0) != 0 && errno != ENOENT)
        return errno;
    // The marks of the index swapped in, listed through the same directory.
    if (const int again = dup(d.fd); again >= 0) {
        renumdirptr list{fdopendir(again)};
        if (!list) close(again);
        std::vector<std::string> marks;
        while (const dirent* ent = list ? readdir(list.get()) : nullptr)
            if (ismarker(ent->d_name)) marks.emplace_back(ent->d_name);
        // The mark tells a rerun that the index is the update's: it may go
        // only once the journal's removal is on disk, else a power cut could
        // leave the journal without it, and the rerun would take the new
        // index for the old one.
        if (!marks.empty() && fsync(d.fd) != 0 && errno != EINVAL) return errno;
        for (const std::string& name : marks)
            if (unlinkat(d.fd, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
    }
    return rmdir(dir.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

bool renumdropwork(const renumopts* opts, const std::string& dir, bool renamed) {
    if (const int err = renumclearwork(dir)) {
        if (renamed)
            renumsay(opts, "the files are renamed, but '%s' stays (%s); the run again removes it\n",
                     renumshown(dir).c_str(), strerror(err));
        else
            renumsay(opts, "cannot remove '%s': %s\n", renumshown(dir).c_str(), strerror(err));
        return false;
    }
    if (!dursyncdir(durparent(dir))) {
        renumsay(opts, "cannot sync the directory '%s': %s\n", renumshown(durparent(dir)).c_str(),
                 strerror(errno));
        return false;
    }
    return true;
}

bool renumworkforeign(const std::string& dir) {
    const int fd = trustopendir(AT_FDCWD, dir.c_str());
    if (fd < 0) return errno != ENOENT;  // a link, or another's: not this code's
    renumdirptr d{fdopendir(fd)};
    if (!d) {
        close(fd);
        return true;
    }
    while (const dirent* ent = readdir(d.get())) {
        const std::string_view name(ent->d_name);
        if (name != "." && name != ".." && !ismarker(name) && name != held &&
            std::none_of(std::begin(worknames), std::end(worknames),
                         [&name](const char* w) { return name == w; }))
            return true;
    }
    return false;
}

renumkind renumindexkind(const std::string& dir, const std::string& real, const renumlog& log) {
    // A release before this one kept no mark of the index it wrote.
    if (log.old || log.version < 4) return renumkind::unknown;
    struct stat now {}, aside {};
    const bool there = stat(real.c_str(), &now) == 0;
    const bool waiting = lstat((dir + "/index").c_str(), &aside) == 0;
    renumdirptr d{opendir(dir.c_str())};
    if (!d) return renumkind::unknown;
    bool marked = false, unswapped = false;
    while (const dirent* ent = readdir(d.get())) {
        if (!ismarker(ent->d_name)) continue;
        // A link of the file, or where there are none, its inode in the name.
        // The link itself is believed first: a file restored from a backup
        // keeps its links but not its inode number.
        struct stat mark {};
        const bool linked =
            fstatat(dirfd(d.get()), ent->d_name, &mark, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(mark.st_mode) && mark.st_nlink > 1;
        const ino_t ino =
            linked ? mark.st_ino : strtoull(ent->d_name + placed.size(), nullptr, 10);
        marked = true;
        if (there && now.st_ino == ino) return renumkind::ours;
        // Written, marked, and not yet swapped in: the index is not it.
        if (waiting && aside.st_ino == ino) unswapped = true;
    }
    // No index of the update's was ever put in place: only it writes the
    // new names, so the index lists the names the journal lists.
    return !marked || unswapped ? renumkind::old : renumkind::unknown;
}

namespace {

// Tells, position by position, which of the journal's records the index's
// records are. An index the update put in place (ours) lists the new name
// of each record whose file has it, the name from the journal of any
// other; any other index (old) lists the journal's names. The fields tell
// records apart that list one name in one index and another in the other;
// where they can't (two records alike), the kind of index must.
struct reading {
    const renumlog& log;
    const renumrun& r;
    const std::vector<std::vector<std::string>>& found;
    std::unordered_map<std::string_view, uint32_t> byname{};  // a journal name's first record

    bool like(uint32_t p, uint32_t k) const {
        if (log.old) return true;  // it kept no fields
        const uint64_t f = log.recs[k].fields;
        return f == renumfieldsum(r.recs[p], true) || f == renumfieldsum(r.recs[p], false);
    }
    bool home(uint32_t k) const {
        const std::vector<std::string>& names = found[k];
        return std::find(names.begin(), names.end(), renumtarget(k).s) != names.end();
    }
    std::string_view name(uint32_t p) const { return renumlisted(r, p); }
    // Record k may be listed at p in an index of this kind.
    bool may(renumkind kind, uint32_t p, uint32_t k) const {
        const std::string_view n = name(p);
        if (!like(p, k)) return false;
        if (kind == renumkind::old) return n == log.recs[k].name;
        if (n == renumtarget(k).s) return k == p || home(k);
        if (n == log.recs[k].name) return k == p || !home(k);
        return k == p && std::find(found[p].begin(), found[p].end(), n) != found[p].end();
    }
    // The records, other than p itself, that may be listed at p.
    bool other(renumkind kind, uint32_t p) const {
        const std::string_view n = name(p);
        const uint32_t k = renumtargetno(n);
        if (k != p && k < log.recs.size() && may(kind, p, k)) return true;
        auto it = byname.find(n);
        return it != byname.end() && n != log.recs[p].name && may(kind, p, it->second);
    }
    // Position p is record p in an index of this kind, and no other may be.
    bool is(renumkind kind, uint32_t p) const { return may(kind, p, p) && !other(kind, p); }
    // Some record may be listed at p.
    bool any(renumkind kind, uint32_t p) const { return may(kind, p, p) || other(kind, p); }
};

// The first position whose record is not the journal's at that position, or
// could be another of its records; renumnone when each is the journal's.
uint32_t misplaced(const reading& rd, renumkind kind, uint32_t count) {
    if (kind != renumkind::unknown) {
        for (uint32_t p = 0; p < count; p++)
            if (!rd.is(kind, p)) return p;
        return renumnone;
    }
    // Either kind: the index must read as the journal's records in order
    // in one, and as nothing else whole in the other.
    const uint32_t asold = misplaced(rd, renumkind::old, count);
    const uint32_t asours = misplaced(rd, renumkind::ours, count);
    if (asold == renumnone && asours == renumnone) return renumnone;
    if (asold != renumnone && asours != renumnone) return std::min(asold, asours);
    const renumkind other = asold == renumnone ? renumkind::ours : renumkind::old;
    for (uint32_t p = 0; p < count; p++)
        if (!rd.any(other, p)) return renumnone;  // not an index of the other kind
    return asold == renumnone ? asours : asold;
}

}  // namespace

uint32_t renummisplaced(const renumrun& r, const renumlog& log, renumkind kind,
                        const std::vector<std::vector<std::string>>& found, uint32_t count) {
    reading rd{log, r, found};
    for (uint32_t i = 0; i < log.recs.size(); i++) rd.byname.emplace(log.recs[i].name, i);
    return misplaced(rd, kind, count);
}

// A killed run's journal: each record's file is found again by its inode,
// under the names this update gives it: its listed name, its new name or a
// set-aside name. Another name the file has (a hard link, listed by another
// record or by none) is never taken nor removed. A file under its new name
// and under another of those too was cut short between a link and an
// unlink, and keeps the new name. Records past the journal's were added to
// the index after it was written: the caller leaves them out of the run.
renumresume renumfindfiles(renumrun& r, const renumlog& log, uint32_t* differs,
                           const std::string& dir, const std::string& real) {
    // Records that a plain run found to be one file (hard links) share an
    // inode: each is told its names by a chain from the first.
    std::unordered_map<ino_t, uint32_t> byino;
    std::vector<uint32_t> nextsame(log.recs.size(), renumnone);
    for (uint32_t i = log.recs.size(); i-- > 0;) {
        if (!log.recs[i].ino) continue;
        auto [it, fresh] = byino.emplace(log.recs[i].ino, i);
        if (!fresh) {
            nextsame[i] = it->second;
            it->second = i;
        }
    }
    std::vector<std::vector<std::string>> found(r.recs.size());
    // A listing cut short would take the files it missed as gone, and the
    // rerun would then lose where they are: it stops the run instead.
    renumdirptr d{opendir(".")};
    if (!d) return renumresume::unlisted;
    const bool listingino = renumtrustlisting(dirfd(d.get()));
    errno = 0;
    while (const dirent* ent = readdir(d.get())) {
        const ino_t ino = renumfileino(dirfd(d.get()), ent, listingino);
        if (ino == 0 && errno != ENOENT) return renumresume::unlisted;
        auto it = byino.find(ino);
        errno = 0;
        if (it == byino.end()) continue;
        const std::string_view name(ent->d_name);
        const bool shared = nextsame[it->second] != renumnone;
        for (uint32_t i = it->second; i != renumnone; i = nextsame[i]) {
            if (i >= r.recs.size()) continue;
            const std::string_view listed(log.recs[i].name);
            // A set-aside name tells whose file it holds; where one file is
            // two records', it must.
            const bool aside = name.starts_with(renumtmp) &&
                               (!shared || name.substr(renumtmp.size()).starts_with(listed));
            if (name == renumlisted(r, i) || name == renumtarget(i).s || aside)
                found[i].emplace_back(name);
        }
    }
    if (errno != 0) return renumresume::unlisted;
    // The index is the one the journal was written for when each record is
    // the journal's, by its name from then, or the name this update gives
    // its file (the new index was in place when the run died), and by its
    // fields; and when no other record of the journal could be it. A
    // message marked read since is the same record, and records may have
    // been added after them: they are the index's, not the update's.
    if (const uint32_t p = renummisplaced(r, log, renumindexkind(dir, real, log), found,
                                          static_cast<uint32_t>(r.recs.size()));
        p != renumnone) {
        *differs = p;
        return renumresume::other;
    }
    const bool apart = std::any_of(found.begin(), found.end(), [&r](const auto& names) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return !renumsamefile(r, name, names[0]);
        });
    });
    if (apart) return renumresume::apart;
    // Where each record's file is: under its new name, else its listed
    // name, else a set-aside name. Found under one of the names this update
    // gives it, with its inode, it is that message even when a mail client
    // has written to it since: a file that took a moved file's inode number
    // under some other name is never looked at.
    std::vector<std::string> at(r.recs.size());
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        const std::vector<std::string>& names = found[i];
        if (names.empty()) continue;
        auto it = std::find(names.begin(), names.end(), renumtarget(i).s);
        if (it == names.end()) it = std::find(names.begin(), names.end(), renumlisted(r, i));
        at[i] = it == names.end() ? names.front() : *it;
    }
    r.ino.assign(r.recs.size(), 0);
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        const renumentry& e = log.recs[i];
        const renumname to = renumtarget(i);
        if (e.same && e.same <= i && r.state[i] == renumst::open) {
            renumcomplain(
                r, i, renumlisted(r, i), to.s,
                ("it is the same file as '" + renumshown(renumlisted(r, e.same - 1)) + "'")
                    .c_str());
            r.state[i] = renumst::kept;
            continue;
        }
        if (at[i].empty()) continue;
        r.ino[i] = e.ino;
        for (const std::string& other : found[i])
            if (other != at[i] && other != to.s) (void)renumfsunlink(r, other);
        if (at[i] != renumlisted(r, i)) r.away[i] = at[i];
    }
    return renumresume::ok;
}

// Two records naming one file: the later one is refused, so that each file
// of the journal belongs to one record. A record that will be refused anyway
// has no file in the journal. Returns, for each record, the record whose
// file it is too, or renumnone.
std::vector<uint32_t> renumrefuselinked(renumrun& r) {
    std::vector<uint32_t> same(r.recs.size(), renumnone);
    // The first record of each inode, in one flat table of record + 1 (0:
    // empty), probed from the inode's mixed bits: one allocation for all.
    size_t size = 16;
    while (size < r.recs.size() + r.recs.size() / 2) size *= 2;
    std::vector<uint32_t> first(size, 0);
    const size_t mask = size - 1;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (renumunfit(r, i)) r.ino[i] = 0;
        if (!r.ino[i]) continue;
        const auto ino = static_cast<uint64_t>(r.ino[i]);
        size_t at = static_cast<size_t>((ino * 0x9E3779B97F4A7C15ull) >> 20) & mask;
        while (first[at] && r.ino[first[at] - 1] != r.ino[i]) at = (at + 1) & mask;
        if (!first[at]) {
            first[at] = i + 1;
            continue;
        }
        const uint32_t k = first[at] - 1;
        renumcomplain(r, i, renumlisted(r, i), renumtarget(i).s,
                      ("it is the same file as '" + renumshown(renumlisted(r, k)) + "'").c_str());
        r.state[i] = renumst::kept;
        r.ino[i] = 0;
        same[i] = k;
    }
    return same;
}

// A file an earlier run set aside, whose listed name another file now has,
// for a record whose new name another record keeps in the index: it could
// go neither on nor back, and would stay under its set-aside name.
uint32_t renumstranded(const renumrun& r) {
    for (const auto& [i, name] : r.away) {
        if (!name.starts_with(renumtmp) || r.state[i] != renumst::open ||
            renumlookup(r, renumlisted(r, i)) == 0)
            continue;
        const renumname to = renumtarget(i);
        const uint32_t j = renumfindname(r, to.s);
        if (j != renumnone && j != i && r.ino[j] == 0 && !r.away.contains(j)) return i;
        for (uint32_t k = 0; k < r.recs.size(); k++)
            if (r.state[k] == renumst::twin && to.s == std::string_view(renumlisted(r, k)))
                return i;
    }
    return renumnone;
}
