// What a tool may believe of what it reads back (mailbox/trust.h).
#include "mailbox/trust.h"

#include <fcntl.h>
#include <grp.h>
#include <climits>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>

bool trustplain(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    // Asked of every name a journal or a receipt holds: one pass over it.
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || c == '\n' || c == '\0'; });
}

namespace {

// fd kept when fstat says it is what the caller wants; else closed, -1,
// errno set.
int keepif(int fd, struct stat* st, mode_t type, bool own) {
    if (fd < 0) return -1;
    struct stat mine;
    if (!st) st = &mine;
    int err = 0;
    if (fstat(fd, st) != 0)
        err = errno;
    else if ((st->st_mode & S_IFMT) != type)
        err = type == S_IFDIR ? ENOTDIR : EINVAL;
    else if (own && st->st_uid != geteuid())
        err = EPERM;
    if (err == 0) return fd;
    close(fd);
    errno = err;
    return -1;
}

// A read-only open that neither follows a link nor blocks on a FIFO, then
// blocking again for the reads that follow.
int openquiet(int atfd, const char* path) {
    const int fd = openat(atfd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

int trustopendir(int atfd, const char* path) {
    const int fd = openat(atfd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECTORY);
    // A link is refused as "not a directory" by O_DIRECTORY; said as a link.
    struct stat st;
    if (fd < 0 && errno == ENOTDIR && fstatat(atfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0)
        errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    return keepif(fd, nullptr, S_IFDIR, true);
}

int trustopenown(int atfd, const char* path, struct stat* st) {
    return keepif(openquiet(atfd, path), st, S_IFREG, true);
}

int trustpeekmsg(int atfd, const char* path, struct stat* st) {
    return keepif(openat(atfd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY),
                  st, S_IFREG, false);
}

int trustopenmsg(int atfd, const char* path, struct stat* st) {
    return keepif(openquiet(atfd, path), st, S_IFREG, false);
}

bool trustmeta(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) return true;
    errno = EINVAL;
    return false;
}

bool trustbecome(const char* meta, std::string* why) {
    if (geteuid() != 0) return true;
    struct stat here;
    if (stat(".", &here) != 0) {
        *why = std::string("cannot look at the working directory: ") + strerror(errno);
        return false;
    }
    // The directory the index is in, whether the index is there or not.
    char buf[PATH_MAX];
    std::string dir = realpath(meta, buf) ? buf : meta;
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    struct stat there;
    if (stat(dir.c_str(), &there) == 0 && there.st_uid != 0 && there.st_uid != here.st_uid) {
        *why = here.st_uid == 0
                   ? "the index's directory belongs to another user; run this in that directory"
                   : "the working directory and the index's directory belong to two other users";
        return false;
    }
    if (here.st_uid == 0) return true;
    const uid_t uid = here.st_uid;
    const passwd* pw = getpwuid(uid);
    // An owner with no passwd entry has no group of its own: the
    // directory's stands in, but never root's, which would keep what root's
    // group may read open to whatever the user planted.
    if (!pw && here.st_gid == 0) {
        *why = "the mailbox's owner (uid " + std::to_string(uid) +
               ") has no passwd entry and its directory is root's group";
        return false;
    }
    const gid_t gid = pw ? pw->pw_gid : here.st_gid;
    const bool grouped = pw ? initgroups(pw->pw_name, gid) == 0 : setgroups(1, &gid) == 0;
    if (!grouped || setgid(gid) != 0 || setuid(uid) != 0) {
        *why = std::string("cannot become the mailbox's owner: ") + strerror(errno);
        return false;
    }
    // setuid may leave a saved id behind on some systems; root must be gone.
    if (getuid() != uid || geteuid() != uid || getegid() != gid || setuid(0) == 0) {
        *why = "cannot become the mailbox's owner for good";
        return false;
    }
    return true;
}

const char* trustwhy(int err) {
    switch (err) {
    case ELOOP: return "it is a symbolic link";
    case ENOTDIR: return "it is not a directory";
    case EINVAL: return "it is not a regular file";
    case EPERM: return "it belongs to another user";
    default: return strerror(err);
    }
}
