#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mailbox/ll.h"
#include "testutil.h"

namespace {

// A head with n records numbered 1..n, appended with lladd.
llnode* chain(int n) {
    llnode* head = llnew();
    for (int i = 1; i <= n; i++) {
        llnode* rec = llnew();
        // Appended rather than "m" + std::to_string(i): g++ 12 at -O3 reports
        // a false -Wrestrict on the concatenation.
        std::string name = "m";
        name += std::to_string(i);
        name += ".msg";
        llfill(rec, name.c_str(), "to", "from", "subject", "cc", "bcc", ACTIVE, MSGREAD, i);
        lladd(rec, head);
    }
    return head;
}

struct listfree {
    void operator()(llnode* p) const { llfree(p); }
};
using listptr = std::unique_ptr<llnode, listfree>;

}  // namespace

TEST(LlNew, IsZeroFilledIgnoreAndNew) {
    listptr rec(llnew());
    EXPECT_EQ(rec->status, IGNORE);
    EXPECT_EQ(rec->read, MSGNEW);
    EXPECT_EQ(rec->no, 0);
    EXPECT_EQ(rec->count, 0);
    EXPECT_EQ(rec->mydata, nullptr);
    EXPECT_EQ(rec->next, nullptr);
    for (const char* s : {rec->datafile, rec->to, rec->from, rec->subject, rec->cc, rec->bcc})
        EXPECT_STREQ(s, "");
}

TEST(LlInit, MakesTwoDistinctHeadsWithOwnerBlocks) {
    llinit();
    ASSERT_NE(inlist, nullptr);
    ASSERT_NE(outlist, nullptr);
    EXPECT_NE(inlist, outlist);
    EXPECT_EQ(inlist->count, 0);
    EXPECT_EQ(outlist->count, 0);
    ASSERT_NE(inlist->mydata, nullptr);
    ASSERT_NE(outlist->mydata, nullptr);
    EXPECT_NE(inlist->mydata, outlist->mydata);
    EXPECT_STREQ(inlist->mydata->mypath, "");
    EXPECT_STREQ(inlist->mydata->myaddr, "");
    EXPECT_EQ(currlist, nullptr);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
}

TEST(LlFill, CopiesStringsAndCodesButNotLinks) {
    listptr head(llnew());
    listptr rec(llnew());
    rec->count = 9;
    rec->next = head.get();
    llfill(rec.get(), "a.msg", "to", "from", "subj", "cc", "bcc", DELETED, MSGREAD, 4);
    EXPECT_STREQ(rec->datafile, "a.msg");
    EXPECT_STREQ(rec->to, "to");
    EXPECT_STREQ(rec->from, "from");
    EXPECT_STREQ(rec->subject, "subj");
    EXPECT_STREQ(rec->cc, "cc");
    EXPECT_STREQ(rec->bcc, "bcc");
    EXPECT_EQ(rec->status, DELETED);
    EXPECT_EQ(rec->read, MSGREAD);
    EXPECT_EQ(rec->no, 4);
    EXPECT_EQ(rec->count, 9);
    EXPECT_EQ(rec->next, head.get());
    rec->next = nullptr;
}

TEST(LlFill, CutsOverlongStringsToTheirField) {
    listptr rec(llnew());
    std::string longname(40, 'n');
    std::string longtext(500, 't');
    // The bytes after each field must survive: fill a neighbour first.
    llfill(rec.get(), longname.c_str(), longtext.c_str(), "from", longtext.c_str(), "cc",
           longtext.c_str(), ACTIVE, MSGNEW, 1);
    EXPECT_EQ(std::string(rec->datafile), std::string(12, 'n'));
    EXPECT_EQ(std::string(rec->to), std::string(99, 't'));
    EXPECT_STREQ(rec->from, "from");
    EXPECT_EQ(std::string(rec->subject), std::string(99, 't'));
    EXPECT_STREQ(rec->cc, "cc");
    EXPECT_EQ(std::string(rec->bcc), std::string(99, 't'));
    EXPECT_EQ(rec->status, ACTIVE);
}

// A field cut at its size keeps whole characters of a valid UTF-8 string and
// size - 1 bytes of anything else.
struct setcase {
    const char* name;
    std::string src;
    size_t size;
    std::string want;
};

void PrintTo(const setcase& c, std::ostream* os) { *os << c.name; }

class LlSetfield : public ::testing::TestWithParam<setcase> {};

TEST_P(LlSetfield, CutsAtAWholeCharacterOfUtf8) {
    const setcase& c = GetParam();
    char field[128];
    memset(field, 'x', sizeof field);
    llsetfield(field, c.size, c.src.c_str());
    EXPECT_EQ(std::string(field), c.want);
}

const std::string ya = "\xd1\x8f";                // a Cyrillic letter, 2 bytes
const std::string grin = "\xf0\x9f\x98\x80";      // 4 bytes
const std::string cyr60 = times(60, ya);          // 120 bytes
const std::string bytes99 = cyr60.substr(0, 99);  // ends in half a letter

