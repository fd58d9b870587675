// The receipt a finished msgseq run leaves: what it holds, a second plain
// run that it tells is done, msgseq -u bringing a stale index up to date
// from it without moving a file, mailbox refusing a stale index, receipts
// that can't be trusted, and faults while it is written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <tuple>
#include <sstream>
#include <string>
#include <vector>

#include "mailbox/receipt.h"
#include "testutil.h"

// Status-change times in the order the file system gives them.
static bool operator<=(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}
static bool operator>(const timespec& a, const timespec& b) { return !(a <= b); }
static std::ostream& operator<<(std::ostream& os, const timespec& t) {
    return os << t.tv_sec << "." << t.tv_nsec;
}

namespace {

timespec ctimeof(const char* name) {
    struct stat st {};
    EXPECT_EQ(lstat(name, &st), 0) << name;
    return st.st_ctim;
}

std::string msg(const std::string& name) { return "message " + name; }
std::string indexof(const std::vector<std::string>& names) { return plainindex(names); }
ino_t inode(const std::string& name) {
    struct stat st {};
    return lstat(name.c_str(), &st) == 0 ? st.st_ino : 0;
}

const char* const receipt = ".meta.msgseq-receipt";
const std::string done =
    "msgseq: 'meta' was renumbered by the last run; nothing moved (msgseq -u brings the index "
    "up to date)\n";
const std::string stale =
    "mailbox: 'meta' still lists the names a plain msgseq run has since changed; run 'msgseq -u "
    "meta' to bring it up to date";

// b.msg, a.msg and gone.msg (missing) listed, renumbered by a plain run.
class Receipt : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (const char* n : {"a.msg", "b.msg"}) spit(n, msg(n));
        spit("meta", indexof(listed));
        ia = inode("a.msg");
        ib = inode("b.msg");
    }
    runresult msgseq(std::vector<std::string> args) {
        args.insert(args.begin(), MSGSEQ_PATH);
        return run(args);
    }
    const std::vector<std::string> listed = {"b.msg", "a.msg", "gone.msg"};
    ino_t ia = 0, ib = 0;
};

TEST_F(Receipt, PlainRunLeavesOne) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);  // gone.msg missing
    struct stat st {}, here {};
    ASSERT_EQ(lstat(receipt, &st), 0);
    ASSERT_EQ(stat(".", &here), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    const rcptindex sums = rcptsumindex("meta", 3);
    rcpt r;
    std::string why;
    bool absent = true;
    ASSERT_TRUE(rcptread(receipt, &r, &why, &absent)) << why;
    ASSERT_TRUE(r.fenced);
    char head[400];
    snprintf(head, sizeof head,
             "msgseq receipt 3\nrun plain\ndir %ju %ju\nfence %jd.%ld %jd.%ld\nbefore %ju %016jx "
             "%ju %016jx\nafter -\nrecords 3 moved 2\n",
             uintmax_t(here.st_dev), uintmax_t(here.st_ino), intmax_t(r.fence.tv_sec),
             r.fence.tv_nsec, intmax_t(r.settled.tv_sec), r.settled.tv_nsec,
             uintmax_t(sums.body.len), uintmax_t(sums.body.hash), uintmax_t(sums.tail.len),
             uintmax_t(sums.tail.hash));
    // The fence: no earlier than the run's moves, earlier than a change now.
    const timespec fence = r.fence;
    EXPECT_EQ(std::tie(fence.tv_sec, fence.tv_nsec), std::tie(r.settled.tv_sec, r.settled.tv_nsec));
    EXPECT_LE(ctimeof("in000.msg"), fence);
    EXPECT_LE(ctimeof("in001.msg"), fence);
    spit("in001.msg", "written since");
    EXPECT_GT(ctimeof("in001.msg"), fence);
    // The receipt itself, written the moment the fence was taken, is such a change.
    EXPECT_GT(st.st_mtim, fence);
    const std::string dev = std::to_string(here.st_dev) + " ";
    EXPECT_EQ(slurp(receipt), std::string(head) + dev + std::to_string(ib) +
                                  " - - in000.msg b.msg\n" + dev + std::to_string(ia) +
                                  " - - in001.msg a.msg\n- - - - = gone.msg\n");
    // All but END, and but each record's read flag, which a mail client
    // may change without making the index another.
    std::string noflags;
    std::istringstream lines(slurp("meta"));
    int ln = 0;
    for (std::string line; std::getline(lines, line) && line != "END"; ln++)
        noflags += (ln >= 2 && (ln - 2) % 7 == 6 ? "" : line) + "\n";
    EXPECT_EQ(sums.body.len, slurp("meta").size() - 4 - 3);
    EXPECT_EQ(sums.body, rcptsumof(noflags));
}

