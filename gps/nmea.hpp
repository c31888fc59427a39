// NMEA 0183 decoding and the GPS state.
//
// Each framed sentence ("$" through "*", checksum not included) overwrites the
// record of its sentence type; every other sentence is kept whole as the last
// other sentence. Of all the decoded values only the GGA position and the RMC
// speed and status leave this module, as a position fix.
//
// Decoding allocates nothing and never fails: whatever text arrives is decoded
// as far as it goes. Number fields accept decimal text only (no "inf", "nan"
// or hexadecimal), and every stored value is finite; integers saturate at the
// signed 32-bit range before 8-bit fields keep their low eight bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <type_traits>

constexpr std::size_t identifierLength = 6;    // "$GPGGA"
constexpr std::size_t fieldTextCapacity = 21;  // 20 characters and a terminator
constexpr std::size_t maxFieldLength = fieldTextCapacity - 1;
constexpr std::size_t otherSentenceCapacity = 262;  // 261 characters and a terminator

using Identifier = std::array<char, identifierLength>;  // no terminator

// $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*
struct GgaRecord {
    Identifier id;
    std::int32_t hour, minute, second;
    double latitude;  // decimal degrees, hemisphere not applied
    char latitudeHemisphere;
    double longitude;  // decimal degrees, hemisphere not applied
    char longitudeHemisphere;
    char fixQuality;  // the digit character itself
    std::uint8_t satellitesUsed;
    float hdop;
    std::int32_t altitude;  // whole units
    char altitudeUnit;
    float geoidSeparation;
    char geoidSeparationUnit;
    float dgpsAge;
    std::int32_t dgpsStationId;

    bool operator==(const GgaRecord&) const = default;
};

// $GPGLL,4916.45,N,12311.12,W,225444,A*
struct GllRecord {
    Identifier id;
    double latitude;  // the plain NMEA number ddmm.mmmm, not degrees
    char latitudeHemisphere;
    double longitude;  // the plain NMEA number dddmm.mmmm, not degrees
    char longitudeHemisphere;
    std::uint8_t hour, minute, second;
    char status;

    bool operator==(const GllRecord&) const = default;
};

// $GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*
struct GsaRecord {
    Identifier id;
    char mode;
    char fixType;
    std::array<std::uint8_t, 12> satellites;  // fields 3 to 14
    float pdop, hdop, vdop;

    bool operator==(const GsaRecord&) const = default;
};

struct GsvSatellite {
    std::uint8_t prn;
    std::uint8_t elevation;
    std::int32_t azimuth;
    std::uint8_t snr;

    bool operator==(const GsvSatellite&) const = default;
};

// $GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00*
struct GsvRecord {
    Identifier id;
    char messageNumber;  // first character of field 2
    char messageCount;   // first character of field 1
    std::uint8_t satellitesInView;
    std::array<GsvSatellite, 4> satellites;  // fields 4 + 4k to 7 + 4k

    bool operator==(const GsvRecord&) const = default;
};

// $GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*
struct RmcRecord {
    Identifier id;
    std::uint8_t hour, minute, second;
    char status;  // 'A' valid, 'V' warning, 0 when empty
    double latitude;
    char latitudeHemisphere;
    double longitude;
    char longitudeHemisphere;
    float speed;  // speed over ground, knots
    float course;
    std::uint8_t day, month, year;  // two-digit year
    float magneticVariation;
    char magneticVariationDirection;

    bool operator==(const RmcRecord&) const = default;
};

// $GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*
struct VtgRecord {
    Identifier id;
    std::array<float, 4> values;  // sentence fields 1 to 4, each read as a number

    bool operator==(const VtgRecord&) const = default;
};

// $GPZDA,201530.00,04,07,2002,00,00*
struct ZdaRecord {
    Identifier id;
    std::uint8_t hour, minute, second;
    std::uint8_t day, month;
    std::int32_t year;                   // four-digit year
    std::int8_t zoneHours, zoneMinutes;  // signed: zones west of Greenwich are negative

    bool operator==(const ZdaRecord&) const = default;
};

// The last sentence that matched none of the seven identifiers, cut to 261
// characters, always terminated.
struct OtherSentence {
    std::array<char, otherSentenceCapacity> text;

    bool operator==(const OtherSentence&) const = default;
};

// One record per sentence type and the store of the last other sentence. All
// zero at start, never reset; written only by the reader thread.
struct GpsState {
    GgaRecord gga;
    GllRecord gll;
    GsaRecord gsa;
    GsvRecord gsv;
    RmcRecord rmc;
    VtgRecord vtg;
    ZdaRecord zda;
    OtherSentence other;

    bool operator==(const GpsState&) const = default;
};

extern GpsState gpsState;

// Held by every store into gpsState and by takePositionFix, so that a fix
// never sees part of an old and part of a new value. The reader thread, the
// only writer, may read gpsState without it; any other thread must hold it.
extern std::mutex gpsStateLock;

// The records are filled through a table of field offsets.
static_assert(std::is_standard_layout_v<GpsState> && std::is_trivially_copyable_v<GpsState>);

