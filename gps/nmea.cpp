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
#include <bit>
#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>
#include <span>
#include <system_error>

// ---- 1. The state and its lock ----

GpsState gpsState{};
std::mutex gpsStateLock;
DecodingOptions decodingOptions{};
GpsRenewals gpsRenewals{};
GpsDays gpsDays{};

std::int64_t monotonicMilliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::max<std::int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

namespace {

// The text up to its first zero byte: every sentence is a C string at heart.
std::string_view cutAtZero(std::string_view text) {
    const void* zero = std::memchr(text.data(), 0, text.size());
    if (zero == nullptr) return text;
    return text.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - text.data()));
}

// ---- 2. Reading numbers ----
//
// Each reader takes the characters from begin, never reads at or past end,
// and returns its value and where it stopped: at the first character its form
// does not take. No form takes ",", "*" or the zero byte, so a reader given
// the rest of a sentence stops at the end of its field at the latest; the
// scanner then needs to look only at what the reader left.

template <typename Value>
struct Reading {
    Value value;
    const char* stop;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// White space as the C library's isspace sees it in the "C" locale.
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Adds the digits from c on to value (value × 10 + digit each) and returns
// the first character that is not a digit. With more than 19 digits in all
// the value wraps and is not used.
const char* accumulateDigits(const char* c, const char* end, std::uint64_t& value) {
    for (; c != end; ++c) {
        const unsigned digit = static_cast<unsigned char>(*c) - unsigned{'0'};
        if (digit > 9) break;
        value = value * 10 + digit;
    }
    return c;
}

// Integer: optional white space and sign, then decimal digits, as strtol with
// base 10 reads them; no digits give 0. The value saturates at the signed
// 32-bit range, as strtol does where long has 32 bits.
[[gnu::always_inline]] inline Reading<std::int32_t> readInteger(const char* begin, const char* end) {
    constexpr std::uint64_t limit = std::uint64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    constexpr std::ptrdiff_t maxDigits = 10;  // more always exceed the limit
    const char* c = begin;
    bool negative = false;
    if (c != end && !isDigit(*c)) {  // rare: white space or a sign first
        while (c != end && isSpace(*c)) ++c;
        if (c != end && (*c == '+' || *c == '-')) negative = *c++ == '-';
    }
    const char* const digits = c;
    std::uint64_t magnitude = 0;  // wraps only beyond 19 significant digits, which saturate anyway
    c = accumulateDigits(c, end, magnitude);
    if (c == digits) return {0, begin};
    if (c - digits > maxDigits) {
        // Leading zeros add nothing and do not count toward the limit.
        const char* significant = digits;
        while (significant != c && *significant == '0') ++significant;
        if (c - significant > maxDigits) magnitude = limit;
    }
    if (negative)
        return {static_cast<std::int32_t>(-static_cast<std::int64_t>(std::min(magnitude, limit))), c};
    return {static_cast<std::int32_t>(std::min(magnitude, limit - 1)), c};
}

// The longest leading part of the text that is a decimal number: optional
// white space and sign, digits with at most one point (at least one digit),
// and an optional exponent that has at least one digit. `text` is that part
// without the white space and without a "+" sign, ready for std::from_chars
// (which would also accept "inf", "nan" and more); empty when there is no
// number. With at most 19 digits the value is also held exactly as
// mantissa × 10^exponent.
struct DecimalNumber {
    std::string_view text;
    std::uint64_t mantissa;
    int exponent;
    bool negative;
    bool exact;  // mantissa and exponent hold the whole value
};

constexpr std::size_t maxExactDigits = 19;  // 10^19 - 1 < 2^64
constexpr int exponentCap = 100'000;        // far beyond any finite double

DecimalNumber scanDecimal(const char* begin, const char* end) {
    DecimalNumber number{};
    const char* c = begin;
    while (c != end && isSpace(*c)) ++c;
    const char* start = c;
    if (c != end && (*c == '+' || *c == '-')) {
        number.negative = *c == '-';
        if (!number.negative) start = c + 1;
        ++c;
    }
    const char* const integerDigits = c;
    c = accumulateDigits(c, end, number.mantissa);
    std::ptrdiff_t digits = c - integerDigits;
    std::ptrdiff_t fractionDigits = 0;
    if (c != end && *c == '.') {
        const char* const fraction = ++c;
        c = accumulateDigits(c, end, number.mantissa);
        fractionDigits = c - fraction;
        digits += fractionDigits;
    }
    if (digits == 0) return {};
    int exponent = 0;
    if (c != end && (*c == 'e' || *c == 'E')) {
        const char* e = c + 1;
        const bool negativeExponent = e != end && *e == '-';
        if (e != end && (*e == '+' || *e == '-')) ++e;
        if (e != end && isDigit(*e)) {
            for (; e != end && isDigit(*e); ++e) exponent = std::min(exponent * 10 + (*e - '0'), exponentCap);
            if (negativeExponent) exponent = -exponent;
            c = e;
        }
    }
    number.text = std::string_view(start, static_cast<std::size_t>(c - start));
    number.exact = digits <= static_cast<std::ptrdiff_t>(maxExactDigits);
    number.exponent = number.exact ? exponent - static_cast<int>(fractionDigits) : 0;
    return number;
}

// Exact powers of ten: 10^22 is the largest that a double holds exactly, 10^10
// the largest for a float.
constexpr std::array<double, 23> doublePowersOfTen = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::array<float, 11> floatPowersOfTen = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                    1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// Number: the decimal number at the start of the text as the nearest Float.
// When the mantissa and the power of ten are both exact in Float, one
// multiplication or division rounds correctly (Clinger's fast path), which
// covers what receivers send; the rest goes to std::from_chars. No number,
// and a number beyond the range of Float (1e999, 1e-999), give 0, so the
// result is always finite.
template <typename Float, std::size_t powers>
Reading<Float> readNumber(const char* begin, const char* end, const std::array<Float, powers>& powersOfTen) {
    constexpr std::uint64_t exactMantissa = std::uint64_t{1} << std::numeric_limits<Float>::digits;
    constexpr int maxPower = static_cast<int>(powers) - 1;
    const DecimalNumber number = scanDecimal(begin, end);
    if (number.text.empty()) return {0, begin};
    const char* const stop = number.text.data() + number.text.size();
    if (number.exact && number.mantissa <= exactMantissa && number.exponent >= -maxPower &&
        number.exponent <= maxPower) {
        const auto mantissa = static_cast<Float>(number.mantissa);
        const Float value = number.exponent < 0
                                ? mantissa / powersOfTen[static_cast<std::size_t>(-number.exponent)]
                                : mantissa * powersOfTen[static_cast<std::size_t>(number.exponent)];
        return {number.negative ? -value : value, stop};
    }
    Float value = 0;
    const auto result = std::from_chars(number.text.data(), stop, value);
    if (result.ec != std::errc{} || result.ptr != stop) return {0, stop};
    return {value, stop};
}

Reading<float> readFloat(const char* begin, const char* end) {
    return readNumber(begin, end, floatPowersOfTen);
}

Reading<double> readDouble(const char* begin, const char* end) {
    return readNumber(begin, end, doublePowersOfTen);
}

// Number, truncated toward zero and saturated at the signed 32-bit range.
Reading<std::int32_t> readTruncated(const char* begin, const char* end) {
    const Reading<double> number = readDouble(begin, end);
    if (number.value >= 2147483647.0) return {std::numeric_limits<std::int32_t>::max(), number.stop};
    if (number.value <= -2147483648.0) return {std::numeric_limits<std::int32_t>::min(), number.stop};
    return {static_cast<std::int32_t>(number.value), number.stop};
}

// The double nearest to 1/60: minutes times this are degrees.
constexpr double degreesPerMinute = 1.0 / 60.0;

bool endsCoordinateDigits(char c) {
    return c == '.' || c == ',' || c == '*' || c == '\0';
}

// Coordinate, ddmm.mmmm or dddmm.mmmm: of the n digits before the decimal
// point (all digits when there is none), the first n - 2 are whole degrees,
// and the field from the last two of them on, read as a number, is minutes.
// Anything else before the point (white space, or a sign from a noisy line)
// is passed over, so the degrees are never negative. A field has at most 20
// characters, so the degrees stay far below the largest double.
Reading<double> readDegrees(const char* begin, const char* end) {
    // Nearly always the digits before the point are the field's first
    // characters; otherwise they are gathered from among the others.
    const char* point = begin;
    while (point != end && isDigit(*point)) ++point;
    std::size_t digitsBefore = static_cast<std::size_t>(point - begin);
    if (point != end && !endsCoordinateDigits(*point)) {
        for (; point != end && !endsCoordinateDigits(*point); ++point) {
            if (isDigit(*point)) ++digitsBefore;
        }
    }
    double degrees = 0.0;
    const char* minutes = point;  // with no digits before the point, the fraction alone
    std::size_t digitsSeen = 0;
    for (const char* c = begin; c != point; ++c) {
        if (!isDigit(*c)) continue;
        if (digitsBefore <= 2 || digitsSeen == digitsBefore - 2) {
            minutes = c;
            break;
        }
        degrees = degrees * 10.0 + (*c - '0');
        ++digitsSeen;
    }
    const Reading<double> number = readDouble(minutes, end);
    return {degrees + number.value * degreesPerMinute, std::max(number.stop, point)};
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

// What a character means to the scanner: "," ends a field; "*" and the zero
// byte that ends the text (a sentence is read as the C string it is) end the
// field and the sentence; every other character is part of a field.
enum class Mark : std::uint8_t { none, fieldEnd, sentenceEnd };

constexpr auto marks = [] {
    std::array<Mark, 256> table{};
    table[','] = Mark::fieldEnd;
    table['*'] = table['\0'] = Mark::sentenceEnd;
    return table;
}();

Mark markOf(char c) {
    return marks[static_cast<unsigned char>(c)];
}

bool isFieldEnd(char c) {
    return markOf(c) != Mark::none;
}

// The first character at or after text that ends a field, or limit.
const char* endOfField(const char* text, const char* limit) {
    while (text != limit && !isFieldEnd(*text)) ++text;
    return text;
}

template <typename Value>
void storeAt(unsigned char* destination, Value value) {
    std::memcpy(destination, &value, sizeof value);
}

// A Pair: the two characters of the field from `piece` on, as far as the
// field reaches, read as Integer. The characters from field to read are known
// to lie inside the field; only those after them up to the end of the piece
// are looked at. Returns where that look ended.
Reading<std::int32_t> readPair(const char* field, const char* read, const char* limit, std::size_t piece) {
    const std::ptrdiff_t pieceEnd = static_cast<std::ptrdiff_t>(piece) + 2;
    const char* const bound = limit - field > pieceEnd ? field + pieceEnd : limit;
    const char* const seen = read >= bound ? bound : endOfField(read, bound);
    const char* const from =
        field + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(piece), seen - field);
    return {readInteger(from, seen).value, seen};
}

// Converts one field as its row says and stores it into the record's bytes.
// The field begins at text and ends at its first ",", "*" or zero byte before
// limit (the end of the text or the field's 21st character), else at limit;
// the characters before read are already known to be inside it. Returns how
// far the conversion looked, which is never past the field's end.
const char* convertField(const char* text, const char* read, const char* limit, const FieldRule& row,
                         unsigned char* record) {
    unsigned char* const destination = record + row.offset;
    switch (row.how) {
        case C::identifier: {
            Identifier id{};
            const char* c = text;
            for (std::size_t k = 0; k < id.size() && c != limit && !isFieldEnd(*c); ++k) id[k] = *c++;
            storeAt(destination, id);
            return c;
        }
        case C::character:
            if (text == limit || isFieldEnd(*text)) {
                storeAt(destination, '\0');
                return text;
            }
            storeAt(destination, *text);
            return text + 1;
        case C::integer8: {
            const Reading<std::int32_t> integer = readInteger(text, limit);
            storeAt(destination, static_cast<std::uint8_t>(integer.value));
            return integer.stop;
        }
        case C::integer32: {
            const Reading<std::int32_t> integer = readInteger(text, limit);
            storeAt(destination, integer.value);
            return integer.stop;
        }
        case C::pair8: {
            const Reading<std::int32_t> pair = readPair(text, read, limit, row.piece);
            storeAt(destination, static_cast<std::uint8_t>(pair.value));
            return pair.stop;
        }
        case C::pair32: {
            const Reading<std::int32_t> pair = readPair(text, read, limit, row.piece);
            storeAt(destination, pair.value);
            return pair.stop;
        }
        case C::number32: {
            const Reading<float> number = readFloat(text, limit);
            storeAt(destination, number.value);
            return number.stop;
        }
        case C::number64: {
            const Reading<double> number = readDouble(text, limit);
            storeAt(destination, number.value);
            return number.stop;
        }
        case C::truncated32: {
            const Reading<std::int32_t> number = readTruncated(text, limit);
            storeAt(destination, number.value);
            return number.stop;
        }
        case C::coordinate: {
            const Reading<double> degrees = readDegrees(text, limit);
            storeAt(destination, degrees.value);
            return degrees.stop;
        }
    }
    return text;
}

// Where reading of the field that begins at text must stop: the end of the
// text or the field's 21st character.
const char* fieldLimit(const char* text, const char* end) {
    return end - text > static_cast<std::ptrdiff_t>(maxFieldLength) ? text + maxFieldLength : end;
}

// Runs over the rows of a table in field order and converts each row's field.
// A field is at most 20 characters; the character after it (its delimiter, or
// the 21st of a longer field) is dropped, and a "*" there or the end of the
// text (or a zero byte) ends the sentence. Reading stops after the last row,
// which tableFits keeps below the decoder's field limit. The conversions read
// a field's characters first and the search for its end goes on from where
// they stopped, so a well-formed field is read only once.
void scanFields(std::string_view sentence, std::span<const FieldRule> rules, unsigned char* record) {
    const char* text = sentence.data();  // start of the current field
    const char* const end = text + sentence.size();
    const char* limit = fieldLimit(text, end);
    const char* read = text;  // how far the current field has been looked at
    std::size_t field = 0;
    for (const FieldRule& row : rules) {
        for (; field < row.field; ++field) {
            const char* const fieldEnd = endOfField(read, limit);
            if (fieldEnd == end || markOf(*fieldEnd) == Mark::sentenceEnd) return;
            text = read = fieldEnd + 1;
            limit = fieldLimit(text, end);
        }
        read = std::max(read, convertField(text, read, limit, row, record));
    }
}

// What a decoded record tells the day count: nothing, but for these three.
template <typename Record>
void noteDays(const Record&) {}

template <typename Record>
void noteDate(const Record& record, DateSentence sentence) {
    if (record.day == 0) return;  // no date in it
    gpsDays = {sentence, false, 0, record.hour * 3600 + record.minute * 60 + record.second};
}
void noteDays(const RmcRecord& rmc) {
    noteDate(rmc, DateSentence::rmc);
}
void noteDays(const ZdaRecord& zda) {
    noteDate(zda, DateSentence::zda);
}

// A GGA time far below the one before it (half a day) passed midnight.
void noteDays(const GgaRecord& gga) {
    if (gpsDays.newestDate == DateSentence::none) return;
    const std::int32_t seconds = gga.hour * 3600 + gga.minute * 60 + gga.second;
    if (seconds < gpsDays.lastSeconds - 43200 && gpsDays.ggaDays < 366000) ++gpsDays.ggaDays;
    gpsDays.ggaSinceDate = true;
    gpsDays.lastSeconds = seconds;
}

// Decodes into a copy of the stored record, then stores the copy whole, and
// with it the time of renewal when one is asked for and what the record tells
// the day count. The reader thread is the only writer, so reading the stored
// record needs no lock.
template <typename Record, std::size_t count>
void decodeInto(std::string_view sentence, Record& stored, const std::array<FieldRule, count>& rules,
                std::int64_t* renewedMs = nullptr) {
    Record record = stored;
    scanFields(sentence, rules, reinterpret_cast<unsigned char*>(&record));
    const std::int64_t now =
        renewedMs != nullptr && decodingOptions.stampRenewals ? monotonicMilliseconds() : 0;
    const std::lock_guard lock(gpsStateLock);
    stored = record;
    if (now != 0) *renewedMs = now;
    noteDays(record);
}

}  // namespace

