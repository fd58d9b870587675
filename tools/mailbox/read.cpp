// The commands that read the index and the messages it lists: list,
// check, show and pick (tools/mailbox/cmd.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "mailbox/check.h"
#include "mailbox/columns.h"
#include "mailbox/date.h"
#include "mailbox/durable.h"
#include "mailbox/pick.h"
#include "mailbox/recview.h"
#include "mailbox/trust.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

namespace {

// On an index a plain msgseq run left stale, or one whose run was cut
// short, its names lead to other messages by now: a date read from them
// would be another's.
bool datesastray(const mbxargs& a, bool dated) {
    if (!dated || !a.stale) return false;
    mbxsay("the dates would be read from other messages than the records'; nothing done\n");
    return true;
}

// Lines out in blocks, so that 100,000 of them cost a few writes; false
// once a write fails.
bool flushsome(std::string* out, bool last) {
    if (!last && out->size() < (1 << 16)) return true;
    const bool ok = fwrite(out->data(), 1, out->size(), stdout) == out->size();
    out->clear();
    return ok;
}

}  // namespace

int mbxlist(const mbxargs& a) {
    colformat f = coldefault();
    if (std::string why; a.format && !colparse(a.format, &f, &why)) {
        mbxsay("--format: %s\n", why.c_str());
        return MBXUSAGE;
    }
    rvindex idx;
    if (datesastray(a, f.dated) || !mbxview(a.meta, &idx)) return MBXFAIL;
    // From the wrong directory every date would be "-", and say nothing.
    if (f.dated && mbxnonehere(idx)) return MBXFAIL;
    std::string out;
    out.reserve(1 << 17);
    for (const rvrec& r : idx.recs) {
        int64_t date = 0;
        const bool known =
            f.dated && dateofmsg(AT_FDCWD, std::string(r.name).c_str(), &date) == 0;
        colline(f, r, known, date, &out);
        if (!flushsome(&out, false)) return mbxflushed(stdout);
    }
    (void)flushsome(&out, true);
    return mbxflushed(stdout);
}

int mbxcheck(const mbxargs& a) {
    if (!mbxreadable(a.meta)) return MBXFAIL;
    const metafault f = metachk(a.meta, false);
    if (f.line < 0) {
        mbxsayfault(a.meta, f);
        return MBXFAIL;
    }
    mbxhead head = mbxnewhead();
    mbxquietload(a.meta, head.get());
    chkreport report;
    if (!chkindex(a.meta, head.get(), &report)) {
        mbxsay("cannot read the working directory: %s\n", strerror(errno));
        return MBXFAIL;
    }
    // Every file missing, with no run cut short or stale names to explain
    // it and an index whose names read right: the wrong directory, most
    // likely, where a line a record would bury the one that matters.
    const int* n = report.counts;
    if (!a.stale && n[static_cast<int>(chkkind::unfinished)] == 0 &&
        n[static_cast<int>(chkkind::index)] == 0 && mbxnonehere(head.get()))
        return MBXFAIL;
    // A stale index is a problem too: said on standard error (with what
    // brings it up to date), counted in the totals.
    report.stale = a.stale;
    for (const chkitem& item : report.items) (void)printf("%s\n", chkline(item).c_str());
    (void)printf("%s\n", chktotals(report).c_str());
    if (mbxflushed(stdout) != MBXOK) return MBXOUT;
    return report.items.empty() && !report.stale ? MBXOK : MBXFOUND;
}
namespace {

// Where a message's header block ends: past its last header line, before
// the empty line; the whole text when there is no empty line.
size_t headerend(std::string_view s) {
    if (s.starts_with("\n") || s.starts_with("\r\n")) return 0;
    for (size_t at = s.find('\n'); at != std::string_view::npos; at = s.find('\n', at + 1)) {
        const std::string_view rest = s.substr(at + 1);
        if (rest.starts_with("\n") || rest.starts_with("\r\n")) return at + 1;
    }
    return s.size();
}

// The bytes of record r's message file, opened as a message is (no link,
// no FIFO); false after a line saying why it is left out.
bool msgbytes(const rvrec& r, std::string* out) {
    const std::string name(r.name);
    const int fd = trustopenmsg(AT_FDCWD, name.c_str());
    const bool ok = fd >= 0 && durreadfd(fd, out);
    const int err = errno;
    if (fd >= 0) close(fd);
    if (ok) return true;
    if (fd < 0 && err == ENOENT)
        mbxsay("record %d's file %s is missing; left out\n", r.no, mbxq(name.c_str()).c_str());
    else if (fd < 0 && (err == ELOOP || err == EINVAL))
        mbxsay("record %d's file %s: %s; left out\n", r.no, mbxq(name.c_str()).c_str(),
               trustwhy(err));
    else
        mbxsay("cannot read record %d's file %s: %s; left out\n", r.no,
               mbxq(name.c_str()).c_str(), strerror(err));
    return false;
}

}  // namespace

