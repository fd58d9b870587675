// msgseq --undo: the last finished run put back from its receipt (files by
// inode, the index byte for byte), or, when the mailbox is not as that run
// left it, each change named and nothing touched; cut short, finished by
// running it again, or given up by --abort until the index is put back.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"
#include "undofixture.h"

namespace {

// A chain (b.msg takes in000.msg's name, which moves on) and a missing file.
const std::vector<std::string> listed = {"b.msg", "in000.msg", "a.msg", "gone.msg"};
const std::string x = "x.msg\nto\nfrom\nsubj\n\n\nN\n";
const std::string cant = "msgseq: the last run of 'meta' can't be undone; nothing done\n";
const char* const receipt = ".meta.msgseq-receipt";
const std::string undone =
    "msgseq: 3 renamed, 0 already in place, 1 missing, 0 refused, of 4 records\n";
const std::string back = "msgseq: the last run of 'meta' is undone: 3 files back under their old names\n";

using undofix::msgseq;
using undofix::runargs;
std::string withrecord(std::string index, const std::string& rec) {
    return index.insert(index.size() - 4, rec);
}
// Every name here, dot files too, with its inode and bytes; or only the
// messages the mailbox began with. A terabyte of hole is known by its size
// and the time it was last written.
std::string state(bool messages = false) {
    std::string s;
    for (const std::string& n : listing()) {
        if (messages && (!n.ends_with(".msg") || n == "x.msg")) continue;
        struct stat st {};
        lstat(n.c_str(), &st);
        s += n + " " + std::to_string(st.st_ino) + " ";
        s += st.st_size < (1 << 20) ? slurp(n)
                                    : std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec);
        s += "|";
    }
    return s;
}

// The same state with the receipt's fence and inode left out: an undo
// given up gives the receipt a new fence.
std::string unfenced(std::string s) {
    const size_t at = s.find(".meta.msgseq-receipt ");
    if (at == std::string::npos) return s;
    const size_t ino = at + strlen(".meta.msgseq-receipt ");
    s.erase(ino, s.find(' ', ino) - ino);
    const size_t fence = s.find("fence ", at);
    if (fence != std::string::npos) s.erase(fence + 6, s.find('\n', fence) - fence - 6);
    return s;
}

// A receipt as the release before wrote it: no fence.
void older(const char* path) {
    std::string t = slurp(path);
    const size_t fence = t.find("fence ");
    ASSERT_EQ(t.compare(0, 17, "msgseq receipt 3\n"), 0);
    ASSERT_NE(fence, std::string::npos);
    t.erase(fence, t.find('\n', fence) + 1 - fence);
    spit(path, t.replace(15, 1, "1"));
}

class Undo : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        undofix::chainbox(listed);
        before = state(true);
    }
    // Each message back under its listed name, the same file, the index
    // index, and no receipt, kept index or work directory left.
    void expectback(const std::string& index) {
        EXPECT_EQ(slurp("meta"), index);
        EXPECT_EQ(state(true), before);
        for (const std::string& n : listing()) EXPECT_TRUE(n == "meta" || n.ends_with(".msg")) << n;
    }
    std::string before;
};

// The mailbox after a run, changed or not since, and what --undo does.
struct undorow {
    const char* name;
    bool update;
    void (*since)();
    int status;
    std::string err;         // DIR: the scratch directory
    std::string index = {};  // when put back: the index expected
};
void PrintTo(const undorow& row, std::ostream* os) { *os << row.name; }
class UndoState : public Undo, public ::testing::WithParamInterface<undorow> {};

TEST_P(UndoState, PutBackOrNothingChanged) {
    const undorow& row = GetParam();
    ASSERT_EQ(msgseq(runargs(row.update)).status, 3);
    row.since();
    const std::string was = state();
    const runresult r = msgseq({"--undo", "meta"});
    std::string err = row.err;
    for (size_t at; (at = err.find("DIR")) != std::string::npos;) err.replace(at, 3, dir);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, "");
    if (row.index.empty())
        EXPECT_EQ(state(), was);
    else
        expectback(row.index);
}

