#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "testutil.h"

using namespace std::string_literals;

namespace {

// Table rows show by name in test listings.
template <typename Row>
std::string rowname(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

const std::vector<std::string> rec1 = {"in000.msg", "ann@x", "bob@x", "hello", "cc1", "bcc1", "R"};
const std::vector<std::string> rec2 = {"in004.msg", "ann@x", "carol@x", "again", "", "", "N"};

// A list head as the tool makes one, released at the end of the test.
class Reader : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        head = llnew();
        head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    }
    void TearDown() override {
        llfree(head);
        ScratchDir::TearDown();
    }
    // Loads text as the file "meta"; what readmeta printed goes to printed.
    int load(const std::string& text) {
        spit("meta", text);
        testing::internal::CaptureStdout();
        int rc = readmeta("meta", head);
        printed = testing::internal::GetCapturedStdout();
        return rc;
    }

    llnode* head = nullptr;
    std::string printed;
};

}  // namespace

TEST_F(Reader, OwnerLinesAndEndOnly) {
    EXPECT_EQ(load("/home/ann\nann@example.org\nEND\n"), 1);
    EXPECT_EQ(printed, "");
    EXPECT_STREQ(head->mydata->mypath, "/home/ann");
    EXPECT_STREQ(head->mydata->myaddr, "ann@example.org");
    EXPECT_EQ(head->count, 0);
    EXPECT_EQ(head->next, nullptr);
}

TEST_F(Reader, TwoRecordsNumberedActiveWithFlags) {
    EXPECT_EQ(load(metafile({rec1, rec2})), 1);
    EXPECT_EQ(printed, "");
    ASSERT_EQ(head->count, 2);
    const llnode* a = head->next;
    const llnode* b = a->next;
    EXPECT_STREQ(a->datafile, "in000.msg");
    EXPECT_STREQ(a->to, "ann@x");
    EXPECT_STREQ(a->from, "bob@x");
    EXPECT_STREQ(a->subject, "hello");
    EXPECT_STREQ(a->cc, "cc1");
    EXPECT_STREQ(a->bcc, "bcc1");
    EXPECT_EQ(a->read, MSGREAD);
    EXPECT_EQ(a->no, 1);
    EXPECT_EQ(a->status, ACTIVE);
    EXPECT_STREQ(b->datafile, "in004.msg");
    EXPECT_STREQ(b->cc, "");
    EXPECT_EQ(b->read, MSGNEW);
    EXPECT_EQ(b->no, 2);
    EXPECT_EQ(b->status, ACTIVE);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(head->status, IGNORE);
    EXPECT_EQ(head->no, 0);
}

TEST_F(Reader, NumberingContinuesFromTheHeadsCount) {
    ASSERT_EQ(load(metafile({rec1})), 1);
    ASSERT_EQ(load(metafile({rec2, rec1})), 1);
    EXPECT_EQ(head->count, 3);
    EXPECT_EQ(llnofind(3, head)->no, 3);
    EXPECT_STREQ(llnofind(3, head)->datafile, "in000.msg");
    EXPECT_STREQ(llnofind(2, head)->datafile, "in004.msg");
}

TEST_F(Reader, LinesAfterTheTerminatorAreIgnored) {
    EXPECT_EQ(load(metafile({rec1}) + "junk\nmore junk\n"), 1);
    EXPECT_EQ(head->count, 1);
}

TEST_F(Reader, LastLineWithoutNewline) {
    std::string text = metafile({rec1});
    text.pop_back();
    EXPECT_EQ(load(text), 1);
    EXPECT_EQ(head->count, 1);
}

struct flagcase {
    const char* name;
    const char* flag;
    int32_t read;
};

void PrintTo(const flagcase& c, std::ostream* os) { *os << c.name; }

class ReadFlag : public Reader, public ::testing::WithParamInterface<flagcase> {};

