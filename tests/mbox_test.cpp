// An mbox split into its messages, with and without a Content-Length to go by.
#include "headers/mbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct splitrow {
    const char* name;
    std::string text;
    std::vector<std::string> want;  // each message, byte for byte
};
void PrintTo(const splitrow& r, std::ostream* os) { *os << r.name; }
class Split : public ::testing::TestWithParam<splitrow> {};

std::vector<std::string> split(std::string_view text, size_t most = SIZE_MAX) {
    std::vector<std::string> out;
    mboxeach(text, [&](std::string&& m) {
        out.push_back(m);
        return out.size() < most;
    });
    return out;
}
TEST_P(Split, Messages) { EXPECT_EQ(split(GetParam().text), GetParam().want); }
// Read a piece of k bytes at a time, as an import reads a large mbox: the
// same messages, wherever a piece ends.
TEST_P(Split, InPieces) {
    const std::string& text = GetParam().text;
    for (size_t k = 1; k <= 40; k++) {
        std::vector<std::string> out;
        std::string held;
        for (size_t at = 0; at < text.size() || at == 0;) {
            held += text.substr(at, k);
            at += k;
            bool stopped = false;
            const size_t done = mboxpart(held, at < text.size(), [&](std::string&& m) {
                out.push_back(m);
                return true;
            }, &stopped);
            held.erase(0, done);
        }
        EXPECT_EQ(out, GetParam().want) << "pieces of " << k;
    }
}
// A header block saying the body's length (off by d), the empty line, the body.
std::string cl(const std::string& body, long d = 0, const std::string& eol = "\n") {
    return "Content-Length: " + std::to_string(static_cast<long>(body.size()) + d) + eol + eol +
           body;
}
const std::string a = "From a@x Thu Jan  1 00:00:00 1970\n",
                  b = "From b@x Fri Jan  2 00:00:00 1970\n";
const std::string fwd = "From bob@example.org Mon Jan  5 10:00:00 2026\n";
const std::string body = "see below\n" + fwd + "Subject: old\n\nold text\n",
                  two = "Subject: two\n\n2\n";
const std::string two2 = "\n" + b + two + "\n";  // the next message, after the line end it takes
// A count that does not hold: split at every separator as without one.
std::vector<std::string> cut(const std::string& hdr) {
    return {hdr + "\n\nsee below", "Subject: old\n\nold text\n", two};
}
// Built anew rather than by insert, which GCC 12 at -O3 takes for an overlap.
std::string crlf(const std::string& s) {
    std::string out;
    for (const char c : s) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}
const std::string nbody = std::to_string(body.size()), rbody = crlf(body);

