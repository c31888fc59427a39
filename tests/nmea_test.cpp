// Decoding of NMEA sentences into the GPS state, and the position fix.
#include "gps/nmea.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int32_t int32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int32Min = std::numeric_limits<std::int32_t>::min();

// Degrees as the design defines them: whole degrees plus minutes times the
// double nearest to 1/60.
constexpr double degrees(double whole, double minutes) {
    return whole + minutes * (1.0 / 60.0);
}

Identifier id(const char (&text)[7]) {
    return {text[0], text[1], text[2], text[3], text[4], text[5]};
}

class Nmea : public ::testing::Test {
  protected:
    void SetUp() override { gpsState = GpsState{}; }
};

constexpr const char* ggaExample = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*";

const GgaRecord ggaExampleRecord = {
    .id = id("$GPGGA"),
    .hour = 12,
    .minute = 35,
    .second = 19,
    .latitude = degrees(48, 7.038),
    .latitudeHemisphere = 'N',
    .longitude = degrees(11, 31.0),
    .longitudeHemisphere = 'E',
    .fixQuality = '1',
    .satellitesUsed = 8,
    .hdop = 0.9f,
    .altitude = 545,
    .altitudeUnit = 'M',
    .geoidSeparation = 46.9f,
    .geoidSeparationUnit = 'M',
    .dgpsAge = 0.0f,
    .dgpsStationId = 0,
};

TEST_F(Nmea, GgaExampleDecodesEveryField) {
    dispatchSentence(ggaExample);
    EXPECT_EQ(gpsState.gga, ggaExampleRecord);
    EXPECT_NEAR(gpsState.gga.latitude, 48.1173, 1e-9);
    EXPECT_NEAR(gpsState.gga.longitude, 11.516667, 5e-7);
}

TEST_F(Nmea, RmcGllGsaZdaExamplesDecodeEveryField) {
    dispatchSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*");
    dispatchSentence("$GPGLL,4916.45,N,12311.12,W,225444,A*");
    dispatchSentence("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*");
    dispatchSentence("$GPZDA,201530.00,04,07,2002,-05,30*");
    const RmcRecord rmc = {.id = id("$GPRMC"),
                           .hour = 12,
                           .minute = 35,
                           .second = 19,
                           .status = 'A',
                           .latitude = degrees(48, 7.038),
                           .latitudeHemisphere = 'N',
                           .longitude = degrees(11, 31.0),
                           .longitudeHemisphere = 'E',
                           .speed = 22.4f,
                           .course = 84.4f,
                           .day = 23,
                           .month = 3,
                           .year = 94,
                           .magneticVariation = 3.1f,
                           .magneticVariationDirection = 'W'};
    const GllRecord gll = {.id = id("$GPGLL"),
                           .latitude = 4916.45,
                           .latitudeHemisphere = 'N',
                           .longitude = 12311.12,
                           .longitudeHemisphere = 'W',
                           .hour = 22,
                           .minute = 54,
                           .second = 44,
                           .status = 'A'};
    const GsaRecord gsa = {.id = id("$GPGSA"),
                           .mode = 'A',
                           .fixType = '3',
                           .satellites = {4, 5, 0, 9, 12, 0, 0, 24, 0, 0, 0, 0},
                           .pdop = 2.5f,
                           .hdop = 1.3f,
                           .vdop = 2.1f};
    const ZdaRecord zda = {.id = id("$GPZDA"),
                           .hour = 20,
                           .minute = 15,
                           .second = 30,
                           .day = 4,
                           .month = 7,
                           .year = 2002,
                           .zoneHours = -5,
                           .zoneMinutes = 30};
    EXPECT_EQ(gpsState.rmc, rmc);
    EXPECT_EQ(gpsState.gll, gll);
    EXPECT_EQ(gpsState.gsa, gsa);
    EXPECT_EQ(gpsState.zda, zda);
}

TEST_F(Nmea, GsaTwelveSatellitesFillEntriesInFieldOrder) {
    dispatchSentence("$GPGSA,M,2,01,02,03,04,05,06,07,08,09,10,11,12,1.5,2.5,3.5*");
    const std::array<std::uint8_t, 12> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(gpsState.gsa.satellites, expected);
    EXPECT_EQ(gpsState.gsa.pdop, 1.5f);
    EXPECT_EQ(gpsState.gsa.hdop, 2.5f);
    EXPECT_EQ(gpsState.gsa.vdop, 3.5f);
}

