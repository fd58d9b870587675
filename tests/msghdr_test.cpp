// The header reader on message files of the shapes real mailboxes hold.
#include "headers/msghdr.h"

#include <cerrno>

#include "testutil.h"

namespace {

// A message file, msghdrread's result and the fields as "to|from|subject|cc|bcc|flag".
struct hdrcase {
    const char* name;
    std::string text;
    int rc;
    std::string want;
};
void PrintTo(const hdrcase& c, std::ostream* os) { *os << c.name; }
class MsgHdr : public ScratchDir, public ::testing::WithParamInterface<hdrcase> {};

TEST_P(MsgHdr, ReadsAndDecodes) {
    spit("m.msg", GetParam().text);
    msghdr h{"stale", "stale", "stale", "stale", "stale", true};
    ASSERT_EQ(msghdrread("m.msg", &h), GetParam().rc);
    EXPECT_EQ(h.to + '|' + h.from + '|' + h.subject + '|' + h.cc + '|' + h.bcc + '|' + "NR"[h.read],
              GetParam().want);
}

const std::string ivan = "=?UTF-8?B?0JjQstCw0L0g0J/QtdGC0YDQvtCy?=";  // Иван Петров
const std::string plain = "From: Ann <ann@example.org>\nTo: bob@example.org\nSubject: Hello\n";
const std::string want = "bob@example.org|Ann <ann@example.org>|Hello|||";
const std::string crlf = "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: Hello\r\n";
const std::string longword = "=?UTF-8?B?" + times(19, "QUFB") + "?=";  // 88 bytes: "A" 57 times
const std::string fold300k = "X-Long: " + times(5000, std::string(60, 'a') + "\n ") + "b\n";
const std::string past1m = times(20000, "Received: from somewhere by elsewhere with esmtp id 0123\n");

// clang-format off
INSTANTIATE_TEST_SUITE_P(Shapes, MsgHdr, ::testing::Values(
    hdrcase{"plain", plain + "\nbody\n", 0, want + "N"},
    hdrcase{"crlf", crlf + "\r\nbody\r\n", 0, want + "N"},
    hdrcase{"body_not_read", "From: a@example.org\n\nSubject: in the body\n", 0, "|a@example.org||||N"},
    hdrcase{"folded", "Subject: a long\n subject\tfolded\nTo: a@example.org,\n\tb@example.org\n", 0, "a@example.org, b@example.org||a long subject folded|||N"},
    hdrcase{"utf8_b", "From: " + ivan + " <ivan@example.org>\nSubject: =?UTF-8?B?0J/RgNC40LLQtdGC?=\n\n", 0, "|Иван Петров <ivan@example.org>|Привет|||N"},
    hdrcase{"latin1_q", "Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?=\nCc: =?iso-8859-1?q?Ren=E9?= <r@example.org>\n\n", 0, "||Café crème|René <r@example.org>||N"},
    hdrcase{"two_charsets", "Subject: =?ISO-8859-1?Q?caf=E9?= " + ivan + "\n =?KOI8-R?B?8NLJ18XU?=\n\n", 0, "||caféИван ПетровПривет|||N"},
    hdrcase{"missing_subject", "From: a@example.org\nBcc: b@example.org\n\n", 0, "|a@example.org|||b@example.org|N"},
    hdrcase{"malformed_word", "Subject: =?UTF-8?X?abc?= =?UTF-8?Q?caf=C3=A9_unended\n\n", 0, "||=?UTF-8?X?abc?= =?UTF-8?Q?caf=C3=A9_unended|||N"},
    hdrcase{"long_word_after_short", "Subject: " + ivan + " " + longword + "\n =?UTF-8?Q?!?= x\n\n", 0, "||Иван Петров" + std::string(57, 'A') + "! x|||N"},
    hdrcase{"long_word_folded_before_text", "Subject: " + longword + "\n tail\n\n", 0, "||" + std::string(57, 'A') + " tail|||N"},
    hdrcase{"newline_in_word", "Subject: =?UTF-8?Q?one=0D=0Atwo?=\n\n", 0, "||one  two|||N"},
    hdrcase{"raw_latin1", "Subject: caf\xe9\n\n", 0, "||café|||N"},
    hdrcase{"quoted_comma", "From: \"Petrov, Ivan\" <ivan@example.org>\n\n", 0, "|\"Petrov, Ivan\" <ivan@example.org>||||N"},
    hdrcase{"two_to_headers", "To: a@example.org\nTo: b@example.org\n\n", 0, "a@example.org, b@example.org|||||N"},
    hdrcase{"no_address", "From: the night porter\n\n", 0, "|the night porter||||N"},
    hdrcase{"envelope_line", "From ann@example.org Tue Dec  8 10:00:00 2026\n" + plain + "\n", 0, want + "N"},
    hdrcase{"status_ro", plain + "Status: RO\n\n", 0, want + "R"},
    hdrcase{"status_o", plain + "Status: O\n\n", 0, want + "N"},
    hdrcase{"status_or", plain + "Status: OR\n\n", 0, want + "R"},
    hdrcase{"huge_header", fold300k + plain + "\n", 0, want + "N"},
    hdrcase{"past_the_bound", past1m + plain + "\n", 0, "|||||N"},
    hdrcase{"not_a_message", "hello world\nno headers here\n", 1, "|||||N"},
    hdrcase{"blank_first", "\nFrom: a@example.org\n", 1, "|||||N"},
    hdrcase{"empty_file", "", 1, "|||||N"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ScratchDir, MsgHdrUnreadableSaysWhy) {
    msghdr h;
    EXPECT_EQ(msghdrread("nosuch.msg", &h), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(msghdrread(".", &h), -1);
    EXPECT_EQ(errno, EISDIR);
}

}  // namespace
