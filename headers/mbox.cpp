// mbox files read and written (headers/mbox.h).
#include "headers/mbox.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

bool isfrom(std::string_view line) { return line.starts_with("From "); }

// ">From ", ">>From ", ...: a quoted "From " line.
bool quoted(std::string_view line) {
    size_t k = 0;
    while (k < line.size() && line[k] == '>') k++;
    return k > 0 && line.substr(k).starts_with("From ");
}

// A separator's date: a time hh:mm and a four-digit year.
bool dated(std::string_view line) {
    bool time = false, year = false;
    for (size_t k = 0; k + 1 < line.size(); k++) {
        const auto d = [&](size_t i) {
            return i < line.size() && isdigit(static_cast<unsigned char>(line[i]));
        };
        if (d(k) && d(k + 1) && k + 2 < line.size() && line[k + 2] == ':' && d(k + 3) && d(k + 4))
            time = true;
        if (line[k] == ' ' && d(k + 1) && d(k + 2) && d(k + 3) && d(k + 4) &&
            (k + 5 == line.size() || line[k + 5] == ' ' || line[k + 5] == '\r' ||
             line[k + 5] == '\n'))
            year = true;
    }
    return time && year;
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

}  // namespace

bool mboxis(std::string_view text) { return text.empty() || isfrom(text); }

void mboxeach(std::string_view text, const std::function<bool(std::string&&)>& each) {
    size_t at = 0;
    if (!isfrom(text)) return;
    std::string_view sep = nextline(text, &at);
    size_t start = at;
    std::string_view prev = sep;
    while (at < text.size()) {
        const size_t here = at;
        const std::string_view line = nextline(text, &at);
        if (isfrom(line) && (blank(prev) || dated(line))) {
            if (!each(unquote(text.substr(start, here - start), sep.ends_with("\r\n")))) return;
            sep = line;
            start = at;
        }
        prev = line;
    }
    (void)each(unquote(text.substr(start), sep.ends_with("\r\n")));
}

std::string mboxsender(std::string_view from) {
    const size_t lt = from.find('<');
    const size_t gt = lt == std::string_view::npos ? lt : from.find('>', lt);
    std::string_view addr;
    if (gt != std::string_view::npos && gt > lt + 1) {
        addr = from.substr(lt + 1, gt - lt - 1);
    } else {
        const size_t b = from.find_first_not_of(' ');
        if (b != std::string_view::npos) addr = from.substr(b, from.find(' ', b) - b);
    }
    std::string out;
    for (const char c : addr)
        if (static_cast<unsigned char>(c) > ' ' && c != 0x7f) out += c;
    return out.empty() ? "MAILER-DAEMON" : out;
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
    bool status = false;
    for (size_t at = 0; at < message.size();) {
        const std::string_view line = nextline(message, &at);
        if (blank(line)) break;
        if (line.size() >= 7 && strncasecmp(line.data(), "Status:", 7) == 0) status = true;
    }
    if (read && !status) {
        // A byte-order mark stays first, before the line added, so that the
        // header block after it still reads as one.
        if (constexpr std::string_view bom = "\xEF\xBB\xBF"; message.starts_with(bom)) {
            out->append(bom);
            message.remove_prefix(bom.size());
        }
        const size_t nl = message.find('\n');
        const bool crlf = nl != std::string_view::npos && nl > 0 && message[nl - 1] == '\r';
        *out += crlf ? "Status: RO\r\n" : "Status: RO\n";
    }
    for (size_t at = 0; at < message.size();) {
        const std::string_view line = nextline(message, &at);
        if (isfrom(line) || quoted(line)) *out += '>';
        out->append(line);
    }
    *out += '\n';
}
