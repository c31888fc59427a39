// The real wayloom-server on port 80 of a private network: every answer over
// real sockets with either storage, a database that refuses, a 1 MB body, a
// slow sender beside quick ones, many connections at once, the drain on
// SIGTERM and the log line.
#include <arpa/inet.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "report/protocol.hpp"
#include "server/storage.hpp"
#include "server/tests/test_database.hpp"
#include "server/webtime.hpp"
#include "tests/private_network.hpp"

namespace {

using privatenet::millisecondsSince;
using Clock = std::chrono::steady_clock;

// What the child in the private network found wrong, one line each.
struct Findings {
    std::array<char, 8192> text{};
    void add(const std::string& line) {
        const std::size_t used = std::strlen(text.data());
        std::snprintf(text.data() + used, text.size() - used, "%s\n", line.c_str());
    }
    void expect(bool holds, const std::string& what) {
        if (!holds) add(what);
    }
};

std::string program(const char* name) {
    return std::string(WAYLOOM_BINARY_DIR) + "/" + name;
}
std::string serverProgram() {
    return program("server/wayloom-server");
}

// Runs a command with input on its standard input; its exit status.
int runWithInput(const std::vector<std::string>& arguments, const std::string& input,
                 const std::string& outputPath = "/dev/null") {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out >= 0) dup2(out, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    privatenet::writeAll(in[1], input.data(), input.size());
    close(in[1]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a command; what it wrote to standard output.
std::string runAndCapture(const std::vector<std::string>& arguments) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char chunk[1024];
    ssize_t count = 0;
    while ((count = read(out[0], chunk, sizeof chunk)) > 0)
        output.append(chunk, static_cast<std::size_t>(count));
    close(out[0]);
    waitpid(child, nullptr, 0);
    return output;
}

bool addAccount(const std::string& database, const std::string& login, const std::string& password) {
    return runWithInput({serverProgram(), "account", "add", login, "--database", database},
                        password + "\n") == 0;
}

struct Server {
    pid_t pid = -1;
    std::string logPath;
};

// Starts the server with its standard error in logPath; waits until it listens.
bool startServer(Server& server, const std::string& database, const std::string& logPath,
                 std::vector<std::string> extra = {}) {
    server.logPath = logPath;
    server.pid = privatenet::forkHelper();
    if (server.pid == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(log, STDERR_FILENO);
        std::vector<std::string> arguments{serverProgram(), "--database", database, "--port", "80"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const auto start = Clock::now();
    while (millisecondsSince(start) < 20000) {
        std::ifstream log(logPath);
        std::stringstream text;
        text << log.rdbuf();
        if (text.str().find("listening on") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// SIGTERM; the exit status.
int stopServer(Server& server) {
    kill(server.pid, SIGTERM);
    int status = 0;
    waitpid(server.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int connectTo(const char* address) {
    sockaddr_storage server{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&server);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&server);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(80);
        length = sizeof *v4;
    } else {
        inet_pton(AF_INET6, address, &v6->sin6_addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(80);
        length = sizeof *v6;
    }
    const int socket = ::socket(server.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&server), length) != 0) {
        close(socket);
        return -1;
    }
    return socket;
}

// Everything the server sends until it closes (at most 10 s).
std::string readAnswer(int socket) {
    std::string answer;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = privatenet::readAllWithin(socket, chunk, sizeof chunk, 10000)) > 0) {
        answer.append(chunk, got);
        if (got < sizeof chunk) break;
    }
    return answer;
}

std::string exchange(const std::string& request, const char* address = "127.0.0.1") {
    const int socket = connectTo(address);
    if (socket < 0) return "(no connection)";
    privatenet::writeAll(socket, request.data(), request.size());
    std::string answer = readAnswer(socket);
    close(socket);
    return answer;
}

std::string report(std::string_view login, std::string_view password, double lat = 55.5) {
    ReportRequest request;
    buildReportRequest(formatReportNumber(lat), formatReportNumber(37.25), formatReportNumber(1.5), login,
                       password, request);
    return std::string(request.text.data(), request.length);
}

std::string post(const std::string& body, std::string_view version = "HTTP/1.0") {
    return "POST /wayloom/Receiver.php " + std::string(version) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string answerBody(const std::string& answer) {
    const std::size_t blank = answer.find("\r\n\r\n");
    if (blank == std::string::npos || answer.find(" 200 OK\r\n") == std::string::npos)
        return answer.substr(0, 40);
    return answer.substr(blank + 4);
}

long long storedCount(const std::string& database) {
    std::string error;
    auto storage = openStorage(database, error);
    long long count = -1;
    if (storage != nullptr) storage->countPositions(count);
    return count;
}

// Makes the database refuse (or accept again) every new position.
bool setRefusing(const testdb::Database& database, bool refusing) {
    if (database.kind == testdb::Kind::sqlite) {
        sqlite3* db = nullptr;
        sqlite3_open(database.name.c_str(), &db);
        sqlite3_busy_timeout(db, 5000);
        const char* sql = refusing ? "CREATE TRIGGER refuse BEFORE INSERT ON positions "
                                     "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"
                                   : "DROP TRIGGER refuse";
        const bool done = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return done;
    }
    return testdb::runAdmin(
        database.name,
        refusing
            ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused by the test'; "
              "END $$ LANGUAGE plpgsql; CREATE TRIGGER refuse BEFORE INSERT ON positions "
              "FOR EACH STATEMENT EXECUTE FUNCTION refuse()"
            : "DROP TRIGGER refuse ON positions; DROP FUNCTION refuse()");
}

class ServerTest : public testing::TestWithParam<testdb::Kind> {};

TEST_P(ServerTest, AnswersEveryCaseAndStoresExactlyTheAnsweredOnes) {
    WAYLOOM_TEST_DATABASE(database);
    ASSERT_TRUE(addAccount(database.name, "alice", "s3cret&x"));
    ASSERT_TRUE(addAccount(database.name, "bob", "bobpass"));
    ASSERT_EQ(runWithInput({serverProgram(), "account", "disable", "bob", "--database", database.name}, ""),
              0);
    Findings findings;
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, findings, [&](Findings& found) {
        Server server;
        const std::string log = (database.folder / "server.log").string();
        if (!startServer(server, database.name, log, {"--listen", "127.0.0.1"})) {
            found.add("the server did not start: " + readFile(log));
            return;
        }
        struct Case {
            const char* name;
            std::string request;
            std::string answer;  // the body of a 200 answer, or the start of another answer
        };
        const std::string good = "v=1.1&l=alice&p=s3cret%26x&lat=1.5&lon=-2.5&s=0";
        // Kept by the client while its link was down, and sent again when the answer was lost.
        const std::int64_t second = nowUs() / 1000000 * 1000000;
        const std::string kept =
            "v=1.1&l=alice&p=s3cret%26x&lat=7&lon=-2.5&s=0&t=" + formatIsoTime(second - 600000000);
        // A device whose clock stood still: the kept report's time with another position.
        const std::string stillClock =
            "v=1.1&l=alice&p=s3cret%26x&lat=7.5&lon=-2.5&s=0&t=" + formatIsoTime(second - 600000000);
        // A server clock 10 minutes slow: the position is the newest by its time.
        const std::string ahead =
            "v=1.1&l=alice&p=s3cret%26x&lat=3&lon=-2.5&s=0&t=" + formatIsoTime(second + 601000000);
        const Case cases[] = {
            {"Wayloom's bytes", report("alice", "s3cret&x"), "1"},
            {"CR LF, HTTP/1.1, path only", post(good, "HTTP/1.1"), "1"},
            {"unknown login", report("carol", "s3cret&x"), "2"},
            {"wrong password", report("alice", "S3cret&x"), "5"},
            {"disabled account", report("bob", "bobpass"), "4"},
            {"old version", post("v=1.0&l=alice&p=s3cret%26x&lat=1&lon=2&s=3"), "3"},
            {"field missing", post("v=1.1&l=alice&p=s3cret%26x&lat=1&lon=2"), "6"},
            {"field repeated", post(good + "&lat=2"), "6"},
            {"latitude beyond 90", post("v=1.1&l=alice&p=s3cret%26x&lat=90.5&lon=2&s=3"), "6"},
            {"not a number", post("v=1.1&l=alice&p=s3cret%26x&lat=1&lon=nan&s=3"), "6"},
            {"a 1 MB body", post(good + "&x=" + std::string(1 << 20, 'x')), "6"},
            {"a kept report", post(kept), "1"},
            {"the kept report again", post(kept), "1"},
            {"the kept time, another position", post(stillClock), "1"},
            {"a time 10 minutes ahead", post(ahead), "1"},
            {"a time 25 hours ahead", post(good + "&t=" + formatIsoTime(nowUs() + 90000000000)), "6"},
            {"a time before 2000", post(good + "&t=1999-12-31T23%3A59%3A59Z"), "6"},
            {"bytes that are no request", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11),
             "HTTP/1.0 400 Bad Request"},
            {"GET of the report", "GET /wayloom/Receiver.php HTTP/1.0\n\n", "HTTP/1.0 405"},
            {"another page", "POST /other.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 404"},
        };
        for (const Case& c : cases) {
            const std::string body = answerBody(exchange(c.request));
            found.expect(body.substr(0, c.answer.size()) == c.answer, std::string(c.name) + ": " + body);
        }
        found.expect(storedCount(database.name) == 5, "stored " + std::to_string(storedCount(database.name)));
        {
            // The last position is the newest by time: the one ahead, not the kept one that came later.
            std::string error;
            auto storage = openStorage(database.name, error);
            std::vector<StoredPosition> last;
            found.expect(storage != nullptr && storage->lastPositions(last) && last.size() == 1 &&
                             last[0].position.lat == 3,
                         "the last position is not the newest by time");
        }

        // A database that refuses: "0", and nothing is stored; then "1" again.
        found.expect(setRefusing(database, true), "cannot make the database refuse");
        found.expect(answerBody(exchange(report("alice", "s3cret&x"))) == "0",
                     "a refusing database did not give 0");
        found.expect(setRefusing(database, false), "cannot make the database accept again");
        found.expect(answerBody(exchange(report("alice", "s3cret&x"))) == "1",
                     "no 1 after the database recovered");
        found.expect(storedCount(database.name) == 6,
                     "stored after the refusal " + std::to_string(storedCount(database.name)));

        found.expect(stopServer(server) == 0, "SIGTERM did not end the server with 0");
        const std::string lines = readFile(log);
        found.expect(lines.find(" 127.0.0.1 alice 1 ") != std::string::npos,
                     "no log line of a stored report");
        found.expect(lines.find(" 127.0.0.1 carol 2 ") != std::string::npos,
                     "no log line of an unknown login");
        found.expect(lines.find("s3cret") == std::string::npos, "the log shows a password");
        const std::size_t skew = lines.find("us ahead=");
        const long aheadSeconds = skew == std::string::npos ? 0 : std::atol(lines.c_str() + skew + 9);
        found.expect(aheadSeconds >= 595 && aheadSeconds <= 601, "the log does not show the skew: " + lines);
    }));
    EXPECT_STREQ(findings.text.data(), "");
}

INSTANTIATE_TEST_SUITE_P(Both, ServerTest, testing::Values(testdb::Kind::sqlite, testdb::Kind::postgres),
                         testdb::kindName);

// One SQLite database with account "dev0" for the tests below.
struct SqliteServer {
    testdb::Database database{testdb::Kind::sqlite};
    SqliteServer() { EXPECT_TRUE(addAccount(database.name, "device0", "secret")); }
};

TEST(Server, SlowSenderHoldsUpNobodyAndIsDropped) {
    SqliteServer setup;
    Findings findings;
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, findings, [&](Findings& found) {
        Server server;
        if (!startServer(server, setup.database.name, (setup.database.folder / "server.log").string(),
                         {"--request-seconds", "2"})) {
            found.add("the server did not start");
            return;
        }
        const std::string slow = report("device0", "secret");
        const int slowSocket = connectTo("127.0.0.1");
        const auto slowStart = Clock::now();
        std::thread sender([&] {
            for (std::size_t i = 0; i < slow.size() && millisecondsSince(slowStart) < 4000; ++i) {
                if (send(slowSocket, &slow[i], 1, MSG_NOSIGNAL) != 1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
        });
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            const std::string body = answerBody(exchange(report("device0", "secret")));
            found.expect(body == "1", "a quick report beside the slow one: " + body);
            found.expect(millisecondsSince(start) < 1000,
                         "a quick report waited " + std::to_string(millisecondsSince(start)) + " ms");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        const std::string slowAnswer = readAnswer(slowSocket);
        const long long slowMs = millisecondsSince(slowStart);
        sender.join();
        close(slowSocket);
        found.expect(slowAnswer.starts_with("HTTP/1.0 408"), "the slow sender got: " + slowAnswer);
        found.expect(slowMs >= 1900 && slowMs < 4000,
                     "the slow sender was let go after " + std::to_string(slowMs));
        stopServer(server);
    }));
    EXPECT_STREQ(findings.text.data(), "");
}

TEST(Server, ServesManyConnectionsAtOnceOverBothFamilies) {
    SqliteServer setup;
    Findings findings;
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, findings, [&](Findings& found) {
        Server server;
        if (!startServer(server, setup.database.name, (setup.database.folder / "server.log").string())) {
            found.add("the server did not start");
            return;
        }
        // 1000 idle connections stay open while reports come over IPv4 and IPv6.
        std::vector<int> idle;
        for (int i = 0; i < 1000; ++i) idle.push_back(connectTo(i % 2 == 0 ? "127.0.0.1" : "::1"));
        found.expect(std::count(idle.begin(), idle.end(), -1) == 0, "not every idle connection was accepted");
        found.expect(answerBody(exchange(report("device0", "secret"), "::1")) == "1", "no 1 over IPv6");
        // 100 devices at once, 20 reports each, a new connection per report.
        const std::string output =
            runAndCapture({program("wayloom-loadgen"), "--port", "80", "--devices", "100", "--reports", "20",
                           "--login", "device", "--password", "secret"});
        for (int socket : idle) close(socket);
        found.expect(output.find("answer_1 2000\n") != std::string::npos,
                     "the load generator saw:\n" + output);
        found.expect(stopServer(server) == 0, "SIGTERM did not end the server with 0");
        found.expect(storedCount(setup.database.name) == 2001,
                     "stored " + std::to_string(storedCount(setup.database.name)));
        found.expect(readFile(server.logPath).find(" ::1 device0 1 ") != std::string::npos,
                     "no IPv6 client logged");
    }));
    EXPECT_STREQ(findings.text.data(), "");
}

