// mbox files read and written (headers/mbox.h).
#include "headers/mbox.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool isfrom(std::string_view line) { return line.starts_with("From "); }

// ">From ", ">>From ", ...: a quoted "From " line.
bool quoted(std::string_view line) {
    size_t k = 0;
    while (k < line.size() && line[k] == '>') k++;
    return k > 0 && line.substr(k).starts_with("From ");
}

// The words of line after from, split at spaces and tabs, the line end off.
std::vector<std::string_view> words(std::string_view line, size_t from) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::vector<std::string_view> out;
    for (size_t at = from; at < line.size();) {
        const size_t end = std::min(line.find_first_of(" \t", at), line.size());
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

bool digits(std::string_view w, size_t lo, size_t hi) {
    if (w.size() < lo || w.size() > hi) return false;
    for (const char c : w)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool oneof(std::string_view w, const char* const* names) {
    for (; *names; names++)
        if (strncasecmp(w.data(), *names, 3) == 0 && w.size() == 3) return true;
    return false;
}

// hh:mm or hh:mm:ss.
bool clock(std::string_view w) {
    const size_t c = w.find(':');
    if (c == std::string_view::npos || !digits(w.substr(0, c), 1, 2)) return false;
    const std::string_view rest = w.substr(c + 1);
    const size_t c2 = rest.find(':');
    return c2 == std::string_view::npos ? digits(rest, 2, 2)
                                        : digits(rest.substr(0, c2), 2, 2) && digits(rest.substr(c2 + 1), 2, 2);
}

// Where the sender's address after "From " ends: at the first space or
// tab, past a quoted local part ("Ann Lee"@example.org, a backslash
// quoting the next byte in it) as a whole; npos when the quote is not
// closed on the line.
size_t senderend(std::string_view line) {
    size_t at = 5;
    if (at < line.size() && line[at] == '"')
        for (at++;; at++) {
            if (at >= line.size() || line[at] == '\n') return std::string_view::npos;
            if (line[at] == '\\') at++;
            else if (line[at] == '"') break;
        }
    return std::min(line.find_first_of(" \t", at), line.size());
}

// A separator as mbox writers write one: "From ", the sender's address as
// one word, then the date: a day of the week, and after it a month's name,
// a time and a four-digit year ("Thu Jan  1 00:00:00 1970", with a zone or
// more after it as some write). A body line that starts "From " and says
// anything else ("From here on, ...") is the body's.
bool separator(std::string_view line) {
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", nullptr};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
                                         "Aug", "Sep", "Oct", "Nov", "Dec", nullptr};
    if (!line.starts_with("From ") || line.size() < 6 || line[5] == ' ' || line[5] == '\t')
        return false;
    const size_t sender = senderend(line);
    if (sender == std::string_view::npos) return false;
    const std::vector<std::string_view> w = words(line, sender);
    if (w.size() < 4) return false;
    std::string_view day = w[0];
    if (day.ends_with(',')) day.remove_suffix(1);
    if (!oneof(day, days)) return false;
    bool month = false, time = false, year = false;
    for (size_t k = 1; k < w.size(); k++) {
        month = month || oneof(w[k], months);
        time = time || clock(w[k]);
        year = year || digits(w[k], 4, 4);
    }
    return month && time && year;
}

// The line of text at *at (its line feed included), *at moved past it.
std::string_view nextline(std::string_view text, size_t* at) {
    const size_t nl = text.find('\n', *at);
    const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    const std::string_view line = text.substr(*at, end - *at);
    *at = end;
    return line;
}

bool blank(std::string_view line) { return line == "\n" || line == "\r\n"; }

// The message's bytes, its separating line end taken off and its quoted
// "From " lines given back.
std::string unquote(std::string_view body, bool crlf) {
    if (body.ends_with('\n')) body.remove_suffix(1);
    if (crlf && body.ends_with('\r')) body.remove_suffix(1);
    std::string out;
    out.reserve(body.size());
    for (size_t at = 0; at < body.size();) {
        const std::string_view line = nextline(body, &at);
        out.append(quoted(line) ? line.substr(1) : line);
    }
    return out;
}

// Where a message that says its body's length ends: some writers quote no
// "From " line in a body and write "Content-Length: N" in each header block
// instead, so a forwarded message's dated "From " line in a body is only
// the body's by that count. The count is believed only when it holds
// together: the first such header, digits alone, and the N bytes after the
// header block's empty line followed by the file's end, or by the one line
// end a separator takes and the separator itself. Any other (a count off by
// a byte, lying, landing mid-line) is no evidence at all, and the message is
// split at separators as any other is, so that a bad count can neither cut
// a message nor swallow the next. On true, *end is where the message ends
// and *next where the next separator line starts (or the file's end). With
// more (text may go on past its end), *wait is set, and false returned,
// when the answer lies in bytes past the end.
bool counted(std::string_view text, size_t start, bool crlf, bool more, size_t* end, size_t* next,
             bool* wait) {
    std::string_view value;
    bool seen = false, folded = false;
    size_t at = start, body = std::string_view::npos;
    *wait = false;
    while (at < text.size()) {
        const std::string_view line = nextline(text, &at);
        if (blank(line)) {
            body = at;
            break;
        }
        if (separator(line)) return false;
        if (seen && value.data() + value.size() == line.data())
            folded = line.starts_with(' ') || line.starts_with('\t');
        if (!seen && line.size() >= 15 && strncasecmp(line.data(), "Content-Length:", 15) == 0) {
            seen = true;
            value = line.substr(15);
        }
    }
    if (more && body == std::string_view::npos) {
        *wait = true;
        return false;
    }
    if (!seen || folded || body == std::string_view::npos) return false;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.remove_suffix(1);
    const size_t b = value.find_first_not_of(" \t"), e = value.find_last_not_of(" \t");
    if (b == std::string_view::npos) return false;
    size_t n = 0;
    for (const char c : value.substr(b, e + 1 - b)) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
        n = n * 10 + static_cast<size_t>(c - '0');
        if (n > text.size() - body) {
            *wait = more;
            return false;
        }
    }
    // The line after the count's line end is whole before it is judged.
    if (more && text.find('\n', body + n + (crlf ? 2 : 1)) == std::string_view::npos) {
        *wait = true;
        return false;
    }
    const std::string_view after = text.substr(body + n), eol = crlf ? "\r\n" : "\n";
    size_t sep = body + n + (after.empty() ? 0 : eol.size());
    if (!after.empty() && after != eol) {
        size_t past = sep;
        if (!after.starts_with(eol) || !separator(nextline(text, &past))) return false;
    }
    *end = body + n;
    *next = sep;
    return true;
}

}  // namespace

