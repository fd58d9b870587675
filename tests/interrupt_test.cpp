// The built tool killed at many points of a run on a large mailbox, then run
// again on the same index in the same directory: no message may be lost or
// doubled, no set-aside name may be left, and every record outside a ring of
// swaps must end under its own number. And msgseq -u killed right after each
// call it makes on a small mailbox, then run again: it must end exactly as
// one whole run, index and files alike.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "testutil.h"

namespace {

constexpr size_t records = 3000;
constexpr int killpoints = sanitized ? 16 : 40;
constexpr unsigned seed = 20240611;  // the same mailbox and kill times every run
constexpr std::string_view tempprefix = ".msgseq-temp-";

using files = std::map<std::string, std::string>;  // name -> content
using inodes = std::map<std::string, ino_t>;       // name -> the file it names

std::string numbered(size_t k) {
    char buf[32];
    snprintf(buf, sizeof buf, "in%03zu.msg", k);
    return buf;
}

// A name outside the numbered pattern, for a record whose file moves. Formatted
// rather than concatenated: g++ 12 at -O3 reports a false -Wrestrict on
// "b" + std::to_string(k).
std::string unnumbered(size_t k) {
    char buf[32];
    snprintf(buf, sizeof buf, "b%zu.msg", k);
    return buf;
}

std::string msg(const std::string& name) { return "message " + name; }

// A mailbox whose index mixes every shape a run has to plan for: files that
// already have their name, gaps (a file named after a later number), files
// whose new name is still held by the file of a later record (b7.msg, then
// in007.msg a few records on), and rings of two (in008.msg, in007.msg).
struct mailbox {
    std::vector<std::string> listed;  // in index order
    std::vector<size_t> rings;        // first record of each swapped pair
};

mailbox makemailbox() {
    std::mt19937 rng(seed);
    mailbox mb;
    mb.listed.resize(records);
    std::set<std::string> used;
    auto give = [&](size_t k, const std::string& name) {
        mb.listed[k] = name;
        used.insert(name);
    };
    size_t gap = 0;
    for (size_t i = 0; i < records; i++) {
        if (!mb.listed[i].empty()) continue;  // given out by an earlier record
        const unsigned shape = rng() % 10;
        const size_t holder = i + 1 + rng() % 8;
        const std::string own = numbered(i);
        const std::string next = numbered(i + 1);
        if (shape == 0 && !used.contains(own)) {
            give(i, own);
        } else if (shape <= 2 && i + 1 < records && mb.listed[i + 1].empty() &&
                   !used.contains(own) && !used.contains(next)) {
            give(i, next);
            give(i + 1, own);
            mb.rings.push_back(i);
            i++;
        } else if (shape <= 4 && holder < records && mb.listed[holder].empty() &&
                   !used.contains(own)) {
            give(holder, own);
            give(i, unnumbered(i));
        } else if (shape > 4 && !used.contains(numbered(gap = std::max(gap, i) + 1 + rng() % 3))) {
            give(i, numbered(gap));
        } else {
            give(i, unnumbered(i));
        }
    }
    return mb;
}

files original(const mailbox& mb) {
    files f;
    for (const auto& name : mb.listed) f[name] = msg(name);
    return f;
}

files finished(const mailbox& mb) {
    files f;
    for (size_t k = 0; k < records; k++) f[numbered(k)] = msg(mb.listed[k]);
    return f;
}

files ondisk() {
    files f;
    for (const auto& name : listing())
        if (!isreceipt(name)) f[name] = slurp(name);
    return f;
}

// Which file each name holds, from one listing: cheap enough to take between
// the kill and the second run.
inodes linked(const char* path = ".") {
    inodes names;
    DIR* dir = opendir(path);
    if (!dir) return names;
    while (const dirent* ent = readdir(dir)) {
        const std::string_view name(ent->d_name);
        if (name != "." && name != "..") names.emplace(name, ent->d_ino);
    }
    closedir(dir);
    return names;
}

std::vector<std::string> contents(const files& f) {
    std::vector<std::string> out;
    for (const auto& [name, text] : f) out.push_back(text);
    std::sort(out.begin(), out.end());
    return out;
}

// The first few names whose content differs from what was expected, for a
// failure message that stays readable with thousands of files.
std::string misplaced(const files& got, const files& want) {
    std::string out;
    int shown = 0;
    auto note = [&](const std::string& name) {
        if (shown++ < 8) {
            const auto g = got.find(name);
            const auto w = want.find(name);
            out += name + ": has '" + (g == got.end() ? "(nothing)" : g->second) + "', wants '" +
                   (w == want.end() ? "(nothing)" : w->second) + "'\n";
        }
    };
    for (const auto& [name, text] : got)
        if (!want.contains(name) || want.at(name) != text) note(name);
    for (const auto& [name, text] : want)
        if (!got.contains(name)) note(name);
    if (shown > 8) out += "and " + std::to_string(shown - 8) + " more\n";
    return out;
}

// A second run may only report what it could not do, one line per file,
// and then how many.
bool onlycomplaints(const std::string& err) {
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        if (end == std::string::npos) return false;
        std::string_view line(err.data() + at, end - at);
        if (end + 1 == err.size() && line.starts_with("msgseq: ") &&
            line.find(" already in place, ") != line.npos)
            break;
        const size_t to = line.find("' to '");
        const size_t why = line.rfind("': ");
        if (!line.starts_with("msgseq: cannot move '") || to == std::string_view::npos ||
            why == std::string_view::npos || why < to || why + 3 == line.size())
            return false;
        at = end + 1;
    }
    return true;
}

