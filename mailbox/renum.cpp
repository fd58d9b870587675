#include "mailbox/renum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mailbox/meta.h"

namespace {

// Longer than any listed name (12 characters at most), so no listed name can
// be mistaken for a temporary one.
constexpr std::string_view tmpprefix = ".msgseq-temp-";
constexpr char workext[] = ".msgseq-update";
constexpr uint32_t none = UINT32_MAX;

// Where each record stands. A record is worked once, in index order; those
// whose new name is still taken wait for the second pass.
enum class st : uint8_t {
    open,    // not worked yet
    twin,    // not worked yet, and an earlier record lists the same name
    stayed,  // its file already had its new name
    moved,   // its file got its new name in this run
    wait,    // its new name was taken when it was worked
    lost,    // its file is under no name
    kept,    // not renamed, and reported
};

bool home(st s) { return s == st::stayed || s == st::moved; }

struct namebuf {
    char s[24];  // "in" + 10 digits + ".msg"
};

// The k-th record's new name, in%03d.msg formatted with k. Made once per
// record, so without printf.
namebuf target(uint32_t k) {
    namebuf b{};
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + k % 10);
        k /= 10;
    } while (k);
    while (n < 3) digits[n++] = '0';
    char* p = b.s;
    *p++ = 'i';
    *p++ = 'n';
    while (n) *p++ = digits[--n];
    memcpy(p, ".msg", 5);
    return b;
}

// The record whose new name is name, or none.
uint32_t targetno(std::string_view name) {
    if (name.size() < 9 || !name.starts_with("in") || !name.ends_with(".msg")) return none;
    const std::string_view digits = name.substr(2, name.size() - 6);
    if (digits.size() > 9) return none;
    uint32_t k = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return none;
        k = k * 10 + static_cast<uint32_t>(c - '0');
    }
    return target(k).s == name ? k : none;
}

bool foreign(std::string_view name) {
    return name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

std::string shown(std::string_view name) { return renumshown(name); }

uint32_t namehash(std::string_view s) {
    return std::accumulate(s.begin(), s.end(), 2166136261u, [](uint32_t h, char c) {
        return (h ^ static_cast<unsigned char>(c)) * 16777619u;
    });
}

struct fileid {
    dev_t dev;
    ino_t ino;
    bool operator==(const fileid&) const = default;
};

struct dircloser {
    void operator()(DIR* d) const { closedir(d); }
};
using dirptr = std::unique_ptr<DIR, dircloser>;

// A descriptor closed when it goes out of scope.
struct fdguard {
    int fd;
    explicit fdguard(int f) : fd(f) {}
    fdguard(const fdguard&) = delete;
    fdguard& operator=(const fdguard&) = delete;
    ~fdguard() {
        if (fd >= 0) close(fd);
    }
};

// Everything one run knows. The records' names stay in the list; a record
// whose file is under another name (set aside, or found by its inode) has
// that name in away.
struct run {
    const renumopts* opts = nullptr;
    bool dry = false;
    bool verified = false;  // every record's file was found by listing the directory
    std::vector<llnode*> recs;
    std::vector<st> state;
    // Listed names, open addressing: a slot holds the name's hash in its high
    // half and its first record + 1 in its low half.
    std::vector<uint64_t> slots;
    std::unordered_map<uint32_t, std::string> away;
    std::vector<std::string> keep;  // names in this directory that lead to the index
    std::vector<std::string> temps;
    std::vector<std::pair<uint32_t, std::string>> complaints;
    // A dry run renames in this picture of the directory instead.
    std::unordered_map<std::string, ino_t> names;
    bool linkonly = false;  // the file system refuses no-replace renames
    bool update = false;    // the index will be rewritten with the new names
    std::vector<std::string> reserved;  // sorted: names no record may move in under
    std::vector<ino_t> ino; // each record's file, when the directory was listed for it
    fileid here{};
};

const char* listed(const run& r, uint32_t i) { return r.recs[i]->datafile; }

std::string_view cur(const run& r, uint32_t i) {
    if (home(r.state[i])) return {};
    if (r.away.empty()) return listed(r, i);
    auto it = r.away.find(i);
    return it == r.away.end() ? std::string_view{listed(r, i)} : std::string_view{it->second};
}

uint32_t findname(const run& r, std::string_view name) {
    if (r.slots.empty()) return none;
    const uint64_t h = namehash(name);
    const size_t mask = r.slots.size() - 1;
    for (size_t at = h & mask;; at = (at + 1) & mask) {
        const uint64_t slot = r.slots[at];
        if (!slot) return none;
        const auto i = static_cast<uint32_t>(slot) - 1;
        if (slot >> 32 == h && listed(r, i) == name) return i;
    }
}

void indexnames(run& r) {
    size_t size = 16;
    while (size < r.recs.size() + r.recs.size() / 3) size *= 2;
    r.slots.assign(size, 0);
    const size_t mask = size - 1;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        const std::string_view name(listed(r, i));
        const uint64_t h = namehash(name);
        for (size_t at = h & mask;; at = (at + 1) & mask) {
            const uint64_t slot = r.slots[at];
            if (!slot) {
                r.slots[at] = h << 32 | (i + 1);
                break;
            }
            if (slot >> 32 == h && listed(r, static_cast<uint32_t>(slot) - 1) == name) {
                r.state[i] = st::twin;
                break;
            }
        }
    }
}

