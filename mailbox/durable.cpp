// Writing that survives a crash, and the directory locks (mailbox/durable.h).
#include "mailbox/durable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
              const std::function<bool(FILE*)>& fill, bool* renamed) {
    if (renamed) *renamed = false;
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
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) {
        if (renamed) *renamed = true;
        return dursyncdir(durparent(path));
    }
    if (ok) err = errno;
    (void)unlink(tmp.c_str());
    errno = err;
    return false;
}

bool durwriteindex(const std::string& real, const std::string& tmp, const llnode* itemlist,
                   bool* renamed) {
    if (renamed) *renamed = false;
    struct stat st;
    if (stat(real.c_str(), &st) != 0) return false;
    return durwrite(
        tmp, real, &st, [itemlist](FILE* f) { return durputindex(f, itemlist); }, renamed);
}

namespace {

// Where the END line of an index's text starts; npos when it does not end so.
size_t endline(std::string_view text) {
    if (text.ends_with("\nEND\n")) return text.size() - 4;
    if (text.ends_with("\nEND")) return text.size() - 3;
    return std::string_view::npos;
}

bool toolarge(std::string* out) {
    out->clear();
    out->shrink_to_fit();
    errno = EFBIG;
    return false;
}

struct fdcloser {
    int fd;
    ~fdcloser() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

bool durreadfd(int fd, std::string* out) {
    // Read straight into the string, sized at once for what fstat says is
    // there (a file that grows meanwhile only takes more rounds).
    struct stat st;
    size_t room = 1 << 16;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<uintmax_t>(st.st_size) > DURREADMAX) return toolarge(out);
        room = static_cast<size_t>(st.st_size) + 1;
    }
    out->resize(room);
    size_t at = 0;
    for (;;) {
        if (at > DURREADMAX) return toolarge(out);
        if (at == out->size()) out->resize(std::min(out->size() * 2, DURREADMAX + 1));
        const ssize_t n = pread(fd, out->data() + at, out->size() - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            out->resize(at);
            return n == 0;
        }
        at += static_cast<size_t>(n);
    }
}

bool durreadsame(int fd, std::string_view text) {
    char buf[1 << 16];
    for (size_t at = 0;;) {
        const ssize_t n = pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return at == text.size();
        const auto got = static_cast<size_t>(n);
        if (got > text.size() - at || memcmp(buf, text.data() + at, got) != 0) return false;
        at += got;
    }
}

bool durreadall(const std::string& path, std::string* out) {
    const fdcloser f{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    return f.fd >= 0 && durreadfd(f.fd, out);
}

bool durappended(std::string_view was, std::string_view now, std::string* added) {
    added->clear();
    if (now == was) return true;
    const size_t end = endline(was);
    if (end == std::string_view::npos || now.size() <= was.size() ||
        now.substr(0, end) != was.substr(0, end))
        return false;
    // Whole records, each name line something other than END, then END last.
    size_t at = end;
    while (now.substr(at) != "END\n" && now.substr(at) != "END") {
        for (int line = 0; line < 7; line++) {
            const size_t nl = now.find('\n', at);
            if (nl == std::string_view::npos) return false;
            if (line == 0 && now.substr(at, nl - at) == "END") return false;
            at = nl + 1;
        }
    }
    added->assign(now.substr(end, at - end));
    return true;
}

std::string durwithadded(std::string_view text, std::string_view added) {
    const size_t end = endline(text);
    std::string out(text.substr(0, end));
    out += added;
    out += "END\n";
    return out;
}

durswapped durswap(const std::string& real, const std::string& tmp, const std::string& seen,
                   std::string text, std::string* written, bool* renamed) {
    *renamed = false;
    *written = text;
    // Held across each swap: a writer that opened the index before it still
    // writes here, and what it writes is merged into the next one.
    const fdcloser held{open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    std::string now, added;
    if (held.fd < 0 || !durreadfd(held.fd, &now)) return durswapped::failed;
    if (!durappended(seen, now, &added)) return durswapped::changed;
    if (!added.empty()) text = durwithadded(text, added);
    for (int round = 0; round < 1000; round++) {
        struct stat like;
        bool moved = false;
        if (fstat(held.fd, &like) != 0 ||
            !durwrite(
                tmp, real, &like,
                [&text](FILE* f) { return fwrite(text.data(), 1, text.size(), f) == text.size(); },
                &moved)) {
            *renamed = *renamed || moved;
            if (moved) *written = text;
            return durswapped::failed;
        }
        *renamed = true;
        *written = text;
        std::string later;
        if (!durreadfd(held.fd, &later) || !durappended(now, later, &added))
            return durswapped::late;
        if (added.empty()) return durswapped::done;
        // The old index grew after the last look: merged again, unless the
        // new one was written to as well, which no merge can place.
        std::string fresh;
        if (!durreadall(real, &fresh) || fresh != text) return durswapped::late;
        text = durwithadded(text, added);
        now.swap(later);
    }
    return durswapped::late;
}

bool durputindex(FILE* f, const llnode* itemlist) {
    const ownerdata* owner = itemlist->mydata;
    if (putf(f, owner ? owner->mypath : "") < 0 || putf(f, owner ? owner->myaddr : "") < 0)
        return false;
    for (const llnode* rec = itemlist; rec; rec = rec->next)
        if (wrthdr(f, rec) < 0) return false;
    return putf(f, "END") > 0;
}

bool durindextext(const llnode* itemlist, std::string* out) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    if (!f) return false;
    const bool ok = durputindex(f, itemlist);
    const bool closed = fclose(f) == 0;
    out->assign(buf ? buf : "", len);
    free(buf);
    return ok && closed;
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
