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
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

int check(benchscheme s, const std::string& from, long n) {
    char oldname[32];
    char newname[32];
    struct stat was;
    struct stat now;
    for (long k = 0; k < n; k++) {
        if (!benchold(s, oldname, sizeof oldname, k) || !benchnew(s, newname, sizeof newname, k))
            return 1;
        const std::string path = from + '/' + oldname;
        if (stat(path.c_str(), &was) != 0 || stat(newname, &now) != 0) {
            (void)fprintf(stderr, "makebox: record %ld: %s not renamed to %s\n", k, oldname,
                          newname);
            return 1;
        }
        if (was.st_dev != now.st_dev || was.st_ino != now.st_ino) {
            (void)fprintf(stderr, "makebox: record %ld: %s holds another file than %s\n", k,
                          newname, oldname);
            return 1;
        }
    }
    // Every record has its file; anything more was left behind or made up.
    // nmh may keep its dot files in a folder.
    DIR* d = opendir(".");
    if (!d) {
        perror(".");
        return 1;
    }
    long count = 0;
    while (const dirent* ent = readdir(d)) {
        const char* name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (s == benchscheme::mh && name[0] == '.') continue;
        count++;
    }
    closedir(d);
    if (count != n) {
        (void)fprintf(stderr, "makebox: %ld files where %ld records are\n", count, n);
        return 1;
    }
    return 0;
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
