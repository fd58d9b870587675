// The bare cost of an mbox's messages as files of their own: the mbox read
// whole, each message (from one "From " line that follows an empty line
// to the next) written to a new file named 1 to M in the working
// directory, nothing synced, nothing parsed. What mailbox_bench.sh sets
// beside import, whose cost above this is its own.
//
//   splitfiles MBOX
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)fputs("usage: splitfiles MBOX\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string_view t = text;
    long n = 0;
    for (size_t at = 0; at < t.size();) {
        size_t next = t.find("\n\nFrom ", at);
        next = next == std::string_view::npos ? t.size() : next + 2;
        char name[24];
        *std::to_chars(name, name + sizeof name - 1, ++n).ptr = '\0';
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, t.data() + at, next - at) != static_cast<ssize_t>(next - at)) return 1;
        close(fd);
        at = next;
    }
    return n > 0 ? 0 : 1;
}
