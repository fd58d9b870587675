// Writes a two-record metafile at the path given, loads it with the installed
// library and prints the reader's result, the record count and the owner's
// address: "1 2 ann@example.org" when everything works.
#include <cstdio>

// Every installed header, so that each is known to compile from the
// installed tree alone.
#include "mailbox/datafile.h"
#include "mailbox/dele.h"
#include "mailbox/ll.h"
#include "mailbox/meta.h"

namespace {

constexpr char metafile[] =
    "/home/ann/mail\nann@example.org\n"
    "in000.msg\nann@example.org\nbob@example.org\nLunch\n\n\nR\n"
    "in004.msg\nann@example.org\ncarol@example.org\nMinutes\n\n\nN\n"
    "END\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: consumer metafile\n", stderr);
        return 2;
    }
    FILE* out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    fputs(metafile, out);
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }

    llinit();
    const int rc = readmeta(argv[1], inlist);
    printf("%d %d %s\n", rc, inlist->count, inlist->mydata->myaddr);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    return 0;
}
