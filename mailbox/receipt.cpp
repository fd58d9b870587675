// The receipt of a finished run (mailbox/receipt.h).
#include "mailbox/receipt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "mailbox/durable.h"
#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

namespace {

constexpr uint64_t prime = 1099511628211ull;
constexpr char ext[] = ".msgseq-receipt";
// More than any index a run loads in memory; a receipt claiming more is
// not one a run wrote.
constexpr uint64_t maxrecords = 16000000;
constexpr size_t maxbytes = size_t{2} << 30;

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

}  // namespace

void rcpthasher::add(const char* p, size_t n) {
    len += n;
    // A word begun by the bytes of earlier calls is finished first; the
    // sum is the same however the bytes are cut into calls.
    if (npend > 0) {
        while (npend < sizeof pend && n) {
            pend[npend++] = static_cast<unsigned char>(*p++);
            n--;
        }
        if (npend < sizeof pend) return;
        uint64_t w;
        memcpy(&w, pend, 8);
        h = (h ^ w) * prime;
        npend = 0;
    }
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        h = (h ^ w) * prime;
    }
    memcpy(pend, p, n);
    npend = n;
}

rcptsum rcpthasher::done() const {
    uint64_t x = h;
    for (size_t k = 0; k < npend; k++) x = (x ^ pend[k]) * prime;
    return {len, mix(x ^ len)};
}

rcptsum rcptsumof(std::string_view bytes) {
    rcpthasher s;
    s.add(bytes.data(), bytes.size());
    return s.done();
}

rcptindex rcptsumindex(const char* path, size_t records) {
    rcptindex out;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return out;
    struct stat st;
    // An index longer than any undo reads back is not summed: its size is
    // anyone's to set (a terabyte of hole after END costs no disk), and
    // reading it through would hold the run for an hour.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uintmax_t>(st.st_size) > DURREADMAX) {
        close(fd);
        return out;
    }
    // The body ends with the line that ends the last record: two owner
    // lines and seven a record. A record's read flag is left out of it: a
    // mail client that marks a message read leaves the index still the one
    // the run left, with the names it had.
    const uint64_t lines = 2 + 7 * static_cast<uint64_t>(records);
    uint64_t ln = 0;
    rcpthasher body, tail;
    static char buf[1 << 16];
    ssize_t n;
    size_t total = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        if ((total += static_cast<size_t>(n)) > DURREADMAX) break;
        const char* p = buf;
        const char* end = buf + n;
        // The lines between two read flags go to the sum in one piece.
        const char* run = p;
        while (p < end && ln < lines) {
            const auto* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl + 1 : end;
            if (ln >= 2 && (ln - 2) % 7 == 6) {
                body.add(run, static_cast<size_t>(p - run));
                if (nl) body.add("\n", 1);
                run = stop;
            }
            p = stop;
            ln += nl != nullptr;
        }
        body.add(run, static_cast<size_t>(p - run));
        tail.add(p, static_cast<size_t>(end - p));
    }
    close(fd);
    if (n < 0 || total > DURREADMAX) return out;
    out.known = true;
    out.body = body.done();
    out.tail = tail.done();
    return out;
}

rcptindex rcptsumtext(std::string_view text, size_t records, size_t* bodyend) {
    const uint64_t lines = 2 + 7 * static_cast<uint64_t>(records);
    rcpthasher body, tail;
    size_t at = 0;
    uint64_t ln = 0;
    size_t run = 0;  // where the lines not yet summed begin
    for (; ln < lines && at < text.size(); ln++) {
        const size_t nl = text.find('\n', at);
        const size_t stop = nl == std::string_view::npos ? text.size() : nl + 1;
        if (ln >= 2 && (ln - 2) % 7 == 6) {
            body.add(text.data() + run, at - run);
            if (nl != std::string_view::npos) body.add("\n", 1);
            run = stop;
        }
        at = stop;
        if (nl == std::string_view::npos) break;
    }
    body.add(text.data() + run, at - run);
    if (bodyend) *bodyend = ln == lines ? at : std::string_view::npos;
    tail.add(text.data() + at, text.size() - at);
    rcptindex out;
    out.known = true;
    out.body = body.done();
    out.tail = tail.done();
    return out;
}

