// msgseq: renames the message files that a metafile lists, in index order, to
// in000.msg, in001.msg, ... in the working directory and prints how many
// records it loaded. The metafile itself is left as it is.
//
// No rename ever replaces a file. The whole run is planned before the first
// rename, from one listing of the directory: a record whose target name is
// held by the file of a record that moves later has that file set aside under
// a temporary name first; a record whose target is held by anything else is
// refused and its file stays under its listed name. A temporary name is made
// from the listed name, so that a run after an interrupted one finds the file
// again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/meta.h"

namespace {

enum : int { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_LOAD = 2, EXIT_RENAME = 3, EXIT_OUTPUT = 4 };

// Longer than any listed name (12 characters at most), so no listed name can
// be mistaken for a temporary one.
constexpr char tmpprefix[] = ".msgseq-temp-";

struct svhash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using nameset = std::unordered_set<std::string, svhash, std::equal_to<>>;

enum class kind : unsigned char { stay, move, missing, twice, foreign, index };
enum class fate : unsigned char { unknown, visiting, ok, blocked };
constexpr size_t none = SIZE_MAX;

struct job {
    const char* listed;  // the record's message file name
    const char* cur;     // where the file is now: listed, temp or target
    size_t holder;       // the move whose file holds target now, or none
    kind what;
    fate plan;
    char target[20];     // in%03d.msg
    char temp[32];       // where the file waits while its target is still taken
};

// What the directory holds, read once before anything moves.
struct dirlist {
    nameset names;
    nameset temps;  // the temporary names among them, left by an unfinished run
    nameset index;  // names of the metafile itself, should it sit here
};

// Names go into one line of standard error whatever bytes they hold.
std::string shown(std::string_view name) {
    std::string out(name);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    return out;
}

void complain(std::string_view from, std::string_view to, const char* why) {
    (void)fprintf(stderr, "msgseq: cannot move '%s' to '%s': %s\n", shown(from).c_str(),
                  shown(to).c_str(), why);
}

// Renames from to to unless to exists; 0 or the errno of the failure.
int moveto(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without no-replace renames: a hard link is refused just
    // the same when to exists.
    if (link(from, to) != 0) return errno;
    if (unlink(from) != 0) {
        int err = errno;
        unlink(to);
        return err;
    }
    return 0;
}

// The metafile's inodes: the file and, when the path is a link, the link.
struct indexid {
    dev_t dev;
    ino_t ino[2];
};

bool listdir(dirlist& dir, size_t expect, const indexid& index) {
    DIR* d = opendir(".");
    if (!d) return false;
    struct stat here;
    const bool samedev = fstat(dirfd(d), &here) == 0 && here.st_dev == index.dev;
    dir.names.reserve(expect);
    const std::string_view prefix(tmpprefix);
    errno = 0;
    while (const dirent* ent = readdir(d)) {
        std::string_view name(ent->d_name);
        if (name.starts_with(prefix)) dir.temps.emplace(name);
        if (samedev && (ent->d_ino == index.ino[0] || ent->d_ino == index.ino[1]))
            dir.index.emplace(name);
        dir.names.emplace(name);
    }
    const int err = errno;
    closedir(d);
    errno = err;
    return err == 0;
}

// The name a record's file waits under while its target is still taken.
const char* tempname(job& j) {
    (void)snprintf(j.temp, sizeof j.temp, "%s%s", tmpprefix, j.listed);
    return j.temp;
}

bool foreign(std::string_view name) {
    return name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

// One job per record, in index order, each knowing where its file is now.
// byname gets each listed name's first record.
std::vector<job> makejobs(llnode* head, const dirlist& dir,
                          std::unordered_map<std::string_view, size_t>& byname) {
    const int count = head->count > 0 ? head->count : 0;
    // The records by number, found in one walk of the chain.
    std::vector<llnode*> byno(static_cast<size_t>(count) + 1, nullptr);
    for (llnode* rec = head; rec; rec = rec->next)
        if (rec->no >= 1 && rec->no <= count && !byno[rec->no]) byno[rec->no] = rec;

    std::vector<job> jobs(static_cast<size_t>(count));
    byname.reserve(jobs.size());
    for (int i = 0; i < count; i++) {
        job& j = jobs[i];
        j.listed = byno[i + 1] ? byno[i + 1]->datafile : "";
        j.holder = none;
        (void)snprintf(j.target, sizeof j.target, "in%03d.msg", i);
        std::string_view name(j.listed);
        if (foreign(name)) {
            j.what = kind::foreign;
            continue;
        }
        if (dir.index.contains(name)) {
            j.what = kind::index;
            continue;
        }
        if (!byname.emplace(name, i).second) {
            j.what = kind::twice;
            continue;
        }
        if (!dir.temps.empty() && dir.temps.contains(std::string_view(tempname(j))))
            j.cur = j.temp;
        if (!j.cur) {
            if (name.empty() || !dir.names.contains(name)) {
                j.what = kind::missing;
                continue;
            }
            j.cur = j.listed;
        }
        j.what = strcmp(j.cur, j.target) == 0 ? kind::stay : kind::move;
    }
    return jobs;
}

// A move can be made when its target is free, or is held by the file of
// another move that can be made, or by one in a ring of moves. Each target
// has at most one holder, so the holders form chains and rings, each walked
// once.
void plan(std::vector<job>& jobs, const dirlist& dir,
          const std::unordered_map<std::string_view, size_t>& byname) {
    for (job& j : jobs) {
        if (j.what != kind::move) continue;
        std::string_view target(j.target);
        if (!dir.names.contains(target)) continue;
        auto it = byname.find(target);
        if (it != byname.end()) {
            const job& h = jobs[it->second];
            if (h.what == kind::move && h.cur == h.listed) {
                j.holder = it->second;
                continue;
            }
        }
        j.plan = fate::blocked;  // held by a file that stays
    }
    std::vector<size_t> path;
    for (size_t k = 0; k < jobs.size(); k++) {
        if (jobs[k].what != kind::move || jobs[k].plan != fate::unknown) continue;
        fate result = fate::ok;
        path.clear();
        for (size_t j = k; j != none; j = jobs[j].holder) {
            if (jobs[j].plan != fate::unknown) {
                // A move already on this path closes a ring: all of it can go.
                result = jobs[j].plan == fate::visiting ? fate::ok : jobs[j].plan;
                break;
            }
            jobs[j].plan = fate::visiting;
            path.push_back(j);
        }
        for (size_t p : path) jobs[p].plan = result;
    }
}

// A file that waits under its temporary name goes back to its listed name.
void putback(job& j) {
    if (j.cur != j.temp) return;
    if (int err = moveto(j.temp, j.listed)) {
        complain(j.temp, j.listed, strerror(err));
        return;
    }
    j.cur = j.listed;
}

// Moves the file of job j from its listed name to its temporary one.
void setaside(job& j) {
    if (int err = moveto(j.listed, tempname(j)))
        complain(j.listed, j.temp, strerror(err));
    else
        j.cur = j.temp;
}

bool renumber(llnode* head, const indexid& index) {
    dirlist dir;
    if (!listdir(dir, static_cast<size_t>(head->count > 0 ? head->count : 0), index)) {
        (void)fprintf(stderr, "msgseq: cannot read directory '.': %s\n", strerror(errno));
        return head->count <= 0;
    }
    std::unordered_map<std::string_view, size_t> byname;
    std::vector<job> jobs = makejobs(head, dir, byname);
    plan(jobs, dir, byname);

    bool ok = true;
    for (job& j : jobs) {
        switch (j.what) {
        case kind::stay:
            continue;
        case kind::missing:
            complain(j.listed, j.target, strerror(ENOENT));
            break;
        case kind::twice:
            complain(j.listed, j.target, "listed twice in the index");
            break;
        case kind::foreign:
            complain(j.listed, j.target, "not a name in this directory");
            break;
        case kind::index:
            // Renaming it would lose the index that every later run needs.
            complain(j.listed, j.target, "it is the metafile being read");
            break;
        case kind::move:
            if (j.plan == fate::blocked) {
                complain(j.listed, j.target, strerror(EEXIST));
                putback(j);
                break;
            }
            // The target still holds the file of a later move: set it aside.
            if (j.holder != none && jobs[j.holder].cur == jobs[j.holder].listed)
                setaside(jobs[j.holder]);
            if (int err = moveto(j.cur, j.target)) {
                complain(j.cur, j.target, strerror(err));
                putback(j);
                break;
            }
            j.cur = j.target;
            continue;
        }
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)fputs("Usage: msgseq matafile\n", stderr);
        return EXIT_USAGE;
    }
    llinit();
    const bool loaded = readmeta(argv[1], inlist) == 1;
    const int count = inlist->count;
    // A record that names the metafile itself must not move it away.
    indexid index{};
    struct stat st;
    if (lstat(argv[1], &st) == 0) {
        index.dev = st.st_dev;
        index.ino[0] = index.ino[1] = st.st_ino;
        if (S_ISLNK(st.st_mode) && stat(argv[1], &st) == 0 && st.st_dev == index.dev)
            index.ino[1] = st.st_ino;
    }
    const bool renamed = renumber(inlist, index);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;

    printf("%d", count);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        (void)fprintf(stderr, "msgseq: error writing standard output: %s\n", strerror(errno));
        if (loaded && renamed) return EXIT_OUTPUT;
    }
    if (!loaded) return EXIT_LOAD;
    if (!renamed) return EXIT_RENAME;
    return EXIT_OK;
}
