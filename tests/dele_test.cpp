#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "mailbox/datafile.h"
#include "mailbox/dele.h"
#include "mailbox/ll.h"
#include "testutil.h"

namespace {

using listptr = std::unique_ptr<llnode, decltype(&llfree)>;

const std::string CALL = "CALL: delfile (llcur = OMITTED, llstart = OMITTED)";

// A head and one record per name, numbered 1 to n, with the given statuses.
listptr mklist(const std::vector<std::string>& names, const std::vector<int>& statuses) {
    listptr head(llnew(), llfree);
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    for (size_t i = 0; i < names.size(); i++) {
        llnode* rec = llnew();
        llfill(rec, names[i].c_str(), "to", "from", "subject", "", "", statuses[i], MSGNEW,
               head->count + 1);
        lladd(rec, head.get());
    }
    return head;
}

std::vector<int> statuses(const llnode* head) {
    std::vector<int> out;
    for (const llnode* rec = head; rec; rec = rec->next) out.push_back(rec->status);
    return out;
}

// The chain keeps its records, numbers and count, whatever the marks did.
void expectshape(const llnode* head, int count) {
    EXPECT_EQ(head->count, count);
    int no = 0;
    for (const llnode* rec = head; rec; rec = rec->next) EXPECT_EQ(rec->no, no++);
    EXPECT_EQ(no, count + 1);
}

struct marking {
    const char* label;
    std::function<void(llnode*)> act;
    std::vector<int> want;  // head first
};

void PrintTo(const marking& c, std::ostream* os) { *os << c.label; }

class Marks : public testing::TestWithParam<marking> {};

TEST_P(Marks, SetStatusOnlyAndSayNothing) {
    listptr head = mklist({"a", "b", "c"}, {ACTIVE, ACTIVE, ACTIVE});
    testing::internal::CaptureStdout();
    GetParam().act(head.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(statuses(head.get()), GetParam().want);
    expectshape(head.get(), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Marks,
    testing::Values(
        marking{"delete", [](llnode* h) { delmail(2, h); }, {IGNORE, ACTIVE, DELETED, ACTIVE}},
        marking{"delete_twice", [](llnode* h) { delmail(2, h);
                                      delmail(2, h); },
                {IGNORE, ACTIVE, DELETED, ACTIVE}},
        marking{"delete_then_undelete", [](llnode* h) { delmail(3, h);
                                      udelmail(3, h); },
                {IGNORE, ACTIVE, ACTIVE, ACTIVE}},
        marking{"undelete_active", [](llnode* h) { udelmail(1, h); },
                {IGNORE, ACTIVE, ACTIVE, ACTIVE}},
        marking{"past_the_end", [](llnode* h) { delmail(4, h);
                                      udelmail(-1, h); },
                {IGNORE, ACTIVE, ACTIVE, ACTIVE}},
        marking{"undelete_head", [](llnode* h) { udelmail(0, h); },
                {ACTIVE, ACTIVE, ACTIVE, ACTIVE}},
        marking{"delete_head", [](llnode* h) { delmail(0, h); },
                {DELETED, ACTIVE, ACTIVE, ACTIVE}}),
    [](const auto& info) { return std::string(info.param.label); });

class Purge : public ScratchDir {
protected:
    // Message files for the names given, each holding its own name.
    static void make(const std::vector<std::string>& names) {
        for (const auto& n : names) spit(n, n);
    }

    static std::pair<int, std::string> purge(llnode* head) {
        testing::internal::CaptureStdout();
        const int rc = prgemail(head);
        return {rc, testing::internal::GetCapturedStdout()};
    }
};

// delfile names the file by the record alone, in the working directory; the
// owner's path plays no part, and names that lead out of the directory are
// refused.
TEST_F(Purge, DeleteFileByNameInWorkingDirectory) {
    struct {
        std::string name;
        bool made;
        int rc;
    } const cases[] = {
        {"in000.msg", true, 1}, {"gone.msg", false, -1}, {"sub/x.msg", true, -1},
        {"..", false, -1},      {"", false, -1},
    };
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(mkdir("owner", 0755), 0);
    spit("owner/in000.msg", "kept");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.made) spit(c.name, "x");
        listptr head = mklist({c.name}, {DELETED});
        llsetfield(head->mydata->mypath, sizeof head->mydata->mypath, "owner");
        testing::internal::CaptureStdout();
        EXPECT_EQ(delfile(head->next, head.get()), c.rc);
        const std::string fail = "FILE ERROR: delfile, error in deleting file " + c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.rc == 1 ? CALL : CALL + fail);
        if (c.made) {
            EXPECT_EQ(exists(c.name), c.rc != 1);
        }
    }
    EXPECT_EQ(slurp("owner/in000.msg"), "kept");
}

TEST_F(Purge, NothingMarkedRemovesNothing) {
    make({"a.msg", "b.msg"});
    listptr head = mklist({"a.msg", "b.msg"}, {ACTIVE, ACTIVE});
    EXPECT_EQ(purge(head.get()), std::make_pair(1, std::string()));
    EXPECT_EQ(listing(), (std::set<std::string>{"a.msg", "b.msg"}));
}

TEST_F(Purge, RemovesEveryMarkedFileAndKeepsTheRecords) {
    make({"a.msg", "b.msg", "c.msg"});
    listptr head = mklist({"a.msg", "b.msg", "c.msg"}, {DELETED, ACTIVE, DELETED});
    EXPECT_EQ(purge(head.get()), std::make_pair(1, CALL + CALL));
    EXPECT_EQ(listing(), std::set<std::string>{"b.msg"});
    EXPECT_EQ(statuses(head.get()), (std::vector<int>{IGNORE, DELETED, ACTIVE, DELETED}));
    expectshape(head.get(), 3);
}

// A file already gone stops the purge there: earlier files are gone, later
// ones stay.
TEST_F(Purge, StopsAtFirstFileThatCannotGo) {
    make({"a.msg", "c.msg"});
    listptr head = mklist({"a.msg", "b.msg", "c.msg"}, {DELETED, DELETED, DELETED});
    EXPECT_EQ(purge(head.get()),
              std::make_pair(-1, CALL + CALL +
                                     "FILE ERROR: delfile, error in deleting file b.msg"
                                     "FILE ERROR: prgemail, error in deleting message file b.msg"));
    EXPECT_EQ(listing(), std::set<std::string>{"c.msg"});
    EXPECT_EQ(statuses(head.get()), (std::vector<int>{IGNORE, DELETED, DELETED, DELETED}));
}

TEST_F(Purge, NullListPurgesNothing) {
    EXPECT_EQ(purge(nullptr), std::make_pair(1, std::string()));
}

}  // namespace