// ---- 5. Dispatch, decoders, other sentences and the fix ----

void decodeGga(std::string_view sentence) {
    decodeInto(sentence, gpsState.gga, ggaRules, &gpsRenewals.ggaMs);
}
void decodeGll(std::string_view sentence) {
    decodeInto(sentence, gpsState.gll, gllRules);
}
void decodeGsa(std::string_view sentence) {
    decodeInto(sentence, gpsState.gsa, gsaRules);
}
void decodeGsv(std::string_view sentence) {
    decodeInto(sentence, gpsState.gsv, gsvRules);
}
void decodeRmc(std::string_view sentence) {
    decodeInto(sentence, gpsState.rmc, rmcRules, &gpsRenewals.rmcMs);
}
void decodeVtg(std::string_view sentence) {
    decodeInto(sentence, gpsState.vtg, vtgRules);
}
void decodeZda(std::string_view sentence) {
    decodeInto(sentence, gpsState.zda, zdaRules);
}

void storeOtherSentence(std::string_view sentence) {
    sentence = cutAtZero(sentence);
    const std::size_t length = std::min(sentence.size(), otherSentenceCapacity - 1);
    const std::lock_guard lock(gpsStateLock);
    char* text = gpsState.other.text.data();
    std::memcpy(text, sentence.data(), length);
    std::memset(text + length, 0, otherSentenceCapacity - length);
}

