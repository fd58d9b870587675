// What the mailbox tool's commands share (tools/mailbox/index.h), and its
// complaint lines (tools/mailbox/cmd.h).
#include "tools/mailbox/index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <string>
#include <vector>

#include "headers/msghdr.h"
#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/quote.h"
#include "mailbox/receipt.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"
#include "tools/mailbox/cmd.h"

void mbxsay(const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    (void)fputs("mailbox: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(stderr, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
}

std::string mbxq(const char* name) { return quotename(name); }


mbxhead mbxnewhead() {
    mbxhead head(llnew());
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    if (!head->mydata) abort();
    return head;
}

// readmeta with its own messages kept off standard output: the tool says
// what went wrong in its own words.
void mbxquietload(const char* meta, llnode* head) {
    (void)fflush(stdout);
    const int keep = dup(1);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (keep >= 0 && null >= 0) (void)dup2(null, 1);
    (void)readmeta(meta, head);
    (void)fflush(stdout);
    if (keep >= 0 && null >= 0) (void)dup2(keep, 1);
    if (null >= 0) close(null);
    if (keep >= 0) close(keep);
}

void mbxsayfault(const char* meta, const metafault& f) {
    if (f.line < 0)
        mbxsay("cannot read %s: %s\n", mbxq(meta).c_str(), f.why);
    else
        mbxsay("%s:%d: %s\n", quoteshown(meta).c_str(), f.line, f.why);
}

// What keeps the index from being read at all, or from being read the same
// twice (a FIFO, a device): a line, and false.
bool mbxreadable(const char* meta) {
    struct stat st;
    if (stat(meta, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return true;
    mbxsay("%s is not a regular file; nothing done\n", mbxq(meta).c_str());
    return false;
}

// The whole index, or null after a line that says where it stops loading.
mbxhead mbxload(const char* meta) {
    if (!mbxreadable(meta)) return nullptr;
    const metafault f = metachk(meta, false);
    if (f.line != 0) {
        mbxsayfault(meta, f);
        if (f.line > 0)
            mbxsay("%s is not read whole; 'mailbox check %s' says more; nothing done\n",
                   mbxq(meta).c_str(), quoteshown(meta).c_str());
        return nullptr;
    }
    mbxhead head = mbxnewhead();
    mbxquietload(meta, head.get());
    return head;
}

namespace {

// Where the index's END line ends in text, from line *line at *at on (both
// kept for the next call, which sees more text): npos while it is not
// there yet. The END line is the one where a record's name would start.
size_t pastend(std::string_view text, size_t* at, size_t* line) {
    for (size_t nl; (nl = text.find('\n', *at)) != std::string_view::npos; ++*line) {
        const std::string_view got = text.substr(*at, nl - *at);
        *at = nl + 1;
        if (*line >= 2 && (*line - 2) % 7 == 0 && got == "END") return *at;
    }
    return std::string_view::npos;
}

// The index's text up to its END line, read into a string its size says
// (up to a bound), without a copy. Nothing past END is read: the views leave
// it alone and every writer refuses it, and past END a file may be a
// terabyte of hole, which no memory holds.
bool readwhole(const char* path, std::string* out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    constexpr size_t first = size_t{1} << 26;
    size_t have = 0, at = 0, line = 0, end = std::string::npos;
    if (ok) out->resize(std::min(static_cast<size_t>(st.st_size), first) + 1);
    while (ok && end == std::string::npos) {
        // An index with no END line in its first DURREADMAX bytes is
        // not read on into a hole no memory holds.
        if (have > DURREADMAX) {
            ok = false;
            errno = EFBIG;
            break;
        }
        if (have == out->size()) out->resize(std::min(out->size() * 2 + 4096, DURREADMAX + 1));
        const ssize_t n = read(fd, out->data() + have, out->size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        have += static_cast<size_t>(n);
        end = pastend(std::string_view{*out}.substr(0, have), &at, &line);
    }
    const int err = errno;
    close(fd);
    out->resize(end == std::string::npos ? have : end);
    errno = err;
    return ok;
}

}  // namespace

bool mbxview(const char* meta, rvindex* idx) {
    if (!mbxreadable(meta)) return false;
    const metafault f = metachk(meta, false);
    if (f.line != 0) {
        mbxsayfault(meta, f);
        if (f.line > 0)
            mbxsay("%s is not read whole; 'mailbox check %s' says more; nothing done\n",
                   mbxq(meta).c_str(), renumshown(meta).c_str());
        return false;
    }
    std::string text;
    if (!readwhole(meta, &text)) {
        mbxsay("cannot read %s: %s; nothing done\n", mbxq(meta).c_str(), strerror(errno));
        return false;
    }
    if (!rvparse(std::move(text), idx)) {
        mbxsay("%s was changed by another program while it was read; nothing done\n",
               mbxq(meta).c_str());
        return false;
    }
    return true;
}

int mbxnumbers(const mbxargs& a, int count, std::vector<int>* nos) {
    for (const std::string& arg : a.nums) {
        const char* p = arg.c_str();
        const char* end = p + arg.size();
        int lo = 0, hi = 0;
        auto r = std::from_chars(p, end, lo);
        if (r.ec == std::errc() && r.ptr == end) {
            hi = lo;
        } else if (r.ec != std::errc() || *r.ptr != '-' ||
                   (r = std::from_chars(r.ptr + 1, end, hi)).ec != std::errc() || r.ptr != end ||
                   hi < lo) {
            mbxsay("%s is not a record number or a range of them (such as 3-7)\n",
                   mbxq(arg.c_str()).c_str());
            return MBXUSAGE;
        }
        if (count == 0) {
            mbxsay("%s holds no records; nothing done\n", mbxq(a.meta).c_str());
            return MBXFAIL;
        }
        if (lo < 1 || hi > count) {
            mbxsay("%s has no record %d (its records are numbered 1 to %d); nothing done\n",
                   mbxq(a.meta).c_str(), lo < 1 ? lo : hi, count);
            return MBXFAIL;
        }
        for (int no = lo; no <= hi; no++) nos->push_back(no);
    }
    return 0;
}

// Whether the loaded index would be written back as it is; otherwise its
// first few faulty lines are said.
bool mbxwritable(const char* meta) {
    constexpr int shown = 3;
    metafault f[shown];
    const int n = metachkall(meta, true, f, shown);
    for (int k = 0; k < n && k < shown; k++) mbxsayfault(meta, f[k]);
    if (n > shown) mbxsay("and %d more such lines\n", n - shown);
    if (n > 0)
        mbxsay(
            "%s would not be written back as it is; see 'mailbox check %s' and 'mailbox "
            "mend'; nothing done\n",
            mbxq(meta).c_str(), quoteshown(meta).c_str());
    return n == 0;
}

int mbxflushed(FILE* f) {
    if (fflush(f) == 0 && !ferror(f)) return MBXOK;
    mbxsay("error writing standard output\n");
    return MBXOUT;
}

// A command's status once its lines are out: a write to standard output
// that failed says so, unless the command failed already.
int mbxwithoutput(int rc) {
    const int out = mbxflushed(stdout);
    return out != MBXOK && rc != MBXFAIL ? out : rc;
}

// true, after a line, when the index lists records and none of their files
// is here: run from the wrong directory, most likely, where a command that
// drops or deletes would take every message for gone.
namespace {

// msgseq's hint for an index whose every file is missing.
void saynonehere() {
    char cwd[PATH_MAX];
    mbxsay(
        "none of the listed files was found; names are taken relative to the working "
        "directory, %s; nothing done\n",
        getcwd(cwd, sizeof cwd) ? quoteshown(cwd).c_str() : "(unknown)");
}

}  // namespace

void mbxsaystale(const char* meta, bool refused) {
    mbxsay("%s still lists the names a plain msgseq run has since changed; run 'msgseq -u %s' to "
           "bring it up to date%s\n",
           mbxq(meta).c_str(), quoteshown(meta).c_str(), refused ? "; nothing done" : "");
}

void mbxsaynonehere(const char* meta) {
    if (rcpt last; rcptlast(meta, &last, "mailbox", nullptr) != rcptfit::none)
        mbxsaystale(meta, true);
    else
        saynonehere();
}

bool mbxnonehere(const llnode* head) {
    if (head->count == 0) return false;
    for (const llnode* rec = head->next; rec; rec = rec->next) {
        struct stat st;
        if (lstat(rec->datafile, &st) == 0) return false;
    }
    saynonehere();
    return true;
}

bool mbxnonehere(const rvindex& idx) {
    if (idx.recs.empty()) return false;
    for (const rvrec& r : idx.recs) {
        struct stat st;
        if (fstatat(AT_FDCWD, std::string(r.name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return false;
    }
    saynonehere();
    return true;
}

namespace {

// A header's value on one index line: a line break left in it would end the
// field early.
std::string oneline(std::string s) {
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

struct fdcloser {
    int fd;
    ~fdcloser() {
        if (fd >= 0) (void)close(fd);
    }
};

// rec filled from the headers of the message file path, listed as name and
// numbered no, or from the record known gives for it; false after a line that
// says why the file is left out.
bool readrecord(const std::string& path, const std::string& name, llnode* rec, int no,
                const mbxknown& known) {
    const std::string q = mbxq(path.c_str());
    if (name.size() > sizeof rec->datafile - 1) {
        mbxsay("%s: its name is longer than 12 bytes, more than the index holds; left out\n",
               q.c_str());
        return false;
    }
    if (name == "END" || name.find_first_of("\n\r") != std::string::npos) {
        mbxsay("%s: the index can't list a file of this name; left out\n", q.c_str());
        return false;
    }
    // Listed a moment ago, the name may be a link or a FIFO by now: only a
    // regular file opened as such is read, or matched to an old record.
    struct stat st;
    const fdcloser fd{trustopenmsg(AT_FDCWD, path.c_str(), &st)};
    const llnode* old = fd.fd >= 0 && known ? known(path, st) : nullptr;
    if (old) {
        llfill(rec, name.c_str(), old->to, old->from, old->subject, old->cc, old->bcc, ACTIVE,
               old->read == MSGREAD ? MSGREAD : MSGNEW, no);
        return true;
    }
    msghdr h;
    const int rc = fd.fd < 0 ? -1 : msghdrreadfd(fd.fd, &h);
    if (rc == 1) {
        mbxsay("%s is not a message (no header block); left out\n", q.c_str());
        return false;
    }
    if (rc != 0 && (errno == ELOOP || errno == EINVAL)) {
        mbxsay("%s is not a regular file; left out\n", q.c_str());
        return false;
    }
    if (rc != 0) {
        mbxsay("cannot read %s: %s; left out\n", q.c_str(), strerror(errno));
        return false;
    }
    llfill(rec, name.c_str(), oneline(h.to).c_str(), oneline(h.from).c_str(),
           oneline(h.subject).c_str(), oneline(h.cc).c_str(), oneline(h.bcc).c_str(), ACTIVE,
           h.read ? MSGREAD : MSGNEW, no);
    return true;
}

}  // namespace

// Appends a record read from name after *last; false when it is left out.
bool mbxadopt(const std::string& name, llnode* head, llnode** last, int no,
              const mbxknown& known, const char* as) {
    llnode* rec = llnew();
    if (!readrecord(name, as ? as : name, rec, no, known)) {
        llfree(rec);
        return false;
    }
    *last = llappend(rec, head, *last);
    return true;
}

// The old index kept as real + ".old", where the mailbox's owner finds it
// (an older copy there is replaced), in two steps: a second name for it now,
// moved over the older copy only once the new index is in (mbxoldin). A
// write that fails so leaves the older copy as it was, and never leaves the
// copy a second name of the index in place, which appends would change.
// 0, or the status after a line; *staged: the second name, empty when none
// was made (a dry run only looks).
int mbxkeepold(const std::string& real, const char* meta, bool dryrun, std::string* staged) {
    staged->clear();
    const std::string kept = real + ".old";
    struct stat now, old;
    if (stat(real.c_str(), &now) == 0 && lstat(kept.c_str(), &old) == 0 &&
        now.st_dev == old.st_dev && now.st_ino == old.st_ino)
        return 0;  // kept already, by a run cut short
    if (dryrun) return 0;
    const std::string tmp = durbeside(real, ".mailbox-old");
    (void)unlink(tmp.c_str());
    if (link(real.c_str(), tmp.c_str()) == 0) {
        *staged = tmp;
        return 0;
    }
    mbxsay("cannot keep the old index as %s: %s; nothing done\n",
           mbxq((std::string(meta) + ".old").c_str()).c_str(), strerror(errno));
    return MBXFAIL;
}

int mbxoldin(const std::string& real, const char* meta, const std::string& staged, bool replaced) {
    if (staged.empty()) return 0;
    if (!replaced) {
        (void)unlink(staged.c_str());
        return 0;
    }
    const std::string kept = real + ".old";
    if (rename(staged.c_str(), kept.c_str()) == 0 && dursyncdir(durparent(real))) return 0;
    mbxsay("the new %s is in, but the old one is not kept as %s: %s\n", mbxq(meta).c_str(),
           mbxq((std::string(meta) + ".old").c_str()).c_str(), strerror(errno));
    return MBXFAIL;
}

void mbxoldleft(const std::string& real) {
    const std::string tmp = durbeside(real, ".mailbox-old");
    struct stat t, now;
    if (lstat(tmp.c_str(), &t) != 0) return;
    if (S_ISREG(t.st_mode) && t.st_uid == geteuid() && stat(real.c_str(), &now) == 0 &&
        (t.st_dev != now.st_dev || t.st_ino != now.st_ino) &&
        rename(tmp.c_str(), (real + ".old").c_str()) == 0) {
        (void)dursyncdir(durparent(real));
        return;
    }
    (void)unlink(tmp.c_str());
}

// The line for an index renamed in whose directory could not be synced.
void mbxnotondisk(const char* meta, int err, bool kept) {
    mbxsay(
        "the new %s is in place, but not on disk (%s): a crash may bring the old one back%s%s; "
        "run 'sync', then 'mailbox check %s'\n",
        mbxq(meta).c_str(), strerror(err), kept ? ", which is kept as " : "",
        kept ? mbxq((std::string(meta) + ".old").c_str()).c_str() : "", quoteshown(meta).c_str());
}