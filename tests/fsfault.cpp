// fsfault: preloaded into the built tool by the tests (LD_PRELOAD), it stands
// between the tool and the calls that change the disk. It can make such a
// call fail as a full, read-only or busy file system would, refuse no-replace
// renames as NFS does, kill the process right after a chosen call, and log
// every call, so that each failure path, and each point where a run can be
// cut short, is reached the same way on every run, without root.
//
// The calls, by the OP that names them below:
//   rename-from, rename-to  rename, renameat, renameat2 (old name, new name)
//   link-from, link-to      link, linkat
//   unlink                  unlink, unlinkat, remove
//   fsync                   fsync, fdatasync; syncfs as an fsync of each
//                           regular file open for writing
//   create                  open, openat, creat with O_CREAT; mkstemp, mkostemp
//                           (and their ...64 twins)
//   write                   write, pwrite(64) to a regular file, not fds 0-2
//   flock                   flock (NAME: the locked directory's); counted
//                           only when a rule fails it; a signal rule also
//                           matches one that finds the lock held
//   opendir                 opendir; counted only when a rule fails it
//   utimens                 utimensat (NAME: its path's last part); counted
//                           only when a rule fails it
//   mkdir, rmdir            mkdir, rmdir
// Each of them, once made or failed here, is one counted call.
//
// Settings come from the environment, read once when the library is loaded;
// all are optional, and with none set every call goes straight through:
//   FSFAULT_NOREPLACE=ERRNO      renameat2 with RENAME_NOREPLACE fails so,
//                                doing nothing ("einval": as on NFS)
//   FSFAULT_FAIL=RULE[,RULE...]  RULE is OP:NAME:ERRNO[:N]: a matching call
//                                (only the N-th matching one, from 1) fails
//                                so, doing nothing
//   FSFAULT_KILL=OP:NAME[:N]     SIGKILL as the first (N-th) matching call
//                                that succeeded returns
//   FSFAULT_KILL_AFTER=N         SIGKILL as the N-th counted call returns
//   FSFAULT_SIGNAL=SIG:OP:NAME[:N]  raises SIG (TERM, SIGINT, STOP, ...) in the
//                                process as the first (N-th) matching call
//                                that succeeded returns: its handler runs
//                                then, and the process goes on
//   FSFAULT_LOG=PATH             appends one line per counted call:
//                                "FUNCTION NAME [NEWNAME] RESULT", RESULT 0
//                                or the errno's name, e.g.
//                                "renameat2 a.msg in000.msg EINVAL" (an exchange of
//                                two names logs "renameat2x")
//   FSFAULT_CASEFOLD=1           the working directory ignores case, as vfat
//                                or a casefold ext4 does: a name that is no
//                                entry but for case is that entry to stat,
//                                lstat, fstatat and unlink, and a no-replace
//                                rename or a link onto it fails with EEXIST
//                                (open and the listing are left as they are)
//   FSFAULT_DEV=N                every stat call's device number is N more,
//                                as after a remount or a reboot
//   FSFAULT_OVERLAY=N            fstatfs says every file system an overlay,
//                                whose listing (readdir) gives each entry an
//                                inode number N more than stat gives its file
//   FSFAULT_EUID=N               geteuid returns N (a sticky directory's
//                                rule, checked as another user), and fstat
//                                shows a file this process owns as N's, so
//                                that what it made is its own to it
//   FSFAULT_ABSOLUTE=1           the log names each path in full instead:
//                                its directory as the kernel names it (the
//                                one an *at call starts from, for a relative
//                                path), then its last component; a synced
//                                directory ends in '/', so that a power cut
//                                can be modeled from the log
//   FSFAULT_SWAP=FROM:TO         as the tool first opens TO for reading (no
//                                O_CREAT; TO the last component of its path),
//                                the entry TO is first removed and FROM
//                                renamed in its place, uncounted: an entry
//                                swapped between a listing and its open
//   FSFAULT_SNAP=DIR             at each successful fsync of a regular file,
//                                a copy of its bytes as DIR/<call number>
//                                (the log's line number): what is on disk
// NAME is the last component of the path; for fsync and write, of the open
// file's path, or "." for the working directory; for mkstemp, the template.
// In a rule it matches exactly, or as a prefix when it ends in '*' ("*" alone
// matches every name). ERRNO is a name such as EIO or einval. A setting that
// cannot be read ends the process at load, with status 125 and a message.
//
// Everything lives in fixed static storage and nothing here allocates, so the
// sanitizers' allocator never sees the library. The tool is single-threaded,
// and so is this.
#undef _FORTIFY_SOURCE  // the headers' inline open would clash with the one here

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

