// The built tool fed hostile metafiles: binary bytes, NUL bytes, huge lines,
// CR-LF line ends, a million empty lines, names that reach out of the working
// directory or that a shell would read as syntax. Whatever the index says,
// the tool may only rename plain names inside its working directory: every
// case runs in work/ beside a decoy directory and decoy files, and nothing
// outside work/ may be created, changed or removed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;

// A directory's contents, name by name: a file's bytes, "(dir)" for a
// directory (its name ends in '/'), "(link) target" for a symbolic link.
using tree = std::map<std::string, std::string>;

const std::string dirmark = "(dir)";
std::string linkto(const std::string& target) { return "(link) " + target; }
std::string msg(const std::string& name) { return "message " + name; }

// Stands for an absolute name that fits in a record, "/tmp/h" and six random
// characters, naming a decoy file the test makes. A system file such as
// /etc/passwd would do as well only until the day a fault let the tool move
// it: the tests may run as root.
const std::string absmark = "@ABS@";

std::vector<std::string> rec(const std::string& name) {
    return {name, "to", "from", "subj", "", "", "N"};
}
std::string metaof(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : names) recs.push_back(rec(name));
    return metafile(recs);
}
std::string nth(size_t k) {
    char buf[32];
    snprintf(buf, sizeof buf, "in%03zu.msg", k);
    return buf;
}
// The reader's messages when loading stops at a bad record after count
// complete ones.
std::string stopped(const std::string& why, size_t count) {
    return "FILE ERROR: readhdr, error in reading " + why +
           "FILE ERROR: readmeta, error in reading meta record from meta" + std::to_string(count);
}
std::string refused(const std::string& name, size_t k, const std::string& why) {
    return "msgseq: cannot move '" + name + "' to '" + nth(k) + "': " + why + "\n";
}
// The totals line: how many renamed, already in place, missing, refused, of how many.
std::string tally(int moved, int stayed, int missing, int refused, int of) {
    return "msgseq: " + std::to_string(moved) + " renamed, " + std::to_string(stayed) +
           " already in place, " + std::to_string(missing) + " missing, " +
           std::to_string(refused) + " refused, of " + std::to_string(of) +
           (of == 1 ? " record\n" : " records\n");
}
// The line that says where and why loading stopped.
std::string stoppedat(int line, const std::string& why) {
    return "msgseq: meta:" + std::to_string(line) + ": " + why + "\n";
}
const std::string toolong = "message file name longer than 12 bytes";
const std::string nulname = "message file name holds a NUL byte";
const std::string notplain = "not a name in this directory";
const std::string missing = "No such file or directory";
const std::string crlfcause =
    "msgseq: none of the listed files was found, most likely because the index has CR-LF line "
    "ends: a name read from it ends in a carriage return\n";

struct row {
    std::string name{};               // the case's name in the test list
    std::string meta{};               // the metafile's bytes
    std::string (*make)() = nullptr;  // or these, for the large ones
    tree before{};                    // work/ besides the metafile
    std::string out{};                // standard output, exactly
    int status = 0;
    std::string err{};   // standard error: exactly, or how it begins
    long errlines = -1;  // when set, how many lines it holds
    tree after{};
    std::vector<std::string> args{"meta"};
    bool fifo = false;  // meta is a FIFO, into which a writer puts the bytes once
    bool unread = false;  // and the run must refuse it without reading it
};

void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

std::string bytes(const char* text, size_t len) { return std::string(text, len); }
// meta with its closing "END\n" replaced by last.
std::string endedby(const std::string& meta, const std::string& last) {
    return meta.substr(0, meta.size() - 4) + last;
}

