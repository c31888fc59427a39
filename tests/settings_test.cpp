// The settings file: real files in a temporary directory, read through
// loadSettingsFrom, and once through loadSettings beside this executable.
#include "settings/settings.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::wstring widePortName() {
    return settings.portName.data();
}

// The expected record, with the defaults where a case does not say.
struct Expected {
    std::wstring port = L"COM1:";
    std::int32_t baudRate = 4800;
    std::string login;
    std::string password;
    std::int32_t interval = 30;
};

void expectSettings(const Expected& expected) {
    EXPECT_EQ(widePortName(), expected.port);
    EXPECT_EQ(settings.baudRate, expected.baudRate);
    EXPECT_EQ(std::string(settings.login.data()), expected.login);
    EXPECT_EQ(std::string(settings.password.data()), expected.password);
    EXPECT_EQ(settings.reportInterval, expected.interval);
}

struct FileCase {
    const char* name;
    std::string bytes;
    Expected expected;
};

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "wayloom-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        resetSettings();
    }
    void TearDown() override {
        std::filesystem::remove_all(directory);
        resetSettings();
    }
    // Writes bytes as settings.ini in the temporary directory and loads it
    // over the defaults.
    void load(const std::string& bytes) {
        const std::filesystem::path file = directory / "settings.ini";
        std::ofstream(file, std::ios::binary) << bytes;
        resetSettings();
        loadSettingsFrom(file.c_str());
    }
    void runCases(std::initializer_list<FileCase> cases) {
        for (const FileCase& c : cases) {
            SCOPED_TRACE(c.name);
            load(c.bytes);
            expectSettings(c.expected);
        }
    }
    std::filesystem::path directory;
};

}  // namespace

TEST_F(SettingsFile, MissingFileLeavesTheDefaults) {
    settings.baudRate = 1;
    resetSettings();
    loadSettingsFrom((directory / "absent.ini").c_str());
    expectSettings({});
    loadSettingsFrom(directory.c_str());  // a directory opens but reads nothing
    expectSettings({});
}

TEST_F(SettingsFile, PositionalLinesWithCommentsAndBlanksAnywhere) {
    // clang-format off
    runCases({
        {"all five", "COM4:\n9600\nuser\nsecret\n60\n", {L"COM4:", 9600, "user", "secret", 60}},
        {"comments and blanks between", "# header\n\nCOM4:\n#x\n9600\n\r\n\nuser\n#\nsecret\n\n60\n#end\n",
         {L"COM4:", 9600, "user", "secret", 60}},
        {"CR LF line ends", "#c\r\nCOM4:\r\n9600\r\nuser\r\nsecret\r\n60\r\n", {L"COM4:", 9600, "user", "secret", 60}},
        {"no final LF", "COM4:\n9600\nuser\nsecret\n45", {L"COM4:", 9600, "user", "secret", 45}},
        {"fewer than five lines", "/dev/ttyUSB0\n38400\n", {L"/dev/ttyUSB0", 38400, "", "", 30}},
        {"empty file", "", {}},
        {"only comments", "# a\n#b\n\n\r\n", {}},
        {"a seventh line is ignored", "A\n1\nl\np\n50\nsixth\n99\n", {L"A", 1, "l", "p", 50}},
        {"a line of spaces is a setting", "   \n9600\n", {L"", 9600, "", "", 30}},
        {"trailing spaces go, leading stay", "COM4:   \n  4800  \n  user  \n pw \n 45 \n",
         {L"COM4:", 4800, "  user", " pw", 45}},
        {"leading spaces of the port stay", "  COM4:\n", {L"  COM4:", 4800, "", "", 30}},
        {"tabs stay", "\tCOM4:\t\n", {L"\tCOM4:\t", 4800, "", "", 30}},
        {"a space before # is not a comment", " #x\n", {L" #x", 4800, "", "", 30}},
        {"a zero byte ends the text of its line", std::string("CO\0M4:\n4800\n", 12), {L"CO", 4800, "", "", 30}},
    });
    // clang-format on
}

