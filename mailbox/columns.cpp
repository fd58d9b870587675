// The lines of list and pick (mailbox/columns.h).
#include "mailbox/columns.h"

#include <charconv>

#include "mailbox/date.h"
#include "mailbox/ll.h"

namespace {

struct named {
    const char* name;
    colfield field;
};
constexpr named names[] = {{"n", colfield::no},          {"flag", colfield::flag},
                           {"file", colfield::file},     {"from", colfield::from},
                           {"to", colfield::to},         {"cc", colfield::cc},
                           {"bcc", colfield::bcc},       {"subject", colfield::subject},
                           {"date", colfield::date}};

bool fieldnamed(std::string_view name, colfield* f) {
    for (const named& n : names)
        if (name == n.name) {
            *f = n.field;
            return true;
        }
    return false;
}

void addtext(colformat* out, char c) {
    if (out->items.empty() || out->items.back().field != colfield::text)
        out->items.push_back({colfield::text, {}});
    out->items.back().text += c;
}

// A field of the index as the reader loads it, control bytes shown as '?'.
void shown(std::string* out, std::string_view line, size_t size) {
    for (const char ch : rvfield(line, size)) {
        const auto c = static_cast<unsigned char>(ch);
        out->push_back(c < 0x20 || c == 0x7f ? '?' : ch);
    }
}

}  // namespace

colformat coldefault() {
    colformat f;
    std::string why;
    (void)colparse(R"(%n\t%flag\t%from\t%subject)", &f, &why);
    return f;
}

bool colparse(std::string_view format, colformat* out, std::string* why) {
    *out = {};
    for (size_t i = 0; i < format.size(); i++) {
        const char c = format[i];
        if (c == '\\') {
            if (i + 1 >= format.size()) {
                *why = "the format ends in a lone '\\'";
                return false;
            }
            const char e = format[++i];
            addtext(out, e == 't' ? '\t' : e == 'n' ? '\n' : e);
            continue;
        }
        if (c != '%') {
            addtext(out, c);
            continue;
        }
        if (i + 1 >= format.size()) {
            *why = "the format ends in a lone '%' (%% for a percent sign)";
            return false;
        }
        if (format[i + 1] == '%') {
            addtext(out, '%');
            i++;
            continue;
        }
        std::string_view name;
        const size_t at = i;  // the field as written, for the line that refuses it
        if (format[i + 1] == '{') {
            const size_t close = format.find('}', i + 2);
            if (close == std::string_view::npos) {
                *why = "the format's '%{' has no '}'";
                return false;
            }
            name = format.substr(i + 2, close - i - 2);
            i = close;
        } else {
            size_t j = i + 1;
            while (j < format.size() && format[j] >= 'a' && format[j] <= 'z') j++;
            name = format.substr(i + 1, j - i - 1);
            i = j - 1;
        }
        colfield f;
        if (!fieldnamed(name, &f)) {
            // Only the index's own fields and the date can be shown: any
            // other header of the message is not in the index.
            why->assign(1, '\'');  // appended piece by piece: GCC 12 at -O3 misreads a '+' here
            why->append(format.substr(at, i + 1 - at));
            why->append("' is no field; a format names only %n %flag %file %date %from %to %cc "
                        "%bcc %subject");
            return false;
        }
        out->items.push_back({f, {}});
        out->dated = out->dated || f == colfield::date;
    }
    return true;
}

void colline(const colformat& f, const rvrec& r, bool dated, int64_t date, std::string* out) {
    constexpr size_t field = sizeof llnode::to;
    for (const colitem& it : f.items) {
        switch (it.field) {
        case colfield::text:
            out->append(it.text);
            break;
        case colfield::no: {
            char num[16];
            const auto end = std::to_chars(num, num + sizeof num, r.no).ptr;
            out->append(num, end);
            break;
        }
        case colfield::flag:
            out->push_back(r.read() ? 'R' : 'N');
            break;
        case colfield::file:
            shown(out, r.name, sizeof llnode::datafile);
            break;
        case colfield::from:
            shown(out, r.from, field);
            break;
        case colfield::to:
            shown(out, r.to, field);
            break;
        case colfield::cc:
            shown(out, r.cc, field);
            break;
        case colfield::bcc:
            shown(out, r.bcc, field);
            break;
        case colfield::subject:
            shown(out, r.subject, field);
            break;
        case colfield::date: {
            char buf[32] = "-";
            if (dated) dateshow(date, buf, sizeof buf);
            out->append(buf);
            break;
        }
        }
    }
    out->push_back('\n');
}
