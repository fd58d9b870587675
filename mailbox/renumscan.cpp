// What a renumbering run starts from: the records by number, their names
// indexed, the one listing of the working directory, the names that lead to
// the index (never moved), and what an earlier run set aside.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/meta.h"
#include "mailbox/renumrun.h"

renumrec renumrecof(const llnode* rec) {
    renumrec out;
    llsetfield(out.datafile, sizeof out.datafile, rec->datafile);
    const std::string_view fields[5] = {rec->to, rec->from, rec->subject, rec->cc, rec->bcc};
    out.fields = renumfieldshash(fields);
    out.read = rec->read == MSGREAD;
    return out;
}

std::vector<renumrec> renumrecsof(const llnode* head, std::vector<llnode*>* nodes) {
    std::vector<llnode*> mine;
    std::vector<llnode*>& by = nodes ? *nodes : mine;
    by.clear();
    const int count = head->count > 0 ? head->count : 0;
    by.reserve(static_cast<size_t>(count));
    for (llnode* rec = head->next;
         rec && rec->no == static_cast<int>(by.size()) + 1 && rec->no <= count; rec = rec->next)
        by.push_back(rec);
    if (by.size() != static_cast<size_t>(count) || (head->no >= 1 && head->no <= count)) {
        by.clear();
        std::vector<llnode*> byno(static_cast<size_t>(count) + 1, nullptr);
        for (const llnode* rec = head; rec; rec = rec->next)
            if (rec->no >= 1 && rec->no <= count && !byno[rec->no])
                byno[rec->no] = const_cast<llnode*>(rec);
        for (int n = 1; n <= count; n++) {
            if (!byno[n]) break;  // a list numbered with a hole: the records before it
            by.push_back(byno[n]);
        }
    }
    std::vector<renumrec> recs;
    recs.reserve(by.size());
    for (const llnode* rec : by) recs.push_back(renumrecof(rec));
    return recs;
}

void renumnamenodes(const std::vector<renumrec>& recs, const std::vector<llnode*>& nodes) {
    for (size_t i = 0; i < recs.size() && i < nodes.size(); i++)
        if (strcmp(nodes[i]->datafile, recs[i].datafile) != 0)
            llsetfield(nodes[i]->datafile, sizeof nodes[i]->datafile, recs[i].datafile);
}

