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
#include <string_view>

void ScratchDir::SetUp() {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldcwd = buf;
    const bool there = base && std::filesystem::is_directory(base);
    std::string tmpl =
        ((there ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
         "mailbox-test-XXXXXX")
            .string();
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

std::string metafile(const std::vector<std::vector<std::string>>& records, const std::string& path,
                     const std::string& addr) {
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

runresult run(const std::vector<std::string>& argv, const char* outpath,
              const std::vector<std::string>& env) {
    // Made before the fork, so that the child only has to exec.
    std::vector<std::string> vars;
    for (char** e = environ; *e; e++) {
        const std::string_view var(*e);
        const std::string_view name = var.substr(0, var.find('='));
        if (std::none_of(env.begin(), env.end(), [&](const std::string& set) {
                return set.size() > name.size() && set.compare(0, name.size(), name) == 0 &&
                       set[name.size()] == '=';
            }))
            vars.emplace_back(var);
    }
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

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
        execve(args[0], args.data(), envp.data());
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

std::vector<std::string> fsfaultenv(const std::vector<std::string>& faults) {
    const char* preload = getenv("LD_PRELOAD");
    const char* asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {
        std::string("LD_PRELOAD=") + FSFAULT_PATH +
            (preload && *preload ? std::string(" ") + preload : ""),
        // A sanitized tool insists that its runtime is loaded first; here the
        // fault library is, so that its calls are the ones the tool reaches.
        std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
            "verify_asan_link_order=0"};
    env.insert(env.end(), faults.begin(), faults.end());
    // Blank, rather than inherited from whoever runs the tests, the settings
    // not given here.
    for (const char* name :
         {"FSFAULT_NOREPLACE", "FSFAULT_FAIL", "FSFAULT_KILL", "FSFAULT_KILL_AFTER", "FSFAULT_LOG",
          "FSFAULT_ABSOLUTE", "FSFAULT_SNAP"}) {
        const std::string blank = std::string(name) + "=";
        if (std::none_of(faults.begin(), faults.end(),
                         [&](const std::string& f) { return f.starts_with(blank); }))
            env.push_back(blank);
    }
    return env;
}

runresult runfsfault(const std::vector<std::string>& args, const std::vector<std::string>& faults) {
    std::vector<std::string> argv = {MSGSEQ_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, nullptr, fsfaultenv(faults));
}
