// New mail into a mailbox without rewriting its index (mailbox/append.h).
#include "mailbox/append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <sstream>
#include <strings.h>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/ll.h"
#include "mailbox/trust.h"

namespace {

constexpr char MAGIC[] = "mailbox-append 1";
constexpr char IMPORTMAGIC[] = "mailbox-import 1";
constexpr char BATCHMAGIC[] = "mailbox-append 2\n";
constexpr char LEDGERMAGIC[] = "mailbox-import 2\n";
constexpr size_t TAIL = 4096;
constexpr size_t MAXRECORD = 28672;  // seven lines of 4096 bytes
constexpr char ENDLINE[] = "END\n";

uint64_t fnv(std::string_view s) {
    uint64_t h = 1469598103934665603ULL;
    for (const char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

void say(FILE* errs, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// errno is kept: a caller's status is chosen by it after the line.
void say(FILE* errs, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    if (!errs) return;
    const int err = errno;
    (void)fputs("mailbox: ", errs);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(errs, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    errno = err;
}

std::string realof(const char* meta) {
    char buf[PATH_MAX];
    return realpath(meta, buf) ? buf : "";
}

// The number an "in<digits>.msg" name carries, or -1.
long numberof(std::string_view name) {
    if (name.size() < 8 || !name.starts_with("in") || !name.ends_with(".msg")) return -1;
    long n = 0;
    for (const char c : name.substr(2, name.size() - 6)) {
        if (c < '0' || c > '9' || n > APMAXNO) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::string nameof(long n) {
    char buf[32];
    (void)snprintf(buf, sizeof buf, "in%03ld.msg", n);
    return buf;
}

bool isstaged(std::string_view name);

// A failure's result by its cause: a full disk may pass.
apresult errstatus(int err) {
    return err == ENOSPC || err == EDQUOT ? apresult::busy : apresult::failed;
}

// The index as the box found it, in a journal: its identity, where its END
// stood and a sum of the bytes before it.
template <class J>
void putbox(const apbox* box, J* j) {
    j->dev = box->dev;
    j->ino = box->ino;
    j->end = box->end;
    j->taillen = box->tail.size();
    j->tailsum = fnv(box->tail);
}

// What the journal says about one append.
struct apjour {
    unsigned long long dev = 0, ino = 0;  // the index
    long long end = 0;
    size_t taillen = 0;
    uint64_t tailsum = 0;
    unsigned long long tino = 0;  // the message written aside, known by its bytes,
    long long tsize = 0;          // length and sum after a crash: a file put back by
    uint64_t tsum = 0;            // the file system's journal may have another inode
    std::string name;
    long ordinal = 0;
    std::string record;
};

std::string jourtext(const apjour& j) {
    std::ostringstream o;
    o << MAGIC << "\nindex " << j.dev << ' ' << j.ino << "\nend " << j.end << "\ntail " << j.taillen
      << ' ' << j.tailsum << "\ntemp " << j.tino << ' ' << j.tsize << ' ' << j.tsum << "\nname " << j.name
      << "\nordinal " << j.ordinal << "\nrecord " << j.record.size() << '\n'
      << j.record;
    return o.str();
}

bool parsejour(const std::string& text, apjour* j) {
    std::istringstream in(text);
    std::string magic, k[7];
    size_t reclen = 0;
    if (!std::getline(in, magic) || magic != MAGIC) return false;
    if (!(in >> k[0] >> j->dev >> j->ino >> k[1] >> j->end >> k[2] >> j->taillen >> j->tailsum >>
          k[3] >> j->tino >> j->tsize >> j->tsum >> k[4] >> j->name >> k[5] >> j->ordinal >> k[6] >> reclen))
        return false;
    if (k[0] != "index" || k[1] != "end" || k[2] != "tail" || k[3] != "temp" || k[4] != "name" ||
        k[5] != "ordinal" || k[6] != "record" || in.get() != '\n' || j->end < 0 ||
        j->taillen > TAIL || j->ordinal < 0)
        return false;
    const auto at = static_cast<size_t>(in.tellg());
    if (at + reclen != text.size()) return false;
    j->record = text.substr(at);
    // The record must be seven lines naming this file, so that a journal
    // can't write anything else into the index.
    size_t lines = 0;
    for (const char c : j->record) lines += c == '\n';
    return trustplain(j->name) && j->name.size() <= 12 && j->name != "END" && lines == 7 &&
           j->record.starts_with(j->name + "\n") && j->record.ends_with("\n");
}

bool readown(const std::string& path, std::string* out) {
    const int fd = trustopenown(AT_FDCWD, path.c_str());
    if (fd < 0) return false;
    const bool ok = durreadfd(fd, out);
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

bool pwriteall(int fd, std::string_view s, off_t at) {
    while (!s.empty()) {
        const ssize_t n = pwrite(fd, s.data(), s.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        s.remove_prefix(static_cast<size_t>(n));
        at += n;
    }
    return true;
}

// The index's bytes from end made want, the rest cut off, synced.
bool putend(int fd, off_t end, std::string_view want) {
    return pwriteall(fd, want, end) && ftruncate(fd, end + static_cast<off_t>(want.size())) == 0 &&
           fsync(fd) == 0;
}

// text from at holds whole records of seven lines and then END, nothing after.
bool recordsthenend(std::string_view text, size_t at) {
    size_t lines = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) return false;
        const std::string_view line = text.substr(at, nl - at);
        if (lines % 7 == 0 && line == "END") return nl + 1 == text.size();
        lines++;
        at = nl + 1;
    }
    return false;
}

// Whether the index's records list name.
bool lists(std::string_view text, std::string_view name) {
    size_t at = 0, line = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) nl = text.size();
        if (line >= 2 && (line - 2) % 7 == 0 && text.substr(at, nl - at) == name) return true;
        line++;
        at = nl + 1;
    }
    return false;
}

bool present(const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

// Whether the index's text lists records and none of their files is in the
// working directory: a command run from the wrong one, where every message
// would seem gone.
bool wrongdir(std::string_view text) {
    size_t at = 0, line = 0;
    bool any = false;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) nl = text.size();
        if (line >= 2 && (line - 2) % 7 == 0) {
            const std::string name(text.substr(at, nl - at));
            if (name == "END") break;
            if (present(name)) return false;
            any = true;
        }
        line++;
        at = nl + 1;
    }
    return any;
}

// Whether path is the same file as the index: a name an append writes
// aside that the index itself bears is never swept away.
bool isindex(const char* path, const struct stat& index) {
    struct stat st;
    return lstat(path, &st) == 0 && st.st_dev == index.st_dev && st.st_ino == index.st_ino;
}

// A no-replace move of the file written aside to name; where the file
// system has no such rename, a link, the directory synced, and the unlink.
int movein(const std::string& name) {
    if (renameat2(AT_FDCWD, APTEMP, AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(APTEMP, name.c_str()) != 0) return -1;
    if (!dursyncdir(".")) return -1;
    (void)unlink(APTEMP);
    return 0;
}

bool sameas(const struct stat& st, unsigned long long ino, long long size) {
    return S_ISREG(st.st_mode) && st.st_ino == ino && st.st_size == size;
}

// Whether name is the journal's message: a regular file of its length and sum.
bool holds(const char* name, const apjour& j) {
    struct stat st;
    const int fd = trustopenmsg(AT_FDCWD, name, &st);
    if (fd < 0) return false;
    std::string bytes;
    const bool ok = st.st_size == j.tsize && durreadfd(fd, &bytes) && fnv(bytes) == j.tsum;
    close(fd);
    return ok;
}

// The message of an append cut short, in under its name if it can be:
// true when it is in.
bool messagein(const apjour& j) {
    if (holds(j.name.c_str(), j)) {
        (void)unlink(APTEMP);  // its second name, where a link put it in
        return true;
    }
    const bool there = holds(APTEMP, j);
    const bool in = there && movein(j.name) == 0;
    (void)unlink(APTEMP);  // a name taken meanwhile: the message never got in
    return in;
}

std::string importpath(const std::string& real) { return durbeside(real, ".mailbox-import"); }

bool writeimport(const std::string& real, const std::string& sources, long done) {
    const std::string text = std::string(IMPORTMAGIC) + "\ndone " + std::to_string(done) +
                             "\nsources " + std::to_string(sources.size()) + "\n" + sources;
    return durwrite(durbeside(real, ".mailbox-import.new"), importpath(real), nullptr,
                    [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); });
}

bool parseimport(const std::string& text, std::string* sources, long* done) {
    std::istringstream in(text);
    std::string magic, k1, k2;
    size_t len = 0;
    if (!std::getline(in, magic) || magic != IMPORTMAGIC) return false;
    if (!(in >> k1 >> *done >> k2 >> len) || k1 != "done" || k2 != "sources" || in.get() != '\n' ||
        *done < 0)
        return false;
    const auto at = static_cast<size_t>(in.tellg());
    if (at + len != text.size()) return false;
    *sources = text.substr(at);
    return true;
}

// The ledger an earlier release kept, of its sources and their count.
bool oldimportread(const std::string& real, std::string* sources, long* done) {
    std::string text;
    return readown(importpath(real), &text) && parseimport(text, sources, done);
}

// A delivery that failed after its journal was written, taken back: the
// old END in the index, the message out, the journal gone. Whatever can't be undone is left for apfinish, and said.
apresult undo(const apbox* box, const apjour& j, const char* what, std::string* why) {
    const int err = errno;
    const std::string journal = durbeside(box->real, ".mailbox-append");
    struct stat st;
    // The message out first: should the index not come back now, the
    // journal still says to undo, as no message is there to finish it with.
    bool back = true;
    if (lstat(j.name.c_str(), &st) == 0 && sameas(st, j.tino, j.tsize))
        back = unlink(j.name.c_str()) == 0;
    (void)unlink(APTEMP);
    back = back && dursyncdir(".");
    if (const int fd = back ? open(box->real.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC) : -1;
        fd >= 0) {
        std::string now;
        back = fstat(fd, &st) == 0 && st.st_ino == j.ino && durreadfd(fd, &now) &&
               (now.substr(static_cast<size_t>(std::min<long long>(j.end, static_cast<long long>(now.size())))) ==
                    ENDLINE ||
                putend(fd, j.end, ENDLINE));
        close(fd);
    }
    back = back && unlink(journal.c_str()) == 0 && dursyncdir(durparent(journal));
    *why = std::string(what) + ": " + strerror(err) +
           (back ? "; nothing kept" : "; the next mailbox command undoes it");
    errno = err;
    return errstatus(err);
}

// Whether the index still ends as the box saw it: its tail, then END.
bool unchanged(int fd, const apbox* box) {
    const std::string want = box->tail + ENDLINE;
    std::string got(want.size() + 1, '\0');
    const off_t from = box->end - static_cast<off_t>(box->tail.size());
    const ssize_t n = pread(fd, got.data(), got.size(), from);
    return n == static_cast<ssize_t>(want.size()) && got.compare(0, want.size(), want) == 0;
}

// The index open for writing, still the file the box saw and ending as it
// did; -1 (errno ESTALE when it changed) otherwise.
int openunchanged(const apbox* box) {
    const int fd = open(box->real.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == box->dev && st.st_ino == box->ino &&
        unchanged(fd, box))
        return fd;
    if (fd >= 0) {
        close(fd);
        errno = ESTALE;
    }
    return -1;
}

}  // namespace

std::string aprecordtext(const std::string& name, const apfields& fields) {
    llnode rec{};
    llfill(&rec, name.c_str(), fields.to.c_str(), fields.from.c_str(), fields.subject.c_str(),
           fields.cc.c_str(), fields.bcc.c_str(), ACTIVE, fields.read ? MSGREAD : MSGNEW, 0);
    std::string out;
    for (const char* f : {rec.datafile, rec.to, rec.from, rec.subject, rec.cc, rec.bcc}) {
        out += f;
        out += '\n';
    }
    out += fields.read ? "R\n" : "N\n";
    return out;
}

apresult aplook(const char* meta, apbox* box, std::string* why) {
    box->meta = meta;
    box->real = realof(meta);
    // An index bearing a name an append writes aside would be taken for
    // what a cut append left.
    if (const std::string base = box->real.substr(box->real.rfind('/') + 1);
        base == APTEMP || isstaged(base)) {
        *why = "its name is one an append writes a message aside under";
        errno = EINVAL;
        return apresult::broken;
    }
    if (box->real.empty() || !trustmeta(box->real.c_str())) {
        *why = errno == EINVAL ? "it is not a regular file" : strerror(errno);
        return errno == EINVAL ? apresult::broken : apresult::failed;
    }
    const int fd = open(box->real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = strerror(fd < 0 ? errno : EINVAL);
        if (fd >= 0) close(fd);
        return apresult::failed;
    }
    box->dev = st.st_dev;
    box->ino = st.st_ino;
    box->uid = st.st_uid;
    box->gid = st.st_gid;
    // Lines: two of the owner's, seven a record, END last and nothing after.
    // The index is read in pieces through one buffer: a delivery into a
    // large mailbox needs its names and its end, not a copy of all of it.
    long highest = -1, line = 0;
    off_t base = 0;     // the file offset of piece[0]
    size_t at = 0;      // where the line being looked at starts, in piece
    size_t filled = 0;  // bytes of piece read
    bool ended = false, eof = false, readerr = false, after = false;
    std::string piece(size_t{1} << 18, '\0');
    while (!ended && !readerr) {
        const char* nl = static_cast<const char*>(
            memchr(piece.data() + at, '\n', filled - at));
        if (!nl) {
            if (eof) break;
            // The line so far goes to the front, and the rest of the piece
            // is filled after it.
            std::memmove(piece.data(), piece.data() + at, filled - at);
            base += static_cast<off_t>(at);
            filled -= at;
            at = 0;
            if (filled == piece.size()) piece.resize(piece.size() * 2);
            const ssize_t n = pread(fd, piece.data() + filled, piece.size() - filled,
                                    base + static_cast<off_t>(filled));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) readerr = true;
            if (n <= 0) eof = true;
            filled += n > 0 ? static_cast<size_t>(n) : 0;
            continue;
        }
        const auto end = static_cast<size_t>(nl - piece.data());
        const std::string_view l(piece.data() + at, end - at);
        if (line >= 2 && (line - 2) % 7 == 0) {
            if (l == "END") {
                box->end = base + static_cast<off_t>(at);
                ended = true;
                // Nothing may follow END, in this piece or after it.
                char more;
                after = end + 1 < filled ||
                        pread(fd, &more, 1, base + static_cast<off_t>(end) + 1) != 0;
                break;
            }
            highest = std::max(highest, numberof(l));
            box->records++;
            // Most often the first name looked at is here; from the wrong
            // directory none is.
            struct stat here;
            box->anyhere = box->anyhere || lstat(std::string(l).c_str(), &here) == 0;
        }
        line++;
        at = end + 1;
    }
    const int err = errno;
    if (readerr) {
        close(fd);
        *why = strerror(err);
        return apresult::failed;
    }
    if (!ended || after) {
        close(fd);
        *why = !ended ? "it does not end in a whole record and END" : "it holds lines after END";
        errno = EBADMSG;
        return apresult::broken;
    }
    box->next = highest + 1;
    const off_t from = box->end > static_cast<off_t>(TAIL) ? box->end - static_cast<off_t>(TAIL) : 0;
    box->tail.assign(static_cast<size_t>(box->end - from), '\0');
    const ssize_t n = pread(fd, box->tail.data(), box->tail.size(), from);
    const int terr = errno;
    close(fd);
    if (n != static_cast<ssize_t>(box->tail.size())) {
        *why = n < 0 ? strerror(terr) : "it was cut short while read";
        return apresult::failed;
    }
    return apresult::ok;
}

apresult apwrite(apbox* box, std::string_view message) {
    box->msgsize = static_cast<long long>(message.size());
    box->msgsum = fnv(message);
    (void)unlink(APTEMP);
    const int fd = open(APTEMP, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (std::string_view s = message; ok && !s.empty();) {
        const ssize_t n = write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) s.remove_prefix(static_cast<size_t>(n));
    }
    // Root delivering into a directory of its own (a spool) leaves the
    // message to the index's owner, who must be able to read it.
    if (ok && geteuid() == 0 && box->uid != 0) ok = fchown(fd, box->uid, box->gid) == 0;
    ok = ok && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0) close(fd);
    if (ok) return apresult::ok;
    if (fd >= 0) (void)unlink(APTEMP);
    errno = err;
    return errstatus(err);
}

void apdiscard() { (void)unlink(APTEMP); }

std::string apjournal(const char* meta) {
    const std::string real = realof(meta);
    return real.empty() ? "" : durbeside(real, ".mailbox-append");
}

bool apunfinished(const char* meta) {
    const std::string j = apjournal(meta);
    struct stat st;
    return !j.empty() && lstat(j.c_str(), &st) == 0;
}

apresult apcommit(apbox* box, const apfields& fields, std::string* name, std::string* why) {
    // The working directory is not synced before the journal is written,
    // even where the index is elsewhere: a message whose name a power cut
    // took is nowhere, and apfinish takes its record out again.
    const std::string journal = durbeside(box->real, ".mailbox-append");
    struct stat tmp;
    const auto fail = [&](const char* what, bool kept) {
        const int err = errno;
        *why = std::string(what) + ": " + strerror(err) +
               (kept ? "; the next mailbox command finishes or undoes it" : "; nothing kept");
        if (!kept) apdiscard();
        errno = err;
        return errstatus(err);
    };
    if (lstat(APTEMP, &tmp) != 0 || tmp.st_size != box->msgsize)
        return fail("cannot find the message written aside", false);
    apjour j;
    putbox(box, &j);
    j.tino = tmp.st_ino;
    j.tsize = tmp.st_size;
    j.tsum = box->msgsum;
    for (long n = box->next;; n++) {
        struct stat st;
        if (n > APMAXNO) {
            errno = EMLINK;  // no more names, however much space
            *why = std::string("no free name is left under in") + std::to_string(APMAXNO) +
                   ".msg; nothing kept";
            apdiscard();
            return apresult::broken;
        }
        *name = nameof(n);
        if (lstat(name->c_str(), &st) == 0) continue;
        if (errno != ENOENT) return fail("cannot look for a free name", false);
        j.name = *name;
        j.record = aprecordtext(*name, fields);
        const std::string text = jourtext(j);
        if (!durwrite(durbeside(box->real, ".mailbox-append.new"), journal, nullptr,
                      [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); }))
            return fail("cannot write the journal", false);
        if (movein(*name) == 0) {
            box->next = n + 1;
            break;
        }
        // Taken meanwhile by a writer that holds no lock: the next one.
        if (errno != EEXIST) return undo(box, j, "cannot move the message in", why);
    }
    const int fd = openunchanged(box);
    if (fd < 0) return undo(box, j, "the index was changed by another program meanwhile", why);
    apbox after = *box;
    after.end += static_cast<off_t>(j.record.size());
    after.records++;
    after.tail += j.record;
    if (after.tail.size() > TAIL) after.tail.erase(0, after.tail.size() - TAIL);
    const std::string want = j.record + ENDLINE;
    bool put = pwriteall(fd, want, box->end) &&
               ftruncate(fd, box->end + static_cast<off_t>(want.size())) == 0;
    put = put && fsync(fd) == 0;
    const int err = errno;
    close(fd);
    errno = err;
    if (!put) return undo(box, j, "cannot write the index", why);
    if (!dursyncdir(".")) return undo(box, j, "cannot sync the working directory", why);
    // Message and record are on disk: the delivery is whole. Its journal
    // goes unsynced: found again after a power cut, it finds them both and
    // is done with.
    (void)unlink(journal.c_str());
    box->end = after.end;
    box->records = after.records;
    box->tail = std::move(after.tail);
    return apresult::ok;
}

