// The command line of wayloom-server.
#include "server/options.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "server/storage.hpp"

const char* const serverHelpText =
    "Usage: wayloom-server [OPTION]...\n"
    "       wayloom-server account add LOGIN [--admin] | passwd LOGIN | disable LOGIN\n"
    "                              | enable LOGIN | list   [--database DB]\n"
    "The report server for Wayloom: accepts position reports at /wayloom/Receiver.php,\n"
    "checks the login and password, stores the position and answers with one character\n"
    "(1 stored, 2 unknown login, 3 wrong version, 4 account disabled, 5 wrong password,\n"
    "6 not a report, 0 not stored). A report is answered 1 only once it is committed.\n"
    "\n"
    "  --database DB      a SQLite file (created when missing; default " WAYLOOM_SERVER_DATABASE
    ")\n"
    "                     or postgresql://USER@HOST/NAME for a PostgreSQL database\n"
    "  --listen ADDR      an IPv4 or IPv6 address to listen on; may be repeated\n"
    "                     (default: every address of both)\n"
    "  --port N           the TCP port (default 80); 0: no plain HTTP (with --tls-cert)\n"
    "  --retain-days N    delete positions older than N days, every hour (default: keep all)\n"
    "  --request-seconds N  drop a client whose request has not arrived within N\n"
    "                     seconds (default 10)\n"
    "  --web-port N       serve the web pages and their API on this port only\n"
    "                     (default: on the report port)\n"
    "  --tiles URL        the map's tile URL template, as https://HOST/{z}/{x}/{y}.png\n"
    "                     (default: the OpenStreetMap standard tiles)\n"
    "  --tiles-attribution TEXT  the credit shown for those tiles\n"
    "  --tls-cert FILE    serve TLS 1.2 and 1.3 too, with this PEM certificate (and its\n"
    "                     chain after it); SIGHUP loads it again, keeping the old one\n"
    "                     when the new one cannot be used\n"
    "  --tls-key FILE     its PEM private key\n"
    "  --tls-port N       the TLS port (default 443): reports, and the web pages unless\n"
    "                     --web-port moves them\n"
    "  --metrics-listen ADDR:PORT  serve Prometheus metrics at /metrics there\n"
    "                     ([ADDR]:PORT for IPv6)\n"
    "  --trusted-proxy ADDR[/PREFIX]  a reverse proxy whose X-Forwarded-For header\n"
    "                     names the client (for the log, the limits and the stored\n"
    "                     address); may be repeated; from other addresses it is ignored\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Accounts: 'account add' and 'account passwd' read the password from the terminal,\n"
    "or the first line of standard input when it is not a terminal; it is never taken\n"
    "from the command line. A running server sees account changes within a second.\n"
    "GET /healthz answers 200 while the database answers, 503 when it does not.\n"
    "One line per request goes to standard error: time, client, login, answer, time taken.\n"
    "SIGTERM or SIGINT: stop accepting, answer the requests in flight, exit 0.\n"
    "SIGHUP: load the TLS certificate and key again for new connections.\n";

namespace {

bool readInteger(std::string_view text, long long low, long long high, long long& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc{} && result.ptr == text.data() + text.size() && value >= low &&
           value <= high;
}

struct AccountVerb {
    std::string_view name;
    Command command;
    bool takesLogin;
};
constexpr AccountVerb accountVerbs[] = {
    {"add", Command::accountAdd, true},         {"passwd", Command::accountPasswd, true},
    {"disable", Command::accountDisable, true}, {"enable", Command::accountEnable, true},
    {"list", Command::accountList, false},
};

}  // namespace

bool splitHostPort(std::string_view text, std::string& address, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return false;  // IPv6 goes in brackets
    }
    long long number = 0;
    if (!readInteger(text.substr(colon + 1), 1, 65535, number)) return false;
    address = host;
    port = static_cast<std::uint16_t>(number);
    return true;
}