std::string rcptbeside(const char* fname) {
    char buf[PATH_MAX];
    return realpath(fname, buf) ? durbeside(buf, ext) : std::string();
}

std::string rcptspare() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? std::string(buf) + "/" + ext : std::string();
}

std::string rcptkeptpath(const std::string& receipt) {
    constexpr std::string_view from = ext;
    if (!receipt.ends_with(from)) return {};
    return receipt.substr(0, receipt.size() - from.size()) + ".msgseq-before";
}

namespace {

template <typename T>
void put(std::string& text, T v, char after, int base = 10) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, base);
    text.append(buf, res.ptr);
    text += after;
}

void putsums(std::string& text, const char* word, const rcptindex& x) {
    text += word;
    if (!x.known) {
        text += " -\n";
        return;
    }
    text += ' ';
    put(text, x.body.len, ' ');
    put(text, x.body.hash, ' ', 16);
    put(text, x.tail.len, ' ');
    put(text, x.tail.hash, '\n', 16);
}

}  // namespace

bool rcptwrite(const std::string& path, const rcpt& head, size_t count,
               const std::function<rcptentry(size_t)>& entry, const struct stat* like) {
    std::string lines;
    // A line of numbers and two names: made once, not grown.
    lines.reserve(count * 72);
    uint32_t moved = 0;
    for (size_t i = 0; i < count; i++) {
        const rcptentry e = entry(i);
        // A name the file kept is the index's own: one that is not a plain
        // name (a record refused) is not repeated here.
        const bool kept = e.now.empty() || e.now == e.was;
        const bool plain = trustplain(e.was) && (kept || trustplain(e.now));
        renumline l;
        if (e.known && plain) {
            l.num(static_cast<uintmax_t>(e.dev), ' ');
            l.num(static_cast<uintmax_t>(e.ino), ' ');
        } else {
            l.lit("- - ");
        }
        if (e.known && plain && e.timed) {
            l.num(static_cast<intmax_t>(e.size), ' ');
            l.num(static_cast<intmax_t>(e.sec), '.');
            l.num(e.nsec, ' ');
        } else {
            l.lit("- - ");
        }
        lines.append(l.text());
        if (kept || !plain) {
            lines += "= ";
            if (plain) lines += e.was;
        } else {
            moved++;
            lines += e.now;
            lines += ' ';
            lines += e.was;
        }
        lines += '\n';
    }
    // Versions 1 and 2 where there is no fence: such a receipt reads as
    // it always did.
    std::string text = head.fenced          ? "msgseq receipt 3\nrun "
                       : head.kept.empty() ? "msgseq receipt 1\nrun "
                                           : "msgseq receipt 2\nrun ";
    text += head.update ? "update\ndir " : "plain\ndir ";
    put(text, static_cast<uintmax_t>(head.dirdev), ' ');
    put(text, static_cast<uintmax_t>(head.dirino), '\n');
    if (head.fenced) {
        text += "fence ";
        put(text, static_cast<intmax_t>(head.fence.tv_sec), '.');
        put(text, static_cast<intmax_t>(head.fence.tv_nsec), ' ');
        put(text, static_cast<intmax_t>(head.settled.tv_sec), '.');
        put(text, static_cast<intmax_t>(head.settled.tv_nsec), '\n');
    }
    putsums(text, "before", head.before);
    putsums(text, "after", head.after);
    if (!head.kept.empty()) text += "kept " + head.kept + "\n";
    text += "records ";
    put(text, count, ' ');
    text += "moved ";
    put(text, moved, '\n');
    struct stat mode {};
    if (like) {
        mode = *like;
    } else {
        mode.st_uid = geteuid();
        mode.st_gid = getegid();
    }
    mode.st_mode = (mode.st_mode & ~mode_t{07777}) | 0600;
    return durwrite(path + ".new", path, &mode, [&text, &lines](FILE* f) {
        return fwrite(text.data(), 1, text.size(), f) == text.size() &&
               fwrite(lines.data(), 1, lines.size(), f) == lines.size();
    });
}