void nothing() {}
void deliver() {
    spit("meta", withrecord(slurp("meta"), x));
    spit("x.msg", "msg x.msg");
}
void edit(const std::string& path, const std::string& from, const std::string& to) {
    std::string t = slurp(path);
    const size_t at = t.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    spit(path, t.replace(at, from.size(), to));
}
// name swapped for a link to itself, moved aside.
void linked(const char* name) {
    rename(name, "t");
    symlink("t", name);
}
std::string astray(int rec, const std::string& now, const std::string& was) {
    return "msgseq: record " + std::to_string(rec) + "'s file is no longer '" + now +
           "', where the last run left it (it listed '" + was + "')\n" + cant;
}
// The same file by its number, written since.
std::string rewrote(int rec, const std::string& now, const std::string& was) {
    return "msgseq: record " + std::to_string(rec) + "'s file '" + now +
           "' has changed since the last run left it there (it listed '" + was + "')\n" + cant;
}
std::string copy(const std::string& why) {
    return "msgseq: the copy 'DIR/.meta.msgseq-before' of the index the last run replaced " + why +
           "\n" + cant;
}
std::string untrusted(const std::string& why) {
    return "msgseq: cannot undo the last run of 'meta': its receipt 'DIR/.meta.msgseq-receipt' "
           "can't be trusted (" +
           why + "); nothing done\n";
}
// The receipt's fence given a whole second of nanoseconds.
void wholesecond() {
    std::string t = slurp(receipt);
    const size_t dot = t.find('.', t.find("\nfence "));
    ASSERT_NE(dot, std::string::npos);
    spit(receipt, t.replace(dot + 1, t.find(' ', dot) - dot - 1, "1000000000"));
}
std::string unchecked(const std::string& why) {
    return "msgseq: 'meta' can't be checked against the last run's receipt: " + why + "\n" + cant;
}
// The receipt of a run that could not sum the index it left.
void unsummed() {
    std::string t = slurp(receipt);
    const size_t at = t.find("\nbefore ") + 8;
    ASSERT_NE(at, std::string::npos + 8);
    spit(receipt, t.replace(at, t.find('\n', at) - at, "-"));
}
const std::string changed =
    "msgseq: 'meta' is not the index the last run left: it has changed since\n" + cant;
