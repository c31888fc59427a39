// The HTTP layer: the request reader, form decoding, answers, the stream a
// route handler writes to, and the route table. The serving loop that uses
// them is in server/serve.cpp.
#include "server/http.hpp"

#include "server/syscall.hpp"
#include "server/tls.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>

// ---- The request reader ------------------------------------------------------

namespace {

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.' || c == '!' || c == '#' || c == '$' || c == '%' || c == '&' ||
               c == '\'' || c == '*' || c == '+' || c == '^' || c == '`' || c == '|' || c == '~';
    });
}

// The next line of text without its LF or CR LF; false when no LF is left.
bool takeLine(std::string_view& text, std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    text.remove_prefix(end + 1);
    return true;
}

// "METHOD TARGET HTTP/1.x", exactly one space apart.
bool readRequestLine(std::string_view line, HttpRequest& request) {
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) return false;
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    request.version = line.substr(secondSpace + 1);
    if (!isToken(request.method) || request.target.empty()) return false;
    if (request.version != "HTTP/1.0" && request.version != "HTTP/1.1") return false;
    std::string_view target = request.target;
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.size() > scheme.size() && sameText(target.substr(0, scheme.size()), scheme)) {
            target.remove_prefix(scheme.size());
            const std::size_t pathStart = target.find_first_of("/?");
            target = pathStart == std::string_view::npos ? std::string_view("/") : target.substr(pathStart);
        }
    }
    if (target.front() != '/') return target == "*" && request.method == "OPTIONS";
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
    if (request.path.empty()) request.path = "/";
    return std::none_of(request.target.begin(), request.target.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; });
}

bool readContentLength(std::string_view value, std::size_t& length) {
    if (value.empty()) return false;
    const auto result = std::from_chars(value.data(), value.data() + value.size(), length);
    return result.ec == std::errc{} && result.ptr == value.data() + value.size();
}

}  // namespace

std::string_view HttpRequest::header(std::string_view name) const {
    for (const HttpHeader& h : headers) {
        if (sameText(h.name, name)) return h.value;
    }
    return {};
}

HeadState readRequestHead(std::string_view bytes, HttpRequest& request) {
    // Clients may send blank lines before a request; they are skipped.
    std::size_t leading = 0;
    while (leading < bytes.size() && (bytes[leading] == '\r' || bytes[leading] == '\n')) ++leading;
    std::string_view text = bytes.substr(leading);
    std::string_view line;
    if (!takeLine(text, line)) {
        // Bytes that cannot begin a method (TLS, binary) are refused at once.
        const std::string_view method = text.substr(0, text.find(' '));
        if (!method.empty() && !isToken(method)) return HeadState::bad;
        return bytes.size() >= requestHeadMaxBytes ? HeadState::tooLarge : HeadState::incomplete;
    }
    if (!readRequestLine(line, request)) return HeadState::bad;
    request.headers.clear();
    request.contentLength = 0;
    bool lengthSeen = false;
    while (true) {
        if (!takeLine(text, line)) {
            return bytes.size() >= requestHeadMaxBytes ? HeadState::tooLarge : HeadState::incomplete;
        }
        if (line.empty()) break;
        // A CR anywhere but at the line's end is where another reader might
        // see a line end: such a request is refused, never guessed at.
        if (line.find('\r') != std::string_view::npos) return HeadState::bad;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return HeadState::bad;
        const HttpHeader header{line.substr(0, colon), trimmed(line.substr(colon + 1))};
        if (sameText(header.name, "Content-Length")) {
            std::size_t length = 0;
            // Two different lengths could smuggle a second request past a proxy.
            if (!readContentLength(header.value, length) || (lengthSeen && length != request.contentLength))
                return HeadState::bad;
            request.contentLength = length;
            lengthSeen = true;
        } else if (sameText(header.name, "Transfer-Encoding") && !sameText(header.value, "identity")) {
            return HeadState::unsupported;
        }
        request.headers.push_back(header);
    }
    request.headLength = static_cast<std::size_t>(text.data() - bytes.data());
    if (request.headLength > requestHeadMaxBytes) return HeadState::tooLarge;
    return HeadState::complete;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string decodeFormValue(std::string_view encoded) {
    std::string decoded;
    decoded.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '+') {
            decoded.push_back(' ');
        } else if (c == '%' && i + 2 < encoded.size() && hexValue(encoded[i + 1]) >= 0 &&
                   hexValue(encoded[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2])));
            i += 2;
        } else {
            decoded.push_back(c);
        }
    }
    return decoded;
}