bool batchfinish(const std::string& real, const std::string& journal, const std::string& text,
                 const std::string& shown, const struct stat& index, FILE* errs, bool* done);
void sweepstaged(size_t from, const struct stat& index);

bool apfinish(const char* meta, FILE* errs, bool* done) {
    if (done) *done = false;
    const std::string real = realof(meta);
    const std::string journal = real.empty() ? "" : durbeside(real, ".mailbox-append");
    struct stat st;
    // What a write cut short left aside is of no use.
    if (!real.empty())
        for (const char* ext : {".mailbox-append.new", ".mailbox-import.new"})
            (void)unlink(durbeside(real, ext).c_str());
    struct stat index {};
    (void)stat(real.empty() ? meta : real.c_str(), &index);
    if (journal.empty() || lstat(journal.c_str(), &st) != 0) {
        // Written aside, never journaled.
        if (present(APTEMP) && !isindex(APTEMP, index)) (void)unlink(APTEMP);
        sweepstaged(0, index);
        return true;
    }
    const std::string shown = std::string("'") + meta + "'";
    std::string text;
    apjour j;
    // The reason is the read's, or the form's: errno after a read that
    // worked says nothing of the text.
    const bool read = readown(journal, &text);
    if (read && text.starts_with(BATCHMAGIC))
        return batchfinish(real, journal, text, shown, index, errs, done);
    if (!read || !parsejour(text, &j)) {
        if (read) errno = 0;
        say(errs, "cannot read '%s', the journal of an append to %s cut short: %s; nothing done\n",
            journal.c_str(), shown.c_str(), errno ? trustwhy(errno) : "not in a form mailbox writes");
        if (errno == 0) errno = EPERM;  // not this program's: planted
        return false;
    }
    // The index: the record over the old END, or the old END back.
    const int fd = open(real.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    std::string now;
    const bool readin = fd >= 0 && durreadfd(fd, &now);
    if (readin && !present(j.name) && !present(APTEMP) && wrongdir(now)) {
        close(fd);
        say(errs, "cannot finish an append to %s cut short here: neither its message nor any "
            "file the index lists is in the working directory; run the command there; "
            "nothing done\n", shown.c_str());
        errno = EAGAIN;
        return false;
    }
    // A delivery cut short before its record went in is undone, its message
    // taken out again: it never said it had the message, so its sender
    // tries again. An import's is finished: its journal says how far it got.
    const bool mine = messagein(j);
    // Known by the bytes before the old END, as the inode may differ after
    // a crash; another program's index that ends so is this one there.
    bool ours = readin && now.size() >= static_cast<size_t>(j.end) &&
                static_cast<size_t>(j.end) >= j.taillen &&
                fnv(std::string_view(now).substr(j.end - j.taillen, j.taillen)) == j.tailsum;  // NOLINT(google-readability-casting)
    const std::string_view after =
        ours ? std::string_view(now).substr(j.end) : std::string_view();  // NOLINT(google-readability-casting)
    // The record is in, after the old END, and only whole records follow:
    // the append got past its index write. A delivery that got so far keeps
    // its message, as an import does: its journal may be one that a power
    // cut brought back after the delivery had ended.
    const bool recordin = ours && after.starts_with(j.record) &&
                          recordsthenend(now, j.end + j.record.size());
    const bool in = mine && (j.ordinal > 0 || recordin);
    const std::string want = (in ? j.record : std::string()) + ENDLINE;
    bool ok = true;
    if (ours) {
        const bool whole = after == want || (in && recordin);
        // A record whose message is nowhere (its name lost with a working
        // directory not yet synced) comes out again; records another
        // program appended after the old END meanwhile stay where they are,
        // and bytes that are not whole records are not written over.
        struct stat there;
        const bool recorded = !in && recordin &&
                              (mine || (lstat(j.name.c_str(), &there) != 0 && errno == ENOENT));
        if (whole)
            ok = true;
        else if (recorded)
            ok = putend(fd, j.end, after.substr(j.record.size()));
        else if (recordsthenend(now, static_cast<size_t>(j.end)))
            ok = !in || putend(fd, j.end, j.record + std::string(after));
        else if ((j.record + ENDLINE).starts_with(after))
            ok = putend(fd, j.end, want);  // the append's write cut short (a full disk)
        else {
            ok = false;
            errno = ESTALE;
        }
    }
    // The message out once its record is, or where another program's index
    // (written meanwhile) does not list it.
    if (ok && mine && !in && (ours || !lists(now, j.name))) {
        ok = !holds(j.name.c_str(), j) || unlink(j.name.c_str()) == 0;
    }
    const int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    if (!ok) {
        say(errs, "cannot finish an append to %s cut short: %s; the journal kept\n", shown.c_str(),
            err == ESTALE ? "the index holds lines after its old END that are not whole records"
                          : strerror(err));
        return false;
    }
    if (!ours && in && !lists(now, j.name))
        say(errs, "'%s' came in by an append cut short, but %s was changed meanwhile; 'mailbox mend "
            "%s --adopt' lists it\n", j.name.c_str(), shown.c_str(), meta);
    if (!dursyncdir(".")) {
        say(errs, "cannot sync the working directory: %s; the journal kept\n", strerror(errno));
        return false;
    }
    // How far an import of an earlier release got, before the journal that
    // says so goes.
    std::string sources;
    long had = 0;
    if (j.ordinal > 0 && oldimportread(real, &sources, &had)) {
        const long upto = in ? j.ordinal : j.ordinal - 1;
        if (upto > had && !writeimport(real, sources, upto)) {
            say(errs, "cannot write '%s': %s; the journal kept\n", importpath(real).c_str(),
                strerror(errno));
            return false;
        }
    }
    if (unlink(journal.c_str()) != 0 || !dursyncdir(durparent(journal))) {
        say(errs, "cannot remove '%s': %s\n", journal.c_str(), strerror(errno));
        return false;
    }
    if (in)
        say(errs, "an append to %s cut short is finished: '%s' is in\n", shown.c_str(),
            j.name.c_str());
    else
        say(errs, "an append to %s cut short is undone: %s\n", shown.c_str(),
            mine ? "a delivery not finished keeps nothing, as its sender tries again"
                 : "its message had not got in");
    if (done) *done = true;
    return true;
}


// ---- Imports, a batch at a time.

namespace {

std::string stagedname(size_t k) { return ".mailbox-import-" + std::to_string(k) + ".tmp"; }

// A name as stagedname gives one.
bool isstaged(std::string_view name) {
    if (!name.starts_with(".mailbox-import-") || !name.ends_with(".tmp")) return false;
    const std::string_view n = name.substr(16, name.size() - 20);
    return !n.empty() && n.size() < 6 && n.find_first_not_of("0123456789") == std::string_view::npos;
}

// One message of a batch's journal.
struct batchmsg {
    std::string aside, name, record;
    unsigned long long ino = 0;  // of the file aside, for taking back what this run moved
    long long size = 0, keylen = 0;
    uint64_t sum = 0, source = 0, keysum = 0;
};

struct batchjour {
    unsigned long long dev = 0, ino = 0;  // the index
    long long end = 0, ledger = 0;        // the old END; where the ledger's new lines go
    size_t taillen = 0;
    uint64_t tailsum = 0;
    std::vector<batchmsg> msgs;
};

std::string batchtext(const batchjour& j) {
    std::ostringstream o;
    o << BATCHMAGIC << "index " << j.dev << ' ' << j.ino << "\nend " << j.end << "\ntail "
      << j.taillen << ' ' << j.tailsum << "\nledger " << j.ledger << "\ncount " << j.msgs.size()
      << '\n';
    for (const batchmsg& m : j.msgs)
        o << m.aside << ' ' << m.name << ' ' << m.ino << ' ' << m.size << ' ' << m.sum << ' '
          << m.source << ' ' << m.keysum << ' ' << m.keylen << ' ' << m.record.size() << '\n'
          << m.record;
    return o.str();
}

// Every name in it plain, each record seven lines naming its own file: a
// journal planted or garbled can't write anything else into the index.
bool parsebatch(const std::string& text, batchjour* j) {
    std::istringstream in(text.substr(std::strlen(BATCHMAGIC)));
    std::string k[5];
    size_t count = 0;
    if (!(in >> k[0] >> j->dev >> j->ino >> k[1] >> j->end >> k[2] >> j->taillen >> j->tailsum >>
          k[3] >> j->ledger >> k[4] >> count) ||
        k[0] != "index" || k[1] != "end" || k[2] != "tail" || k[3] != "ledger" || k[4] != "count" ||
        in.get() != '\n' || j->end < 0 || j->ledger < 0 || j->taillen > TAIL || count > 100000)
        return false;
    std::set<std::string> names;
    for (size_t n = 0; n < count; n++) {
        batchmsg m;
        size_t reclen = 0;
        if (!(in >> m.aside >> m.name >> m.ino >> m.size >> m.sum >> m.source >> m.keysum >>
              m.keylen >> reclen) ||
            in.get() != '\n' || reclen > MAXRECORD)
            return false;
        m.record.assign(reclen, '\0');
        if (!in.read(m.record.data(), static_cast<std::streamsize>(reclen))) return false;
        size_t lines = 0;
        for (const char c : m.record) lines += c == '\n';
        if (!isstaged(m.aside) || !trustplain(m.name) || m.name.size() > 12 || m.name == "END" ||
            isstaged(m.name) || lines != 7 || !m.record.starts_with(m.name + "\n") ||
            !m.record.ends_with("\n") || !names.insert(m.name).second || !names.insert(m.aside).second)
            return false;
        j->msgs.push_back(std::move(m));
    }
    return in.peek() == std::char_traits<char>::eof();
}

bool holdsbytes(const std::string& name, long long size, uint64_t sum) {
    apjour j;
    j.tsize = size;
    j.tsum = sum;
    return holds(name.c_str(), j);
}

// A no-replace move, as movein.
int moveto(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from.c_str(), to.c_str()) != 0) return -1;
    if (!dursyncdir(".")) return -1;
    (void)unlink(from.c_str());
    return 0;
}