TEST_F(SettingsFile, NumbersAreReadAsDecimalIntegers) {
    // clang-format off
    runCases({
        {"interval 10", "P\n1\nl\np\n10\n", {L"P", 1, "l", "p", 30}},
        {"interval 45", "P\n1\nl\np\n45\n", {L"P", 1, "l", "p", 45}},
        {"interval letters", "P\n1\nl\np\nabc\n", {L"P", 1, "l", "p", 30}},
        {"interval -5", "P\n1\nl\np\n-5\n", {L"P", 1, "l", "p", 30}},
        {"interval huge negative", "P\n1\nl\np\n-99999999999\n", {L"P", 1, "l", "p", 30}},
        {"interval huge", "P\n1\nl\np\n99999999999\n", {L"P", 1, "l", "p", 2147483647}},
        {"baud letters", "P\nfast\n", {L"P", 0, "", "", 30}},
        {"baud huge", "P\n99999999999\n", {L"P", 2147483647, "", "", 30}},
    });
    // clang-format on
}

TEST_F(SettingsFile, LinesAreCutBeforeTheyAreTrimmed) {
    const std::string login40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    // clang-format off
    runCases({
        {"login of 40 keeps 35", "P\n1\n" + login40 + "\n" + login40 + "\n", {L"P", 1, login40.substr(0, 35),
         login40.substr(0, 35), 30}},
        {"port cut at 17", "/dev/serial/by-id/usb-GPS\n", {L"/dev/serial/by-id", 4800, "", "", 30}},
        {"port of 17 kept", "/dev/ttyUSB012345\n", {L"/dev/ttyUSB012345", 4800, "", "", 30}},
        {"spaces after the cut are trimmed", "/dev/ttyUSB0     xyz\n", {L"/dev/ttyUSB0", 4800, "", "", 30}},
        {"login of 34 and spaces", "P\n1\n" + login40.substr(0, 34) + "      \n",
         {L"P", 1, login40.substr(0, 34), "", 30}},
    });
    // clang-format on
}

TEST_F(SettingsFile, LongLinesArriveIn143CharacterPieces) {
    const std::string comment200 = "#" + std::string(142, 'c') + "COM7:" + std::string(52, 'x') + "\n";
    const std::string first200 = std::string(143, 'p') + "115200" + std::string(51, ' ') + "\n";
    const std::string exactly143 = std::string(143, 'q') + "\n4800\n";
    // clang-format off
    runCases({
        {"200-character comment", comment200 + "9600\n",
         {L"COM7:xxxxxxxxxxxx", 9600, "", "", 30}},
        {"200-character first line", first200 + "user\n",
         {std::wstring(17, L'p'), 115200, "user", "", 30}},
        {"143 characters and LF: the LF is a blank piece", exactly143,
         {std::wstring(17, L'q'), 4800, "", "", 30}},
    });
    // clang-format on
}

TEST_F(SettingsFile, TextIsUtf8WhateverTheLocale) {
    const std::string bom = "\xEF\xBB\xBF";
    // clang-format off
    runCases({
        {"BOM before the port", bom + "COM4:\n9600\n", {L"COM4:", 9600, "", "", 30}},
        {"BOM before a comment", bom + "# c\nCOM4:\n", {L"COM4:", 4800, "", "", 30}},
        {"a second BOM is text", bom + bom + "X\n", {L"\xFEFFX", 4800, "", "", 30}},
        {"non-ASCII port", "\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82\n", {L"\x041F\x043E\x0440\x0442", 4800, "", "", 30}},
        {"non-ASCII login kept as UTF-8", "P\n1\n\xC3\xA9t\xC3\xA9\n\xF0\x9F\x94\x91\n",
         {L"P", 1, "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x94\x91", 30}},
        {"invalid bytes become U+FFFD and later lines are read", "\xFF\xC0\x80\n9\xE2\x82\nu\np\n45\n",
         {L"\xFFFD\xFFFD\xFFFD", 9, "u", "p", 45}},
        {"a broken sequence before LF", "P\n96\xE2\x82\n", {L"P", 96, "", "", 30}},
        {"a surrogate encoded in UTF-8 is invalid", "\xED\xA0\x80x\n", {L"\xFFFD\xFFFD\xFFFDx", 4800, "", "", 30}},
        {"an overlong form is invalid", "\xE0\x80\xAF\n", {L"\xFFFD\xFFFD\xFFFD", 4800, "", "", 30}},
        {"a sequence cut by the end of the file", "P\n1\n\xF0\x9F\x94", {L"P", 1, "\xEF\xBF\xBD", "", 30}},
    });
    // clang-format on
}