namespace {

// The receipt's text read field by field; a field not there as written
// stops the reading.
struct cursor {
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
        if (at == end || !((*at >= '0' && *at <= '9') || (base == 16 && isxdigit(*at))))
            return false;
        const auto res = std::from_chars(at, end, *v, base);
        if (res.ec != std::errc() || res.ptr == end || *res.ptr != after) return false;
        at = res.ptr + 1;
        return true;
    }
    bool snum(char after, int64_t* v) {
        const bool neg = lit("-");
        uint64_t got = 0;
        if (!num(after, &got) || got > (neg ? uint64_t{1} << 63 : uint64_t{INT64_MAX}))
            return false;
        *v = neg ? static_cast<int64_t>(0 - got) : static_cast<int64_t>(got);
        return true;
    }
    bool time(char after, timespec* t) {
        int64_t sec = 0;
        long nsec = 0;
        if (!snum('.', &sec) || !num(after, &nsec) || nsec >= 1000000000) return false;
        *t = {static_cast<time_t>(sec), nsec};
        return true;
    }
    // "- - " for a pair of values a run did not write.
    bool none() { return lit("- - "); }
    std::string_view field(char stop) {
        const char* p = static_cast<const char*>(memchr(at, stop, static_cast<size_t>(end - at)));
        if (!p) return {};
        std::string_view s(at, static_cast<size_t>(p - at));
        at = p + 1;
        return s;
    }
};

bool readsums(cursor& c, const char* word, rcptindex* x) {
    if (!c.lit(word) || !c.lit(" ")) return false;
    if (c.lit("-\n")) return true;
    x->known = true;
    return c.num(' ', &x->body.len) && c.num(' ', &x->body.hash, 16) && c.num(' ', &x->tail.len) &&
           c.num('\n', &x->tail.hash, 16);
}

// *bad gets a name that is not a plain one.
bool readrec(cursor& c, rcptrec* e, std::string_view* bad) {
    uintmax_t dev = 0, ino = 0;
    if (!c.none()) {
        if (!c.num(' ', &dev) || !c.num(' ', &ino) || ino == 0) return false;
        e->known = true;
        e->dev = static_cast<dev_t>(dev);
        e->ino = static_cast<ino_t>(ino);
    }
    if (!c.none()) {
        uintmax_t size = 0;
        if (!e->known || !c.num(' ', &size) || size > uintmax_t{INT64_MAX} ||
            !c.snum('.', &e->sec) || !c.num(' ', &e->nsec) || e->nsec >= 1000000000)
            return false;
        e->timed = true;
        e->size = static_cast<off_t>(size);
    }
    const std::string_view now = c.field(' ');
    if (now.empty()) return false;
    const char* eol = static_cast<const char*>(memchr(c.at, '\n', static_cast<size_t>(c.end - c.at)));
    if (!eol) return false;
    e->was = std::string_view(c.at, static_cast<size_t>(eol - c.at));
    c.at = eol + 1;
    // A name the file kept that is not a plain one is left out, and so is
    // its identity; every name given is a plain one.
    const bool kept = now == "=";
    e->now = kept ? e->was : now;
    if (kept && e->was.empty()) return !e->known;
    if (!trustplain(e->now)) *bad = e->now;
    if (!trustplain(e->was)) *bad = e->was;
    return bad->empty() && (kept || now != e->was);
}

}  // namespace

