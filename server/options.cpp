// The command line of wayloom-server.
#include "server/options.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <type_traits>

#include "server/storage.hpp"

const char* const serverHelpText =
    "Usage: wayloom-server [OPTION]...\n"
    "       wayloom-server account add LOGIN [--admin] [--key] | passwd LOGIN [--key]\n"
    "                              | disable LOGIN | enable LOGIN | list   [--database DB]\n"
    "The report server for Wayloom: accepts position reports at /wayloom/Receiver.php,\n"
    "checks the login and password, stores the position and answers with one character\n"
    "(1 stored, 2 unknown login, 3 wrong version, 4 account disabled, 5 wrong password,\n"
    "6 not a report, 0 not stored). A report is answered 1 only once it is committed.\n"
    "Phone apps report on the same ports: the OsmAnd protocol at /osmand (key as id),\n"
    "OwnTracks at /owntracks and /pub (Basic login and key or password), Overland at\n"
    "/overland (Authorization: Bearer KEY, or ?token=KEY).\n"
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
    "  --storage-seconds N  answer 0 to a report not committed within N seconds, and\n"
    "                     give up a new database connection after as long (default 5)\n"
    "  --web-port N       serve the web pages and their API on this port only\n"
    "                     (default: on the report port)\n"
    "  --osmand-port N    take the OsmAnd protocol of phone apps (Traccar Client ...)\n"
    "                     on every path of this port (usually 5055; default: off)\n"
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
    "from the command line. With --key they make a random device key instead, print it\n"
    "as the only line of standard output and keep only its digest: a key is checked in\n"
    "microseconds where a password takes Argon2id's tens; give devices keys, people\n"
    "passwords. A key replaces the account's password, and a password its key.\n"
    "A running server sees account changes within a second.\n"
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

// Which commands accept an option.
enum class OptionScope {
    any,         // serving and every account command
    serving,     // the server itself
    accountAdd,  // account add only
    credential,  // account add and passwd
};

// One option of the command line: its name, where it is accepted, whether it
// takes the next argument as its value, whether it ends the reading (--help,
// --version), and what it does. apply stores the value (empty for a flag) or
// returns false with error set; a number option takes low .. high and is
// refused with refusal.
struct OptionRule {
    std::string_view name;
    OptionScope scope;
    bool takesValue;
    bool endsReading;
    bool (*apply)(ServerOptions& options, const OptionRule& rule, const std::string& value,
                  std::string& error);
    long long low = 0;
    long long high = 0;
    const char* refusal = "";
};

template <Command command>
bool applyCommand(ServerOptions& options, const OptionRule&, const std::string&, std::string&) {
    options.command = command;
    return true;
}

bool applyAdmin(ServerOptions& options, const OptionRule&, const std::string&, std::string&) {
    options.admin = true;
    return true;
}

bool applyKey(ServerOptions& options, const OptionRule&, const std::string&, std::string&) {
    options.key = true;
    return true;
}

template <std::string ServerOptions::*field>
bool applyText(ServerOptions& options, const OptionRule&, const std::string& value, std::string&) {
    options.*field = value;
    return true;
}

bool applyListen(ServerOptions& options, const OptionRule&, const std::string& value, std::string&) {
    options.listen.push_back(value);
    return true;
}

bool applyMetricsListen(ServerOptions& options, const OptionRule&, const std::string& value,
                        std::string& error) {
    std::string address;
    std::uint16_t port = 0;
    if (!splitHostPort(value, address, port)) {
        error = "--metrics-listen needs ADDR:PORT or [ADDR]:PORT: " + value;
        return false;
    }
    options.metricsListen = value;
    return true;
}

bool applyTrustedProxy(ServerOptions& options, const OptionRule&, const std::string& value,
                       std::string& error) {
    AddressRange range;
    if (!parseAddressRange(value, range)) {
        error = "--trusted-proxy needs an address or ADDRESS/PREFIX: " + value;
        return false;
    }
    options.trustedProxies.push_back(range);
    return true;
}

template <auto field>
bool applyNumber(ServerOptions& options, const OptionRule& rule, const std::string& value,
                 std::string& error) {
    long long number = 0;
    if (!readInteger(value, rule.low, rule.high, number)) {
        error = rule.refusal;
        return false;
    }
    using Field = std::remove_reference_t<decltype(options.*field)>;
    options.*field = static_cast<Field>(number);
    return true;
}

