// When a message was written (mailbox/date.h).
#include "mailbox/date.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "mailbox/trust.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool isdigit(char c) { return c >= '0' && c <= '9'; }
bool isalpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A word, a run of digits, or one character of punctuation.
// Plain data, left unset in a tokenlist until pushed: a list a date, so
// nothing is cleared that is not used.
struct token {
    enum kind { word, num, punct } k;
    std::string_view text;
    long value;  // num: its value, capped
};

// The tokens of a date, in a fixed array: a date has a dozen or so, and the
// parse never looks past the zone, so those beyond the array's room are of no
// account. Cutting them up allocates nothing, for a pick that reads 100,000.
struct tokenlist {
    static constexpr size_t room = 32;
    token t[room];  // NOLINT(cppcoreguidelines-pro-type-member-init): set as pushed
    size_t n = 0;
    size_t size() const { return n; }
    const token& operator[](size_t i) const { return t[i]; }
    void push_back(const token& tok) {
        if (n < room) t[n++] = tok;
    }
};

// The date's text without its comments, cut into tokens. Line breaks of a
// folded header count as spaces.
void tokens(std::string_view s, tokenlist* out) {
    int depth = 0;
    for (size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (depth > 0) {
            if (c == '\\') i++;
            else if (c == '(') depth++;
            else if (c == ')') depth--;
            i++;
        } else if (c == '(') {
            depth = 1;
            i++;
        } else if (isdigit(c)) {
            size_t j = i;
            long v = 0;
            for (; j < s.size() && isdigit(s[j]); j++)
                if (v < 100000000) v = v * 10 + (s[j] - '0');
            out->push_back({token::num, s.substr(i, j - i), v});
            i = j;
        } else if (isalpha(c)) {
            size_t j = i;
            while (j < s.size() && isalpha(s[j])) j++;
            out->push_back({token::word, s.substr(i, j - i), 0});
            i = j;
        } else {
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                out->push_back({token::punct, s.substr(i, 1), 0});
            i++;
        }
    }
}

bool is(const token& t, std::string_view w) {
    if (t.k != token::word || t.text.size() != w.size()) return false;
    for (size_t i = 0; i < w.size(); i++)
        if (lower(t.text[i]) != w[i]) return false;
    return true;
}

// 1..12 for a month's name (its first three letters, or the whole name), else 0.
int monthof(const token& t) {
    static const char* const names[] = {"january", "february", "march",     "april",
                                        "may",     "june",     "july",      "august",
                                        "september", "october", "november", "december"};
    if (t.k != token::word || t.text.size() < 3) return 0;
    for (int m = 0; m < 12; m++) {
        const std::string_view name = names[m];
        if (t.text.size() > name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < t.text.size() && same; i++) same = lower(t.text[i]) == name[i];
        if (same && (t.text.size() == 3 || t.text.size() == name.size())) return m + 1;
    }
    return 0;
}

bool isweekday(const token& t) {
    static const char* const names[] = {"monday", "tuesday", "wednesday", "thursday",
                                        "friday", "saturday", "sunday"};
    if (t.k != token::word || t.text.size() < 3) return false;
    for (const char* n : names) {
        const std::string_view name = n;
        if (t.text.size() != 3 && t.text.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < t.text.size() && same; i++) same = lower(t.text[i]) == name[i];
        if (same) return true;
    }
    return false;
}

// The zone's offset east of UTC in seconds for a name; zones not known
// (and the military letters, whose sense mailers got backwards) are UTC.
long zonename(const token& t) {
    struct zone {
        const char* name;
        int hours;
    };
    static const zone zones[] = {{"est", -5}, {"edt", -4}, {"cst", -6}, {"cdt", -5},
                                 {"mst", -7}, {"mdt", -6}, {"pst", -8}, {"pdt", -7}};
    for (const zone& z : zones)
        if (is(t, z.name)) return z.hours * 3600L;
    return 0;
}

long fullyear(const token& t) {
    if (t.text.size() == 2) return t.value < 50 ? 2000 + t.value : 1900 + t.value;
    if (t.text.size() == 3) return 1900 + t.value;
    return t.value;
}

struct cursor {
    const tokenlist& t;
    size_t i = 0;
    const token* peek() const { return i < t.size() ? &t[i] : nullptr; }
    bool punct(char c) {
        if (i < t.size() && t[i].k == token::punct && t[i].text[0] == c) {
            i++;
            return true;
        }
        return false;
    }
    const token* num(size_t maxlen) {
        if (i < t.size() && t[i].k == token::num && t[i].text.size() <= maxlen) return &t[i++];
        return nullptr;
    }
};