namespace {

// rcptread, where wanted (may be null) decides from the receipt's first
// lines alone whether its records are read at all: false with *why empty
// when they are not wanted.
bool readreceipt(const std::string& path, rcpt* out, std::string* why, bool* absent,
                 const std::function<bool(const rcpt&)>& wanted) {
    *absent = false;
    *out = rcpt{};
    struct stat st;
    const int fd = trustopenown(AT_FDCWD, path.c_str(), &st);
    if (fd < 0) {
        *absent = errno == ENOENT;
        *why = errno == ELOOP    ? "it is a symbolic link"
               : errno == EINVAL ? "it is not a regular file"
               : errno == EPERM  ? "it belongs to another user"
                                 : strerror(errno);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > maxbytes) {
        close(fd);
        *why = "it is not in a form msgseq writes";
        return false;
    }
    // The lines before the records: false when they are not as written.
    uint64_t count = 0;
    auto readhead = [out, &count, why](cursor& c) {
        uintmax_t dev = 0, ino = 0;
        const bool two = c.lit("msgseq receipt 2\nrun ");
        out->fenced = !two && c.lit("msgseq receipt 3\nrun ");
        if (!(two || out->fenced || c.lit("msgseq receipt 1\nrun ")) ||
            !(c.lit("plain\n") || (out->update = c.lit("update\n"))) || !c.lit("dir ") ||
            !c.num(' ', &dev) || !c.num('\n', &ino))
            return false;
        if (out->fenced && (!c.lit("fence ") || !c.time(' ', &out->fence) ||
                            !c.time('\n', &out->settled)))
            return false;
        if (!readsums(c, "before", &out->before) || !readsums(c, "after", &out->after))
            return false;
        // Version 3 keeps an index after -u only.
        if (two || (out->fenced && out->update && c.lit("kept "))) {
            // The kept index is a name beside the receipt, like any other name
            // read back: a plain one, or the receipt is not believed.
            if (two && !c.lit("kept ")) return false;
            const std::string_view kept = c.field('\n');
            if (!trustplain(kept)) {
                if (!kept.empty())
                    *why = "it names '" + renumshown(kept.substr(0, 64)) +
                           "', which is not a plain name in this directory";
                return false;
            }
            out->kept = kept;
        }
        if (!c.lit("records ") || !c.num(' ', &count) || count > maxrecords ||
            !c.lit("moved ") || !c.num('\n', &out->moved) || out->moved > count)
            return false;
        out->dirdev = static_cast<dev_t>(dev);
        out->dirino = static_cast<ino_t>(ino);
        return true;
    };
    out->text.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && out->text.size() <= maxbytes) {
        const bool first = out->text.empty();
        out->text.append(buf, static_cast<size_t>(n));
        // A receipt whose records are not wanted is read no further.
        if (cursor c{out->text.data(), out->text.data() + out->text.size()};
            first && wanted && readhead(c) && !wanted(*out)) {
            close(fd);
            why->clear();
            return false;
        }
    }
    const int err = errno;
    close(fd);
    if (n < 0) {
        *why = strerror(err);
        return false;
    }
    out->path = path;
    *why = "it is not in a form msgseq writes";
    cursor c{out->text.data(), out->text.data() + out->text.size()};
    if (!readhead(c)) return false;
    if (wanted && !wanted(*out)) {
        why->clear();
        return false;
    }
    out->recs.assign(count, {});
    uint32_t moved = 0;
    for (rcptrec& e : out->recs) {
        std::string_view bad;
        if (!readrec(c, &e, &bad)) {
            if (!bad.empty())
                *why = "it names '" + renumshown(bad.substr(0, 64)) +
                       "', which is not a plain name in this directory";
            return false;
        }
        moved += e.now != e.was;
    }
    if (c.at != c.end || moved != out->moved) return false;
    why->clear();
    return true;
}

}  // namespace

bool rcptread(const std::string& path, rcpt* out, std::string* why, bool* absent) {
    return readreceipt(path, out, why, absent, nullptr);
}

namespace {

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// The file name leads to, as statx tells it, was made after the fence: a
// new file under the number of the one the run left. false where the file
// system keeps no birth time, or r has no fence.
bool bornsince(const std::string& name, ino_t ino, const rcpt& r) {
    struct statx sx;
    return r.fenced &&
           statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) == 0 &&
           (sx.stx_mask & STATX_BTIME) && sx.stx_ino == ino &&
           later({static_cast<time_t>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec}, r.fence);
}

// The record's file is under the name the run left it with; with fence
// (may be null), neither written since nor another file made since under
// its number; with born (may be null), not another file made since under
// its number where the file system tells it by a birth time.
bool where(const rcptrec& e, const rcpt* fence = nullptr, const rcpt* born = nullptr) {
    struct stat st;
    const std::string name(e.now);
    if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_dev != e.dev || st.st_ino != e.ino)
        return false;
    if (e.timed)
        return st.st_size == e.size && st.st_mtim.tv_sec == e.sec && st.st_mtim.tv_nsec == e.nsec;
    if (!fence || !fence->fenced) return !born || !bornsince(name, e.ino, *born);
    if (later(st.st_mtim, fence->fence)) return false;
    if (!later(st.st_ctim, fence->settled)) return true;
    // Its status changed since: only a birth time tells a name, a mode or
    // an access time put back from a new file under the old number.
    struct statx sx;
    return statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) == 0 &&
           (sx.stx_mask & STATX_BTIME) && sx.stx_ino == e.ino &&
           !later({static_cast<time_t>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec}, fence->fence);
}

