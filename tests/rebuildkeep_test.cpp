// mailbox rebuild over an old index: a record is kept, read flag and fields,
// only for a file that is the one the index listed and unchanged since the
// index was written; anything else is read from the file itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "testutil.h"

namespace {

using recs = std::vector<std::vector<std::string>>;

std::string msg(const std::string& from, const std::string& subject) {
    return "From: " + from + "\nSubject: " + subject + "\n\nbody\n";
}

timespec ctimeof(const char* path) {
    struct stat st {};
    EXPECT_EQ(lstat(path, &st), 0) << path;
    return st.st_ctim;
}

bool after(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

void setmtime(const char* path, timespec t) {
    const timespec ts[2] = {t, t};
    ASSERT_EQ(utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

timespec plus(timespec t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000) {
        t.tv_nsec -= 1000000000;
        t.tv_sec++;
    }
    return t;
}

// Until the file system's clock has passed t: a change made then has a later
// time than t, however coarse the clock.
void pastclock(const timespec& t) {
    for (;;) {
        spit(".tick", "");
        const timespec now = ctimeof(".tick");
        ASSERT_EQ(unlink(".tick"), 0);
        if (after(now, t)) return;
    }
}

// The index's written time put just after every file's status change: the
// files are the ones it listed, unchanged since.
void writtenafter(const std::vector<const char*>& files) {
    timespec latest{};
    for (const char* f : files)
        if (after(ctimeof(f), latest)) latest = ctimeof(f);
    setmtime("index", plus(latest, 1));
    pastclock(plus(latest, 1));
}

const std::string ann = msg("Ann <ann@example.org>", "Hello");
const std::string bob = msg("Bob <bob@example.org>", "Other");
const std::vector<std::string> annread = {"a.msg", "", "Ann <ann@example.org>", "Hello", "", "", "N"};
const std::vector<std::string> edited = {"a.msg", "me", "Ann", "Edited by hand", "c", "d", "R"};

struct keeprow {
    const char* name;
    std::function<void()> make;  // the files and the old index, in the mailbox
    recs want;                   // the records rebuild writes
    std::string err = "";
    int status = 0;
};
void PrintTo(const keeprow& r, std::ostream* os) { *os << r.name; }
class RebuildKeeps : public ScratchDir, public ::testing::WithParamInterface<keeprow> {};

TEST_P(RebuildKeeps, WhatTheOldIndexKnew) {
    const keeprow& r = GetParam();
    GetParam().make();
    const runresult got = run({MAILBOX_PATH, "rebuild", "index"});
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(slurp("index"), metafile(r.want));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, RebuildKeeps, ::testing::Values(
    keeprow{"Unchanged", [] {
        spit("a.msg", ann);
        spit("index", metafile({edited}));
        writtenafter({"a.msg"});
    }, {edited}},
    keeprow{"NewFileRead", [] {
        spit("a.msg", ann);
        spit("b.msg", bob);
        spit("index", metafile({{"b.msg", "x", "y", "Old", "", "", "R"}}));
        writtenafter({"a.msg", "b.msg"});
    }, {annread, {"b.msg", "x", "y", "Old", "", "", "R"}}},
    keeprow{"SameTimeRead", [] {
        spit("a.msg", ann);
        spit("index", metafile({edited}));
        setmtime("index", ctimeof("a.msg"));
    }, {annread}},
    keeprow{"WrittenSince", [] {
        spit("a.msg", msg("Zed", "Before"));
        spit("index", metafile({edited}));
        writtenafter({"a.msg"});
        spit("a.msg", ann);
    }, {annread}},
    keeprow{"ReplacedByRename", [] {
        spit("a.msg", msg("Zed", "Before"));
        spit("b.new", ann);
        setmtime("b.new", timespec{1000000000, 0});  // a copy's old time
        spit("index", metafile({edited}));
        writtenafter({"a.msg", "b.new"});
        ASSERT_EQ(rename("b.new", "a.msg"), 0);
    }, {annread}},
    keeprow{"ModifiedLater", [] {
        spit("a.msg", ann);
        spit("index", metafile({edited}));
        writtenafter({"a.msg"});
        setmtime("index", plus(ctimeof("a.msg"), 2000000000));
        setmtime("a.msg", plus(ctimeof("a.msg"), 4000000000));  // its time after the index's
    }, {annread}},
    keeprow{"HardLinkOtherName", [] {
        spit("a.msg", ann);
        ASSERT_EQ(link("a.msg", "b.msg"), 0);
        spit("index", metafile({{"b.msg", "me", "Ann", "Edited by hand", "c", "d", "R"}}));
        writtenafter({"a.msg"});
    }, {edited, {"b.msg", "me", "Ann", "Edited by hand", "c", "d", "R"}}},
    keeprow{"NameLeadingOutIgnored", [] {
        spit("a.msg", ann);
        ASSERT_EQ(mkdir("sub", 0755), 0);
        ASSERT_EQ(link("a.msg", "sub/a.msg"), 0);
        spit("index", metafile({{"sub/a.msg", "me", "Mallory", "Planted", "", "", "R"}}));
        writtenafter({"a.msg"});
    }, {annread}},
    keeprow{"NowALink", [] {
        spit("a.msg", ann);
        spit("index", metafile({edited, {"b.msg", "x", "y", "Old", "", "", "R"}}));
        spit("../b-target", bob);
        ASSERT_EQ(symlink("../b-target", "b.msg"), 0);
        writtenafter({"a.msg", "b.msg"});
    }, {edited}},  // a link is no message file of this directory: not listed
    keeprow{"CrlfIndexRead", [] {
        spit("a.msg", ann);
        ASSERT_EQ(link("a.msg", "a.msg\r"), 0);  // the name a CR-LF index gives, the same file
        std::string text;
        for (char c : metafile({edited})) {
            if (c == '\n') text.push_back('\r');
            text.push_back(c);
        }
        spit("index", text);
        writtenafter({"a.msg", "a.msg\r"});
    }, {annread}, "mailbox: 'a.msg?': the index can't list a file of this name; left out\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
