// The request reader and the report form: every way a request can arrive,
// and every answer a body can earn before its account is looked at.
#include <gtest/gtest.h>

#include <string>

#include "report/protocol.hpp"
#include "server/http.hpp"
#include "server/reports.hpp"

namespace {

// The request exactly as Wayloom sends it.
std::string wayloomRequest(std::string_view login, std::string_view password) {
    ReportRequest request;
    buildReportRequest(formatReportNumber(55.5), formatReportNumber(37.25), formatReportNumber(1.5), login,
                       password, request);
    return std::string(request.text.data(), request.length);
}

TEST(RequestHead, ReadsEveryFormOfTheReport) {
    const std::string body = "v=1.1&l=a&p=b&lat=1&lon=2&s=3";
    struct Case {
        const char* name;
        std::string bytes;
        std::string_view version;
        std::string_view query;
    };
    const Case cases[] = {
        {"Wayloom's own bytes", wayloomRequest("alice", "secret"), "HTTP/1.0", ""},
        {"CR LF and HTTP/1.1 as a proxy forwards it",
         "POST /wayloom/Receiver.php HTTP/1.1\r\nHost: example.org\r\nContent-Length: 29\r\n\r\n" + body,
         "HTTP/1.1", ""},
        {"mixed line ends, blank lines before, a query",
         "\r\n\nPOST http://h:8080/wayloom/Receiver.php?x=1 HTTP/1.0\r\nContent-Length:29\n\r\n" + body,
         "HTTP/1.0", "x=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequest request;
        ASSERT_EQ(readRequestHead(c.bytes, request), HeadState::complete);
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/wayloom/Receiver.php");
        EXPECT_EQ(request.version, c.version);
        EXPECT_EQ(request.query, c.query);
        EXPECT_EQ(request.headLength + request.contentLength, c.bytes.size());
    }
}

TEST(RequestHead, RefusesWhatIsNotARequest) {
    struct Case {
        std::string bytes;
        HeadState state;
    };
    const Case cases[] = {
        {"POST /wayloom/Receiver.php HTTP/1.0\nContent-Length: 5", HeadState::incomplete},
        {"POST /wayloom/Rec", HeadState::incomplete},
        {"", HeadState::incomplete},
        {std::string("\x16\x03\x01\x02\x00\x01\x00", 7), HeadState::bad},  // TLS on the plain port, at once
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3\n\n", HeadState::bad},
        {"POST /wayloom/Receiver.php HTTP/2.0\n\n", HeadState::bad},
        {"POST /wayloom/Receiver.php\n\n", HeadState::bad},
        {"POST  /wayloom/Receiver.php HTTP/1.0\n\n", HeadState::bad},
        {"POST wayloom/Receiver.php HTTP/1.0\n\n", HeadState::bad},
        {"POST /a b HTTP/1.0\n\n", HeadState::bad},
        {"POST / HTTP/1.0\nno colon here\n\n", HeadState::bad},
        {"POST / HTTP/1.0\nContent-Length: -1\n\n", HeadState::bad},
        {"POST / HTTP/1.0\nContent-Length: 99999999999999999999999\n\n", HeadState::bad},
        {"POST / HTTP/1.0\nContent-Length: 5\nContent-Length: 6\n\n", HeadState::bad},
        {"POST / HTTP/1.1\nTransfer-Encoding: chunked\n\n", HeadState::unsupported},
        {"POST / HTTP/1.0\nX: a\rContent-Length: 5\n\n", HeadState::bad},  // a bare CR in a value
        {"POST / HTTP/1.0\r\nX: a\r\r\n\r\n", HeadState::bad},
        {"POST / HTTP/1.0\nX: " + std::string(requestHeadMaxBytes, 'x'), HeadState::tooLarge},
        {"POST / HTTP/1.0\nX: " + std::string(requestHeadMaxBytes, 'x') + "\n\n", HeadState::tooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 60)));
        HttpRequest request;
        EXPECT_EQ(readRequestHead(c.bytes, request), c.state);
    }
}

constexpr std::int64_t arrivalUs = 1796635200LL * 1000000;  // 2026-12-07T09:20:00Z