namespace {

// The first six characters as one number, so that an identifier is compared
// in one step. A zero byte among them matches no identifier, as the text
// would end there.
constexpr std::uint64_t packIdentifier(std::string_view text) {
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < identifierLength; ++i) {
        packed |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return packed;
}

// The same from a sentence of at least six characters, in two loads where
// the byte order lets them give the same number.
std::uint64_t identifierOf(std::string_view sentence) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t head = 0;
        std::uint16_t tail = 0;
        std::memcpy(&head, sentence.data(), sizeof head);
        std::memcpy(&tail, sentence.data() + sizeof head, sizeof tail);
        return head | std::uint64_t{tail} << 32;
    }
    return packIdentifier(sentence);
}

struct SentenceDecoder {
    std::uint64_t identifier;
    void (*decode)(std::string_view sentence);
};

// In the order of SentenceType, which is the order of comparison.
constexpr std::array<SentenceDecoder, 7> sentenceDecoders = {{
    {packIdentifier("$GPGGA"), decodeGga},
    {packIdentifier("$GPGLL"), decodeGll},
    {packIdentifier("$GPGSA"), decodeGsa},
    {packIdentifier("$GPGSV"), decodeGsv},
    {packIdentifier("$GPRMC"), decodeRmc},
    {packIdentifier("$GPVTG"), decodeVtg},
    {packIdentifier("$GPZDA"), decodeZda},
}};