namespace {

// A table of a million records is read at random, about a page a read: on
// huge pages, far fewer of those reads miss the TLB. Only advice, asked of
// the table's whole huge pages before they are first touched: where the
// system has none to give, it stays as it was.
template <class T>
void reservehuge(std::vector<T>& v, size_t n) {
    v.reserve(n);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    if (n * sizeof(T) < 2 * huge) return;
    const auto from = (reinterpret_cast<uintptr_t>(v.data()) + huge - 1) & ~(huge - 1);
    const auto to = reinterpret_cast<uintptr_t>(v.data() + v.capacity()) & ~(huge - 1);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the table's own pages
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
}

// The plain case of renumload, read in large pieces and split at newlines:
// an index read whole, up to END, where no record's field is longer than
// its limit, so that no line is cut. true when it was; false, with *recs
// holding whatever it took, for anything else (a line over a limit, a name
// that is not one, no END, a file that can't be opened or read), which the
// full reader then reads again from the start, with its messages.
bool loadplain(const char* fname, std::vector<renumrec>* recs) {
    // Only a regular file: anything else is opened, and read, once only,
    // by the full reader, as it always was.
    struct stat st;
    if (stat(fname, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const renumfd fd{open(fname, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // Room for the records the size promises, up to what a large index
    // holds: a sparse file of a terabyte promises more than memory does.
    constexpr size_t most = size_t{1} << 22;
    reservehuge(*recs, std::min(static_cast<size_t>(st.st_size) / 40, most));
    constexpr size_t room = size_t{1} << 16;
    // The longest line a field keeps whole, newline not counted.
    constexpr size_t fieldmax = sizeof(llnode::to) - 1;
    std::vector<char> buf(room);
    size_t have = 0;  // bytes in buf
    size_t at = 0;    // the next line's start
    bool eof = false;
    int line = 0;  // of the index: 0 and 1 the owner's, then 7 a record
    // The record under way: where it starts in buf, and its fields, which
    // a read moves along with it.
    size_t begun = 0;
    size_t from[5] = {}, len[5] = {};
    renumrec rec;
    for (;;) {
        const char* nl = static_cast<const char*>(memchr(buf.data() + at, '\n', have - at));
        if (!nl && !eof) {
            const size_t keep = line >= 2 && (line - 2) % 7 != 0 ? begun : at;
            // A record, or an owner's line, that does not fit the buffer is
            // no plain index's.
            if (keep == 0 && have == room) return false;
            memmove(buf.data(), buf.data() + keep, have - keep);
            have -= keep;
            at -= keep;
            begun -= std::min(begun, keep);
            for (size_t& f : from) f -= std::min(f, keep);
            ssize_t n;
            do n = read(fd.fd, buf.data() + have, room - have);
            while (n < 0 && errno == EINTR);
            if (n < 0) return false;
            eof = n == 0;
            have += static_cast<size_t>(n);
            continue;
        }
        if (!nl && at == have) return false;  // the index ends before END
        const size_t end = nl ? static_cast<size_t>(nl - buf.data()) : have;
        const std::string_view text(buf.data() + at, end - at);
        const size_t start = at;
        at = nl ? end + 1 : have;
        const int k = line < 2 ? -1 : (line - 2) % 7;
        line++;
        if (k < 0) continue;  // the owner's lines, read and not kept
        if (k == 0) {
            if (text == "END") return true;
            if (text.size() >= sizeof rec.datafile || text.find('\0') != std::string_view::npos)
                return false;
            rec = renumrec{};
            memcpy(rec.datafile, text.data(), text.size());
            begun = start;
        } else if (k < 6) {
            if (text.size() > fieldmax) return false;
            // As a list's field holds it: up to a NUL byte.
            from[k - 1] = start;
            len[k - 1] = std::min(text.find('\0'), text.size());
        } else {
            std::string_view fields[5];
            for (int f = 0; f < 5; f++) fields[f] = std::string_view(buf.data() + from[f], len[f]);
            rec.fields = renumfieldshash(fields);
            rec.read = !text.empty() && text[0] == 'R';
            recs->push_back(rec);
        }
    }
}

}  // namespace

int renumload(const char* fname, std::vector<renumrec>* recs) {
    recs->clear();
    if (loadplain(fname, recs)) return 1;
    recs->clear();
    return readmetaeach(fname, [recs](const metarec& m) {
        renumrec& rec = recs->emplace_back();
        // The reader refuses a longer name: this is all of it.
        memcpy(rec.datafile, m.datafile.data(),
               std::min(m.datafile.size(), sizeof rec.datafile - 1));
        const std::string_view fields[5] = {m.to, m.from, m.subject, m.cc, m.bcc};
        rec.fields = renumfieldshash(fields);
        rec.read = m.read;
    });
}

namespace {

uint32_t namehash(std::string_view s) {
    return std::accumulate(s.begin(), s.end(), 2166136261u, [](uint32_t h, char c) {
        return (h ^ static_cast<unsigned char>(c)) * 16777619u;
    });
}

}  // namespace

namespace {

uint32_t findhashed(const renumrun& r, uint64_t h, std::string_view name) {
    const size_t mask = r.slots.size() - 1;
    for (size_t at = h & mask;; at = (at + 1) & mask) {
        const uint64_t slot = r.slots[at];
        if (!slot) return renumnone;
        const auto i = static_cast<uint32_t>(slot) - 1;
        if (slot >> 32 == h && renumlists(r, i, name)) return i;
    }
}

}  // namespace

uint32_t renumfindname(const renumrun& r, std::string_view name) {
    if (r.slots.empty()) return renumnone;
    return findhashed(r, namehash(name), name);
}

namespace {

// The name table and the records are far larger than the caches, and a
// directory lists its names in no order of theirs: one name at a time, each
// lookup would wait on memory twice, for its slot and for its record. So
// the names of a listing are looked up a batch at a time, each step's
// memory fetched for the whole batch before any of it is read.
struct namebatch {
    static constexpr size_t most = 32;
    struct entry {
        uint64_t h;
        ino_t ino;
        uint8_t len;
        char name[sizeof renumrec::datafile];
    };
    entry at[most];
    size_t n = 0;
};

void lookupbatch(renumrun& r, namebatch& b) {
    const size_t mask = r.slots.size() - 1;
    for (size_t j = 0; j < b.n; j++) __builtin_prefetch(&r.slots[b.at[j].h & mask]);
    for (size_t j = 0; j < b.n; j++)
        if (const uint64_t slot = r.slots[b.at[j].h & mask])
            __builtin_prefetch(r.recs[static_cast<uint32_t>(slot) - 1].datafile);
    for (size_t j = 0; j < b.n; j++) {
        const namebatch::entry& e = b.at[j];
        const uint32_t i = findhashed(r, e.h, std::string_view(e.name, e.len));
        if (i != renumnone) r.ino[i] = e.ino;
    }
    b.n = 0;
}

// A listed name for lookupbatch; one too long to be any record's is none.
void batchname(renumrun& r, namebatch& b, std::string_view name, ino_t ino) {
    if (name.size() >= sizeof renumrec::datafile || r.slots.empty()) return;
    namebatch::entry& e = b.at[b.n++];
    e.h = namehash(name);
    e.ino = ino;
    e.len = static_cast<uint8_t>(name.size());
    memcpy(e.name, name.data(), name.size());
    if (b.n == namebatch::most) lookupbatch(r, b);
}

// Record k's name under hash h; a record listing a name an earlier one
// lists is a twin.
void insertname(renumrun& r, uint32_t k, uint64_t h, size_t mask) {
    const std::string_view name(renumlisted(r, k));
    for (size_t at = h & mask;; at = (at + 1) & mask) {
        const uint64_t slot = r.slots[at];
        if (!slot) {
            r.slots[at] = h << 32 | (k + 1);
            return;
        }
        if (slot >> 32 == h && renumlists(r, static_cast<uint32_t>(slot) - 1, name)) {
            r.state[k] = renumst::twin;
            return;
        }
    }
}

void indexnames(renumrun& r) {
    size_t size = 16;
    while (size < r.recs.size() + r.recs.size() / 3) size *= 2;
    reservehuge(r.slots, size);
    r.slots.assign(size, 0);
    const size_t mask = size - 1;
    // Each name's slot is fetched a few records ahead of its insert.
    constexpr uint32_t ahead = 16;
    std::array<uint32_t, ahead> hashes{};
    const auto n = static_cast<uint32_t>(r.recs.size());
    for (uint32_t i = 0; i < n + ahead; i++) {
        if (i >= ahead) insertname(r, i - ahead, hashes[i % ahead], mask);
        if (i < n) {
            hashes[i % ahead] = namehash(renumlisted(r, i));
            __builtin_prefetch(&r.slots[hashes[i % ahead] & mask], 1);
        }
    }
}

// Identities of the index and of each symbolic link met on the way to it:
// none of them may be renamed away, or the path would no longer lead to the
// index. The names they have in this directory are found by their inode when
// the directory is listed; those reached through this very directory are
// known by name already.
struct keepset {
    std::vector<renumid> ids;
    std::vector<std::string> names;
};

void pathlinks(const char* fname, const renumid& here, keepset& k) {
    std::string done;               // resolved so far, free of links
    std::vector<std::string> todo;  // components still to walk, last first
    auto push = [&todo](std::string_view path) {
        size_t end = path.size();
        while (end > 0) {
            const size_t slash = path.rfind('/', end - 1);
            const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
            if (end > start) todo.emplace_back(path.substr(start, end - start));
            if (slash == std::string_view::npos) break;
            end = slash;
        }
    };
    std::string_view path(fname);
    if (path.starts_with('/')) done.assign(1, '/');
    push(path);
    for (int hops = 0; !todo.empty() && hops < 40;) {
        const std::string comp = std::move(todo.back());
        todo.pop_back();
        if (comp == ".") continue;
        const std::string dir = done.empty() ? "." : done;
        std::string next = done;
        if (!next.empty() && next != "/") next += '/';
        next += comp;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) return;
        struct stat dst;
        const bool inhere =
            stat(dir.c_str(), &dst) == 0 && renumid{dst.st_dev, dst.st_ino} == here && comp != "..";
        if (!S_ISLNK(st.st_mode)) {
            if (todo.empty() && inhere) k.names.push_back(comp);
            done = std::move(next);
            continue;
        }
        hops++;
        k.ids.push_back({st.st_dev, st.st_ino});
        if (inhere) k.names.push_back(comp);
        std::string to(PATH_MAX, '\0');
        const ssize_t n = readlink(next.c_str(), to.data(), to.size());
        if (n <= 0) return;
        to.resize(static_cast<size_t>(n));
        if (to.starts_with('/')) done.assign(1, '/');
        push(to);
    }
}

}  // namespace

// A file's inode as a listing gives it. An overlay of file systems gives
// the inode of the layer a renamed file now lies in, not the one the file
// reports, so there each file is asked itself.
bool renumtrustlisting(int dirfd) {
    struct statfs fs;
    constexpr long overlay = 0x794c7630;
    return fstatfs(dirfd, &fs) == 0 && fs.f_type != overlay;
}

ino_t renumfileino(int dirfd, const dirent* ent, bool listingino) {
    if (listingino) return ent->d_ino;
    struct stat st;
    return fstatat(dirfd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

namespace {

// Lists the directory once: the temporary names left by an earlier run, the
// names that lead to the index, each record's inode when the run needs it
// (wantino), and, for a dry run, every name.
bool survey(renumrun& r, const keepset& k, bool wantino) {
    renumdirptr d(opendir("."));
    if (!d) return false;
    struct stat st;
    if (fstat(dirfd(d.get()), &st) == 0) r.here = {st.st_dev, st.st_ino};
    if (wantino) {
        reservehuge(r.ino, r.recs.size());
        r.ino.assign(r.recs.size(), 0);
    }
    const bool listingino = renumtrustlisting(dirfd(d.get()));
    namebatch batch;
    errno = 0;
    while (const dirent* ent = readdir(d.get())) {
        const std::string_view name(ent->d_name);
        if (name.starts_with(renumtmp)) r.temps.emplace_back(name);
        for (const renumid& id : k.ids) {
            struct stat fst;
            if (ent->d_ino == id.ino &&
                fstatat(dirfd(d.get()), ent->d_name, &fst, AT_SYMLINK_NOFOLLOW) == 0 &&
                renumid{fst.st_dev, fst.st_ino} == id)
                r.keep.emplace_back(name);
        }
        if (r.dry) r.names.emplace(name, ent->d_ino);
        if (wantino && listingino) {
            batchname(r, batch, name, ent->d_ino);
        } else if (wantino) {
            const uint32_t i = renumfindname(r, name);
            if (i != renumnone) r.ino[i] = renumfileino(dirfd(d.get()), ent, listingino);
        }
    }
    lookupbatch(r, batch);
    for (const std::string& name : k.names) r.keep.push_back(name);
    return errno == 0;
}

// A temporary name ".msgseq-temp-<name>.<ino>" holds the file of the record
// listing <name>, set aside so that the file with inode <ino>, that of the
// record whose new name <name> is, could move in. It is taken for the record
// listing <name> when <name> itself is gone, or when <name> holds that very
// inode: the ring was cut short there. Any other such file, and one named
// ".msgseq-temp-<name>" alone, as an older run named them, is taken only when
// <name> is gone: otherwise the listed name wins, and the other file is left
// alone.
void claimtemps(renumrun& r) {
    for (const std::string& temp : r.temps) {
        const std::string_view rest = std::string_view{temp}.substr(renumtmp.size());
        uint32_t i = renumnone;
        ino_t moved = 0;
        const size_t dot = rest.rfind('.');
        if (dot != std::string_view::npos) {
            const std::string digits(rest.substr(dot + 1));
            if (!digits.empty() && digits.size() < 20 &&
                digits.find_first_not_of("0123456789") == std::string::npos &&
                (i = renumfindname(r, rest.substr(0, dot))) != renumnone)
                moved = static_cast<ino_t>(strtoull(digits.c_str(), nullptr, 10));
        }
        if (i == renumnone) i = renumfindname(r, rest);
        if (i == renumnone || r.state[i] != renumst::open || !*renumlisted(r, i) ||
            renumforeign(renumlisted(r, i)))
            continue;
        const ino_t there = renumlookup(r, renumlisted(r, i));
        const uint32_t k = renumtargetno(renumlisted(r, i));
        if (renumsamefile(r, temp, renumlisted(r, i))) {
            // Set aside by a link whose unlink was cut short: undo it, where
            // the two names are two entries.
            if (renumtwoentries(r, temp, renumlisted(r, i))) (void)renumfsunlink(r, temp);
            continue;
        }
        if (there == 0) {
            r.away[i] = temp;
        } else if (moved != 0 && there == moved && k < r.recs.size() && k != i &&
                   r.state[k] == renumst::open) {
            r.away[i] = temp;
            r.state[k] = renumst::stayed;
            if (!r.ino.empty()) r.ino[k] = there;
            // Its move in was a link whose unlink was cut short: finish it.
            if (*renumlisted(r, k) && !renumforeign(renumlisted(r, k)) &&
                renumtwoentries(r, renumlisted(r, k), renumlisted(r, i)))
                (void)renumfsunlink(r, renumlisted(r, k));
        } else {
            continue;
        }
        if (!r.ino.empty()) r.ino[i] = renumlookup(r, temp);
    }
}

}  // namespace

// The names that a record can't be moved under, or be moved from.
const char* renumunfit(const renumrun& r, uint32_t i) {
    const std::string_view name(renumlisted(r, i));
    if (renumforeign(name)) return "not a name in this directory";
    if (std::find(r.keep.begin(), r.keep.end(), name) != r.keep.end())
        return "it is the metafile being read";
    if (r.state[i] == renumst::twin) return "listed twice in the index";
    return nullptr;
}

namespace {

void keepfor(const char* fname, const renumid& here, keepset& k) {
    const int fd = open(fname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0) k.ids.push_back({st.st_dev, st.st_ino});
        close(fd);
    }
    pathlinks(fname, here, k);
}

}  // namespace

renumid renumhere() {
    struct stat st;
    return stat(".", &st) == 0 ? renumid{st.st_dev, st.st_ino} : renumid{};
}

// Takes the records and lists the directory. A run that starts afresh then
// claims what an earlier one set aside; one that resumes a journal finds its
// files by inode instead.
bool renumstart(renumrun& r, const char* fname, const renumopts* opts, bool wantino,
                bool resume) {
    r.opts = opts;
    r.dry = opts->dryrun;
    r.state.assign(r.recs.size(), renumst::open);
    indexnames(r);
    keepset k;
    keepfor(fname, renumhere(), k);
    if (!survey(r, k, wantino)) {
        renumsay(opts, "cannot read directory '.': %s\n", strerror(errno));
        return false;
    }
    if (!resume) claimtemps(r);
    return true;
}