// Some file the run renamed is still where it left it: else the files were
// put back or replaced by hand since, and the receipt tells nothing of them.
// Where none is (every file moved since), asking each name costs a lookup a
// record; one listing of the directory tells the names that still hold the
// inode the receipt gives them, and only those are asked. A listing whose
// inode numbers are not the files' own (an overlay), or that fails, leaves
// every name to be asked.
bool anyplaced(const rcpt& r) {
    auto placed = [](const rcptrec& e) { return e.known && e.now != e.was && where(e); };
    constexpr size_t few = 64;
    if (r.recs.size() <= few) return std::any_of(r.recs.begin(), r.recs.end(), placed);
    // Nearly every name the run gave is a new one, in%03d.msg of a record
    // number: those are found by that number, the few others by name.
    std::vector<const rcptrec*> bynumber;
    std::unordered_map<std::string_view, const rcptrec*> byname;
    bool twice = false;  // a name given twice: each record is asked
    for (const rcptrec& e : r.recs) {
        if (!e.known || e.now == e.was) continue;
        if (const uint32_t k = renumtargetno(e.now); k < r.recs.size()) {
            if (bynumber.empty()) bynumber.assign(r.recs.size(), nullptr);
            twice = bynumber[k] != nullptr || twice;
            bynumber[k] = &e;
        } else {
            twice = !byname.emplace(e.now, &e).second || twice;
        }
    }
    renumdirptr d{twice ? nullptr : opendir(".")};
    if (!d || !renumtrustlisting(dirfd(d.get())))
        return std::any_of(r.recs.begin(), r.recs.end(), placed);
    errno = 0;
    while (const dirent* ent = readdir(d.get())) {
        const rcptrec* e = nullptr;
        if (const uint32_t k = renumtargetno(ent->d_name); k < bynumber.size())
            e = bynumber[k];
        else if (!byname.empty())
            if (auto it = byname.find(ent->d_name); it != byname.end()) e = it->second;
        if (e && e->ino == ent->d_ino && where(*e)) return true;
    }
    // A listing cut short could have missed the one placed file.
    return errno != 0 && std::any_of(r.recs.begin(), r.recs.end(), placed);
}

}  // namespace

rcptfit rcptlast(const char* fname, rcpt* out, const char* prog, FILE* errs) {
    struct stat here;
    if (stat(".", &here) != 0) return rcptfit::none;
    const std::string beside = rcptbeside(fname);
    for (const std::string& path : {beside, rcptspare()}) {
        if (path.empty()) continue;
        std::string why;
        bool absent = false;
        // Only a plain run leaves an index that lists names it changed, and
        // only in the directory it ran in: any other receipt's records are
        // never read.
        auto wanted = [&here](const rcpt& r) {
            return !r.update && r.moved != 0 && r.before.known && r.dirdev == here.st_dev &&
                   r.dirino == here.st_ino;
        };
        if (!readreceipt(path, out, &why, &absent, wanted)) {
            if (!absent && errs && !why.empty())
                (void)fprintf(errs, "%s%signoring the receipt '%s': %s\n", prog ? prog : "",
                              prog ? ": " : "", renumshown(path).c_str(), why.c_str());
            continue;
        }
        const rcptindex now = rcptsumindex(fname, out->recs.size());
        if (!now.known || now.body != out->before.body || !anyplaced(*out)) continue;
        return now.tail == out->before.tail ? rcptfit::whole : rcptfit::appended;
    }
    *out = rcpt{};
    return rcptfit::none;
}

std::vector<uint32_t> rcptastray(const rcpt& r, bool unchanged) {
    std::vector<uint32_t> astray;
    for (uint32_t i = 0; i < r.recs.size(); i++)
        if (r.recs[i].known && !where(r.recs[i], unchanged ? &r : nullptr, &r)) astray.push_back(i);
    return astray;
}

namespace {

// The directory's status-change time, just after it was touched.
bool touched(timespec* at) {
    struct stat st;
    if (utimensat(AT_FDCWD, ".", nullptr, 0) != 0 || stat(".", &st) != 0) return false;
    *at = st.st_ctim;
    return true;
}

}  // namespace

