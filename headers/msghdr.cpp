// Reads the header block of a message file (and nothing past it) with a small
// reader of its own: the block is cut into fields, only the six an index
// record takes are unfolded and decoded, and encoded words are decoded here,
// adjacent ones joined before their bytes are converted. Character sets other
// than UTF-8 and Windows-1252 go through iconv(3); GMime only names the ones
// iconv does not know by the name a message gives. The converters opened are
// kept for the next message and closed when the thread ends; nothing else
// outlives a call.
#include "headers/msghdr.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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
constexpr size_t MSGHDRCHUNK = 8u << 10;

struct fdcloser {
    int fd;
    ~fdcloser() {
        if (fd >= 0) (void)close(fd);
    }
};

bool msghdrwsp(char c) { return c == ' ' || c == '\t'; }

char msghdrlower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool msghdrsame(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (msghdrlower(a[i]) != msghdrlower(b[i])) return false;
    return true;
}

// ---- Characters ----------------------------------------------------------

void msghdrput(std::string* out, unsigned cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
}

// The length of the well-formed UTF-8 character at s[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and cut sequences included).
size_t msghdrutf8at(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    size_t n;
    unsigned lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(1) < lo || b(1) > hi) return 0;
    for (size_t k = 2; k < n; k++)
        if (b(k) < 0x80 || b(k) > 0xbf) return 0;
    return n;
}

bool msghdrvalid(std::string_view s) {
    for (size_t i = 0, n; i < s.size(); i += n)
        if ((n = msghdrutf8at(s, i)) == 0) return false;
    return true;
}

bool msghdrascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Windows-1252's characters for 0x80 to 0x9f (0 where it has none): mail
// labelled ISO-8859-1, or in no character set at all, that uses these bytes
// means Windows' quotes and dashes, never the control characters.
constexpr std::array<unsigned short, 32> msghdrcp1252 = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

void msghdrbyte(std::string* out, unsigned char c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c >= 0xa0) {
        msghdrput(out, c);
    } else {
        const unsigned cp = msghdrcp1252[c - 0x80];
        msghdrput(out, cp ? cp : 0xfffd);
    }
}

bool msghdriconv(std::string_view cs, std::string_view in, std::string* out);

// Text in no character set (or in one that does not fit it): each well-formed
// UTF-8 character is kept, and every other byte read as Windows-1252, so that
// a header of Latin-1 words and UTF-8 words side by side reads whole.
void msghdrguess(std::string* out, std::string_view s) {
    // Japanese mail long wrote its headers in ISO-2022-JP unencoded: seven
    // bits, with escapes that would otherwise show as bytes.
    if (s.find('\x1b') != std::string_view::npos && msghdrascii(s) &&
        msghdriconv("iso-2022-jp", s, out))
        return;
    for (size_t i = 0; i < s.size();) {
        const size_t n = msghdrutf8at(s, i);
        if (n == 0) {
            msghdrbyte(out, static_cast<unsigned char>(s[i++]));
        } else {
            out->append(s.substr(i, n));
            i += n;
        }
    }
}

// One converter to UTF-8 a character set, opened once a thread; a name that
// neither iconv nor GMime knows is remembered as unknown.
struct msghdrconv {
    std::string name;  // as the message spells it, lower case
    iconv_t cd;
};
struct msghdrconvs {
    std::vector<msghdrconv> open;
    ~msghdrconvs() {
        for (const msghdrconv& c : open)
            if (c.cd != reinterpret_cast<iconv_t>(-1)) (void)iconv_close(c.cd);  // NOLINT(performance-no-int-to-ptr): iconv says so
    }
};

// Labels that real mail puts on text of a wider set than they name: the
// wider set reads everything the label's own would, and the rest too.
const char* msghdralias(std::string_view n) {
    if (n == "gb2312" || n == "gbk" || n == "x-gbk" || n == "cp936" || n == "euc-cn")
        return "GB18030";
    if (n == "ks_c_5601-1987" || n == "euc-kr" || n == "ks_c_5601" || n == "ksc5601")
        return "CP949";
    if (n == "shift_jis" || n == "x-sjis" || n == "sjis" || n == "shift-jis") return "CP932";
    if (n == "big5") return "BIG5-HKSCS";
    if (n == "iso-8859-8-i" || n == "iso-8859-8-e") return "ISO-8859-8";
    if (n == "iso-8859-6-i" || n == "iso-8859-6-e") return "ISO-8859-6";
    if (n == "tis-620" || n == "iso-8859-11") return "CP874";
    return nullptr;
}

