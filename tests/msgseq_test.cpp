// The built tool, run in a scratch directory: what it prints, how it ends and
// what is on disk afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

#include "testutil.h"

namespace {

using files = std::map<std::string, std::string>;  // name -> content

class Msgseq : public ScratchDir {
protected:
    // Writes each message file with its own name as content (so a file's
    // content tells which message it is) and a metafile listing names.
    void mailbox(const std::vector<std::string>& listed, const std::vector<std::string>& present) {
        std::vector<std::vector<std::string>> recs;
        for (const auto& name : listed) recs.push_back({name, "to", "from", "subj", "", "", "N"});
        spit("meta", metafile(recs));
        for (const auto& name : present) spit(name, "message " + name);
    }
    runresult msgseq(const std::vector<std::string>& args = {"meta"}) {
        std::vector<std::string> argv = {MSGSEQ_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    // Every file but the metafile and the fault library's log, with its content.
    files ondisk() {
        files f;
        for (const auto& name : listing())
            if (name != "meta" && name != faultlog) f[name] = slurp(name);
        return f;
    }
    static constexpr const char* faultlog = "fsfault.log";
};

std::string msg(const std::string& name) { return "message " + name; }

// A run with the fault library between the tool and the disk, on a mailbox of
// a.msg, in002.msg and in005.msg, listed in that order, so every record moves.
struct faultrow {
    std::string name;
    std::vector<std::string> faults;  // FSFAULT_* settings
    std::string out{};
    std::string err{};
    int status = 0;
    files after{};
    std::string logged{};  // calls the log shows one after another
    long calls = -1;       // when set, how many calls it shows in all
};

void PrintTo(const faultrow& f, std::ostream* os) { *os << f.name; }

class MsgseqFault : public Msgseq, public ::testing::WithParamInterface<faultrow> {};

const files untouched = {
    {"a.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
const files closed = {
    {"in000.msg", msg("a.msg")}, {"in001.msg", msg("in002.msg")}, {"in002.msg", msg("in005.msg")}};

std::vector<faultrow> faultrows() {
    return {
        // As on NFS: each move is a link and an unlink, and the run ends the same.
        {.name = "NoReplaceRefusedLinksAndUnlinks",
         .faults = {"FSFAULT_NOREPLACE=einval"},
         .out = "3",
         .status = 0,
         .after = closed,
         .logged = "renameat2 a.msg in000.msg EINVAL\nlink a.msg in000.msg 0\nunlink a.msg 0\n"},
        {.name = "RenameRefused",
         .faults = {"FSFAULT_FAIL=rename-from:a.msg:EPERM"},
         .out = "3",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': Operation not permitted\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")}},
         .logged = "renameat2 a.msg in000.msg EPERM\n"},
        {.name = "KilledAfterTheFirstCall",
         .faults = {"FSFAULT_KILL_AFTER=1"},
         .status = 128 + SIGKILL,
         .after = {{"in000.msg", msg("a.msg")},
                   {"in002.msg", msg("in002.msg")},
                   {"in005.msg", msg("in005.msg")}},
         .logged = "renameat2 a.msg in000.msg 0\n",
         .calls = 1},
        // The second file is under both names when the run dies.
        {.name = "KilledBetweenLinkAndUnlink",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-from:in002.msg"},
         .status = 128 + SIGKILL,
         .after = {{"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in002.msg")},
                   {"in005.msg", msg("in005.msg")}},
         // once refused, no-replace renames are not tried again
         .logged = "unlink a.msg 0\nlink in002.msg in001.msg 0\n",
         .calls = 4},
        // A mistyped setting must not pass for a run without faults.
        {.name = "UnknownErrnoStopsTheRun",
         .faults = {"FSFAULT_FAIL=rename-from:a.msg:ENOPE"},
         .err = "fsfault: cannot use FSFAULT_FAIL='rename-from:a.msg:ENOPE'\n",
         .status = 125,
         .after = untouched,
         .calls = 0},
    };
}

}  // namespace

TEST_F(Msgseq, UsageWithoutOrWithTooManyArguments) {
    mailbox({"in002.msg"}, {"in002.msg"});
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"meta", "meta"}}) {
        runresult r = msgseq(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: msgseq matafile\n");
        EXPECT_EQ(ondisk(), (files{{"in002.msg", msg("in002.msg")}}));
    }
}

TEST_F(Msgseq, ClosesGapsInIndexOrder) {
    mailbox({"in000.msg", "in002.msg", "in005.msg"}, {"in000.msg", "in002.msg", "in005.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in000.msg")},
                               {"in001.msg", msg("in002.msg")},
                               {"in002.msg", msg("in005.msg")}}));
}

