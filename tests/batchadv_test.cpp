// mailbox import (a batch at a time, each message remembered in the ledger)
// and deliver, met by what a hostile or careless world does around them:
// the ledger removed while a batch is cut short, the wrong directory before
// and after a cut, the index rewritten by another program between a cut and
// the next command, sources that grow or are rewritten as delivery agents
// and mail readers do, a writer's lock on an mbox, one source or one
// Maildir file under two names, a dry run after a cut, root in a user's
// directory, an index named as a file an append writes aside, and runs
// killed at every call under the link fallback, with the index elsewhere,
// or with names taken by hand. Each row checks what is on disk afterwards:
// each message once, listed, and no status 0 for anything that is not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testutil.h"

#ifdef MAILBOX_PATH

namespace {

namespace fs = std::filesystem;
using args = std::vector<std::string>;

const std::string empty = metafile({});
const std::string one = "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n\n";
const std::string two = "From b@x Fri Jan  2 00:00:00 1970\nSubject: two\n\n2\n\n";
const std::string three = "From c@x Sat Jan  3 00:00:00 1970\nSubject: three\n\n3\n\n";

class BatchAdv : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        ASSERT_EQ(mkdir("box", 0755), 0);
        ASSERT_EQ(mkdir("src", 0755), 0);
        ASSERT_EQ(chdir("box"), 0);
    }
    static runresult tool(args a, const std::vector<std::string>& env = {},
                          const char* inpath = nullptr) {
        a.insert(a.begin(), MAILBOX_PATH);
        runhow how{.timeout = 60};
        how.inpath = inpath;
        return run(a, nullptr, env, how);
    }
    static void clear() {
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
    }
};

// The bytes of every message file here, sorted: each message once,
// whatever its name.
std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto& n : listing("."))
        if (n.starts_with("in")) out.push_back(slurp(n));
    std::sort(out.begin(), out.end());
    return out;
}

// Every name here but the ledger, with its bytes.
std::map<std::string, std::string> files() {
    std::map<std::string, std::string> out;
    for (const auto& n : listing("."))
        if (n != ".meta.mailbox-import") out[n] = slurp(n);
    return out;
}

