// msgseq, plain or -u, cut short by a power failure at any point of its run.
// A change to a directory (a name made, renamed, linked or removed, a
// directory made or removed) is on disk once that directory was synced after
// it; until then it may be lost: all such changes together, each one alone,
// or those of any set of directories. A rename or link belongs to the
// directory of its new name. A file holds the bytes it had when it was last
// synced, and none if it never was. The run's calls, logged by the fault
// library, are replayed without the lost ones on the starting mailbox, and
// the same run again on what is left must end as one whole run does: each
// message once, under its new name, the index naming each one's file (-u) or
// as it was (plain), no temporary name, no work directory, and the status a
// whole run gives; given up by msgseq --abort instead, each message is back
// where the index names it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mailbox/receipt.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t sample = sanitized ? 8 : 1;  // a sanitized tool is slower: every eighth state
constexpr size_t shown = 4;                   // failures described in full, per mailbox

struct pcbox {
    std::string name;
    std::string listed;                    // the names in index order
    std::string missing = {}, stray = {};  // a listed name with no file; a file no record lists
};
void PrintTo(const pcbox& pb, std::ostream* os) { *os << pb.name; }

// Besides its shape, each box but Chain has files moved at once and one in place.
const std::vector<pcbox> pcboxes = {
    {"Chain", "b in000 in001 in002 in003 in004 in005 in006 in007 in008 in009"},
    {"Ring2", "in001 in000 c in004 in003 in006 in005 h in008 in010 in009"},
    {"Ring3", "in001 in002 in000 d in005 in006 in004 h in008 in010 in011 in009"},
    {"Missing", "a m in005 in003 e f g h i j", "m.msg"},
    {"Stray", "in001 b c in003 e f g h i j", "", "in010.msg"},
};

std::string body(const std::string& name) { return "message " + name + "\n"; }

std::string index(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : names) recs.push_back({name, "to", "from", "subj", "", "", "N"});
    return metafile(recs);
}

// A line of the log with full paths, "FUNCTION PATH [NEWPATH] RESULT", and
// the directory that it changes or syncs, ending in '/'.
struct call {
    std::string text, fn, a, b, dir = {};
    bool ok = false, change = false, dirsync = false, filesync = false;
};

std::vector<call> readcalls(const std::string& log) {
    std::vector<call> calls;
    std::istringstream in(log);
    for (std::string text; std::getline(in, text);) {
        std::istringstream line(text);
        std::vector<std::string> w;
        for (std::string word; line >> word;) w.push_back(word);
        call c{text, w[0], w[1], w.size() > 3 ? w[2] : ""};
        c.ok = w.back() == "0";
        const bool sync = c.fn.ends_with("sync");
        c.dirsync = sync && c.a.ends_with('/');
        c.filesync = sync && !c.dirsync;
        c.change = !sync && c.fn.find("write") == std::string::npos;
        const std::string& made = c.b.empty() ? c.a : c.b;
        c.dir = c.dirsync ? c.a : made.substr(0, made.rfind('/') + 1);
        calls.push_back(c);
    }
    return calls;
}

// A power cut after call p that loses the changes lost; kept: what is
// replayed, the changes on disk and the syncs of files.
struct cut {
    size_t p;
    std::vector<size_t> lost, kept;
};

std::vector<cut> cuts(const std::vector<call>& calls) {
    std::vector<cut> out;
    std::set<std::vector<size_t>> seen;  // a state reached from two points runs once
    std::vector<size_t> pending;         // changes whose directory was not synced since
    for (size_t p = 0; p < calls.size(); p++) {
        const call& c = calls[p];
        if (c.ok && c.change) pending.push_back(p);
        if (c.ok && c.dirsync)
            std::erase_if(pending, [&](size_t i) { return calls[i].dir == c.dir; });
        std::vector<std::string> dirs;
        for (size_t i : pending)
            if (std::find(dirs.begin(), dirs.end(), calls[i].dir) == dirs.end())
                dirs.push_back(calls[i].dir);
        // Nothing lost, each change alone, and each set of directories (all
        // of them: every change not on disk).
        std::vector<std::vector<size_t>> losses = {{}};
        for (size_t i : pending) losses.push_back({i});
        for (unsigned set = 1; set < 1u << dirs.size(); set++) {
            losses.emplace_back();
            for (size_t i : pending)
                if (set >> (std::find(dirs.begin(), dirs.end(), calls[i].dir) - dirs.begin()) & 1)
                    losses.back().push_back(i);
        }
        for (auto& lost : losses) {
            std::vector<size_t> kept;
            for (size_t i = 0; i <= p; i++)
                if (calls[i].ok && (calls[i].change || calls[i].filesync) &&
                    !std::count(lost.begin(), lost.end(), i))
                    kept.push_back(i);
            if (seen.insert(kept).second) out.push_back({p, std::move(lost), std::move(kept)});
        }
    }
    return out;
}

