#include "testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

void ScratchDir::SetUp() {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldcwd = buf;
    std::string tmpl = (std::filesystem::temp_directory_path() / "mailbox-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(dir.c_str()), 0);
}

void ScratchDir::TearDown() {
    EXPECT_EQ(chdir(oldcwd.c_str()), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    EXPECT_FALSE(ec) << ec.message();
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> listing(const std::string& path) {
    std::set<std::string> names;
    for (const auto& ent : std::filesystem::directory_iterator(path))
        names.insert(ent.path().filename().string());
    return names;
}

std::string metafile(const std::vector<std::vector<std::string>>& records,
                     const std::string& path, const std::string& addr) {
    std::string text = path + "\n" + addr + "\n";
    for (const auto& rec : records)
        for (const auto& line : rec) text += line + "\n";
    return text + "END\n";
}

namespace {

std::string drain(int fd) {
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

}  // namespace

runresult run(const std::vector<std::string>& argv, const char* outpath) {
    // Output goes to files rather than pipes so that a large stderr can't
    // stall the child.
    char outname[] = "/tmp/mailbox-out-XXXXXX";
    char errname[] = "/tmp/mailbox-err-XXXXXX";
    int outfd = mkstemp(outname);
    int errfd = mkstemp(errname);
    unlink(outname);
    unlink(errname);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outpath ? open(outpath, O_WRONLY) : outfd, 1);
        dup2(errfd, 2);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    runresult r;
    lseek(outfd, 0, SEEK_SET);
    lseek(errfd, 0, SEEK_SET);
    r.out = drain(outfd);
    r.err = drain(errfd);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}
