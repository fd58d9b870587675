// The index's records seen in place (mailbox/recview.h).
#include "mailbox/recview.h"

#include <set>

#include "mailbox/ll.h"

namespace {

// The next line from *at, newline dropped; false at the end of the text.
bool nextline(std::string_view text, size_t* at, std::string_view* line) {
    if (*at >= text.size()) return false;
    size_t nl = text.find('\n', *at);
    if (nl == std::string_view::npos) nl = text.size();
    *line = text.substr(*at, nl - *at);
    *at = nl + 1;
    return true;
}

}  // namespace

bool rvparse(std::string text, rvindex* out) {
    out->text = std::move(text);
    out->recs.clear();
    const std::string_view t = out->text;
    size_t at = 0;
    std::string_view line;
    if (!nextline(t, &at, &line) || !nextline(t, &at, &line)) return false;
    out->head = std::min(at, t.size());
    out->recs.reserve(t.size() / 64);
    for (int no = 1;; no++) {
        const size_t start = at;
        rvrec r;
        if (!nextline(t, &at, &r.name)) return false;
        if (r.name == "END") {
            out->end = start;
            return true;
        }
        // cppcheck-suppress constVariable ; the fields are written through these
        std::string_view* const fields[] = {&r.to, &r.from, &r.subject, &r.cc, &r.bcc, &r.flag};
        for (std::string_view* f : fields)
            if (!nextline(t, &at, f)) return false;
        r.at = start;
        r.len = std::min(at, t.size()) - start;
        r.no = no;
        out->recs.push_back(r);
    }
}

std::string_view rvfield(std::string_view line, size_t size) {
    size_t n = line.size();
    if (n > size - 1) {
        // The reader's cut: after the last whole character when the line is
        // UTF-8, at the limit's byte otherwise.
        int state = 0;
        for (size_t i = 0; i < line.size() && state >= 0; i++)
            state = llutf8step(state, static_cast<unsigned char>(line[i]));
        n = size - 1;
        if (state == 0 && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80) {
            while (n > 1 && (static_cast<unsigned char>(line[n - 1]) & 0xC0) == 0x80) --n;
            --n;
        }
    }
    const size_t nul = line.substr(0, n).find('\0');
    return line.substr(0, nul == std::string_view::npos ? n : nul);
}

std::string rvreorder(const rvindex& idx, const std::vector<int>& order) {
    const std::string_view t = idx.text;
    std::string out;
    out.reserve(t.size() + 1);
    out.append(t.substr(0, idx.head));
    for (const int no : order) {
        const rvrec& r = idx.recs[static_cast<size_t>(no - 1)];
        out.append(t.substr(r.at, r.len));
        // The last record may end without its newline only when END does
        // not follow, which rvparse never takes.
    }
    out.append(t.substr(idx.end));
    return out;
}

std::string rvmark(const rvindex& idx, const std::vector<int>& nos, bool read) {
    const std::set<int> marked(nos.begin(), nos.end());
    const std::string_view t = idx.text;
    std::string out;
    out.reserve(t.size() + 8);
    size_t from = 0;
    for (const rvrec& r : idx.recs) {
        if (!marked.contains(r.no) || r.read() == read) continue;
        const auto flagat = static_cast<size_t>(r.flag.data() - t.data());
        out.append(t.substr(from, flagat - from));
        out += read ? "R" : "N";
        from = flagat + r.flag.size();
    }
    out.append(t.substr(from));
    return out;
}