// Call i of the log made again on the disk as the power cut left it. One
// that can't be made (its directory, or the name it works on, was lost)
// does nothing. A file synced whose name was lost is still on disk, under
// no name (orphans), until a rename or link that survived gives it one.
void replay(const call& c, size_t i, const std::string& snaps,
            std::map<std::string, std::string>& orphans) {
    const char* a = c.a.c_str();
    const char* b = c.b.c_str();
    if (auto it = orphans.find(c.a); it != orphans.end() && !c.filesync && !exists(a) &&
                                     (c.fn.starts_with("link") || c.fn.starts_with("rename"))) {
        spit(a, it->second);
        orphans.erase(it);
    }
    if (c.filesync) {
        const std::string bytes = slurp(snaps + "/" + std::to_string(i + 1));
        if (exists(a))
            spit(a, bytes);
        else
            orphans[c.a] = bytes;
    } else if (c.fn.starts_with("mkdir")) {
        (void)mkdir(a, 0700);
    } else if (c.fn == "rmdir" || c.fn.starts_with("unlink") || c.fn == "remove") {
        // A directory removed on disk was empty: what was lost in it goes too.
        std::error_code ec;
        if (fs::is_directory(fs::symlink_status(a, ec)))
            fs::remove_all(a, ec);
        else
            (void)unlink(a);
    } else if (c.fn.starts_with("link")) {
        (void)link(a, b);
    } else if (c.fn == "renameat2x") {  // the index swapped with the new one
        if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) != 0 && errno == ENOENT)
            (void)rename(a, b);
    } else if (c.fn == "renameat2") {  // the tool's no-replace rename
        (void)renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_NOREPLACE);
    } else if (c.fn.starts_with("rename")) {
        (void)rename(a, b);
    } else if (const int fd = open(a, O_WRONLY | O_CREAT | O_CLOEXEC, 0600); fd >= 0) {
        close(fd);  // a file made
    }
}

