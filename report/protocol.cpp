// The text of one position report and the reading of the server's answer.
//
// Divisions: the report host and URL; number texts and the summary line; the
// request text; the classification of the answer. Nothing here allocates:
// every text is built in the fixed buffer its record holds.
#include "report/protocol.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "report/text.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"

#ifndef WAYLOOM_REPORT_HOST
#define WAYLOOM_REPORT_HOST "localhost"
#endif

// ---- Report host and URL --------------------------------------------------

namespace {

constexpr std::string_view compiledReportHost = WAYLOOM_REPORT_HOST;
constexpr std::string_view urlScheme = "http://";
constexpr std::string_view urlPath = "/wayloom/Receiver.php";

static_assert(!compiledReportHost.empty() && compiledReportHost.size() <= reportHostMaxLength,
              "WAYLOOM_REPORT_HOST must be a host name of 1 to 253 characters");

constexpr std::size_t reportUrlLength = urlScheme.size() + compiledReportHost.size() + urlPath.size();

constexpr std::array<char, reportUrlLength> makeReportUrl() {
    std::array<char, reportUrlLength> url{};
    auto out = std::copy(urlScheme.begin(), urlScheme.end(), url.begin());
    out = std::copy(compiledReportHost.begin(), compiledReportHost.end(), out);
    std::copy(urlPath.begin(), urlPath.end(), out);
    return url;
}

constexpr std::array<char, reportUrlLength> reportUrlText = makeReportUrl();

}  // namespace

std::string_view reportHost() {
    return compiledReportHost;
}

std::string_view reportUrl() {
    return {reportUrlText.data(), reportUrlText.size()};
}

namespace {

// Appends to a fixed text, never past its terminator.
template <std::size_t capacity>
void append(std::array<char, capacity>& text, std::size_t& length, std::string_view part) {
    const std::size_t count = std::min(part.size(), capacity - 1 - length);
    std::copy_n(part.begin(), count, text.begin() + static_cast<std::ptrdiff_t>(length));
    length += count;
    text[length] = '\0';
}

}  // namespace

ReportTarget reportTarget() {
    ReportTarget target{};
    const ServerSetting& server = settings.server;
    if (!server.given) {
        target = {true, false, compiledReportHost, 80, {}, 0};
        append(target.url, target.urlLength, reportUrl());
        return target;
    }
    const std::string_view host(server.host.data());
    target.usable = server.usable && !host.empty();
    target.tls = server.scheme == ServerScheme::https;
    target.host = host;
    target.port = server.port != 0 ? server.port : target.tls ? 443 : 80;
    const bool ipv6 = host.find(':') != std::string_view::npos;
    append(target.url, target.urlLength, target.tls ? "https://" : "http://");
    append(target.url, target.urlLength, ipv6 ? "[" : "");
    append(target.url, target.urlLength, host);
    append(target.url, target.urlLength, ipv6 ? "]" : "");
    if (server.port != 0) {
        std::array<char, 6> port;
        const auto end = std::to_chars(port.data(), port.data() + port.size(), server.port).ptr;
        append(target.url, target.urlLength, ":");
        append(target.url, target.urlLength, {port.data(), static_cast<std::size_t>(end - port.data())});
    }
    append(target.url, target.urlLength, urlPath);
    return target;
}

// ---- Number texts and the summary line ------------------------------------