// HH:MM[:SS], spaces around the colons allowed.
bool timeof(cursor& c, int* h, int* mi, int* s) {
    const token* th = c.num(2);
    if (!th || !c.punct(':')) return false;
    const token* tm = c.num(2);
    if (!tm) return false;
    *h = static_cast<int>(th->value);
    *mi = static_cast<int>(tm->value);
    *s = 0;
    if (c.punct(':')) {
        const token* ts = c.num(2);
        if (!ts) return false;
        *s = static_cast<int>(ts->value);
        if (c.punct('.')) (void)c.num(9);  // a fraction of a second
    }
    return true;
}

// A zone after the time: +HHMM, -HHMM, or a name; none is UTC. false when
// an offset is given but is none.
bool zoneof(cursor& c, long* off) {
    *off = 0;
    const token* t = c.peek();
    if (!t) return true;
    if (t->k == token::punct && (t->text[0] == '+' || t->text[0] == '-')) {
        const long sign = t->text[0] == '-' ? -1 : 1;
        c.i++;
        const token* z = c.num(4);
        if (!z || z->text.size() != 4 || z->value % 100 > 59) return false;
        *off = sign * ((z->value / 100) * 3600 + (z->value % 100) * 60);
        return true;
    }
    if (t->k == token::word && monthof(*t) == 0 && !isweekday(*t)) {
        c.i++;
        *off = zonename(*t);
    }
    return true;
}

bool finish(long y, int m, long d, int h, int mi, int s, long off, int64_t* out) {
    if (y < 1900 || y > 9999 || d < 1 || d > 31) return false;
    int64_t t;
    if (!datecivil(static_cast<int>(y), m, static_cast<int>(d), h, mi, s, &t)) return false;
    *out = t - off;
    return true;
}

}  // namespace

bool datecivil(int y, int m, int d, int h, int mi, int s, int64_t* out) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > days[m - 1] + (m == 2 && leap)) return false;
    // Days from 1970-01-01 of a civil date, in eras of 400 years from March.
    const int64_t yy = y - (m <= 2);
    const int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    const int64_t yoe = yy - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t daynum = era * 146097 + doe - 719468;
    *out = daynum * 86400 + int64_t{h} * 3600 + int64_t{mi} * 60 + s;
    return true;
}

bool dateparse(std::string_view text, int64_t* out) {
    tokenlist t;
    tokens(text, &t);
    cursor c{t};
    if (c.peek() && isweekday(*c.peek())) {
        c.i++;
        (void)c.punct(',');
    }
    const token* first = c.peek();
    if (!first) return false;
    int h = 0, mi = 0, s = 0;
    long off = 0;
    if (first->k == token::num) {
        // 8 Dec 2026 10:00:00 +0100, the parts of the date maybe joined by '-'.
        const token* d = c.num(2);
        if (!d) return false;
        (void)c.punct('-');
        const token* mt = c.peek();
        const int m = mt ? monthof(*mt) : 0;
        if (m == 0) return false;
        c.i++;
        (void)c.punct('-');
        const token* y = c.num(4);
        if (!y || !timeof(c, &h, &mi, &s) || !zoneof(c, &off)) return false;
        return finish(fullyear(*y), m, d->value, h, mi, s, off, out);
    }
    // Dec  8 10:00:00 2026, a zone's name maybe before the year.
    const int m = monthof(*first);
    if (m == 0) return false;
    c.i++;
    const token* d = c.num(2);
    if (!d || !timeof(c, &h, &mi, &s)) return false;
    if (c.peek() && c.peek()->k == token::word) off = zonename(t[c.i++]);
    const token* y = c.num(4);
    if (!y) return false;
    if (c.peek() && !zoneof(c, &off)) return false;
    return finish(fullyear(*y), m, d->value, h, mi, s, off, out);
}

