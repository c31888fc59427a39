// Report exchanges against real servers, each test in a private network of
// its own: wayloom-receiver (or a few lines of socket code where a server
// must misbehave below HTTP) listens on 127.0.0.1 port 80 and the report host
// is "localhost". Every exchange is checked for its three log lines, for its
// socket being closed before the outcome is shown, and for allocating nothing.

#include "report/exchange.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <string_view>

#include "heap_counter.hpp"
#include "platform/diagnostics.hpp"
#include "platform/net.hpp"
#include "platform/output.hpp"
#include "private_network.hpp"
#include "report/protocol.hpp"
#include "settings/settings.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

namespace {

using namespace std::chrono_literals;
using privatenet::countOpenDescriptors;
using privatenet::millisecondsSince;
using privatenet::runInPrivateNetwork;

// Short enough for tests, long enough for a slow sanitizer build.
constexpr NetTimeouts testTimeouts{400ms, 50ms, 400ms, 2000ms, 1500ms};

constexpr double testLatitude = 55.5;
constexpr double testLongitude = 37.25;
constexpr double testSpeed = 1.5;
constexpr std::wstring_view testSummary = L"37.25 55.5 1.5";

struct ExchangeRecord {
    std::array<wchar_t, controlTextCapacity> log;  // the status log afterwards
    int descriptorsBefore;
    int descriptorsAtOutcome;  // when the outcome line was written
    int descriptorsAfter;
    long long elapsedMs;
    std::size_t allocations;
};

struct OutcomeWatch {
    int changes;
    int descriptors;
};

// The third change of the log is the outcome line, after the summary and
// "Connecting...".
void watchOutcome(const WindowChange& change, void* context) {
    auto* watch = static_cast<OutcomeWatch*>(context);
    if (change.id == statusLogControl && ++watch->changes == 3) watch->descriptors = countOpenDescriptors();
}

void prepareExchanges(const NetTimeouts& timeouts) {
    resetSettings();
    netTimeouts = timeouts;
}

ExchangeRecord exchangeOnce(double latitude = testLatitude, double longitude = testLongitude,
                            double speed = testSpeed, std::string_view fixTime = {}) {
    ExchangeRecord record{};
    resetWindowModel();
    OutcomeWatch watch{0, -1};
    setWindowChangeListener(watchOutcome, &watch);
    record.descriptorsBefore = countOpenDescriptors();
    const auto start = std::chrono::steady_clock::now();
    const long allocationsBefore = heapAllocations();
    runReportExchange(latitude, longitude, speed, fixTime);
    const long allocationsDuring = heapAllocations() - allocationsBefore;
    record.elapsedMs = millisecondsSince(start);
    record.allocations = static_cast<std::size_t>(allocationsDuring);
    setWindowChangeListener(nullptr, nullptr);
    record.descriptorsAfter = countOpenDescriptors();
    record.descriptorsAtOutcome = watch.descriptors;
    getWindowText(statusLogControl, record.log);
    return record;
}

// The summary line, "Connecting...", exactly one outcome; the socket closed
// before the outcome was shown; nothing allocated.
void expectExchange(const ExchangeRecord& record, std::wstring_view outcome) {
    const std::wstring expected =
        std::wstring(testSummary) + L"\r\nConnecting...\r\n" + std::wstring(outcome);
    EXPECT_EQ(std::wstring_view(record.log.data()), expected);
    EXPECT_EQ(record.descriptorsAtOutcome, record.descriptorsBefore)
        << "a descriptor was open at the outcome";
    EXPECT_EQ(record.descriptorsAfter, record.descriptorsBefore) << "a descriptor leaked";
    EXPECT_EQ(record.allocations, 0u);
}

// A listening socket on 127.0.0.1 port 80, made with the test's own calls.
int listenOnLoopback(int backlog) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, backlog) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

// Runs serve(connection) for one accepted connection in a child process, so
// that the exchange's process holds only its own descriptors.
template <typename Serve>
pid_t serveOneConnection(int listener, Serve serve) {
    const pid_t server = privatenet::forkHelper();
    if (server == 0) {
        const int connection = accept(listener, nullptr, nullptr);
        serve(connection);
        _exit(0);
    }
    close(listener);
    return server;
}

void endServer(pid_t server) {
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
}

