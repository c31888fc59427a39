// wayloom-receiver: a small report server for tests, demos and trying
// Wayloom before a real server exists.
//
// It accepts HTTP/1.0 POSTs to /wayloom/Receiver.php, one connection at a
// time, writes each report received as one JSON line, and answers with a
// status or with the next behaviour of a script (a wrong answer, a closed or
// stalled connection, an answer in two segments...), so that every way a
// server can answer is easy to bring about.
//
// Divisions: options; the request (reading, form fields, JSON line); the
// answers; the serving loop.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>

#include "app/commandline.hpp"

namespace {

// ---- Options ---------------------------------------------------------------

constexpr std::size_t scriptCapacity = 64;      // behaviours in one script
constexpr std::size_t statusTextCapacity = 64;  // 63 characters of an answer body
constexpr std::size_t requestCapacity = 8192;   // bytes of one request kept
constexpr int requestReadSeconds = 10;          // for a whole request to arrive
constexpr std::chrono::milliseconds splitPause{300};
constexpr std::string_view reportPath = "/wayloom/Receiver.php";

enum class Behaviour { status, no200, close, drop, split, stall, longBody, big };

struct Action {
    Behaviour behaviour;
    std::array<char, statusTextCapacity> status;  // the body for status and split; zero-terminated
};

struct Options {
    const char* listenAddress = "127.0.0.1";
    std::uint16_t port = 80;
    Action defaultAction{Behaviour::status, {'1'}};
    std::array<Action, scriptCapacity> script{};
    std::size_t scriptLength = 0;
    bool cycle = false;  // start the script again after its last behaviour
    const char* logPath = nullptr;
    const char* tlsCertificate = nullptr;  // PEM certificate chain: serve HTTPS
    const char* tlsKey = nullptr;          // its PEM private key
    int stallSeconds = 30;
    long connectionLimit = 0;  // 0: serve until told to stop
};

constexpr std::string_view helpText =
    "Usage: wayloom-receiver [OPTION]...\n"
    "A small report server for Wayloom. Accepts HTTP/1.0 POST requests to\n"
    "/wayloom/Receiver.php one connection at a time, writes each report as one\n"
    "JSON line (time, peer, login, password, lat, lon, s, t, v, answer, raw; t,\n"
    "the position's time, is null when the report has none) and\n"
    "answers with a status. With --tls-cert and --tls-key it speaks HTTPS.\n"
    "\n"
    "  --listen ADDR      IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
    "  --port N           TCP port (default 80; 0 picks a free one)\n"
    "  --status TEXT      answer body for every report (default 1)\n"
    "  --script A,B,...   one behaviour per connection, in order; the last one\n"
    "                     is repeated (with --cycle the script starts again).\n"
    "                     A behaviour is a status text or one of:\n"
    "                       no200  answer \"500 Internal Server Error\", body 1\n"
    "                       close  read the request, close without answering\n"
    "                       drop   close at once, reading nothing\n"
    "                       split  header, a pause of 300 ms, then the body\n"
    "                       stall  read the request and never answer; the\n"
    "                              connection is held until the client closes\n"
    "                              it or --stall-seconds pass\n"
    "                       long   200 OK with a body of more than 20 characters\n"
    "                       big    200 OK whose body lies beyond byte 512\n"
    "  --cycle            repeat the whole script instead of its last behaviour\n"
    "  --stall-seconds N  longest hold of a stalled connection (default 30)\n"
    "  --log FILE         append the JSON lines to FILE instead of standard output\n"
    "  --count N          exit after N connections\n"
    "  --tls-cert FILE    serve HTTPS with this PEM certificate (chain first)\n"
    "  --tls-key FILE     and this PEM private key; a failed handshake is said\n"
    "                     on standard error and nothing is logged\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Prints \"listening on ADDR:PORT\" on standard error when ready. SIGTERM or\n"
    "SIGINT ends it with status 0. Status 2: bad options; 1: cannot listen.\n";

bool parseNumber(const char* text, long low, long high, long& value) {
    const std::string_view view(text);
    const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
    return result.ec == std::errc{} && result.ptr == view.data() + view.size() && value >= low &&
           value <= high;
}

bool parseAction(std::string_view word, Action& action) {
    struct Named {
        std::string_view name;
        Behaviour behaviour;
    };
    constexpr std::array<Named, 7> named{{{"no200", Behaviour::no200},
                                          {"close", Behaviour::close},
                                          {"drop", Behaviour::drop},
                                          {"split", Behaviour::split},
                                          {"stall", Behaviour::stall},
                                          {"long", Behaviour::longBody},
                                          {"big", Behaviour::big}}};
    action = Action{Behaviour::status, {}};
    for (const Named& entry : named) {
        if (word == entry.name) {
            action.behaviour = entry.behaviour;
            action.status[0] = '1';
            return true;
        }
    }
    if (word.size() >= action.status.size()) return false;
    std::copy(word.begin(), word.end(), action.status.begin());
    return true;
}

bool parseScript(std::string_view text, Options& options) {
    options.scriptLength = 0;
    for (;;) {
        const std::size_t comma = text.find(',');
        if (options.scriptLength == options.script.size()) return false;
        if (!parseAction(text.substr(0, comma), options.script[options.scriptLength++])) return false;
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

// 0: go on; 1: help shown; 2: bad usage (reported).
int parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help") {
            std::fputs(helpText.data(), stdout);
            return 1;
        }
        if (option == "--version") {
            std::puts("wayloom-receiver 1.2");
            return 1;
        }
        if (option == "--cycle") {
            options.cycle = true;
            continue;
        }
        constexpr std::array<std::string_view, 9> valued{"--listen", "--port",          "--status",
                                                         "--script", "--stall-seconds", "--log",
                                                         "--count",  "--tls-cert",      "--tls-key"};
        if (std::find(valued.begin(), valued.end(), option) == valued.end()) {
            std::fprintf(stderr, "wayloom-receiver: unknown option %s; see --help\n", argv[i]);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "wayloom-receiver: %s needs a value; see --help\n", argv[i]);
            return 2;
        }
        const char* value = argv[++i];
        long number = 0;
        bool good = true;
        if (option == "--listen") {
            in6_addr probe{};
            good = inet_pton(AF_INET, value, &probe) == 1 || inet_pton(AF_INET6, value, &probe) == 1;
            options.listenAddress = value;
        } else if (option == "--port") {
            good = parseNumber(value, 0, 65535, number);
            options.port = static_cast<std::uint16_t>(number);
        } else if (option == "--status") {
            good = parseAction(value, options.defaultAction) &&
                   options.defaultAction.behaviour == Behaviour::status;
        } else if (option == "--script") {
            good = parseScript(value, options);
        } else if (option == "--stall-seconds") {
            good = parseNumber(value, 0, 86400, number);
            options.stallSeconds = static_cast<int>(number);
        } else if (option == "--log") {
            options.logPath = value;
        } else if (option == "--tls-cert") {
            options.tlsCertificate = value;
        } else if (option == "--tls-key") {
            options.tlsKey = value;
        } else {  // --count
            good = parseNumber(value, 1, 1000000000, number);
            options.connectionLimit = number;
        }
        if (!good) {
            std::fprintf(stderr, "wayloom-receiver: bad value for %s: %s\n", argv[i - 1], value);
            return 2;
        }
    }
    if ((options.tlsCertificate == nullptr) != (options.tlsKey == nullptr)) {
        std::fputs("wayloom-receiver: --tls-cert and --tls-key go together; see --help\n", stderr);
        return 2;
    }
    return 0;
}

