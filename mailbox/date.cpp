// When a message was written (mailbox/date.h).
#include "mailbox/date.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "mailbox/trust.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool isdigit(char c) { return c >= '0' && c <= '9'; }
bool isalpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A word, a run of digits, or one character of punctuation.
struct token {
    enum kind { word, num, punct } k;
    std::string_view text;
    long value = 0;  // num: its value, capped
};

// The date's text without its comments, cut into tokens.
std::vector<token> tokens(std::string_view s) {
    std::vector<token> out;
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
            out.push_back({token::num, s.substr(i, j - i), v});
            i = j;
        } else if (isalpha(c)) {
            size_t j = i;
            while (j < s.size() && isalpha(s[j])) j++;
            out.push_back({token::word, s.substr(i, j - i)});
            i = j;
        } else {
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                out.push_back({token::punct, s.substr(i, 1)});
            i++;
        }
    }
    return out;
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
    const std::vector<token>& t;
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
    const std::vector<token> t = tokens(text);
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

// The value of the first Date: header of a header block, its folded lines
// joined; false when there is none.
bool datevalue(std::string_view block, std::string* out) {
    bool first = true, in = false;
    for (size_t at = 0; at < block.size();) {
        size_t nl = block.find('\n', at);
        if (nl == std::string_view::npos) nl = block.size();
        std::string_view line = block.substr(at, nl - at);
        at = nl + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (first && line.starts_with("From ")) {  // an mbox envelope line
            first = false;
            continue;
        }
        first = false;
        if (line.empty()) break;
        if (line[0] == ' ' || line[0] == '\t') {
            if (in) *out += line;
            continue;
        }
        if (in) return true;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) break;  // no header: the block has ended
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name.size() == 4 && lower(name[0]) == 'd' && lower(name[1]) == 'a' &&
            lower(name[2]) == 't' && lower(name[3]) == 'e') {
            in = true;
            out->assign(line.substr(colon + 1));
        }
    }
    return in;
}

// Where the header block of what was read ends: just past its empty line,
// or npos while it has not ended.
size_t blockend(std::string_view s) {
    if (s.starts_with("\n") || s.starts_with("\r\n")) return 0;
    for (size_t at = s.find('\n'); at != std::string_view::npos; at = s.find('\n', at + 1)) {
        const std::string_view rest = s.substr(at + 1);
        if (rest.starts_with("\n") || rest.starts_with("\r\n")) return at + 1;
    }
    return std::string_view::npos;
}

}  // namespace

int dateofmsg(int atfd, const char* name, int64_t* out) {
    constexpr size_t bound = 1 << 20;
    const int fd = trustpeekmsg(atfd, name);
    if (fd < 0) return -1;
    // Most header blocks fit the first read, made on the stack; a longer
    // one is gathered up to the bound.
    char first[16384];
    std::string more;
    std::string_view got;
    size_t end = std::string::npos;
    for (bool eof = false; !eof && got.size() < bound;) {
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
        end = blockend(got);
        // A read short of its room reached the end of a regular file.
        eof = static_cast<size_t>(n) < room || end != std::string::npos;
    }
    close(fd);
    if (got.size() > bound) got = got.substr(0, bound);
    std::string value;
    return datevalue(got.substr(0, std::min(end, got.size())), &value) && dateparse(value, out) ? 0
                                                                                                 : 1;
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