std::string ledgerpath(const std::string& real) { return durbeside(real, ".mailbox-import"); }

// The ledger's bytes from at made text, the rest cut off, synced; the file
// must be this user's regular file. One removed or emptied meanwhile (to
// take a source's messages again) is begun anew with text; one cut shorter
// gets text after its last whole line.
bool ledgerput(const std::string& real, long long at, std::string_view text) {
    const std::string path = ledgerpath(real);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0) return false;
    bool ok = fstat(fd, &st) == 0;
    if (ok && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
        errno = S_ISREG(st.st_mode) ? EPERM : EINVAL;
        ok = false;
    }
    std::string now, fresh;
    ok = ok && durreadfd(fd, &now);
    if (ok && !now.starts_with(LEDGERMAGIC)) {
        fresh = std::string(LEDGERMAGIC) + std::string(text);
        text = fresh;
        at = 0;
    } else if (ok && static_cast<long long>(now.size()) < at) {
        const size_t last = now.rfind('\n') + 1;
        at = static_cast<long long>(last);
    }
    ok = ok && putend(fd, static_cast<off_t>(at), text) && (at > 0 || dursyncdir(durparent(path)));
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

// A batch brought to rest: forward (after a cut) keeps each message that
// has its name, with its record, the records in the journal's order, and
// their lines in the ledger; back (a commit that failed) takes every
// message this run moved in out again and the index back to its old END.
// The messages left out stay in their sources. Records another program
// appended after the old END meanwhile stay. *kept: the messages in. false
// with *why when it can't be done now; the journal is kept then.
bool settle(const std::string& real, const std::string& journal, const batchjour& j, bool forward,
            std::vector<bool>* kept, std::string* why) {
    const auto fail = [&](const char* what, int err) {
        *why = std::string(what) + ": " + (err == ESTALE
                                               ? "the index holds lines after its old END that "
                                                 "are not whole records"
                                               : strerror(err));
        errno = err;
        return false;
    };
    kept->assign(j.msgs.size(), false);
    // From the wrong directory every message would seem lost: none of the
    // batch's files is here then.
    if (forward && std::none_of(j.msgs.begin(), j.msgs.end(), [](const batchmsg& m) {
            return present(m.aside) || present(m.name);
        })) {
        *why = "none of its messages is in the working directory, aside or in; run the command "
               "there";
        errno = EAGAIN;
        return false;
    }
    std::string recsall, recsin;
    for (size_t k = 0; k < j.msgs.size(); k++) {
        const batchmsg& m = j.msgs[k];
        recsall += m.record;
        if (!forward) continue;
        // In under its name already (its second name, where a link put it
        // in, goes), or still aside and its name free.
        bool in = holdsbytes(m.name, m.size, m.sum);
        if (!in && holdsbytes(m.aside, m.size, m.sum)) {
            in = moveto(m.aside, m.name) == 0;
            if (!in && errno != EEXIST) return fail("cannot move a message in", errno);
        }
        (*kept)[k] = in;
        if (in) recsin += m.record;
    }
    const int fd = open(real.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    std::string now;
    const auto end = static_cast<size_t>(j.end);
    const bool ours = fd >= 0 && durreadfd(fd, &now) && now.size() >= end && end >= j.taillen &&
                      fnv(std::string_view{now}.substr(end - j.taillen, j.taillen)) == j.tailsum;
    bool ok = true;
    if (ours) {
        const std::string_view after = std::string_view{now}.substr(end);
        const std::string want = recsin + ENDLINE;
        if (after == want)
            ok = true;
        else if (after.starts_with(recsall) && recordsthenend(now, end + recsall.size()))
            ok = putend(fd, j.end, recsin + std::string(after.substr(recsall.size())));
        else if (recordsthenend(now, end))
            ok = recsin.empty() || putend(fd, j.end, recsin + std::string(after));
        else if ((recsall + ENDLINE).starts_with(after))
            ok = putend(fd, j.end, want);  // the commit's write cut short (a full disk)
        else {
            ok = false;
            errno = ESTALE;
        }
    } else if (fd >= 0 && forward && !recsin.empty()) {
        // Another program's index written meanwhile: the messages kept go
        // after its records, where it is whole records and END, unless it
        // lists them already; else the journal waits for a person.
        const size_t owner = now.find('\n', now.find('\n') + 1);
        ok = owner != std::string::npos && recordsthenend(now, owner + 1);
        if (!ok) errno = ESTALE;
        std::string add;
        for (size_t k = 0; ok && k < j.msgs.size(); k++)
            if ((*kept)[k] && !lists(now, j.msgs[k].name)) add += j.msgs[k].record;
        if (ok && !add.empty()) ok = putend(fd, static_cast<off_t>(now.size() - 4), add + ENDLINE);
    } else if (fd < 0 && forward && !recsin.empty()) {
        ok = false;  // no index to list them in
    }
    const int err = errno;
    if (fd >= 0) close(fd);
    if (!ok) return fail("cannot write the index", err);
    // Taken back: only a file this run moved in, known by its inode.
    for (const batchmsg& m : j.msgs) {
        struct stat st;
        if (!forward && lstat(m.name.c_str(), &st) == 0 && sameas(st, m.ino, m.size) &&
            unlink(m.name.c_str()) != 0)
            return fail("cannot take a message out again", errno);
        (void)unlink(m.aside.c_str());
    }
    if (!dursyncdir(".")) return fail("cannot sync the working directory", errno);
    std::string lines;
    for (size_t k = 0; k < j.msgs.size(); k++)
        if ((*kept)[k]) lines += apledgerline(j.msgs[k].source, j.msgs[k].keysum, j.msgs[k].keylen);
    if (!lines.empty() && !ledgerput(real, j.ledger, lines))
        return fail("cannot write the ledger of imported messages", errno);
    if (unlink(journal.c_str()) != 0 || !dursyncdir(durparent(journal)))
        return fail("cannot remove the journal", errno);
    return true;
}

}  // namespace

