// Reads the header block of a message file (and nothing past it) and lets
// GMime parse, unfold and decode it. Every GMime object made here is released
// before msghdrread returns; only GMime's one-time set-up outlives a call.
#include "headers/msghdr.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mailbox/trust.h"

namespace {

// A header block larger than this is read only this far, cut at its last
// whole line: a message whose headers run to megabytes still costs a bounded
// read, and the fields an index record holds are nearly always near the top.
constexpr size_t MSGHDRMAX = 1u << 20;
constexpr size_t MSGHDRCHUNK = 16u << 10;

struct fdcloser {
    int fd;
    ~fdcloser() {
        if (fd >= 0) (void)close(fd);
    }
};

// Owns one GObject reference (a stream, a parser, a message).
template <typename T>
struct gref {
    T* p;
    ~gref() {
        if (p) g_object_unref(p);
    }
};

struct gstr {
    char* p;
    ~gstr() { g_free(p); }
};

// Text in no declared character set that is not UTF-8 is read as ISO-8859-1,
// in which every byte is a character, whatever the user's locale.
GMimeParserOptions* msghdroptions;

void msghdrfree() { g_mime_parser_options_free(msghdroptions); }

void msghdrinit() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        msghdroptions = g_mime_parser_options_new();
        const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
        g_mime_parser_options_set_fallback_charsets(msghdroptions, fallback);
        // What GMime sets up lives until the process ends; returned then, so
        // that a leak checker sees none of it. atexit runs the later first.
        (void)std::atexit(g_mime_shutdown);
        (void)std::atexit(msghdrfree);
    });
}

// Where the header block of buf ends: just past the newline that precedes
// the blank line, or npos while no blank line has been seen. A blank line at
// the very start means an empty header block (end 0). Searching starts a few
// bytes before from, so that a blank line split across two reads is found.
size_t msghdrend(std::string_view buf, size_t from) {
    if (buf.starts_with("\n") || buf.starts_with("\r\n")) return 0;
    from = from > 2 ? from - 2 : 0;
    for (size_t i = buf.find('\n', from); i != std::string_view::npos; i = buf.find('\n', i + 1)) {
        size_t j = i + 1;
        if (j < buf.size() && buf[j] == '\r') j++;
        if (j < buf.size() && buf[j] == '\n') return i + 1;
    }
    return std::string_view::npos;
}

// Reads fd up to the end of the message's header block, or MSGHDRMAX bytes
// of it cut at the last whole line. False on a read error, errno set.
bool msghdrblock(int fd, std::string* buf) {
    for (;;) {
        const size_t had = buf->size();
        buf->resize(had + MSGHDRCHUNK);
        const ssize_t got = read(fd, buf->data() + had, MSGHDRCHUNK);
        if (got < 0) {
            if (errno == EINTR) {
                buf->resize(had);
                continue;
            }
            return false;
        }
        buf->resize(had + static_cast<size_t>(got));
        const size_t end = msghdrend(*buf, had);
        if (end != std::string::npos) {
            buf->resize(end);
            return true;
        }
        if (got == 0) return true;
        if (buf->size() >= MSGHDRMAX) {
            const size_t nl = buf->rfind('\n');
            if (nl != std::string::npos) buf->resize(nl + 1);
            return true;
        }
    }
}

// An index record is a line per field: whatever a decoded word or an odd
// header left in that would end or split a line (CR, LF, tab, other control
// characters) becomes a space, and bytes that are not UTF-8 become U+FFFD.
std::string msghdrtext(const char* s) {
    if (s == nullptr) return {};
    std::string out;
    if (g_utf8_validate(s, -1, nullptr)) {
        out = s;
    } else {
        const gstr valid{g_utf8_make_valid(s, -1)};
        out = valid.p;
    }
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = ' ';
    }
    return out;
}

// An address header as a reader sees it: every header of that name, each
// address with its decoded display name (`Ivan Petrov <ivan@example.org>`),
// joined by ", ". A header GMime finds no address in at all is kept as its
// decoded text rather than lost.
std::string msghdraddr(GMimeMessage* m, GMimeAddressType type, const char* name) {
    InternetAddressList* list = g_mime_message_get_addresses(m, type);
    if (list != nullptr && internet_address_list_length(list) > 0) {
        const gstr s{internet_address_list_to_string(list, nullptr, FALSE)};
        return msghdrtext(s.p);
    }
    return msghdrtext(g_mime_object_get_header(GMIME_OBJECT(m), name));
}

