// msgseq --undo and the receipt's fence: a file written while an undo stood
// cut short is still a change once --abort has put the files back, and what
// changes nothing of a message (its access time set back, a second name
// elsewhere) does not keep the run from being undone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "mailbox/receipt.h"
#include "testutil.h"
#include "undofixture.h"

namespace {

// A chain: b.msg takes in000.msg's name, which moves on to in001.msg.
const std::vector<std::string> listed = {"b.msg", "in000.msg", "a.msg"};
const std::string written = "written while the undo stood cut short";

using undofix::msgseq;
using undofix::runargs;

class Fence : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        undofix::chainbox(listed);
    }
};

// An undo killed once it has put a.msg back (b.msg too; in001.msg, the file
// in000.msg was, not yet), a file written meanwhile, the undo given up: the
// next undo finds that file changed since the run, and moves nothing.
struct abortrow {
    const char* name;
    bool update;
    const char* file;  // written while cut short: under its name then
    const char* back;  // and its name once --abort has put it back
};
void PrintTo(const abortrow& row, std::ostream* os) { *os << row.name; }
class FenceAbort : public Fence, public ::testing::WithParamInterface<abortrow> {};

TEST_P(FenceAbort, ChangeWhileCutShortStays) {
    const abortrow& row = GetParam();
    ASSERT_EQ(msgseq(runargs(row.update)).status, 0);
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:a.msg"}).status, 128 + SIGKILL);
    ASSERT_TRUE(exists(row.file));
    spit(row.file, written);
    const runresult a = msgseq({"--abort", "meta"});
    ASSERT_EQ(a.err + std::to_string(a.status), "0");
    ASSERT_EQ(slurp(row.back), written);
    const runresult r = msgseq({"--undo", "meta"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(slurp(row.back), written);
    std::set<std::string> left = {"meta", "in000.msg", "in001.msg", "in002.msg",
                                  ".meta.msgseq-receipt"};
    if (row.update) left.insert(".meta.msgseq-before");
    EXPECT_EQ(listing(), left);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FenceAbort,
    ::testing::Values(
        abortrow{"UntouchedPlain", false, "in001.msg", "in001.msg"},
        abortrow{"UntouchedUpdate", true, "in001.msg", "in001.msg"},
        abortrow{"MovedPlain", false, "b.msg", "in000.msg"},
        abortrow{"MovedUpdate", true, "b.msg", "in000.msg"}),
    [](const auto& info) { return std::string(info.param.name); });

// An undo given up leaves the receipt's fence as it was, and its second time
// no earlier than the moves back, whatever second the run was in (here the
// run's fence and second time are set ten seconds back first); where files
// have birth times, which tell the moves back from new files, as it was.
TEST_F(Fence, AbortSettlesTheReceiptAnew) {
    const char* const receipt = ".meta.msgseq-receipt";
    auto tie = [](const timespec& t) { return std::make_tuple(int64_t(t.tv_sec), long(t.tv_nsec)); };
    ASSERT_EQ(msgseq(runargs(true)).status, 0);
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:a.msg"}).status, 128 + SIGKILL);
    rcpt r;
    std::string why, text = slurp(receipt);
    bool absent = false;
    ASSERT_TRUE(rcptread(receipt, &r, &why, &absent)) << why;
    ASSERT_TRUE(r.fenced);
    const timespec fence{r.fence.tv_sec - 10, r.fence.tv_nsec};
    const std::string back = std::to_string(fence.tv_sec) + "." + std::to_string(fence.tv_nsec);
    const size_t at = text.find("\nfence ");
    ASSERT_NE(at, std::string::npos);
    spit(receipt, text.replace(at, text.find('\n', at + 1) - at, "\nfence " + back + " " + back));
    const runresult a = msgseq({"--abort", "meta"});
    ASSERT_EQ(a.err + std::to_string(a.status), "0");
    rcpt now;
    ASSERT_TRUE(rcptread(receipt, &now, &why, &absent)) << why;
    ASSERT_TRUE(now.fenced);
    EXPECT_EQ(tie(now.fence), tie(fence));
    struct statx sx {};
    ASSERT_EQ(statx(AT_FDCWD, "in000.msg", 0, STATX_BTIME, &sx), 0);
    if (sx.stx_mask & STATX_BTIME) {
        EXPECT_EQ(tie(now.settled), tie(fence));
        return;
    }
    for (const char* n : {"in000.msg", "in001.msg", "in002.msg"}) {
        struct stat st {};
        ASSERT_EQ(lstat(n, &st), 0) << n;
        EXPECT_LE(tie(st.st_ctim), tie(now.settled)) << n;
    }
}

// Done to a file after the run, changing none of its bytes or its name.
struct harmlessrow {
    const char* name;
    void (*since)();
};
void PrintTo(const harmlessrow& row, std::ostream* os) { *os << row.name; }
class FenceHarmless : public Fence, public ::testing::WithParamInterface<harmlessrow> {};

TEST_P(FenceHarmless, StillUndone) {
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "plain");
        ASSERT_EQ(msgseq(runargs(update)).status, 0);
        GetParam().since();
        const runresult r = msgseq({"--undo", "meta"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp("in000.msg"), "msg in000.msg");
        EXPECT_EQ(slurp("b.msg"), "msg b.msg");
        EXPECT_EQ(slurp("a.msg"), "msg a.msg");
        (void)unlink("held");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FenceHarmless,
    ::testing::Values(
        // As an archiver that reads a file puts its access time back.
        harmlessrow{"AccessTimeSetBack", [] {
                        struct stat st {};
                        ASSERT_EQ(lstat("in001.msg", &st), 0);
                        const timespec times[2] = {st.st_atim, {0, UTIME_OMIT}};
                        ASSERT_EQ(utimensat(AT_FDCWD, "in001.msg", times, 0), 0);
                    }},
        // The same bytes written again in place, its times put back.
        harmlessrow{"FileWrittenBackToItsSizeAndTime", [] {
                        struct stat st {};
                        ASSERT_EQ(lstat("in001.msg", &st), 0);
                        spit("in001.msg", "msg in000.msg");
                        const timespec times[2] = {st.st_atim, st.st_mtim};
                        ASSERT_EQ(utimensat(AT_FDCWD, "in001.msg", times, 0), 0);
                    }},
        // A second name, as a snapshot by hard links gives it.
        harmlessrow{"LinkedElsewhereAndUnlinked", [] {
                        ASSERT_EQ(link("in001.msg", "held"), 0);
                        ASSERT_EQ(unlink("held"), 0);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