// 35 characters of two bytes each are 70 bytes: the login keeps the 17 whole
// characters that fit in 35 bytes, terminated, never half of the 18th.
TEST_F(SettingsFile, EightBitLoginNeverCutsACharacterInHalf) {
    auto repeat = [](const char* piece, int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += piece;
        return text;
    };
    // 35 characters of two bytes, cut to the 17 whole ones that fit in 35 bytes;
    // "a" and 20 euro signs of three bytes, to "a" and 11 of them.
    load("P\n1\n" + repeat("\xC3\xA9", 40) + "\na" + repeat("\xE2\x82\xAC", 20) + "\n");
    expectSettings({L"P", 1, repeat("\xC3\xA9", 17), "a" + repeat("\xE2\x82\xAC", 11), 30});
}

TEST_F(SettingsFile, BytesInMemoryReadLikeTheFile) {
    const std::string bytes = "\xEF\xBB\xBF# c\n/dev/ttyACM0  \n19200\nme\n\xC3\xA9&%\n120\n";
    loadSettingsFromBytes({bytes.data(), bytes.size()});
    expectSettings({L"/dev/ttyACM0", 19200, "me", "\xC3\xA9&%", 120});
}

TEST(SettingsLocation, FileBesideTheExecutableIsRead) {
    std::array<char, PATH_MAX> executable{};
    ASSERT_GT(readlink("/proc/self/exe", executable.data(), executable.size() - 1), 0);
    const std::filesystem::path beside =
        std::filesystem::path(executable.data()).parent_path() / "settings.ini";
    ASSERT_FALSE(std::filesystem::exists(beside)) << "leftover " << beside;
    std::ofstream(beside, std::ios::binary) << "# beside\n/dev/ttyS3\n57600\n";
    resetSettings();
    loadSettings();
    std::filesystem::remove(beside);
    expectSettings({L"/dev/ttyS3", 57600, "", "", 30});
    resetSettings();
    loadSettings();  // and without it, the defaults
    expectSettings({});
}

TEST(ReadDecimalInteger, ReadsLikeWtolAndSaturates) {
    struct Case {
        const wchar_t* text;
        std::int32_t value;
    };
    // clang-format off
    constexpr Case cases[] = {
        {L"4800", 4800}, {L"  \t\r\n\v\f42", 42}, {L"-17x", -17}, {L"+5", 5}, {L"", 0}, {L"abc", 0},
        {L"- 5", 0}, {L"--5", 0}, {L"2147483647", 2147483647}, {L"2147483648", 2147483647},
        {L"-2147483648", INT32_MIN}, {L"-2147483649", INT32_MIN}, {L"000000000000000000012", 12},
        {L"99999999999999999999999999", 2147483647},
        {L"\x0663", 0},  // an Arabic-Indic digit is not a decimal digit here
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(readDecimalInteger(c.text), c.value);
    }
}

namespace {

// The option fields, with their defaults where a case does not say.
struct ExpectedOptions {
    bool serverGiven = false;
    bool serverUsable = true;
    ServerScheme scheme = ServerScheme::http;
    std::string host = "";
    std::uint16_t port = 0;
    std::string caFile = "";
    bool caFileUsable = true;
    bool anyTalker = false;
    bool unsignedPositions = false;
    bool checksumsRequired = false;
    std::int32_t staleAfter = 0;
    std::string source = "";
    bool queueGiven = false;
    std::string queuePath = "";
    std::int32_t queueLimit = 100000;
    std::int32_t reportDistance = 0;
    std::int32_t reportTurn = 0;
    std::int32_t reportMinInterval = 5;
    bool extendedFields = false;
    std::int32_t interval = 30;  // the fifth line, to see that option lines leave it
};

struct OptionCase {
    const char* name;
    std::string lines;  // what follows the five positional lines
    ExpectedOptions expected;
};

void expectOptions(const ExpectedOptions& e) {
    EXPECT_EQ(settings.server.given, e.serverGiven);
    EXPECT_EQ(settings.server.usable, e.serverUsable);
    if (e.serverGiven && e.serverUsable) {
        EXPECT_EQ(settings.server.scheme, e.scheme);
        EXPECT_EQ(std::string(settings.server.host.data()), e.host);
        EXPECT_EQ(settings.server.port, e.port);
    }
    EXPECT_EQ(std::string(settings.caFile.data()), e.caFile);
    EXPECT_EQ(settings.caFileUsable, e.caFileUsable);
    EXPECT_EQ(settings.anyTalker, e.anyTalker);
    EXPECT_EQ(settings.unsignedPositions, e.unsignedPositions);
    EXPECT_EQ(settings.checksumsRequired, e.checksumsRequired);
    EXPECT_EQ(settings.staleAfterSeconds, e.staleAfter);
    EXPECT_EQ(std::string(settings.source.data()), e.source);
    EXPECT_EQ(settings.queueGiven, e.queueGiven);
    EXPECT_EQ(std::string(settings.queuePath.data()), e.queuePath);
    EXPECT_EQ(settings.queueLimit, e.queueLimit);
    EXPECT_EQ(settings.reportDistanceMetres, e.reportDistance);
    EXPECT_EQ(settings.reportTurnDegrees, e.reportTurn);
    EXPECT_EQ(effectiveReportMinInterval(settings), e.reportMinInterval);
    EXPECT_EQ(settings.extendedFields, e.extendedFields);
    EXPECT_EQ(settings.reportInterval, e.interval);
}

}  // namespace