// GMime's table of character set names, for a name iconv does not know:
// loaded the first time one is needed, so that a run whose messages name
// only the sets iconv knows (nearly all) starts without GMime and the
// libraries under it, which cost more than a delivery's own work. Null
// when GMime can't be loaded: the word is then kept as written.
using gmimename = const char* (*)(const char*);
gmimename gmimenames() {
    static const gmimename names = []() -> gmimename {
        void* lib = dlopen(MAILBOX_GMIME_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!lib) return nullptr;
        using voidfn = void (*)();
        const auto init = reinterpret_cast<voidfn>(dlsym(lib, "g_mime_init"));
        static voidfn shutdown = nullptr;
        shutdown = reinterpret_cast<voidfn>(dlsym(lib, "g_mime_shutdown"));
        const auto found = reinterpret_cast<gmimename>(dlsym(lib, "g_mime_charset_iconv_name"));
        if (!init || !shutdown || !found) return nullptr;
        init();
        (void)std::atexit([] { shutdown(); });  // seen by a leak checker as returned
        return found;
    }();
    return names;
}

iconv_t msghdropen(std::string_view lname) {
    thread_local msghdrconvs convs;
    for (const msghdrconv& c : convs.open)
        if (c.name == lname) return c.cd;
    const std::string name(lname);
    auto cd = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr): iconv says so
    if (const char* alias = msghdralias(name)) cd = iconv_open("UTF-8", alias);
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", name.c_str());  // NOLINT(performance-no-int-to-ptr): iconv says so
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr): iconv says so
        if (const auto iconvname = gmimenames())
            if (const char* other = iconvname(name.c_str())) cd = iconv_open("UTF-8", other);
    }
    // A message may name any number of made-up sets: only so many are kept.
    if (convs.open.size() < 64) convs.open.push_back({name, cd});
    return cd;
}

// in, in character set cs, appended to out as UTF-8; false (out unchanged)
// when the set is unknown or in is not text of it.
bool msghdriconv(std::string_view cs, std::string_view in, std::string* out) {
    iconv_t cd = msghdropen(cs);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;  // NOLINT(performance-no-int-to-ptr): iconv says so
    (void)iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const size_t had = out->size();
    std::string src(in);
    char* ip = src.data();
    size_t il = src.size();
    for (;;) {
        const size_t done = out->size();
        out->resize(done + il * 4 + 16);
        char* op = out->data() + done;
        size_t ol = out->size() - done;
        const size_t r = iconv(cd, &ip, &il, &op, &ol);
        const int err = errno;
        out->resize(out->size() - ol);
        if (r != static_cast<size_t>(-1)) break;
        if (err != E2BIG) {
            out->resize(had);
            return false;
        }
    }
    // The shift state closed, for the sets that have one.
    char tail[16];
    char* op = tail;
    size_t ol = sizeof tail;
    if (iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<size_t>(-1))
        out->append(tail, sizeof tail - ol);
    return true;
}

