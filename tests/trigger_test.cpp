// Whether a report is due early: report-distance, report-turn and
// report-min-interval over plain records.
#include "report/trigger.hpp"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t lastMs = 100000;       // the last report's position was taken here
constexpr std::int64_t intervalDue = 130000;  // and the next is due on the clock here
constexpr ReportTriggers both{200, 30, 5000};
// About 111 m of latitude per 0.001 degree.
constexpr ReportedPlace movingEast{true, 48.0, 11.0, true, 90.0, lastMs};

CurrentMotion at(double latitude, double longitude, double knots, double course, bool courseGiven = true) {
    return {true, latitude, longitude, knots, courseGiven, course};
}

}  // namespace

TEST(ReportTrigger, DueTable) {
    struct Case {
        const char* name;
        ReportTriggers triggers;
        ReportedPlace last;
        CurrentMotion now;
        std::int64_t nowMs;
        ReportDue due;
    };
    constexpr ReportTriggers distanceOnly{200, 0, 5000};
    constexpr ReportTriggers turnOnly{0, 30, 5000};
    const ReportedPlace none{};
    const ReportedPlace standing{true, 48.0, 11.0, false, 0.0, lastMs};
    const Case cases[] = {
        {"the clock, whatever else", both, movingEast, at(48.0, 11.0, 0, 0), intervalDue,
         ReportDue::interval},
        {"the clock with nothing reported yet", both, none, at(48.0, 11.0, 0, 0), intervalDue,
         ReportDue::interval},
        {"nothing reported yet: no distance", both, none, at(49.0, 11.0, 10, 90), lastMs + 6000,
         ReportDue::notYet},
        {"222 m north", both, movingEast, at(48.002, 11.0, 10, 90), lastMs + 6000, ReportDue::distance},
        {"111 m north", both, movingEast, at(48.001, 11.0, 10, 90), lastMs + 6000, ReportDue::notYet},
        {"222 m within the minimum interval", both, movingEast, at(48.002, 11.0, 10, 90), lastMs + 4999,
         ReportDue::notYet},
        {"222 m, distance off", turnOnly, movingEast, at(48.002, 11.0, 10, 90), lastMs + 6000,
         ReportDue::notYet},
        {"222 m south-west, signs",
         distanceOnly,
         {true, -0.001, -0.001, false, 0, lastMs},
         at(0.00041, 0.00041, 0, 0),
         lastMs + 5000,
         ReportDue::distance},
        {"across the date line, 111 m",
         distanceOnly,
         {true, 0.0, 179.9995, false, 0, lastMs},
         at(0.0, -179.9995, 5, 90),
         lastMs + 6000,
         ReportDue::notYet},
        {"a turn of 30 degrees", both, movingEast, at(48.0, 11.0, 10, 120), lastMs + 6000, ReportDue::turn},
        {"a turn of 29 degrees", both, movingEast, at(48.0, 11.0, 10, 61), lastMs + 6000, ReportDue::notYet},
        {"a turn across north",
         turnOnly,
         {true, 48.0, 11.0, true, 350.0, lastMs},
         at(48.0, 11.0, 10, 20),
         lastMs + 6000,
         ReportDue::turn},
        {"a turn within the minimum interval", both, movingEast, at(48.0, 11.0, 10, 270), lastMs + 4000,
         ReportDue::notYet},
        {"a turn while standing", both, movingEast, at(48.0, 11.0, 1.4, 270), lastMs + 6000,
         ReportDue::notYet},
        {"a turn without a course", both, movingEast, at(48.0, 11.0, 10, 270, false), lastMs + 6000,
         ReportDue::notYet},
        {"a turn, turn off", distanceOnly, movingEast, at(48.0, 11.0, 10, 270), lastMs + 6000,
         ReportDue::notYet},
        {"reported standing: the first course moving is the reference", turnOnly, standing,
         at(48.0, 11.0, 10, 270), lastMs + 6000, ReportDue::notYet},
        {"no usable fix",
         both,
         movingEast,
         {false, 49.0, 11.0, 10, true, 270},
         lastMs + 6000,
         ReportDue::notYet},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReportedPlace last = c.last;
        EXPECT_EQ(reportDue(c.triggers, last, c.now, c.nowMs, intervalDue), c.due);
    }
}

// Reported while parked, then driving off north and turning east: the turn is
// measured from the course driving off, not from the parked one.
TEST(ReportTrigger, ReportedStandingTurnCountsFromDrivingOff) {
    ReportedPlace last{};
    noteReport(last, at(48.0, 11.0, 0.2, 200), lastMs);
    EXPECT_FALSE(last.courseKnown);
    EXPECT_EQ(reportDue(both, last, at(48.0, 11.0, 0.3, 180), lastMs + 1000, intervalDue), ReportDue::notYet);
    EXPECT_EQ(reportDue(both, last, at(48.0001, 11.0, 10, 0), lastMs + 2000, intervalDue), ReportDue::notYet);
    EXPECT_EQ(reportDue(both, last, at(48.0002, 11.0, 10, 10), lastMs + 6000, intervalDue),
              ReportDue::notYet);
    EXPECT_EQ(reportDue(both, last, at(48.0002, 11.0001, 10, 90), lastMs + 7000, intervalDue),
              ReportDue::turn);
    noteReport(last, at(48.0002, 11.0001, 10, 90), lastMs + 7000);
    EXPECT_TRUE(last.courseKnown);
    EXPECT_EQ(last.course, 90.0);
}

// A degree of the mean sphere's great circle, a quarter of it, half the
// world, and a degree of longitude at 60 N: under half, the great circle cuts
// inside the parallel.
TEST(ReportTrigger, GreatCircleMetres) {
    EXPECT_NEAR(greatCircleMetres(0, 0, 1, 0), 111195.08, 0.01);
    EXPECT_NEAR(greatCircleMetres(0, 0, 0, 90), 10007557.2, 0.1);
    EXPECT_NEAR(greatCircleMetres(0, 0, 0, 180), 20015114.4, 0.1);
    EXPECT_NEAR(greatCircleMetres(60, 10, 60, 11), 55597.01, 0.01);
}