enum class op : unsigned char {
    renamefrom,
    renameto,
    linkfrom,
    linkto,
    unlink,
    fsync,
    create,
    write,
    mkdir,
    rmdir,
    flock,
    opendir,
    utimens,
    none
};

struct opname {
    std::string_view name;
    op what;
};
constexpr opname opnames[] = {{"rename-from", op::renamefrom},
                              {"rename-to", op::renameto},
                              {"link-from", op::linkfrom},
                              {"link-to", op::linkto},
                              {"unlink", op::unlink},
                              {"fsync", op::fsync},
                              {"create", op::create},
                              {"write", op::write},
                              {"mkdir", op::mkdir},
                              {"rmdir", op::rmdir},
                              {"flock", op::flock},
                              {"opendir", op::opendir},
                              {"utimens", op::utimens}};

struct errname {
    std::string_view name;
    int err;
};
constexpr errname errnames[] = {{"EPERM", EPERM},   {"ENOENT", ENOENT},
                                {"EINTR", EINTR},   {"EIO", EIO},
                                {"EBADF", EBADF},   {"EACCES", EACCES},
                                {"EBUSY", EBUSY},   {"EEXIST", EEXIST},
                                {"EXDEV", EXDEV},   {"ENOTDIR", ENOTDIR},
                                {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
                                {"EMLINK", EMLINK}, {"ENOSPC", ENOSPC},
                                {"EROFS", EROFS},   {"ENAMETOOLONG", ENAMETOOLONG},
                                {"ENOSYS", ENOSYS}, {"ENOTEMPTY", ENOTEMPTY},
                                {"EDQUOT", EDQUOT}, {"ESTALE", ESTALE},
                                {"ENOLCK", ENOLCK}, {"EAGAIN", EAGAIN}};

constexpr size_t maxrules = 16;
constexpr size_t maxname = NAME_MAX + 1;

struct pattern {
    op what;
    char name[maxname];  // without the '*' of a prefix
    bool prefix;
    long nth;   // the one matching call that counts; 0 for every one
    long seen;  // matching calls so far
};

struct rule {
    pattern match;
    int err;
};

struct settings {
    bool ready;
    bool active;  // anything set at all
    rule fails[maxrules];
    size_t nfails;
    int noreplace;  // errno for no-replace renames; 0 lets them through
    pattern kill;
    bool killset;
    pattern signal;
    int signo;       // 0 for none
    long killafter;  // 0 for never
    long calls;      // counted calls so far
    char log[PATH_MAX];
    bool absolute;  // full paths in the log
    char snap[PATH_MAX];
    bool casefold;
    long euid;     // -1: the real one
    long dev;      // added to every device number stat gives: a remount
    long overlay;  // added to every inode number a listing gives; 0: no overlay
    char swapfrom[maxname], swapto[maxname];  // FSFAULT_SWAP; swapto[0] 0: none, or done
};

settings cfg;

// Straight to the kernel, so that nothing written here is itself one of the
// calls being counted, and nothing passes through another library first.
void say(std::string_view text) { (void)syscall(SYS_write, 2, text.data(), text.size()); }

[[noreturn]] void unusable(const char* var, std::string_view value) {
    say("fsfault: cannot use ");
    say(var);
    say("='");
    say(value);
    say("'\n");
    _exit(125);
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameword(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

int errnum(std::string_view name) {
    for (const auto& e : errnames)
        if (sameword(e.name, name)) return e.err;
    return 0;
}

struct signame {
    std::string_view name;
    int sig;
};
constexpr signame signames[] = {{"HUP", SIGHUP},   {"INT", SIGINT},   {"TERM", SIGTERM},
                                {"STOP", SIGSTOP}, {"USR1", SIGUSR1}, {"PIPE", SIGPIPE}};

int signum(std::string_view name) {
    if (name.size() > 3 && sameword(name.substr(0, 3), "SIG")) name.remove_prefix(3);
    for (const auto& s : signames)
        if (sameword(s.name, name)) return s.sig;
    return 0;
}

// Up to the next sep, which is consumed.
std::string_view field(std::string_view& rest, char sep) {
    const size_t at = rest.find(sep);
    const std::string_view head = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    return head;
}

long count(std::string_view text) {
    long n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    return ec == std::errc() && end == text.data() + text.size() && n > 0 ? n : 0;
}

// A pattern from its fields; false when they make none.
bool readpattern(std::string_view opword, std::string_view name, std::string_view nth, pattern& p) {
    p.what = op::none;
    for (const auto& o : opnames)
        if (o.name == opword) p.what = o.what;
    if (p.what == op::none || name.empty() || name.size() >= maxname) return false;
    p.prefix = name.back() == '*';
    const std::string_view fixed = p.prefix ? name.substr(0, name.size() - 1) : name;
    fixed.copy(p.name, sizeof p.name - 1);
    p.name[fixed.size()] = '\0';
    p.seen = 0;
    p.nth = nth.empty() ? 0 : count(nth);
    return nth.empty() || p.nth > 0;
}

void readfails(const char* var) {
    const char* value = getenv(var);
    if (!value || !*value) return;
    cfg.active = true;
    std::string_view rest(value);
    while (!rest.empty()) {
        std::string_view text = field(rest, ',');
        const std::string_view whole = text;
        const std::string_view opword = field(text, ':');
        const std::string_view name = field(text, ':');
        const std::string_view err = field(text, ':');
        if (cfg.nfails == maxrules) unusable(var, whole);
        rule& r = cfg.fails[cfg.nfails++];
        r.err = errnum(err);
        if (r.err == 0 || !readpattern(opword, name, text, r.match)) unusable(var, whole);
    }
}

// Made absolute now, so that the path stays put should the tool move.
void readpath(const char* var, char (&path)[PATH_MAX]) {
    const char* v = getenv(var);
    if (!v || !*v) return;
    cfg.active = true;
    char cwd[PATH_MAX];
    const int n = v[0] == '/' || !getcwd(cwd, sizeof cwd)
                      ? snprintf(path, sizeof path, "%s", v)
                      : snprintf(path, sizeof path, "%s/%s", cwd, v);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) unusable(var, v);
}

void setup() {
    if (cfg.ready) return;
    cfg.ready = true;
    readfails("FSFAULT_FAIL");
    if (const char* v = getenv("FSFAULT_NOREPLACE"); v && *v) {
        cfg.active = true;
        if ((cfg.noreplace = errnum(v)) == 0) unusable("FSFAULT_NOREPLACE", v);
    }
    if (const char* v = getenv("FSFAULT_KILL"); v && *v) {
        cfg.active = cfg.killset = true;
        std::string_view text(v);
        const std::string_view opword = field(text, ':');
        const std::string_view name = field(text, ':');
        if (!readpattern(opword, name, text, cfg.kill)) unusable("FSFAULT_KILL", v);
        if (cfg.kill.nth == 0) cfg.kill.nth = 1;
    }
    if (const char* v = getenv("FSFAULT_SIGNAL"); v && *v) {
        cfg.active = true;
        std::string_view text(v);
        cfg.signo = signum(field(text, ':'));
        const std::string_view opword = field(text, ':');
        const std::string_view name = field(text, ':');
        if (!cfg.signo || !readpattern(opword, name, text, cfg.signal))
            unusable("FSFAULT_SIGNAL", v);
        if (cfg.signal.nth == 0) cfg.signal.nth = 1;
    }
    if (const char* v = getenv("FSFAULT_KILL_AFTER"); v && *v) {
        cfg.active = true;
        if ((cfg.killafter = count(v)) == 0) unusable("FSFAULT_KILL_AFTER", v);
    }
    cfg.euid = -1;
    if (const char* v = getenv("FSFAULT_CASEFOLD"); v && *v) cfg.active = cfg.casefold = true;
    if (const char* v = getenv("FSFAULT_EUID"); v && *v) {
        cfg.active = true;
        const std::string_view text(v);
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), cfg.euid);
        if (ec != std::errc() || end != text.data() + text.size() || cfg.euid < 0)
            unusable("FSFAULT_EUID", v);
    }
    if (const char* v = getenv("FSFAULT_DEV"); v && *v) cfg.dev = count(v);
    if (const char* v = getenv("FSFAULT_OVERLAY"); v && *v) cfg.overlay = count(v);
    if (const char* v = getenv("FSFAULT_SWAP"); v && *v) {
        cfg.active = true;
        std::string_view text(v);
        const std::string_view from = field(text, ':');
        if (from.empty() || text.empty() || from.size() >= maxname || text.size() >= maxname)
            unusable("FSFAULT_SWAP", v);
        from.copy(cfg.swapfrom, from.size());
        text.copy(cfg.swapto, text.size());
    }
    readpath("FSFAULT_LOG", cfg.log);
    readpath("FSFAULT_SNAP", cfg.snap);
    if (const char* v = getenv("FSFAULT_ABSOLUTE"); v && *v) cfg.absolute = true;
}