namespace {

constexpr std::size_t numberTextMaxLength = numberTextCapacity - 1;  // 15
constexpr int significantDigits = 8;

// The characters of a number text up to its terminator, at most 15.
std::string_view numberTextView(const NumberText& text) {
    return terminatedText(text).substr(0, numberTextMaxLength);
}

// The digits of value rounded to 8 significant digits, trailing zeros
// dropped, and the decimal exponent of the first digit.
struct DecimalDigits {
    std::array<char, significantDigits> digits;
    std::size_t count;
    int exponent;
};

// value is finite and not zero. std::to_chars, unlike printf, never looks at
// the locale, so a front end that sets one cannot turn the point into a comma.
DecimalDigits decimalDigits(double value) {
    std::array<char, 32> scientific;  // "d.ddddddde-308" at most
    const auto result = std::to_chars(scientific.data(), scientific.data() + scientific.size(),
                                      std::fabs(value), std::chars_format::scientific, significantDigits - 1);
    const std::string_view text(scientific.data(), static_cast<std::size_t>(result.ptr - scientific.data()));
    const std::size_t exponentMark = text.find('e');
    DecimalDigits decimal{{}, 0, 0};
    for (const char c : text.substr(0, exponentMark)) {
        if (c != '.') decimal.digits[decimal.count++] = c;
    }
    while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') --decimal.count;
    std::from_chars(text.data() + exponentMark + 1 + (text[exponentMark + 1] == '+' ? 1 : 0),
                    text.data() + text.size(), decimal.exponent);
    return decimal;
}

// Appends characters to a number text, never past its 15 characters.
struct NumberWriter {
    NumberText& text;
    std::size_t length = 0;
    void put(char c) {
        if (length < numberTextMaxLength) text[length++] = c;
    }
    void put(std::string_view s) {
        for (const char c : s) put(c);
    }
};

// The plain decimal text: "-", the integer digits (zeros after the last
// significant one), and the fraction when there is one.
std::size_t plainDecimalLength(bool negative, const DecimalDigits& d) {
    const std::size_t sign = negative ? 1 : 0;
    if (d.exponent < 0) return sign + 2 + static_cast<std::size_t>(-d.exponent - 1) + d.count;
    const auto integerDigits = static_cast<std::size_t>(d.exponent) + 1;
    return sign + (d.count > integerDigits ? d.count + 1 : integerDigits);
}

void writePlainDecimal(NumberWriter& out, bool negative, const DecimalDigits& d) {
    if (negative) out.put('-');
    const std::string_view digits(d.digits.data(), d.count);
    if (d.exponent < 0) {
        out.put("0.");
        for (int zeros = -d.exponent - 1; zeros > 0; --zeros) out.put('0');
        out.put(digits);
        return;
    }
    const auto integerDigits = static_cast<std::size_t>(d.exponent) + 1;
    for (std::size_t i = 0; i < integerDigits; ++i) out.put(i < digits.size() ? digits[i] : '0');
    if (digits.size() > integerDigits) {
        out.put('.');
        out.put(digits.substr(integerDigits));
    }
}

// "d.ddddddde+XX": at most "-1.2345678e-308", 15 characters.
void writeExponential(NumberWriter& out, bool negative, const DecimalDigits& d) {
    if (negative) out.put('-');
    out.put(d.digits[0]);
    if (d.count > 1) {
        out.put('.');
        out.put(std::string_view(d.digits.data() + 1, d.count - 1));
    }
    out.put(d.exponent < 0 ? "e-" : "e+");
    std::array<char, 4> exponent;
    const int magnitude = d.exponent < 0 ? -d.exponent : d.exponent;
    const auto end = std::to_chars(exponent.data(), exponent.data() + exponent.size(), magnitude).ptr;
    if (magnitude < 10) out.put('0');
    out.put(std::string_view(exponent.data(), static_cast<std::size_t>(end - exponent.data())));
}

}  // namespace

// Zero (either sign) is "0". Non-finite values cannot come from the decoder,
// whose numbers are plain decimals; they are written "0" too, so the text is
// always a number the server can read.
NumberText formatReportNumber(double value) {
    NumberText text{};
    NumberWriter out{text};
    if (value == 0.0 || !std::isfinite(value)) {
        out.put('0');
        return text;
    }
    const bool negative = value < 0.0;
    const DecimalDigits digits = decimalDigits(value);
    if (plainDecimalLength(negative, digits) <= numberTextMaxLength) {
        writePlainDecimal(out, negative, digits);
    } else {
        writeExponential(out, negative, digits);
    }
    return text;
}

SummaryLine formatReportSummary(const NumberText& latText, const NumberText& lonText,
                                const NumberText& speedText) {
    SummaryLine line{};
    std::size_t length = 0;
    for (const NumberText* part : {&lonText, &latText, &speedText}) {
        if (length > 0) line[length++] = L' ';
        for (const char c : numberTextView(*part)) line[length++] = static_cast<wchar_t>(c);
    }
    return line;
}

// ---- The request text -----------------------------------------------------

