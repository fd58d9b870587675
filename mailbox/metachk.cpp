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
// terminator, never more than METALINE characters, and fewer when the line is
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
const char* const NAMELONG = "message file name longer than 12 characters";
const char* const NAMENUL = "message file name holds a NUL byte";
const char* const CUTREC = "file ends inside a record";
const char* const CRLF = "line ends in a carriage return (CR-LF file?)";
const char* const PATHLONG = "owner's path too long (over 1023 characters)";
const char* const ADDRLONG = "owner's address too long (over 49 characters)";
const char* const HASNUL = "line holds a NUL byte";
const char* const AFTEREND = "text after the END line";
// The header fields in file order; the read flag follows them.
const char* const FIELDLONG[] = {"to longer than 99 characters", "from longer than 99 characters",
                                 "subject longer than 99 characters",
                                 "cc longer than 99 characters", "bcc longer than 99 characters"};
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

// Why a value of keep characters would not be written back as its line: a
// NUL byte ends the string early, a long line is cut. Whichever comes first
// is what the value loses.
const char* cutreason(const lineinfo& li, size_t keep, const char* toolong) {
    if (li.nul != NONE && li.nul < keep) return HASNUL;
    if (li.len > keep) return toolong;
    return nullptr;
}

// Past INT_MAX lines (a file of gigabytes) the number stays at INT_MAX.
int lineof(long long n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

struct checker {
    scanner s;
    bool exact;
    lineinfo li{};
    long long lineno = 0;
    long long crline = 0;    // the first line ending in a carriage return
    metafault first{0, ""};  // the first line that would not be written back

    explicit checker(FILE* fd, bool exactly) : s(fd), exact(exactly) {}

    int read() {
        const int rc = s.next(&li);
        if (rc == 1) {
            ++lineno;
            if (li.cr && crline == 0) crline = lineno;
        }
        return rc;
    }

    void note(const char* why) {
        if (exact && why && first.line == 0) first = {lineof(lineno), why};
    }

    // Loading stops at line at. A carriage return read by then is why, far
    // more often than what the reader tripped on: a CR-LF file's END never
    // ends it.
    metafault stop(long long at, const char* why) const {
        const metafault f = crline ? metafault{lineof(crline), CRLF} : metafault{lineof(at), why};
        return first.line != 0 && first.line < f.line ? first : f;
    }

    metafault failed() const { return {-1, strerror(s.err)}; }

    metafault run() {
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
        if (exact && first.line == 0) {
            if (s.fill()) return {lineof(lineno + 1), AFTEREND};
            if (s.err) return failed();
        }
        return first;
    }
};

}  // namespace

metafault metachk(const char* fname, bool exact) {
    fileptr fd(fopen(fname, "r"));
    if (!fd) return {-1, strerror(errno)};
    (void)setvbuf(fd.get(), nullptr, _IONBF, 0);
    checker c(fd.get(), exact);
    return c.run();
}