namespace {

// What the start of a message file says of its first Date: header.
enum class scan {
    found,  // the header and the lines folded into it are all read
    none,   // the header block ends without one (or is no header block)
    more,   // what was read ends before either can be told
};

// The line of s that starts at at, its newline and a carriage return before
// it dropped; *next where the next line starts (s.size() at the end).
// false while the line is not whole: s ends inside it and is not all there is.
bool lineat(std::string_view s, size_t at, bool eof, std::string_view* line, size_t* next) {
    const size_t nl = s.find('\n', at);
    if (nl == std::string_view::npos && !eof) return false;
    *line = s.substr(at, (nl == std::string_view::npos ? s.size() : nl) - at);
    *next = nl == std::string_view::npos ? s.size() : nl + 1;
    if (line->ends_with('\r')) line->remove_suffix(1);
    return true;
}

// Looks through the header block at the start of s for its first Date:
// header, stopping there: found with *value its text from after the colon
// to the end of its last folded line (the tokens take the line breaks
// between for spaces), once the next line has begun or the file has ended.
// eof: s is all the file holds, or all of it that is read.
scan datescan(std::string_view s, bool eof, std::string_view* value) {
    std::string_view line;
    size_t at = 0, next = 0;
    if (s.starts_with("From ")) {  // an mbox envelope line
        if (!lineat(s, 0, eof, &line, &next)) return scan::more;
        at = next;
    }
    for (;;) {
        if (at >= s.size()) return eof ? scan::none : scan::more;
        if (!lineat(s, at, eof, &line, &next)) return scan::more;
        if (line.empty()) return scan::none;  // the empty line: the block has ended
        const size_t start = at;
        at = next;
        if (line[0] == ' ' || line[0] == '\t') continue;  // folded into another header
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return scan::none;  // no header: the block has ended
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name.size() != 4 || lower(name[0]) != 'd' || lower(name[1]) != 'a' ||
            lower(name[2]) != 't' || lower(name[3]) != 'e')
            continue;
        size_t end = start + line.size();
        while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) {
            if (!lineat(s, at, eof, &line, &next)) return scan::more;
            end = at + line.size();
            at = next;
        }
        if (at >= s.size() && !eof) return scan::more;  // the next line may be folded in too
        *value = s.substr(start + colon + 1, end - start - colon - 1);
        return scan::found;
    }
}

}  // namespace

int dateofmsg(int atfd, const char* name, int64_t* out) {
    constexpr size_t bound = 1 << 20;
    const int fd = trustpeekmsg(atfd, name);
    if (fd < 0) return -1;
    // The first piece is read onto the stack and is most often enough: the
    // reading stops at the Date: header or the header block's end, and only
    // a longer block is gathered further, up to the bound.
    char first[8192];
    std::string more;
    std::string_view got, value;
    scan found = scan::more;
    for (bool eof = false; found == scan::more;) {
        char* at = first;
        size_t room = sizeof first;
        if (!got.empty()) {
            if (more.empty()) more.assign(got);
            const size_t had = more.size();
            more.resize(had * 2);
            at = more.data() + had;
            room = had;
        }
        const ssize_t n = read(fd, at, room);
        if (n < 0 && errno == EINTR) {
            if (!more.empty()) more.resize(got.size());
            continue;
        }
        if (n < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        if (!more.empty()) more.resize(got.size() + static_cast<size_t>(n));
        got =
            more.empty() ? std::string_view(first, static_cast<size_t>(n)) : std::string_view(more);  // NOLINT(google-readability-casting)
        // A read short of its room reached the end of a regular file.
        eof = static_cast<size_t>(n) < room || got.size() >= bound;
        found = datescan(got.substr(0, std::min(got.size(), bound)), eof, &value);
    }
    close(fd);
    return found == scan::found && dateparse(value, out) ? 0 : 1;
}

bool datearg(std::string_view text, int64_t* out) {
    auto digits = [&](size_t at, size_t n) {
        long v = 0;
        for (size_t i = at; i < at + n; i++) {
            if (i >= text.size() || !isdigit(text[i])) return -1L;
            v = v * 10 + (text[i] - '0');
        }
        return v;
    };
    const long y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
    if (y >= 0 && m >= 0 && d >= 0 && text[4] == '-' && text[7] == '-') {
        long h = 0, mi = 0;
        if (text.size() == 16 && (text[10] == ' ' || text[10] == 'T') && text[13] == ':') {
            h = digits(11, 2);
            mi = digits(14, 2);
        } else if (text.size() != 10) {
            return dateparse(text, out);
        }
        int64_t check;
        if (h < 0 || mi < 0 ||
            !datecivil(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d),
                       static_cast<int>(h), static_cast<int>(mi), 0, &check))
            return false;
        struct tm tm {};
        tm.tm_year = static_cast<int>(y - 1900);
        tm.tm_mon = static_cast<int>(m - 1);
        tm.tm_mday = static_cast<int>(d);
        tm.tm_hour = static_cast<int>(h);
        tm.tm_min = static_cast<int>(mi);
        tm.tm_isdst = -1;
        const time_t t = mktime(&tm);
        if (t == static_cast<time_t>(-1) && check != -1) return false;
        *out = t;
        return true;
    }
    return dateparse(text, out);
}

void dateshow(int64_t t, char* buf, size_t size) {
    const auto tt = static_cast<time_t>(t);
    struct tm tm {};
    if (!localtime_r(&tt, &tm) || strftime(buf, size, "%Y-%m-%d %H:%M", &tm) == 0)
        (void)snprintf(buf, size, "-");
}
