// Makes a mailbox of n small message files in the working directory, named
// in000.msg, in002.msg, in004.msg, ... and prints its index.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: makebox n\n", stderr);
        return 1;
    }
    const int n = atoi(argv[1]);
    printf("/home/ann/mail\nann@example.org\n");
    char name[32];
    for (int i = 0; i < n; i++) {
        snprintf(name, sizeof name, "in%03d.msg", 2 * i);
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || write(fd, "x\n", 2) != 2 || close(fd) != 0) {
            perror(name);
            return 1;
        }
        printf("%s\nann@example.org\nsender%d@example.org\nSubject %d\n\n\nN\n", name, i, i);
    }
    printf("END\n");
    return 0;
}
