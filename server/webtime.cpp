// ISO 8601 UTC times. The calendar arithmetic counts days in the proleptic
// Gregorian calendar from a March-based year, so the leap day comes last and
// each 400-year era has the same 146097 days.
#include "server/webtime.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

namespace {

constexpr std::int64_t microsPerSecond = 1000000;
constexpr std::int64_t secondsPerDay = 86400;

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month, day;
};

CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
    constexpr std::array<unsigned, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads exactly `count` digits at `at` and moves past them.
bool readDigits(std::string_view text, std::size_t& at, std::size_t count, unsigned& value) {
    if (text.size() - at < count) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    at += count;
    return true;
}

bool expect(std::string_view text, std::size_t& at, std::string_view choices) {
    if (at >= text.size() || choices.find(text[at]) == std::string_view::npos) return false;
    ++at;
    return true;
}

void appendPadded(std::string& out, std::int64_t value, int width) {
    std::array<char, 24> digits{};
    auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    const auto length = static_cast<int>(end - digits.data());
    for (int i = length; i < width; ++i) out.push_back('0');
    out.append(digits.data(), end);
}

}  // namespace

bool parseIsoTime(std::string_view text, std::int64_t& unixMicros) {
    std::size_t at = 0;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(text, at, 4, year) || !expect(text, at, "-") || !readDigits(text, at, 2, month) ||
        !expect(text, at, "-") || !readDigits(text, at, 2, day) || !expect(text, at, "Tt ") ||
        !readDigits(text, at, 2, hour) || !expect(text, at, ":") || !readDigits(text, at, 2, minute) ||
        !expect(text, at, ":") || !readDigits(text, at, 2, second))
        return false;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    std::int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        const std::size_t first = ++at;
        std::int64_t scale = microsPerSecond;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 9) {
            scale /= 10;
            fraction += (text[at] - '0') * scale;
            ++at;
        }
        if (at == first) return false;
    }
    std::int64_t offsetSeconds = 0;
    if (expect(text, at, "Zz")) {
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const std::int64_t sign = text[at++] == '-' ? -1 : 1;
        unsigned offsetHours = 0, offsetMinutes = 0;
        if (!readDigits(text, at, 2, offsetHours) || !expect(text, at, ":") ||
            !readDigits(text, at, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return false;
        offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
    } else {
        return false;
    }
    if (at != text.size()) return false;
    const std::int64_t seconds =
        daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 + minute * 60 + second - offsetSeconds;
    if (seconds < 0) return false;
    unixMicros = seconds * microsPerSecond + fraction;
    return true;
}

bool parseRangeTime(std::string_view text, bool rangeEnd, std::int64_t& unixMicros) {
    if (text.size() != isoDateLength) return parseIsoTime(text, unixMicros);
    std::string midnight(text);
    midnight.append("T00:00:00Z");
    if (!parseIsoTime(midnight, unixMicros)) return false;
    if (rangeEnd) unixMicros += secondsPerDay * microsPerSecond - 1;
    return true;
}

void appendIsoTime(std::string& out, std::int64_t unixMicros) {
    std::int64_t seconds = unixMicros / microsPerSecond;
    std::int64_t fraction = unixMicros % microsPerSecond;
    if (fraction < 0) {
        fraction += microsPerSecond;
        --seconds;
    }
    std::int64_t days = seconds / secondsPerDay;
    std::int64_t secondOfDay = seconds % secondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += secondsPerDay;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    appendPadded(out, date.year, 4);
    out.push_back('-');
    appendPadded(out, date.month, 2);
    out.push_back('-');
    appendPadded(out, date.day, 2);
    out.push_back('T');
    appendPadded(out, secondOfDay / 3600, 2);
    out.push_back(':');
    appendPadded(out, secondOfDay / 60 % 60, 2);
    out.push_back(':');
    appendPadded(out, secondOfDay % 60, 2);
    if (fraction != 0) {
        out.push_back('.');
        if (fraction % 1000 == 0)
            appendPadded(out, fraction / 1000, 3);
        else
            appendPadded(out, fraction, 6);
    }
    out.push_back('Z');
}

std::string formatIsoTime(std::int64_t unixMicros) {
    std::string text;
    text.reserve(isoTimeCapacity);
    appendIsoTime(text, unixMicros);
    return text;
}

std::int64_t medianGapMicros(std::span<const std::int64_t> timesUs) {
    if (timesUs.size() < 2) return 0;
    std::vector<std::int64_t> gaps;
    gaps.reserve(timesUs.size() - 1);
    for (std::size_t i = 1; i < timesUs.size(); ++i) gaps.push_back(timesUs[i] - timesUs[i - 1]);
    const auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
    std::nth_element(gaps.begin(), middle, gaps.end());
    return std::max<std::int64_t>(*middle, 0);
}

bool deviceSilent(std::int64_t lastUs, std::int64_t intervalUs, std::int64_t nowUs) {
    return intervalUs > 0 && nowUs - lastUs > silentAfterIntervals * intervalUs;
}
