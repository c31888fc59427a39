// The report request byte for byte, the number texts, the summary line and
// the classification of the server's answers.
#include "report/protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "status/statuslog.hpp"

namespace {

NumberText numberText(const char* text) {
    NumberText number{};
    std::copy_n(text, std::min(std::strlen(text), number.size() - 1), number.begin());
    return number;
}

std::string requestFor(const char* lat, const char* lon, const char* speed, std::string_view login,
                       std::string_view password, std::string_view fixTime = {},
                       const GpsMotion* motion = nullptr) {
    ReportRequest request;
    const ExtendedFields extended = motion != nullptr ? formatExtendedFields(*motion) : ExtendedFields{};
    buildReportRequest(numberText(lat), numberText(lon), numberText(speed), login, password, request, fixTime,
                       {extended.text.data(), extended.length});
    EXPECT_EQ(request.text[request.length], '\0');
    EXPECT_EQ(std::strlen(request.text.data()), request.length);
    return {request.text.data(), request.length};
}

std::string headerFor(std::size_t contentLength) {
    return "POST http://" + std::string(reportHost()) +
           "/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n"
           "Content-Type: application/x-www-form-urlencoded\nContent-Length: " +
           std::to_string(contentLength) + "\n\n";
}

// The content length the request states equals the bytes after the blank line.
void expectContentLengthMatches(const std::string& request) {
    const std::string field = "\nContent-Length: ";
    const std::size_t at = request.find(field);
    ASSERT_NE(at, std::string::npos);
    const std::size_t blank = request.find("\n\n");
    ASSERT_NE(blank, std::string::npos);
    const std::string stated = request.substr(at + field.size(), blank - at - field.size());
    EXPECT_EQ(stated, std::to_string(request.size() - blank - 2));
    EXPECT_EQ(request.find('\r'), std::string::npos) << "lines end in LF only";
}

std::uint16_t classify(std::string_view response) {
    return classifyReportResponse({response.data(), response.size()});
}

}  // namespace

TEST(ReportUrl, IsTheHostBetweenSchemeAndPath) {
    EXPECT_FALSE(reportHost().empty());
    EXPECT_EQ(reportUrl(), "http://" + std::string(reportHost()) + "/wayloom/Receiver.php");
}