void complain(run& r, uint32_t i, std::string_view from, std::string_view to, const char* why) {
    r.complaints.emplace_back(i, "cannot move '" + shown(from) + "' to '" + shown(to) + "': " + why);
}

void refuse(run& r, uint32_t i, const char* why) {
    complain(r, i, listed(r, i), target(i).s, why);
    r.state[i] = st::kept;
}

void trace(const run& r, std::string_view from, std::string_view to) {
    if (r.opts->trace)
        (void)fprintf(r.opts->trace, "renamed '%s' -> '%s'\n", shown(from).c_str(),
                      shown(to).c_str());
}

// What stands under a name: its file, or inode 0 when nothing does. Files
// in one directory may still lie on different devices (an overlay), so a
// file is known by both.
fileid lookupid(const run& r, const std::string& name) {
    if (r.dry) {
        auto it = r.names.find(name);
        return {0, it == r.names.end() ? 0 : it->second};
    }
    struct stat st;
    if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

ino_t lookup(const run& r, const std::string& name) { return lookupid(r, name).ino; }

// Two names of one file.
bool samefile(const run& r, const std::string& a, const std::string& b) {
    const fileid x = lookupid(r, a);
    return x.ino != 0 && x == lookupid(r, b);
}

// Renames from to to unless to exists: 0, or the errno of the failure. Where
// the file system can't refuse an existing name in a rename, a hard link,
// which it refuses just the same, and an unlink do the move; should both
// names then stay, *both says so.
int fsmove(run& r, const std::string& from, const char* to, bool* both = nullptr) {
    if (r.dry) {
        auto it = r.names.find(from);
        if (it == r.names.end()) return ENOENT;
        if (r.names.contains(to)) return EEXIST;
        const ino_t ino = it->second;
        r.names.erase(it);
        r.names.emplace(to, ino);
    } else {
        if (!r.linkonly) {
            if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
                trace(r, from, to);
                return 0;
            }
            if (errno != EINVAL && errno != ENOSYS) return errno;
            r.linkonly = true;
        }
        if (link(from.c_str(), to) != 0) return errno;
        if (unlink(from.c_str()) != 0) {
            const int err = errno;
            if (unlink(to) != 0 && both) *both = true;
            return err;
        }
    }
    trace(r, from, to);
    return 0;
}

int fsunlink(run& r, const std::string& name) {
    if (r.dry) return r.names.erase(name) ? 0 : ENOENT;
    return unlink(name.c_str()) == 0 ? 0 : errno;
}

// Moves record i's file to its new name; 0 or the errno of the failure,
// reported unless it is EEXIST or ENOENT, which the caller judges.
int moverec(run& r, uint32_t i) {
    const std::string from(cur(r, i));
    const namebuf to = target(i);
    bool both = false;
    const int err = fsmove(r, from, to.s, &both);
    if (err == 0) {
        r.state[i] = st::moved;
        r.away.erase(i);
    } else if (both) {
        complain(r, i, from, to.s, (std::string(strerror(err)) + "; it is now under both names").c_str());
        r.state[i] = st::kept;
    } else if (err != EEXIST && err != ENOENT) {
        complain(r, i, from, to.s, strerror(err));
        r.state[i] = st::kept;
    }
    return err;
}

// Identities of the index and of each symbolic link met on the way to it:
// none of them may be renamed away, or the path would no longer lead to the
// index. The names they have in this directory are found by their inode when
// the directory is listed; those reached through this very directory are
// known by name already.
struct keepset {
    std::vector<fileid> ids;
    std::vector<std::string> names;
};

