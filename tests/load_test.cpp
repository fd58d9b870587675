// What msgseq keeps of an index (renumload): each record's name, read flag
// and fields' sum, exactly as a loaded list's records give them, with the
// reader's messages and result; and a large receipt's files found placed
// through one listing of the directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "testutil.h"

namespace {

struct loadrow {
    const char* name;
    std::string text;
};
void PrintTo(const loadrow& row, std::ostream* os) { *os << row.name; }

class RenumLoad : public ScratchDir, public ::testing::WithParamInterface<loadrow> {};

const std::string head = "/home/ann/mail\nann@example.org\n";
const std::string rec = "a.msg\nto\nfrom\nsubj\n\n\nR\n";

}  // namespace

// Loaded both ways, the index gives the same records, the same messages and
// the same result: a journal written from either is read back by the other.
TEST_P(RenumLoad, AgreesWithTheList) {
    spit("meta", GetParam().text);
    llinit();
    ::testing::internal::CaptureStdout();
    const int listed = readmeta("meta", inlist);
    const std::string listsaid = ::testing::internal::GetCapturedStdout();
    const std::vector<renumrec> want = renumrecsof(inlist, nullptr);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;

    std::vector<renumrec> got;
    ::testing::internal::CaptureStdout();
    const int loaded = renumload("meta", &got);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), listsaid);
    EXPECT_EQ(loaded, listed);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); k++) {
        EXPECT_STREQ(got[k].datafile, want[k].datafile) << k;
        EXPECT_EQ(got[k].read, want[k].read) << k;
        EXPECT_EQ(renumfieldsum(got[k], got[k].read), renumfieldsum(want[k], want[k].read)) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Index, RenumLoad,
    ::testing::Values(
        loadrow{"Whole", head + rec + "b.msg\n\n\n\n\n\nN\n" + rec + "END\n"},
        loadrow{"FieldsOverTheirLimit",
                head + "a.msg\n" + times(300, "t") + "\n" + times(99, "f") + "\n" + times(100, "s") +
                    "\ncc\n" + times(2000, "b") + "\nRead\nEND\n"},
        // 60 two-byte letters: 49 whole ones fit in 99 bytes.
        loadrow{"UTF8CutAtAWholeCharacter",
                head + "a.msg\n" + times(60, "\xd0\x96") + "\nx" + times(60, "\xd0\x96") +
                    "\n" + times(98, "a") + "\xc3\xa9\n\n\nN\nEND\n"},
        loadrow{"NulInAField", head + "a.msg\nto" + std::string(1, '\0') + "gone\nfrom\n\n\n\nN\nEND\n"},
        loadrow{"CarriageReturns", head + "a.msg\r\nto\r\nfrom\r\n\r\n\r\n\r\nR\r\nEND\r\n"},
        loadrow{"CutInsideARecord", head + rec + "b.msg\nto\nfrom\n"},
        loadrow{"NoEnd", head + rec + rec},
        loadrow{"NameTooLong", head + rec + "thirteen.msgs\nto\nfrom\n\n\n\nN\nEND\n"},
        loadrow{"NameWithANul", head + rec + "a" + std::string(1, '\0') + "b\nto\n\n\n\n\nN\nEND\n"},
        loadrow{"FlagLinesOfAnyKind", head + "a\n\n\n\n\n\nr\nb\n\n\n\n\n\nRN\nc\n\n\n\n\n\n\nEND\n"},
        loadrow{"FieldsAtTheirLimit",
                head + "twelve.bytes\n" + times(99, "t") + "\n" + times(99, "f") + "\n" +
                    times(99, "s") + "\n" + times(99, "c") + "\n" + times(99, "b") + "\nR\nEND\n"},
        loadrow{"NoNewlineAfterEnd", head + rec + "END"},
        loadrow{"TextAfterEnd", head + rec + "END\n" + rec + "thirteen.msgs\n"},
        loadrow{"EmptyName", head + "\nto\n\n\n\n\nN\n" + rec + "END\n"},
        loadrow{"LinesLongerThanAReadOfTheFile",
                times(70000, "p") + "\nann@example.org\n" + rec + "b.msg\n\n\n\n\n\n" +
                    times(70000, "R") + "\nEND\n"},
        // Records that straddle every boundary of the reads, each its own.
        loadrow{"ManyRecords",
                [] {
                    std::string t = head;
                    for (int k = 0; k < 5000; k++)
                        t += std::string("m").append(std::to_string(k)) + "\nto " + std::to_string(k % 7) +
                             "\nfrom\n" + times(k % 90, "s") + "\n\ncc\n" + (k % 3 ? "R" : "N") +
                             "\n";
                    return t + "END\n";
                }()},
        loadrow{"ManyRecordsCutShort",
                [] {
                    std::string t = head;
                    for (int k = 0; k < 5000; k++)
                        t += std::string("m").append(std::to_string(k)) + "\nto\nfrom\nsubject\n\n\nN\n";
                    return t + "m5000\nto\n";
                }()},
        loadrow{"OwnerOnly", head},
        loadrow{"Empty", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The record whose new name a name is: only renumtarget's own spelling of
// a number, never another spelling of it, nor a name like it.
TEST(RenumTargetNo, OnlyTheNewNamesOwnSpelling) {
    const struct {
        const char* name;
        uint32_t want;
    } rows[] = {
        {"in000.msg", 0},          {"in007.msg", 7},         {"in999.msg", 999},
        {"in1000.msg", 1000},      {"in999999999.msg", 999999999},
        {"in0100.msg", renumnone}, {"in0000.msg", renumnone}, {"in01.msg", renumnone},
        {"in12a.msg", renumnone},  {"in1234567890.msg", renumnone},
        {"in000.msg.", renumnone}, {"x000.msg", renumnone},   {"in000.ms", renumnone},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(renumtargetno(row.name), row.want) << row.name;
        if (row.want != renumnone) {
            EXPECT_STREQ(renumtarget(row.want).s, row.name);
        }
    }
}

#ifdef MSGSEQ_PATH
namespace {

// A hundred records, m0 ... m99, renumbered by a plain run: more than a
// receipt's files are looked up one by one.
class LargeReceipt : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (int k = 0; k < 100; k++) {
            char name[16];
            snprintf(name, sizeof name, "m%d", k);
            names.emplace_back(name);
            spit(names.back(), "message " + names.back());
        }
        spit("meta", plainindex(names));
        ASSERT_EQ(run({MSGSEQ_PATH, "meta"}).status, 0);
    }
    std::string target(int k) const {
        char b[16];
        snprintf(b, sizeof b, "in%03d.msg", k);
        return b;
    }
    std::vector<std::string> names;
};

}  // namespace

TEST_F(LargeReceipt, SecondRunIsDone) {
    const runresult r = run({MSGSEQ_PATH, "meta"});
    EXPECT_EQ(r.err, "msgseq: 'meta' was renumbered by the last run; nothing moved (msgseq -u "
                     "brings the index up to date)\n");
    EXPECT_EQ(r.status, 0);
}

// Every file put back by hand but the last: that one is still where the
// run left it, so the receipt holds, and the files moved since stop the run.
TEST_F(LargeReceipt, OneFileStillPlacedKeepsItApplied) {
    for (int k = 0; k < 99; k++) ASSERT_EQ(rename(target(k).c_str(), names[k].c_str()), 0);
    const std::set<std::string> before = listing();
    const runresult r = run({MSGSEQ_PATH, "meta"});
    EXPECT_NE(r.err.find("'meta' still lists the names the last run changed, but its files have "
                         "moved since; nothing done"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(listing(), before);
}

// Every file put back: the receipt tells nothing, and the run renumbers.
TEST_F(LargeReceipt, AllPutBackRenumbersAgain) {
    for (int k = 0; k < 100; k++) ASSERT_EQ(rename(target(k).c_str(), names[k].c_str()), 0);
    const runresult r = run({MSGSEQ_PATH, "meta"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    for (int k = 0; k < 100; k++) EXPECT_EQ(slurp(target(k)), "message " + names[k]);
}
#endif