const std::string flagged = [] {
    std::string t = plainindex(listed);
    return t.replace(t.find("N\nin000.msg"), 1, "R");
}();

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Undo, UndoState,
    ::testing::Values(
        undorow{"Plain", false, nothing, 0, undone + back, plainindex(listed)},
        undorow{"Update", true, nothing, 0, undone + back, plainindex(listed)},
        undorow{"DeliveryAfterPlainStays", false, deliver, 0, undone + back, withrecord(plainindex(listed), x)},
        undorow{"DeliveryAfterUpdateStays", true, deliver, 0, undone + back, withrecord(plainindex(listed), x)},
        undorow{"ReadFlagSinceStays", true, [] { edit("meta", "N\nin001.msg", "R\nin001.msg"); }, 0, undone + back, flagged},
        undorow{"FileWrittenSince", true, [] { spit("in001.msg", "written since"); }, 2, rewrote(2, "in001.msg", "in000.msg")},
        undorow{"FileWrittenSincePlain", false, [] { spit("in001.msg", "written since"); }, 2, rewrote(2, "in001.msg", "in000.msg")},
        undorow{"FileSwapped", false, [] { spit("t", "new"); rename("t", "in001.msg"); }, 2, astray(2, "in001.msg", "in000.msg")},
        undorow{"SymlinkSwappedIn", false, [] { linked("in002.msg"); }, 2, astray(3, "in002.msg", "a.msg")},
        undorow{"FileRenamedByHand", false, [] { rename("in000.msg", "y.msg"); }, 2, astray(1, "in000.msg", "b.msg")},
        undorow{"NameTaken", false, [] { spit("a.msg", "new"); }, 2, "msgseq: 'a.msg', where record 3's file goes back, is taken by another file\n" + cant},
        undorow{"StaleIndex", false, [] { edit("meta", "subj", "other"); }, 2, changed},
        undorow{"IndexPutBackByHand", true, [] { spit("meta", plainindex(listed)); }, 2, changed},
        undorow{"AddedRecordNamesAName", true, [] { spit("meta", withrecord(slurp("meta"), "a.msg\n\n\n\n\n\nN\n")); }, 2,
                "msgseq: record 5 of 'meta', added after the last run, lists 'a.msg', a name the undo changes\n" + cant},
        undorow{"KeptIndexChanged", true, [] { edit(".meta.msgseq-before", "b.msg", "c.msg"); }, 2, copy("is not that index")},
        undorow{"KeptIndexALink", true, [] { linked(".meta.msgseq-before"); }, 2, copy("it is a symbolic link")},
        undorow{"KeptIndexLinkedElsewhere", true, [] { link(".meta.msgseq-before", "held"); }, 2, copy("has another link (2 names in all)")},
        undorow{"KeptIndexGone", true, [] { unlink(".meta.msgseq-before"); }, 2, copy("is not there")},
        undorow{"ReceiptOfAnOlderRelease", true, [] { older(receipt); edit(receipt, "kept .meta.msgseq-before\n", ""); }, 2,
                "msgseq: the last run of 'meta' was an update whose receipt keeps no copy of the index it replaced, which can't be put back; nothing done\n"},
        undorow{"PlainReceiptOfAnOlderRelease", false, [] { older(receipt); }, 0, undone + back, plainindex(listed)},
        undorow{"FenceOfAWholeSecond", false, wholesecond, 2,
                untrusted("it is not in a form msgseq writes")},
        undorow{"KeptLineInAPlainReceipt", false, [] { edit(receipt, "\nrecords ", "\nkept .meta.msgseq-before\nrecords "); }, 2,
                untrusted("it is not in a form msgseq writes")},
        undorow{"ReceiptNamesOutside", false, [] { edit(receipt, "in002.msg", "../a.msg"); }, 2,
                untrusted("it names '../a.msg', which is not a plain name in this directory")},
        undorow{"KeptNameOutside", true, [] { edit(receipt, "kept .meta", "kept ../.meta"); }, 2,
                untrusted("it names '../.meta.msgseq-before', which is not a plain name in this directory")},
        undorow{"ReceiptALink", false, [] { linked(receipt); }, 2, untrusted("it is a symbolic link")},
        undorow{"ReceiptAnotherUsers", false, [] { chown(receipt, 65534, 65534); }, 2, untrusted("it belongs to another user")},
        undorow{"JournalPlanted", false, [] { mkdir("meta.msgseq-update", 0700); spit("meta.msgseq-update/journal", "msgseq undo journal 1\nrun plain\ndir 1 1\nreceipt ../r\n"); }, 2,
                "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': not in a form msgseq writes; nothing done\n"},
        undorow{"IndexWithATerabyteHole", false, [] { ASSERT_EQ(truncate("meta", off_t{1} << 40), 0); }, 2, unchecked("File too large")},
        undorow{"IndexNotSummed", false, unsummed, 2, unchecked("the run could not sum it")},
        undorow{"KeptIndexATerabyteHole", true, [] { ASSERT_EQ(truncate(".meta.msgseq-before", off_t{1} << 40), 0); }, 2,
                copy("can't be read: File too large")},
        undorow{"JournalATerabyteHole", false, [] { mkdir("meta.msgseq-update", 0700); spit("meta.msgseq-update/journal", ""); ASSERT_EQ(truncate("meta.msgseq-update/journal", off_t{1} << 40), 0); }, 2,
                "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': File too large; nothing done\n"},
        undorow{"ReceiptGone", false, [] { unlink(receipt); }, 0, "msgseq: nothing to undo: no finished run of 'meta' is left\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Undo, SecondUndoHasNothingToDoAndRunsRenumberAgain) {
    for (const bool update : {false, true}) {
        ASSERT_EQ(msgseq(runargs(update)).status, 3);
        ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
        const runresult again = msgseq({"--undo", "meta"});
        EXPECT_EQ(again.err, "msgseq: nothing to undo: no finished run of 'meta' is left\n");
        EXPECT_EQ(again.status, 0);
        expectback(plainindex(listed));
        // The index lists the old names again: a run renumbers as at first.
        EXPECT_EQ(msgseq({"-v", "meta"}).out,
                  "renamed 'in000.msg' -> 'in001.msg'\nrenamed 'a.msg' -> 'in002.msg'\n"
                  "renamed 'b.msg' -> 'in000.msg'\n4");
        ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
    }
}

// The index changed by a lock-less writer while the files move: a field
// edited (as a new file, or in place with its time set back), the index out
// of reach for a moment (a FIFO in its place), a record added. The receipt
// knows the index as the run leaves it, still listing the old names: later
// commands know it for stale, a record added meanwhile as added after the
// run, and an undo puts the files back under the names the index lists.
TEST_F(Undo, IndexChangedWhileFilesMoveIsKnownStale) {
    const char* added = "{ sed '$d' meta; printf 'c.msg\\nt\\nf\\ns\\n\\n\\nN\\nEND\\n'; } > m && mv m meta";
    const struct { const char* name; const char* meanwhile; const char* after; int rerun; } rows[] = {
        {"new", "sed -i 2s/.*/other@example.org/ meta", ":", 3},
        {"inplace", "touch -r meta ../t && printf X | dd of=meta bs=1 conv=notrunc 2>/dev/null && touch -r ../t meta",
         ":", 3},
        {"fifo", "mv meta meta.real && mkfifo meta", "rm meta && mv meta.real meta", 3},
        {"added", added, ":", 2}};
    for (const auto& row : rows) {
        ASSERT_EQ(mkdir(row.name, 0755), 0);
        ASSERT_EQ(chdir(row.name), 0);
        undofix::chainbox(listed);
        spit("c.msg", "msg c.msg");
        const runresult moved = toolwhilestopped(MSGSEQ_PATH, "meta", "rename-from:a.msg", row.meanwhile);
        EXPECT_EQ(moved.status, 3) << row.name << ": " << moved.err;
        EXPECT_EQ(run({"/bin/sh", "-c", row.after}).status, 0) << row.name;
        const std::string edited = slurp("meta");
#ifdef MAILBOX_PATH
        const runresult del = run({MAILBOX_PATH, "delete", "meta", "1"});
        EXPECT_EQ(del.status, 2) << row.name;
        EXPECT_NE(del.err.find("still lists the names a plain msgseq run has since changed"),
                  std::string::npos) << row.name << ": " << del.err;
#endif
        const runresult again = msgseq({"meta"});
        EXPECT_EQ(again.status, row.rerun) << row.name << ": " << again.err;
        const runresult r = msgseq({"--undo", "meta"});
        EXPECT_EQ(r.status, 0) << row.name << ": " << r.err;
        EXPECT_EQ(slurp("meta"), edited) << row.name;
        for (const char* n : {"b.msg", "in000.msg", "a.msg", "c.msg"})
            EXPECT_EQ(slurp(n), std::string("msg ") + n) << row.name;
        ASSERT_EQ(chdir(".."), 0);
    }
}

// A run that changed nothing keeps the receipt of the one that did.
TEST_F(Undo, NoOpRunKeepsWhatToUndo) {
    for (const bool update : {true, true, false}) ASSERT_EQ(msgseq(runargs(update)).status, 3);
    ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
    expectback(plainindex(listed));
}

TEST_F(Undo, DryRunShowsAndChangesNothing) {
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    const std::string was = state();
    const runresult r = msgseq({"--undo", "-n", "meta"});
    EXPECT_EQ(r.out,
              "renamed 'in000.msg' -> 'b.msg'\nrenamed 'in002.msg' -> 'a.msg'\n"
              "renamed 'in001.msg' -> 'in000.msg'\n");
    EXPECT_EQ(asreal(r.err), undone);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(state(), was);
    const runresult v = msgseq({"--undo", "-v", "meta"});
    EXPECT_EQ(v.out + v.err, r.out + undone + back);
}

// The threats of other runs and odd paths: nothing touched.
TEST_F(Undo, WrongDirectoryFifoAndBusyRefused) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string was = state();
    ASSERT_EQ(mkdir("sub", 0700), 0);
    ASSERT_EQ(chdir("sub"), 0);
    const runresult r = msgseq({"--undo", "../meta"});
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(r.err,
              "msgseq: the last run of '../meta' worked in another directory; undo it "
              "there; nothing done\n");
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(rmdir("sub"), 0);
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_EQ(msgseq({"--undo", "fifo"}).err,
              "msgseq: 'fifo' is not a regular file; nothing done\n");
    ASSERT_EQ(unlink("fifo"), 0);
    const int lock = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    EXPECT_EQ(msgseq({"--undo", "meta"}).status, 5);
    close(lock);
    EXPECT_EQ(state(), was);
    // Done and on disk all the same, with the lines lost said by the status.
    EXPECT_EQ(run({MSGSEQ_PATH, "--undo", "-v", "meta"}, nullptr, {}, {.closedout = true}).status,
              4);
    expectback(plainindex(listed));
}