void pathlinks(const char* fname, const fileid& here, keepset& k) {
    std::string done;  // resolved so far, free of links
    std::vector<std::string> todo;  // components still to walk, last first
    auto push = [&todo](std::string_view path) {
        size_t end = path.size();
        while (end > 0) {
            const size_t slash = path.rfind('/', end - 1);
            const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
            if (end > start) todo.emplace_back(path.substr(start, end - start));
            if (slash == std::string_view::npos) break;
            end = slash;
        }
    };
    std::string_view path(fname);
    if (path.starts_with('/')) done = "/";
    push(path);
    for (int hops = 0; !todo.empty() && hops < 40;) {
        const std::string comp = std::move(todo.back());
        todo.pop_back();
        if (comp == ".") continue;
        const std::string dir = done.empty() ? "." : done;
        std::string next = done;
        if (!next.empty() && next != "/") next += '/';
        next += comp;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) return;
        struct stat dst;
        const bool inhere = stat(dir.c_str(), &dst) == 0 &&
                            fileid{dst.st_dev, dst.st_ino} == here && comp != "..";
        if (!S_ISLNK(st.st_mode)) {
            if (todo.empty() && inhere) k.names.push_back(comp);
            done = std::move(next);
            continue;
        }
        hops++;
        k.ids.push_back({st.st_dev, st.st_ino});
        if (inhere) k.names.push_back(comp);
        std::string to(PATH_MAX, '\0');
        const ssize_t n = readlink(next.c_str(), to.data(), to.size());
        if (n <= 0) return;
        to.resize(static_cast<size_t>(n));
        if (to.starts_with('/')) done = "/";
        push(to);
    }
}

// A file's inode as a listing gives it. An overlay of file systems gives
// the inode of the layer a renamed file now lies in, not the one the file
// reports, so there each file is asked itself.
bool trustlisting(int dirfd) {
    struct statfs fs;
    constexpr long overlay = 0x794c7630;
    return fstatfs(dirfd, &fs) == 0 && fs.f_type != overlay;
}

