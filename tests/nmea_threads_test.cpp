// Position fixes taken on one thread while another decodes: every value the
// fix hands out is whole, one that some sentence stored. Run under
// ThreadSanitizer, this also shows that the state is shared without a race.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "gps/nmea.hpp"

namespace {

TEST(NmeaThreads, FixSeesWholeValuesWhileSentencesAreDecoded) {
    gpsState = GpsState{};
    constexpr const char* sentences[] = {
        "$GPGGA,010203,1111.1111,N,02222.2222,E,1,08,0.9,545.4,M,46.9,M,,*",
        "$GPRMC,010203,A,1111.1111,N,02222.2222,E,1.5,084.4,230394,003.1,W*",
        "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00*",
        "$GPGGA,010204,3333.3333,S,04444.4444,W,1,08,0.9,545.4,M,46.9,M,,*",
        "$GPRMC,010204,V,3333.3333,S,04444.4444,W,1234.5678,084.4,230394,003.1,W*",
        "$GNGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*",
    };
    const double latitudes[] = {0.0, nmeaToDegrees("1111.1111"), nmeaToDegrees("3333.3333")};
    const double longitudes[] = {0.0, nmeaToDegrees("02222.2222"), nmeaToDegrees("04444.4444")};
    const double speeds[] = {0.0, 1.5f, 1234.5678f};
    const auto isOneOf = [](double value, const double(&allowed)[3]) {
        return value == allowed[0] || value == allowed[1] || value == allowed[2];
    };

    constexpr int rounds = 20'000;
    std::atomic<bool> decoding{true};
    std::thread reader([&] {
        for (int round = 0; round < rounds; ++round) {
            for (const char* sentence : sentences) dispatchSentence(sentence);
        }
        decoding = false;
    });

    int fixes = 0, broken = 0;
    do {
        double latitude = -1, longitude = -1, speed = -1;
        int valid = -1;
        takePositionFix(&latitude, &longitude, &speed, &valid);
        const bool whole = isOneOf(latitude, latitudes) && isOneOf(longitude, longitudes) &&
                           isOneOf(speed, speeds) && (valid == 0 || valid == 1);
        broken += whole ? 0 : 1;
        ++fixes;
    } while (decoding);
    reader.join();

    EXPECT_EQ(broken, 0) << "of " << fixes << " fixes";
    double latitude = 0, speed = 0;
    int valid = 1;
    takePositionFix(&latitude, nullptr, &speed, &valid);
    EXPECT_EQ(latitude, latitudes[2]);
    EXPECT_EQ(speed, speeds[2]);
    EXPECT_EQ(valid, 0);
}

}  // namespace
