// The mailboxes the msgseq benchmark renumbers, named as boxnames.h says, all
// in the working directory:
//   makebox [--mh] n               makes the n message files, each "x\n", and
//                                  prints the mailbox's index (nothing for MH)
//   makebox [--mh] --link DIR n    a fresh copy of DIR's files: hard links,
//                                  made in record order
//   makebox [--mh] --check DIR n   checks a renumbered copy: record k's file
//                                  (the same inode as DIR's) under its new
//                                  name, and nothing else in the directory
// A timed run starts from a copy made with --link; renaming a link costs what
// renaming the file does, and n links come far quicker than n new files.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "boxnames.h"

namespace {

int usage() {
    (void)fprintf(stderr, "usage: makebox [--mh] [--link DIR | --check DIR] n   (n at most %ld)\n",
                  BENCHMAXN);
    return 1;
}

int make(benchscheme s, long n) {
    if (s == benchscheme::mailbox) printf("/home/ann/mail\nann@example.org\n");
    char name[32];
    for (long k = 0; k < n; k++) {
        if (!benchold(s, name, sizeof name, k)) return 1;
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || write(fd, "x\n", 2) != 2 || close(fd) != 0) {
            perror(name);
            return 1;
        }
        if (s == benchscheme::mailbox)
            printf("%s\nann@example.org\nsender%ld@example.org\nSubject %ld\n\n\nN\n", name, k, k);
    }
    if (s == benchscheme::mailbox) printf("END\n");
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

int copy(benchscheme s, const std::string& from, long n) {
    char name[32];
    for (long k = 0; k < n; k++) {
        if (!benchold(s, name, sizeof name, k)) return 1;
        const std::string path = from + '/' + name;
        if (link(path.c_str(), name) != 0) {
            perror(name);
            return 1;
        }
    }
    return 0;
}

using dirhandle = std::unique_ptr<DIR, int (*)(DIR*)>;

// Calls each(name, inode) for every entry of directory path but "." and
// "..", in the order readdir gives; false after a message when the directory
// cannot be read or each returns false.
template <typename F>
bool eachentry(const char* path, F each) {
    const dirhandle d(opendir(path), closedir);
    if (!d) {
        perror(path);
        return false;
    }
    errno = 0;
    while (const dirent* ent = readdir(d.get())) {
        const std::string_view name(ent->d_name);
        if (name == "." || name == "..") continue;
        if (!each(name, ent->d_ino)) return false;
    }
    if (errno != 0) {
        perror(path);
        return false;
    }
    return true;
}

// One pass over each directory: a name lookup per entry is far cheaper than
// a path lookup per record in directories of a million files.
int check(benchscheme s, const std::string& from, long n) {
    std::unordered_map<std::string, long> byold;
    std::unordered_map<std::string, long> bynew;
    byold.reserve(static_cast<size_t>(n));
    bynew.reserve(static_cast<size_t>(n));
    char name[32];
    for (long k = 0; k < n; k++) {
        if (!benchold(s, name, sizeof name, k)) return 1;
        byold.emplace(name, k);
        if (!benchnew(s, name, sizeof name, k)) return 1;
        bynew.emplace(name, k);
    }
    std::vector<ino_t> inode(static_cast<size_t>(n), 0);
    const bool mastered = eachentry(from.c_str(), [&](std::string_view entry, ino_t ino) {
        auto it = byold.find(std::string(entry));
        if (it != byold.end()) inode[static_cast<size_t>(it->second)] = ino;
        return true;
    });
    if (!mastered) return 1;

    std::vector<bool> seen(static_cast<size_t>(n), false);
    long count = 0;
    const bool checked = eachentry(".", [&](std::string_view entry, ino_t ino) {
        // nmh may keep its dot files in a folder.
        if (s == benchscheme::mh && entry.starts_with('.')) return true;
        auto it = bynew.find(std::string(entry));
        if (it == bynew.end()) {
            (void)fprintf(stderr, "makebox: %.*s is no record's new name\n",
                          static_cast<int>(entry.size()), entry.data());
            return false;
        }
        const auto k = static_cast<size_t>(it->second);
        if (inode[k] != ino) {
            (void)fprintf(stderr, "makebox: record %zu: %.*s holds another record's file\n", k,
                          static_cast<int>(entry.size()), entry.data());
            return false;
        }
        seen[k] = true;
        count++;
        return true;
    });
    if (!checked) return 1;
    if (count == n) return 0;
    // Every name here is some record's own; so some record has none.
    for (long k = 0; k < n; k++) {
        if (seen[static_cast<size_t>(k)]) continue;
        char oldname[32];
        if (!benchold(s, oldname, sizeof oldname, k) || !benchnew(s, name, sizeof name, k))
            return 1;
        (void)fprintf(stderr, "makebox: record %ld: %s not renamed to %s\n", k, oldname, name);
        break;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    benchscheme s = benchscheme::mailbox;
    enum { makes, links, checks } what = makes;
    std::string from;
    int i = 1;
    for (; i < argc - 1; i++) {
        if (strcmp(argv[i], "--mh") == 0) {
            s = benchscheme::mh;
        } else if (i + 1 < argc - 1 &&
                   (strcmp(argv[i], "--link") == 0 || strcmp(argv[i], "--check") == 0)) {
            what = strcmp(argv[i], "--link") == 0 ? links : checks;
            from = argv[++i];
        } else {
            return usage();
        }
    }
    if (i != argc - 1) return usage();
    char* end = nullptr;
    const long n = strtol(argv[i], &end, 10);
    if (end == argv[i] || *end || n < 0 || n > BENCHMAXN) return usage();
    switch (what) {
    case makes:
        return make(s, n);
    case links:
        return copy(s, from, n);
    case checks:
        return check(s, from, n);
    }
    return 1;
}
