// Mail in and out: mailbox deliver, import and export, run on a mailbox in
// box/ with what they read or write beside it in src/: the bytes of every
// message file, the index, the exit status, failures injected, and runs
// killed after every call and then finished by the next command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "boxfixture.h"

namespace {

namespace fs = std::filesystem;
using args = std::vector<std::string>;

const std::string lunch = "From: Bob <bob@example.org>\nTo: ann@example.org\nSubject: Lunch\n\nFriday?\n";
std::vector<std::string> lunchrec(const std::string& name, const char* flag = "N") {
    return {name, "ann@example.org", "Bob <bob@example.org>", "Lunch", "", "", flag};
}
const std::string empty = metafile({});

class InOut : public BoxDir {
protected:
    using BoxDir::tool;
    // Standard input from src/in, input written there.
    static runresult tool(args a, const std::vector<std::string>& env, const std::string* input) {
        spit("../src/in", *input);
        return tool(std::move(a), env, "../src/in");
    }
    static runresult deliver(const std::string& msg, args extra = {},
                             const std::vector<std::string>& env = {}) {
        args a = {"deliver"};
        a.insert(a.end(), extra.begin(), extra.end());
        a.push_back("meta");
        return tool(a, env, &msg);
    }
};

// One delivery into a mailbox laid out by the row.
struct deliverrow {
    const char* name;
    std::string index;                          // box/meta before
    std::map<std::string, std::string> before;  // other files in box/
    std::string input;
    args extra;
    std::vector<std::string> faults;  // FSFAULT_... settings
    int status;
    std::string after;  // box/meta after: "" for as before
    std::string made;   // the file that must now hold input, "" for none
    std::string err = {};  // a part of standard error, when given
};
void PrintTo(const deliverrow& r, std::ostream* os) { *os << r.name; }
class Deliver : public InOut, public ::testing::WithParamInterface<deliverrow> {};

TEST_P(Deliver, StoresOrKeepsNothing) {
    const deliverrow& r = GetParam();
    spit("meta", r.index);
    for (const auto& [n, text] : r.before) spit(n, text);
    std::vector<std::string> env;
    if (!r.faults.empty()) env = fsfaultenv(r.faults);
    const runresult got = deliver(r.input, r.extra, env);
    EXPECT_EQ(got.status, r.status) << got.err;
    if (!r.err.empty()) {
        EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    }
    // The next command finishes or undoes whatever a failure left.
    (void)tool({"list", "meta"});
    std::map<std::string, std::string> want = r.before;
    want["meta"] = r.after.empty() ? r.index : r.after;
    if (!r.made.empty()) want[r.made] = r.input;
    EXPECT_EQ(files(), want);
}

const char crlfraw[] = "From: c@x\r\nSubject: crlf\r\n\r\nbin\0ary\r\n";
const std::string crlf(crlfraw, sizeof crlfraw - 1);

INSTANTIATE_TEST_SUITE_P(
    Rows, Deliver,
    ::testing::Values(
        deliverrow{"IntoEmpty", empty, {}, lunch, {}, {}, 0, metafile({lunchrec("in000.msg")}),
                   "in000.msg"},
        deliverrow{"AfterTheHighestListed", plainindex({"in004.msg", "a.msg"}),
                   {{"in004.msg", "x"}, {"a.msg", "y"}}, lunch, {}, {}, 0,
                   metafile({{"in004.msg", "to", "from", "subj", "", "", "N"},
                             {"a.msg", "to", "from", "subj", "", "", "N"}, lunchrec("in005.msg")}),
                   "in005.msg"},
        deliverrow{"SkipsANameTaken", plainindex({"in000.msg"}),
                   {{"in000.msg", "x"}, {"in001.msg", "not listed"}}, lunch, {}, {}, 0,
                   metafile({{"in000.msg", "to", "from", "subj", "", "", "N"},
                             lunchrec("in002.msg")}),
                   "in002.msg"},
        deliverrow{"ByteForByte", empty, {}, crlf + "x",
                   {}, {}, 0, metafile({{"in000.msg", "", "c@x", "crlf", "", "", "N"}}),
                   "in000.msg"},
        deliverrow{"StatusReadIsRead", empty, {}, "Status: RO\nSubject: s\n\nb\n", {}, {}, 0,
                   metafile({{"in000.msg", "", "", "s", "", "", "R"}}), "in000.msg"},
        deliverrow{"NoHeaderIsDataError", empty, {}, "just words\n", {}, {}, 65, "", "",
                   "not a message"},
        deliverrow{"NothingIsDataError", empty, {}, "", {}, {}, 65, "", "", "not a message"},
        deliverrow{"TextAfterEnd", empty + "junk\n", {}, lunch, {}, {}, 69, "", "",
                   "lines after END"},
        deliverrow{"HalfRecord", "/home/ann/mail\nann@example.org\nin000.msg\nto\n", {}, lunch, {},
                   {}, 69, "", "", "whole record"},
        deliverrow{"DryRun", plainindex({"in000.msg"}), {{"in000.msg", "x"}}, lunch, {"-n"}, {},
                   0, "", "", ""},
        deliverrow{"DiskFullForTheMessage", empty, {}, lunch, {},
                   {"FSFAULT_FAIL=write:.mailbox-append.tmp:ENOSPC"}, 75, "", "", "nothing kept"},
        deliverrow{"DiskFullForTheJournal", empty, {}, lunch, {},
                   {"FSFAULT_FAIL=create:.meta.mailbox-append.new:ENOSPC"}, 75, "", "",
                   "nothing kept"},
        deliverrow{"IndexWriteFails", empty, {}, lunch, {}, {"FSFAULT_FAIL=write:meta:ENOSPC:1"},
                   75, "", "", "nothing kept"},
        // Every sync of the index fails: the undo can't finish either, and
        // the next command does it.
        deliverrow{"IndexSyncFails", empty, {}, lunch, {}, {"FSFAULT_FAIL=fsync:meta:EIO"}, 75,
                   "", "", "next mailbox command"},
        deliverrow{"MoveInFails", empty, {}, lunch, {},
                   {"FSFAULT_FAIL=rename-to:in000.msg:EIO"}, 75, "", "", "nothing kept"},
        deliverrow{"NoReplaceRenameMissing", empty, {}, lunch, {}, {"FSFAULT_NOREPLACE=einval"},
                   0, metafile({lunchrec("in000.msg")}), "in000.msg"}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard input refused, nothing kept: one that never ends once memory
// runs short (try again later), a file past 4 GiB by its size before any
// of it is read (for good), and one that can't be read (a directory).
TEST_F(InOut, DeliverInputRefusedKeepsNothing) {
    if (sanitized) GTEST_SKIP() << "the sanitizers' shadow memory is past any such limit";
    spit("meta", empty);
    spit("../src/in", lunch);
    ASSERT_EQ(truncate("../src/in", off_t{5} << 30), 0);
    const struct { const char* from; int status; std::string why; } rows[] = {
        {"/dev/zero", 75, "Cannot allocate memory"},
        {"../src/in", 65, "more than 4 GiB, too large a message"},
        {".", 74, "Is a directory"}};
    for (const auto& r : rows) {
        const runresult got = run({"/bin/sh", "-c", "ulimit -v 500000 && exec \"$0\" deliver meta < $1",
                                   MAILBOX_PATH, r.from}, nullptr, {}, {.timeout = 60});
        EXPECT_EQ(got.status, r.status) << r.from << ": " << got.err;
        EXPECT_EQ(got.err, "mailbox: cannot read standard input: " + r.why + "; nothing kept\n");
        EXPECT_EQ(files(), (std::map<std::string, std::string>{{"meta", empty}})) << r.from;
    }
}

TEST_F(InOut, DeliverKeepsTheIndexsModeAndWritesInPlace) {
    spit("meta", empty);
    ASSERT_EQ(chmod("meta", 0640), 0);
    struct stat was, now;
    ASSERT_EQ(stat("meta", &was), 0);
    ASSERT_EQ(deliver(lunch).status, 0);
    ASSERT_EQ(stat("meta", &now), 0);
    EXPECT_EQ(now.st_mode & 07777, 0640u);
    EXPECT_EQ(now.st_ino, was.st_ino);  // appended to, not rewritten
}

TEST_F(InOut, DeliverWaitsNotForeverForTheLock) {
    spit("meta", empty);
    const int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const runresult got = deliver(lunch, {"--wait=0"});
    close(fd);
    EXPECT_EQ(got.status, 75);
    EXPECT_NE(got.err.find("holds the lock"), std::string::npos) << got.err;
    EXPECT_EQ(files(), (std::map<std::string, std::string>{{"meta", empty}}));
}

TEST_F(InOut, DeliverRefusesAFifoIndexAtOnce) {
    ASSERT_EQ(mkfifo("meta", 0600), 0);
    const runresult got = deliver(lunch);
    EXPECT_EQ(got.status, 78) << got.err;  // EX_CONFIG: trying again changes nothing
    EXPECT_EQ(listing("."), std::set<std::string>{"meta"});
}

// Killed after each of its calls, the next command ends it as one whole
// delivery or as none: never a message without its record, never a
// journal or a file written aside left behind. One killed once its record
// was in is whole, journal or not.
TEST_F(InOut, DeliverKilledAtEachCallIsWholeOrNone) {
    const std::string start = plainindex({"in000.msg"});
    const std::string whole = metafile({{"in000.msg", "to", "from", "subj", "", "", "N"},
                                        lunchrec("in001.msg")});
    int states = 0;
    for (int n = 1; n < 100; n++) {
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", start);
        spit("in000.msg", "x");
        const runresult got =
            deliver(lunch, {}, fsfaultenv({"FSFAULT_KILL_AFTER=" + std::to_string(n)}));
        if (got.status != 128 + SIGKILL) {
            EXPECT_EQ(got.status, 0) << got.err;
            break;
        }
        states++;
        // A delivery killed before its record went in never said it had the
        // message: its sender tries again, so the next command keeps nothing.
        const runresult next = tool({"list", "meta"});
        EXPECT_EQ(next.status, 0) << next.err;
        const auto now = files();
        if (slurp("meta") == whole)
            EXPECT_EQ(now, (std::map<std::string, std::string>{
                               {"meta", whole}, {"in000.msg", "x"}, {"in001.msg", lunch}}))
                << "killed after call " << n;
        else
            EXPECT_EQ(now, (std::map<std::string, std::string>{{"meta", start}, {"in000.msg", "x"}}))
                << "killed after call " << n;
    }
    EXPECT_GE(states, 8);
}

// Records another program appended after a delivery was cut short stay,
// whether or not it took the name the delivery was to take.
TEST_F(InOut, DeliveryCutShortKeepsWhatOthersAppended) {
    const std::string start = plainindex({"in000.msg"});
    for (const char* theirs : {"other.msg", "in001.msg"}) {
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", start);
        spit("in000.msg", "x");
        EXPECT_EQ(deliver(lunch, {}, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"})).status,
                  128 + SIGKILL);
        spit(theirs, "theirs");
        const std::string index = slurp("meta");
        const std::string rec = std::string(theirs) + "\nto\nfrom\nsubj\n\n\nN\n";
        spit("meta", index.substr(0, index.size() - 4) + rec + "END\n");
        const runresult next = tool({"list", "meta"});
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(slurp("meta"), start.substr(0, start.size() - 4) + rec + "END\n") << theirs;
        EXPECT_EQ(slurp(theirs), "theirs");
        EXPECT_FALSE(fs::exists(".meta.mailbox-append"));
    }
}

// Killed once its record was in (the journal still there), a delivery is
// whole: the next command keeps it. Where the power cut took the message's
// name with it (the working directory not yet synced), the record comes
// out again and nothing of the delivery stays.
TEST_F(InOut, DeliveryCutAfterItsRecordIsWholeOrWithoutItsMessageNone) {
    const std::string start = plainindex({"in000.msg"});
    const std::string whole = metafile({{"in000.msg", "to", "from", "subj", "", "", "N"},
                                        lunchrec("in001.msg")});
    for (const bool lost : {false, true}) {
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", start);
        spit("in000.msg", "x");
        EXPECT_EQ(deliver(lunch, {}, fsfaultenv({"FSFAULT_KILL=fsync:meta"})).status,
                  128 + SIGKILL);
        ASSERT_TRUE(fs::exists(".meta.mailbox-append"));
        ASSERT_EQ(slurp("meta"), whole);
        if (lost) {
            ASSERT_EQ(unlink("in001.msg"), 0);
        }
        const runresult next = tool({"list", "meta"});
        EXPECT_EQ(next.status, 0) << next.err;
        if (lost)
            EXPECT_EQ(files(), (std::map<std::string, std::string>{{"meta", start}, {"in000.msg", "x"}}));
        else
            EXPECT_EQ(files(), (std::map<std::string, std::string>{
                                   {"meta", whole}, {"in000.msg", "x"}, {"in001.msg", lunch}}));
    }
}

// The hint a delivery leaves on the index is believed only for the index it
// wrote: after any change since, the next name is still the one after the
// highest listed, and every record stays. The index is longer than the
// tail a delivery checks, so that a change before it is seen by the
// index's size and time alone.
struct hintrow {
    const char* name;
    void (*change)();
    std::string next;  // the name the second delivery takes
    std::string last;  // the name the record before its record lists
    size_t records;    // then
};
void PrintTo(const hintrow& r, std::ostream* os) { *os << r.name; }
class DeliverHint : public InOut, public ::testing::WithParamInterface<hintrow> {};

std::string lastrecord(const std::string& index) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < index.size();) {
        const size_t nl = index.find('\n', at);
        lines.push_back(index.substr(at, nl - at));
        at = nl + 1;
    }
    return lines.size() >= 15 ? lines[lines.size() - 15] : "";
}
void leftalone() {}
// A record appended by another program, its file not there yet.
void appended() {
    const std::string index = slurp("meta");
    spit("meta", index.substr(0, index.size() - 4) + "in909.msg\nto\nfrom\nsubj\n\n\nN\nEND\n");
}
// Another index renamed in its place.
void replaced() {
    spit("meta.new", plainindex({"in000.msg", "in920.msg"}));
    ASSERT_EQ(rename("meta.new", "meta"), 0);
}
// The same size, a name at its start changed in place.
void renamedinplace() {
    std::string index = slurp("meta");
    index.replace(index.find("in000.msg"), 9, "in950.msg");
    const int fd = open("meta", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, index.data(), index.size(), 0), static_cast<ssize_t>(index.size()));
    close(fd);
}
// The same, a name listed after the highest one the last append saw (its
// file not here), and the index's time put back, as a copy or a restore keeps it.
void renamedtimekept() {
    struct stat st;
    ASSERT_EQ(stat("meta", &st), 0);
    std::string index = slurp("meta");
    index.replace(index.find("in000.msg"), 9, "in301.msg");
    const int fd = open("meta", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, index.data(), index.size(), 0), static_cast<ssize_t>(index.size()));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
}
// The message file gone, its record left: the name is still not free.
void filegone() { ASSERT_EQ(unlink("in300.msg"), 0); }

