#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "testutil.h"

using namespace std::string_literals;

namespace {

const std::vector<std::string> rec1 = {"in000.msg", "ann@x", "bob@x", "hello", "cc1", "bcc1", "R"};
const std::vector<std::string> rec2 = {"in004.msg", "ann@x", "carol@x", "again", "", "", "N"};

// A list head as the tool makes one, released at the end of the test.
class Reader : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        head = llnew();
        head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    }
    void TearDown() override {
        llfree(head);
        ScratchDir::TearDown();
    }
    // Loads text as the file "meta"; what readmeta printed goes to printed.
    int load(const std::string& text) {
        spit("meta", text);
        testing::internal::CaptureStdout();
        int rc = readmeta("meta", head);
        printed = testing::internal::GetCapturedStdout();
        return rc;
    }

    llnode* head = nullptr;
    std::string printed;
};

}  // namespace

TEST_F(Reader, OwnerLinesAndEndOnly) {
    EXPECT_EQ(load("/home/ann\nann@example.org\nEND\n"), 1);
    EXPECT_EQ(printed, "");
    EXPECT_STREQ(head->mydata->mypath, "/home/ann");
    EXPECT_STREQ(head->mydata->myaddr, "ann@example.org");
    EXPECT_EQ(head->count, 0);
    EXPECT_EQ(head->next, nullptr);
}

TEST_F(Reader, TwoRecordsNumberedActiveWithFlags) {
    EXPECT_EQ(load(metafile({rec1, rec2})), 1);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(head->count, 2);
    const llnode* a = head->next;
    const llnode* b = a->next;
    EXPECT_STREQ(a->datafile, "in000.msg");
    EXPECT_STREQ(a->to, "ann@x");
    EXPECT_STREQ(a->from, "bob@x");
    EXPECT_STREQ(a->subject, "hello");
    EXPECT_STREQ(a->cc, "cc1");
    EXPECT_STREQ(a->bcc, "bcc1");
    EXPECT_EQ(a->read, MSGREAD);
    EXPECT_EQ(a->no, 1);
    EXPECT_EQ(a->status, ACTIVE);
    EXPECT_STREQ(b->datafile, "in004.msg");
    EXPECT_STREQ(b->cc, "");
    EXPECT_EQ(b->read, MSGNEW);
    EXPECT_EQ(b->no, 2);
    EXPECT_EQ(b->status, ACTIVE);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(head->status, IGNORE);
    EXPECT_EQ(head->no, 0);
}

TEST_F(Reader, NumberingContinuesFromTheHeadsCount) {
    ASSERT_EQ(load(metafile({rec1})), 1);
    ASSERT_EQ(load(metafile({rec2, rec1})), 1);
    EXPECT_EQ(head->count, 3);
    EXPECT_EQ(llnofind(3, head)->no, 3);
    EXPECT_STREQ(llnofind(3, head)->datafile, "in000.msg");
    EXPECT_STREQ(llnofind(2, head)->datafile, "in004.msg");
}

TEST_F(Reader, LinesAfterTheTerminatorAreIgnored) {
    EXPECT_EQ(load(metafile({rec1}) + "junk\nmore junk\n"), 1);
    EXPECT_EQ(head->count, 1);
}

TEST_F(Reader, LastLineWithoutNewline) {
    std::string text = metafile({rec1});
    text.pop_back();
    EXPECT_EQ(load(text), 1);
    EXPECT_EQ(head->count, 1);
}

struct flagcase {
    const char* flag;
    int32_t read;
};

class ReadFlag : public Reader, public ::testing::WithParamInterface<flagcase> {};

