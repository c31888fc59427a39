// Arbitrary bytes through framing and dispatch, read in chunks whose sizes
// the input chooses: each chunk is two bytes of size (1 to 512) followed by
// its data, zero bytes included. Traps when a framed sentence breaks its
// bounds or holds a zero byte, the framer's carried text breaks its
// invariants, a decoded value is not finite, or the sentences from a "$" to
// their "*" differ from those of the same bytes framed one byte at a time. The
// same chunks then go through the checksum framing with every talker decoded
// (checksums = required, talkers = any), under the same checks.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "gps/checksum.hpp"
#include "gps/framing.hpp"
#include "gps/nmea.hpp"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool finite(std::span<const float> values) {
    for (float value : values) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

bool finite(std::span<const double> values) {
    for (double value : values) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

void requireFiniteState() {
    const GpsState& s = gpsState;
    require(finite(std::array{s.gga.latitude, s.gga.longitude, s.gll.latitude, s.gll.longitude,
                              s.rmc.latitude, s.rmc.longitude}));
    require(finite(std::array{s.gga.hdop, s.gga.geoidSeparation, s.gga.dgpsAge, s.gsa.pdop, s.gsa.hdop,
                              s.gsa.vdop, s.rmc.speed, s.rmc.course, s.rmc.magneticVariation}));
    require(finite(s.vtg.values));
    require(s.other.text.back() == '\0');
}

// A running hash of the sentences framed from a "$" through the first "*"
// after it: those alone must not depend on where the reads cut the stream (a
// "*" with no sentence open takes the chunk from its start).
struct Framed {
    SentenceFramer framer;
    std::uint64_t hash;
};

void hashSentence(std::string_view sentence, void* context) {
    auto& framed = *static_cast<Framed*>(context);
    require(sentence.data() == framed.framer.sentenceBuffer.data());
    require(!sentence.empty() && sentence.size() < sentenceCapacity);
    require(sentence.back() == '*' && sentence.data()[sentence.size()] == '\0');
    require(sentence.find('\0') == std::string_view::npos);
    if (sentence.front() != '$' || sentence.find('*') != sentence.size() - 1) return;
    for (const char c : sentence) framed.hash = (framed.hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
}

void dispatchChecked(std::string_view sentence, void* context) {
    hashSentence(sentence, context);
    dispatchSentence(sentence);
    requireFiniteState();
}

void requireCarriedSound(const SentenceFramer& framer) {
    require(!framer.inSentence && framer.carriedLength < sentenceCapacity);
    require(framer.carriedLength == 0 ||
            (framer.sentenceBuffer[0] == '$' && framer.sentenceBuffer[framer.carriedLength] == '\0'));
    require(std::string_view(framer.sentenceBuffer.data(), framer.carriedLength).find('\0') ==
            std::string_view::npos);
}

void dispatchWithChecksum(std::string_view sentence, void* context) {
    const auto& framer = *static_cast<const CheckedFramer*>(context);
    require(sentence.data() == framer.sentence.data());
    require(sentence.size() >= 2 && sentence.size() < sentenceCapacity);
    require(sentence.front() == '$' && sentence.back() == '*' && sentence.data()[sentence.size()] == '\0');
    require(sentence.find('\0') == std::string_view::npos);
    dispatchSentence(sentence);
    requireFiniteState();
}

void frameWithChecksums(const std::uint8_t* data, std::size_t size) {
    static CheckedFramer framer;
    resetCheckedFramer(framer);
    gpsState = GpsState{};
    decodingOptions = DecodingOptions{true, true, true, true};
    const auto* bytes = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0; at + 2 <= size;) {
        const std::size_t chunkSize = 1 + (data[at] | std::size_t{data[at + 1]} << 8) % chunkCapacity;
        at += 2;
        const std::size_t length = std::min(chunkSize, size - at);
        frameCheckedChunk(framer, std::span<const char>(bytes + at, length), dispatchWithChecksum, &framer);
        at += length;
        require(framer.length < sentenceCapacity);
    }
    decodingOptions = DecodingOptions{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Framed chunked;
    static Framed bytewise;
    resetFramer(chunked.framer);
    resetFramer(bytewise.framer);
    chunked.hash = bytewise.hash = 0xcbf29ce484222325;
    gpsState = GpsState{};
    const auto* bytes = reinterpret_cast<const char*>(data);
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t chunkSize = 1 + (data[at] | std::size_t{data[at + 1]} << 8) % chunkCapacity;
        at += 2;
        const std::size_t length = std::min(chunkSize, size - at);
        frameChunk(chunked.framer, std::span<const char>(bytes + at, length), dispatchChecked, &chunked);
        requireCarriedSound(chunked.framer);
        for (std::size_t i = at; i < at + length; ++i) {
            frameChunk(bytewise.framer, std::span<const char>(bytes + i, 1), hashSentence, &bytewise);
        }
        at += length;
    }
    require(chunked.hash == bytewise.hash);
    double latitude = 0, longitude = 0, speed = 0;
    int valid = 0;
    takePositionFix(&latitude, &longitude, &speed, &valid);
    require(std::isfinite(latitude) && std::isfinite(longitude) && std::isfinite(speed) &&
            (valid == 0 || valid == 1));
    frameWithChecksums(data, size);
    return 0;
}