constexpr OptionRule optionRules[] = {
    {"--help", OptionScope::any, false, true, applyCommand<Command::help>},
    {"--version", OptionScope::any, false, true, applyCommand<Command::version>},
    {"--admin", OptionScope::accountAdd, false, false, applyAdmin},
    {"--key", OptionScope::credential, false, false, applyKey},
    {"--database", OptionScope::any, true, false, applyText<&ServerOptions::database>},
    {"--listen", OptionScope::serving, true, false, applyListen},
    {"--port", OptionScope::serving, true, false, applyNumber<&ServerOptions::port>, 0, 65535,
     "--port needs a number from 0 to 65535"},
    {"--request-seconds", OptionScope::serving, true, false, applyNumber<&ServerOptions::requestSeconds>, 1,
     3600, "--request-seconds needs a number from 1 to 3600"},
    {"--storage-seconds", OptionScope::serving, true, false, applyNumber<&ServerOptions::storageSeconds>, 1,
     600, "--storage-seconds needs a number from 1 to 600"},
    {"--web-port", OptionScope::serving, true, false, applyNumber<&ServerOptions::webPort>, 0, 65535,
     "--web-port needs a number from 0 to 65535"},
    {"--osmand-port", OptionScope::serving, true, false, applyNumber<&ServerOptions::osmandPort>, 0, 65535,
     "--osmand-port needs a number from 0 to 65535"},
    {"--tiles", OptionScope::serving, true, false, applyText<&ServerOptions::tiles>},
    {"--tiles-attribution", OptionScope::serving, true, false, applyText<&ServerOptions::tilesAttribution>},
    {"--tls-cert", OptionScope::serving, true, false, applyText<&ServerOptions::tlsCertificate>},
    {"--tls-key", OptionScope::serving, true, false, applyText<&ServerOptions::tlsKey>},
    {"--tls-port", OptionScope::serving, true, false, applyNumber<&ServerOptions::tlsPort>, 0, 65535,
     "--tls-port needs a number from 0 to 65535"},
    {"--metrics-listen", OptionScope::serving, true, false, applyMetricsListen},
    {"--trusted-proxy", OptionScope::serving, true, false, applyTrustedProxy},
    {"--retain-days", OptionScope::serving, true, false, applyNumber<&ServerOptions::retainDays>, 1, 1000000,
     "--retain-days needs a number of days from 1"},
};

bool inScope(OptionScope scope, Command command) {
    switch (scope) {
        case OptionScope::any:
            return true;
        case OptionScope::serving:
            return command == Command::serve;
        case OptionScope::accountAdd:
            return command == Command::accountAdd;
        case OptionScope::credential:
            return command == Command::accountAdd || command == Command::accountPasswd;
    }
    return false;
}

// The rule for option as the command stands, or null: an option that is not
// in the table, belongs to another command, or lacks the value it takes.
const OptionRule* findOptionRule(std::string_view option, Command command, bool hasValue) {
    for (const OptionRule& rule : optionRules) {
        if (option == rule.name && inScope(rule.scope, command) && (hasValue || !rule.takesValue)) {
            return &rule;
        }
    }
    return nullptr;
}

// Reads "account VERB [LOGIN]" at the front of arguments into options; next
// is where the options begin. False with error set on a mistake.
bool readAccountCommand(const std::vector<std::string>& arguments, ServerOptions& options, std::size_t& next,
                        std::string& error) {
    next = 0;
    if (arguments.empty() || arguments[0] != "account") return true;
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
    next = 2;
    if (!verb->takesLogin) return true;
    if (arguments.size() < 3 || arguments[2].starts_with("--")) {
        error = "account " + arguments[1] + " needs a LOGIN";
        return false;
    }
    options.login = arguments[2];
    next = 3;
    return true;
}

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
    if (!readAccountCommand(arguments, options, i, error)) return false;
    for (; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        const OptionRule* rule = findOptionRule(option, options.command, hasValue);
        if (rule == nullptr) {
            error = hasValue || !option.starts_with("--") ? "unexpected argument: " + option
                                                          : option + " needs a value or is unknown";
            return false;
        }
        const std::string noValue;
        if (!rule->apply(options, *rule, rule->takesValue ? arguments[++i] : noValue, error)) return false;
        if (rule->endsReading) return true;
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (options.command == Command::serve && options.port == 0 && options.tlsCertificate.empty()) {
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
