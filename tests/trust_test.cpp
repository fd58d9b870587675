// What the tools believe of what they read back from a mailbox directory,
// whose owner may have written anything there: names in journals that lead
// out of it, journals and work directories that are links, FIFOs or someone
// else's, message files swapped between the listing and the open, metafiles
// that would block, and root run in the owner's directory. Each row plants
// one such thing and checks that nothing outside the mailbox moves, that the
// command ends (every run is bounded), and what it says.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mailbox/trust.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using args = std::vector<std::string>;

// A hang fails its row rather than the suite.
constexpr unsigned bound = 30;

// "msgseq ..." or "mailbox ..." run as built; env as runresult run takes it.
runresult tool(args a, const std::vector<std::string>& env = {}) {
#ifdef MAILBOX_PATH
    a[0] = a[0] == "mailbox" ? MAILBOX_PATH : MSGSEQ_PATH;
#else
    a[0] = MSGSEQ_PATH;
#endif
    return run(a, nullptr, env, {.timeout = bound});
}

bool hasmailbox() {
#ifdef MAILBOX_PATH
    return true;
#else
    return false;
#endif
}

std::string msgtext(const std::string& who) {
    return "From: " + who + "\nSubject: from " + who + "\n\nbody\n";
}
std::vector<std::string> rec(const std::string& name) {
    return {name, "ann", "someone", "subj", "", "", "N"};
}
std::string indexof(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& n : names) recs.push_back(rec(n));
    return metafile(recs);
}

// The whole tree under path: each name with its bytes, "(dir)", "(fifo)" or
// "(link) TARGET", so that a row sees anything changed anywhere.
std::string tree(const std::string& path) {
    std::string out;
    if (!exists(path)) return out;
    std::vector<fs::path> names;
    for (const auto& e : fs::recursive_directory_iterator(path)) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    for (const auto& p : names) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) continue;
        out += p.string() + ": ";
        if (S_ISLNK(st.st_mode))
            out += "(link) " + fs::read_symlink(p).string();
        else if (S_ISDIR(st.st_mode))
            out += "(dir)";
        else if (S_ISFIFO(st.st_mode))
            out += "(fifo)";
        else
            out += slurp(p.string());
        out += "\n";
    }
    return out;
}

// ---- The checks themselves.

struct plainrow {
    const char* name;
    std::string text;
    bool plain;
};
void PrintTo(const plainrow& r, std::ostream* os) { *os << r.name; }
class TrustPlain : public ::testing::TestWithParam<plainrow> {};

TEST_P(TrustPlain, Decides) { EXPECT_EQ(trustplain(GetParam().text), GetParam().plain); }

INSTANTIATE_TEST_SUITE_P(
    Rows, TrustPlain,
    ::testing::Values(plainrow{"Plain", "in000.msg", true}, plainrow{"Dotted", ".a", true},
                      plainrow{"Dashed", "-rf", true}, plainrow{"Empty", "", false},
                      plainrow{"Dot", ".", false}, plainrow{"DotDot", "..", false},
                      plainrow{"Up", "../x", false}, plainrow{"Absolute", "/etc/x", false},
                      plainrow{"Inner", "a/b", false}, plainrow{"Trailing", "a/", false},
                      plainrow{"Newline", "a\nb", false}, plainrow{"Return", "a\r", true},
                      plainrow{"Nul", std::string("a\0b", 3), false}),
    [](const auto& info) { return std::string(info.param.name); });

// What stands under "x": made by the row, as this process.
enum class kind { file, link, dirlink, fifo, dir, none, loop, devlink };
void make(kind k) {
    switch (k) {
    case kind::file: spit("x", "From: a\n\nb\n"); break;
    case kind::link:
        spit("real", "From: a\n\nb\n");
        ASSERT_EQ(symlink("real", "x"), 0);
        break;
    case kind::dirlink:
        ASSERT_EQ(mkdir("realdir", 0700), 0);
        ASSERT_EQ(symlink("realdir", "x"), 0);
        break;
    case kind::fifo: ASSERT_EQ(mkfifo("x", 0600), 0); break;
    case kind::dir: ASSERT_EQ(mkdir("x", 0700), 0); break;
    case kind::none: break;
    case kind::loop:
        ASSERT_EQ(symlink("y", "x"), 0);
        ASSERT_EQ(symlink("x", "y"), 0);
        break;
    case kind::devlink:
        // Root's own node in the scratch directory: a command that wrongly
        // writes through the link then spoils this one, not the system's.
        if (geteuid() == 0) {
            ASSERT_EQ(mknod("dev", S_IFCHR | 0666, makedev(1, 3)), 0);
        }
        ASSERT_EQ(symlink(geteuid() == 0 ? "dev" : "/dev/null", "x"), 0);
        break;
    }
}

