// The mailbox tool's changing commands against what meets them: one file
// under two names, a sync that fails once the new index is in, a delivery
// that appends while they work, the wrong directory, option values that are
// no line of the index, output that can't be written, and deletes cut short
// then finished, or refused where finishing would be wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using args = std::vector<std::string>;

runresult mbx(args a, const std::vector<std::string>& faults = {}, const char* out = nullptr) {
    a.insert(a.begin(), MAILBOX_PATH);
    runhow how;
    how.timeout = 60;  // a command blocked on a FIFO fails its row rather than stalls
    return run(a, out, faults.empty() ? std::vector<std::string>{} : fsfaultenv(faults), how);
}

std::vector<std::string> rec(const std::string& name, const std::string& subject = "s") {
    return {name, "t", "f", subject, "", "", "N"};
}

std::string indexof(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& n : names) recs.push_back(rec(n));
    return metafile(recs);
}

std::string msg(const std::string& c) { return "From: " + c + "\nSubject: " + c + "\n\n" + c + "\n"; }

// Five messages a.msg to e.msg, listed in that order.
void fivebox() {
    for (const std::string c : {"a", "b", "c", "d", "e"}) spit(c + ".msg", msg(c));
    spit("index", indexof({"a.msg", "b.msg", "c.msg", "d.msg", "e.msg"}));
}

std::string names() {
    std::string s;
    for (const auto& n : listing()) s += n + " ";
    return s;
}

// A delivery that takes no lock appends f.msg's record; a client that marks
// the first message read, in place.
const std::string deliver =
    "truncate -s -4 index && printf '%s\\n' f.msg t f s '' '' N END >> index";
const std::string markread =
    "printf R | dd of=index conv=notrunc status=none bs=1 "
    "seek=$(grep -b -m1 '^N$' index | cut -d: -f1)";

const std::string cyr = times(60, "\xd0\x96");  // 120 bytes

struct guardrow {
    const char* name;
    std::function<void()> setup;
    args cmd;
    std::vector<std::string> faults;
    int status;
    std::string out;
    std::string err = "";  // a line the command's standard error holds, when given
    std::function<void(const runresult&)> after = {};
    const char* outpath = nullptr;
};
void PrintTo(const guardrow& r, std::ostream* os) { *os << r.name; }

class MbxGuard : public ScratchDir, public ::testing::WithParamInterface<guardrow> {};

TEST_P(MbxGuard, Row) {
    const guardrow& r = GetParam();
    r.setup();
    const runresult got = mbx(r.cmd, r.faults, r.outpath);
    EXPECT_EQ(got.status, r.status) << got.err;
    if (!r.outpath) {
        EXPECT_EQ(got.out, r.out);
    }
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    if (r.after) r.after(got);
}

const std::string kept = ", whose file another record lists and keeps\n";

// One file under two names: the deleted record's file stays wherever a record that stays
// reaches it.
void spellings() {
    spit("a.msg", msg("a"));
    spit("b.msg", msg("b"));
    spit("index", indexof({"a.msg", "./a.msg", "b.msg"}));
}
void hardlinked() {
    spit("a.msg", msg("a"));
    ASSERT_EQ(link("a.msg", "h.msg"), 0);
    spit("index", indexof({"a.msg", "h.msg"}));
}
void symlinked() {
    spit("a.msg", msg("a"));
    ASSERT_EQ(symlink("a.msg", "l.msg"), 0);
    spit("index", indexof({"a.msg", "l.msg"}));
}
// top/inbox holds the messages, top/inbox.meta lists them; the command is
// run in top, the wrong directory.
const std::string inbox0 = metafile({rec("a.msg", cyr), rec("b.msg")});
void wrongdir() {
    ASSERT_EQ(mkdir("top", 0755), 0);
    ASSERT_EQ(mkdir("top/inbox", 0755), 0);
    for (const std::string c : {"a", "b"}) spit("top/inbox/" + c + ".msg", msg(c));
    spit("top/inbox.meta", inbox0);
    ASSERT_EQ(chdir("top"), 0);
}
// The same, run in top/inbox.
void inboxdir() {
    wrongdir();
    ASSERT_EQ(chdir("inbox"), 0);
}

