// Runs one program for the msgseq benchmark and says what that run cost:
//   benchrun DIR PROGRAM [ARG ...]
// runs PROGRAM in DIR with standard input and output on /dev/null and prints
// one line, "cpu_us wall_us maxrss_kb": the CPU time of that child alone,
// user and system, and its peak resident set, both from wait4, and the wall
// time from fork to reaping. A program that fails, or cannot be started, is
// reported on standard error and benchrun exits 1: a failed run has no time.
//   benchrun --record-heap
// prints what one list record costs from the heap, in bytes: the chunk that
// holds an llnode, its size word included.
//
// The child is forked from this small process on purpose: its peak resident
// set starts from what it shares with this one before exec, and the same for
// every program measured, so differences between programs are their own.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "mailbox/ll.h"

namespace {

long long micros(const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; }

long long micros(const timespec& t) { return t.tv_sec * 1000000LL + t.tv_nsec / 1000; }

int recordheap() {
    void* rec = calloc(1, sizeof(llnode));
    if (!rec) return 1;
    // glibc keeps one size word in front of each chunk it hands out.
    const size_t chunk = malloc_usable_size(rec) + sizeof(size_t);
    free(rec);
    printf("%zu\n", chunk);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--record-heap") == 0) return recordheap();
    if (argc < 3) {
        (void)fputs("usage: benchrun DIR PROGRAM [ARG ...]\n       benchrun --record-heap\n",
                    stderr);
        return 1;
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        perror("/dev/null");
        return 1;
    }
    (void)fflush(stdout);

    timespec start{};
    timespec stop{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        close(null);
        return 1;
    }
    if (pid == 0) {
        if (chdir(argv[1]) != 0) {
            (void)fprintf(stderr, "benchrun: %s: %s\n", argv[1], strerror(errno));
            _exit(126);
        }
        if (dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(126);
        execvp(argv[2], argv + 2);
        (void)fprintf(stderr, "benchrun: %s: %s\n", argv[2], strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage use{};
    pid_t got = 0;
    while ((got = wait4(pid, &status, 0, &use)) < 0 && errno == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &stop);
    close(null);
    if (got != pid) {
        perror("wait4");
        return 1;
    }
    if (WIFSIGNALED(status)) {
        (void)fprintf(stderr, "benchrun: %s killed by signal %d\n", argv[2], WTERMSIG(status));
        return 1;
    }
    if (WEXITSTATUS(status) != 0) {
        (void)fprintf(stderr, "benchrun: %s exited with status %d\n", argv[2], WEXITSTATUS(status));
        return 1;
    }
    printf("%lld %lld %ld\n", micros(use.ru_utime) + micros(use.ru_stime),
           micros(stop) - micros(start), use.ru_maxrss);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