TEST(Server, FinishesRequestsInFlightOnSigterm) {
    SqliteServer setup;
    Findings findings;
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, findings, [&](Findings& found) {
        Server server;
        if (!startServer(server, setup.database.name, (setup.database.folder / "server.log").string())) {
            found.add("the server did not start");
            return;
        }
        const std::string request = report("device0", "secret");
        const int socket = connectTo("127.0.0.1");
        privatenet::writeAll(socket, request.data(), request.size() - 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(server.pid, SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        found.expect(connectTo("127.0.0.1") < 0, "new connections are still accepted while stopping");
        privatenet::writeAll(socket, request.data() + request.size() - 5, 5);
        found.expect(answerBody(readAnswer(socket)) == "1", "the request in flight was not answered 1");
        close(socket);
        int status = 0;
        waitpid(server.pid, &status, 0);
        found.expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the server did not exit with 0");
        found.expect(storedCount(setup.database.name) == 1, "the report in flight was not stored");
    }));
    EXPECT_STREQ(findings.text.data(), "");
}

}  // namespace

namespace {

TEST(Server, DeletesPositionsOlderThanTheDaysKept) {
    SqliteServer setup;
    {
        std::string error;
        auto storage = openStorage(setup.database.name, error);
        std::vector<Account> accounts;
        ASSERT_TRUE(storage->listAccounts(accounts));
        constexpr std::int64_t dayUs = 86400LL * 1000000;
        const std::int64_t old = nowUs() - 3 * dayUs, young = nowUs() - 1 * dayUs;
        const std::vector<Position> positions{{accounts[0].id, old, old, 1, 2, 3, "192.0.2.1", false},
                                              {accounts[0].id, young, young, 1, 2, 3, "192.0.2.1", false}};
        ASSERT_TRUE(storage->insertPositions(positions));
    }
    Findings findings;
    ASSERT_TRUE(privatenet::runInPrivateNetwork(true, findings, [&](Findings& found) {
        Server server;
        if (!startServer(server, setup.database.name, (setup.database.folder / "server.log").string(),
                         {"--retain-days", "2"})) {
            found.add("the server did not start");
            return;
        }
        const auto start = Clock::now();
        while (storedCount(setup.database.name) != 1 && millisecondsSince(start) < 10000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        found.expect(storedCount(setup.database.name) == 1, "the position of 3 days ago is still there");
        stopServer(server);
    }));
    EXPECT_STREQ(findings.text.data(), "");
}

}  // namespace

// An operator sees what each account command did, and the list shows what
// each account is.
TEST(AccountCommands, SayWhatTheyDidAndListTheAccountsKinds) {
    testdb::Database database(testdb::Kind::sqlite);
    const std::string said = (database.folder / "said.txt").string();
    struct Case {
        std::vector<std::string> command;
        std::string input;
        const char* line;
    };
    const Case cases[] = {
        {{"add", "alice", "--admin"}, "secret\n", "added account alice (admin)\n"},
        {{"add", "bob"}, "secret\n", "added account bob\n"},
        {{"passwd", "bob"}, "other\n", "changed the password of bob\n"},
        {{"disable", "bob"}, "", "disabled account bob\n"},
        {{"enable", "alice"}, "", "enabled account alice\n"},
        {{"disable", "alice"}, "", "disabled account alice\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::filesystem::remove(said);
        std::vector<std::string> arguments{serverProgram(), "account"};
        arguments.insert(arguments.end(), c.command.begin(), c.command.end());
        arguments.insert(arguments.end(), {"--database", database.name});
        ASSERT_EQ(runWithInput(arguments, c.input, said), 0);
        EXPECT_EQ(readFile(said), c.line);
    }
    EXPECT_EQ(runAndCapture({serverProgram(), "account", "list", "--database", database.name}),
              "alice admin disabled\nbob disabled\n");
}
