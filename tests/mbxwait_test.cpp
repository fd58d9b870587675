// The mailbox tool and a lock another process holds: how long each command
// waits for it (--wait, a reader's default), what it does when the holder
// lets go or doesn't, a signal while it waits; and a list while a msgseq run
// is cut short, which reads the index as it stands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using args = std::vector<std::string>;

runresult mailbox(args a, const std::vector<std::string>& env = {}) {
    a.insert(a.begin(), MAILBOX_PATH);
    runhow how;
    how.timeout = 120;  // a wait that never ends fails its row rather than stalls
    return run(a, nullptr, env, how);
}

const std::string busyline =
    "mailbox: another process (a msgseq or mailbox run, or flock(1)) holds the lock on this "
    "directory; nothing done\n";

// Another process that holds the exclusive lock on dir from construction:
// for good (until destroyed), or letting go a second after it took it.
class holder {
public:
    holder(const char* dir, bool letsgo) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            const int fd = open(dir, O_RDONLY | O_DIRECTORY);
            const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &ok, 1);
            if (letsgo) {
                const timespec second{1, 0};
                (void)nanosleep(&second, nullptr);
                _exit(0);
            }
            for (;;) pause();
        }
        close(ready[1]);
        char ok = 'n';
        held = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 'y';
        close(ready[0]);
    }
    ~holder() {
        if (pid <= 0) return;
        (void)kill(pid, SIGKILL);
        (void)waitpid(pid, nullptr, 0);
    }
    holder(const holder&) = delete;
    holder& operator=(const holder&) = delete;
    bool held = false;

private:
    pid_t pid = -1;
};

const std::string index2 = plainindex({"a.msg", "b.msg"});
const std::string list2 = "1\tN\tfrom\tsubj\n2\tN\tfrom\tsubj\n";

void twofiles(const std::string& dir = ".") {
    spit(dir + "/a.msg", "A");
    spit(dir + "/b.msg", "B");
    spit(dir + "/index", index2);
}

struct waitrow {
    const char* name;
    bool letsgo;      // the holder lets go after a second, else holds on
    const char* dir;  // whose lock it holds: the working directory, or box/, the index's
    args cmd;
    int status;
    std::string out;
    std::string err;
    bool deleted = false;  // record 1 and a.msg are gone
};

class MailboxWait : public ScratchDir, public ::testing::WithParamInterface<waitrow> {};