HostAddress loopbackPort80() {
    return {0x7F000001, 80};
}

TEST(ReportExchange, WithoutARouteShowsCantConnect) {
    ExchangeRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(false, record, [](ExchangeRecord& out) {
        prepareExchanges(testTimeouts);
        out = exchangeOnce();
    }));
    expectExchange(record, L"Can't connect!");
    EXPECT_GE(record.elapsedMs, 400) << "gave up before the route wait ended";
}

// The loopback comes up 300 ms into the wait; the receiver listens on every
// address, which it may do while the interface is still down.
TEST(ReportExchange, WaitsForARouteThatComesUp) {
    ExchangeRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(false, record, [](ExchangeRecord& out) {
        prepareExchanges(NetTimeouts{10000ms, 50ms, 2000ms, 2000ms, 2000ms});
        privatenet::Receiver receiver;
        if (!privatenet::startReceiver(receiver, "0.0.0.0", "1")) return;
        const pid_t helper = privatenet::forkHelper();
        if (helper == 0) {
            usleep(300000);
            _exit(privatenet::setLoopbackUp(true) ? 0 : 1);
        }
        out = exchangeOnce();
        waitpid(helper, nullptr, 0);
        privatenet::stopReceiver(receiver);
    }));
    expectExchange(record, L"Sent successfully.");
    EXPECT_GE(record.elapsedMs, 300);
    EXPECT_LT(record.elapsedMs, 10000) << "the route that came up was not noticed";
}

TEST(ReportExchange, NothingListeningShowsCantOpenHost) {
    ExchangeRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](ExchangeRecord& out) {
        prepareExchanges(testTimeouts);
        out = exchangeOnce();
    }));
    expectExchange(record, L"Can't open host!");
}

// A listener whose single queue place is taken drops every further
// handshake, like a host that swallows packets.
TEST(ReportExchange, HandshakeThatNeverEndsTimesOut) {
    ExchangeRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](ExchangeRecord& out) {
        prepareExchanges(testTimeouts);
        const int listener = listenOnLoopback(0);
        SocketHandle filler = openTcpSocket();
        if (listener < 0 || !connectSocket(filler, loopbackPort80())) return;
        out = exchangeOnce();
        stopSocketLibrary(filler);
        close(listener);
    }));
    expectExchange(record, L"Can't open host!");
    EXPECT_GE(record.elapsedMs, 400);
}

struct AnswerCase {
    const char* behaviour;  // an item of the receiver's script
    std::wstring_view outcome;
};

constexpr std::array<AnswerCase, 15> answerCases{{
    {"1", L"Sent successfully."},
    {"2", L"Wrong login!"},
    {"0", L"Saving error. Try again..."},
    {"3", L"Download new version!"},
    {"4", L"Authorization error!"},
    {"5", L"Wrong password!"},
    {"6", L"Bad query!"},
    {"no200", L"Service unavailable!"},
    {"close", L"Service unavailable!"},
    {"drop", L"Service unavailable!"},
    {"split", L"Sent successfully."},  // the body arrives 300 ms after the header
    {"long", L"Service unavailable!"},
    {"big", L"Service unavailable!"},
    {"stall", L"Service unavailable!"},
    {"1", L"Sent successfully."},  // and the next exchange is unaffected
}};

struct AnswerRecords {
    std::array<ExchangeRecord, answerCases.size()> exchanges;
    std::array<char, 16384> receiverLog;
    int receiverStatus;
};

