#include "mailbox/metachk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "mailbox/ll.h"
#include "mailbox/meta.h"

namespace {

struct fcloser {
    void operator()(FILE* f) const { (void)fclose(f); }  // only ever read
};
using fileptr = std::unique_ptr<FILE, fcloser>;

constexpr size_t NONE = static_cast<size_t>(-1);

// How much of each line the reader keeps: its field's size less the
// terminator, never more than METALINE bytes, and fewer when the line is
// UTF-8 and the cut would split a character. Either way a line longer than
// this loses something and one no longer keeps every byte, so the checks
// count bytes. The wordings below carry these numbers, so a change to a field
// must show here.
constexpr size_t NAMEMAX = sizeof(llnode::datafile) - 1;
constexpr size_t PATHMAX = std::min<size_t>(METALINE, sizeof(ownerdata::mypath) - 1);
constexpr size_t ADDRMAX = std::min<size_t>(METALINE, sizeof(ownerdata::myaddr) - 1);
constexpr size_t FIELDMAX = std::min<size_t>(METALINE, sizeof(llnode::to) - 1);
static_assert(NAMEMAX == 12 && PATHMAX == 1023 && ADDRMAX == 49 && FIELDMAX == 99);
static_assert(sizeof(llnode::from) == sizeof(llnode::to) &&
              sizeof(llnode::subject) == sizeof(llnode::to) &&
              sizeof(llnode::cc) == sizeof(llnode::to) &&
              sizeof(llnode::bcc) == sizeof(llnode::to));

const char* const EMPTY = "file is empty";
const char* const NOADDR = "file ends after the owner's path";
const char* const NOEND = "file ends before the END line";
const char* const NAMELONG = "message file name longer than 12 bytes";
const char* const NAMENUL = "message file name holds a NUL byte";
const char* const CUTREC = "file ends inside a record";
const char* const CRLF = METACRLF;
const char* const PATHLONG = "owner's path too long (over 1023 bytes)";
const char* const ADDRLONG = "owner's address too long (over 49 bytes)";
const char* const HASNUL = "line holds a NUL byte";
const char* const AFTEREND = "text after the END line";
// The header fields in file order; the read flag follows them.
const char* const FIELDLONG[] = {"to longer than 99 bytes", "from longer than 99 bytes",
                                 "subject longer than 99 bytes", "cc longer than 99 bytes",
                                 "bcc longer than 99 bytes"};
constexpr int NFIELDS = sizeof FIELDLONG / sizeof FIELDLONG[0];

// What the checks need of one line, gathered as it passes: no line is ever
// held whole, so a line of any length costs nothing but the time to read it.
struct lineinfo {
    size_t len;              // every byte but the newline
    size_t nul;              // where the first NUL byte is, or NONE
    bool cr;                 // the last byte is a carriage return
    char head[NAMEMAX + 1];  // the first bytes: enough to tell a name, or END
};

// Reads the file in blocks into a buffer of its own, the stream's own
// buffering switched off so that the bytes are copied once.
struct scanner {
    FILE* fd;
    size_t pos = 0;
    size_t end = 0;
    int err = 0;  // errno of a failed read; the reader would take it for the end
    char buf[16384];

    // Only bytes below end are ever looked at: buf needs no clearing.
    // cppcheck-suppress uninitMemberVar
    explicit scanner(FILE* f) : fd(f) {}

    // Bytes waiting in buf; false at the end of the file or after an error.
    bool fill() {
        if (pos < end) return true;
        pos = end = 0;
        const size_t n = fread(buf, 1, sizeof buf, fd);
        if (n == 0) {
            if (ferror(fd)) err = errno ? errno : EIO;
            return false;
        }
        end = n;
        return true;
    }

