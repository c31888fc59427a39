// Framing that passes on only sentences whose checksum is right, for
// "checksums = required".
//
// A sentence runs from its "$" through its "*" and is followed by two
// hexadecimal digits (either case), the exclusive-or of every character
// between the "$" and the "*". Only when both digits have arrived and match
// is the sentence handed on, as the plain framer hands it on: from "$"
// through "*", without the digits. A sentence without digits, with a wrong
// sum, with a zero byte, or longer than 255 characters is dropped, and so is
// the text of a sentence whose "$" was not seen. Sentences may be cut by the
// ends of chunks anywhere, also between the "*" and its digits.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "gps/framing.hpp"

struct CheckedFramer {
    std::array<char, sentenceCapacity> sentence;  // from "$" on, zero-terminated once complete
    std::size_t length;                           // 0: no sentence open
    unsigned sum;                                 // exclusive-or of the characters after "$"
    int digitsSeen;                               // checksum digits after "*": 0 to 2
    unsigned given;                               // their value so far
};

// Idle: no sentence open.
void resetCheckedFramer(CheckedFramer& framer);

// Frames the bytes of one chunk (all of them: a zero byte is a byte of the
// stream that no sentence may hold) and calls sink once per sentence whose
// checksum is right, in stream order.
void frameCheckedChunk(CheckedFramer& framer, std::span<const char> bytes, SentenceSink sink, void* context);

// The checksum of a sentence's text: the exclusive-or of its characters
// between the leading "$" and the "*" (or the end).
unsigned nmeaChecksum(std::string_view sentence);
