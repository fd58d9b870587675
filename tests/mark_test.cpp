// The commands that rewrite the index without touching a message: mark and
// sort, and delete by file name. A table a command, each row one thing it
// meets (a delivery that appends meanwhile, the index replaced by rename
// meanwhile, a stale index, a run cut short, a full disk, a directory sync
// that fails, root in a user's directory, the wrong directory), each checked
// on disk: the index byte for byte, the old one kept, owner and mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using args = std::vector<std::string>;

runresult mbx(args a, const std::vector<std::string>& faults = {}) {
    a.insert(a.begin(), MAILBOX_PATH);
    runhow how;
    how.timeout = 60;
    return run(a, nullptr, faults.empty() ? std::vector<std::string>{} : fsfaultenv(faults), how);
}

std::vector<std::string> rec(const std::string& name, const std::string& from,
                             const std::string& subject, const char* flag = "N") {
    return {name, "ann", from, subject, "", "", flag};
}

std::string msg(const std::string& from, const std::string& date, const std::string& body) {
    return "From: " + from + "\n" + (date.empty() ? "" : "Date: " + date + "\n") + "\n" + body;
}

// Four messages: their dates out of index order, one without a date, two
// from bob, a thread's reply before its start, sizes 1 to 4 lines.
const auto ra = rec("a.msg", "bob", "Re: Lunch");
const auto rb = rec("b.msg", "carol", "Budget", "R");
const auto rc = rec("c.msg", "Bob", "Lunch");
const auto rd = rec("d.msg", "dave", "Party");
const std::string four = metafile({ra, rb, rc, rd});
void box() {
    spit("a.msg", msg("bob", "9 Dec 2026 10:00:00 +0000", "1\n2\n3\n"));
    spit("b.msg", msg("carol", "", "1\n"));
    spit("c.msg", msg("Bob", "8 Dec 2026 10:00:00 +0000", "1\n2\n3\n4\n"));
    spit("d.msg", msg("dave", "8 Dec 2026 09:00:00 +0000", "1\n2\n"));
    spit("index", four);
}

// The index left by a plain msgseq run: stale until msgseq -u.
void stalebox() {
    box();
    ASSERT_EQ(run({MSGSEQ_PATH, "index"}).status, 0);
}
// A msgseq run killed half way: its journal is there.
void cutbox() {
    box();
    (void)runfsfault({"index"}, {"FSFAULT_KILL=rename-from:b.msg"});
}

// A delivery that takes no lock appends e.msg's record; a client's save
// that replaces the index by rename, the first subject changed.
const std::string deliver =
    "truncate -s -4 index && printf '%s\\n' e.msg ann eve New '' '' N END >> index";
const auto re = rec("e.msg", "eve", "New");
const std::string othersave = "sed 's/^Re: Lunch$/Re: Lunch!/' index > saved && mv saved index";

struct changerow {
    const char* name;
    std::function<void()> setup;
    args cmd;
    std::vector<std::string> faults;
    int status;
    std::string out;
    std::string index;     // the index afterwards
    std::string err = "";  // a line standard error holds, when given
    bool kept = false;     // index.old holds the index as it was (else: no index.old)
    std::string meanwhile = "", at = "";  // another program's doing, while the command is stopped at
};
void PrintTo(const changerow& r, std::ostream* os) { *os << r.name; }

class Change : public ScratchDir, public ::testing::WithParamInterface<changerow> {};

