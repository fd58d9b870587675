// The one-line views, the header views of the in-box and out-box, and the
// record dumps, compared byte for byte with what they print.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "testutil.h"

namespace {

template <typename F>
std::string captured(F&& print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

// Table cases show by name in test listings.
template <typename Case>
std::string casename(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Three messages; each has a different sender and recipient, so the in-box
// and out-box views can be told apart.
constexpr const char* kThree =
    "/home/ann/mail\n"
    "ann@example.org\n"
    "in000.msg\n"
    "bob@example.org\n"
    "carol@example.org\n"
    "Lunch on Friday\n"
    "dave@example.org\n"
    "\n"
    "N\n"
    "in001.msg\n"
    "frank@example.org\n"
    "dave@example.org\n"
    "Budget\n"
    "\n"
    "ann@example.org\n"
    "R\n"
    "in002.msg\n"
    "gina@example.org\n"
    "erin@example.org\n"
    "Party\n"
    "\n"
    "\n"
    "N\n"
    "END\n";

constexpr const char* kTwo =
    "/var/mail/out\n"
    "box@example.org\n"
    "out000.msg\n"
    "bob@example.org\n"
    "ann@example.org\n"
    "Hello\n"
    "cc@example.org\n"
    "bcc@example.org\n"
    "R\n"
    "out001.msg\n"
    "carol@example.org\n"
    "ann@example.org\n"
    "Re: Hello\n"
    "\n"
    "\n"
    "N\n"
    "END\n";

// A scratch directory for metafiles and the two global lists. The lists are
// released here so that no test leaves them to the leak checker.
class ListFiles : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        llinit();
    }

    void TearDown() override {
        llfree(inlist);
        llfree(outlist);
        inlist = outlist = nullptr;
        ScratchDir::TearDown();
    }

    void load(llnode* head, const char* text) {
        spit("meta", text);
        std::string out = captured([&] { EXPECT_EQ(readmeta("meta", head), 1); });
        EXPECT_EQ(out, "");
    }
};

// ---- header views -------------------------------------------------------

constexpr const char* kIn1 = "1 carol@example.org Lunch on Friday NEW \n";
constexpr const char* kIn2 = "2 dave@example.org Budget READ \n";
constexpr const char* kIn3 = "3 erin@example.org Party NEW \n";
constexpr const char* kOut1 = "1 bob@example.org Lunch on Friday NEW \n";
constexpr const char* kOut2 = "2 frank@example.org Budget READ \n";
constexpr const char* kOut3 = "3 gina@example.org Party NEW \n";

struct HdrCase {
    const char* name;
    bool in;        // inlist, or else outlist
    int starton;
    int endno;
    int deleted;    // record number marked DELETED, 0 for none
    int count;      // head's count forced to this, -1 to keep it
    std::string expected;
};

void PrintTo(const HdrCase& c, std::ostream* os) { *os << c.name; }

class Disphdrs : public ListFiles, public testing::WithParamInterface<HdrCase> {};

TEST_P(Disphdrs, PrintsSelectedLines) {
    const HdrCase& c = GetParam();
    llnode* head = c.in ? inlist : outlist;
    load(head, kThree);
    ASSERT_EQ(head->count, 3);
    if (c.deleted) {
        llnode* rec = llnofind(c.deleted, head);
        ASSERT_NE(rec, nullptr);
        rec->status = DELETED;
    }
    if (c.count >= 0) head->count = c.count;
    EXPECT_EQ(captured([&] { disphdrs(head, c.starton, c.endno); }), c.expected);
}

const HdrCase kHdrCases[] = {
    {"InAll", true, 0, 1000, 0, -1, std::string(kIn1) + kIn2 + kIn3},
    {"InExact", true, 1, 3, 0, -1, std::string(kIn1) + kIn2 + kIn3},
    {"InNegativeStart", true, -5, 2, 0, -1, std::string(kIn1) + kIn2},
    {"InSingle", true, 2, 2, 0, -1, kIn2},
    {"InReversed", true, 3, 1, 0, -1, ""},
    {"InStartPastCount", true, 4, 1000, 0, -1, ""},
    {"InOnlyHeadInRange", true, -10, 0, 0, -1, ""},
    {"InDeletedHidden", true, 0, 1000, 2, -1, std::string(kIn1) + kIn3},
    {"InDeletedAlone", true, 2, 2, 2, -1, ""},
    // Record 3 is still chained, but the view stops at the head's count.
    {"InEndCutToCount", true, 0, 1000, 0, 2, std::string(kIn1) + kIn2},
    {"InZeroCount", true, 0, 1000, 0, 0, ""},
    {"OutAll", false, 0, 1000, 0, -1, std::string(kOut1) + kOut2 + kOut3},
    {"OutFromTwo", false, 2, 1000, 0, -1, std::string(kOut2) + kOut3},
    {"OutDeletedHidden", false, INT_MIN, INT_MAX, 1, -1, std::string(kOut2) + kOut3},
};

INSTANTIATE_TEST_SUITE_P(Views, Disphdrs, testing::ValuesIn(kHdrCases),
                         casename<HdrCase>);

TEST_F(ListFiles, DisphdrsOnEmptyListPrintsNothing) {
    EXPECT_EQ(captured([] { disphdrs(inlist, 0, 1000); }), "");
    EXPECT_EQ(captured([] { disphdrs(outlist, 0, 1000); }), "");
}

// The range alone keeps the head out: even a head marked ACTIVE is number 0,
// below the first record.
TEST_F(ListFiles, DisphdrsKeepsHeadOutByRange) {
    load(inlist, kThree);
    inlist->status = ACTIVE;
    EXPECT_EQ(captured([] { disphdrs(inlist, -1, 1); }), kIn1);
    EXPECT_EQ(captured([] { llprint(inlist, LLINBOX, -1, 1); }),
              std::string("0   NEW \n") + kIn1);  // empty columns keep their spaces
}

// Only the global in-box shows senders: a list loaded elsewhere from the
// same file shows recipients.
TEST_F(ListFiles, DisphdrsChoosesColumnsByList) {
    llnode* other = llnew();
    load(other, kThree);
    load(inlist, kThree);
    EXPECT_EQ(captured([&] { disphdrs(other, 1, 1); }), kOut1);
    EXPECT_EQ(captured([] { disphdrs(inlist, 1, 1); }), kIn1);
    llfree(other);
}

// ---- one-line view ------------------------------------------------------

struct LineCase {
    const char* name;
    int32_t status;
    int32_t read;
    int32_t no;
    int mask;
    const char* expected;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class Llprinta : public testing::TestWithParam<LineCase> {};

TEST_P(Llprinta, PrintsOneLine) {
    const LineCase& c = GetParam();
    llnode* rec = llnew();
    llfill(rec, "in007.msg", "to@x", "from@x", "Hi there", "cc@x", "bcc@x", c.status, c.read,
           c.no);
    rec->count = 2;
    EXPECT_EQ(captured([&] { llprinta(rec, c.mask); }), c.expected);
    llfree(rec);
}

constexpr int kColumns = LLDATAFILE | LLTO | LLFROM | LLSUBJECT | LLCC | LLBCC | LLSTATUS |
                         LLREAD | LLNO | LLCOUNT;
constexpr int kSelect = LLSELACTIVE | LLSELIGNORE | LLSELDELETED;

const LineCase kLineCases[] = {
    {"NoColumns", ACTIVE, MSGNEW, 7, 0, "\n"},
    {"SelectionBitsOnly", ACTIVE, MSGNEW, 7, kSelect, "\n"},
    {"No", ACTIVE, MSGNEW, 7, LLNO, "7 \n"},
    {"NegativeNo", ACTIVE, MSGNEW, -3, LLNO, "-3 \n"},
    {"Datafile", ACTIVE, MSGNEW, 7, LLDATAFILE, "in007.msg \n"},
    {"To", ACTIVE, MSGNEW, 7, LLTO, "to@x \n"},
    {"From", ACTIVE, MSGNEW, 7, LLFROM, "from@x \n"},
    {"Subject", ACTIVE, MSGNEW, 7, LLSUBJECT, "Hi there \n"},
    {"Cc", ACTIVE, MSGNEW, 7, LLCC, "cc@x \n"},
    {"Bcc", ACTIVE, MSGNEW, 7, LLBCC, "bcc@x \n"},
    {"Count", ACTIVE, MSGNEW, 7, LLCOUNT, "2 \n"},
    {"AllColumnsInOrder", ACTIVE, MSGNEW, 7, kColumns,
     "7 in007.msg to@x from@x Hi there cc@x bcc@x ACTIVE NEW 2 \n"},
    {"AllBits", DELETED, MSGREAD, 7, kColumns | kSelect,
     "7 in007.msg to@x from@x Hi there cc@x bcc@x DELETED READ 2 \n"},
    {"StatusActive", ACTIVE, MSGNEW, 7, LLSTATUS, "ACTIVE \n"},
    {"StatusIgnore", IGNORE, MSGNEW, 7, LLSTATUS, "IGNORE \n"},
    {"StatusDeleted", DELETED, MSGNEW, 7, LLSTATUS, "DELETED \n"},
    {"StatusInvalidAlone", 5, MSGNEW, 7, LLSTATUS, "\n"},
    {"StatusInvalidLeavesNoSpace", 5, MSGNEW, 7, LLNO | LLSTATUS | LLREAD, "7 NEW \n"},
    {"ReadRead", ACTIVE, MSGREAD, 7, LLREAD, "READ \n"},
    {"ReadNew", ACTIVE, MSGNEW, 7, LLREAD, "NEW \n"},
    {"ReadOtherIsNew", ACTIVE, 3, 7, LLREAD, "NEW \n"},
    {"ReadZeroIsNew", ACTIVE, 0, 7, LLREAD, "NEW \n"},
    {"InBoxMask", ACTIVE, MSGREAD, 7, LLINBOX, "7 from@x Hi there READ \n"},
    {"OutBoxMask", ACTIVE, MSGNEW, 7, LLOUTBOX, "7 to@x Hi there NEW \n"},
};

INSTANTIATE_TEST_SUITE_P(Views, Llprinta, testing::ValuesIn(kLineCases),
                         casename<LineCase>);

TEST(LlprintaBounds, WidestLineIsWhole) {
    llnode* rec = llnew();
    std::string d(12, 'd'), t(99, 't'), f(99, 'f'), s(99, 's'), c(99, 'c'), b(99, 'b');
    llfill(rec, d.c_str(), t.c_str(), f.c_str(), s.c_str(), c.c_str(), b.c_str(), DELETED, MSGREAD,
           INT_MIN);
    rec->count = INT_MIN;
    std::string expected = "-2147483648 " + d + " " + t + " " + f + " " + s + " " + c + " " + b +
                           " DELETED READ -2147483648 \n";
    EXPECT_EQ(captured([&] { llprinta(rec, kColumns); }), expected);
    llfree(rec);
}

// A record whose fields were filled to the brim without their NULs shows
// each field up to its end and reads nothing beyond it.
TEST(LlprintaBounds, UnterminatedFieldsStopAtFieldEnd) {
    llnode* rec = llnew();
    memset(rec->datafile, 'd', sizeof rec->datafile);
    memset(rec->to, 't', sizeof rec->to);
    memset(rec->from, 'f', sizeof rec->from);
    memset(rec->subject, 's', sizeof rec->subject);
    memset(rec->cc, 'c', sizeof rec->cc);
    memset(rec->bcc, 'b', sizeof rec->bcc);
    std::string expected = std::string(13, 'd') + " " + std::string(100, 't') + " " +
                           std::string(100, 'f') + " " + std::string(100, 's') + " " +
                           std::string(100, 'c') + " " + std::string(100, 'b') + " \n";
    EXPECT_EQ(captured([&] { llprinta(rec, LLDATAFILE | LLTO | LLFROM | LLSUBJECT | LLCC | LLBCC); }),
              expected);
    EXPECT_EQ(captured([&] { lldump(rec); }),
              "Datafile is: " + std::string(13, 'd') + "To is: " + std::string(100, 't') +
                  "From is: " + std::string(100, 'f') + "Subject is: " + std::string(100, 's') +
                  "CC is: " + std::string(100, 'c') + "Bcc is: " + std::string(100, 'b') +
                  "Status is: IGNORERead is: NEWNo is: 0Count is: 0Mydata is: NULL"
                  "Next is: NULL");
    llfree(rec);
}

// ---- list view ----------------------------------------------------------

// A head and five records, one of each status plus an invalid one:
// 1 ACTIVE, 2 DELETED, 3 IGNORE, 4 status 5, 5 ACTIVE.
class Llprint : public testing::Test {
protected:
    void SetUp() override {
        head_ = llnew();
        const int32_t statuses[] = {ACTIVE, DELETED, IGNORE, 5, ACTIVE};
        for (int no = 1; no <= 5; no++) {
            char name[16];
            snprintf(name, sizeof name, "in%03d.msg", no);
            llnode* rec = llnew();
            llfill(rec, name, "", "", "", "", "", statuses[no - 1], MSGNEW, no);
            lladd(rec, head_);
        }
    }
    void TearDown() override { llfree(head_); }