void sweepstaged(size_t from, const struct stat& index) {
    for (size_t k = from; present(stagedname(k)); k++)
        if (!isindex(stagedname(k).c_str(), index)) (void)unlink(stagedname(k).c_str());
}

bool batchfinish(const std::string& real, const std::string& journal, const std::string& text,
                 const std::string& shown, const struct stat& index, FILE* errs, bool* done) {
    batchjour j;
    if (!parsebatch(text, &j)) {
        say(errs, "cannot read '%s', the journal of an import into %s cut short: not in a form "
            "mailbox writes; nothing done\n", journal.c_str(), shown.c_str());
        errno = EPERM;  // not this program's: planted
        return false;
    }
    std::vector<bool> kept;
    std::string why;
    if (!settle(real, journal, j, true, &kept, &why)) {
        say(errs, "cannot finish an import into %s cut short: %s; the journal kept\n", shown.c_str(),
            why.c_str());
        return false;
    }
    sweepstaged(0, index);
    const auto in = static_cast<size_t>(std::count(kept.begin(), kept.end(), true));
    say(errs, "an import into %s cut short is finished: %zu of its last %zu messages are in%s%s\n",
        shown.c_str(), in, kept.size(), why.empty() ? "" : "; ", why.c_str());
    if (done) *done = true;
    return true;
}