int mbxshow(const mbxargs& a) {
    rvindex idx;
    if (!mbxview(a.meta, &idx)) return MBXFAIL;
    std::vector<int> nos;
    if (const int rc = mbxnumbers(a, static_cast<int>(idx.recs.size()), &nos)) return rc;
    // From the wrong directory each message would be "missing", one by one.
    if (mbxnonehere(idx)) return MBXFAIL;
    int left = 0;
    for (const int no : nos) {
        const rvrec& r = idx.recs[static_cast<size_t>(no - 1)];
        std::string bytes;
        if (!msgbytes(r, &bytes)) {
            left++;
            continue;
        }
        if (a.headers) bytes.resize(headerend(bytes));
        // One message is its bytes alone; several each follow a line that
        // says which and how many bytes, so that a program can part them.
        if (nos.size() > 1)
            (void)printf("==> record %d (%s), %zu bytes <==\n", no,
                         mbxq(std::string(r.name).c_str()).c_str(), bytes.size());
        if (nos.size() > 1 && !bytes.empty() && bytes.back() != '\n') bytes += '\n';
        if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) break;
    }
    return mbxwithoutput(left ? MBXFOUND : MBXOK);
}

namespace {

// The criteria of a pick's options: 0, or the status after a line.
int criteria(const mbxargs& a, pickcrit* c) {
    const std::pair<pickfield, const char*> res[] = {{pickfield::from, a.pfrom},
                                                     {pickfield::to, a.pto},
                                                     {pickfield::cc, a.pcc},
                                                     {pickfield::subject, a.psubject}};
    static const char* const names[] = {"--from", "--to", "--cc", "--subject"};
    for (size_t k = 0; k < 4; k++) {
        std::string why;
        if (res[k].second && !pickadd(c, res[k].first, res[k].second, &why)) {
            mbxsay("%s: %s is no expression: %s\n", names[k], mbxq(res[k].second).c_str(),
                   why.c_str());
            return MBXUSAGE;
        }
    }
    c->onlynew = a.onlynew;
    for (const auto& [value, set, at, name] :
         {std::tuple{a.since, &c->since, &c->from, "--since"},
          std::tuple{a.before, &c->before, &c->until, "--before"}}) {
        if (!value) continue;
        if (!datearg(value, at)) {
            mbxsay("%s: %s is no date (YYYY-MM-DD, YYYY-MM-DD HH:MM, or as mail writes one)\n",
                   name, mbxq(value).c_str());
            return MBXUSAGE;
        }
        *set = true;
    }
    return 0;
}

}  // namespace

int mbxpick(const mbxargs& a) {
    pickcrit c;
    if (const int rc = criteria(a, &c)) return rc;
    colformat f = coldefault();
    if (std::string why; a.format && !colparse(a.format, &f, &why)) {
        mbxsay("--format: %s\n", why.c_str());
        return MBXUSAGE;
    }
    rvindex idx;
    const bool dated = c.dated() || (f.dated && !a.numbers);
    if (datesastray(a, dated) || !mbxview(a.meta, &idx)) return MBXFAIL;
    // From the wrong directory no date is known: nothing would be picked.
    if (dated && mbxnonehere(idx)) return MBXFAIL;
    std::string out;
    int picked = 0;
    for (const rvrec& r : idx.recs) {
        int64_t date = 0;
        const bool known = dated && dateofmsg(AT_FDCWD, std::string(r.name).c_str(), &date) == 0;
        if (!pickmatch(c, r, known, date)) continue;
        picked++;
        if (a.numbers)
            (out += std::to_string(r.no)) += '\n';
        else
            colline(f, r, known, date, &out);
        if (!flushsome(&out, false)) return mbxflushed(stdout);
    }
    (void)flushsome(&out, true);
    const int rc = mbxflushed(stdout);
    return rc != MBXOK ? rc : picked ? MBXOK : MBXFOUND;
}
