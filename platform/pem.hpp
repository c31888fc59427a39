// The certificates of a PEM file (a ca-file), read a line at a time into
// fixed buffers: the base64 between "-----BEGIN CERTIFICATE-----" and
// "-----END CERTIFICATE-----" gathered and decoded to DER, which the system's
// certificate store then takes. Portable, so that it is tested and fuzzed on
// Linux as well as used by the Windows TLS; nothing here allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// One line of a ca-file; a longer one is no part of a certificate.
constexpr std::size_t pemLineCapacity = 256;
// The base64 of one certificate; a larger one is refused (real ones are 1 to 3 KiB).
constexpr std::size_t pemCertificateCapacity = 16384;
constexpr std::size_t derCertificateCapacity = pemCertificateCapacity / 4 * 3;

// The reading of one file, from its first line to its last.
struct PemReader {
    std::array<char, pemCertificateCapacity> body;  // the base64 of the certificate being read
    std::size_t bodyLength = 0;
    bool inside = false;                                   // between a BEGIN and its END
    bool sound = true;                                     // every certificate so far fitted and decoded
    int count = 0;                                         // certificates read whole
    std::array<std::uint8_t, derCertificateCapacity> der;  // the certificate just ended
    std::size_t derLength = 0;
};

enum class PemLine : std::uint8_t {
    other,        // a line outside a certificate, or one of its body
    certificate,  // the END of a certificate, whose DER is in der and derLength
    damaged,      // a body too long or not base64: the file is not sound
};

// Takes one line (its line end, and spaces at its end, may be there).
PemLine takePemLine(PemReader& reader, std::string_view line);

// After the last line: the file held at least one certificate, and each was
// read whole.
bool pemFileSound(const PemReader& reader);

// Decodes base64 (with its "=" padding, no white space) into der; the bytes
// written, or false when text is not base64 or der is too small.
bool decodeBase64(std::string_view text, std::span<std::uint8_t> der, std::size_t& length);
