// The subcommands of the mailbox tool (tools/mailboxcmd.h).
#include "tools/mailboxcmd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "headers/msghdr.h"
#include "mailbox/check.h"
#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"

void mbxsay(const char* fmt, ...) {
    (void)fputs("mailbox: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(stderr, fmt, ap);
    va_end(ap);
}

std::string mbxq(const char* name) { return "'" + renumshown(name) + "'"; }

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

// The whole index, or null after a line that says where it stops loading.
listptr load(const char* meta) {
    const metafault f = metachk(meta, false);
    if (f.line != 0) {
        sayfault(meta, f);
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
        mbxsay("%s would not be written back as it is; see 'mailbox check %s' and 'mailbox "
               "mend'; nothing done\n", mbxq(meta).c_str(), renumshown(meta).c_str());
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

int mbxmend(const mbxargs&) { return MBXFAIL; }
int mbxrebuild(const mbxargs&) { return MBXFAIL; }