// The mailbox in box/, its index in box/ or beside it in top/.
class PowerCut : public ScratchDir, public ::testing::WithParamInterface<pcbox> {
protected:
    void SetUp() override {
        // Each rerun syncs: free in memory, most of the test's time on a disk.
        base = "/dev/shm";
        ScratchDir::SetUp();
        std::istringstream names(GetParam().listed);
        for (std::string name; names >> name;) listed.push_back(name + ".msg");
        top = dir + "/top";
        box = top + "/box";
        for (const std::string& d : {master(), top, box}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        for (const auto& name : listed)
            if (name != GetParam().missing) files.push_back(name);
        if (!GetParam().stray.empty()) files.push_back(GetParam().stray);
        for (const auto& name : files) spit(master() + name, body(name));
    }
    std::string master() const { return dir + "/master/"; }

    // The starting mailbox, laid in the same directories each time, of links
    // to the same files: the journal knows them by identity.
    void lay(const std::string& meta) {
        for (const std::string& d : {top, box})
            for (const auto& ent : fs::directory_iterator(d))
                if (ent.path() != fs::path(box)) fs::remove_all(ent.path());
        for (const auto& name : files)
            ASSERT_EQ(link((master() + name).c_str(), (box + "/" + name).c_str()), 0);
        spit(meta, index(listed));
    }

    // What the run left that one whole run would not have: "" when nothing.
    // renamed: each message under its new name, the index as it was, else
    // where the index names it, the index as it was or naming the new names.
    std::string wrong(const std::string& meta, const runresult& r, bool renamed = false,
                      int status = -1, bool delivered = false) const {
        const pcbox& pb = GetParam();
        std::string out;
        if (r.status != (status >= 0 ? status : pb.missing.empty() ? 0 : 3))
            out += "wrong status\n";
        std::map<std::string, int> found;  // content -> names holding it
        for (const std::string& d : {top, box})
            for (const std::string& name : listing(d))
                if (name.starts_with(".msgseq-temp-") || name.ends_with(".msgseq-update"))
                    out += "left behind: " + name + "\n";
                else
                    found[slurp(d + "/" + name)]++;
        for (const auto& name : files)
            if (const int n = found[body(name)]; n != 1)
                out += "the message of " + name + " is there " + std::to_string(n) + " times\n";
        std::istringstream in(slurp(meta));
        std::vector<std::string> lines, names;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        for (size_t at = 2; at + 7 < lines.size(); at += 7) names.push_back(lines[at]);
        if (names.size() != listed.size() + delivered || slurp(meta) != index(names) ||
            (delivered && names.back() != "x.msg"))
            return out + "the index is damaged:\n" + slurp(meta);
        names.resize(listed.size());
        const bool asit = names == listed && (renamed || status >= 0);
        for (size_t k = 0; k < names.size(); k++) {
            const bool gone = listed[k] == pb.missing;
            char own[32];
            (void)snprintf(own, sizeof own, "in%03zu.msg", k);
            const std::string path = box + "/" + (renamed && !gone ? own : names[k]);
            const std::string has = exists(path) ? slurp(path) : "nothing\n";
            if (names[k] != (gone || asit ? listed[k] : own) ||
                has != (gone ? "nothing\n" : body(listed[k])))
                out += "record " + std::to_string(k) + " (" + listed[k] + ") names " + names[k] +
                       ", holding " + has;
        }
        return out;
    }

    // What is wrong with the receipt a finished run left beside meta: ""
    // when it names each record's file under its new name, by inode, and
    // the index as it is now (as the run left it).
    std::string receiptwrong(const std::string& meta, bool update) const {
        rcpt r;
        std::string why;
        bool absent = false;
        const std::string at = meta.substr(0, meta.rfind('/')) + "/.meta.msgseq-receipt";
        if (!rcptread(at, &r, &why, &absent)) return "no receipt: " + why + "\n";
        const rcptindex now = rcptsumindex(meta.c_str(), listed.size());
        if (r.update != update || r.recs.size() != listed.size() ||
            (update ? r.after : r.before).body != now.body)
            return "the receipt is of another run or index\n";
        for (size_t k = 0; k < listed.size(); k++) {
            char own[32];
            (void)snprintf(own, sizeof own, "in%03zu.msg", k);
            struct stat st {};
            const bool gone = listed[k] == GetParam().missing;
            if (gone ? r.recs[k].known
                     : r.recs[k].now != own || !r.recs[k].known ||
                           lstat((box + "/" + own).c_str(), &st) != 0 || st.st_ino != r.recs[k].ino)
                return "the receipt is wrong about record " + std::to_string(k) + "\n";
        }
        return "";
    }

    std::string top, box;
    std::vector<std::string> listed, files;  // files: the mailbox's, by their first names
};

}  // namespace

// How a run is cut and then taken up: -u or a plain run run again, or either
// given up by --abort; or -u again after a delivery added a record x.msg.
struct pcmode {
    const char* name;
    bool update, abort, deliver = false;
};
constexpr pcmode pcmodes[] = {{"-u", true, false},
                              {"plain", false, false},
                              {"-u, --abort", true, true},
                              {"plain, --abort", false, true},
                              {"-u, a delivery", true, false, true}};

