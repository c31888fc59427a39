// NMEA 0183 decoding and the GPS state.
//
// Divisions, in order:
//   1. The state and its lock.
//   2. Reading numbers: Integer, Number (decimal only) and Coordinate.
//   3. Field tables: for each record, which sentence field goes where and how.
//   4. The field scanner that every decoder runs over its table.
//   5. Dispatch, the seven decoders, the other-sentence store and the fix.
//
// A decoder copies its record, scans the sentence into the copy and stores
// the copy back under gpsStateLock, so the lock is taken once per sentence and
// a fix taken meanwhile sees either the old or the new value of each field.
#include "gps/nmea.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <span>
#include <system_error>

// ---- 1. The state and its lock ----

GpsState gpsState{};
std::mutex gpsStateLock;

namespace {

// The text up to its first zero byte: every sentence is a C string at heart.
std::string_view cutAtZero(std::string_view text) {
    const void* zero = std::memchr(text.data(), 0, text.size());
    if (zero == nullptr) return text;
    return text.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - text.data()));
}

// ---- 2. Reading numbers ----

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// White space as the C library's isspace sees it in the "C" locale.
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::size_t skipSpace(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    return i;
}

// Integer: optional white space and sign, then decimal digits, as strtol with
// base 10 reads them; no digits give 0. The value saturates at the signed
// 32-bit range, as strtol does where long has 32 bits.
std::int32_t readInteger(std::string_view text) {
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::size_t i = skipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), limit);
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(std::min(magnitude, limit - 1));
}

// The longest leading part of text that is a decimal number: optional white
// space and sign, digits with at most one point (at least one digit), and an
// optional exponent that has at least one digit. The part is returned without
// the white space and without a "+" sign, ready for std::from_chars, which
// would also accept "inf", "nan" and more; empty when there is no number.
std::string_view decimalPrefix(std::string_view text) {
    std::size_t i = skipSpace(text);
    std::size_t begin = i;
    if (i < text.size() && text[i] == '+') {
        begin = ++i;
    } else if (i < text.size() && text[i] == '-') {
        ++i;
    }
    std::size_t digits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) ++digits;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i) ++digits;
    }
    if (digits == 0) return {};
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) ++j;
            i = j;
        }
    }
    return text.substr(begin, i - begin);
}

// Number: the decimal number at the start of text, rounded to the nearest
// value of Float. No number, and a number beyond the range of Float (either
// way: 1e999, 1e-999), give 0, so the result is always finite.
template <typename Float>
Float readNumber(std::string_view text) {
    const std::string_view number = decimalPrefix(text);
    Float value = 0;
    if (number.empty()) return 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) return 0;
    return value;
}