TEST(ReportExchange, EveryServerAnswerGivesItsMessage) {
    static AnswerRecords records;
    ASSERT_TRUE(runInPrivateNetwork(true, records, [](AnswerRecords& out) {
        prepareExchanges(testTimeouts);
        std::string script;
        for (const AnswerCase& answer : answerCases)
            script += std::string(script.empty() ? "" : ",") + answer.behaviour;
        privatenet::Receiver receiver;
        if (!privatenet::startReceiver(receiver, "127.0.0.1", script.c_str())) return;
        for (std::size_t i = 0; i < answerCases.size(); ++i) out.exchanges[i] = exchangeOnce();
        privatenet::readReceiverLog(receiver, out.receiverLog.data(), out.receiverLog.size());
        out.receiverStatus = privatenet::stopReceiver(receiver);
    }));
    std::string_view log(records.receiverLog.data());
    for (std::size_t i = 0; i < answerCases.size(); ++i) {
        const AnswerCase& answer = answerCases[i];
        SCOPED_TRACE(std::string("server behaviour ") + answer.behaviour + " (exchange " + std::to_string(i) +
                     ")");
        expectExchange(records.exchanges[i], answer.outcome);
        // Each report the receiver read is one JSON line naming its answer.
        if (std::string_view(answer.behaviour) == "drop") continue;
        const std::size_t lineEnd = log.find('\n');
        ASSERT_NE(lineEnd, std::string_view::npos) << "the receiver logged too few reports";
        std::string named;
        EXPECT_TRUE(privatenet::jsonStringField(log.substr(0, lineEnd), "answer", named));
        EXPECT_EQ(named, answer.behaviour);
        log.remove_prefix(lineEnd + 1);
    }
    EXPECT_TRUE(log.empty()) << "the receiver logged more reports than were sent";
    const ExchangeRecord& stalled = records.exchanges[13];
    EXPECT_GE(stalled.elapsedMs, 1500) << "a stalled answer ended before the answer time-out";
    EXPECT_LT(stalled.elapsedMs, 15000) << "a stalled server held the exchange beyond its time-out";
    EXPECT_EQ(records.receiverStatus, 0) << "the receiver did not end cleanly on SIGTERM";
}

struct RequestRecord {
    ExchangeRecord exchange;
    ExchangeRecord timedExchange;  // the same report with its position's time
    std::array<char, 8192> receiverLog;
    bool tlsLibraryLoaded;  // a plain http report must not load it
};

// Whether a shared library whose path contains name is mapped into this process.
bool libraryMapped(const char* name) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(name) != std::string::npos) return true;
    }
    return false;
}

TEST(ReportExchange, ServerReceivesExactlyTheRequestText) {
    static RequestRecord record;
    constexpr double latitude = 55.753216;
    constexpr double longitude = 37.622504;
    constexpr double speed = 12.5;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [&](RequestRecord& out) {
        prepareExchanges(testTimeouts);
        std::strcpy(settings.login.data(), "user&1");
        std::strcpy(settings.password.data(), "pa ss=%");
        privatenet::Receiver receiver;
        if (!privatenet::startReceiver(receiver, "127.0.0.1", "1")) return;
        out.exchange = exchangeOnce(latitude, longitude, speed);
        out.timedExchange = exchangeOnce(latitude, longitude, speed, "2026-12-07T18:10:54Z");
        out.tlsLibraryLoaded = libraryMapped("libssl");
        privatenet::readReceiverLog(receiver, out.receiverLog.data(), out.receiverLog.size());
        privatenet::stopReceiver(receiver);
    }));
    EXPECT_EQ(std::wstring_view(record.exchange.log.data()),
              L"37.622504 55.753216 12.5\r\nConnecting...\r\nSent successfully.");
    EXPECT_FALSE(record.tlsLibraryLoaded) << "a plain http report loaded the TLS library";

    ReportRequest expected{};
    buildReportRequest(formatReportNumber(latitude), formatReportNumber(longitude), formatReportNumber(speed),
                       "user&1", "pa ss=%", expected);
    const std::string_view log(record.receiverLog.data());
    const std::string_view line = log.substr(0, log.find('\n'));
    std::string raw;
    ASSERT_TRUE(privatenet::jsonStringField(line, "raw", raw)) << line;
    EXPECT_EQ(raw, std::string_view(expected.text.data(), expected.length));
    std::string fixTime;
    EXPECT_FALSE(privatenet::jsonStringField(line, "t", fixTime)) << "a report without a time logged one";

    // With its time: the same lines shown, t the last field, logged decoded.
    EXPECT_EQ(record.timedExchange.log, record.exchange.log);
    EXPECT_EQ(record.timedExchange.allocations, 0u);
    const std::string_view timedLine = log.substr(line.size() + 1);
    ASSERT_TRUE(privatenet::jsonStringField(timedLine, "raw", raw)) << timedLine;
    EXPECT_TRUE(raw.ends_with("&s=12.5&t=2026-12-07T18%3A10%3A54Z")) << raw;
    EXPECT_TRUE(privatenet::jsonStringField(timedLine, "t", fixTime)) << timedLine;
    EXPECT_EQ(fixTime, "2026-12-07T18:10:54Z");

    struct Field {
        const char* name;
        const char* value;
    };
    constexpr Field fields[] = {{"login", "user&1"},  {"password", "pa ss=%"}, {"lat", "55.753216"},
                                {"lon", "37.622504"}, {"s", "12.5"},           {"v", "1.1"}};
    for (const Field& field : fields) {
        SCOPED_TRACE(field.name);
        std::string value;
        EXPECT_TRUE(privatenet::jsonStringField(line, field.name, value));
        EXPECT_EQ(value, field.value);
    }
}

struct RouteRecord {
    bool localhostRouted;
    long long localhostMs;
    bool unknownRouted;
    long long unknownMs;
    bool resolved;
    HostAddress address;
    std::array<char, diagnosticCapacity> diagnostics;  // what a service would find on standard error
};

TEST(NetServices, NameThatDoesNotResolveHasNoRoute) {
    RouteRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](RouteRecord& out) {
        netTimeouts = testTimeouts;
        int errors[2];
        if (pipe(errors) != 0 || !enableDiagnostics(errors[1])) return;
        auto start = std::chrono::steady_clock::now();
        out.localhostRouted = waitForRoute("localhost");
        out.localhostMs = millisecondsSince(start);
        start = std::chrono::steady_clock::now();
        out.unknownRouted = waitForRoute("no-such-host.invalid");
        out.unknownMs = millisecondsSince(start);
        out.resolved = resolveHostAddress("localhost", 80, out.address);
        drainOutput(5000);
        close(errors[1]);
        const ssize_t length = read(errors[0], out.diagnostics.data(), out.diagnostics.size() - 1);
        out.diagnostics[static_cast<std::size_t>(std::max<ssize_t>(length, 0))] = '\0';
    }));
    EXPECT_TRUE(record.localhostRouted);
    EXPECT_LT(record.localhostMs, 400) << "an existing route was not found at once";
    EXPECT_FALSE(record.unknownRouted);
    EXPECT_GE(record.unknownMs, 400);
    EXPECT_TRUE(record.resolved);
    EXPECT_EQ(record.address.ipv4, 0x7F000001u);
    EXPECT_EQ(record.address.port, 80);
    // One line naming the host and the resolver's reason, for the name only.
    const std::string diagnostics = record.diagnostics.data();
    const std::string expected = "wayloom: cannot resolve report host no-such-host.invalid: ";
    EXPECT_EQ(diagnostics.substr(0, expected.size()), expected) << diagnostics;
    EXPECT_GT(diagnostics.size(), expected.size() + 1) << "no reason given";
    EXPECT_EQ(diagnostics.find('\n'), diagnostics.size() - 1) << diagnostics;
}

struct SendRecord {
    bool connected;
    bool firstSend;
    bool secondSend;
};

// The peer closes; the first send still leaves, the peer's reset comes back,
// and the next send must fail quietly instead of raising SIGPIPE.
TEST(NetServices, SendToAClosedConnectionFailsWithoutSignal) {
    SendRecord record{};
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](SendRecord& out) {
        signal(SIGPIPE, SIG_DFL);
        netTimeouts = testTimeouts;
        const pid_t server =
            serveOneConnection(listenOnLoopback(4), [](int connection) { close(connection); });
        SocketHandle socket = openTcpSocket();
        out.connected = connectSocket(socket, loopbackPort80());
        pollfd closed{socket, POLLIN, 0};
        poll(&closed, 1, 2000);  // the peer's close arrives
        out.firstSend = sendAll(socket, std::string_view("first"));
        pollfd reset{socket, 0, 0};
        poll(&reset, 1, 2000);  // the peer's reset arrives
        out.secondSend = sendAll(socket, std::string_view("second"));
        stopSocketLibrary(socket);
        endServer(server);
    }));
    EXPECT_TRUE(record.connected);
    EXPECT_TRUE(record.firstSend);
    EXPECT_FALSE(record.secondSend);
}

struct ReceiveRecord {
    std::size_t received;
    long long elapsedMs;
    std::array<char, 512> bytes;
};

// 600 bytes and a connection held open: the read ends with the buffer full,
// not at the time-out.
TEST(NetServices, AnswerEndsWhenTheBufferIsFull) {
    static ReceiveRecord record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](ReceiveRecord& out) {
        netTimeouts = testTimeouts;
        netTimeouts.answer = 5000ms;
        const pid_t server = serveOneConnection(listenOnLoopback(4), [](int connection) {
            const std::string answer(600, 'a');
            send(connection, answer.data(), 300, 0);
            usleep(100000);
            send(connection, answer.data() + 300, 300, 0);
            pause();
        });
        SocketHandle socket = openTcpSocket();
        if (!connectSocket(socket, loopbackPort80())) return;
        const auto start = std::chrono::steady_clock::now();
        out.received = receiveAnswer(socket, out.bytes);
        out.elapsedMs = millisecondsSince(start);
        stopSocketLibrary(socket);
        endServer(server);
    }));
    EXPECT_EQ(record.received, 512u);
    EXPECT_EQ(std::string_view(record.bytes.data(), record.bytes.size()), std::string(512, 'a'));
    EXPECT_LT(record.elapsedMs, 5000) << "waited for the time-out with a full buffer";
}

// ---- The server line: https, IPv6, and values that must send nothing ----

// Sets the server line as settings.ini would.
void setServer(const char* line) {
    const std::string text = std::string("P\n1\nl\np\n30\nserver = ") + line + "\n";
    loadSettingsFromBytes({text.data(), text.size()});
}

void setCaFile(const std::string& path) {
    std::fill(settings.caFile.begin(), settings.caFile.end(), '\0');
    std::copy_n(path.begin(), std::min(path.size(), settings.caFile.size() - 1), settings.caFile.begin());
}

// Throw-away certificates, made once for this run of the suite and removed
// when it ends.
struct CertificateDirectory {
    std::string path;
    CertificateDirectory() {
        std::string pattern = "/tmp/wayloom-tls-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        path = pattern;
        const std::string command =
            "bash " WAYLOOM_TEST_DATA "/../tls_certificates.sh " + path + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) path.clear();
    }
    ~CertificateDirectory() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
};

const std::string& certificateDirectory() {
    static const CertificateDirectory directory;
    return directory.path;
}

struct ServerCase {
    const char* name;
    const char* server;       // the server line
    const char* caFile;       // in the certificate directory; "" for the system's store
    const char* certificate;  // the receiver's: server, stranger, othername; null for plain HTTP
    const char* port;
    std::wstring_view outcome;
    const char* requestLine;  // what the receiver logged, or null when it must log nothing
    const char* diagnostic;   // what the line on standard error holds, or null for no line
};

// The receiver's own certificate and key (or none), and the outcome; a peer
// that does not verify is sent nothing at all.
const ServerCase serverCases[] = {
    {"https, verified by the ca-file", "https://localhost:8443", "ca.pem", "server", "8443",
     L"Sent successfully.", "POST https://localhost:8443/wayloom/Receiver.php HTTP/1.0", nullptr},
    {"https on its default port, to an IP address", "https://127.0.0.1", "ca.pem", "server", "443",
     L"Sent successfully.", "POST https://127.0.0.1/wayloom/Receiver.php HTTP/1.0", nullptr},
    {"a certificate from another authority", "https://localhost:8443", "ca.pem", "stranger", "8443",
     L"Can't open host!", nullptr,
     "wayloom: TLS handshake failed with report host localhost: unable to get local issuer certificate\n"},
    {"a certificate for another name", "https://localhost:8443", "ca.pem", "othername", "8443",
     L"Can't open host!", nullptr,
     "wayloom: TLS handshake failed with report host localhost: hostname mismatch\n"},
    {"the system's store does not know the test authority", "https://localhost:8443", "", "server", "8443",
     L"Can't open host!", nullptr,
     "wayloom: TLS handshake failed with report host localhost: unable to get local issuer certificate\n"},
    {"a ca-file that does not exist", "https://localhost:8443", "absent.pem", "server", "8443",
     L"Can't open host!", nullptr, "/absent.pem: No such file or directory\n"},
    {"https to a plain HTTP server", "https://localhost:8443", "ca.pem", nullptr, "8443", L"Can't open host!",
     nullptr, "wayloom: TLS handshake failed with report host localhost: "},
    {"http with a port", "http://localhost:8080", "", nullptr, "8080", L"Sent successfully.",
     "POST http://localhost:8080/wayloom/Receiver.php HTTP/1.0", nullptr},
};

struct ServerRecords {
    std::array<ExchangeRecord, std::size(serverCases)> exchanges;
    std::array<std::array<char, 2048>, std::size(serverCases)> receiverLogs;
    std::array<std::array<char, diagnosticCapacity>, std::size(serverCases)> diagnostics;
    bool tlsLibraryLoaded;
};

TEST(ReportExchange, HttpsVerifiesTheServerBeforeSendingAnything) {
    const std::string& certificates = certificateDirectory();
    ASSERT_FALSE(certificates.empty()) << "the test certificates could not be made";
    static ServerRecords records;
    ASSERT_TRUE(runInPrivateNetwork(true, records, [&](ServerRecords& out) {
        int errors[2];
        if (pipe2(errors, O_NONBLOCK) != 0 || !enableDiagnostics(errors[1])) return;
        for (std::size_t i = 0; i < std::size(serverCases); ++i) {
            const ServerCase& c = serverCases[i];
            prepareExchanges(testTimeouts);
            setServer(c.server);
            setCaFile(*c.caFile == '\0' ? std::string() : certificates + "/" + c.caFile);
            const std::string certificate =
                certificates + "/" + (c.certificate ? c.certificate : "") + ".pem";
            const std::string key = certificates + "/" + (c.certificate ? c.certificate : "") + ".key";
            privatenet::Receiver receiver;
            const bool started = c.certificate == nullptr
                                     ? privatenet::startReceiver(receiver, "127.0.0.1", "1", c.port)
                                     : privatenet::startReceiver(
                                           receiver, "127.0.0.1", "1", c.port,
                                           {"--tls-cert", certificate.c_str(), "--tls-key", key.c_str()});
            if (!started) return;
            out.exchanges[i] = exchangeOnce();
            privatenet::readReceiverLog(receiver, out.receiverLogs[i].data(), out.receiverLogs[i].size());
            privatenet::stopReceiver(receiver);
            drainOutput(5000);
            const ssize_t length = read(errors[0], out.diagnostics[i].data(), out.diagnostics[i].size() - 1);
            out.diagnostics[i][static_cast<std::size_t>(std::max<ssize_t>(length, 0))] = '\0';
        }
        out.tlsLibraryLoaded = libraryMapped("libssl");
    }));
    EXPECT_TRUE(records.tlsLibraryLoaded);
    for (std::size_t i = 0; i < std::size(serverCases); ++i) {
        const ServerCase& c = serverCases[i];
        SCOPED_TRACE(c.name);
        const std::string_view log(records.receiverLogs[i].data());
        EXPECT_EQ(std::wstring_view(records.exchanges[i].log.data()),
                  std::wstring(testSummary) + L"\r\nConnecting...\r\n" + std::wstring(c.outcome));
        EXPECT_EQ(records.exchanges[i].descriptorsAfter, records.exchanges[i].descriptorsBefore);
        // Run as a service, a refused peer is named with the reason on standard error.
        const std::string diagnostic(records.diagnostics[i].data());
        if (c.diagnostic == nullptr) {
            EXPECT_EQ(diagnostic, "");
        } else {
            EXPECT_NE(diagnostic.find(c.diagnostic), std::string::npos) << diagnostic;
            EXPECT_EQ(diagnostic.rfind("wayloom: ", 0), 0u) << diagnostic;
            EXPECT_EQ(diagnostic.find('\n'), diagnostic.size() - 1) << diagnostic;
        }
        if (c.requestLine == nullptr) {
            // cppcheck-suppress danglingTemporaryLifetime ; log views the records, which outlive it
            EXPECT_TRUE(log.empty()) << "the server received: " << log;
            continue;
        }
        std::string raw;
        ASSERT_TRUE(privatenet::jsonStringField(log, "raw", raw)) << log;
        EXPECT_EQ(raw.substr(0, raw.find('\n')), c.requestLine);
        EXPECT_NE(raw.find("&p=p&lat=55.5&lon=37.25&s=1.5"), std::string::npos) << raw;
    }
}

struct Ipv6Record {
    ExchangeRecord exchange;
    std::array<char, 2048> receiverLog;
    bool resolved;
    HostAddress address;
};

