// Rows that hold what the other tables left open: the index swapped in by a
// plain rename where the file system can't exchange, synced before the
// receipt; a delete's removals synced before its journal goes, and a record
// whose name is a directory, a link or the index deleted with that name
// kept; a receipt the index no longer fits (an update's, one brought from
// another directory, or one whose files were put back) never makes the
// index stale.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

std::string msg(const std::string& name) { return "message " + name; }
std::string indexof(const std::vector<std::string>& names) { return plainindex(names); }
void twobox() {
    for (const char* n : {"a.msg", "b.msg"}) spit(n, msg(n));
    spit("meta", indexof({"b.msg", "a.msg"}));
}

// msgseq -u under the fault library: the calls it made hold 'logged'.
struct logrow {
    const char* name;
    std::vector<std::string> faults;
    std::string logged;
};
void PrintTo(const logrow& r, std::ostream* os) { *os << r.name; }
class SeedLog : public ScratchDir, public ::testing::WithParamInterface<logrow> {};

TEST_P(SeedLog, UpdateCalls) {
    twobox();
    std::vector<std::string> faults = GetParam().faults;
    faults.push_back("FSFAULT_LOG=calls.log");
    const runresult r = runfsfault({"-u", "meta"}, faults);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp("calls.log").find(GetParam().logged), std::string::npos) << slurp("calls.log");
    EXPECT_EQ(slurp("meta"), indexof({"in000.msg", "in001.msg"}));
}

INSTANTIATE_TEST_SUITE_P(Rows, SeedLog, ::testing::Values(
    logrow{"NoExchangeSyncsTheIndexDir", {"FSFAULT_FAIL=rename-to:meta:EINVAL:1"},
           "renameat2x index meta EINVAL\nrename index meta 0\nfsync . 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// msgseq -u stopped at 'at' while 'meanwhile' rewrites the index, then let
// go on: the update leaves that index as the other program wrote it.
struct racerow {
    const char* name;
    std::string at;
    std::vector<std::string> written;  // the index the other program writes
    int status;
};
void PrintTo(const racerow& r, std::ostream* os) { *os << r.name; }
class SeedRace : public ScratchDir, public ::testing::WithParamInterface<racerow> {};

TEST_P(SeedRace, OtherIndexKept) {
    twobox();
    std::vector<std::vector<std::string>> recs;
    for (const auto& n : GetParam().written) recs.push_back({n, "to", "from", "changed", "", "", "N"});
    spit("other", metafile(recs));
    const runresult r = run({"/bin/sh", "-c",
                             "\"$0\" -u meta & pid=$!\nuntil grep -q '^State:.*stopped' /proc/$pid/"
                             "status || ! kill -0 $pid; do sleep 0.05; done\nmv other meta; "
                             "kill -CONT $pid; wait $pid",
                             MSGSEQ_PATH},
                            nullptr, fsfaultenv({"FSFAULT_SIGNAL=STOP:" + GetParam().at}));
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_EQ(slurp("meta"), metafile(recs));
}

INSTANTIATE_TEST_SUITE_P(Rows, SeedRace, ::testing::Values(
    racerow{"RecordsChangedMeanwhile", "rename-to:in001.msg", {"b.msg", "a.msg"}, 6}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef MAILBOX_PATH
// A msgseq run, then what changes the receipt's standing: mailbox list
// then says nothing of a stale index.
struct stalerow {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> after;
};
void PrintTo(const stalerow& r, std::ostream* os) { *os << r.name; }
class SeedStale : public ScratchDir, public ::testing::WithParamInterface<stalerow> {};

TEST_P(SeedStale, NotStale) {
    twobox();
    std::vector<std::string> argv = {MSGSEQ_PATH};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    ASSERT_EQ(run(argv).status, 0);
    GetParam().after();
    const runresult r = run({MAILBOX_PATH, "list", "meta"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("still lists"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Rows, SeedStale, ::testing::Values(
    // The index as it was before an update put back: the update's receipt
    // is no plain run's.
    stalerow{"UpdateThenOldIndexBack", {"-u", "meta"},
             [] { spit("meta", indexof({"b.msg", "a.msg"})); }},
    // The index, its receipt and links to its files in another directory.
    stalerow{"ReceiptOfAnotherDirectory", {"meta"}, [] {
                 ASSERT_EQ(mkdir("other", 0700), 0);
                 ASSERT_EQ(link("in000.msg", "other/in000.msg"), 0);
                 ASSERT_EQ(link("in001.msg", "other/in001.msg"), 0);
                 spit("other/meta", slurp("meta"));
                 spit("other/.meta.msgseq-receipt", slurp(".meta.msgseq-receipt"));
                 ASSERT_EQ(chmod("other/.meta.msgseq-receipt", 0600), 0);
                 ASSERT_EQ(chdir("other"), 0);
             }},
    // The files given back their old names by hand: the index fits them.
    stalerow{"FilesPutBack", {"meta"}, [] {
                 ASSERT_EQ(rename("in000.msg", "b.msg"), 0);
                 ASSERT_EQ(rename("in001.msg", "a.msg"), 0);
             }}),
    [](const auto& info) { return std::string(info.param.name); });

// mailbox delete under the fault library, in a directory of a.msg, b.msg,
// sub (a directory) and l.msg (a link to x, which no record lists).
struct delrow {
    const char* name;
    std::vector<std::string> listed;
    std::string no;
    std::string out;
    std::string logged;  // what the calls made hold
    std::vector<std::string> left;
};
void PrintTo(const delrow& r, std::ostream* os) { *os << r.name; }
class SeedDelete : public ScratchDir, public ::testing::WithParamInterface<delrow> {};

TEST_P(SeedDelete, Row) {
    const delrow& r = GetParam();
    for (const char* n : {"a.msg", "b.msg", "x"}) spit(n, msg(n));
    ASSERT_EQ(mkdir("sub", 0700), 0);
    ASSERT_EQ(symlink("x", "l.msg"), 0);
    spit("meta", indexof(r.listed));
    const runresult got = run({MAILBOX_PATH, "delete", "meta", r.no}, nullptr,
                              fsfaultenv({"FSFAULT_LOG=calls.log"}));
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, r.out);
    EXPECT_NE(slurp("calls.log").find(r.logged), std::string::npos) << slurp("calls.log");
    for (const std::string& n : r.left) EXPECT_TRUE(exists(n)) << n;
    EXPECT_FALSE(exists(".meta.mailbox-delete"));
}

INSTANTIATE_TEST_SUITE_P(Rows, SeedDelete, ::testing::Values(
    delrow{"RemovalsSyncedBeforeTheJournalGoes", {"b.msg", "a.msg"}, "1",
           "deleted record 1 ('b.msg')\n",
           "unlink b.msg 0\nfsync . 0\nunlink .meta.mailbox-delete 0\nfsync . 0\n", {"a.msg"}},
    delrow{"DirectoryStays", {"b.msg", "sub"}, "2",
           "deleted record 2 ('sub'), whose file is not a regular file and stays\n", "",
           {"sub", "b.msg"}},
    delrow{"LinkStays", {"b.msg", "l.msg"}, "2",
           "deleted record 2 ('l.msg'), whose file is not a regular file and stays\n", "",
           {"l.msg", "x", "b.msg"}},
    delrow{"IndexStays", {"b.msg", "meta"}, "2",
           "deleted record 2 ('meta'), whose file is the index itself and stays\n", "", {"meta"}}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