TEST_F(SettingsFile, OptionLinesAfterTheFifth) {
    const std::string five = "P\n1\nl\np\n45\n";
    const std::string host140(131, 'h');  // "server = http://" and 131: 147 characters, cut
    const std::string path130 = "/" + std::string(129, 'c');  // "ca-file = " and 130: 140, whole
    using S = ServerScheme;
    // clang-format off
    const OptionCase cases[] = {
        {"none", "", {.interval = 45}},
        {"server http", "server = http://reports.example.org\n",
         {.serverGiven = true, .host = "reports.example.org", .interval = 45}},
        {"server https with port, no spaces, CR LF", "server=HTTPS://h.example:8443/\r\n",
         {.serverGiven = true, .scheme = S::https, .host = "h.example", .port = 8443, .interval = 45}},
        {"server IPv4 and IPv6 literals", "server = http://192.0.2.7:81\nserver = https://[::1]:8443\n",
         {.serverGiven = true, .scheme = S::https, .host = "::1", .port = 8443, .interval = 45}},
        {"server blanks around", " \tserver\t=\t http://a.b \t\n", {.serverGiven = true, .host = "a.b", .interval = 45}},
        {"ca-file", "ca-file = /etc/wayloom/ca.pem\n", {.caFile = "/etc/wayloom/ca.pem", .interval = 45}},
        {"ca-file of 130 characters is whole", "ca-file = " + path130 + "\n", {.caFile = path130, .interval = 45}},
        {"talkers any, then GP again", "talkers = any\ntalkers = GP\n", {.interval = 45}},
        {"talkers any", "talkers=any\n", {.anyTalker = true, .interval = 45}},
        {"talkers of another word is ignored", "talkers = any\ntalkers = GN\n", {.anyTalker = true, .interval = 45}},
        {"positions unsigned", "positions = unsigned\n", {.unsignedPositions = true, .interval = 45}},
        {"checksums required", "checksums = required\n", {.checksumsRequired = true, .interval = 45}},
        {"stale-after", "stale-after = 10\n", {.staleAfter = 10, .interval = 45}},
        {"stale-after saturates", "stale-after = 99999999999\n", {.staleAfter = 2147483647, .interval = 45}},
        {"stale-after not a number", "stale-after = 10\nstale-after = -5\nstale-after = 5s\n",
         {.staleAfter = 10, .interval = 45}},
        {"source gpsd", "source = gpsd://localhost\n", {.source = "gpsd://localhost", .interval = 45}},
        {"source tcp, as written", "source =  tcp://192.0.2.1:10110 \n", {.source = "tcp://192.0.2.1:10110", .interval = 45}},
        {"queue", "queue = /var/lib/wayloom/queue\n",
         {.queueGiven = true, .queuePath = "/var/lib/wayloom/queue", .interval = 45}},
        {"queue-limit alone keeps nothing", "queue-limit = 50\n", {.queueLimit = 50, .interval = 45}},
        {"queue-limit of 0, a sign or letters is ignored", "queue-limit = 7\nqueue-limit = 0\nqueue-limit = -3\nqueue-limit = 9x\n",
         {.queueLimit = 7, .interval = 45}},
        {"queue-limit has a ceiling", "queue-limit = 99999999999\n", {.queueLimit = 10000000, .interval = 45}},
        {"report at distance and turns", "report-distance = 500\nreport-turn = 15\nreport-min-interval = 3\n",
         {.reportDistance = 500, .reportTurn = 15, .reportMinInterval = 3, .interval = 45}},
        {"report-min-interval at least 1", "report-min-interval = 0\n", {.reportMinInterval = 1, .interval = 45}},
        {"report-turn at most 180, 0 is off again", "report-turn = 400\nreport-distance = 200\nreport-distance = 0\n",
         {.reportTurn = 180, .interval = 45}},
        {"report values not whole numbers are ignored", "report-distance = 200\nreport-distance = 1.5\n"
                                                       "report-distance = -3\nreport-turn = 15deg\n",
         {.reportDistance = 200, .interval = 45}},
        {"fields extended, then basic again", "fields = extended\nfields = basic\n", {.interval = 45}},
        {"fields extended", "fields = extended\nfields = all\n", {.extendedFields = true, .interval = 45}},
        {"a cut queue line names no file", "queue = /" + std::string(140, 'q') + "\n",
         {.queueGiven = true, .interval = 45}},
        {"every option", "server = https://r.example\nca-file = c.pem\ntalkers = any\npositions = unsigned\n"
                         "checksums = required\nstale-after = 5\nsource = tcp://g:1\n",
         {.serverGiven = true, .scheme = S::https, .host = "r.example", .caFile = "c.pem", .anyTalker = true,
          .unsignedPositions = true, .checksumsRequired = true, .staleAfter = 5, .source = "tcp://g:1",
          .interval = 45}},
        {"unknown names and other lines are ignored",
         "Talkers = any\ntalker = any\nserver: http://x\n# server = http://x\nnonsense\n=\n",
         {.interval = 45}},
        {"the rest of a cut line is no option", "# " + std::string(141, 'x') + "talkers = any\n", {.interval = 45}},
        {"a cut server line is unusable", "server = http://" + host140 + "\n",
         {.serverGiven = true, .serverUsable = false, .interval = 45}},
        {"a cut ca-file line is unusable", "ca-file = /" + std::string(140, 'c') + "\n",
         {.caFileUsable = false, .interval = 45}},
        {"a cut source line opens nothing", "source = tcp://" + std::string(140, 's') + "\n",
         {.source = std::string(unusableSource), .interval = 45}},
        {"a source too long as UTF-8 opens nothing", "source = tcp://" + std::string(120, 's') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\n",
         {.source = std::string(unusableSource), .interval = 45}},
    };
    // clang-format on
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        load(five + c.lines);
        expectOptions(c.expected);
    }
}

