// One move as the file system makes it: a no-replace rename, or, where the
// file system can't refuse an existing name in a rename, a link, a sync of
// the directory and an unlink; what stands under a name; and the lines that
// a run writes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "mailbox/renumrun.h"

// printf-style, so that the compiler checks every line's arguments against
// its format (the declaration carries the format attribute).
void renumsay(const renumopts* opts, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    if (!opts->errs) return;
    if (opts->prog) (void)fprintf(opts->errs, "%s: ", opts->prog);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(opts->errs, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
}

// What stands under a name: its file, or inode 0 when nothing does. Files
// in one directory may still lie on different devices (an overlay), so a
// file is known by both.
renumid renumlookupid(const renumrun& r, const std::string& name) {
    if (r.dry) {
        auto it = r.names.find(name);
        return {0, it == r.names.end() ? 0 : it->second};
    }
    struct stat st;
    if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

ino_t renumlookup(const renumrun& r, const std::string& name) { return renumlookupid(r, name).ino; }

// Two names of one file.
bool renumsamefile(const renumrun& r, const std::string& a, const std::string& b) {
    const renumid x = renumlookupid(r, a);
    return x.ino != 0 && x == renumlookupid(r, b);
}

// Two names that the directory lists as two entries of one file, so that
// removing either leaves the file the other. A directory that ignores case
// gives one entry under both spellings of a name: the same file, but
// removing one spelling removes the file's only name.
bool renumtwoentries(const renumrun& r, const std::string& a, const std::string& b) {
    if (r.dry) return renumsamefile(r, a, b);
    struct stat sa, sb;
    if (a == b || lstat(a.c_str(), &sa) != 0 || lstat(b.c_str(), &sb) != 0 ||
        sa.st_dev != sb.st_dev || sa.st_ino != sb.st_ino || sa.st_nlink < 2)
        return false;
    renumdirptr d(opendir("."));
    int seen = 0;
    while (d && seen < 2)
        if (const dirent* ent = readdir(d.get()))
            seen += ent->d_name == a || ent->d_name == b;
        else
            break;
    return seen == 2;
}

// In a sticky directory only the file's owner, the directory's owner or the
// superuser may remove a name: a file that can be linked but not unlinked
// would be left under two names.
bool renumunlinkable(const struct stat& dir, const struct stat& file, uid_t uid) {
    return !(dir.st_mode & S_ISVTX) || uid == 0 || file.st_uid == uid || dir.st_uid == uid;
}

const char* renumwhy(int err) {
    return err == renumstuck ? "it belongs to another user in a sticky directory, where its old "
                               "name could not be removed"
                             : strerror(err);
}

void renumcomplain(renumrun& r, uint32_t i, std::string_view from, std::string_view to,
                   const char* why) {
    r.complaints.emplace_back(
        i, "cannot move '" + renumshown(from) + "' to '" + renumshown(to) + "': " + why);
}

void renumtrace(const renumrun& r, std::string_view from, std::string_view to) {
    if (r.opts->trace)
        (void)fprintf(r.opts->trace, "renamed '%s' -> '%s'\n", renumshown(from).c_str(),
                      renumshown(to).c_str());
}

namespace {

// Whether the old name of a file linked under its new name may be removed.
bool mayunlink(renumrun& r, const std::string& from) {
    if (!r.dirknown) {
        r.dirknown = stat(".", &r.dirst) == 0;
        if (!r.dirknown) return true;  // unlink itself will say
    }
    struct stat st;
    return fstatat(AT_FDCWD, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
           renumunlinkable(r.dirst, st, geteuid());
}

// The link of from as to is on disk: the old name may go. 0, or the errno
// of the failure; should both names then stay, *both says so.
int droplinked(const std::string& from, const char* to, bool* both) {
    if (unlink(from.c_str()) == 0) return 0;
    const int err = errno;
    if (unlink(to) != 0 && both) *both = true;
    return err;
}

}  // namespace

// The links of the first pass, synced together and then unlinked: one sync
// for all the records that moved at once.
void renumflushlinks(renumrun& r) {
    r.batch = false;
    if (r.linked.empty()) return;
    const int syncerr = dursyncdir(".") ? 0 : errno ? errno : EIO;
    for (const renumrun::pendinglink& l : r.linked) {
        bool both = false;
        int err = syncerr;
        if (!err)
            err = droplinked(l.from, l.to.c_str(), &both);
        else if (unlink(l.to.c_str()) != 0)
            both = true;
        if (err == 0) {
            renumtrace(r, l.from, l.to);
            continue;
        }
        renumcomplain(r, l.rec, l.from, l.to,
                      both ? (std::string(strerror(err)) + "; it is now under both names").c_str()
                           : strerror(err));
        r.state[l.rec] = renumst::kept;
        if (l.from != renumlisted(r, l.rec)) r.away[l.rec] = l.from;
    }
    r.linked.clear();
    r.linkedfrom.clear();
}

// Renames from to to unless to exists: 0, or the errno of the failure. Where
// the file system can't refuse an existing name in a rename, a hard link,
// which it refuses just the same, and an unlink do the move, with the
// directory synced between them so that a crash never leaves the file under
// neither name; should both names then stay, *both says so. Record rec's
// move, while r.batch holds the links, waits for renumflushlinks to sync and
// unlink: 0 then means linked.
int renumfsmove(renumrun& r, const std::string& from, const char* to, bool* both, uint32_t rec) {
    if (r.dry) {
        auto it = r.names.find(from);
        if (it == r.names.end()) return ENOENT;
        if (r.names.contains(to)) return EEXIST;
        // What the real run would be refused by the directory itself: one
        // that can't be written (read-only, immutable), or a sticky one
        // where the file is another user's.
        if (access(".", W_OK) != 0) return errno;
        if (!mayunlink(r, from)) return EPERM;
        const ino_t ino = it->second;
        r.names.erase(it);
        r.names.emplace(to, ino);
    } else {
        if (!r.linkonly) {
            if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
                renumtrace(r, from, to);
                return 0;
            }
            if (errno != EINVAL && errno != ENOSYS) return errno;
            r.linkonly = true;
        }
        if (!mayunlink(r, from)) return renumstuck;
        // A name whose unlink is held back is freed first, as a rename would
        // have freed it: the moves keep the order a rename run makes them in.
        if (r.linkedfrom.contains(to)) {
            renumflushlinks(r);
            r.batch = true;
        }
        if (link(from.c_str(), to) != 0) return errno;
        if (r.batch && rec != renumnone) {
            r.linked.push_back({rec, from, to});
            r.linkedfrom.insert(from);
            return 0;
        }
        if (!dursyncdir(".")) {
            const int err = errno;
            if (unlink(to) != 0 && both) *both = true;
            return err;
        }
        if (int err = droplinked(from, to, both)) return err;
    }
    renumtrace(r, from, to);
    return 0;
}

int renumfsunlink(renumrun& r, const std::string& name) {
    if (r.dry) return r.names.erase(name) ? 0 : ENOENT;
    return unlink(name.c_str()) == 0 ? 0 : errno;
}