ino_t fileino(int dirfd, const dirent* ent, bool listingino) {
    if (listingino) return ent->d_ino;
    struct stat st;
    return fstatat(dirfd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

// Lists the directory once: the temporary names left by an earlier run, the
// names that lead to the index, each record's inode when the run needs it
// (wantino), and, for a dry run, every name.
bool survey(run& r, const keepset& k, bool wantino) {
    dirptr d(opendir("."));
    if (!d) return false;
    struct stat st;
    if (fstat(dirfd(d.get()), &st) == 0) r.here = {st.st_dev, st.st_ino};
    if (wantino) r.ino.assign(r.recs.size(), 0);
    const bool listingino = trustlisting(dirfd(d.get()));
    errno = 0;
    while (const dirent* ent = readdir(d.get())) {
        const std::string_view name(ent->d_name);
        if (name.starts_with(tmpprefix)) r.temps.emplace_back(name);
        for (const fileid& id : k.ids) {
            struct stat fst;
            if (ent->d_ino == id.ino &&
                fstatat(dirfd(d.get()), ent->d_name, &fst, AT_SYMLINK_NOFOLLOW) == 0 &&
                fileid{fst.st_dev, fst.st_ino} == id)
                r.keep.emplace_back(name);
        }
        if (r.dry) r.names.emplace(name, ent->d_ino);
        if (wantino) {
            const uint32_t i = findname(r, name);
            if (i != none) r.ino[i] = fileino(dirfd(d.get()), ent, listingino);
        }
    }
    for (const std::string& name : k.names) r.keep.push_back(name);
    return errno == 0;
}

// A temporary name ".msgseq-temp-<name>.<ino>" holds the file of the record
// listing <name>, set aside so that the file with inode <ino>, that of the
// record whose new name <name> is, could move in. It is taken for the record
// listing <name> when <name> itself is gone, or when <name> holds that very
// inode: the ring was cut short there. Any other such file, and one named
// ".msgseq-temp-<name>" alone, as an older run named them, is taken only when
// <name> is gone: otherwise the listed name wins, and the other file is left
// alone.
void claimtemps(run& r) {
    for (const std::string& temp : r.temps) {
        const std::string_view rest = std::string_view{temp}.substr(tmpprefix.size());
        uint32_t i = none;
        ino_t moved = 0;
        const size_t dot = rest.rfind('.');
        if (dot != std::string_view::npos) {
            const std::string digits(rest.substr(dot + 1));
            if (!digits.empty() && digits.size() < 20 &&
                digits.find_first_not_of("0123456789") == std::string::npos &&
                (i = findname(r, rest.substr(0, dot))) != none)
                moved = static_cast<ino_t>(strtoull(digits.c_str(), nullptr, 10));
        }
        if (i == none) i = findname(r, rest);
        if (i == none || r.state[i] != st::open || !*listed(r, i) || foreign(listed(r, i)))
            continue;
        const ino_t there = lookup(r, listed(r, i));
        const uint32_t k = targetno(listed(r, i));
        if (samefile(r, temp, listed(r, i))) {
            // Set aside by a link whose unlink was cut short: undo it.
            (void)fsunlink(r, temp);
            continue;
        }
        if (there == 0) {
            r.away[i] = temp;
        } else if (moved != 0 && there == moved && k < r.recs.size() && k != i &&
                   r.state[k] == st::open) {
            r.away[i] = temp;
            r.state[k] = st::stayed;
            if (!r.ino.empty()) r.ino[k] = there;
            // Its move in was a link whose unlink was cut short: finish it.
            if (*listed(r, k) && !foreign(listed(r, k)) && samefile(r, listed(r, k), listed(r, i)))
                (void)fsunlink(r, listed(r, k));
        } else {
            continue;
        }
        if (!r.ino.empty()) r.ino[i] = lookup(r, temp);
    }
}

// With the index to be rewritten, a record that keeps its name without its
// file there (its file is missing, or it names the file of an earlier
// record) keeps that name in the index: no other record's file may move in
// under it, or two records would name one file.
void reservenames(run& r) {
    if (!r.update) return;
    for (uint32_t i = 0; i < r.recs.size(); i++)
        if (r.state[i] == st::twin || (r.verified && r.ino[i] == 0 && !r.away.contains(i)))
            r.reserved.emplace_back(listed(r, i));
    std::sort(r.reserved.begin(), r.reserved.end());
}

// The names that a record can't be moved under, or be moved from.
const char* unfit(const run& r, uint32_t i) {
    const std::string_view name(listed(r, i));
    if (foreign(name)) return "not a name in this directory";
    if (std::find(r.keep.begin(), r.keep.end(), name) != r.keep.end())
        return "it is the metafile being read";
    if (r.state[i] == st::twin) return "listed twice in the index";
    return nullptr;
}

// After a move of record i failed with err: its new name is still taken, or
// its file has gone from under it.
void judge(run& r, uint32_t i, std::string_view from, int err) {
    if (err != EEXIST && err != ENOENT) return;  // reported where it failed
    complain(r, i, err == EEXIST ? std::string_view(listed(r, i)) : from, target(i).s, strerror(err));
    r.state[i] = err == ENOENT ? st::lost : st::kept;
}

// First pass: every record in index order, renamed at once where its new
// name is free. A listed name that an earlier record of this run has just
// moved into held no file of its own when the run began.
void firstpass(run& r) {
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (r.state[i] != st::open && r.state[i] != st::twin) continue;
        if (const char* why = unfit(r, i)) {
            refuse(r, i, why);
            continue;
        }
        const bool isaway = r.away.contains(i);
        if (!isaway) {
            const uint32_t k = targetno(listed(r, i));
            const bool gone = r.verified ? r.ino[i] == 0
                                         : !*listed(r, i) || (k < i && r.state[k] == st::moved);
            if (gone) {
                refuse(r, i, strerror(ENOENT));
                r.state[i] = st::lost;
                continue;
            }
        }
        const namebuf to = target(i);
        if (cur(r, i) != to.s && !r.reserved.empty() &&
            std::binary_search(r.reserved.begin(), r.reserved.end(), std::string_view(to.s))) {
            refuse(r, i, "another record keeps that name in the index");
            continue;
        }
        if (cur(r, i) == to.s) {
            if (r.verified || lookup(r, to.s) != 0) {
                r.state[i] = st::stayed;
            } else {
                refuse(r, i, strerror(ENOENT));
                r.state[i] = st::lost;
            }
            continue;
        }
        const int err = moverec(r, i);
        if (err == EEXIST) {
            r.state[i] = st::wait;
        } else {
            judge(r, i, cur(r, i), err);
        }
    }
}

// Works a ring of waiting records, where each one's new name holds the file
// of the next (ring[j + 1], and the last's holds the first's): the first
// file is set aside, the others move from the far end, and the first follows
// last. Should a move fail, the moves made are undone, so that nothing stays
// under a temporary name.
void workring(run& r, const std::vector<uint32_t>& ring) {
    const size_t m = ring.size();
    const uint32_t first = ring[0];
    std::vector<std::string> was(m);
    for (size_t j = 0; j < m; j++) was[j] = cur(r, ring[j]);
    // The name says which file is to move in where the first one was, so
    // that a run after a kill can tell this file from a stray one.
    const std::string temp = std::string(tmpprefix) + listed(r, first) + "." +
                             std::to_string(lookup(r, was[m - 1]));
    if (int err = fsmove(r, was[0], temp.c_str())) {
        complain(r, first, was[0], temp, strerror(err));
        r.state[first] = st::kept;
        for (size_t j = 1; j < m; j++) judge(r, ring[j], was[j], EEXIST);
        return;
    }
    r.away[first] = temp;
    size_t j = m;
    int err = 0;
    while (j-- > 0)
        if ((err = moverec(r, ring[j])) != 0) break;
    if (j == SIZE_MAX) return;  // the whole ring moved
    // ring[j] could not move: undo the moves after it, nearest first, and
    // bring the first file back to its name.
    judge(r, ring[j], was[j], err);
    size_t undo = j + 1;
    for (; undo < m; undo++) {
        if (fsmove(r, target(ring[undo]).s, was[undo].c_str()) != 0) break;
        r.state[ring[undo]] = st::wait;
        if (was[undo] != listed(r, ring[undo])) r.away[ring[undo]] = was[undo];
    }
    if (undo == m && r.state[first] != st::moved && fsmove(r, temp, was[0].c_str()) == 0) {
        if (was[0] == listed(r, first))
            r.away.erase(first);
        else
            r.away[first] = was[0];
    }
    for (size_t t = 0; t < m; t++)
        if (r.state[ring[t]] == st::wait) judge(r, ring[t], was[t], EEXIST);
}

// Second pass: the records whose new name was taken. Each new name is held
// by at most one file, so the records form chains, each worked from its
// free end, and rings.
void secondpass(run& r) {
    std::vector<uint32_t> waits;
    for (uint32_t i = 0; i < r.recs.size(); i++)
        if (r.state[i] == st::wait) waits.push_back(i);
    if (waits.empty()) return;

    // A move cut short between its link and its unlink left the file under
    // both names: finish it.
    for (uint32_t i : waits) {
        const std::string from(cur(r, i));
        const namebuf to = target(i);
        if (!samefile(r, from, to.s)) continue;
        if (int err = fsunlink(r, from)) {
            complain(r, i, from, to.s, (std::string(strerror(err)) + "; it is now under both names").c_str());
            r.state[i] = st::kept;
        } else {
            trace(r, from, to.s);
            r.state[i] = st::moved;
            r.away.erase(i);
        }
    }

    std::unordered_map<std::string, uint32_t> holder;
    for (uint32_t i : waits)
        if (r.state[i] == st::wait) holder.emplace(cur(r, i), i);
    auto next = [&](uint32_t i) {
        auto it = holder.find(target(i).s);
        return it == holder.end() ? none : it->second;
    };
    std::vector<uint8_t> seen(r.recs.size(), 0);  // 1 on the walk now, 2 done
    std::vector<uint32_t> path;
    for (uint32_t start : waits) {
        if (r.state[start] != st::wait || seen[start]) continue;
        path.clear();
        uint32_t i = start;
        while (i != none && !seen[i] && r.state[i] == st::wait) {
            seen[i] = 1;
            path.push_back(i);
            i = next(i);
        }
        size_t chain = path.size();
        if (i != none && seen[i] == 1) {
            // The walk came back onto itself: a ring, then the chain into it.
            chain = static_cast<size_t>(std::find(path.begin(), path.end(), i) - path.begin());
            workring(r, std::vector<uint32_t>(path.begin() + static_cast<long>(chain), path.end()));
        }
        // From the free end back: each move frees the name the one before waits for.
        bool free = i == none || home(r.state[i]);
        for (size_t j = chain; j-- > 0;) {
            const uint32_t rec = path[j];
            if (!free) {
                judge(r, rec, cur(r, rec), EEXIST);
                continue;
            }
            const std::string from(cur(r, rec));
            const int err = moverec(r, rec);
            judge(r, rec, from, err);
            free = err == 0;
        }
        for (uint32_t p : path) seen[p] = 2;
    }
}

void report(run& r, renumstats* stats) {
    std::stable_sort(r.complaints.begin(), r.complaints.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [i, line] : r.complaints)
        (void)fprintf(r.opts->errs, "%s: %s\n", r.opts->prog, line.c_str());
    if (!stats) return;
    *stats = renumstats{static_cast<int>(r.recs.size()), 0, 0, 0};
    for (st s : r.state) {
        stats->moved += s == st::moved;
        stats->missing += s == st::lost;
        stats->refused += s == st::kept;
    }
}

// The records by number, 1 to count. A loaded list holds them in order after
// its head; any other list is sorted out by number.
void takerecords(run& r, llnode* head) {
    const int count = head->count > 0 ? head->count : 0;
    r.recs.reserve(static_cast<size_t>(count));
    for (llnode* rec = head->next; rec && rec->no == static_cast<int>(r.recs.size()) + 1 &&
                                   rec->no <= count;
         rec = rec->next)
        r.recs.push_back(rec);
    if (r.recs.size() == static_cast<size_t>(count) && (head->no < 1 || head->no > count)) {
        r.state.assign(r.recs.size(), st::open);
        return;
    }
    r.recs.clear();
    std::vector<llnode*> byno(static_cast<size_t>(count) + 1, nullptr);
    for (llnode* rec = head; rec; rec = rec->next)
        if (rec->no >= 1 && rec->no <= count && !byno[rec->no]) byno[rec->no] = rec;
    for (int n = 1; n <= count; n++) {
        if (!byno[n]) break;  // a list numbered with a hole: the records before it
        r.recs.push_back(byno[n]);
    }
    r.state.assign(r.recs.size(), st::open);
}

void keepfor(const char* fname, const fileid& here, keepset& k) {
    const int fd = open(fname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0) k.ids.push_back({st.st_dev, st.st_ino});
        close(fd);
    }
    pathlinks(fname, here, k);
}

