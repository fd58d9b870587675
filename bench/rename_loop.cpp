// The yardstick for msgseq: the bare renames it has to make on a mailbox of n
// files numbered in000.msg, in002.msg, in004.msg, ... and nothing else.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: rename_loop n\n", stderr);
        return 1;
    }
    const int n = atoi(argv[1]);
    char from[32], to[32];
    for (int i = 1; i < n; i++) {
        snprintf(from, sizeof from, "in%03d.msg", 2 * i);
        snprintf(to, sizeof to, "in%03d.msg", i);
        if (rename(from, to) != 0) {
            perror(from);
            return 1;
        }
    }
    return 0;
}