bool rcptfence(rcpt* head) {
    // The file system's times only go forward, so the first touch is given
    // a time no earlier than any rename before it; a later one is told apart
    // from it once a touch is given a later time still.
    timespec fence{}, now{};
    if (!touched(&fence)) return false;
    constexpr int tries = 3000;  // a millisecond apart: past 2-second clocks
    for (int k = 0; k < tries; k++) {
        if (!touched(&now)) return false;
        if (later(now, fence)) {
            head->fenced = true;
            head->fence = head->settled = fence;
            return true;
        }
        const timespec pause{0, 1000000};
        (void)nanosleep(&pause, nullptr);
    }
    return false;
}

void rcptsayastray(const rcpt& r, const std::vector<uint32_t>& astray, const char* prog,
                   FILE* errs) {
    if (!errs) return;
    constexpr size_t shown = 10;
    for (size_t k = 0; k < std::min(astray.size(), shown); k++) {
        const rcptrec& e = r.recs[astray[k]];
        const std::string now = renumshown(e.now), was = renumshown(e.was);
        // Still the file by its number, so written or touched since; one
        // made since under that number is another file.
        struct stat st;
        const std::string name(e.now);
        const bool there = e.known &&
                           fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                           st.st_dev == e.dev && st.st_ino == e.ino && !bornsince(name, e.ino, r);
        (void)fprintf(errs,
                      there ? "%s: record %u's file '%s' has changed since the last run left it "
                              "there (it listed '%s')\n"
                            : "%s: record %u's file is no longer '%s', where the last run left it "
                              "(it listed '%s')\n",
                      prog, astray[k] + 1, now.c_str(), was.c_str());
    }
    if (astray.size() > shown) (void)fprintf(errs, "%s: and %zu more\n", prog, astray.size() - shown);
}

// ---- A run and its receipt (mailbox/renumrun.h).

namespace {

bool asreceipt(const renumrun& r, const rcpt& last) {
    if (last.recs.size() > r.recs.size()) return false;
    for (uint32_t i = 0; i < last.recs.size(); i++)
        if (!last.recs[i].was.empty() && last.recs[i].was != renumlisted(r, i)) return false;
    return true;
}

// Files no longer where the last run left them: said, and RENUMINDEX.
int refuseastray(const renumrun& r, const char* fname, const rcpt& last,
                 const std::vector<uint32_t>& astray) {
    const char* prog = progof(r.opts);
    rcptsayastray(last, astray, prog, r.opts->errs);
    const std::string shown = renumshown(fname);
    renumsay(r.opts,
             "'%s' still lists the names the last run changed, but its files have moved since; "
             "nothing done; 'mailbox rebuild %s' makes the index again from the files\n",
             shown.c_str(), shown.c_str());
    return RENUMINDEX;
}

// Whether the files are where the last run left them: 0 when all are, -1
// when none it moved is (they were put back or replaced by hand: the receipt
// no longer tells this directory), else RENUMINDEX, said.
int placed(const renumrun& r, const char* fname, const rcpt& last) {
    const std::vector<uint32_t> astray = rcptastray(last);
    if (astray.empty()) return 0;
    uint32_t there = 0;
    for (uint32_t i = 0, k = 0; i < last.recs.size(); i++) {
        while (k < astray.size() && astray[k] < i) k++;
        const rcptrec& e = last.recs[i];
        there += e.known && e.now != e.was && (k == astray.size() || astray[k] != i);
    }
    return there ? refuseastray(r, fname, last, astray) : -1;
}

// A record the last run did not rename that lists the name it gave another
// record's file (a name listed twice, a missing file's): the index would
// have that record name another's message, and an update can't say where
// its own is. RENUMINDEX, said, or 0.
int unnameable(const renumrun& r, const char* fname, const rcpt& last) {
    const auto n = static_cast<uint32_t>(last.recs.size());
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t k = renumtargetno(renumlisted(r, i));
        if (last.recs[i].now != last.recs[i].was || k == i || k >= n ||
            last.recs[k].now == last.recs[k].was)
            continue;
        const std::string shown = renumshown(fname);
        renumsay(r.opts,
                 "record %u of '%s' lists '%s', which the last run gave record %u's file; the "
                 "index can't be brought up to date from that run's receipt; nothing done; "
                 "'mailbox rebuild %s' makes it again from the files\n",
                 i + 1, shown.c_str(), renumtarget(k).s, k + 1, shown.c_str());
        return RENUMINDEX;
    }
    return 0;
}

}  // namespace

