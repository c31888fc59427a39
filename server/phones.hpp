// What the phone apps send, read into positions: the OsmAnd protocol (a query
// or form, or its JSON form), OwnTracks' JSON and Overland's batches of
// GeoJSON points.
//
// Units and times are converted here, once: speeds to knots, times to
// microseconds since 1970 UTC. A point is refused when its coordinates, speed
// or time cannot be stored (the same bounds as Wayloom's reports); an extra
// out of its range (iOS sends -1 for a course it does not know) is left out
// as unknown, as is a negative speed (stored as 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/storage.hpp"

// A JSON body this long at most: an Overland batch of 200 points with every
// property is about 100 KiB.
constexpr std::size_t phoneJsonMaxBytes = 512 * 1024;
// The OsmAnd protocol's query or form: one point, a few hundred bytes.
constexpr std::size_t osmandFormMaxBytes = 4096;
constexpr std::size_t overlandBatchMaxPoints = 1000;  // the app sends 200 by default, 1000 at most

constexpr double knotsPerMetrePerSecond = 3600.0 / 1852.0;
constexpr double knotsPerKmh = 1.0 / 1.852;

enum class PhoneRead {
    positions,       // one or more positions to store (after the account check)
    nothingToStore,  // a message without a position (OsmAnd's valid=false, an OwnTracks transition):
                     // answered as delivered once the account is checked
    bad              // not a message of this protocol, or its only point cannot be stored
};

struct PhoneMessage {
    std::string key;                  // the device key: OsmAnd's id, device_id; empty when not sent
    std::vector<Position> positions;  // accountId and client left for the caller
    std::size_t pointsLeftOut = 0;    // Overland: points of the batch that can never be stored
    std::string problem;              // when bad: why, for the answer and the log
};

// The OsmAnd protocol's query or form (decoded by splitForm): id or deviceid,
// lat and lon or location=LAT,LON, timestamp, speed in knots (or in the unit
// speedunit names: kn, mps, kmh), bearing or heading, altitude, accuracy,
// hdop, batt (%), valid. Without a timestamp the point is taken at arrivalUs.
PhoneRead readOsmAndForm(std::string_view form, std::int64_t arrivalUs, PhoneMessage& message);

// The OsmAnd protocol's JSON form: {"device_id", "location": {"timestamp",
// "coords": {"latitude", "longitude", "speed" (m/s), "heading", "accuracy",
// "altitude"}, "battery": {"level" (0 to 1)}}}.
PhoneRead readOsmAndJson(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message);

// OwnTracks: {"_type": "location", "lat", "lon", "tst" (s), "vel" (km/h),
// "cog", "alt", "acc", "batt"}; any other _type is nothingToStore.
PhoneRead readOwnTracks(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message);

// Overland: {"locations": [GeoJSON Point features, properties "timestamp",
// "speed" (m/s), "horizontal_accuracy", "altitude", "course",
// "battery_level" (0 to 1)]}. A point that can never be stored is left out
// and counted; the batch is bad only when it is not such a document.
PhoneRead readOverland(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message);

// A phone's time: epoch seconds (a fraction allowed), or milliseconds when
// the value is 2^31 or more; ISO 8601 with a zone (a "+" of an offset that a
// query decoded as a space is read as "+"); or "YYYY-MM-DD HH:MM:SS" in UTC.
bool readPhoneTime(std::string_view text, std::int64_t& unixMicros);

// Appends an OwnTracks location object for a position of login: "tid" is the
// login's first two characters.
void appendOwnTracksLocation(std::string& out, std::string_view login, const Position& position);
