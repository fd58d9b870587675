// msgseq --undo, and -u on a receipt, against a mailbox changed to pass for
// the one the run left: a new file made under the number of one the run
// left (its write time set back or not), before or while an undo stood cut
// short and was given up; a receipt edited to give the run's files each
// other's names, or one file to two records; an old name that is a second
// name of its own file; a receipt in the working directory of a run of
// another index. Each is refused with a line that says what it is, and
// nothing moves.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"
#include "undofixture.h"

namespace {

// A chain: b.msg takes in000.msg's name, which moves on to in001.msg.
const std::vector<std::string> listed = {"b.msg", "in000.msg", "a.msg"};
const char* const receipt = ".meta.msgseq-receipt";
const std::string cant = "msgseq: the last run of 'meta' can't be undone; nothing done\n";
const std::string impostor = "a new message";

using undofix::msgseq;
using undofix::runargs;

std::string astray(int rec, const std::string& now, const std::string& was) {
    return "msgseq: record " + std::to_string(rec) + "'s file is no longer '" + now +
           "', where the last run left it (it listed '" + was + "')\n";
}
std::string misnamed(int rec, const std::string& listed, const std::string& given, bool update) {
    return "msgseq: record " + std::to_string(rec) + " of 'meta' lists '" + listed +
           (update ? "', but the last run's receipt has its file under '"
                   : "', but the last run's receipt puts its file back as '") +
           given + "'\n";
}

// Every name here with its inode and bytes.
std::string state() {
    std::string s;
    for (const std::string& n : listing()) {
        struct stat st {};
        lstat(n.c_str(), &st);
        const std::string bytes = S_ISDIR(st.st_mode) ? "" : slurp(n);
        s += n + " " + std::to_string(st.st_ino) + " " + bytes + "|";
    }
    return s;
}

// The receipt's record lines, from 0, each cut into its fields
// (DEV INO SIZE TIME NOW OLD), and written back.
std::vector<std::vector<std::string>> records() {
    std::istringstream in(slurp(receipt));
    std::vector<std::vector<std::string>> recs;
    std::string line;
    bool on = false;
    while (std::getline(in, line)) {
        if (on) {
            std::istringstream f(line);
            std::vector<std::string> fields(6);
            for (std::string& w : fields) f >> w;
            recs.push_back(fields);
        }
        on = on || line.starts_with("records ");
    }
    return recs;
}
void rewrite(const std::vector<std::vector<std::string>>& recs) {
    std::string t = slurp(receipt);
    t.erase(t.find('\n', t.find("records ")) + 1);
    for (const auto& f : recs)
        t += f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[5] + "\n";
    spit(receipt, t);
}

// name removed and a new file made under it, its write time set back or
// not, and given the old one's number: the system gives a number again
// once its file is gone, as it pleases; here the receipt is told the new
// one instead, which is the same to msgseq. false where the file system
// keeps no birth times, which alone tell it from the one it replaced.
bool reborn(const char* name, bool setback) {
    struct stat was {};
    struct stat now {};
    if (lstat(name, &was) != 0 || unlink(name) != 0) return false;
    spit(name, impostor);
    if (setback) {
        const timespec early[2] = {{1, 0}, {1, 0}};
        if (utimensat(AT_FDCWD, name, early, 0) != 0) return false;
    }
    struct statx sx {};
    if (lstat(name, &now) != 0 || statx(AT_FDCWD, name, 0, STATX_BTIME, &sx) != 0 ||
        !(sx.stx_mask & STATX_BTIME))
        return false;
    auto recs = records();
    for (auto& f : recs)
        if (f[1] == std::to_string(was.st_ino)) f[1] = std::to_string(now.st_ino);
    rewrite(recs);
    // And so is an undo's journal, where one stands cut short.
    const std::string journal = "meta.msgseq-update/journal";
    if (std::string t = slurp(journal); !t.empty()) {
        const std::string from = " " + std::to_string(was.st_ino) + " ";
        const size_t at = t.find(from);
        if (at == std::string::npos) return false;
        spit(journal, t.replace(at, from.size(), " " + std::to_string(now.st_ino) + " "));
    }
    return true;
}

class UndoReview : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        undofix::chainbox(listed);
    }
};