int rcptagain(renumrun& r, const char* fname, renumstats* stats) {
    rcpt last;
    const rcptfit fit = rcptlast(fname, &last, progof(r.opts), r.opts->errs);
    if (fit == rcptfit::none || !asreceipt(r, last)) return -1;
    const std::string shown = renumshown(fname);
    const char* prog = progof(r.opts);
    if (const int rc = placed(r, fname, last)) return rc;
    if (fit == rcptfit::appended) {
        renumsay(r.opts,
                 "'%s' still lists the names the last run changed, and records were added "
                 "after them; run '%s -u %s' to bring it up to date; nothing done\n",
                 shown.c_str(), prog, shown.c_str());
        return RENUMINDEX;
    }
    renumsay(r.opts,
             "'%s' was renumbered by the last run; nothing moved (%s -u brings the index up "
             "to date)\n",
             shown.c_str(), prog);
    renumstats st{};
    st.records = static_cast<int>(r.recs.size());
    for (uint32_t i = 0; i < last.recs.size(); i++) {
        const rcptrec& e = last.recs[i];
        struct stat sb;
        if (e.now == renumtarget(i).s)
            st.stayed++;
        else if (e.known || (!e.was.empty() && lstat(std::string(e.was).c_str(), &sb) == 0))
            st.refused++;
        else
            st.missing++;
    }
    if (stats) *stats = st;
    return st.missing + st.refused != 0 ? RENUMFILES : RENUMOK;
}

int rcptseed(renumrun& r, const char* fname) {
    rcpt last;
    if (rcptlast(fname, &last, progof(r.opts), r.opts->errs) == rcptfit::none ||
        !asreceipt(r, last))
        return -1;
    if (const int rc = placed(r, fname, last)) return rc;
    if (const int rc = unnameable(r, fname, last)) return rc;
    const auto n = static_cast<uint32_t>(last.recs.size());
    for (uint32_t i = 0; i < n; i++) {
        const rcptrec& e = last.recs[i];
        if (e.known) {
            r.ino[i] = e.ino;
            if (e.now != renumlisted(r, i)) r.away[i] = std::string(e.now);
            continue;
        }
        // A record that had no file: the name it lists may hold the file
        // another record's moved in since.
        const uint32_t k = renumtargetno(renumlisted(r, i));
        if (e.now == e.was && k < n && last.recs[k].now != last.recs[k].was) r.ino[i] = 0;
    }
    return -1;
}

namespace {

// A run that moved no file and left the index as it found it changed
// nothing: the receipt of the last update that did stays, so that
// msgseq --undo still puts that one back.
bool unchanged(const renumrun& r, const std::string& path, const rcptindex& before,
               const rcptindex* after) {
    if (std::find(r.state.begin(), r.state.end(), renumst::moved) != r.state.end() ||
        !before.known || (after && (!after->known || after->body != before.body)))
        return false;
    rcpt last;
    std::string why;
    bool absent = false;
    return rcptread(path, &last, &why, &absent) && last.update && last.moved > 0 &&
           last.after.known && last.after.body == before.body &&
           last.recs.size() == r.recs.size();
}

// The index at path lists, in its first records, the names the journal
// log lists.
bool journals(const std::string& path, const renumjournaled& log, size_t records) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const bool read = fd >= 0 && durreadfd(fd, &text);
    if (fd >= 0) close(fd);
    if (!read || log.size() != records || records == 0) return false;
    size_t at = 0;
    for (uint64_t ln = 0; ln < 2 + 7 * uint64_t{records}; ln++) {
        const size_t nl = text.find('\n', at);
        if (nl == std::string::npos) return false;
        if (ln >= 2 && (ln - 2) % 7 == 0 &&
            std::string_view(text).substr(at, nl - at) != log.name((ln - 2) / 7))  // NOLINT(google-readability-casting)
            return false;
        at = nl + 1;
    }
    return true;
}