TEST_F(Receipt, UpdateLeavesOneOfBothIndexes) {
    const rcptindex before = rcptsumindex("meta", 3);
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    rcpt r;
    std::string why;
    bool absent = true;
    ASSERT_TRUE(rcptread(receipt, &r, &why, &absent)) << why;
    EXPECT_TRUE(r.update);
    EXPECT_EQ(r.before.body, before.body);
    EXPECT_EQ(r.after.body, rcptsumindex("meta", 3).body);
    ASSERT_EQ(r.recs.size(), 3u);
    struct stat st {};
    ASSERT_EQ(stat("in001.msg", &st), 0);
    EXPECT_EQ(r.recs[1].now, "in001.msg");
    EXPECT_EQ(r.recs[1].was, "a.msg");
    EXPECT_TRUE(r.fenced && r.recs[1].known && !r.recs[1].timed);
    EXPECT_LE(st.st_ctim, r.fence);
    EXPECT_EQ(r.recs[1].ino, st.st_ino);
    EXPECT_FALSE(r.recs[2].known);
#ifdef MAILBOX_PATH
    // An index up to date: nothing stale, the receipt no unlisted file.
    const runresult c = run({MAILBOX_PATH, "check", "meta"});
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.out, "missing: record 3 lists 'gone.msg', which is not here\n"
                     "1 problem in 3 records: 1 missing, 0 unlisted, 0 twice, 0 too long, "
                     "0 unfinished, 0 index\n");
#endif
}

// Where the directory can't be touched for a fence, each file an update
// knows is in its receipt with its size and time as the run left it: moved,
// already in place, refused, and after a rerun of a run killed half way,
// moved by either run.
TEST_F(Receipt, UpdateKeepsEachFilesSizeAndTime) {
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed and run again" : "one run");
        for (const std::string& n : listing()) ASSERT_EQ(unlink(n.c_str()), 0);
        // in000.msg in place, two to move, one whose new name an unlisted
        // file holds, one missing; each file's size and time its own.
        const std::vector<std::string> names = {"in000.msg", "c.msg", "d.msg", "e.msg", "gone.msg"};
        for (size_t k = 0; k + 1 < names.size(); k++) {
            spit(names[k], std::string(k + 1, 'x'));
            const timespec t[2] = {{1000000 + long(k), 0}, {2000000 + long(k), long(k) * 1000 + 7}};
            ASSERT_EQ(utimensat(AT_FDCWD, names[k].c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
        }
        spit("in003.msg", "not listed");
        spit("meta", indexof(names));
        if (killed) {
            ASSERT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-to:in002.msg"}).status,
                      128 + SIGKILL);
            ASSERT_TRUE(exists("meta.msgseq-update/journal"));
        }
        ASSERT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_FAIL=utimens:.:EPERM:2"}).status, 3);
        rcpt r;
        std::string why;
        bool absent = true;
        ASSERT_TRUE(rcptread(receipt, &r, &why, &absent)) << why;
        EXPECT_FALSE(r.fenced);
        ASSERT_EQ(r.recs.size(), names.size());
        const char* now[] = {"in000.msg", "in001.msg", "in002.msg", "e.msg"};
        for (size_t k = 0; k + 1 < names.size(); k++) {
            struct stat st {};
            ASSERT_EQ(lstat(now[k], &st), 0) << now[k];
            EXPECT_EQ(r.recs[k].now, now[k]);
            EXPECT_EQ(r.recs[k].was, names[k]);
            EXPECT_TRUE(r.recs[k].known && r.recs[k].timed) << now[k];
            EXPECT_EQ(std::make_tuple(r.recs[k].ino, r.recs[k].size, r.recs[k].sec, r.recs[k].nsec),
                      std::make_tuple(st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec),
                                      long(st.st_mtim.tv_nsec)))
                << now[k];
            EXPECT_EQ(st.st_size, off_t(k + 1)) << now[k];
        }
        EXPECT_FALSE(r.recs[4].known || r.recs[4].timed);
    }
}

