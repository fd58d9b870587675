// Records known by who they are, not where they stand: msgseq -u, its rerun
// and --abort on an index that another program reorders, saves over by a
// rename, writes to half way, or that lists a name twice; hard-linked
// records and messages written anew, after a run cut short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/renum.h"
#include "testutil.h"

namespace {

using files = std::map<std::string, std::string>;  // name -> content

std::string msg(const std::string& name) { return "message " + name; }

// The index of these names; with distinct, each record's subject is its
// name, so that its fields tell it from the others.
std::string indexof(const std::vector<std::string>& names, bool distinct = false,
                    const std::string& firstflag = "N") {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : names)
        recs.push_back({name, "to", "from", distinct ? "s " + name : "subj", "", "",
                        recs.empty() ? firstflag : "N"});
    return metafile(recs);
}

const std::string workdir = "meta.msgseq-update";
const std::vector<std::string> ring3 = {"in001.msg", "in002.msg", "in000.msg"};
const std::vector<std::string> usual = {"a.msg", "in002.msg", "in005.msg"};

// Shell lines another program runs on the index "meta" of three records.
// The last record put first, written in place or saved aside and renamed over.
const std::string rotate = "{ sed -n 1,2p meta; sed -n 17,23p meta; sed -n 3,16p meta; echo END; }";
const std::string rotateinplace = rotate + " > x.tmp && cat x.tmp > meta && rm x.tmp";
const std::string rotatesave = rotate + " > x.tmp && mv x.tmp meta";
// A client's save: a record d.msg added, the first message marked read, the
// whole written aside and renamed over the index.
const std::string clientsave =
    "{ head -n -1 meta; printf '%s\\n' d.msg to from subj '' '' N END; } | "
    "sed '0,/^N$/s//R/' > x.tmp && mv x.tmp meta";
// A record added in place, as a delivery that takes no lock does.
std::string deliverto(const std::string& path) {
    return "truncate -s -4 " + path + " && printf '%s\\n' e.msg to from subj '' '' N END >> " +
           path;
}

// msgseq args, stopped at 'at' (FSFAULT_SIGNAL=STOP) while meanwhile runs,
// then let go on.
runresult whilestopped(const std::vector<std::string>& args, const std::string& at,
                       const std::string& meanwhile) {
    std::string line = "\"$0\"";
    for (const auto& a : args) line += " '" + a + "'";
    return run({"/bin/sh", "-c",
                line + " & pid=$!\nuntil grep -q '^State:.*stopped' /proc/$pid/status || ! kill "
                       "-0 $pid; do sleep 0.05; done\n(unset LD_PRELOAD; " +
                    meanwhile + "); kill -CONT $pid; wait $pid",
                MSGSEQ_PATH},
               nullptr, fsfaultenv({"FSFAULT_SIGNAL=STOP:" + at}));
}

runresult sh(const std::string& line) { return run({"/bin/sh", "-c", line}); }

// A run on a mailbox (each listed name a file holding "message NAME"), cut
// short or stopped as the row says, another program's doing after it, then
// the rerun; and how it all ends.
struct idrow {
    std::string name;
    std::vector<std::string> listed;
    std::vector<std::string> args{"-u", "meta"};
    std::vector<std::string> faults{};  // the first run's; a STOP one waits for meanwhile
    std::string meanwhile{};
    int status = 0;
    std::string between{};            // run after the first run
    std::vector<std::string> rerun{};  // then this, unless empty
    int rerunstatus = 0;
    std::string err{};  // a line the last run says; empty: it says nothing
    files after{};      // every file at the end but the index and the work directory
    std::string meta{};
    bool journal = false;  // the work directory's journal stays
    bool distinct = false;
    bool cutshort = false;  // after is not checked: a ring's set-aside name holds an inode
    std::vector<std::pair<std::string, std::string>> links{};  // made before: name, existing
    std::set<std::string> absent{};                             // listed names without a file
};

void PrintTo(const idrow& r, std::ostream* os) { *os << r.name; }

