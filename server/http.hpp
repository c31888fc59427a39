// The HTTP layer of wayloom-server: the request reader, the answers, and the
// serving loop with its table of routes.
//
// The reader accepts requests exactly as Wayloom writes them (HTTP/1.0, the
// absolute URL in the request line, lines ending in a single LF, no Host
// header) as well as the ordinary form that proxies forward (CR LF,
// HTTP/1.1, a path alone). Every connection carries one request and one
// answer, then closes.
//
// The report endpoint is built into the serving loop (see server/reports.hpp);
// every other page is a route: a handler that runs on a thread of its own with
// a blocking stream to the client, so it may write its answer in pieces for
// as long as it likes (a streamed export, Server-Sent Events).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t requestHeadMaxBytes = 8192;       // request line and headers
constexpr std::size_t routeBodyMaxBytes = 64 * 1024;    // the body a route may be sent
constexpr std::chrono::seconds requestReadTimeout{10};  // for a whole request to arrive
constexpr std::chrono::seconds answerSendTimeout{10};   // for a blocked client to take more bytes
// Sent with every page answered over TLS: a year, the usual minimum of browsers' preload lists.
constexpr std::string_view strictTransportSecurity = "Strict-Transport-Security: max-age=31536000\r\n";

struct ssl_st;

struct HttpHeader {
    std::string_view name;
    std::string_view value;
};

// One request. The views point into the bytes it was read from.
struct HttpRequest {
    std::string_view method;   // "POST"
    std::string_view target;   // as sent: "/p?q" or "http://host/p?q"
    std::string_view path;     // "/wayloom/Receiver.php": the absolute form's scheme and host removed
    std::string_view query;    // after "?", without it; "" when there is none
    std::string_view version;  // "HTTP/1.0" or "HTTP/1.1"
    std::vector<HttpHeader> headers;
    std::size_t headLength = 0;     // bytes up to and including the blank line
    std::size_t contentLength = 0;  // from Content-Length; 0 without one
    std::string_view body;          // the body once it is complete
    std::string client;             // the client's address: "192.0.2.7", "2001:db8::7"
    bool secure = false;            // it came over TLS (here, or to a trusted proxy)

    // The value of the first header of this name (any case), "" when absent.
    std::string_view header(std::string_view name) const;
};

enum class HeadState {
    incomplete,  // the blank line has not arrived yet
    complete,    // request line and headers read; headLength and contentLength set
    bad,         // not an HTTP request: answer 400
    tooLarge,    // no blank line within requestHeadMaxBytes: answer 431
    unsupported  // a transfer coding other than identity: answer 501
};

// Reads the request line and headers from the bytes received so far. Line
// ends are LF or CR LF, mixed as they come.
HeadState readRequestHead(std::string_view bytes, HttpRequest& request);

// The text of a form or query value: "+" as a space and %XX as its byte; a
// "%" that is not followed by two hexadecimal digits stays as it is.
std::string decodeFormValue(std::string_view encoded);

// Each "name=value" pair of a form body or query, names and values decoded.
struct FormField {
    std::string name;
    std::string value;
};

// Splits an application/x-www-form-urlencoded body at "&" into its fields,
// each name and value decoded as decodeFormValue does; a field without "="
// has an empty value.
std::vector<FormField> splitForm(std::string_view form);

// ---- Answers ---------------------------------------------------------------

// "HTTP/1.x CODE REASON\r\n" with the request's version, Content-Length when
// it is known (contentLength >= 0), "Connection: close", the extra header
// lines (each ending in "\r\n") and the blank line.
std::string answerHead(std::string_view version, int status, std::string_view contentType,
                       long long contentLength, std::string_view extraHeaders = {});

// The reason phrase of an HTTP status code: "OK", "Not Found"...
std::string_view reasonPhrase(int status);

// The client's connection while a route handler answers. Writes block until
// the client takes the bytes, at most answerSendTimeout each time.
class HttpStream {
  public:
    // tls: the connection's TLS session, nullptr for plain HTTP; secure: the
    // client came over TLS (here or to a trusted proxy), so answers carry
    // strictTransportSecurity.
    HttpStream(int socket, std::string_view version, const std::atomic<bool>& stopping, ssl_st* tls = nullptr,
               bool secure = false)
        : socket_(socket), tls_(tls), secure_(secure), version_(version), stopping_(stopping) {}

    // Writes bytes as they are; false once the client is gone or too slow,
    // after which every write is false.
    bool send(std::string_view bytes);

    // A whole answer with its Content-Length.
    bool respond(int status, std::string_view contentType, std::string_view body,
                 std::string_view extraHeaders = {});

    // The head of an answer whose body follows in pieces through send(); the
    // body ends when the handler returns and the connection closes.
    bool beginStream(int status, std::string_view contentType, std::string_view extraHeaders = {});

    // True once the server is asked to stop: a handler that streams without
    // end (live updates) should finish.
    bool stopping() const { return stopping_.load(std::memory_order_relaxed); }

    // True while no write has failed.
    bool open() const { return !failed_; }

    // The answer to a HEAD request: the head is sent, the body never.
    void omitBody() { headOnly_ = true; }

    std::string_view version() const { return version_; }

    // True when the client came over TLS: cookies are set Secure.
    bool secure() const { return secure_; }

    // The status of the answer begun, 0 before one; bytes written so far.
    int status() const { return status_; }
    std::size_t bytesSent() const { return bytesSent_; }

  private:
    int socket_;
    ssl_st* tls_;
    bool secure_;
    std::string version_;
    const std::atomic<bool>& stopping_;
    bool failed_ = false;
    bool headOnly_ = false;
    int status_ = 0;
    std::size_t bytesSent_ = 0;

    bool endAfterHead();
};

using RouteHandler = std::function<void(const HttpRequest&, HttpStream&)>;

struct Route {
    std::string method;  // "GET", "POST"
    std::string path;    // "/api/devices"; with prefix set, every path that starts with it
    bool prefix = false;
    RouteHandler handler;
};

// The routes of one listening port, looked up in the order they were added.
struct Routes {
    std::vector<Route> routes;

    void add(std::string_view method, std::string_view path, RouteHandler handler);
    void addPrefix(std::string_view method, std::string_view path, RouteHandler handler);

    // The route for method and path; nullptr when there is none. methodKnown
    // tells whether another method has a route at this path (405, not 404).
    const Route* find(std::string_view method, std::string_view path, bool& pathKnown) const;
};
