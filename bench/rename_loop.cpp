// The yardstick for a renumbering: the bare rename calls it has to make and
// nothing else. Record k's file goes from its old name to its new one (see
// boxnames.h), k = 1, 2, ... in order, in the working directory; record 0's
// file already has its new name. Each target is free by the time it is
// reached: the file that held it has moved on earlier in the loop.
//   rename_loop [--mh] n
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boxnames.h"

int main(int argc, char** argv) {
    const bool mh = argc == 3 && strcmp(argv[1], "--mh") == 0;
    char* end = nullptr;
    const long n = argc >= 2 ? strtol(argv[argc - 1], &end, 10) : -1;
    if ((argc != 2 && !mh) || end == argv[argc - 1] || *end || n < 0 || n > BENCHMAXN) {
        (void)fprintf(stderr, "usage: rename_loop [--mh] n   (n at most %ld)\n", BENCHMAXN);
        return 1;
    }
    const benchscheme s = mh ? benchscheme::mh : benchscheme::mailbox;
    char from[32];
    char to[32];
    for (long k = 1; k < n; k++) {
        if (!benchold(s, from, sizeof from, k) || !benchnew(s, to, sizeof to, k)) return 1;
        if (rename(from, to) != 0) {
            perror(from);
            return 1;
        }
    }
    return 0;
}