const Action& actionFor(const Options& options, long connection) {
    if (options.scriptLength == 0) return options.defaultAction;
    const auto index = static_cast<std::size_t>(connection);
    if (options.cycle) return options.script[index % options.scriptLength];
    return options.script[std::min(index, options.scriptLength - 1)];
}

std::string_view behaviourName(const Action& action) {
    switch (action.behaviour) {
        case Behaviour::status:
            return {action.status.data()};
        case Behaviour::no200:
            return "no200";
        case Behaviour::close:
            return "close";
        case Behaviour::drop:
            return "drop";
        case Behaviour::split:
            return "split";
        case Behaviour::stall:
            return "stall";
        case Behaviour::longBody:
            return "long";
        case Behaviour::big:
            return "big";
    }
    return "";
}

// ---- Signals -----------------------------------------------------------------

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

// Without SA_RESTART, so a blocking accept, poll or recv returns at once.
void installSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// ---- The connection ------------------------------------------------------------

// One accepted connection, plain or inside TLS.
struct Connection {
    int socket;
    SSL* tls;  // null for plain HTTP
};

// recv or SSL_read: the bytes read, 0 when the peer closed, -1 on failure
// (errno EINTR when a signal came).
ssize_t receiveSome(const Connection& connection, char* data, std::size_t size) {
    if (connection.tls == nullptr) return recv(connection.socket, data, size, 0);
    std::size_t count = 0;
    if (SSL_read_ex(connection.tls, data, size, &count) == 1) return static_cast<ssize_t>(count);
    return SSL_get_error(connection.tls, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

ssize_t sendSome(const Connection& connection, const char* data, std::size_t size) {
    if (connection.tls == nullptr) return send(connection.socket, data, size, MSG_NOSIGNAL);
    std::size_t count = 0;
    return SSL_write_ex(connection.tls, data, size, &count) == 1 ? static_cast<ssize_t>(count) : -1;
}

// Waits for data to read, which TLS may already hold decrypted.
int pollForData(const Connection& connection, int milliseconds) {
    if (connection.tls != nullptr && SSL_pending(connection.tls) > 0) return 1;
    pollfd entry{connection.socket, POLLIN, 0};
    return poll(&entry, 1, milliseconds);
}

// ---- The request ---------------------------------------------------------------

struct Request {
    std::array<char, requestCapacity> bytes;
    std::size_t length;
};

// Where the header ends (the blank line, LF LF or CR LF CR LF) and the body
// begins; npos while the blank line has not arrived.
std::size_t bodyStart(std::string_view text) {
    const std::size_t crlf = text.find("\r\n\r\n");
    const std::size_t lf = text.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::string_view::npos;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) return crlf + 4;
    return lf + 2;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The value of the Content-Length header, or 0 when there is none.
std::size_t contentLength(std::string_view header) {
    constexpr std::string_view name = "content-length:";
    while (!header.empty()) {
        const std::size_t end = std::min(header.find('\n'), header.size());
        std::string_view line = header.substr(0, end);
        header.remove_prefix(std::min(end + 1, header.size()));
        if (line.size() < name.size() || !equalsIgnoringCase(line.substr(0, name.size()), name)) continue;
        line.remove_prefix(name.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        std::size_t value = 0;
        std::from_chars(line.data(), line.data() + line.size(), value);
        return value;
    }
    return 0;
}

// Reads until the header and Content-Length bytes of body have arrived, the
// client closes, the buffer is full or the read time passes.
void readRequest(const Connection& connection, Request& request) {
    request.length = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(requestReadSeconds);
    while (request.length < request.bytes.size() && stopRequested == 0) {
        const std::string_view text(request.bytes.data(), request.length);
        const std::size_t body = bodyStart(text);
        if (body != std::string_view::npos && request.length - body >= contentLength(text.substr(0, body)))
            return;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        if (pollForData(connection, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t count = receiveSome(connection, request.bytes.data() + request.length,
                                          request.bytes.size() - request.length);
        if (count <= 0) {
            if (count < 0 && errno == EINTR) continue;
            return;
        }
        request.length += static_cast<std::size_t>(count);
    }
}

// "POST /wayloom/Receiver.php HTTP/1.0", the path also as an absolute URL.
// 0 when it is a report request, else the HTTP status to answer.
int checkRequestLine(std::string_view text) {
    const std::string_view line = text.substr(0, std::min(text.find_first_of("\r\n"), text.size()));
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) return 400;
    std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.substr(0, scheme.size()) != scheme) continue;
        target.remove_prefix(scheme.size());
        target.remove_prefix(std::min(target.find('/'), target.size()));
    }
    if (target != reportPath) return 404;
    if (line.substr(0, firstSpace) != "POST") return 405;
    return 0;
}

// A form field value, '+' as space and %XX as its byte; a broken escape stays
// as it is. The decoded text is never longer than the encoded one.
std::size_t percentDecode(std::string_view encoded, std::span<char> decoded) {
    const auto hexValue = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::size_t length = 0;
    for (std::size_t i = 0; i < encoded.size() && length < decoded.size(); ++i) {
        char c = encoded[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < encoded.size() && hexValue(encoded[i + 1]) >= 0 &&
                   hexValue(encoded[i + 2]) >= 0) {
            c = static_cast<char>(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2]));
            i += 2;
        }
        decoded[length++] = c;
    }
    return length;
}

