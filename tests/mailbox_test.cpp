// The mailbox tool, run in a scratch directory on one small mailbox: what
// each command prints, how it ends, what is on disk afterwards, and a delete,
// mend or rebuild cut short after every call that changes the disk, then
// finished by the next command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include <string>
#include <vector>

#include "mailbox/check.h"
#include "testutil.h"

namespace {

using args = std::vector<std::string>;

runresult mailbox(args a, const std::vector<std::string>& env = {}) {
    a.insert(a.begin(), MAILBOX_PATH);
    return run(a, nullptr, env);
}

const std::string cyr = times(60, "\xd0\x96");  // 120 bytes, 60 letters
const std::string cut = times(49, "\xd0\x96");  // the subject cut to 98 bytes

// Two messages listed (one twice), one listed and gone, one message no
// record lists, one file that is no message, a subject over its limit.
void smallbox() {
    spit("in000.msg", "From: Ann <ann@example.org>\nSubject: Hello\n\nhi\n");
    spit("in001.msg", "From: Bob\nSubject: =?UTF-8?B?UHLDvGZ1bmc=?=\nStatus: RO\n\nx\n");
    spit("in002.msg", "From: Cy\nTo: ann\nSubject: stray\n\nbody\n");
    spit("notes.txt", "no header block here\n");
    spit("index", metafile({{"in000.msg", "ann", "Ann <ann@example.org>", "Hello", "", "", "R"},
                            {"in001.msg", "ann", "Bob", cyr, "", "", "N"},
                            {"gone.msg", "ann", "Dan", cyr, "", "", "N"},
                            {"in000.msg", "ann", "Eve", "again", "", "", "N"}}));
    // Its records say other things than the files: the index is older than
    // they are, so that a rebuild reads every one of them anew.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, "index", old, 0), 0);
}

std::string listed() { return mailbox({"list", "index"}).out; }
std::string names() {
    std::string s;
    for (const auto& n : listing()) s += n + " ";
    return s;
}
// The list first: the command that lists finishes a delete cut short.
std::string state() {
    const std::string l = listed();
    return l + names();
}

// The reader cuts what is too long, at a whole character.
const std::string list0 = "1\tR\tAnn <ann@example.org>\tHello\n2\tN\tBob\t" + cut +
                          "\n3\tN\tDan\t" + cut + "\n4\tN\tEve\tagain\n";
const std::string files0 = "in000.msg in001.msg in002.msg index notes.txt ";
// After a mend, which keeps the old index.
const std::string files0old = "in000.msg in001.msg in002.msg index index.old notes.txt ";
const std::string check0 =
    "too long: record 2's subject is 120 bytes; the limit is 99 bytes\n"
    "too long: record 3's subject is 120 bytes; the limit is 99 bytes\n"
    "twice: 'in000.msg' is listed by records 1 and 4\n"
    "missing: record 3 lists 'gone.msg', which is not here\n"
    "unlisted: 'in002.msg' is a file that no record lists\n"
    "unlisted: 'notes.txt' is a file that no record lists\n"
    "6 problems in 4 records: 1 missing, 2 unlisted, 1 twice, 2 too long, 0 unfinished, 0 index\n";
const std::string notmsg = "mailbox: 'notes.txt' is not a message (no header block); left out\n";
const std::string refused =
    "mailbox: index:13: subject longer than 99 bytes\n"
    "mailbox: index:20: subject longer than 99 bytes\n"
    "mailbox: 'index' would not be written back as it is; see 'mailbox check index' and "
    "'mailbox mend'; nothing done\n";

struct row {
    const char* name;
    args before;  // run first, when given
    args cmd;
    std::string out, err;
    int status;
    std::string list = list0;  // mailbox list afterwards
    std::string files = files0;
};
void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

class MailboxCmd : public ScratchDir, public ::testing::WithParamInterface<row> {};

TEST_P(MailboxCmd, Outputs) {
    const row& r = GetParam();
    smallbox();
    if (!r.before.empty()) mailbox(r.before);
    const runresult got = mailbox(r.cmd);
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(listed(), r.list);
    EXPECT_EQ(names(), r.files);
}

const std::string rebuilt =
    "1\tN\tAnn <ann@example.org>\tHello\n2\tR\tBob\tPr\xc3\xbc"
    "fung\n3\tN\tCy\tstray\n";
const std::string rebuiltfiles = "in000.msg in001.msg in002.msg index index.old notes.txt ";
const args cutfirst = {"mend", "--cut-long", "index"};
const std::string usage =
    "Usage: mailbox list|show|pick|check|delete|mend|mark|sort|rebuild|deliver|import|export [OPTIONS] METAFILE [N...]\n"
    "Try 'mailbox --help' for more.\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, MailboxCmd,
    ::testing::Values(
        row{"List", {}, {"list", "index"}, list0, "", 0},
        row{"Check", {}, {"check", "index"}, check0, "", 1},
        row{"CheckClean", {"rebuild", "index"}, {"check", "index"},
            "unlisted: 'notes.txt' is a file that no record lists\n"
            "1 problem in 3 records: 0 missing, 1 unlisted, 0 twice, 0 too long, 0 unfinished, "
            "0 index\n", "", 1,
            rebuilt, rebuiltfiles},
        row{"DeleteLongRefused", {}, {"delete", "index", "2"}, "", refused, 2},
        row{"DeleteDry", cutfirst, {"delete", "-n", "index", "1-2"},
            "would delete record 1 ('in000.msg'), whose file another record lists and keeps\n"
            "would delete record 2 ('in001.msg')\n", "", 0, list0, files0old},
        row{"Delete", cutfirst, {"delete", "index", "2-3", "1"},
            "deleted record 1 ('in000.msg'), whose file another record lists and keeps\n"
            "deleted record 2 ('in001.msg')\ndeleted record 3 ('gone.msg'), whose file was missing\n", "", 0,
            "1\tN\tEve\tagain\n", "in000.msg in002.msg index index.old notes.txt "},
        row{"DeleteNoSuch", cutfirst, {"delete", "index", "3-5"}, "",
            "mailbox: 'index' has no record 5 (its records are numbered 1 to 4); nothing done\n", 2,
            list0, files0old},
        row{"DeleteBadRange", {}, {"delete", "index", "4-2"}, "",
            "mailbox: '4-2' is not a record number or a range of them (such as 3-7)\n", 64},
        row{"MendRefused", {}, {"mend", "index", "--drop-missing"}, "",
            "mailbox: too long: record 2's subject is 120 bytes; the limit is 99 bytes\n"
            "mailbox: too long: record 3's subject is 120 bytes; the limit is 99 bytes\n"
            "mailbox: 'index' would not be written back as it is (--cut-long cuts the fields "
            "that are too long); nothing done\n", 2},
        row{"MendDry", {}, {"mend", "-n", "index", "--drop-missing", "--cut-long", "--adopt"},
            "would drop record 3 ('gone.msg'), whose file is missing\n"
            "would cut record 2's subject from 120 to 98 bytes\n"
            "would adopt 'in002.msg' as record 5\n", notmsg, 1},
        row{"Mend", {}, {"mend", "index", "--drop-missing", "--cut-long", "--adopt"},
            "dropped record 3 ('gone.msg'), whose file is missing\n"
            "cut record 2's subject from 120 to 98 bytes\n"
            "adopted 'in002.msg' as record 5\n", notmsg, 1,
            "1\tR\tAnn <ann@example.org>\tHello\n2\tN\tBob\t" + cut +
                "\n3\tN\tEve\tagain\n4\tN\tCy\tstray\n", files0old},
        row{"MendNothing", cutfirst, {"mend", "index", "--cut-long"}, "nothing to mend in 'index'\n",
            "", 0, list0, files0old},
        row{"MendWhat", {}, {"mend", "index"}, "",
            "mailbox: mend: say what to mend: --drop-missing, --drop-twice, --cut-long, --adopt\n", 64},
        row{"RebuildDry", {}, {"rebuild", "-n", "index"},
            "would make record 1 from 'in000.msg'\nwould make record 2 from 'in001.msg'\n"
            "would make record 3 from 'in002.msg'\n"
            "would rebuild 'index': 3 records from 4 files; the old index kept as 'index.old'\n",
            notmsg, 1},
        row{"RebuildOldThere", {"rebuild", "index"}, {"rebuild", "index"},
            "rebuilt 'index': 3 records from 4 files; the old index kept as 'index.old'\n",
            notmsg, 1, rebuilt, rebuiltfiles},
        row{"Usage", {}, {"list"}, "",
            "Usage: mailbox list|show|pick|check|delete|mend|mark|sort|rebuild|deliver|import|export [OPTIONS] METAFILE [N...]\n"
            "Try 'mailbox --help' for more.\n", 64},
        row{"ListNoIndex", {}, {"list", "nosuch"}, "",
            "mailbox: cannot read 'nosuch': No such file or directory\n", 2},
        // Each command takes its own options only, anywhere after it; "--" ends them.
        row{"OptionOfAnother", {}, {"list", "--adopt", "index"}, "",
            "mailbox: list takes no option '--adopt'\nUsage: mailbox list|show|pick|check|delete|mend|mark|sort|rebuild|deliver|import|export [OPTIONS] METAFILE [N...]\n"
            "Try 'mailbox --help' for more.\n", 64},
        row{"FlagWithValue", {}, {"mend", "--adopt=yes", "index"}, "",
            "mailbox: '--adopt' takes no value\nUsage: mailbox list|show|pick|check|delete|mend|mark|sort|rebuild|deliver|import|export [OPTIONS] METAFILE [N...]\n"
            "Try 'mailbox --help' for more.\n", 64},
        row{"CommandMistyped", {}, {"lst", "index"}, "", "mailbox: 'lst' is not a command\n" + usage, 64},
        row{"OptionMistyped", {}, {"pick", "index", "--subjet", "x"}, "", "mailbox: pick takes no option '--subjet'\n" + usage, 64},
        row{"OneOperandTooMany", {}, {"list", "index", "x"}, "", "mailbox: list takes one METAFILE; 'x' is one too many\n" + usage, 64},
        row{"ExportToBoth", {}, {"export", "index", "--mbox", "m", "--maildir", "d"}, "",
            "mailbox: export takes one of --mbox FILE and --maildir DIR\n" + usage, 64},
        row{"OptionsAfter", cutfirst, {"mend", "index", "-n", "--drop-missing"},
            "would drop record 3 ('gone.msg'), whose file is missing\n", "", 0, list0, files0old},
        row{"DashAfterEnd", {}, {"delete", "index", "--", "-1"}, "",
            "mailbox: 'index' has no record -1 (its records are numbered 1 to 4); nothing done\n", 2}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The order rebuild and --adopt take files in: numbers by their value.
TEST(MailboxNames, NumbersAsNumbers) {
    EXPECT_LT(chknamecmp("in999.msg", "in1000.msg"), 0);
    EXPECT_GT(chknamecmp("in10.msg", "in9.msg"), 0);
    EXPECT_LT(chknamecmp("a9.msg", "b1.msg"), 0);
    EXPECT_NE(chknamecmp("in7.msg", "in007.msg"), 0);
    EXPECT_EQ(chknamecmp("in7.msg", "in7.msg"), 0);
}

// A msgseq run cut short, plain or -u: check names it alone (files mid-move
// are neither missing nor unlisted), every other command refuses and changes
// nothing, and msgseq --abort lets them go on.
class MailboxMsgseq : public ScratchDir {};

TEST_F(MailboxMsgseq, Unfinished) {
    const std::string done = "1 problem in 2 records: 0 missing, 0 unlisted, 0 twice, 0 too long, "
                             "1 unfinished, 0 index\n";
    for (const std::string how : {"plain", "-u"}) {
        SCOPED_TRACE(how);
        spit("a.msg", "A");
        spit("b.msg", "B");
        spit("index", metafile({{"a.msg", "ann", "Ann", "one", "", "", "N"},
                                {"b.msg", "ann", "Bob", "two", "", "", "N"}}));
        const args run = how == "plain" ? args{"index"} : args{"-u", "index"};
        (void)runfsfault(run, {"FSFAULT_KILL=rename-from:b.msg"});
        const std::string was = slurp("index");
        const std::string tool = how == "plain" ? "msgseq" : "msgseq -u";
        const std::string what = how == "plain" ? "a run" : "an update";
        const runresult del = mailbox({"delete", "index", "1"});
        EXPECT_EQ(del.err, "mailbox: " + what + " of 'index' by '" + tool + "' was cut short; run '" +
                               tool + " index' to finish it, or 'msgseq --abort index' to give "
                               "it up; nothing done\n");
        EXPECT_EQ(del.status, 2);
        EXPECT_EQ(slurp("index"), was);
        const runresult chk = mailbox({"check", "index"});
        EXPECT_EQ(chk.out, "unfinished: " + std::string(how == "plain" ? "a run of msgseq" :
                           "an update by 'msgseq -u'") + " was cut short; run '" + tool +
                           " index' to finish it, or 'msgseq --abort index' to give it up\n" +
                           done);
        EXPECT_EQ(chk.status, 1);
        EXPECT_EQ(::run({MSGSEQ_PATH, "--abort", "index"}).status, 0);
        EXPECT_EQ(slurp("a.msg") + slurp("b.msg"), "AB");
        EXPECT_EQ(mailbox({"delete", "index", "1"}).status, 0);
    }
}

// Another process holds the directory: nothing done, and check could not.
TEST_F(MailboxMsgseq, Busy) {
    smallbox();
    const int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const runresult del = mailbox({"delete", "index", "1"});
    EXPECT_EQ(del.err, "mailbox: another process (a msgseq or mailbox run, or flock(1)) holds the "
                       "lock on this directory; nothing done\n");
    EXPECT_EQ(del.status, 5);
    EXPECT_EQ(mailbox({"check", "index"}).status, 2);
    EXPECT_EQ(mailbox({"list", "index"}).status, 5);
    close(fd);
}

// Lists share the directory's lock; a command that changes the mailbox waits its turn.
TEST_F(MailboxMsgseq, ListShares) {
    smallbox();
    const int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    EXPECT_EQ(mailbox({"list", "index"}).out, list0);
    EXPECT_EQ(mailbox({"mend", "index", "--cut-long"}).status, 5);
    close(fd);
}

// A record naming a file elsewhere leaves the index; that file stays.
TEST_F(MailboxMsgseq, DeleteTouchesNothingOutside) {
    spit("out.msg", "From: x\n\nx\n");
    ASSERT_EQ(mkdir("box", 0755), 0);
    ASSERT_EQ(chdir("box"), 0);
    spit("index", metafile({{"../out.msg", "t", "f", "s", "", "", "N"}}));
    const runresult del = mailbox({"delete", "index", "1"});
    EXPECT_EQ(del.out, "deleted record 1 ('../out.msg'), whose file is not one of this "
                       "directory's and stays\n");
    EXPECT_EQ(del.status, 0);
    EXPECT_TRUE(exists("../out.msg"));
}

// A terabyte of hole, after an index's END or as a message, costs no disk:
// the index lists as it is, mark leaves it be, a message is left out of a
// view or an export and stops an import.
TEST_F(MailboxMsgseq, TerabyteHoles) {
    smallbox();
    ASSERT_EQ(truncate("index", off_t{1} << 40), 0);
    EXPECT_EQ(listed(), list0);
    const runresult mark = mailbox({"mark", "--read", "index", "2"});
    EXPECT_NE(mark.err.find(":32: text after the END line\n"), std::string::npos) << mark.err;
    EXPECT_EQ(mark.status, 2);
    ASSERT_EQ(truncate("in000.msg", off_t{1} << 40), 0);
    const runresult show = mailbox({"show", "index", "1"});
    EXPECT_EQ(show.err, "mailbox: cannot read record 1's file 'in000.msg': File too large; left out\n");
    EXPECT_EQ(show.status, 1);
    const runresult out = mailbox({"export", "index", "--mbox", "out.mbox", "1"});
    EXPECT_EQ(out.err, "mailbox: cannot read 'in000.msg': File too large; left out\n");
    EXPECT_EQ(out.status, 1);
    spit("index", metafile({}));
    spit("big.eml", "From: a\n\nx\n");
    ASSERT_EQ(truncate("big.eml", off_t{1} << 40), 0);
    const runresult in = mailbox({"import", "index", "big.eml"});
    EXPECT_EQ(in.err, "mailbox: cannot read 'big.eml': File too large; the import stops here\n");
    EXPECT_EQ(in.status, 2);
    EXPECT_EQ(slurp("index"), metafile({}));
}

// A field that reads END is a field: the index ends where a record would
// begin.
TEST_F(MailboxMsgseq, FieldReadingEndIsAField) {
    spit("in000.msg", "From: a\n\nx\n");
    spit("index", metafile({{"in000.msg", "END", "END", "END", "", "", "N"}}));
    const runresult r = mailbox({"list", "index"});
    EXPECT_EQ(r.out, "1\tN\tEND\tEND\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// An index the tool can't take as it is: one line or two, a status, and
// the index as it was.
struct badrow {
    const char* name;
    std::string index;
    args cmd;
    std::string err;
    int status;
    std::string out = {};
};
void PrintTo(const badrow& r, std::ostream* os) { *os << r.name; }

class MailboxBad : public ScratchDir, public ::testing::WithParamInterface<badrow> {};

TEST_P(MailboxBad, Refused) {
    const badrow& r = GetParam();
    spit("in000.msg", "From: a\n\nx\n");
    spit("bad", r.index);
    const runresult got = mailbox(r.cmd);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(slurp("bad"), r.index);
}

const std::string after = metafile({{"in000.msg", "t", "f", "s", "", "", "N"}}) + "more\n";
const std::string crlf = "/p\r\na@b\r\nin000.msg\r\nt\r\nf\r\ns\r\n\r\n\r\nN\r\nEND\r\n";
const std::string norecords = "/p\na@b\nEND\n";
std::string manylong() {  // twelve subjects too long: ten said, then how many more
    std::string err;
    for (int k = 1; k <= 10; k++)
        err += "mailbox: too long: record " + std::to_string(k) +
               "'s subject is 120 bytes; the limit is 99 bytes\n";
    return err + "mailbox: and 2 more such lines\nmailbox: 'bad' would not be written back as "
                 "it is (--cut-long cuts the fields that are too long); nothing done\n";
}
const std::string later =
    "' would not be written back as it is; see 'mailbox check bad' and "
    "'mailbox mend'; nothing done\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, MailboxBad,
    ::testing::Values(
        badrow{"DeleteAfterEnd", after, {"delete", "bad", "1"},
               "mailbox: bad:11: text after the END line\nmailbox: 'bad" + later, 2},
        badrow{"MendCrlf", crlf, {"mend", "bad", "--adopt"},
               "mailbox: bad:1: line ends in a carriage return (CR-LF file?)\n"
               "mailbox: 'bad' is not read whole; 'mailbox check bad' says more; nothing done\n", 2},
        badrow{"ListEmpty", "", {"list", "bad"},
               "mailbox: bad:1: file is empty\n"
               "mailbox: 'bad' is not read whole; 'mailbox check bad' says more; nothing done\n", 2},
        badrow{"MendManyLong", metafile(std::vector(12, std::vector<std::string>{"in000.msg", "t", "f", cyr, "", "", "N"})),
               {"mend", "bad", "--adopt"}, manylong(), 2},
        badrow{"DeleteEmpty", norecords, {"delete", "bad", "1"}, "mailbox: 'bad' holds no records; nothing done\n", 2},
        badrow{"RebuildOne", norecords, {"rebuild", "-n", "bad"}, "", 0, "would make record 1 from 'in000.msg'\n"
               "would rebuild 'bad': 1 record from 1 file; the old index kept as 'bad.old'\n"},
        badrow{"CheckDir", "", {"check", "."}, "mailbox: '.' is not a regular file; nothing done\n", 2},
        badrow{"ListDevice", "", {"list", "/dev/null"}, "mailbox: '/dev/null' is not a regular file; nothing done\n", 2}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A command killed after each call that changes the disk, in turn, until
// one run ends by itself: what is left, after the next command, is the
// mailbox before or after one whole run, and after it once a delete's
// journal was written, which msgseq meanwhile refuses.
struct cutrow {
    const char* name;
    args before, cmd;
    bool again = false;  // the next command is this one again (the last whole run refuses)
};
void PrintTo(const cutrow& r, std::ostream* os) { *os << r.name; }

class MailboxCut : public ScratchDir, public ::testing::WithParamInterface<cutrow> {
protected:
    std::string fresh() {
        for (const auto& n : listing()) std::filesystem::remove_all(n);
        smallbox();
        if (!GetParam().before.empty()) mailbox(GetParam().before);
        return state();
    }
};

TEST_P(MailboxCut, FinishedByNextRun) {
    const cutrow& r = GetParam();
    fresh();
    mailbox(r.cmd);
    const std::string whole = state();
    for (int k = 1; k < 200; k++) {
        const std::string before = fresh();
        const runresult cut =
            mailbox(r.cmd, fsfaultenv({"FSFAULT_KILL_AFTER=" + std::to_string(k)}));
        if (cut.status != 128 + SIGKILL) break;
        const bool journal = exists(".index.mailbox-delete");
        if (journal) {
            const runresult seq = run({MSGSEQ_PATH, "-n", "index"});
            EXPECT_EQ(seq.status, 2) << k;
            EXPECT_NE(seq.err.find("run 'mailbox check index' to finish it"), std::string::npos);
            EXPECT_NE(mailbox({"check", "-n", "index"}).out.find("unfinished: a delete"),
                      std::string::npos);
        }
        if (r.again) mailbox(r.cmd);
        const std::string after = state();
        EXPECT_TRUE(after == whole || (!journal && !r.again && after == before))
            << "killed after call " << k << "\n"
            << after;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, MailboxCut,
                         ::testing::Values(cutrow{"Delete", cutfirst, {"delete", "index", "1-2"}},
                                           cutrow{"Mend", {}, {"mend", "index", "--drop-missing",
                                                               "--cut-long", "--adopt"}, true},
                                           cutrow{"Rebuild", {}, {"rebuild", "index"}, true}),
                         [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
