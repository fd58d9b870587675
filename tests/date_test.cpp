// Dates as mail writes them, the Date: header found in a message file, and
// the dates a user gives: each row's text and the UTC time it means ("no"
// when it is no date).
#include "mailbox/date.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "testutil.h"

namespace {

std::string utc(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    char buf[32];
    (void)gmtime_r(&tt, &tm);
    (void)strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

struct daterow {
    const char* name;
    std::string text;
    std::string want;  // UTC, or "no"
};
void PrintTo(const daterow& r, std::ostream* os) { *os << r.name; }

class DateParse : public ::testing::TestWithParam<daterow> {};

TEST_P(DateParse, Row) {
    int64_t t = -12345;
    const bool ok = dateparse(GetParam().text, &t);
    EXPECT_EQ(ok ? utc(t) : "no", GetParam().want) << GetParam().text;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, DateParse, ::testing::Values(
    daterow{"Today", "Tue, 8 Dec 2026 10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"East", "Tue, 8 Dec 2026 10:00:00 +0130", "2026-12-08 08:30:00"},
    daterow{"WestNextDay", "Tue, 08 Dec 2026 22:15:30 -0800", "2026-12-09 06:15:30"},
    daterow{"NoWeekdayNoSeconds", "8 Dec 2026 10:00 +0000", "2026-12-08 10:00:00"},
    daterow{"YearTwoDigits", "Tue, 8 Dec 26 10:00:00 GMT", "2026-12-08 10:00:00"},
    daterow{"YearTwoDigitsLastCentury", "Wed, 8 Dec 99 10:00:00 GMT", "1999-12-08 10:00:00"},
    daterow{"YearTwoDigitsFifty", "1 Jan 50 00:00:00 +0000", "1950-01-01 00:00:00"},
    daterow{"YearThreeDigits", "8 Dec 126 10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"ZoneEst", "8 Dec 2026 10:00:00 EST", "2026-12-08 15:00:00"},
    daterow{"ZonePdt", "8 Jul 2026 10:00:00 PDT", "2026-07-08 17:00:00"},
    daterow{"ZoneMilitary", "8 Dec 2026 10:00:00 Z", "2026-12-08 10:00:00"},
    daterow{"ZoneUnknown", "8 Dec 2026 10:00:00 XYZT", "2026-12-08 10:00:00"},
    daterow{"NoZone", "8 Dec 2026 10:00:00", "2026-12-08 10:00:00"},
    daterow{"Comments", "Tue, 8 Dec (a (nested) one) 2026 10:00:00 +0100 (CET)", "2026-12-08 09:00:00"},
    daterow{"SpacesRoundColons", " 8 Dec 2026 10 : 05 : 09 +0000 ", "2026-12-08 10:05:09"},
    daterow{"Folded", "Tue,\n 8 Dec 2026\n\t10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"WeekdayNoComma", "Tue 8 Dec 2026 10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"MonthFullLower", "8 december 2026 10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"Dashed", "8-Dec-2026 10:00:00 +0000", "2026-12-08 10:00:00"},
    daterow{"Asctime", "Tue Dec  8 10:00:00 2026", "2026-12-08 10:00:00"},
    daterow{"AsctimeZone", "Tue Dec  8 10:00:00 EST 2026", "2026-12-08 15:00:00"},
    daterow{"Fraction", "8 Dec 2026 10:00:00.250 +0000", "2026-12-08 10:00:00"},
    daterow{"LeapDay", "29 Feb 2024 12:00:00 +0000", "2024-02-29 12:00:00"},
    daterow{"LeapSecond", "31 Dec 2016 23:59:60 +0000", "2017-01-01 00:00:00"},
    daterow{"Before1970", "1 Jan 1960 00:00:00 +0000", "1960-01-01 00:00:00"},
    daterow{"After2038", "1 Mar 2100 00:00:00 +0000", "2100-03-01 00:00:00"},
    daterow{"NoLeapDay", "29 Feb 2026 12:00:00 +0000", "no"},
    daterow{"NoLeapDay1900", "29 Feb 1900 12:00:00 +0000", "no"},
    daterow{"April31", "31 Apr 2026 12:00:00 +0000", "no"},
    daterow{"Hour24", "8 Dec 2026 24:00:00 +0000", "no"},
    daterow{"Minute60", "8 Dec 2026 10:60:00 +0000", "no"},
    daterow{"ZoneShort", "8 Dec 2026 10:00:00 +01", "no"},
    daterow{"ZoneMinutes60", "8 Dec 2026 10:00:00 +0160", "no"},
    daterow{"ZoneMinutes99", "8 Dec 2026 10:00:00 +0199", "no"},
    daterow{"Day0", "0 Dec 2026 10:00:00 +0000", "no"},
    daterow{"NoMonth", "8 Dez 2026 10:00:00 +0000", "no"},
    daterow{"NoTime", "8 Dec 2026", "no"},
    daterow{"Words", "yesterday, after lunch", "no"},
    daterow{"Empty", "", "no"},
    daterow{"DigitsOnly", "20261208100000", "no"},
    daterow{"ManyTokensAfter", "Tue, 8 Dec 2026 10:00:00 +0000 (a comment) x y z 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25", "2026-12-08 10:00:00"},
    daterow{"LineBreaksAreSpaces", "Tue,\r\n 8 Dec\n\t2026 10:00:00\r\n +0100", "2026-12-08 09:00:00"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The Date: header of a message file: its value, "none" (1), or the errno.
struct msgrow {
    const char* name;
    std::string text;
    std::string want;
};
void PrintTo(const msgrow& r, std::ostream* os) { *os << r.name; }

class DateOfMsg : public ScratchDir, public ::testing::WithParamInterface<msgrow> {};

TEST_P(DateOfMsg, Row) {
    spit("m.msg", GetParam().text);
    int64_t t = 0;
    const int rc = dateofmsg(AT_FDCWD, "m.msg", &t);
    EXPECT_EQ(rc == 0 ? utc(t) : rc == 1 ? "none" : strerror(errno), GetParam().want);
}

const std::string day = "Tue, 8 Dec 2026 10:00:00 +0000";
// A header line of n bytes, its newline included (n at least 9).
std::string pad(size_t n) { return "X-Pad: " + std::string(n - 8, 'a') + "\n"; }
const std::string big = times(2000, "Received: from somewhere by elsewhere with id 0123456789\n");

// clang-format off
INSTANTIATE_TEST_SUITE_P(Messages, DateOfMsg, ::testing::Values(
    msgrow{"Plain", "From: a@example.org\nDate: " + day + "\nSubject: s\n\nbody\n", "2026-12-08 10:00:00"},
    msgrow{"LowerCaseName", "date: " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"SpaceBeforeColon", "Date : " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"Folded", "Date: Tue,\n 8 Dec 2026\n 10:00:00 +0000\nX: y\n\n", "2026-12-08 10:00:00"},
    msgrow{"Crlf", "From: a\r\nDate: " + day + "\r\n\r\nbody\r\n", "2026-12-08 10:00:00"},
    msgrow{"EnvelopeLine", "From a@example.org Mon Dec  7 00:00:00 2026\nDate: " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"FirstOfTwo", "Date: " + day + "\nDate: 1 Jan 2000 00:00:00 +0000\n\n", "2026-12-08 10:00:00"},
    msgrow{"After120kOfHeaders", big + "Date: " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"NoFinalNewline", "Date: " + day, "2026-12-08 10:00:00"},
    msgrow{"None", "From: a@example.org\nSubject: s\n\nbody\n", "none"},
    msgrow{"OnlyInBody", "From: a@example.org\n\nDate: " + day + "\n", "none"},
    msgrow{"AfterALineNoHeader", "From: a\nthis is body text\nDate: " + day + "\n", "none"},
    msgrow{"ResentDateIsNotDate", "Resent-Date: " + day + "\n\n", "none"},
    msgrow{"NotADate", "Date: soon\n\n", "none"},
    msgrow{"EmptyFile", "", "none"},
    msgrow{"CrlfFolded", "Date: Tue,\r\n 8 Dec 2026 10:00:00 +0000\r\n\r\n", "2026-12-08 10:00:00"},
    // The first piece read is 8 KiB: a Date: header at its edge is read whole.
    msgrow{"FoldAtPieceEnd", pad(8192 - 11) + "Date: Tue,\n 8 Dec 2026 10:00:00 +0000\n\n", "2026-12-08 10:00:00"},
    msgrow{"LineAcrossPieces", pad(8192 - 16) + "Date: " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"NewlineAtPieceEnd", pad(8192 - 37) + "Date: " + day + "\nX: y\n\n", "2026-12-08 10:00:00"},
    msgrow{"LastLineAtPieceEnd", pad(8192 - 37) + "Date: " + day + "\n", "2026-12-08 10:00:00"},
    msgrow{"EnvelopeAcrossPieces", "From " + std::string(8200, 'x') + "\nDate: " + day + "\n\n", "2026-12-08 10:00:00"},
    msgrow{"PastTheBound", times(20000, "Received: from somewhere by elsewhere with id 0123456789\n") + "Date: " + day + "\n\n", "none"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

class DateFiles : public ScratchDir {};

// A name swapped for a link or a FIFO is never followed, never blocked on.
TEST_F(DateFiles, LinkAndFifoRefused) {
    spit("real.msg", "Date: " + day + "\n\n");
    ASSERT_EQ(symlink("real.msg", "link.msg"), 0);
    ASSERT_EQ(mkfifo("fifo.msg", 0600), 0);
    int64_t t = 0;
    EXPECT_EQ(dateofmsg(AT_FDCWD, "link.msg", &t), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(dateofmsg(AT_FDCWD, "fifo.msg", &t), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dateofmsg(AT_FDCWD, "gone.msg", &t), -1);
    EXPECT_EQ(errno, ENOENT);
}

// The day a user names is a day of local time; other forms as mail writes them.
struct argrow {
    const char* name;
    const char* tz;
    std::string text;
    std::string want;
};
void PrintTo(const argrow& r, std::ostream* os) { *os << r.name; }

class DateArg : public ::testing::TestWithParam<argrow> {
protected:
    void SetUp() override {
        const char* was = getenv("TZ");
        had = was != nullptr;
        if (had) old = was;
        (void)setenv("TZ", GetParam().tz, 1);
        tzset();
    }
    void TearDown() override {
        if (had)
            (void)setenv("TZ", old.c_str(), 1);
        else
            (void)unsetenv("TZ");
        tzset();
    }
    bool had = false;
    std::string old;
};

TEST_P(DateArg, Row) {
    int64_t t = 0;
    const bool ok = datearg(GetParam().text, &t);
    EXPECT_EQ(ok ? utc(t) : "no", GetParam().want);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, DateArg, ::testing::Values(
    argrow{"DayUtc", "UTC0", "2026-12-01", "2026-12-01 00:00:00"},
    argrow{"DayLocal", "EST5", "2026-12-01", "2026-12-01 05:00:00"},
    argrow{"DayAndTime", "EST5", "2026-12-01 13:30", "2026-12-01 18:30:00"},
    argrow{"DayTTime", "UTC0", "2026-12-01T13:30", "2026-12-01 13:30:00"},
    argrow{"MailForm", "EST5", "1 Dec 2026 00:00:00 +0000", "2026-12-01 00:00:00"},
    argrow{"NoSuchDay", "UTC0", "2026-02-30", "no"},
    argrow{"Month13", "UTC0", "2026-13-01", "no"},
    argrow{"Short", "UTC0", "2026-1-1", "no"},
    argrow{"Trailing", "UTC0", "2026-12-01x", "no"},
    argrow{"Words", "UTC0", "last week", "no"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