TEST_P(PowerCut, RerunEndsAsOneWholeRun) {
    const std::string snaps = dir + "/snaps", log = dir + "/calls.log";
    size_t states = 0, failed = 0;
    for (int k = 0; k < 10; k++) {
        const pcmode& mode = pcmodes[k / 2];
        const bool inside = k % 2;
        for (const bool links : {false, true}) {
            const std::string meta = (inside ? box : top) + "/meta";
            const std::string arg = inside ? "meta" : "../meta";
            lay(meta);
            fs::remove_all(snaps);
            fs::remove(log);
            ASSERT_TRUE(fs::create_directory(snaps));
            ASSERT_EQ(chdir(box.c_str()), 0);
            std::vector<std::string> faults = {"FSFAULT_LOG=" + log, "FSFAULT_ABSOLUTE=1",
                                               "FSFAULT_SNAP=" + snaps};
            if (links) faults.push_back("FSFAULT_NOREPLACE=einval");
            std::vector<std::string> args = {arg};
            if (mode.update) args.insert(args.begin(), "-u");
            const runresult once = runfsfault(args, faults);
            const std::string how = GetParam().name + ", " + mode.name +
                                    (inside ? ", index in the mailbox" : ", index beside it") +
                                    (links ? ", link+unlink" : ", renames");
            ASSERT_EQ(wrong(meta, once, !mode.update), "") << how << ", one whole run:\n"
                                                           << once.err;
            const std::vector<call> calls = readcalls(slurp(log));
            const std::vector<cut> all = cuts(calls);
            for (size_t s = 0; s < all.size(); s += sample) {
                lay(meta);
                std::map<std::string, std::string> orphans;
                for (size_t i : all[s].kept) replay(calls[i], i, snaps, orphans);
                // A plain run whose journal went had ended: run again, it is a
                // run of its own on a renumbered mailbox; given up, it has
                // nothing to give up.
                const bool ended =
                    std::any_of(all[s].kept.begin(), all[s].kept.end(), [&](size_t i) {
                        return (calls[i].fn.starts_with("unlink") &&
                                calls[i].a.ends_with("/journal")) ||
                               (calls[i].fn == "rmdir" && calls[i].a.ends_with(".msgseq-update"));
                    });
                // A delivery before the journal is a record like any other.
                if (mode.deliver && (ended || !exists(meta + ".msgseq-update/journal"))) continue;
                if (ended && !mode.update && !mode.abort) continue;
                if (mode.deliver) {
                    std::string text = slurp(meta);
                    spit(meta, text.insert(text.size() - 4, "x.msg\nto\nfrom\nsubj\n\n\nN\n"));
                }
                std::vector<std::string> again = {MSGSEQ_PATH, arg};
                if (mode.update || mode.abort)
                    again.insert(again.begin() + 1, mode.abort ? "--abort" : "-u");
                const runresult r = run(again);
                states++;
                std::string bad = wrong(meta, r, !mode.update && (!mode.abort || ended),
                                        mode.abort ? 0 : -1, mode.deliver);
                // Finished, the rerun leaves a receipt of the run; an update
                // that had ended is a run of its own that renames nothing.
                if (bad.empty() && !mode.abort && !(ended && mode.update))
                    bad = receiptwrong(meta, mode.update);
                if (bad.empty() || ++failed > shown) continue;
                std::string say = how + ": power cut after call " + std::to_string(all[s].p + 1) +
                                  " of " + std::to_string(calls.size()) + ", " +
                                  calls[all[s].p].text +
                                  "; lost:" + (all[s].lost.empty() ? " nothing" : "");
                for (size_t i : all[s].lost) say += "\n  " + calls[i].text;
                say += "\nrerun: status " + std::to_string(r.status) + ", out '" + r.out + "'\n" +
                       r.err + bad;
                for (size_t at; (at = say.find(top + "/")) != std::string::npos;)
                    say.erase(at, top.size() + 1);
                ADD_FAILURE() << say;
            }
        }
    }
    std::cout << "[          ] " << GetParam().name << ": " << states << " crash states, " << failed
              << " failed\n";
    EXPECT_EQ(failed, 0u);
    EXPECT_GE(states * sample, 150u);  // no fewer when the run syncs more
}

