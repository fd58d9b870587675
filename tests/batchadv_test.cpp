// mailbox import and deliver met by what a hostile or careless world does
// around them: the ledger removed, the wrong directory, the index rewritten
// by another program, sources grown or rewritten, a writer's lock, root in
// a user's directory, runs killed at every call. Each row checks what is on
// disk afterwards: each message once, listed, and no status 0 for anything
// that is not. The wrong directory before a cut, and one source or Maildir
// file under two names, are rows of tests/newuser_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "boxfixture.h"

#ifdef MAILBOX_PATH

namespace {

namespace fs = std::filesystem;
using args = std::vector<std::string>;

const std::string empty = metafile({});
const std::string one = "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n\n";
const std::string two = "From b@x Fri Jan  2 00:00:00 1970\nSubject: two\n\n2\n\n";
const std::string three = "From c@x Sat Jan  3 00:00:00 1970\nSubject: three\n\n3\n\n";
const std::string m1 = "Subject: one\n\n1\n", m2 = "Subject: two\n\n2\n";  // one, two as stored

// An empty index in box/, a message to deliver in src/in.
class BatchAdv : public BoxDir {
protected:
    inline static const args imp = {"import", "meta", "../src/a.mbox"};
    void SetUp() override {
        BoxDir::SetUp();
        spit("meta", empty);
        spit("../src/in", "Subject: d\n\nd\n");
    }
    // An index of one message, its file here.
    static void zero() {
        spit("meta", plainindex({"in000.msg"}));
        spit("in000.msg", "Subject: zero\n\n0\n");
    }
    // Another program's edit of record 1, its new index renamed in.
    static void rewriteindex() {
        std::string text = slurp("meta");
        spit("meta.new", text.replace(text.find("subj"), 4, "edited"));
        ASSERT_EQ(rename("meta.new", "meta"), 0);
    }
};

// An import cut short mid-batch, then the ledger removed (as the manual
// says, to take a source's messages again), emptied or started anew: the
// next command must still finish the batch, or every command refuses and
// every delivery bounces (78).
struct ledgerrow {
    const char* name;
    std::function<void()> change;
};
void PrintTo(const ledgerrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvLedgerAfterCut : public BatchAdv, public ::testing::WithParamInterface<ledgerrow> {};

TEST_P(BatchAdvLedgerAfterCut, NextCommandStillFinishes) {
    spit("../src/a.mbox", one + two);
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"})).status, 128 + SIGKILL);
    ASSERT_TRUE(exists(".meta.mailbox-append"));
    GetParam().change();
    const runresult d = tool({"deliver", "meta"}, {}, "../src/in");
    EXPECT_EQ(d.status, 0) << d.err;
    const runresult l = tool({"list", "meta"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_FALSE(exists(".meta.mailbox-append"));
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
    EXPECT_EQ(messages().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvLedgerAfterCut,
    ::testing::Values(
        ledgerrow{"Removed", [] { ASSERT_EQ(unlink(".meta.mailbox-import"), 0); }},
        ledgerrow{"Emptied", [] { ASSERT_EQ(truncate(".meta.mailbox-import", 0), 0); }},
        ledgerrow{"StartedAnew", [] { spit(".meta.mailbox-import", "mailbox-import 2\n"); }}),
    rowname);

// The index in top/, its messages in top/box/, an append killed once its
// records are in, then list run from top/, where none of the files is: the
// records stay, and the append finished from box/ lists each message once.
struct cutrow {
    const char* name;
    args cmd;           // run in top/box/
    const char* input;  // its standard input
};
void PrintTo(const cutrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvWrongDirAfterCut : public BatchAdv, public ::testing::WithParamInterface<cutrow> {};

TEST_P(BatchAdvWrongDirAfterCut, RecordsStay) {
    const cutrow& r = GetParam();
    fs::create_directories("../top/box");
    spit("../top/meta", empty);
    spit("../src/a.mbox", one + two);
    ASSERT_EQ(chdir("../top/box"), 0);
    ASSERT_EQ(tool(r.cmd, fsfaultenv({"FSFAULT_KILL=fsync:meta"}), r.input).status, 128 + SIGKILL);
    ASSERT_TRUE(exists("../.meta.mailbox-append"));
    ASSERT_EQ(chdir(".."), 0);
    const runresult l = tool({"list", "meta"});
    ASSERT_EQ(chdir("box"), 0);
    const runresult check = tool({"check", "../meta"});
    EXPECT_EQ(check.status, 0) << l.err << check.out;
    if (r.input == nullptr) {
        const runresult again = tool(r.cmd);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(messages(), (args{m1, m2})) << l.err << again.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvWrongDirAfterCut,
    ::testing::Values(cutrow{"Import", {"import", "../meta", "../../src/a.mbox"}, nullptr},
                      cutrow{"Deliver", {"deliver", "../meta"}, "../../src/in"}),
    rowname);

// An import killed once its batch is moved in, the index rewritten by
// another program: run again (twice), no status 0 while its messages are
// files no record lists.
TEST_F(BatchAdv, IndexRewrittenAfterACutIsNoSuccess) {
    zero();
    spit("../src/a.mbox", one + two);
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=rename-to:in002.msg"})).status, 128 + SIGKILL);
    rewriteindex();
    for (int k = 0; k < 2; k++) {
        const runresult again = tool(imp), check = tool({"check", "meta"});
        EXPECT_TRUE(again.status != 0 || check.status == 0)
            << "import: " << again.status << " " << again.out << again.err << "check: " << check.out;
    }
}

// The same for a delivery killed before its record: the next command undoes
// it ("keeps nothing, as its sender tries again"), so its file must go, not
// stay unlisted beside the copy the retry brings.
TEST_F(BatchAdv, DeliveryCutThenIndexRewrittenKeepsNothing) {
    zero();
    const auto cut = fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"});
    ASSERT_EQ(tool({"deliver", "meta"}, cut, "../src/in").status, 128 + SIGKILL);
    rewriteindex();
    const runresult l = tool({"list", "meta"});
    EXPECT_EQ(l.status, 0) << l.err;
    const runresult check = tool({"check", "meta"});
    EXPECT_EQ(check.status, 0) << l.err << check.out;
    EXPECT_EQ(listing("."), (std::set<std::string>{"in000.msg", "meta"})) << l.err;
}

// A source that grew since an import, as delivery agents grow one, or
// that a mail reader rewrote: only the new mail comes in.
struct growrow {
    const char* name;
    std::string before, after;  // the source at the first run, at the second
    args want;
};
void PrintTo(const growrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvGrown : public BatchAdv, public ::testing::WithParamInterface<growrow> {};

TEST_P(BatchAdvGrown, OnlyTheNewMailComesIn) {
    const growrow& r = GetParam();
    spit("../src/a.mbox", r.before);
    ASSERT_EQ(tool(imp).status, 0);
    spit("../src/a.mbox", r.after);
    const runresult again = tool(imp);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(messages(), r.want) << again.out;
}

const std::string onelf = one.substr(0, one.size() - 1);
INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvGrown,
    ::testing::Values(
        // The file ended in one line feed; the next delivery put the empty
        // line before its From line: message 1's bytes, as read, changed.
        growrow{"AfterOneLineFeed", onelf, onelf + "\n" + two, {"Subject: one\n\n1", m2}},
        // A mail reader marked message 1 read, rewriting the mbox with a
        // Status line, and new mail came in after it.
        growrow{"StatusLineAddedByAReader", one + two,
                "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\nStatus: RO\n\n1\n\n" + two + three,
                {m1, "Subject: three\n\n3\n", m2}}),
    rowname);

// A delivery agent holds the mbox's locks, message 2 half written: an import
// meanwhile must not take the half, as it could never tell the whole one,
// written later, from a message of its own.
TEST_F(BatchAdv, MboxLockedByItsWriterIsNotReadHalfWritten) {
    const std::string half = "From b@x Fri Jan  2 00:00:00 1970\nSubject: two\n\n2, and then";
    for (const bool dot : {true, false}) {  // either lock alone keeps it out
        clear();
        spit("meta", empty);
        spit("../src/a.mbox", one + half);
        if (dot) spit("../src/a.mbox.lock", "");
        const int fd = open("../src/a.mbox", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct flock lk {};
        lk.l_type = F_WRLCK;
        lk.l_whence = SEEK_SET;
        ASSERT_EQ(dot || fcntl(fd, F_SETLK, &lk) == 0, true);
        const runresult first = tool(imp);
        EXPECT_EQ(first.status, 5) << dot << first.err;
        spit("../src/a.mbox", one + half + " more\n\n");
        close(fd);
        ASSERT_EQ(!dot || unlink("../src/a.mbox.lock") == 0, true);
        const runresult again = tool(imp);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(messages(), (args{m1, "Subject: two\n\n2, and then more\n"})) << dot << first.out << again.out;
    }
}

// An import that waits out a writer's lock (either lock alone) reads the
// mbox as the writer left it, not up to where it was when the import
// opened it: message 2 is whole, or not in at all.
TEST_F(BatchAdv, MboxWaitedForIsReadAsItsWriterLeftIt) {
    const std::string half = "From b@x Fri Jan  2 00:00:00 1970\nSubject: two\n\n2, and then";
    for (const bool dot : {true, false}) {
        clear();
        spit("meta", empty);
        spit("../src/a.mbox", one);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {  // a delivery agent: half, a pause, the rest, then the locks let go
            const int fd = open("../src/a.mbox", O_WRONLY | O_APPEND | O_CLOEXEC);
            struct flock lk {};
            lk.l_type = F_WRLCK;
            lk.l_whence = SEEK_SET;
            const bool held = dot ? close(open("../src/a.mbox.lock", O_CREAT | O_WRONLY, 0600)) == 0
                                  : fcntl(fd, F_SETLK, &lk) == 0;
            const std::string rest = " more\n\n";
            bool ok = held && write(fd, half.data(), half.size()) == static_cast<ssize_t>(half.size());
            ok = write(ready[1], "x", 1) == 1 && ok;
            (void)usleep(700000);
            ok = write(fd, rest.data(), rest.size()) == static_cast<ssize_t>(rest.size()) && ok;
            if (dot) ok = unlink("../src/a.mbox.lock") == 0 && ok;
            _exit(ok ? 0 : 1);
        }
        close(ready[1]);
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        const runresult got = tool({"import", "--wait=30", "meta", "../src/a.mbox"});
        int st = 0;
        ASSERT_EQ(waitpid(writer, &st, 0), writer);
        ASSERT_EQ(st, 0);
        EXPECT_EQ(got.status, 0) << dot << got.err;
        EXPECT_EQ(messages(), (args{m1, "Subject: two\n\n2, and then more\n"})) << dot << got.out;
    }
}

// A stop signal while an import waits out an mbox's writer ends it then,
// nothing of that mbox read, rather than when the writer lets go.
TEST_F(BatchAdv, MboxWaitForItsWriterEndsAtAStopSignal) {
    spit("../src/a.mbox", one);
    const int fd = open("../src/a.mbox", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lk), 0);
    const runresult got = run({"/bin/sh", "-c",
                               "\"$0\" import --wait=5 meta ../src/a.mbox & p=$!; sleep 0.5; kill -TERM $p; wait $p",
                               MAILBOX_PATH});
    close(fd);
    EXPECT_EQ(got.status, 128 + SIGTERM) << got.err;
    EXPECT_NE(got.err.find("interrupted by SIGTERM after 0 messages in"), std::string::npos) << got.err;
    EXPECT_EQ(got.err.find("locked by its writer"), std::string::npos) << got.err;
    EXPECT_EQ(messages(), args{});
}

// An mbox cut shorter (by a writer that takes no fcntl lock) after its
// first piece was read: the message the cut ends inside is not taken as a
// whole one, and the import says why it stops.
TEST_F(BatchAdv, MboxCutWhileReadIsNotTakenInPart) {
    std::string big = "From b@x Fri Jan  2 00:00:00 1970\nSubject: big\n\n";
    for (int k = 0; k < 15000; k++) big += std::string(99, 'y') + "\n";
    spit("../src/a.mbox", one + big + "\n");
    const runresult got = mbxwhilestopped("import meta ../src/a.mbox", "create:.mailbox-import-0.tmp",
                                          "truncate -s 1200000 ../src/a.mbox");
    EXPECT_NE(got.status, 0) << got.err;
    EXPECT_NE(got.err.find("got shorter while it was read"), std::string::npos) << got.err;
    EXPECT_EQ(messages(), args{m1}) << got.out;
}

// A Maildir beside the mbox, for the rows below.
void maildir() {
    fs::create_directories("../src/md/new");
    fs::create_directories("../src/md/cur");
    spit("../src/md/new/1.x", "Subject: m\n\n");
    spit("../src/md/cur/2.y:2,S", "Subject: n\n\n");
}

// A Maildir message swapped, between the listing and its open, for a link
// to a file of someone else's or for a FIFO: not read (nor waited on), and
// left out with a line; the rest comes in.
TEST_F(BatchAdv, MaildirEntrySwappedIsNotRead) {
    for (const bool fifo : {false, true}) {
        clear();
        spit("meta", empty);
        fs::remove_all("../src/md");
        maildir();
        spit("../src/secret", "Subject: secret\n\n");
        ASSERT_EQ(fifo ? mkfifo("evil", 0600) : symlink(fs::absolute("../src/secret").c_str(), "evil"), 0);
        const runresult got = tool({"import", "meta", "../src/md"}, fsfaultenv({"FSFAULT_SWAP=evil:1.x"}));
        EXPECT_EQ(got.status, 1) << fifo << got.err;
        EXPECT_NE(got.err.find(fifo ? "new/1.x': it is not a regular file; left out" : "new/1.x': it is a symbolic link; left out"),
                  std::string::npos) << got.err;
        EXPECT_EQ(messages(), args{"Subject: n\n\n"}) << fifo;
    }
}

// Others at work, with no lock, while an import is stopped at a call: the
// same import run again leaves each message once, and what others put in.
struct whilerow {
    const char* name;
    std::string at;         // the fsfault OP:NAME it is stopped at
    std::string meanwhile;  // shell commands run in box/ then
    args extra;             // messages besides the import's after the rerun
};
void PrintTo(const whilerow& r, std::ostream* os) { *os << r.name; }
class BatchAdvMeanwhile : public BatchAdv, public ::testing::WithParamInterface<whilerow> {};

TEST_P(BatchAdvMeanwhile, RunAgainIsExactlyOnce) {
    const whilerow& r = GetParam();
    spit("../src/a.mbox", one + two);
    maildir();
    spit("../src/md/new/3.z", "Subject: o\n\n");
    const runresult first = mbxwhilestopped("import meta ../src/a.mbox ../src/md", r.at, r.meanwhile);
    const runresult again = tool({"import", "meta", "../src/a.mbox", "../src/md"});
    EXPECT_EQ(again.status, 0) << first.err << again.err;
    args want = {"Subject: m\n\n", "Subject: n\n\n", "Subject: o\n\n", m1, m2};
    want.insert(want.end(), r.extra.begin(), r.extra.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(messages(), want) << first.out << first.err << again.out << again.err;
    const runresult check = tool({"check", "meta"});
    EXPECT_EQ(check.status, 0) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvMeanwhile,
    ::testing::Values(
        // A delivery with no lock: its file, and its record over END.
        whilerow{"RecordAppended", "rename-to:in001.msg",
                 "printf 'Subject: x\\n\\n' > inx.msg && head -n -1 meta > m && "
                 "printf 'inx.msg\\n\\n\\nx\\n\\n\\nN\\nEND\\n' >> m && cat m > meta && rm m",
                 {"Subject: x\n\n"}},
        // A Maildir reader marks the message in cur/ replied to, or takes
        // the new one to cur/, as the Maildir's first message is written aside.
        whilerow{"MaildirFlagsChanged", "create:.mailbox-import-2.tmp",
                 "mv '../src/md/cur/2.y:2,S' '../src/md/cur/2.y:2,RS'", {}},
        whilerow{"MaildirNewToCur", "create:.mailbox-import-2.tmp",
                 "mv ../src/md/new/3.z '../src/md/cur/3.z:2,S'", {}}),
    rowname);

// A dry run while a batch is cut short says what the real run will do:
// the messages the batch got in are not imported again.
TEST_F(BatchAdv, DryRunAfterACutSaysWhatTheRunDoes) {
    spit("../src/a.mbox", one + two);
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=fsync:meta"})).status, 128 + SIGKILL);
    const std::string dry = tool({"import", "-n", "meta", "../src/a.mbox"}).out;
    const runresult real = tool(imp);
    EXPECT_EQ(std::regex_replace(dry, std::regex("would import"), "imported"), real.out) << real.err;
}

// Root in a user's directory imports as that user: every file it leaves is
// the user's, and a source only root may read is not read.
TEST_F(BatchAdv, RootInAUsersDirectoryActsAsTheUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(chmod("..", 0755), 0);
    ASSERT_EQ(chmod("../src", 0755), 0);
    spit("../src/a.mbox", one + two);
    spit("../src/root.mbox", three);
    ASSERT_EQ(chmod("../src/root.mbox", 0600), 0);
    ASSERT_EQ(chmod("../src/a.mbox", 0644), 0);
    ASSERT_EQ(chown(".", 65534, 65534), 0);
    ASSERT_EQ(chown("meta", 65534, 65534), 0);
    const runresult bad = tool({"import", "meta", "../src/root.mbox"});
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_EQ(messages().size(), 0u);
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"})).status, 128 + SIGKILL);
    const runresult again = tool(imp);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(messages().size(), 2u);
    for (const auto& n : listing(".")) {
        struct stat st;
        ASSERT_EQ(lstat(n.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << n;
    }
}

// An index named as a file an append writes aside: check and list sweep
// what a cut append left aside, and must not take the index for it.
TEST_F(BatchAdv, IndexNamedAsAWorkFileStays) {
    for (const std::string name : {".mailbox-append.tmp", ".mailbox-import-0.tmp"}) {
        for (const char* cmd : {"check", "list"}) {
            clear();
            spit(name, empty);
            (void)tool({cmd, name});
            EXPECT_EQ(slurp(name), empty) << cmd << " " << name;
        }
    }
}

// An import killed after each call and run again (list first every other
// time): the same files and index as a whole run.
struct killrow {
    const char* name;
    std::string meta;                           // the index's path from box/
    args env;                                   // FSFAULT_... for both runs
    std::map<std::string, std::string> before;  // files in box/ before
};
void PrintTo(const killrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvKilledEach : public BatchAdv, public ::testing::WithParamInterface<killrow> {};

TEST_P(BatchAdvKilledEach, RunAgainIsExactlyOnce) {
    const killrow& r = GetParam();
    spit("../src/a.mbox", one + two + three);
    maildir();
    fs::create_directories("../top");
    const args cmd = {"import", r.meta, "../src/a.mbox", "../src/md"};
    const auto lay = [&] {
        clear();
        for (const auto& e : fs::directory_iterator("../top")) fs::remove_all(e.path());
        spit(r.meta, plainindex({"in000.msg"}));
        spit("in000.msg", "Subject: zero\n\n0\n");
        for (const auto& [n, b] : r.before) spit(n, b);
    };
    lay();
    ASSERT_EQ(tool(cmd, fsfaultenv(r.env)).status, 0);
    const std::string whole = slurp(r.meta);
    const auto wholefiles = files();
    const int wholecheck = tool({"check", r.meta}).status;
    int states = 0;
    for (int n = 1; n < 400; n += sanitized ? 3 : 1) {
        lay();
        args env = r.env;
        env.push_back("FSFAULT_KILL_AFTER=" + std::to_string(n));
        if (tool(cmd, fsfaultenv(env)).status != 128 + SIGKILL) break;
        states++;
        if (n % 2) (void)tool({"list", r.meta});
        const runresult again = tool(cmd, fsfaultenv(r.env));
        EXPECT_EQ(again.status, 0) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(files(), wholefiles) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(slurp(r.meta), whole) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(tool({"check", r.meta}).status, wholecheck) << "killed after call " << n;
    }
    EXPECT_GE(states, sanitized ? 12 : 20);  // every third call under the sanitizers
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvKilledEach,
    ::testing::Values(killrow{"LinkFallback", "meta", {"FSFAULT_NOREPLACE=einval"}, {}},
                      killrow{"IndexElsewhere", "../top/meta", {}, {}},
                      killrow{"NamesTakenByHand", "meta", {},
                              {{"in001.msg", "Subject: mine\n\n"}, {"in003.msg", "Subject: too\n\n"}}}),
    rowname);

}  // namespace

#endif
