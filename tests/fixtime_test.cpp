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
    // RMC h m s, d m y; GGA h m s; ZDA h m s, d m, year.
    const Case cases[] = {
        {"RMC date and time",
         {18, 10, 54, 7, 12, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0},
         {2026, 12, 7, 18, 10, 54}},
        {"RMC without a date, ZDA date, GGA time",
         {18, 10, 54, 0, 0, 0, 18, 10, 53, 18, 10, 50, 7, 12, 2026},
         {2026, 12, 7, 18, 10, 53}},
        {"GGA just after midnight, ZDA just before",
         {0, 0, 0, 0, 0, 0, 0, 0, 2, 23, 59, 58, 31, 12, 2026},
         {2027, 1, 1, 0, 0, 2}},
        {"GGA just before midnight, ZDA just after",
         {0, 0, 0, 0, 0, 0, 23, 59, 59, 0, 0, 1, 1, 3, 2028},
         {2028, 2, 29, 23, 59, 59}},
        {"no date at all", {18, 10, 54, 0, 0, 0, 18, 10, 53, 0, 0, 0, 0, 0, 0}, system},
        {"RMC month out of range", {18, 10, 54, 7, 13, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0}, system},
        {"RMC time out of range", {24, 10, 54, 7, 12, 26, 18, 10, 53, 0, 0, 0, 0, 0, 0}, system},
        {"ZDA year before 2000", {0, 0, 0, 0, 0, 0, 18, 10, 53, 18, 10, 50, 7, 12, 1999}, system},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseFixTime(c.clock, system), c.expected);
    }
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
