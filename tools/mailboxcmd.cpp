// The subcommands of the mailbox tool (tools/mailboxcmd.h).
#include "tools/mailboxcmd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "headers/msghdr.h"
#include "mailbox/check.h"
#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"

void mbxsay(const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    (void)fputs("mailbox: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(stderr, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
}

// Built by character: GCC 12 at -O3 misreads a literal prepended to a string.
std::string mbxq(const char* name) {
    std::string q(1, '\'');
    q += renumshown(name);
    q += '\'';
    return q;
}

namespace {

struct listfree {
    void operator()(llnode* l) const { llfree(l); }
};
using listptr = std::unique_ptr<llnode, listfree>;

listptr newhead() {
    listptr head(llnew());
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    if (!head->mydata) abort();
    return head;
}

// readmeta with its own messages kept off standard output: the tool says
// what went wrong in its own words.
void quietload(const char* meta, llnode* head) {
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

void sayfault(const char* meta, const metafault& f) {
    if (f.line < 0)
        mbxsay("cannot read %s: %s\n", mbxq(meta).c_str(), f.why);
    else
        mbxsay("%s:%d: %s\n", renumshown(meta).c_str(), f.line, f.why);
}

// What keeps the index from being read at all, or from being read the same
// twice (a FIFO, a device): a line, and false.
bool readable(const char* meta) {
    struct stat st;
    if (stat(meta, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return true;
    mbxsay("%s is not a regular file; nothing done\n", mbxq(meta).c_str());
    return false;
}

// The whole index, or null after a line that says where it stops loading.
listptr load(const char* meta) {
    if (!readable(meta)) return nullptr;
    const metafault f = metachk(meta, false);
    if (f.line != 0) {
        sayfault(meta, f);
        if (f.line > 0)
            mbxsay("%s is not read whole; 'mailbox check %s' says more; nothing done\n",
                   mbxq(meta).c_str(), renumshown(meta).c_str());
        return nullptr;
    }
    listptr head = newhead();
    quietload(meta, head.get());
    return head;
}

// Whether the loaded index would be written back as it is; otherwise its
// first few faulty lines are said.
bool writable(const char* meta) {
    constexpr int shown = 3;
    metafault f[shown];
    const int n = metachkall(meta, true, f, shown);
    for (int k = 0; k < n && k < shown; k++) sayfault(meta, f[k]);
    if (n > shown) mbxsay("and %d more such lines\n", n - shown);
    if (n > 0)
        mbxsay(
            "%s would not be written back as it is; see 'mailbox check %s' and 'mailbox "
            "mend'; nothing done\n",
            mbxq(meta).c_str(), renumshown(meta).c_str());
    return n == 0;
}

// A field as one tab-separated column shows it: control bytes become '?'.
void column(std::string* out, const char* field) {
    for (const char* p = field; *p; p++) {
        const auto c = static_cast<unsigned char>(*p);
        out->push_back(c < 0x20 || c == 0x7f ? '?' : *p);
    }
}

int flushed(FILE* f) {
    if (fflush(f) == 0 && !ferror(f)) return MBXOK;
    mbxsay("error writing standard output\n");
    return MBXOUT;
}

// A command's status once its lines are out: a write to standard output
// that failed says so, unless the command failed already.
int withoutput(int rc) {
    const int out = flushed(stdout);
    return out != MBXOK && rc != MBXFAIL ? out : rc;
}

// true, after a line, when the index lists records and none of their files
// is here: run from the wrong directory, most likely, where a command that
// drops or deletes would take every message for gone.
bool nonehere(const llnode* head) {
    if (head->count == 0) return false;
    for (const llnode* rec = head->next; rec; rec = rec->next) {
        struct stat st;
        if (lstat(rec->datafile, &st) == 0) return false;
    }
    char cwd[PATH_MAX];
    mbxsay(
        "none of the listed files was found; names are taken relative to the working "
        "directory, %s; nothing done\n",
        getcwd(cwd, sizeof cwd) ? renumshown(cwd).c_str() : "(unknown)");
    return true;
}

}  // namespace

int mbxlist(const mbxargs& a) {
    listptr head = load(a.meta);
    if (!head) return MBXFAIL;
    std::string out;
    out.reserve(1 << 17);
    for (const llnode* rec = head->next; rec; rec = rec->next) {
        char num[16];
        const auto end = std::to_chars(num, num + sizeof num, rec->no).ptr;
        out.append(num, end);
        out += rec->read == MSGREAD ? "\tR\t" : "\tN\t";
        column(&out, rec->from);
        out.push_back('\t');
        column(&out, rec->subject);
        out.push_back('\n');
        if (out.size() >= (1 << 16)) {
            if (fwrite(out.data(), 1, out.size(), stdout) != out.size()) return flushed(stdout);
            out.clear();
        }
    }
    (void)fwrite(out.data(), 1, out.size(), stdout);
    return flushed(stdout);
}

int mbxcheck(const mbxargs& a) {
    if (!readable(a.meta)) return MBXFAIL;
    const metafault f = metachk(a.meta, false);
    if (f.line < 0) {
        sayfault(a.meta, f);
        return MBXFAIL;
    }
    listptr head = newhead();
    quietload(a.meta, head.get());
    chkreport report;
    if (!chkindex(a.meta, head.get(), &report)) {
        mbxsay("cannot read the working directory: %s\n", strerror(errno));
        return MBXFAIL;
    }
    for (const chkitem& item : report.items) (void)printf("%s\n", chkline(item).c_str());
    (void)printf("%s\n", chktotals(report).c_str());
    if (flushed(stdout) != MBXOK) return MBXOUT;
    return report.items.empty() ? MBXOK : MBXFOUND;
}

namespace {

// "N" or "A-B" into *nos; 0, or the status after a line saying why.
int numbers(const mbxargs& a, int count, std::vector<int>* nos) {
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

int rmstatus(int rc) { return rc == RMOK ? MBXOK : rc == RMLEFT ? MBXFOUND : MBXFAIL; }

}  // namespace

int mbxdelete(const mbxargs& a) {
    listptr head = load(a.meta);
    if (!head) return MBXFAIL;
    std::vector<int> nos;
    if (const int rc = numbers(a, head->count, &nos)) return rc;
    if (nonehere(head.get()) || !writable(a.meta)) return MBXFAIL;
    return withoutput(rmstatus(rmdelete(a.meta, head.get(), nos, a.dryrun, stdout, stderr)));
}

namespace {

// A header's value on one index line: a line break left in it would end the
// field early.
std::string oneline(std::string s) {
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

// rec filled from the message file name's own headers, numbered no; false
// after a line that says why the file is left out.
bool readrecord(const std::string& name, llnode* rec, int no) {
    const std::string q = mbxq(name.c_str());
    if (name.size() > sizeof rec->datafile - 1) {
        mbxsay("%s: its name is longer than 12 bytes, more than the index holds; left out\n",
               q.c_str());
        return false;
    }
    if (name == "END" || name.find_first_of("\n\r") != std::string::npos) {
        mbxsay("%s: the index can't list a file of this name; left out\n", q.c_str());
        return false;
    }
    msghdr h;
    const int rc = msghdrread(name.c_str(), &h);
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

// Appends a record read from name after *last; false when it is left out.
bool adopt(const std::string& name, llnode* head, llnode** last, int no) {
    llnode* rec = llnew();
    if (!readrecord(name, rec, no)) {
        llfree(rec);
        return false;
    }
    *last = llappend(rec, head, *last);
    return true;
}

const char* fieldof(const llnode* rec, const std::string& field) {
    return field == "to"        ? rec->to
           : field == "from"    ? rec->from
           : field == "subject" ? rec->subject
           : field == "cc"      ? rec->cc
                                : rec->bcc;
}

// What keeps mend from writing the index back: lines it would lose, and
// fields over their limit unless it may cut them. The first ten are said,
// then how many more, as msgseq -u says them.
bool mendable(const mbxargs& a, const chkreport& report) {
    constexpr int shown = 10;
    int n = 0;
    for (const chkitem& item : report.items) {
        if (item.kind == chkkind::index || (item.kind == chkkind::toolong && !a.cutlong))
            if (n++ < shown) (void)fprintf(stderr, "mailbox: %s\n", chkline(item).c_str());
    }
    if (n > shown) mbxsay("and %d more such lines\n", n - shown);
    const bool ok = n == 0;
    if (!ok)
        mbxsay("%s would not be written back as it is%s; nothing done\n", mbxq(a.meta).c_str(),
               a.cutlong ? "" : " (--cut-long cuts the fields that are too long)");
    return ok;
}

// Each record but the first that lists one file leaves: names compared as
// files where the file is here ("a", "./a" and a link to it are one), as
// strings where it is not. The number dropped; a line each in *said.
int droptwice(const mbxargs& a, llnode* head, std::string* said) {
    int changes = 0;
    std::map<std::pair<dev_t, ino_t>, int> byfile;
    std::unordered_map<std::string, int> byname;
    for (llnode* rec = head->next; rec; rec = rec->next) {
        if (rec->status != ACTIVE) continue;
        struct stat st;
        const int first = stat(rec->datafile, &st) == 0
                              ? byfile.try_emplace({st.st_dev, st.st_ino}, rec->no).first->second
                              : byname.try_emplace(rec->datafile, rec->no).first->second;
        if (first == rec->no) continue;
        rec->status = DELETED;
        changes++;
        *said += std::string(a.dryrun ? "would drop" : "dropped") + " record " +
                 std::to_string(rec->no) + " (" + mbxq(rec->datafile) + "), whose file record " +
                 std::to_string(first) + " lists\n";
    }
    return changes;
}

// Records whose file is missing leave; fields too long are cut, but for
// those of records that leave. The number of changes; a line for each in
// *said, numbered as the index was read. The list is walked once: a search
// by number for each field would take time in the square of its size.
int dropandcut(const mbxargs& a, const chkreport& report, llnode* head, std::string* said) {
    int changes = 0;
    std::unordered_set<std::string> missing;
    for (const chkitem& item : report.items)
        if (item.kind == chkkind::missing && a.dropmissing) missing.insert(item.name);
    std::unordered_map<int, const llnode*> byno;
    byno.reserve(static_cast<size_t>(head->count));
    for (llnode* rec = head->next; rec; rec = rec->next) {
        byno.emplace(rec->no, rec);
        if (rec->status != ACTIVE || !missing.contains(rec->datafile)) continue;
        rec->status = DELETED;
        changes++;
        *said += std::string(a.dryrun ? "would drop" : "dropped") + " record " +
                 std::to_string(rec->no) + " (" + mbxq(rec->datafile) +
                 "), whose file is missing\n";
    }
    if (a.droptwice) changes += droptwice(a, head, said);
    for (const chkitem& item : report.items) {
        if (item.kind != chkkind::toolong || !a.cutlong) continue;
        const auto at = item.no ? byno.find(item.no) : byno.end();
        const llnode* rec = at != byno.end() ? at->second : nullptr;
        if (rec && rec->status != ACTIVE) continue;
        const size_t now = rec ? strlen(fieldof(rec, item.name)) : strlen(head->mydata->myaddr);
        changes++;
        *said += std::string(a.dryrun ? "would cut " : "cut ") +
                 (rec ? "record " + std::to_string(item.no) + "'s " + item.name
                      : std::string("the owner's address")) +
                 " from " + std::to_string(item.len) + " to " + std::to_string(now) + " bytes\n";
    }
    return changes;
}

// The old index kept as real + ".old", where the mailbox's owner finds it
// (an older copy there is replaced): 0, or the status after a line. A dry
// run only looks.
int keepold(const std::string& real, const char* meta, bool dryrun) {
    const std::string kept = real + ".old";
    struct stat now, old;
    if (stat(real.c_str(), &now) == 0 && lstat(kept.c_str(), &old) == 0 &&
        now.st_dev == old.st_dev && now.st_ino == old.st_ino)
        return 0;  // a run cut short kept it already
    if (dryrun) return 0;
    // A new name first, renamed over the old copy: never a moment without one.
    const std::string tmp = durbeside(real, ".mailbox-old");
    (void)unlink(tmp.c_str());
    if (link(real.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), kept.c_str()) == 0 &&
        dursyncdir(durparent(real)))
        return 0;
    const int err = errno;
    (void)unlink(tmp.c_str());
    mbxsay("cannot keep the old index as %s: %s; nothing done\n",
           mbxq((std::string(meta) + ".old").c_str()).c_str(), strerror(err));
    return MBXFAIL;
}

// The line for an index renamed in whose directory could not be synced.
void notondisk(const char* meta, int err, bool kept) {
    mbxsay(
        "the new %s is in place, but not on disk (%s): a crash may bring the old one back%s%s; "
        "run 'sync', then 'mailbox check %s'\n",
        mbxq(meta).c_str(), strerror(err), kept ? ", which is kept as " : "",
        kept ? mbxq((std::string(meta) + ".old").c_str()).c_str() : "", renumshown(meta).c_str());
}

// The index written back from the list, unless another program changed it
// since it was read as was: records it appended are merged in. The old
// index is kept as METAFILE.old first. 0, or the status after a line;
// *replaced: the new index is in place, whatever the status.
int writeback(const char* meta, const llnode* head, const std::string& was, bool* replaced) {
    *replaced = false;
    char buf[PATH_MAX];
    const std::string changed =
        mbxq(meta) + " was changed by another program meanwhile; nothing changed\n";
    std::string text, written;
    if (!realpath(meta, buf) || !durindextext(head, &text)) {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(errno));
        return MBXFAIL;
    }
    const std::string real = buf;
    if (const int rc = keepold(real, meta, false)) return rc;
    // The last look is durswap's, with the old index held open.
    const durswapped rc =
        durswap(real, durbeside(real, ".mailbox-new"), was, text, &written, replaced);
    const int err = errno;
    if (rc == durswapped::done) return 0;
    if (rc == durswapped::changed) {
        mbxsay("%s", changed.c_str());
    } else if (rc == durswapped::late) {
        mbxsay("%s is rewritten, but what another program wrote to it meanwhile is in %s only\n",
               mbxq(meta).c_str(), mbxq((std::string(meta) + ".old").c_str()).c_str());
    } else if (*replaced) {
        notondisk(meta, err, true);
    } else {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(err));
    }
    return MBXFAIL;
}

}  // namespace

int mbxmend(const mbxargs& a) {
    if (!a.dropmissing && !a.droptwice && !a.cutlong && !a.adopt) {
        mbxsay("mend: say what to mend: --drop-missing, --drop-twice, --cut-long, --adopt\n");
        return MBXUSAGE;
    }
    // The bytes the list is made from, read before and after it loads: a
    // change by another program then, of any size, is not written over.
    std::string was, again;
    if (!readable(a.meta)) return MBXFAIL;
    (void)durreadall(a.meta, &was);
    listptr head = load(a.meta);
    if (!head) return MBXFAIL;
    chkreport report;
    if (!chkindex(a.meta, head.get(), &report)) {
        mbxsay("cannot read the working directory: %s; nothing done\n", strerror(errno));
        return MBXFAIL;
    }
    if (!mendable(a, report)) return MBXFAIL;
    if (!durreadall(a.meta, &again) || again != was) {
        mbxsay("%s was changed by another program while it was read; nothing done\n",
               mbxq(a.meta).c_str());
        return MBXFAIL;
    }
    if (a.dropmissing && nonehere(head.get())) return MBXFAIL;
    int left = 0;
    std::string said;  // printed once the index is written
    int changes = dropandcut(a, report, head.get(), &said);
    llnode* last = lltail(head.get());
    // Adopted files are numbered on from the index's last record as read.
    for (const chkitem& item : report.items) {
        if (item.kind != chkkind::unlisted || !a.adopt) continue;
        const int no = head->count + 1;
        if (!adopt(item.name, head.get(), &last, no)) {
            left++;
            continue;
        }
        changes++;
        said += std::string(a.dryrun ? "would adopt " : "adopted ") + mbxq(item.name.c_str()) +
                " as record " + std::to_string(no) + "\n";
    }
    if (changes == 0) said = "nothing to mend in " + mbxq(a.meta) + "\n";
    if (changes > 0 && !a.dryrun) {
        bool replaced = false;
        if (const int rc = writeback(a.meta, head.get(), was, &replaced)) {
            if (replaced) (void)fputs(said.c_str(), stdout);
            return withoutput(rc);
        }
    }
    (void)fputs(said.c_str(), stdout);
    return withoutput(left ? MBXFOUND : MBXOK);
}

namespace {

// The index's full path, whether it is there or not: its directory must be.
std::string fullpath(const char* meta) {
    char buf[PATH_MAX];
    if (realpath(meta, buf)) return buf;
    const std::string dir = durparent(meta);
    const std::string m = meta;
    if (!realpath(dir.c_str(), buf)) return {};
    return std::string(buf) + (buf[1] ? "/" : "") + m.substr(m.rfind('/') + 1);
}

// The first line of f whole, its newline dropped; false at the end.
bool wholeline(FILE* f, std::string* line) {
    line->clear();
    for (int c; (c = getc(f)) != EOF;) {
        if (c == '\n') return true;
        line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

// The owner's path and address: from the options, else from the old
// index's first two lines where they can be read, each line whole (a path
// over its limit is cut, never taken for the address).
void owner(const mbxargs& a, const std::string& real, ownerdata* o) {
    if (FILE* f = fopen(real.c_str(), "r")) {
        std::string line;
        if (wholeline(f, &line)) llsetfield(o->mypath, sizeof o->mypath, line.c_str());
        if (wholeline(f, &line)) llsetfield(o->myaddr, sizeof o->myaddr, line.c_str());
        (void)fclose(f);
    }
    if (a.ownerpath) llsetfield(o->mypath, sizeof o->mypath, a.ownerpath);
    if (a.owneraddr) llsetfield(o->myaddr, sizeof o->myaddr, a.owneraddr);
    if (!*o->mypath || !*o->myaddr)
        mbxsay("the owner's %s empty: no old index gives it (--owner-path, --owner-addr)\n",
               !*o->mypath && !*o->myaddr ? "path and address are"
               : !*o->mypath              ? "path is"
                                          : "address is");
}

}  // namespace

int mbxrebuild(const mbxargs& a) {
    // A device or FIFO there would be renamed over, and kept as the old index.
    if (!readable(a.meta)) return MBXFAIL;
    const std::string real = fullpath(a.meta);
    if (real.empty()) {
        mbxsay("cannot find the directory of %s: %s; nothing done\n", mbxq(a.meta).c_str(),
               strerror(errno));
        return MBXFAIL;
    }
    struct stat st;
    const bool had = stat(real.c_str(), &st) == 0;
    listptr head = newhead();
    owner(a, real, head->mydata);
    const std::vector<std::string> files = chkfiles(a.meta);
    llnode* last = head.get();
    int left = 0;
    for (const std::string& name : files) {
        if (!adopt(name, head.get(), &last, head->count + 1)) {
            left++;
        } else if (a.dryrun) {
            (void)printf("would make record %d from %s\n", head->count, mbxq(name.c_str()).c_str());
        }
    }
    if (had && keepold(real, a.meta, a.dryrun) != 0) return withoutput(MBXFAIL);
    bool renamed = false;
    const bool ok =
        a.dryrun ||
        (had ? durwriteindex(real, durbeside(real, ".mailbox-new"), head.get(), &renamed)
             : durwrite(
                   durbeside(real, ".mailbox-new"), real, nullptr,
                   [&head](FILE* f) { return durputindex(f, head.get()); }, &renamed));
    if (!ok) {
        if (renamed)
            notondisk(a.meta, errno, had);
        else
            mbxsay("cannot write %s: %s; nothing changed\n", mbxq(a.meta).c_str(),
                   strerror(errno));
        return withoutput(MBXFAIL);
    }
    const std::string kept = mbxq((std::string(a.meta) + ".old").c_str());
    (void)printf("%s %s: %d record%s from %zu file%s%s%s\n", a.dryrun ? "would rebuild" : "rebuilt",
                 mbxq(a.meta).c_str(), head->count, head->count == 1 ? "" : "s", files.size(),
                 files.size() == 1 ? "" : "s", had ? "; the old index kept as " : "",
                 had ? kept.c_str() : "");
    return withoutput(left ? MBXFOUND : MBXOK);
}
