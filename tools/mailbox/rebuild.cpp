// rebuild: an index made again from the message files alone
// (tools/mailbox/cmd.h).
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mailbox/check.h"
#include "mailbox/durable.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

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
    if (!mbxreadable(a.meta)) return MBXFAIL;
    const std::string real = fullpath(a.meta);
    if (real.empty()) {
        mbxsay("cannot find the directory of %s: %s; nothing done\n", mbxq(a.meta).c_str(),
               strerror(errno));
        return MBXFAIL;
    }
    struct stat st;
    const bool had = stat(real.c_str(), &st) == 0;
    mbxhead head = mbxnewhead();
    owner(a, real, head->mydata);
    const std::vector<std::string> files = chkfiles(a.meta);
    llnode* last = head.get();
    int left = 0;
    for (const std::string& name : files) {
        if (!mbxadopt(name, head.get(), &last, head->count + 1)) {
            left++;
        } else if (a.dryrun) {
            (void)printf("would make record %d from %s\n", head->count, mbxq(name.c_str()).c_str());
        }
    }
    if (had && mbxkeepold(real, a.meta, a.dryrun) != 0) return mbxwithoutput(MBXFAIL);
    bool renamed = false;
    const bool ok =
        a.dryrun ||
        (had ? durwriteindex(real, durbeside(real, ".mailbox-new"), head.get(), &renamed)
             : durwrite(
                   durbeside(real, ".mailbox-new"), real, nullptr,
                   [&head](FILE* f) { return durputindex(f, head.get()); }, &renamed));
    if (!ok) {
        if (renamed)
            mbxnotondisk(a.meta, errno, had);
        else
            mbxsay("cannot write %s: %s; nothing changed\n", mbxq(a.meta).c_str(),
                   strerror(errno));
        return mbxwithoutput(MBXFAIL);
    }
    const std::string kept = mbxq((std::string(a.meta) + ".old").c_str());
    (void)printf("%s %s: %d record%s from %zu file%s%s%s\n", a.dryrun ? "would rebuild" : "rebuilt",
                 mbxq(a.meta).c_str(), head->count, head->count == 1 ? "" : "s", files.size(),
                 files.size() == 1 ? "" : "s", had ? "; the old index kept as " : "",
                 had ? kept.c_str() : "");
    return mbxwithoutput(left ? MBXFOUND : MBXOK);
}