// rebuild: an index made again from the message files, keeping what the
// old index knew of the files unchanged since it was written
// (tools/mailbox/cmd.h).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mailbox/check.h"
#include "mailbox/durable.h"
#include "mailbox/trust.h"
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

// The first line of f whole, its newline dropped, and a CR before it (a
// CR-LF index): the new index's lines end in LF alone. false at the end.
bool wholeline(FILE* f, std::string* line) {
    line->clear();
    for (int c; (c = getc(f)) != EOF;) {
        if (c == '\n') {
            if (line->ends_with('\r')) line->pop_back();
            return true;
        }
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

bool earlier(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// What the old index knew of the files it lists, kept where a file is the
// one it listed: the file under the name a record gives (or, for a name no
// record gives, a file one record's name leads to, device and inode the
// same: a hard link, another spelling on a case-folding directory) that has
// not changed since the index was last written. The index holds no file's
// identity; a file written, replaced, renamed or linked since has a later
// status-change time, which no one can set back (a copy carries its
// modification time over, never that). Equal times count as later, as one
// clock tick can hold both.
struct oldindex {
    mbxhead head;
    timespec written{};
    std::unordered_map<std::string_view, const llnode*> byname;
    std::map<std::pair<dev_t, ino_t>, const llnode*> byfile;
    bool filled = false;

    void load(const char* meta, const struct stat& st) {
        head = mbxnewhead();
        written = st.st_mtim;
        mbxquietload(meta, head.get());
        for (const llnode* r = head->next; r; r = r->next) byname.emplace(r->datafile, r);
    }

    const llnode* find(const std::string& name, const struct stat& st) {
        if (!earlier(st.st_ctim, written) || !earlier(st.st_mtim, written)) return nullptr;
        const llnode* r = nullptr;
        if (auto it = byname.find(name); it != byname.end()) {
            r = it->second;
        } else {
            if (!filled) {
                // Only a plain name here is looked at: an index can name anything.
                for (const llnode* o = head->next; o; o = o->next) {
                    struct stat os;
                    if (trustplain(o->datafile) &&
                        fstatat(AT_FDCWD, o->datafile, &os, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISREG(os.st_mode))
                        byfile.emplace(std::pair{os.st_dev, os.st_ino}, o);
                }
                filled = true;
            }
            if (auto same = byfile.find({st.st_dev, st.st_ino}); same != byfile.end()) r = same->second;
        }
        // A field that would end its line early (a CR-LF index) is read anew.
        if (r)
            for (const char* f : {r->to, r->from, r->subject, r->cc, r->bcc})
                if (std::strpbrk(f, "\r\n")) return nullptr;
        return r;
    }
};

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
    oldindex old;
    mbxknown known;
    if (had) {
        old.load(a.meta, st);
        // From the wrong directory every message would seem gone, and the
        // index would be written again without them.
        if (mbxnonehere(old.head.get())) return MBXFAIL;
        known = [&old](const std::string& name, const struct stat& s) { return old.find(name, s); };
    }
    const std::vector<std::string> files = chkfiles(a.meta);
    llnode* last = head.get();
    int left = 0;
    for (const std::string& name : files) {
        if (!mbxadopt(name, head.get(), &last, head->count + 1, known)) {
            left++;
        } else if (a.dryrun) {
            (void)printf("would make record %d from %s\n", head->count, mbxq(name.c_str()).c_str());
        }
    }
    std::string staged;
    if (had && mbxkeepold(real, a.meta, a.dryrun, &staged) != 0) return mbxwithoutput(MBXFAIL);
    bool renamed = false;
    const bool ok =
        a.dryrun ||
        (had ? durwriteindex(real, durbeside(real, ".mailbox-new"), head.get(), &renamed)
             : durwrite(
                   durbeside(real, ".mailbox-new"), real, nullptr,
                   [&head](FILE* f) { return durputindex(f, head.get()); }, &renamed));
    const int err = errno;
    const int kept = mbxoldin(real, a.meta, staged, renamed);
    errno = err;
    if (!ok) {
        if (renamed)
            mbxnotondisk(a.meta, errno, had);
        else
            mbxsay("cannot write %s: %s; nothing changed\n", mbxq(a.meta).c_str(),
                   strerror(errno));
        return mbxwithoutput(MBXFAIL);
    }
    if (kept) return mbxwithoutput(kept);
    const std::string keptname = mbxq((std::string(a.meta) + ".old").c_str());
    (void)printf("%s %s: %d record%s from %zu file%s%s%s\n", a.dryrun ? "would rebuild" : "rebuilt",
                 mbxq(a.meta).c_str(), head->count, head->count == 1 ? "" : "s", files.size(),
                 files.size() == 1 ? "" : "s", had ? "; the old index kept as " : "",
                 had ? keptname.c_str() : "");
    return mbxwithoutput(left ? MBXFOUND : MBXOK);
}