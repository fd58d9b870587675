// A mailbox used the way a newcomer uses it: commands run from a directory
// that is not the mailbox's, and mail that comes in twice the way real mail
// does. The mailbox is box/ (two messages, listed); the command runs in
// away/, which holds nothing; standard input comes from a file beside both.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "boxfixture.h"

#ifdef MAILBOX_PATH

namespace {

using args = std::vector<std::string>;

const std::string lunch = "From: Bob <bob@example.org>\nTo: ann@example.org\nSubject: Lunch\nDate: Mon, 2 Mar 2026 10:00:00 +0000\n\nFriday?\n";
const std::string index2 = metafile({{"in000.msg", "ann@example.org", "Bob <bob@example.org>", "Lunch", "", "", "N"},
                                     {"in001.msg", "ann@example.org", "Bob <bob@example.org>", "Lunch", "", "", "R"}});
const char hint[] = "none of the listed files was found; names are taken relative to the working directory";

class NewUser : public BoxDir {
protected:
    void SetUp() override {
        BoxDir::SetUp();
        ASSERT_EQ(mkdir("../away", 0755), 0);
        spit("meta", index2);
        spit("in000.msg", lunch);
        spit("in001.msg", lunch);
        spit("../src/in", lunch);
    }
};

// A command run from away/ on ../box/meta: every one that would make,
// move, read or remove a message file refuses, says why, and leaves both
// directories as they were. A delivery or an import that went on would
// write its message into away/ and its record into box/meta, a record
// whose file is nowhere the mailbox looks: mail as good as lost, with a
// status that said it was kept.
struct wrongdirrow {
    const char* name;
    args cmd;  // the metafile is ../box/meta, given here where it goes
    bool input;
    int status;
};
void PrintTo(const wrongdirrow& r, std::ostream* os) { *os << r.name; }
class WrongDir : public NewUser, public ::testing::WithParamInterface<wrongdirrow> {};

TEST_P(WrongDir, RefusesAndTouchesNothing) {
    const wrongdirrow& r = GetParam();
    const auto box = files(true);
    ASSERT_EQ(chdir("../away"), 0);
    const runresult got = tool(r.cmd, {}, r.input ? "../src/in" : nullptr);
    EXPECT_EQ(got.status, r.status) << got.out << got.err;
    EXPECT_NE(got.err.find(hint), std::string::npos) << got.err;
    EXPECT_EQ(listing("."), std::set<std::string>{});
    ASSERT_EQ(chdir("../box"), 0);
    EXPECT_EQ(files(true), box);
}

INSTANTIATE_TEST_SUITE_P(
    NewUser, WrongDir,
    ::testing::Values(
        // deliver's status is one of sysexits.h's: 75, so that the mail
        // agent keeps the message and tries again once its command runs
        // where the mailbox is, rather than bouncing it.
        wrongdirrow{"Deliver", {"deliver", "../box/meta"}, true, 75},
        wrongdirrow{"Import", {"import", "../box/meta", "../src/in"}, false, 2},
        wrongdirrow{"Show", {"show", "../box/meta", "1"}, false, 2},
        wrongdirrow{"Check", {"check", "../box/meta"}, false, 2},
        wrongdirrow{"Delete", {"delete", "../box/meta", "1"}, false, 2},
        wrongdirrow{"SortByDate", {"sort", "../box/meta", "--by", "date"}, false, 2},
        wrongdirrow{"PickSince", {"pick", "../box/meta", "--since", "2026-01-01"}, false, 2},
        wrongdirrow{"Adopt", {"mend", "../box/meta", "--adopt"}, false, 2},
        wrongdirrow{"Export", {"export", "../box/meta", "--mbox", "../out.mbox"}, false, 2}),
    rowname);

// After a plain msgseq run no listed name is there: a delivery or an
// import says the index is stale (not that this is the wrong directory),
// keeps nothing, and goes in once msgseq -u has brought it up to date.
class StaleIndex : public NewUser, public ::testing::WithParamInterface<wrongdirrow> {};
TEST_P(StaleIndex, SaysSoThenGoesInAfterUpdate) {
    const wrongdirrow& r = GetParam();
    spit("meta", metafile({{"a.msg", "ann", "bob", "one", "", "", "N"}, {"b.msg", "ann", "bob", "two", "", "", "N"}}));
    ASSERT_EQ(rename("in000.msg", "a.msg") | rename("in001.msg", "b.msg"), 0);
    ASSERT_EQ(run({MSGSEQ_PATH, "meta"}).status, 0);
    const auto box = files(true);
    const runresult got = tool(r.cmd, {}, r.input ? "../src/in" : nullptr);
    EXPECT_EQ(got.status, r.status);
    EXPECT_NE(got.err.find("'meta' still lists the names a plain msgseq run has since changed; run 'msgseq -u meta'"),
              std::string::npos) << got.err;
    EXPECT_EQ(files(true), box);
    ASSERT_EQ(run({MSGSEQ_PATH, "-u", "meta"}).status, 0);
    EXPECT_EQ(tool(r.cmd, {}, r.input ? "../src/in" : nullptr).status, 0);
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
    EXPECT_EQ(messages().size(), 3u);
}
INSTANTIATE_TEST_SUITE_P(NewUser, StaleIndex, ::testing::Values(
    wrongdirrow{"Deliver", {"deliver", "meta"}, true, 75},
    wrongdirrow{"Import", {"import", "meta", "../src/in"}, false, 2}), rowname);

// A double delivery leaves one message twice, byte for byte, in an mbox;
// a third copy comes later. Each copy is a message of its own, taken once:
// the import run again after the mbox grew takes the new copy alone.
TEST_F(NewUser, ImportTakesEachCopyOfADoubleDeliveryOnce) {
    const std::string sep = "From bob@example.org Mon Mar  2 10:00:00 2026\n";
    const std::string other = "From: Ann <ann@example.org>\nSubject: other\n\nbody\n";
    spit("../src.mbox", sep + lunch + "\n" + sep + lunch + "\n" + sep + other + "\n");
    EXPECT_EQ(tool({"import", "meta", "../src.mbox"}).status, 0);
    spit("../src.mbox", slurp("../src.mbox") + sep + lunch + "\n");
    const runresult again = tool({"import", "meta", "../src.mbox"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "imported '../src.mbox' message 4 as 'in005.msg'\n"
                         "imported 1 message into 'meta'\n");
    auto got = files();
    got.erase("meta");
    EXPECT_EQ(got, (std::map<std::string, std::string>{{"in000.msg", lunch}, {"in001.msg", lunch},
                                                        {"in002.msg", lunch}, {"in003.msg", lunch},
                                                        {"in004.msg", other}, {"in005.msg", lunch}}));
    EXPECT_EQ(tool({"check", "meta"}).out, "no problems in 6 records\n");
}

// One source named twice in one import, as a glob or a variable can name
// it (the file itself, a link to it, the path spelt another way, a Maildir
// with and without its trailing slash), or one Maildir message linked in
// new/ and cur/ at once, as a link-and-unlink mover leaves it: its messages
// come in once. Taken again they would be every message doubled, with
// status 0.
struct twicerow {
    const char* name;
    args sources;
};
void PrintTo(const twicerow& r, std::ostream* os) { *os << r.name; }
class NamedTwice : public NewUser, public ::testing::WithParamInterface<twicerow> {};

TEST_P(NamedTwice, ImportTakesTheSourceOnce) {
    clear();
    spit("meta", metafile({}));
    spit("../a.mbox", "From bob@example.org Mon Mar  2 10:00:00 2026\n" + lunch + "\n");
    ASSERT_EQ(symlink("a.mbox", "../link.mbox"), 0);
    std::filesystem::create_directories("../md/new");
    std::filesystem::create_directories("../md/cur");
    spit("../md/new/1.x", lunch);
    ASSERT_EQ(link("../md/new/1.x", "../md/cur/1.x:2,S"), 0);
    args a = {"import", "meta"};
    a.insert(a.end(), GetParam().sources.begin(), GetParam().sources.end());
    const runresult got = tool(a);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(listing("."), (std::set<std::string>{".meta.mailbox-import", "in000.msg", "meta"}))
        << got.out;
    EXPECT_EQ(slurp("in000.msg"), lunch);
}

INSTANTIATE_TEST_SUITE_P(
    NewUser, NamedTwice,
    ::testing::Values(twicerow{"SamePath", {"../a.mbox", "../a.mbox"}},
                      twicerow{"FileAndLink", {"../a.mbox", "../link.mbox"}},
                      twicerow{"SpeltTwoWays", {"../a.mbox", ".././a.mbox"}},
                      twicerow{"MaildirAndSlash", {"../md", "../md/"}},
                      twicerow{"MaildirLinkedInNewAndCur", {"../md"}}),
    rowname);

}  // namespace

#endif
