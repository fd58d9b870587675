// The records seen in the index's bytes agree with the metafile reader on
// every index it loads whole, and what sort and mark write keeps every other
// byte; the lines list and pick print from them.
#include "mailbox/recview.h"

#include <filesystem>

#include "mailbox/columns.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

struct listfree {
    void operator()(llnode* l) const { llfree(l); }
};

// Each record's fields as the reader loads them, one line a record.
std::string byreader(const std::string& path) {
    std::unique_ptr<llnode, listfree> head(llnew());
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    testing::internal::CaptureStdout();
    (void)readmeta(path.c_str(), head.get());
    (void)testing::internal::GetCapturedStdout();
    std::string s;
    for (const llnode* r = head->next; r; r = r->next)
        s += std::to_string(r->no) + "|" + r->datafile + "|" + r->to + "|" + r->from + "|" +
             r->subject + "|" + r->cc + "|" + r->bcc + "|" + (r->read == MSGREAD ? "R" : "N") +
             "\n";
    return s;
}

std::string byview(const std::string& path) {
    rvindex idx;
    EXPECT_TRUE(rvparse(slurp(path), &idx)) << path;
    std::string s;
    for (const rvrec& r : idx.recs) {
        s += std::to_string(r.no) + "|" + std::string(r.name) + "|";
        for (std::string_view f : {r.to, r.from, r.subject, r.cc, r.bcc})
            s += std::string(rvfield(f, sizeof llnode::to)) + "|";
        s += r.read() ? "R\n" : "N\n";
    }
    return s;
}

const std::string cyr = times(60, "\xd0\x96");   // 120 bytes of UTF-8
const std::string bad = times(60, "\xd0\x96") + "\xff";  // the same, not UTF-8
const std::string nul = std::string("ab\0cd", 5);

class RecView : public ScratchDir {};

// Fields over their limit (UTF-8 and not, cut inside a character or not),
// a NUL inside a field, flags of every shape: the view says what the reader loads.
TEST_F(RecView, AgreesWithTheReader) {
    const std::vector<std::vector<std::string>> recs = {
        {"a.msg", cyr, bad, "x" + cyr, std::string(99, 'y'), std::string(100, 'z'), "R"},
        {"b.msg", nul, "f", "s", "", "", "Rest"},
        {"c.msg", "", "", "", "", "", ""},
        {"d.msg", "t", "f", "s", "c", "b", "r"},
        {"END\r", "t", "f", std::string(98, 'q') + "\xd0\x96", "", "", "N"},
    };
    spit("m", metafile(recs));
    ASSERT_EQ(metachk("m", false).line, 0);
    EXPECT_EQ(byview("m"), byreader("m"));
}

// The fuzzer's seeds that load whole, read both ways.
TEST_F(RecView, AgreesOnTheSeeds) {
    int seen = 0;
    for (const auto& e : fs::directory_iterator(fs::path(FUZZ_DIR) / "corpus")) {
        const std::string text = slurp(e.path());
        spit("m", text);
        if (metachk("m", false).line != 0) continue;
        seen++;
        EXPECT_EQ(byview("m"), byreader("m")) << e.path();
    }
    EXPECT_GE(seen, 3);
}

TEST(RecViewParse, NeedsEnd) {
    rvindex idx;
    EXPECT_FALSE(rvparse("/p\na\nx.msg\nt\nf\ns\n\n\nN\n", &idx));
    EXPECT_FALSE(rvparse("/p\na\nx.msg\nt\nf\n", &idx));
    EXPECT_FALSE(rvparse("/p\n", &idx));
    EXPECT_TRUE(rvparse("/p\na\nEND\n", &idx));
    EXPECT_TRUE(idx.recs.empty());
}

const std::string three = metafile({{"a.msg", "t", "f", "one", "", "", "N"},
                                    {"b.msg", "t", "f", "two", "", "", "Rx"},
                                    {"c.msg", "t", "f", "three", "", "", ""}});

TEST(RecViewWrite, ReorderKeepsEveryByte) {
    rvindex idx;
    ASSERT_TRUE(rvparse(three, &idx));
    EXPECT_EQ(rvreorder(idx, {1, 2, 3}), three);
    EXPECT_EQ(rvreorder(idx, {3, 1, 2}),
              metafile({{"c.msg", "t", "f", "three", "", "", ""},
                        {"a.msg", "t", "f", "one", "", "", "N"},
                        {"b.msg", "t", "f", "two", "", "", "Rx"}}));
}

