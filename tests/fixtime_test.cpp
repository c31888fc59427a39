// The position's time: which clock gives it, the calendar, and its text.
#include "report/fixtime.hpp"

#include <gtest/gtest.h>

TEST(FixTime, ReceiverClockBeforeTheSystemClock) {
    struct Case {
        const char* name;
        ReceiverClock clock;
        UtcTime expected;
    };
    const UtcTime system{2031, 1, 2, 3, 4, 5};
    const UtcTime builtOn{2026, 1, 1, 0, 0, 0};
    constexpr auto rmc = DateSentence::rmc, zda = DateSentence::zda, none = DateSentence::none;
    // RMC h m s, d m y; GGA h m s; ZDA h m s, d m, year; the newer of RMC and
    // ZDA; a GGA since it, and the midnights its time passed since.
    const Case cases[] = {
        {"GGA time on the RMC date",
         {18, 10, 54, 7, 12, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         {2026, 12, 7, 18, 10, 53}},
        {"RMC stopped, GGA went on",
         {18, 10, 54, 7, 12, 26, 18, 12, 30, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         {2026, 12, 7, 18, 12, 30}},
        {"RMC stopped 13 hours before, GGA went on",
         {10, 0, 0, 7, 12, 26, 23, 0, 0, 0, 0, 0, 0, 0, 0, rmc, true, 0},
         {2026, 12, 7, 23, 0, 0}},
        {"RMC stopped two midnights before",
         {10, 0, 0, 7, 12, 26, 9, 0, 0, 0, 0, 0, 0, 0, 0, rmc, true, 2},
         {2026, 12, 9, 9, 0, 0}},
        {"GGA after midnight, the last RMC before",
         {23, 59, 59, 31, 12, 26, 0, 0, 1, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         {2027, 1, 1, 0, 0, 1}},
        {"RMC without a date, ZDA date, GGA time",
         {18, 10, 54, 0, 0, 0, 18, 10, 53, 18, 10, 50, 7, 12, 2026, zda, false, 0},
         {2026, 12, 7, 18, 10, 53}},
        {"ZDA newer than RMC: its date",
         {23, 59, 59, 7, 12, 26, 0, 0, 1, 0, 0, 0, 8, 12, 2026, zda, false, 0},
         {2026, 12, 8, 0, 0, 1}},
        {"RMC newer than ZDA: its date",
         {0, 0, 0, 8, 12, 26, 0, 0, 1, 23, 59, 59, 7, 12, 2026, rmc, false, 0},
         {2026, 12, 8, 0, 0, 1}},
        {"GGA just after midnight, ZDA just before",
         {0, 0, 0, 0, 0, 0, 0, 0, 2, 23, 59, 58, 31, 12, 2026, zda, false, 0},
         {2027, 1, 1, 0, 0, 2}},
        {"GGA just before midnight, ZDA just after",
         {0, 0, 0, 0, 0, 0, 23, 59, 59, 0, 0, 1, 1, 3, 2028, zda, false, 0},
         {2028, 2, 29, 23, 59, 59}},
        {"week rollover: RMC 230407 moved on 1024 weeks",
         {12, 0, 0, 23, 4, 7, 12, 0, 1, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         {2026, 12, 7, 12, 0, 1}},
        {"week rollover: ZDA date",
         {0, 0, 0, 0, 0, 0, 6, 0, 0, 6, 0, 0, 1, 5, 2010, zda, false, 0},
         {2029, 12, 15, 6, 0, 0}},
        {"no date at all", {18, 10, 54, 0, 0, 0, 18, 10, 53, 0, 0, 0, 0, 0, 0, none, false, 0}, system},
        {"RMC month out of range",
         {18, 10, 54, 7, 13, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         system},
        {"RMC time out of range",
         {24, 10, 54, 7, 12, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0, rmc, false, 0},
         system},
        {"ZDA year before 2000",
         {0, 0, 0, 0, 0, 0, 18, 10, 53, 18, 10, 50, 7, 12, 1999, zda, false, 0},
         system},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseFixTime(c.clock, system, builtOn), c.expected);
    }
}

TEST(FixTime, WeekRolloverAgainstTheBuildDate) {
    struct Case {
        UtcTime time;
        UtcTime builtOn;
        UtcTime expected;
    };
    constexpr Case cases[] = {
        {{2007, 4, 23, 10, 0, 0}, {2026, 12, 7, 0, 0, 0}, {2026, 12, 7, 10, 0, 0}},
        {{2007, 4, 23, 10, 0, 0}, {2026, 12, 8, 0, 0, 0}, {2046, 7, 23, 10, 0, 0}},  // twice
        {{2026, 12, 7, 0, 0, 0}, {2026, 12, 7, 0, 0, 0}, {2026, 12, 7, 0, 0, 0}},    // the day itself
        {{2026, 12, 6, 23, 59, 59}, {2026, 12, 7, 0, 0, 0}, {2046, 7, 22, 23, 59, 59}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(formatFixTime(c.time).data());
        EXPECT_EQ(correctWeekRollover(c.time, c.builtOn), c.expected);
    }
    // The build date CMake gives lies between the project's start and the calendar's end.
    EXPECT_GE(programBuildDate().year, 2026);
    EXPECT_LE(programBuildDate().year, 2099);
}

TEST(FixTime, ReportTimesNeverRepeatNorGoBack) {
    struct Case {
        const char* name;
        std::int64_t taken;     // seconds after the first
        std::int64_t reported;  // seconds after the first
    };
    constexpr Case cases[] = {
        {"the first as taken", 0, 0},        {"later: as taken", 30, 30},
        {"the same: one second on", 30, 31}, {"the clock stepped back", -30, 32},
        {"later again: as taken", 60, 60},
    };
    const std::int64_t start = unixSecondsFromUtc({2026, 12, 7, 18, 0, 0});
    ReportTimes times;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nextReportTime(times, utcFromUnixSeconds(start + c.taken)),
                  utcFromUnixSeconds(start + c.reported));
    }
    // A kept report's time read back after a restart counts, an older one does not lower it.
    ReportTimes restarted;
    UtcTime kept;
    ASSERT_TRUE(readFixTime("2026-12-07T18:01:00Z", kept));
    noteReportTime(restarted, kept);
    noteReportTime(restarted, utcFromUnixSeconds(start));
    EXPECT_EQ(nextReportTime(restarted, utcFromUnixSeconds(start + 50)), utcFromUnixSeconds(start + 61));
    EXPECT_FALSE(readFixTime("2026-12-07 18:01:00Z", kept));
}

TEST(FixTime, CalendarBothWays) {
    struct Case {
        std::int64_t unixSeconds;
        UtcTime time;
    };
    constexpr Case cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {951782400, {2000, 2, 29, 0, 0, 0}},
        {1796667054, {2026, 12, 7, 18, 10, 54}},
        {4107542399, {2100, 2, 28, 23, 59, 59}},
        {-1, {1969, 12, 31, 23, 59, 59}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unixSeconds);
        EXPECT_EQ(utcFromUnixSeconds(c.unixSeconds), c.time);
        EXPECT_EQ(unixSecondsFromUtc(c.time), c.unixSeconds);
    }
}

TEST(FixTime, TextOfTheTField) {
    struct Case {
        UtcTime time;
        const char* text;
    };
    constexpr Case cases[] = {
        {{2026, 12, 7, 18, 10, 54}, "2026-12-07T18:10:54Z"},
        {{2000, 1, 1, 0, 0, 0}, "2000-01-01T00:00:00Z"},
        {{12345, 1, 1, 0, 0, 0}, "9999-01-01T00:00:00Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(formatFixTime(c.time).data(), c.text);
    }
}