TEST_P(DeliverHint, NextNameAfterTheHighestListed) {
    std::vector<std::string> names;
    for (int k = 0; k < 300; k++) names.push_back("in" + std::to_string(k + 1000).substr(1) + ".msg");
    spit("meta", plainindex(names));
    spit("in000.msg", "x");  // the mailbox's directory: a listed file is here
    ASSERT_EQ(deliver(lunch).status, 0);
    ASSERT_EQ(slurp("in300.msg"), lunch);
    GetParam().change();
    const std::string before = slurp("meta");
    const runresult got = deliver(lunch);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(slurp(GetParam().next), lunch);
    const std::string index = slurp("meta");
    EXPECT_EQ(index.substr(0, before.size() - 4), before.substr(0, before.size() - 4));
    EXPECT_EQ(lastrecord(index), GetParam().last);
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 3 + 7 * GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeliverHint,
    ::testing::Values(hintrow{"LeftAlone", leftalone, "in301.msg", "in300.msg", 302},
                      hintrow{"AppendedSince", appended, "in910.msg", "in909.msg", 303},
                      hintrow{"ReplacedSince", replaced, "in921.msg", "in920.msg", 3},
                      hintrow{"RenamedInPlace", renamedinplace, "in951.msg", "in300.msg", 302},
                      hintrow{"RenamedTimeKept", renamedtimekept, "in302.msg", "in300.msg", 302},
                      hintrow{"FileGone", filegone, "in301.msg", "in300.msg", 302}),
    [](const auto& info) { return std::string(info.param.name); });

// A delivery refused: 75 (EX_TEMPFAIL, the agent tries again) only for
// what may pass; a mailbox that can't take mail as it stands gets a status
// that a person acts on. Nothing is kept.
struct refusalrow {
    const char* name;
    void (*lay)();
    args cmd;  // after "deliver"
    std::vector<std::string> faults;
    int status;
    std::string err;
};
void PrintTo(const refusalrow& r, std::ostream* os) { *os << r.name; }
class DeliverRefusal : public InOut, public ::testing::WithParamInterface<refusalrow> {};

void noindex() {}
void indexdir() { ASSERT_EQ(mkdir("meta", 0755), 0); }
void emptyindex() { spit("meta", empty); }
void fullindex() {
    spit("meta", plainindex({"in999999.msg"}));
    spit("in999999.msg", "x");
}