// The bytes of text labelled cs (lower case, no language), as UTF-8. Labels
// are often wrong: US-ASCII and Latin-1 text that is all UTF-8 is UTF-8, and
// text in a set no converter knows reads as text in no set. false, *out as it
// was, when the bytes are not of their set: labelled UTF-8 but not UTF-8, or
// refused by the set's converter (or turned into what is not UTF-8).
bool msghdrconvert(std::string_view cs, std::string_view in, std::string* out) {
    // The seven-bit sets with shifts are ASCII bytes that are not ASCII text.
    const bool shifted = cs.starts_with("iso-2022") || cs == "utf-7" || cs.starts_with("hz");
    if (msghdrascii(in) && !shifted) {
        out->append(in);
    } else if (cs == "utf-8" || cs == "utf8") {
        if (!msghdrvalid(in)) return false;
        out->append(in);
    } else if (cs == "us-ascii" || cs == "ascii" || cs == "iso-8859-1" || cs == "latin1" ||
               cs == "iso8859-1" || cs == "iso_8859-1" || cs == "windows-1252" ||
               cs == "cp1252" || cs == "latin-1") {
        if (cs != "windows-1252" && cs != "cp1252" && msghdrvalid(in)) {
            out->append(in);
        } else {
            for (char c : in) msghdrbyte(out, static_cast<unsigned char>(c));
        }
    } else if (msghdropen(cs) == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr): iconv says so
        msghdrguess(out, in);
    } else {
        const size_t had = out->size();
        if (!msghdriconv(cs, in, out)) return false;
        if (!msghdrvalid(std::string_view{*out}.substr(had))) {
            out->resize(had);
            return false;
        }
    }
    return true;
}

// ---- Encoded words -------------------------------------------------------

struct msghdrword {
    size_t len = 0;         // of the word as written, 0: none here
    std::string charset;    // lower case, without a language
    std::string bytes;      // the decoded bytes, in that charset
};