class Identity : public ScratchDir, public ::testing::WithParamInterface<idrow> {
protected:
    files ondisk() {
        files f;
        for (const auto& name : listing())
            if (name != "meta" && name != workdir && !isreceipt(name)) f[name] = slurp(name);
        return f;
    }
};

// The ring's files once renamed.
const files ringdone = {{"in000.msg", msg("in001.msg")},
                        {"in001.msg", msg("in002.msg")},
                        {"in002.msg", msg("in000.msg")}};
const files ringbefore = {{"in000.msg", msg("in000.msg")},
                          {"in001.msg", msg("in001.msg")},
                          {"in002.msg", msg("in002.msg")}};
// The ring's index rotated: its records C, A, B under their old names.
const std::vector<std::string> ringrotated = {"in000.msg", "in001.msg", "in002.msg"};
const files usualdone = {
    {"in000.msg", msg("a.msg")}, {"in001.msg", msg("in002.msg")}, {"in002.msg", msg("in005.msg")}};
const files usualbefore = {
    {"a.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
const std::string killedmidring = "FSFAULT_KILL=rename-to:in002.msg";
const std::string differs =
    "msgseq: 'meta' is not the index that the update cut short was working on (record 1 differs "
    "from its journal); nothing done; put that index back, or give the update up with 'msgseq "
    "--abort meta'\n";
const std::string unfinished =
    "run 'msgseq -u meta' again to finish the update";

std::vector<idrow> idrows() {
    // The ring reordered by another program while -u works: each record,
    // found by its old name, gets its own file's new name, wherever it stands.
    const std::string rotatedmerged = indexof({"in002.msg", "in000.msg", "in001.msg"});
    std::vector<idrow> rows;
    for (const auto& [at, how] : std::vector<std::pair<std::string, std::string>>{
             {"mkdir:meta.msgseq-update", rotateinplace},
             {"rename-to:.msgseq-temp-*", rotatesave},
             {"fsync:index", rotateinplace},
             {"fsync:index", rotatesave},
             {"fsync:meta.msgseq-update:2", rotatesave}}) {
        std::string tag = at.substr(0, at.find(':')) + (how == rotatesave ? "Saved" : "InPlace");
        tag.erase(std::remove(tag.begin(), tag.end(), '-'), tag.end());
        if (at.ends_with(":2")) tag += "AfterTheLastLook";
        rows.push_back({.name = "RingReorderedAt" + tag,
                        .listed = ring3,
                        .faults = {"FSFAULT_SIGNAL=STOP:" + at},
                        .meanwhile = how,
                        .after = ringdone,
                        .meta = rotatedmerged});
    }
    // A client saves the index by a rename while -u works: its record and
    // read mark are kept, at each step.
    std::vector<std::vector<std::string>> saved;
    for (const auto& name : {"in000.msg", "in001.msg", "in002.msg", "d.msg"})
        saved.push_back({name, "to", "from", "subj", "", "", saved.empty() ? "R" : "N"});
    for (const auto& [at, tag] : std::vector<std::pair<std::string, std::string>>{
             {"mkdir:meta.msgseq-update", "Start"},
             {"rename-to:in000.msg", "ARename"},
             {"create:index", "Commit"},
             {"fsync:index", "Sync"},
             {"fsync:meta.msgseq-update:2", "Mark"},
             {"rename-to:meta", "Swap"}}) {
        rows.push_back({.name = "ClientSavesByRenameAt" + tag,
                        .listed = usual,
                        .faults = {"FSFAULT_SIGNAL=STOP:" + at},
                        .meanwhile = clientsave,
                        .after = usualdone,
                        .meta = metafile(saved)});
    }
    std::vector<std::vector<std::string>> delivered;
    for (const auto& name : {"in000.msg", "in001.msg", "in002.msg", "e.msg"})
        delivered.push_back({name, "to", "from", "subj", "", "", "N"});
    std::vector<std::vector<std::string>> olddelivered;
    for (const auto& name : {"a.msg", "in002.msg", "in005.msg", "e.msg"})
        olddelivered.push_back({name, "to", "from", "subj", "", "", "N"});
    rows.insert(
        rows.end(),
        {
            // Appended to the old index after the last look, before the swap.
            {.name = "AppendedAfterTheLastLook",
             .listed = usual,
             .faults = {"FSFAULT_SIGNAL=STOP:fsync:meta.msgseq-update:2"},
             .meanwhile = deliverto("meta"),
             .after = usualdone,
             .meta = metafile(delivered)},
            // Written to after the swap both in the new index and in the old
            // one: neither is lost, nor taken for done.
            {.name = "WrittenToBothIndexesAfterTheSwap",
             .listed = usual,
             .faults = {"FSFAULT_SIGNAL=STOP:rename-to:meta"},
             .meanwhile = deliverto("meta") + " && " + deliverto(workdir + "/index"),
             .status = 6,
             .err = "msgseq: 'meta' is rewritten, but the index another program put in its place "
                    "meanwhile could not be merged; it is kept as '",
             .after = usualdone,
             .meta = metafile(olddelivered),
             .journal = true},
            // The last record removed while -u renames: the index is left as
            // that program left it.
            {.name = "LastRecordRemovedMeanwhile",
             .listed = usual,
             .faults = {"FSFAULT_SIGNAL=STOP:rename-to:in000.msg"},
             .meanwhile = "sed -i 17,23d meta",
             .status = 6,
             .err = "msgseq: 'meta' was changed by another program during the update (record 3 "
                    "was removed or changed), and is not rewritten",
             .after = usualdone,
             .meta = indexof({"a.msg", "in002.msg"}),
             .journal = true},
            // Another program half way through a record when -u reads.
            {.name = "RecordHalfWritten",
             .listed = usual,
             .faults = {"FSFAULT_SIGNAL=STOP:rename-to:in000.msg"},
             .meanwhile = "truncate -s -4 meta && printf 'e.msg\\nto\\nfrom\\nsubj\\n\\n\\nN' >> meta",
             .status = 6,
             .err = "msgseq: 'meta' ends in a record another program has not finished writing, "
                    "and is not rewritten; the journal stays: " +
                    unfinished + "\n",
             .after = usualdone,
             .meta = indexof(usual).substr(0, indexof(usual).size() - 4) +
                     "e.msg\nto\nfrom\nsubj\n\n\nN",
             .journal = true},
            // Cut short in the ring, the index then reordered: the rerun is
            // refused, and --abort puts each file back under the name its
            // record lists, wherever it stands.
            {.name = "RingReorderedAfterAKill",
             .listed = ring3,
             .faults = {killedmidring},
             .status = 128 + SIGKILL,
             .between = rotatesave,
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = differs,
             .meta = indexof(ringrotated),
             .journal = true,
             .cutshort = true},
            {.name = "RingReorderedAfterAKillThenAbort",
             .listed = ring3,
             .faults = {killedmidring},
             .status = 128 + SIGKILL,
             .between = rotatesave,
             .rerun = {"--abort", "meta"},
             .after = ringbefore,
             .meta = indexof(ringrotated)},
            // The update's index in place when killed: the rerun finishes.
            {.name = "RingKilledAfterTheSwap",
             .listed = ring3,
             .faults = {"FSFAULT_KILL=rename-to:meta"},
             .status = 128 + SIGKILL,
             .rerun = {"-u", "meta"},
             .after = ringdone,
             .meta = indexof(ringrotated)},
            {.name = "RingKilledAfterTheSwapThenAbort",
             .listed = ring3,
             .faults = {"FSFAULT_KILL=rename-to:meta"},
             .status = 128 + SIGKILL,
             .rerun = {"--abort", "meta"},
             .after = ringdone,
             .meta = indexof(ringrotated)},
            // Killed between the mark and the swap: the index is the old one.
            {.name = "RingKilledAtTheMark",
             .listed = ring3,
             .faults = {"FSFAULT_KILL=fsync:meta.msgseq-update:2"},
             .status = 128 + SIGKILL,
             .rerun = {"-u", "meta"},
             .after = ringdone,
             .meta = indexof(ringrotated)},
            {.name = "RingKilledAtTheMarkThenAbort",
             .listed = ring3,
             .faults = {"FSFAULT_KILL=fsync:meta.msgseq-update:2"},
             .status = 128 + SIGKILL,
             .rerun = {"--abort", "meta"},
             .after = ringbefore,
             .meta = indexof(ring3)},
            // The update's index reordered by another program after the swap:
            // no one can tell its records from the ring's old ones.
            {.name = "RingSwappedThenReordered",
             .listed = ring3,
             .faults = {"FSFAULT_KILL=rename-to:meta"},
             .status = 128 + SIGKILL,
             .between = rotatesave,
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = differs,
             .after = ringdone,
             .meta = indexof({"in002.msg", "in000.msg", "in001.msg"}),
             .journal = true},
            // Records told apart by their fields: reordered after a kill, the
            // rerun is refused, with the record that differs.
            {.name = "DistinctRecordsReorderedAfterAKill",
             .listed = ring3,
             .faults = {killedmidring},
             .status = 128 + SIGKILL,
             .between = rotatesave,
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = differs,
             .meta = indexof(ringrotated, true),
             .journal = true,
             .distinct = true,
             .cutshort = true},
            // A message marked read between the kill and the rerun is the
            // same record.
            {.name = "MarkedReadAfterAKill",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "sed -i '0,/^N$/s//R/' meta",
             .rerun = {"-u", "meta"},
             .after = usualdone,
             .meta = indexof({"in000.msg", "in001.msg", "in002.msg"}, false, "R")},
            // One record fewer than the journal's: not its index.
            {.name = "RecordDroppedAfterAKill",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "sed -i 17,23d meta",
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = "msgseq: the update of 'meta' that was cut short worked in another directory "
                    "or on another index; finish it there, or give it up with 'msgseq --abort "
                    "meta'\n",
             .after = {{"in000.msg", msg("a.msg")},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")}},
             .meta = indexof({"a.msg", "in002.msg"}),
             .journal = true},
            // A name listed twice: -u touches nothing, and says what mends it.
            {.name = "NameListedTwice",
             .listed = {"a.msg", "b.msg", "a.msg"},
             .status = 2,
             .err = "msgseq: 'meta' lists 'a.msg' twice (records 1 and 3), and an update would "
                    "leave one of them naming a file that is gone; nothing done; 'mailbox check "
                    "meta' lists them, and 'mailbox mend --drop-twice meta' keeps the first "
                    "record of each\n",
             .after = {{"a.msg", msg("a.msg")}, {"b.msg", msg("b.msg")}},
             .meta = indexof({"a.msg", "b.msg", "a.msg"})},
            {.name = "NameListedTwiceDryRun",
             .listed = {"a.msg", "b.msg", "a.msg"},
             .args = {"-n", "-u", "meta"},
             .status = 2,
             .err = "msgseq: 'meta' lists 'a.msg' twice (records 1 and 3)",
             .after = {{"a.msg", msg("a.msg")}, {"b.msg", msg("b.msg")}},
             .meta = indexof({"a.msg", "b.msg", "a.msg"})},
            // A plain run still renames both names of a file listed twice.
            {.name = "NameListedTwicePlainRun",
             .listed = {"a.msg", "b.msg", "a.msg"},
             .args = {"meta"},
             .status = 3,
             .err = "msgseq: cannot move 'a.msg' to 'in002.msg': listed twice in the index\n"
                    "msgseq: 2 renamed, 0 already in place, 0 missing, 1 refused, of 3 records\n",
             .after = {{"in000.msg", msg("a.msg")}, {"in001.msg", msg("b.msg")}},
             .meta = indexof({"a.msg", "b.msg", "a.msg"})},
            // Two records whose names are one file: a plain run cut short,
            // then run again or given up, finds each name again.
            {.name = "HardLinkedPlainRunRerun",
             .listed = {"b.msg", "h.msg", "c.msg"},
             .args = {"meta"},
             .faults = {"FSFAULT_KILL=rename-from:c.msg"},
             .status = 128 + SIGKILL,
             .rerun = {"meta"},
             .after = {{"in000.msg", msg("b.msg")},
                       {"in001.msg", msg("b.msg")},
                       {"in002.msg", msg("c.msg")}},
             .meta = indexof({"b.msg", "h.msg", "c.msg"}),
             .links = {{"h.msg", "b.msg"}},
             .absent = {"h.msg"}},
            {.name = "HardLinkedPlainRunAbort",
             .listed = {"b.msg", "h.msg", "c.msg"},
             .args = {"meta"},
             .faults = {"FSFAULT_KILL=rename-from:c.msg"},
             .status = 128 + SIGKILL,
             .rerun = {"--abort", "meta"},
             .after = {{"b.msg", msg("b.msg")}, {"h.msg", msg("b.msg")}, {"c.msg", msg("c.msg")}},
             .meta = indexof({"b.msg", "h.msg", "c.msg"}),
             .links = {{"h.msg", "b.msg"}},
             .absent = {"h.msg"}},
            // A moved message written anew by a client (another inode) before
            // --abort: not known for the record's, so it is left, and said.
            {.name = "AbortAfterAMovedMessageWrittenAnew",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "printf changed > x.tmp && mv x.tmp in000.msg",
             .rerun = {"--abort", "meta"},
             .rerunstatus = 3,
             .err = "msgseq: cannot put back 'a.msg': 'in000.msg', where the run moved its file, "
                    "holds another file now (written anew by another program?), which is left "
                    "there; if it is that message, move it back by hand\n",
             .after = {{"in000.msg", "changed"},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")}},
             .meta = indexof(usual)},
            // Written to in place, it is the same file, and goes back.
            {.name = "AbortAfterAMovedMessageWrittenInPlace",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "printf changed > in000.msg",
             .rerun = {"--abort", "meta"},
             .after = {{"a.msg", "changed"},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")}},
             .meta = indexof(usual)},
            // A plain run that kept its journal in the working directory is
            // finished by a plain run: -u is turned away.
            {.name = "PlainJournalInTheWorkingDirectory",
             .listed = usual,
             .args = {"meta"},
             .faults = {"FSFAULT_FAIL=mkdir:meta.msgseq-update:EACCES",
                        "FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = "/.msgseq-update'; finish it with 'msgseq meta' first, or give it up with "
                    "'msgseq --abort meta'\n",
             .after = {{"in000.msg", msg("a.msg")},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")},
                       {".msgseq-update", ""}},
             .meta = indexof(usual)},
            // A journal of a release after this one is not read as this one's.
            {.name = "JournalOfANewerRelease",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "sed -i '1s/journal 4$/journal 5/' " + workdir + "/journal",
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = "/journal': not in a form msgseq writes\n",
             .after = {{"in000.msg", msg("a.msg")},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")}},
             .meta = indexof(usual),
             .journal = true},
            // A journal that can't be read is said so, not taken as one cut short.
            {.name = "JournalUnreadable",
             .listed = usual,
             .faults = {"FSFAULT_KILL=rename-to:in000.msg"},
             .status = 128 + SIGKILL,
             .between = "rm " + workdir + "/journal && mkdir " + workdir + "/journal",
             .rerun = {"-u", "meta"},
             .rerunstatus = 2,
             .err = "/journal': it is not a regular file",
             .after = {{"in000.msg", msg("a.msg")},
                       {"in002.msg", msg("in002.msg")},
                       {"in005.msg", msg("in005.msg")}},
             .meta = indexof(usual),
             .journal = true},
        });
    return rows;
}

}  // namespace

TEST_P(Identity, EachRecordNamesItsOwnMessage) {
    const idrow& row = GetParam();
    spit("meta", indexof(row.listed, row.distinct));
    for (const auto& name : row.listed)
        if (!row.absent.contains(name)) spit(name, msg(name));
    for (const auto& [name, to] : row.links) ASSERT_EQ(link(to.c_str(), name.c_str()), 0);
    const bool stops = !row.faults.empty() && row.faults[0].starts_with("FSFAULT_SIGNAL=STOP:");
    const runresult first =
        stops ? whilestopped(row.args, row.faults[0].substr(20), row.meanwhile)
              : runfsfault(row.args, row.faults);
    EXPECT_EQ(first.status, row.status) << first.err;
    runresult last = first;
    if (!row.rerun.empty()) {
        if (!row.between.empty()) {
            ASSERT_EQ(sh(row.between).status, 0);
        }
        last = runfsfault(row.rerun, {});
        EXPECT_EQ(last.status, row.rerunstatus) << last.err;
    }
    if (row.err.empty()) {
        EXPECT_EQ(last.err, "");
    } else {
        EXPECT_NE(last.err.find(row.err), std::string::npos) << last.err;
    }
    if (!row.cutshort) {
        EXPECT_EQ(ondisk(), row.after);
    } else {
        EXPECT_NE(ondisk().size(), 0u);
    }
    EXPECT_EQ(slurp("meta"), row.meta);
    EXPECT_EQ(exists(workdir + "/journal"), row.journal);
}

INSTANTIATE_TEST_SUITE_P(Indexes, Identity, ::testing::ValuesIn(idrows()),
                         [](const ::testing::TestParamInfo<idrow>& info) {
                             return info.param.name;
                         });

// renumindex itself refuses an index that writing back would change, before
// anything moves, whoever calls it.
TEST_F(ScratchDir, IdentityLibraryRefusesAnIndexNotWrittenBackAsItIs) {
    const std::string text = metafile({{"a.msg", "to", "from", std::string(100, 's'), "", "", "N"}});
    spit("meta", text);
    spit("a.msg", msg("a.msg"));
    llinit();
    ASSERT_EQ(readmeta("meta", inlist), 1);
    char* said = nullptr;
    size_t size = 0;
    FILE* errs = open_memstream(&said, &size);
    const renumopts opts{"msgseq", false, nullptr, errs};
    renumstats stats{};
    const int rc = renumindex("meta", inlist, &opts, &stats);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    fclose(errs);
    EXPECT_EQ(rc, RENUMINDEX);
    EXPECT_EQ(std::string(said), "msgseq: 'meta' would not be written back as it is (line 6: "
                                 "subject longer than 99 bytes); nothing done\n");
    free(said);
    EXPECT_EQ(slurp("meta"), text);
    EXPECT_EQ(listing(), (std::set<std::string>{"a.msg", "meta"}));
}

// The commit's steps in their order: the new index synced, marked and the
// mark synced, swapped in, the index's directory synced, the old index's
// name there removed and its link kept beside the receipt for an undo, then
// the receipt written and synced, the journal removed and that synced
// before the mark goes, the end synced.
TEST_F(ScratchDir, IdentityCommitInOrder) {
    spit("meta", indexof(usual));
    for (const auto& name : usual) spit(name, msg(name));
    const runresult r = runfsfault({"-u", "meta"}, {"FSFAULT_LOG=calls.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string log = slurp("calls.log");
    const size_t mark = log.find("link index placed-");
    ASSERT_NE(mark, std::string::npos) << log;
    const size_t eol = log.find(' ', mark + 11);
    const std::string placed = log.substr(mark + 11, eol - mark - 11);
    EXPECT_NE(log.find("fsync index 0\nlink index " + placed + " 0\nfsync meta.msgseq-update 0\n"
                       "renameat2x index meta 0\nfsync . 0\nunlink index 0\n"
                       "rename before .meta.msgseq-before 0\n"
                       "unlink .meta.msgseq-receipt.new ENOENT\nopen .meta.msgseq-receipt.new 0\n"
                       "fsync .meta.msgseq-receipt.new 0\n"
                       "rename .meta.msgseq-receipt.new .meta.msgseq-receipt 0\nfsync . 0\n"
                       "unlinkat journal 0\nunlinkat journal.new ENOENT\nunlinkat index ENOENT\n"
                       "fsync meta.msgseq-update 0\nunlinkat " +
                       placed + " 0\nrmdir meta.msgseq-update 0\nfsync . 0\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(slurp("meta"), indexof({"in000.msg", "in001.msg", "in002.msg"}));
}
