// The position's time: choosing the receiver's clock or the system's, the
// week rollover, the civil calendar both ways, the text of the t field, and
// keeping one device's times rising.
//
// The calendar conversions are the proleptic Gregorian ones on whole days
// (days since 1970-01-01), with integer arithmetic only, so they neither
// allocate nor depend on the C library's time zone.
#include "report/fixtime.hpp"

#include <algorithm>
#include <chrono>

// CMake gives the day of the build; a build without it takes this one.
#ifndef WAYLOOM_BUILD_DATE
#define WAYLOOM_BUILD_DATE 20261207
#endif

namespace {

constexpr std::int64_t secondsPerDay = 86400;

// Days since 1970-01-01 of a civil date; month 1 to 12.
std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool timeOfDayValid(std::int32_t hour, std::int32_t minute, std::int32_t second) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 61;
}

bool dateValid(std::int32_t year, std::int32_t month, std::int32_t day) {
    return year >= 2000 && year <= 2099 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// A date and a time of day a receiver may give.
bool dated(const UtcTime& time) {
    return dateValid(time.year, time.month, time.day) && timeOfDayValid(time.hour, time.minute, time.second);
}

}  // namespace

UtcTime utcFromUnixSeconds(std::int64_t secondsSinceEpoch) {
    std::int64_t days = secondsSinceEpoch / secondsPerDay;
    std::int64_t rest = secondsSinceEpoch % secondsPerDay;
    if (rest < 0) {
        rest += secondsPerDay;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = monthIndex + (monthIndex < 10 ? 3 : -9);
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return {static_cast<std::int32_t>(year),
            static_cast<std::int32_t>(month),
            static_cast<std::int32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1),
            static_cast<std::int32_t>(rest / 3600),
            static_cast<std::int32_t>(rest / 60 % 60),
            static_cast<std::int32_t>(rest % 60)};
}

std::int64_t unixSecondsFromUtc(const UtcTime& time) {
    const std::int64_t days = daysFromCivil(time.year, time.month, 1) + time.day - 1;
    return days * secondsPerDay + std::int64_t{time.hour} * 3600 + std::int64_t{time.minute} * 60 +
           time.second;
}

UtcTime programBuildDate() {
    constexpr std::int32_t built = WAYLOOM_BUILD_DATE;  // YYYYMMDD
    return {built / 10000, built / 100 % 100, built % 100, 0, 0, 0};
}

UtcTime correctWeekRollover(const UtcTime& time, const UtcTime& builtOn) {
    const std::int64_t floor = unixSecondsFromUtc(builtOn);
    std::int64_t seconds = unixSecondsFromUtc(time);
    if (seconds >= floor) return time;
    while (seconds < floor) seconds += gpsWeekRolloverSeconds;
    return utcFromUnixSeconds(seconds);
}

UtcTime chooseFixTime(const ReceiverClock& clock, const UtcTime& systemNow, const UtcTime& builtOn) {
    const UtcTime rmc{2000 + clock.rmcYear, clock.rmcMonth,  clock.rmcDay,
                      clock.rmcHour,        clock.rmcMinute, clock.rmcSecond};
    const UtcTime zda{clock.zdaYear, clock.zdaMonth,  clock.zdaDay,
                      clock.zdaHour, clock.zdaMinute, clock.zdaSecond};
    const bool rmcDated = clock.rmcDay != 0 && dated(rmc);
    const bool zdaDated = dated(zda);
    if (!rmcDated && !zdaDated) return systemNow;
    const UtcTime& date = rmcDated && (!zdaDated || clock.newestDate != DateSentence::zda) ? rmc : zda;
    // A GGA without a time of its own (out of range) takes that of the dated sentence.
    if (!timeOfDayValid(clock.ggaHour, clock.ggaMinute, clock.ggaSecond))
        return correctWeekRollover(date, builtOn);
    // The date belongs to its own sentence's time. A GGA that came after that
    // sentence is as many days later as its time passed midnight since; one
    // before it is far before it on the clock face when it came after
    // midnight, far after it when it came before.
    const std::int32_t ggaSeconds = clock.ggaHour * 3600 + clock.ggaMinute * 60 + clock.ggaSecond;
    const std::int32_t dateSeconds = date.hour * 3600 + date.minute * 60 + date.second;
    constexpr std::int32_t halfDay = 43200;
    const bool counted =
        clock.ggaSinceDate && clock.newestDate == (&date == &rmc ? DateSentence::rmc : DateSentence::zda);
    const std::int32_t dayShift = counted                              ? clock.ggaDays
                                  : ggaSeconds < dateSeconds - halfDay ? 1
                                  : ggaSeconds > dateSeconds + halfDay ? -1
                                                                       : 0;
    const UtcTime gga{date.year,     date.month,      date.day + dayShift,
                      clock.ggaHour, clock.ggaMinute, clock.ggaSecond};
    return correctWeekRollover(utcFromUnixSeconds(unixSecondsFromUtc(gga)), builtOn);
}

bool readFixTime(std::string_view text, UtcTime& time) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != shape[i]) return false;
    }
    const auto number = [&](std::size_t at, std::size_t width) {
        std::int32_t value = 0;
        for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    time = {number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2)};
    return true;
}

UtcTime nextReportTime(ReportTimes& times, const UtcTime& taken) {
    std::int64_t seconds = unixSecondsFromUtc(taken);
    if (times.known && seconds <= times.lastSeconds) seconds = times.lastSeconds + 1;
    times = {true, seconds};
    return utcFromUnixSeconds(seconds);
}

void noteReportTime(ReportTimes& times, const UtcTime& time) {
    const std::int64_t seconds = unixSecondsFromUtc(time);
    if (!times.known || seconds > times.lastSeconds) times = {true, seconds};
}

UtcTime systemUtcNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return utcFromUnixSeconds(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

FixTimeText formatFixTime(const UtcTime& time) {
    FixTimeText text{};
    std::size_t at = 0;
    const auto digits = [&](std::int32_t value, int width) {
        for (int place = width - 1; place >= 0; --place) {
            std::int32_t divisor = 1;
            for (int i = 0; i < place; ++i) divisor *= 10;
            text[at++] = static_cast<char>('0' + value / divisor % 10);
        }
    };
    const auto mark = [&](char c) { text[at++] = c; };
    digits(std::clamp(time.year, 0, 9999), 4);
    mark('-');
    digits(std::clamp(time.month, 0, 99), 2);
    mark('-');
    digits(std::clamp(time.day, 0, 99), 2);
    mark('T');
    digits(std::clamp(time.hour, 0, 99), 2);
    mark(':');
    digits(std::clamp(time.minute, 0, 99), 2);
    mark(':');
    digits(std::clamp(time.second, 0, 99), 2);
    mark('Z');
    return text;
}