// Number, truncated toward zero and saturated at the signed 32-bit range.
std::int32_t readTruncated(std::string_view text) {
    const double value = readNumber<double>(text);
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// The double nearest to 1/60: minutes times this are degrees.
constexpr double degreesPerMinute = 1.0 / 60.0;

// nmeaToDegrees on text already cut at its first zero byte. The digits before
// the point but the last two are whole degrees, the rest is minutes. Only the
// leading run of digits counts as "before the point", so a field that starts
// with anything else is read whole as minutes. At most 20 characters arrive
// from a field, but any length is safe: the degrees stay a finite double.
double degreesOf(std::string_view field) {
    std::size_t wholeDigits = 0;
    while (wholeDigits < field.size() && isDigit(field[wholeDigits])) ++wholeDigits;
    double degrees = 0.0;
    std::size_t minutesStart = 0;
    if (wholeDigits > 2) {
        minutesStart = wholeDigits - 2;
        for (std::size_t i = 0; i < minutesStart; ++i) degrees = degrees * 10.0 + (field[i] - '0');
    }
    return degrees + readNumber<double>(field.substr(minutesStart)) * degreesPerMinute;
}

// ---- 3. Field tables ----

// How a sentence field is turned into a record field.
enum class Conversion : std::uint8_t {
    identifier,   // the first six characters of field 0
    character,    // the first character; 0 for an empty field
    integer8,     // Integer, low eight bits
    integer32,    // Integer
    pair8,        // the two characters from `piece` on, as Integer, low eight bits
    pair32,       // the two characters from `piece` on, as Integer
    number32,     // Number, nearest float
    number64,     // Number, double
    truncated32,  // Number, truncated toward zero
    coordinate,   // ddmm.mmmm to decimal degrees
};

constexpr std::size_t storedSize(Conversion how) {
    switch (how) {
        case Conversion::identifier:
            return identifierLength;
        case Conversion::character:
        case Conversion::integer8:
        case Conversion::pair8:
            return 1;
        case Conversion::integer32:
        case Conversion::pair32:
        case Conversion::truncated32:
            return sizeof(std::int32_t);
        case Conversion::number32:
            return sizeof(float);
        case Conversion::number64:
        case Conversion::coordinate:
            return sizeof(double);
    }
    return 0;
}

// One row of a record table: sentence field number, conversion, and the byte
// offset of the destination inside the record.
struct FieldRule {
    std::uint8_t field;
    Conversion how;
    std::uint8_t piece;  // first character of a Pair
    std::uint16_t offset;
};

constexpr FieldRule rule(std::size_t field, Conversion how, std::size_t offset, std::size_t piece = 0) {
    return {static_cast<std::uint8_t>(field), how, static_cast<std::uint8_t>(piece),
            static_cast<std::uint16_t>(offset)};
}

// A table is sound when its rows come in field order, below the decoder's
// field limit, and every destination lies inside the record.
template <typename Record, std::size_t count>
constexpr bool tableFits(const std::array<FieldRule, count>& rules, std::size_t fieldLimit) {
    for (std::size_t i = 0; i < count; ++i) {
        if (rules[i].field >= fieldLimit) return false;
        if (i > 0 && rules[i].field < rules[i - 1].field) return false;
        if (rules[i].offset + storedSize(rules[i].how) > sizeof(Record)) return false;
    }
    return true;
}

using C = Conversion;

// $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*
constexpr std::size_t ggaFieldLimit = 15;
constexpr std::array ggaRules = {
    rule(0, C::identifier, offsetof(GgaRecord, id)),
    rule(1, C::pair32, offsetof(GgaRecord, hour), 0),
    rule(1, C::pair32, offsetof(GgaRecord, minute), 2),
    rule(1, C::pair32, offsetof(GgaRecord, second), 4),
    rule(2, C::coordinate, offsetof(GgaRecord, latitude)),
    rule(3, C::character, offsetof(GgaRecord, latitudeHemisphere)),
    rule(4, C::coordinate, offsetof(GgaRecord, longitude)),
    rule(5, C::character, offsetof(GgaRecord, longitudeHemisphere)),
    rule(6, C::character, offsetof(GgaRecord, fixQuality)),
    rule(7, C::integer8, offsetof(GgaRecord, satellitesUsed)),
    rule(8, C::number32, offsetof(GgaRecord, hdop)),
    rule(9, C::integer32, offsetof(GgaRecord, altitude)),
    rule(10, C::character, offsetof(GgaRecord, altitudeUnit)),
    rule(11, C::number32, offsetof(GgaRecord, geoidSeparation)),
    rule(12, C::character, offsetof(GgaRecord, geoidSeparationUnit)),
    rule(13, C::number32, offsetof(GgaRecord, dgpsAge)),
    rule(14, C::truncated32, offsetof(GgaRecord, dgpsStationId)),
};
static_assert(tableFits<GgaRecord>(ggaRules, ggaFieldLimit));

// $GPGLL,4916.45,N,12311.12,W,225444,A*
constexpr std::size_t gllFieldLimit = 7;
constexpr std::array gllRules = {
    rule(0, C::identifier, offsetof(GllRecord, id)),
    rule(1, C::number64, offsetof(GllRecord, latitude)),
    rule(2, C::character, offsetof(GllRecord, latitudeHemisphere)),
    rule(3, C::number64, offsetof(GllRecord, longitude)),
    rule(4, C::character, offsetof(GllRecord, longitudeHemisphere)),
    rule(5, C::pair8, offsetof(GllRecord, hour), 0),
    rule(5, C::pair8, offsetof(GllRecord, minute), 2),
    rule(5, C::pair8, offsetof(GllRecord, second), 4),
    rule(6, C::character, offsetof(GllRecord, status)),
};
static_assert(tableFits<GllRecord>(gllRules, gllFieldLimit));

// $GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*
// Field 3 + k is satellite entry k.
constexpr std::size_t gsaFieldLimit = 18;
constexpr auto gsaRules = [] {
    std::array<FieldRule, 3 + 12 + 3> rules{};
    std::size_t r = 0;
    rules[r++] = rule(0, C::identifier, offsetof(GsaRecord, id));
    rules[r++] = rule(1, C::character, offsetof(GsaRecord, mode));
    rules[r++] = rule(2, C::character, offsetof(GsaRecord, fixType));
    for (std::size_t k = 0; k < 12; ++k) {
        rules[r++] = rule(3 + k, C::integer8, offsetof(GsaRecord, satellites) + k * sizeof(std::uint8_t));
    }
    rules[r++] = rule(15, C::number32, offsetof(GsaRecord, pdop));
    rules[r++] = rule(16, C::number32, offsetof(GsaRecord, hdop));
    rules[r++] = rule(17, C::number32, offsetof(GsaRecord, vdop));
    return rules;
}();
static_assert(tableFits<GsaRecord>(gsaRules, gsaFieldLimit));

// $GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00*
// The message count (field 1) and number (field 2) keep only their first
// character; fields 4 + 4k to 7 + 4k are satellite entry k.
constexpr std::size_t gsvFieldLimit = 20;
constexpr auto gsvRules = [] {
    std::array<FieldRule, 4 + 4 * 4> rules{};
    std::size_t r = 0;
    rules[r++] = rule(0, C::identifier, offsetof(GsvRecord, id));
    rules[r++] = rule(1, C::character, offsetof(GsvRecord, messageCount));
    rules[r++] = rule(2, C::character, offsetof(GsvRecord, messageNumber));
    rules[r++] = rule(3, C::integer8, offsetof(GsvRecord, satellitesInView));
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t entry = offsetof(GsvRecord, satellites) + k * sizeof(GsvSatellite);
        rules[r++] = rule(4 + 4 * k, C::integer8, entry + offsetof(GsvSatellite, prn));
        rules[r++] = rule(5 + 4 * k, C::integer8, entry + offsetof(GsvSatellite, elevation));
        rules[r++] = rule(6 + 4 * k, C::integer32, entry + offsetof(GsvSatellite, azimuth));
        rules[r++] = rule(7 + 4 * k, C::integer8, entry + offsetof(GsvSatellite, snr));
    }
    return rules;
}();
static_assert(tableFits<GsvRecord>(gsvRules, gsvFieldLimit));

