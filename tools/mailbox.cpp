// mailbox: the index of a mailbox from the shell: list it, check it against
// the directory, delete messages, mend it, make it again.
#include <cstdio>

int main() {
    (void)fputs("Usage: mailbox COMMAND METAFILE\n", stderr);
    return 1;
}
