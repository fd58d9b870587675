// The commands that read the index: list and check (tools/mailbox/cmd.h).
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "mailbox/check.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

namespace {

// A field as one tab-separated column shows it: control bytes become '?'.
void column(std::string* out, const char* field) {
    for (const char* p = field; *p; p++) {
        const auto c = static_cast<unsigned char>(*p);
        out->push_back(c < 0x20 || c == 0x7f ? '?' : *p);
    }
}

}  // namespace

int mbxlist(const mbxargs& a) {
    mbxhead head = mbxload(a.meta);
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
            if (fwrite(out.data(), 1, out.size(), stdout) != out.size()) return mbxflushed(stdout);
            out.clear();
        }
    }
    (void)fwrite(out.data(), 1, out.size(), stdout);
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
    for (const chkitem& item : report.items) (void)printf("%s\n", chkline(item).c_str());
    (void)printf("%s\n", chktotals(report).c_str());
    if (mbxflushed(stdout) != MBXOK) return MBXOUT;
    return report.items.empty() ? MBXOK : MBXFOUND;
}