// $GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*
constexpr std::size_t rmcFieldLimit = 12;
constexpr std::array rmcRules = {
    rule(0, C::identifier, offsetof(RmcRecord, id)),
    rule(1, C::pair8, offsetof(RmcRecord, hour), 0),
    rule(1, C::pair8, offsetof(RmcRecord, minute), 2),
    rule(1, C::pair8, offsetof(RmcRecord, second), 4),
    rule(2, C::character, offsetof(RmcRecord, status)),
    rule(3, C::coordinate, offsetof(RmcRecord, latitude)),
    rule(4, C::character, offsetof(RmcRecord, latitudeHemisphere)),
    rule(5, C::coordinate, offsetof(RmcRecord, longitude)),
    rule(6, C::character, offsetof(RmcRecord, longitudeHemisphere)),
    rule(7, C::number32, offsetof(RmcRecord, speed)),
    rule(8, C::number32, offsetof(RmcRecord, course)),
    rule(9, C::pair8, offsetof(RmcRecord, day), 0),
    rule(9, C::pair8, offsetof(RmcRecord, month), 2),
    rule(9, C::pair8, offsetof(RmcRecord, year), 4),
    rule(10, C::number32, offsetof(RmcRecord, magneticVariation)),
    rule(11, C::character, offsetof(RmcRecord, magneticVariationDirection)),
};
static_assert(tableFits<RmcRecord>(rmcRules, rmcFieldLimit));

// $GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*
// Fields 1 to 4 are read as numbers whatever they hold: the reference letters
// T and M read as 0.0.
constexpr std::size_t vtgFieldLimit = 7;
constexpr auto vtgRules = [] {
    std::array<FieldRule, 1 + 4> rules{};
    rules[0] = rule(0, C::identifier, offsetof(VtgRecord, id));
    for (std::size_t k = 0; k < 4; ++k) {
        rules[1 + k] = rule(1 + k, C::number32, offsetof(VtgRecord, values) + k * sizeof(float));
    }
    return rules;
}();
static_assert(tableFits<VtgRecord>(vtgRules, vtgFieldLimit));