apbatch::~apbatch() { apdiscardbatch(this); }

unsigned long long apsource(const std::string& realpath) { return fnv(realpath); }

namespace {

// A header line mail readers rewrite in place, whose change is no new mail.
bool rewritten(std::string_view line) {
    for (const std::string_view name : {"status:", "x-status:", "x-keywords:", "x-uid:",
                                        "x-mozilla-status:", "x-mozilla-status2:", "content-length:"})
        if (line.size() >= name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0)
            return true;
    return false;
}

}  // namespace

void apkey(std::string_view m, unsigned long long* sum, long long* len) {
    while (!m.empty() && (m.back() == '\n' || m.back() == '\r')) m.remove_suffix(1);
    uint64_t h = 1469598103934665603ULL;
    long long n = 0;
    bool header = true, skipping = false;
    for (size_t at = 0; at < m.size();) {
        const size_t nl = m.find('\n', at);
        const size_t end = nl == std::string_view::npos ? m.size() : nl + 1;
        const std::string_view line = m.substr(at, end - at);
        at = end;
        if (header) {
            if (line == "\n" || line == "\r\n") {
                header = skipping = false;
            } else if (line[0] == ' ' || line[0] == '\t') {
                if (skipping) continue;
            } else if ((skipping = rewritten(line))) {
                continue;
            }
        }
        for (const char c : line) {
            h ^= static_cast<unsigned char>(c);
            h *= 1099511628211ULL;
        }
        n += static_cast<long long>(line.size());
    }
    *sum = h;
    *len = n;
}

