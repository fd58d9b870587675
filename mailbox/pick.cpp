// Which records a pick selects (mailbox/pick.h).
#include "mailbox/pick.h"

#include "mailbox/ll.h"

namespace {

void refree(regex_t* re) {
    regfree(re);
    delete re;
}

}  // namespace

bool pickadd(pickcrit* c, pickfield field, const char* pattern, std::string* why) {
    auto* re = new regex_t;
    const int rc = regcomp(re, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB);
    if (rc != 0) {
        char buf[256];
        (void)regerror(rc, re, buf, sizeof buf);
        *why = buf;
        delete re;  // regcomp frees what it took when it fails
        return false;
    }
    pickre p{field};
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
        if (regexec(p.re.get(), field.c_str(), 0, nullptr, 0) != 0) return false;
    }
    return true;
}