bool mboxis(std::string_view text) { return text.empty() || isfrom(text); }

size_t mboxpart(std::string_view text, bool more, const std::function<bool(std::string&&)>& each,
                bool* stopped) {
    *stopped = false;
    size_t at = 0;
    if (more && text.size() < 5) return 0;
    if (!isfrom(text)) return text.size();
    std::string_view sep = nextline(text, &at);
    if (more && !sep.ends_with('\n')) return 0;
    auto give = [&](std::string&& msg) { return !(*stopped = !each(std::move(msg))); };
    for (size_t from = 0;; from = at - sep.size()) {
        const bool crlf = sep.ends_with("\r\n");
        const size_t start = at;
        size_t end = 0;
        bool wait = false;
        if (counted(text, start, crlf, more, &end, &at, &wait)) {
            // Taken as it lies: a writer that counts does not quote, so a
            // ">From " line in the count is the message's own text.
            if (!give(std::string(text.substr(start, end - start))) || at == text.size()) return at;
            sep = nextline(text, &at);
            continue;
        }
        if (wait) return from;
        for (at = start;;) {
            if (at == text.size()) {
                if (more) return from;
                (void)give(unquote(text.substr(start), crlf));
                return at;
            }
            const size_t here = at;
            const std::string_view line = nextline(text, &at);
            if (more && !line.ends_with('\n')) return from;
            if (separator(line)) {
                if (!give(unquote(text.substr(start, here - start), crlf))) return here;
                sep = line;
                break;
            }
        }
    }
}