TEST_P(Change, Row) {
    const changerow& r = GetParam();
    r.setup();
    const std::string was = slurp("index");
    std::string cmd;
    for (const auto& a : r.cmd) cmd += "'" + a + "' ";
    const runresult got = r.meanwhile.empty() ? mbx(r.cmd, r.faults)
                                              : mbxwhilestopped(cmd, r.at, r.meanwhile);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_EQ(got.signaled, r.status > 128 && r.meanwhile.empty());
    EXPECT_EQ(got.out, r.out);
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    EXPECT_EQ(slurp("index"), r.index);
    if (r.kept) {
        // The old index is kept by a second name: what a delivery wrote to it shows there too.
        EXPECT_EQ(slurp("index.old"), r.meanwhile == deliver ? metafile({ra, rb, rc, rd, re}) : was);
    } else {
        EXPECT_FALSE(exists("index.old"));
    }
    // Nothing set aside is left behind, and no message file is touched.
    for (const auto& n : listing()) EXPECT_FALSE(n.starts_with(".index.mailbox")) << n;
    for (const char* n : {"a.msg", "b.msg", "c.msg", "d.msg"})
        if (exists(n)) {
            EXPECT_FALSE(slurp(n).empty()) << n;
        }
}

const std::string marked2 = "marked record 2 ('b.msg') new\n";
const std::string stale = "still lists the names a plain msgseq run has since changed";
const std::string cutshort = "was cut short; run 'msgseq index' to finish it";
const std::string changed = "'index' was changed by another program meanwhile; nothing changed";
const std::string bydate = "sorted 'index' by date: ";
const std::string renum = "'msgseq -u index' renumbers the files to match\n";
const std::string toolong = metafile({ra, rb, rec("c.msg", "Bob", std::string(120, 'x')), rd});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Mark, Change, ::testing::Values(
    changerow{"MarkRead", box, {"mark", "index", "1", "--read"}, {}, 0, "marked record 1 ('a.msg') read\n",
              metafile({rec("a.msg", "bob", "Re: Lunch", "R"), rb, rc, rd}), "", true},
    changerow{"MarkNewRangeAndAlready", box, {"mark", "--new", "index", "1-2"}, {}, 0,
              "record 1 ('a.msg') is new already\n" + marked2, metafile({ra, rec("b.msg", "carol", "Budget"), rc, rd}), "", true},
    changerow{"MarkAllAlreadyWritesNothing", box, {"mark", "--new", "index", "1", "3"}, {}, 0,
              "record 1 ('a.msg') is new already\nrecord 3 ('c.msg') is new already\n", four},
    changerow{"MarkNamedTwiceSaidOnce", box, {"mark", "--new", "index", "2", "1-2"}, {}, 0,
              marked2 + "record 1 ('a.msg') is new already\n", metafile({ra, rec("b.msg", "carol", "Budget"), rc, rd}), "", true},
    // A stop signal as the new index goes in: finished first, then said.
    changerow{"MarkInterruptedFinishesFirst", box, {"mark", "index", "1", "--read"}, {"FSFAULT_SIGNAL=INT:rename-to:index"}, 130,
              "marked record 1 ('a.msg') read\n", metafile({rec("a.msg", "bob", "Re: Lunch", "R"), rb, rc, rd}),
              "interrupted by SIGINT; the mark was finished first\n", true},
    // One that fails with the signal on its way says so, and no more.
    changerow{"MarkInterruptedAsItFails", box, {"mark", "index", "1", "--read"},
              {"FSFAULT_SIGNAL=INT:create:.index.mailbox-new", "FSFAULT_FAIL=fsync:.index.mailbox-new:EIO"}, 130,
              "", four, "nothing changed\nmailbox: interrupted by SIGINT; the mark ended as said above\n"},
    changerow{"MarkDryRun", box, {"mark", "-n", "--new", "index", "2"}, {}, 0, "would mark record 2 ('b.msg') new\n", four},
    changerow{"MarkNeither", box, {"mark", "index", "2"}, {}, 64, "", four, "say how: --read or --new"},
    changerow{"MarkBoth", box, {"mark", "index", "2", "--read", "--new"}, {}, 64, "", four, "give one of --read and --new, not both"},
    changerow{"MarkNoSuchRecord", box, {"mark", "index", "5", "--read"}, {}, 2, "", four, "has no record 5"},
    changerow{"MarkStaleRefused", stalebox, {"mark", "index", "1", "--read"}, {}, 2, "", four, stale},
    changerow{"MarkCutShortRefused", cutbox, {"mark", "index", "1", "--read"}, {}, 2, "", four, cutshort},
    changerow{"MarkNotWritableBack", [] { box(); spit("index", toolong); }, {"mark", "index", "1", "--read"}, {}, 2, "", toolong,
              "would not be written back as it is"},
    changerow{"MarkFullDisk", box, {"mark", "index", "2", "--new"}, {"FSFAULT_FAIL=fsync:.index.mailbox-new:ENOSPC"}, 2, "", four,
              "cannot write 'index': No space left on device; nothing changed"},
    changerow{"MarkSyncFailsAfterRename", box, {"mark", "index", "2", "--new"}, {"FSFAULT_FAIL=fsync:.:EIO:1"}, 2, marked2,
              metafile({ra, rec("b.msg", "carol", "Budget"), rc, rd}), "the new 'index' is in place, but not on disk", true},
    changerow{"MarkDeliveryBeforeSwap", box, {"mark", "index", "2", "--new"}, {}, 0, marked2,
              metafile({ra, rec("b.msg", "carol", "Budget"), rc, rd, re}), "", true, deliver, "link-to:.index.mailbox-old"},
    changerow{"MarkDeliveryDuringSwap", box, {"mark", "index", "2", "--new"}, {}, 0, marked2,
              metafile({ra, rec("b.msg", "carol", "Budget"), rc, rd, re}), "", true, deliver, "fsync:.index.mailbox-new"},
    changerow{"MarkIndexReplacedMeanwhile", box, {"mark", "index", "2", "--new"}, {}, 2, "",
              metafile({rec("a.msg", "bob", "Re: Lunch!"), rb, rc, rd}), changed, false, othersave, "link-to:.index.mailbox-old"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Sort, Change, ::testing::Values(
    changerow{"SortByDate", box, {"sort", "index", "--by", "date"}, {}, 0, bydate + "3 of 4 records moved; " + renum,
              metafile({rb, rd, rc, ra}), "", true},
    changerow{"SortInterruptedFinishesFirst", box, {"sort", "index", "--by", "date"}, {"FSFAULT_SIGNAL=TERM:rename-to:index"}, 143,
              bydate + "3 of 4 records moved; " + renum, metafile({rb, rd, rc, ra}), "interrupted by SIGTERM; the sort was finished first\n", true},
    changerow{"MendInterruptedFinishesFirst", [] { box(); ASSERT_EQ(unlink("c.msg"), 0); }, {"mend", "index", "--drop-missing"}, {"FSFAULT_SIGNAL=HUP:rename-to:index"}, 129,
              "dropped record 3 ('c.msg'), whose file is missing\n", metafile({ra, rb, rd}), "interrupted by SIGHUP; the mend was finished first\n", true},
    changerow{"SortByDateReversed", box, {"sort", "index", "--by=date", "-r"}, {}, 0,
              "sorted 'index' by date, reversed: 3 of 4 records moved; " + renum, metafile({ra, rc, rd, rb}), "", true},
    changerow{"SortByFromStable", box, {"sort", "index", "--by", "from"}, {}, 0, "sorted 'index' by from: 2 of 4 records moved; " + renum,
              metafile({ra, rc, rb, rd}), "", true},
    changerow{"SortByFromReversedStable", box, {"sort", "index", "--by", "from", "-r"}, {}, 0,
              "sorted 'index' by from, reversed: 3 of 4 records moved; " + renum, metafile({rd, rb, ra, rc}), "", true},
    changerow{"SortBySubjectThread", box, {"sort", "index", "--by", "subject"}, {}, 0,
              "sorted 'index' by subject: 2 of 4 records moved; " + renum, metafile({rb, ra, rc, rd}), "", true},
    changerow{"SortBySize", box, {"sort", "index", "--by", "size"}, {}, 0, "sorted 'index' by size: 4 of 4 records moved; " + renum,
              metafile({rb, rd, ra, rc}), "", true},
    changerow{"SortInOrderAlready", [] { box(); spit("index", metafile({rb, rd, rc, ra})); }, {"sort", "index", "--by", "date"}, {}, 0,
              "'index' is in order by date already\n", metafile({rb, rd, rc, ra})},
    changerow{"SortDryRun", box, {"sort", "-n", "index", "--by", "date"}, {}, 0, "would sort 'index' by date: 3 of 4 records moved; " + renum, four},
    changerow{"SortByNothing", box, {"sort", "index"}, {}, 64, "", four, "say by what"},
    changerow{"SortByOther", box, {"sort", "index", "--by", "name"}, {}, 64, "", four, "say by what"},
    changerow{"SortStaleRefused", stalebox, {"sort", "index", "--by", "from"}, {}, 2, "", four, stale},
    changerow{"SortCutShortRefused", cutbox, {"sort", "index", "--by", "from"}, {}, 2, "", four, cutshort},
    changerow{"SortWrongDirRefused", [] { box(); ASSERT_EQ(mkdir("sub", 0755), 0);
                                           for (const std::string n : {"a.msg", "b.msg", "c.msg", "d.msg"}) ASSERT_EQ(rename(n.c_str(), ("sub/" + n).c_str()), 0); },
              {"sort", "index", "--by", "date"}, {}, 2, "", four, "none of the listed files was found"},
    changerow{"SortBySizeWrongDirRefused", [] { box(); ASSERT_EQ(mkdir("sub", 0755), 0);
                                                 for (const std::string n : {"a.msg", "b.msg", "c.msg", "d.msg"}) ASSERT_EQ(rename(n.c_str(), ("sub/" + n).c_str()), 0); },
              {"sort", "index", "--by", "size"}, {}, 2, "", four, "none of the listed files was found"},
    changerow{"SortDateOfLinkUnknown", [] { box(); ASSERT_EQ(symlink("a.msg", "evil"), 0); }, {"sort", "index", "--by", "date"},
              {"FSFAULT_SWAP=evil:c.msg"}, 0, bydate + "4 of 4 records moved; " + renum, metafile({rb, rc, rd, ra}), "", true},
    changerow{"SortFullDisk", box, {"sort", "index", "--by", "date"}, {"FSFAULT_FAIL=fsync:.index.mailbox-new:ENOSPC"}, 2, "", four,
              "cannot write 'index': No space left on device; nothing changed"},
    changerow{"SortDeliveryDuringSwap", box, {"sort", "index", "--by", "date"}, {}, 0, bydate + "3 of 4 records moved; " + renum,
              metafile({rb, rd, rc, ra, re}), "", true, deliver, "fsync:.index.mailbox-new"},
    changerow{"SortIndexReplacedMeanwhile", box, {"sort", "index", "--by", "date"}, {}, 2, "",
              metafile({rec("a.msg", "bob", "Re: Lunch!"), rb, rc, rd}), changed, false, othersave, "link-to:.index.mailbox-old"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(DeleteFile, Change, ::testing::Values(
    changerow{"DeleteByFile", box, {"delete", "index", "--file", "c.msg"}, {}, 0, "deleted record 3 ('c.msg')\n", metafile({ra, rb, rd})},
    changerow{"DeleteByFileAndNumber", box, {"delete", "index", "--file=c.msg", "1"}, {}, 0,
              "deleted record 1 ('a.msg')\ndeleted record 3 ('c.msg')\n", metafile({rb, rd})},
    changerow{"DeleteInterruptedFinishesFirst", box, {"delete", "index", "--file", "c.msg"}, {"FSFAULT_SIGNAL=TERM:unlink:c.msg"}, 143,
              "deleted record 3 ('c.msg')\n", metafile({ra, rb, rd}), "interrupted by SIGTERM; the delete was finished first\n"},
    changerow{"DeleteInterruptedFileKeptFinishesFirst", box, {"delete", "index", "--file", "c.msg"}, {"FSFAULT_SIGNAL=TERM:rename-to:index", "FSFAULT_FAIL=unlink:c.msg:EACCES"}, 143,
              "deleted record 3 ('c.msg')\n", metafile({ra, rb, rd}), "interrupted by SIGTERM; the delete was finished first\n"},
    changerow{"DeleteByFileNotListed", box, {"delete", "index", "--file", "z.msg"}, {}, 2, "", four, "no record lists 'z.msg'; nothing done"},
    changerow{"DeleteByFileOtherSpelling", box, {"delete", "index", "--file", "./c.msg"}, {}, 0, "deleted record 3 ('c.msg')\n", metafile({ra, rb, rd})},
    changerow{"DeleteByFileHardLink", [] { box(); ASSERT_EQ(link("c.msg", "l.msg"), 0); }, {"delete", "index", "--file", "l.msg"}, {}, 0,
              "deleted record 3 ('c.msg')\n", metafile({ra, rb, rd})},
    changerow{"DeleteByFileListedTwice", [] { box(); spit("index", metafile({ra, rb, ra, rd})); }, {"delete", "index", "--file", "a.msg"}, {}, 0,
              "deleted record 1 ('a.msg')\ndeleted record 3 ('a.msg')\n", metafile({rb, rd})}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

class ChangeFiles : public ScratchDir {};

// After a sort, msgseq -u gives the files the numbers of their new places.
TEST_F(ChangeFiles, SortThenRenumber) {
    box();
    const std::string a = slurp("a.msg"), b = slurp("b.msg"), c = slurp("c.msg"), d = slurp("d.msg");
    ASSERT_EQ(mbx({"sort", "index", "--by", "date"}).status, 0);
    const runresult r = run({MSGSEQ_PATH, "-u", "index"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp("in000.msg") + slurp("in001.msg") + slurp("in002.msg") + slurp("in003.msg"),
              b + d + c + a);
    EXPECT_EQ(mbx({"list", "--format=%file %from", "index"}).out,
              "in000.msg carol\nin001.msg dave\nin002.msg Bob\nin003.msg bob\n");
}

// A stop signal while the change goes in, standard output full: the change
// is made, and the last line says so, whatever became of the others.
TEST_F(ChangeFiles, InterruptedWithOutputFullSaysFinished) {
    for (const args& cmd : {args{"mark", "index", "1", "--read"}, args{"sort", "index", "--by", "date"}}) {
        box();
        const std::string was = slurp("index");
        args a = cmd;
        a.insert(a.begin(), MAILBOX_PATH);
        const runresult r = run(a, "/dev/full", fsfaultenv({"FSFAULT_SIGNAL=INT:rename-to:index"}));
        EXPECT_EQ(r.status, 130) << r.err;
        EXPECT_NE(slurp("index"), was) << cmd[0];
        EXPECT_NE(r.err.find("interrupted by SIGINT; the " + cmd[0] + " was finished first\n"), std::string::npos) << r.err;
    }
}

// The new index keeps the old one's owner, group and mode; root in a
// user's directory acts as that user, and leaves nothing of root's.
TEST_F(ChangeFiles, OwnerModeAndRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
    box();
    ASSERT_EQ(chmod("index", 0640), 0);
    for (const char* n : {".", "index", "a.msg", "b.msg", "c.msg", "d.msg"})
        ASSERT_EQ(chown(n, 4242, 4243), 0);
    for (const args& cmd : {args{"mark", "index", "2", "--new"}, args{"sort", "index", "--by", "date"}}) {
        const runresult r = mbx(cmd);
        EXPECT_EQ(r.status, 0) << r.err;
        struct stat st;
        ASSERT_EQ(stat("index", &st), 0);
        EXPECT_EQ(st.st_uid, 4242u);
        EXPECT_EQ(st.st_gid, 4243u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        ASSERT_EQ(stat("index.old", &st), 0);
        EXPECT_NE(st.st_uid, 0u);
    }
    EXPECT_EQ(slurp("index"), metafile({rec("b.msg", "carol", "Budget"), rd, rc, ra}));
}

}  // namespace