TEST(Coordinates, ConvertMinutesToDegrees) {
    struct Case {
        std::string_view field;
        double degrees;
    };
    const Case cases[] = {
        {"5546.1234", 55.768723},
        {"0546.1234", 5.7687233},
        {"03723.4567", 37.390945},
        {"12345.6789", 123.76131},
        {"00042.5", 0.70833333},
        {"", 0.0},
        {"4807", degrees(48, 7)},
        {"48.5", degrees(0, 48.5)},
        {"4807.038xyz", degrees(48, 7.038)},
        // Only the digits before the point split degrees from minutes: a
        // blank or a sign from a noisy line never makes the result negative.
        {" 01131.000", degrees(11, 31.0)},
        {"-4807.038", degrees(48, 7.038)},
        {"+4807.038", degrees(48, 7.038)},
        {"-48.5", degrees(0, 48.5)},
        {"-.5", degrees(0, 0.5)},
        {std::string_view("4807.0\0"
                          "38",
                          9),
         degrees(48, 7.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field));
        EXPECT_NEAR(nmeaToDegrees(c.field), c.degrees, std::abs(c.degrees) * 5e-8);
    }
    EXPECT_EQ(nmeaToDegrees("4807.038"), degrees(48, 7.038)) << "the factor is the double nearest 1/60";
    EXPECT_EQ(nmeaToDegrees("4807.038,N,01131.000"), degrees(48, 7.038)) << "only the first field is read";
    EXPECT_NEAR(nmeaToDegrees(std::string(400, '9')), 1e18, 1e3) << "only 20 characters are read";
}