void mboxeach(std::string_view text, const std::function<bool(std::string&&)>& each) {
    bool stopped = false;
    (void)mboxpart(text, false, each, &stopped);
}

std::string mboxsender(std::string_view from) {
    const size_t lt = from.find('<');
    const size_t gt = lt == std::string_view::npos ? lt : from.find('>', lt);
    std::string_view addr;
    if (gt != std::string_view::npos && gt > lt + 1) {
        addr = from.substr(lt + 1, gt - lt - 1);
    } else if (const size_t b = from.find_first_not_of(' '); b != std::string_view::npos) {
        // The first word, a quoted local part ("Ann Lee"@example.org) whole.
        size_t e = b;
        for (bool quoted = false; e < from.size(); e++) {
            if (quoted && from[e] == '\\') e++;
            else if (from[e] == '"') quoted = !quoted;
            else if (!quoted && from[e] == ' ') break;
        }
        addr = from.substr(b, std::min(e, from.size()) - b);
    }
    // The spaces of a quoted local part stay, as the import reads it as one
    // word; any other space or control byte would end the address early.
    std::string out;
    bool quoted = false;
    for (size_t k = 0; k < addr.size(); k++) {
        const auto c = static_cast<unsigned char>(addr[k]);
        if (c == '"') quoted = !quoted;
        if (c == '\\' && quoted && k + 1 < addr.size() && addr[k + 1] >= ' ') {
            out += addr[k++];
            out += addr[k];
        } else if (c > ' ' ? c != 0x7f : quoted && c == ' ') {
            out += static_cast<char>(c);
        }
    }
    // A sender that would not read back as one word (a quote left open)
    // would make its line body text, and its message part of the one before.
    const std::string line = "From " + out;
    if (out.empty() || senderend(line) != line.size()) return "MAILER-DAEMON";
    return out;
}

void mboxput(std::string_view message, std::string_view sender, time_t when, bool read,
             std::string* out) {
    struct tm tm {};
    (void)gmtime_r(&when, &tm);
    char date[64];
    if (strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &tm) == 0) date[0] = '\0';
    *out += "From ";
    out->append(sender);
    *out += ' ';
    *out += date;
    *out += '\n';
    // The header block: up to the first empty line.
    // Readers take the first Status line: where the message's own says
    // other than its record, one that says as the record goes before it.
    bool status = false, saysread = false;
    for (size_t at = 0; at < message.size() && !status;) {
        const std::string_view line = nextline(message, &at);
        if (blank(line)) break;
        if (line.size() >= 7 && strncasecmp(line.data(), "Status:", 7) == 0) {
            status = true;
            saysread = line.find('R', 7) != std::string_view::npos;
        }
    }
    if (read != saysread) {
        // A byte-order mark stays first, before the line added, so that the
        // header block after it still reads as one.
        if (constexpr std::string_view bom = "\xEF\xBB\xBF"; message.starts_with(bom)) {
            out->append(bom);
            message.remove_prefix(bom.size());
        }
        const size_t nl = message.find('\n');
        const bool crlf = nl != std::string_view::npos && nl > 0 && message[nl - 1] == '\r';
        *out += read ? "Status: RO" : "Status: O";
        *out += crlf ? "\r\n" : "\n";
    }
    for (size_t at = 0; at < message.size();) {
        const std::string_view line = nextline(message, &at);
        if (isfrom(line) || quoted(line)) *out += '>';
        out->append(line);
    }
    *out += '\n';
}