TEST(ReportRequest, ExactBytes) {
    struct Case {
        const char* name;
        const char *lat, *lon, *speed;
        std::string login, password;
        std::size_t contentLength;
        std::string body;
        std::string fixTime = "";           // none: the request as it always was
        const GpsMotion* motion = nullptr;  // fields = extended
    };
    constexpr GpsMotion everything{84.4, 545.4, 0.9, 8, true, true, true, true};
    constexpr GpsMotion courseNorthOnly{0, 545.4, 0.9, 8, true, false, false, false};
    constexpr GpsMotion longest{1.2345678e-300, -1.2345678e-300, 99.9, 99, true, true, true, true};
    constexpr GpsMotion outOfRange{-0.1, 60000.5, 99.99, 100, true, true, true, true};
    constexpr GpsMotion atTheEdges{360, -1000, 0, 0, true, true, true, true};
    constexpr GpsMotion nothing{};
    const std::string login35(35, 'L');
    const Case cases[] = {
        {"ordinary fix", "55.755833", "37.617667", "0", "user", "secret", 53,
         "v=1.1&l=user&p=secret&lat=55.755833&lon=37.617667&s=0"},
        {"empty login and password", "1.5", "2.25", "0.5", "", "", 34, "v=1.1&l=&p=&lat=1.5&lon=2.25&s=0.5"},
        {"password that would forge a field", "10", "20", "3", "a%b", "x&lat=0", 45,
         "v=1.1&l=a%25b&p=x%26lat%3D0&lat=10&lon=20&s=3"},
        {"unreserved characters pass, others are encoded", "1", "2", "3", "Az09-._~", "a b+c=\xC3\xA9", 53,
         "v=1.1&l=Az09-._~&p=a%20b%2Bc%3D%C3%A9&lat=1&lon=2&s=3"},
        {"login longer than 35 bytes is cut", "1", "2", "3", login35 + "XYZ", "p", 63,
         "v=1.1&l=" + login35 + "&p=p&lat=1&lon=2&s=3"},
        {"a zero byte ends a credential", "1", "2", "3", std::string("ab\0cd", 5), "p", 30,
         "v=1.1&l=ab&p=p&lat=1&lon=2&s=3"},
        {"the position's time last, colons encoded", "1", "2", "3", "u", "p", 56,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&t=2026-12-07T18%3A10%3A54Z", "2026-12-07T18:10:54Z"},
        {"a time is read to its zero byte", "1", "2", "3", "u", "p", 56,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&t=2000-01-01T00%3A00%3A00Z",
         std::string("2000-01-01T00:00:00Z\0junk", 25)},
        {"extended: course, altitude, HDOP, satellites after s", "1", "2", "3", "u", "p", 54,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&c=84.4&a=545.4&h=0.9&n=8", "", &everything},
        {"extended: before t", "1", "2", "3", "u", "p", 81,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&c=84.4&a=545.4&h=0.9&n=8&t=2026-12-07T18%3A10%3A54Z",
         "2026-12-07T18:10:54Z", &everything},
        {"extended: a course of 0 is given, the rest not", "1", "2", "3", "u", "p", 33,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&c=0", "", &courseNorthOnly},
        {"extended: the longest values", "1", "2", "3", "u", "p", 76,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&c=1.2345678e-300&a=-1.2345678e-300&h=99.9&n=99", "", &longest},
        {"extended: values the server refuses are left out", "1", "2", "3", "u", "p", 29,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3", "", &outOfRange},
        {"extended: the ends of the ranges are sent", "1", "2", "3", "u", "p", 51,
         "v=1.1&l=u&p=p&lat=1&lon=2&s=3&c=360&a=-1000&h=0&n=0", "", &atTheEdges},
        {"extended: nothing given adds nothing", "1", "2", "3", "u", "p", 29, "v=1.1&l=u&p=p&lat=1&lon=2&s=3",
         "", &nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string request =
            requestFor(c.lat, c.lon, c.speed, c.login, c.password, c.fixTime, c.motion);
        EXPECT_EQ(request, headerFor(c.contentLength) + c.body);
        expectContentLengthMatches(request);
    }
}

TEST(ReportRequest, LongestRequestFitsWhole) {
    const std::string every(35, '&');
    const std::string request =
        requestFor("-1.2345678e-308", "-1.2345678e-308", "-1.2345678e-308", every, every);
    std::string encoded;
    for (int i = 0; i < 35; ++i) encoded += "%26";
    EXPECT_EQ(request, headerFor(279) + "v=1.1&l=" + encoded + "&p=" + encoded +
                           "&lat=-1.2345678e-308&lon=-1.2345678e-308&s=-1.2345678e-308");
    expectContentLengthMatches(request);
    const std::string timed = requestFor("-1.2345678e-308", "-1.2345678e-308", "-1.2345678e-308", every,
                                         every, "9999-12-31T23:59:59Z");
    EXPECT_EQ(timed,
              headerFor(306) + request.substr(request.find("\n\n") + 2) + "&t=9999-12-31T23%3A59%3A59Z");
    expectContentLengthMatches(timed);
    constexpr GpsMotion extremes{1.2345678e-308, -1.2345678e-308, 1.2345678e-308, 99, true, true, true, true};
    const std::string extended = requestFor("-1.2345678e-308", "-1.2345678e-308", "-1.2345678e-308", every,
                                            every, "9999-12-31T23:59:59Z", &extremes);
    EXPECT_EQ(extended, headerFor(363) + request.substr(request.find("\n\n") + 2) +
                            "&c=1.2345678e-308&a=-1.2345678e-308&h=1.2345678e-308&n=99"
                            "&t=9999-12-31T23%3A59%3A59Z");
    expectContentLengthMatches(extended);
}

TEST(ReportRequest, NumberTextWithoutTerminatorIsReadTo15Characters) {
    NumberText full;
    full.fill('7');
    ReportRequest request;
    buildReportRequest(full, numberText("1"), numberText("2"), "", "", request);
    const std::string text(request.text.data(), request.length);
    EXPECT_EQ(text, headerFor(24 + 15 + 2) + "v=1.1&l=&p=&lat=" + std::string(15, '7') + "&lon=1&s=2");
}

TEST(ReportNumber, EightSignificantDigitsInPlainDecimal) {
    struct Case {
        double value;
        const char* text;
    };
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double infinity = std::numeric_limits<double>::infinity();
    // clang-format off
    const Case cases[] = {
        {55.7558333333, "55.755833"}, {37.617667, "37.617667"}, {-33.8688, "-33.8688"}, {0.0, "0"}, {-0.0, "0"},
        {1.5, "1.5"}, {100.0, "100"}, {179.99999999, "180"}, {9.99999999, "10"}, {12345.6789, "12345.679"},
        {123456789.0, "123456790"}, {0.1, "0.1"}, {1e-5, "0.00001"}, {1e-13, "0.0000000000001"},
        {1.2345678e-6, "0.0000012345678"},  // 15 characters: still plain
        {1e14, "100000000000000"},
        {-1.2345678e-6, "-1.2345678e-06"},  // plain would need 16
        {1e-14, "1e-14"}, {1e15, "1e+15"}, {-1e14, "-1e+14"}, {-1.2345678e-308, "-1.2345678e-308"},
        {DBL_MAX, "1.7976931e+308"}, {std::numeric_limits<double>::denorm_min(), "4.9406565e-324"},
        {nan, "0"}, {infinity, "0"}, {-infinity, "0"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const NumberText text = formatReportNumber(c.value);
        EXPECT_STREQ(text.data(), c.text);
    }
}

// Any finite value gives at most 15 characters that read back as the value
// to 8 significant digits.
TEST(ReportNumber, RandomValuesReadBackWithinEightDigits) {
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<std::uint64_t> bits;
    for (int i = 0; i < 20000; ++i) {
        double value;
        const std::uint64_t pattern = bits(random);
        std::memcpy(&value, &pattern, sizeof value);
        if (i % 2 == 0)
            value = std::ldexp(static_cast<double>(pattern >> 11) / 9007199254740992.0, (i % 80) - 40);
        if (!std::isfinite(value)) continue;
        const NumberText text = formatReportNumber(value);
        SCOPED_TRACE(text.data());
        ASSERT_EQ(text.back(), '\0');
        ASSERT_LE(std::strlen(text.data()), 15u);
        const double back = std::strtod(text.data(), nullptr);
        ASSERT_LE(std::fabs(back - value), std::fabs(value) * 5.000001e-8) << value;
        ASSERT_EQ(std::strchr(text.data(), ','), nullptr);
    }
}

TEST(ReportSummary, LongitudeLatitudeSpeed) {
    EXPECT_EQ(
        std::wstring(formatReportSummary(numberText("55.5"), numberText("37.25"), numberText("1.5")).data()),
        L"37.25 55.5 1.5");
    const SummaryLine longest = formatReportSummary(
        numberText("-1.2345678e-308"), numberText("-2.2345678e-308"), numberText("-3.2345678e-308"));
    EXPECT_EQ(std::wstring(longest.data()), L"-2.2345678e-308 -1.2345678e-308 -3.2345678e-308");
    EXPECT_EQ(longest.back(), L'\0');
}

TEST(ReportResponse, ClassificationTable) {
    struct Case {
        const char* name;
        std::string response;
        std::uint16_t outcome;
    };
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
    const Case cases[] = {
        {"1", ok + "1", messageSentSuccessfully},
        {"2", ok + "2", messageWrongLogin},
        {"6", ok + "6", messageBadQuery},
        {"4", ok + "4", messageAuthorizationError},
        {"5", ok + "5", messageWrongPassword},
        {"0", ok + "0", messageSavingError},
        {"3", ok + "3", messageDownloadNewVersion},
        {"7", ok + "7", messageServiceUnavailable},
        {"empty body", ok, messageServiceUnavailable},
        {"1 and CR LF", ok + "1\r\n", messageServiceUnavailable},
        {"1 and a space", ok + "1 ", messageServiceUnavailable},
        {"11", ok + "11", messageServiceUnavailable},
        {"HTTP/1.1", "HTTP/1.1 200 OK\r\n\r\n1", messageSentSuccessfully},
        {"200 OK anywhere in the header", "X-Note: 200 OK\r\n\r\n2", messageWrongLogin},
        {"not 200", "HTTP/1.0 404 Not Found\r\n\r\n1", messageServiceUnavailable},
        {"200 OK only in the body", "HTTP/1.0 500 Error\r\n\r\n200 OK", messageServiceUnavailable},
        {"21-character body", ok + "1" + std::string(20, ' '), messageServiceUnavailable},
        {"20-character body", ok + "1" + std::string(19, ' '), messageServiceUnavailable},
        {"no blank line", "HTTP/1.0 200 OK\r\n1", messageServiceUnavailable},
        {"LF LF is no blank line", "HTTP/1.0 200 OK\n\n1", messageServiceUnavailable},
        {"only the first blank line splits", ok + "\r\n\r\n1", messageServiceUnavailable},
        {"empty answer", "", messageServiceUnavailable},
        {"a zero byte ends the answer", ok + std::string("1\0junk", 6), messageSentSuccessfully},
        {"a zero byte in the header", std::string("HTTP/1.0 \0 200 OK\r\n\r\n1", 23),
         messageServiceUnavailable},
        {"a high byte", ok + "\xB1", messageServiceUnavailable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(classify(c.response), c.outcome);
    }
}

// The answer sits in a heap block of exactly its size, so a read past it is
// caught by AddressSanitizer.
TEST(ReportResponse, OnlyTheFirst512BytesAreExamined) {
    const std::string head = "HTTP/1.0 200 OK\r\nX-Pad: ";
    struct Case {
        std::size_t statusAt;  // offset of the status character
        std::size_t size;      // bytes received
        std::uint16_t outcome;
    };
    constexpr Case cases[] = {
        {511, 512, messageSentSuccessfully},    // the last byte examined, no zero after it
        {512, 513, messageServiceUnavailable},  // the body lies beyond
        {508, 512, messageServiceUnavailable},  // the blank line itself is cut
        {300, 600, messageServiceUnavailable},  // more than 512 bytes: "1" + 211 bytes
        {511, 600, messageSentSuccessfully},    // the bytes after 512 are never seen
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statusAt);
        std::vector<char> received(c.size, 'z');
        std::copy(head.begin(), head.end(), received.begin());
        const std::size_t blank = c.statusAt - 4;
        std::copy_n("\r\n\r\n1", 5, received.begin() + static_cast<std::ptrdiff_t>(blank));
        EXPECT_EQ(classifyReportResponse(received), c.outcome);
    }
}