// Done after the run; the undo's status and lines. A row whose since
// returns false does not apply here.
struct reviewrow {
    const char* name;
    bool update;
    bool (*since)();
    int status;
    std::string err;
};
void PrintTo(const reviewrow& row, std::ostream* os) { *os << row.name; }
class UndoChanged : public UndoReview, public ::testing::WithParamInterface<reviewrow> {};

TEST_P(UndoChanged, RefusedAndSaid) {
    const reviewrow& row = GetParam();
    ASSERT_EQ(msgseq(runargs(row.update)).status, 0);
    if (!row.since()) GTEST_SKIP() << "no birth times here";
    const std::string was = state();
    const runresult r = msgseq({"--undo", "meta"});
    std::string err = row.err;
    if (const size_t at = err.find("DIR"); at != std::string::npos) err.replace(at, 3, dir);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(state(), was);
}

// The receipt's OLD names of records 1 and 3 swapped: each file would go
// back under the other's name.
bool oldswapped() {
    auto recs = records();
    std::swap(recs[0][5], recs[2][5]);
    rewrite(recs);
    return true;
}
// Records 1 and 3 given each other's file (its identity and name) in the
// receipt: the index -u left would be put back with each naming the other's.
bool filesswapped() {
    auto recs = records();
    for (int k = 0; k < 5; k++) std::swap(recs[0][k], recs[2][k]);
    rewrite(recs);
    return true;
}

// Record 3 given record 1's file in the receipt, its name kept: one file
// would go back under two names.
bool filetwice() {
    auto recs = records();
    recs[2][1] = recs[0][1];
    recs[2][4] = recs[0][4];
    rewrite(recs);
    return true;
}