fileid herenow() {
    struct stat st;
    return stat(".", &st) == 0 ? fileid{st.st_dev, st.st_ino} : fileid{};
}

// A file still under a temporary name at the end goes back to its listed
// name; should that fail, it is reported where it is.
bool putback(run& r) {
    bool ok = true;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (home(r.state[i])) continue;
        auto it = r.away.find(i);
        if (it == r.away.end() || !it->second.starts_with(tmpprefix)) continue;
        const std::string temp = it->second;
        if (int err = fsmove(r, temp, listed(r, i))) {
            r.complaints.emplace_back(i, "cannot move '" + shown(temp) + "' back to '" +
                                             shown(listed(r, i)) + "': " + strerror(err) +
                                             "; the message is left there");
            ok = false;
        } else {
            r.away.erase(it);
        }
    }
    return ok;
}

// Each record names the file it now has: its new name, or where it was left.
// false when some file is under a name that a record can't hold.
bool namefiles(run& r) {
    bool ok = true;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        const std::string name(home(r.state[i]) ? std::string_view(target(i).s) : cur(r, i));
        if (name.size() >= sizeof r.recs[i]->datafile || name.starts_with(tmpprefix)) {
            ok = false;
            continue;
        }
        llsetfield(r.recs[i]->datafile, sizeof r.recs[i]->datafile, name.c_str());
    }
    return ok;
}

