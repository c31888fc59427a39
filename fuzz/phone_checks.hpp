// What every phone protocol's reader promises of the points it gives: each
// can be stored as it is (coordinates, speed, time and extras in range), and
// a message it refuses holds no point.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "server/phones.hpp"
#include "server/reports.hpp"

// The arrival the fuzz targets pretend: 2026-12-07T09:20:00Z.
constexpr std::int64_t fuzzArrivalUs = 1796635200LL * 1000000;

inline void checkPhoneRead(PhoneRead read, const PhoneMessage& message) {
    if (read == PhoneRead::bad && !message.positions.empty()) std::abort();
    if (read == PhoneRead::positions && message.positions.empty()) std::abort();
    for (const Position& p : message.positions) {
        if (!(std::fabs(p.lat) <= 90 && std::fabs(p.lon) <= 180)) std::abort();
        if (!(p.speedKnots >= 0 && p.speedKnots <= reportSpeedMaxKnots)) std::abort();
        if (p.timeUs < reportTimeEarliestUs || p.timeUs > fuzzArrivalUs + reportTimeAheadMaxUs) std::abort();
        if (p.receivedUs != fuzzArrivalUs || !extrasInRange(p.extras)) std::abort();
    }
}
