// The settings file the Debian package installs as /etc/wayloom/settings.ini:
// it reads as its comments say, and every option line it shows commented out
// is a valid option once the user removes its "#".
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "settings/settings.hpp"

namespace {

std::string shippedFile() {
    std::ifstream file(WAYLOOM_TEST_DATA "/../../debian/settings.ini", std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool anyOptionSet() {
    return settings.server.given || settings.caFile[0] != '\0' || settings.anyTalker ||
           settings.unsignedPositions || settings.checksumsRequired || settings.staleAfterSeconds != 0 ||
           settings.source[0] != '\0' || settings.queueGiven || settings.queueLimit != defaultQueueLimit ||
           settings.reportDistanceMetres != 0 || settings.reportTurnDegrees != 0 ||
           settings.reportMinIntervalSeconds != 0 || settings.extendedFields;
}

}  // namespace

TEST(ShippedSettings, ReadAsItsCommentsSay) {
    const std::string bytes = shippedFile();
    ASSERT_FALSE(bytes.empty());
    resetSettings();
    loadSettingsFromBytes({bytes.data(), bytes.size()});
    EXPECT_EQ(std::wstring(settings.portName.data()), L"/dev/ttyUSB0");
    EXPECT_EQ(settings.baudRate, 4800);
    EXPECT_STREQ(settings.login.data(), "mylogin");
    EXPECT_STREQ(settings.password.data(), "mypassword");
    EXPECT_EQ(settings.reportInterval, 60);
    EXPECT_TRUE(settings.server.given && settings.server.usable);
    EXPECT_STREQ(settings.server.host.data(), "localhost");
    settings.server = {};  // the one option line in force; the rest stay at their defaults
    EXPECT_FALSE(anyOptionSet());
    resetSettings();
}

TEST(ShippedSettings, EveryCommentedOptionIsValid) {
    std::istringstream lines(shippedFile());
    int options = 0;
    for (std::string line; std::getline(lines, line);) {
        // "#name = value": a commented option, unlike the prose comments ("# ...").
        if (line.size() < 2 || line[0] != '#' || line[1] < 'a' || line[1] > 'z') continue;
        SCOPED_TRACE(line);
        const std::string text = line.substr(1);
        const std::wstring wide(text.begin(), text.end());
        resetSettings();
        EXPECT_TRUE(applyOptionLine(wide.c_str(), false));
        EXPECT_TRUE(anyOptionSet());
        EXPECT_TRUE(!settings.server.given || settings.server.usable);
        ++options;
    }
    EXPECT_GE(options, 7);
    resetSettings();
}