bool parseServerOptions(const std::vector<std::string>& arguments, ServerOptions& options,
                        std::string& error) {
    std::size_t i = 0;
    if (!arguments.empty() && arguments[0] == "account") {
        if (arguments.size() < 2) {
            error = "account needs add, passwd, disable, enable or list";
            return false;
        }
        const AccountVerb* verb = nullptr;
        for (const AccountVerb& each : accountVerbs) {
            if (arguments[1] == each.name) verb = &each;
        }
        if (verb == nullptr) {
            error = "unknown account command: " + arguments[1];
            return false;
        }
        options.command = verb->command;
        i = 2;
        if (verb->takesLogin) {
            if (arguments.size() < 3 || arguments[2].starts_with("--")) {
                error = "account " + arguments[1] + " needs a LOGIN";
                return false;
            }
            options.login = arguments[2];
            i = 3;
        }
    }
    const bool serving = options.command == Command::serve;
    for (; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        long long number = 0;
        if (option == "--help") {
            options.command = Command::help;
            return true;
        } else if (option == "--version") {
            options.command = Command::version;
            return true;
        } else if (option == "--admin" && options.command == Command::accountAdd) {
            options.admin = true;
        } else if (option == "--database" && hasValue) {
            options.database = arguments[++i];
        } else if (option == "--listen" && hasValue && serving) {
            options.listen.push_back(arguments[++i]);
        } else if (option == "--port" && hasValue && serving) {
            if (!readInteger(arguments[++i], 0, 65535, number)) {
                error = "--port needs a number from 0 to 65535";
                return false;
            }
            options.port = static_cast<std::uint16_t>(number);
        } else if (option == "--request-seconds" && hasValue && serving) {
            if (!readInteger(arguments[++i], 1, 3600, number)) {
                error = "--request-seconds needs a number from 1 to 3600";
                return false;
            }
            options.requestSeconds = static_cast<int>(number);
        } else if (option == "--web-port" && hasValue && serving) {
            if (!readInteger(arguments[++i], 0, 65535, number)) {
                error = "--web-port needs a number from 0 to 65535";
                return false;
            }
            options.webPort = static_cast<int>(number);
        } else if (option == "--tiles" && hasValue && serving) {
            options.tiles = arguments[++i];
        } else if (option == "--tiles-attribution" && hasValue && serving) {
            options.tilesAttribution = arguments[++i];
        } else if (option == "--tls-cert" && hasValue && serving) {
            options.tlsCertificate = arguments[++i];
        } else if (option == "--tls-key" && hasValue && serving) {
            options.tlsKey = arguments[++i];
        } else if (option == "--tls-port" && hasValue && serving) {
            if (!readInteger(arguments[++i], 0, 65535, number)) {
                error = "--tls-port needs a number from 0 to 65535";
                return false;
            }
            options.tlsPort = static_cast<std::uint16_t>(number);
        } else if (option == "--metrics-listen" && hasValue && serving) {
            options.metricsListen = arguments[++i];
            std::string address;
            std::uint16_t port = 0;
            if (!splitHostPort(options.metricsListen, address, port)) {
                error = "--metrics-listen needs ADDR:PORT or [ADDR]:PORT: " + options.metricsListen;
                return false;
            }
        } else if (option == "--trusted-proxy" && hasValue && serving) {
            AddressRange range;
            if (!parseAddressRange(arguments[++i], range)) {
                error = "--trusted-proxy needs an address or ADDRESS/PREFIX: " + arguments[i];
                return false;
            }
            options.trustedProxies.push_back(range);
        } else if (option == "--retain-days" && hasValue && serving) {
            if (!readInteger(arguments[++i], 1, 1000000, number)) {
                error = "--retain-days needs a number of days from 1";
                return false;
            }
            options.retainDays = static_cast<int>(number);
        } else {
            error = hasValue || !option.starts_with("--") ? "unexpected argument: " + option
                                                          : option + " needs a value or is unknown";
            return false;
        }
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (serving && options.port == 0 && options.tlsCertificate.empty()) {
        error = "--port 0 turns plain HTTP off: it needs --tls-cert and --tls-key";
        return false;
    }
    if (options.command == Command::accountAdd || options.command == Command::accountPasswd) {
        const bool printable = std::all_of(options.login.begin(), options.login.end(), [](char c) {
            return static_cast<unsigned char>(c) >= ' ' && c != 0x7F;
        });
        if (options.login.empty() || options.login.size() > loginMaxBytes || !printable) {
            error = "a login has 1 to " + std::to_string(loginMaxBytes) + " bytes, no control characters";
            return false;
        }
    }
    return true;
}