    llnode* head_ = nullptr;
};

struct RangeCase {
    const char* name;
    int mask;
    int startno;
    int endno;
    const char* expected;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }

class LlprintRange : public Llprint, public testing::WithParamInterface<RangeCase> {};

TEST_P(LlprintRange, PrintsSelectedRecords) {
    const RangeCase& c = GetParam();
    EXPECT_EQ(captured([&] { llprint(head_, c.mask, c.startno, c.endno); }), c.expected);
}

const RangeCase kRangeCases[] = {
    {"Active", LLNO | LLSELACTIVE, 0, 100, "1 \n5 \n"},
    {"Ignore", LLNO | LLSELIGNORE, 0, 100, "0 \n3 \n"},
    {"Deleted", LLNO | LLSELDELETED, 0, 100, "2 \n"},
    {"AllThreeWithHead", LLNO | kSelect, 0, 100, "0 \n1 \n2 \n3 \n5 \n"},
    {"AllThreeWithoutHead", LLNO | kSelect, 1, 100, "1 \n2 \n3 \n5 \n"},
    {"AllThreeOnlyHead", LLNO | kSelect, -100, 0, "0 \n"},
    {"AllThreeWholeIntRange", LLNO | kSelect, INT_MIN, INT_MAX, "0 \n1 \n2 \n3 \n5 \n"},
    {"InnerRange", LLNO | kSelect, 2, 3, "2 \n3 \n"},
    {"InvalidStatusNeverSelected", LLNO | kSelect, 4, 4, ""},
    {"NoSelectionBits", LLNO, 0, 100, ""},
    {"Reversed", LLNO | kSelect, 3, 2, ""},
    {"ColumnsOfSelected", LLDATAFILE | LLSTATUS | LLSELDELETED, 0, 100, "in002.msg DELETED \n"},
    {"NoColumnsOneEmptyLineEach", LLSELACTIVE, 0, 100, "\n\n"},
};

INSTANTIATE_TEST_SUITE_P(Views, LlprintRange, testing::ValuesIn(kRangeCases),
                         casename<RangeCase>);

TEST_F(Llprint, NullStartPrintsNothing) {
    EXPECT_EQ(captured([] { llprint(nullptr, LLNO | kSelect, INT_MIN, INT_MAX); }), "");
}

TEST_F(Llprint, StartsAtGivenRecord) {
    llnode* second = llnofind(2, head_);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(captured([&] { llprint(second, LLNO | kSelect, 0, 100); }), "2 \n3 \n5 \n");
}

// ---- dumps --------------------------------------------------------------

constexpr const char* kEmptyStrings =
    "Datafile is: To is: From is: Subject is: CC is: Bcc is: ";
constexpr const char* kLoneTail = "No is: 0Count is: 0Mydata is: NULLNext is: NULL";

TEST(Lldump, ValidRecord) {
    llnode* rec = llnew();
    llfill(rec, "in001.msg", "ann@x", "bob@x", "Hello", "cc@x", "bcc@x", ACTIVE, MSGREAD, 1);
    EXPECT_EQ(captured([&] { lldump(rec); }),
              "Datafile is: in001.msgTo is: ann@xFrom is: bob@xSubject is: HelloCC is: cc@x"
              "Bcc is: bcc@xStatus is: ACTIVERead is: RDNo is: 1Count is: 0Mydata is: NULL"
              "Next is: NULL");
    llfree(rec);
}

TEST(Lldump, NullPointer) {
    EXPECT_EQ(captured([] { lldump(nullptr); }), "Pointer is NULL");
    EXPECT_EQ(captured([] { lldmpall(nullptr); }), "");
}

struct CodeCase {
    const char* name;
    int32_t status;
    int32_t read;
    const char* words;  // the status and read items
};

void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }

class LldumpCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(LldumpCodes, ShowsStatusAndRead) {
    const CodeCase& c = GetParam();
    llnode* rec = llnew();
    rec->status = c.status;
    rec->read = c.read;
    EXPECT_EQ(captured([&] { lldump(rec); }), std::string(kEmptyStrings) + c.words + kLoneTail);
    llfree(rec);
}

const CodeCase kCodeCases[] = {
    {"ActiveRead", ACTIVE, MSGREAD, "Status is: ACTIVERead is: RD"},
    {"IgnoreNew", IGNORE, MSGNEW, "Status is: IGNORERead is: NEW"},
    {"DeletedNew", DELETED, MSGNEW, "Status is: DELETEDRead is: NEW"},
    {"BothInvalid", 7, 3, "Status is invalid (7)Read is invalid (3)"},
    {"NegativeInvalid", -3, 0, "Status is invalid (-3)Read is invalid (0)"},
};

INSTANTIATE_TEST_SUITE_P(Views, LldumpCodes, testing::ValuesIn(kCodeCases),
                         casename<CodeCase>);

TEST_F(ListFiles, DumpOfFreshHeadShowsEmptyOwnerBlock) {
    EXPECT_EQ(captured([] { lldump(outlist); }),
              std::string(kEmptyStrings) +
                  "Status is: IGNORERead is: NEWNo is: 0Count is: 0"
                  "Mydata->myaddr is: Mydata->mypath is: Next is: NULL");
}

TEST_F(ListFiles, DumpOfLoadedHeadShowsOwnerBlock) {
    load(inlist, kThree);
    EXPECT_EQ(captured([] { lldump(inlist); }),
              std::string(kEmptyStrings) +
                  "Status is: IGNORERead is: NEWNo is: 0Count is: 3"
                  "Mydata->myaddr is: ann@example.orgMydata->mypath is: /home/ann/mail"
                  "Next is: Non NULL");
}

TEST_F(ListFiles, DumpAllRunsTheChainTogether) {
    load(outlist, kTwo);
    const std::string head =
        std::string(kEmptyStrings) +
        "Status is: IGNORERead is: NEWNo is: 0Count is: 2"
        "Mydata->myaddr is: box@example.orgMydata->mypath is: /var/mail/outNext is: Non NULL";
    const std::string first =
        "Datafile is: out000.msgTo is: bob@example.orgFrom is: ann@example.org"
        "Subject is: HelloCC is: cc@example.orgBcc is: bcc@example.orgStatus is: ACTIVE"
        "Read is: RDNo is: 1Count is: 0Mydata is: NULLNext is: Non NULL";
    const std::string last =
        "Datafile is: out001.msgTo is: carol@example.orgFrom is: ann@example.org"
        "Subject is: Re: HelloCC is: Bcc is: Status is: ACTIVERead is: NEWNo is: 2"
        "Count is: 0Mydata is: NULLNext is: NULL";
    EXPECT_EQ(captured([] { lldmpall(outlist); }), head + first + last);
    EXPECT_EQ(captured([] { lldmpall(llnofind(2, outlist)); }), last);
}

}  // namespace