// Creating a file costs far more than linking one, so the mailbox is written
// once, to master/, and each run gets a fresh box/ of hard links to it: the
// tool only renames, and each file's content still says which message it is.
class Interrupted : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        mb = makemailbox();
        std::vector<std::vector<std::string>> recs;
        for (const auto& name : mb.listed)
            recs.push_back({name, "to", "from", "subj", "", "", "N"});
        spit("meta", metafile(recs));
        before = original(mb);
        after = finished(mb);
        ASSERT_EQ(before.size(), records);  // every listed name is a file of its own
        ASSERT_EQ(mkdir("master", 0755), 0);
        for (const auto& [name, text] : before) spit("master/" + name, text);
        beforeino = linked("master");
        ASSERT_EQ(beforeino.size(), records);
        for (size_t k = 0; k < records; k++) afterino[numbered(k)] = beforeino.at(mb.listed[k]);
        for (const auto& [name, ino] : beforeino) textof[ino] = before.at(name);
    }

    // A fresh mailbox in box/, which becomes the working directory.
    void freshbox() {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        std::filesystem::remove_all("box");
        std::filesystem::remove(".meta.msgseq-receipt");  // the last kill point's
        ASSERT_EQ(mkdir("box", 0755), 0);
        ASSERT_EQ(chdir("box"), 0);
        for (const auto& [name, text] : before)
            ASSERT_EQ(link(("../master/" + name).c_str(), name.c_str()), 0) << name;
    }

    // The content of each name, known from the file it links to: reading
    // thousands of files after every run would cost more than all the rest.
    // The master copies are read back once at the end, so a file written
    // to would still be caught.
    files byinode(const inodes& names) const {
        files f;
        for (const auto& [name, ino] : names) {
            const auto it = textof.find(ino);
            f[name] = it == textof.end() ? "(a file not in the mailbox)" : it->second;
        }
        return f;
    }

    mailbox mb;
    files before;
    files after;
    inodes beforeino;
    inodes afterino;
    std::map<ino_t, std::string> textof;
};

}  // namespace

