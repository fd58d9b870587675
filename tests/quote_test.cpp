// Names as one line shows them: no byte of a name may start a line of its
// own or move the cursor, whatever the name holds; every other byte, 8-bit
// ones included, is shown as it is.
#include <gtest/gtest.h>

#include <string>

#include "mailbox/quote.h"

namespace {

struct quoterow {
    const char* name;
    std::string in;
    std::string shown;
};

class Quote : public ::testing::TestWithParam<quoterow> {};

TEST_P(Quote, OneLine) {
    EXPECT_EQ(quoteshown(GetParam().in), GetParam().shown);
    EXPECT_EQ(quotename(GetParam().in), "'" + GetParam().shown + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Quote,
    ::testing::Values(quoterow{"Plain", "in000.msg", "in000.msg"},
                      quoterow{"Empty", "", ""},
                      quoterow{"Newline", "a\nb", "a?b"},
                      quoterow{"CarriageReturn", "a\r", "a?"},
                      quoterow{"Escape", "\x1b[2Jx", "?[2Jx"},
                      quoterow{"Delete", "a\x7f", "a?"},
                      quoterow{"Nul", std::string("a\0b", 3), "a?b"},
                      quoterow{"Utf8Kept", "\xd0\x96.msg", "\xd0\x96.msg"},
                      quoterow{"HighKept", "\x80\xff", "\x80\xff"},
                      quoterow{"SpaceKept", " a b ", " a b "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