TEST_P(ReadFlag, FirstCharacterUppercaseRMeansRead) {
    std::vector<std::string> rec = rec1;
    rec[6] = GetParam().flag;
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_EQ(head->next->read, GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(Flags, ReadFlag,
                         ::testing::Values(flagcase{"R", MSGREAD}, flagcase{"RD", MSGREAD},
                                           flagcase{"Read", MSGREAD}, flagcase{"N", MSGNEW},
                                           flagcase{"r", MSGNEW}, flagcase{"x", MSGNEW},
                                           flagcase{"", MSGNEW}, flagcase{" R", MSGNEW}));

// A record cut short after each of its lines, and the files that fail before
// any record: the messages run together, the records before the failure stay.
struct cutcase {
    std::string text;
    const char* printed;
    int count;
};

class CutShort : public Reader, public ::testing::WithParamInterface<cutcase> {};

TEST_P(CutShort, PrintsTheFieldsMessageThenTheFiles) {
    EXPECT_EQ(load(GetParam().text), -1);
    EXPECT_EQ(printed, GetParam().printed);
    EXPECT_EQ(head->count, GetParam().count);
}

#define REC "in000.msg\nto\nfrom\nsubj\ncc\nbcc\nR\n"
#define META_FAIL "FILE ERROR: readmeta, error in reading meta record from meta"
INSTANTIATE_TEST_SUITE_P(
    Failures, CutShort,
    ::testing::Values(
        cutcase{"", "FILE ERROR: readmeta, error in reading my path from meta", 0},
        cutcase{"/p\n", "FILE ERROR: readmeta, error in reading my address from meta", 0},
        cutcase{"/p\na\n", "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 0},
        cutcase{"/p\na\n" REC, "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 1},
        cutcase{"/p\na\n" REC "x\n", "FILE ERROR: readhdr, error in reading to" META_FAIL, 1},
        cutcase{"/p\na\n" REC "x\nt\n", "FILE ERROR: readhdr, error in reading from" META_FAIL,
                1},
        cutcase{"/p\na\nx\nt\nf\n", "FILE ERROR: readhdr, error in reading subject" META_FAIL,
                0},
        cutcase{"/p\na\nx\nt\nf\ns\n", "FILE ERROR: readhdr, error in reading cc" META_FAIL, 0},
        cutcase{"/p\na\nx\nt\nf\ns\nc\n", "FILE ERROR: readhdr, error in reading bcc" META_FAIL,
                0},
        cutcase{"/p\na\nx\nt\nf\ns\nc\nb\n",
                "FILE ERROR: readhdr, error in reading read" META_FAIL, 0},
        // "END" with a carriage return is a message file name, not the end.
        cutcase{"/p\na\nEND\r\n", "FILE ERROR: readhdr, error in reading to" META_FAIL, 0},
        // Names that do not fit, or that a NUL byte would cut to another name.
        cutcase{"/p\na\nabcdefghi.msg\nt\nf\ns\nc\nb\nR\nEND\n",
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 0},
        cutcase{"/p\na\n" REC "in0\0001.msg\nt\nf\ns\nc\nb\nR\nEND\n"s,
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 1}));

TEST_F(Reader, MissingFileHasTwoSpacesAndNothingElse) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(readmeta("no-such-meta", head), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FILE ERROR:  readmeta, error in opening no-such-meta");
    EXPECT_EQ(head->count, 0);
}

TEST_F(Reader, NameOfTwelveCharactersFits) {
    std::vector<std::string> rec = rec1;
    rec[0] = "abcdefgh.msg";
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_STREQ(head->next->datafile, "abcdefgh.msg");
}

TEST_F(Reader, OverlongLinesAreCutToTheirFieldAndStayOneLine) {
    std::vector<std::string> rec = rec1;
    rec[1] = std::string(5000, 't');  // longer than the line reader's limit
    rec[3] = std::string(150, 's');
    rec[6] = "R" + std::string(3000, 'x');
    std::string path(3000, 'p');
    std::string addr(80, 'a');
    ASSERT_EQ(load(metafile({rec, rec2}, path, addr)), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(std::string(head->mydata->mypath), std::string(1023, 'p'));
    EXPECT_EQ(std::string(head->mydata->myaddr), std::string(49, 'a'));
    ASSERT_EQ(head->count, 2);
    EXPECT_EQ(std::string(head->next->to), std::string(99, 't'));
    EXPECT_STREQ(head->next->from, "bob@x");
    EXPECT_EQ(std::string(head->next->subject), std::string(99, 's'));
    EXPECT_EQ(head->next->read, MSGREAD);
    EXPECT_STREQ(head->next->next->datafile, "in004.msg");
}

TEST_F(Reader, NulByteCutsAHeaderField) {
    std::vector<std::string> rec = rec1;
    rec[3] = std::string("sub\0ject", 8);
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_STREQ(head->next->subject, "sub");
}

TEST_F(Reader, CarriageReturnsStayInTheFields) {
    ASSERT_EQ(load("/p\r\na\r\nin000.msg\r\nt\r\nf\r\ns\r\nc\r\nb\r\nR\r\nEND\n"), 1);
    EXPECT_STREQ(head->mydata->mypath, "/p\r");
    EXPECT_STREQ(head->next->datafile, "in000.msg\r");
    EXPECT_EQ(head->next->read, MSGREAD);
}

TEST_F(Reader, HeadWithoutOwnerBlockStillLoads) {
    llnode* bare = llnew();
    spit("meta", metafile({rec1}));
    EXPECT_EQ(readmeta("meta", bare), 1);
    EXPECT_EQ(bare->count, 1);
    llfree(bare);
}

TEST_F(Reader, ReadhdrAppendsAtTheEndOfAnyChain) {
    spit("recs", REC REC "END\n");
    FILE* fd = fopen("recs", "r");
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(readhdr(fd, head), 1);
    EXPECT_EQ(readhdr(fd, head), 1);
    EXPECT_EQ(readhdr(fd, head), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readhdr(fd, head), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FILE ERROR: readhdr, error in reading datafile");
    fclose(fd);
    EXPECT_EQ(head->count, 2);
    EXPECT_EQ(head->next->next->no, 2);
}

struct getfcase {
    std::string text;
    std::vector<std::string> lines;
};

class Getf : public ScratchDir, public ::testing::WithParamInterface<getfcase> {};

TEST_P(Getf, SplitsAtNewlineInPiecesOf1023) {
    spit("f", GetParam().text);
    FILE* fd = fopen("f", "r");
    ASSERT_NE(fd, nullptr);
    char line[METALINE + 1];
    for (const std::string& want : GetParam().lines) {
        ASSERT_EQ(getf(fd, line), 1);
        EXPECT_EQ(std::string(line), want);
    }
    EXPECT_EQ(getf(fd, line), -1);
    fclose(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Getf,
    ::testing::Values(getfcase{"", {}}, getfcase{"a\n\nb", {"a", "", "b"}},
                      getfcase{"x\r\n", {"x\r"}},
                      getfcase{std::string(1022, 'a') + "\n", {std::string(1022, 'a')}},
                      getfcase{std::string(1023, 'a') + "\n", {std::string(1023, 'a'), ""}},
                      getfcase{std::string(1500, 'a') + "\nz\n",
                               {std::string(1023, 'a'), std::string(477, 'a'), "z"}}));