// The index an update replaced, linked by the update in its work directory
// as from, moved beside the receipt at path before the receipt names it:
// its name, or empty when it can't be kept (the receipt then says so by its
// version). A rerun after the move finds it there. *before is its sum where
// the run could not take one.
std::string keepindex(const std::string& from, const std::string& path, size_t records,
                      rcptindex* before, const renumjournaled& log) {
    const std::string keep = rcptkeptpath(path);
    struct stat st;
    const bool held = !from.empty() && lstat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string& at = held ? from : keep;
    if (keep.empty() || lstat(at.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    // Moved already by this update, cut short before its receipt: known by
    // its sum, or where the update found its own index in place, by the
    // names its journal lists.
    if (!held && !before->known && !journals(keep, log, records)) return {};
    const rcptindex sums = rcptsumindex(at.c_str(), records);
    if (!sums.known || (before->known && sums.body != before->body)) return {};
    if (!before->known) *before = sums;
    // Renamed over an older copy; the receipt, synced next in the same
    // directory, names it only once it is there.
    if (held && rename(from.c_str(), keep.c_str()) != 0) return {};
    return keep.substr(keep.rfind('/') + 1);
}

}  // namespace

bool rcptkeep(const renumrun& r, const std::string& path, const rcptindex& before,
              const rcptindex* after, const renumjournaled& log, const struct stat* like,
              const std::string& keptfrom) {
    if (unchanged(r, path, before, after)) return true;
    rcpt head;
    head.update = r.update;
    head.dirdev = r.here.dev;
    head.dirino = r.here.ino;
    head.before = before;
    if (after) {
        head.after = *after;
        head.kept = keepindex(keptfrom, path, r.recs.size(), &head.before, log);
    }
    const bool logged = log.size() == r.recs.size() && !r.recs.empty();
    // Where the fence can't be taken, each file is stat'ed instead.
    const bool fenced = rcptfence(&head);
    renumname cur;
    const bool written = rcptwrite(
        path, head, r.recs.size(),
        [&](size_t k) {
            const auto i = static_cast<uint32_t>(k);
            rcptentry e;
            e.was = logged ? log.name(i) : std::string_view(renumlisted(r, i));
            e.known = r.ino[i] != 0 && r.state[i] != renumst::lost;
            e.dev = r.here.dev;
            e.ino = r.ino[i];
            if (renumstamp st; !fenced && e.known && renumstampnow(r, i, &st)) {
                e.timed = true;
                e.size = st.size;
                e.sec = st.sec;
                e.nsec = st.nsec;
            }
            // A file not renamed is where the index (-u: the new one) names it.
            if (renumhome(r.state[i])) {
                cur = renumtarget(i);
                e.now = cur.s;
            } else {
                e.now = renumcur(r, i);
            }
            return e;
        },
        like);
    // A copy no receipt names any longer is of no use.
    struct stat st;
    if (const std::string keep = rcptkeptpath(path);
        written && head.kept.empty() && !keep.empty() && lstat(keep.c_str(), &st) == 0)
        (void)unlink(keep.c_str());
    return written;
}

bool rcptrefence(const std::string& path) {
    rcpt r;
    std::string why;
    bool absent = false;
    struct stat like;
    if (!rcptread(path, &r, &why, &absent) || lstat(path.c_str(), &like) != 0) {
        if (!absent) errno = EINVAL;
        return false;
    }
    // Where the file system keeps birth times, the files' moves back are
    // told from new files by them, and the settled time stays: renewed, it
    // would pass a file made under a moved file's number meanwhile, its
    // write time set back, as the run's own.
    const bool births = std::all_of(r.recs.begin(), r.recs.end(), [](const rcptrec& e) {
        struct statx sx;
        const std::string name(e.now);
        return !e.known ||
               statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0 ||
               (sx.stx_mask & STATX_BTIME);
    });
    rcpt now;
    if (!r.fenced || births || !rcptfence(&now)) return true;
    r.settled = now.settled;
    return rcptwrite(
        path, r, r.recs.size(),
        [&r](size_t i) {
            const rcptrec& e = r.recs[i];
            return rcptentry{.known = e.known, .dev = e.dev, .ino = e.ino, .timed = e.timed,
                             .size = e.size, .sec = e.sec, .nsec = e.nsec, .now = e.now,
                             .was = e.was};
        },
        &like);
}

void rcpthold(const std::string& dir, const std::string& real, bool same) {
    const std::string at = dir + "/before";
    struct stat st;
    if (same && lstat(at.c_str(), &st) != 0 && errno == ENOENT) (void)link(real.c_str(), at.c_str());
}
