// The bare cost of reading a date from each of N message files named 1 to
// N: each opened as the mailbox tool opens a message it only peeks at (no
// link followed, never blocking), fstat'ed, its first piece read, closed.
// What mailbox_bench.sh sets beside pick --since and sort --by date, whose
// cost above this is their own.
//
//   peekfiles N
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)fputs("usage: peekfiles N\n", stderr);
        return 2;
    }
    const long n = strtol(argv[1], nullptr, 10);
    char buf[8192];
    long read_ok = 0;
    for (long k = 1; k <= n; k++) {
        char name[24];
        *std::to_chars(name, name + sizeof name - 1, k).ptr = '\0';
        const int fd = openat(AT_FDCWD, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read(fd, buf, sizeof buf) > 0) read_ok++;
        close(fd);
    }
    return read_ok == n ? 0 : 1;
}