int msghdrhex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = msghdrlower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int msghdrsix(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 as writers really write it: padding may end each run of it inside
// one word (words pasted together), or be left out; a character outside the
// alphabet makes the word undecodable.
bool msghdrbase64(std::string_view t, std::string* out) {
    unsigned acc = 0;
    int bits = 0;
    for (char c : t) {
        if (c == '=') {
            acc = 0;
            bits = 0;
            continue;
        }
        const int v = msghdrsix(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return true;
}

void msghdrq(std::string_view t, std::string* out) {
    for (size_t i = 0; i < t.size(); i++) {
        const char c = t[i];
        int h, l;
        if (c == '_') {
            out->push_back(' ');
        } else if (c == '=' && i + 2 < t.size() && (h = msghdrhex(t[i + 1])) >= 0 &&
                   (l = msghdrhex(t[i + 2])) >= 0) {
            out->push_back(static_cast<char>(h * 16 + l));
            i += 2;
        } else {
            out->push_back(c);  // a stray '=' kept as written
        }
    }
}

// The encoded word =?charset?B|Q?text?= at the start of s, decoded; len 0
// when s does not start with one that can be decoded, which is then text.
msghdrword msghdrwordat(std::string_view s) {
    msghdrword w;
    if (!s.starts_with("=?")) return w;
    const size_t q1 = s.find('?', 2);
    if (q1 == std::string_view::npos || q1 == 2 || q1 + 3 > s.size() || s[q1 + 2] != '?')
        return w;
    const char enc = msghdrlower(s[q1 + 1]);
    if (enc != 'b' && enc != 'q') return w;
    const size_t end = s.find("?=", q1 + 3);
    if (end == std::string_view::npos) return w;
    std::string_view cs = s.substr(2, q1 - 2), text = s.substr(q1 + 3, end - q1 - 3);
    for (char c : s.substr(0, end))
        if (msghdrwsp(c) || c == '\r' || c == '\n') return w;
    cs = cs.substr(0, cs.find('*'));  // =?UTF-8*en?Q?...?=: the language is no concern here
    if (cs.empty()) return w;
    if (enc == 'b') {
        if (!msghdrbase64(text, &w.bytes)) return w;
    } else {
        msghdrq(text, &w.bytes);
    }
    w.charset.reserve(cs.size());
    for (char c : cs) w.charset.push_back(msghdrlower(c));
    w.len = end + 2;
    return w;
}

// One encoded word of a run not yet converted: where it is written in the
// text, and its bytes.
struct msghdrpart {
    size_t at, len;
    std::string bytes;
};

// Text as a reader shows it: encoded words decoded wherever they stand, the
// white space between two of them dropped, that between a word and plain text
// kept, the bytes of neighbouring words in one charset joined before they are
// converted (a character split across two words is whole again). A word that
// can't be decoded stays as it is written, and so does one whose bytes are
// not of its charset (UTF-8 that is not UTF-8): shown as it came, it can be
// read for what it is, where its bytes guessed at would be nonsense. When the
// joined bytes of a run are not of their set, each word of it is tried alone.
std::string msghdrdecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::vector<msghdrpart> run;  // the words not yet converted
    std::string runcs;            // their set
    std::string_view rungap;      // the white space between the run and a word just before it
    size_t text = 0;              // where the plain text not yet copied starts
    bool afterword = false;
    bool lastok = false;  // the word just before was decoded
    // The white space between two words goes where either is kept as written.
    const auto flush = [&] {
        if (run.empty()) return;
        std::string joined, all;
        for (const msghdrpart& p : run) joined += p.bytes;
        const bool whole = msghdrconvert(runcs, joined, &all);
        for (size_t k = 0; k < run.size(); k++) {
            const msghdrpart& p = run[k];
            std::string one;
            const bool ok = whole || msghdrconvert(runcs, p.bytes, &one);
            const size_t end = k == 0 ? 0 : run[k - 1].at + run[k - 1].len;
            if (!(ok && lastok)) out.append(k == 0 ? rungap : s.substr(end, p.at - end));
            if (whole)
                out.append(k == 0 ? all : std::string());
            else
                out.append(ok ? std::string_view{one} : s.substr(p.at, p.len));
            lastok = ok;
        }
        run.clear();
        runcs.clear();
        rungap = {};
    };
    for (size_t i = s.find("=?"); i != std::string_view::npos; i = s.find("=?", i)) {
        msghdrword w = msghdrwordat(s.substr(i));
        if (w.len == 0) {
            i += 2;
            continue;
        }
        const std::string_view gap = s.substr(text, i - text);
        bool blank = true;
        for (char c : gap) blank = blank && msghdrwsp(c);
        if (!(afterword && blank)) {
            flush();
            msghdrguess(&out, gap);
            lastok = false;
        } else if (w.charset != runcs) {
            flush();
            rungap = gap;
        }
        runcs = w.charset;
        run.push_back({i, w.len, std::move(w.bytes)});
        afterword = true;
        i += run.back().len;
        text = i;
    }
    flush();
    msghdrguess(&out, s.substr(text));
    return out;
}

// ---- Fields --------------------------------------------------------------

// A field's value as one line: folds unfolded (the line break dropped, the
// white space after it kept), the white space around it trimmed.
std::string msghdrunfold(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
        if (v[i] == '\n') continue;
        out.push_back(v[i]);
    }
    const size_t b = out.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    const size_t e = out.find_last_not_of(" \t");
    return out.substr(b, e - b + 1);
}

// An index record is a line per field: whatever a decoded word or an odd
// header left in it that would end or split a line (NUL, CR, LF, tab, the
// other control characters of both ranges) becomes a space, never an end.
std::string msghdrline(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = msghdrutf8at(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        if (n == 0) {
            msghdrput(&out, 0xfffd);
            i++;
        } else if (c < 0x20 || c == 0x7f ||
                   (n == 2 && c == 0xc2 && static_cast<unsigned char>(s[i + 1]) < 0xa0)) {
            out.push_back(' ');
            i += n;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

// ---- Addresses -----------------------------------------------------------

enum class msghdrtk { atom, quoted, special, literal, comment };
struct msghdrtoken {
    msghdrtk kind;
    std::string text;   // an atom or literal as written, a quoted string's content
    bool spacebefore;   // white space or a comment before it
};

// An address header cut into atoms, quoted strings, domain literals, comments
// (a name given as `ann@example.org (Ann Smith)`) and the specials between
// them. An encoded word is one atom whole, whatever it holds.
std::vector<msghdrtoken> msghdrtokens(std::string_view v) {
    std::vector<msghdrtoken> toks;
    bool space = false;
    for (size_t i = 0; i < v.size();) {
        const char c = v[i];
        if (msghdrwsp(c)) {
            space = true;
            i++;
        } else if (c == '(') {
            std::string text;
            int depth = 0;
            for (; i < v.size(); i++) {
                if (v[i] == '\\' && i + 1 < v.size()) {
                    text += v[++i];
                    continue;
                }
                if (v[i] == '(' && depth++ == 0) continue;
                if (v[i] == ')' && --depth == 0) {
                    i++;
                    break;
                }
                text += v[i];
            }
            toks.push_back({msghdrtk::comment, std::move(text), space});
            space = true;
        } else if (c == '"') {
            std::string text;
            for (i++; i < v.size() && v[i] != '"'; i++) {
                if (v[i] == '\\' && i + 1 < v.size()) i++;
                text += v[i];
            }
            i++;
            toks.push_back({msghdrtk::quoted, std::move(text), space});
            space = false;
        } else if (c == '[') {
            const size_t e = v.find(']', i);
            const size_t n = e == std::string_view::npos ? v.size() - i : e + 1 - i;
            toks.push_back({msghdrtk::literal, std::string(v.substr(i, n)), space});
            i += n;
            space = false;
        } else if (std::strchr("<>,;:@)", c) != nullptr) {
            toks.push_back({msghdrtk::special, std::string(1, c), space});
            i++;
            space = false;
        } else {
            size_t n = msghdrwordat(v.substr(i)).len;
            if (n == 0)
                while (i + n < v.size() && !msghdrwsp(v[i + n]) &&
                       std::strchr("<>,;:@()\"[", v[i + n]) == nullptr)
                    n++;
            toks.push_back({msghdrtk::atom, std::string(v.substr(i, n)), space});
            i += n;
            space = false;
        }
    }
    return toks;
}

bool msghdrspecial(const msghdrtoken& t, char c) {
    return t.kind == msghdrtk::special && t.text[0] == c;
}

// A display name from its words: atoms and quoted strings, one space where
// the header had any, decoded.
std::string msghdrphrase(const std::vector<msghdrtoken>& toks, size_t b, size_t e) {
    std::string raw;
    for (size_t k = b; k < e; k++) {
        if (toks[k].kind == msghdrtk::comment) continue;
        if (!raw.empty() && toks[k].spacebefore) raw += ' ';
        raw += toks[k].text;
    }
    return msghdrdecode(raw);
}

// An address as written, without white space or comments; a quoted local
// part quoted again.
std::string msghdrspec(const std::vector<msghdrtoken>& toks, size_t b, size_t e) {
    std::string out;
    for (size_t k = b; k < e; k++) {
        if (toks[k].kind == msghdrtk::comment) continue;
        if (toks[k].kind != msghdrtk::quoted) {
            out += toks[k].text;
            continue;
        }
        out += '"';
        for (char c : toks[k].text) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    // A raw 8-bit byte reads as it does in a name beside it.
    std::string text;
    msghdrguess(&text, out);
    return text;
}

// name <addr>, the name quoted where it holds what would end a name.
void msghdrmailbox(std::string* out, const std::string& name, const std::string& addr) {
    if (!out->empty() && out->back() != ' ' && out->back() != ':') *out += ", ";
    if (name.empty()) {
        *out += addr;
        return;
    }
    if (name.find_first_of("()<>[]:;@\\,.\"") == std::string::npos) {
        *out += name;
    } else {
        *out += '"';
        for (char c : name) {
            if (c == '"' || c == '\\') *out += '\\';
            *out += c;
        }
        *out += '"';
    }
    *out += " <";
    *out += addr;
    *out += '>';
}

// Every address of one header appended to *out (", " between them), groups as
// `name: member, member;`; false when none could be found.
bool msghdraddrs(std::string_view value, std::string* out) {
    const std::vector<msghdrtoken> t = msghdrtokens(value);
    bool found = false;
    bool group = false;
    for (size_t k = 0; k < t.size();) {
        if (msghdrspecial(t[k], ',')) {
            k++;
            continue;
        }
        if (group && msghdrspecial(t[k], ';')) {
            *out += ';';
            group = false;
            k++;
            continue;
        }
        // The words before the address, or the whole address.
        size_t e = k;
        while (e < t.size() && !msghdrspecial(t[e], '<') && !msghdrspecial(t[e], ',') &&
               !msghdrspecial(t[e], ';') && !msghdrspecial(t[e], ':'))
            e++;
        if (e < t.size() && msghdrspecial(t[e], ':') && !group) {
            if (!out->empty()) *out += ", ";
            *out += msghdrline(msghdrphrase(t, k, e));
            *out += ": ";
            group = found = true;
            k = e + 1;
            continue;
        }
        if (e < t.size() && msghdrspecial(t[e], '<')) {
            size_t c = e + 1;
            while (c < t.size() && !msghdrspecial(t[c], '>')) c++;
            size_t a = e + 1;  // past a route, <@relay:ann@example.org>
            for (size_t r = a; r < c; r++)
                if (msghdrspecial(t[r], ':')) a = r + 1;
            const std::string addr = msghdrspec(t, a, c);
            if (!addr.empty()) {
                msghdrmailbox(out, msghdrline(msghdrphrase(t, k, e)), addr);
                found = true;
            }
            k = c + 1;
            while (k < t.size() && !msghdrspecial(t[k], ',') && !msghdrspecial(t[k], ';')) k++;
            continue;
        }
        const std::string addr = msghdrspec(t, k, e);
        if (addr.find('@') != std::string::npos) {
            std::string name;
            for (size_t c = k; c < e && name.empty(); c++)
                if (t[c].kind == msghdrtk::comment) name = msghdrline(msghdrdecode(t[c].text));
            msghdrmailbox(out, name, addr);
            found = true;
        }
        k = e == k ? e + 1 : e;
    }
    if (group) *out += ';';
    return found;
}

// ---- The header block ----------------------------------------------------

enum msghdrfield { TO, FROM, SUBJECT, CC, BCC, STATUS, NFIELDS, OTHER };

msghdrfield msghdrwhich(std::string_view name) {
    static constexpr std::array<const char*, NFIELDS> names = {"To",  "From", "Subject",
                                                               "Cc",  "Bcc",  "Status"};
    for (size_t f = 0; f < names.size(); f++)
        if (msghdrsame(name, names[f])) return static_cast<msghdrfield>(f);
    return OTHER;
}

// What is known of the block while it is read: where the next line starts,
// whether a header line has been seen, and each wanted field's values as
// [start, end) offsets into the buffer (a value runs on over its folds).
struct msghdrscan {
    size_t next = 0;
    size_t first = 0;  // the first line's start, past a byte-order mark
    bool started = false;
    bool ended = false;
    msghdrfield cur = OTHER;
    std::array<std::vector<std::pair<size_t, size_t>>, NFIELDS> values;
};

// Whether line (its line end dropped) starts a header, "Name: value"; *colon
// then says where its colon is.
bool msghdrheader(std::string_view line, size_t* colon) {
    const size_t c = line.find(':');
    if (c == std::string_view::npos) return false;
    size_t e = c;
    while (e > 0 && msghdrwsp(line[e - 1])) e--;  // "Subject :", an old form
    if (e == 0) return false;
    for (size_t i = 0; i < e; i++) {
        const auto u = static_cast<unsigned char>(line[i]);
        if (u <= 32 || u >= 127) return false;
    }
    *colon = c;
    return true;
}

// Takes the complete lines of buf from st->next on (and at the end of the file
// the last one, complete or not). The block ends at its first empty line, or
// at the first line that neither starts a header nor continues one: what
// follows is the body. Before the first header, a byte-order mark and an
// mbox envelope line ("From " at the very start) are passed over.
void msghdrlines(std::string_view buf, bool eof, msghdrscan* st) {
    while (!st->ended && st->next < buf.size()) {
        const size_t b = st->next;
        size_t nl = buf.find('\n', b);
        if (nl == std::string_view::npos) {
            if (!eof) return;
            nl = buf.size();
        }
        std::string_view line = buf.substr(b, nl - b);
        if (line.ends_with('\r')) line.remove_suffix(1);
        size_t colon = 0;
        if (b == 0 && line.starts_with("\xef\xbb\xbf")) {
            st->next = st->first = 3;
            continue;
        }
        if (b == st->first && (line.starts_with("From ") || line.starts_with(">From "))) {
            // the envelope
        } else if (line.empty()) {  // NOLINT(bugprone-branch-clone)
            st->ended = true;
        } else if (msghdrwsp(line[0])) {
            if (!st->started) st->ended = true;
            if (st->cur != OTHER) st->values[st->cur].back().second = b + line.size();
        } else if (msghdrheader(line, &colon)) {
            st->started = true;
            st->cur = msghdrwhich(line.substr(0, colon));
            if (st->cur != OTHER) st->values[st->cur].emplace_back(b + colon + 1, b + line.size());
        } else {
            st->ended = true;
        }
        if (!st->ended) st->next = std::min(nl + 1, buf.size());
    }
}

// Reads fd up to the end of the message's header block, or MSGHDRMAX bytes
// of it cut at the last whole line, never more than a chunk past it. False on
// a read error, errno set.
bool msghdrblock(int fd, std::string* buf, msghdrscan* st) {
    for (;;) {
        const size_t had = buf->size();
        buf->resize(had + MSGHDRCHUNK);
        const ssize_t got = read(fd, buf->data() + had, MSGHDRCHUNK);
        if (got < 0) {
            buf->resize(had);
            if (errno == EINTR) continue;
            return false;
        }
        buf->resize(had + static_cast<size_t>(got));
        if (buf->size() >= MSGHDRMAX) {
            // The rest of the lines past the bound are not taken.
            const size_t nl = std::string_view(*buf).substr(0, MSGHDRMAX).rfind('\n');  // NOLINT(google-readability-casting)
            // A first line longer than the bound is still a header line.
            buf->resize(nl == std::string::npos ? MSGHDRMAX : nl + 1);
            msghdrlines(*buf, true, st);
            return true;
        }
        msghdrlines(*buf, got == 0, st);
        if (st->ended || got == 0) return true;
    }
}

// The address field f: every address of every header of its name; when none
// holds an address, the headers' decoded text.
std::string msghdrfieldaddr(std::string_view buf, const msghdrscan& st, msghdrfield f) {
    std::string out, text;
    bool found = false;
    for (const auto& [b, e] : st.values[f]) {
        const std::string v = msghdrunfold(buf.substr(b, e - b));
        found = msghdraddrs(v, &out) || found;
        if (!text.empty() && !v.empty()) text += ", ";
        text += v;
    }
    return found ? msghdrline(out) : msghdrline(msghdrdecode(text));
}

}  // namespace

int msghdrread(const char* path, msghdr* out) {
    *out = msghdr{};
    // Listed a moment ago, the name may be a link or a FIFO by now.
    const fdcloser fd{trustopenmsg(AT_FDCWD, path)};
    if (fd.fd < 0) return -1;
    return msghdrreadfd(fd.fd, out);
}

namespace {

// The fields from buf, a header block as msghdrlines scanned it into st.
int msghdrfields(std::string_view b, const msghdrscan& st, msghdr* out) {
    if (!st.started) return 1;
    // The first of each text header counts, as a reader shows the first; an
    // address field has every address of them all.
    const auto first = [&](msghdrfield f) {
        if (st.values[f].empty()) return std::string();
        const auto& [s, e] = st.values[f].front();
        return msghdrunfold(b.substr(s, e - s));
    };
    out->to = msghdrfieldaddr(b, st, TO);
    out->from = msghdrfieldaddr(b, st, FROM);
    out->cc = msghdrfieldaddr(b, st, CC);
    out->bcc = msghdrfieldaddr(b, st, BCC);
    out->subject = msghdrline(msghdrdecode(first(SUBJECT)));
    out->read = first(STATUS).find('R') != std::string::npos;
    return 0;
}

}  // namespace

int msghdrreadfd(int fd, msghdr* out) {
    *out = msghdr{};
    std::string buf;
    msghdrscan st;
    if (!msghdrblock(fd, &buf, &st)) return -1;
    return msghdrfields(buf, st, out);
}

int msghdrparse(std::string_view message, msghdr* out) {
    *out = msghdr{};
    // Bounded as a file's read is: its first 1 MiB, cut at its last whole
    // line (a first line longer is still a header line).
    if (message.size() >= MSGHDRMAX) {
        const size_t nl = message.substr(0, MSGHDRMAX).rfind('\n');
        message = message.substr(0, nl == std::string_view::npos ? MSGHDRMAX : nl + 1);
    }
    msghdrscan st;
    msghdrlines(message, true, &st);
    return msghdrfields(message, st, out);
}