// An encoded word of the header's own text, =?charset?encoding?text?=.
bool msghdrword(std::string_view t) {
    return t.size() >= 8 && t.starts_with("=?") && t.ends_with("?=");
}

// The standard's longest encoded word: GMime drops the text of a run of
// adjacent words that holds a longer one, though writers make them.
constexpr size_t MSGHDRWORDMAX = 75;

std::string msghdrdecode(std::string_view s) {
    if (s.empty()) return {};
    const gstr d{g_mime_utils_header_decode_text(msghdroptions, std::string(s).c_str())};
    return d.p ? d.p : "";
}

// A text header (the Subject) from its raw value when an encoded word in it
// is longer than that: decoded a run at a time, each such word a run of its
// own, adjacent words joined without the space between them as GMime joins
// them, folds unfolded. Otherwise the text GMime decoded.
std::string msghdrunstructured(GMimeMessage* m, const char* name, const char* decoded) {
    GMimeHeader* h =
        g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(m)), name);
    const char* raw = h ? g_mime_header_get_raw_value(h) : nullptr;
    const std::string_view v = raw ? raw : "";
    constexpr const char* space = " \t\r\n";
    std::vector<std::pair<std::string_view, std::string_view>> toks;  // the space before, the token
    for (size_t i = 0, b; (b = v.find_first_not_of(space, i)) != std::string_view::npos;) {
        const size_t e = std::min(v.find_first_of(space, b), v.size());
        toks.emplace_back(v.substr(i, b - i), v.substr(b, e - b));
        i = e;
    }
    if (std::none_of(toks.begin(), toks.end(), [](const auto& t) {
            return msghdrword(t.second) && t.second.size() > MSGHDRWORDMAX;
        }))
        return msghdrtext(decoded);
    std::string out, run;
    bool prevword = false, runlong = false;
    for (size_t k = 0; k < toks.size(); k++) {
        const auto& [gap, tok] = toks[k];
        const bool word = msghdrword(tok), isl = word && tok.size() > MSGHDRWORDMAX;
        if (!(word && prevword && !isl && !runlong)) {
            out += msghdrdecode(run);
            run.clear();
        }
        if (k > 0 && !(word && prevword))
            for (char c : gap)
                if (c != '\r' && c != '\n') out += c;
        if (word) {
            if (!run.empty()) run += ' ';
            run += tok;
        } else
            out += msghdrdecode(tok);
        prevword = word;
        runlong = isl;
    }
    return msghdrtext((out + msghdrdecode(run)).c_str());
}

}  // namespace

int msghdrread(const char* path, msghdr* out) {
    *out = msghdr{};
    // Listed a moment ago, the name may be a link or a FIFO by now.
    const fdcloser fd{trustopenmsg(AT_FDCWD, path)};
    if (fd.fd < 0) return -1;
    std::string buf;
    if (!msghdrblock(fd.fd, &buf)) return -1;
    if (buf.empty()) return 1;

    msghdrinit();
    const gref<GMimeStream> stream{g_mime_stream_mem_new_with_buffer(buf.data(), buf.size())};
    const gref<GMimeParser> parser{g_mime_parser_new_with_stream(stream.p)};
    const gref<GMimeMessage> m{g_mime_parser_construct_message(parser.p, msghdroptions)};
    if (m.p == nullptr ||
        g_mime_header_list_get_count(g_mime_object_get_header_list(GMIME_OBJECT(m.p))) == 0)
        return 1;

    out->to = msghdraddr(m.p, GMIME_ADDRESS_TYPE_TO, "To");
    out->from = msghdraddr(m.p, GMIME_ADDRESS_TYPE_FROM, "From");
    out->cc = msghdraddr(m.p, GMIME_ADDRESS_TYPE_CC, "Cc");
    out->bcc = msghdraddr(m.p, GMIME_ADDRESS_TYPE_BCC, "Bcc");
    out->subject = msghdrunstructured(m.p, "Subject", g_mime_message_get_subject(m.p));
    const char* status = g_mime_object_get_header(GMIME_OBJECT(m.p), "Status");
    out->read = status != nullptr && std::strchr(status, 'R') != nullptr;
    return 0;
}
