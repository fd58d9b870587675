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
    hdrcase{"status_first", plain + "Status: O\nStatus: RO\n\n", 0, want + "N"},
    hdrcase{"huge_header", fold300k + plain + "\n", 0, want + "N"},
    hdrcase{"past_the_bound", past1m + plain + "\n", 0, "|||||N"},
    hdrcase{"not_a_message", "hello world\nno headers here\n", 1, "|||||N"},
    hdrcase{"blank_first", "\nFrom: a@example.org\n", 1, "|||||N"},
    hdrcase{"empty_file", "", 1, "|||||N"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// One header as a mail reader shows it: the header text (one or more lines,
// the first naming the field compared) and what that field must read.
struct wordcase {
    const char* name;
    std::string header;
    std::string want;
};
void PrintTo(const wordcase& c, std::ostream* os) { *os << c.name; }
class HdrDecode : public ScratchDir, public ::testing::WithParamInterface<wordcase> {};

TEST_P(HdrDecode, ReadsAsAReaderShowsIt) {
    const std::string& text = GetParam().header;
    spit("m.msg", "X-Mailer: any\n" + text + "\n\nbody =?UTF-8?Q?not_this?=\n");
    msghdr h;
    ASSERT_EQ(msghdrread("m.msg", &h), 0);
    const std::string field = text.substr(0, text.find(':'));
    const std::string& got = field == "To"        ? h.to
                             : field == "From"    ? h.from
                             : field == "Cc"      ? h.cc
                             : field == "Bcc"     ? h.bcc
                                                  : h.subject;
    EXPECT_EQ(got, GetParam().want);
}

const std::string longname = "=?UTF-8?B?" + times(19, "QUFB") + "?=";  // "A" 57 times, 88 bytes

// clang-format off
INSTANTIATE_TEST_SUITE_P(Words, HdrDecode, ::testing::Values(
    wordcase{"padded_b64_pair", "Subject: =?UTF-8?B?YWI=?= =?UTF-8?B?ZGVm?=", "abdef"},
    wordcase{"padded_b64_three", "Subject: =?UTF-8?B?R3LDvMOfZSA=?= =?UTF-8?B?YXVzIE3DvG5j?=\n =?UTF-8?B?aGVu?=", "Grüße aus München"},
    wordcase{"padding_inside_word", "Subject: =?UTF-8?B?YWI=ZGVm?=", "abdef"},
    wordcase{"padding_left_out", "Subject: =?UTF-8?B?YWI?=", "ab"},
    wordcase{"char_split_q", "Subject: =?UTF-8?Q?Caf=C3?= =?UTF-8?Q?=A9?=", "Café"},
    wordcase{"char_split_b", "Subject: =?UTF-8?B?Q2Fmww==?= =?utf-8?B?qQ==?=", "Café"},
    wordcase{"char_split_b_name", "From: =?UTF-8?B?0JjQstA=?= =?UTF-8?B?sNC9INCf0LXRgtGA0L7Qsg==?= <ivan@example.org>", "Иван Петров <ivan@example.org>"},
    wordcase{"char_split_gbk", "Subject: =?gb2312?Q?=86?= =?gb2312?Q?=FE?=", "嘅"},
    wordcase{"undecodable_b64", "Subject: =?UTF-8?B?!!!notbase64?=", "=?UTF-8?B?!!!notbase64?="},
    wordcase{"undecodable_then_word", "Subject: =?UTF-8?B?!!!notbase64?= =?UTF-8?Q?ok?=", "=?UTF-8?B?!!!notbase64?= ok"},
    wordcase{"unknown_encoding", "Subject: =?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
    wordcase{"space_inside_word", "Subject: =?UTF-8?Q?a_b c?=", "=?UTF-8?Q?a_b c?="},
    wordcase{"cp1252_that_reads_as_utf8", "Subject: =?windows-1252?Q?=C3=A9?=", "Ã©"},
    wordcase{"bad_q_escape", "Subject: =?UTF-8?Q?100=ZZ_off?=", "100=ZZ off"},
    wordcase{"nul_raw", std::string("Subject: before\0after", 21), "before after"},
    wordcase{"nul_encoded", "Subject: =?UTF-8?Q?before=00after?= tail", "before after tail"},
    wordcase{"c1_control_encoded", "Subject: =?UTF-8?Q?one=C2=85two?=", "one two"},
    wordcase{"two_subjects_first", "Subject: first\nSubject: second", "first"},
    wordcase{"two_froms_both", "From: a@example.org\nFrom: b@example.org", "a@example.org, b@example.org"},
    wordcase{"two_ccs_both", "Cc: a@example.org\nCc: Bob <b@example.org>", "a@example.org, Bob <b@example.org>"},
    wordcase{"long_word_name_from", "From: " + longname + " <a@example.org>", std::string(57, 'A') + " <a@example.org>"},
    wordcase{"long_word_name_to", "To: x@example.org, " + longname + "\n =?UTF-8?Q?!?= <a@example.org>", "x@example.org, " + std::string(57, 'A') + "! <a@example.org>"},
    wordcase{"long_word_name_cc", "Cc: " + longname + " <a@example.org>", std::string(57, 'A') + " <a@example.org>"},
    wordcase{"ascii_label_utf8", "Subject: =?us-ascii?Q?caf=C3=A9?=", "café"},
    wordcase{"utf8_label_latin1", "Subject: =?UTF-8?Q?caf=E9?=", "=?UTF-8?Q?caf=E9?="},
    wordcase{"broken_utf8_b_kept", "Subject: =?UTF-8?B?YWL/?= tail", "=?UTF-8?B?YWL/?= tail"},
    wordcase{"broken_utf8_cut_char", "Subject: =?UTF-8?Q?Caf=C3?=", "=?UTF-8?Q?Caf=C3?="},
    wordcase{"broken_beside_good", "Subject: =?UTF-8?Q?good?= =?UTF-8?Q?bad=FF?= =?UTF-8?Q?fine?=", "good =?UTF-8?Q?bad=FF?= fine"},
    wordcase{"broken_then_other_set", "Subject: =?UTF-8?Q?bad=FF?= =?ISO-8859-1?Q?caf=E9?=", "=?UTF-8?Q?bad=FF?= café"},
    wordcase{"good_then_broken_set", "Subject: =?ISO-8859-1?Q?caf=E9?= =?UTF-8?Q?bad=FF?=", "café =?UTF-8?Q?bad=FF?="},
    wordcase{"split_char_beside_broken", "Subject: =?UTF-8?Q?Caf=C3?= =?UTF-8?Q?=A9?= =?UTF-8?Q?=FF?=", "=?UTF-8?Q?Caf=C3?= =?UTF-8?Q?=A9?= =?UTF-8?Q?=FF?="},
    wordcase{"converter_refuses", "Subject: =?EUC-JP?Q?=A4=FF=FF?= x", "=?EUC-JP?Q?=A4=FF=FF?= x"},
    wordcase{"latin1_label_cp1252", "Subject: =?ISO-8859-1?Q?=93quoted=94_=96_yes?=", "“quoted” – yes"},
    wordcase{"unknown_charset", "Subject: =?x-made-up?Q?caf=E9?= =?x-made-up?Q?_ok?=", "café ok"},
    wordcase{"raw_8bit_mixed", "Subject: caf\xc3\xa9 na\xefve", "café naïve"},
    wordcase{"raw_8bit_name", "From: Zo\xc3\xab <z@example.org>", "Zoë <z@example.org>"},
    wordcase{"raw_latin1_name", "From: Ren\xe9 <r@example.org>", "René <r@example.org>"},
    wordcase{"q_underscore", "Subject: =?UTF-8?Q?two_words?=", "two words"},
    wordcase{"lower_b", "Subject: =?utf-8?b?0J/RgNC40LLQtdGC?=", "Привет"},
    wordcase{"lower_q", "Subject: =?utf-8?q?caf=c3=a9?=", "café"},
    wordcase{"space_between_words_dropped", "Subject: =?UTF-8?Q?a?=  \t =?UTF-8?Q?b?=", "ab"},
    wordcase{"fold_between_words_dropped", "Subject: =?UTF-8?Q?a?=\n =?UTF-8?Q?b?=", "ab"},
    wordcase{"space_to_text_kept", "Subject: x =?UTF-8?Q?a?= y  =?UTF-8?Q?b?=", "x a y  b"},
    wordcase{"words_glued", "Subject: =?UTF-8?Q?a?==?UTF-8?Q?b?=", "ab"},
    wordcase{"word_language", "Subject: =?UTF-8*en?Q?hi?=", "hi"},
    wordcase{"folded_crlf", "Subject: one\r\n two\r\n\tthree", "one two three"},
    wordcase{"comment_name", "From: ann@example.org (Ann Smith), bob@example.org (Bob)", "Ann Smith <ann@example.org>, Bob <bob@example.org>"},
    wordcase{"quoted_word_name", "To: \"=?UTF-8?Q?Ren=C3=A9?=\" <r@example.org>", "René <r@example.org>"},
    wordcase{"comma_in_word_name", "To: =?UTF-8?Q?Petrov=2C_Ivan?= <i@example.org>", "\"Petrov, Ivan\" <i@example.org>"},
    wordcase{"group", "To: Team: a@example.org, B <b@example.org>;, c@example.org", "Team: a@example.org, B <b@example.org>;, c@example.org"},
    wordcase{"empty_group", "To: undisclosed-recipients:;", "undisclosed-recipients: ;"},
    wordcase{"iso2022jp_b", "Subject: =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=", "こんにちは"},
    wordcase{"utf7_q", "Subject: =?UTF-7?Q?+BB8EQAQ4BDIENQRC-?=", "Привет"},
    wordcase{"iso2022jp_raw_name", "From: \"\x1b$B;3ED\x1b(B\" <y@example.jp>", "山田 <y@example.jp>"},
    wordcase{"raw_latin1_addr", "From: j\xfcrgen@example.de, <j\xfcrgen@example.de>", "jürgen@example.de, jürgen@example.de"},
    wordcase{"route_and_empty", "To: <@relay.example.org:a@example.org>, Jo <>", "a@example.org"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Whether a file is a message at all: only one with no header line at the
// top is not.
struct msgcase {
    const char* name;
    std::string text;
    int rc;
};
void PrintTo(const msgcase& c, std::ostream* os) { *os << c.name; }
class HdrIsMessage : public ScratchDir, public ::testing::WithParamInterface<msgcase> {};

TEST_P(HdrIsMessage, OnlyWithoutAHeaderLine) {
    spit("m.msg", GetParam().text);
    msghdr h{"stale", "stale", "stale", "stale", "stale", true};
    EXPECT_EQ(msghdrread("m.msg", &h), GetParam().rc);
    if (GetParam().rc == 1) {
        EXPECT_EQ(h.to + h.from + h.subject + h.cc + h.bcc, "");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Shapes, HdrIsMessage, ::testing::Values(
    msgcase{"content_only", "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8bit\n\nbody\n", 0},
    msgcase{"one_empty_header", "X-Empty:\n\nbody\n", 0},
    msgcase{"no_blank_line", "Subject: all header\n", 0},
    msgcase{"no_final_newline", "Subject: all header", 0},
    msgcase{"text_then_header", "dear ann,\nSubject: not a header here\n\n", 1},
    msgcase{"space_first", " Subject: folded from nothing\n\n", 1},
    msgcase{"envelope_only", "From ann@example.org Tue Dec  8 10:00:00 2026\n\nbody\n", 1},
    msgcase{"bom_only", "\xef\xbb\xbf\nbody\n", 1},
    msgcase{"first_line_past_the_bound", "X-Long: " + std::string(1100000, 'y') + "\nFrom: a@example.org\n\nbody\n", 0},
    msgcase{"bom_then_text", "\xef\xbb\xbfhello world\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ScratchDir, MsgHdrByteOrderMarkSkipped) {
    spit("m.msg", "\xef\xbb\xbf" "From: a@example.org\nSubject: s\nStatus: RO\n\nbody\n");
    msghdr h;
    ASSERT_EQ(msghdrread("m.msg", &h), 0);
    EXPECT_EQ(h.from + '|' + h.subject + '|' + "NR"[h.read], "a@example.org|s|R");
}

// A megabyte of one folded Subject: read no further than the bound, and what
// comes back is still one line.
TEST_F(ScratchDir, MsgHdrHugeSubjectBounded) {
    spit("m.msg", "Subject: " + times(30000, "=?UTF-8?Q?caf=C3?= =?UTF-8?Q?=A9?= \r\n ") + "end\r\n\r\n");
    msghdr h;
    ASSERT_EQ(msghdrread("m.msg", &h), 0);
    EXPECT_GT(h.subject.size(), 100000u);
    EXPECT_LT(h.subject.size(), 1u << 20);
    EXPECT_TRUE(h.subject.starts_with("cafécafécafé"));
    EXPECT_EQ(h.subject.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(h.subject.find("end"), std::string::npos);
}

// Headers pieced together from the bytes that steer the reader (encoded
// words cut anywhere, quotes, comments, line ends, NULs, stray UTF-8): every
// field comes back one line of valid UTF-8, whatever the pieces. Seeded, so
// each run reads the same files.
TEST_F(ScratchDir, MsgHdrAnyBytesGiveOneLine) {
    const std::vector<std::string> pieces = {
        "=?", "?=", "UTF-8", "?B?", "?q?", "=C3", "=A9", "YWI=", "0JjQ", "_", "=",
        "\"", "\\", "(", ")", "<", ">", ",", ";", ":", "@", "[", "]", " ", "\t",
        "\r", "\n", "\n ", "\r\n\t", std::string(1, '\0'), "\xc3", "\xa9", "\xe2\x80",
        "\xef\xbb\xbf", "a", "Bob", "x@example.org", "gb2312", "x-none", "*en", "?"};
    const std::vector<std::string> names = {"To: ", "From: ", "Subject: ", "Cc: ", "Bcc: "};
    unsigned seed = 12345;
    const auto next = [&seed](size_t n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<size_t>((seed >> 16) % n);
    };
    const auto valid = [](const std::string& f) {
        for (size_t i = 0; i < f.size();) {
            const auto c = static_cast<unsigned char>(f[i]);
            const size_t n = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
            if (n == 0 || i + n > f.size()) return false;
            for (size_t k = 1; k < n; k++)
                if ((static_cast<unsigned char>(f[i + k]) & 0xc0) != 0x80) return false;
            i += n;
        }
        return true;
    };
    for (int round = 0; round < (sanitized ? 300 : 2000); round++) {
        std::string text;
        for (int line = 0; line < 4; line++) {
            text += names[next(names.size())];
            for (size_t k = next(24); k > 0; k--) text += pieces[next(pieces.size())];
            text += '\n';
        }
        spit("m.msg", text + "\n");
        msghdr h;
        ASSERT_GE(msghdrread("m.msg", &h), 0) << round;
        for (const std::string* f : {&h.to, &h.from, &h.subject, &h.cc, &h.bcc}) {
            EXPECT_EQ(f->find_first_of(std::string("\r\n\t\0", 4)), std::string::npos) << round;
            EXPECT_TRUE(valid(*f)) << round;
        }
    }
}

TEST_F(ScratchDir, MsgHdrUnreadableSaysWhy) {
    msghdr h;
    EXPECT_EQ(msghdrread("nosuch.msg", &h), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(msghdrread(".", &h), -1);  // never read: not a regular file
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