std::vector<row> rows() {
    std::vector<row> rs;

    // Bytes of any value but LF and NUL are part of a name; standard error
    // shows control characters as '?'.
    rs.push_back({.name = "BinaryBytesInNames",
                  .meta = metaof({"\x01\xfe\xff.m", "\x7f\x80"}),
                  .before = {{"\x01\xfe\xff.m", msg("binary")}},
                  .out = "2",
                  .status = 3,
                  .err = refused("?\x80", 1, missing) + tally(1, 0, 1, 0, 2),
                  .after = {{nth(0), msg("binary")}}});

    // Every byte value twice over: line 3, the first name, is 245 bytes long.
    std::string all;
    for (int i = 0; i < 512; i++) all += static_cast<char>(i % 256);
    rs.push_back({.name = "AllByteValues",
                  .meta = all,
                  .before = {{"a.msg", msg("a")}},
                  .out = stopped("datafile", 0),
                  .status = 2,
                  .err = stoppedat(3, toolong),
                  .after = {{"a.msg", msg("a")}}});

    // A NUL would cut "x\0y.msg" to "x": the record is refused, not cut.
    rs.push_back({.name = "NulInAName",
                  .meta = metaof({"a.msg", bytes("x\0y.msg", 7), "b.msg"}),
                  .before = {{"a.msg", msg("a")}, {"x", msg("x")}, {"b.msg", msg("b")}},
                  .out = stopped("datafile", 1),
                  .status = 2,
                  .err = stoppedat(10, nulname),
                  .after = {{nth(0), msg("a")}, {"x", msg("x")}, {"b.msg", msg("b")}}});

    rs.push_back({.name = "NulInAHeaderField",
                  .meta = metafile(
                      {{"a.msg", "to", "from", bytes("sub\0ject", 8), "", "", "R"}, rec("b.msg")}),
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = "2",
                  .after = {{nth(0), msg("a")}, {nth(1), msg("b")}}});

    rs.push_back({.name = "EndHoldingANul",
                  .meta = endedby(metaof({"a.msg"}), bytes("END\0\n", 5)),
                  .before = {{"a.msg", msg("a")}, {"END", msg("END")}},
                  .out = stopped("datafile", 1),
                  .status = 2,
                  .err = stoppedat(10, nulname),
                  .after = {{nth(0), msg("a")}, {"END", msg("END")}}});

    // One line is one field however long it is: a 10 MB name is refused,
    // a 10 MB header field or owner path is cut, and the lines after each
    // keep their places.
    rs.push_back({.name = "TenMegabyteName",
                  .make =
                      [] {
                          return metaof({"a.msg", std::string(10 << 20, 'n'), "b.msg"});
                      },
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = stopped("datafile", 1),
                  .status = 2,
                  .err = stoppedat(10, toolong),
                  .after = {{nth(0), msg("a")}, {"b.msg", msg("b")}}});
    rs.push_back({.name = "TenMegabyteHeaderField",
                  .make =
                      [] {
                          return metafile(
                              {{"a.msg", "to", std::string(10 << 20, 'f'), "subj", "", "", "N"},
                               rec("b.msg")});
                      },
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = "2",
                  .after = {{nth(0), msg("a")}, {nth(1), msg("b")}}});
    rs.push_back({.name = "TenMegabyteOwnerPath",
                  .make = [] { return metafile({rec("a.msg")}, std::string(10 << 20, '/')); },
                  .before = {{"a.msg", msg("a")}},
                  .out = "1",
                  .after = {{nth(0), msg("a")}}});

    // The CR is part of each line: "in005.msg\r" is missing, "a.msg\r" is
    // found, and "END\r" starts a record that the file then cuts short.
    rs.push_back({.name = "CrLfLineEnds",
                  .meta = "/p\r\naddr\r\n"
                          "in005.msg\r\nt\r\nf\r\ns\r\n\r\n\r\nN\r\n"
                          "a.msg\r\nt\r\nf\r\ns\r\n\r\n\r\nR\r\n"
                          "END\r\n",
                  .before = {{"in005.msg", msg("5")}, {"a.msg\r", msg("a")}},
                  .out = stopped("to", 2),
                  .status = 2,
                  .err = stoppedat(1, "line ends in a carriage return (CR-LF file?)") +
                         refused("in005.msg?", 0, missing) + tally(1, 0, 1, 0, 2),
                  .after = {{"in005.msg", msg("5")}, {nth(1), msg("a")}}});
    // Every file missing: the carriage returns are why, not the directory.
    rs.push_back({.name = "CrLfNothingFound",
                  .meta = "/p\r\naddr\r\na.msg\r\nt\r\nf\r\ns\r\n\r\n\r\nN\r\nEND\r\n",
                  .before = {{"a.msg", msg("a")}},
                  .out = stopped("to", 1),
                  .status = 2,
                  .err = stoppedat(1, "line ends in a carriage return (CR-LF file?)") +
                         refused("a.msg?", 0, missing) + crlfcause + tally(0, 0, 1, 0, 1),
                  .after = {{"a.msg", msg("a")}}});
    rs.push_back({.name = "CrInEveryNameNothingFound",
                  .meta = metaof({"a.msg\r"}),
                  .before = {{"a.msg", msg("a")}},
                  .out = "1",
                  .status = 3,
                  .err = refused("a.msg?", 0, missing) + crlfcause + tally(0, 0, 1, 0, 1),
                  .after = {{"a.msg", msg("a")}}});
    rs.push_back({.name = "EndWithCrIsAName",
                  .meta = metaof({"a.msg", "END\r"}),
                  .before = {{"a.msg", msg("a")}, {"END\r", msg("END")}},
                  .out = "2",
                  .after = {{nth(0), msg("a")}, {nth(1), msg("END")}}});

    // Two empty owner lines, then 142856 records of seven empty lines and
    // six lines of one more: every record names "", missing the first time
    // and listed twice after that.
    rs.push_back({.name = "AMillionEmptyLines",
                  .make = [] { return std::string(1000000, '\n'); },
                  .before = {{"a.msg", msg("a")}},
                  .out = stopped("read", 142856),
                  .status = 2,
                  .err = stoppedat(1000001, "file ends inside a record") + refused("", 0, missing) +
                         refused("", 1, "listed twice in the index"),
                  .errlines = 142858,
                  .after = {{"a.msg", msg("a")}}});
    rs.push_back({.name = "AMillionEmptyLinesAfterEnd",
                  .make = [] { return metaof({"a.msg"}) + std::string(1000000, '\n'); },
                  .before = {{"a.msg", msg("a")}},
                  .out = "1",
                  .after = {{nth(0), msg("a")}}});

    // Any name holding '/' is refused, whether or not it names a file:
    // ../x.msg and ../decoy/v do, as does the absolute decoy.
    rs.push_back({.name = "NamesWithSlashes",
                  .meta = metaof({"../x.msg", "sub/a.msg", absmark, "../decoy/v", "./a.msg", "/",
                                  "sub/", "b.msg"}),
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = "8",
                  .status = 3,
                  .err = refused("../x.msg", 0, notplain) + refused("sub/a.msg", 1, notplain) +
                         refused(absmark, 2, notplain) + refused("../decoy/v", 3, notplain) +
                         refused("./a.msg", 4, notplain) + refused("/", 5, notplain) +
                         refused("sub/", 6, notplain) + tally(1, 0, 0, 7, 8),
                  .after = {{"a.msg", msg("a")}, {nth(7), msg("b")}}});
    // "." and ".." are refused; other names starting with dots are plain.
    rs.push_back(
        {.name = "DotNames",
         .meta = metaof({".", "..", "...", ".hidden", "..x"}),
         .before = {{"...", msg("...")}, {".hidden", msg(".hidden")}, {"..x", msg("..x")}},
         .out = "5",
         .status = 3,
         .err = refused(".", 0, notplain) + refused("..", 1, notplain) + tally(3, 0, 0, 2, 5),
         .after = {{nth(2), msg("...")}, {nth(3), msg(".hidden")}, {nth(4), msg("..x")}}});
    rs.push_back({.name = "LeadingDashes",
                  .meta = metaof({"-rf", "-", "--help"}),
                  .before = {{"-rf", msg("-rf")}, {"-", msg("-")}, {"--help", msg("--help")}},
                  .out = "3",
                  .after = {{nth(0), msg("-rf")}, {nth(1), msg("-")}, {nth(2), msg("--help")}}});
    rs.push_back(
        {.name = "ShellCharacters",
         .meta = metaof({"$(id)", "`id`", "a;b", "a b", "*", "a|b>c", "~", "'\"\\", "${IFS}"}),
         .before = {{"$(id)", msg("1")},
                    {"`id`", msg("2")},
                    {"a;b", msg("3")},
                    {"a b", msg("4")},
                    {"*", msg("5")},
                    {"a|b>c", msg("6")},
                    {"~", msg("7")},
                    {"'\"\\", msg("8")},
                    {"${IFS}", msg("9")}},
         .out = "9",
         .after = {{nth(0), msg("1")},
                   {nth(1), msg("2")},
                   {nth(2), msg("3")},
                   {nth(3), msg("4")},
                   {nth(4), msg("5")},
                   {nth(5), msg("6")},
                   {nth(6), msg("7")},
                   {nth(7), msg("8")},
                   {nth(8), msg("9")}}});
    // A pattern is a name like any other, not the files it would match.
    rs.push_back({.name = "PatternsAreNotExpanded",
                  .meta = metaof({"*", "?.msg", "[ab].msg"}),
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = "3",
                  .status = 3,
                  // and a last line on where the names were looked for
                  .err = refused("*", 0, missing) + refused("?.msg", 1, missing) +
                         refused("[ab].msg", 2, missing) +
                         "msgseq: none of the listed files was found; names are taken relative "
                         "to the working directory, ",
                  .errlines = 5,
                  .after = {{"a.msg", msg("a")}, {"b.msg", msg("b")}}});

    // 12 characters fit a record; 13 are refused rather than cut to a name
    // that exists.
    rs.push_back(
        {.name = "NamesOf12And13Chars",
         .meta = metaof({"abcdefgh.msg", "abcdefghi.msg"}),
         .before = {{"abcdefgh.msg", msg("12")},
                    {"abcdefghi.msg", msg("13")},
                    {"abcdefghi.ms", msg("cut")}},
         .out = stopped("datafile", 1),
         .status = 2,
         .err = stoppedat(10, toolong),
         .after = {
             {nth(0), msg("12")}, {"abcdefghi.msg", msg("13")}, {"abcdefghi.ms", msg("cut")}}});

    // A listed link is renamed itself; a link at a new name, dangling or
    // not, holds that name. Nothing is followed out to the decoys.
    rs.push_back({.name = "SymbolicLinks",
                  .meta = metaof({"link.msg", "b.msg", "c.msg"}),
                  .before = {{"link.msg", linkto("../decoy/v")},
                             {nth(1), linkto("../decoy/v")},
                             {nth(2), linkto("../decoy/new")},
                             {"b.msg", msg("b")},
                             {"c.msg", msg("c")}},
                  .out = "3",
                  .status = 3,
                  .err = refused("b.msg", 1, "File exists ('" + nth(1) + "' is not in the index)") +
                         refused("c.msg", 2, "File exists ('" + nth(2) + "' is not in the index)") +
                         tally(1, 0, 0, 2, 3),
                  .after = {{nth(0), linkto("../decoy/v")},
                            {nth(1), linkto("../decoy/v")},
                            {nth(2), linkto("../decoy/new")},
                            {"b.msg", msg("b")},
                            {"c.msg", msg("c")}}});

    // A FIFO gives its bytes once: the index is read once, and then
    // neither the checker nor -u waits for a writer that never comes back.
    rs.push_back({.name = "FifoIndex",
                  .meta = metaof({"a.msg", "b.msg"}),
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = "2",
                  .after = {{nth(0), msg("a")}, {nth(1), msg("b")}},
                  .fifo = true});
    rs.push_back({.name = "FifoIndexCutShort",
                  .meta = endedby(metaof({"a.msg"}), "b.msg\nt\n"),
                  .before = {{"a.msg", msg("a")}, {"b.msg", msg("b")}},
                  .out = stopped("from", 1),
                  .status = 2,
                  .err = stoppedat(12, "file ends inside a record"),
                  .after = {{nth(0), msg("a")}, {"b.msg", msg("b")}},
                  .fifo = true});
    // An update refuses it before it takes the lock, and never waits on it.
    rs.push_back({.name = "FifoIndexUpdate",
                  .meta = metaof({"a.msg"}),
                  .before = {{"a.msg", msg("a")}},
                  .status = 2,
                  .err = "msgseq: 'meta' is not a regular file; nothing done\n",
                  .after = {{"a.msg", msg("a")}},
                  .args = {"-u", "meta"},
                  .fifo = true,
                  .unread = true});
    rs.push_back({.name = "FifoIndexAbort",
                  .meta = metaof({"a.msg"}),
                  .before = {{"a.msg", msg("a")}},
                  .status = 2,
                  .err = "msgseq: 'meta' is not a regular file; nothing done\n",
                  .after = {{"a.msg", msg("a")}},
                  .args = {"--abort", "meta"},
                  .fifo = true,
                  .unread = true});
    // A source that never ends gets a bounded end.
    rs.push_back({.name = "EndlessDevice",
                  .before = {{"a.msg", msg("a")}},
                  .out = "0",
                  .status = 2,
                  .err = "msgseq: /dev/zero: not a regular file, and longer than 256 MiB: no "
                         "index; nothing done\n",
                  .after = {{"a.msg", msg("a")}},
                  .args = {"/dev/zero"}});
    rs.push_back({.name = "EmptyMetafile",
                  .meta = "",
                  .before = {{"a.msg", msg("a")}},
                  .out = "FILE ERROR: readmeta, error in reading my path from meta0",
                  .status = 2,
                  .err = stoppedat(1, "file is empty"),
                  .after = {{"a.msg", msg("a")}}});
    rs.push_back({.name = "EndWithoutANewline",
                  .meta = endedby(metaof({"a.msg"}), "END"),
                  .before = {{"a.msg", msg("a")}},
                  .out = "1",
                  .after = {{nth(0), msg("a")}}});
    return rs;
}