// Each opener on each kind: 0 for a descriptor, else the errno.
struct openrow {
    const char* name;
    kind k;
    int dir, own, msg;  // trustopendir, trustopenown, trustopenmsg
    int meta;           // trustmeta
};
void PrintTo(const openrow& r, std::ostream* os) { *os << r.name; }
class TrustOpen : public ScratchDir, public ::testing::WithParamInterface<openrow> {};

int opened(int fd) {
    if (fd < 0) return errno;
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    // Blocking again for the reads that follow.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    return 0;
}

TEST_P(TrustOpen, OpensOnlyWhatItClaims) {
    const openrow& r = GetParam();
    make(r.k);
    EXPECT_EQ(opened(trustopendir(AT_FDCWD, "x")), r.dir);
    EXPECT_EQ(opened(trustopenown(AT_FDCWD, "x")), r.own);
    EXPECT_EQ(opened(trustopenmsg(AT_FDCWD, "x")), r.msg);
    errno = 0;
    EXPECT_EQ(trustmeta("x"), r.meta == 0);
    if (r.meta) {
        EXPECT_EQ(errno, r.meta);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TrustOpen,
    ::testing::Values(openrow{"File", kind::file, ENOTDIR, 0, 0, 0},
                      openrow{"Link", kind::link, ELOOP, ELOOP, ELOOP, 0},
                      openrow{"DirLink", kind::dirlink, ELOOP, ELOOP, ELOOP, EINVAL},
                      openrow{"Fifo", kind::fifo, ENOTDIR, EINVAL, EINVAL, EINVAL},
                      openrow{"Dir", kind::dir, 0, EINVAL, EINVAL, EINVAL},
                      openrow{"None", kind::none, ENOENT, ENOENT, ENOENT, ENOENT},
                      openrow{"Loop", kind::loop, ELOOP, ELOOP, ELOOP, ELOOP},
                      openrow{"Device", kind::devlink, ELOOP, ELOOP, ELOOP, EINVAL}),
    [](const auto& info) { return std::string(info.param.name); });

class Trust : public ScratchDir {};

TEST_F(Trust, OwnRefusesAnotherUsersFile) {
    if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
    spit("x", "x\n");
    ASSERT_EQ(mkdir("d", 0700), 0);
    ASSERT_EQ(chown("x", 65534, 65534), 0);
    ASSERT_EQ(chown("d", 65534, 65534), 0);
    EXPECT_EQ(opened(trustopenown(AT_FDCWD, "x")), EPERM);
    EXPECT_EQ(opened(trustopendir(AT_FDCWD, "d")), EPERM);
    EXPECT_EQ(opened(trustopenmsg(AT_FDCWD, "x")), 0);  // a message may be anyone's
}

TEST_F(Trust, BecomeChangesNothingForAUser) {
    // Not root: nothing to become, whatever the directories.
    if (geteuid() == 0) GTEST_SKIP() << "run as root: the rows of TrustRoot cover it";
    std::string why;
    EXPECT_TRUE(trustbecome("meta", &why));
    EXPECT_EQ(why, "");
}

// An owner with no passwd entry, in a directory of root's group: root's
// group would stay, so root refuses and stays itself (in a child, which may
// lose root for good).
TEST_F(Trust, OwnerWithoutAnEntryInRootsGroupRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(chown(".", 54321, 0), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string why;
        const bool went = trustbecome("meta", &why);
        const bool said = why.find("no passwd entry") != std::string::npos;
        _exit(!went && said && geteuid() == 0 && getegid() == 0 ? 0 : 1);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(child, &ws, 0), child);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

// ---- What a command left, planted or replaced: journals and work
// directories.

// A mailbox in box/, beside out/, which no row may change.
class Planted : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        ASSERT_EQ(mkdir("box", 0755), 0);
        ASSERT_EQ(mkdir("out", 0755), 0);
        spit("out/victim", msgtext("victim"));
        ASSERT_EQ(chdir("box"), 0);
        spit("a.msg", msgtext("a"));
        spit("b.msg", msgtext("b"));
        spit("meta", indexof({"a.msg", "b.msg"}));
        here = fs::canonical(".").string();
    }
    std::string here;
};

// A run of msgseq cut short after its first rename, whose journal then gets
// edit applied to its text.
void cutshort(const args& how, const std::function<void(std::string&)>& edit) {
    args a = how;
    a.insert(a.begin(), "msgseq");
    const runresult r = tool(a, fsfaultenv({"FSFAULT_KILL=rename-from:a.msg"}));
    ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
    std::string text = slurp("meta.msgseq-update/journal");
    ASSERT_NE(text, "");
    edit(text);
    spit("meta.msgseq-update/journal", text);
}

