// Undoing the last finished run (renumundo, mailbox/renum.h): every file it
// renamed back under the name the index listed before it, and after an
// update the index it replaced put back, from the receipt the run left.
//
// Only a mailbox as that run left it is undone: each file it renamed still
// under its new name and the same file (device and inode, and unchanged
// since: by the receipt's fence, or size and time where it has them), the index the one it left (its body by sum;
// records appended after it are its own and stay, after the records put
// back, under their own names), and every name to go back to free or held
// by another file that goes back. Anything else is said, one line each,
// and nothing is touched.
//
// The states on disk, as for a run (mailbox/renumupdate.cpp):
//  1. Nothing begun: the receipt, no journal.
//  2. The journal ("msgseq undo journal 1", in the work directory the
//     receipt's run used) on disk before the first move: where each file is
//     and goes, and the sums of the index before and after the run.
//  3. Files moving, each found again by its inode under the names the undo
//     gives it: its new name, its old one, a set-aside name. Then synced.
//  4. After an update, the index replaced by the kept one, its records'
//     read flags as they are now and records appended since after them.
//  5. The receipt and the kept index removed, synced: nothing left to undo.
//  6. The journal and the work directory removed.
// A rerun from any of them goes on to the end. renumabort gives the undo up
// from 2 or 3 (each file back where the run had left it, the receipt kept);
// from 4 on the index is the old one again, and it refuses.
//
// An undo lives on renumundo's stack for one call and owns nothing else.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/receipt.h"
#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

namespace {

constexpr std::string_view header = "msgseq undo journal 1\n";
// How many lines of one kind a refusal names before it only counts them.
constexpr uint32_t shown = 10;

// A file to move: record rec's, known by its inode, left by the run under
// now and listed before it as was; at is where it is, to where it goes.
struct undomove {
    uint32_t rec = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string now, was, at, to;
    bool done = false;
};

// What an undo works from, as its journal keeps it.
struct undoplan {
    bool update = false;
    renumid dir{};
    std::string receipt;        // its name beside the work directory
    std::string kept;           // the kept index's name there (an update's)
    rcptsum before{}, after{};  // the bodies of the index before the run and as it left it
    uint32_t records = 0, stayed = 0, missing = 0;
    std::vector<undomove> moves;
};

struct undo {
    const char* fname;
    const renumopts* opts;
    renumstats* stats;
    std::string dir{};   // the work directory
    std::string real{};  // the file fname leads to
    undoplan plan{};
    renumrun r{};
    renumfd uplock{-1};
    bool unsynced = false;  // the moves may not be on disk
};

std::string shownname(const undo& u) { return renumshown(u.fname); }
std::string besidework(const undo& u, const std::string& name) {
    return durparent(u.dir) + "/" + name;
}

// ---- The journal.

template <typename T>
void put(std::string& text, T v, char after, int base = 10) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, base);
    text.append(buf, res.ptr);
    text += after;
}

std::string journaltext(const undoplan& p) {
    std::string t(header);
    t += p.update ? "run update\ndir " : "run plain\ndir ";
    put(t, static_cast<uintmax_t>(p.dir.dev), ' ');
    put(t, static_cast<uintmax_t>(p.dir.ino), '\n');
    t += "receipt " + p.receipt + "\n";
    if (p.update) t += "kept " + p.kept + "\n";
    t += "before ";
    put(t, p.before.len, ' ');
    put(t, p.before.hash, '\n', 16);
    t += "after ";
    put(t, p.after.len, ' ');
    put(t, p.after.hash, '\n', 16);
    t += "records ";
    put(t, p.records, ' ');
    t += "stayed ";
    put(t, p.stayed, ' ');
    t += "missing ";
    put(t, p.missing, ' ');
    t += "moves ";
    put(t, p.moves.size(), '\n');
    for (const undomove& m : p.moves) {
        put(t, m.rec, ' ');
        put(t, static_cast<uintmax_t>(m.dev), ' ');
        put(t, static_cast<uintmax_t>(m.ino), ' ');
        t += m.now + " " + m.was + "\n";
    }
    return t;
}