// An import cut short between two moves of its batch, then the ledger
// removed (as the manual says, to take a source's messages again), emptied
// or started anew. The next command must still finish the batch: a
// mailbox whose every command refuses, and whose deliveries are refused
// for good (78, a configuration error, bounces the mail), is not one.
struct ledgerrow {
    const char* name;
    std::function<void()> change;
};
void PrintTo(const ledgerrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvLedgerAfterCut : public BatchAdv, public ::testing::WithParamInterface<ledgerrow> {};

TEST_P(BatchAdvLedgerAfterCut, NextCommandStillFinishes) {
    spit("../src/a.mbox", one + two);
    spit("../src/in", "Subject: d\n\nd\n");
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox"};
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
    [](const auto& info) { return std::string(info.param.name); });

// From a directory where none of the index's files is (the mailbox is
// box/, the command run in src/), import and deliver must refuse with
// msgseq's hint, as mend and rebuild do: the records they append would
// name files here, and box/ has an unlisted in001.msg of its own that the
// new record 2 would name there.
struct wrongrow {
    const char* name;
    args cmd;
    const char* input;
};
void PrintTo(const wrongrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvWrongDir : public BatchAdv, public ::testing::WithParamInterface<wrongrow> {};

TEST_P(BatchAdvWrongDir, Refused) {
    const std::string index = plainindex({"in000.msg"});
    spit("meta", index);
    spit("in000.msg", "Subject: zero\n\n0\n");
    spit("in001.msg", "Subject: mine\n\nnot listed yet\n");
    spit("../src/a.mbox", one);
    spit("../src/in", "Subject: d\n\nd\n");
    ASSERT_EQ(chdir("../src"), 0);
    args a = GetParam().cmd;
    a.insert(a.begin(), MAILBOX_PATH);
    runhow how{.timeout = 60};
    how.inpath = GetParam().input;
    const runresult got = run(a, nullptr, {}, how);
    EXPECT_NE(got.status, 0) << got.out;
    EXPECT_NE(got.err.find("none of the listed files was found"), std::string::npos) << got.err;
    EXPECT_EQ(listing("."), (std::set<std::string>{"a.mbox", "in"}));
    EXPECT_EQ(slurp("../box/meta"), index);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvWrongDir,
    ::testing::Values(wrongrow{"Import", {"import", "../box/meta", "a.mbox"}, nullptr},
                      wrongrow{"Deliver", {"deliver", "../box/meta"}, "in"}),
    [](const auto& info) { return std::string(info.param.name); });

// The index elsewhere (top/meta, its messages in top/box/), an append
// killed once its records are in; then a reader's command, list, run from
// top/, where none of the files is. Finishing the append from there must
// not take the records of messages that are in box/ out of the index: the
// append is then finished from box/, its messages listed, each once.
struct cutrow {
    const char* name;
    args cmd;          // run in top/box/
    const char* input; // its standard input, from src/
};
void PrintTo(const cutrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvWrongDirAfterCut : public BatchAdv, public ::testing::WithParamInterface<cutrow> {};

TEST_P(BatchAdvWrongDirAfterCut, RecordsStay) {
    ASSERT_EQ(chdir(".."), 0);
    fs::create_directories("top/box");
    spit("top/meta", empty);
    spit("src/a.mbox", one + two);
    spit("src/in", "Subject: d\n\nd\n");
    ASSERT_EQ(chdir("top/box"), 0);
    const cutrow& r = GetParam();
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
        EXPECT_EQ(messages(), (std::vector<std::string>{"Subject: one\n\n1\n", "Subject: two\n\n2\n"}))
            << l.err << again.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvWrongDirAfterCut,
    ::testing::Values(cutrow{"Import", {"import", "../meta", "../../src/a.mbox"}, nullptr},
                      cutrow{"Deliver", {"deliver", "../meta"}, "../../src/in"}),
    [](const auto& info) { return std::string(info.param.name); });

// An import killed once its batch is moved in, and before the rerun another
// program rewrites the index (an edit of record 1, a new file renamed in).
// The same import run again must not end with status 0 while its messages
// are files no record lists: the records go in after the new index's END,
// or the run says it failed.
TEST_F(BatchAdv, IndexRewrittenAfterACutIsNoSuccess) {
    spit("../src/a.mbox", one + two);
    spit("meta", plainindex({"in000.msg"}));
    spit("in000.msg", "Subject: zero\n\n0\n");
    const args imp = {"import", "meta", "../src/a.mbox"};
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=rename-to:in002.msg"})).status, 128 + SIGKILL);
    std::string text = slurp("meta");
    text.replace(text.find("subj"), 4, "edited");
    spit("meta.new", text);
    ASSERT_EQ(rename("meta.new", "meta"), 0);
    const runresult again = tool(imp);
    const runresult check = tool({"check", "meta"});
    EXPECT_TRUE(again.status != 0 || check.status == 0)
        << "import: " << again.status << " " << again.out << again.err << "check: " << check.out;
    // And again: what the import says is in, the index lists.
    const runresult third = tool(imp);
    const runresult check2 = tool({"check", "meta"});
    EXPECT_TRUE(third.status != 0 || check2.status == 0)
        << "import: " << third.status << " " << third.out << third.err << "check: " << check2.out;
}

// The same for a delivery killed once its message has its name, before
// its record: the next command says it undid the delivery, "keeps
// nothing, as its sender tries again", so the message must be gone, not
// left as a file no record lists beside the copy the sender's retry brings.
TEST_F(BatchAdv, DeliveryCutThenIndexRewrittenKeepsNothing) {
    spit("meta", plainindex({"in000.msg"}));
    spit("in000.msg", "Subject: zero\n\n0\n");
    spit("../src/in", "Subject: d\n\nd\n");
    ASSERT_EQ(tool({"deliver", "meta"}, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"}), "../src/in")
                  .status,
              128 + SIGKILL);
    std::string text = slurp("meta");
    text.replace(text.find("subj"), 4, "edited");
    spit("meta.new", text);
    ASSERT_EQ(rename("meta.new", "meta"), 0);
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
    std::vector<std::string> want;
};
void PrintTo(const growrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvGrown : public BatchAdv, public ::testing::WithParamInterface<growrow> {};

TEST_P(BatchAdvGrown, OnlyTheNewMailComesIn) {
    const growrow& r = GetParam();
    spit("meta", empty);
    spit("../src/a.mbox", r.before);
    ASSERT_EQ(tool({"import", "meta", "../src/a.mbox"}).status, 0);
    spit("../src/a.mbox", r.after);
    const runresult again = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(messages(), r.want) << again.out;
}

const std::string onelf = "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n";
INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvGrown,
    ::testing::Values(
        // The file ended in one line feed; the next delivery put the empty
        // line before its From line: message 1's bytes, as read, changed.
        growrow{"AfterOneLineFeed", onelf, onelf + "\n" + two,
                {"Subject: one\n\n1", "Subject: two\n\n2\n"}},
        // A mail reader marked message 1 read, rewriting the mbox with a
        // Status line, as readers do, and new mail came in after it.
        growrow{"StatusLineAddedByAReader", one + two,
                "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\nStatus: RO\n\n1\n\n" + two + three,
                {"Subject: one\n\n1\n", "Subject: three\n\n3\n", "Subject: two\n\n2\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A delivery agent writing message 2 holds the mbox's dot lock and has
// written half of it; an import run meanwhile must not take the half
// message, as it can never tell the whole one, written later, from a
// message of its own.
TEST_F(BatchAdv, MboxLockedByItsWriterIsNotReadHalfWritten) {
    spit("meta", empty);
    const std::string half = "From b@x Fri Jan  2 00:00:00 1970\nSubject: two\n\n2, and then";
    spit("../src/a.mbox", one + half);
    spit("../src/a.mbox.lock", "");
    const int fd = open("../src/a.mbox", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lk), 0);
    const runresult first = tool({"import", "meta", "../src/a.mbox"});
    spit("../src/a.mbox", one + half + " more\n\n");
    close(fd);
    ASSERT_EQ(unlink("../src/a.mbox.lock"), 0);
    const runresult again = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(messages(), (std::vector<std::string>{"Subject: one\n\n1\n",
                                                    "Subject: two\n\n2, and then more\n"}))
        << first.out << again.out;
}

// One source named twice, as "a" and "./a": one file, its messages once.
TEST_F(BatchAdv, OneSourceUnderTwoSpellingsOnce) {
    spit("meta", empty);
    spit("../src/a.mbox", one + two);
    const runresult got = tool({"import", "meta", "../src/a.mbox", "../src/./a.mbox"});
    EXPECT_EQ(messages(), (std::vector<std::string>{"Subject: one\n\n1\n", "Subject: two\n\n2\n"}))
        << got.out;
}

// What others do while an import is stopped mid-run (at a call), with
// no lock: the run goes on, fails or says what it left out; then the same
// import run again leaves each message once, and whatever the others put
// in stays.
struct whilerow {
    const char* name;
    std::string at;         // the fsfault OP:NAME it is stopped at
    std::string meanwhile;  // shell commands run in box/ then
    std::vector<std::string> extra;  // files besides the messages after the rerun
};
void PrintTo(const whilerow& r, std::ostream* os) { *os << r.name; }
class BatchAdvMeanwhile : public BatchAdv, public ::testing::WithParamInterface<whilerow> {};

TEST_P(BatchAdvMeanwhile, RunAgainIsExactlyOnce) {
    const whilerow& r = GetParam();
    spit("../src/a.mbox", one + two);
    fs::create_directories("../src/md/new");
    fs::create_directories("../src/md/cur");
    spit("../src/md/new/1.x", "Subject: m\n\n");
    spit("../src/md/cur/2.y:2,S", "Subject: n\n\n");
    spit("../src/md/new/3.z", "Subject: o\n\n");
    spit("meta", empty);
    const runresult first =
        mbxwhilestopped("import meta ../src/a.mbox ../src/md", r.at, r.meanwhile);
    const runresult again = tool({"import", "meta", "../src/a.mbox", "../src/md"});
    EXPECT_EQ(again.status, 0) << first.err << again.err;
    std::vector<std::string> want = {"Subject: m\n\n", "Subject: n\n\n", "Subject: o\n\n",
                                     "Subject: one\n\n1\n",
                                     "Subject: two\n\n2\n"};
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
        // A Maildir reader marks the message in cur/ replied to.
        // (Stopped as the Maildir's first message is written aside.)
        whilerow{"MaildirFlagsChanged", "create:.mailbox-import-2.tmp",
                 "mv '../src/md/cur/2.y:2,S' '../src/md/cur/2.y:2,RS'", {}},
        // A Maildir reader takes the new message to cur/.
        whilerow{"MaildirNewToCur", "create:.mailbox-import-2.tmp",
                 "mv ../src/md/new/3.z '../src/md/cur/3.z:2,S'", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A Maildir reader that moves a message from new/ to cur/ by a link and an
// unlink: caught between the two, the folder holds one file under two
// names, which is one message.
TEST_F(BatchAdv, MaildirMessageLinkedInNewAndCurOnce) {
    spit("meta", empty);
    fs::create_directories("../src/md/new");
    fs::create_directories("../src/md/cur");
    spit("../src/md/new/1.x", "Subject: m\n\n");
    ASSERT_EQ(link("../src/md/new/1.x", "../src/md/cur/1.x:2,S"), 0);
    const runresult got = tool({"import", "meta", "../src/md"});
    EXPECT_EQ(messages(), (std::vector<std::string>{"Subject: m\n\n"})) << got.out;
}

// A dry run while a batch is cut short says what the real run will do:
// the messages the batch got in are not imported again.
TEST_F(BatchAdv, DryRunAfterACutSaysWhatTheRunDoes) {
    spit("../src/a.mbox", one + two);
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox"};
    ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=fsync:meta"})).status, 128 + SIGKILL);
    std::string dry = tool({"import", "-n", "meta", "../src/a.mbox"}).out;
    const runresult real = tool(imp);
    for (size_t at; (at = dry.find("would import")) != std::string::npos;)
        dry.replace(at, 12, "imported");
    EXPECT_EQ(dry, real.out) << real.err;
}

// Root in a user's directory imports as that user: every file it leaves is
// the user's, and a source only root may read is not read.
TEST_F(BatchAdv, RootInAUsersDirectoryActsAsTheUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(chmod("..", 0755), 0);
    ASSERT_EQ(chmod("../src", 0755), 0);
    spit("meta", empty);
    spit("../src/a.mbox", one + two);
    spit("../src/root.mbox", three);
    ASSERT_EQ(chmod("../src/root.mbox", 0600), 0);
    ASSERT_EQ(chmod("../src/a.mbox", 0644), 0);
    ASSERT_EQ(chown(".", 65534, 65534), 0);
    ASSERT_EQ(chown("meta", 65534, 65534), 0);
    const runresult bad = tool({"import", "meta", "../src/root.mbox"});
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_EQ(messages().size(), 0u);
    ASSERT_EQ(tool({"import", "meta", "../src/a.mbox"}, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"}))
                  .status,
              128 + SIGKILL);
    const runresult again = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(messages().size(), 2u);
    for (const auto& n : listing(".")) {
        struct stat st;
        ASSERT_EQ(lstat(n.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << n;
    }
}

// An index whose name is one an append writes aside under: check and list,
// which change nothing, sweep what a cut append left aside first, and
// must not take the index for it.
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
// time), laid out as each row says: every message once,
// listed, nothing left aside, and the same as a whole run.
struct killrow {
    const char* name;
    std::string meta;                     // the index's path from box/
    std::vector<std::string> env;         // FSFAULT_... for both runs
    std::map<std::string, std::string> before;  // files in box/ before
};
void PrintTo(const killrow& r, std::ostream* os) { *os << r.name; }
class BatchAdvKilledEach : public BatchAdv, public ::testing::WithParamInterface<killrow> {};

TEST_P(BatchAdvKilledEach, RunAgainIsExactlyOnce) {
    const killrow& r = GetParam();
    spit("../src/a.mbox", one + two + three);
    fs::create_directories("../src/md/new");
    fs::create_directories("../src/md/cur");
    spit("../src/md/new/1.x", "Subject: m\n\n");
    spit("../src/md/cur/2.y:2,S", "Subject: n\n\n");
    fs::create_directories("../top");
    const args imp = {"import", r.meta, "../src/a.mbox", "../src/md"};
    const auto lay = [&] {
        clear();
        for (const auto& e : fs::directory_iterator("../top")) fs::remove_all(e.path());
        spit(r.meta, plainindex({"in000.msg"}));
        spit("in000.msg", "Subject: zero\n\n0\n");
        for (const auto& [n, b] : r.before) spit(n, b);
    };
    lay();
    ASSERT_EQ(tool(imp, fsfaultenv(r.env)).status, 0);
    const std::string whole = slurp(r.meta);
    const auto wholefiles = files();
    const int wholecheck = tool({"check", r.meta}).status;
    int states = 0;
    for (int n = 1; n < 400; n += sanitized ? 3 : 1) {
        lay();
        std::vector<std::string> env = r.env;
        env.push_back("FSFAULT_KILL_AFTER=" + std::to_string(n));
        const runresult got = tool(imp, fsfaultenv(env));
        if (got.status != 128 + SIGKILL) break;
        states++;
        if (n % 2) (void)tool({"list", r.meta});
        const runresult again = tool(imp, fsfaultenv(r.env));
        EXPECT_EQ(again.status, 0) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(files(), wholefiles) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(slurp(r.meta), whole) << "killed after call " << n << "\n" << again.err;
        EXPECT_EQ(tool({"check", r.meta}).status, wholecheck) << "killed after call " << n;
    }
    EXPECT_GE(states, 20);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatchAdvKilledEach,
    ::testing::Values(killrow{"LinkFallback", "meta", {"FSFAULT_NOREPLACE=einval"}, {}},
                      killrow{"IndexElsewhere", "../top/meta", {}, {}},
                      killrow{"NamesTakenByHand", "meta", {},
                              {{"in001.msg", "Subject: mine\n\n"}, {"in003.msg", "Subject: too\n\n"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif
