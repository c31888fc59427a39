// wayloom-loadgen: many simulated Wayloom devices reporting to a server at
// once, for benchmarks and tests.
//
// Each device is a thread that sends reports exactly as Wayloom does (the
// request built by the program's own request builder, a new TCP connection
// per report) one after another, for a duration or a number of reports. At
// the end it prints reports per second, the answers by status and the
// latency percentiles; --record writes each report answered "1" as a line,
// so a test can check that every one of them was stored.
//
// With --tls-ca each report is sent over a new TLS connection whose
// certificate is verified (for the name --tls-name); --tls-resume offers
// each device's last session again, as a client that keeps it would.
//
// Each report is told apart by its latitude (the device) and longitude (the
// device's count of reports sent, 0.0001 degrees a report); every field stays
// within the server's rules however long a run lasts.
//
// With --protocol the devices are phone apps instead: the OsmAnd protocol's
// query (the password is the device key), an OwnTracks location (Basic
// login and password) or an Overland batch of --batch points (a Bearer key),
// each point with a time of its own, so none is taken for a resend.
//
// Divisions: options; one exchange; devices; the summary.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "report/fixtime.hpp"
#include "report/protocol.hpp"

namespace {

// ---- Options ------------------------------------------------------------------

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 80;
    int devices = 16;
    double seconds = 10;
    long reportsPerDevice = 0;  // 0: until the time is up
    std::string loginPrefix = "device";
    int accounts = 1;  // device i reports as loginPrefix + (i % accounts)
    std::string password = "secret";
    const char* passwordsPath = nullptr;  // line i: the password (or device key) of login i
    std::vector<std::string> passwords;
    double ratePerDevice = 0;  // reports per second of one device; 0: as fast as answered
    int timeoutMs = 5000;      // for one whole exchange
    const char* recordPath = nullptr;
    bool timed = false;                 // --time: every report carries t
    std::int64_t firstTimeSeconds = 0;  // Unix time of the first report's t
    const char* tlsCa = nullptr;        // PEM authorities: report over TLS
    std::string tlsName = "localhost";
    bool tlsResume = false;
    std::string source;  // IPv4 address the devices' connections come from; "": the system's choice
    int sources = 1;     // device i comes from source + (i % sources)
    std::string protocol = "wayloom";  // or osmand, owntracks, overland
    int batch = 200;                   // points in an Overland request
};

constexpr std::string_view helpText =
    "Usage: wayloom-loadgen [OPTION]...\n"
    "Simulates Wayloom devices reporting to a server at once: each device sends\n"
    "real report requests over a new TCP connection each, one after another.\n"
    "Prints reports/s, the answers by status and latency percentiles.\n"
    "\n"
    "  --host ADDR          the server's IPv4 or IPv6 address (default 127.0.0.1)\n"
    "  --port N             its port (default 80)\n"
    "  --devices N          devices reporting at once (default 16)\n"
    "  --seconds S          how long to report (default 10)\n"
    "  --reports N          stop each device after N reports instead\n"
    "  --login PREFIX       logins are PREFIX0, PREFIX1... (default device)\n"
    "  --accounts N         how many such logins the devices share (default 1)\n"
    "  --password TEXT      the password of every login (default secret)\n"
    "  --passwords FILE     line N is the password or device key of login PREFIXN\n"
    "  --rate R             reports per second of each device (default: no pause)\n"
    "  --timeout-ms N       for one exchange, connect to answer (default 5000)\n"
    "  --record FILE        write 'LOGIN LAT LON' (and T with --time) for every\n"
    "                       report answered 1\n"
    "  --time START         every report carries its time t (YYYY-MM-DDTHH:MM:SSZ):\n"
    "                       START for the first, then one second later for each\n"
    "                       report of any device, so no two of an account share t\n"
    "  --tls-ca FILE        report over TLS, trusting the PEM authorities in FILE\n"
    "  --tls-name NAME      the name the certificate must carry (default localhost)\n"
    "  --tls-resume yes     resume each device's last TLS session (default no)\n"
    "  --source ADDR        send from this IPv4 address (any 127.x.y.z on loopback)\n"
    "  --sources N          spread the devices over N addresses from ADDR on (default 1)\n"
    "  --protocol NAME      wayloom (default), or a phone app's: osmand (the password\n"
    "                       is the device key, as id), owntracks (Basic login and\n"
    "                       password), overland (the password is the Bearer key)\n"
    "  --batch N            points in each Overland request (default 200)\n"
    "  --help, --version\n"
    "\n"
    "Answers are counted by their one-character body (a phone protocol's 2xx as 1,\n"
    "4xx as 6, 5xx as 0); 'refused' are connections\n"
    "that could not be made, 'failed' exchanges without a readable answer.\n";

bool readNumber(const char* text, double& value) {
    const std::string_view s(text);
    const auto result = std::from_chars(s.data(), s.data() + s.size(), value);
    return result.ec == std::errc{} && result.ptr == s.data() + s.size() && value >= 0;
}

// "YYYY-MM-DDTHH:MM:SSZ" as Unix time.
bool readFixTime(const char* text, std::int64_t& seconds) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char zone = 0;
    if (std::strlen(text) != 20 ||
        std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &zone) !=
            7 ||
        zone != 'Z')
        return false;
    seconds = unixSecondsFromUtc({year, month, day, hour, minute, second});
    return true;
}

// 0 to run, 1 when --help or --version was answered, 2 on a mistake.
int parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        const bool numeric = value != nullptr && readNumber(value, number);
        if (option == "--help") {
            std::fputs(helpText.data(), stdout);
            return 1;
        }
        if (option == "--version") {
            std::puts("wayloom-loadgen 1.2");
            return 1;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "wayloom-loadgen: %s needs a value or is unknown\n", argv[i]);
            return 2;
        }
        ++i;
        if (option == "--host") {
            options.host = value;
        } else if (option == "--login") {
            options.loginPrefix = value;
        } else if (option == "--password") {
            options.password = value;
        } else if (option == "--passwords") {
            options.passwordsPath = value;
        } else if (option == "--record") {
            options.recordPath = value;
        } else if (option == "--time" && readFixTime(value, options.firstTimeSeconds)) {
            options.timed = true;
        } else if (option == "--tls-ca") {
            options.tlsCa = value;
        } else if (option == "--tls-name") {
            options.tlsName = value;
        } else if (option == "--tls-resume" &&
                   (std::string_view(value) == "yes" || std::string_view(value) == "no")) {
            options.tlsResume = std::string_view(value) == "yes";
        } else if (option == "--port" && numeric && number <= 65535) {
            options.port = static_cast<std::uint16_t>(number);
        } else if (option == "--devices" && numeric && number >= 1 && number <= 10000) {
            options.devices = static_cast<int>(number);
        } else if (option == "--seconds" && numeric) {
            options.seconds = number;
        } else if (option == "--reports" && numeric) {
            options.reportsPerDevice = static_cast<long>(number);
        } else if (option == "--accounts" && numeric && number >= 1) {
            options.accounts = static_cast<int>(number);
        } else if (option == "--rate" && numeric) {
            options.ratePerDevice = number;
        } else if (option == "--protocol" &&
                   (std::string_view(value) == "wayloom" || std::string_view(value) == "osmand" ||
                    std::string_view(value) == "owntracks" || std::string_view(value) == "overland")) {
            options.protocol = value;
        } else if (option == "--batch" && numeric && number >= 1 && number <= 1000) {
            options.batch = static_cast<int>(number);
        } else if (option == "--source") {
            options.source = value;
        } else if (option == "--sources" && numeric && number >= 1 && number <= 65536) {
            options.sources = static_cast<int>(number);
        } else if (option == "--timeout-ms" && numeric && number >= 1) {
            options.timeoutMs = static_cast<int>(number);
        } else {
            std::fprintf(stderr, "wayloom-loadgen: bad option %s %s\n", argv[i - 1], value);
            return 2;
        }
    }
    return 0;
}

// ---- One exchange ---------------------------------------------------------------

using Clock = std::chrono::steady_clock;

enum class Outcome { answered, refused, failed };

struct Exchange {
    Outcome outcome = Outcome::failed;
    char status = 0;  // the body's one character when answered
};

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

bool waitFor(int socket, short events, Clock::time_point deadline) {
    pollfd entry{socket, events, 0};
    while (true) {
        const int ready = poll(&entry, 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

// The one-character body of an answer with "200 OK"; for a phone protocol
// (oneCharacter false) 2xx as '1', 4xx as '6', 5xx as '0'; else 0.
char statusOf(std::string_view answer, bool oneCharacter) {
    const std::size_t blank = answer.find("\r\n\r\n");
    if (blank == std::string_view::npos) return 0;
    if (!oneCharacter) {
        if (answer.size() < 12 || !answer.starts_with("HTTP/1.")) return 0;
        const char kind = answer[9];
        return kind == '2' ? '1' : kind == '4' ? '6' : kind == '5' ? '0' : 0;
    }
    if (answer.substr(0, blank).find("200 OK") == std::string_view::npos) return 0;
    const std::string_view body = answer.substr(blank + 4);
    return body.size() == 1 ? body[0] : 0;
}

// The TLS side of a device: the shared context and its last session.
struct TlsClient {
    SSL_CTX* context = nullptr;  // nullptr: plain HTTP
    const char* name = "";
    bool resume = false;
    SSL_SESSION* session = nullptr;  // the device's last, when resuming
    long resumed = 0;
};

// The request over TLS on a connected socket, which becomes blocking with
// the time left as its limit; the answer's bytes in answer.
std::size_t exchangeTls(int socket, std::string_view request, Clock::time_point deadline, TlsClient& tls,
                        std::array<char, 1024>& answer) {
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    const int ms = std::max(millisecondsLeft(deadline), 1);
    const timeval limit{ms / 1000, (ms % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* session = SSL_new(tls.context);
    std::size_t length = 0;
    if (session == nullptr) return 0;
    SSL_set_fd(session, socket);
    SSL_set_tlsext_host_name(session, tls.name);
    SSL_set1_host(session, tls.name);
    if (tls.session != nullptr) SSL_set_session(session, tls.session);
    std::size_t written = 0;
    if (SSL_connect(session) == 1 && SSL_write_ex(session, request.data(), request.size(), &written) == 1) {
        if (SSL_session_reused(session) == 1) tls.resumed++;
        std::size_t count = 0;
        while (length < answer.size() &&
               SSL_read_ex(session, answer.data() + length, answer.size() - length, &count) == 1)
            length += count;
        SSL_shutdown(session);  // a session ended without it is not resumed
        if (tls.resume) {
            SSL_SESSION_free(tls.session);
            tls.session = SSL_get1_session(session);
        }
    }
    SSL_free(session);
    return length;
}

Exchange exchange(const sockaddr_storage& server, socklen_t serverLength, std::string_view request,
                  int timeoutMs, TlsClient& tls, const sockaddr_in* source, bool oneCharacter) {
    Exchange result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const int socket = ::socket(server.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) return result;
    const int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (source != nullptr && bind(socket, reinterpret_cast<const sockaddr*>(source), sizeof *source) != 0) {
        result.outcome = Outcome::refused;
        close(socket);
        return result;
    }
    if (connect(socket, reinterpret_cast<const sockaddr*>(&server), serverLength) != 0 &&
        errno != EINPROGRESS) {
        result.outcome = Outcome::refused;
        close(socket);
        return result;
    }
    int error = 0;
    socklen_t errorLength = sizeof error;
    if (!waitFor(socket, POLLOUT, deadline) ||
        getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
        result.outcome = error != 0 ? Outcome::refused : Outcome::failed;
        close(socket);
        return result;
    }
    std::array<char, 1024> answer;
    std::size_t length = 0;
    if (tls.context != nullptr) {
        length = exchangeTls(socket, request, deadline, tls, answer);
        close(socket);
        result.status = statusOf({answer.data(), length}, oneCharacter);
        result.outcome = result.status != 0 ? Outcome::answered : Outcome::failed;
        return result;
    }
    // The request goes in one piece, as Wayloom sends it.
    if (send(socket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(socket);
        return result;
    }
    while (length < answer.size() && waitFor(socket, POLLIN, deadline)) {
        const ssize_t count = recv(socket, answer.data() + length, answer.size() - length, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        length += static_cast<std::size_t>(count);
    }
    close(socket);
    result.status = statusOf({answer.data(), length}, oneCharacter);
    result.outcome = result.status != 0 ? Outcome::answered : Outcome::failed;
    return result;
}

// ---- Devices ---------------------------------------------------------------------

struct Tally {
    std::array<long, 128> byStatus{};  // by the answer's character
    long refused = 0;
    long failed = 0;
    long resumed = 0;  // TLS sessions resumed
    std::vector<std::uint32_t> latenciesUs;
};

struct Shared {
    explicit Shared(const Options& o) : options(o) {}
    const Options& options;
    sockaddr_storage server{};
    socklen_t serverLength = 0;
    Clock::time_point end;
    std::mutex recordMutex;
    std::FILE* record = nullptr;
    SSL_CTX* tls = nullptr;
    std::int64_t phoneFirstUs = 0;  // the time of a phone protocol's first point: an hour ago
};

constexpr double reportSpeedKnots = 12.5;        // a ship's or a cyclist's, well under the server's limit
constexpr long longitudeSteps = 3000000;         // -150 to 150 degrees, 0.0001 apart
constexpr double longitudeStepDegrees = 0.0001;  // 4 decimals: 8 significant digits keep them all

// The longitude of a device's report number sent (from 1): it tells the
// device's reports apart for longitudeSteps reports, then starts again.
NumberText reportLongitude(long sent) {
    const long step = (sent - 1) % longitudeSteps;
    return formatReportNumber(-150 + static_cast<double>(step) * longitudeStepDegrees);
}

// "2026-12-07T09:20:00.000123Z" for microseconds since 1970.
std::string isoMicros(std::int64_t unixMicros) {
    const std::time_t seconds = static_cast<std::time_t>(unixMicros / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 96> text{};  // room for any year the int fields can hold
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMicros % 1000000));
    return text.data();
}

std::string basicCredentials(const std::string& login, const std::string& password) {
    const std::string plain = login + ":" + password;
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                        reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return encoded;
}

// A phone app's request for a report of the device at lat with speed; its
// points are taken at firstUs and a microsecond apart after it.
std::string phoneRequest(const Options& options, const std::string& login, const std::string& password,
                         const std::string& lat, const std::string& speed, std::int64_t firstUs) {
    std::string path, headers, body;
    if (options.protocol == "osmand") {
        path = "/osmand?id=" + password + "&lat=" + lat + "&lon=37.25&speed=" + speed +
               "&timestamp=" + std::to_string(firstUs / 1000000) + "." +
               std::to_string(1000000 + firstUs % 1000000).substr(1);
    } else if (options.protocol == "owntracks") {
        path = "/owntracks";
        headers = "Authorization: Basic " + basicCredentials(login, password) + "\r\n";
        body = R"({"_type":"location","lat":)" + lat + R"(,"lon":37.25,"vel":)" + speed + R"(,"tst":)" +
               std::to_string(firstUs / 1000000) + "." +
               std::to_string(1000000 + firstUs % 1000000).substr(1) + R"(,"acc":5,"batt":80,"tid":"lg"})";
    } else {
        path = "/overland";
        headers = "Authorization: Bearer " + password + "\r\n";
        body = R"({"locations":[)";
        for (int i = 0; i < options.batch; ++i) {
            if (i > 0) body += ',';
            body += R"({"type":"Feature","geometry":{"type":"Point","coordinates":[37.25,)" + lat +
                    R"(]},"properties":{"timestamp":")" + isoMicros(firstUs + i) + R"(","speed":)" + speed +
                    R"(,"horizontal_accuracy":5,"course":90,"battery_level":0.8}})";
        }
        body += "]}";
    }
    if (!body.empty())
        headers += "Content-Type: application/json\r\n";  // the query alone, as Traccar Client sends it
    return "POST " + path + " HTTP/1.0\r\nHost: localhost\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void runDevice(Shared& shared, int device, Tally& tally) {
    const Options& options = shared.options;
    const std::string login = options.loginPrefix + std::to_string(device % options.accounts);
    const std::string& password =
        options.passwords.empty() ? options.password
                                  : options.passwords[static_cast<std::size_t>(device % options.accounts)];
    // Latitude names the device: 0.001 degrees apart, within -90 to 90.
    const double lat = (device % 90000) / 1000.0;
    const NumberText latText = formatReportNumber(lat);
    const NumberText speedText = formatReportNumber(reportSpeedKnots);
    ReportRequest request;
    sockaddr_in source{};
    const bool bound = !options.source.empty();
    if (bound) {
        source.sin_family = AF_INET;
        inet_pton(AF_INET, options.source.c_str(), &source.sin_addr);
        source.sin_addr.s_addr =
            htonl(ntohl(source.sin_addr.s_addr) + static_cast<std::uint32_t>(device % options.sources));
    }
    const auto pause = options.ratePerDevice > 0
                           ? std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(1 / options.ratePerDevice))
                           : Clock::duration::zero();
    TlsClient tls{shared.tls, options.tlsName.c_str(), options.tlsResume};
    auto next = Clock::now();
    for (long sent = 1; options.reportsPerDevice == 0 || sent <= options.reportsPerDevice; ++sent) {
        if (options.reportsPerDevice == 0 && Clock::now() >= shared.end) break;
        const NumberText lonText = reportLongitude(sent);
        FixTimeText timeText{};
        if (options.timed) {
            const std::int64_t offset = (sent - 1) * options.devices + device;
            timeText = formatFixTime(utcFromUnixSeconds(options.firstTimeSeconds + offset));
        }
        const bool wayloom = options.protocol == "wayloom";
        std::string phone;
        if (wayloom) {
            buildReportRequest(latText, lonText, speedText, login, password, request, timeText.data());
        } else {
            const std::int64_t points = options.protocol == "overland" ? options.batch : 1;
            // A phone's points are told apart by their times.
            phone = phoneRequest(options, login, password, latText.data(), speedText.data(),
                                 shared.phoneFirstUs + ((sent - 1) * options.devices + device) * points);
        }
        const auto started = Clock::now();
        const Exchange result = exchange(
            shared.server, shared.serverLength,
            wayloom ? std::string_view(request.text.data(), request.length) : std::string_view(phone),
            options.timeoutMs, tls, bound ? &source : nullptr, wayloom);
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
        if (result.outcome == Outcome::answered) {
            tally.byStatus[static_cast<unsigned char>(result.status) & 0x7F]++;
            tally.latenciesUs.push_back(static_cast<std::uint32_t>(micros));
            if (result.status == '1' && shared.record != nullptr) {
                const std::lock_guard lock(shared.recordMutex);
                std::fprintf(shared.record, options.timed ? "%s %s %s %s\n" : "%s %s %s\n", login.c_str(),
                             latText.data(), lonText.data(), timeText.data());
            }
        } else if (result.outcome == Outcome::refused) {
            tally.refused++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the server is restarting
        } else {
            tally.failed++;
        }
        if (pause > Clock::duration::zero()) {
            next += pause;
            std::this_thread::sleep_until(next);
        }
    }
    SSL_SESSION_free(tls.session);
    tally.resumed = tls.resumed;
}

bool resolve(const std::string& host, std::uint16_t port, Shared& shared) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&shared.server);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&shared.server);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        shared.serverLength = sizeof(sockaddr_in);
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        shared.serverLength = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// ---- The summary ----------------------------------------------------------------------

double percentile(const std::vector<std::uint32_t>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[index] / 1000.0;
}

void printSummary(const std::vector<Tally>& tallies, double seconds, int pointsPerReport) {
    Tally total;
    for (const Tally& tally : tallies) {
        for (std::size_t i = 0; i < total.byStatus.size(); ++i) total.byStatus[i] += tally.byStatus[i];
        total.refused += tally.refused;
        total.failed += tally.failed;
        total.resumed += tally.resumed;
        total.latenciesUs.insert(total.latenciesUs.end(), tally.latenciesUs.begin(), tally.latenciesUs.end());
    }
    std::sort(total.latenciesUs.begin(), total.latenciesUs.end());
    const auto answered = static_cast<double>(total.latenciesUs.size());
    std::printf("seconds %.2f\nanswered %.0f\nreports_per_second %.0f\n", seconds, answered,
                answered / seconds);
    for (std::size_t status = 0; status < total.byStatus.size(); ++status) {
        if (total.byStatus[status] > 0)
            std::printf("answer_%c %ld\n", static_cast<char>(status), total.byStatus[status]);
    }
    std::printf("positions_per_second %.0f\n",
                static_cast<double>(total.byStatus['1']) * pointsPerReport / seconds);
    std::printf("refused %ld\nfailed %ld\ntls_resumed %ld\n", total.refused, total.failed, total.resumed);
    std::printf("latency_ms_p50 %.3f\nlatency_ms_p90 %.3f\nlatency_ms_p99 %.3f\nlatency_ms_max %.3f\n",
                percentile(total.latenciesUs, 0.5), percentile(total.latenciesUs, 0.9),
                percentile(total.latenciesUs, 0.99), percentile(total.latenciesUs, 1.0));
}

}  // namespace

// Reads options.passwordsPath, one password a line, at least one per account.
bool readPasswords(Options& options) {
    std::FILE* file = std::fopen(options.passwordsPath, "r");
    if (file == nullptr) return false;
    std::array<char, 256> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
        std::string_view text(line.data());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        options.passwords.emplace_back(text);
    }
    std::fclose(file);
    return options.passwords.size() >= static_cast<std::size_t>(options.accounts);
}

int main(int argc, char** argv) {
    Options options;
    const int parsed = parseOptions(argc, argv, options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    if (options.passwordsPath != nullptr && !readPasswords(options)) {
        std::fprintf(stderr, "wayloom-loadgen: %s needs a password on each of %d lines\n",
                     options.passwordsPath, options.accounts);
        return 2;
    }
    Shared shared(options);
    if (!resolve(options.host, options.port, shared)) {
        std::fprintf(stderr, "wayloom-loadgen: not an IPv4 or IPv6 address: %s\n", options.host.c_str());
        return 2;
    }
    if (options.recordPath != nullptr) {
        shared.record = std::fopen(options.recordPath, "w");
        if (shared.record == nullptr) {
            std::fprintf(stderr, "wayloom-loadgen: cannot write %s: %s\n", options.recordPath,
                         std::strerror(errno));
            return 1;
        }
    }
    if (options.tlsCa != nullptr) {
        shared.tls = SSL_CTX_new(TLS_client_method());
        if (shared.tls == nullptr || SSL_CTX_load_verify_locations(shared.tls, options.tlsCa, nullptr) != 1) {
            std::fprintf(stderr, "wayloom-loadgen: cannot use %s as certificate authorities\n",
                         options.tlsCa);
            return 1;
        }
        SSL_CTX_set_verify(shared.tls, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_min_proto_version(shared.tls, TLS1_2_VERSION);
    }
    shared.phoneFirstUs =
        (static_cast<std::int64_t>(std::time(nullptr)) - 3600) * 1000000;  // well inside the accepted times
    std::vector<Tally> tallies(static_cast<std::size_t>(options.devices));
    std::vector<std::thread> devices;
    const auto start = Clock::now();
    shared.end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    for (int i = 0; i < options.devices; ++i) {
        devices.emplace_back(runDevice, std::ref(shared), i, std::ref(tallies[static_cast<std::size_t>(i)]));
    }
    for (std::thread& device : devices) device.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (shared.record != nullptr) std::fclose(shared.record);
    printSummary(tallies, seconds, options.protocol == "overland" ? options.batch : 1);
    SSL_CTX_free(shared.tls);
    return 0;
}