// Both passes, once the run knows where every file is. *named (may be null)
// is false when update was asked for but some record can't name its file.
int renumber(run& r, renumstats* stats, bool update, bool* named = nullptr) {
    r.update = update || r.update;
    reservenames(r);
    firstpass(r);
    secondpass(r);
    bool ok = putback(r);
    if (update) ok = namefiles(r) && ok;
    if (named) *named = ok;
    report(r, stats);
    return std::all_of(r.state.begin(), r.state.end(), home) ? RENUMOK : RENUMFILES;
}

// Takes the records and lists the directory. A run that starts afresh then
// claims what an earlier one set aside; one that resumes a journal finds its
// files by inode instead.
bool startrun(run& r, const char* fname, llnode* itemlist, const renumopts* opts, bool wantino,
              bool resume = false) {
    r.opts = opts;
    r.dry = opts->dryrun;
    takerecords(r, itemlist);
    indexnames(r);
    keepset k;
    keepfor(fname, herenow(), k);
    if (!survey(r, k, wantino)) {
        (void)fprintf(opts->errs, "%s: cannot read directory '.': %s\n", opts->prog,
                      strerror(errno));
        return false;
    }
    if (!resume) claimtemps(r);
    return true;
}

// ---- Updating the index: the journal and its work directory.

// "<index>.msgseq-update" beside the file the index path leads to; empty
// when it leads nowhere.
std::string workdir(const char* fname, std::string* real = nullptr) {
    char buf[PATH_MAX];
    if (!realpath(fname, buf)) return {};
    if (real) *real = buf;
    return std::string(buf) + workext;
}

bool syncpath(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
}

std::string parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeall(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t n = write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The journal: where the run works, how many records, and each record's
// file by inode (0: none) and listed name. Written whole under another name
// and renamed into place, so a journal that exists is complete.
bool writejournal(const run& r, const std::string& dir) {
    std::string text = "msgseq update journal\ndir " + std::to_string(r.here.dev) + " " +
                       std::to_string(r.here.ino) + "\nrecords " + std::to_string(r.recs.size()) + "\n";
    text.reserve(text.size() + r.recs.size() * 24);
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        text += std::to_string(r.ino[i]);
        text += ' ';
        text += listed(r, i);
        text += '\n';
    }
    const std::string tmp = dir + "/journal.new";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = writeall(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !ok) return false;
    return rename(tmp.c_str(), (dir + "/journal").c_str()) == 0 && syncpath(dir);
}

