// The update's journal and its work directory: what makes an update of the
// index safe against a kill, and how a killed one is taken up again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/renumrun.h"

// "<index>.msgseq-update" beside the file the index path leads to; empty
// when it leads nowhere.
std::string renumworkdir(const char* fname, std::string* real) {
    char buf[PATH_MAX];
    if (!realpath(fname, buf)) return {};
    if (real) *real = buf;
    return std::string(buf) + renumworkext;
}

bool renumsyncdir(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

std::string renumparent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

bool writeall(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t n = write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

// The journal: where the run works, how many records, and each record's
// file by inode (0: renumnone) and listed name. Written whole under another name
// and renamed into place, so a journal that exists is complete.
bool renumwritejournal(const renumrun& r, const std::string& dir) {
    std::string text = "msgseq update journal\ndir " + std::to_string(r.here.dev) + " " +
                       std::to_string(r.here.ino) + "\nrecords " + std::to_string(r.recs.size()) +
                       "\n";
    text.reserve(text.size() + r.recs.size() * 24);
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        text += std::to_string(r.ino[i]);
        text += ' ';
        text += renumlisted(r, i);
        text += '\n';
    }
    const std::string tmp = dir + "/journal.new";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = writeall(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !ok) return false;
    return rename(tmp.c_str(), (dir + "/journal").c_str()) == 0 && renumsyncdir(dir);
}

// Reads the journal back: bad when there is one this run can't trust.
renumjournal renumreadjournal(const std::string& dir, renumid* where, std::vector<ino_t>* inos) {
    const int fd = open((dir + "/journal").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? renumjournal::none : renumjournal::bad;
    std::string text;
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    if (n < 0) return renumjournal::bad;
    // Numbers one after another, each ended by the character given.
    const char* at = text.c_str();
    auto number = [&at](std::string_view before, char after, unsigned long long* v) {
        if (std::string_view(at).substr(0, before.size()) != before) return false;
        at += before.size();
        char* end = nullptr;
        errno = 0;
        *v = strtoull(at, &end, 10);
        if (end == at || errno != 0 || *end != after) return false;
        at = end + 1;
        return true;
    };
    unsigned long long dev = 0, ino = 0, count = 0;
    if (!number("msgseq update journal\ndir ", ' ', &dev) || !number("", '\n', &ino) ||
        !number("records ", '\n', &count) || count > 1000000)
        return renumjournal::bad;
    *where = {static_cast<dev_t>(dev), static_cast<ino_t>(ino)};
    inos->assign(count, 0);
    for (ino_t& file : *inos) {
        unsigned long long v = 0;
        if (!number("", ' ', &v)) return renumjournal::bad;
        file = static_cast<ino_t>(v);
        at = strchr(at, '\n');
        if (!at) return renumjournal::bad;
        at++;
    }
    return renumjournal::good;
}

// Removes the journal first, since an index beside no journal is a finished
// one, then what else this run's kind leaves in the work directory (the
// journal being written, the new index and the writer's temporary copies of
// it, "index.XXXXXX"), then the directory. Anything else there is not
// touched. false when the journal is still there, or, with whole set, when
// the directory is.
bool renumclearwork(const std::string& dir, bool whole) {
    if (unlink((dir + "/journal").c_str()) != 0 && errno != ENOENT) return false;
    if (renumdirptr d{opendir(dir.c_str())}) {
        while (const dirent* ent = readdir(d.get())) {
            const std::string_view name(ent->d_name);
            if (name == "journal.new" || name == "index" ||
                (name.starts_with("index.") && name.size() == 12))
                unlinkat(dirfd(d.get()), ent->d_name, 0);
        }
    }
    return rmdir(dir.c_str()) == 0 || errno == ENOENT || !whole;
}

// A killed run's journal: each record's file is found again by its inode,
// under whatever name the run left it. A file under its new name and under
// another of this run's names too was cut short between a link and an
// unlink, and keeps the new name. false when names that share an inode
// number are different files (an overlay of file systems can do that): the
// files can't be told apart, and nothing is touched.
bool renumfindfiles(renumrun& r, const std::vector<ino_t>& inos) {
    std::unordered_map<ino_t, uint32_t> byino;
    for (uint32_t i = 0; i < inos.size(); i++)
        if (inos[i]) byino.emplace(inos[i], i);
    std::vector<std::vector<std::string>> found(r.recs.size());
    if (renumdirptr d{opendir(".")}) {
        const bool listingino = renumtrustlisting(dirfd(d.get()));
        while (const dirent* ent = readdir(d.get())) {
            auto it = byino.find(renumfileino(dirfd(d.get()), ent, listingino));
            if (it != byino.end()) found[it->second].emplace_back(ent->d_name);
        }
    }
    const bool apart = std::any_of(found.begin(), found.end(), [&r](const auto& names) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return !renumsamefile(r, name, names[0]);
        });
    });
    if (apart) return false;
    r.ino.assign(r.recs.size(), 0);
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        std::vector<std::string>& names = found[i];
        if (names.empty()) continue;
        r.ino[i] = inos[i];
        const renumname to = renumtarget(i);
        auto at = std::find(names.begin(), names.end(), to.s);
        if (at == names.end()) at = std::find(names.begin(), names.end(), renumlisted(r, i));
        if (at == names.end()) at = names.begin();
        for (const std::string& other : names)
            if (other != *at && (other == renumlisted(r, i) || other.starts_with(renumtmp)))
                (void)renumfsunlink(r, other);
        if (*at != renumlisted(r, i)) r.away[i] = *at;
    }
    return true;
}

// Two records naming one file: the later one is refused, so that each file
// of the journal belongs to one record. A record that will be refused anyway
// has no file in the journal.
void renumrefuselinked(renumrun& r) {
    std::unordered_map<ino_t, uint32_t> first;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (renumunfit(r, i)) r.ino[i] = 0;
        if (!r.ino[i]) continue;
        auto [it, fresh] = first.emplace(r.ino[i], i);
        if (fresh) continue;
        renumcomplain(
            r, i, renumlisted(r, i), renumtarget(i).s,
            ("it is the same file as '" + renumshown(renumlisted(r, it->second)) + "'").c_str());
        r.state[i] = renumst::kept;
        r.ino[i] = 0;
    }
}
