// Checksum framing: a small state machine over single bytes.
//
//   state                    "$"              "*"                 hex digit          other byte
//   idle (length 0)          open             -                   -                  -
//   open (digitsSeen 0,      open afresh      digits expected     added to the sum   added; a zero
//         before "*")                                                                 byte drops
//   digits expected          open afresh      dropped             counted; the       dropped
//                                                                 second decides
//
// The receiver's rate is a few hundred bytes a second, so a byte at a time
// costs nothing here.
#include "gps/checksum.hpp"

#include <string_view>

namespace {

constexpr std::size_t maxSentenceLength = sentenceCapacity - 1;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void openSentence(CheckedFramer& framer) {
    framer.sentence[0] = '$';
    framer.length = 1;
    framer.sum = 0;
    framer.digitsSeen = 0;
    framer.given = 0;
}

bool awaitingDigits(const CheckedFramer& framer) {
    return framer.length > 0 && framer.sentence[framer.length - 1] == '*';
}

void takeDigit(CheckedFramer& framer, char c, SentenceSink sink, void* context) {
    const int value = hexValue(c);
    if (value < 0) {
        framer.length = 0;
        return;
    }
    framer.given = framer.given * 16 + static_cast<unsigned>(value);
    if (++framer.digitsSeen < 2) return;
    const std::size_t length = framer.length;
    framer.length = 0;
    if (framer.given != framer.sum) return;
    framer.sentence[length] = '\0';
    sink(std::string_view(framer.sentence.data(), length), context);
}

}  // namespace

void resetCheckedFramer(CheckedFramer& framer) {
    framer.length = 0;
    framer.sum = 0;
    framer.digitsSeen = 0;
    framer.given = 0;
}

void frameCheckedChunk(CheckedFramer& framer, std::span<const char> bytes, SentenceSink sink, void* context) {
    for (const char c : bytes) {
        if (c == '$') {
            openSentence(framer);
        } else if (framer.length == 0) {
            continue;
        } else if (awaitingDigits(framer)) {
            takeDigit(framer, c, sink, context);
        } else if (c == '\0' || framer.length == maxSentenceLength) {
            framer.length = 0;
        } else {
            framer.sentence[framer.length++] = c;
            if (c != '*') framer.sum ^= static_cast<unsigned char>(c);
        }
    }
}

unsigned nmeaChecksum(std::string_view sentence) {
    if (!sentence.empty() && sentence.front() == '$') sentence.remove_prefix(1);
    unsigned sum = 0;
    for (const char c : sentence) {
        if (c == '*') break;
        sum ^= static_cast<unsigned char>(c);
    }
    return sum;
}
