// Guarantees that one wrong line would break while every other test still
// passed: each test here fails with such a line and passes without it. The
// tools are run as a user runs them, and judged by their statuses, their
// lines and the files they leave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/renum.h"
#include "testutil.h"

namespace {

// Run as a child of WrtmetaSyncsTheFileThenRenamesThenSyncsTheDirectory
// (the test program itself, under the fault library): the index named by
// SEEDED_WRTMETA read and written back by wrtmeta, and the process ended
// before any test runs.
[[gnu::constructor]] void wrtmetachild() {
    const char* path = getenv("SEEDED_WRTMETA");
    if (!path || !*path) return;
    llinit();
    const bool ok = readmeta(path, inlist) == 1 && wrtmeta(path, inlist) == 1;
    _exit(ok ? 0 : 1);
}

using files = std::map<std::string, std::string>;  // name -> content

std::string msg(const std::string& name) { return "message " + name; }

std::string indexof(const std::vector<std::string>& listed) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : listed) recs.push_back({name, "to", "from", "subj", "", "", "N"});
    return metafile(recs);
}

const std::vector<std::string> usual = {"a.msg", "in002.msg", "in005.msg"};
const files untouched = {
    {"a.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
const files closed = {
    {"in000.msg", msg("a.msg")}, {"in001.msg", msg("in002.msg")}, {"in002.msg", msg("in005.msg")}};
const files firstmoved = {
    {"in000.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
const std::string workdir = "meta.msgseq-update";
const std::string log = "fsfault.log";

class Seeded : public ScratchDir {
protected:
    // The index "meta" listing names, and a file for each name in present
    // holding "message NAME".
    static void mailbox(const std::vector<std::string>& listed,
                        const std::vector<std::string>& present) {
        spit("meta", indexof(listed));
        for (const auto& name : present) spit(name, msg(name));
    }
    // Every name but the index and the log; a directory reads as "".
    static files ondisk() {
        files f;
        for (const auto& name : listing())
            if (name != "meta" && name != log && !isreceipt(name)) f[name] = slurp(name);
        return f;
    }
    // msgseq under the fault library, its calls logged to fsfault.log; the
    // working directory, where the tool names it, reads as DIR.
    static runresult msgseq(const std::vector<std::string>& args,
                            std::vector<std::string> faults = {}) {
        std::filesystem::remove(log);
        faults.push_back("FSFAULT_LOG=" + log);
        runresult r = runfsfault(args, faults);
        const std::string here = std::filesystem::canonical(".").string();
        for (size_t at; (at = r.err.find(here)) != std::string::npos;)
            r.err.replace(at, here.size(), "DIR");
        return r;
    }
    // The usual mailbox, its run killed after the first rename.
    static void killedfirst(const std::vector<std::string>& args = {"meta"}) {
        mailbox(usual, usual);
        ASSERT_EQ(msgseq(args, {"FSFAULT_KILL=rename-from:a.msg"}).status, 128 + SIGKILL);
        ASSERT_TRUE(exists(workdir + "/journal"));
    }
};

// ---- Plain runs.

TEST_F(Seeded, PlainResumeAndAbortElsewhereTouchNothing) {
    // The index in idx/, its files in one/ and, as copies, in two/: a run in
    // one/ cut short is neither finished nor given up from two/.
    ASSERT_EQ(mkdir("idx", 0755), 0);
    spit("idx/meta", indexof(usual));
    for (const std::string d : {"one", "two"}) {
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        for (const auto& name : usual) spit(d + "/" + name, msg(name));
    }
    ASSERT_EQ(chdir("one"), 0);
    ASSERT_EQ(msgseq({"../idx/meta"}, {"FSFAULT_KILL=rename-from:a.msg"}).status, 128 + SIGKILL);
    ASSERT_EQ(chdir("../two"), 0);
    runresult r = msgseq({"../idx/meta"});
    EXPECT_EQ(r.err,
              "msgseq: '../idx/meta' is not the index that the run cut short was working on, or "
              "this not its directory; nothing done; put that index back, or give the run up "
              "with 'msgseq --abort ../idx/meta'\n");
    EXPECT_EQ(r.status, 2);
    r = msgseq({"--abort", "../idx/meta"});
    EXPECT_EQ(r.err,
              "msgseq: the run of '../idx/meta' that was cut short worked in another directory; "
              "give it up there; nothing done\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), untouched);
    EXPECT_TRUE(exists("../idx/" + workdir + "/journal"));
    ASSERT_EQ(chdir("../one"), 0);
    EXPECT_EQ(msgseq({"../idx/meta"}).status, 0);
    EXPECT_EQ(ondisk(), closed);
    EXPECT_FALSE(exists("../idx/" + workdir));
}

TEST_F(Seeded, PlainStopBeforeTheJournalStillTakesOnASetAsideFile) {
    // A run cut short left a.msg linked under a set-aside name, and b.msg's
    // file set aside alone. Undoing the link is this run's first call, and
    // a SIGTERM comes with it: the set-aside file still goes on, journaled.
    mailbox({"a.msg", "b.msg"}, {"a.msg"});
    ASSERT_EQ(link("a.msg", ".msgseq-temp-a.msg.7"), 0);
    spit(".msgseq-temp-b.msg", msg("b.msg"));
    runresult r = msgseq({"meta"}, {"FSFAULT_SIGNAL=TERM:unlink:.msgseq-temp-a.msg.7"});
    EXPECT_EQ(r.err,
              "msgseq: 1 renamed, 0 already in place, 0 missing, 0 refused, 1 not reached, of 2 "
              "records\nmsgseq: interrupted by SIGTERM; run 'msgseq meta' to finish, or 'msgseq "
              "--abort meta' to give it up\n");
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(ondisk(), (files{{"a.msg", msg("a.msg")}, {"in001.msg", msg("b.msg")}, {workdir, ""}}));
    r = msgseq({"meta"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}, {"in001.msg", msg("b.msg")}}));
}

TEST_F(Seeded, PlainRunWhoseWorkDirectoryStaysIsNoSuccess) {
    mailbox(usual, usual);
    runresult r = msgseq({"meta"}, {"FSFAULT_FAIL=rmdir:meta.msgseq-update:EIO"});
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err,
              "msgseq: the files are renamed, but 'DIR/meta.msgseq-update' stays (Input/output "
              "error); the run again removes it\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")},
                               {"in001.msg", msg("in002.msg")},
                               {"in002.msg", msg("in005.msg")},
                               {workdir, ""}}));
    // The index still lists the old names, but the receipt knows the run
    // finished: the rerun moves nothing and removes the work directory.
    EXPECT_EQ(msgseq({"meta"}).status, 0);
    EXPECT_EQ(ondisk(), closed);
}

