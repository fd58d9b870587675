// The commands that change the index and the files it lists: delete,
// mend, mark and sort (tools/mailbox/cmd.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "headers/msghdr.h"
#include "mailbox/append.h"
#include "mailbox/check.h"
#include "mailbox/durable.h"
#include "mailbox/order.h"
#include "mailbox/recview.h"
#include "mailbox/remove.h"
#include "mailbox/quote.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

namespace {

int rmstatus(int rc) { return rc == RMOK ? MBXOK : rc == RMLEFT ? MBXFOUND : MBXFAIL; }

}  // namespace

int mbxdelete(const mbxargs& a) {
    mbxhead head = mbxload(a.meta);
    if (!head) return MBXFAIL;
    std::vector<int> nos;
    if (const int rc = mbxnumbers(a, head->count, &nos)) return rc;
    // A record named by its file, which no delete before can have given to another.
    // Names are compared as files where the file is here: ./a is a.
    for (const std::string& name : a.files) {
        const size_t had = nos.size();
        struct stat st, rs;
        const bool here = lstat(name.c_str(), &st) == 0;
        for (const llnode* rec = head->next; rec; rec = rec->next)
            if (name == rec->datafile ||
                (here && lstat(rec->datafile, &rs) == 0 && rs.st_dev == st.st_dev &&
                 rs.st_ino == st.st_ino))
                nos.push_back(rec->no);
        if (nos.size() == had) {
            mbxsay("no record lists %s; nothing done\n", mbxq(name.c_str()).c_str());
            return MBXFAIL;
        }
    }
    if (mbxnonehere(head.get()) || !mbxwritable(a.meta)) return MBXFAIL;
    return mbxwithoutput(rmstatus(rmdelete(a.meta, head.get(), nos, a.dryrun, stdout, stderr)));
}

namespace {

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

// The index replaced by text, unless another program changed it since it
// was read as was: records it appended are merged in. The old index is kept
// as METAFILE.old first. 0, or the status after a line; *replaced: the new
// index is in place, whatever the status.
int writetext(const char* meta, const std::string& text, const std::string& was, bool* replaced) {
    *replaced = false;
    char buf[PATH_MAX];
    if (!realpath(meta, buf)) {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(errno));
        return MBXFAIL;
    }
    const std::string real = buf;
    std::string staged;
    if (const int rc = mbxkeepold(real, meta, false, &staged)) return rc;
    // The last look is durswap's, with the old index held open.
    std::string written;
    const durswapped rc =
        durswap(real, durbeside(real, ".mailbox-new"), was, text, &written, replaced);
    const int err = errno;
    const int kept = mbxoldin(real, meta, staged, *replaced);
    if (rc == durswapped::done) return kept;
    if (rc == durswapped::changed) {
        mbxsay("%s was changed by another program meanwhile; nothing changed\n",
               mbxq(meta).c_str());
    } else if (rc == durswapped::late) {
        mbxsay("%s is rewritten, but what another program wrote to it meanwhile is in %s only\n",
               mbxq(meta).c_str(), mbxq((std::string(meta) + ".old").c_str()).c_str());
    } else if (*replaced) {
        mbxnotondisk(meta, err, true);
    } else {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(err));
    }
    return MBXFAIL;
}

int writeback(const char* meta, const llnode* head, const std::string& was, bool* replaced) {
    *replaced = false;
    std::string text;
    if (!durindextext(head, &text)) {
        mbxsay("cannot write %s: %s; nothing changed\n", mbxq(meta).c_str(), strerror(errno));
        return MBXFAIL;
    }
    return writetext(meta, text, was, replaced);
}

// mark, sort: the new text written, the lines said once it is in (or
// would be, or is in but not on disk).
int rewritten(const mbxargs& a, const rvindex& idx, const std::string& text,
              const std::string& said) {
    if (!a.dryrun && text != idx.text) {
        bool replaced = false;
        if (const int rc = writetext(a.meta, text, idx.text, &replaced)) {
            if (replaced) (void)fputs(said.c_str(), stdout);
            return mbxwithoutput(rc);
        }
    }
    (void)fputs(said.c_str(), stdout);
    return mbxwithoutput(MBXOK);
}

}  // namespace

