// The text of one position report and the reading of the server's answer.
//
// A report is an HTTP/1.0 POST of a form body (v, l, p, lat, lon, s) with
// lines ending in a single LF; the answer's body is one status character.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "gps/nmea.hpp"

constexpr std::size_t numberTextCapacity = 16;           // 15 characters and a terminator
constexpr std::size_t summaryLineCapacity = 48;          // 47 characters and a terminator
constexpr std::size_t responseCapacity = 512;            // bytes of the answer examined
constexpr std::size_t responseBodyMaxLength = 20;        // characters of the body compared
constexpr std::size_t reportHostMaxLength = 253;         // longest DNS name
constexpr std::size_t encodedCredentialMaxLength = 105;  // 35 bytes, each as %XX
// "https://[" host "]:65535/wayloom/Receiver.php", and a terminator.
constexpr std::size_t reportUrlCapacity = 9 + reportHostMaxLength + 7 + 21 + 1;
// "POST " the URL " HTTP/1.0\n" three headers, the content length, the blank
// line and the body with its six fields.
constexpr std::size_t requestCapacity = 512 + reportUrlCapacity;

// "&c=" "&a=" "&h=" with a number text each, "&n=" and two digits.
constexpr std::size_t extendedFieldsCapacity = 3 * (3 + 15) + 3 + 2 + 1;

using NumberText = std::array<char, numberTextCapacity>;       // zero-terminated
using SummaryLine = std::array<wchar_t, summaryLineCapacity>;  // zero-terminated

struct ReportRequest {
    std::array<char, requestCapacity> text;  // zero-terminated
    std::size_t length;                      // bytes to send
};

// The report server's host name fixed when the program is built, and the
// default report URL "http://" host "/wayloom/Receiver.php".
std::string_view reportHost();
std::string_view reportUrl();

// Where reports go: the server line of the settings, or the default.
struct ReportTarget {
    bool usable;                              // false: a server line that could not be understood
    bool tls;                                 // https
    std::string_view host;                    // the name or address to connect to (IPv6 without brackets)
    std::uint16_t port;                       // 80, 443 or the port the URL names
    std::array<char, reportUrlCapacity> url;  // "http[s]://" host [":" port] "/wayloom/Receiver.php"
    std::size_t urlLength;
};

// Built from settings.server on each call; host refers to settings or to the
// compiled-in name.
ReportTarget reportTarget();

// value with 8 significant digits, plain decimal, trailing zeros and point
// dropped; exponential only where 15 characters cannot hold plain decimal.
NumberText formatReportNumber(double value);

// "lon lat speed": the line shown before each exchange, longitude first.
SummaryLine formatReportSummary(const NumberText& latText, const NumberText& lonText,
                                const NumberText& speedText);

// The fields of fields = extended: "&c=" course, "&a=" altitude, "&h=" HDOP
// and "&n=" satellites used, as number texts, each left out when motion says
// the receiver has not given it or it lies outside what the server takes
// (course 0 to 360, altitude -1000 to 60000 m, HDOP 0 to 99.9, 0 to 99
// satellites).
struct ExtendedFields {
    std::array<char, extendedFieldsCapacity> text;  // zero-terminated
    std::size_t length;
};
ExtendedFields formatExtendedFields(const GpsMotion& motion);

// The whole request for reportTarget()'s URL; login and password are percent-encoded outside
// A-Z a-z 0-9 - . _ ~ and the content length counts the bytes sent. A fixTime
// ("YYYY-MM-DDTHH:MM:SSZ", at most 20 characters) adds "&t=" and it, colons
// as %3A, after the speed; without one the request is as it always was.
// extendedFields (formatExtendedFields' text) go between the speed and t.
void buildReportRequest(const NumberText& latText, const NumberText& lonText, const NumberText& speedText,
                        std::string_view login, std::string_view password, ReportRequest& request,
                        std::string_view fixTime = {}, std::string_view extendedFields = {});

// The outcome message of an answer: the bytes received (at most 512, up to the
// first zero byte among them).
std::uint16_t classifyReportResponse(std::span<const char> received);
