// The commit of an update: the index as it is when the update ends, with the
// new names written into the records the update renamed and every other
// byte kept. Another program may write to the index meanwhile without a
// lock (a delivery adding a record, a client marking a message read, or
// saving the index whole and renaming it over the old one): what it wrote
// stays. The index is worked on as text, split into lines as the reader
// splits them, so that nothing the reader would see differently is ever
// written; its records are known by the names they were loaded with and by
// their fields, wherever they stand then, never by their places alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/renumrun.h"

namespace {

// A line of the index's text: offset and length, its newline left out.
struct span {
    size_t from = 0, len = 0;
};

// Where each record's name and read flag are in the index's text, and the
// sum of its other fields.
struct splitindex {
    std::vector<span> names, flags;
    std::vector<uint64_t> sums;
    size_t end = 0;      // where its "END" line starts
    bool ended = false;  // that line was found
};

// The lines as the reader takes them: up to a newline, or METALINE
// characters of a longer line.
struct lines {
    std::string_view text;
    size_t at = 0;
    // The next line without its newline; false when the text ends first.
    bool next(size_t* from, size_t* len) {
        if (at >= text.size()) return false;
        const size_t nl = text.find('\n', at);
        const size_t end = std::min(nl == std::string_view::npos ? text.size() : nl + 1,
                                    at + static_cast<size_t>(METALINE));
        *from = at;
        *len = end - at - (text[end - 1] == '\n');
        at = end;
        return true;
    }
};

splitindex split(std::string_view text, size_t records) {
    splitindex s;
    // Room for the update's records and a few added since, made once.
    s.names.reserve(records + 16);
    s.flags.reserve(records + 16);
    s.sums.reserve(records + 16);
    lines ls{text};
    span name, field[6];
    if (!ls.next(&name.from, &name.len) || !ls.next(&name.from, &name.len)) return s;
    while (ls.next(&name.from, &name.len)) {
        if (text.substr(name.from, name.len) == "END") {
            s.end = name.from;
            s.ended = true;
            return s;
        }
        int fields = 0;
        while (fields < 6 && ls.next(&field[fields].from, &field[fields].len)) fields++;
        // A record not yet whole: a writer is still at it.
        const span& flag = field[5];
        if (fields < 6 || flag.from + flag.len >= text.size()) return s;
        std::string_view values[5];
        for (int k = 0; k < 5; k++) values[k] = text.substr(field[k].from, field[k].len);
        s.names.push_back(name);
        s.flags.push_back(flag);
        s.sums.push_back(renumsum(values, false));
    }
    return s;
}

// The index's text, read whole while its writer is not halfway through a
// record: retried for about a second.
bool readwhole(int fd, std::string* text, splitindex* s, size_t records) {
    for (int tries = 0; tries < 100; tries++) {
        if (!durreadfd(fd, text)) return false;
        *s = split(*text, records);
        if (s->ended) return true;
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    errno = 0;
    return false;
}

// Record numbers by a name of theirs, in one flat table: each slot holds
// the name's hash in its high half and the record + 1 in its low half (0:
// empty); the names themselves stay where name(i) finds them. The first
// record added under a name keeps it.
struct nametable {
    std::vector<uint64_t> slots;

    static uint32_t hash(std::string_view s) {
        uint32_t h = 2166136261u;
        for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        return h;
    }
    void size(size_t n) {
        size_t room = 16;
        while (room < n + n / 2) room *= 2;
        slots.assign(room, 0);
    }
    template <typename F>
    void add(std::string_view key, uint32_t i, const F& name) {
        const uint64_t h = hash(key);
        const size_t mask = slots.size() - 1;
        for (size_t at = h & mask;; at = (at + 1) & mask) {
            if (!slots[at]) {
                slots[at] = h << 32 | (i + 1);
                return;
            }
            if (slots[at] >> 32 == h && name(static_cast<uint32_t>(slots[at]) - 1) == key) return;
        }
    }
    // The record under key, or renumnone.
    template <typename F>
    uint32_t find(std::string_view key, const F& name) const {
        if (slots.empty()) return renumnone;
        const uint64_t h = hash(key);
        const size_t mask = slots.size() - 1;
        for (size_t at = h & mask;; at = (at + 1) & mask) {
            if (!slots[at]) return renumnone;
            const auto i = static_cast<uint32_t>(slots[at]) - 1;
            if (slots[at] >> 32 == h && name(i) == key) return i;
        }
    }
};

// What the update knows of its records: each one's name as loaded, and the
// sum of its other fields. The tables by name are made only when some
// record of the index is not the update's record at that place: an index
// that still holds the update's records in order, as it nearly always does,
// is matched place by place.
struct known {
    const std::vector<std::string>& was;
    const std::vector<renumrec>& recs;
    nametable byname{};
    nametable bynew{};  // the names it gives, where new
    std::vector<uint64_t> sums{};
    bool tabled = false;

    std::string_view old(uint32_t i) const { return was[i]; }
    std::string_view given(uint32_t i) const { return recs[i].datafile; }
    void table() {
        tabled = true;
        byname.size(was.size());
        bynew.size(was.size());
        for (uint32_t i = 0; i < was.size(); i++) {
            byname.add(was[i], i, [this](uint32_t j) { return old(j); });
            if (was[i] != recs[i].datafile)
                bynew.add(recs[i].datafile, i, [this](uint32_t j) { return given(j); });
        }
    }
    // The update's record that the index's record at place j, listing name,
    // is: record j itself when it lists the name record j was loaded with
    // (the update's names are all different: an index listing one twice is
    // refused before the update begins), else the one loaded with that name.
    uint32_t loaded(uint32_t j, std::string_view name) {
        if (j < was.size() && name == was[j]) return j;
        if (!tabled) table();
        return byname.find(name, [this](uint32_t i) { return old(i); });
    }
    uint32_t renamed(std::string_view name) {
        if (!tabled) table();
        return bynew.find(name, [this](uint32_t i) { return given(i); });
    }
};

known knownof(const std::vector<std::string>& was, const std::vector<renumrec>& recs) {
    known k{was, recs};
    k.sums.reserve(was.size());
    for (uint32_t i = 0; i < was.size(); i++) k.sums.push_back(renumfieldsum(recs[i], false));
    return k;
}

// text as the writer writes it (read flags as "R" or "N", nothing after
// "END"), each of the update's records found by its loaded name and its
// fields, wherever it stands, and given its new name; false (and *bad the
// record) when one of them is gone, changed, listed twice, or another
// record lists a name the update gives.
bool rename(const std::string& text, const splitindex& s, known& k,
            const std::vector<renumrec>& recs, std::string* out, uint32_t* bad) {
    out->clear();
    out->reserve(text.size() + recs.size() * 4);
    size_t copied = 0;
    auto put = [&](span at, std::string_view with) {
        out->append(text, copied, at.from - copied);
        out->append(with);
        copied = at.from + at.len;
    };
    std::vector<bool> seen(k.sums.size(), false);
    for (uint32_t j = 0; j < s.names.size(); j++) {
        const std::string_view name(text.data() + s.names[j].from, s.names[j].len);
        if (const uint32_t i = k.loaded(j, name); i != renumnone) {
            if (seen[i] || s.sums[j] != k.sums[i]) {
                *bad = i;
                return false;
            }
            seen[i] = true;
            put(s.names[j], recs[i].datafile);
        } else if (const uint32_t at = k.renamed(name); at != renumnone) {
            *bad = at;
            return false;
        }
        put(s.flags[j], text[s.flags[j].from] == 'R' && s.flags[j].len ? "R" : "N");
    }
    for (uint32_t i = 0; i < seen.size(); i++)
        if (!seen[i]) {
            *bad = i;
            return false;
        }
    put({s.end, text.size() - s.end}, "END\n");
    return true;
}

bool samefile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// out written whole to tmp and synced, with the index's mode bits (and
// owner, where this process may give it): not yet in the index's place.
bool writeaside(const std::string& tmp, const struct stat& like, const std::string& out,
                struct stat* made) {
    if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool give = geteuid() == 0 && (like.st_uid != geteuid() || like.st_gid != getegid());
    bool ok = (!give || fchown(fd, like.st_uid, like.st_gid) == 0) &&
              fchmod(fd, like.st_mode & 07777) == 0;
    for (size_t at = 0; ok && at < out.size();) {
        const ssize_t n = write(fd, out.data() + at, out.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0 && fstat(fd, made) == 0;
    const int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        (void)unlink(tmp.c_str());
        errno = err ? err : EIO;
    }
    return ok;
}

// The mark: a link of the new index where the file system has links, else
// an empty file whose name alone tells the inode.
bool marked(const std::string& tmp, const std::string& mark) {
    if (link(tmp.c_str(), mark.c_str()) == 0) return true;
    if (errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP && errno != ENOSYS) return false;
    const int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd >= 0 && close(fd) == 0;
}

// Undoes a round that could not be put in place: its mark first, so that
// no rerun takes the index for the update's.
void dropround(const std::string& mark, const std::string& tmp) {
    const int err = errno;
    if (!mark.empty()) (void)unlink(mark.c_str());
    (void)unlink(tmp.c_str());
    errno = err;
}

}  // namespace

renummerged renummerge(const std::string& real, const std::string& tmp,
                       const std::vector<std::string>& was, const std::vector<renumrec>& recs,
                       uint32_t* bad) {
    known k = knownof(was, recs);
    const std::string work = durparent(tmp);
    std::string text, again, out;
    splitindex s;
    for (int round = 0; round < 100; round++) {
        // The index as it is now: another program may have put a file of
        // its own in its place since the last round.
        const renumfd cur{open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
        struct stat base;
        if (cur.fd < 0 || fstat(cur.fd, &base) != 0) return renummerged::failed;
        if (!S_ISREG(base.st_mode)) {
            errno = EINVAL;
            return renummerged::failed;
        }
        if (!readwhole(cur.fd, &text, &s, recs.size())) return errno ? renummerged::failed : renummerged::partial;
        if (!rename(text, s, k, recs, &out, bad)) return renummerged::unplaced;
        struct stat made;
        if (!writeaside(tmp, base, out, &made)) return renummerged::failed;
        // The last look, under the locks: the index is still the file read,
        // and holds what was read. Else the round is made again from it.
        struct stat now;
        if (stat(real.c_str(), &now) != 0 || !samefile(now, base) || !durreadsame(cur.fd, text)) {
            dropround({}, tmp);
            continue;
        }
        // Marked as the update's before it goes in place, so that a rerun
        // tells the update's index from one another program wrote.
        const std::string mark = work + "/" + renummarker(made.st_ino);
        if (!marked(tmp, mark) || !dursyncdir(work)) {
            dropround(mark, tmp);
            return renummerged::failed;
        }
        // Swapped rather than renamed over: what stood in the index's place
        // then comes out under tmp, and tells whether another program put its
        // own there after the last look.
        if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, real.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno != EINVAL && errno != ENOSYS) {
                dropround(mark, tmp);
                return renummerged::failed;
            }
            // A file system that can't swap (NFS): the last look stands.
            if (rename(tmp.c_str(), real.c_str()) != 0) {
                dropround(mark, tmp);
                return renummerged::failed;
            }
            return dursyncdir(durparent(real)) ? renummerged::done : renummerged::failed;
        }
        struct stat gone;
        if (lstat(tmp.c_str(), &gone) == 0 && samefile(gone, base) && durreadsame(cur.fd, text)) {
            if (!dursyncdir(durparent(real))) return renummerged::failed;
            (void)unlink(tmp.c_str());
            return renummerged::done;
        }
        // Another program's index, or more written to the one read: it goes
        // back in place, and the next round merges it.
        // What comes back must be the update's index as written: one that
        // another program wrote to meanwhile is kept as it is.
        const bool swapped =
            renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, real.c_str(), RENAME_EXCHANGE) == 0;
        const renumfd mine{swapped ? open(tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1};
        struct stat back;
        if (mine.fd < 0 || fstat(mine.fd, &back) != 0 || !samefile(back, made) ||
            !durreadfd(mine.fd, &again) || again != out) {
            // Kept where no run removes it, nor goes on beside it.
            (void)rename(tmp.c_str(), (work + "/kept-index").c_str());
            return renummerged::late;
        }
        dropround(mark, tmp);
    }
    return renummerged::busy;
}
