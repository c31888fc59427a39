// The phone apps' messages read into positions: every time form, the units,
// what is refused and what is left out as unknown. The exact requests of the
// apps against the real server are in phones_test.sh.
#include <gtest/gtest.h>

#include <string>

#include "server/ingest.hpp"
#include "server/phones.hpp"
#include "server/reports.hpp"

namespace {

constexpr std::int64_t arrivalUs = 1796635200LL * 1000000;  // 2026-12-07T09:20:00Z

TEST(PhoneTime, ReadsEveryFormTheAppsSend) {
    struct Case {
        const char* text;
        bool read;
        std::int64_t unixMicros;
    };
    const Case cases[] = {
        {"1796635200", true, arrivalUs},
        {"1796635200.5", true, arrivalUs + 500000},
        {"1796635200123", true, arrivalUs + 123000},  // milliseconds, from 2^31 on
        {"2147483647", true, 2147483647LL * 1000000},
        {"2026-12-07T09:20:00Z", true, arrivalUs},
        {"2026-12-07T09:20:00.250Z", true, arrivalUs + 250000},
        {"2026-12-07T11:20:00+02:00", true, arrivalUs},
        {"2026-12-07T11:20:00 02:00", true, arrivalUs},  // "+" decoded as a space in a query
        {"2026-12-07 09:20:00", true, arrivalUs},        // UTC without a zone
        {"2026-12-07T09:20:00", false, 0},
        {"2026-02-30 09:20:00", false, 0},
        {"", false, 0},
        {"-5", false, 0},
        {"1e3", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t unixMicros = 0;
        EXPECT_EQ(readPhoneTime(c.text, unixMicros), c.read);
        if (c.read) {
            EXPECT_EQ(unixMicros, c.unixMicros);
        }
    }
}

TEST(OsmAndForm, AnswersEveryKindOfQuery) {
    struct Case {
        std::string query;
        PhoneRead read;
        double speedKnots;
    };
    const Case cases[] = {
        {"id=k&lat=48.8566&lon=2.3522&speed=15", PhoneRead::positions, 15},
        {"deviceid=k&location=48.8566,2.3522&speed=10&speedunit=mps", PhoneRead::positions,
         19.438444924406046},
        {"id=k&lat=1&lon=2&speed=18.52&speedunit=kmh", PhoneRead::positions, 10},
        {"id=k&lat=1&lon=2&speed=-1", PhoneRead::positions, 0},  // not measured
        {"id=k&lat=1&lon=2&valid=false", PhoneRead::nothingToStore, 0},
        {"id=k&lat=1&lon=2&valid=0", PhoneRead::nothingToStore, 0},
        {"lat=1&lon=2", PhoneRead::bad, 0},
        {"id=&lat=1&lon=2", PhoneRead::bad, 0},
        {"id=k&lat=91&lon=2", PhoneRead::bad, 0},
        {"id=k&lat=1", PhoneRead::bad, 0},
        {"id=k&location=1;2", PhoneRead::bad, 0},
        {"id=k&lat=1&lon=2&speed=fast", PhoneRead::bad, 0},
        {"id=k&lat=1&lon=2&speed=1&speedunit=mph", PhoneRead::bad, 0},
        {"id=k&lat=1&lon=2&speed=1001", PhoneRead::bad, 0},
        {"id=k&lat=1&lon=2&timestamp=946684799", PhoneRead::bad, 0},  // before 2000
        {"id=k&lat=1&lon=2&timestamp=yesterday", PhoneRead::bad, 0},
        {"id=k&lat=1&lon=2&pad=" + std::string(osmandFormMaxBytes, 'x'), PhoneRead::bad, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query.substr(0, 80));
        PhoneMessage message;
        EXPECT_EQ(readOsmAndForm(c.query, arrivalUs, message), c.read);
        if (c.read != PhoneRead::positions) continue;
        ASSERT_EQ(message.positions.size(), 1u);
        EXPECT_EQ(message.key, "k");
        EXPECT_DOUBLE_EQ(message.positions[0].speedKnots, c.speedKnots);
        EXPECT_FALSE(message.positions[0].timeSent);  // no timestamp: taken at arrival
        EXPECT_EQ(message.positions[0].timeUs, arrivalUs);
    }
}

TEST(PhoneTime, AheadOfTheServerBeyondTheWindowIsRefused) {
    const std::int64_t lastSecond = (arrivalUs + reportTimeAheadMaxUs) / 1000000;
    for (const std::int64_t seconds : {lastSecond, lastSecond + 1}) {
        SCOPED_TRACE(seconds);
        PhoneMessage message;
        const std::string query = "id=k&lat=1&lon=2&timestamp=" + std::to_string(seconds);
        EXPECT_EQ(readOsmAndForm(query, arrivalUs, message),
                  seconds == lastSecond ? PhoneRead::positions : PhoneRead::bad);
    }
}

TEST(PhoneExtras, OutOfRangeAreUnknownNotRefused) {
    PhoneMessage message;
    ASSERT_EQ(readOwnTracks(R"({"_type":"location","lat":1,"lon":2,"tst":1796635000,"cog":-1,"alt":12,)"
                            R"("acc":-5,"batt":101,"vel":-1})",
                            arrivalUs, message),
              PhoneRead::positions);
    const PositionExtras wanted{{}, 12.0, {}, {}, {}, {}};
    EXPECT_EQ(message.positions.at(0).extras, wanted);
    EXPECT_EQ(message.positions.at(0).speedKnots, 0);
}

TEST(OwnTracks, StoresLocationsAndPassesOtherTypes) {
    struct Case {
        const char* body;
        PhoneRead read;
    };
    constexpr Case cases[] = {
        {R"({"_type":"location","lat":48.2,"lon":16.37,"tst":1796635000})", PhoneRead::positions},
        {R"({"_type":"transition","event":"leave","tst":1796635000})", PhoneRead::nothingToStore},
        {R"({"_type":"lwt","tst":1796635000})", PhoneRead::nothingToStore},
        {R"({"_type":"location","lat":48.2,"lon":16.37})", PhoneRead::bad},  // no tst
        {R"({"_type":"encrypted","data":"AAAA"})", PhoneRead::bad},  // cannot be read: kept by the app
        {R"({"lat":48.2,"lon":16.37,"tst":1796635000})", PhoneRead::bad},
        {R"([{"_type":"location"}])", PhoneRead::bad},
        {"{\"_type\":\"location\",", PhoneRead::bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        PhoneMessage message;
        EXPECT_EQ(readOwnTracks(c.body, arrivalUs, message), c.read);
    }
}

TEST(Overland, LeavesOutThePointsThatCanNeverBeStored) {
    const std::string good = R"({"type":"Feature","geometry":{"type":"Point","coordinates":[2.35,48.85]},)"
                             R"("properties":{"timestamp":"2026-12-07T09:00:00Z","speed":5}})";
    struct Case {
        std::string body;
        PhoneRead read;
        std::size_t stored, leftOut;
    };
    const Case cases[] = {
        {R"({"locations":[)" + good + "," + good + "]}", PhoneRead::positions, 2, 0},
        {R"({"locations":[)" + good +
             R"(,{"type":"Feature","geometry":{"type":"Point","coordinates":[2]},)"
             R"("properties":{"timestamp":"2026-12-07T09:00:00Z"}},7]})",
         PhoneRead::positions, 1, 2},
        {R"({"locations":[]})", PhoneRead::nothingToStore, 0, 0},
        {R"({"locations":{}})", PhoneRead::bad, 0, 0},
        {R"({"locations":[)", PhoneRead::bad, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        PhoneMessage message;
        EXPECT_EQ(readOverland(c.body, arrivalUs, message), c.read);
        EXPECT_EQ(message.positions.size(), c.stored);
        EXPECT_EQ(message.pointsLeftOut, c.leftOut);
    }
}

TEST(IngestTable, FindsEachProtocolByPathAndItsMethods) {
    struct Case {
        std::string_view path, method, name;
        bool allowed;
    };
    constexpr Case cases[] = {
        {"/wayloom/Receiver.php", "POST", "wayloom", true},
        {"/wayloom/Receiver.php", "GET", "wayloom", false},
        {"/osmand", "GET", "osmand", true},
        {"/osmand", "POST", "osmand", true},
        {"/owntracks", "POST", "owntracks", true},
        {"/pub", "POST", "owntracks", true},
        {"/overland", "POST", "overland", true},
        {"/overland", "GET", "overland", false},
        {"/api/devices", "GET", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const IngestProtocol* protocol = findIngestProtocol(c.path);
        ASSERT_EQ(protocol == nullptr, c.name.empty());
        if (protocol == nullptr) continue;
        EXPECT_EQ(protocol->name, c.name);
        EXPECT_EQ(ingestMethodAllowed(*protocol, c.method), c.allowed);
    }
    EXPECT_EQ(bearerToken("Bearer abc "), "abc");
    EXPECT_EQ(bearerToken("bearer  abc"), "abc");
    EXPECT_EQ(bearerToken("Basic abc"), "");
}

}  // namespace
