// The report cycle's pure decisions: when a position is reported, with which
// signs, and which reports are kept for later. (tests/cycle_threads_test.cpp runs the cycle itself.)
#include "report/cycle.hpp"

#include <gtest/gtest.h>

#include "report/forward.hpp"
#include "status/statuslog.hpp"

namespace {

ReportPosition position(char latitudeHemisphere, char longitudeHemisphere, GpsRenewals renewed = {}) {
    return {{33.5, 70.25, 1.5, 1}, latitudeHemisphere, longitudeHemisphere, renewed, {}, {}};
}

}  // namespace

TEST(ReportCycleDecisions, SignsComeFromTheHemisphereLetters) {
    struct Case {
        char latitudeHemisphere, longitudeHemisphere;
        bool unsignedPositions;
        double latitude, longitude;
    };
    constexpr Case cases[] = {
        {'N', 'E', false, 33.5, 70.25},   {'S', 'E', false, -33.5, 70.25}, {'N', 'W', false, 33.5, -70.25},
        {'S', 'W', false, -33.5, -70.25}, {'S', 'W', true, 33.5, 70.25},   {0, 0, false, 33.5, 70.25},
        {'s', 'w', false, 33.5, 70.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string{c.latitudeHemisphere} + c.longitudeHemisphere +
                     (c.unsignedPositions ? " unsigned" : ""));
        const ReportedCoordinates reported =
            reportedCoordinates(position(c.latitudeHemisphere, c.longitudeHemisphere), c.unsignedPositions);
        EXPECT_EQ(reported.latitude, c.latitude);
        EXPECT_EQ(reported.longitude, c.longitude);
    }
}

TEST(ReportCycleDecisions, StaleAfterNeedsBothGgaAndRmcRenewed) {
    struct Case {
        const char* name;
        GpsRenewals renewed;
        std::int32_t staleAfterSeconds;
        bool usable;
    };
    constexpr std::int64_t now = 100000;
    constexpr Case cases[] = {
        {"no limit, never renewed", {0, 0}, 0, true},    {"both fresh", {now - 9999, now - 1}, 10, true},
        {"GGA 10 s old", {now - 10000, now}, 10, false}, {"RMC 10 s old", {now, now - 10000}, 10, false},
        {"GGA never renewed", {0, now}, 10, false},      {"old but no limit", {1, 1}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(positionUsable(position('N', 'E', c.renewed), c.staleAfterSeconds, now), c.usable);
    }
    ReportPosition invalid = position('N', 'E', {now, now});
    invalid.fix.valid = 0;
    EXPECT_FALSE(positionUsable(invalid, 10, now));
}

// Which reports store and forward keeps: every way of not being stored
// ("0" included) keeps; the server's final answers "2" to "6" do not.
TEST(ReportCycleDecisions, KeptOnlyWhatTheServerDidNotStore) {
    struct Case {
        std::uint16_t outcome;
        OutcomeKind kind;
    };
    constexpr Case cases[] = {
        {messageSentSuccessfully, OutcomeKind::delivered},
        {messageSavingError, OutcomeKind::keep},
        {messageCantConnect, OutcomeKind::keep},
        {messageCantOpenHost, OutcomeKind::keep},
        {messageCantSendData, OutcomeKind::keep},
        {messageServiceUnavailable, OutcomeKind::keep},
        {messageWrongLogin, OutcomeKind::final},
        {messageDownloadNewVersion, OutcomeKind::final},
        {messageAuthorizationError, OutcomeKind::final},
        {messageWrongPassword, OutcomeKind::final},
        {messageBadQuery, OutcomeKind::final},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        EXPECT_EQ(outcomeKind(c.outcome), c.kind);
    }
}
