#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mailbox/ll.h"

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