void rename_in(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(" " + from + "\n");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at + 1, from.size(), to);
}

struct plantrow {
    const char* name;
    std::function<void()> plant;
    args cmd;
    int status;
    std::string err;  // how standard error begins; DIR is the mailbox's path
    bool mailbox = false;
};
void PrintTo(const plantrow& r, std::ostream* os) { *os << r.name; }
class PlantedRow : public Planted, public ::testing::WithParamInterface<plantrow> {};

TEST_P(PlantedRow, RefusedAndNothingTouched) {
    const plantrow& r = GetParam();
    if (r.mailbox && !hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    r.plant();
    const std::string before = tree(here) + tree("../out");
    const runresult got = tool(r.cmd);
    EXPECT_EQ(got.status, r.status) << got.err;
    std::string want = r.err;
    for (size_t at; (at = want.find("DIR")) != std::string::npos;) want.replace(at, 3, here);
    EXPECT_EQ(got.err.substr(0, want.size()), want) << got.err;
    EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 1) << got.err;
    EXPECT_EQ(tree(here) + tree("../out"), before);
}

// Cut short, the update's journal names the first record's file (now
// in000.msg) as leading out of the directory.
void outname() {
    cutshort({"-u", "meta"}, [](std::string& t) { rename_in(t, "a.msg", "../out/planted"); });
}
void outnameplain() {
    cutshort({"meta"}, [](std::string& t) { rename_in(t, "a.msg", "../out/planted"); });
}
// The same from the working directory's own journal, which a plain run
// keeps where it can't write beside the index.
void outnamespare() {
    outnameplain();
    ASSERT_EQ(rename("meta.msgseq-update", ".msgseq-update"), 0);
}
// The work directory a link to another directory, holding what msgseq
// would remove from its own.
void workdirlink() {
    ASSERT_EQ(mkdir("../out/work", 0700), 0);
    for (const char* name : {"index", "journal.new"}) spit(std::string("../out/work/") + name, "x\n");
    ASSERT_EQ(symlink("../out/work", "meta.msgseq-update"), 0);
}
void sparelink() {
    ASSERT_EQ(mkdir("../out/work", 0700), 0);
    spit("../out/work/index", "x\n");
    ASSERT_EQ(symlink("../out/work", ".msgseq-update"), 0);
}
// A journal as msgseq wrote it, but reached through a link.
void journallink() {
    cutshort({"-u", "meta"}, [](std::string&) {});
    ASSERT_EQ(rename("meta.msgseq-update/journal", "../out/journal"), 0);
    ASSERT_EQ(symlink((fs::current_path().parent_path() / "out/journal").c_str(),
                      "meta.msgseq-update/journal"),
              0);
}
void journalfifo() {
    ASSERT_EQ(mkdir("meta.msgseq-update", 0700), 0);
    ASSERT_EQ(mkfifo("meta.msgseq-update/journal", 0600), 0);
}

const std::string badjournal =
    "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': not in a form msgseq "
    "writes; nothing done";
const std::string badspare =
    "msgseq: cannot read the journal 'DIR/.msgseq-update/journal': not in a form msgseq "
    "writes; nothing done";
const std::string linkedwork =
    "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': it is a symbolic link";
const std::string linkedspare =
    "msgseq: cannot read the journal 'DIR/.msgseq-update/journal': it is a symbolic link";
const std::string fifojournal =
    "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': it is not a regular file";

// A delete cut short once its journal is on disk, the journal's file line
// then naming out/victim with that file's own identity.
void deleteout() {
    const runresult r = tool({"mailbox", "delete", "meta", "1"},
                             fsfaultenv({"FSFAULT_KILL=rename-to:.meta.mailbox-delete"}));
    ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
    std::string text = slurp(".meta.mailbox-delete");
    struct stat st;
    ASSERT_EQ(stat("../out/victim", &st), 0);
    const size_t at = text.find("\nfile ");
    ASSERT_NE(at, std::string::npos) << text;
    const size_t eol = text.find('\n', at + 1);
    text.replace(at + 1, eol - at - 1,
                 "file " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
                     std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + " " +
                     std::to_string(st.st_mtim.tv_nsec) + " ../out/victim");
    spit(".meta.mailbox-delete", text);
}
void deletelink() {
    const runresult r = tool({"mailbox", "delete", "meta", "1"},
                             fsfaultenv({"FSFAULT_KILL=rename-to:.meta.mailbox-delete"}));
    ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
    ASSERT_EQ(rename(".meta.mailbox-delete", "../out/journal"), 0);
    ASSERT_EQ(symlink("../out/journal", ".meta.mailbox-delete"), 0);
}
void deletefifo() { ASSERT_EQ(mkfifo(".meta.mailbox-delete", 0600), 0); }