__attribute__((constructor)) void load() { setup(); }

std::string_view lastpart(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

// The name an open file goes by: "." for the working directory, else the last
// component of its path. Written into buf.
std::string_view fdname(int fd, char (&buf)[PATH_MAX]) {
    struct stat file;
    struct stat here;
    if (fstat(fd, &file) == 0 && stat(".", &here) == 0 && file.st_dev == here.st_dev &&
        file.st_ino == here.st_ino)
        return ".";
    char proc[64];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(proc, buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "?";
    return lastpart(std::string_view(buf, static_cast<size_t>(n)));
}

bool matches(const pattern& p, op what, std::string_view name) {
    if (p.what != what) return false;
    const std::string_view want(p.name);
    return p.prefix ? name.starts_with(want) : name == want;
}

// Where a name of a call lies, for the full paths of the log: a path taken
// from a directory, or an open file.
struct place {
    int dir = AT_FDCWD;
    const char* path = nullptr;
    int fd = -1;
};

// One call as the rules see it: what it does to one name, and maybe to a
// second (the new name of a rename or link).
struct call {
    const char* fn;
    op first;
    std::string_view a;
    op second = op::none;
    std::string_view b = {};
    place at = {};
    place at2 = {};
};

// A rename or a link: from one name to another.
call twonames(const char* fn, bool link, int fromdir, const char* from, int todir, const char* to) {
    return {fn,
            link ? op::linkfrom : op::renamefrom,
            lastpart(from),
            link ? op::linkto : op::renameto,
            lastpart(to),
            {fromdir, from},
            {todir, to}};
}

// The errno that the rules make this call fail with, or 0. Every rule that
// matches counts the call, whichever of them fires.
int injected(const call& c) {
    int err = 0;
    for (size_t i = 0; i < cfg.nfails; i++) {
        rule& r = cfg.fails[i];
        if (!matches(r.match, c.first, c.a) && !matches(r.match, c.second, c.b)) continue;
        r.match.seen++;
        if (!err && (r.match.nth == 0 || r.match.seen == r.match.nth)) err = r.err;
    }
    return err;
}

// Names go into the log one line each whatever bytes they hold.
struct line {
    char text[2 * PATH_MAX + 64];
    size_t len = 0;
    void add(std::string_view s) {
        for (const char ch : s) {
            if (len + 2 >= sizeof text) return;
            text[len++] = static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f ? '?' : ch;
        }
    }
};

// "0", or the errno's name where it has one here.
std::string_view errword(int err, char (&buf)[16]) {
    if (err == 0) return "0";
    for (const auto& e : errnames)
        if (e.err == err) return e.name;
    const int n = snprintf(buf, sizeof buf, "E%d", err);
    return std::string_view(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// The full path of a name of a call, as it stands once the call is made:
// the kernel's name for its directory (or for the open file itself), then
// the last component as given. Written into buf.
std::string_view fullpath(const place& p, char (&buf)[PATH_MAX]) {
    long dir = p.fd >= 0 ? p.fd : p.dir;
    std::string_view last;
    if (p.fd < 0) {
        const std::string_view whole(p.path);
        last = lastpart(whole);
        const size_t cut = static_cast<size_t>(last.data() - whole.data());
        if (cut >= sizeof buf) return "?";
        if (cut > 0) {
            whole.copy(buf, cut);
            buf[cut] = '\0';
            dir = syscall(SYS_openat, p.dir, buf, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0) return whole;  // no such directory: as given
        }
    }
    char proc[64];
    if (dir == AT_FDCWD)
        (void)snprintf(proc, sizeof proc, "/proc/self/cwd");
    else
        (void)snprintf(proc, sizeof proc, "/proc/self/fd/%ld", dir);
    const ssize_t n = readlink(proc, buf, sizeof buf);
    if (dir != p.fd && dir != p.dir) (void)syscall(SYS_close, dir);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf - 1) return "?";
    size_t len = static_cast<size_t>(n);
    struct stat st;
    const bool isdir = p.fd < 0 || (fstat(p.fd, &st) == 0 && S_ISDIR(st.st_mode));
    if (isdir && buf[len - 1] != '/') buf[len++] = '/';
    const size_t room = last.size() < sizeof buf - len ? last.size() : sizeof buf - len;
    last.copy(buf + len, room);
    return std::string_view(buf, len + room);
}

void logcall(const call& c, int err) {
    line l;
    char full[PATH_MAX];
    l.add(c.fn);
    l.add(" ");
    l.add(cfg.absolute ? fullpath(c.at, full) : c.a);
    if (c.second != op::none) {
        l.add(" ");
        l.add(cfg.absolute ? fullpath(c.at2, full) : c.b);
    }
    l.add(" ");
    char number[16];
    l.add(errword(err, number));
    l.text[l.len++] = '\n';
    const long fd =
        syscall(SYS_openat, AT_FDCWD, cfg.log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)syscall(SYS_write, fd, l.text, l.len);
    (void)syscall(SYS_close, fd);
}

// After the call, whether it was made or failed here: counted, logged, and
// maybe the end of the process.
void finish(const call& c, int err) {
    cfg.calls++;
    if (cfg.log[0]) logcall(c, err);
    bool die = cfg.killafter && cfg.calls == cfg.killafter;
    if (cfg.killset && !err &&
        (matches(cfg.kill, c.first, c.a) || matches(cfg.kill, c.second, c.b)))
        die |= ++cfg.kill.seen == cfg.kill.nth;
    if (die) raise(SIGKILL);
    if (cfg.signo && !err &&
        (matches(cfg.signal, c.first, c.a) || matches(cfg.signal, c.second, c.b)) &&
        ++cfg.signal.seen == cfg.signal.nth)
        raise(cfg.signo);
}

// Runs real() for call c unless a rule fails it first; errno as the caller
// would have seen it.
template <typename F>
auto perform(const call& c, int err, F real) -> decltype(real()) {
    if (err) {
        finish(c, err);
        errno = err;
        return -1;
    }
    const auto rc = real();
    const int saved = errno;
    finish(c, rc < 0 ? saved : 0);
    errno = saved;
    return rc;
}

template <typename F>
auto perform(const call& c, F real) -> decltype(real()) {
    return perform(c, injected(c), real);
}

// Under FSFAULT_CASEFOLD, the entry of the working directory that path, a
// name in it that is no entry itself, names but for case: into buf.
bool folded(const char* path, char (&buf)[maxname]) {
    if (!cfg.casefold || !path || std::string_view(path).find('/') != std::string_view::npos)
        return false;
    struct stat st;
    if (syscall(SYS_newfstatat, AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
    const long fd = syscall(SYS_openat, AT_FDCWD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(8) static char dents[1 << 15];
    bool found = false;
    long n;
    while (!found && (n = syscall(SYS_getdents64, fd, dents, sizeof dents)) > 0) {
        for (long at = 0; at < n && !found;) {
            const char* name = dents + at + 19;  // d_ino, d_off, d_reclen, d_type
            unsigned short len;
            memcpy(&len, dents + at + 16, sizeof len);
            if (sameword(name, path) && strlen(name) < sizeof buf) {
                memcpy(buf, name, strlen(name) + 1);
                found = true;
            }
            at += len;
        }
    }
    (void)syscall(SYS_close, fd);
    return found;
}

// A regular file just synced (rc 0) leaves a copy of its bytes, named by the
// number this call gets, for the tests that model a power cut from the log.
int snapped(int fd, int rc) {
    struct stat st;
    if (rc != 0 || !cfg.snap[0] || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return rc;
    const int saved = errno;
    char path[PATH_MAX + 24];
    (void)snprintf(path, sizeof path, "%s/%ld", cfg.snap, cfg.calls + 1);
    char proc[64];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const long in = syscall(SYS_openat, AT_FDCWD, proc, O_RDONLY | O_CLOEXEC);
    const long out =
        syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    static char bytes[1 << 16];
    long n;
    while (in >= 0 && out >= 0 && (n = syscall(SYS_read, in, bytes, sizeof bytes)) > 0)
        (void)syscall(SYS_write, out, bytes, n);
    if (in >= 0) (void)syscall(SYS_close, in);
    if (out >= 0) (void)syscall(SYS_close, out);
    errno = saved;
    return rc;
}

// The definition the tool would have reached without this library.
template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(fn)                                         \
    static const auto real = next<decltype(&::fn)>(#fn); \
    if (!real) {                                         \
        errno = ENOSYS;                                  \
        return -1;                                       \
    }                                                    \
    setup()

}  // namespace

extern "C" {

int rename(const char* from, const char* to) noexcept {
    REAL(rename);
    if (!cfg.active) return real(from, to);
    return perform(twonames("rename", false, AT_FDCWD, from, AT_FDCWD, to),
                   [&] { return real(from, to); });
}

int renameat(int fromdir, const char* from, int todir, const char* to) noexcept {
    REAL(renameat);
    if (!cfg.active) return real(fromdir, from, todir, to);
    return perform(twonames("renameat", false, fromdir, from, todir, to),
                   [&] { return real(fromdir, from, todir, to); });
}

int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned flags) noexcept {
    REAL(renameat2);
    if (!cfg.active) return real(fromdir, from, todir, to, flags);
    // An exchange is logged apart: a replay must swap the two names, not
    // move one onto the other.
    const call c = twonames(flags & RENAME_EXCHANGE ? "renameat2x" : "renameat2", false, fromdir,
                            from, todir, to);
    int err = injected(c);
    if (!err && (flags & RENAME_NOREPLACE)) err = cfg.noreplace;
    char other[maxname];
    if (!err && (flags & RENAME_NOREPLACE) && todir == AT_FDCWD && folded(to, other)) err = EEXIST;
    return perform(c, err, [&] { return real(fromdir, from, todir, to, flags); });
}

int link(const char* from, const char* to) noexcept {
    REAL(link);
    if (!cfg.active) return real(from, to);
    const call c = twonames("link", true, AT_FDCWD, from, AT_FDCWD, to);
    char other[maxname];
    const int err = injected(c);
    return perform(c, err || !folded(to, other) ? err : EEXIST, [&] { return real(from, to); });
}

int linkat(int fromdir, const char* from, int todir, const char* to, int flags) noexcept {
    REAL(linkat);
    if (!cfg.active) return real(fromdir, from, todir, to, flags);
    return perform(twonames("linkat", true, fromdir, from, todir, to),
                   [&] { return real(fromdir, from, todir, to, flags); });
}

int unlink(const char* path) noexcept {
    REAL(unlink);
    if (!cfg.active) return real(path);
    char other[maxname];
    const char* name = folded(path, other) ? other : path;
    return perform({"unlink", op::unlink, lastpart(path), op::none, {}, {AT_FDCWD, path}},
                   [&] { return real(name); });
}

int flock(int fd, int how) {
    REAL(flock);
    if (!cfg.active) return real(fd, how);
    // Counted and logged only when a rule fails it: taking the lock
    // changes nothing on disk.
    char buf[PATH_MAX];
    const call c{"flock", op::flock, fdname(fd, buf)};
    const int err = injected(c);
    if (err) return perform(c, err, [&] { return real(fd, how); });
    const int rc = real(fd, how);
    // A lock that another process holds, for a signal rule: the signal
    // lands while the tool waits its turn.
    if (rc != 0 && errno == EWOULDBLOCK && cfg.signo && matches(cfg.signal, c.first, c.a) &&
        ++cfg.signal.seen == cfg.signal.nth) {
        (void)raise(cfg.signo);
        errno = EWOULDBLOCK;
    }
    return rc;
}

DIR* opendir(const char* path) {
    static const auto real = next<decltype(&::opendir)>("opendir");
    setup();
    const call c{"opendir", op::opendir, lastpart(path)};
    const int err = cfg.active ? injected(c) : 0;
    if (!err) return real ? real(path) : nullptr;
    finish(c, err);
    errno = err;
    return nullptr;
}

int utimensat(int dir, const char* path, const struct timespec times[2], int flags) noexcept {
    static const auto real = next<decltype(&::utimensat)>("utimensat");
    setup();
    const call c{"utimensat", op::utimens, lastpart(path)};
    const int err = cfg.active ? injected(c) : 0;
    if (!err) return real ? real(dir, path, times, flags) : -1;
    finish(c, err);
    errno = err;
    return -1;
}

// Looking a name up changes nothing: these pass uncounted, but for case,
// and their device numbers moved.
static int moved(int rc, struct stat* st) {
    if (rc == 0) st->st_dev += static_cast<dev_t>(cfg.dev);
    return rc;
}

int fstatat(int dir, const char* path, struct stat* st, int flags) {
    REAL(fstatat);
    char other[maxname];
    return moved(real(dir, dir == AT_FDCWD && folded(path, other) ? other : path, st, flags), st);
}

int stat(const char* path, struct stat* st) {
    REAL(stat);
    char other[maxname];
    return moved(real(folded(path, other) ? other : path, st), st);
}

int lstat(const char* path, struct stat* st) {
    REAL(lstat);
    char other[maxname];
    return moved(real(folded(path, other) ? other : path, st), st);
}

int fstat(int fd, struct stat* st) {
    REAL(fstat);
    static const auto realeuid = next<decltype(&::geteuid)>("geteuid");
    const int rc = moved(real(fd, st), st);
    if (rc == 0 && cfg.euid >= 0 && realeuid && st->st_uid == realeuid())
        st->st_uid = static_cast<uid_t>(cfg.euid);
    return rc;
}

// An overlay's, under FSFAULT_OVERLAY: uncounted.
int fstatfs(int fd, struct statfs* fs) noexcept {
    REAL(fstatfs);
    const int rc = real(fd, fs);
    if (rc == 0 && cfg.overlay) fs->f_type = 0x794c7630;
    return rc;
}

struct dirent* readdir(DIR* d) {
    static const auto real = next<decltype(&::readdir)>("readdir");
    setup();
    struct dirent* ent = real ? real(d) : nullptr;
    if (ent && cfg.overlay) ent->d_ino += static_cast<ino_t>(cfg.overlay);
    return ent;
}

uid_t geteuid() noexcept {
    static const auto real = next<decltype(&::geteuid)>("geteuid");
    setup();
    return cfg.euid >= 0 ? static_cast<uid_t>(cfg.euid) : real();
}

int unlinkat(int dir, const char* path, int flags) noexcept {
    REAL(unlinkat);
    if (!cfg.active) return real(dir, path, flags);
    return perform({"unlinkat", op::unlink, lastpart(path), op::none, {}, {dir, path}},
                   [&] { return real(dir, path, flags); });
}

// The C library's remove unlinks by an inner route that never comes here.
int remove(const char* path) noexcept {
    REAL(remove);
    if (!cfg.active) return real(path);
    return perform({"remove", op::unlink, lastpart(path), op::none, {}, {AT_FDCWD, path}},
                   [&] { return real(path); });
}

int fsync(int fd) {
    REAL(fsync);
    if (!cfg.active) return real(fd);
    char buf[PATH_MAX];
    return perform({"fsync", op::fsync, fdname(fd, buf), op::none, {}, {.fd = fd}},
                   [&] { return snapped(fd, real(fd)); });
}

int fdatasync(int fd) {
    REAL(fdatasync);
    if (!cfg.active) return real(fd);
    char buf[PATH_MAX];
    return perform({"fdatasync", op::fsync, fdname(fd, buf), op::none, {}, {.fd = fd}},
                   [&] { return snapped(fd, real(fd)); });
}

// One sync of the whole file system: logged and snapped as an fsync of
// each regular file the process holds open for writing, those being what
// it syncs of the process's own work. A rule that fails one fails it.
int syncfs(int fd) noexcept {
    REAL(syncfs);
    if (!cfg.active) return real(fd);
    if (real(fd) != 0) return -1;
    int rc = 0, err = 0;
    for (int k = 3; k < 4096; k++) {
        struct stat st;
        const int fl = fcntl(k, F_GETFL);
        if (fl < 0 || (fl & O_ACCMODE) == O_RDONLY || fstat(k, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        char buf[PATH_MAX];
        if (perform({"fsync", op::fsync, fdname(k, buf), op::none, {}, {.fd = k}},
                    [&] { return snapped(k, 0); }) != 0) {
            rc = -1;
            err = errno;
        }
    }
    errno = rc ? err : errno;
    return rc;
}

int mkdir(const char* path, mode_t mode) noexcept {
    REAL(mkdir);
    if (!cfg.active) return real(path, mode);
    return perform({"mkdir", op::mkdir, lastpart(path), op::none, {}, {AT_FDCWD, path}},
                   [&] { return real(path, mode); });
}

int rmdir(const char* path) noexcept {
    REAL(rmdir);
    if (!cfg.active) return real(path);
    return perform({"rmdir", op::rmdir, lastpart(path), op::none, {}, {AT_FDCWD, path}},
                   [&] { return real(path); });
}

}  // extern "C"

namespace {

// The mode argument is there only when the flags call for one.
mode_t modeof(int flags, va_list ap) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// Only opens that may create a file are counted: reading the index, or
// opening a directory to lock or sync it, changes nothing.
template <typename F>
int opening(const char* fn, int dir, const char* path, int flags, F real) {
    if (cfg.swapto[0] && !(flags & O_CREAT) && path && lastpart(path) == cfg.swapto) {
        cfg.swapto[0] = '\0';
        (void)syscall(SYS_unlinkat, dir, path, 0);
        (void)syscall(SYS_unlinkat, dir, path, AT_REMOVEDIR);
        (void)syscall(SYS_renameat, AT_FDCWD, cfg.swapfrom, dir, path);
    }
    if (!cfg.active || !(flags & O_CREAT)) return real();
    return perform({fn, op::create, lastpart(path), op::none, {}, {dir, path}}, real);
}

// A temporary file is known by its template: the name it gets is different
// every run.
template <typename F>
int tempfile(const char* fn, const char* tmpl, F real) {
    if (!cfg.active) return real();
    char name[maxname];
    const std::string_view part = lastpart(tmpl).substr(0, sizeof name - 1);
    part.copy(name, part.size());
    // Its full path is taken once the call has filled in the name.
    return perform(
        {fn, op::create, std::string_view(name, part.size()), op::none, {}, {AT_FDCWD, tmpl}},
        real);
}

// What the tool says on its standard streams is no change to the mailbox, and
// neither is a write to a pipe or a terminal: those pass uncounted.
template <typename F>
ssize_t writing(const char* fn, int fd, F real) {
    struct stat st;
    if (!cfg.active || fd <= 2 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return real();
    char buf[PATH_MAX];
    return perform({fn, op::write, fdname(fd, buf), op::none, {}, {.fd = fd}}, real);
}

}  // namespace

extern "C" {

// The ...64 names are what a program built with 64-bit file offsets calls.
int open(const char* path, int flags, ...) {
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeof(flags, ap);
    va_end(ap);
    return opening("open", AT_FDCWD, path, flags, [&] { return real(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    REAL(open64);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeof(flags, ap);
    va_end(ap);
    return opening("open64", AT_FDCWD, path, flags, [&] { return real(path, flags, mode); });
}

int openat(int dir, const char* path, int flags, ...) {
    REAL(openat);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeof(flags, ap);
    va_end(ap);
    return opening("openat", dir, path, flags, [&] { return real(dir, path, flags, mode); });
}

int openat64(int dir, const char* path, int flags, ...) {
    REAL(openat64);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeof(flags, ap);
    va_end(ap);
    return opening("openat64", dir, path, flags, [&] { return real(dir, path, flags, mode); });
}

int creat(const char* path, mode_t mode) {
    REAL(creat);
    return opening("creat", AT_FDCWD, path, O_CREAT, [&] { return real(path, mode); });
}

int creat64(const char* path, mode_t mode) {
    REAL(creat64);
    return opening("creat64", AT_FDCWD, path, O_CREAT, [&] { return real(path, mode); });
}

int mkstemp(char* tmpl) {
    REAL(mkstemp);
    return tempfile("mkstemp", tmpl, [&] { return real(tmpl); });
}

int mkstemp64(char* tmpl) {
    REAL(mkstemp64);
    return tempfile("mkstemp64", tmpl, [&] { return real(tmpl); });
}

int mkostemp(char* tmpl, int flags) {
    REAL(mkostemp);
    return tempfile("mkostemp", tmpl, [&] { return real(tmpl, flags); });
}

int mkostemp64(char* tmpl, int flags) {
    REAL(mkostemp64);
    return tempfile("mkostemp64", tmpl, [&] { return real(tmpl, flags); });
}

ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    return writing("write", fd, [&] { return real(fd, data, size); });
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
    REAL(pwrite);
    return writing("pwrite", fd, [&] { return real(fd, data, size, at); });
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t at) {
    REAL(pwrite64);
    return writing("pwrite64", fd, [&] { return real(fd, data, size, at); });
}

}  // extern "C"
