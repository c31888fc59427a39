#include "server/webtime.hpp"

#include <gtest/gtest.h>

#include <vector>

TEST(IsoTime, ReadsUtcAndOffsets) {
    struct Case {
        const char* text;
        std::int64_t micros;
    };
    constexpr Case cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-07T09:20:00Z", 1796635200000000},
        {"2026-12-07t09:20:00z", 1796635200000000},
        {"2026-12-07 09:20:00Z", 1796635200000000},
        {"2026-12-07T10:20:00+01:00", 1796635200000000},
        {"2026-12-07T04:50:00-04:30", 1796635200000000},
        {"2026-12-07T09:20:00.5Z", 1796635200500000},
        {"2026-12-07T09:20:00.123456789Z", 1796635200123456},
        {"2024-02-29T23:59:59Z", 1709251199000000},
        {"2000-03-01T00:00:00Z", 951868800000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t micros = -1;
        ASSERT_TRUE(parseIsoTime(c.text, micros));
        EXPECT_EQ(micros, c.micros);
    }
}

TEST(IsoTime, RefusesWhatIsNotATime) {
    constexpr const char* cases[] = {
        "",
        "2026-12-07",
        "2026-12-07T09:20Z",
        "2026-12-07T09:20:00",
        "2026-12-07T09:20:00ZZ",
        "2026-12-07T09:20:00.Z",
        "2026-12-07T09:20:00.1234567891Z",
        "2026-13-07T09:20:00Z",
        "2026-00-07T09:20:00Z",
        "2026-02-29T09:20:00Z",
        "1900-02-29T00:00:00Z",
        "2026-04-31T09:20:00Z",
        "2026-12-07T24:00:00Z",
        "2026-12-07T09:60:00Z",
        "2026-12-07T09:20:60Z",
        "2026-12-07T09:20:00+1:00",
        "2026-12-07T09:20:00+24:00",
        "1969-12-31T23:59:59Z",
        "1970-01-01T00:00:00+00:01",
        "+2026-12-07T09:20:00Z",
        "2026-12-07T09:20:00Z ",
    };
    for (const char* text : cases) {
        std::int64_t micros = 42;
        EXPECT_FALSE(parseIsoTime(text, micros)) << text;
    }
}

TEST(IsoTime, WritesTheFractionOnlyWhenThere) {
    struct Case {
        std::int64_t micros;
        const char* text;
    };
    constexpr Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1796635200000000, "2026-12-07T09:20:00Z"},
        {1796635200500000, "2026-12-07T09:20:00.500Z"},
        {1796635200000001, "2026-12-07T09:20:00.000001Z"},
        {1709251199000000, "2024-02-29T23:59:59Z"},
        {253402300799000000, "9999-12-31T23:59:59Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatIsoTime(c.micros), c.text);
        std::int64_t back = -1;
        EXPECT_TRUE(parseIsoTime(c.text, back) && back == c.micros) << c.text;
    }
}

TEST(ReportInterval, MedianGapAndSilence) {
    constexpr std::int64_t s = 1000000;
    struct Case {
        std::vector<std::int64_t> times;
        std::int64_t interval;
    };
    const Case cases[] = {
        {{}, 0},
        {{5 * s}, 0},
        {{0, 30 * s}, 30 * s},
        {{0, 30 * s, 60 * s, 3600 * s, 3630 * s}, 30 * s},  // a pause of an hour does not count
        {{0, 60 * s, 61 * s, 62 * s, 122 * s}, 60 * s},     // upper median of 60, 1, 1, 60
    };
    for (const Case& c : cases) EXPECT_EQ(medianGapMicros(c.times), c.interval) << c.times.size();

    EXPECT_FALSE(deviceSilent(100 * s, 30 * s, 190 * s));
    EXPECT_TRUE(deviceSilent(100 * s, 30 * s, 190 * s + 1));
    EXPECT_FALSE(deviceSilent(100 * s, 0, 100000 * s));
}

TEST(IsoTime, RangeBoundsTakeADateAlone) {
    struct Case {
        const char* text;
        bool rangeEnd;
        bool read;
        std::int64_t micros;
    };
    constexpr Case cases[] = {
        {"2026-12-07", false, true, 1796601600000000},
        {"2026-12-07", true, true, 1796687999999999},
        {"2026-12-07T09:20:00Z", true, true, 1796635200000000},
        {"2024-02-29", false, true, 1709164800000000},
        {"2026-02-29", false, false, 0},
        {"2026-12-7", false, false, 0},
        {"07.12.2026", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t micros = 0;
        ASSERT_EQ(parseRangeTime(c.text, c.rangeEnd, micros), c.read);
        EXPECT_EQ(micros, c.micros);
    }
}