// msgseq --undo of a finished run, plain or -u, cut short by a power failure
// at any point: run again, every message is back under the name the index
// listed before the run, the index as it was then, and nothing is left to
// undo; given up by --abort instead, it is as the run left it, unless the
// index was put back already, when --abort refuses and --undo finishes.
TEST_P(PowerCut, UndoEndsAsOneWholeUndo) {
    const std::string snaps = dir + "/snaps", log = dir + "/calls.log";
    size_t states = 0, failed = 0;
    // What an undo leaves that one whole undo would not: "" when nothing.
    auto leftover = [&] {
        std::string out;
        for (const std::string& d : {top, box})
            for (const std::string& name : listing(d))
                if (name.ends_with(".msgseq-receipt") || name.ends_with(".msgseq-before"))
                    out += "left behind: " + name + "\n";
        return out;
    };
    for (int k = 0; k < 16; k++) {
        const bool update = k & 1, inside = k & 2, links = k & 4, abort = k & 8;
        const std::string meta = (inside ? box : top) + "/meta";
        const std::string arg = inside ? "meta" : "../meta";
        std::vector<std::string> runargs = {MSGSEQ_PATH, arg};
        if (update) runargs.insert(runargs.begin() + 1, "-u");
        const std::string how = GetParam().name + std::string(update ? ", -u" : ", plain") +
                                (abort ? ", --abort" : ", --undo") +
                                (inside ? ", index in the mailbox" : ", index beside it") +
                                (links ? ", link+unlink" : ", renames");
        auto ran = [&] {
            lay(meta);
            ASSERT_EQ(chdir(box.c_str()), 0);
            (void)run(runargs);
        };
        ran();
        fs::remove_all(snaps);
        fs::remove(log);
        ASSERT_TRUE(fs::create_directory(snaps));
        std::vector<std::string> faults = {"FSFAULT_LOG=" + log, "FSFAULT_ABSOLUTE=1",
                                           "FSFAULT_SNAP=" + snaps};
        if (links) faults.push_back("FSFAULT_NOREPLACE=einval");
        const runresult once = runfsfault({"--undo", arg}, faults);
        ASSERT_EQ(wrong(meta, once, false, 0) + leftover(), "") << how << ", one whole undo:\n"
                                                                << once.err;
        const std::vector<call> calls = readcalls(slurp(log));
        const std::vector<cut> all = cuts(calls);
        for (size_t s = 0; s < all.size(); s += sample) {
            ran();
            std::map<std::string, std::string> orphans;
            for (size_t i : all[s].kept) replay(calls[i], i, snaps, orphans);
            runresult r = run({MSGSEQ_PATH, abort ? "--abort" : "--undo", arg});
            states++;
            // Refused by --abort as too far on, it is finished by --undo.
            if (abort && r.status == 2) r = run({MSGSEQ_PATH, "--undo", arg});
            // Given up: as the run left it, its receipt still telling so.
            if (abort && r.status == 0 && wrong(meta, r, !update, 0).empty() &&
                receiptwrong(meta, update).empty())
                continue;
            const std::string bad = wrong(meta, r, false, 0) + leftover();
            if (bad.empty() || ++failed > shown) continue;
            std::string say = how + ": power cut after call " + std::to_string(all[s].p + 1) +
                              " of " + std::to_string(calls.size()) + ", " + calls[all[s].p].text +
                              "; lost:" + (all[s].lost.empty() ? " nothing" : "");
            for (size_t i : all[s].lost) say += "\n  " + calls[i].text;
            say += "\nrerun: status " + std::to_string(r.status) + "\n" + r.err + bad;
            for (size_t at; (at = say.find(top + "/")) != std::string::npos;)
                say.erase(at, top.size() + 1);
            ADD_FAILURE() << say;
        }
    }
    std::cout << "[          ] " << GetParam().name << ": " << states << " undo crash states, "
              << failed << " failed\n";
    EXPECT_EQ(failed, 0u);
    EXPECT_GE(states * sample, 150u);
}

INSTANTIATE_TEST_SUITE_P(PowerCut, PowerCut, ::testing::ValuesIn(pcboxes),
                         [](const ::testing::TestParamInfo<pcbox>& info) {
                             return info.param.name;
                         });