TEST_P(MailboxWait, Lock) {
    const waitrow& r = GetParam();
    ASSERT_EQ(mkdir("box", 0755), 0);
    twofiles();
    twofiles("box");
    const holder h(r.dir, r.letsgo);
    ASSERT_TRUE(h.held);
    const runresult got = mailbox(r.cmd);
    EXPECT_EQ(got.out, r.out);
    // The index's directory is named in full.
    std::string err = r.err;
    char real[PATH_MAX];
    if (const size_t at = err.find("'box'"); at != std::string::npos && realpath("box", real))
        err.replace(at, 5, std::string("'") + real + "'");
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(slurp("index"), r.deleted ? plainindex({"b.msg"}) : index2);
    EXPECT_EQ(exists("a.msg"), !r.deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MailboxWait,
    ::testing::Values(
        waitrow{"ZeroGivesUpAtOnce", true, ".", {"list", "--wait=0", "index"}, 5, "", busyline},
        waitrow{"ListWaitsByDefault", true, ".", {"list", "index"}, 0, list2, ""},
        waitrow{"ListWaitsAsTold", true, ".", {"list", "index", "--wait=8"}, 0, list2, ""},
        waitrow{"ListWaitsSpaced", true, ".", {"list", "--wait", "8", "index"}, 0, list2, ""},
        waitrow{"ListGivesUp", false, ".", {"list", "--wait=1", "index"}, 5, "", busyline},
        waitrow{"CheckGivesUp", false, ".", {"check", "--wait=1", "index"}, 2, "", busyline},
        waitrow{"IndexDirWaited", true, "box", {"list", "--wait=8", "box/index"}, 0, list2, ""},
        waitrow{"IndexDirGivesUp", false, "box", {"list", "--wait=1", "box/index"}, 5, "",
                "mailbox: another process (a msgseq or mailbox run, or flock(1)) holds the "
                "lock on 'box'; nothing done\n"},
        waitrow{"DeleteGivesWayAtOnce", true, ".", {"delete", "index", "1"}, 5, "", busyline},
        waitrow{"DeleteWaitsAsTold",
                true,
                ".",
                {"delete", "--wait=8", "index", "1"},
                0,
                "deleted record 1 ('a.msg')\n",
                "",
                true},
        waitrow{"MendGivesUp", false, ".", {"mend", "--wait=1", "index", "--cut-long"}, 5, "",
                busyline}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader's shared lock, as list holds it, keeps out each command that
// changes the index: nothing done, at once.
class MailboxWaitShared : public ScratchDir {};

TEST_F(MailboxWaitShared, ChangersGiveWayToAReader) {
    twofiles();
    const int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    for (const args& cmd : {args{"mark", "index", "1", "--read"}, args{"sort", "index", "--by", "from", "-r"},
                            args{"delete", "index", "1"}}) {
        const runresult got = mailbox(cmd);
        EXPECT_EQ(got.err, busyline) << cmd[0];
        EXPECT_EQ(got.status, 5) << cmd[0];
        EXPECT_EQ(slurp("index"), index2) << cmd[0];
    }
    close(fd);
}

// A wait asked for that is no number of seconds within a day: refused
// before anything is looked at.
struct badwait {
    const char* name;
    std::string arg;
    std::string err;
};

class MailboxWaitValue : public ScratchDir, public ::testing::WithParamInterface<badwait> {};

TEST_P(MailboxWaitValue, Refused) {
    twofiles();
    const runresult got = mailbox({"delete", GetParam().arg, "index", "1"});
    EXPECT_EQ(got.err, GetParam().err);
    EXPECT_EQ(got.status, 64);
    EXPECT_EQ(slurp("index"), index2);
    EXPECT_TRUE(exists("a.msg"));
}

std::string notseconds(const std::string& v) {
    return "mailbox: --wait: '" + v + "' is not a number of seconds from 0 to 86400; nothing done\n";
}
const std::string usage =
    "Usage: mailbox list|show|pick|check|delete|mend|mark|sort|rebuild|deliver|import|export [OPTIONS] METAFILE [N...]\n"
    "Try 'mailbox --help' for more.\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, MailboxWaitValue,
    ::testing::Values(badwait{"Word", "--wait=soon", notseconds("soon")},
                      badwait{"Negative", "--wait=-1", notseconds("-1")},
                      badwait{"Empty", "--wait=", notseconds("")},
                      badwait{"Fraction", "--wait=1.5", notseconds("1.5")},
                      badwait{"Signed", "--wait=+3", notseconds("+3")},
                      badwait{"OverADay", "--wait=86401", notseconds("86401")},
                      badwait{"Huge", "--wait=99999999999", notseconds("99999999999")},
                      badwait{"LineBreak", "--wait=1\n2", notseconds("1?2")},
                      badwait{"NoValue", "--wait", notseconds("index")}),
    [](const auto& info) { return std::string(info.param.name); });

// A signal while a command waits ends it there, nothing done, by that
// signal, saying so; the lock's holder is left alone.
class MailboxWaitSignal : public ScratchDir {};

TEST_F(MailboxWaitSignal, EndsTheWait) {
    twofiles();
    const int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    for (const auto& [sig, name] : {std::pair{SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGHUP, "HUP"}}) {
        SCOPED_TRACE(name);
        const runresult got =
            run({MAILBOX_PATH, "delete", "--wait=100", "index", "1"}, nullptr,
                fsfaultenv({std::string("FSFAULT_SIGNAL=") + name + ":flock:*:2"}), {.timeout = 60});
        EXPECT_EQ(got.err, std::string("mailbox: interrupted by SIG") + name +
                               " while waiting for the lock; nothing done\n");
        EXPECT_EQ(got.status, 128 + sig);
        EXPECT_EQ(slurp("index"), index2);
        EXPECT_TRUE(exists("a.msg"));
    }
    close(fd);
}

// A msgseq run cut short, plain or -u, before or after its new index is
// in: the index is whole either way, and list reads it as it stands, saying
// what to run; delete still refuses.
struct midrow {
    const char* name;
    args run;
    std::string kill;
    std::string err;
};

class MailboxMidrun : public ScratchDir, public ::testing::WithParamInterface<midrow> {};

TEST_P(MailboxMidrun, ListReads) {
    const midrow& r = GetParam();
    twofiles();
    (void)runfsfault(r.run, {"FSFAULT_KILL=" + r.kill});
    const std::string was = slurp("index");
    const runresult got = mailbox({"list", "index"});
    EXPECT_EQ(got.out, list2);
    EXPECT_EQ(got.err, r.err + "; the index as it stands follows\n");
    EXPECT_EQ(got.status, 0);
    const runresult del = mailbox({"delete", "index", "1"});
    EXPECT_EQ(del.err, r.err + "; nothing done\n");
    EXPECT_EQ(del.status, 2);
    EXPECT_EQ(slurp("index"), was);
}

const std::string plaincut =
    "mailbox: a run of 'index' by 'msgseq' was cut short; run 'msgseq index' to finish it, or "
    "'msgseq --abort index' to give it up";
const std::string updatecut =
    "mailbox: an update of 'index' by 'msgseq -u' was cut short; run 'msgseq -u index' to "
    "finish it, or 'msgseq --abort index' to give it up";

INSTANTIATE_TEST_SUITE_P(
    Rows, MailboxMidrun,
    ::testing::Values(midrow{"Plain", {"index"}, "rename-from:b.msg", plaincut},
                      midrow{"Update", {"-u", "index"}, "rename-from:b.msg", updatecut},
                      midrow{"UpdateIndexIn", {"-u", "index"}, "rename-to:index", updatecut}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
