// Framing of NMEA sentences out of a byte stream read in chunks.
//
// Between bytes the framer is in one of four states:
//   Idle         nothing carried, no sentence open;
//   In sentence  a "$" at sentenceStart of the current chunk, its "*" not yet seen;
//   Carrying     the start of a sentence (from its "$") kept from earlier chunks;
//   Discarding   a text was dropped; bytes are dropped until the next "$".
//
//   state        "$" at i             "*" at i                          zero byte    end of data
//   Idle         In sentence from i   emit chunk bytes z..i; Idle       Discarding   Idle
//   Carrying     In sentence from i   emit carried + bytes 0..i; Idle   Discarding   Carrying, chunk appended
//   In sentence  In sentence from i   emit bytes s..i; Idle             Discarding   Carrying bytes s..end
//   Discarding   In sentence from i   Discarding                        Discarding   Discarding
//
// where z is 0, or the position after the chunk's last zero byte before i.
//
// A chunk is exactly the bytes that were read. A zero byte (some receivers and
// adapters send them at power-up or between bursts) never ends the data: the
// sentence it falls in is dropped, as a line that lost a byte, and the next
// "$" starts afresh, so what follows a zero is framed the same whatever the
// reads' sizes.
//
// A text that would exceed 255 characters (one sentence, a carried text, or a
// carried text with the bytes that complete or continue it) is never written
// to sentenceBuffer: it is dropped and the framer discards until the next "$",
// so the tail of the lost sentence is never handed on as a sentence of its
// own. Appending a chunk that holds neither "$" nor "*" to the carried text
// keeps sentences whole when the port returns only a few bytes per read.
#include "gps/framing.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t maxSentenceLength = sentenceCapacity - 1;

// Drops the text being assembled: nothing is carried and bytes are ignored
// until the next "$".
void startDiscarding(SentenceFramer& framer) {
    framer.carriedLength = 0;
    framer.sentenceBuffer[0] = '\0';
    framer.discarding = true;
}

// Puts bytes behind the carried text and terminates the whole. Returns false,
// and writes nothing, when the whole would exceed 255 characters.
bool appendToBuffer(SentenceFramer& framer, std::span<const char> bytes) {
    const std::size_t length = framer.carriedLength + bytes.size();
    if (length > maxSentenceLength) return false;
    std::memcpy(framer.sentenceBuffer.data() + framer.carriedLength, bytes.data(), bytes.size());
    framer.sentenceBuffer[length] = '\0';
    framer.carriedLength = length;
    return true;
}

// The carried text (possibly none) followed by bytes, through their "*", is a
// complete sentence: hand it to the sink, or drop it when it is over-long.
// Either way nothing is carried afterwards.
void completeSentence(SentenceFramer& framer, std::span<const char> bytes, SentenceSink sink, void* context) {
    if (!appendToBuffer(framer, bytes)) {
        startDiscarding(framer);
        return;
    }
    const std::size_t length = framer.carriedLength;
    framer.carriedLength = 0;
    sink(std::string_view(framer.sentenceBuffer.data(), length), context);
}

// End of the chunk's data: keep what belongs to an unfinished sentence.
void carryToNextChunk(SentenceFramer& framer, std::span<const char> data) {
    if (framer.inSentence) {
        framer.inSentence = false;
        framer.carriedLength = 0;
        if (!appendToBuffer(framer, data.subspan(framer.sentenceStart))) startDiscarding(framer);
    } else if (framer.carriedLength > 0) {
        // A chunk with neither "$" nor "*" continues the carried sentence.
        if (!appendToBuffer(framer, data)) startDiscarding(framer);
    }
}

// Position of the first "$", "*" or zero byte at or after from, or data.size(). Eight
// bytes are tested at a time where eight remain: a byte that matches gets its
// high bit set, and the lowest such byte is exact (borrows only run upward).
std::size_t nextMarker(std::span<const char> data, std::size_t from) {
    constexpr std::uint64_t everyByte = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    const auto zeroBytes = [](std::uint64_t word) { return (word - everyByte) & ~word & highBits; };
    std::size_t i = from;
    for (; i + sizeof(std::uint64_t) <= data.size(); i += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, data.data() + i, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        const std::uint64_t markers =
            zeroBytes(word ^ (everyByte * '$')) | zeroBytes(word ^ (everyByte * '*')) | zeroBytes(word);
        if (markers != 0) return i + static_cast<std::size_t>(std::countr_zero(markers)) / 8;
    }
    while (i < data.size() && data[i] != '$' && data[i] != '*' && data[i] != '\0') ++i;
    return i;
}

}  // namespace

void resetFramer(SentenceFramer& framer) {
    framer.sentenceBuffer[0] = '\0';
    framer.inSentence = false;
    framer.sentenceStart = 0;
    framer.carriedLength = 0;
    framer.discarding = false;
}

void frameChunk(SentenceFramer& framer, std::span<const char> chunk, SentenceSink sink, void* context) {
    const std::span<const char> data = chunk.first(std::min(chunk.size(), chunkCapacity));

    framer.inSentence = false;
    const char* bytes = data.data();
    std::size_t textStart = 0;  // where a "*" with nothing open takes its text from
    for (std::size_t i = nextMarker(data, 0); i < data.size(); i = nextMarker(data, i + 1)) {
        if (bytes[i] == '$') {
            // A new sentence; an unfinished or discarded one before it is lost.
            framer.inSentence = true;
            framer.sentenceStart = i;
            framer.carriedLength = 0;
            framer.discarding = false;
        } else if (bytes[i] == '\0') {
            // Never part of a sentence: the one it falls in is lost.
            framer.inSentence = false;
            textStart = i + 1;
            startDiscarding(framer);
        } else if (framer.inSentence) {
            framer.inSentence = false;
            completeSentence(framer, data.subspan(framer.sentenceStart, i - framer.sentenceStart + 1), sink,
                             context);
        } else if (!framer.discarding) {
            // The carried text, or with nothing carried the chunk from its
            // start (or last zero byte): the receiver was already sending
            // when reading began.
            completeSentence(framer, data.subspan(textStart, i + 1 - textStart), sink, context);
        }
    }
    carryToNextChunk(framer, data);
}
