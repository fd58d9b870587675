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
    return MBXFAIL;
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
    if (flushed(stdout) != MBXOK) return MBXFAIL;
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
    if (!writable(a.meta)) return MBXFAIL;
    const int rc = rmstatus(rmdelete(a.meta, head.get(), nos, a.dryrun, stdout, stderr));
    (void)flushed(stdout);
    return rc;
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

// The index written back from the list, unless another program wrote to it
// since it was read (loaded): 0, or the status after a line.
int writeback(const char* meta, const llnode* head, const struct stat& loaded) {
    char buf[PATH_MAX];
    struct stat now;
    if (stat(meta, &now) != 0 || now.st_ino != loaded.st_ino || now.st_size != loaded.st_size ||
        now.st_mtim.tv_sec != loaded.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != loaded.st_mtim.tv_nsec) {
        mbxsay("%s was changed by another program meanwhile; nothing changed\n",
               mbxq(meta).c_str());
        return MBXFAIL;
    }
    if (realpath(meta, buf) && durwriteindex(buf, durbeside(buf, ".mailbox-new"), head)) return 0;
    mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(errno));
    return MBXFAIL;
}

}  // namespace

int mbxmend(const mbxargs& a) {
    if (!a.dropmissing && !a.cutlong && !a.adopt) {
        mbxsay("mend: say what to mend: --drop-missing, --cut-long, --adopt\n");
        return MBXUSAGE;
    }
    struct stat loaded {};
    (void)stat(a.meta, &loaded);
    listptr head = load(a.meta);
    if (!head) return MBXFAIL;
    chkreport report;
    if (!chkindex(a.meta, head.get(), &report)) {
        mbxsay("cannot read the working directory: %s; nothing done\n", strerror(errno));
        return MBXFAIL;
    }
    if (!mendable(a, report)) return MBXFAIL;
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
    if (changes > 0 && !a.dryrun)
        if (const int rc = writeback(a.meta, head.get(), loaded)) return rc;
    (void)fputs(said.c_str(), stdout);
    (void)flushed(stdout);
    return left ? MBXFOUND : MBXOK;
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

// The owner's path and address: from the options, else from the old
// index's first two lines where they can be read.
void owner(const mbxargs& a, const std::string& real, ownerdata* o) {
    if (FILE* f = fopen(real.c_str(), "r")) {
        char line[METALINE + 1];
        if (getf(f, line) > 0) llsetfield(o->mypath, sizeof o->mypath, line);
        if (getf(f, line) > 0) llsetfield(o->myaddr, sizeof o->myaddr, line);
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

// The old index kept as real + ".old", which must not be another file
// already (a rebuild cut short leaves the same one). 0, or the status; a
// dry run only looks.
int keepold(const std::string& real, const char* meta, bool dryrun) {
    const std::string kept = real + ".old";
    const std::string shown = mbxq((std::string(meta) + ".old").c_str());
    struct stat now, old;
    if (lstat(kept.c_str(), &old) == 0) {
        if (stat(real.c_str(), &now) == 0 && now.st_dev == old.st_dev && now.st_ino == old.st_ino)
            return 0;
        mbxsay("%s is there already: move it away, then rebuild %s; nothing done\n", shown.c_str(),
               mbxq(meta).c_str());
        return MBXFAIL;
    }
    if (dryrun) return 0;
    if (link(real.c_str(), kept.c_str()) == 0 && dursyncdir(durparent(real))) return 0;
    mbxsay("cannot keep the old index as %s: %s; nothing done\n", shown.c_str(), strerror(errno));
    return MBXFAIL;
}

}  // namespace

int mbxrebuild(const mbxargs& a) {
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
    if (had && keepold(real, a.meta, a.dryrun) != 0) return MBXFAIL;
    const bool ok =
        a.dryrun || (had ? durwriteindex(real, durbeside(real, ".mailbox-new"), head.get())
                         : durwrite(durbeside(real, ".mailbox-new"), real, nullptr,
                                    [&head](FILE* f) { return durputindex(f, head.get()); }));
    if (!ok) {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(a.meta).c_str(), strerror(errno));
        return MBXFAIL;
    }
    const std::string kept = mbxq((std::string(a.meta) + ".old").c_str());
    (void)printf("%s %s: %d record%s from %zu file%s%s%s\n", a.dryrun ? "would rebuild" : "rebuilt",
                 mbxq(a.meta).c_str(), head->count, head->count == 1 ? "" : "s", files.size(),
                 files.size() == 1 ? "" : "s", had ? "; the old index kept as " : "",
                 had ? kept.c_str() : "");
    (void)flushed(stdout);
    return left ? MBXFOUND : MBXOK;
}