INSTANTIATE_TEST_SUITE_P(
    Cases, LlSetfield,
    ::testing::Values(
        setcase{"cyrillic_60", cyr60, 100, times(49, ya)},
        setcase{"four_bytes_straddle", std::string(97, 'a') + grin, 100, std::string(97, 'a')},
        setcase{"four_bytes_fit", std::string(95, 'a') + grin, 100, std::string(95, 'a') + grin},
        setcase{"three_bytes_straddle", std::string(98, 'a') + "\xe2\x82\xac", 100,
                std::string(98, 'a')},
        setcase{"small_field", ya + ya, 4, ya},
        setcase{"latin1_cut_as_before", cyr60 + "\xe9t\xe9", 100, bytes99},
        setcase{"cut_char_at_end", cyr60 + "\xd1", 100, bytes99},
        setcase{"surrogate", cyr60 + "\xed\xa0\x80", 100, bytes99},
        setcase{"overlong", cyr60 + "\xc0\x80", 100, bytes99},
        setcase{"overlong_three", cyr60 + "\xe0\x9f\xbf", 100, bytes99},
        setcase{"past_10ffff", cyr60 + "\xf4\x90\x80\x80", 100, bytes99},
        setcase{"largest_char", cyr60 + "\xf4\x8f\xbf\xbf", 100, times(49, ya)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LlFill, NullStringsAreEmpty) {
    listptr rec(llnew());
    llfill(rec.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, ACTIVE, MSGNEW, 1);
    EXPECT_STREQ(rec->datafile, "");
    EXPECT_STREQ(rec->bcc, "");
}

TEST(LlAdd, AppendsInOrderAndCountsOnTheHead) {
    listptr head(chain(3));
    EXPECT_EQ(head->count, 3);
    const llnode* r = head->next;
    for (int i = 1; i <= 3; i++, r = r->next) {
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->no, i);
        EXPECT_EQ(r->count, 0);
    }
    EXPECT_EQ(r, nullptr);
}

TEST(LlAdd, CountsOnTheRecordGivenAsStart) {
    listptr head(chain(2));
    llnode* extra = llnew();
    lladd(extra, head->next);  // start in the middle
    EXPECT_EQ(head->next->count, 1);
    EXPECT_EQ(head->count, 2);
    EXPECT_EQ(lltail(head.get()), extra);
}

TEST(LlNofind, SearchesFromTheStartItself) {
    listptr head(chain(3));
    EXPECT_EQ(llnofind(0, head.get()), head.get());
    EXPECT_EQ(llnofind(2, head.get()), head->next->next);
    EXPECT_EQ(llnofind(4, head.get()), nullptr);
    EXPECT_EQ(llnofind(-1, head.get()), nullptr);
    EXPECT_EQ(llnofind(1, head->next->next), nullptr);  // behind the start
}

TEST(LlCopy, CopiesStringsOnly) {
    listptr a(chain(1));
    listptr b(llnew());
    b->status = DELETED;
    b->read = MSGREAD;
    b->no = 7;
    b->count = 3;
    llcopy(b.get(), a->next);
    EXPECT_STREQ(b->datafile, "m1.msg");
    EXPECT_STREQ(b->to, "to");
    EXPECT_STREQ(b->bcc, "bcc");
    EXPECT_EQ(b->status, DELETED);
    EXPECT_EQ(b->read, MSGREAD);
    EXPECT_EQ(b->no, 7);
    EXPECT_EQ(b->count, 3);
    EXPECT_EQ(b->mydata, nullptr);
    EXPECT_EQ(b->next, nullptr);
    llcopy(b.get(), b.get());  // onto itself: unchanged
    EXPECT_STREQ(b->subject, "subject");
}

TEST(LlFree, HeadWithoutOwnerBlockAndNull) {
    llfree(chain(5));  // sanitizers report any leak or bad free
    llfree(nullptr);
}

struct validcase {
    const char* name;
    int mailno;
    int32_t status;  // given to record 2
    int result;
    const char* printed;
};

void PrintTo(const validcase& c, std::ostream* os) { *os << c.name; }

class LlValid : public ::testing::TestWithParam<validcase> {};

TEST_P(LlValid, AnswersAndExplains) {
    const validcase& c = GetParam();
    listptr head(chain(3));
    head->next->next->status = c.status;
    testing::internal::CaptureStdout();
    EXPECT_EQ(llvalid(c.mailno, head.get()), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlValid,
    ::testing::Values(validcase{"first", 1, ACTIVE, 1, ""}, validcase{"second", 2, ACTIVE, 1, ""},
                      validcase{"deleted", 2, DELETED, 0, "2 is not an active message"},
                      validcase{"ignored", 2, IGNORE, 0, "2 is not an active message"},
                      validcase{"head", 0, ACTIVE, 0, "0 is not an active message"},
                      validcase{"past_the_end", 4, ACTIVE, 0, "4 is not a valid message"},
                      validcase{"negative", -3, ACTIVE, 0, "-3 is not a valid message"}),
    [](const auto& info) { return std::string(info.param.name); });