// $GPZDA,201530.00,04,07,2002,00,00*
constexpr std::size_t zdaFieldLimit = 12;
constexpr std::array zdaRules = {
    rule(0, C::identifier, offsetof(ZdaRecord, id)),
    rule(1, C::pair8, offsetof(ZdaRecord, hour), 0),
    rule(1, C::pair8, offsetof(ZdaRecord, minute), 2),
    rule(1, C::pair8, offsetof(ZdaRecord, second), 4),
    rule(2, C::integer8, offsetof(ZdaRecord, day)),
    rule(3, C::integer8, offsetof(ZdaRecord, month)),
    rule(4, C::integer32, offsetof(ZdaRecord, year)),
    rule(5, C::integer8, offsetof(ZdaRecord, zoneHours)),
    rule(6, C::integer8, offsetof(ZdaRecord, zoneMinutes)),
};
static_assert(tableFits<ZdaRecord>(zdaRules, zdaFieldLimit));

// ---- 4. The field scanner ----

// fieldLength on text that holds no zero byte.
std::size_t lengthOfField(std::string_view text) {
    const std::size_t limit = std::min(text.size(), maxFieldLength);
    std::size_t length = 0;
    while (length < limit && text[length] != ',' && text[length] != '*') ++length;
    return length;
}

template <typename Value>
void storeAt(unsigned char* destination, Value value) {
    std::memcpy(destination, &value, sizeof value);
}

// A Pair: the two characters of the field from `piece` on, as far as the
// field reaches.
std::string_view pairPiece(std::string_view field, std::size_t piece) {
    return field.substr(std::min(piece, field.size()), 2);
}

// Converts one field as its row says and stores it into the record's bytes.
void convertField(std::string_view field, const FieldRule& row, unsigned char* record) {
    unsigned char* destination = record + row.offset;
    switch (row.how) {
        case C::identifier: {
            Identifier id{};
            std::copy_n(field.begin(), std::min(field.size(), id.size()), id.begin());
            storeAt(destination, id);
            break;
        }
        case C::character:
            storeAt(destination, field.empty() ? '\0' : field[0]);
            break;
        case C::integer8:
            storeAt(destination, static_cast<std::uint8_t>(readInteger(field)));
            break;
        case C::integer32:
            storeAt(destination, readInteger(field));
            break;
        case C::pair8:
            storeAt(destination, static_cast<std::uint8_t>(readInteger(pairPiece(field, row.piece))));
            break;
        case C::pair32:
            storeAt(destination, readInteger(pairPiece(field, row.piece)));
            break;
        case C::number32:
            storeAt(destination, readNumber<float>(field));
            break;
        case C::number64:
            storeAt(destination, readNumber<double>(field));
            break;
        case C::truncated32:
            storeAt(destination, readTruncated(field));
            break;
        case C::coordinate:
            storeAt(destination, degreesOf(field));
            break;
    }
}

// Runs over the fields of a sentence (cut at its first zero byte), numbering
// them from 0, and converts those that have rows. A field is at most 20
// characters; the character after it (its delimiter, or the 21st of a longer
// field) is dropped, and a "*" there or the end of the text ends the
// sentence. Fields from fieldLimit on, and past the last row, are not read.
void scanFields(std::string_view sentence, std::span<const FieldRule> rules, std::size_t fieldLimit,
                unsigned char* record) {
    std::size_t start = 0;
    std::size_t next = 0;
    for (std::size_t field = 0; field < fieldLimit && next < rules.size(); ++field) {
        const std::string_view text = sentence.substr(start, lengthOfField(sentence.substr(start)));
        for (; next < rules.size() && rules[next].field == field; ++next)
            convertField(text, rules[next], record);
        const std::size_t after = start + text.size();
        if (after >= sentence.size() || sentence[after] == '*') return;
        start = after + 1;
    }
}

// Decodes into a copy of the stored record, then stores the copy whole. The
// reader thread is the only writer, so reading the stored record needs no lock.
template <typename Record, std::size_t count>
void decodeInto(std::string_view sentence, Record& stored, const std::array<FieldRule, count>& rules,
                std::size_t fieldLimit) {
    Record record = stored;
    scanFields(sentence, rules, fieldLimit, reinterpret_cast<unsigned char*>(&record));
    const std::lock_guard lock(gpsStateLock);
    stored = record;
}

// ---- 5. Dispatch, decoders, other sentences and the fix ----