const std::string baddelete =
    "mailbox: cannot read 'DIR/.meta.mailbox-delete', the journal of a delete from 'meta' cut "
    "short: ";

INSTANTIATE_TEST_SUITE_P(
    Rows, PlantedRow,
    ::testing::Values(
        plantrow{"AbortNameLeadsOut", outname, {"msgseq", "--abort", "meta"}, 2, badjournal},
        plantrow{"AbortDryNameLeadsOut", outname, {"msgseq", "--abort", "-n", "meta"}, 2,
                 badjournal},
        plantrow{"UpdateNameLeadsOut", outname, {"msgseq", "-u", "meta"}, 2,
                 "msgseq: cannot read the journal 'DIR/meta.msgseq-update/journal': not in a "
                 "form msgseq writes\n"},
        plantrow{"PlainNameLeadsOut", outnameplain, {"msgseq", "meta"}, 2, badjournal},
        plantrow{"DryNameLeadsOut", outnameplain, {"msgseq", "-n", "meta"}, 2, badjournal},
        plantrow{"SpareNameLeadsOut", outnamespare, {"msgseq", "meta"}, 2, badspare},
        plantrow{"SpareAbortNameLeadsOut", outnamespare, {"msgseq", "--abort", "meta"}, 2,
                 badspare},
        plantrow{"PlainWorkDirLink", workdirlink, {"msgseq", "meta"}, 2, linkedwork},
        plantrow{"UpdateWorkDirLink", workdirlink, {"msgseq", "-u", "meta"}, 2, linkedwork},
        plantrow{"AbortWorkDirLink", workdirlink, {"msgseq", "--abort", "meta"}, 2, linkedwork},
        plantrow{"DryWorkDirLink", workdirlink, {"msgseq", "-n", "meta"}, 2, linkedwork},
        plantrow{"PlainSpareLink", sparelink, {"msgseq", "meta"}, 2, linkedspare},
        plantrow{"AbortSpareLink", sparelink, {"msgseq", "--abort", "meta"}, 2, linkedspare},
        plantrow{"AbortJournalLink", journallink, {"msgseq", "--abort", "meta"}, 2,
                 linkedwork},
        plantrow{"UpdateJournalLink", journallink, {"msgseq", "-u", "meta"}, 2, linkedwork},
        plantrow{"AbortJournalFifo", journalfifo, {"msgseq", "--abort", "meta"}, 2,
                 fifojournal},
        plantrow{"PlainJournalFifo", journalfifo, {"msgseq", "meta"}, 2, fifojournal},
        // What the mailbox tool reads of msgseq's: a linked work directory
        // is a run that can't be read, and nothing is touched.
        // list reads the index as it stands then, and says so.
        plantrow{"ListWorkDirLink", workdirlink, {"mailbox", "list", "meta"}, 0,
                 "mailbox: an update of 'meta' by 'msgseq -u' was cut short", true},
        plantrow{"RebuildWorkDirLink", workdirlink, {"mailbox", "rebuild", "meta"}, 2,
                 "mailbox: an update of 'meta' by 'msgseq -u' was cut short", true},
        plantrow{"ListDeleteLeadsOut", deleteout, {"mailbox", "list", "meta"}, 2,
                 baddelete + "not in a form mailbox writes\n", true},
        plantrow{"MendDeleteLeadsOut", deleteout, {"mailbox", "mend", "--adopt", "meta"}, 2,
                 baddelete + "not in a form mailbox writes\n", true},
        plantrow{"RebuildDeleteLeadsOut", deleteout, {"mailbox", "rebuild", "meta"}, 2,
                 baddelete + "not in a form mailbox writes\n", true},
        plantrow{"DeleteDeleteLeadsOut", deleteout, {"mailbox", "delete", "meta", "2"}, 2,
                 baddelete + "not in a form mailbox writes\n", true},
        plantrow{"ListDeleteLink", deletelink, {"mailbox", "list", "meta"}, 2,
                 baddelete + "it is a symbolic link\n", true},
        plantrow{"ListDeleteFifo", deletefifo, {"mailbox", "list", "meta"}, 2,
                 baddelete + "it is not a regular file\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

// check goes on past a delete journal it can't read, and changes nothing.
TEST_F(Planted, CheckCountsAPlantedDeleteAndTouchesNothing) {
    if (!hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    deleteout();
    const std::string before = tree(here) + tree("../out");
    const runresult got = tool({"mailbox", "check", "meta"});
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_NE(got.err.find("not in a form mailbox writes"), std::string::npos) << got.err;
    EXPECT_EQ(tree(here) + tree("../out"), before);
}

// An append journal that is not mailbox's own stops every command that
// changes the index: check counts it, and changes nothing either.
TEST_F(Planted, CheckCountsAPlantedAppendAndTouchesNothing) {
    if (!hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    spit(".meta.mailbox-append", "garbage\n");
    const std::string before = tree(here) + tree("../out");
    const runresult got = tool({"mailbox", "check", "meta"});
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_NE(got.out.find("unfinished: an append"), std::string::npos) << got.out;
    EXPECT_NE(got.err.find("not in a form mailbox writes"), std::string::npos) << got.err;
    EXPECT_EQ(tree(here) + tree("../out"), before);
}

// Run as root in its own directory, msgseq believes no work directory or
// journal another user made there.
TEST_F(Planted, AnotherUsersJournalIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
    cutshort({"-u", "meta"}, [](std::string&) {});
    for (const char* what : {"meta.msgseq-update/journal", "meta.msgseq-update"}) {
        SCOPED_TRACE(what);
        ASSERT_EQ(chown(what, 65533, 65533), 0);
        const std::string before = tree(here) + tree("../out");
        for (const args& cmd : {args{"msgseq", "--abort", "meta"}, args{"msgseq", "-u", "meta"},
                                args{"msgseq", "meta"}}) {
            const runresult got = tool(cmd);
            EXPECT_EQ(got.status, 2);
            EXPECT_NE(got.err.find("it belongs to another user"), std::string::npos) << got.err;
            EXPECT_EQ(tree(here) + tree("../out"), before);
        }
    }
}

TEST_F(Planted, AnotherUsersDeleteJournalIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
    if (!hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    const runresult r = tool({"mailbox", "delete", "meta", "1"},
                             fsfaultenv({"FSFAULT_KILL=rename-to:.meta.mailbox-delete"}));
    ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
    ASSERT_EQ(chown(".meta.mailbox-delete", 65533, 65533), 0);
    const std::string before = tree(here);
    const runresult got = tool({"mailbox", "list", "meta"});
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.err, "mailbox: cannot read '" + here +
                           "/.meta.mailbox-delete', the journal of a delete from 'meta' cut "
                           "short: it belongs to another user\n");
    EXPECT_EQ(tree(here), before);
}

// ---- An entry changed between the listing and its open.

struct swaprow {
    const char* name;
    kind k;
    bool adopt;  // mend --adopt of an unlisted file, else rebuild
};
void PrintTo(const swaprow& r, std::ostream* os) { *os << r.name; }
class SwappedEntry : public Planted, public ::testing::WithParamInterface<swaprow> {};

TEST_P(SwappedEntry, LeftOutWithItsLine) {
    const swaprow& r = GetParam();
    if (!hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    // b.msg is a message as the directory is listed, and then, as it is
    // opened, a link to another's message, a FIFO or a directory.
    spit("../out/other.msg", msgtext("Mallory"));
    if (r.k == kind::link) {
        ASSERT_EQ(symlink("../out/other.msg", "../out/swap"), 0);
    }
    if (r.k == kind::fifo) {
        ASSERT_EQ(mkfifo("../out/swap", 0600), 0);
    }
    if (r.k == kind::dir) {
        ASSERT_EQ(mkdir("../out/swap", 0700), 0);
    }
    if (r.adopt) spit("meta", indexof({"a.msg"}));
    const args cmd = r.adopt ? args{"mailbox", "mend", "--adopt", "meta"}
                             : args{"mailbox", "rebuild", "meta"};
    const runresult got = tool(cmd, fsfaultenv({"FSFAULT_SWAP=../out/swap:b.msg"}));
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_EQ(got.err, "mailbox: 'b.msg' is not a regular file; left out\n");
    EXPECT_EQ(got.out, r.adopt ? "nothing to mend in 'meta'\n"
                               : "rebuilt 'meta': 1 record from 2 files; the old index kept "
                                 "as 'meta.old'\n");
    const std::string index = slurp("meta");
    EXPECT_EQ(index.find("b.msg"), std::string::npos) << index;
    EXPECT_EQ(index.find("Mallory"), std::string::npos) << index;
    EXPECT_NE(index.find("a.msg"), std::string::npos) << index;
}

INSTANTIATE_TEST_SUITE_P(Rows, SwappedEntry,
                         ::testing::Values(swaprow{"RebuildLink", kind::link, false},
                                           swaprow{"RebuildFifo", kind::fifo, false},
                                           swaprow{"RebuildDir", kind::dir, false},
                                           swaprow{"AdoptLink", kind::link, true},
                                           swaprow{"AdoptFifo", kind::fifo, true},
                                           swaprow{"AdoptDir", kind::dir, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A metafile that is no regular file: every mailbox command refuses
// it at once, before the locks.

struct metarow {
    std::string name;
    kind k;
    args cmd;
};
void PrintTo(const metarow& r, std::ostream* os) { *os << r.name; }
class OddMetafile : public ScratchDir, public ::testing::WithParamInterface<metarow> {};

TEST_P(OddMetafile, RefusedAtOnce) {
    const metarow& r = GetParam();
    if (!hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    spit("a.msg", msgtext("a"));
    ASSERT_EQ(rename("a.msg", "in000.msg"), 0);
    // make() builds "x"; the metafile is x.
    make(r.k);
    const std::string before = tree(".");
    args cmd = r.cmd;
    cmd.insert(cmd.begin() + 2, "x");
    const runresult got = tool(cmd);
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_EQ(got.err, r.k == kind::loop
                           ? "mailbox: cannot read 'x': Too many levels of symbolic links; "
                             "nothing done\n"
                           : "mailbox: 'x' is not a regular file; nothing done\n");
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(tree("."), before);
}

std::vector<metarow> metarows() {
    std::vector<metarow> rows;
    const std::pair<const char*, kind> kinds[] = {{"Fifo", kind::fifo},
                                                  {"Dir", kind::dir},
                                                  {"Device", kind::devlink},
                                                  {"Loop", kind::loop}};
    const std::pair<const char*, args> cmds[] = {{"List", {"mailbox", "list"}},
                                                 {"Check", {"mailbox", "check"}},
                                                 {"Delete", {"mailbox", "delete", "1"}},
                                                 {"Mend", {"mailbox", "mend", "--adopt"}},
                                                 {"Rebuild", {"mailbox", "rebuild"}}};
    for (const auto& [cname, cmd] : cmds)
        for (const auto& [kname, k] : kinds) rows.push_back({std::string(cname) + kname, k, cmd});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, OddMetafile, ::testing::ValuesIn(metarows()),
                         [](const auto& info) { return info.param.name; });

// ---- Root in the owner's mailbox.

constexpr uid_t owner = 65534;  // nobody
constexpr uid_t third = 65533;  // a user with no entry in the password file

// The scratch directory searchable by all; box/ the owner's mailbox, every
// file in it theirs; rootonly/ root's alone.
class TrustRoot : public ScratchDir {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "root acting as the owner needs root";
        ScratchDir::SetUp();
        ASSERT_EQ(chmod(".", 0755), 0);
        ASSERT_EQ(mkdir("box", 0700), 0);
        ASSERT_EQ(mkdir("rootonly", 0700), 0);
        spit("rootonly/meta", indexof({"a.msg", "b.msg"}));
        ASSERT_EQ(chmod("rootonly/meta", 0600), 0);
        ASSERT_EQ(chdir("box"), 0);
        spit("a.msg", msgtext("a"));
        spit("b.msg", msgtext("b"));
        spit("meta", indexof({"a.msg", "b.msg"}));
    }
    void TearDown() override {
        if (!dir.empty()) ScratchDir::TearDown();
    }
    // Everything under box/ is uid's, and its group gid.
    static void give(uid_t uid, gid_t gid) {
        ASSERT_EQ(chown(".", uid, gid), 0);
        for (const auto& e : fs::recursive_directory_iterator(".")) {
            ASSERT_EQ(lchown(e.path().c_str(), uid, gid), 0);
        }
    }
    // The names under box/ that are not uid's and gid's.
    static std::string notowned(uid_t uid, gid_t gid) {
        std::string out;
        for (const auto& e : fs::recursive_directory_iterator(".")) {
            struct stat st;
            if (lstat(e.path().c_str(), &st) != 0 || st.st_uid != uid || st.st_gid != gid)
                out += e.path().string() + " ";
        }
        return out;
    }
};

struct rootrow {
    const char* name;
    args first;                        // run cut short by a kill, when given
    std::string kill;                  // FSFAULT_KILL for it
    args then;                         // run after it, to its end
    int status;                        // then's
    uid_t uid = owner;                 // the mailbox's owner
    std::function<void()> prepare{};   // before anything runs
    std::vector<std::string> made{};   // names then must leave, each the owner's
};
void PrintTo(const rootrow& r, std::ostream* os) { *os << r.name; }
class RootAsOwner : public TrustRoot, public ::testing::WithParamInterface<rootrow> {};

TEST_P(RootAsOwner, LeavesOnlyTheOwnersFiles) {
    const rootrow& r = GetParam();
    if ((r.then[0] == "mailbox" || (!r.first.empty() && r.first[0] == "mailbox")) &&
        !hasmailbox())
        GTEST_SKIP() << "the mailbox tool is not built";
    if (r.prepare) r.prepare();
    give(r.uid, r.uid);
    if (!r.first.empty()) {
        const runresult cut = tool(r.first, fsfaultenv({"FSFAULT_KILL=" + r.kill}));
        EXPECT_EQ(cut.status, 128 + SIGKILL) << cut.err;
        EXPECT_EQ(notowned(r.uid, r.uid), "");
    }
    const runresult got = tool(r.then);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_EQ(notowned(r.uid, r.uid), "");
    for (const std::string& name : r.made) EXPECT_TRUE(exists(name)) << name;
    EXPECT_EQ(slurp("../rootonly/meta"), indexof({"a.msg", "b.msg"}));
}

void noindex() { ASSERT_EQ(unlink("meta"), 0); }
void onelisted() { spit("meta", indexof({"a.msg"})); }
void anmbox() {
    spit("new.mbox", "From x Thu Jan  1 00:00:00 1970\n" + msgtext("c") + "\nFrom y Thu Jan  1 "
                     "00:00:00 1970\n" + msgtext("d") + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RootAsOwner,
    ::testing::Values(
        rootrow{"MsgseqPlain", {"msgseq", "meta"}, "rename-from:a.msg", {"msgseq", "meta"}, 0,
                owner, {}, {"in000.msg", "in001.msg"}},
        rootrow{"MsgseqUpdate", {"msgseq", "-u", "meta"}, "rename-from:a.msg",
                {"msgseq", "-u", "meta"}, 0, owner, {}, {"in000.msg", "in001.msg", "meta"}},
        rootrow{"MsgseqAbort", {"msgseq", "-u", "meta"}, "rename-from:a.msg",
                {"msgseq", "--abort", "meta"}, 0, owner, {}, {"a.msg", "b.msg"}},
        rootrow{"MsgseqDry", {}, "", {"msgseq", "-n", "meta"}, 0, owner, {}, {"a.msg"}},
        rootrow{"MsgseqUnnamedOwner", {"msgseq", "-u", "meta"}, "rename-from:a.msg",
                {"msgseq", "-u", "meta"}, 0, third, {}, {"in000.msg", "in001.msg"}},
        rootrow{"RebuildNoIndex", {}, "", {"mailbox", "rebuild", "meta"}, 0, owner, noindex,
                {"meta"}},
        rootrow{"RebuildUnnamedOwner", {}, "", {"mailbox", "rebuild", "meta"}, 0, third,
                noindex, {"meta"}},
        rootrow{"Rebuild", {}, "", {"mailbox", "rebuild", "meta"}, 0, owner, {},
                {"meta", "meta.old"}},
        rootrow{"DeleteCutShort", {"mailbox", "delete", "meta", "1"}, "rename-to:meta",
                {"mailbox", "list", "meta"}, 0, owner, {}, {"b.msg"}},
        rootrow{"MendAdopt", {}, "", {"mailbox", "mend", "--adopt", "meta"}, 0, owner,
                onelisted, {"meta"}},
        rootrow{"Check", {}, "", {"mailbox", "check", "meta"}, 0, owner, {}, {"meta"}},
        rootrow{"ImportCutShort", {"mailbox", "import", "meta", "new.mbox"}, "rename-to:in001.msg",
                {"mailbox", "import", "meta", "new.mbox"}, 0, owner, anmbox,
                {"in000.msg", "in001.msg", "meta"}},
        rootrow{"Export", {}, "", {"mailbox", "export", "meta", "--mbox", "out.mbox"}, 0, owner,
                {}, {"out.mbox"}},
        rootrow{"List", {}, "", {"mailbox", "list", "meta"}, 0, owner, {}, {"meta"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Root's index reached from the owner's mailbox by a link: as the owner,
// no command can read it, and none changes it or shows what it lists.
struct reachrow {
    const char* name;
    args cmd;
    int status;
    bool group = false;  // the index is reached through root's group alone
};
void PrintTo(const reachrow& r, std::ostream* os) { *os << r.name; }
class RootReach : public TrustRoot, public ::testing::WithParamInterface<reachrow> {
protected:
    void TearDown() override {
        if (grouped) {
            EXPECT_EQ(setgroups(0, nullptr), 0);
        }
        TrustRoot::TearDown();
    }
    bool grouped = false;
};

TEST_P(RootReach, NothingTheOwnerCannotReach) {
    const reachrow& r = GetParam();
    if (r.cmd[0] == "mailbox" && !hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    std::string target = "../rootonly/meta";
    if (r.group) {
        // Root's own supplementary group, which the owner must not keep.
        const gid_t g = 4321;
        ASSERT_EQ(mkdir("../rootgroup", 0700), 0);
        ASSERT_EQ(chown("../rootgroup", 0, g), 0);
        ASSERT_EQ(chmod("../rootgroup", 0770), 0);  // the group may write there too
        spit("../rootgroup/meta", indexof({"a.msg", "b.msg"}));
        ASSERT_EQ(chown("../rootgroup/meta", 0, g), 0);
        ASSERT_EQ(chmod("../rootgroup/meta", 0660), 0);
        ASSERT_EQ(setgroups(1, &g), 0);
        grouped = true;
        target = "../rootgroup/meta";
    }
    ASSERT_EQ(unlink("meta"), 0);
    ASSERT_EQ(symlink(target.c_str(), "meta"), 0);
    give(owner, owner);
    const std::string before = tree("..");
    const runresult got = tool(r.cmd);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_EQ(got.out.find("someone"), std::string::npos) << got.out;
    EXPECT_EQ(tree(".."), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RootReach,
    ::testing::Values(reachrow{"MsgseqPlain", {"msgseq", "meta"}, 2},
                      reachrow{"MsgseqUpdate", {"msgseq", "-u", "meta"}, 2},
                      reachrow{"MsgseqDry", {"msgseq", "-n", "meta"}, 2},
                      reachrow{"MsgseqAbort", {"msgseq", "--abort", "meta"}, 0},
                      reachrow{"List", {"mailbox", "list", "meta"}, 2},
                      reachrow{"Check", {"mailbox", "check", "meta"}, 2},
                      reachrow{"Delete", {"mailbox", "delete", "meta", "1"}, 2},
                      reachrow{"Mend", {"mailbox", "mend", "--adopt", "meta"}, 2},
                      reachrow{"Rebuild", {"mailbox", "rebuild", "meta"}, 2},
                      reachrow{"GroupMsgseqUpdate", {"msgseq", "-u", "meta"}, 2, true},
                      reachrow{"GroupList", {"mailbox", "list", "meta"}, 2, true},
                      reachrow{"GroupRebuild", {"mailbox", "rebuild", "meta"}, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The index in a third user's directory: refused before anything is read.
struct thirdrow {
    const char* name;
    args cmd;  // the metafile is META
    bool fromroot = false;  // run in root's own directory on the owner's index
};
void PrintTo(const thirdrow& r, std::ostream* os) { *os << r.name; }
class RootThirdUser : public TrustRoot, public ::testing::WithParamInterface<thirdrow> {};

TEST_P(RootThirdUser, Refused) {
    const thirdrow& r = GetParam();
    if (r.cmd[0] == "mailbox" && !hasmailbox()) GTEST_SKIP() << "the mailbox tool is not built";
    ASSERT_EQ(mkdir("../other", 0755), 0);
    spit("../other/meta", indexof({"a.msg", "b.msg"}));
    ASSERT_EQ(chown("../other/meta", third, third), 0);
    ASSERT_EQ(chown("../other", third, third), 0);
    give(owner, owner);
    const std::string meta = r.fromroot ? "box/meta" : "../other/meta";
    if (r.fromroot) {
        ASSERT_EQ(chdir(".."), 0);
    }
    args cmd = r.cmd;
    for (auto& a : cmd)
        if (a == "META") a = meta;
    const std::string before = tree(r.fromroot ? "." : "..");
    const runresult got = tool(cmd);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.err, cmd[0] + ": " + meta + ": " +
                           (r.fromroot ? "the index's directory belongs to another user; run "
                                         "this in that directory"
                                       : "the working directory and the index's directory "
                                         "belong to two other users") +
                           "; nothing done\n");
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(tree(r.fromroot ? "." : ".."), before);
    if (r.fromroot) {
        ASSERT_EQ(chdir("box"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RootThirdUser,
    ::testing::Values(thirdrow{"MsgseqPlain", {"msgseq", "META"}},
                      thirdrow{"MsgseqUpdate", {"msgseq", "-u", "META"}},
                      thirdrow{"MsgseqDry", {"msgseq", "-n", "META"}},
                      thirdrow{"MsgseqAbort", {"msgseq", "--abort", "META"}},
                      thirdrow{"List", {"mailbox", "list", "META"}},
                      thirdrow{"Check", {"mailbox", "check", "META"}},
                      thirdrow{"Delete", {"mailbox", "delete", "META", "1"}},
                      thirdrow{"Mend", {"mailbox", "mend", "--adopt", "META"}},
                      thirdrow{"Rebuild", {"mailbox", "rebuild", "META"}},
                      thirdrow{"FromRootMsgseqUpdate", {"msgseq", "-u", "META"}, true},
                      thirdrow{"FromRootList", {"mailbox", "list", "META"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