enum class journal : uint8_t { none, good, bad };

// Reads the journal back: bad when there is one this run can't trust.
journal readjournal(const std::string& dir, fileid* where, std::vector<ino_t>* inos) {
    const int fd = open((dir + "/journal").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? journal::none : journal::bad;
    std::string text;
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    if (n < 0) return journal::bad;
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
        return journal::bad;
    *where = {static_cast<dev_t>(dev), static_cast<ino_t>(ino)};
    inos->assign(count, 0);
    for (ino_t& file : *inos) {
        unsigned long long v = 0;
        if (!number("", ' ', &v)) return journal::bad;
        file = static_cast<ino_t>(v);
        at = strchr(at, '\n');
        if (!at) return journal::bad;
        at++;
    }
    return journal::good;
}

// Removes the journal first, since an index beside no journal is a finished
// one, then what else this run's kind leaves in the work directory (the
// journal being written, the new index and the writer's temporary copies of
// it, "index.XXXXXX"), then the directory. Anything else there is not
// touched. false when the journal is still there, or, with whole set, when
// the directory is.
bool clearwork(const std::string& dir, bool whole) {
    if (unlink((dir + "/journal").c_str()) != 0 && errno != ENOENT) return false;
    if (dirptr d{opendir(dir.c_str())}) {
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
bool findfiles(run& r, const std::vector<ino_t>& inos) {
    std::unordered_map<ino_t, uint32_t> byino;
    for (uint32_t i = 0; i < inos.size(); i++)
        if (inos[i]) byino.emplace(inos[i], i);
    std::vector<std::vector<std::string>> found(r.recs.size());
    if (dirptr d{opendir(".")}) {
        const bool listingino = trustlisting(dirfd(d.get()));
        while (const dirent* ent = readdir(d.get())) {
            auto it = byino.find(fileino(dirfd(d.get()), ent, listingino));
            if (it != byino.end()) found[it->second].emplace_back(ent->d_name);
        }
    }
    const bool apart = std::any_of(found.begin(), found.end(), [&r](const auto& names) {
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string& name) { return !samefile(r, name, names[0]); });
    });
    if (apart) return false;
    r.ino.assign(r.recs.size(), 0);
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        std::vector<std::string>& names = found[i];
        if (names.empty()) continue;
        r.ino[i] = inos[i];
        const namebuf to = target(i);
        auto at = std::find(names.begin(), names.end(), to.s);
        if (at == names.end()) at = std::find(names.begin(), names.end(), listed(r, i));
        if (at == names.end()) at = names.begin();
        for (const std::string& other : names)
            if (other != *at && (other == listed(r, i) || other.starts_with(tmpprefix)))
                (void)fsunlink(r, other);
        if (*at != listed(r, i)) r.away[i] = *at;
    }
    return true;
}

// Two records naming one file: the later one is refused, so that each file
// of the journal belongs to one record. A record that will be refused anyway
// has no file in the journal.
void refuselinked(run& r) {
    std::unordered_map<ino_t, uint32_t> first;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (unfit(r, i)) r.ino[i] = 0;
        if (!r.ino[i]) continue;
        auto [it, fresh] = first.emplace(r.ino[i], i);
        if (fresh) continue;
        complain(r, i, listed(r, i), target(i).s,
                 ("it is the same file as '" + shown(listed(r, it->second)) + "'").c_str());
        r.state[i] = st::kept;
        r.ino[i] = 0;
    }
}

}  // namespace

std::string renumshown(std::string_view name) {
    std::string out(name);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    return out;
}

