// libFuzzer entry: every input is one round of fuzz_one, and a failed check
// is a crash, so that libFuzzer keeps the input that caused it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_one.h"

// The views print whole lists on every round; libFuzzer's own report goes to
// standard error, so standard output is sent to /dev/null once, here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        perror("metafile_fuzz: /dev/null");
        abort();
    }
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzz_one(data, size) != 0) abort();
    return 0;
}