// A delete killed once its index is in; then what is on disk changed as
// 'between' says.
void cutdelete(const std::string& between) {
    fivebox();
    ASSERT_EQ(mbx({"delete", "index", "2"}, {"FSFAULT_KILL=rename-to:index"}).status,
              128 + SIGKILL);
    ASSERT_TRUE(exists(".index.mailbox-delete"));
    ASSERT_EQ(system(between.c_str()), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, MbxGuard, ::testing::Values(
    guardrow{"DeleteTwoSpellings", spellings, {"delete", "index", "1"}, {}, 0,
             "deleted record 1 ('a.msg')" + kept, "", [](const runresult&) {
                 EXPECT_EQ(slurp("a.msg"), msg("a"));
                 EXPECT_EQ(slurp("index"), indexof({"./a.msg", "b.msg"}));
             }},
    guardrow{"DeleteSecondSpelling", spellings, {"delete", "index", "2"}, {}, 0,
             "deleted record 2 ('./a.msg'), whose file another record lists and keeps\n",
             "", [](const runresult&) { EXPECT_EQ(slurp("a.msg"), msg("a")); }},
    guardrow{"DeleteHardLink", hardlinked, {"delete", "index", "1"}, {}, 0,
             "deleted record 1 ('a.msg')" + kept, "", [](const runresult&) {
                 EXPECT_EQ(slurp("a.msg") + slurp("h.msg"), msg("a") + msg("a"));
             }},
    guardrow{"DeleteLinkedTo", symlinked, {"delete", "index", "1"}, {}, 0,
             "deleted record 1 ('a.msg')" + kept, "", [](const runresult&) {
                 EXPECT_EQ(slurp("l.msg"), msg("a"));
             }},
    guardrow{"DeleteOther", spellings, {"delete", "index", "3"}, {}, 0,
             "deleted record 3 ('b.msg')\n", "", [](const runresult&) {
                 EXPECT_FALSE(exists("b.msg"));
                 EXPECT_EQ(slurp("index"), indexof({"a.msg", "./a.msg"}));
             }},
    // The index renamed in, its directory's sync failed: no "nothing done", the
    // journal kept; the same delete given again finishes the first and stops.
    guardrow{"DeleteIndexNotSynced", fivebox, {"delete", "index", "2", "4"},
             {"FSFAULT_FAIL=fsync:.:EIO:2"}, 2, "deleted record 2 ('b.msg')\ndeleted record 4 ('d.msg')\n",
             "mailbox: the new 'index' is in place but not on disk (Input/output error); the "
             "delete's journal stays, and the next mailbox command (such as 'mailbox list "
             "index') finishes it", [](const runresult& r) {
                 EXPECT_EQ(r.err.find("nothing"), std::string::npos);
                 EXPECT_EQ(names(), ".index.mailbox-delete a.msg b.msg c.msg d.msg e.msg index ");
                 const runresult again = mbx({"delete", "index", "2", "4"});
                 EXPECT_EQ(again.status, 2);
                 EXPECT_EQ(again.err, "mailbox: finished a delete of 2 records from 'index' that "
                           "was cut short\nmailbox: the record numbers given may name other "
                           "records now: see 'mailbox list index', then give them again; nothing "
                           "else done\n");
                 EXPECT_EQ(names(), "a.msg c.msg e.msg index ");
                 EXPECT_EQ(slurp("index"), indexof({"a.msg", "c.msg", "e.msg"}));
             }},
    guardrow{"DeleteJournalNotSynced", fivebox, {"delete", "index", "2"},
             {"FSFAULT_FAIL=fsync:.:EIO:1"}, 2, "",
             "cannot write the journal '", [](const runresult& r) {
                 EXPECT_NE(r.err.find("; nothing done\n"), std::string::npos);
                 EXPECT_FALSE(exists(".index.mailbox-delete"));
                 EXPECT_EQ(mbx({"list", "index"}).err, "");
                 EXPECT_EQ(names(), "a.msg b.msg c.msg d.msg e.msg index ");
             }},
    guardrow{"DeleteIndexNotWritten", fivebox, {"delete", "index", "2"},
             {"FSFAULT_FAIL=rename-to:index:EIO"}, 2, "",
             "mailbox: cannot write 'index': Input/output error; nothing done\n",
             [](const runresult&) {
                 EXPECT_EQ(names(), "a.msg b.msg c.msg d.msg e.msg index ");
                 EXPECT_EQ(slurp("index"), indexof({"a.msg", "b.msg", "c.msg", "d.msg", "e.msg"}));
             }},
    guardrow{"MendIndexNotSynced", inboxdir, {"mend", "../inbox.meta", "--cut-long"},
             {"FSFAULT_FAIL=fsync:top:EIO:1"}, 2, "cut record 1's subject from 120 to 98 bytes\n",
             "mailbox: the new '../inbox.meta' is in place, but not on disk (Input/output error): "
             "a crash may bring the old one back, which is kept as '../inbox.meta.old'; run "
             "'sync', then 'mailbox check ../inbox.meta'\n", [](const runresult& r) {
                 EXPECT_EQ(r.err.find("nothing"), std::string::npos);
             }},
    guardrow{"RebuildIndexNotSynced", fivebox, {"rebuild", "index"},
             {"FSFAULT_FAIL=fsync:.:EIO:1"}, 2, "",
             "mailbox: the new 'index' is in place, but not on disk", [](const runresult& r) {
                 EXPECT_EQ(r.err.find("nothing"), std::string::npos);
             }},
    guardrow{"DeleteWrongDir", wrongdir, {"delete", "inbox.meta", "1"}, {}, 2, "",
             "mailbox: none of the listed files was found; names are taken relative to the "
             "working directory, ", [](const runresult&) {
                 EXPECT_EQ(names(), "inbox inbox.meta ");
                 EXPECT_EQ(slurp("inbox.meta"), inbox0);
             }},
    guardrow{"MendWrongDir", wrongdir, {"mend", "inbox.meta", "--drop-missing", "--cut-long"},
             {}, 2, "", "mailbox: none of the listed files was found", [](const runresult&) {
                 EXPECT_EQ(names(), "inbox inbox.meta ");
                 EXPECT_EQ(slurp("inbox.meta"), inbox0);
             }},
    // From the wrong directory a file of the user's would be renamed in, or
    // every record dropped: both refused, nothing touched.
    guardrow{"MendAdoptWrongDir", [] { wrongdir(); spit("notes.txt", msg("n")); }, {"mend", "inbox.meta", "--adopt", "--cut-long"},
             {}, 2, "", "mailbox: none of the listed files was found", [](const runresult&) {
                 EXPECT_EQ(names(), "inbox inbox.meta notes.txt ");
                 EXPECT_EQ(slurp("inbox.meta"), inbox0);
             }},
    guardrow{"RebuildWrongDir", wrongdir, {"rebuild", "inbox.meta"},
             {}, 2, "", "mailbox: none of the listed files was found", [](const runresult&) {
                 EXPECT_EQ(names(), "inbox inbox.meta ");
                 EXPECT_EQ(slurp("inbox.meta"), inbox0);
             }},
    guardrow{"MendKeepsOld", inboxdir, {"mend", "../inbox.meta", "--cut-long"}, {}, 0,
             "cut record 1's subject from 120 to 98 bytes\n", "", [](const runresult&) {
                 EXPECT_EQ(slurp("../inbox.meta.old"), inbox0);
                 spit("c.msg", msg("c"));
                 const std::string cut = slurp("../inbox.meta");
                 EXPECT_EQ(mbx({"mend", "../inbox.meta", "--adopt"}).status, 0);
                 EXPECT_EQ(slurp("../inbox.meta.old"), cut);
             }},
    guardrow{"MendDropTwice", [] {
                 spellings();
                 spit("index", indexof({"a.msg", "./a.msg", "b.msg", "a.msg", "gone", "gone"}));
             }, {"mend", "index", "--drop-twice"}, {}, 0,
             "dropped record 2 ('./a.msg'), whose file record 1 lists\n"
             "dropped record 4 ('a.msg'), whose file record 1 lists\n"
             "dropped record 6 ('gone'), whose file record 5 lists\n", "", [](const runresult&) {
                 EXPECT_EQ(slurp("index"), indexof({"a.msg", "b.msg", "gone"}));
             }},
    guardrow{"OwnerPathTwoLines", fivebox, {"rebuild", "--owner-path", "/a\n/b", "index"}, {}, 64,
             "", "mailbox: --owner-path: the value holds a line break, which the index can't "
             "hold; nothing done\n", [](const runresult&) { EXPECT_FALSE(exists("index.old")); }},
    guardrow{"OwnerAddrCr", fivebox, {"rebuild", "--owner-addr=a@b\r", "index"}, {}, 64, "",
             "mailbox: --owner-addr: the value holds a line break"},
    guardrow{"OwnerAddrTooLong", fivebox, {"rebuild", "--owner-addr", times(50, "a"), "index"},
             {}, 64, "", "mailbox: --owner-addr: the value is 50 bytes, over the index's limit "
             "of 49; nothing done\n"},
    guardrow{"OwnerAddrFits", fivebox, {"rebuild", "--owner-addr", times(49, "a"), "index"}, {},
             0, "rebuilt 'index': 5 records from 5 files; the old index kept as 'index.old'\n", "",
             [](const runresult&) {
                 EXPECT_EQ(slurp("index").substr(0, 65), "/home/ann/mail\n" + times(49, "a") + "\n");
             }},
    guardrow{"OwnerPathTooLong", fivebox, {"rebuild", "--owner-path", times(1024, "p"), "index"},
             {}, 64, "", "mailbox: --owner-path: the value is 1024 bytes, over the index's limit "
             "of 1023; nothing done\n"},
    guardrow{"OwnerPathFits", fivebox, {"rebuild", "--owner-path", times(1023, "p"), "index"},
             {}, 0, "rebuilt 'index': 5 records from 5 files; the old index kept as 'index.old'\n"},
    guardrow{"RebuildOldPathWhole", [] {
                 fivebox();
                 spit("index", metafile({rec("a.msg")}, times(1500, "p"), "ann@example.org"));
             }, {"rebuild", "index"}, {}, 0,
             "rebuilt 'index': 5 records from 5 files; the old index kept as 'index.old'\n", "",
             [](const runresult&) {
                 EXPECT_EQ(slurp("index").substr(0, 1040), times(1023, "p") + "\nann@example.org\n" );
             }},
    guardrow{"RebuildFifo", [] { ASSERT_EQ(mkfifo("index", 0600), 0); }, {"rebuild", "index"}, {},
             2, "", "mailbox: 'index' is not a regular file; nothing done\n", [](const runresult&) {
                 EXPECT_EQ(names(), "index ");
             }},
    guardrow{"DeleteOutputFull", fivebox, {"delete", "index", "1"}, {}, 4, "",
             "mailbox: error writing standard output\n", {}, "/dev/full"},
    guardrow{"MendOutputFull", inboxdir, {"mend", "../inbox.meta", "--cut-long"}, {}, 4, "",
             "mailbox: error writing standard output\n", {}, "/dev/full"},
    guardrow{"RebuildOutputFull", fivebox, {"rebuild", "index"}, {}, 4, "",
             "mailbox: error writing standard output\n", {}, "/dev/full"},
    guardrow{"ListOutputFull", fivebox, {"list", "index"}, {}, 4, "", "", {}, "/dev/full"},
    guardrow{"CheckOutputFull", fivebox, {"check", "index"}, {}, 4, "", "", {}, "/dev/full"},
    guardrow{"HelpOutputFull", [] {}, {"--help"}, {}, 4, "", "", {}, "/dev/full"},
    guardrow{"DeleteRecordZero", fivebox, {"delete", "index", "0"}, {}, 2, "",
             "mailbox: 'index' has no record 0 (its records are numbered 1 to 5); nothing done\n"},
    // A delete cut short once its index was in, then the mailbox changed.
    guardrow{"FinishFileReplaced", [] { cutdelete("rm b.msg && echo other > b.msg"); },
             {"list", "index"}, {}, 0, "1\tN\tf\ts\n2\tN\tf\ts\n3\tN\tf\ts\n4\tN\tf\ts\n",
             "mailbox: 'b.msg' is not the file the delete began with; it is left as it is\n",
             [](const runresult&) {
                 EXPECT_EQ(slurp("b.msg"), "other\n");
                 EXPECT_FALSE(exists(".index.mailbox-delete"));
             }},
    guardrow{"FinishElsewhere", [] {
                 cutdelete("mkdir other");
                 ASSERT_EQ(chdir("other"), 0);
             }, {"list", "../index"}, {}, 2, "",
             "mailbox: a delete from '../index' was cut short in another directory; run mailbox "
             "there to finish it\n", [](const runresult&) {
                 EXPECT_TRUE(exists("../.index.mailbox-delete"));
                 EXPECT_TRUE(exists("../b.msg"));
             }},
    guardrow{"FinishIndexChanged", [] { cutdelete("sed -i 's/^s$/x/' index"); },
             {"delete", "index", "1"}, {}, 2, "",
             "mailbox: 'index' was changed since a delete from it was cut short; nothing done",
             [](const runresult&) {
                 EXPECT_TRUE(exists("b.msg"));
                 EXPECT_TRUE(exists("a.msg"));
                 EXPECT_TRUE(exists(".index.mailbox-delete"));
                 const runresult l = mbx({"list", "index"});
                 EXPECT_EQ(l.status, 2);
                 EXPECT_EQ(l.out, "");
                 EXPECT_EQ(mbx({"mend", "index", "--drop-twice"}).status, 2);
             }},
    guardrow{"FinishIndexGrown", [] { cutdelete(deliver + " && echo f > f.msg"); },
             {"list", "index"}, {}, 0, "1\tN\tf\ts\n2\tN\tf\ts\n3\tN\tf\ts\n4\tN\tf\ts\n5\tN\tf\ts\n",
             "mailbox: finished a delete of 1 record from 'index' that was cut short\n",
             [](const runresult&) {
                 EXPECT_EQ(names(), "a.msg c.msg d.msg e.msg f.msg index ");
             }},
    guardrow{"CheckCutShort", [] { cutdelete("echo x > x.msg"); }, {"check", "-n", "index"}, {}, 1,
             "unfinished: a delete by 'mailbox delete' was cut short; a mailbox command without "
             "-n finishes it\nunlisted: 'b.msg' is a file that no record lists\n"
             "unlisted: 'x.msg' is a file that no record lists\n"
             "3 problems in 4 records: 0 missing, 2 unlisted, 0 twice, 0 too long, 1 unfinished, "
             "0 index\n"},
    guardrow{"CheckLongFields", [] {
                 fivebox();
                 spit("index", metafile({{"a.msg", "t", "f", times(1500, "x"), "", "", "N"},
                                         {"b.msg", "t", "f", "s", "", times(100, "y"), "N"},
                                         rec("c.msg"), rec("d.msg"), rec("e.msg")},
                                        "/p", times(49, "a")));
             }, {"check", "index"}, {}, 1,
             "too long: record 1's subject is 1500 bytes; the limit is 99 bytes\n"
             "too long: record 2's bcc is 100 bytes; the limit is 99 bytes\n"
             "2 problems in 5 records: 0 missing, 0 unlisted, 0 twice, 2 too long, 0 unfinished, "
             "0 index\n"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Another program writes to the index while a delete or a mend is stopped
// at a step: records it appended are kept, any other change is never
// written over.
struct racerow {
    const char* name;
    std::string cmd, at, meanwhile;
    int status;
    std::string index;  // afterwards
    std::string err = "";
};
void PrintTo(const racerow& r, std::ostream* os) { *os << r.name; }

class MbxRace : public ScratchDir, public ::testing::WithParamInterface<racerow> {};

TEST_P(MbxRace, Row) {
    const racerow& r = GetParam();
    fivebox();
    spit("f.msg", msg("f"));
    if (r.cmd.starts_with("mend"))
        spit("index", metafile({rec("a.msg", cyr), rec("b.msg"), rec("c.msg"), rec("d.msg"),
                                rec("e.msg")}));
    const runresult got = mbxwhilestopped(r.cmd, r.at, r.meanwhile);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(slurp("index"), r.index);
    EXPECT_FALSE(exists(".index.mailbox-delete"));
}

const std::string cutsubject = times(49, "\xd0\x96");
const std::string mended =
    metafile({rec("a.msg", cutsubject), rec("b.msg"), rec("c.msg"), rec("d.msg"), rec("e.msg"),
              rec("f.msg")});
const std::string readfirst =
    metafile({{"a.msg", "t", "f", cyr, "", "", "R"}, rec("b.msg"), rec("c.msg"), rec("d.msg"),
              rec("e.msg")});
const std::string racedel = indexof({"a.msg", "c.msg", "e.msg", "f.msg"});
const std::string changedmeanwhile =
    "mailbox: 'index' was changed by another program meanwhile; nothing changed\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, MbxRace, ::testing::Values(
    racerow{"DeleteBeforeSwap", "delete index 2 4", "rename-to:.index.mailbox-delete", deliver, 0, racedel},
    racerow{"DeleteDuringSwap", "delete index 2 4", "fsync:.index.mailbox-new", deliver, 0, racedel},
    racerow{"DeleteMarkedRead", "delete index 2 4", "rename-to:.index.mailbox-delete", markread, 2,
            metafile({{"a.msg", "t", "f", "s", "", "", "R"}, rec("b.msg"), rec("c.msg"),
                      rec("d.msg"), rec("e.msg")}),
            "mailbox: 'index' was changed by another program meanwhile; nothing done\n"},
    racerow{"DeleteMarkedAndDelivered", "delete index 2 4", "rename-to:.index.mailbox-delete",
            markread + " && " + deliver, 2,
            metafile({{"a.msg", "t", "f", "s", "", "", "R"}, rec("b.msg"), rec("c.msg"),
                      rec("d.msg"), rec("e.msg"), rec("f.msg")}),
            "mailbox: 'index' was changed by another program meanwhile; nothing done\n"},
    racerow{"MendBeforeSwap", "mend index --cut-long", "link-to:.index.mailbox-old", deliver, 0, mended},
    racerow{"MendDuringSwap", "mend index --cut-long", "fsync:.index.mailbox-new", deliver, 0, mended},
    racerow{"MendMarkedRead", "mend index --cut-long", "link-to:.index.mailbox-old", markread, 2,
            readfirst, changedmeanwhile}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