TEST_F(Seeded, PlainRunUndoesASetAsideLinkCutShort) {
    // Set aside by a link whose unlink never came, and no journal: the
    // set-aside name goes, and the file moves on under its listed one.
    mailbox({"a.msg"}, {"a.msg"});
    ASSERT_EQ(link("a.msg", ".msgseq-temp-a.msg.7"), 0);
    const runresult r = msgseq({"meta"});
    EXPECT_EQ(r.out, "1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}}));
}

// ---- Giving up.

TEST_F(Seeded, AbortSyncsTheMovesBackBeforeTheJournalGoes) {
    killedfirst();
    runresult r = msgseq({"--abort", "meta"}, {"FSFAULT_FAIL=fsync:.:EIO"});
    EXPECT_EQ(r.err, "msgseq: cannot sync the directory '.': Input/output error; the journal stays\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(exists(workdir + "/journal"));
    r = msgseq({"--abort", "meta"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), untouched);
    killedfirst();
    r = msgseq({"--abort", "meta"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(slurp(log).find("renameat2 in000.msg a.msg 0\nfsync . 0\nunlinkat journal 0\n"),
              std::string::npos)
        << slurp(log);
}

TEST_F(Seeded, AbortDryRunKeepsTheJournal) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"meta"}, std::vector<std::string>{"-u", "meta"}}) {
        SCOPED_TRACE(args[0]);
        for (const std::string& name : listing()) std::filesystem::remove_all(name);
        killedfirst(args);
        const files cut = ondisk();
        runresult r = msgseq({"--abort", "-n", "meta"});
        EXPECT_EQ(r.out, "renamed 'in000.msg' -> 'a.msg'\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ondisk(), cut);
        EXPECT_TRUE(exists(workdir + "/journal"));
        r = msgseq({"--abort", "meta"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ondisk(), untouched);
    }
}

// ---- Locks, journals and names that the run must honour.

struct lockrow {
    const char* name;
    std::vector<std::string> args;
    std::string fault;  // which flock on '.' fails
};
void PrintTo(const lockrow& r, std::ostream* os) { *os << r.name; }
class SeededLock : public Seeded, public ::testing::WithParamInterface<lockrow> {};

// The tool's own lock, or the library's check of it: a flock that fails for
// any reason but another holder's lock stops the run, nothing done.
TEST_P(SeededLock, FailedFlockStopsTheRun) {
    mailbox(usual, usual);
    const runresult r = msgseq(GetParam().args, {"FSFAULT_FAIL=flock:.:ENOLCK:" + GetParam().fault});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "msgseq: cannot lock the working directory: No locks available; nothing done\n");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(ondisk(), untouched);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Flocks, SeededLock, ::testing::Values(
    lockrow{"ToolsLock", {"meta"}, "1"},
    lockrow{"ToolsLockUpdate", {"-u", "meta"}, "1"},
    lockrow{"LibrarysCheck", {"meta"}, "2"},
    lockrow{"LibrarysCheckUpdate", {"-u", "meta"}, "2"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Seeded, JournalThatCannotBeReadSaysWhy) {
    killedfirst();
    const std::string j = workdir + "/journal";
    ASSERT_EQ(unlink(j.c_str()), 0);
    ASSERT_EQ(mkdir(j.c_str(), 0700), 0);
    const files cut = ondisk();
    const runresult r = msgseq({"meta"});
    EXPECT_EQ(r.err,
              "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': it is not a regular "
              "file; "
              "nothing done; 'msgseq --abort meta' gives up the run that wrote it\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), cut);
}

TEST_F(Seeded, ResumeOnAnIndexWithARecordLessTouchesNothing) {
    // The journal names three records; the index put back lists two of them.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"meta"}, std::vector<std::string>{"-u", "meta"}}) {
        SCOPED_TRACE(args[0]);
        for (const std::string& name : listing()) std::filesystem::remove_all(name);
        killedfirst(args);
        spit("meta", indexof({"a.msg", "in002.msg"}));
        const files cut = ondisk();
        const runresult r = msgseq(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("'msgseq --abort meta'"), std::string::npos) << r.err;
        EXPECT_EQ(ondisk(), cut);
        EXPECT_TRUE(exists(workdir + "/journal"));
    }
}

TEST_F(Seeded, UpdateKeepsATwiceListedNameFree) {
    // The third record lists in001.msg again and keeps that name in the
    // index: x.msg may not move in under it. The tool refuses such an update
    // whole; the library, asked to rename and name anew, keeps the name free.
    mailbox({"in001.msg", "x.msg", "in001.msg"}, {"in001.msg", "x.msg"});
    const files before = ondisk();
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("'meta' lists 'in001.msg' twice (records 1 and 3)"), std::string::npos);
    EXPECT_EQ(ondisk(), before);
    EXPECT_EQ(slurp("meta"), indexof({"in001.msg", "x.msg", "in001.msg"}));
    // The same through the library: renamed, and the records named anew.
    for (const std::string& name : listing()) std::filesystem::remove_all(name);
    mailbox({"in001.msg", "x.msg", "in001.msg"}, {"in001.msg", "x.msg"});
    llinit();
    ASSERT_EQ(readmeta("meta", inlist), 1);
    const renumopts opts{nullptr, false, nullptr, nullptr};
    EXPECT_EQ(renumfiles("meta", inlist, &opts, true, nullptr), RENUMFILES);
    std::string names;
    for (const llnode* rec = inlist->next; rec; rec = rec->next) names += rec->datafile + std::string(" ");
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    EXPECT_EQ(names, "in000.msg x.msg in001.msg ");
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in001.msg")}, {"x.msg", msg("x.msg")}}));
}

TEST_F(Seeded, NamesOfTheIndexAndItsLinkAreKeptByInode) {
    // m2 is the index under another name, l2 the symlink that leads to it:
    // each is known by its inode, and neither moves.
    mailbox({"l2", "m2", "a.msg"}, {"a.msg"});
    ASSERT_EQ(link("meta", "m2"), 0);
    ASSERT_EQ(symlink("meta", "link"), 0);
    ASSERT_EQ(link("link", "l2"), 0);  // a link of the symlink itself
    const std::string index = slurp("meta");
    const runresult r = msgseq({"link"});
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'l2' to 'in000.msg': it is the metafile being read\n"
              "msgseq: cannot move 'm2' to 'in001.msg': it is the metafile being read\n"
              "msgseq: 1 renamed, 0 already in place, 0 missing, 2 refused, of 3 records\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(exists("l2"));
    EXPECT_EQ(slurp("m2"), index);
    EXPECT_EQ(slurp("in002.msg"), msg("a.msg"));
    EXPECT_FALSE(exists("in000.msg"));
    EXPECT_FALSE(exists("in001.msg"));
}

// ---- Writing that must survive a crash.

TEST_F(Seeded, UpdateLeavesNoNewIndexAfterAFailedWrite) {
    mailbox(usual, usual);
    const runresult r = msgseq({"-u", "meta"}, {"FSFAULT_FAIL=fsync:index:EIO"});
    EXPECT_EQ(r.status, 6);
    // No new index: only the journal and the link to the index kept for an undo.
    EXPECT_EQ(listing(workdir), (std::set<std::string>{"before", "journal"}));
}

TEST_F(Seeded, DirectoryThatCannotBeOpenedIsNotSynced) {
    // The index's directory may be written and searched but not read, so it
    // can't be opened to sync: a journal there would not be known to be on
    // disk, and a plain run keeps its journal in the working directory.
    if (geteuid() != 0) GTEST_SKIP() << "runs the tool as a second user, which root only may";
    ASSERT_EQ(chown(".", 65534, 65534), 0);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    spit("sub/meta", indexof(usual));
    for (const auto& name : usual) spit(name, msg(name));
    ASSERT_EQ(chown("sub", 65534, 65534), 0);
    ASSERT_EQ(chmod("sub", 0300), 0);
    const std::vector<std::string> asnobody = {"/usr/bin/setpriv", "--reuid=65534",
                                               "--regid=65534", "--clear-groups", MSGSEQ_PATH,
                                               "sub/meta"};
    runresult r = run(asnobody, nullptr, fsfaultenv({"FSFAULT_KILL=rename-from:a.msg"}));
    EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
    EXPECT_TRUE(exists(".msgseq-update/journal"));
    EXPECT_FALSE(exists("sub/meta.msgseq-update"));
    r = run(asnobody);
    EXPECT_EQ(r.status, 0) << r.err;
    files want = closed;
    want["sub"] = "";
    EXPECT_EQ(ondisk(), want);
}

TEST_F(Seeded, WrtmetaSyncsTheFileThenRenamesThenSyncsTheDirectory) {
    spit("meta", indexof(usual));
    const std::string index = slurp("meta");
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::vector<std::string> env = fsfaultenv({"FSFAULT_LOG=" + log});
    env.push_back("SEEDED_WRTMETA=meta");
    const runresult r = run({self}, nullptr, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slurp("meta"), index);
    // The temporary name is made by mkostemp: "meta.XXXXXX".
    std::string calls = slurp(log);
    for (size_t at; (at = calls.find("meta.")) != std::string::npos;)
        calls.replace(at, 11, "TMP");
    EXPECT_NE(calls.find("fsync TMP 0\nrename TMP meta 0\nfsync . 0\n"), std::string::npos)
        << calls;
}

#ifdef MAILBOX_PATH
// The index a rebuild writes goes through a hidden name beside it, which a
// failed write leaves behind no more than a good one.
TEST_F(Seeded, RebuildWritesThroughAHiddenNameAndLeavesNone) {
    spit("in000.msg", "From: Ann <ann@example.org>\nSubject: Hello\n\nhi\n");
    runresult r = run({MAILBOX_PATH, "rebuild", "index"}, nullptr,
                      fsfaultenv({"FSFAULT_LOG=" + log, "FSFAULT_FAIL=fsync:.index.mailbox-new:EIO"}));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(listing(), (std::set<std::string>{"in000.msg", log}));
    std::filesystem::remove(log);
    r = run({MAILBOX_PATH, "rebuild", "index"}, nullptr, fsfaultenv({"FSFAULT_LOG=" + log}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(log).find("open .index.mailbox-new 0\n"), std::string::npos) << slurp(log);
    EXPECT_NE(slurp(log).find("rename .index.mailbox-new index 0\n"), std::string::npos);
    EXPECT_EQ(listing(), (std::set<std::string>{"in000.msg", "index", log}));
}
#endif

}  // namespace
