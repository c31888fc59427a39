// The command line of wayloom-server: what each form means, and what is refused.
#include <gtest/gtest.h>

#include "server/options.hpp"

namespace {

TEST(ServerOptions, ReadsEachForm) {
    struct Case {
        std::vector<std::string> arguments;
        Command command;
        std::string database;
        std::vector<std::string> listen;
        std::uint16_t port;
        int retainDays;
        std::string login;
        bool admin;
    };
    const Case cases[] = {
        {{}, Command::serve, WAYLOOM_SERVER_DATABASE, {}, 80, 0, "", false},
        {{"--listen", "::1", "--listen", "192.0.2.1", "--port", "8080", "--retain-days", "30", "--database",
          "postgresql://u@h/d"},
         Command::serve,
         "postgresql://u@h/d",
         {"::1", "192.0.2.1"},
         8080,
         30,
         "",
         false},
        {{"account", "add", "my login", "--admin", "--database", "x.db"},
         Command::accountAdd,
         "x.db",
         {},
         80,
         0,
         "my login",
         true},
        {{"account", "passwd", "a"}, Command::accountPasswd, WAYLOOM_SERVER_DATABASE, {}, 80, 0, "a", false},
        {{"account", "disable", "a"},
         Command::accountDisable,
         WAYLOOM_SERVER_DATABASE,
         {},
         80,
         0,
         "a",
         false},
        {{"account", "enable", "a"}, Command::accountEnable, WAYLOOM_SERVER_DATABASE, {}, 80, 0, "a", false},
        {{"account", "list"}, Command::accountList, WAYLOOM_SERVER_DATABASE, {}, 80, 0, "", false},
        {{"--port", "1", "--help"}, Command::help, WAYLOOM_SERVER_DATABASE, {}, 1, 0, "", false},
        {{"--version"}, Command::version, WAYLOOM_SERVER_DATABASE, {}, 80, 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        ServerOptions options;
        std::string error;
        ASSERT_TRUE(parseServerOptions(c.arguments, options, error)) << error;
        EXPECT_EQ(options.command, c.command);
        EXPECT_EQ(options.database, c.database);
        EXPECT_EQ(options.listen, c.listen);
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.retainDays, c.retainDays);
        EXPECT_EQ(options.login, c.login);
        EXPECT_EQ(options.admin, c.admin);
    }
}

TEST(ServerOptions, RefusesMistakes) {
    const std::vector<std::string> cases[] = {
        {"--port", "65536"},
        {"--port", "http"},
        {"--retain-days", "0"},
        {"--request-seconds", "0"},
        {"--storage-seconds", "0"},
        {"--storage-seconds", "601"},
        {"--web-port", "65536"},
        {"--tiles"},
        {"account", "list", "--tiles", "https://t.example/{z}/{x}/{y}.png"},
        {"--database"},
        {"--bogus"},
        {"stray"},
        {"--admin"},
        {"account"},
        {"account", "remove", "a"},
        {"account", "add"},
        {"account", "add", "--admin"},
        {"account", "add", std::string(36, 'x')},
        {"account", "add", "tab\there"},
        {"account", "list", "--port", "80"},
        {"account", "add", "a", "password-on-the-command-line"},
        {"--trusted-proxy", "proxy.example"},
        {"--trusted-proxy", "10.0.0.0/33"},
        {"--trusted-proxy"},
        {"--tls-cert", "c.pem"},
        {"--tls-key", "k.pem"},
        {"--port", "0"},
        {"--tls-port", "65536", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
        {"--metrics-listen", "9100"},
        {"--metrics-listen", "::1:9100"},
        {"--metrics-listen", "127.0.0.1:0"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        ServerOptions options;
        std::string error;
        EXPECT_FALSE(parseServerOptions(arguments, options, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ServerOptions, ReadsTheWebOptions) {
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(parseServerOptions({}, options, error));
    EXPECT_EQ(options.webPort, -1);  // the pages on the report port
    ASSERT_TRUE(parseServerOptions({"--web-port", "8080", "--tiles", "https://t.example/{z}/{x}/{y}.png",
                                    "--tiles-attribution", "© Example"},
                                   options, error));
    EXPECT_EQ(options.webPort, 8080);
    EXPECT_EQ(options.tiles, "https://t.example/{z}/{x}/{y}.png");
    EXPECT_EQ(options.tilesAttribution, "© Example");
}

TEST(ServerOptions, ReadsTheOperatorOptions) {
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(parseServerOptions({"--trusted-proxy", "127.0.0.1", "--trusted-proxy", "2001:db8::/32"},
                                   options, error))
        << error;
    ASSERT_EQ(options.trustedProxies.size(), 2u);
    EXPECT_EQ(options.trustedProxies[0].prefixBits, 128);
    EXPECT_EQ(options.trustedProxies[1].prefixBits, 32);
    EXPECT_EQ(options.tlsPort, 443);
    ASSERT_TRUE(parseServerOptions({"--port", "0", "--tls-cert", "c.pem", "--tls-key", "k.pem", "--tls-port",
                                    "8443", "--metrics-listen", "[::1]:9100"},
                                   options, error))
        << error;
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.tlsPort, 8443);
    EXPECT_EQ(options.tlsCertificate, "c.pem");
    EXPECT_EQ(options.tlsKey, "k.pem");
    std::string address;
    std::uint16_t port = 0;
    ASSERT_TRUE(splitHostPort(options.metricsListen, address, port));
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(port, 9100);
}

}  // namespace