TEST_F(Interrupted, RunAgainAfterAKillLosesAndDoublesNothing) {
    // Uninterrupted, its calls logged: the exact result, the call that is
    // its first rename and how many it makes in all. The kills below are
    // counted in those calls, not in time, so that each lands where it
    // landed on every other run, however loaded the machine.
    freshbox();
    const std::string calllog = dir + "/calls.log";
    const runresult whole = runfsfault({"../meta"}, {"FSFAULT_LOG=" + calllog});
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(whole.out, std::to_string(records));
    EXPECT_EQ(whole.err, "");
    ASSERT_EQ(ondisk(), after);
    const std::string calls = slurp(calllog);
    const size_t firstat = calls.find("\nrenameat2 ");
    ASSERT_NE(firstat, std::string::npos) << "no rename seen";
    const long first =
        std::count(calls.begin(), calls.begin() + static_cast<long>(firstat), '\n') + 2;
    const long total = std::count(calls.begin(), calls.end(), '\n');
    ASSERT_GT(first, 1) << "no journal before the first rename";
    ASSERT_GT(total, static_cast<long>(records));

    // Kill points: a fifth of them spread over the calls before the first
    // rename; the rest from the first rename on, most over the rest of the
    // run and a tenth beyond its end, up to a fifth of it more, where no
    // kill comes. Each is jittered within its slot by the fixed seed.
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(0.0, 1.0);
    const int early = killpoints / 5;
    const int late = killpoints / 10;
    const int renaming = killpoints - early - late;
    auto callfor = [&](int p) {
        const double u = jitter(rng);
        const auto before = static_cast<double>(first - 1);
        const auto then = static_cast<double>(total - first + 1);
        if (p < early) return 1 + static_cast<long>(before * (p + u) / early);
        if (p < early + renaming)
            return first + static_cast<long>(then * (p - early + u) / renaming);
        return total + 1 + static_cast<long>(0.2 * then * (p - early - renaming + u) / late);
    };
    const std::vector<std::string> want = contents(before);
    int killed = 0;
    int midway = 0;
    int undone = 0;     // rings swapped back, summed over the kill points
    int undonepts = 0;  // kill points where the second run swapped some ring back
    for (int p = 0; p < killpoints; p++) {
        const long k = callfor(p);
        SCOPED_TRACE("kill point " + std::to_string(p) + ", after call " + std::to_string(k) +
                     " of " + std::to_string(total));
        freshbox();
        const runresult once =
            runfsfault({"../meta"}, {"FSFAULT_KILL_AFTER=" + std::to_string(k)});
        const bool bykill = once.status == 128 + SIGKILL;
        if (!bykill) {
            EXPECT_EQ(once.status, 0) << once.err;
        }
        const inodes cut = linked();
        killed += bykill;
        midway += bykill && cut != beforeino && cut != afterino;

        const bool journaled = exists("../meta.msgseq-update/journal");
        const bool receipt = exists("../.meta.msgseq-receipt");
        const runresult r = run({MSGSEQ_PATH, "../meta"});
        EXPECT_EQ(r.out, std::to_string(records));
        EXPECT_TRUE(r.status == 0 || r.status == 3) << r.status << "\n" << r.err;
        // Once the first run had ended, its receipt tells the second that
        // it is done.
        const std::string done = "msgseq: '../meta' was renumbered by the last run; nothing "
                                 "moved (msgseq -u brings the index up to date)\n";
        if (r.status == 0) {
            EXPECT_EQ(r.err, journaled || !receipt ? "" : done);
        }
        EXPECT_TRUE(onlycomplaints(r.err == done ? "" : r.err)) << r.err;

        const files end = byinode(linked());
        EXPECT_EQ(contents(end), want);
        for (const auto& [name, text] : end)
            EXPECT_FALSE(name.starts_with(tempprefix)) << name << " left behind";
        // Cut short, the first run's journal tells the second which rings it
        // swapped: every record ends under its own number. Once it had ended,
        // the second is a run of its own, which swaps the rings back.
        files expect = after;
        const int undonebefore = undone;
        for (size_t i : mb.rings) {
            const std::string a = numbered(i);
            const std::string b = numbered(i + 1);
            if (!journaled && end.contains(a) && end.at(a) == msg(a) && end.contains(b) &&
                end.at(b) == msg(b)) {
                expect[a] = msg(a);
                expect[b] = msg(b);
                undone++;
            }
        }
        undonepts += undone > undonebefore;
        EXPECT_EQ(misplaced(end, expect), "");
        if (HasFailure()) break;
    }
    ASSERT_EQ(chdir(dir.c_str()), 0);
    files master;
    for (const auto& [name, text] : before) master[name] = slurp("master/" + name);
    EXPECT_EQ(misplaced(master, before), "") << "a message file was written to";

    std::cout << "[          ] " << records << " records, " << mb.rings.size() << " rings; run "
              << total << " calls, first rename at call " << first << "; " << killpoints << " kill points, " << killed << " killed, " << midway
              << " interrupted mid-run; the second run swapped back " << undone << " rings at "
              << undonepts << " kill points\n";
    RecordProperty("killpoints", killpoints);
    RecordProperty("killed", killed);
    RecordProperty("midway", midway);
    RecordProperty("ringsundone", undone);
    RecordProperty("ringsundonepoints", undonepts);
    if (!HasFailure()) {
        EXPECT_GE(midway * 4, killpoints) << "too few kills landed inside a run";
    }
}