TEST_P(DeliverRefusal, StatusSaysWhetherToTryAgain) {
    const refusalrow& r = GetParam();
    r.lay();
    const auto before = files();
    args a = {"deliver"};
    a.insert(a.end(), r.cmd.begin(), r.cmd.end());
    const runresult got = tool(a, r.faults.empty() ? std::vector<std::string>{} : fsfaultenv(r.faults), &lunch);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    (void)tool({"list", "meta"});
    EXPECT_EQ(files(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeliverRefusal,
    ::testing::Values(
        refusalrow{"NoIndex", noindex, {"meta"}, {}, 78, "meta"},
        refusalrow{"IndexADirectory", indexdir, {"meta"}, {}, 78, "not a regular file"},
        refusalrow{"BadOption", emptyindex, {"--frob", "meta"}, {}, 64, "Usage"},
        refusalrow{"NoMetafile", emptyindex, {}, {}, 64, "Usage"},
        refusalrow{"NoFreeName", fullindex, {"meta"}, {}, 73, "no free name"},
        refusalrow{"NotAllowedToWrite", emptyindex, {"meta"},
                   {"FSFAULT_FAIL=create:.mailbox-append.tmp:EACCES"}, 77, "Permission"},
        refusalrow{"ReadOnly", emptyindex, {"meta"},
                   {"FSFAULT_FAIL=create:.mailbox-append.tmp:EROFS"}, 73, "Read-only"},
        refusalrow{"TryAgainLater", emptyindex, {"meta"},
                   {"FSFAULT_FAIL=write:.mailbox-append.tmp:EAGAIN"}, 75, "nothing kept"},
        refusalrow{"DiskError", emptyindex, {"meta"},
                   {"FSFAULT_FAIL=fsync:.mailbox-append.tmp:EIO"}, 75, "nothing kept"},
        refusalrow{"LockUnreadable", emptyindex, {"meta"},
                   {"FSFAULT_FAIL=flock:.:EACCES"}, 77, "cannot lock"}),
    [](const auto& info) { return std::string(info.param.name); });

// A msgseq run cut short (a power cut, most often) is finished by the next
// msgseq run: a delivery meanwhile is put off (75), so that the agent keeps
// the message and tries again, rather than bounced (69).
TEST_F(InOut, DeliverIntoARunCutShortIsTriedAgain) {
    spit("meta", empty);
    ASSERT_EQ(mkdir("meta.msgseq-update", 0700), 0);
    spit("meta.msgseq-update/journal", "not a journal\n");
    const runresult got = deliver(lunch);
    EXPECT_EQ(got.status, 75) << got.err;
    EXPECT_EQ(slurp("meta"), empty);
    EXPECT_EQ(listing("."), (std::set<std::string>{"meta", "meta.msgseq-update"}));
}

// What a journal beside the index must be before any command believes it.
struct plantrow {
    const char* name;
    void (*plant)();
};
void PrintTo(const plantrow& r, std::ostream* os) { *os << r.name; }
class PlantedAppend : public InOut, public ::testing::WithParamInterface<plantrow> {};

void linkjournal() {
    spit("../src/j", "mailbox-append 1\n");
    ASSERT_EQ(symlink("../src/j", ".meta.mailbox-append"), 0);
}
void othersjournal() {
    spit(".meta.mailbox-append", "mailbox-append 1\n");
    ASSERT_EQ(chown(".meta.mailbox-append", 65533, 65533), 0);
}
// A journal that names a file outside the directory.
void farjournal() {
    const std::string rec = "../x\n\n\n\n\n\nN\n";
    spit(".meta.mailbox-append", "mailbox-append 1\nindex 1 1\nend 30\ntail 0 0\ntemp 1 1\n"
                                 "name ../x\nordinal 0\nrecord " +
                                     std::to_string(rec.size()) + "\n" + rec);
}
// One whose record is more than one record's lines.
void longjournal() {
    const std::string rec = "in000.msg\n\n\n\n\n\nN\nEND\nin9\n";
    spit(".meta.mailbox-append", "mailbox-append 1\nindex 1 1\nend 30\ntail 0 0\ntemp 1 1\n"
                                 "name in000.msg\nordinal 0\nrecord " +
                                     std::to_string(rec.size()) + "\n" + rec);
}

// An import batch's journal: one message, aside as aside, named name,
// with record.
void batchjournal(const std::string& aside, const std::string& name, const std::string& rec) {
    spit(".meta.mailbox-append", "mailbox-append 2\nindex 1 1\nend 30\ntail 0 0\nledger 0\ncount 1\n" +
                                     aside + " " + name + " 1 1 1 1 1 1 " + std::to_string(rec.size()) +
                                     "\n" + rec);
}
void batchfar() { batchjournal(".mailbox-import-0.tmp", "../x", "../x\n\n\n\n\n\nN\n"); }
void batchasidefar() { batchjournal("../src/j", "in001.msg", "in001.msg\n\n\n\n\n\nN\n"); }
void batchother() { batchjournal(".mailbox-import-0.tmp", "in001.msg", "in002.msg\n\n\n\n\n\nN\n"); }
void batchlong() {
    batchjournal(".mailbox-import-0.tmp", "in001.msg", "in001.msg\n\n\n\n\n\nN\nEND\nin9\n");
}

TEST_P(PlantedAppend, RefusedAndNothingTouched) {
    if (geteuid() != 0 && GetParam().plant == othersjournal) GTEST_SKIP() << "chown needs root";
    spit("meta", plainindex({"in000.msg"}));
    spit("in000.msg", "x");
    GetParam().plant();
    const auto before = files();
    const runresult d = deliver(lunch);
    EXPECT_EQ(d.status, 77) << d.err;  // EX_NOPERM: a planted file, no cause to try again
    EXPECT_NE(d.err.find("journal of an"), std::string::npos) << d.err;
    const runresult l = tool({"list", "meta"});
    EXPECT_EQ(l.status, 2) << l.err;
    EXPECT_EQ(files(), before);
    EXPECT_EQ(run({MSGSEQ_PATH, "meta"}).status, 2);
    EXPECT_EQ(files(), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, PlantedAppend,
                         ::testing::Values(plantrow{"ALink", linkjournal},
                                           plantrow{"AnotherUsers", othersjournal},
                                           plantrow{"ANameElsewhere", farjournal},
                                           plantrow{"MoreThanARecord", longjournal},
                                           plantrow{"BatchNameElsewhere", batchfar},
                                           plantrow{"BatchAsideElsewhere", batchasidefar},
                                           plantrow{"BatchRecordOfAnother", batchother},
                                           plantrow{"BatchMoreThanARecord", batchlong}),
                         [](const auto& info) { return std::string(info.param.name); });

// Root delivering into a user's mailbox leaves only that user's files.
TEST_F(InOut, DeliverAsRootLeavesTheOwnersFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(chmod("..", 0755), 0);
    spit("meta", empty);
    ASSERT_EQ(chown(".", 65534, 65534), 0);
    ASSERT_EQ(chown("meta", 65534, 65534), 0);
    ASSERT_EQ(chmod("../src", 0755), 0);
    ASSERT_EQ(deliver(lunch).status, 0);
    struct stat st;
    ASSERT_EQ(stat("in000.msg", &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    ASSERT_EQ(stat("meta", &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(slurp("in000.msg"), lunch);
}

// Root delivering into a spool directory of its own gives the message to
// the index's owner.
TEST_F(InOut, DeliverAsRootIntoItsOwnSpoolGivesTheOwnerTheMessage) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    spit("meta", empty);
    ASSERT_EQ(chown("meta", 65534, 65534), 0);
    ASSERT_EQ(deliver(lunch).status, 0);
    struct stat st;
    ASSERT_EQ(stat("in000.msg", &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

// An import of sources laid out in src/: the messages in order, as stored.
struct importrow {
    const char* name;
    std::map<std::string, std::string> src;  // path under src/ -> bytes ("" a directory)
    args sources;
    int status;
    std::vector<std::string> msgs;  // in000.msg, in001.msg, ... in order
    std::string flags;              // each record's read flag
    std::string err = {};
};
void PrintTo(const importrow& r, std::ostream* os) { *os << r.name; }
class Import : public InOut, public ::testing::WithParamInterface<importrow> {};

TEST_P(Import, StoresEachMessageOnce) {
    const importrow& r = GetParam();
    spit("meta", empty);
    for (const auto& [path, bytes] : r.src) {
        const std::string p = "../src/" + path;
        fs::create_directories(fs::path(p).parent_path());
        if (path.ends_with("/"))
            fs::create_directories(p);
        else
            spit(p, bytes);
    }
    args a = {"import", "meta"};
    for (const auto& s : r.sources) a.push_back("../src/" + s);
    const runresult got = tool(a);
    EXPECT_EQ(got.status, r.status) << got.err;
    if (!r.err.empty()) {
        EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    }
    std::map<std::string, std::string> want = {{"meta", slurp("meta")}};
    std::string flags;
    for (size_t k = 0; k < r.msgs.size(); k++) {
        char n[32];
        (void)snprintf(n, sizeof n, "in%03zu.msg", k);
        want[n] = r.msgs[k];
    }
    EXPECT_EQ(files(), want);
    const std::string list = tool({"list", "meta"}).out;
    for (size_t at = 0; (at = list.find('\t', at)) != std::string::npos; at = list.find('\n', at))
        flags += list[++at];
    EXPECT_EQ(flags, r.flags);
}

const std::string quirky =
    "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\nline\nFrom the top\n>From quoted\n"
    ">>From twice\n\nFrom b@x Fri Jan  2 00:00:00 1970\nStatus: RO\nSubject: two\n\nlast line";
const std::string crlfbox =
    "From a@x Thu Jan  1 00:00:00 1970\r\nSubject: c\r\n\r\nbody\r\n\r\n"
    "From b@x Thu Jan  1 00:00:00 1970\r\nSubject: d\r\n\r\nbody2\r\n\r\n";

// Longer than the piece an mbox is read by, more than twice.
std::string bigbody() {
    std::string out = "Subject: big\n\n";
    for (int k = 0; k < 40000; k++) out += std::string(63, 'x') + "\n";
    return out;
}
const std::string big = bigbody();

INSTANTIATE_TEST_SUITE_P(
    Rows, Import,
    ::testing::Values(
        importrow{"MboxLongerThanAPiece", {{"b.mbox", "From a@x Thu Jan  1 00:00:00 1970\nSubject: 1\n\n\n"
                  "From b@x Thu Jan  1 00:00:00 1970\n" + big + "\nFrom c@x Thu Jan  1 00:00:00 1970\nSubject: 3\n\n"}},
                  {"b.mbox"}, 0, {"Subject: 1\n\n", big, "Subject: 3\n"}, "NNN"},
        importrow{"MboxQuirks", {{"a.mbox", quirky}}, {"a.mbox"}, 0,
                  {"Subject: one\n\nline\nFrom the top\nFrom quoted\n>From twice\n",
                   "Status: RO\nSubject: two\n\nlast line"},
                  "NR"},
        importrow{"MboxCrlfKept", {{"c.mbox", crlfbox}}, {"c.mbox"}, 0,
                  {"Subject: c\r\n\r\nbody\r\n", "Subject: d\r\n\r\nbody2\r\n"}, "NN"},
        importrow{"EmptyMbox", {{"e.mbox", ""}}, {"e.mbox"}, 0, {}, ""},
        // "From " after an empty line but with no address and date after it
        // is the body's, byte for byte.
        importrow{"DatelessFromInABody",
                  {{"d.mbox", "From a@x Thu Jan  1 00:00:00 1970\nSubject: s\n\nSee you.\n\n"
                              "From here on, we meet at 10:30 in 2026.\n\nFrom me\n\n"}},
                  {"d.mbox"}, 0,
                  {"Subject: s\n\nSee you.\n\nFrom here on, we meet at 10:30 in 2026.\n\nFrom me\n"},
                  "N"},
        importrow{"SeparatorsWithAndWithoutTheEmptyLine",
                  {{"s.mbox", "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n"
                              "From b@x Fri Jan  2 10:00:00 1970\nSubject: two\n\n2\n\n"
                              "From c@x Sat, 3 Jan 1970 10:00:00 +0000\nSubject: three\n\n3\n\n"}},
                  {"s.mbox"}, 0, {"Subject: one\n\n1", "Subject: two\n\n2\n", "Subject: three\n\n3\n"},
                  "NNN"},
        importrow{"DatelessFromCrlf",
                  {{"c.mbox", "From a@x Thu Jan  1 00:00:00 1970\r\nSubject: c\r\n\r\nx\r\n\r\n"
                              "From the desk of Ann\r\n>From quoted\r\n\r\n"}},
                  {"c.mbox"}, 0, {"Subject: c\r\n\r\nx\r\n\r\nFrom the desk of Ann\r\nFrom quoted\r\n"},
                  "N"},
        importrow{"MaildirNewAndCurNotTmp",
                  {{"md/tmp/1.x", "Subject: half\n\nwritten\n"},
                   {"md/new/999.c", "Subject: c\n\n"},
                   {"md/new/.hidden", "Subject: h\n\n"},
                   {"md/cur/1000.a:2,", "Subject: a\n\n"},
                   {"md/cur/1001.b:2,RS", "Subject: b\n\n"}},
                  {"md"}, 0,
                  {"Subject: c\n\n", "Subject: a\n\n", "Subject: b\n\n"}, "NNR"},
        importrow{"MaildirDirectoryLeftOut",
                  {{"md/cur/1000.a:2,S", "Subject: a\n\n"}, {"md/cur/1001.d:2,/", ""}, {"md/new/1002.e/", ""}},
                  {"md"}, 0, {"Subject: a\n\n"}, "R"},
        importrow{"LooseFilesInOrder",
                  {{"note", "Subject: n\n\nx\n"}, {"junk", "no header\n"}, {"more", lunch}},
                  {"note", "junk", "more"}, 1, {"Subject: n\n\nx\n", lunch}, "NN",
                  "is not a message"},
        importrow{"NotAMaildir", {{"plain/", ""}}, {"plain"}, 2, {}, "", "not a Maildir"},
        importrow{"NoSuchSource", {}, {"gone"}, 2, {}, "", "cannot read"}),
    [](const auto& info) { return std::string(info.param.name); });

// An import killed after any call and run again (or first any other
// command, then the import again) stores each message exactly once.
TEST_F(InOut, ImportKilledAtEachCallRunAgainIsExactlyOnce) {
    spit("../src/a.mbox", quirky);
    fs::create_directories("../src/md/new");
    fs::create_directories("../src/md/cur");
    spit("../src/md/new/1.x", "Subject: m\n\n");
    spit("../src/md/cur/2.y:2,S", "Subject: n\n\n");
    const args imp = {"import", "meta", "../src/a.mbox", "../src/md"};
    spit("meta", plainindex({"in000.msg"}));
    spit("in000.msg", "x");
    ASSERT_EQ(tool(imp).status, 0);
    const auto whole = files();
    ASSERT_EQ(whole.size(), 6u);
    int states = 0;
    for (int n = 1; n < 400; n += sanitized ? 3 : 1) {
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", plainindex({"in000.msg"}));
        spit("in000.msg", "x");
        const runresult got = tool(imp, fsfaultenv({"FSFAULT_KILL_AFTER=" + std::to_string(n)}));
        if (got.status != 128 + SIGKILL) break;
        states++;
        if (n % 2) (void)tool({"list", "meta"});
        const runresult again = tool(imp);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(files(), whole) << "killed after call " << n << "\n" << again.err;
    }
    EXPECT_GE(states, sanitized ? 12 : 20);  // every third call under the sanitizers
}

TEST_F(InOut, ImportRunAgainImportsNothing) {
    spit("../src/a.mbox", quirky);
    spit("meta", empty);
    ASSERT_EQ(tool({"import", "meta", "../src/a.mbox"}).status, 0);
    const auto whole = files();
    EXPECT_TRUE(exists(".meta.mailbox-import"));
    const runresult again = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "imported 0 messages into 'meta'\n");
    EXPECT_EQ(files(), whole);
    // Grown since (mail delivered to it), only the new message comes in.
    spit("../src/a.mbox", quirky + "\nFrom c@x Sat Jan  3 00:00:00 1970\nSubject: three\n\n3\n");
    EXPECT_EQ(tool({"import", "meta", "../src/a.mbox"}).out,
              "imported '../src/a.mbox' message 3 as 'in002.msg'\nimported 1 message into 'meta'\n");
    EXPECT_EQ(files().size(), whole.size() + 1);
    EXPECT_EQ(slurp("in002.msg"), "Subject: three\n\n3");
}

TEST_F(InOut, ImportOfOtherSourcesAfterACutStartsAnew) {
    spit("../src/a.mbox", quirky);
    spit("../src/b", lunch);
    spit("meta", empty);
    const runresult cut =
        tool({"import", "meta", "../src/a.mbox"}, fsfaultenv({"FSFAULT_KILL=rename-to:in001.msg"}));
    ASSERT_EQ(cut.status, 128 + SIGKILL);
    const runresult other = tool({"import", "meta", "../src/b"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.err.find("cut short is finished: 2 of its last 2 messages are in"),
              std::string::npos)
        << other.err;
    // The cut import's two messages are in (the second finished by the
    // journal), then b's; a, run again, takes none of its messages twice.
    EXPECT_EQ(slurp("in002.msg"), lunch);
    EXPECT_EQ(files().size(), 4u);
    EXPECT_EQ(tool({"import", "meta", "../src/a.mbox"}).out, "imported 0 messages into 'meta'\n");
    EXPECT_EQ(files().size(), 4u);
}

// An import cut short at each step of a batch, its sources grown
// meanwhile (new mail in the mbox and the Maildir, a message read and
// moved to cur/), run again: each message once, the new ones too.
TEST_F(InOut, ImportCutThenSourcesGrewIsExactlyOnce) {
    const args imp = {"import", "meta", "../src/a.mbox", "../src/md"};
    for (const std::string at : {"rename-to:in000.msg", "rename-to:in002.msg", "fsync:meta",
                                 "fsync:.meta.mailbox-import", "unlink:.meta.mailbox-append"}) {
        clear();
        fs::remove_all("../src/md");
        fs::create_directories("../src/md/cur");
        fs::create_directories("../src/md/new");
        spit("../src/a.mbox", quirky);
        spit("../src/md/new/1.x", "Subject: m\n\n");
        spit("meta", empty);
        ASSERT_EQ(tool(imp, fsfaultenv({"FSFAULT_KILL=" + at})).status, 128 + SIGKILL) << at;
        spit("../src/a.mbox", quirky + "\nFrom c@x Sat Jan  3 00:00:00 1970\nSubject: three\n\n3\n");
        ASSERT_EQ(rename("../src/md/new/1.x", "../src/md/cur/1.x:2,S"), 0);
        spit("../src/md/new/2.y", "Subject: n\n\n");
        const runresult again = tool(imp);
        EXPECT_EQ(again.status, 0) << at << "\n" << again.err;
        EXPECT_EQ(messages(), (args{"Status: RO\nSubject: two\n\nlast line", "Subject: m\n\n",
                                    "Subject: n\n\n",
                                    "Subject: one\n\nline\nFrom the top\nFrom quoted\n>From twice\n",
                                    "Subject: three\n\n3"}))
            << at << "\n" << again.err;
    }
}

// What an earlier release's import kept (its sources and how many of their
// messages are in) is gone on from: those messages are not taken twice.
TEST_F(InOut, ImportAfterAnEarlierReleasesCountGoesOn) {
    // The first message twice, byte for byte: the second is a message of its own.
    const std::string one = "From a@x Thu Jan  1 00:00:00 1970\nSubject: one\n\n1\n\n";
    spit("../src/a.mbox", one + one + "From b@x Thu Jan  1 00:00:00 1970\nSubject: two\n\n2\n");
    spit("meta", plainindex({"in000.msg"}));
    spit("in000.msg", "Subject: one\n\n1\n");
    struct stat st;
    ASSERT_EQ(stat("../src/a.mbox", &st), 0);
    const std::string id = "mbox " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) +
                           " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec) + " ../src/a.mbox\n";
    spit(".meta.mailbox-import",
         "mailbox-import 1\ndone 1\nsources " + std::to_string(id.size()) + "\n" + id);
    const std::string want = "imported '../src/a.mbox' message 2 as 'in001.msg'\n"
                             "imported '../src/a.mbox' message 3 as 'in002.msg'\n"
                             "imported 2 messages into 'meta'\n";
    EXPECT_EQ(tool({"import", "-n", "meta", "../src/a.mbox"}).out,
              std::regex_replace(want, std::regex("imported"), "would import"));
    const runresult got = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, want);
    EXPECT_TRUE(slurp(".meta.mailbox-import").starts_with("mailbox-import 2\n"));
    EXPECT_EQ(tool({"import", "meta", "../src/a.mbox"}).out, "imported 0 messages into 'meta'\n");
}

// The index's write cut short (a full disk took its last bytes), the
// journal still there: the next command writes the records whole. So too
// for a delivery, whose message then comes out again.
TEST_F(InOut, AppendIndexWriteCutShortIsMended) {
    spit("../src/a.mbox", quirky);
    for (const bool import : {true, false}) {
        clear();
        spit("meta", empty);
        const runresult cut =
            import ? tool({"import", "meta", "../src/a.mbox"}, fsfaultenv({"FSFAULT_KILL=fsync:meta"}))
                   : deliver(lunch, {}, fsfaultenv({"FSFAULT_KILL=fsync:meta"}));
        ASSERT_EQ(cut.status, 128 + SIGKILL);
        const std::string whole = slurp("meta");
        ASSERT_EQ(truncate("meta", static_cast<off_t>(empty.size() + 5)), 0);
        const runresult next = tool({"list", "meta"});
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(slurp("meta"), import ? whole : empty) << next.err;
        EXPECT_EQ(messages().size(), import ? 2u : 0u);
    }
}

// A batch that fails: nothing of it kept, or (the ledger's sync failing
// after the records are in) finished by the next command; then the same
// import run again leaves each message once, under names in order.
struct batchrow {
    const char* name;
    std::string fault;
    int status;
    size_t kept;  // message files after the failed run
    const char* err;
    std::vector<std::string> names = {"in000.msg", "in001.msg", "in002.msg"};
};
void PrintTo(const batchrow& r, std::ostream* os) { *os << r.name; }
class ImportBatch : public InOut, public ::testing::WithParamInterface<batchrow> {};

TEST_P(ImportBatch, FailsWholeOrFinishes) {
    const batchrow& r = GetParam();
    spit("../src/a.mbox", quirky);
    spit("../src/b", lunch);
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox", "../src/b"};
    const runresult got = tool(imp, fsfaultenv({"FSFAULT_FAIL=" + r.fault}));
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    EXPECT_EQ(messages().size(), r.kept) << got.err;
    if (r.kept == 0) {
        EXPECT_EQ(slurp("meta"), empty);
    }
    for (const auto& n : listing(".")) EXPECT_FALSE(n.ends_with(".tmp")) << n;
    const runresult again = tool(imp);
    EXPECT_EQ(again.status, 0) << again.err;
    args names;
    for (const auto& [n, b] : files()) if (n.starts_with("in")) names.push_back(n);
    EXPECT_EQ(names, r.names);
    EXPECT_EQ(messages().size(), 3u);
    EXPECT_FALSE(tool({"list", "meta"}).out.empty());
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ImportBatch,
    ::testing::Values(
        batchrow{"SyncAside", "fsync:.mailbox-import-1.tmp:EIO", 2, 0, "nothing of this batch kept"},
        // The first message can't be written aside: none after it is read.
        batchrow{"CreateFirstAside", "create:.mailbox-import-0.tmp:ENOSPC:1", 2, 0, "run again goes on"},
        // The messages staged before go in first.
        batchrow{"WriteAside", "write:.mailbox-import-2.tmp:ENOSPC", 2, 2, "run again goes on"},
        batchrow{"Journal", "create:.meta.mailbox-append.new:EIO", 2, 0, "nothing of this batch kept"},
        batchrow{"Move", "rename-to:in001.msg:EIO", 2, 0, "nothing of this batch kept"},
        batchrow{"DirSync", "fsync:.:EIO:2", 2, 0, "nothing of this batch kept"},
        batchrow{"Index", "write:meta:ENOSPC", 2, 0, "nothing of this batch kept"},
        batchrow{"IndexSync", "fsync:meta:EIO:1", 2, 0, "nothing of this batch kept"},
        // The index can't be put back either: the next command finishes it.
        batchrow{"IndexSyncEach", "fsync:meta:EIO", 2, 3, "the next mailbox command finishes it"},
        batchrow{"Ledger", "fsync:.meta.mailbox-import:EIO:1", 2, 3, "the next mailbox command finishes it"},
        // A name taken meanwhile by a writer that holds no lock: the next.
        batchrow{"NameTaken", "rename-to:in001.msg:EEXIST:1", 0, 3, "",
                 {"in000.msg", "in002.msg", "in003.msg"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The import of src/m.mbox (pre run first, with opts) stopped at the fsfault
// call at; meanwhile started then as $d, without the fault library; a
// second later the import let go on ($pid), and then run.
runresult stoppedimport(const std::string& at, const std::string& meanwhile, const std::string& then,
                        const std::string& opts = "", const std::string& pre = "") {
    return run({"/bin/sh", "-c",
                pre + "\"$0\" import " + opts + " meta ../src/m.mbox >/dev/null & pid=$!\n"
                "until grep -q '^State:.*stopped' /proc/$pid/status || ! kill -0 $pid; do sleep 0.05; done\n"
                "env -u LD_PRELOAD " + meanwhile + " >/dev/null & d=$!\nsleep 1.2; kill -CONT $pid; " + then,
                MAILBOX_PATH},
               nullptr, fsfaultenv({"FSFAULT_SIGNAL=STOP:" + at}));
}

// src/m.mbox of n messages "Subject: 0" on, more than a batch when n > 256.
void spitmany(int n) {
    std::string mbox;
    for (int k = 0; k < n; k++)
        mbox += "From a@x Thu Jan  1 00:00:00 1970\nSubject: " + std::to_string(k) + "\n\n\n";
    spit("../src/m.mbox", mbox);
}

// More messages than a batch holds: names, records and their order go on
// from one batch to the next.
// A long import (stopped in its first batch for over a second, so that it
// counts as long) lets a command waiting for the lock in between two of
// its batches: that command's record lands between the batches, and every
// message is in once, an import that ran meanwhile stopping this one.
struct letinrow {
    const char* name;
    const char* meanwhile;  // run (without fsfault) as the import waits, src/one its message
    int status;             // the import's
    long before = 256;      // records before the delivered one
    std::string at = "create:.mailbox-import-0.tmp", opts = "";  // where the import waits; its options
    std::string then = "wait $pid; i=$?; wait $d && exit $i", err = "";  // once it goes on; a line it says
    std::string pre = "";  // before the import starts
};
void PrintTo(const letinrow& r, std::ostream* os) { *os << r.name; }
class LetIn : public InOut, public ::testing::WithParamInterface<letinrow> {};
TEST_P(LetIn, BetweenBatches) {
    spitmany(300);
    spit("../src/one", "Subject: delivered\n\n");
    spit("meta", empty);
    const runresult got = stoppedimport(GetParam().at, GetParam().meanwhile, GetParam().then,
                                        GetParam().opts, GetParam().pre);
    EXPECT_EQ(got.status, GetParam().status) << got.err;
    EXPECT_TRUE(got.err.starts_with(GetParam().err)) << got.err;
    std::string list = tool({"list", "meta", "--format=%subject"}).out;
    const size_t at = list.find("delivered\n");
    ASSERT_NE(at, std::string::npos) << list;
    EXPECT_EQ(std::count(list.begin(), list.begin() + static_cast<long>(at), '\n'), GetParam().before);
    EXPECT_EQ(tool({"import", "meta", "../src/m.mbox"}).status, 0);
    list = tool({"list", "meta", "--format=%subject"}).out;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 301);
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
}
INSTANTIATE_TEST_SUITE_P(Rows, LetIn, ::testing::Values(
    letinrow{"Delivery", "\"$0\" deliver meta < ../src/one", 0},
    letinrow{"OtherImport", "\"$0\" import --wait=60 meta ../src/one", 5},
    // Stopped inside a batch: nothing gets in until that batch is in.
    letinrow{"OtherImportMidBatch", "\"$0\" import --wait=60 meta ../src/one", 0, 300, "create:.mailbox-import-1.tmp:2"},
    // Slow in its first batch (its mbox's writer waited for), stopped in the next: that batch
    // is written under the locks taken again as before, which keep a reader out.
    letinrow{"ReaderKeptOutAfterThePause", "\"$0\" list --wait=0 meta", 0, 300, "create:.mailbox-import-0.tmp:2", "--wait=5",
             "wait $pid; i=$?; wait $d; [ $? != 0 ] && env -u LD_PRELOAD \"$0\" deliver meta < ../src/one && exit $i", "",
             ": >../src/m.mbox.lock; (sleep 1.1; rm ../src/m.mbox.lock) & "},
    // Stopped before it reads (the ledger begun): quick from there, it lets no one in.
    letinrow{"QuickAfterItsStartNoPause", "\"$0\" deliver meta < ../src/one", 0, 300, "create:.meta.mailbox-import.new"},
    // The lock held by another past the pause: a signal ends the wait at once; --wait=1 runs out.
    letinrow{"SignalInTheWait", "flock -o . sh -c ': >../src/held; sleep 5; : >../src/late'", 143, 256, "create:.mailbox-import-0.tmp", "",
             "until [ -e ../src/held ]; do sleep 0.02; done; sleep 0.3; kill -TERM $pid; wait $pid; i=$?; [ -e ../src/late ] && i=99; kill $d; "
             "env -u LD_PRELOAD \"$0\" deliver meta < ../src/one; exit $i", "mailbox: interrupted by SIGTERM after 256 messages in; run"},
    letinrow{"LockHeldPastTheWait", "flock -o . sleep 5", 5, 256, "create:.mailbox-import-0.tmp", "--wait=1",
             "wait $pid; i=$?; kill $d; env -u LD_PRELOAD \"$0\" deliver meta < ../src/one; exit $i",
             "mailbox: another process (a msgseq or mailbox run, or flock(1)) holds the lock on this directory; the import stops here\n"
             "mailbox: the import stops here, with 256 messages in; run the same"}), rowname);

// An mbox grown by another program (no lock) while an import reads it, its
// read lock held: the import ends at the size it had; what was appended is
// the next import's.
TEST_F(InOut, MboxGrownWhileReadEndsWhereItWas) {
    const std::string sep = "From b@x Thu Jan  1 00:00:00 1970\n";
    spit("../src/b.mbox", "From a@x Thu Jan  1 00:00:00 1970\nSubject: 1\n\n\n" + sep + "Subject: 2\n\n");
    spit("meta", empty);
    const runresult got = mbxwhilestopped("import meta ../src/b.mbox", "create:.mailbox-import-0.tmp",
        "{ grep -Eq \"POSIX +ADVISORY +READ +$pid \" /proc/locks || : >../src/unlocked; }; printf '" + sep + "Subject: 3\\n\\n' >> ../src/b.mbox");
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(messages().size(), 2u);
    EXPECT_FALSE(fs::exists("../src/unlocked"));
    EXPECT_EQ(tool({"import", "meta", "../src/b.mbox"}).status, 0);
    EXPECT_EQ(messages().size(), 3u);
}

// A stop signal as a long import lets others in ends it then, with the
// batches before it in: it does not wait out whoever took the locks.
TEST_F(InOut, LetInStopSignalInTheGapEndsItThere) {
    spitmany(300);
    spit("meta", empty);
    const runresult got = stoppedimport("create:.mailbox-import-0.tmp",
                                        "flock . sh -c \"kill -TERM $pid; sleep 3; : > ../src/released\"",
                                        "wait $pid; i=$?; [ -e ../src/released ] && i=1; wait $d; exit $i");
    EXPECT_EQ(got.status, 128 + SIGTERM) << got.err;
    EXPECT_NE(got.err.find("interrupted by SIGTERM after 256 messages in"), std::string::npos) << got.err;
    EXPECT_EQ(tool({"import", "meta", "../src/m.mbox"}).status, 0);
    const std::string list = tool({"list", "meta", "--format=%subject"}).out;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 300);
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
}

// A msgseq -u run cut short that shows up as a long import lets others in
// stops the import with its messages so far in, and the lines say so.
TEST_F(InOut, LetInFindsARunCutShort) {
    spitmany(300);
    spit("in001.msg", "Subject: one\n\n");
    spit("in000.msg", "Subject: zero\n\n");
    spit("meta", metafile({{"in001.msg", "", "", "one", "", "", "N"}, {"in000.msg", "", "", "zero", "", "", "N"}}));
    // Its journal, made before the import and put back in the gap.
    ASSERT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-to:journal"}).status, 128 + SIGKILL);
    ASSERT_EQ(rename("meta.msgseq-update", "../src/aside"), 0);
    const runresult got = stoppedimport("create:.mailbox-import-0.tmp", "flock . mv ../src/aside meta.msgseq-update",
                                        "wait $pid; i=$?; wait $d; exit $i");
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_EQ(got.err.find("nothing done"), std::string::npos) << got.err;
    EXPECT_NE(got.err.find("with 256 messages in"), std::string::npos) << got.err;
    EXPECT_EQ(messages().size(), 258u);
}

TEST_F(InOut, ImportOfManyBatchesKeepsTheOrder) {
    spitmany(600);
    spit("meta", empty);
    ASSERT_EQ(tool({"import", "meta", "../src/m.mbox"}).status, 0);
    EXPECT_EQ(slurp("in599.msg"), "Subject: 599\n\n");
    EXPECT_EQ(slurp("in256.msg"), "Subject: 256\n\n");
    const std::string list = tool({"list", "meta", "--format=%file %subject"}).out;
    EXPECT_NE(list.find("in256.msg 256\n"), std::string::npos) << list.substr(0, 300);
    EXPECT_EQ(tool({"check", "meta"}).status, 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 600);
    // Every batch's lines are in the ledger: run again, it takes nothing.
    const auto whole = files(true);
    EXPECT_EQ(tool({"import", "meta", "../src/m.mbox"}).out, "imported 0 messages into 'meta'\n");
    EXPECT_EQ(files(true), whole);
}

// A mailbox whose records say what the messages' own headers say.
void roundbox() {
    spit("in000.msg", lunch);
    spit("in001.msg", "From: c@x\r\nSubject: crlf\r\nStatus: RO\r\n\r\nFrom a line\r\n>From b\r\n");
    spit("in002.msg", "Subject: end\n\nno final newline");
    spit("in003.msg", "Subject: q\n\n>>From deep\nFrom \n\n\n");
    // A sender whose From line must keep the quoted local part whole.
    spit("in004.msg", "From: \"Ann Lee\"@x\nSubject: self\n\nnote\n");
    spit("meta", metafile({lunchrec("in000.msg"), {"in001.msg", "", "c@x", "crlf", "", "", "R"},
                           {"in002.msg", "", "", "end", "", "", "N"},
                           {"in003.msg", "", "", "q", "", "", "N"},
                           {"in004.msg", "", "\"Ann Lee\"@x", "self", "", "", "N"}}));
}

struct triprow {
    const char* name;
    args to;
};
void PrintTo(const triprow& r, std::ostream* os) { *os << r.name; }
class RoundTrip : public InOut, public ::testing::WithParamInterface<triprow> {};

TEST_P(RoundTrip, ImportOfExportIsTheSame) {
    roundbox();
    const auto was = files();
    args ex = {"export", "meta"};
    ex.insert(ex.end(), GetParam().to.begin(), GetParam().to.end());
    const runresult out = tool(ex);
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(files(), was);  // the mailbox untouched
    ASSERT_EQ(chdir("../src"), 0);
    ASSERT_EQ(mkdir("again", 0755), 0);
    ASSERT_EQ(chdir("again"), 0);
    spit("meta", empty);
    const std::string from = "../" + GetParam().to[1].substr(GetParam().to[1].rfind('/') + 1);
    const runresult in = tool({"import", "meta", from});
    ASSERT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(files(), was);
}

INSTANTIATE_TEST_SUITE_P(Rows, RoundTrip,
                         ::testing::Values(triprow{"Mbox", {"--mbox", "../src/out.mbox"}},
                                           triprow{"Maildir", {"--maildir", "../src/md"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The record's flag, not a Status header that says otherwise, comes back.
class RoundTripFlags : public RoundTrip {};
TEST_P(RoundTripFlags, AsTheRecordsSay) {
    spit("in000.msg", "Subject: o\nStatus: O\n\nread since\n");
    spit("in001.msg", "Subject: ro\nStatus: RO\n\nmarked new\n");
    spit("meta", metafile({{"in000.msg", "", "", "o", "", "", "R"}, {"in001.msg", "", "", "ro", "", "", "N"}}));
    args ex = {"export", "meta"};
    ex.insert(ex.end(), GetParam().to.begin(), GetParam().to.end());
    ASSERT_EQ(tool(ex).status, 0);
    ASSERT_EQ(chdir("../src"), 0);
    ASSERT_EQ(mkdir("again", 0755), 0);
    ASSERT_EQ(chdir("again"), 0);
    spit("meta", empty);
    const std::string from = "../" + GetParam().to[1].substr(GetParam().to[1].rfind('/') + 1);
    ASSERT_EQ(tool({"import", "meta", from}).status, 0);
    EXPECT_EQ(tool({"list", "meta"}).out, "1\tR\t\to\n2\tN\t\tro\n");
}
INSTANTIATE_TEST_SUITE_P(Rows, RoundTripFlags,
                         ::testing::Values(triprow{"Mbox", {"--mbox", "../src/out.mbox"}},
                                           triprow{"Maildir", {"--maildir", "../src/md"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InOut, ExportMarksReadAsStatusRoAndSeen) {
    spit("in000.msg", lunch);
    spit("meta", metafile({lunchrec("in000.msg", "R")}));
    ASSERT_EQ(tool({"export", "meta", "--mbox", "../src/out"}).status, 0);
    const std::string text = slurp("../src/out");
    EXPECT_EQ(text.substr(text.find('\n') + 1), "Status: RO\n" + lunch + "\n");
    ASSERT_EQ(tool({"export", "meta", "--maildir", "../src/md"}).status, 0);
    const auto cur = listing("../src/md/cur");
    ASSERT_EQ(cur.size(), 1u);
    EXPECT_TRUE(cur.begin()->ends_with(":2,S")) << *cur.begin();
    EXPECT_EQ(slurp("../src/md/cur/" + *cur.begin()), lunch);
    EXPECT_TRUE(listing("../src/md/new").empty());
    // A message that starts with a byte-order mark keeps it first.
    spit("in000.msg", "\xEF\xBB\xBF" + lunch);
    ASSERT_EQ(tool({"export", "meta", "--mbox", "../src/bom"}).status, 0);
    const std::string bom = slurp("../src/bom");
    EXPECT_EQ(bom.substr(bom.find('\n') + 1), "\xEF\xBB\xBFStatus: RO\n" + lunch + "\n");
}

// Each message's From line names its sender as one word: the address in
// angle brackets without the spaces in it, or MAILER-DAEMON for none.
TEST_F(InOut, ExportFromLineNamesTheSender) {
    spit("in000.msg", lunch);
    spit("in001.msg", "Subject: two\n\n2\n");
    spit("in002.msg", "Subject: three\n\n3\n");
    spit("meta", metafile({lunchrec("in000.msg"), {"in001.msg", "", "Odd <a b@x>", "two", "", "", "N"},
                           {"in002.msg", "", "", "three", "", "", "N"}}));
    ASSERT_EQ(tool({"export", "meta", "--mbox", "../src/out"}).status, 0);
    const std::string text = slurp("../src/out");
    EXPECT_TRUE(text.starts_with("From bob@example.org ")) << text;
    EXPECT_NE(text.find("\nFrom ab@x "), std::string::npos) << text;
    EXPECT_NE(text.find("\nFrom MAILER-DAEMON "), std::string::npos) << text;
}

// What export refuses or leaves out, and what it leaves on disk then.
struct exportrow {
    const char* name;
    args cmd;
    std::vector<std::string> faults;
    int status;
    std::string out;  // src/out afterwards: "-" for none
    std::string err = {};
};
void PrintTo(const exportrow& r, std::ostream* os) { *os << r.name; }
class Export : public InOut, public ::testing::WithParamInterface<exportrow> {};

TEST_P(Export, WritesWholeOrNothing) {
    const exportrow& r = GetParam();
    spit("in000.msg", lunch);
    spit("in001.msg", "Subject: two\n\n2\n");
    spit("meta", metafile({lunchrec("in000.msg"), {"in001.msg", "", "", "two", "", "", "N"}}));
    if (r.name == std::string("NeverOverwrites")) spit("../src/out", "mine\n");
    const auto was = files();
    const runresult got = tool(r.cmd, r.faults.empty() ? std::vector<std::string>{}
                                                       : fsfaultenv(r.faults));
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
    EXPECT_EQ(files(), was);
    if (r.out == "-") {
        EXPECT_FALSE(exists("../src/out"));
    } else if (r.out.starts_with("=")) {
        // The records' messages in the order given, each once.
        std::string bodies;
        const std::string text = slurp("../src/out");
        for (size_t at = 0; (at = text.find("Subject: ", at)) != std::string::npos; at++)
            bodies += text.substr(at + 9, text.find('\n', at) - at - 9) + ",";
        EXPECT_EQ(bodies, r.out == "=2,1" ? "two,Lunch," : r.out) << text;
    } else {
        EXPECT_EQ(slurp("../src/out"), r.out);
    }
    EXPECT_EQ(listing("../src").size(), r.out == "-" ? 0u : 1u);  // nothing written aside left
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Export,
    ::testing::Values(
        exportrow{"NeverOverwrites", {"export", "meta", "--mbox", "../src/out"}, {}, 2, "mine\n",
                  "never writes over"},
        exportrow{"DiskFull", {"export", "meta", "--mbox", "../src/out"},
                  {"FSFAULT_FAIL=write:.out.mailbox-export:ENOSPC"}, 2, "-", "No space"},
        exportrow{"SyncFails", {"export", "meta", "--mbox", "../src/out"},
                  {"FSFAULT_FAIL=fsync:.out.mailbox-export:EIO"}, 2, "-", "Input/output"},
        exportrow{"DryRun", {"export", "-n", "meta", "--mbox", "../src/out"}, {}, 0, "-", ""},
        exportrow{"NoSuchRecord", {"export", "meta", "--mbox", "../src/out", "3"}, {}, 2, "-",
                  "has no record 3"},
        // A record named twice is written once, where it is first named.
        exportrow{"EachRecordOnce", {"export", "meta", "--mbox", "../src/out", "2", "1", "1-2"},
                  {}, 0, "=2,1", "named more than once"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InOut, ExportLeavesOutAFifoSwappedIn) {
    spit("in000.msg", lunch);
    ASSERT_EQ(mkfifo("in001.msg", 0600), 0);
    spit("meta", metafile({lunchrec("in000.msg"), {"in001.msg", "", "", "two", "", "", "N"}}));
    const runresult got = tool({"export", "meta", "--mbox", "../src/out"});
    EXPECT_EQ(got.status, 1);
    EXPECT_NE(got.err.find("'in001.msg': it is not a regular file; left out"), std::string::npos)
        << got.err;
    const std::string text = slurp("../src/out");
    EXPECT_EQ(text.substr(text.find('\n') + 1), lunch + "\n");
}

TEST_F(InOut, ExportOfRecordsNumberedAndFromTheWrongDirectory) {
    spit("in000.msg", lunch);
    spit("in001.msg", "Subject: two\n\n2\n");
    spit("meta", metafile({lunchrec("in000.msg"), {"in001.msg", "", "", "two", "", "", "N"}}));
    ASSERT_EQ(tool({"export", "meta", "--mbox", "../src/out", "2"}).status, 0);
    const std::string text = slurp("../src/out");
    EXPECT_EQ(text.substr(text.find('\n')), "\nSubject: two\n\n2\n\n");
    ASSERT_EQ(chdir("../src"), 0);
    const runresult wrong = tool({"export", "../box/meta", "--mbox", "out2"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("none of the listed files"), std::string::npos) << wrong.err;
    EXPECT_FALSE(exists("out2"));
}

}  // namespace

namespace {

// Stopped by a signal between two messages, an import says how far it got
// and ends by the signal; run again, it goes on with the rest, once each.
TEST_F(InOut, ImportStoppedBySignalSaysWhereAndGoesOn) {
    spit("../src/a.mbox", quirky);
    spit("../src/b", lunch);
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox", "../src/b"};
    const runresult cut =
        tool(imp, fsfaultenv({"FSFAULT_SIGNAL=TERM:create:.mailbox-import-1.tmp"}));
    EXPECT_EQ(cut.status, 128 + SIGTERM);
    EXPECT_NE(cut.err.find("interrupted by SIGTERM after 2 messages"), std::string::npos)
        << cut.err;
    EXPECT_EQ(files().size(), 3u);
    const runresult again = tool(imp);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(slurp("in002.msg"), lunch);
    EXPECT_EQ(files().size(), 4u);
}

// A first message (a loose file, or an mbox's, the mbox longer than a piece)
// that can't be written aside stops the import: nothing after it is read.
TEST_F(InOut, ImportStoppedAtItsFirstMessageReadsNoFurther) {
    spit("../src/note", "Subject: n\n\nx\n");
    spit("../src/more", lunch);
    spit("../src/big.mbox", "From a@x Thu Jan  1 00:00:00 1970\n" + lunch + "\nFrom b@x Thu Jan  1 00:00:00 1970\n" + big);
    for (const args& from : {args{"../src/note", "../src/more"}, args{"../src/big.mbox"}}) {
        spit("meta", empty);
        args cmd = {"import", "meta"};
        cmd.insert(cmd.end(), from.begin(), from.end());
        const runresult got = tool(cmd, fsfaultenv({"FSFAULT_FAIL=create:.mailbox-import-0.tmp:ENOSPC:1"}));
        EXPECT_EQ(got.status, 2) << got.err;
        EXPECT_EQ(messages().size(), 0u) << got.err;
    }
}

// The count an interrupted import gives is of the messages it got in, the
// ones left out said apart.
TEST_F(InOut, ImportStoppedCountsOnlyTheMessagesIn) {
    spit("../src/note", "Subject: n\n\nx\n");
    spit("../src/junk", "no header\n");
    spit("../src/more", lunch);
    spit("meta", empty);
    const runresult cut = tool({"import", "meta", "../src/note", "../src/junk", "../src/more"},
                               fsfaultenv({"FSFAULT_SIGNAL=TERM:rename-to:in001.msg"}));
    EXPECT_EQ(cut.status, 128 + SIGTERM);
    EXPECT_NE(cut.err.find("after 2 messages in (1 left out)"), std::string::npos) << cut.err;
}

// A ledger beside the index that is not this program's: the import
// refuses, nothing touched. A last line cut short by a crash is no line:
// the import goes on over it.
TEST_F(InOut, ImportRefusesAPlantedLedger) {
    spit("../src/b", lunch);
    spit("../src/l", "mailbox-import 2\n");
    for (const std::string how : {"link", "garbled", "others", "cut"}) {
        if (how == "others" && geteuid() != 0) continue;
        clear();
        spit("meta", empty);
        if (how == "link")
            ASSERT_EQ(symlink("../src/l", ".meta.mailbox-import"), 0);
        else
            spit(".meta.mailbox-import", "mailbox-import 2\n" + std::string(how == "garbled" ? "0 0 0\n"
                                                                             : how == "cut" ? "0123" : ""));
        if (how == "others") {
            ASSERT_EQ(chown(".meta.mailbox-import", 65533, 65533), 0);
        }
        const auto before = files(true);
        const runresult got = tool({"import", "meta", "../src/b"});
        if (how == "cut") {
            EXPECT_EQ(got.status, 0) << got.err;
            EXPECT_EQ(slurp(".meta.mailbox-import").find("0123"), std::string::npos);
            continue;
        }
        EXPECT_EQ(got.status, 2) << how;
        EXPECT_NE(got.err.find("nothing done"), std::string::npos) << how << got.err;
        EXPECT_EQ(files(true), before) << how;
        EXPECT_EQ(slurp("../src/l"), "mailbox-import 2\n");
    }
}

// What an import keeps beside the index, not in its form, is said so.
TEST_F(InOut, ImportRecordNotInFormSaysSo) {
    spit("meta", empty);
    spit(".meta.mailbox-import", "mailbox-import 1\ndone x\n");
    spit("../src/b", lunch);
    const runresult got = tool({"import", "meta", "../src/b"});
    EXPECT_EQ(got.status, 2);
    EXPECT_NE(got.err.find("left: not in a form mailbox writes; nothing done"), std::string::npos)
        << got.err;
}

// Standard output full: every message is in, and the status and a line
// on standard error say the lines were lost.
TEST_F(InOut, ImportWithOutputFullSaysSo) {
    if (geteuid() != 0) GTEST_SKIP() << "mknod needs root";
    ASSERT_EQ(mknod("../src/full", S_IFCHR | 0666, makedev(1, 7)), 0);
    spit("../src/b", lunch);
    spit("meta", empty);
    const runresult got = run({MAILBOX_PATH, "import", "meta", "../src/b"}, "../src/full");
    EXPECT_EQ(got.status, 4) << got.err;
    EXPECT_NE(got.err.find("standard output"), std::string::npos) << got.err;
    EXPECT_EQ(slurp("in000.msg"), lunch);
}

TEST_F(InOut, ExportWithOutputFullSaysSo) {
    if (geteuid() != 0) GTEST_SKIP() << "mknod needs root";
    ASSERT_EQ(mknod("../src/full", S_IFCHR | 0666, makedev(1, 7)), 0);
    spit("in000.msg", lunch);
    spit("meta", metafile({lunchrec("in000.msg")}));
    for (const char* to : {"--mbox", "--maildir"}) {
        const runresult got =
            run({MAILBOX_PATH, "export", "meta", to, std::string("../src/out") + to}, "../src/full");
        EXPECT_EQ(got.status, 4) << to << got.err;
        EXPECT_NE(got.err.find("standard output"), std::string::npos) << got.err;
    }
    EXPECT_NE(slurp("../src/out--mbox").find(lunch), std::string::npos);
}

}  // namespace

namespace {

// mend --adopt gives a message whose name the index can't hold the next
// free name, as a delivery would; what is not a message keeps its name.
TEST_F(InOut, AdoptGivesALongNameTheNextFreeName) {
    spit("meta", metafile({lunchrec("in004.msg")}));
    spit("in004.msg", lunch);
    spit("in005.msg", "Subject: five\n\n");
    spit("a very long name.eml", "Subject: long\n\n");
    spit("another long name", "no header\n");
    const runresult got = tool({"mend", "meta", "--adopt"});
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_EQ(slurp("in006.msg"), "Subject: long\n\n");
    EXPECT_FALSE(exists("a very long name.eml"));
    EXPECT_EQ(slurp("another long name"), "no header\n");
    const std::string list = tool({"list", "meta"}).out;
    EXPECT_NE(list.find("\tlong\n"), std::string::npos) << list;
    EXPECT_NE(slurp("meta").find("in006.msg\n\n\nlong\n"), std::string::npos);
}

}  // namespace