TEST_F(Receipt, SecondPlainRunIsDone) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string was = slurp(receipt);
    const runresult r = runfsfault({"meta"}, {"FSFAULT_LOG=log"});
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err, done + "msgseq: 0 renamed, 2 already in place, 1 missing, 0 refused, of 3 "
                            "records\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(slurp("log"), "");  // nothing made, moved or removed
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
    EXPECT_EQ(slurp(receipt), was);
    EXPECT_EQ(slurp("meta"), indexof(listed));
}

// A run killed after its journal went, before its work directory did: the
// rerun is the second run of a finished one, and clears what is left.
TEST_F(Receipt, SecondPlainRunAfterAKillAtTheEndIsDone) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    ASSERT_EQ(mkdir("meta.msgseq-update", 0700), 0);
    const runresult r = msgseq({"meta"});
    EXPECT_TRUE(r.err.starts_with(done)) << r.err;
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(exists("meta.msgseq-update"));
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
}

// A run from the wrong directory finds no file: the receipt of the run that
// did stays, and the index it left is still refused as stale.
TEST_F(Receipt, RunFindingNoFileKeepsTheReceipt) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string was = slurp(receipt);
    ASSERT_EQ(mkdir("elsewhere", 0700), 0);
    ASSERT_EQ(chdir("elsewhere"), 0);
    const runresult r = msgseq({"../meta"});
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(slurp(receipt), was);
#ifdef MAILBOX_PATH
    EXPECT_EQ(run({MAILBOX_PATH, "delete", "meta", "1"}).status, 2);
    EXPECT_EQ(inode("in000.msg"), ib);
#endif
}

TEST_F(Receipt, SecondPlainRunOfAWholeRunIsDoneStatusZero) {
    spit("meta", indexof({"b.msg", "a.msg"}));
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    const runresult r = msgseq({"meta"});
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, done);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Receipt, SecondPlainRunRefusedWithRecordsAdded) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    std::string text = slurp("meta");
    spit("meta", text.insert(text.size() - 4, "x.msg\nto\nfrom\nsubj\n\n\nN\n"));
    spit("x.msg", msg("x.msg"));
    const runresult r = msgseq({"meta"});
    EXPECT_EQ(r.err,
              "msgseq: 'meta' still lists the names the last run changed, and records were added "
              "after them; run 'msgseq -u meta' to bring it up to date; nothing done\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(exists("x.msg"));
    EXPECT_EQ(inode("in001.msg"), ia);
}