// The bits of the talker letters in a packed identifier, and those of "GP".
constexpr std::uint64_t talkerBits = 0xFFFF00;
constexpr std::uint64_t gpTalker =
    packIdentifier(std::string_view("$GP\0\0\0", identifierLength)) & talkerBits;

}  // namespace

bool isTalker(char first, char second) {
    return first >= 'A' && first <= 'Z' && first != 'P' && second >= 'A' && second <= 'Z';
}

SentenceType sentenceType(std::string_view sentence) {
    if (sentence.size() < identifierLength) return SentenceType::other;
    std::uint64_t identifier = identifierOf(sentence);
    if (decodingOptions.anyTalker && isTalker(sentence[1], sentence[2]))
        identifier = (identifier & ~talkerBits) | gpTalker;
    for (std::size_t i = 0; i < sentenceDecoders.size(); ++i) {
        if (identifier == sentenceDecoders[i].identifier) return static_cast<SentenceType>(i);
    }
    return SentenceType::other;
}

void dispatchSentence(std::string_view sentence) {
    const SentenceType type = sentenceType(sentence);
    if (type == SentenceType::other) {
        storeOtherSentence(sentence);
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

ReportPosition takeReportPosition() {
    ReportPosition position{};
    const std::lock_guard lock(gpsStateLock);
    position.fix.latitude = gpsState.gga.latitude;
    position.fix.longitude = gpsState.gga.longitude;
    position.fix.speed = gpsState.rmc.speed;
    position.fix.valid = gpsState.rmc.status == 'A' ? 1 : 0;
    position.latitudeHemisphere = gpsState.gga.latitudeHemisphere;
    position.longitudeHemisphere = gpsState.gga.longitudeHemisphere;
    position.renewed = gpsRenewals;
    const RmcRecord& rmc = gpsState.rmc;
    const GgaRecord& gga = gpsState.gga;
    const ZdaRecord& zda = gpsState.zda;
    position.clock = {rmc.hour,
                      rmc.minute,
                      rmc.second,
                      rmc.day,
                      rmc.month,
                      rmc.year,
                      gga.hour,
                      gga.minute,
                      gga.second,
                      zda.hour,
                      zda.minute,
                      zda.second,
                      zda.day,
                      zda.month,
                      zda.year,
                      gpsDays.newestDate,
                      gpsDays.ggaSinceDate,
                      gpsDays.ggaDays};
    return position;
}

std::size_t fieldLength(std::string_view text) {
    const char* const limit = fieldLimit(text.data(), text.data() + text.size());
    return static_cast<std::size_t>(endOfField(text.data(), limit) - text.data());
}

double nmeaToDegrees(std::string_view field) {
    const char* const limit = fieldLimit(field.data(), field.data() + field.size());
    return readDegrees(field.data(), endOfField(field.data(), limit)).value;
}