bool apbatchpending(const char* meta, std::vector<std::string>* lines, long* highest) {
    lines->clear();
    *highest = -1;
    const std::string real = realof(meta);
    std::string text;
    batchjour j;
    if (real.empty() || !readown(durbeside(real, ".mailbox-append"), &text) ||
        !text.starts_with(BATCHMAGIC) || !parsebatch(text, &j))
        return false;
    for (const batchmsg& m : j.msgs) {
        lines->push_back(apledgerline(m.source, m.keysum, m.keylen));
        *highest = std::max(*highest, numberof(m.name));
    }
    return true;
}

std::string apledgerline(unsigned long long source, unsigned long long sum, long long size) {
    char buf[80];
    (void)snprintf(buf, sizeof buf, "%016llx %016llx %lld\n", source, sum, size);
    return buf;
}

bool apledgersame(const char* meta, const apledger& l) {
    const std::string real = realof(meta);
    struct stat st;
    return !real.empty() && lstat(ledgerpath(real).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size == l.size;
}

bool apledgertake(apledger* l, const std::string& line) {
    const auto it = l->had.find(line);
    if (it == l->had.end() || it->second == 0) return false;
    it->second--;
    return true;
}

bool apledgerread(const char* meta, apledger* l, std::string* oldsources, long* olddone,
                  std::string* why) {
    *l = apledger{};
    oldsources->clear();
    *olddone = 0;
    const std::string real = realof(meta);
    struct stat st;
    if (real.empty() || (lstat(ledgerpath(real).c_str(), &st) != 0 && errno == ENOENT)) return true;
    std::string text;
    if (!readown(ledgerpath(real), &text)) {
        *why = trustwhy(errno);
        return false;
    }
    if (text.starts_with(IMPORTMAGIC)) {
        if (parseimport(text, oldsources, olddone)) return true;
        *why = "not in a form mailbox writes";
        return false;
    }
    if (!text.starts_with(LEDGERMAGIC)) {
        *why = "not in a form mailbox writes";
        return false;
    }
    // A line cut short by a crash is not one: the next lines go over it.
    const size_t last = text.rfind('\n') + 1;
    for (size_t at = std::strlen(LEDGERMAGIC); at < last;) {
        const size_t nl = text.find('\n', at);
        const std::string line = text.substr(at, nl + 1 - at);
        unsigned long long a = 0, b = 0;
        long long n = -1;
        const char* p = line.data();
        const char* e = p + line.size();
        auto r = std::from_chars(p, e, a, 16);
        if (r.ptr < e && *r.ptr == ' ') r = std::from_chars(r.ptr + 1, e, b, 16);
        if (r.ptr < e && *r.ptr == ' ') (void)std::from_chars(r.ptr + 1, e, n);
        // The line as this program writes it, and no other.
        if (n < 0 || apledgerline(a, b, n) != line) {
            *why = "not in a form mailbox writes";
            return false;
        }
        l->had[line]++;
        at = nl + 1;
    }
    l->size = static_cast<long long>(last);
    return true;
}

bool apledgerbegin(const char* meta, apledger* l, const std::vector<std::string>& taken) {
    const std::string real = realof(meta);
    if (real.empty()) return false;
    std::string text = LEDGERMAGIC;
    for (const auto& [line, n] : l->had)
        for (long k = 0; k < n; k++) text += line;
    for (const std::string& line : taken) {
        text += line;
        l->had[line]++;
    }
    if (!durwrite(durbeside(real, ".mailbox-import.new"), ledgerpath(real), nullptr,
                  [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); }))
        return false;
    l->size = static_cast<long long>(text.size());
    return true;
}

