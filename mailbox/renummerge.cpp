// The commit of an update: the index as it is when the update ends, with the
// new names written into the records the update renamed and every other
// byte kept. Another program may write to the index meanwhile without a
// lock (a delivery adding a record, a client marking a message read): what
// it wrote stays. The index is worked on as text, split into lines as the
// reader splits them, so that nothing the reader would see differently is
// ever written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/renumrun.h"

namespace {

// A line of the index's text: offset and length, its newline left out.
struct span {
    size_t from = 0, len = 0;
};

// Where each record's name and read flag are in the index's text.
struct splitindex {
    std::vector<span> names, flags;
    size_t end = 0;      // where its "END" line starts
    bool ended = false;  // that line was found
};

// The whole file behind fd, read from its start.
bool readall(int fd, std::string* out) {
    out->clear();
    char buf[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<size_t>(n));
        at += n;
    }
}

// The lines as the reader takes them: up to a newline, or METALINE
// characters of a longer line.
struct lines {
    std::string_view text;
    size_t at = 0;
    // The next line without its newline; false when the text ends first.
    bool next(size_t* from, size_t* len) {
        if (at >= text.size()) return false;
        const size_t nl = text.find('\n', at);
        const size_t end = std::min(nl == std::string_view::npos ? text.size() : nl + 1,
                                    at + static_cast<size_t>(METALINE));
        *from = at;
        *len = end - at - (text[end - 1] == '\n');
        at = end;
        return true;
    }
};

splitindex split(std::string_view text) {
    splitindex s;
    lines ls{text};
    span name, flag;
    if (!ls.next(&name.from, &name.len) || !ls.next(&name.from, &name.len)) return s;
    while (ls.next(&name.from, &name.len)) {
        if (text.substr(name.from, name.len) == "END") {
            s.end = name.from;
            s.ended = true;
            return s;
        }
        int fields = 0;
        while (fields < 6 && ls.next(&flag.from, &flag.len)) fields++;
        // A record not yet whole: a writer is still at it.
        if (fields < 6 || flag.from + flag.len >= text.size()) return s;
        s.names.push_back(name);
        s.flags.push_back(flag);
    }
    return s;
}

// The index's text, read whole while its writer is not halfway through a
// record: retried for about a second.
bool readwhole(int fd, std::string* text, splitindex* s) {
    for (int tries = 0; tries < 100; tries++) {
        if (!readall(fd, text)) return false;
        *s = split(*text);
        if (s->ended) return true;
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    errno = 0;
    return false;
}

// text as the writer writes it (read flags as "R" or "N", nothing after
// "END"), with the first records' names as the update leaves them; false
// (and *bad the record) when a record the update worked on was removed or
// moved.
bool rename(const std::string& text, const splitindex& s, const std::vector<std::string>& was,
            const std::vector<llnode*>& recs, std::string* out, uint32_t* bad) {
    out->clear();
    out->reserve(text.size() + was.size() * 4);
    size_t copied = 0;
    auto put = [&](span at, std::string_view with) {
        out->append(text, copied, at.from - copied);
        out->append(with);
        copied = at.from + at.len;
    };
    for (uint32_t i = 0; i < s.names.size(); i++) {
        const std::string_view name(text.data() + s.names[i].from, s.names[i].len);
        if (i < was.size()) {
            const std::string_view now(recs[i]->datafile);
            if (name != was[i] && name != now) {
                *bad = i;
                return false;
            }
            put(s.names[i], now);
        }
        put(s.flags[i], text[s.flags[i].from] == 'R' && s.flags[i].len ? "R" : "N");
    }
    if (s.names.size() < was.size()) {
        *bad = static_cast<uint32_t>(s.names.size());
        return false;
    }
    put({s.end, text.size() - s.end}, "END\n");
    return true;
}

}  // namespace

renummerged renummerge(const std::string& real, const std::string& tmp,
                       const std::vector<std::string>& was, const std::vector<llnode*>& recs,
                       uint32_t* bad) {
    // Held across each swap: a writer that opened the index before it still
    // writes here, and what it writes is merged into the next one.
    const renumfd held{open(real.c_str(), O_RDONLY | O_CLOEXEC)};
    std::string seen, out, later;
    splitindex s;
    if (held.fd < 0 || !readwhole(held.fd, &seen, &s))
        return errno ? renummerged::failed : renummerged::unplaced;
    for (int round = 0; round < 1000; round++) {
        if (!rename(seen, s, was, recs, &out, bad))
            return round ? renummerged::late : renummerged::unplaced;
        struct stat like;
        if (fstat(held.fd, &like) != 0 ||
            !durwrite(tmp, real, &like, [&out](FILE* f) {
                return fwrite(out.data(), 1, out.size(), f) == out.size();
            }))
            return renummerged::failed;
        if (!readwhole(held.fd, &later, &s)) return renummerged::late;
        if (later == seen) return renummerged::done;
        // The old index grew after the last look: merged again, unless the
        // new one was written to as well, which no merge can place.
        std::string now;
        const renumfd fresh{open(real.c_str(), O_RDONLY | O_CLOEXEC)};
        if (fresh.fd < 0 || !readall(fresh.fd, &now) || now != out) return renummerged::late;
        seen.swap(later);
    }
    return renummerged::late;
}