#ifdef MAILBOX_PATH
// mailbox delete cut short by a power failure at any point, then any
// mailbox command: the delete is whole, or (lost before its journal was on
// disk) never began; no file of a record that stays is gone.
class PowerCutDelete : public ScratchDir {
protected:
    void SetUp() override {
        base = "/dev/shm";
        ScratchDir::SetUp();
        ASSERT_EQ(mkdir("master", 0755), 0);
        ASSERT_EQ(mkdir("box", 0755), 0);
        for (int k = 0; k < 6; k++) {
            names.push_back("in00" + std::to_string(k) + ".msg");
            spit("master/" + names.back(), "From: x\n\n" + body(names.back()));
        }
    }
    void lay() {
        for (const auto& ent : fs::directory_iterator(dir + "/box")) fs::remove_all(ent.path());
        for (const auto& n : names)
            ASSERT_EQ(link((dir + "/master/" + n).c_str(), (dir + "/box/" + n).c_str()), 0);
        spit(dir + "/box/meta", index(names));
    }
    std::string state() const {
        std::string s = slurp(dir + "/box/meta") + "|";
        for (const auto& n : listing(dir + "/box")) s += n + " ";
        return s;
    }
    std::vector<std::string> names;
};

TEST_F(PowerCutDelete, WholeOrNotBegun) {
    const std::string snaps = dir + "/snaps", log = dir + "/calls.log";
    const std::vector<std::string> del = {MAILBOX_PATH, "delete", "meta", "2-3", "5"};
    lay();
    const std::string before = state();
    ASSERT_TRUE(fs::create_directory(snaps));
    ASSERT_EQ(chdir((dir + "/box").c_str()), 0);
    ASSERT_EQ(run(del, nullptr,
                  fsfaultenv({"FSFAULT_LOG=" + log, "FSFAULT_ABSOLUTE=1", "FSFAULT_SNAP=" + snaps}))
                  .status,
              0);
    const std::string whole = state();
    ASSERT_NE(whole, before);
    const std::vector<call> calls = readcalls(slurp(log));
    size_t states = 0;
    for (const cut& c : cuts(calls)) {
        lay();
        std::map<std::string, std::string> orphans;
        for (size_t i : c.kept) replay(calls[i], i, snaps, orphans);
        const runresult next = run({MAILBOX_PATH, "list", "meta"});
        states++;
        EXPECT_TRUE(state() == whole || state() == before)
            << "power cut after call " << c.p + 1 << ", " << calls[c.p].text << "\n"
            << next.err << state();
    }
    EXPECT_GE(states, 15u);
}
// mailbox mark cut short by a power failure at any point, then any mailbox
// command: the index is the marked one or the one before, whole; the old
// index kept beside it, when it is there, is the one before.
class PowerCutMark : public PowerCutDelete {};

TEST_F(PowerCutMark, WholeOrNotBegun) {
    const std::string snaps = dir + "/snaps", log = dir + "/calls.log";
    const std::vector<std::string> mark = {MAILBOX_PATH, "mark", "meta", "2-3", "5", "--read"};
    lay();
    const std::string before = slurp(dir + "/box/meta");
    ASSERT_TRUE(fs::create_directory(snaps));
    ASSERT_EQ(chdir((dir + "/box").c_str()), 0);
    ASSERT_EQ(run(mark, nullptr, fsfaultenv({"FSFAULT_LOG=" + log, "FSFAULT_ABSOLUTE=1",
                                             "FSFAULT_SNAP=" + snaps})).status, 0);
    const std::string whole = slurp(dir + "/box/meta");
    ASSERT_NE(whole, before);
    const std::vector<call> calls = readcalls(slurp(log));
    size_t states = 0;
    for (const cut& c : cuts(calls)) {
        lay();
        std::map<std::string, std::string> orphans;
        for (size_t i : c.kept) replay(calls[i], i, snaps, orphans);
        const runresult next = run({MAILBOX_PATH, "list", "meta"});
        states++;
        const std::string now = slurp(dir + "/box/meta");
        const std::string old = dir + "/box/meta.old";
        std::string names;
        for (const auto& n : listing(dir + "/box"))
            if (n != "meta.old") names += n + " ";
        EXPECT_TRUE((now == whole || now == before) && (!exists(old) || slurp(old) == before) &&
                    names == "in000.msg in001.msg in002.msg in003.msg in004.msg in005.msg meta ")
            << "power cut after call " << c.p + 1 << ", " << calls[c.p].text << "\n" << next.err
            << now << names;
    }
    EXPECT_GE(states, 8u);
}
#endif

