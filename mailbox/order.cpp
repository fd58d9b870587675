// The order a sort gives the records (mailbox/order.h).
#include "mailbox/order.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>

#include "mailbox/date.h"
#include "mailbox/ll.h"

namespace {

std::string folded(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The length of a reply or forward prefix at the start of s, spaces after
// it included; 0 when s starts with none.
size_t prefix(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && ((s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z'))) i++;
    const std::string word = folded(s.substr(0, i));
    if (word != "re" && word != "fw" && word != "fwd") return 0;
    if (i < s.size() && s[i] == '[') {  // Re[2]:
        const size_t close = s.find(']', i);
        if (close == std::string_view::npos) return 0;
        i = close + 1;
    }
    if (i >= s.size() || s[i] != ':') return 0;
    i++;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
    return i;
}

}  // namespace

std::string ordsubject(std::string_view subject) {
    while (!subject.empty() && subject[0] == ' ') subject.remove_prefix(1);
    for (size_t n; (n = prefix(subject)) > 0;) subject.remove_prefix(n);
    return folded(subject);
}

std::vector<ordkey> ordkeys(const rvindex& idx, ordby by, int atfd) {
    std::vector<ordkey> keys(idx.recs.size());
    for (size_t k = 0; k < idx.recs.size(); k++) {
        const rvrec& r = idx.recs[k];
        ordkey& key = keys[k];
        const std::string name(r.name);
        if (by == ordby::date) {
            key.known = dateofmsg(atfd, name.c_str(), &key.num) == 0;
        } else if (by == ordby::size) {
            struct stat st;
            key.known = fstatat(atfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISREG(st.st_mode);
            key.num = key.known ? st.st_size : 0;
        } else {
            key.known = true;
            const std::string_view field =
                rvfield(by == ordby::from ? r.from : r.subject, sizeof llnode::to);
            key.text = by == ordby::from ? folded(field) : ordsubject(field);
        }
    }
    return keys;
}

std::vector<int> ordsort(const std::vector<ordkey>& keys, bool reverse) {
    std::vector<int> order(keys.size());
    std::iota(order.begin(), order.end(), 1);
    auto less = [&](const ordkey& a, const ordkey& b) {
        if (a.known != b.known) return !a.known;
        if (a.num != b.num) return a.num < b.num;
        return a.text < b.text;
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const ordkey& ka = keys[static_cast<size_t>(a - 1)];
        const ordkey& kb = keys[static_cast<size_t>(b - 1)];
        return reverse ? less(kb, ka) : less(ka, kb);
    });
    return order;
}