// clang-format off
INSTANTIATE_TEST_SUITE_P(Mbox, Split, ::testing::Values(
    splitrow{"FromLineInCountKept", a + cl(body) + two2, {cl(body), two}},
    splitrow{"OneShort", a + cl(body, -1) + two2, cut("Content-Length: " + std::to_string(body.size() - 1))},
    splitrow{"OneLong", a + cl(body, 1) + two2, cut("Content-Length: " + std::to_string(body.size() + 1))},
    splitrow{"PastTheEnd", a + "Content-Length: 99999999999999999999\n\n" + body + two2, cut("Content-Length: 99999999999999999999")},
    splitrow{"Crlf", crlf(a) + cl(rbody, 0, "\r\n") + crlf(two2), {cl(rbody, 0, "\r\n"), crlf(two)}},
    splitrow{"CrlfOneLong", crlf(a) + cl(rbody, 1, "\r\n") + crlf(two2), {crlf(cut("Content-Length: " + std::to_string(rbody.size() + 1))[0]), rbody.substr(rbody.find("Subject")), crlf(two)}},
    splitrow{"TwoCountsFirstTaken", a + "content-length:\t" + nbody + " \nContent-Length: 3\n\n" + body + two2, {"content-length:\t" + nbody + " \nContent-Length: 3\n\n" + body, two}},
    splitrow{"TwoCountsFirstWrong", a + "Content-Length: 3\n" + cl(body) + two2, cut("Content-Length: 3\n" + cl(body).substr(0, cl(body).find("\n\n")))},
    splitrow{"NotDigits", a + "Content-Length: " + nbody + "a\n\n" + body + two2, cut("Content-Length: " + nbody + "a")},
    splitrow{"Folded", a + "Content-Length: " + nbody + "\n 0\n\n" + body + two2, cut("Content-Length: " + nbody + "\n 0")},
    splitrow{"NoFinalNewline", a + cl("x\n" + fwd + "end"), {cl("x\n" + fwd + "end")}},
    splitrow{"FinalNewlineCounted", a + cl("x\n" + fwd), {cl("x\n" + fwd)}},
    splitrow{"QuotedInCountKept", a + cl(">From here\n") + two2, {cl(">From here\n"), two}},
    splitrow{"CountInBodyNotRead", a + "Subject: s\n\nContent-Length: 7\n\n>From x\n" + fwd + "y\n", {"Subject: s\n\nContent-Length: 7\n\nFrom x", "y"}},
    splitrow{"UncountedAmongCounted", a + cl(body) + "\n" + b + "Subject: p\n\n>From q\n" + fwd + "x\n\n" + a + cl(body) + "\n",
             {cl(body), "Subject: p\n\nFrom q", "x\n", cl(body)}},
    // Cut before its last digit, the line would read as a separator.
    splitrow{"YearTooLongIsBody", a + "Subject: s\n\nFrom b@x Fri Jan  2 00:00:00 19700\nx\n", {"Subject: s\n\nFrom b@x Fri Jan  2 00:00:00 19700\nx"}},
    splitrow{"YearTooLongInCountedHeader", a + "X: y\nFrom b@x Fri Jan  2 00:00:00 19700\n" + cl(body) + two2, {"X: y\nFrom b@x Fri Jan  2 00:00:00 19700\n" + cl(body), two}},
    splitrow{"QuotedSender", a + two + "\nFrom \"Ann \\\" Lee\"@x Mon Jan  5 10:00:00 2026\n" + two, {two, two.substr(0, two.size() - 1)}},
    splitrow{"QuoteUnclosedIsBody", a + two + "\nFrom \"Ann Lee@x Mon Jan  5 10:00:00 2026\n" + two,
             {two + "\nFrom \"Ann Lee@x Mon Jan  5 10:00:00 2026\n" + two.substr(0, two.size() - 1)}},
    splitrow{"QuoteUnclosedNotCutAtASpace", a + two + "\nFrom \"Ann Mon Jan  5 10:00:00 2026\n" + two,
             {two + "\nFrom \"Ann Mon Jan  5 10:00:00 2026\n" + two.substr(0, two.size() - 1)}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(Mbox, SplitStopsWhenTold) {
    EXPECT_EQ(split(a + cl("x") + "\n" + b + two, 1), std::vector<std::string>{cl("x")});
    // A piece stopped in goes on at the next message's separator.
    bool stopped = false;
    EXPECT_EQ(mboxpart(a + two + "\n" + b + two, true, [](std::string&&) { return false; }, &stopped), (a + two + "\n").size());
    EXPECT_TRUE(stopped);
}

// Written out (its From lines quoted, so that a count it carries no longer
// holds) and read back, each message is the same.
TEST(Mbox, SplitGivesBackWhatWasPut) {
    const std::vector<std::string> msgs = {cl(body), cl(">From here\n"), cl("x\n" + fwd + "end"),
                                           cl("plain\n"), two};
    std::string box;
    for (const std::string& m : msgs) mboxput(m, "a@x", 0, false, &box);
    EXPECT_EQ(split(box), msgs);
}


// The "From " line export writes from a record's From field: whatever the
// field, it reads back as a separator, so that the message after it is not
// taken into the one before.
struct senderrow {
    const char* name;
    std::string from;
    std::string want;  // the sender on the "From " line
};
void PrintTo(const senderrow& r, std::ostream* os) { *os << r.name; }
class Sender : public ::testing::TestWithParam<senderrow> {};
TEST_P(Sender, ReadsBackAsSeparator) {
    EXPECT_EQ(mboxsender(GetParam().from), GetParam().want);
    std::string box;
    for (int k = 0; k < 2; k++) mboxput(two, mboxsender(GetParam().from), 0, false, &box);
    EXPECT_EQ(split(box), (std::vector<std::string>{two, two}));
}
// clang-format off
INSTANTIATE_TEST_SUITE_P(Mbox, Sender, ::testing::Values(
    senderrow{"Plain", "ann@example.org", "ann@example.org"},
    senderrow{"NameAndBrackets", "Ann Lee <ann@example.org>", "ann@example.org"},
    senderrow{"QuotedLocalPart", "\"Ann Lee\"@example.org", "\"Ann Lee\"@example.org"},
    senderrow{"QuotedInBrackets", "Ann <\"Ann Lee\"@example.org>", "\"Ann Lee\"@example.org"},
    senderrow{"QuotedWithEscape", "\"Ann \\\" Lee\"@x", "\"Ann \\\" Lee\"@x"},
    senderrow{"QuoteUnclosed", "\"Ann Lee@example.org", "MAILER-DAEMON"},
    senderrow{"Empty", "", "MAILER-DAEMON"},
    senderrow{"BracketInsideQuote", "<\"Ann>Lee\"@x>", "MAILER-DAEMON"},
    senderrow{"QuoteAlone", "\"", "MAILER-DAEMON"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