namespace {

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

// The number after the highest an index record's name carries.
long nextnumber(const llnode* head) {
    long highest = -1;
    for (const llnode* rec = head->next; rec; rec = rec->next)
        highest = std::max(highest, numberof(rec->datafile));
    return highest + 1;
}

// Whether the index can list a file of this name.
bool listable(const std::string& name) {
    return name.size() <= sizeof(llnode::datafile) - 1 && name != "END" &&
           name.find_first_of("\n\r") == std::string::npos;
}

// The next in%03d.msg from *next on that no file here has.
std::string freename(long* next) {
    for (;; ++*next) {
        char buf[32];
        (void)snprintf(buf, sizeof buf, "in%03ld.msg", *next);
        struct stat st;
        if (lstat(buf, &st) != 0) {
            ++*next;
            return buf;
        }
    }
}

// A rename that replaces nothing (a link and an unlink where the file
// system has none): 0, or the errno.
int movename(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    if (!dursyncdir(".")) return errno;
    return unlink(from.c_str()) == 0 ? 0 : errno;
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
    if (!mbxreadable(a.meta)) return MBXFAIL;
    (void)durreadall(a.meta, &was);
    mbxhead head = mbxload(a.meta);
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
    // Adopted from the wrong directory, someone else's files would be renamed in.
    if ((a.dropmissing || a.adopt) && mbxnonehere(head.get())) return MBXFAIL;
    int left = 0;
    std::string said;  // printed once the index is written
    int changes = dropandcut(a, report, head.get(), &said);
    llnode* last = lltail(head.get());
    // Adopted files are numbered on from the index's last record as read.
    long next = nextnumber(head.get());
    bool moved = false;
    for (const chkitem& item : report.items) {
        if (item.kind != chkkind::unlisted || !a.adopt) continue;
        const int no = head->count + 1;
        // A message whose name the index can't hold takes the next free
        // in%03d.msg, as a delivery would give it.
        std::string as;
        if (!listable(item.name)) {
            msghdr h;
            if (msghdrread(item.name.c_str(), &h) == 0) as = freename(&next);
        }
        if (!mbxadopt(item.name, head.get(), &last, no, {}, as.empty() ? nullptr : as.c_str())) {
            left++;
            continue;
        }
        if (!as.empty() && !a.dryrun) {
            if (int err = movename(item.name, as)) {
                mbxsay("cannot move %s to %s: %s; left out\n", mbxq(item.name.c_str()).c_str(),
                       mbxq(as.c_str()).c_str(), strerror(err));
                last->status = DELETED;  // never written
                left++;
                continue;
            }
            moved = true;
        }
        changes++;
        said += std::string(a.dryrun ? "would adopt " : "adopted ") + mbxq(item.name.c_str()) +
                " as record " + std::to_string(no) +
                (as.empty() ? std::string()
                            : std::string(a.dryrun ? ", renamed " : ", now ") + mbxq(as.c_str())) +
                "\n";
    }
    // The new names on disk before an index names them.
    if (moved && !dursyncdir(".")) {
        mbxsay("cannot sync the working directory: %s; the index is left as it was\n",
               strerror(errno));
        (void)fputs(said.c_str(), stdout);
        return mbxwithoutput(MBXFAIL);
    }
    if (changes == 0) said = "nothing to mend in " + mbxq(a.meta) + "\n";
    if (changes > 0 && !a.dryrun) {
        bool replaced = false;
        if (const int rc = writeback(a.meta, head.get(), was, &replaced)) {
            if (replaced) (void)fputs(said.c_str(), stdout);
            return mbxwithoutput(rc);
        }
    }
    (void)fputs(said.c_str(), stdout);
    return mbxwithoutput(left ? MBXFOUND : MBXOK);
}
int mbxmark(const mbxargs& a) {
    if (a.markread == a.marknew) {
        mbxsay(a.markread ? "mark: give one of --read and --new, not both\n"
                          : "mark: say how: --read or --new\n");
        return MBXUSAGE;
    }
    rvindex idx;
    if (!mbxview(a.meta, &idx)) return MBXFAIL;
    std::vector<int> nos;
    if (const int rc = mbxnumbers(a, static_cast<int>(idx.recs.size()), &nos)) return rc;
    if (!mbxwritable(a.meta)) return MBXFAIL;
    const char* how = a.markread ? "read" : "new";
    std::string said;
    std::set<int> seen;
    for (const int no : nos) {
        if (!seen.insert(no).second) continue;
        const rvrec& r = idx.recs[static_cast<size_t>(no - 1)];
        const std::string q = mbxq(std::string(r.name).c_str());
        if (r.read() == a.markread)
            said += "record " + std::to_string(no) + " (" + q + ") is " + how + " already\n";
        else
            said += std::string(a.dryrun ? "would mark" : "marked") + " record " +
                    std::to_string(no) + " (" + q + ") " + how + "\n";
    }
    return rewritten(a, idx, rvmark(idx, nos, a.markread), said);
}

int mbxsort(const mbxargs& a) {
    const std::string by = a.by ? a.by : "";
    const ordby key = by == "date"      ? ordby::date
                      : by == "from"    ? ordby::from
                      : by == "subject" ? ordby::subject
                                        : ordby::size;
    if (by != "date" && by != "from" && by != "subject" && by != "size") {
        mbxsay("sort: say by what: --by date, --by from, --by subject or --by size\n");
        return MBXUSAGE;
    }
    rvindex idx;
    if (!mbxview(a.meta, &idx) || !mbxwritable(a.meta)) return MBXFAIL;
    if ((key == ordby::date || key == ordby::size) && mbxnonehere(idx)) return MBXFAIL;
    const std::vector<int> order = ordsort(ordkeys(idx, key, AT_FDCWD), a.reverse);
    size_t moved = 0;
    for (size_t k = 0; k < order.size(); k++) moved += order[k] != static_cast<int>(k + 1);
    const std::string shown = quoteshown(a.meta);
    std::string said;
    if (moved == 0)
        said = mbxq(a.meta) + " is in order by " + by + (a.reverse ? ", reversed," : "") +
               " already\n";
    else
        said = std::string(a.dryrun ? "would sort " : "sorted ") + mbxq(a.meta) + " by " + by +
               (a.reverse ? ", reversed" : "") + ": " + std::to_string(moved) + " of " +
               std::to_string(order.size()) + " records moved; 'msgseq -u " + shown +
               "' renumbers the files to match\n";
    return rewritten(a, idx, rvreorder(idx, order), said);
}