// Record 3 given the index, or the receipt itself, in the receipt: the
// undo would rename it.
template <const char* const* name>
bool givenas() {
    struct stat st {};
    if (stat(*name, &st) != 0) return false;
    auto recs = records();
    recs[2][1] = std::to_string(st.st_ino);
    recs[2][4] = *name;
    rewrite(recs);
    return stat(*name, &st) == 0 && recs[2][1] == std::to_string(st.st_ino);
}
const char* const indexname = "meta";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, UndoChanged,
    ::testing::Values(
        reviewrow{"NewFileUnderTheNumberSetBackPlain", false, [] { return reborn("in001.msg", true); }, 2, astray(2, "in001.msg", "in000.msg") + cant},
        reviewrow{"NewFileUnderTheNumberSetBackUpdate", true, [] { return reborn("in001.msg", true); }, 2, astray(2, "in001.msg", "in000.msg") + cant},
        reviewrow{"NewFileUnderTheNumberPlain", false, [] { return reborn("in001.msg", false); }, 2, astray(2, "in001.msg", "in000.msg") + cant},
        reviewrow{"OldNameLinkedToItsFile", false, [] { return link("in002.msg", "a.msg") == 0; }, 2,
                  "msgseq: 'a.msg', where record 3's file goes back, is another name of that file (a hard link)\n" + cant},
        reviewrow{"ReceiptSwapsOldNamesPlain", false, oldswapped, 2,
                  misnamed(1, "b.msg", "a.msg", false) + misnamed(3, "a.msg", "b.msg", false) + cant},
        reviewrow{"ReceiptGivesOneFileTwice", false, filetwice, 2,
                  "msgseq: the last run's receipt gives records 1 and 3 the one name 'in000.msg'\n" + cant},
        reviewrow{"ReceiptGivesTheIndexPlain", false, givenas<&indexname>, 2,
                  "msgseq: the last run's receipt gives record 3 the file 'DIR/meta' as its own\n" + cant},
        reviewrow{"ReceiptGivesItselfPlain", false, givenas<&receipt>, 2,
                  "msgseq: the last run's receipt gives record 3 the file 'DIR/.meta.msgseq-receipt' as its own\n" +
                      astray(3, ".meta.msgseq-receipt", "a.msg") + cant},
        reviewrow{"ReceiptSwapsFilesUpdate", true, filesswapped, 2,
                  misnamed(1, "in000.msg", "in002.msg", true) + misnamed(3, "in002.msg", "in000.msg", true) + cant}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A plain run's receipt, and a new file made under the number of one of
// its files since: -u would give record 2's fields to that file, and a
// second plain run would take the run for done; each names it, and
// nothing changes.
TEST_F(UndoReview, NewFileUnderTheNumberIsNotTheRunsOnRerun) {
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    if (!reborn("in001.msg", false)) GTEST_SKIP() << "no birth times here";
    const std::string was = state();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-u", "meta"}, std::vector<std::string>{"meta"}}) {
        SCOPED_TRACE(args.size());
        const runresult r = msgseq(args);
        EXPECT_EQ(r.err, astray(2, "in001.msg", "in000.msg") +
                             "msgseq: 'meta' still lists the names the last run changed, but its "
                             "files have moved since; nothing done; 'mailbox rebuild meta' makes "
                             "the index again from the files\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(state(), was);
    }
}

// A run of an index kept elsewhere, whose receipt went to the working
// directory for want of room beside it: an undo of another index here
// says it may be another's, not that it changed.
TEST_F(UndoReview, SpareReceiptOfAnotherIndex) {
    ASSERT_EQ(mkdir("idx", 0700), 0);
    spit("idx/meta", plainindex(listed));
    ASSERT_EQ(msgseq({"idx/meta"}, {"FSFAULT_FAIL=mkdir:meta.msgseq-update:EACCES"}).status, 0);
    ASSERT_TRUE(exists(".msgseq-receipt"));
    spit("other.meta", plainindex({"c.msg"}));
    const std::string was = state();
    const runresult r = msgseq({"--undo", "other.meta"});
    EXPECT_EQ(r.err,
              "msgseq: 'other.meta' is not the index the last run here left (by its receipt '" +
                  dir +
                  "/.msgseq-receipt', which is this directory's): it is another "
                  "index, or it has changed since\n"
                  "msgseq: the last run of 'other.meta' can't be undone; nothing done\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(state(), was);
    EXPECT_EQ(msgseq({"--undo", "idx/meta"}).status, 0);
    EXPECT_EQ(slurp("b.msg"), "msg b.msg");
}

// An undo killed once it has put b.msg and a.msg back, a new file made
// under b.msg's number meanwhile, its write time set back, the undo given
// up: --abort puts that file where the run left b.msg's, and the next undo
// still tells it from the run's own by its birth.
TEST_F(UndoReview, AbortKeepsANewFileUnderAMovedOnesNumberOut) {
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "plain");
        ASSERT_EQ(msgseq(runargs(update)).status, 0);
        ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:a.msg"}).status,
                  128 + SIGKILL);
        if (!reborn("b.msg", true)) GTEST_SKIP() << "no birth times here";
        const runresult a = msgseq({"--abort", "meta"});
        ASSERT_EQ(a.err + std::to_string(a.status), "0");
        ASSERT_EQ(slurp("in000.msg"), impostor);
        const std::string was = state();
        const runresult r = msgseq({"--undo", "meta"});
        EXPECT_EQ(r.err, astray(1, "in000.msg", "b.msg") + cant);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(state(), was);
        // Put back by hand, as the refusal leaves it to the user.
        ASSERT_EQ(rename("in000.msg", "b.msg"), 0);
        ASSERT_EQ(rename("in001.msg", "in000.msg"), 0);
        ASSERT_EQ(rename("in002.msg", "a.msg"), 0);
        ASSERT_EQ(unlink(receipt), 0);
        (void)unlink(".meta.msgseq-before");
        spit("meta", plainindex(listed));
    }
}

}  // namespace