// A host with no IPv4 address is reached over IPv6, route check included.
TEST(ReportExchange, HostWithoutIpv4IsReachedOverIpv6) {
    static Ipv6Record record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](Ipv6Record& out) {
        prepareExchanges(testTimeouts);
        out.resolved = resolveHostAddress("::1", 80, out.address);
        setServer("http://[::1]");
        privatenet::Receiver receiver;
        if (!privatenet::startReceiver(receiver, "::1", "1")) return;
        out.exchange = exchangeOnce();
        privatenet::readReceiverLog(receiver, out.receiverLog.data(), out.receiverLog.size());
        privatenet::stopReceiver(receiver);
    }));
    expectExchange(record.exchange, L"Sent successfully.");
    EXPECT_TRUE(record.resolved);
    EXPECT_TRUE(record.address.ipv6);
    EXPECT_EQ(record.address.ipv6Address,
              (std::array<std::uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    std::string raw;
    ASSERT_TRUE(privatenet::jsonStringField(record.receiverLog.data(), "raw", raw));
    EXPECT_EQ(raw.substr(0, raw.find('\n')), "POST http://[::1]/wayloom/Receiver.php HTTP/1.0");
}

struct DualStackRecord {
    std::array<ExchangeRecord, 2> exchanges;
    bool hostsBound;
};

// A name with an IPv6 and an IPv4 address where only one family takes the
// connection (the other refuses it, as a network without working IPv6
// would): whichever the resolver gives first, the report tries the next.
TEST(ReportExchange, DualStackNameReachesTheFamilyThatAnswers) {
    static DualStackRecord record;
    static constexpr std::array<const char*, 2> listening{"::1", "127.0.0.1"};
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](DualStackRecord& out) {
        out.hostsBound = privatenet::useHostsFile("::1 dual.test\n127.0.0.1 dual.test\n");
        if (!out.hostsBound) return;
        prepareExchanges(testTimeouts);
        setServer("http://dual.test");
        for (std::size_t i = 0; i < listening.size(); ++i) {
            privatenet::Receiver receiver;
            if (!privatenet::startReceiver(receiver, listening[i], "1")) return;
            out.exchanges[i] = exchangeOnce();
            privatenet::stopReceiver(receiver);
        }
    }));
    ASSERT_TRUE(record.hostsBound) << "no private /etc/hosts";
    for (std::size_t i = 0; i < listening.size(); ++i) {
        SCOPED_TRACE(listening[i]);
        expectExchange(record.exchanges[i], L"Sent successfully.");
    }
}

struct UnusableRecord {
    std::array<ExchangeRecord, 3> exchanges;
    std::array<char, 2048> receiverLog;
};

// A server line that cannot be understood, or an https server whose ca-file
// line was too long to read, never falls back to the default host (which
// listens here): each exchange ends at once with "Can't connect!".
TEST(ReportExchange, UnusableServerSendsNothingAnywhere) {
    static UnusableRecord record;
    ASSERT_TRUE(runInPrivateNetwork(true, record, [](UnusableRecord& out) {
        privatenet::Receiver receiver;
        if (!privatenet::startReceiver(receiver, "127.0.0.1", "1")) return;
        prepareExchanges(NetTimeouts{5000ms, 50ms, 400ms, 2000ms, 1500ms});
        setServer("http://localhost/elsewhere");
        out.exchanges[0] = exchangeOnce();
        setServer("localhost");
        out.exchanges[1] = exchangeOnce();
        const std::string longCaFile =
            "P\n1\nl\np\n30\nserver = https://localhost\nca-file = /" + std::string(140, 'c') + "\n";
        resetSettings();
        loadSettingsFromBytes({longCaFile.data(), longCaFile.size()});
        out.exchanges[2] = exchangeOnce();
        privatenet::readReceiverLog(receiver, out.receiverLog.data(), out.receiverLog.size());
        privatenet::stopReceiver(receiver);
    }));
    for (const ExchangeRecord& exchange : record.exchanges) {
        expectExchange(exchange, L"Can't connect!");
        EXPECT_LT(exchange.elapsedMs, 5000) << "waited for a route to a server that cannot be used";
    }
    EXPECT_STREQ(record.receiverLog.data(), "") << "a report went to the default host";
}

}  // namespace