// The raw value of the form field name, or false when the body has none.
bool findField(std::string_view body, std::string_view name, std::string_view& value) {
    while (!body.empty()) {
        const std::size_t end = std::min(body.find('&'), body.size());
        const std::string_view pair = body.substr(0, end);
        body.remove_prefix(std::min(end + 1, body.size()));
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            value = equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
            return true;
        }
    }
    return false;
}

// A JSON string of arbitrary bytes: each byte of 0x80 or more becomes the
// code point of the same number, so the line is always valid and loses nothing.
void writeJsonString(std::FILE* out, std::string_view text) {
    std::fputc('"', out);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            std::fputc('\\', out);
            std::fputc(c, out);
        } else if (c == '\n') {
            std::fputs("\\n", out);
        } else if (c == '\r') {
            std::fputs("\\r", out);
        } else if (c == '\t') {
            std::fputs("\\t", out);
        } else if (byte < 0x20 || byte >= 0x7F) {
            std::fprintf(out, "\\u%04x", byte);
        } else {
            std::fputc(c, out);
        }
    }
    std::fputc('"', out);
}

void writeField(std::FILE* out, std::string_view body, std::string_view name, std::string_view key) {
    std::fprintf(out, ",\"%.*s\":", static_cast<int>(key.size()), key.data());
    std::string_view encoded;
    if (!findField(body, name, encoded)) {
        std::fputs("null", out);
        return;
    }
    std::array<char, requestCapacity> decoded;
    writeJsonString(out, {decoded.data(), percentDecode(encoded, decoded)});
}