// Number fields, read through a GLL latitude (double) and a VTG value (float).
TEST_F(Nmea, NumbersAreDecimalAndAlwaysFinite) {
    struct Case {
        const char* field;
        double asDouble;
        float asFloat;
    };
    const Case cases[] = {
        {"4916.45", 4916.45, 4916.45f},
        {"", 0, 0},
        {" \t+12.5", 12.5, 12.5f},
        {"-0.5", -0.5, -0.5f},
        {".5", 0.5, 0.5f},
        {"5.", 5, 5},
        {"1e3", 1000, 1000},
        {"1E-2", 0.01, 0.01f},
        {"2.5e", 2.5, 2.5f},
        {"2.5e+", 2.5, 2.5f},
        {"12abc", 12, 12},
        {"1.2.3", 1.2, 1.2f},
        {"inf", 0, 0},
        {"-infinity", 0, 0},
        {"nan", 0, 0},
        {"NAN(1)", 0, 0},
        {"0x1A", 0, 0},
        {"0x1p3", 0, 0},
        {"1e999", 0, 0},
        {"-1e999", 0, 0},
        {"1e-999", 0, 0},
        {"1e39", 1e39, 0},
        {".", 0, 0},
        {"-", 0, 0},
        {"e5", 0, 0},
        {"+-5", 0, 0},
        {"0.1", 0.1, 0.1f},
        {"12345678901234567890", 12345678901234567890.0, 12345678901234567890.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        dispatchSentence("$GPGLL," + std::string(c.field) + ",N*");
        dispatchSentence("$GPVTG," + std::string(c.field) + ",T*");
        EXPECT_EQ(gpsState.gll.latitude, c.asDouble);
        EXPECT_EQ(gpsState.vtg.values[0], c.asFloat);
    }
}

// Decimal text of every shape a field can hold reads as the nearest double
// and the nearest float, as strtod and strtof read it.
TEST_F(Nmea, NumbersRoundToNearestLikeStrtod) {
    std::mt19937 random(20240601);
    const auto digits = [&random](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
        return text;
    };
    std::vector<std::string> fields = {
        "16777217",     "16777216.5",     "9007199254740993", "0.30000000000000004", "1234567890123456789",
        "3.4028234e38", "1.17549435e-38", "4807.0380"};
    while (fields.size() < 3000) {
        std::string text = random() % 4 == 0 ? "-" : "";
        text += digits(static_cast<int>(random() % 9));
        if (random() % 3 != 0) text += "." + digits(static_cast<int>(random() % 10));
        if (random() % 3 == 0) text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
        if (text.size() <= 20 && text.find_first_of("0123456789") < text.find('e')) fields.push_back(text);
    }
    for (const std::string& field : fields) {
        SCOPED_TRACE(field);
        dispatchSentence("$GPGLL," + field + ",N*");
        dispatchSentence("$GPVTG," + field + ",T*");
        ASSERT_EQ(gpsState.gll.latitude, std::strtod(field.c_str(), nullptr));
        ASSERT_EQ(gpsState.vtg.values[0], std::strtof(field.c_str(), nullptr));
    }
}

// Integer fields, read through GSV satellites in view (8-bit), the first
// azimuth (32-bit) and ZDA zone hours (8-bit, signed).
TEST_F(Nmea, IntegersSaturateAt32BitsThenKeepLowEightBits) {
    struct Case {
        const char* field;
        std::int32_t value;
    };
    const Case cases[] = {
        {"11", 11},
        {"", 0},
        {" 7", 7},
        {"+7", 7},
        {"-5", -5},
        {"12.9", 12},
        {"0x10", 0},
        {"abc", 0},
        {"300", 300},
        {"2147483647", int32Max},
        {"2147483648", int32Max},
        {"99999999999999999999", int32Max},
        {"-2147483648", int32Min},
        {"-99999999999", int32Min},
        // Leading zeros count for nothing, as strtol reads them.
        {"000000000008", 8},
        {"-00000000000545", -545},
        {"00000000002147483647", int32Max},
        {"0000000000000", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        const std::string field(c.field);
        dispatchSentence("$GPGSV,1,1," + field + ",01,02," + field + ",04*");
        dispatchSentence("$GPZDA,,,,," + field + "*");
        EXPECT_EQ(gpsState.gsv.satellites[0].azimuth, c.value);
        EXPECT_EQ(gpsState.gsv.satellitesInView, static_cast<std::uint8_t>(c.value));
        EXPECT_EQ(gpsState.zda.zoneHours, static_cast<std::int8_t>(c.value));
    }
}

TEST_F(Nmea, DgpsStationIdIsANumberTruncatedTowardZero) {
    struct Case {
        const char* field;
        std::int32_t value;
    };
    const Case cases[] = {{"12.9", 12},       {"-12.9", -12}, {"1e3", 1000}, {"3e9", int32Max},
                          {"-3e9", int32Min}, {"1e999", 0},   {"inf", 0},    {"", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        dispatchSentence("$GPGGA,,,,,,,,,,,,,," + std::string(c.field) + "*");
        EXPECT_EQ(gpsState.gga.dgpsStationId, c.value);
    }
}

// Time pairs through RMC (8-bit) and GGA (32-bit).
TEST_F(Nmea, PairsReadOnlyTheFieldsOwnCharacters) {
    struct Case {
        const char* field;
        std::int32_t hour, minute, second;
    };
    const Case cases[] = {
        {"123519", 12, 35, 19}, {"123519.123", 12, 35, 19}, {"", 0, 0, 0},
        {"1235", 12, 35, 0},    {"12351", 12, 35, 1},       {"1", 1, 0, 0},
        {"ab1234", 0, 12, 34},  {"-12345", -1, 23, 45},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        dispatchSentence("$GPRMC," + std::string(c.field) + ",A*");
        dispatchSentence("$GPGGA," + std::string(c.field) + ",*");
        EXPECT_EQ(gpsState.gga.hour, c.hour);
        EXPECT_EQ(gpsState.gga.minute, c.minute);
        EXPECT_EQ(gpsState.gga.second, c.second);
        EXPECT_EQ(gpsState.rmc.hour, static_cast<std::uint8_t>(c.hour));
        EXPECT_EQ(gpsState.rmc.minute, static_cast<std::uint8_t>(c.minute));
        EXPECT_EQ(gpsState.rmc.second, static_cast<std::uint8_t>(c.second));
    }
}

TEST_F(Nmea, GsvKeepsFirstCharactersAndEntriesAShortSentenceDoesNotReach) {
    dispatchSentence("$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00*");
    dispatchSentence("$GPGSV,12,2,11,14,25,170,00,16,57,208,39*");
    const GsvRecord expected = {
        .id = id("$GPGSV"),
        .messageNumber = '2',
        .messageCount = '1',
        .satellitesInView = 11,
        .satellites = {{{14, 25, 170, 0}, {16, 57, 208, 39}, {6, 1, 10, 0}, {13, 6, 292, 0}}},
    };
    EXPECT_EQ(gpsState.gsv, expected);
}

TEST_F(Nmea, VtgStoresFieldsOneToFourAsNumbers) {
    dispatchSentence("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*");
    const std::array<float, 4> expected = {54.7f, 0.0f, 34.4f, 0.0f};
    EXPECT_EQ(gpsState.vtg.values, expected);
}

TEST_F(Nmea, ShortSentenceLeavesLaterFieldsAsTheyWere) {
    dispatchSentence(ggaExample);
    dispatchSentence("$GPGGA,123520,,S,01131.010,W,2*");
    GgaRecord expected = ggaExampleRecord;
    expected.second = 20;
    expected.latitude = 0.0;
    expected.latitudeHemisphere = 'S';
    expected.longitude = degrees(11, 31.01);
    expected.longitudeHemisphere = 'W';
    expected.fixQuality = '2';
    EXPECT_EQ(gpsState.gga, expected);
}

TEST_F(Nmea, OverLongFieldIsCutAtTwentyAndShiftsLaterFields) {
    dispatchSentence("$GPGGA,1234567890123456789012345,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*");
    const GgaRecord expected = {
        .id = id("$GPGGA"),
        .hour = 12,
        .minute = 34,
        .second = 56,
        .latitude = degrees(23, 45),
        .latitudeHemisphere = '4',
        .longitude = 0.0,
        .longitudeHemisphere = '0',
        .fixQuality = 'E',
        .satellitesUsed = 1,
        .hdop = 8.0f,
        .altitude = 0,
        .altitudeUnit = '5',
        .geoidSeparation = 0.0f,
        .geoidSeparationUnit = '4',
        .dgpsAge = 0.0f,
        .dgpsStationId = 0,
    };
    EXPECT_EQ(gpsState.gga, expected);

    // The 21st character is dropped even when it is a delimiter's place:
    // here the next field is the empty one before "*", which ends the sentence.
    dispatchSentence("$GPGSV,1,1,5,9,9,9,9*");
    dispatchSentence("$GPGSV,1,1,123456789012345678901*,7,7,7*");
    EXPECT_EQ(gpsState.gsv.satellitesInView, static_cast<std::uint8_t>(int32Max));
    EXPECT_EQ(gpsState.gsv.satellites[0].prn, 0);
    EXPECT_EQ(gpsState.gsv.satellites[0].elevation, 9);
    dispatchSentence("$GPGSV,1,1,5,9,9,9,9*");
    dispatchSentence("$GPGSV,1,1,12345678901234567890*,7*");
    EXPECT_EQ(gpsState.gsv.satellites[0].prn, 9);
}

TEST_F(Nmea, OnlyTheFirstSixCharactersChooseTheDecoder) {
    struct Case {
        std::string_view sentence;
        SentenceType type;
    };
    const Case cases[] = {
        {"$GPGGA,1*", SentenceType::gga},
        {"$GPGLL*", SentenceType::gll},
        {"$GPGSA", SentenceType::gsa},
        {"$GPGSV,*", SentenceType::gsv},
        {"$GPRMCX,1*", SentenceType::rmc},
        {"$GPVTG*", SentenceType::vtg},
        {"$GPZDA,*", SentenceType::zda},
        {"$gpgga,1*", SentenceType::other},
        {"$GNGGA,1*", SentenceType::other},
        {"GPGGA,1*", SentenceType::other},
        {"$GPGG*", SentenceType::other},
        {"", SentenceType::other},
        {std::string_view("$GP\0GGA*", 8), SentenceType::other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sentence));
        EXPECT_EQ(sentenceType(c.sentence), c.type);
    }
    dispatchSentence("$GPRMCX,1*");
    EXPECT_EQ(gpsState.rmc.id, id("$GPRMC"));
    EXPECT_EQ(gpsState.rmc.hour, 1);
}

TEST_F(Nmea, ZeroByteEndsTheSentence) {
    dispatchSentence(
        std::string_view("$GPGGA,123519,48\0"
                         "07.038,N*",
                         26));
    EXPECT_EQ(gpsState.gga.latitude, degrees(0, 48));
    EXPECT_EQ(gpsState.gga.latitudeHemisphere, '\0');
}

TEST(FieldLength, StopsAtDelimiterEndOrTwenty) {
    struct Case {
        std::string_view text;
        std::size_t length;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"ab,c", 2},
        {"ab*c", 2},
        {",", 0},
        {"12345678901234567890", 20},
        {"1234567890123456789012345", 20},
        {std::string_view("a\0b", 3), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(fieldLength(c.text), c.length);
    }
}

TEST_F(Nmea, OtherTalkersAreStoredWholeAndChangeNoRecord) {
    dispatchSentence(ggaExample);
    dispatchSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4*");
    GpsState before = gpsState;
    dispatchSentence("$GNGGA,123520,3342.6618,S,15112.1509,E,1,09,1.1,47.0,M,20.1,M,,*");
    before.other = gpsState.other;
    EXPECT_EQ(gpsState, before);
    EXPECT_STREQ(gpsState.other.text.data(),
                 "$GNGGA,123520,3342.6618,S,15112.1509,E,1,09,1.1,47.0,M,20.1,M,,*");
}

TEST_F(Nmea, OtherSentenceKeepsFirst261CharactersAndIsReplacedWhole) {
    std::string longText(300, 'x');
    for (std::size_t i = 0; i < longText.size(); ++i) longText[i] = static_cast<char>('a' + i % 26);
    storeOtherSentence(longText);
    EXPECT_EQ(std::string(gpsState.other.text.data()), longText.substr(0, 261));
    storeOtherSentence("$PABC,123*");
    EXPECT_EQ(std::string(gpsState.other.text.data()), "$PABC,123*");
    const auto& text = gpsState.other.text;
    EXPECT_TRUE(std::all_of(text.begin() + 10, text.end(), [](char c) { return c == '\0'; }));
}

TEST_F(Nmea, FixTakesGgaPositionAndRmcSpeedAndStatus) {
    struct Fix {
        double latitude = -1, longitude = -1, speed = -1;
        int valid = -1;
    };
    Fix fix;
    takePositionFix(&fix.latitude, &fix.longitude, &fix.speed, &fix.valid);
    EXPECT_EQ(fix.latitude, 0.0);
    EXPECT_EQ(fix.longitude, 0.0);
    EXPECT_EQ(fix.speed, 0.0);
    EXPECT_EQ(fix.valid, 0);

    // Southern and western coordinates stay positive; the letters are kept.
    dispatchSentence("$GPGGA,123519,3342.6618,S,07040.1234,W,1,08,0.9,545.4,M,46.9,M,,*");
    dispatchSentence("$GPRMC,123519,A,1111.1111,N,02222.2222,E,022.4,084.4,230394,003.1,W*");
    takePositionFix(&fix.latitude, &fix.longitude, &fix.speed, &fix.valid);
    EXPECT_EQ(fix.latitude, degrees(33, 42.6618));
    EXPECT_EQ(fix.longitude, degrees(70, 40.1234));
    EXPECT_EQ(fix.speed, static_cast<double>(22.4f));
    EXPECT_EQ(fix.valid, 1);
    EXPECT_EQ(gpsState.gga.latitudeHemisphere, 'S');
    EXPECT_EQ(gpsState.gga.longitudeHemisphere, 'W');

    for (const char* rmc : {"$GPRMC,123520,V,1111.1111,N*", "$GPRMC,123520,,1111.1111,N*", "$GPRMC,1,a*"}) {
        SCOPED_TRACE(rmc);
        dispatchSentence("$GPRMC,123519,A*");
        dispatchSentence(rmc);
        takePositionFix(nullptr, nullptr, nullptr, &fix.valid);
        EXPECT_EQ(fix.valid, 0);
    }

    // Absent outputs are skipped; the present ones are still written.
    Fix partial;
    takePositionFix(nullptr, &partial.longitude, nullptr, nullptr);
    EXPECT_EQ(partial.longitude, degrees(70, 40.1234));
    EXPECT_EQ(partial.latitude, -1);
    takePositionFix(nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

namespace {

class NmeaOptions : public Nmea {
  protected:
    void TearDown() override {
        decodingOptions = DecodingOptions{};
        gpsRenewals = GpsRenewals{};
    }
};

}  // namespace

TEST_F(NmeaOptions, AnyTalkerDecodesTheSevenTypesFromEveryTalker) {
    struct Case {
        std::string_view sentence;
        SentenceType plain;  // without talkers = any
        SentenceType any;    // with it
    };
    using T = SentenceType;
    const Case cases[] = {
        {"$GPGGA,1*", T::gga, T::gga},     {"$GNGGA,1*", T::other, T::gga},
        {"$GLRMC,1*", T::other, T::rmc},   {"$GAVTG,1*", T::other, T::vtg},
        {"$BDGSA,1*", T::other, T::gsa},   {"$GBGSV,1*", T::other, T::gsv},
        {"$QZZDA,1*", T::other, T::zda},   {"$GNGLL,1*", T::other, T::gll},
        {"$PAGGA,1*", T::other, T::other}, {"$gnGGA,1*", T::other, T::other},
        {"$G1GGA,1*", T::other, T::other}, {"$GNGGB,1*", T::other, T::other},
        {"!GNGGA,1*", T::other, T::other}, {"$GN", T::other, T::other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sentence));
        decodingOptions.anyTalker = false;
        EXPECT_EQ(sentenceType(c.sentence), c.plain);
        decodingOptions.anyTalker = true;
        EXPECT_EQ(sentenceType(c.sentence), c.any);
    }
    dispatchSentence("$GNGGA,123520,3342.6618,S,15112.1509,W,1,09,1.1,47.0,M,20.1,M,,*");
    EXPECT_EQ(gpsState.gga.id, id("$GNGGA"));
    EXPECT_EQ(gpsState.gga.latitude, degrees(33, 42.6618));
    EXPECT_EQ(gpsState.other, OtherSentence{});
}

// The report's hemispheres come from the same GGA record as its position;
// renewal times are kept only when asked for.
TEST_F(Nmea, GgaCountsTheMidnightsSinceTheLastDatedSentence) {
    struct Step {
        const char* sentence;
        GpsDays expected;  // lastSeconds as the day count keeps it
    };
    constexpr auto rmc = DateSentence::rmc, zda = DateSentence::zda;
    const Step steps[] = {
        {"$GPGGA,235958,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*",
         {DateSentence::none, false, 0, 0}},
        {"$GPRMC,235959,A,4807.038,N,01131.000,E,022.4,084.4,071226,,*", {rmc, false, 0, 86399}},
        {"$GPGGA,000000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*", {rmc, true, 1, 0}},
        {"$GPGGA,235959,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*", {rmc, true, 1, 86399}},
        {"$GPGGA,000001,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*", {rmc, true, 2, 1}},
        {"$GPRMC,000002,A,4807.038,N,01131.000,E,022.4,084.4,,,*", {rmc, true, 2, 1}},  // no date
        {"$GPZDA,000003.00,09,12,2026,00,00*", {zda, false, 0, 3}},
    };
    gpsDays = {};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.sentence);
        dispatchSentence(step.sentence);
        const ReceiverClock clock = takeReportPosition().clock;
        EXPECT_EQ(clock.newestDate, step.expected.newestDate);
        EXPECT_EQ(clock.ggaSinceDate, step.expected.ggaSinceDate);
        EXPECT_EQ(clock.ggaDays, step.expected.ggaDays);
        EXPECT_EQ(gpsDays.lastSeconds, step.expected.lastSeconds);
    }
}

TEST_F(NmeaOptions, ReportPositionCarriesItsOwnHemispheresAndRenewals) {
    dispatchSentence("$GPGGA,123519,3342.6618,S,07040.1234,W,1*");
    dispatchSentence("$GPRMC,123519,A,1111.1111,N,02222.2222,E,022.4*");
    ReportPosition position = takeReportPosition();
    EXPECT_EQ(position.fix.latitude, degrees(33, 42.6618));
    EXPECT_EQ(position.fix.longitude, degrees(70, 40.1234));
    EXPECT_EQ(position.fix.valid, 1);
    EXPECT_EQ(position.latitudeHemisphere, 'S');
    EXPECT_EQ(position.longitudeHemisphere, 'W');
    EXPECT_EQ(position.renewed.ggaMs, 0);
    EXPECT_EQ(position.renewed.rmcMs, 0);

    decodingOptions.stampRenewals = true;
    const std::int64_t before = monotonicMilliseconds();
    dispatchSentence("$GPGGA,123520,3342.6618,N,07040.1234,E,1*");
    position = takeReportPosition();
    EXPECT_EQ(position.latitudeHemisphere, 'N');
    EXPECT_EQ(position.longitudeHemisphere, 'E');
    EXPECT_GE(position.renewed.ggaMs, before);
    EXPECT_LE(position.renewed.ggaMs, monotonicMilliseconds());
    EXPECT_EQ(position.renewed.rmcMs, 0) << "RMC stamped by a GGA";
    dispatchSentence("$GPRMC,123520,A*");
    EXPECT_GE(takeReportPosition().renewed.rmcMs, before);
}