// A server line that cannot be understood never leaves the default in place:
// the password would then go to a host the user did not name.
TEST_F(SettingsFile, BadServerUrlsAreUnusable) {
    const char* urls[] = {
        "reports.example.org",
        "ftp://h",
        "http://",
        "http://:80",
        "http://h:",
        "http://h:0",
        "http://h:65536",
        "http://h:8o",
        "http://h/path",
        "http://user@h",
        "http://h?x",
        "http://[::1",
        "http://[h]:80",
        "http://[::1]x",
        "http://h\xC3\xA9",
        "http:/h",
        "https//h",
        "",
    };
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        load(std::string("P\n1\nl\np\n45\nserver = ") + url + "\n");
        expectOptions({.serverGiven = true, .serverUsable = false, .interval = 45});
    }
}

// Before the sixth counted line every line is a positional setting, as it
// always was; comments and blanks still do not count.
TEST_F(SettingsFile, OptionLinesBeforeTheSixthArePositional) {
    // clang-format off
    runCases({
        {"talkers as the port", "talkers = any\n", {L"talkers = any", 4800, "", "", 30}},
        {"server as the login", "P\n1\nserver = http://x\n", {L"P", 1, "server = http://x", "", 30}},
        {"interval line is no option", "P\n1\nl\np\nstale-after = 5\n", {L"P", 1, "l", "p", 30}},
    });
    // clang-format on
    EXPECT_EQ(settings.staleAfterSeconds, 0);
    EXPECT_FALSE(settings.anyTalker);
    load("# c\n\nP\n1\nl\np\n45\ntalkers = any\n");
    EXPECT_TRUE(settings.anyTalker) << "comments and blanks counted as lines";
}
