#include "testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
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

std::string times(size_t n, const std::string& s) {
    std::string out;
    while (n--) out += s;
    return out;
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
              const std::vector<std::string>& env, const runhow& how) {
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
    int gone[2] = {-1, -1};
    if (how.closedout && pipe(gone) == 0) close(gone[0]);
    const int tty = how.errtty ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    const char* ttyname = tty >= 0 && grantpt(tty) == 0 && unlockpt(tty) == 0 ? ptsname(tty) : "";
    pid_t pid = fork();
    if (pid == 0) {
        if (how.closedout) {
            signal(SIGPIPE, SIG_DFL);
            dup2(gone[1], 1);
        } else {
            dup2(outpath ? open(outpath, O_WRONLY) : outfd, 1);
        }
        if (how.timeout) alarm(how.timeout);  // kept across the exec
        dup2(how.errtty ? open(ttyname, O_RDWR | O_NOCTTY) : errfd, 2);
        termios raw;
        if (how.errtty && tcgetattr(2, &raw) == 0) {
            cfmakeraw(&raw);  // bytes as written: no "\r" put before "\n"
            tcsetattr(2, TCSANOW, &raw);
        }
        int nul = open(how.inpath ? how.inpath : "/dev/null", O_RDONLY);
        dup2(nul, 0);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (gone[1] >= 0) close(gone[1]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WUNTRACED) == pid && WIFSTOPPED(wstatus)) {
        const timespec pause{1, 100000000};
        nanosleep(&pause, nullptr);
        kill(pid, SIGCONT);
    }
    runresult r;
    lseek(outfd, 0, SEEK_SET);
    lseek(errfd, 0, SEEK_SET);
    r.out = drain(outfd);
    r.err = drain(errfd);
    if (tty >= 0) {
        // The child's few lines wait in the terminal; once it has gone, a
        // read past them fails (EIO) rather than blocking.
        r.err = drain(tty);
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.signaled = WIFSIGNALED(wstatus);
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
          "FSFAULT_SIGNAL", "FSFAULT_ABSOLUTE", "FSFAULT_SNAP", "FSFAULT_CASEFOLD",
          "FSFAULT_EUID", "FSFAULT_SWAP"}) {
        const std::string blank = std::string(name) + "=";
        if (std::none_of(faults.begin(), faults.end(),
                         [&](const std::string& f) { return f.starts_with(blank); }))
            env.push_back(blank);
    }
    return env;
}

runresult runfsfault(const std::vector<std::string>& args, const std::vector<std::string>& faults,
                     const runhow& how) {
    std::vector<std::string> argv = {MSGSEQ_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, nullptr, fsfaultenv(faults), how);
}

std::string asreal(std::string err) {
    const std::string dry = " would be renamed, ";
    const size_t last = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    const size_t at = err.find(dry, last == std::string::npos ? 0 : last);
    if (at != std::string::npos) err.replace(at, dry.size(), " renamed, ");
    return err;
}