    // 1 with the next line in *li; 0 at the end of the file, where readline
    // would find nothing; -1 after a read error.
    int next(lineinfo* li) {
        li->len = 0;
        li->nul = NONE;
        li->cr = false;
        for (;;) {
            if (!fill()) return err ? -1 : li->len > 0 ? 1 : 0;
            const char* p = buf + pos;
            const size_t avail = end - pos;
            const auto* nl = static_cast<const char*>(memchr(p, '\n', avail));
            const size_t seg = nl ? static_cast<size_t>(nl - p) : avail;
            if (seg > 0) {
                if (li->nul == NONE) {
                    const auto* z = static_cast<const char*>(memchr(p, '\0', seg));
                    if (z) li->nul = li->len + static_cast<size_t>(z - p);
                }
                if (li->len < sizeof li->head)
                    memcpy(li->head + li->len, p, std::min(seg, sizeof li->head - li->len));
                li->cr = p[seg - 1] == '\r';
                li->len += seg;
            }
            pos += seg;
            if (nl) {
                ++pos;
                return 1;
            }
        }
    }
};

// Why a value of keep bytes would not be written back as its line: a
// NUL byte ends the string early, a long line is cut. Whichever comes first
// is what the value loses.
const char* cutreason(const lineinfo& li, size_t keep, const char* toolong) {
    if (li.nul != NONE && li.nul < keep) return HASNUL;
    if (li.len > keep) return toolong;
    return nullptr;
}

// Past INT_MAX lines (a file of gigabytes) the number stays at INT_MAX.
int lineof(long long n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// Where the faults go: the first max of them in line order, one for each
// line, and how many there are in all.
struct sink {
    metafault* out;
    int max;
    int stored = 0;
    int total = 0;

    // A fault on a line after every one kept so far.
    void add(metafault f) {
        if (stored < max) out[stored++] = f;
        if (total < INT_MAX) total++;
    }

    // A fault wherever it falls; one already on its line gives way to it,
    // when that one is kept (then ontaken) or was counted (ontaken too).
    void place(metafault f, bool ontaken) {
        int at = 0;
        while (at < stored && out[at].line < f.line) at++;
        if (at < stored && out[at].line == f.line) {
            out[at] = f;
            return;
        }
        if (!ontaken && total < INT_MAX) total++;
        if (at >= max) return;
        if (stored < max) stored++;
        for (int k = stored - 1; k > at; k--) out[k] = out[k - 1];
        out[at] = f;
    }
};

struct checker {
    scanner s;
    bool exact;
    sink& got;
    lineinfo li{};
    long long lineno = 0;
    long long crline = 0;  // the first line ending in a carriage return
    bool crnoted = false;  // and that line would not be written back either

    checker(FILE* fd, bool exactly, sink& faults) : s(fd), exact(exactly), got(faults) {}

    int read() {
        const int rc = s.next(&li);
        if (rc == 1) {
            ++lineno;
            if (li.cr && crline == 0) crline = lineno;
        }
        return rc;
    }

    void note(const char* why) {
        if (!exact || !why) return;
        got.add({lineof(lineno), why});
        if (lineno == crline) crnoted = true;
    }

    // Loading stops at line at. A carriage return read by then is why, far
    // more often than what the reader tripped on: a CR-LF file's END never
    // ends it. On its line, the carriage return is named rather than what
    // else that line would lose.
    void stop(long long at, const char* why) {
        if (crline)
            got.place({lineof(crline), CRLF}, crnoted);
        else
            got.place({lineof(at), why}, false);
    }

    // A read error ends the check: it is the one thing said.
    void failed() {
        got.stored = got.total = 0;
        got.add({-1, strerror(s.err)});
    }

    void run() {
        int rc = read();
        if (rc < 0) return failed();
        if (rc == 0) return stop(1, EMPTY);
        note(cutreason(li, PATHMAX, PATHLONG));
        if ((rc = read()) < 0) return failed();
        if (rc == 0) return stop(2, NOADDR);
        note(cutreason(li, ADDRMAX, ADDRLONG));
        for (;;) {
            if ((rc = read()) < 0) return failed();
            if (rc == 0) return stop(lineno + 1, NOEND);
            // A name is refused rather than cut: cut, it would name another file.
            if (li.len > NAMEMAX) return stop(lineno, NAMELONG);
            if (li.nul != NONE) return stop(lineno, NAMENUL);
            if (std::string_view(li.head, li.len) == "END") break;
            for (int f = 0; f <= NFIELDS; f++) {
                if ((rc = read()) < 0) return failed();
                if (rc == 0) return stop(lineno + 1, CUTREC);
                // The read flag is written back as "R" or "N" whatever it held.
                if (f < NFIELDS) note(cutreason(li, FIELDMAX, FIELDLONG[f]));
            }
        }
        // Loaded whole. The writer stops at END, so anything after it is lost.
        if (exact) {
            if (s.fill()) return got.add({lineof(lineno + 1), AFTEREND});
            if (s.err) return failed();
        }
    }
};

}  // namespace

int metachkall(const char* fname, bool exact, metafault* faults, int max) {
    sink got{faults, max > 0 ? max : 0};
    fileptr fd(fopen(fname, "r"));
    if (!fd) {
        got.add({-1, strerror(errno)});
        return got.total;
    }
    (void)setvbuf(fd.get(), nullptr, _IONBF, 0);
    checker c(fd.get(), exact, got);
    c.run();
    return got.total;
}

metafault metachk(const char* fname, bool exact) {
    metafault f{0, ""};
    return metachkall(fname, exact, &f, 1) > 0 ? f : metafault{0, ""};
}