TEST_F(Msgseq, AlreadyInSequenceChangesNothing) {
    mailbox({"in000.msg", "in001.msg"}, {"in000.msg", "in001.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in000.msg")}, {"in001.msg", msg("in001.msg")}}));
}

TEST_F(Msgseq, EmptyIndexPrintsZero) {
    mailbox({}, {"other.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"other.msg", msg("other.msg")}}));
}

TEST_F(Msgseq, MissingMetafile) {
    spit("a.msg", "x");
    runresult r = msgseq({"nometa"});
    EXPECT_EQ(r.out, "FILE ERROR:  readmeta, error in opening nometa0");
    EXPECT_EQ(r.err, "msgseq: nometa: No such file or directory\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(listing(), std::set<std::string>{"a.msg"});
}

TEST_F(Msgseq, RecordCutShortRenamesTheCompleteOnes) {
    spit("meta", "/p\na\nb.msg\nt\nf\ns\nc\nb\nN\nc.msg\nt\nf\n");
    spit("b.msg", "B");
    spit("c.msg", "C");
    runresult r = msgseq();
    EXPECT_EQ(r.out,
              "FILE ERROR: readhdr, error in reading subject"
              "FILE ERROR: readmeta, error in reading meta record from meta1");
    EXPECT_EQ(r.err, "msgseq: meta:13: file ends inside a record\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), (files{{"c.msg", "C"}, {"in000.msg", "B"}}));
}

TEST_F(Msgseq, TargetsHeldByLaterRecordsGoThroughTemporaryNames) {
    // b.msg wants in000.msg, whose file wants in001.msg, whose file wants
    // in002.msg; and a ring of two.
    mailbox({"b.msg", "in000.msg", "in001.msg", "in004.msg", "in003.msg"},
            {"b.msg", "in000.msg", "in001.msg", "in003.msg", "in004.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "5");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("b.msg")},
                               {"in001.msg", msg("in000.msg")},
                               {"in002.msg", msg("in001.msg")},
                               {"in003.msg", msg("in004.msg")},
                               {"in004.msg", msg("in003.msg")}}));
}

TEST_F(Msgseq, SwapOfTwo) {
    mailbox({"in001.msg", "in000.msg"}, {"in000.msg", "in001.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, TargetHeldByAnUnlistedFileIsRefusedDownTheChain) {
    // in001.msg is nobody's: the second record can't move, so neither can the
    // first, whose target the second record's file keeps. The third goes on.
    mailbox({"x.msg", "in000.msg", "in007.msg"}, {"x.msg", "in000.msg", "in001.msg", "in007.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'x.msg' to 'in000.msg': File exists\n"
              "msgseq: cannot move 'in000.msg' to 'in001.msg': File exists\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"x.msg", msg("x.msg")},
                               {"in000.msg", msg("in000.msg")},
                               {"in001.msg", msg("in001.msg")},
                               {"in002.msg", msg("in007.msg")}}));
}

TEST_F(Msgseq, FailuresAreReportedAndTheCounterAdvances) {
    mkdir("sub", 0755);
    spit("sub/a.msg", "sub");
    mailbox({"", "gone.msg", "a.msg", "a.msg", "sub/a.msg", "..", "z.msg"}, {"a.msg", "z.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "7");
    EXPECT_EQ(r.err,
              "msgseq: cannot move '' to 'in000.msg': No such file or directory\n"
              "msgseq: cannot move 'gone.msg' to 'in001.msg': No such file or directory\n"
              "msgseq: cannot move 'a.msg' to 'in003.msg': listed twice in the index\n"
              "msgseq: cannot move 'sub/a.msg' to 'in004.msg': not a name in this directory\n"
              "msgseq: cannot move '..' to 'in005.msg': not a name in this directory\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"in002.msg", msg("a.msg")},
                               {"in006.msg", msg("z.msg")},
                               {"sub", ""}}));  // the directory itself
    EXPECT_EQ(slurp("sub/a.msg"), "sub");
}

TEST_F(Msgseq, ShellCharactersAreJustCharacters) {
    const std::vector<std::string> names = {"$(touch X)", "a;b c.msg", "`touch Y`", "-n.msg",
                                            "it's \"q\"", "*"};
    mailbox(names, names);
    runresult r = msgseq();
    EXPECT_EQ(r.out, "6");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    files want;
    for (size_t i = 0; i < names.size(); i++) want["in00" + std::to_string(i) + ".msg"] = msg(names[i]);
    EXPECT_EQ(ondisk(), want);
}

TEST_F(Msgseq, SecondRunOnTheSameIndexDestroysNothing) {
    mailbox({"in001.msg", "in002.msg", "in009.msg"}, {"in001.msg", "in002.msg", "in009.msg"});
    ASSERT_EQ(msgseq().status, 0);
    files after = ondisk();
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'in001.msg' to 'in000.msg': File exists\n"
              "msgseq: cannot move 'in002.msg' to 'in001.msg': File exists\n"
              "msgseq: cannot move 'in009.msg' to 'in002.msg': No such file or directory\n");
    EXPECT_EQ(ondisk(), after);
}

TEST_F(Msgseq, RunAfterAnInterruptionFinishesASetAsideFile) {
    // As a run killed after setting in000.msg aside and moving b.msg in: b.msg
    // is gone because its file already has its new name.
    mailbox({"b.msg", "in000.msg"}, {});
    spit("in000.msg", msg("b.msg"));
    spit(".msgseq-temp-in000.msg", msg("in000.msg"));
    runresult r = msgseq();
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("b.msg")}, {"in001.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, SetAsideFileThatCannotMoveGoesBackToItsName) {
    mailbox({"a.msg"}, {"in000.msg"});
    spit(".msgseq-temp-a.msg", msg("a.msg"));
    runresult r = msgseq();
    EXPECT_EQ(r.err, "msgseq: cannot move 'a.msg' to 'in000.msg': File exists\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"a.msg", msg("a.msg")}, {"in000.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, FourDigitsFromAThousandOn) {
    std::vector<std::string> names;
    // Appended rather than "m" + std::to_string(...): g++ 12 at -O3 reports a
    // false -Wrestrict on the concatenation.
    for (int i = 0; i < 1002; i++) names.emplace_back("m").append(std::to_string(2 * i));
    mailbox(names, names);
    runresult r = msgseq();
    EXPECT_EQ(r.out, "1002");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp("in999.msg"), msg("m1998"));
    EXPECT_EQ(slurp("in1000.msg"), msg("m2000"));
    EXPECT_EQ(slurp("in1001.msg"), msg("m2002"));
    EXPECT_EQ(ondisk().size(), 1002u);
}

TEST_F(Msgseq, UnwritableOutputIsAFailure) {
    mailbox({"a.msg"}, {"a.msg"});
    runresult r = run({MSGSEQ_PATH, "meta"}, "/dev/full");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "msgseq: error writing standard output: No space left on device\n");
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}}));
}