// The journal's text read field by field; anything not as written stops it.
struct cursor {
    const char* at;
    const char* end;
    bool lit(std::string_view s) {
        if (static_cast<size_t>(end - at) < s.size() || std::string_view(at, s.size()) != s)
            return false;
        at += s.size();
        return true;
    }
    template <typename T>
    bool num(char after, T* v, int base = 10) {
        if (at == end || !isxdigit(static_cast<unsigned char>(*at))) return false;
        const auto res = std::from_chars(at, end, *v, base);
        if (res.ec != std::errc() || res.ptr == end || *res.ptr != after) return false;
        at = res.ptr + 1;
        return true;
    }
    bool field(char stop, std::string* out) {
        const char* p = static_cast<const char*>(memchr(at, stop, static_cast<size_t>(end - at)));
        if (!p) return false;
        out->assign(at, static_cast<size_t>(p - at));
        at = p + 1;
        return true;
    }
};

// Reads the undo's journal in dir: false with *why set when it is not one
// this user wrote in this form, every name in it a plain one.
bool readplan(const std::string& dir, undoplan* p, std::string* why) {
    const renumfd d{trustopendir(AT_FDCWD, dir.c_str())};
    const renumfd fd{d.fd < 0 ? -1 : trustopenown(d.fd, "journal")};
    std::string text;
    if (fd.fd < 0 || !durreadfd(fd.fd, &text)) {
        *why = trustwhy(errno);
        return false;
    }
    *why = "not in a form msgseq writes";
    cursor c{text.data(), text.data() + text.size()};
    uintmax_t dev = 0, ino = 0;
    size_t count = 0;
    if (!c.lit(header) || !(c.lit("run plain\n") || (p->update = c.lit("run update\n"))) ||
        !c.lit("dir ") || !c.num(' ', &dev) || !c.num('\n', &ino) || !c.lit("receipt ") ||
        !c.field('\n', &p->receipt) || !trustplain(p->receipt) ||
        (p->update && (!c.lit("kept ") || !c.field('\n', &p->kept) || !trustplain(p->kept))) ||
        !c.lit("before ") || !c.num(' ', &p->before.len) || !c.num('\n', &p->before.hash, 16) ||
        !c.lit("after ") || !c.num(' ', &p->after.len) || !c.num('\n', &p->after.hash, 16) ||
        !c.lit("records ") || !c.num(' ', &p->records) || !c.lit("stayed ") ||
        !c.num(' ', &p->stayed) || !c.lit("missing ") || !c.num(' ', &p->missing) ||
        !c.lit("moves ") || !c.num('\n', &count) || count > p->records)
        return false;
    p->dir = {static_cast<dev_t>(dev), static_cast<ino_t>(ino)};
    p->moves.resize(count);
    for (undomove& m : p->moves) {
        uintmax_t mdev = 0, mino = 0;
        if (!c.num(' ', &m.rec) || m.rec >= p->records || !c.num(' ', &mdev) ||
            !c.num(' ', &mino) || mino == 0 || !c.field(' ', &m.now) || !c.field('\n', &m.was) ||
            !trustplain(m.now) || !trustplain(m.was) || m.now == m.was)
            return false;
        m.dev = static_cast<dev_t>(mdev);
        m.ino = static_cast<ino_t>(mino);
    }
    if (c.at != c.end) return false;
    why->clear();
    return true;
}

// ---- What the undo starts from.

