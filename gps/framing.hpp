// Framing of NMEA sentences out of a byte stream read in chunks.
//
// A sentence runs from its "$" through its "*"; the checksum behind the "*",
// line ends and any other bytes between sentences play no part. A zero byte
// is never part of a sentence: the sentence it falls in is dropped, and
// framing goes on at the next "$". A sentence cut by the end of a chunk is carried
// into the next chunk, and continued by every later chunk until its "*"; a
// text that would exceed 255 characters is dropped, together with everything
// up to the next "$". The framer holds no thread and no port: the reader
// thread and the decoder tool feed it the chunks they read.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

constexpr std::size_t chunkCapacity = 512;     // one read of the serial port
constexpr std::size_t sentenceCapacity = 256;  // 255 characters and a terminator

// Receives each framed sentence: the text from "$" (normally) through "*",
// zero-terminated in the framer's buffer and valid during the call only.
using SentenceSink = void (*)(std::string_view sentence, void* context);

struct SentenceFramer {
    std::array<char, sentenceCapacity> sentenceBuffer;
    bool inSentence;            // a "$" was seen in the current chunk, its "*" not yet
    std::size_t sentenceStart;  // index of that "$" in the current chunk
    std::size_t carriedLength;  // unfinished sentence carried from earlier chunks; 0 for none
    bool discarding;  // a text was dropped (over-long, or a zero byte); bytes are ignored until the next "$"
};

// Idle: nothing carried.
void resetFramer(SentenceFramer& framer);

// Frames one chunk: exactly the bytes that were read, at most chunkCapacity
// (any further bytes are not looked at). Calls sink once per completed
// sentence of at most 255 characters, in stream order.
void frameChunk(SentenceFramer& framer, std::span<const char> chunk, SentenceSink sink, void* context);