// How sentences are recognised and what is kept beside them. Set before the
// reader thread starts (the thread's start orders the writes before its reads)
// and not changed while it runs; all false by default, which is the plain
// behaviour: only "$GP" sentences, no checksum test, no renewal times.
struct DecodingOptions {
    bool anyTalker;          // the seven types from any two-letter talker ("$GNGGA", "$GLRMC" ...)
    bool checksumsRequired;  // the reader frames only sentences whose checksum is right
    bool stampRenewals;      // keep the monotonic time of the last GGA and RMC
};

extern DecodingOptions decodingOptions;

// When GGA and RMC were last decoded, in monotonic milliseconds (see
// monotonicMilliseconds); 0 for never. Kept only with stampRenewals, and
// guarded by gpsStateLock like the records.
struct GpsRenewals {
    std::int64_t ggaMs;
    std::int64_t rmcMs;
};

extern GpsRenewals gpsRenewals;

// Which of RMC and ZDA last carried a date (a day field other than 0): a
// report's date comes from it. The GGA sentences after it count the days
// since, by their time of day wrapping past midnight, so a receiver that
// stops sending RMC keeps the right date however long its GGA goes on.
// Guarded by gpsStateLock.
enum class DateSentence : std::uint8_t { none, rmc, zda };
struct GpsDays {
    DateSentence newestDate;
    bool ggaSinceDate;         // a GGA came after that sentence
    std::int32_t ggaDays;      // midnights the GGA time passed since that sentence
    std::int32_t lastSeconds;  // time of day of that sentence, then of each GGA after it
};
extern GpsDays gpsDays;

// The steady clock in milliseconds, never 0.
std::int64_t monotonicMilliseconds();

// The four values handed to the report cycle.
struct PositionFix {
    double latitude;   // decimal degrees, never negative
    double longitude;  // decimal degrees, never negative
    double speed;      // knots
    int valid;         // 1 when the RMC status is 'A'
};

// The sentence types in the order in which dispatch compares their
// identifiers; other is everything that matches none of them.
enum class SentenceType : std::uint8_t { gga, gll, gsa, gsv, rmc, vtg, zda, other };

// The type whose identifier equals the first six characters of the sentence
// (text up to its end or first zero byte), exactly and case-sensitively; with
// decodingOptions.anyTalker, the talker letters (characters 1 and 2) may be
// any talker's.
SentenceType sentenceType(std::string_view sentence);

// Decodes one framed sentence (text up to its end or first zero byte) into the
// record of its type, or stores it whole as the last other sentence. Called on
// the reader thread only.
void dispatchSentence(std::string_view sentence);

// Copies the fix out of the GPS state; each output may be null and is then
// skipped. Safe to call while another thread dispatches: every value is whole.
void takePositionFix(double* latitude, double* longitude, double* speed, int* valid);

// What a report needs, all taken under one hold of gpsStateLock so that the
// hemisphere letters belong to the same GGA record as the position.
// The receiver's own clock as its last sentences gave it: 0 where none came.
struct ReceiverClock {
    std::uint8_t rmcHour, rmcMinute, rmcSecond;
    std::uint8_t rmcDay, rmcMonth, rmcYear;  // two-digit year
    std::int32_t ggaHour, ggaMinute, ggaSecond;
    std::uint8_t zdaHour, zdaMinute, zdaSecond;
    std::uint8_t zdaDay, zdaMonth;
    std::int32_t zdaYear;  // four-digit year
    DateSentence newestDate;
    bool ggaSinceDate;
    std::int32_t ggaDays;
};

struct ReportPosition {
    PositionFix fix;           // as takePositionFix gives it: degrees never negative
    char latitudeHemisphere;   // 'N' or 'S' of that GGA record; 0 when empty
    char longitudeHemisphere;  // 'E' or 'W' of that GGA record; 0 when empty
    GpsRenewals renewed;
    ReceiverClock clock;
};

ReportPosition takeReportPosition();

// True for a two-letter talker that talkers = any treats like "GP": two capital
// letters, the first not "P" (which opens proprietary sentences such as $PUBX).
bool isTalker(char first, char second);

// Length of the field that begins at the start of text: characters before the
// first ',', '*', zero byte or end of text, at most 20.
std::size_t fieldLength(std::string_view text);

// The field that begins at the start of text (see fieldLength), ddmm.mmmm or
// dddmm.mmmm, in decimal degrees; an empty field gives 0.0.
double nmeaToDegrees(std::string_view field);

// The seven decoders, each given a whole sentence (text up to its end or first
// zero byte), and the store of others, which keeps the first 261 characters.
void decodeGga(std::string_view sentence);
void decodeGll(std::string_view sentence);
void decodeGsa(std::string_view sentence);
void decodeGsv(std::string_view sentence);
void decodeRmc(std::string_view sentence);
void decodeVtg(std::string_view sentence);
void decodeZda(std::string_view sentence);
void storeOtherSentence(std::string_view sentence);