apresult apstage(const apbox* box, apbatch* b, std::string_view message, unsigned long long source,
                 unsigned long long keysum, long long keylen) {
    apstaged m;
    m.keysum = keysum;
    m.keylen = keylen;
    m.aside = stagedname(b->msgs.size());
    m.size = static_cast<long long>(message.size());
    m.sum = fnv(message);
    m.source = source;
    (void)unlink(m.aside.c_str());
    m.fd = open(m.aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = m.fd >= 0;
    for (std::string_view s = message; ok && !s.empty();) {
        const ssize_t n = write(m.fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) s.remove_prefix(static_cast<size_t>(n));
    }
    if (ok && geteuid() == 0 && box->uid != 0) ok = fchown(m.fd, box->uid, box->gid) == 0;
#ifdef SYNC_FILE_RANGE_WRITE
    // Its writing begun now, so that the batch's syncs find most of it done.
    if (ok) (void)sync_file_range(m.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    const int err = errno;
    if (!ok) {
        if (m.fd >= 0) {
            close(m.fd);
            (void)unlink(m.aside.c_str());
        }
        errno = err;
        return errstatus(err);
    }
    b->bytes += m.size;
    b->msgs.push_back(std::move(m));
    return apresult::ok;
}

void apunstage(apbatch* b) {
    if (b->msgs.empty()) return;
    apstaged& m = b->msgs.back();
    if (m.fd >= 0) close(m.fd);
    (void)unlink(m.aside.c_str());
    b->bytes -= m.size;
    b->msgs.pop_back();
}

void apdiscardbatch(apbatch* b) {
    while (!b->msgs.empty()) apunstage(b);
    b->bytes = 0;
}

apresult apcommitbatch(apbox* box, apbatch* b, apledger* l, std::vector<std::string>* names,
                       std::string* why) {
    names->clear();
    if (b->msgs.empty()) return apresult::ok;
    const std::string journal = durbeside(box->real, ".mailbox-append");
    const auto nothing = [&](const char* what) {
        const int err = errno;
        *why = std::string(what) + ": " + strerror(err) + "; nothing of this batch kept";
        apdiscardbatch(b);
        errno = err;
        return errstatus(err);
    };
    batchjour j;
    putbox(box, &j);
    j.ledger = l->size;
    // One sync of the file system for the whole batch where the system has
    // one: a sync a file costs a journal commit each. Each file's own sync
    // after it, on pages already clean, costs little and says whether that
    // file's writing failed, which a system before Linux 5.8 does not tell
    // syncfs; where syncfs fails, it is the whole sync.
    bool synced = false;
#ifdef __linux__
    synced = syncfs(b->msgs[0].fd) == 0;
#endif
    for (apstaged& m : b->msgs) {
        struct stat st;
        // cppcheck-suppress knownConditionTrueFalse ; set where __linux__ is, which cppcheck does not define
        const bool ok = (synced ? fdatasync(m.fd) : fsync(m.fd)) == 0 && fstat(m.fd, &st) == 0;
        const int err = errno;
        close(m.fd);
        m.fd = -1;
        errno = err;
        if (!ok) return nothing("cannot sync a message written aside");
        j.msgs.push_back({m.aside, "", "", st.st_ino, m.size, m.keylen, m.sum, m.source, m.keysum});
    }
    // Their names too: a journal found after a power cut must find every
    // message it names, aside or in, to keep the batch in its order.
    if (!dursyncdir(".")) return nothing("cannot sync the working directory");
    // Names from first on, each free when looked at; the journal names
    // them before the first moves.
    const auto choose = [&](size_t first, long from) -> bool {
        for (size_t k = first; k < j.msgs.size(); k++) {
            for (;; from++) {
                if (from > APMAXNO) {
                    errno = EMLINK;
                    return false;
                }
                struct stat st;
                if (lstat(nameof(from).c_str(), &st) == 0) continue;
                if (errno == ENOENT) break;
                return false;
            }
            j.msgs[k].name = nameof(from++);
            j.msgs[k].record = aprecordtext(j.msgs[k].name, b->msgs[k].fields);
        }
        const std::string text = batchtext(j);
        return durwrite(durbeside(box->real, ".mailbox-append.new"), journal, nullptr,
                        [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); });
    };
    if (!choose(0, box->next)) {
        const int err = errno;
        (void)unlink(journal.c_str());  // a journal half-chosen names nothing moved
        errno = err;
        if (err == EMLINK) {
            *why = std::string("no free name is left under in") + std::to_string(APMAXNO) +
                   ".msg; nothing of this batch kept";
            apdiscardbatch(b);
            return apresult::broken;
        }
        return nothing("cannot write the journal");
    }
    // What went wrong once the journal is on disk: taken back, or left to
    // the journal where even that fails.
    const auto back = [&](const char* what) {
        const int err = errno;
        std::vector<bool> kept;
        std::string how;
        const bool undone = settle(box->real, journal, j, false, &kept, &how);
        *why = std::string(what) + ": " + strerror(err) +
               (undone ? "; nothing of this batch kept"
                       : "; the next mailbox command finishes it (" + how + ")");
        for (apstaged& m : b->msgs) m.fd = -1;
        b->msgs.clear();
        b->bytes = 0;
        errno = err;
        return errstatus(err);
    };
    for (size_t k = 0; k < j.msgs.size(); k++) {
        if (moveto(j.msgs[k].aside, j.msgs[k].name) == 0) continue;
        if (errno != EEXIST) return back("cannot move a message in");
        // Taken meanwhile by a writer that holds no lock: this one and the
        // rest get names after it, in a journal written anew.
        if (!choose(k, numberof(j.msgs[k].name) + 1)) return back("cannot write the journal");
        k--;
    }
    if (!dursyncdir(".")) return back("cannot sync the working directory");
    std::string recs;
    for (const batchmsg& m : j.msgs) recs += m.record;
    const int fd = openunchanged(box);
    if (fd < 0) return back("the index was changed by another program meanwhile");
    const bool put = putend(fd, box->end, recs + ENDLINE);
    const int err = errno;
    close(fd);
    errno = err;
    if (!put) return back("cannot write the index");
    // Message and records are on disk; the ledger says so, then the
    // journal goes.
    std::string lines;
    for (const batchmsg& m : j.msgs) lines += apledgerline(m.source, m.keysum, m.keylen);
    const bool done = ledgerput(box->real, l->size, lines) && unlink(journal.c_str()) == 0 &&
                      dursyncdir(durparent(journal));
    const int lerr = errno;
    for (const batchmsg& m : j.msgs) names->push_back(m.name);
    box->end += static_cast<off_t>(recs.size());
    box->records += static_cast<long>(j.msgs.size());
    box->tail += recs;
    if (box->tail.size() > TAIL) box->tail.erase(0, box->tail.size() - TAIL);
    box->next = numberof(j.msgs.back().name) + 1;
    l->size += static_cast<long long>(lines.size());
    b->msgs.clear();
    b->bytes = 0;
    if (!done) {
        errno = lerr;
        *why = std::string("the messages are in, but the ledger or journal can't be written: ") +
               strerror(lerr) + "; the next mailbox command finishes it";
        return errstatus(lerr);
    }
    return apresult::ok;
}