// The index's text, read whole from a regular file.
bool readtext(const std::string& path, std::string* text) {
    const renumfd fd{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    return durreadfd(fd.fd, text);
}

// The lines of an index's text, one at a time, without their newlines.
struct lines {
    std::string_view text;
    size_t at = 0;
    bool next(std::string_view* line) {
        if (at >= text.size()) return false;
        const size_t nl = text.find('\n', at);
        const size_t stop = nl == std::string_view::npos ? text.size() : nl;
        *line = text.substr(at, stop - at);
        at = nl == std::string_view::npos ? text.size() : nl + 1;
        return true;
    }
};

// The names the records after the body list, one a record, up to END.
std::vector<std::string_view> tailnames(std::string_view tail) {
    std::vector<std::string_view> names;
    lines ls{tail};
    std::string_view line;
    for (uint32_t k = 0; ls.next(&line) && line != "END"; k++)
        if (k % 7 == 0) names.push_back(line);
    return names;
}

// The names the first records of an index's text list, one a record;
// text holds at least that many records.
std::vector<std::string_view> bodynames(std::string_view text, uint32_t records) {
    std::vector<std::string_view> names;
    names.reserve(records);
    lines ls{text};
    std::string_view line;
    for (uint64_t ln = 0; ln < 2 + 7 * uint64_t{records} && ls.next(&line); ln++)
        if (ln >= 2 && (ln - 2) % 7 == 0) names.push_back(line);
    names.resize(records);
    return names;
}

// The receipt of the last run in this directory, from beside the index,
// else the working directory: 0 with *out and u.dir set, 1 when there is
// none (*elsewhere: one of another directory), or RENUMINDEX said.
int findreceipt(undo& u, rcpt* out, bool* elsewhere) {
    const renumid here = renumhere();
    const std::string pairs[2][2] = {{rcptbeside(u.fname), renumworkdir(u.fname)},
                                     {rcptspare(), renumsparedir()}};
    for (const auto& [path, work] : pairs) {
        if (path.empty() || work.empty()) continue;
        std::string why;
        bool absent = false;
        if (!rcptread(path, out, &why, &absent)) {
            if (absent) continue;
            renumsay(u.opts,
                     "cannot undo the last run of '%s': its receipt '%s' can't be trusted (%s); "
                     "nothing done\n",
                     shownname(u).c_str(), renumshown(path).c_str(), why.c_str());
            return RENUMINDEX;
        }
        if (renumid{out->dirdev, out->dirino} != here) {
            *elsewhere = true;
            continue;
        }
        u.dir = work;
        return 0;
    }
    return 1;
}

// Record i of the receipt as a move, when its file took another name.
bool asmove(const rcpt& last, uint32_t i, undomove* m) {
    const rcptrec& e = last.recs[i];
    if (e.now == e.was) return false;
    m->rec = i;
    m->dev = e.dev;
    m->ino = e.ino;
    m->now = e.now;
    m->was = e.was;
    return true;
}

// The body of the index to put back, its read flags and records as now:
// the kept index's first records, each read flag as now where it differs
// in what it says, then what follows the records in the index now. false
// when a name the kept index lists is not the one the receipt gives back.
bool restored(std::string_view kept, std::string_view now, size_t nowbody, const undoplan& p,
              std::string* out) {
    out->clear();
    out->reserve(kept.size() + now.size() - nowbody);
    lines k{kept}, n{now};
    std::string_view kl, nl;
    std::unordered_map<uint32_t, std::string_view> was;
    for (const undomove& m : p.moves) was.emplace(m.rec, m.was);
    const uint64_t count = 2 + 7 * static_cast<uint64_t>(p.records);
    for (uint64_t ln = 0; ln < count; ln++) {
        if (!k.next(&kl) || !n.next(&nl)) return false;
        const bool flag = ln >= 2 && (ln - 2) % 7 == 6;
        if (ln >= 2 && (ln - 2) % 7 == 0)
            if (auto it = was.find(static_cast<uint32_t>((ln - 2) / 7));
                it != was.end() && it->second != kl)
                return false;
        const bool read = kl.starts_with('R'), readnow = nl.starts_with('R');
        out->append(flag && read != readnow ? nl : kl);
        *out += '\n';
    }
    out->append(now.substr(nowbody));
    return true;
}

// Whether the kept index at path is the one the run replaced: "" or why not.
std::string keptwrong(const std::string& path, const undoplan& p, std::string* text) {
    struct stat st;
    const renumfd fd{trustopenown(AT_FDCWD, path.c_str(), &st)};
    if (fd.fd < 0) return errno == ENOENT ? "is not there" : std::string(trustwhy(errno));
    // The run's own link to it went when the receipt named it: a name
    // besides this one is another program's hold on the copy, through which
    // it may be written while the undo reads it and puts it back.
    if (st.st_nlink != 1)
        return "has another link (" + std::to_string(st.st_nlink) + " names in all)";
    if (!durreadfd(fd.fd, text)) return std::string("can't be read: ") + strerror(errno);
    if (rcptsumtext(*text, p.records).body != p.before) return "is not that index";
    return "";
}

// Everything an undo must find as the run left it, each thing that is not
// said; 0 to go on with u.plan made, or RENUMINDEX.
int check(undo& u, const rcpt& last, const std::string& receipt) {
    undoplan& p = u.plan;
    const std::string name = shownname(u);
    p.update = last.update;
    p.dir = {last.dirdev, last.dirino};
    p.receipt = receipt.substr(receipt.rfind('/') + 1);
    p.records = static_cast<uint32_t>(last.recs.size());
    p.before = last.before.body;
    p.after = last.after.body;
    if (last.update && last.kept.empty()) {
        renumsay(u.opts,
                 "the last run of '%s' was an update whose receipt keeps no copy of the index it "
                 "replaced, which can't be put back; nothing done\n",
                 name.c_str());
        return RENUMINDEX;
    }
    p.kept = last.kept;
    for (uint32_t i = 0; i < p.records; i++) {
        undomove m;
        if (asmove(last, i, &m))
            p.moves.push_back(std::move(m));
        else if (last.recs[i].known)
            p.stayed++;
        else
            p.missing++;
    }
    uint32_t said = 0;
    // A run leaves each file it moved under a name of its own: a receipt
    // that gives two records one name would move one file twice.
    std::unordered_map<std::string_view, uint32_t> bynow;
    for (const undomove& m : p.moves) {
        const auto [it, fresh] = bynow.emplace(m.now, m.rec);
        if (fresh || ++said > shown) continue;
        renumsay(u.opts, "the last run's receipt gives records %u and %u the one name '%s'\n",
                 it->second + 1, m.rec + 1, renumshown(m.now).c_str());
    }
    if (said > shown) renumsay(u.opts, "and %u more such records\n", said - shown);
    // Nor is the index, or the receipt, the file of any record.
    for (const std::string& own : {u.real, receipt}) {
        struct stat st;
        if (own.empty() || stat(own.c_str(), &st) != 0) continue;
        for (const undomove& m : p.moves) {
            if (m.dev != st.st_dev || m.ino != st.st_ino) continue;
            renumsay(u.opts, "the last run's receipt gives record %u the file '%s' as its own\n",
                     m.rec + 1, renumshown(own).c_str());
            said++;
        }
    }
    // The index the run left, by the sum of its records.
    std::string text;
    size_t body = std::string::npos;
    const rcptindex& expect = last.update ? last.after : last.before;
    const bool read = readtext(u.real, &text);
    if (!read || !expect.known) {
        // What the run left can't be told from what is there: the index
        // is unreadable now, or was then (longer than any undo reads).
        renumsay(u.opts, "'%s' can't be checked against the last run's receipt: %s\n", name.c_str(),
                 read ? "the run could not sum it" : trustwhy(errno));
        said++;
    } else if (rcptsumtext(text, p.records, &body).body != expect.body || body == std::string::npos) {
        // A receipt in the working directory names no index: it may be of
        // a run of another one from here.
        if (receipt == rcptspare())
            renumsay(u.opts,
                     "'%s' is not the index the last run here left (by its receipt '%s', which "
                     "is this directory's): it is another index, or it has changed since\n",
                     name.c_str(), renumshown(receipt).c_str());
        else
            renumsay(u.opts, "'%s' is not the index the last run left: it has changed since\n",
                     name.c_str());
        said++;
        body = std::string::npos;
    }
    // The index names each file the receipt moves: a plain run left it
    // listing the old name, -u the new one. A receipt that names others
    // would give one record's message another's name.
    if (body != std::string::npos) {
        const std::vector<std::string_view> names = bodynames(text, p.records);
        uint32_t wrong = 0;
        for (const undomove& m : p.moves) {
            const std::string& want = last.update ? m.now : m.was;
            if (names[m.rec] == want || ++wrong > shown) continue;
            renumsay(u.opts,
                     last.update ? "record %u of '%s' lists '%s', but the last run's receipt "
                                   "has its file under '%s'\n"
                                 : "record %u of '%s' lists '%s', but the last run's receipt "
                                   "puts its file back as '%s'\n",
                     m.rec + 1, name.c_str(), renumshown(names[m.rec]).c_str(),
                     renumshown(want).c_str());
        }
        if (wrong > shown) renumsay(u.opts, "and %u more such records\n", wrong - shown);
        said += wrong;
    }
    if (last.update) {
        std::string kept;
        const std::string path = besidework(u, p.kept);
        if (const std::string why = keptwrong(path, p, &kept); !why.empty()) {
            renumsay(u.opts, "the copy '%s' of the index the last run replaced %s\n",
                     renumshown(path).c_str(), why.c_str());
            said++;
        } else if (std::string out;
                   body != std::string::npos && !restored(kept, text, body, p, &out)) {
            renumsay(u.opts,
                     "the copy '%s' of the index the last run replaced does not list "
                     "the names its receipt gives back\n",
                     renumshown(path).c_str());
            said++;
        }
    }
    const std::vector<uint32_t> astray = rcptastray(last, true);
    std::vector<uint32_t> moved;
    for (uint32_t k : astray)
        if (last.recs[k].now != last.recs[k].was) moved.push_back(k);
    // A moved record the receipt knows no file of can't be told where it is.
    for (const undomove& m : p.moves)
        if (!last.recs[m.rec].known) moved.push_back(m.rec);
    std::sort(moved.begin(), moved.end());
    rcptsayastray(last, moved, progof(u.opts), u.opts->errs);
    said += static_cast<uint32_t>(moved.size());
    // Each name to go back to free, or one a file that goes back leaves.
    std::unordered_set<std::string_view> leaving, changing;
    for (const undomove& m : p.moves) {
        leaving.insert(m.now);
        changing.insert(m.now);
        changing.insert(m.was);
    }
    uint32_t taken = 0;
    for (const undomove& m : p.moves) {
        struct stat st;
        if (leaving.contains(m.was) ||
            fstatat(AT_FDCWD, m.was.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (++taken <= shown)
            renumsay(u.opts,
                     st.st_dev == m.dev && st.st_ino == m.ino
                         ? "'%s', where record %u's file goes back, is another name of that file "
                           "(a hard link)\n"
                         : "'%s', where record %u's file goes back, is taken by another file\n",
                     renumshown(m.was).c_str(), m.rec + 1);
    }
    if (taken > shown) renumsay(u.opts, "and %u more names taken\n", taken - shown);
    said += taken;
    // Records appended since keep their names: none may be one the undo
    // gives or takes.
    if (body != std::string::npos) {
        const std::vector<std::string_view> added = tailnames(std::string_view(text).substr(body));  // NOLINT(google-readability-casting)
        uint32_t clash = 0;
        for (uint32_t k = 0; k < added.size(); k++) {
            if (!changing.contains(added[k]) || ++clash > shown) continue;
            renumsay(u.opts,
                     "record %u of '%s', added after the last run, lists '%s', a name the undo "
                     "changes\n",
                     p.records + k + 1, name.c_str(), renumshown(added[k]).c_str());
        }
        if (clash > shown) renumsay(u.opts, "and %u more such records\n", clash - shown);
        said += clash;
    }
    if (said == 0) return 0;
    renumsay(u.opts, "the last run of '%s' can't be undone; nothing done\n", name.c_str());
    return RENUMINDEX;
}

// ---- The moves.

// The names an undo, or its giving up, finds a file under.
std::vector<std::string> namesof(const undomove& m, bool back) {
    return {back ? m.now : m.was, back ? m.was : m.now,
            std::string(renumtmp) + m.was + "." + std::to_string(m.ino),
            std::string(renumtmp) + m.now + "." + std::to_string(m.ino)};
}

// Finds each file again by its inode under the names an undo gives it;
// sets at, and to as back (the name the run left it under) or not.
void locate(undo& u, bool back) {
    for (undomove& m : u.plan.moves) {
        m.to = back ? m.now : m.was;
        m.at.clear();
        m.done = false;
        std::vector<std::string> found;
        for (const std::string& n : namesof(m, back))
            if (renumlookup(u.r, n) == m.ino) found.push_back(n);
        if (found.empty()) {
            u.r.complaints.emplace_back(m.rec, "cannot put '" + renumshown(m.now) + "' back to '" +
                                                   renumshown(m.to) +
                                                   "': its file is under none of the names the "
                                                   "undo gives it");
            m.done = true;
            continue;
        }
        m.at = found.front();
        // A move cut short between its link and its unlink: the name it
        // goes to stays.
        for (size_t k = 1; k < found.size(); k++)
            if (renumtwoentries(u.r, found[k], m.at)) (void)renumfsunlink(u.r, found[k]);
        m.done = m.at == m.to;
    }
}

void failed(undo& u, undomove& m, int err) {
    u.r.complaints.emplace_back(m.rec, "cannot move '" + renumshown(m.at) + "' back to '" +
                                           renumshown(m.to) + "': " + renumwhy(err) +
                                           "; the message is left there");
    m.done = true;
}

// Every file to its name once that is free, each chain from its free end,
// each ring opened through a set-aside name; a stop is taken between
// chains and rings, never with a file set aside. false when stopped.
bool moveall(undo& u) {
    std::vector<undomove>& mv = u.plan.moves;
    std::unordered_map<std::string_view, size_t> wants, holds;
    for (size_t k = 0; k < mv.size(); k++) {
        if (mv[k].done) continue;
        wants.emplace(mv[k].to, k);
        holds.emplace(mv[k].at, k);
    }
    std::deque<size_t> ready;
    for (size_t k = 0; k < mv.size(); k++)
        if (!mv[k].done && !holds.contains(mv[k].to)) ready.push_back(k);
    bool aside = false;
    auto drain = [&] {
        while (!ready.empty()) {
            if (!aside && renumstopping(u.r)) return false;
            undomove& m = mv[ready.front()];
            ready.pop_front();
            if (m.done) continue;
            const std::string from = m.at;
            if (const int err = renumfsmove(u.r, from, m.to.c_str())) {
                failed(u, m, err);
                continue;
            }
            m.done = true;
            m.at = m.to;
            if (auto it = wants.find(from); it != wants.end()) ready.push_back(it->second);
            if (from.starts_with(renumtmp)) aside = false;
        }
        return true;
    };
    if (!drain()) return false;
    for (undomove& m : mv) {
        if (m.done) continue;
        if (renumstopping(u.r)) return false;
        const std::string temp = std::string(renumtmp) + m.to + "." + std::to_string(m.ino);
        if (const int err = renumfsmove(u.r, m.at, temp.c_str())) {
            failed(u, m, err);
            continue;
        }
        const std::string freed = m.at;
        m.at = temp;
        aside = true;
        if (auto it = wants.find(freed); it != wants.end()) ready.push_back(it->second);
        if (!drain()) return false;
    }
    return true;
}

void counts(const undo& u, renumstats* st) {
    if (!st) return;
    *st = renumstats{};
    st->records = static_cast<int>(u.plan.records);
    st->stayed = static_cast<int>(u.plan.stayed);
    st->missing = static_cast<int>(u.plan.missing);
    for (const undomove& m : u.plan.moves) st->left += !m.done;
    st->refused = static_cast<int>(u.r.complaints.size());
    st->moved = static_cast<int>(u.plan.moves.size()) - st->refused - st->left;
}

int sayall(undo& u) {
    std::stable_sort(u.r.complaints.begin(), u.r.complaints.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [i, line] : u.r.complaints) renumsay(u.opts, "%s\n", line.c_str());
    return u.r.complaints.empty() ? RENUMOK : RENUMFILES;
}

// The moves as they stand, synced: RENUMOK, RENUMSTOPPED, or RENUMFILES said.
int movesynced(undo& u, bool back) {
    locate(u, back);
    const bool whole = moveall(u);
    const int rc = sayall(u);
    counts(u, u.stats);
    if (u.r.dry) return whole ? rc : RENUMSTOPPED;
    if (!dursyncdir(".")) {
        renumsay(u.opts, "cannot sync the directory '.': %s; the journal stays\n", strerror(errno));
        u.unsynced = true;
        return RENUMFILES;
    }
    if (!whole) return RENUMSTOPPED;
    if (rc != RENUMOK && !back)
        renumsay(u.opts,
                 "the undo of '%s' is not finished; the journal stays: run '%s --undo %s' again, "
                 "or '%s --abort %s' to give it up\n",
                 shownname(u).c_str(), progof(u.opts), shownname(u).c_str(), progof(u.opts),
                 shownname(u).c_str());
    return rc;
}

// ---- The index put back, and the end.

// The index body as it is now: the one to put back, the one the run left,
// or neither.
enum class indexnow : uint8_t { back, left, other };
indexnow whichindex(const undo& u, std::string* text, size_t* body) {
    if (!readtext(u.real, text)) return indexnow::other;
    const rcptsum sum = rcptsumtext(*text, u.plan.records, body).body;
    if (*body == std::string::npos) return indexnow::other;
    return sum == u.plan.before  ? indexnow::back
           : sum == u.plan.after ? indexnow::left
                                 : indexnow::other;
}

// After an update: the kept index in the index's place, with the read
// flags and the records appended as they are now. RENUMOK, or RENUMWRITE said.
int putindex(undo& u) {
    if (!u.plan.update) return RENUMOK;
    std::string now, kept, out, written;
    size_t body = 0;
    const indexnow which = whichindex(u, &now, &body);
    if (which == indexnow::back) return RENUMOK;
    const std::string keptpath = besidework(u, u.plan.kept);
    std::string why = which == indexnow::other ? "it was changed by another program meanwhile"
                                               : keptwrong(keptpath, u.plan, &kept);
    if (why.empty() && !restored(kept, now, body, u.plan, &out)) why = "its copy does not fit it";
    bool renamed = false;
    if (why.empty()) switch (durswap(u.real, u.dir + "/index", now, out, &written, &renamed)) {
        case durswapped::done:
            return RENUMOK;
        case durswapped::late:
            why = "what another program wrote to it meanwhile was not all kept";
            break;
        case durswapped::changed:
            why = "it was changed by another program meanwhile";
            break;
        case durswapped::failed:
            why = strerror(errno);
            break;
        }
    renumsay(u.opts,
             "the files are back, but '%s' is not put back as it was (%s); the journal stays: "
             "run '%s --undo %s' again\n",
             shownname(u).c_str(), why.c_str(), progof(u.opts), shownname(u).c_str());
    return RENUMWRITE;
}

// The receipt and the kept index gone, then the journal: what a second
// undo finds is nothing to undo.
int finish(undo& u, int rc) {
    const std::string receipt = besidework(u, u.plan.receipt);
    bool ok = unlink(receipt.c_str()) == 0 || errno == ENOENT;
    if (ok && !u.plan.kept.empty())
        ok = unlink(besidework(u, u.plan.kept).c_str()) == 0 || errno == ENOENT;
    if (!ok || !dursyncdir(durparent(u.dir))) {
        renumsay(
            u.opts,
            "cannot remove the receipt '%s': %s; the journal stays: run '%s --undo %s' again\n",
            renumshown(receipt).c_str(), strerror(errno), progof(u.opts), shownname(u).c_str());
        return RENUMFILES;
    }
    return renumdropwork(u.opts, u.dir, false) ? rc : RENUMFILES;
}

// The journal on disk before the first move; a work directory without
// one is a finished run's, and goes first.
int begin(undo& u) {
    if (const int err = renumclearwork(u.dir)) {
        renumsay(u.opts, "cannot remove '%s': %s; nothing done\n", renumshown(u.dir).c_str(),
                 strerror(err));
        return RENUMINDEX;
    }
    const std::string text = journaltext(u.plan);
    if (mkdir(u.dir.c_str(), 0700) != 0 ||
        !durwrite(
            u.dir + "/journal.new", u.dir + "/journal", nullptr,
            [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); }) ||
        !dursyncdir(durparent(u.dir))) {
        renumsay(u.opts, "cannot write the journal '%s/journal': %s; nothing done\n",
                 renumshown(u.dir).c_str(), strerror(errno));
        (void)renumclearwork(u.dir);
        return RENUMINDEX;
    }
    return 0;
}

// The dry run's picture of the directory: the files that move, where they
// are.
void picture(undo& u) {
    for (const undomove& m : u.plan.moves)
        for (const std::string& n : namesof(m, false))
            if (struct stat st; lstat(n.c_str(), &st) == 0 && st.st_ino == m.ino)
                u.r.names.emplace(n, m.ino);
}

// An undo cut short: its journal read, in this directory. 0, or RENUMINDEX said.
int takeup(undo& u, const renumwork& w) {
    u.dir = w.dir;
    std::string why;
    if (!readplan(w.dir, &u.plan, &why)) {
        renumsay(u.opts, "cannot read the journal '%s/journal': %s; nothing done\n",
                 renumshown(w.dir).c_str(), why.c_str());
        return RENUMINDEX;
    }
    // Known by its inode: a remount may give it another device number.
    if (u.plan.dir.ino != u.r.here.ino) {
        renumsay(u.opts,
                 "the undo of '%s' that was cut short worked in another directory; finish it "
                 "there; nothing done\n",
                 shownname(u).c_str());
        return RENUMINDEX;
    }
    if (u.plan.update && !u.real.empty())
        if (const int rc = renumlockindexdir(u.real, u.fname, u.opts, &u.uplock)) return rc;
    return 0;
}

void startrun(undo& u) {
    u.r.opts = u.opts;
    u.r.dry = u.opts->dryrun;
    u.r.here = renumhere();
    char buf[PATH_MAX];
    if (realpath(u.fname, buf)) u.real = buf;
}

}  // namespace

int renumundocut(const char* fname, const renumopts* opts) {
    const std::string shown = renumshown(fname);
    const char* prog = progof(opts);
    renumsay(opts,
             "an undo of '%s' by '%s --undo' was cut short; finish it with '%s --undo %s', or "
             "give it up with '%s --abort %s'; nothing done\n",
             shown.c_str(), prog, prog, shown.c_str(), prog, shown.c_str());
    return RENUMINDEX;
}

int renumundo(const char* fname, const renumopts* opts, renumstats* stats) {
    renumfd lock{-1};
    if (const int rc = renumheld(opts, &lock)) return rc;
    undo u{.fname = fname, .opts = opts, .stats = stats};
    startrun(u);
    renumwork w;
    renumfindwork(fname, &w);
    if (w.found == renumjournal::bad) {
        renumsay(opts, "cannot read the journal '%s/journal': %s; nothing done\n",
                 renumshown(w.dir).c_str(),
                 w.err ? trustwhy(w.err) : "not in a form msgseq writes");
        return RENUMINDEX;
    }
    const bool resuming = w.found == renumjournal::good;
    if (resuming && !w.log.undo) {
        renumsay(opts,
                 "a run of '%s' was cut short; finish it with '%s %s%s', or give it up with '%s "
                 "--abort %s', before an undo; nothing done\n",
                 renumshown(fname).c_str(), progof(opts), w.log.plain ? "" : "-u ",
                 renumshown(fname).c_str(), progof(opts), renumshown(fname).c_str());
        return RENUMINDEX;
    }
    if (resuming) {
        if (const int rc = takeup(u, w)) return rc;
        if (u.r.dry) picture(u);
    } else {
        // A work directory with no journal is a run's or an undo's that was
        // cut short after its last step: only the directory is left to go.
        for (const std::string& d : {renumworkdir(fname), renumsparedir()})
            if (struct stat st; !u.r.dry && !d.empty() && lstat(d.c_str(), &st) == 0 &&
                                renumclearwork(d) == 0)
                (void)dursyncdir(durparent(d));
        rcpt last;
        bool elsewhere = false;
        const int found = findreceipt(u, &last, &elsewhere);
        if (found == RENUMINDEX) return found;
        if (found == 1 && elsewhere) {
            renumsay(opts,
                     "the last run of '%s' worked in another directory; undo it there; nothing "
                     "done\n",
                     renumshown(fname).c_str());
            return RENUMINDEX;
        }
        if (found == 1 || last.moved == 0) {
            renumsay(opts, "nothing to undo: no finished run of '%s' is left\n",
                     renumshown(fname).c_str());
            if (stats) *stats = renumstats{};
            return RENUMOK;
        }
        if (last.update && !u.real.empty())
            if (const int rc = renumlockindexdir(u.real, fname, opts, &u.uplock)) return rc;
        if (const int rc = check(u, last, last.path)) return rc;
        if (u.r.dry) {
            picture(u);
        } else {
            if (renumstopping(u.r)) {
                counts(u, stats);
                return RENUMSTOPPED;
            }
            if (const int rc = begin(u)) return rc;
        }
    }
    const int rc = movesynced(u, false);
    if (u.r.dry || rc != RENUMOK) return rc;
    if (const int bad = putindex(u)) return bad;
    return finish(u, rc);
}

int renumundoabort(const char* fname, const renumopts* opts, const renumwork& w) {
    undo u{.fname = fname, .opts = opts, .stats = nullptr};
    startrun(u);
    if (const int rc = takeup(u, w)) return rc;
    // Once the index is the old one again, or the receipt gone, nothing
    // would tell where the run had left the files: it can only go on.
    std::string text;
    size_t body = 0;
    struct stat st;
    if ((u.plan.update && whichindex(u, &text, &body) == indexnow::back) ||
        lstat(besidework(u, u.plan.receipt).c_str(), &st) != 0) {
        renumsay(opts,
                 "the undo of '%s' that was cut short is too far on to be given up; finish it "
                 "with '%s --undo %s'; nothing done\n",
                 shownname(u).c_str(), progof(opts), shownname(u).c_str());
        return RENUMINDEX;
    }
    if (u.r.dry) picture(u);
    // A file that can't go back is said and left where it is, as for any
    // run given up; the receipt tells the rest where they are again.
    const int rc = movesynced(u, true);
    if (u.r.dry) return rc;
    if (u.unsynced) return rc;  // the journal stays
    if (const std::string receipt = besidework(u, u.plan.receipt); !rcptrefence(receipt)) {
        renumsay(opts,
                 "the files are back where the last run left them, but its receipt '%s' could "
                 "not be brought up to date (%s); the journal stays: run '%s --abort %s' again\n",
                 renumshown(receipt).c_str(), strerror(errno), progof(opts),
                 shownname(u).c_str());
        return RENUMFILES;
    }
    return renumdropwork(opts, u.dir, false) ? rc : RENUMFILES;
}
