// Which records a pick selects (mailbox/pick.h).
#include "mailbox/pick.h"

#include "mailbox/ll.h"

namespace {

void refree(regex_t* re) {
    regfree(re);
    delete re;
}

// The thread's locale set to l (none: left as it is) while it lives.
struct inlocale {
    locale_t was = nullptr;
    explicit inlocale(locale_t l) {
        if (l) was = uselocale(l);
    }
    ~inlocale() {
        if (was) (void)uselocale(was);
    }
    inlocale(const inlocale&) = delete;
    inlocale& operator=(const inlocale&) = delete;
};

// Whether s is UTF-8 throughout.
bool isutf8(std::string_view s) {
    int state = 0;
    for (size_t i = 0; i < s.size() && state >= 0; i++)
        state = llutf8step(state, static_cast<unsigned char>(s[i]));
    return state == 0;
}

}  // namespace

const char* const pickutf8[3] = {"C.UTF-8", "C.utf8", "en_US.UTF-8"};

bool pickadd(pickcrit* c, pickfield field, const char* pattern, std::string* why,
             const char* ctype) {
    if (!c->utf8tried) {
        c->utf8tried = true;
        for (const char* name : pickutf8) {
            const char* want = ctype ? ctype : name;
            if (locale_t l = newlocale(LC_CTYPE_MASK, want, nullptr)) {
                c->utf8.reset(l);
                break;
            }
            if (ctype) break;
        }
    }
    auto* re = new regex_t;
    // A pattern of other bytes than UTF-8 is matched byte for byte.
    const locale_t in = isutf8(pattern) ? c->utf8.get() : nullptr;
    int rc;
    {
        const inlocale here(in);
        rc = regcomp(re, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB);
    }
    if (rc != 0) {
        char buf[256];
        (void)regerror(rc, re, buf, sizeof buf);
        *why = buf;
        delete re;  // regcomp frees what it took when it fails
        return false;
    }
    pickre p{field};
    p.utf8 = in != nullptr;
    p.re = {re, refree};
    c->res.push_back(std::move(p));
    return true;
}

bool pickmatch(const pickcrit& c, const rvrec& r, bool known, int64_t date) {
    if (c.onlynew && r.read()) return false;
    if (c.dated() && (!known || (c.since && date < c.from) || (c.before && date >= c.until)))
        return false;
    for (const pickre& p : c.res) {
        const std::string_view line = p.field == pickfield::from  ? r.from
                                      : p.field == pickfield::to  ? r.to
                                      : p.field == pickfield::cc  ? r.cc
                                                                  : r.subject;
        // The field as the index's reader loads it, which list shows.
        const std::string field(rvfield(line, sizeof llnode::to));
        const inlocale here(p.utf8 ? c.utf8.get() : nullptr);
        if (regexec(p.re.get(), field.c_str(), 0, nullptr, 0) != 0) return false;
    }
    return true;
}