TEST(ReportForm, AnswersEveryKindOfBody) {
    struct Case {
        std::string body;
        char answer;
    };
    const Case cases[] = {
        {"v=1.1&l=alice&p=secret&lat=55.5&lon=37.25&s=1.5", answer::stored},
        {"s=0&lon=-180&lat=-90&p=&l=&v=1.1&extra=ignored", answer::stored},
        {"v=1.1&l=a&p=b&lat=90&lon=180&s=1.2345678e-05", answer::stored},
        {"v=1.0&l=a&p=b&lat=1&lon=2&s=3", answer::wrongVersion},
        {"v=1.1.&l=a&p=b&lat=1&lon=2&s=3", answer::wrongVersion},
        {"v=2.0&login=a&position=1,2", answer::wrongVersion},
        {"v=1.0&v=1.0&l=a&p=b&lat=1&lon=2&s=3", answer::notAReport},
        {"l=a&p=b&lat=1&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2", answer::notAReport},
        {"v=1.1&l=a&l=a&p=b&lat=1&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=90.000001&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=-180.5&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=nan&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=inf&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=1e999", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=1000", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=1000.001", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=1e300", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=-0.1", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=0x10&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1,5&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat= 1&lon=2&s=3", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=.", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3e", answer::notAReport},
        {"", answer::notAReport},
        {std::string("\x00\xff\x01garbage", 10), answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&pad=" + std::string(reportBodyMaxBytes, 'x'), answer::notAReport},
        // The time the position was taken: from 2000 to 24 hours after arrival.
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00Z", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09%3A25%3a00Z", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-08T09:20:00Z", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2000-01-01T00:00:00Z", answer::stored},
        {"t=2024-02-29T23:59:59Z&v=1.1&l=a&p=b&lat=1&lon=2&s=3", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-08T09:20:01Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2027-01-01T00:00:00Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=1999-12-31T23:59:59Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2023-02-29T00:00:00Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T24:00:00Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07t09:20:00Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07+09:20:00Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00.5Z", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00%2B00:00", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=1796635200", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00Z&t=2026-12-07T09:20:00Z", answer::notAReport},
        {"v=1.0&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:20:00Z", answer::wrongVersion},
        // The extras: course, altitude, HDOP, satellites, each optional.
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=360&a=-1000&h=0&n=0&t=2026-12-07T09:20:00Z", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=0&a=60000&h=99.9&n=99", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=7", answer::stored},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=360.1", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=-0.5", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&a=-1000.5", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&a=1e9", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&h=-1", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&h=100", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&h=nan", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=100", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=-1", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=7.5", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=+7", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=99999999999", answer::notAReport},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=1&c=2", answer::notAReport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.body.substr(0, 60)));
        ReportForm form;
        EXPECT_EQ(readReportForm(c.body, form, arrivalUs), c.answer);
    }
}

TEST(ReportForm, TakesThePositionTimeFromTOrTheArrival) {
    struct Case {
        std::string body;
        bool timeSent;
        std::int64_t timeUs;
        std::int64_t aheadUs;  // of arrival
    };
    const Case cases[] = {
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3", false, arrivalUs, 0},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T08%3A59%3A58Z", true, arrivalUs - 1202LL * 1000000, 0},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2000-03-01T00:00:01Z", true, 951868801LL * 1000000, 0},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&t=2026-12-07T09:30:00Z", true, arrivalUs + 600LL * 1000000,
         600LL * 1000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        ReportForm form;
        ASSERT_EQ(readReportForm(c.body, form, arrivalUs), answer::stored);
        EXPECT_EQ(form.timeSent, c.timeSent);
        EXPECT_EQ(form.timeUs, c.timeUs);
        EXPECT_EQ(form.receivedUs, arrivalUs);
        EXPECT_EQ(form.aheadUs, c.aheadUs);
    }
}

TEST(ReportForm, DecodesLoginAndPasswordAsWayloomEncodesThem) {
    const std::string request = wayloomRequest("a&b=c d+é%", "p&s=1");
    HttpRequest head;
    ASSERT_EQ(readRequestHead(request, head), HeadState::complete);
    ReportForm form;
    ASSERT_EQ(readReportForm(std::string_view(request).substr(head.headLength), form, arrivalUs),
              answer::stored);
    EXPECT_EQ(form.login, "a&b=c d+é%");
    EXPECT_EQ(form.password, "p&s=1");
    EXPECT_DOUBLE_EQ(form.lat, 55.5);
    EXPECT_DOUBLE_EQ(form.lon, 37.25);
    EXPECT_DOUBLE_EQ(form.speedKnots, 1.5);
    EXPECT_EQ(form.extras, PositionExtras{});  // Wayloom's own request sends none
}

TEST(ReportForm, ReadsTheExtrasWhereSent) {
    struct Case {
        std::string body;
        PositionExtras extras;
    };
    const Case cases[] = {
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&c=270.5&a=-12.25&h=0.9&n=11", {270.5, -12.25, {}, {}, 0.9, 11}},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&a=35", {{}, 35.0, {}, {}, {}, {}}},
        {"v=1.1&l=a&p=b&lat=1&lon=2&s=3&n=0&c=0", {0.0, {}, {}, {}, {}, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        ReportForm form;
        ASSERT_EQ(readReportForm(c.body, form, arrivalUs), answer::stored);
        EXPECT_EQ(form.extras, c.extras);
    }
}

TEST(FormValue, DecodesPlusAndEscapesAndKeepsBrokenOnes) {
    struct Case {
        std::string_view encoded;
        std::string_view decoded;
    };
    constexpr Case cases[] = {
        {"a+b", "a b"}, {"%41%2b", "A+"}, {"%", "%"}, {"%4", "%4"}, {"%4g", "%4g"}, {"%%41", "%A"}, {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(decodeFormValue(c.encoded), c.decoded);
    }
}

}  // namespace
