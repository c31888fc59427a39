// The ca-file's PEM reader: base64 as encoders write it, and whole files
// taken a line at a time as the Windows TLS reads them.
#include "platform/pem.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

TEST(Base64, DecodesWhatEncodersWriteAndNothingElse) {
    struct Case {
        const char* text;
        bool decoded;
        std::string bytes;
    };
    const Case cases[] = {
        {"", true, ""},
        {"TWFu", true, "Man"},
        {"TWE=", true, "Ma"},
        {"TQ==", true, "M"},
        {"//79", true, "\xff\xfe\xfd"},
        {"TQ=", false, ""},
        {"TW=u", false, ""},
        {"T===", false, ""},
        {"TR==", false, ""},
        {"TWF=", false, ""},
        {"TWFu\n", false, ""},
        {"TW u", false, ""},
        {"TWF-", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::array<std::uint8_t, 8> der{};
        std::size_t length = 99;
        ASSERT_EQ(decodeBase64(c.text, der, length), c.decoded);
        if (c.decoded) {
            EXPECT_EQ(std::string(der.begin(), der.begin() + static_cast<long>(length)), c.bytes);
        }
    }
    std::array<std::uint8_t, 2> small{};
    std::size_t length = 0;
    EXPECT_FALSE(decodeBase64("TWFu", small, length)) << "three bytes into two";
}

TEST(PemFile, CertificatesReadLineByLine) {
    const std::string longBody = std::string(pemCertificateCapacity, 'A') + "AAAA";
    struct Case {
        const char* name;
        std::string file;
        bool sound;
        std::vector<std::string> certificates;
    };
    const Case cases[] = {
        {"one, CRLF and trailing spaces, text around",
         "Issuer: test\r\n-----BEGIN CERTIFICATE-----\r\nTWFu\r\nTWE= \r\n-----END CERTIFICATE-----\r\nbye\n",
         true,
         {"ManMa"}},
        {"two",
         "-----BEGIN CERTIFICATE-----\nTQ==\n-----END CERTIFICATE-----\n"
         "-----BEGIN CERTIFICATE-----\nTWFu\n-----END CERTIFICATE-----",
         true,
         {"M", "Man"}},
        {"none", "just text\n-----END CERTIFICATE-----\n", false, {}},
        {"no end", "-----BEGIN CERTIFICATE-----\nTWFu\n", false, {}},
        {"not base64", "-----BEGIN CERTIFICATE-----\nTW*u\n-----END CERTIFICATE-----\n", false, {}},
        {"empty body", "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n", false, {}},
        {"too long", "-----BEGIN CERTIFICATE-----\n" + longBody + "\n-----END CERTIFICATE-----\n", false, {}},
        {"a good one, then a damaged one",
         "-----BEGIN CERTIFICATE-----\nTWFu\n-----END CERTIFICATE-----\n"
         "-----BEGIN CERTIFICATE-----\nTWF\n-----END CERTIFICATE-----\n",
         false,
         {"Man"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        static PemReader reader;
        reader = PemReader{};
        std::vector<std::string> read;
        std::istringstream lines(c.file);
        for (std::string line; std::getline(lines, line);) {
            // Lines as fgets gives them, at most pemLineCapacity - 1 bytes each.
            for (std::size_t at = 0; at <= line.size(); at += pemLineCapacity - 1) {
                const std::string piece = line.substr(at, pemLineCapacity - 1);
                if (takePemLine(reader, piece + (at + pemLineCapacity - 1 > line.size() ? "\n" : "")) ==
                    PemLine::certificate)
                    read.emplace_back(reader.der.begin(),
                                      reader.der.begin() + static_cast<long>(reader.derLength));
            }
        }
        EXPECT_EQ(pemFileSound(reader), c.sound);
        EXPECT_EQ(read, c.certificates);
    }
}