// Cut short or failing at a step, the undo keeps its journal; run again, it
// ends as one whole undo.
struct faultrow {
    const char* name;
    bool update;
    std::string fault;
    int status;
};
void PrintTo(const faultrow& row, std::ostream* os) { *os << row.name; }
class UndoFault : public Undo, public ::testing::WithParamInterface<faultrow> {};

TEST_P(UndoFault, RerunFinishes) {
    ASSERT_EQ(msgseq(runargs(GetParam().update)).status, 3);
    const runresult r = msgseq({"--undo", "meta"}, {GetParam().fault});
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_TRUE(exists("meta.msgseq-update/journal"));
    if (GetParam().status == 128 + SIGINT) {
        EXPECT_TRUE(
            r.err.ends_with("msgseq: interrupted by SIGINT; run 'msgseq --undo meta' to "
                            "finish, or 'msgseq --abort meta' to give it up\n"))
            << r.err;
    }
    EXPECT_EQ(msgseq({"--undo", "meta"}).status, 0);
    expectback(plainindex(listed));
}

INSTANTIATE_TEST_SUITE_P(
    Undo, UndoFault,
    ::testing::Values(
        faultrow{"KilledInAChain", false, "FSFAULT_KILL=rename-to:in000.msg", 137},
        faultrow{"KilledAsTheIndexGoesBack", true, "FSFAULT_KILL=rename-to:meta", 137},
        faultrow{"Interrupted", false, "FSFAULT_SIGNAL=INT:rename-to:b.msg", 130},
        faultrow{"ReceiptNotRemoved", true, "FSFAULT_FAIL=unlink:.meta.msgseq-receipt:EIO", 3},
        faultrow{"NotSynced", false, "FSFAULT_FAIL=fsync:.:EIO:3", 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Cut short, every other run refuses, naming --undo; --abort gives it up,
// the files where the run left them, and it can be undone again.
TEST_F(Undo, CutShortGivenUp) {
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    const std::string left = state();
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:b.msg"}).status, 128 + SIGKILL);
    EXPECT_EQ(msgseq({"meta"}).err,
              "msgseq: an undo of 'meta' by 'msgseq --undo' was cut short; finish it with 'msgseq "
              "--undo meta', or give it up with 'msgseq --abort meta'; nothing done\n");
    EXPECT_EQ(msgseq({"-u", "meta"}).status, 2);
#ifdef MAILBOX_PATH
    EXPECT_EQ(run({MAILBOX_PATH, "delete", "meta", "1"}).status, 2);
    EXPECT_NE(
        run({MAILBOX_PATH, "check", "meta"})
            .out.find(
                "unfinished: an undo by 'msgseq --undo' was cut short; run 'msgseq --undo meta'"),
        std::string::npos);
#endif
    const runresult a = msgseq({"--abort", "meta"});
    EXPECT_EQ(a.err + std::to_string(a.status), "0");
    EXPECT_EQ(unfenced(state()), unfenced(left));
    // Past the index put back, it can only be finished.
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:meta"}).status, 128 + SIGKILL);
    const runresult b = msgseq({"--abort", "meta"});
    EXPECT_EQ(b.err,
              "msgseq: the undo of 'meta' that was cut short is too far on to be given "
              "up; finish it with 'msgseq --undo meta'; nothing done\n");
    EXPECT_EQ(b.status, 2);
}

// The receipt of the release before, which has no fence, stays as it is
// when an undo on it is given up, and the run can still be undone.
TEST_F(Undo, CutShortOnAnOlderReceiptGivenUp) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    older(receipt);
    const std::string left = state();
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:b.msg"}).status, 128 + SIGKILL);
    const runresult a = msgseq({"--abort", "meta"});
    EXPECT_EQ(a.err + std::to_string(a.status), "0");
    EXPECT_EQ(unfenced(state()), unfenced(left));
    EXPECT_EQ(slurp(receipt).compare(0, 17, "msgseq receipt 1\n"), 0);
    EXPECT_EQ(msgseq({"--undo", "meta"}).err, undone + back);
    expectback(plainindex(listed));
}

// An undo cut short and given up: the files back where the run left them
// are synced before the journal goes; a sync that fails keeps the journal,
// and --abort run again finishes.
TEST_F(Undo, AbortOfAnUndoSyncsBeforeTheJournalGoes) {
    ASSERT_EQ(msgseq({"meta"}).status, 3);
    const std::string left = state();
    ASSERT_EQ(msgseq({"--undo", "meta"}, {"FSFAULT_KILL=rename-to:b.msg"}).status, 128 + SIGKILL);
    const runresult a = msgseq({"--abort", "meta"}, {"FSFAULT_FAIL=fsync:.:EIO"});
    EXPECT_EQ(a.err, "msgseq: cannot sync the directory '.': Input/output error; the journal stays\n");
    EXPECT_EQ(a.status, 3);
    EXPECT_TRUE(exists("meta.msgseq-update/journal"));
    const runresult b = msgseq({"--abort", "meta"});
    EXPECT_EQ(b.err + std::to_string(b.status), "0");
    EXPECT_EQ(unfenced(state()), unfenced(left));
    // The files' moves back are not taken for changes since the run.
    EXPECT_EQ(msgseq({"--undo", "meta"}).err, undone + back);
}

timespec minus1(const timespec& t) {
    return t.tv_nsec ? timespec{t.tv_sec, t.tv_nsec - 1} : timespec{t.tv_sec - 1, 999999999};
}
std::string timeword(const timespec& t) {
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}
// The receipt's fence told to be fence, and its settled time settled.
void fenceat(const timespec& fence, const timespec& settled) {
    std::string r = slurp(receipt);
    const size_t at = r.find("fence ");
    ASSERT_NE(at, std::string::npos);
    r.replace(at, r.find('\n', at) - at, "fence " + timeword(fence) + " " + timeword(settled));
    spit(receipt, r);
}

// A file is the run's own while it was written no later than the fence,
// to the nanosecond; one whose status changed since the settled time, while
// it was made no later than the fence.
TEST_F(Undo, FenceBoundsEachFilesTime) {
    const timespec never{0, 0}, lasting{INT32_MAX, 0};
    const char* const files[] = {"in000.msg", "in001.msg", "in002.msg"};
    // The newest of the files' times of one kind.
    auto newest = [&files](uint32_t mask) {
        timespec t{};
        for (const char* n : files) {
            struct statx sx {};
            EXPECT_EQ(statx(AT_FDCWD, n, 0, mask, &sx), 0);
            const statx_timestamp x = mask == STATX_MTIME   ? sx.stx_mtime
                                      : mask == STATX_CTIME ? sx.stx_ctime
                                                            : sx.stx_btime;
            if (std::tie(x.tv_sec, x.tv_nsec) > std::tie(t.tv_sec, t.tv_nsec)) t = {x.tv_sec, x.tv_nsec};
        }
        return t;
    };
    auto refused = [] {
        const runresult r = msgseq({"--undo", "-n", "meta"});
        return r.status == 2 && r.err.ends_with(cant);
    };
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "plain");
        ASSERT_EQ(msgseq(runargs(update)).status, 3);
        fenceat(minus1(newest(STATX_MTIME)), lasting);
        EXPECT_TRUE(refused());
        fenceat(newest(STATX_MTIME), lasting);
        EXPECT_EQ(msgseq({"--undo", "-n", "meta"}).status, 0);
        // Their times set back: only their births tell they are no new files.
        const timespec early[2] = {{1, 0}, {1, 0}};
        for (const char* n : files) ASSERT_EQ(utimensat(AT_FDCWD, n, early, 0), 0);
        struct statx sx {};
        ASSERT_EQ(statx(AT_FDCWD, "in000.msg", 0, STATX_BTIME, &sx), 0);
        if (!(sx.stx_mask & STATX_BTIME)) GTEST_SKIP() << "no birth times here";
        const timespec born = newest(STATX_BTIME), changed = newest(STATX_CTIME);
        fenceat(minus1(born), changed);
        EXPECT_EQ(msgseq({"--undo", "-n", "meta"}).status, 0);
        fenceat(minus1(born), minus1(changed));
        EXPECT_TRUE(refused());
        fenceat(born, never);
        EXPECT_EQ(msgseq({"--undo", "meta"}).err, undone + back);
        EXPECT_EQ(slurp("meta"), plainindex(listed));
    }
}