std::vector<FormField> splitForm(std::string_view form) {
    std::vector<FormField> fields;
    while (!form.empty()) {
        const std::size_t end = std::min(form.find('&'), form.size());
        const std::string_view pair = form.substr(0, end);
        form.remove_prefix(std::min(end + 1, form.size()));
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
        fields.push_back({decodeFormValue(name), decodeFormValue(value)});
    }
    return fields;
}

// ---- Answers -----------------------------------------------------------------

std::string_view reasonPhrase(int status) {
    struct Reason {
        int status;
        std::string_view text;
    };
    static constexpr std::array<Reason, 18> reasons{{
        {200, "OK"},
        {204, "No Content"},
        {303, "See Other"},
        {304, "Not Modified"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {413, "Content Too Large"},
        {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {503, "Service Unavailable"},
        {302, "Found"},
        {201, "Created"},
    }};
    for (const Reason& reason : reasons) {
        if (reason.status == status) return reason.text;
    }
    return "Unknown";
}

std::string answerHead(std::string_view version, int status, std::string_view contentType,
                       long long contentLength, std::string_view extraHeaders) {
    std::string head(version == "HTTP/1.1" ? "HTTP/1.1 " : "HTTP/1.0 ");
    head += std::to_string(status);
    head += ' ';
    head += reasonPhrase(status);
    head += "\r\n";
    if (!contentType.empty()) {
        head += "Content-Type: ";
        head += contentType;
        head += "\r\n";
    }
    if (contentLength >= 0) {
        head += "Content-Length: ";
        head += std::to_string(contentLength);
        head += "\r\n";
    }
    head += "Connection: close\r\n";
    head += extraHeaders;
    head += "\r\n";
    return head;
}

// ---- The stream of a route handler ----------------------------------------------

bool HttpStream::send(std::string_view bytes) {
    while (!failed_ && !bytes.empty()) {
        const ssize_t count = retryOnSignal([&] {
            return tls_ != nullptr ? tlsSend(tls_, bytes.data(), bytes.size())
                                   : ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        });
        if (count <= 0) {
            failed_ = true;  // gone, or no progress within answerSendTimeout
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        bytesSent_ += static_cast<std::size_t>(count);
    }
    return !failed_;
}

bool HttpStream::respond(int status, std::string_view contentType, std::string_view body,
                         std::string_view extraHeaders) {
    status_ = status;
    const std::string headers = secure_ ? std::string(extraHeaders) + std::string(strictTransportSecurity)
                                        : std::string(extraHeaders);
    if (!send(answerHead(version_, status, contentType, static_cast<long long>(body.size()), headers)))
        return false;
    return headOnly_ ? endAfterHead() : send(body);
}

bool HttpStream::beginStream(int status, std::string_view contentType, std::string_view extraHeaders) {
    status_ = status;
    const std::string headers = secure_ ? std::string(extraHeaders) + std::string(strictTransportSecurity)
                                        : std::string(extraHeaders);
    return send(answerHead(version_, status, contentType, -1, headers)) && (!headOnly_ || endAfterHead());
}

bool HttpStream::endAfterHead() {
    failed_ = true;  // the body is not sent: a handler that streams ends at its next write
    return true;
}

// ---- Routes ----------------------------------------------------------------------

void Routes::add(std::string_view method, std::string_view path, RouteHandler handler) {
    routes.push_back({std::string(method), std::string(path), false, std::move(handler)});
}

void Routes::addPrefix(std::string_view method, std::string_view path, RouteHandler handler) {
    routes.push_back({std::string(method), std::string(path), true, std::move(handler)});
}

const Route* Routes::find(std::string_view method, std::string_view path, bool& pathKnown) const {
    pathKnown = false;
    for (const Route& route : routes) {
        const bool matches =
            route.prefix ? path.substr(0, route.path.size()) == route.path : path == route.path;
        if (!matches) continue;
        pathKnown = true;
        // HEAD is answered like GET, without the body (HttpStream::omitBody).
        if (route.method == method || (method == "HEAD" && route.method == "GET")) return &route;
    }
    return nullptr;
}