TEST_F(Msgseq, TheMetafileItselfIsNeverMoved) {
    ASSERT_EQ(symlink("meta", "link"), 0);
    for (const char* path : {"meta", "link"}) {
        unlink("in001.msg");
        mailbox({"meta", "a.msg"}, {"a.msg"});
        runresult r = msgseq({path});
        EXPECT_EQ(r.out, "2");
        EXPECT_EQ(r.err, "msgseq: cannot move 'meta' to 'in000.msg': it is the metafile being read\n");
        EXPECT_EQ(r.status, 3);
        EXPECT_TRUE(exists("meta"));
        EXPECT_EQ(slurp("in001.msg"), msg("a.msg"));
    }
}

TEST_P(MsgseqFault, EndsAsTheFaultsLeaveIt) {
    const faultrow& f = GetParam();
    mailbox({"a.msg", "in002.msg", "in005.msg"}, {"a.msg", "in002.msg", "in005.msg"});
    std::vector<std::string> faults = f.faults;
    faults.push_back(std::string("FSFAULT_LOG=") + faultlog);
    runresult r = runfsfault({"meta"}, faults);
    EXPECT_EQ(r.status, f.status);
    EXPECT_EQ(r.out, f.out);
    EXPECT_EQ(r.err, f.err);
    EXPECT_EQ(ondisk(), f.after);
    const std::string log = slurp(faultlog);
    EXPECT_NE(log.find(f.logged), std::string::npos) << log;
    if (f.calls >= 0) {
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), f.calls) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, MsgseqFault, ::testing::ValuesIn(faultrows()),
                         [](const ::testing::TestParamInfo<faultrow>& info) {
                             return info.param.name;
                         });