TEST(RecViewWrite, MarkChangesOnlyFlags) {
    rvindex idx;
    ASSERT_TRUE(rvparse(three, &idx));
    // Record 2 is read already, and keeps its line as it is.
    EXPECT_EQ(rvmark(idx, {1, 2, 3}, true),
              metafile({{"a.msg", "t", "f", "one", "", "", "R"},
                        {"b.msg", "t", "f", "two", "", "", "Rx"},
                        {"c.msg", "t", "f", "three", "", "", "R"}}));
    EXPECT_EQ(rvmark(idx, {2}, false),
              metafile({{"a.msg", "t", "f", "one", "", "", "N"},
                        {"b.msg", "t", "f", "two", "", "", "N"},
                        {"c.msg", "t", "f", "three", "", "", ""}}));
    EXPECT_EQ(rvmark(idx, {}, true), three);
}

// A format's line for a record, byte for byte.
struct fmtrow {
    const char* name;
    std::string format;
    std::string want;  // the line, or "error: " and the start of why
};
void PrintTo(const fmtrow& r, std::ostream* os) { *os << r.name; }

class Columns : public ::testing::TestWithParam<fmtrow> {};

TEST_P(Columns, Row) {
    const std::string text = metafile(
        {{"x.msg", "t", "f", "s", "", "", "N"},
         {"in001.msg", "to@x", "Ann\t<a@x>", "Hi " + cyr, "cc@x", "bcc@x", "R"}});
    rvindex idx;
    ASSERT_TRUE(rvparse(text, &idx));
    colformat f;
    std::string why, line;
    if (!colparse(GetParam().format, &f, &why)) {
        EXPECT_EQ("error: " + why.substr(0, GetParam().want.size() - 7), GetParam().want);
        return;
    }
    colline(f, idx.recs[1], false, 0, &line);
    EXPECT_EQ(line, GetParam().want);
}

const std::string cut = "Hi " + times(48, "\xd0\x96");  // 99 bytes: the reader's cut

// clang-format off
INSTANTIATE_TEST_SUITE_P(Formats, Columns, ::testing::Values(
    fmtrow{"EveryField", "%n %flag %file %from %to %cc %bcc", "2 R in001.msg Ann?<a@x> to@x cc@x bcc@x\n"},
    fmtrow{"SubjectCutAsLoaded", "%subject", cut + "\n"},
    fmtrow{"Braces", "%{n}th:%{file}s", "2th:in001.msgs\n"},
    fmtrow{"Escapes", "%%n\\t\\\\%n", "%n\t\\2\n"},
    fmtrow{"NewlineEscape", "%n\\n%file", "2\nin001.msg\n"},
    fmtrow{"TextOnly", "plain", "plain\n"},
    fmtrow{"DateUnknown", "%date|", "-|\n"},
    fmtrow{"NoSuchField", "%n %sender", "error: '%sender' is no field"},
    fmtrow{"UnclosedBrace", "%{from", "error: the format's '%{' has no '}'"},
    fmtrow{"LonePercent", "%n %", "error: the format ends in a lone '%'"},
    fmtrow{"LoneBackslash", "%n \\", "error: the format ends in a lone '\\'"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A control byte or DEL in a field is shown as '?', never sent to the terminal.
TEST(ColumnsDefault, ControlBytesShownAsQuestionMarks) {
    rvindex idx;
    ASSERT_TRUE(rvparse(metafile({{"a.msg", "t", "f\x7f\x1b[2J", "s\x01", "", "", "N"}}), &idx));
    std::string out;
    colline(coldefault(), idx.recs[0], false, 0, &out);
    EXPECT_EQ(out, "1\tN\tf??[2J\ts?\n");
}

// The default columns are the list's: number, flag, from, subject, by tabs.
TEST(ColumnsDefault, AsListPrints) {
    rvindex idx;
    ASSERT_TRUE(rvparse(three, &idx));
    std::string out;
    for (const rvrec& r : idx.recs) colline(coldefault(), r, false, 0, &out);
    EXPECT_EQ(out, "1\tN\tf\tone\n2\tR\tf\ttwo\n3\tN\tf\tthree\n");
}

}  // namespace