// Every name under root, as a directory entry sees it: type, mode, inode,
// size, times of change, and a file's bytes or a link's target. skip (a name
// directly under root) and all below it are left out.
tree snapshot(const std::string& root, const std::string& skip) {
    auto describe = [](const fs::path& path) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return std::string("(gone)");
        std::ostringstream d;
        d << std::oct << st.st_mode << std::dec << ' ' << st.st_ino << ' ' << st.st_nlink << ' '
          << st.st_size << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << ' '
          << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec;
        if (S_ISREG(st.st_mode)) d << ' ' << slurp(path);
        if (S_ISLNK(st.st_mode)) d << ' ' << fs::read_symlink(path).string();
        return d.str();
    };
    tree t{{".", describe(root)}};
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = it->path().lexically_relative(root).string();
        if (rel == skip) {
            it.disable_recursion_pending();
            continue;
        }
        t[rel] = describe(it->path());
    }
    return t;
}

// work/ as the rows describe it.
tree contents(const std::string& root) {
    tree t;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = it->path().lexically_relative(root).string();
        if (rel == "meta" || isreceipt(rel)) continue;
        if (it->is_symlink())
            t[rel] = linkto(fs::read_symlink(it->path()).string());
        else if (it->is_directory())
            t[rel + "/"] = dirmark;
        else
            t[rel] = slurp(it->path());
    }
    return t;
}