TEST_F(Receipt, UpdateFromItMovesNoFile) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    // A delivery since: its record is renumbered as -u does.
    std::string text = slurp("meta");
    spit("meta", text.insert(text.size() - 4, "x.msg\nto\nfrom\nsubj\n\n\nN\n"));
    spit("x.msg", msg("x.msg"));
    const runresult r = runfsfault({"-u", "meta"}, {"FSFAULT_LOG=log"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(slurp("meta"), indexof({"in000.msg", "in001.msg", "gone.msg", "in003.msg"}));
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
    EXPECT_EQ(slurp("in003.msg"), msg("x.msg"));
    const std::string log = slurp("log");
    EXPECT_NE(log.find("renameat2 x.msg in003.msg 0"), std::string::npos) << log;
    EXPECT_EQ(log.find("in000.msg"), std::string::npos) << log;
    EXPECT_EQ(log.find("in001.msg"), std::string::npos) << log;
    EXPECT_NE(slurp(receipt).find("run update\n"), std::string::npos);  // replaced
}

// A file moved by hand since the plain run: -u refuses, naming it.
TEST_F(Receipt, UpdateRefusedWhenAFileMovedSince) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    ASSERT_EQ(rename("in001.msg", "elsewhere"), 0);
    const std::string index = slurp("meta");
    const runresult r = runfsfault({"-u", "meta"}, {"FSFAULT_LOG=log"});
    EXPECT_EQ(r.err,
              "msgseq: record 2's file is no longer 'in001.msg', where the last run left it (it "
              "listed 'a.msg')\nmsgseq: 'meta' still lists the names the last run changed, but "
              "its files have moved since; nothing done; 'mailbox rebuild meta' makes the index "
              "again from the files\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(slurp("log"), "");
    EXPECT_EQ(slurp("meta"), index);
    // Another file under its name is no better.
    spit("in001.msg", msg("a.msg"));
    EXPECT_EQ(msgseq({"-u", "meta"}).status, 2);
    EXPECT_EQ(slurp("meta"), index);
}

// A file written in place since the plain run is still where it left it:
// -u brings the index up to date all the same.
TEST_F(Receipt, UpdateAfterAFileWrittenSince) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    spit("in001.msg", "written since");
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.err, "msgseq: cannot move 'gone.msg' to 'in002.msg': No such file or directory\n"
                     "msgseq: 0 renamed, 2 already in place, 1 missing, 0 refused, of 3 records\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
    EXPECT_EQ(slurp("meta"), indexof({"in000.msg", "in001.msg", "gone.msg"}));
}

TEST_F(Receipt, TenAstrayThenAndMore) {
    std::vector<std::string> names;
    for (int k = 0; k < 13; k++) {
        names.emplace_back(1, 'm');
        names.back() += std::to_string(k);
        spit(names.back(), msg(names.back()));
    }
    spit("meta", indexof(names));
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    for (int k = 1; k < 13; k++) unlink(("in0" + std::string(k < 10 ? "0" : "") +
                                         std::to_string(k) + ".msg").c_str());
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("record 11's file"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("record 12's file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nmsgseq: and 2 more\n"), std::string::npos) << r.err;
}

#ifdef MAILBOX_PATH
// mailbox on the stale index: delete and mend refuse, list and check say so.
struct mbxrow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
};
void PrintTo(const mbxrow& row, std::ostream* os) { *os << row.name; }
class ReceiptMailbox : public Receipt, public ::testing::WithParamInterface<mbxrow> {};