// Where the directory can't be touched for a fence, a receipt knows each
// file by its size and time instead, as the release before did: a file
// written since is still told.
TEST_F(Undo, UnfencedReceiptTellsAFileWrittenSince) {
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "plain");
        ASSERT_EQ(msgseq(runargs(update), {"FSFAULT_FAIL=utimens:.:EPERM"}).status, 3);
        EXPECT_EQ(slurp(receipt).find("fence"), std::string::npos);
        EXPECT_NE(slurp(receipt).find(" 13 "), std::string::npos);  // a file's size
        struct stat st {};
        ASSERT_EQ(lstat("in001.msg", &st), 0);
        const std::string was = slurp("in001.msg");
        spit("in001.msg", "written since, longer");
        EXPECT_EQ(msgseq({"--undo", "meta"}).err, rewrote(2, "in001.msg", "in000.msg"));
        spit("in001.msg", std::string(was.size(), 'x'));  // its size, another time
        EXPECT_EQ(msgseq({"--undo", "meta"}).err, rewrote(2, "in001.msg", "in000.msg"));
        const timespec times[2] = {st.st_atim, st.st_mtim};
        spit("in001.msg", was + "x");  // its time, another size
        ASSERT_EQ(utimensat(AT_FDCWD, "in001.msg", times, 0), 0);
        EXPECT_EQ(msgseq({"--undo", "meta"}).err, rewrote(2, "in001.msg", "in000.msg"));
        spit("in001.msg", was);
        ASSERT_EQ(utimensat(AT_FDCWD, "in001.msg", times, 0), 0);
        ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
        expectback(plainindex(listed));
    }
}

