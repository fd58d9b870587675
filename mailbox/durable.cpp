// Writing that survives a crash, and the directory locks (mailbox/durable.h).
#include "mailbox/durable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "mailbox/meta.h"

std::string durparent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string durbeside(const std::string& path, const char* ext) {
    const std::string dir = durparent(path);
    return (dir == "/" ? "" : dir) + "/." + path.substr(path.rfind('/') + 1) + ext;
}

bool dursyncdir(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

bool durwrite(const std::string& tmp, const std::string& path, const struct stat* like,
              const std::function<bool(FILE*)>& fill) {
    // A fresh file: what is left under tmp may be another name of a file
    // that must not change (an older release linked the index there).
    if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    FILE* f = fdopen(fd, "w");
    if (!f) {
        const int err = errno;
        close(fd);
        (void)unlink(tmp.c_str());
        errno = err;
        return false;
    }
    char buf[METABUF];  // outlives f, which is closed below
    // Only root may give a file away; anyone else writes their own file, as
    // the old one most likely was.
    const bool give = like && geteuid() == 0 &&
                      (like->st_uid != geteuid() || like->st_gid != getegid());
    bool ok = setvbuf(f, buf, _IOFBF, sizeof buf) == 0 &&
              (!give || fchown(fd, like->st_uid, like->st_gid) == 0) &&
              fchmod(fd, like ? like->st_mode & 07777 : 0600) == 0 && fill(f) &&
              fflush(f) == 0 && !ferror(f) && fsync(fd) == 0;
    int err = errno;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return dursyncdir(durparent(path));
    if (ok) err = errno;
    (void)unlink(tmp.c_str());
    errno = err;
    return false;
}

bool durwriteindex(const std::string& real, const std::string& tmp, const llnode* itemlist) {
    struct stat st;
    if (stat(real.c_str(), &st) != 0) return false;
    return durwrite(tmp, real, &st, [itemlist](FILE* f) { return durputindex(f, itemlist); });
}

bool durputindex(FILE* f, const llnode* itemlist) {
    const ownerdata* owner = itemlist->mydata;
    if (putf(f, owner ? owner->mypath : "") < 0 || putf(f, owner ? owner->myaddr : "") < 0)
        return false;
    for (const llnode* rec = itemlist; rec; rec = rec->next)
        if (wrthdr(f, rec) < 0) return false;
    return putf(f, "END") > 0;
}

void durgive(const std::string& path, const struct stat& like) {
    if (geteuid() == 0 && (like.st_uid != 0 || like.st_gid != getegid()))
        (void)lchown(path.c_str(), like.st_uid, like.st_gid);
}

int durlock(const std::string& path, bool shared) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void durunlock(int fd) {
    if (fd >= 0) close(fd);
}
