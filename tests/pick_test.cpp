// Which records a pick's criteria select, as one table over one index; and
// the order a sort gives: stable, reversed stably, unknown keys first.
#include "mailbox/pick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>

#include "mailbox/order.h"
#include "testutil.h"

namespace {

// Five records; the dates are the messages', by record (0: none).
const std::string five = metafile({
    {"a.msg", "ann@x", "Bob <bob@example.org>", "Lunch on Friday", "carol@x", "", "N"},
    {"b.msg", "ann@x", "carol@example.org", "Re: Lunch on Friday", "", "", "R"},
    {"c.msg", "dave@x", "BOB@EXAMPLE.ORG", "Budget 2027", "ann@x", "", "N"},
    {"d.msg", "ann@x", "erin@example.org", "[list] budget", "", "", "N"},
    {"e.msg", "ann@x", "frank@example.org", "Party", "bob@example.org", "", "R"},
});
const int64_t dates[] = {1764547200 /* 2025-12-01 */, 1765152000 /* 2025-12-08 */, 0,
                         1765238400 /* 2025-12-09 */, 1764460800 /* 2025-11-30 */};

struct pickrow {
    const char* name;
    std::vector<std::pair<pickfield, const char*>> res;
    bool onlynew;
    const char* since;
    const char* before;
    std::string want;  // the numbers picked
};
void PrintTo(const pickrow& r, std::ostream* os) { *os << r.name; }

class PickCriteria : public ::testing::TestWithParam<pickrow> {};

TEST_P(PickCriteria, Row) {
    const pickrow& row = GetParam();
    pickcrit c;
    std::string why;
    for (const auto& [field, re] : row.res) ASSERT_TRUE(pickadd(&c, field, re, &why)) << why;
    c.onlynew = row.onlynew;
    if (row.since) {
        c.since = true;
        c.from = std::stoll(row.since);
    }
    if (row.before) {
        c.before = true;
        c.until = std::stoll(row.before);
    }
    rvindex idx;
    ASSERT_TRUE(rvparse(five, &idx));
    std::string got;
    for (const rvrec& r : idx.recs) {
        const int64_t d = dates[r.no - 1];
        if (pickmatch(c, r, d != 0, d)) got += std::to_string(r.no) + " ";
    }
    EXPECT_EQ(got, row.want);
}

using pf = pickfield;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, PickCriteria, ::testing::Values(
    pickrow{"NothingGiven", {}, false, nullptr, nullptr, "1 2 3 4 5 "},
    pickrow{"FromCaseIgnored", {{pf::from, "bob@example"}}, false, nullptr, nullptr, "1 3 "},
    pickrow{"FromExtended", {{pf::from, "^(carol|erin)@"}}, false, nullptr, nullptr, "2 4 "},
    pickrow{"To", {{pf::to, "dave"}}, false, nullptr, nullptr, "3 "},
    pickrow{"CcNotFrom", {{pf::cc, "bob"}}, false, nullptr, nullptr, "5 "},
    pickrow{"Subject", {{pf::subject, "budget"}}, false, nullptr, nullptr, "3 4 "},
    pickrow{"SubjectAnchored", {{pf::subject, "^lunch"}}, false, nullptr, nullptr, "1 "},
    pickrow{"AllMustHold", {{pf::subject, "lunch"}, {pf::from, "bob"}}, false, nullptr, nullptr, "1 "},
    pickrow{"New", {}, true, nullptr, nullptr, "1 3 4 "},
    pickrow{"NewAndSubject", {{pf::subject, "lunch"}}, true, nullptr, nullptr, "1 "},
    pickrow{"SinceInclusive", {}, false, "1765152000", nullptr, "2 4 "},
    pickrow{"BeforeExclusive", {}, false, nullptr, "1765152000", "1 5 "},
    pickrow{"Between", {}, false, "1764547200", "1765238400", "1 2 "},
    pickrow{"NoDateMeetsNoBound", {{pf::subject, "budget 2027"}}, false, "0", nullptr, ""},
    pickrow{"EmptyExpressionMatchesAll", {{pf::from, ""}}, false, nullptr, nullptr, "1 2 3 4 5 "},
    pickrow{"NoneMatch", {{pf::from, "zed"}}, false, nullptr, nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The fields are UTF-8: case is ignored for every letter, in the UTF-8
// locale the system has, or for ASCII alone where it has none.
const std::string utf8 = metafile({
    {"a.msg", "ann@x", "Jürgen MÜLLER <m@example.org>", "Grüße", "", "", "N"},
    {"b.msg", "ann@x", "Émile <e@example.org>", "Ö", "", "", "N"},
    {"c.msg", "ann@x", "mueller@example.org", "STRASSE", "", "", "N"},
});

struct foldrow {
    const char* name;
    pickfield field;
    const char* re;
    const char* ctype;  // null: the first UTF-8 locale there is
    std::string want;
};
void PrintTo(const foldrow& r, std::ostream* os) { *os << r.name; }

class PickFold : public ::testing::TestWithParam<foldrow> {};

TEST_P(PickFold, Row) {
    const foldrow& row = GetParam();
    if (!row.ctype) {
        const locale_t l = newlocale(LC_CTYPE_MASK, pickutf8[0], nullptr);
        if (!l) GTEST_SKIP() << "no " << pickutf8[0] << " here";
        freelocale(l);
    }
    const locale_t before = uselocale(nullptr);
    pickcrit c;
    std::string why;
    ASSERT_TRUE(pickadd(&c, row.field, row.re, &why, row.ctype)) << why;
    rvindex idx;
    ASSERT_TRUE(rvparse(utf8, &idx));
    std::string got;
    for (const rvrec& r : idx.recs)
        if (pickmatch(c, r, false, 0)) got += std::to_string(r.no) + " ";
    EXPECT_EQ(got, row.want);
    // The thread's locale is the program's again: nothing else it prints
    // is in the UTF-8 one.
    EXPECT_EQ(uselocale(nullptr), before);
    EXPECT_EQ(MB_CUR_MAX, 1u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, PickFold, ::testing::Values(
    foldrow{"LowerFindsUpper", pf::from, "müller", nullptr, "1 "},
    foldrow{"UpperFindsLower", pf::from, "JÜRGEN", nullptr, "1 "},
    foldrow{"AccentedCapital", pf::from, "^émile", nullptr, "2 "},
    foldrow{"SubjectFolded", pf::subject, "GRÜSSE|grüße", nullptr, "1 "},
    foldrow{"DotIsOneCharacter", pf::subject, "^.$", nullptr, "2 "},
    foldrow{"AsciiAsEver", pf::from, "MUELLER", nullptr, "3 "},
    foldrow{"NoLocaleAsciiFolded", pf::from, "mÜller", "no-such-locale", "1 "},
    foldrow{"NoLocaleOthersNot", pf::from, "müller", "no-such-locale", ""},
    foldrow{"NotUtf8PatternByBytes", pf::from, "\xc3", nullptr, "1 2 "}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(PickAdd, BadExpressionRefused) {
    pickcrit c;
    std::string why;
    EXPECT_FALSE(pickadd(&c, pickfield::from, "(unclosed", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(c.res.empty());
}

std::vector<ordkey> nums(const std::vector<int64_t>& v) {
    std::vector<ordkey> keys;
    for (int64_t n : v) keys.push_back({n >= 0, n >= 0 ? n : 0, ""});
    return keys;
}

std::string joined(const std::vector<int>& order) {
    std::string s;
    for (int no : order) s += std::to_string(no) + " ";
    return s;
}

// Equal keys keep index order both ways; unknown (-1 here) first, last reversed.
TEST(Order, StableBothWays) {
    const auto keys = nums({5, 3, -1, 5, 3, -1, 1});
    EXPECT_EQ(joined(ordsort(keys, false)), "3 6 7 2 5 1 4 ");
    EXPECT_EQ(joined(ordsort(keys, true)), "1 4 2 5 7 3 6 ");
}

// Past the few records an insertion sort handles: 300 records of three
// keys, each key's records still in index order, reversed or not.
TEST(Order, StableAtSize) {
    std::vector<int64_t> v;
    for (int k = 0; k < 300; k++) v.push_back((k * 7) % 3);
    for (const bool reverse : {false, true}) {
        const std::vector<int> order = ordsort(nums(v), reverse);
        ASSERT_EQ(order.size(), 300u);
        for (size_t k = 1; k < order.size(); k++) {
            const int64_t a = v[static_cast<size_t>(order[k - 1] - 1)];
            const int64_t b = v[static_cast<size_t>(order[k] - 1)];
            EXPECT_TRUE(reverse ? a >= b : a <= b) << k;
            if (a == b) {
                EXPECT_LT(order[k - 1], order[k]) << k;
            }
        }
    }
}

TEST(Order, SubjectsOfAThread) {
    EXPECT_EQ(ordsubject("Re: RE: Fwd:  Lunch"), "lunch");
    EXPECT_EQ(ordsubject("Re[2]: Budget"), "budget");
    EXPECT_EQ(ordsubject("Reply: x"), "reply: x");
    EXPECT_EQ(ordsubject("Fw:x"), "x");
    EXPECT_EQ(ordsubject("Re:"), "");
}

class OrderKeys : public ScratchDir {};

// Keys read from the files: the date, the size; a link, a FIFO or no file
// has none, and is never followed or blocked on.
TEST_F(OrderKeys, FromTheFiles) {
    spit("a.msg", "Date: 9 Dec 2026 10:00:00 +0000\n\nlonger body text\n");
    spit("b.msg", "Date: 8 Dec 2026 10:00:00 +0000\n\nbody\n");
    spit("real.msg", "Date: 1 Jan 2000 00:00:00 +0000\n\n");
    ASSERT_EQ(symlink("real.msg", "l.msg"), 0);
    ASSERT_EQ(mkfifo("f.msg", 0600), 0);
    const std::string text = plainindex({"a.msg", "b.msg", "l.msg", "f.msg", "gone.msg"});
    rvindex idx;
    ASSERT_TRUE(rvparse(text, &idx));
    const auto bydate = ordkeys(idx, ordby::date, AT_FDCWD);
    EXPECT_EQ(joined(ordsort(bydate, false)), "3 4 5 2 1 ");
    const auto bysize = ordkeys(idx, ordby::size, AT_FDCWD);
    EXPECT_EQ(joined(ordsort(bysize, false)), "3 4 5 2 1 ");
    EXPECT_EQ(joined(ordsort(bysize, true)), "1 2 3 4 5 ");
}

TEST(OrderKeysText, FromAndSubject) {
    const std::string text = metafile({{"a", "t", "carol@x", "Re: b", "", "", "N"},
                                       {"b", "t", "Bob@x", "a", "", "", "N"},
                                       {"c", "t", "bob@x", "B", "", "", "N"}});
    rvindex idx;
    ASSERT_TRUE(rvparse(text, &idx));
    EXPECT_EQ(joined(ordsort(ordkeys(idx, ordby::from, AT_FDCWD), false)), "2 3 1 ");
    EXPECT_EQ(joined(ordsort(ordkeys(idx, ordby::subject, AT_FDCWD), false)), "2 1 3 ");
}

}  // namespace