// A finished undo says how many files went back, one line; with nothing
// missing that is all it says, and -v adds the count of the records.
TEST_F(Undo, DoneSaysHowManyWentBack) {
    spit("gone.msg", "msg gone.msg");
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 0);
    const runresult r = msgseq({"--undo", "meta"});
    EXPECT_EQ(r.err, "msgseq: the last run of 'meta' is undone: 4 files back under their old names\n");
    EXPECT_EQ(r.out + std::to_string(r.status), "0");
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    const runresult v = msgseq({"--undo", "-v", "meta"});
    EXPECT_EQ(v.err, "msgseq: 4 renamed, 0 already in place, 0 missing, 0 refused, of 4 records\n"
                     "msgseq: the last run of 'meta' is undone: 4 files back under their old names\n");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(slurp("meta"), plainindex(listed));
    EXPECT_EQ(slurp("gone.msg"), "msg gone.msg");
}

// Root in another user's mailbox undoes as that user: nothing it leaves is
// root's; a journal planted there is believed only as that user's own.
TEST_F(Undo, RootActsAsTheOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    for (const std::string& n : listing()) ASSERT_EQ(chown(n.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(".", 65534, 65534), 0);
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    const std::string was = state();
    ASSERT_EQ(mkdir("meta.msgseq-update", 0700), 0);
    ASSERT_EQ(chown("meta.msgseq-update", 65534, 65534), 0);
    spit("meta.msgseq-update/journal", "msgseq undo journal 1\n");  // root's
    ASSERT_EQ(chmod("meta.msgseq-update/journal", 0644), 0);
    const runresult r = msgseq({"--undo", "meta"});
    EXPECT_EQ(r.err,
              "msgseq: cannot read the journal '" + dir +
                  "/meta.msgseq-update/journal': it belongs to another user; nothing done\n");
    EXPECT_EQ(msgseq({"--abort", "meta"}).status, 2);
    std::filesystem::remove_all("meta.msgseq-update");
    EXPECT_EQ(state(), was);
    ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
    for (const std::string& n : listing()) {
        struct stat st {};
        ASSERT_EQ(lstat(n.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << n;
    }
    expectback(plainindex(listed));
}

// An update whose receipt could not be written, run again, still keeps the
// index it replaced, moved beside the receipt before the failure.
TEST_F(Undo, UpdateFinishedAfterItsReceiptFailedCanBeUndone) {
    ASSERT_EQ(msgseq({"-u", "meta"}, {"FSFAULT_FAIL=create:.meta.msgseq-receipt.new:EIO"}).status,
              6);
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    EXPECT_NE(slurp(receipt).find("kept .meta.msgseq-before\n"), std::string::npos);
    EXPECT_EQ(msgseq({"--undo", "meta"}).status, 0);
    expectback(plainindex(listed));
}

// A plain run after an update leaves a receipt with no kept index: the copy
// the update kept goes with the receipt that named it, and the undo is the
// plain run's alone.
TEST_F(Undo, PlainRunAfterAnUpdateTakesTheKeptIndexAway) {
    ASSERT_EQ(msgseq({"-u", "meta"}).status, 3);
    ASSERT_TRUE(listing().contains(".meta.msgseq-before"));
    const std::string swapped = plainindex({"in001.msg", "in000.msg", "in002.msg"});
    spit("meta", swapped);
    ASSERT_EQ(msgseq({"meta"}).status, 0);
    EXPECT_FALSE(listing().contains(".meta.msgseq-before"));
    ASSERT_EQ(msgseq({"--undo", "meta"}).status, 0);
    EXPECT_EQ(slurp("meta"), swapped);
    EXPECT_EQ(slurp("in001.msg"), "msg in000.msg");
}

// A run with every file in place changes nothing: a receipt it can't write
// (a read-only mailbox) is no failure. One that moved a file still is.
TEST_F(Undo, RunThatMovesNothingNeedsNoReceipt) {
    spit("meta", plainindex({"in000.msg"}));
    const std::vector<std::string> rofs = {"FSFAULT_FAIL=create:.meta.msgseq-receipt.new:EROFS"};
    const runresult r = msgseq({"meta"}, rofs);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    spit("meta", plainindex({"a.msg"}));
    EXPECT_NE(msgseq({"meta"}, rofs).status, 0);
}

}  // namespace