namespace {

constexpr std::string_view requestHeaders =
    " HTTP/1.0\nAccept: text/html\nContent-Type: application/x-www-form-urlencoded\nContent-Length: ";
constexpr std::string_view bodyStart = "\n\nv=1.1&l=";
constexpr std::size_t credentialMaxLength = 35;  // bytes of a login or password
constexpr std::size_t contentLengthDigits = 3;   // the body is under 1000 bytes

constexpr std::size_t fixTimeMaxLength = 20;                                   // "YYYY-MM-DDTHH:MM:SSZ"
constexpr std::size_t encodedFixTimeMaxLength = 3 + fixTimeMaxLength + 2 * 2;  // "&t=", two ":" as %3A

// The longest body: the fixed 24 characters, two credentials of 35 bytes each
// sent as %XX, three 15-character numbers and the position's time.
constexpr std::size_t bodyMaxLength =
    24 + 2 * encodedCredentialMaxLength + 3 * numberTextMaxLength + encodedFixTimeMaxLength;
static_assert(bodyMaxLength < 1000);
static_assert(encodedCredentialMaxLength == 3 * credentialMaxLength);
static_assert(std::string_view("POST ").size() + reportUrlCapacity - 1 + requestHeaders.size() +
                  contentLengthDigits + 2 + bodyMaxLength <
              requestCapacity);
static_assert(serverHostCapacity - 1 <= reportHostMaxLength);

// The bytes of a login or password: up to its first zero, at most 35.
std::string_view credentialBytes(std::string_view credential) {
    return terminatedText(credential).substr(0, credentialMaxLength);
}

constexpr bool sentAsItIs(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Login and password travel percent-encoded, so "&", "=", "+" or "%" in them
// reach the server as themselves and cannot add or change fields.
struct EncodedCredential {
    std::array<char, encodedCredentialMaxLength> text;
    std::size_t length;
};

EncodedCredential percentEncode(std::string_view credential) {
    constexpr std::string_view hexDigits = "0123456789ABCDEF";
    EncodedCredential encoded{{}, 0};
    for (const char c : credentialBytes(credential)) {
        if (sentAsItIs(c)) {
            encoded.text[encoded.length++] = c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        encoded.text[encoded.length++] = '%';
        encoded.text[encoded.length++] = hexDigits[byte >> 4];
        encoded.text[encoded.length++] = hexDigits[byte & 0x0F];
    }
    return encoded;
}

// Appends to the request text; the capacity holds the longest request, so the
// bound is never reached.
struct RequestWriter {
    ReportRequest& request;
    void put(std::string_view s) {
        const std::size_t room = request.text.size() - 1 - request.length;
        const std::size_t count = std::min(s.size(), room);
        std::copy_n(s.begin(), count, request.text.begin() + static_cast<std::ptrdiff_t>(request.length));
        request.length += count;
    }
};

// "&t=" and the time, each ":" as %3A; empty without a time.
struct EncodedFixTime {
    std::array<char, encodedFixTimeMaxLength> text;
    std::size_t length;
};

EncodedFixTime encodeFixTime(std::string_view fixTime) {
    EncodedFixTime encoded{{}, 0};
    fixTime = terminatedText(fixTime);
    if (fixTime.empty()) return encoded;
    const auto put = [&](std::string_view s) {
        for (const char c : s) {
            if (encoded.length < encoded.text.size()) encoded.text[encoded.length++] = c;
        }
    };
    put("&t=");
    for (const char c : fixTime.substr(0, fixTimeMaxLength))
        put(c == ':' ? std::string_view("%3A") : std::string_view(&c, 1));
    return encoded;
}

}  // namespace

void buildReportRequest(const NumberText& latText, const NumberText& lonText, const NumberText& speedText,
                        std::string_view login, std::string_view password, ReportRequest& request,
                        std::string_view fixTime) {
    const EncodedCredential encodedLogin = percentEncode(login);
    const EncodedCredential encodedPassword = percentEncode(password);
    const EncodedFixTime encodedTime = encodeFixTime(fixTime);
    const std::string_view lat = numberTextView(latText);
    const std::string_view lon = numberTextView(lonText);
    const std::string_view speed = numberTextView(speedText);
    // "v=1.1&l=" 8, "&p=" 3, "&lat=" 5, "&lon=" 5, "&s=" 3.
    const std::size_t contentLength = 24 + encodedLogin.length + encodedPassword.length + lat.size() +
                                      lon.size() + speed.size() + encodedTime.length;
    std::array<char, contentLengthDigits> lengthText;
    const auto lengthEnd =
        std::to_chars(lengthText.data(), lengthText.data() + lengthText.size(), contentLength).ptr;

    const ReportTarget target = reportTarget();
    request.length = 0;
    RequestWriter out{request};
    out.put("POST ");
    out.put({target.url.data(), target.urlLength});
    out.put(requestHeaders);
    out.put({lengthText.data(), static_cast<std::size_t>(lengthEnd - lengthText.data())});
    out.put(bodyStart);
    out.put({encodedLogin.text.data(), encodedLogin.length});
    out.put("&p=");
    out.put({encodedPassword.text.data(), encodedPassword.length});
    out.put("&lat=");
    out.put(lat);
    out.put("&lon=");
    out.put(lon);
    out.put("&s=");
    out.put(speed);
    out.put({encodedTime.text.data(), encodedTime.length});
    request.text[request.length] = '\0';
}

// ---- The answer -----------------------------------------------------------

namespace {

struct StatusOutcome {
    std::string_view body;
    std::uint16_t message;
};

// Compared in this order; any other body is "Service unavailable!".
constexpr std::array<StatusOutcome, 7> statusTable{{
    {"1", messageSentSuccessfully},
    {"2", messageWrongLogin},
    {"6", messageBadQuery},
    {"4", messageAuthorizationError},
    {"5", messageWrongPassword},
    {"0", messageSavingError},
    {"3", messageDownloadNewVersion},
}};

}  // namespace

// The answer is examined as bytes, each taken as the character of that code:
// for the ASCII of an answer that is what a multibyte conversion gives, and a
// byte of 0x80 or more can match nothing that is searched for.
std::uint16_t classifyReportResponse(std::span<const char> received) {
    std::string_view response(received.data(), std::min(received.size(), responseCapacity));
    response = terminatedText(response);
    const std::size_t blankLine = response.find("\r\n\r\n");
    const std::string_view header =
        blankLine == std::string_view::npos ? std::string_view{} : response.substr(0, blankLine);
    if (header.find("200 OK") == std::string_view::npos) return messageServiceUnavailable;
    const std::string_view body = response.substr(blankLine + 4, responseBodyMaxLength);
    for (const StatusOutcome& status : statusTable) {
        if (body == status.body) return status.message;
    }
    return messageServiceUnavailable;
}