TEST_P(ReceiptMailbox, OnTheStaleIndex) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string index = slurp("meta");
    std::vector<std::string> argv = {MAILBOX_PATH};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    const runresult r = run(argv);
    EXPECT_EQ(r.status, GetParam().status);
    if (GetParam().status == 2) {
        EXPECT_EQ(r.err, GetParam().err);
    } else {
        EXPECT_TRUE(r.err.starts_with(GetParam().err)) << r.err;
    }
    EXPECT_EQ(slurp("meta"), index);
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
    // Records appended in place after it: as stale.
    std::string text = index;
    spit("meta", text.insert(text.size() - 4, "x.msg\nto\nfrom\nsubj\n\n\nN\n"));
    EXPECT_EQ(run(argv).status, GetParam().status);
    // A read flag a mail client changed since: as stale.
    std::string marked = index;
    size_t at = 0;
    for (int k = 0; k < 8; k++) at = marked.find('\n', at) + 1;
    marked[at] = marked[at] == 'R' ? 'N' : 'R';
    spit("meta", marked);
    EXPECT_EQ(run(argv).status, GetParam().status);
    // Any other change: the receipt is not the index's, and nothing is said.
    spit("meta", indexof({"b.msg", "a.msg", "lost.msg"}));
    EXPECT_EQ(run(argv).err.find("still lists"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Receipt, ReceiptMailbox,
    ::testing::Values(mbxrow{"DeleteRefused", {"delete", "meta", "1"}, 2, stale + "; nothing done\n"},
                      mbxrow{"MendRefused", {"mend", "meta", "--drop-missing"}, 2,
                             stale + "; nothing done\n"},
                      mbxrow{"ListSaysSo", {"list", "meta"}, 0, stale + "\n"},
                      mbxrow{"CheckCountsIt", {"check", "meta"}, 1, stale + "\n"}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

// A receipt planted or from elsewhere is never acted on: -u runs as it
// would without one (every listed name missing), no file moves.
struct plantrow {
    const char* name;
    void (*plant)();
    std::string line;  // what is said of it, after "msgseq: ignoring the receipt 'DIR/"
};
void PrintTo(const plantrow& row, std::ostream* os) { *os << row.name; }
class ReceiptPlanted : public Receipt, public ::testing::WithParamInterface<plantrow> {};

TEST_P(ReceiptPlanted, IsIgnored) {
    if (std::string(GetParam().name) == "OtherUsers" && geteuid() != 0)
        GTEST_SKIP() << "needs root to give the receipt to another user";
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string index = slurp("meta");
    GetParam().plant();
    const std::string kept = slurp("kept");
    const runresult r = msgseq({"-u", "meta"});
    if (GetParam().line.empty()) {
        EXPECT_EQ(r.err.find("receipt"), std::string::npos) << r.err;
    } else {
        EXPECT_TRUE(r.err.starts_with("msgseq: ignoring the receipt '" + dir + "/" + receipt +
                                      "': " + GetParam().line + "\n"))
            << r.err;
    }
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(slurp("meta"), index);  // every record kept its name
    EXPECT_EQ(inode("in000.msg"), ib);
    EXPECT_EQ(inode("in001.msg"), ia);
    EXPECT_EQ(slurp("kept"), kept);  // what a link led to is not written
}

INSTANTIATE_TEST_SUITE_P(
    Receipt, ReceiptPlanted,
    ::testing::Values(
        plantrow{"ALink",
                 [] {
                     ASSERT_EQ(rename(receipt, "kept"), 0);
                     ASSERT_EQ(symlink("kept", receipt), 0);
                 },
                 "it is a symbolic link"},
        plantrow{"OtherUsers", [] { ASSERT_EQ(chown(receipt, 65534, 65534), 0); },
                 "it belongs to another user"},
        plantrow{"NameOutside",
                 [] {
                     std::string t = slurp(receipt);
                     const size_t at = t.find("in001.msg");
                     ASSERT_NE(at, std::string::npos);
                     t.replace(at, 9, "../in1.msg");
                     spit(receipt, t);
                     chmod(receipt, 0600);
                 },
                 "it names '../in1.msg', which is not a plain name in this directory"},
        plantrow{"AnotherDirectorys",
                 [] {
                     std::string t = slurp(receipt);
                     const size_t at = t.find("\ndir ");
                     ASSERT_NE(at, std::string::npos);
                     t[at + 5] = '9';
                     spit(receipt, t);
                 },
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Receipt, ReplacedByTheNextRun) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string first = slurp(receipt);
    spit("meta", indexof({"in001.msg", "in000.msg"}));  // a new index: a new run
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    EXPECT_NE(slurp(receipt), first);
    EXPECT_NE(slurp(receipt).find("records 2 moved 2\n"), std::string::npos);
    EXPECT_EQ(inode("in000.msg"), ia);
}

// Faults while the receipt is written: the journal stays, the status says
// the run is not done, and the run again finishes it.
struct faultrow {
    const char* name;
    std::string fault;
    bool update;
    int status;
};
void PrintTo(const faultrow& row, std::ostream* os) { *os << row.name; }
class ReceiptFault : public Receipt, public ::testing::WithParamInterface<faultrow> {};

TEST_P(ReceiptFault, JournalStaysAndTheRerunFinishes) {
    spit("meta", indexof({"b.msg", "a.msg"}));  // every file renamed: the fault alone says 3
    std::vector<std::string> args = {"meta"};
    if (GetParam().update) args.insert(args.begin(), "-u");
    const runresult r = runfsfault(args, {"FSFAULT_FAIL=" + GetParam().fault});
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_NE(r.err.find("receipt '" + dir + "/" + receipt + "' was not written"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(exists("meta.msgseq-update/journal"));
    EXPECT_FALSE(exists(receipt));
    EXPECT_EQ(msgseq(args).status, 0);
    EXPECT_FALSE(exists("meta.msgseq-update"));
    EXPECT_TRUE(exists(receipt));
    if (!GetParam().update) {
        EXPECT_TRUE(msgseq({"meta"}).err.starts_with(done));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Receipt, ReceiptFault,
    ::testing::Values(faultrow{"PlainFsync", "fsync:.meta.msgseq-receipt.new:EIO", false, 3},
                      faultrow{"PlainRename", "rename-to:.meta.msgseq-receipt:EIO", false, 3},
                      faultrow{"PlainCreate", "create:.meta.msgseq-receipt.new:ENOSPC", false, 3},
                      faultrow{"UpdateFsync", "fsync:.meta.msgseq-receipt.new:EIO", true, 6},
                      faultrow{"UpdateRename", "rename-to:.meta.msgseq-receipt:EIO", true, 6}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef MAILBOX_PATH
// Two files that swapped names: every listed name is there, and only the
// receipt tells check that the index is stale.
TEST_F(Receipt, CheckCountsASwapAsStale) {
    spit("meta", indexof({"b.msg", "a.msg"}));
    ASSERT_EQ(rename("a.msg", "in000.msg"), 0);
    ASSERT_EQ(rename("b.msg", "in001.msg"), 0);
    spit("meta", indexof({"in001.msg", "in000.msg"}));
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    const runresult r = run({MAILBOX_PATH, "check", "meta"});
    EXPECT_EQ(r.err, stale + "\n");
    // Never "no problems" with status 1: the stale index is counted.
    EXPECT_EQ(r.out, "1 problem in 2 records: 0 missing, 0 unlisted, 0 twice, 0 too long, "
                     "0 unfinished, 0 index, 1 stale\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Receipt, AnotherIndexIsNotItsOwn) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    // Another field changed: the receipt is not this index's.
    std::string text = slurp("meta");
    text.replace(text.find("subj"), 4, "Subj");
    spit("meta", text);
    EXPECT_EQ(run({MAILBOX_PATH, "delete", "meta", "3"}).err.find("still lists"),
              std::string::npos);
}
#endif

}  // namespace

// The index's sum is the same however its bytes come in: a line at a time,
// or in blocks of a read.
TEST(ReceiptSum, SameHoweverCut) {
    const std::string text = "/home/ann/mail\nann@example.org\nin000.msg\nto\nfrom\nsubj\n";
    for (size_t piece : {1, 2, 3, 5, 7, 8, 9, 13}) {
        rcpthasher h;
        for (size_t at = 0; at < text.size(); at += piece)
            h.add(text.data() + at, std::min(piece, text.size() - at));
        EXPECT_EQ(h.done(), rcptsumof(text)) << piece;
    }
}