void writeTime(std::FILE* out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    std::array<char, 32> text;
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::fprintf(out, "\"time\":\"%s.%03ldZ\"", text.data(), now.tv_nsec / 1000000);
}

void writeReport(std::FILE* out, const Request& request, const char* peer, const Action& action) {
    const std::string_view text(request.bytes.data(), request.length);
    const std::size_t start = bodyStart(text);
    const std::string_view body = start == std::string_view::npos ? std::string_view{} : text.substr(start);
    std::fputc('{', out);
    writeTime(out);
    std::fprintf(out, ",\"peer\":\"%s\"", peer);
    writeField(out, body, "l", "login");
    writeField(out, body, "p", "password");
    writeField(out, body, "lat", "lat");
    writeField(out, body, "lon", "lon");
    writeField(out, body, "s", "s");
    writeField(out, body, "t", "t");
    writeField(out, body, "v", "v");
    std::fputs(",\"answer\":", out);
    writeJsonString(out, behaviourName(action));
    std::fputs(",\"raw\":", out);
    writeJsonString(out, text);
    std::fputs("}\n", out);
    std::fflush(out);
}

// ---- The answers ---------------------------------------------------------------

bool sendText(const Connection& connection, std::string_view text) {
    while (!text.empty()) {
        const ssize_t count = sendSome(connection, text.data(), text.size());
        if (count < 0 && errno == EINTR && stopRequested == 0) continue;
        if (count <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// "HTTP/1.0 <status line>" with its headers and the blank line, for body.
std::size_t writeHeader(std::span<char> out, std::string_view statusLine, std::size_t bodyLength,
                        std::size_t paddingLength) {
    std::size_t length = 0;
    const auto put = [&](std::string_view s) {
        const std::size_t count = std::min(s.size(), out.size() - length);
        std::copy_n(s.begin(), count, out.begin() + static_cast<std::ptrdiff_t>(length));
        length += count;
    };
    std::array<char, 24> number;
    const auto end = std::to_chars(number.data(), number.data() + number.size(), bodyLength).ptr;
    put("HTTP/1.0 ");
    put(statusLine);
    put("\r\nContent-Type: text/html\r\nContent-Length: ");
    put({number.data(), static_cast<std::size_t>(end - number.data())});
    put("\r\nConnection: close\r\n");
    if (paddingLength > 0) {
        put("X-Padding: ");
        for (std::size_t i = 0; i < paddingLength; ++i) put("x");
        put("\r\n");
    }
    put("\r\n");
    return length;
}

// Waits until the client closes or sends something, the hold time passes or a
// stop is requested; data that arrives is read and dropped.
void holdConnection(const Connection& connection, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::array<char, 512> discard;
    while (stopRequested == 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        const int ready = pollForData(connection, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        if (receiveSome(connection, discard.data(), discard.size()) <= 0) return;
    }
}

void pause(std::chrono::milliseconds length) {
    timespec wait{0, static_cast<long>(length.count()) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR && stopRequested == 0) {
    }
}

// The header for a body, then the body, unless the header could not be sent.
void sendAnswer(const Connection& connection, std::string_view statusLine, std::string_view body,
                std::size_t padding) {
    std::array<char, 1024> header;
    if (sendText(connection, {header.data(), writeHeader(header, statusLine, body.size(), padding)})) {
        sendText(connection, body);
    }
}

void answer(const Connection& connection, const Action& action, const Options& options) {
    constexpr std::string_view longBody = "1 and more than twenty characters";
    constexpr std::size_t bigPadding = 540;  // puts the blank line past byte 512
    const std::string_view status(action.status.data());
    switch (action.behaviour) {
        case Behaviour::status:
            sendAnswer(connection, "200 OK", status, 0);
            return;
        case Behaviour::no200:
            sendAnswer(connection, "500 Internal Server Error", status, 0);
            return;
        case Behaviour::longBody:
            sendAnswer(connection, "200 OK", longBody, 0);
            return;
        case Behaviour::big:
            sendAnswer(connection, "200 OK", status, bigPadding);
            return;
        case Behaviour::split: {
            // Two segments: TCP_NODELAY is set, and the pause outlasts any coalescing.
            std::array<char, 1024> header;
            if (!sendText(connection, {header.data(), writeHeader(header, "200 OK", status.size(), 0)}))
                return;
            pause(splitPause);
            sendText(connection, status);
            return;
        }
        case Behaviour::stall:
            holdConnection(connection, options.stallSeconds);
            return;
        case Behaviour::close:
        case Behaviour::drop:
            return;
    }
}

void answerError(const Connection& connection, int code) {
    std::array<char, 512> header;
    const std::string_view line = code == 404   ? "404 Not Found"
                                  : code == 405 ? "405 Method Not Allowed"
                                                : "400 Bad Request";
    sendText(connection, {header.data(), writeHeader(header, line, 0, 0)});
}

// ---- Serving -------------------------------------------------------------------

// "ADDR:PORT", "[ADDR]:PORT" for IPv6.
void formatPeer(const sockaddr_storage& peerAddress, std::span<char> peer) {
    std::array<char, INET6_ADDRSTRLEN> address{};
    if (peerAddress.ss_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(peerAddress);
        inet_ntop(AF_INET6, &six.sin6_addr, address.data(), address.size());
        std::snprintf(peer.data(), peer.size(), "[%s]:%u", address.data(), ntohs(six.sin6_port));
        return;
    }
    const auto& four = reinterpret_cast<const sockaddr_in&>(peerAddress);
    inet_ntop(AF_INET, &four.sin_addr, address.data(), address.size());
    std::snprintf(peer.data(), peer.size(), "%s:%u", address.data(), ntohs(four.sin_port));
}

// The TLS handshake on an accepted connection; false (said on standard error)
// when the client does not complete it, for example because it does not
// trust the certificate.
bool acceptTls(SSL_CTX* context, Connection& connection, const char* peer) {
    const timeval limit{requestReadSeconds, 0};
    setsockopt(connection.socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(connection.socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    connection.tls = SSL_new(context);
    if (connection.tls != nullptr && SSL_set_fd(connection.tls, connection.socket) == 1 &&
        SSL_accept(connection.tls) == 1)
        return true;
    std::array<char, 256> reason{};
    ERR_error_string_n(ERR_get_error(), reason.data(), reason.size());
    std::fprintf(stderr, "wayloom-receiver: TLS handshake with %s failed: %s\n", peer, reason.data());
    return false;
}

void endConnection(Connection& connection) {
    if (connection.tls != nullptr) {
        SSL_shutdown(connection.tls);
        SSL_free(connection.tls);
    }
    close(connection.socket);
}

void serveConnection(Connection& connection, const sockaddr_storage& peerAddress, const Action& action,
                     const Options& options, SSL_CTX* tls, std::FILE* log) {
    std::array<char, INET6_ADDRSTRLEN + 10> peer{};
    formatPeer(peerAddress, peer);
    if (action.behaviour == Behaviour::drop) {
        std::fprintf(stderr, "wayloom-receiver: dropped the connection from %s\n", peer.data());
        return;
    }
    const int one = 1;
    setsockopt(connection.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (tls != nullptr && !acceptTls(tls, connection, peer.data())) return;
    static Request request;  // 8 KiB, kept off the stack
    readRequest(connection, request);
    const int refusal = checkRequestLine({request.bytes.data(), request.length});
    if (refusal != 0) {
        std::fprintf(stderr, "wayloom-receiver: answered %d to %s\n", refusal, peer.data());
        answerError(connection, refusal);
        return;
    }
    writeReport(log, request, peer.data(), action);
    answer(connection, action, options);
}

int openListener(const Options& options) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto& four = reinterpret_cast<sockaddr_in&>(address);
    auto& six = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, options.listenAddress, &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
        four.sin_port = htons(options.port);
        length = sizeof four;
    } else {
        inet_pton(AF_INET6, options.listenAddress, &six.sin6_addr);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(options.port);
        length = sizeof six;
    }
    const int listener = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) return -1;
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6) setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener, 16) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

std::uint16_t boundPort(int listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// The server's TLS context from --tls-cert and --tls-key; null without them.
// Sets failed when they are given but cannot be used.
SSL_CTX* makeTlsContext(const Options& options, bool& failed) {
    failed = false;
    if (options.tlsCertificate == nullptr) return nullptr;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context != nullptr && SSL_CTX_use_certificate_chain_file(context, options.tlsCertificate) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, options.tlsKey, SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(context) == 1)
        return context;
    std::fprintf(stderr, "wayloom-receiver: cannot use %s and %s for TLS\n", options.tlsCertificate,
                 options.tlsKey);
    SSL_CTX_free(context);
    failed = true;
    return nullptr;
}

int serve(const Options& options, std::FILE* log) {
    bool tlsFailed = false;
    SSL_CTX* tls = makeTlsContext(options, tlsFailed);
    if (tlsFailed) return 1;
    const int listener = openListener(options);
    if (listener < 0) {
        std::fprintf(stderr, "wayloom-receiver: cannot listen on %s:%u: %s\n", options.listenAddress,
                     static_cast<unsigned>(options.port), std::strerror(errno));
        SSL_CTX_free(tls);
        return 1;
    }
    std::fprintf(stderr, "listening on %s:%u%s\n", options.listenAddress,
                 static_cast<unsigned>(boundPort(listener)), tls != nullptr ? " (https)" : "");
    std::fflush(stderr);
    for (long served = 0;
         stopRequested == 0 && (options.connectionLimit == 0 || served < options.connectionLimit);) {
        // A signal that comes between the test of stopRequested and a
        // blocking accept would be missed: wait in short steps instead.
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0) continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        Connection connection{
            accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC), nullptr};
        if (connection.socket < 0) {
            // Interrupted, a client that gave up before accept, or out of
            // descriptors: in the last case a pause keeps the loop from spinning.
            if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
                pause(std::chrono::milliseconds(100));
            }
            continue;
        }
        serveConnection(connection, peer, actionFor(options, served), options, tls, log);
        endConnection(connection);
        ++served;
    }
    close(listener);
    SSL_CTX_free(tls);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (printVersionIfAsked(argc, argv, "wayloom-receiver")) return 0;
    Options options;
    const int parsed = parseOptions(argc, argv, options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    std::FILE* log = stdout;
    if (options.logPath != nullptr) {
        log = std::fopen(options.logPath, "a");
        if (log == nullptr) {
            std::fprintf(stderr, "wayloom-receiver: cannot open %s: %s\n", options.logPath,
                         std::strerror(errno));
            return 1;
        }
    }
    installSignals();
    const int status = serve(options, log);
    if (log != stdout) std::fclose(log);
    return status;
}