namespace {

// A mailbox for msgseq -u small enough to kill at every call it makes: gaps,
// a file already in place, a chain worked from its free end in the second
// pass (b4.msg, in004.msg, in006.msg, freed by in007.msg), rings of two
// (in010/in009, in023/in022) and of three (in013, in011, in012), two
// missing files and a new name held by a file that no record lists.
const std::vector<std::string> smallbox = {
    "in000.msg", "in002.msg", "in005.msg", "m3.msg",    "b4.msg",    "in008.msg",
    "in004.msg", "in006.msg", "in007.msg", "in010.msg", "in009.msg", "in013.msg",
    "in011.msg", "in012.msg", "u14.msg",   "in016.msg", "d16.msg",   "in017.msg",
    "in020.msg", "e19.msg",   "f20.msg",   "in025.msg", "in023.msg", "in022.msg",
    "in027.msg", "g25.msg",   "m26.msg",   "in029.msg", "in030.msg", "h29.msg"};
const std::set<std::string> smallmissing = {"m3.msg", "m26.msg"};
const std::string smallheld = "u14.msg";        // its new name, in014.msg, is taken by
const std::string smallunlisted = "in014.msg";  // this file, which no record lists
const std::string smallwork = "meta.msgseq-update";

std::string smallindex(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : names) recs.push_back({name, "to", "from", "subj", "", "", "N"});
    return metafile(recs);
}

// The index and its files in box/, which becomes the working directory.
class UpdateInterrupted : public ScratchDir {
protected:
    void freshbox() {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        std::filesystem::remove_all("box");
        ASSERT_EQ(mkdir("box", 0755), 0);
        ASSERT_EQ(chdir("box"), 0);
        spit("meta", smallindex(smallbox));
        for (const auto& name : smallbox)
            if (!smallmissing.contains(name)) spit(name, msg(name));
        spit(smallunlisted, msg(smallunlisted));
    }
    // How one whole run leaves box/: every name, the index among them.
    static files whole() {
        files f{{smallunlisted, msg(smallunlisted)}};
        std::vector<std::string> names = smallbox;
        for (size_t k = 0; k < names.size(); k++) {
            if (smallmissing.contains(names[k])) continue;
            if (names[k] != smallheld) names[k] = numbered(k);
            f[names[k]] = msg(smallbox[k]);
        }
        f["meta"] = smallindex(names);
        return f;
    }
    std::string log() const { return dir + "/calls.log"; }
};

}  // namespace