TEST_P(ReadFlag, FirstCharacterUppercaseRMeansRead) {
    std::vector<std::string> rec = rec1;
    rec[6] = GetParam().flag;
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_EQ(head->next->read, GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ReadFlag,
    ::testing::Values(flagcase{"R", "R", MSGREAD}, flagcase{"RD", "RD", MSGREAD},
                      flagcase{"Read", "Read", MSGREAD}, flagcase{"N", "N", MSGNEW},
                      flagcase{"lower_r", "r", MSGNEW}, flagcase{"x", "x", MSGNEW},
                      flagcase{"empty", "", MSGNEW}, flagcase{"space_R", " R", MSGNEW}),
    rowname<flagcase>);

// A record cut short after each of its lines, and the files that fail before
// any record: the messages run together, the records before the failure stay.
struct cutcase {
    const char* name;
    std::string text;
    const char* printed;
    int count;
};

void PrintTo(const cutcase& c, std::ostream* os) { *os << c.name; }

class CutShort : public Reader, public ::testing::WithParamInterface<cutcase> {};

TEST_P(CutShort, PrintsTheFieldsMessageThenTheFiles) {
    EXPECT_EQ(load(GetParam().text), -1);
    EXPECT_EQ(printed, GetParam().printed);
    EXPECT_EQ(head->count, GetParam().count);
}

#define REC "in000.msg\nto\nfrom\nsubj\ncc\nbcc\nR\n"
#define META_FAIL "FILE ERROR: readmeta, error in reading meta record from meta"
INSTANTIATE_TEST_SUITE_P(
    Failures, CutShort,
    ::testing::Values(
        cutcase{"empty", "", "FILE ERROR: readmeta, error in reading my path from meta", 0},
        cutcase{"path_only", "/p\n", "FILE ERROR: readmeta, error in reading my address from meta",
                0},
        cutcase{"no_record_no_end", "/p\na\n",
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 0},
        cutcase{"record_no_end", "/p\na\n" REC,
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 1},
        cutcase{"second_cut_after_name", "/p\na\n" REC "x\n",
                "FILE ERROR: readhdr, error in reading to" META_FAIL, 1},
        cutcase{"second_cut_after_to", "/p\na\n" REC "x\nt\n",
                "FILE ERROR: readhdr, error in reading from" META_FAIL, 1},
        cutcase{"cut_after_from", "/p\na\nx\nt\nf\n",
                "FILE ERROR: readhdr, error in reading subject" META_FAIL, 0},
        cutcase{"cut_after_subject", "/p\na\nx\nt\nf\ns\n",
                "FILE ERROR: readhdr, error in reading cc" META_FAIL, 0},
        cutcase{"cut_after_cc", "/p\na\nx\nt\nf\ns\nc\n",
                "FILE ERROR: readhdr, error in reading bcc" META_FAIL, 0},
        cutcase{"cut_after_bcc", "/p\na\nx\nt\nf\ns\nc\nb\n",
                "FILE ERROR: readhdr, error in reading read" META_FAIL, 0},
        // "END" with a carriage return is a message file name, not the end.
        cutcase{"end_with_cr", "/p\na\nEND\r\n",
                "FILE ERROR: readhdr, error in reading to" META_FAIL, 0},
        // Names that do not fit, or that a NUL byte would cut to another name.
        cutcase{"name_of_13", "/p\na\nabcdefghi.msg\nt\nf\ns\nc\nb\nR\nEND\n",
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 0},
        cutcase{"name_with_nul", "/p\na\n" REC "in0\0001.msg\nt\nf\ns\nc\nb\nR\nEND\n"s,
                "FILE ERROR: readhdr, error in reading datafile" META_FAIL, 1}),
    rowname<cutcase>);

// The checker against the reader and the writer on the same bytes. Whatever
// the row asks of it, the checker without exact finds a fault exactly when
// readmeta fails, and with exact exactly when the index, loaded and written
// back, is not the file as it was.
struct chkcase {
    const char* name;
    std::string text;
    bool exact;
    int line;
    const char* why;
};

void PrintTo(const chkcase& c, std::ostream* os) { *os << c.name; }

// The file as wrtmeta gives back an index that lost nothing: each read flag
// as "R" or "N", a newline after every line, nothing after END.
std::string asrewritten(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    for (size_t i = 2; i < lines.size() && lines[i] != "END"; i += 7)
        if (i + 6 < lines.size()) lines[i + 6].assign(1, lines[i + 6].starts_with('R') ? 'R' : 'N');
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

class Metachk : public Reader, public ::testing::WithParamInterface<chkcase> {};

TEST_P(Metachk, AgreesWithReaderAndWriter) {
    const chkcase& c = GetParam();
    spit("meta", c.text);
    const metafault got = metachk("meta", c.exact);
    EXPECT_EQ(got.line, c.line);
    EXPECT_STREQ(got.why, c.why);

    const metafault loads = metachk("meta", false);
    const metafault same = metachk("meta", true);
    const int rc = load(c.text);
    EXPECT_EQ(rc, loads.line == 0 ? 1 : -1) << loads.line << ": " << loads.why;
    std::string back;
    if (rc == 1) {
        spit("back", "");
        testing::internal::CaptureStdout();
        EXPECT_EQ(wrtmeta("back", head), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        back = slurp("back");
    }
    EXPECT_EQ(same.line == 0, rc == 1 && back == asrewritten(c.text))
        << same.line << ": " << same.why;
}

#define LOADS(name, text, line, why) chkcase{name, text, false, line, why}
#define EXACT(name, text, line, why) chkcase{name, text, true, line, why}
#define CRLF "line ends in a carriage return (CR-LF file?)"
#define NOEND "file ends before the END line"
#define CUTREC "file ends inside a record"
#define LONGNAME "message file name longer than 12 bytes"
#define HASNUL "line holds a NUL byte"
#define RECCR "in000.msg\r\nto\r\nfrom\r\nsubj\r\ncc\r\nbcc\r\nR\r\n"

// A header field of the given length at index f (0 is to) of a one-record
// index; with nulat, a NUL byte at that place in it.
std::string withfield(int f, size_t len, size_t nulat = std::string::npos) {
    std::vector<std::string> rec = rec1;
    rec[1 + f] = std::string(len, 'v');
    if (nulat != std::string::npos) rec[1 + f][nulat] = '\0';
    return metafile({rec});
}

std::string withtext(int f, const std::string& text) {
    std::vector<std::string> rec = rec1;
    rec[1 + f] = text;
    return metafile({rec});
}

// metachk reads in blocks of 16384 bytes; an owner's path of n characters puts
// the next lines across the edge of the first block.
std::string pastblock(size_t n, const std::string& rest) {
    return std::string(n, 'p') + "\na\n" + rest;
}

// A clean index of n records whose END line ends exactly size bytes into the
// file: the header fields are padded to make up the size.
std::string endingat(int n, size_t size) {
    std::string text = "/p\na\n";
    const size_t bare = text.size() + 9 * static_cast<size_t>(n) + 4;  // "m\n", 5 "\n", "N\n"
    size_t pad = size - bare;
    if (size < bare || pad > 99 * 5 * static_cast<size_t>(n)) abort();
    for (int i = 0; i < n; i++) {
        text += "m\n";
        for (int f = 0; f < 5; f++) {
            const size_t len = std::min<size_t>(pad, 99);
            text += std::string(len, 'v') + "\n";
            pad -= len;
        }
        text += "N\n";
    }
    return text + "END\n";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Metachk,
    ::testing::Values(
        LOADS("clean", metafile({rec1, rec2}), 0, ""),
        LOADS("no_records", "/p\na\nEND\n", 0, ""),
        LOADS("empty", "", 1, "file is empty"),
        LOADS("path_only", "/p\n", 2, "file ends after the owner's path"),
        LOADS("path_without_newline", "/p", 2, "file ends after the owner's path"),
        LOADS("empty_path_only", "\n", 2, "file ends after the owner's path"),
        LOADS("no_record_no_end", "/p\na\n", 3, NOEND),
        LOADS("record_no_end", "/p\na\n" REC, 10, NOEND),
        LOADS("cut_after_name", "/p\na\nx\n", 4, CUTREC),
        LOADS("cut_before_flag", "/p\na\nx\nt\nf\ns\nc\nb\n", 9, CUTREC),
        LOADS("cut_flag_no_newline", "/p\na\n" REC "x\nt\nf\ns\nc\nb", 16, CUTREC),
        LOADS("second_cut_after_to", "/p\na\n" REC "x\nt\n", 12, CUTREC),
        LOADS("name_of_12", "/p\na\nabcdefgh.msg\nt\nf\ns\nc\nb\nR\nEND\n", 0, ""),
        LOADS("name_of_13", "/p\na\n" REC "abcdefghi.msg\nt\nf\ns\nc\nb\nR\nEND\n", 10, LONGNAME),
        LOADS("name_of_5000", "/p\na\n" + std::string(5000, 'n') + "\n", 3, LONGNAME),
        LOADS("name_with_nul", "/p\na\n" REC "in0\0001.msg\nt\nf\ns\nc\nb\nR\nEND\n"s, 10,
              "message file name holds a NUL byte"),
        LOADS("name_nul_and_long", "/p\na\nin0\0001234567890.msg\n"s, 3, LONGNAME),
        LOADS("empty_name", "/p\na\n\nt\nf\ns\nc\nb\nR\nEND\n", 0, ""),
        LOADS("binary_junk", "\x01\x02\n\xff\0\xfe\n\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a"
                             "\x8b\x8c\n"s,
              3, LONGNAME),
        LOADS("after_end_is_ignored", metafile({rec1}) + "junk\n\0\n"s, 0, ""),
        LOADS("no_final_newline", "/p\na\n" REC "END", 0, ""),
        LOADS("long_fields_load", withfield(2, 100000), 0, ""),
        // A carriage return read before loading stops is reported in its place.
        LOADS("crlf", "/p\r\na\r\n" RECCR "END\r\n", 1, CRLF),
        LOADS("crlf_from_second_record", "/p\na\n" REC RECCR "END\r\n", 10, CRLF),
        LOADS("cr_on_the_stopping_line", "/p\na\n" REC "abcdefghijkl\r\n", 10, CRLF),
        LOADS("cr_after_the_stop", "/p\na\n" REC "abcdefghijklm\n" RECCR, 10, LONGNAME),
        LOADS("cr_that_loads", "/p\r\na\r\n" RECCR "END\n", 0, ""),
        LOADS("name_across_blocks", pastblock(16379, "abcdefghijklm\n"), 3, LONGNAME),
        LOADS("end_across_blocks", pastblock(16380, "END\n"), 0, ""),
        LOADS("nul_across_blocks", pastblock(16379, "ab\0c\n"s), 3,
              "message file name holds a NUL byte"),
        LOADS("cr_at_block_edge", pastblock(16379, "x\r\n"), 3, CRLF),
        // Written back as read, or the first line that would not be.
        EXACT("exact_clean", metafile({rec1, rec2}), 0, ""),
        EXACT("exact_no_final_newline", "/p\na\n" REC "END", 0, ""),
        EXACT("exact_flags_any_text", metafile({{"a", "t", "f", "s", "c", "b", "Read"},
                                                {"b", "t", "f", "s", "c", "b", ""},
                                                {"c", "t", "f", "s", "c", "b", "R\0x"s},
                                                {"d", "t", "f", "s", "c", "b", "\0R"s}}),
              0, ""),
        EXACT("exact_crs_kept", "/p\r\na\r\n" RECCR "END\n", 0, ""),
        EXACT("exact_path_1023", metafile({rec1}, std::string(1023, 'p')), 0, ""),
        EXACT("exact_path_1024", metafile({rec1}, std::string(1024, 'p')), 1,
              "owner's path too long (over 1023 bytes)"),
        EXACT("exact_addr_49", metafile({rec1}, "/p", std::string(49, 'a')), 0, ""),
        EXACT("exact_addr_50", metafile({rec1}, "/p", std::string(50, 'a')), 2,
              "owner's address too long (over 49 bytes)"),
        EXACT("exact_fields_99", metafile({{"m", std::string(99, 't'), std::string(99, 'f'),
                                            std::string(99, 's'), std::string(99, 'c'),
                                            std::string(99, 'b'), "N"}}),
              0, ""),
        // Cut before the letter that would not fit whole, which is still lost.
        EXACT("exact_subject_cyrillic_60", withtext(2, times(60, "\xd1\x8f")), 6,
              "subject longer than 99 bytes"),
        EXACT("exact_subject_utf8_99", withtext(2, times(49, "\xd1\x8f") + "a"), 0, ""),
        EXACT("exact_to_100", withfield(0, 100), 4, "to longer than 99 bytes"),
        EXACT("exact_from_100", withfield(1, 100), 5, "from longer than 99 bytes"),
        EXACT("exact_subject_100", withfield(2, 100), 6, "subject longer than 99 bytes"),
        EXACT("exact_cc_100", withfield(3, 100), 7, "cc longer than 99 bytes"),
        EXACT("exact_bcc_100", withfield(4, 100), 8, "bcc longer than 99 bytes"),
        EXACT("exact_flag_long", metafile({{"m", "t", "f", "s", "c", "b", std::string(5000, 'R')}}),
              0, ""),
        EXACT("exact_nul_in_path", metafile({rec1}, "/p\0q"s), 1, HASNUL),
        EXACT("exact_nul_in_addr", metafile({rec1}, "/p", "a\0"s), 2, HASNUL),
        EXACT("exact_nul_in_cc", withfield(3, 5, 0), 7, HASNUL),
        EXACT("exact_nul_in_long_cc", withfield(3, 150, 98), 7, HASNUL),
        EXACT("exact_nul_past_99", withfield(3, 150, 99), 7, "cc longer than 99 bytes"),
        EXACT("exact_text_after_end", metafile({rec1}) + "junk\n", 11, "text after the END line"),
        EXACT("exact_empty_line_after_end", metafile({rec1}) + "\n", 11,
              "text after the END line"),
        EXACT("exact_end_at_block_edge", endingat(40, 16384), 0, ""),
        EXACT("exact_after_end_in_next_block", endingat(40, 16384) + "x", 2 + 40 * 7 + 2,
              "text after the END line"),
        EXACT("exact_stops_loading", "/p\na\n" REC, 10, NOEND),
        EXACT("exact_fault_before_stop", "/p\na\nm\nt\nf\n" + std::string(100, 's') + "\n", 6,
              "subject longer than 99 bytes"),
        EXACT("exact_cr_before_fault", "/p\r\na\nm\nt\nf\n" + std::string(100, 's') + "\n", 1,
              CRLF),
        EXACT("exact_fault_before_cr",
              "/p\na\nm\nt\nf\n" + std::string(100, 's') + "\nc\nb\nR\n" RECCR, 6,
              "subject longer than 99 bytes"),
        EXACT("exact_cr_and_fault_on_one_line", "/p\na\n" REC "x\nt\nf\n" +
                                                    std::string(100, 's') + "\r\n",
              13, CRLF)),
    rowname<chkcase>);

#undef LOADS
#undef EXACT
#undef CRLF
#undef NOEND
#undef CUTREC
#undef LONGNAME
#undef HASNUL
#undef RECCR

// No line to name: the system's words for why the file could not be read.
TEST_F(Reader, MetachkOfMissingFileOrDirectory) {
    for (bool exact : {false, true}) {
        metafault f = metachk("no-such-meta", exact);
        EXPECT_EQ(f.line, -1);
        EXPECT_STREQ(f.why, strerror(ENOENT));
        f = metachk(".", exact);
        EXPECT_EQ(f.line, -1);
        EXPECT_STREQ(f.why, strerror(EISDIR));
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(readmeta(".", head), -1);
    testing::internal::GetCapturedStdout();
}

TEST_F(Reader, MissingFileHasTwoSpacesAndNothingElse) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(readmeta("no-such-meta", head), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FILE ERROR:  readmeta, error in opening no-such-meta");
    EXPECT_EQ(head->count, 0);
}

TEST_F(Reader, NameOfTwelveCharactersFits) {
    std::vector<std::string> rec = rec1;
    rec[0] = "abcdefgh.msg";
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_STREQ(head->next->datafile, "abcdefgh.msg");
}

TEST_F(Reader, OverlongLinesAreCutToTheirFieldAndStayOneLine) {
    std::vector<std::string> rec = rec1;
    rec[1] = std::string(5000, 't');  // longer than the line reader's limit
    rec[3] = std::string(150, 's');
    rec[6] = "R" + std::string(3000, 'x');
    std::string path(3000, 'p');
    std::string addr(80, 'a');
    ASSERT_EQ(load(metafile({rec, rec2}, path, addr)), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(std::string(head->mydata->mypath), std::string(1023, 'p'));
    EXPECT_EQ(std::string(head->mydata->myaddr), std::string(49, 'a'));
    ASSERT_EQ(head->count, 2);
    EXPECT_EQ(std::string(head->next->to), std::string(99, 't'));
    EXPECT_STREQ(head->next->from, "bob@x");
    EXPECT_EQ(std::string(head->next->subject), std::string(99, 's'));
    EXPECT_EQ(head->next->read, MSGREAD);
    EXPECT_STREQ(head->next->next->datafile, "in004.msg");
}

// A UTF-8 line keeps whole characters, judged on the whole line, however
// long; any other line is cut at its field's size in bytes.
TEST_F(Reader, Utf8LinesAreCutAtAWholeCharacter) {
    const std::string ya = "\xd1\x8f";  // 2 bytes
    std::vector<std::string> rec = rec1;
    rec[1] = times(60, ya);
    rec[2] = std::string(97, 'f') + "\xf0\x9f\x98\x80";  // 4 bytes across the limit
    rec[3] = times(1000, ya);                            // past the line reader's limit
    rec[4] = times(600, ya) + "\xff";                    // not UTF-8 past 1023 bytes
    rec[5] = "b" + times(60, ya);                        // cut between two letters
    ASSERT_EQ(load(metafile({rec}, times(600, ya), times(30, ya))), 1);
    EXPECT_EQ(std::string(head->mydata->mypath), times(511, ya));
    EXPECT_EQ(std::string(head->mydata->myaddr), times(24, ya));
    EXPECT_EQ(std::string(head->next->to), times(49, ya));
    EXPECT_EQ(std::string(head->next->from), std::string(97, 'f'));
    EXPECT_EQ(std::string(head->next->subject), times(49, ya));
    EXPECT_EQ(std::string(head->next->cc), times(60, ya).substr(0, 99));
    EXPECT_EQ(std::string(head->next->bcc), "b" + times(49, ya));
}

TEST_F(Reader, NulByteCutsAHeaderField) {
    std::vector<std::string> rec = rec1;
    rec[3] = std::string("sub\0ject", 8);
    ASSERT_EQ(load(metafile({rec})), 1);
    EXPECT_STREQ(head->next->subject, "sub");
}

TEST_F(Reader, CarriageReturnsStayInTheFields) {
    ASSERT_EQ(load("/p\r\na\r\nin000.msg\r\nt\r\nf\r\ns\r\nc\r\nb\r\nR\r\nEND\n"), 1);
    EXPECT_STREQ(head->mydata->mypath, "/p\r");
    EXPECT_STREQ(head->next->datafile, "in000.msg\r");
    EXPECT_EQ(head->next->read, MSGREAD);
}

TEST_F(Reader, HeadWithoutOwnerBlockStillLoads) {
    llnode* bare = llnew();
    spit("meta", metafile({rec1}));
    EXPECT_EQ(readmeta("meta", bare), 1);
    EXPECT_EQ(bare->count, 1);
    llfree(bare);
}

TEST_F(Reader, ReadhdrAppendsAtTheEndOfAnyChain) {
    spit("recs", REC REC "END\n");
    FILE* fd = fopen("recs", "r");
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(readhdr(fd, head), 1);
    EXPECT_EQ(readhdr(fd, head), 1);
    EXPECT_EQ(readhdr(fd, head), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readhdr(fd, head), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FILE ERROR: readhdr, error in reading datafile");
    fclose(fd);
    EXPECT_EQ(head->count, 2);
    EXPECT_EQ(head->next->next->no, 2);
}

struct getfcase {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
};

void PrintTo(const getfcase& c, std::ostream* os) { *os << c.name; }

class Getf : public ScratchDir, public ::testing::WithParamInterface<getfcase> {};

TEST_P(Getf, SplitsAtNewlineInPiecesOf1023) {
    spit("f", GetParam().text);
    FILE* fd = fopen("f", "r");
    ASSERT_NE(fd, nullptr);
    char line[METALINE + 1];
    for (const std::string& want : GetParam().lines) {
        ASSERT_EQ(getf(fd, line), 1);
        EXPECT_EQ(std::string(line), want);
    }
    EXPECT_EQ(getf(fd, line), -1);
    fclose(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Getf,
    ::testing::Values(getfcase{"empty", "", {}}, getfcase{"three_lines", "a\n\nb", {"a", "", "b"}},
                      getfcase{"crlf", "x\r\n", {"x\r"}},
                      getfcase{"len_1022", std::string(1022, 'a') + "\n", {std::string(1022, 'a')}},
                      getfcase{"len_1023", std::string(1023, 'a') + "\n",
                               {std::string(1023, 'a'), ""}},
                      getfcase{"len_1500", std::string(1500, 'a') + "\nz\n",
                               {std::string(1023, 'a'), std::string(477, 'a'), "z"}}),
    rowname<getfcase>);
