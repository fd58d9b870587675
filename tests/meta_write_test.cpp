#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "mailbox/meta.h"
#include "testutil.h"

namespace {

using listptr = std::unique_ptr<llnode, decltype(&llfree)>;

const char* const fieldnames[] = {"datafile", "to", "from", "subject", "cc", "bcc", "read"};

listptr mkhead(const std::string& path = "/home/ann/mail",
               const std::string& addr = "ann@example.org") {
    listptr head(llnew(), llfree);
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    llsetfield(head->mydata->mypath, sizeof head->mydata->mypath, path.c_str());
    llsetfield(head->mydata->myaddr, sizeof head->mydata->myaddr, addr.c_str());
    return head;
}

// The six strings of a record and the flag the writer gives it.
using rectext = std::array<std::string, 7>;

llnode* addrec(llnode* head, const rectext& f, int status = ACTIVE, int read = MSGNEW) {
    llnode* rec = llnew();
    llfill(rec, f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(), f[4].c_str(),
           f[5].c_str(), status, read, head->count + 1);
    lladd(rec, head);
    return rec;
}

// Record i with every value telling its field and number apart.
rectext numbered(int i, bool read = false) {
    char n[16];
    snprintf(n, sizeof n, "%05d", i);
    return {std::string("m") + n, std::string("to-") + n, std::string("from-") + n,
            std::string("subject-") + n, std::string("cc-") + n, std::string("bcc-") + n,
            read ? "R" : "N"};
}

std::string lines(const std::vector<std::string>& ls) {
    std::string out;
    for (const auto& l : ls) out += l + "\n";
    return out;
}

struct run {
    int rc;
    std::string said;
};

run writeout(const char* fname, llnode* head) {
    testing::internal::CaptureStdout();
    const int rc = wrtmeta(fname, head);
    return {rc, testing::internal::GetCapturedStdout()};
}

listptr load(const char* fname) {
    listptr head = mkhead("", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(readmeta(fname, head.get()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    return head;
}

// The records after the head, as text, checking on the way that they are
// ACTIVE and numbered 1 to n.
std::vector<rectext> records(const llnode* head) {
    std::vector<rectext> out;
    for (const llnode* rec = head->next; rec; rec = rec->next) {
        EXPECT_EQ(rec->status, ACTIVE);
        EXPECT_EQ(rec->no, static_cast<int>(out.size()) + 1);
        out.push_back({rec->datafile, rec->to, rec->from, rec->subject, rec->cc, rec->bcc,
                       rec->read == MSGREAD ? "R" : "N"});
    }
    EXPECT_EQ(head->count, static_cast<int>(out.size()));
    return out;
}

const char* const META = "inbox.meta";
const std::string OLD = lines({"/old/path", "old@example.org", "old.msg", "", "", "", "", "",
                               "R", "END"});

class MetaWrite : public ScratchDir {};

TEST_F(MetaWrite, EmptyListGivesOwnerAndTerminator) {
    spit(META, OLD);
    listptr head = mkhead();
    EXPECT_EQ(writeout(META, head.get()).rc, 1);
    EXPECT_EQ(slurp(META), lines({"/home/ann/mail", "ann@example.org", "END"}));
    EXPECT_EQ(listing(), std::set<std::string>{META});
}

// Every flag line comes back as R or N; everything else, a carriage return
// and the longest path included, comes back as it was, and the written file
// writes again to the same bytes.
TEST_F(MetaWrite, RoundTripKeepsLinesAndRewritesFlags) {
    const std::vector<std::pair<std::string, std::string>> flags = {
        {"R", "R"}, {"RD", "R"}, {"Read", "R"}, {"N", "N"}, {"r", "N"}, {"x", "N"}, {"", "N"}};
    const std::string path(METALINE, 'p');
    std::vector<std::string> in = {path, "ann@example.org"}, want = in;
    for (size_t i = 0; i < flags.size(); i++) {
        rectext f = numbered(static_cast<int>(i));
        f[3] += "\r";
        in.insert(in.end(), f.begin(), f.begin() + 6);
        want.insert(want.end(), f.begin(), f.begin() + 6);
        in.push_back(flags[i].first);
        want.push_back(flags[i].second);
    }
    in.push_back("END");
    want.push_back("END");
    spit(META, lines(in) + "after the end\n");

    listptr first = load(META);
    const run r = writeout(META, first.get());
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.said, "");
    EXPECT_EQ(slurp(META), lines(want));

    listptr second = load(META);
    EXPECT_EQ(records(second.get()), records(first.get()));
    EXPECT_STREQ(second->mydata->mypath, path.c_str());
    EXPECT_EQ(writeout(META, second.get()).rc, 1);
    EXPECT_EQ(slurp(META), lines(want));
}

// Only ACTIVE records are written; the survivors read back numbered 1 to n.
// A read code other than read is written as new.
TEST_F(MetaWrite, OnlyActiveRecordsAreWritten) {
    spit(META, OLD);
    listptr head = mkhead();
    addrec(head.get(), numbered(1, true), ACTIVE, MSGREAD);
    addrec(head.get(), numbered(2), DELETED);
    addrec(head.get(), numbered(3), ACTIVE, MSGNEW);
    addrec(head.get(), numbered(4), IGNORE);
    addrec(head.get(), numbered(5), ACTIVE, 7);
    addrec(head.get(), numbered(6), 3);
    EXPECT_EQ(writeout(META, head.get()).rc, 1);

    std::vector<std::string> want = {"/home/ann/mail", "ann@example.org"};
    for (int i : {1, 3, 5})
        for (const auto& l : numbered(i, i == 1)) want.push_back(l);
    want.push_back("END");
    EXPECT_EQ(slurp(META), lines(want));
    EXPECT_EQ(records(load(META).get()),
              (std::vector<rectext>{numbered(1, true), numbered(3), numbered(5)}));
}

// Only the status decides: an ACTIVE head is written as a record of its own
// (empty) strings.
TEST_F(MetaWrite, ActiveHeadIsWrittenAsRecord) {
    spit(META, OLD);
    listptr head = mkhead();
    head->status = ACTIVE;
    addrec(head.get(), numbered(1));
    EXPECT_EQ(writeout(META, head.get()).rc, 1);
    std::vector<std::string> want = {"/home/ann/mail", "ann@example.org", "", "", "", "", "",
                                     "", "N"};
    for (const auto& l : numbered(1)) want.push_back(l);
    want.push_back("END");
    EXPECT_EQ(slurp(META), lines(want));
}

TEST_F(MetaWrite, NewIndexTakesOldPermissionBits) {
    spit(META, OLD);
    ASSERT_EQ(chmod(META, 0640), 0);
    struct stat before, after;
    ASSERT_EQ(stat(META, &before), 0);
    listptr head = mkhead();
    EXPECT_EQ(writeout(META, head.get()).rc, 1);
    ASSERT_EQ(stat(META, &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file, renamed into place
}

// Failures found before anything is written: the old index, if any, is left
// byte for byte and nothing else is left beside it.
struct refusal {
    const char* label;
    std::string fname;
    enum { none, file, directory } old;
    std::function<void(llnode*)> change;
    std::string said;  // %s stands for fname
};

void PrintTo(const refusal& c, std::ostream* os) { *os << c.label; }

class MetaWriteRefusal : public ScratchDir, public testing::WithParamInterface<refusal> {};

TEST_P(MetaWriteRefusal, LeavesEverythingAsItWas) {
    const refusal& c = GetParam();
    if (c.old == refusal::file) spit(c.fname, OLD);
    if (c.old == refusal::directory) {
        ASSERT_EQ(mkdir(c.fname.c_str(), 0755), 0);
    }
    const std::set<std::string> before = listing();
    listptr head = mkhead();
    addrec(head.get(), numbered(1));
    if (c.change) c.change(head.get());

    const run r = writeout(c.fname.c_str(), head.get());
    EXPECT_EQ(r.rc, -1);
    std::string said = c.said;
    said.replace(said.find("%s"), 2, c.fname);
    EXPECT_EQ(r.said, said);
    EXPECT_EQ(listing(), before);
    if (c.old == refusal::file) {
        EXPECT_EQ(slurp(c.fname), OLD);
    }
}

template <size_t N>
void setfield(char (&field)[N], const char* value) {
    llsetfield(field, N, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetaWriteRefusal,
    testing::Values(
        refusal{"missing", META, refusal::none, nullptr,
                "FILE ERROR: wrtmeta, error in deleting %s prior to output"},
        refusal{"directory", META, refusal::directory, nullptr,
                "FILE ERROR: wrtmeta, error in deleting %s prior to output"},
        // The fresh file's name, fname and seven more characters, is too long.
        refusal{"no_room_for_fresh_name", std::string(250, 'm'), refusal::file, nullptr,
                "FILE ERROR: wrtmeta, error in opening %s for output"},
        refusal{"newline_in_path", META, refusal::file,
                [](llnode* h) { setfield(h->mydata->mypath, "/home\n/ann"); },
                "FILE ERROR: wrtmeta, error in writting my path to %s"},
        refusal{"newline_in_address", META, refusal::file,
                [](llnode* h) { setfield(h->mydata->myaddr, "ann@\n"); },
                "FILE ERROR: wrtmeta, error in writting my address to %s"},
        refusal{"newline_in_field", META, refusal::file, [](llnode* h) { setfield(h->next->to, "a\nb"); },
                "FILE ERROR: wrthdr, error in writting to (a\nb)"
                "FILE ERROR: wrtmeta, error in writting record to %s"},
        refusal{"message_file_named_END", META, refusal::file,
                [](llnode* h) { setfield(h->next->datafile, "END"); },
                "FILE ERROR: wrthdr, error in writting datafile (END)"
                "FILE ERROR: wrtmeta, error in writting record to %s"}),
    [](const auto& info) { return std::string(info.param.label); });

// wrtmeta in a child process, so that limits and mounts set for it go with
// it; its messages come back through a pipe.
constexpr int SKIPPED = 77;

struct childrun {
    int rc;  // wrtmeta's result, or SKIPPED when the child could not be set up
    std::string said;
};

childrun inchild(const std::function<bool()>& prepare, const char* fname, llnode* head) {
    int fds[2];
    if (pipe(fds) != 0) return {SKIPPED, "pipe"};
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        if (!prepare()) _exit(SKIPPED);
        const int rc = wrtmeta(fname, head);
        fflush(stdout);
        _exit(rc == 1 ? 0 : rc == -1 ? 1 : 2);
    }
    close(fds[1]);
    childrun out{SKIPPED, ""};
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.said.append(buf, n);
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return out;
    const int code = WEXITSTATUS(status);
    out.rc = code == 0 ? 1 : code == 1 ? -1 : code == SKIPPED ? SKIPPED : 0;
    return out;
}

// Writes to files beyond limit bytes fail with EFBIG instead of killing.
std::function<bool()> filelimit(rlim_t limit) {
    return [limit] {
        const rlimit r{limit, limit};
        return signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &r) == 0;
    };
}

// The message wrtmeta gives when the write of the given line of the index
// fails.
std::string failedline(const std::vector<std::string>& index, size_t i) {
    if (i == 0) return std::string("FILE ERROR: wrtmeta, error in writting my path to ") + META;
    if (i == 1) return std::string("FILE ERROR: wrtmeta, error in writting my address to ") + META;
    if (i + 1 == index.size())
        return std::string("FILE ERROR: wrtmeta, error in writting terminator (END) to ") + META;
    return std::string("FILE ERROR: wrthdr, error in writting ") + fieldnames[(i - 2) % 7] +
           " (" + index[i] + ")FILE ERROR: wrtmeta, error in writting record to " + META;
}

// The index is gathered METABUF bytes at a time, so the first write to the
// file is tried by the line that no longer fits, or else by the flush.
std::string expectedfailure(const std::vector<std::string>& index) {
    size_t end = 0;
    for (size_t i = 0; i < index.size(); i++)
        if ((end += index[i].size() + 1) > METABUF) return failedline(index, i);
    return std::string("FILE ERROR: wrtmeta, error in flushing ") + META;
}

struct sized {
    const char* label;
    int records;  // 0: as many as leave room for the path to fill METABUF exactly
    const char* where;  // the part of the message that shows where it failed
};

void PrintTo(const sized& c, std::ostream* os) { *os << c.label; }

class MetaWriteFull : public ScratchDir, public testing::WithParamInterface<sized> {};

TEST_P(MetaWriteFull, FailedWriteLeavesOldIndex) {
    const sized& c = GetParam();
    const rectext r0 = numbered(0);
    size_t reclen = 0;
    for (const auto& l : r0) reclen += l.size() + 1;
    const std::string addr = "ann@example.org";
    const int records = c.records ? c.records : static_cast<int>((METABUF - 600) / reclen);
    const size_t pathlen = c.records ? 14 : METABUF - addr.size() - 2 - records * reclen;
    ASSERT_LE(pathlen, static_cast<size_t>(METALINE));

    listptr head = mkhead(std::string(pathlen, 'p'), addr);
    std::vector<std::string> index = {std::string(pathlen, 'p'), addr};
    for (int i = 0; i < records; i++) {
        const rectext f = numbered(i);
        addrec(head.get(), f);
        index.insert(index.end(), f.begin(), f.end());
    }
    index.push_back("END");
    ASSERT_NE(expectedfailure(index).find(c.where), std::string::npos);
    spit(META, OLD);

    const childrun r = inchild(filelimit(0), META, head.get());
    ASSERT_NE(r.rc, SKIPPED) << r.said;
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.said, expectedfailure(index));
    EXPECT_EQ(slurp(META), OLD);
    EXPECT_EQ(listing(), std::set<std::string>{META});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetaWriteFull,
    testing::Values(sized{"at_flush", 3, "flushing"},
                    sized{"at_record", static_cast<int>(METABUF / 40), "record"},
                    sized{"at_terminator", 0, "terminator"}),
    [](const auto& info) { return std::string(info.param.label); });

// The index fits, but the rename cannot replace fname: a file mounted over
// it. Needs a mount namespace of the child's own.
bool privatemounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        auto put = [](const char* path, const std::string& text) {
            const int fd = open(path, O_WRONLY);
            const bool ok = fd >= 0 && write(fd, text.data(), text.size()) ==
                                           static_cast<ssize_t>(text.size());
            if (fd >= 0) close(fd);
            return ok;
        };
        put("/proc/self/setgroups", "deny");
        if (!put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

TEST_F(MetaWrite, FailedRenameLeavesOldIndex) {
    spit(META, OLD);
    spit("cover", "cover\n");
    listptr head = mkhead();
    addrec(head.get(), numbered(1));
    const childrun r = inchild(
        [] { return privatemounts() && mount("cover", META, nullptr, MS_BIND, nullptr) == 0; },
        META, head.get());
    if (r.rc == SKIPPED) GTEST_SKIP() << "no mount namespace for this user";
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.said, std::string("FILE ERROR: wrtmeta, error in renaming ") + META);
    EXPECT_EQ(slurp(META), OLD);
    EXPECT_EQ(slurp("cover"), "cover\n");
    EXPECT_EQ(listing(), (std::set<std::string>{META, "cover"}));
}

// wrthdr on a stream that takes a given number of lines and fails the next.
struct linebudget {
    int left;
    std::string got;
};

ssize_t budgetwrite(void* cookie, const char* buf, size_t n) {
    auto* b = static_cast<linebudget*>(cookie);
    if (b->left <= 0) {
        errno = ENOSPC;
        return 0;
    }
    b->got.append(buf, n);
    b->left -= static_cast<int>(std::count(buf, buf + n, '\n'));
    return static_cast<ssize_t>(n);
}

struct fcloser {
    void operator()(FILE* f) const { fclose(f); }
};

std::unique_ptr<FILE, fcloser> budgetfile(linebudget* b) {
    std::unique_ptr<FILE, fcloser> f(
        fopencookie(b, "w", cookie_io_functions_t{nullptr, budgetwrite, nullptr, nullptr}));
    if (f) setvbuf(f.get(), nullptr, _IONBF, 0);
    return f;
}

TEST(WrtHdr, EachFieldReportsItsOwnFailure) {
    const rectext f = numbered(1, true);
    for (int k = 0; k < 7; k++) {
        SCOPED_TRACE(fieldnames[k]);
        listptr head = mkhead();
        llnode* rec = addrec(head.get(), f, ACTIVE, MSGREAD);
        linebudget b{k, ""};
        auto fd = budgetfile(&b);
        ASSERT_TRUE(fd);
        testing::internal::CaptureStdout();
        EXPECT_EQ(wrthdr(fd.get(), rec), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("FILE ERROR: wrthdr, error in writting ") + fieldnames[k] + " (" +
                      f[k] + ")");
        EXPECT_EQ(b.got, lines(std::vector<std::string>(f.begin(), f.begin() + k)));
    }
}

TEST(WrtHdr, PassesOverRecordsNotActive) {
    for (int status : {IGNORE, DELETED, 5}) {
        listptr head = mkhead();
        llnode* rec = addrec(head.get(), numbered(1), status);
        linebudget b{0, ""};
        auto fd = budgetfile(&b);
        ASSERT_TRUE(fd);
        testing::internal::CaptureStdout();
        EXPECT_EQ(wrthdr(fd.get(), rec), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(b.got, "");
    }
}

TEST(PutF, WritesLineAndNewlineOrFails) {
    linebudget b{1, ""};
    auto fd = budgetfile(&b);
    ASSERT_TRUE(fd);
    EXPECT_EQ(putf(fd.get(), "one"), 1);
    EXPECT_EQ(putf(fd.get(), "two"), -1);
    EXPECT_EQ(b.got, "one\n");
}

}  // namespace