TEST_F(UpdateInterrupted, KilledAtAnyCallThenRerunEndsAsOneRun) {
    // Where no-replace renames are refused (as on NFS) each move is a link
    // and an unlink, and a kill can fall between the two.
    for (const std::string fs : {"", "FSFAULT_NOREPLACE=einval"}) {
        SCOPED_TRACE(fs.empty() ? "renames" : "links and unlinks");
        auto with = [&](std::vector<std::string> faults) {
            if (!fs.empty()) faults.push_back(fs);
            return faults;
        };
        freshbox();
        std::filesystem::remove(log());
        const runresult once = runfsfault({"-u", "meta"}, with({"FSFAULT_LOG=" + log()}));
        EXPECT_EQ(once.out, std::to_string(smallbox.size()));
        EXPECT_EQ(once.status, 3);
        EXPECT_EQ(once.err,
                  "msgseq: cannot move 'm3.msg' to 'in003.msg': No such file or directory\n"
                  "msgseq: cannot move 'u14.msg' to 'in014.msg': File exists ('in014.msg' is not "
                  "in the index)\n"
                  "msgseq: cannot move 'm26.msg' to 'in026.msg': No such file or directory\n"
                  "msgseq: 25 renamed, 2 already in place, 2 missing, 1 refused, of 30 records\n");
        const files done = ondisk();
        ASSERT_EQ(misplaced(done, whole()), "");
        const std::string calls = slurp(log());
        ASSERT_NE(calls.find(" .msgseq-temp-"), std::string::npos) << "no ring was set aside";
        const long n = std::count(calls.begin(), calls.end(), '\n');
        ASSERT_GT(n, static_cast<long>(smallbox.size()));

        // Every call when there are few; else the first and last few, and
        // more spread between. Each point costs four runs of the tool, which
        // the sanitizers make several times slower.
        const long every = sanitized ? 0 : 100;
        const long edge = sanitized ? 5 : 10;
        const long between = sanitized ? 12 : 20;
        std::vector<long> points;
        for (long k = 1; k <= n; k++)
            if (n <= every || k <= edge || k > n - edge ||
                (k - edge) % ((n - 2 * edge) / between + 1) == 0)
                points.push_back(k);
        int blocked = 0;  // kill points after which a plain run was turned away
        int tried = 0;
        for (long k : points) {
            SCOPED_TRACE("killed after call " + std::to_string(k) + " of " + std::to_string(n));
            tried++;
            freshbox();
            const runresult cut =
                runfsfault({"-u", "meta"}, with({"FSFAULT_KILL_AFTER=" + std::to_string(k)}));
            ASSERT_EQ(cut.status, 128 + SIGKILL) << cut.err;
            const files left = ondisk();
            // An update left unfinished turns a plain run away untouched.
            if (exists(smallwork + "/journal")) {
                const runresult plain = runfsfault({"meta"}, with({}));
                EXPECT_EQ(plain.status, 2);
                EXPECT_NE(plain.err, "");
                EXPECT_EQ(ondisk(), left);
                blocked++;
            }
            // A dry run tells what finishing it does, and does none of it.
            const runresult dry = runfsfault({"-n", "-u", "-v", "meta"}, with({}));
            EXPECT_EQ(ondisk(), left);
            const runresult again = runfsfault({"-u", "-v", "meta"}, with({}));
            EXPECT_EQ(again.status, once.status) << again.err;
            EXPECT_EQ(again.out.substr(again.out.rfind('\n') + 1), once.out);
            EXPECT_EQ(dry.out, again.out);
            EXPECT_EQ(asreal(dry.err), again.err);
            EXPECT_EQ(dry.status, again.status);
            EXPECT_EQ(misplaced(ondisk(), done), "");
            EXPECT_EQ(slurp("meta"), done.at("meta"));
            if (HasFailure()) break;
        }
        EXPECT_GT(blocked, 0);
        std::cout << "[          ] " << (fs.empty() ? "renames" : "links and unlinks") << ": " << n
                  << " calls, killed after " << tried << " of them, " << blocked
                  << " left an unfinished update\n";
        if (HasFailure()) break;
    }
}