int renumlock() {
    const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void renumunlock(int lockfd) {
    if (lockfd >= 0) close(lockfd);
}

bool renumunfinished(const char* fname) {
    const std::string dir = workdir(fname);
    struct stat st;
    return !dir.empty() && lstat(dir.c_str(), &st) == 0;
}

int renumfiles(const char* fname, llnode* itemlist, const renumopts* opts, bool update,
               renumstats* stats) {
    if (renumunfinished(fname)) {
        (void)fprintf(opts->errs,
                      "%s: an update of '%s' was cut short; finish it with '%s -u' first\n",
                      opts->prog, shown(fname).c_str(), opts->prog);
        return RENUMINDEX;
    }
    run r;
    if (!startrun(r, fname, itemlist, opts, false)) return r.recs.empty() ? RENUMOK : RENUMFILES;
    r.verified = false;
    return renumber(r, stats, update);
}

int renumindex(const char* fname, llnode* itemlist, const renumopts* opts, renumstats* stats) {
    std::string real;
    const std::string dir = workdir(fname, &real);
    struct stat st;
    if (dir.empty() || stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        (void)fprintf(opts->errs, "%s: '%s' is not a metafile that can be rewritten\n", opts->prog,
                      shown(fname).c_str());
        return RENUMINDEX;
    }
    // Names past in999999.msg would not fit a record's name field.
    if (itemlist->count > 1000000) {
        (void)fprintf(opts->errs,
                      "%s: '%s' lists more than 1000000 messages, whose new names would not fit "
                      "the index\n",
                      opts->prog, shown(fname).c_str());
        return RENUMINDEX;
    }
    // The index's own directory is locked too when it is another one, so
    // that two updates of one index from two directories never meet.
    struct stat pst;
    const std::string up = parent(real);
    const fdguard uplock{open(up.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (uplock.fd >= 0 && fstat(uplock.fd, &pst) == 0 &&
        !(fileid{pst.st_dev, pst.st_ino} == herenow()) &&
        flock(uplock.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        (void)fprintf(opts->errs, "%s: another msgseq run is updating '%s'; nothing done\n",
                      opts->prog, shown(fname).c_str());
        return RENUMBUSY;
    }
    fileid was{};
    std::vector<ino_t> inos;
    const journal found = readjournal(dir, &was, &inos);
    run r;
    if (found == journal::bad) {
        (void)fprintf(opts->errs, "%s: cannot read the journal '%s/journal'\n", opts->prog,
                      shown(dir).c_str());
        return RENUMINDEX;
    }
    if (found == journal::good) {
        if (!startrun(r, fname, itemlist, opts, false, true)) return RENUMFILES;
        if (!(was == r.here) || inos.size() != r.recs.size()) {
            (void)fprintf(opts->errs,
                          "%s: the update of '%s' that was cut short worked in another directory "
                          "or on another index; finish it there\n",
                          opts->prog, shown(fname).c_str());
            return RENUMINDEX;
        }
        if (!findfiles(r, inos)) {
            (void)fprintf(opts->errs,
                          "%s: files in this directory share inode numbers; the update of '%s' "
                          "that was cut short can't be finished safely here\n",
                          opts->prog, shown(fname).c_str());
            return RENUMINDEX;
        }
    } else {
        // A work directory without a journal is from a run cut short before
        // its first rename, or after its last step: nothing to finish.
        if (!opts->dryrun && !clearwork(dir, true)) {
            (void)fprintf(opts->errs,
                          "%s: '%s' holds files that msgseq did not put there; nothing done\n",
                          opts->prog, shown(dir).c_str());
            return RENUMINDEX;
        }
        if (!startrun(r, fname, itemlist, opts, true))
            return r.recs.empty() ? RENUMOK : RENUMFILES;
        refuselinked(r);
    }
    r.verified = true;
    r.update = true;
    if (r.dry) return renumber(r, stats, false);

    if (found == journal::none && (mkdir(dir.c_str(), 0700) != 0 || !writejournal(r, dir))) {
        (void)fprintf(opts->errs, "%s: cannot write the journal '%s/journal': %s\n", opts->prog,
                      shown(dir).c_str(), strerror(errno));
        (void)clearwork(dir, false);
        return RENUMINDEX;
    }
    bool named = true;
    const int rc = renumber(r, stats, true, &named);
    // The renames must be on disk before the index that names them, and the
    // index before the journal goes. The new index is written in the work
    // directory, so that whatever a kill leaves there is known to be this
    // run's, and then renamed over the old one.
    const std::string fresh = dir + "/index";
    unlink(fresh.c_str());
    if (!named || !syncpath(".") || link(real.c_str(), fresh.c_str()) != 0 ||
        wrtmeta(fresh.c_str(), itemlist) != 1 || rename(fresh.c_str(), real.c_str()) != 0 ||
        !syncpath(parent(real))) {
        (void)fprintf(opts->errs,
                      "%s: '%s' is not rewritten; the journal stays, and '%s -u' run again "
                      "finishes the update\n",
                      opts->prog, shown(fname).c_str(), opts->prog);
        return RENUMWRITE;
    }
    if (!clearwork(dir, false) || !syncpath(parent(real))) {
        (void)fprintf(opts->errs,
                      "%s: '%s' is rewritten but its journal stays; '%s -u' run again "
                      "finishes the update\n",
                      opts->prog, shown(fname).c_str(), opts->prog);
        return RENUMWRITE;
    }
    return rc;
}