#ifdef MAILBOX_PATH
// mailbox deliver and import cut short by a power failure at any point.
// After a delivery, the next command leaves it whole or never begun: the
// message once under its name with its record, or neither. After an
// import, the same import run again leaves every message in exactly once.
class PowerCutAppend : public ScratchDir {
protected:
    void SetUp() override {
        base = "/dev/shm";
        ScratchDir::SetUp();
        ASSERT_EQ(mkdir("box", 0755), 0);
        spit("in.msg", "From: bob@example.org\nSubject: new\n\nnew mail\n");
        spit("in.mbox", "From a Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n\n"
                        "From b Thu Jan  1 00:00:00 1970\nSubject: two\n\n2\n\n"
                        "From c Thu Jan  1 00:00:00 1970\nSubject: three\n\n3\n\n");
    }
    void lay() {
        for (const auto& ent : fs::directory_iterator(dir + "/box")) fs::remove_all(ent.path());
        spit(dir + "/box/in000.msg", "From: x\n\nold\n");
        spit(dir + "/box/meta", index({"in000.msg"}));
    }
    // The index and every file but the import's record, with their bytes.
    std::string state() const {
        std::string s = slurp(dir + "/box/meta") + "|";
        for (const auto& n : listing(dir + "/box"))
            if (n != ".meta.mailbox-import") s += n + "=" + slurp(dir + "/box/" + n) + " ";
        return s;
    }
    // Runs cmd logged, then cuts the power after each call: check gets
    // the state before, the state of the whole run, and returns what is
    // wrong after the rerun.
    size_t cutall(const std::vector<std::string>& cmd, const runhow& how,
                  const std::function<std::string(const std::string&, const std::string&)>& check) {
        const std::string snaps = dir + "/snaps", log = dir + "/calls.log";
        lay();
        const std::string before = state();
        fs::remove_all(snaps);
        fs::remove(log);
        EXPECT_TRUE(fs::create_directory(snaps));
        EXPECT_EQ(chdir((dir + "/box").c_str()), 0);
        const runresult once = run(cmd, nullptr,
                                   fsfaultenv({"FSFAULT_LOG=" + log, "FSFAULT_ABSOLUTE=1",
                                               "FSFAULT_SNAP=" + snaps}),
                                   how);
        EXPECT_EQ(once.status, 0) << once.err;
        const std::string whole = state();
        EXPECT_NE(whole, before);
        const std::vector<call> calls = readcalls(slurp(log));
        size_t states = 0, failed = 0;
        for (const cut& c : cuts(calls)) {
            lay();
            std::map<std::string, std::string> orphans;
            for (size_t i : c.kept) replay(calls[i], i, snaps, orphans);
            states++;
            const std::string bad = check(before, whole);
            if (!bad.empty() && ++failed <= shown)
                ADD_FAILURE() << "power cut after call " << c.p + 1 << ", " << calls[c.p].text
                              << "\n" << bad;
        }
        return states;
    }
};

TEST_F(PowerCutAppend, DeliveryWholeOrNotBegun) {
    runhow how;
    how.inpath = "../in.msg";
    const size_t states =
        cutall({MAILBOX_PATH, "deliver", "meta"}, how, [&](const std::string& before,
                                                           const std::string& whole) {
            const runresult next = run({MAILBOX_PATH, "list", "meta"});
            const std::string now = state();
            return next.status == 0 && (now == whole || now == before)
                       ? ""
                       : "status " + std::to_string(next.status) + ": " + next.err + now;
        });
    EXPECT_GE(states, 12u);
}

TEST_F(PowerCutAppend, ImportRunAgainIsExactlyOnce) {
    const std::vector<std::string> imp = {MAILBOX_PATH, "import", "meta", "../in.mbox"};
    const size_t states = cutall(imp, {}, [&](const std::string&, const std::string& whole) {
        const runresult again = run(imp);
        const std::string now = state();
        return again.status == 0 && now == whole
                   ? ""
                   : "status " + std::to_string(again.status) + ": " + again.err + now;
    });
    EXPECT_GE(states, 30u);
}
#endif