void make(const tree& t) {
    for (const auto& [name, what] : t) {
        if (what == dirmark)
            ASSERT_EQ(mkdir(name.c_str(), 0755), 0) << name;
        else if (what.starts_with("(link) "))
            ASSERT_EQ(symlink(what.substr(7).c_str(), name.c_str()), 0) << name;
        else
            spit(name, what);
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The absolute decoy lives outside the scratch area, so it is made and
// removed on its own.
struct absdecoy {
    std::string path = "/tmp/hXXXXXX";
    absdecoy() {
        const int fd = mkstemp(path.data());
        if (fd >= 0) {
            if (write(fd, "absolute decoy", 14) != 14) path.clear();
            close(fd);
        } else {
            path.clear();
        }
    }
    ~absdecoy() {
        if (!path.empty()) unlink(path.c_str());
    }
    absdecoy(const absdecoy&) = delete;
    absdecoy& operator=(const absdecoy&) = delete;
};

class Hostile : public ScratchDir, public ::testing::WithParamInterface<row> {};

}  // namespace

TEST_P(Hostile, TouchesNothingOutsideItsDirectory) {
    const row& r = GetParam();
    // The scratch area: work/ where the tool runs, a decoy directory beside
    // it, and a decoy file above it.
    ASSERT_EQ(mkdir("work", 0755), 0);
    ASSERT_EQ(mkdir("decoy", 0755), 0);
    spit("decoy/v", "decoy victim");
    spit("decoy/x.msg", "decoy x.msg");
    spit("x.msg", "parent x.msg");
    absdecoy abs;
    ASSERT_FALSE(abs.path.empty());
    ASSERT_EQ(abs.path.size(), 12u);

    ASSERT_EQ(chdir("work"), 0);
    const tree common = {{"sub/", dirmark}, {"sub/a.msg", msg("sub/a")}};
    tree before = r.before;
    before.insert(common.begin(), common.end());
    make(before);
    ASSERT_EQ(contents("."), before);
    const std::string meta = replaced(r.make ? r.make() : r.meta, absmark, abs.path);
    pid_t writer = -1;
    if (r.fifo) {
        ASSERT_EQ(mkfifo("meta", 0600), 0);
        writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            alarm(120);
            const int fd = open("meta", O_WRONLY);
            _exit(fd >= 0 &&
                          write(fd, meta.data(), meta.size()) ==
                              static_cast<ssize_t>(meta.size()) &&
                          close(fd) == 0
                      ? 0
                      : 1);
        }
    } else {
        spit("meta", meta);
    }
    const tree outside = snapshot(dir, "work");
    const std::string absbefore = slurp(abs.path);

    std::vector<std::string> argv = {MSGSEQ_PATH};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    // A hang fails the case rather than the whole run.
    const runresult res = run(argv, nullptr, {}, {.timeout = 300});
    if (writer > 0) {
        if (r.unread) {  // the writer still waits for a reader: be one
            const int fd = open("meta", O_RDONLY);
            char buf[4096];
            while (fd >= 0 && read(fd, buf, sizeof buf) > 0) {
            }
            if (fd >= 0) close(fd);
        }
        int ws = 0;
        EXPECT_EQ(waitpid(writer, &ws, 0), writer);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << "the writer was left waiting";
    }
    EXPECT_LT(res.status, 128) << "killed by signal " << res.status - 128 << "\n" << res.err;
    EXPECT_EQ(res.status, r.status);
    EXPECT_EQ(res.out, r.out);
    const std::string err = replaced(r.err, absmark, abs.path);
    if (r.errlines < 0) {
        EXPECT_EQ(res.err, err);
    } else {
        EXPECT_EQ(res.err.substr(0, err.size()), err);
        EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), r.errlines);
    }

    tree after = r.after;
    after.insert(common.begin(), common.end());
    EXPECT_EQ(contents("."), after);
    if (!r.fifo) {
        EXPECT_TRUE(slurp("meta") == meta) << "the metafile was changed";
    }
    EXPECT_EQ(snapshot(dir, "work"), outside);
    EXPECT_EQ(slurp(abs.path), absbefore);
}

INSTANTIATE_TEST_SUITE_P(Metafiles, Hostile, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<row>& info) { return info.param.name; });