// The decoders on text already cut at its first zero byte.
void decodeGgaText(std::string_view s) {
    decodeInto(s, gpsState.gga, ggaRules, ggaFieldLimit);
}
void decodeGllText(std::string_view s) {
    decodeInto(s, gpsState.gll, gllRules, gllFieldLimit);
}
void decodeGsaText(std::string_view s) {
    decodeInto(s, gpsState.gsa, gsaRules, gsaFieldLimit);
}
void decodeGsvText(std::string_view s) {
    decodeInto(s, gpsState.gsv, gsvRules, gsvFieldLimit);
}
void decodeRmcText(std::string_view s) {
    decodeInto(s, gpsState.rmc, rmcRules, rmcFieldLimit);
}
void decodeVtgText(std::string_view s) {
    decodeInto(s, gpsState.vtg, vtgRules, vtgFieldLimit);
}
void decodeZdaText(std::string_view s) {
    decodeInto(s, gpsState.zda, zdaRules, zdaFieldLimit);
}

void storeOtherText(std::string_view sentence) {
    const std::size_t length = std::min(sentence.size(), otherSentenceCapacity - 1);
    const std::lock_guard lock(gpsStateLock);
    char* text = gpsState.other.text.data();
    std::memcpy(text, sentence.data(), length);
    std::memset(text + length, 0, otherSentenceCapacity - length);
}

struct SentenceDecoder {
    std::string_view identifier;
    void (*decode)(std::string_view sentence);
};

// In the order of SentenceType, which is the order of comparison.
constexpr std::array<SentenceDecoder, 7> sentenceDecoders = {{
    {"$GPGGA", decodeGgaText},
    {"$GPGLL", decodeGllText},
    {"$GPGSA", decodeGsaText},
    {"$GPGSV", decodeGsvText},
    {"$GPRMC", decodeRmcText},
    {"$GPVTG", decodeVtgText},
    {"$GPZDA", decodeZdaText},
}};

SentenceType typeOfText(std::string_view sentence) {
    const std::string_view identifier = sentence.substr(0, identifierLength);
    for (std::size_t i = 0; i < sentenceDecoders.size(); ++i) {
        if (identifier == sentenceDecoders[i].identifier) return static_cast<SentenceType>(i);
    }
    return SentenceType::other;
}

}  // namespace

SentenceType sentenceType(std::string_view sentence) {
    return typeOfText(cutAtZero(sentence));
}

void dispatchSentence(std::string_view sentence) {
    sentence = cutAtZero(sentence);
    const SentenceType type = typeOfText(sentence);
    if (type == SentenceType::other) {
        storeOtherText(sentence);
    } else {
        sentenceDecoders[static_cast<std::size_t>(type)].decode(sentence);
    }
}

void takePositionFix(double* latitude, double* longitude, double* speed, int* valid) {
    if (latitude == nullptr && longitude == nullptr && speed == nullptr && valid == nullptr) return;
    PositionFix fix{};
    {
        const std::lock_guard lock(gpsStateLock);
        fix.latitude = gpsState.gga.latitude;
        fix.longitude = gpsState.gga.longitude;
        fix.speed = gpsState.rmc.speed;
        fix.valid = gpsState.rmc.status == 'A' ? 1 : 0;
    }
    if (latitude != nullptr) *latitude = fix.latitude;
    if (longitude != nullptr) *longitude = fix.longitude;
    if (speed != nullptr) *speed = fix.speed;
    if (valid != nullptr) *valid = fix.valid;
}

std::size_t fieldLength(std::string_view text) {
    return lengthOfField(cutAtZero(text));
}

double nmeaToDegrees(std::string_view field) {
    return degreesOf(cutAtZero(field));
}

void decodeGga(std::string_view sentence) {
    decodeGgaText(cutAtZero(sentence));
}
void decodeGll(std::string_view sentence) {
    decodeGllText(cutAtZero(sentence));
}
void decodeGsa(std::string_view sentence) {
    decodeGsaText(cutAtZero(sentence));
}
void decodeGsv(std::string_view sentence) {
    decodeGsvText(cutAtZero(sentence));
}
void decodeRmc(std::string_view sentence) {
    decodeRmcText(cutAtZero(sentence));
}
void decodeVtg(std::string_view sentence) {
    decodeVtgText(cutAtZero(sentence));
}
void decodeZda(std::string_view sentence) {
    decodeZdaText(cutAtZero(sentence));
}
void storeOtherSentence(std::string_view sentence) {
    storeOtherText(cutAtZero(sentence));
}
