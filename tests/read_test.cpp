// The commands that read a mailbox, run as built: list with its columns,
// show, pick. A table a command, each row one thing it meets (a message
// swapped for a link or a FIFO, a stale index, a run cut short, the wrong
// directory, odd names, output that can't be written), each checked byte for
// byte: what it printed, its status, and that it changed nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <clocale>

#include "testutil.h"

namespace {

using args = std::vector<std::string>;

// The tool in local time UTC, so that dates print the same everywhere.
runresult mbx(args a, std::vector<std::string> faults = {}, const char* out = nullptr) {
    a.insert(a.begin(), MAILBOX_PATH);
    runhow how;
    how.timeout = 60;  // a command blocked on a FIFO fails its row rather than stalls
    std::vector<std::string> env = faults.empty() ? std::vector<std::string>{} : fsfaultenv(faults);
    env.emplace_back("TZ=UTC0");
    return run(a, out, env, how);
}

const std::string d1 = "Date: Tue, 8 Dec 2026 10:00:00 +0000\n";
const std::string d2 = "Date: 1 Dec 2026 23:30:00 -0100\n";  // 2 Dec 00:30 UTC
const std::string d3 = "Date: Mon, 30 Nov 2026 09:15:00 +0000\n";
const std::string m1 = "From: Bob <bob@example.org>\nSubject: Lunch\n" + d1 + "\nLet's eat.\n";
const std::string m2 = "From: carol@example.org\r\nSubject: Budget\r\n" + d2 + "\r\nbody\r\n";
const std::string m3bytes = "From: dave\n" + d3 + "\nno newline at the end" + std::string(1, '\0') + "x";
const std::string m4 = "From: erin\nSubject: no date\n\nbody\n";
const std::string h1 = "From: Bob <bob@example.org>\nSubject: Lunch\n" + d1;
const std::string h2 = "From: carol@example.org\r\nSubject: Budget\r\n" + d2;

// Four messages, one of them without a Date: header; -x.msg a name with a dash.
void box() {
    spit("a.msg", m1);
    spit("b.msg", m2);
    spit("-x.msg", m3bytes);
    spit("d.msg", m4);
    spit("index", metafile({{"a.msg", "ann", "Bob <bob@example.org>", "Lunch", "", "", "R"},
                            {"b.msg", "ann", "carol@example.org", "Budget", "bob@x", "", "N"},
                            {"-x.msg", "ann", "dave", "Re: Lunch\t(tab)", "", "", "N"},
                            {"d.msg", "ann", "erin", "no date", "", "", "R"}}));
}

// The index left by a plain msgseq run: stale until msgseq -u.
void stalebox() {
    spit("x1.msg", m1);
    spit("x2.msg", m2);
    spit("index", plainindex({"x1.msg", "x2.msg"}));
    ASSERT_EQ(run({MSGSEQ_PATH, "index"}).status, 0);
}

// A msgseq run killed half way: its journal is there.
void cutbox() {
    spit("x1.msg", m1);
    spit("x2.msg", m2);
    spit("index", plainindex({"x1.msg", "x2.msg"}));
    (void)runfsfault({"index"}, {"FSFAULT_KILL=rename-from:x2.msg"});
}

// The mailbox in top/inbox, its index top/inbox.meta, the command run in top.
void wrongdir() {
    ASSERT_EQ(mkdir("top", 0755), 0);
    ASSERT_EQ(mkdir("top/inbox", 0755), 0);
    spit("top/inbox/a.msg", m1);
    spit("top/inbox.meta", plainindex({"a.msg"}));
    ASSERT_EQ(chdir("top"), 0);
}

struct readrow {
    const char* name;
    std::function<void()> setup;
    args cmd;
    std::vector<std::string> faults;
    int status;
    std::string out;
    std::string err = "";  // a line standard error holds, when given
    const char* outpath = nullptr;
};
void PrintTo(const readrow& r, std::ostream* os) { *os << r.name; }

// Every name here and what each regular file holds (a FIFO is not opened).
std::string ondisk() {
    std::string s;
    for (const auto& n : listing()) {
        struct stat st;
        s += n + "=" + (lstat(n.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? slurp(n) : "?") + "|";
    }
    return s;
}

class Read : public ScratchDir, public ::testing::WithParamInterface<readrow> {};

TEST_P(Read, Row) {
    const readrow& r = GetParam();
    r.setup();
    const std::string before = ondisk();
    const runresult got = mbx(r.cmd, r.faults, r.outpath);
    EXPECT_EQ(got.status, r.status) << got.err;
    if (!r.outpath) {
        EXPECT_EQ(got.out, r.out);
    }
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    // The fault library's swap is the one change a row makes.
    if (r.faults.empty()) {
        EXPECT_EQ(ondisk(), before) << "a command that reads changed the mailbox";
    }
}

// A regular file a.msg swapped for a link or a FIFO as the tool opens it.
void swappedlink() {
    box();
    ASSERT_EQ(symlink("b.msg", "evil"), 0);
}
void swappedfifo() {
    box();
    ASSERT_EQ(mkfifo("evil", 0600), 0);
}

const std::string list0 = "1\tR\tBob <bob@example.org>\tLunch\n2\tN\tcarol@example.org\tBudget\n"
                          "3\tN\tdave\tRe: Lunch?(tab)\n4\tR\terin\tno date\n";
const std::string fmtall = "%n|%flag|%file|%date|%from|%to|%cc|%bcc|%subject";
const std::string lines4 = "1|R|a.msg|2026-12-08 10:00|Bob <bob@example.org>|ann|||Lunch\n"
                           "2|N|b.msg|2026-12-02 00:30|carol@example.org|ann|bob@x||Budget\n"
                           "3|N|-x.msg|2026-11-30 09:15|dave|ann|||Re: Lunch?(tab)\n"
                           "4|R|d.msg|-|erin|ann|||no date\n";
const std::string stale = "still lists the names a plain msgseq run has since changed";
const std::string cutshort = "was cut short; run 'msgseq index' to finish it";
const std::string sep = "==> record ";
const std::string wrongdirhint = "mailbox: none of the listed files was found; names are taken relative to the working directory, ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(List, Read, ::testing::Values(
    readrow{"ListDefaultAsBefore", box, {"list", "index"}, {}, 0, list0},
    readrow{"ListEveryField", box, {"list", "--format=" + fmtall, "index"}, {}, 0, lines4},
    readrow{"ListFormatFirst", box, {"list", "--format", "%n %file", "index"}, {}, 0, "1 a.msg\n2 b.msg\n3 -x.msg\n4 d.msg\n"},
    readrow{"ListDateOfLinkNotFollowed", swappedlink, {"list", "--format=%n %date", "index"}, {"FSFAULT_SWAP=evil:a.msg"}, 0, "1 -\n2 2026-12-02 00:30\n3 2026-11-30 09:15\n4 -\n"},
    readrow{"ListDateOfFifoNotBlocked", swappedfifo, {"list", "--format=%n %date", "index"}, {"FSFAULT_SWAP=evil:a.msg"}, 0, "1 -\n2 2026-12-02 00:30\n3 2026-11-30 09:15\n4 -\n"},
    readrow{"ListBadFormat", box, {"list", "--format=%n %sender", "index"}, {}, 64, "", "'%sender' is no field"},
    readrow{"ListStaleSaysSo", stalebox, {"list", "index"}, {}, 0, "1\tN\tfrom\tsubj\n2\tN\tfrom\tsubj\n", stale},
    readrow{"ListStaleDatesRefused", stalebox, {"list", "--format=%date", "index"}, {}, 2, "", "the dates would be read from other messages"},
    readrow{"ListCutShortReads", cutbox, {"list", "index"}, {}, 0, "1\tN\tfrom\tsubj\n2\tN\tfrom\tsubj\n", cutshort},
    readrow{"ListCutShortNoDates", cutbox, {"list", "--format=%date", "index"}, {}, 2, "", "the dates would be read from other messages"},
    readrow{"ListWrongDirDatesUnknown", wrongdir, {"list", "--format=%n %date", "inbox.meta"}, {}, 2, "", wrongdirhint},
    readrow{"ListWrongDirPlainReads", wrongdir, {"list", "--format=%n %file", "inbox.meta"}, {}, 0, "1 a.msg\n"},
    readrow{"ListUnknownBraced", box, {"list", "--format=%n %{message-id}", "index"}, {}, 64, "", "mailbox: --format: '%{message-id}' is no field; a format names only %n %flag %file %date %from %to %cc %bcc %subject\n"},
    readrow{"ListEmptyBraces", box, {"list", "--format=%{}", "index"}, {}, 64, "", "'%{}' is no field"},
    readrow{"ListFullOutput", box, {"list", "--format=%date", "index"}, {}, 4, "", "error writing standard output", "/dev/full"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Show, Read, ::testing::Values(
    readrow{"ShowOneByteForByte", box, {"show", "index", "2"}, {}, 0, m2},
    readrow{"ShowNulAndNoFinalNewline", box, {"show", "index", "3"}, {}, 0, m3bytes},
    readrow{"ShowHeaders", box, {"show", "--headers", "index", "1"}, {}, 0, h1},
    readrow{"ShowHeadersCrlf", box, {"show", "index", "2", "--headers"}, {}, 0, h2},
    readrow{"ShowSeveral", box, {"show", "index", "3", "1"}, {}, 0,
            sep + "3 ('-x.msg'), " + std::to_string(m3bytes.size()) + " bytes <==\n" + m3bytes + "\n" +
            sep + "1 ('a.msg'), " + std::to_string(m1.size()) + " bytes <==\n" + m1},
    readrow{"ShowRange", box, {"show", "--headers", "index", "1-2"}, {}, 0,
            sep + "1 ('a.msg'), " + std::to_string(h1.size()) + " bytes <==\n" + h1 +
            sep + "2 ('b.msg'), " + std::to_string(h2.size()) + " bytes <==\n" + h2},
    readrow{"ShowMissingLeftOut", [] { box(); ASSERT_EQ(unlink("a.msg"), 0); }, {"show", "index", "1", "4"}, {}, 1,
            sep + "4 ('d.msg'), " + std::to_string(m4.size()) + " bytes <==\n" + m4, "record 1's file 'a.msg' is missing; left out"},
    readrow{"ShowLinkRefused", swappedlink, {"show", "index", "1"}, {"FSFAULT_SWAP=evil:a.msg"}, 1, "", "record 1's file 'a.msg': it is a symbolic link; left out"},
    readrow{"ShowFifoRefused", swappedfifo, {"show", "index", "1"}, {"FSFAULT_SWAP=evil:a.msg"}, 1, "", "record 1's file 'a.msg': it is not a regular file; left out"},
    readrow{"ShowNoSuchRecord", box, {"show", "index", "5"}, {}, 2, "", "has no record 5 (its records are numbered 1 to 4)"},
    readrow{"ShowNotANumber", box, {"show", "index", "x"}, {}, 64, "", "is not a record number"},
    readrow{"ShowNoNumber", box, {"show", "index"}, {}, 64, ""},
    readrow{"ShowNoNumberSaysSo", box, {"show", "index"}, {}, 64, "", "mailbox: show: no record number given (a pick that finds nothing gives none); nothing done\n"},
    readrow{"ShowStaleRefused", stalebox, {"show", "index", "1"}, {}, 2, "", stale},
    // Export reads the messages as show does, and so writes none from a stale index.
    readrow{"ExportStaleRefused", stalebox, {"export", "index", "--mbox", "out"}, {}, 2, "", stale},
    readrow{"ShowCutShortRefused", cutbox, {"show", "index", "1"}, {}, 2, "", cutshort},
    readrow{"ShowFullOutput", box, {"show", "index", "1"}, {}, 4, "", "error writing standard output", "/dev/full"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Pick, Read, ::testing::Values(
    readrow{"PickFrom", box, {"pick", "index", "--from", "BOB"}, {}, 0, "1\tR\tBob <bob@example.org>\tLunch\n"},
    readrow{"PickSubjectNumbers", box, {"pick", "index", "--subject", "lunch", "--numbers"}, {}, 0, "1\n3\n"},
    readrow{"PickCc", box, {"pick", "--cc=bob", "index", "--numbers"}, {}, 0, "2\n"},
    readrow{"PickTo", box, {"pick", "--to=^ann$", "index", "--numbers"}, {}, 0, "1\n2\n3\n4\n"},
    readrow{"PickNew", box, {"pick", "index", "--new", "--numbers"}, {}, 0, "2\n3\n"},
    readrow{"PickAllMustHold", box, {"pick", "index", "--new", "--subject", "lunch", "--numbers"}, {}, 0, "3\n"},
    readrow{"PickSince", box, {"pick", "index", "--since", "2026-12-02", "--numbers"}, {}, 0, "1\n2\n"},
    readrow{"PickBefore", box, {"pick", "index", "--before", "2026-12-02", "--numbers"}, {}, 0, "3\n"},
    readrow{"PickSinceAndBefore", box, {"pick", "index", "--since=2026-12-01", "--before=2026-12-08 10:00", "--numbers"}, {}, 0, "2\n"},
    readrow{"PickFormat", box, {"pick", "index", "--since", "2026-12-08", "--format=%file %date"}, {}, 0, "a.msg 2026-12-08 10:00\n"},
    readrow{"PickNoneIsOne", box, {"pick", "index", "--from", "nobody"}, {}, 1, ""},
    readrow{"PickBadExpression", box, {"pick", "index", "--from", "(x"}, {}, 64, "", "--from: '(x' is no expression"},
    readrow{"PickBadDate", box, {"pick", "index", "--since", "2026-02-30"}, {}, 64, "", "--since: '2026-02-30' is no date"},
    readrow{"PickDateOfLinkNotFollowed", swappedlink, {"pick", "index", "--since", "2000-01-01", "--numbers"}, {"FSFAULT_SWAP=evil:a.msg"}, 0, "2\n3\n"},
    readrow{"PickStaleFieldsSaySo", stalebox, {"pick", "index", "--numbers"}, {}, 0, "1\n2\n", stale},
    readrow{"PickStaleDatesRefused", stalebox, {"pick", "index", "--since", "2000-01-01"}, {}, 2, "", "the dates would be read from other messages"},
    readrow{"PickCutShortReads", cutbox, {"pick", "index", "--new", "--numbers"}, {}, 0, "1\n2\n", cutshort},
    readrow{"PickWrongDirSince", wrongdir, {"pick", "inbox.meta", "--since", "2000-01-01"}, {}, 2, "", wrongdirhint},
    readrow{"PickWrongDirBefore", wrongdir, {"pick", "inbox.meta", "--before", "2100-01-01", "--numbers"}, {}, 2, "", wrongdirhint},
    readrow{"PickWrongDirDateColumn", wrongdir, {"pick", "inbox.meta", "--format=%date"}, {}, 2, "", wrongdirhint},
    readrow{"PickWrongDirFieldsRead", wrongdir, {"pick", "inbox.meta", "--from", "^FROM$", "--numbers"}, {}, 0, "1\n"},
    readrow{"PickCutShortNoDates", cutbox, {"pick", "index", "--since", "2020-01-01"}, {}, 2, "", "the dates would be read from other messages"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

class PickThenDelete : public ScratchDir {};

// The numbers pick prints are the numbers delete takes.
TEST_F(PickThenDelete, Numbers) {
    box();
    const runresult r = run({"/bin/sh", "-c", "\"$0\" delete index $(\"$0\" pick index --subject lunch --numbers)",
                             MAILBOX_PATH});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted record 1 ('a.msg')\ndeleted record 3 ('-x.msg')\n");
    EXPECT_FALSE(exists("a.msg"));
    EXPECT_FALSE(exists("-x.msg"));
    EXPECT_EQ(mbx({"list", "--format=%file", "index"}).out, "b.msg\nd.msg\n");
}

// A pick that finds nothing gives delete no number: one line says so, and
// the idiom the manual shows never runs the delete.
TEST_F(PickThenDelete, NoneSaidAndGuarded) {
    box();
    const std::string before = slurp("index");
    const runresult bare = run({"/bin/sh", "-c", "\"$0\" delete index $(\"$0\" pick index --from nobody --numbers)",
                                MAILBOX_PATH});
    EXPECT_EQ(bare.status, 64);
    EXPECT_EQ(bare.out, "");
    EXPECT_EQ(bare.err, "mailbox: delete: no record number given (a pick that finds nothing gives none); nothing done\n");
    const runresult guarded = run({"/bin/sh", "-c", "nums=$(\"$0\" pick index --from nobody --numbers) && \"$0\" delete index $nums",
                                   MAILBOX_PATH});
    EXPECT_EQ(guarded.status, 1);
    EXPECT_EQ(guarded.out + guarded.err, "");
    EXPECT_EQ(slurp("index"), before);
    EXPECT_TRUE(exists("a.msg"));
}

class ReadMore : public ScratchDir {};

// From the wrong directory check gives msgseq's hint alone, not a line a file.
TEST_F(ReadMore, CheckWrongDirHint) {
    wrongdir();
    const runresult r = mbx({"check", "inbox.meta"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find(wrongdirhint), 0u) << r.err;
    EXPECT_EQ(r.err.find("missing"), std::string::npos) << r.err;
}

// One file still here: what is missing is said, file by file, as ever.
TEST_F(ReadMore, CheckOneHereListsTheMissing) {
    wrongdir();
    ASSERT_EQ(chdir("inbox"), 0);
    spit("../inbox.meta", plainindex({"a.msg", "gone.msg"}));
    const runresult r = mbx({"check", "../inbox.meta"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "missing: record 2 lists 'gone.msg', which is not here\n"
                     "1 problem in 2 records: 1 missing, 0 unlisted, 0 twice, 0 too long, 0 unfinished, 0 index\n");
}

// A new mailbox: rebuild in a directory of no messages writes an index of
// no records, which every command takes.
TEST_F(ReadMore, EmptyMailboxStarts) {
    ASSERT_EQ(mkdir("inbox", 0755), 0);
    ASSERT_EQ(chdir("inbox"), 0);
    const runresult r = mbx({"rebuild", "--owner-path", "/home/ann/Mail/inbox", "--owner-addr", "ann@example.org", "inbox.meta"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp("inbox.meta"), "/home/ann/Mail/inbox\nann@example.org\nEND\n");
    EXPECT_EQ(mbx({"list", "inbox.meta"}).out, "");
    EXPECT_EQ(mbx({"check", "inbox.meta"}).out, "no problems in 0 records\n");
    EXPECT_EQ(mbx({"pick", "inbox.meta", "--since", "2000-01-01"}).status, 1);
    const runresult d = run({"/bin/sh", "-c", "printf 'From: a\\nSubject: first\\n\\nhi\\n' | \"$0\" deliver inbox.meta", MAILBOX_PATH});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(mbx({"list", "inbox.meta"}).out, "1\tN\ta\tfirst\n");
}

// Case is ignored for UTF-8 letters; the numbers and lines are as ever.
TEST_F(ReadMore, PickFoldsUtf8) {
    spit("a.msg", "From: x\n\n");
    spit("b.msg", "From: y\n\n");
    spit("index", metafile({{"a.msg", "ann", "Jürgen MÜLLER <m@example.org>", "Grüße", "", "", "N"},
                            {"b.msg", "ann", "bob", "x", "", "", "N"}}));
    const locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!l) GTEST_SKIP() << "no C.UTF-8 here";
    freelocale(l);
    EXPECT_EQ(mbx({"pick", "index", "--from", "müller", "--numbers"}).out, "1\n");
    EXPECT_EQ(mbx({"pick", "index", "--subject", "GRÜSSE|GRÜßE"}).out, "1\tN\tJürgen MÜLLER <m@example.org>\tGrüße\n");
    const runresult bad = mbx({"pick", "index", "--from", "(ü"});
    EXPECT_EQ(bad.status, 64);
    EXPECT_NE(bad.err.find("mailbox: --from: '(ü' is no expression"), std::string::npos) << bad.err;
}

}  // namespace
