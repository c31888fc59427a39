// The phone apps' messages read into positions.
//
// Divisions: numbers and times; the point's checks; the OsmAnd protocol;
// OwnTracks; Overland; OwnTracks' answer.
#include "server/phones.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <optional>

#include "server/http.hpp"
#include "server/reports.hpp"
#include "server/webformat.hpp"
#include "server/webtime.hpp"

namespace {

using Json = nlohmann::json;

// ---- Numbers and times ------------------------------------------------------------

std::optional<double> numberOf(std::string_view text) {
    double value = 0;
    if (!readReportNumber(text, value)) return std::nullopt;
    return value;
}

// A member that is a finite number, or a string holding one (some apps quote
// their numbers); nullopt otherwise.
std::optional<double> numberAt(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) return std::nullopt;
    if (found->is_number()) {
        const double value = found->get<double>();
        return std::isfinite(value) ? std::optional(value) : std::nullopt;
    }
    if (found->is_string()) return numberOf(found->get_ref<const std::string&>());
    return std::nullopt;
}

const Json* objectAt(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_object() ? &*found : nullptr;
}

std::string textAt(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) return {};
    if (found->is_string()) return found->get<std::string>();
    if (found->is_number_integer()) return found->dump();  // a device id sent as a number
    return {};
}

// Epoch seconds, or milliseconds from 2^31 on (as seconds that would be past 2038).
bool timeOfNumber(double number, std::int64_t& unixMicros) {
    constexpr double millisecondsFrom = 2147483648.0;
    const double seconds = number >= millisecondsFrom ? number / 1000 : number;
    if (!(seconds >= 0 && seconds < 1e12)) return false;  // beyond any time stored
    unixMicros = std::llround(seconds * 1e6);
    return true;
}

// A time as a JSON member: epoch seconds as a number, or any text readPhoneTime reads.
bool timeAt(const Json& object, const char* name, std::int64_t& unixMicros) {
    const auto found = object.find(name);
    if (found == object.end()) return false;
    if (found->is_string()) return readPhoneTime(found->get_ref<const std::string&>(), unixMicros);
    return found->is_number() && timeOfNumber(found->get<double>(), unixMicros);
}

}  // namespace

bool readPhoneTime(std::string_view text, std::int64_t& unixMicros) {
    if (!text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos) {
        const std::optional<double> number = numberOf(text);
        return number && timeOfNumber(*number, unixMicros);
    }
    constexpr std::size_t plainLength = 19;  // "2026-12-07 09:20:00", in UTC
    if (text.size() == plainLength && text[10] == ' ')
        return parseIsoTime(std::string(text) + "Z", unixMicros);
    // "+02:00" sent in a query without %2B arrives as " 02:00".
    std::string time(text);
    if (time.size() > 6 && time[time.size() - 6] == ' ' && time[time.size() - 3] == ':')
        time[time.size() - 6] = '+';
    return parseIsoTime(time, unixMicros);
}

namespace {

// ---- The point's checks --------------------------------------------------------------

// Leaves out each extra outside its range, as unknown.
void dropExtrasOutOfRange(PositionExtras& extras) {
    const auto keep = [](std::optional<double>& value, double low, double high) {
        if (value && !(*value >= low && *value <= high)) value.reset();
    };
    keep(extras.courseDegrees, 0, courseMaxDegrees);
    keep(extras.altitudeMetres, altitudeMinMetres, altitudeMaxMetres);
    keep(extras.accuracyMetres, 0, accuracyMaxMetres);
    keep(extras.batteryPercent, 0, 100);
    keep(extras.hdop, 0, hdopMax);
    if (extras.satellites && (*extras.satellites < 0 || *extras.satellites > satellitesMax))
        extras.satellites.reset();
}

// Checks a point read from a message and makes it ready to store; false (with
// problem set) when it cannot be stored: coordinates out of range, a speed
// beyond reportSpeedMaxKnots, a time before 2000 or too far ahead.
bool finishPoint(Position& point, std::int64_t arrivalUs, std::string& problem) {
    point.receivedUs = arrivalUs;
    if (!std::isfinite(point.lat) || !std::isfinite(point.lon) || std::fabs(point.lat) > 90 ||
        std::fabs(point.lon) > 180) {
        problem = "coordinates out of range";
        return false;
    }
    if (!std::isfinite(point.speedKnots) || point.speedKnots < 0) point.speedKnots = 0;  // not measured
    if (point.speedKnots > reportSpeedMaxKnots) {
        problem = "speed out of range";
        return false;
    }
    if (point.timeUs < reportTimeEarliestUs || point.timeUs > arrivalUs + reportTimeAheadMaxUs) {
        problem = "time out of range";
        return false;
    }
    dropExtrasOutOfRange(point.extras);
    return true;
}

// A percentage from a level of 0 to 1; negative (unknown, as iOS sends it) stays unknown.
std::optional<double> percentOfLevel(std::optional<double> level) {
    if (!level || *level < 0) return std::nullopt;
    return *level * 100;
}

Json parseJson(std::string_view body) {
    if (body.size() > phoneJsonMaxBytes) return Json(Json::value_t::discarded);
    return Json::parse(body.begin(), body.end(), nullptr, false);  // no exceptions: discarded on error
}

PhoneRead refuse(PhoneMessage& message, std::string problem) {
    message.problem = std::move(problem);
    return PhoneRead::bad;
}

}  // namespace

// ---- The OsmAnd protocol ------------------------------------------------------------

// GET /?id=12345&lat=48.8566&lon=2.3522&timestamp=2021-01-01T00:00:00Z&speed=15&bearing=270&batt=75
PhoneRead readOsmAndForm(std::string_view form, std::int64_t arrivalUs, PhoneMessage& message) {
    if (form.size() > osmandFormMaxBytes) return refuse(message, "too long");
    const std::vector<FormField> fields = splitForm(form);
    // The last of a repeated field counts, as the apps' own servers take it.
    const auto value = [&fields](std::string_view name) -> const std::string* {
        for (auto it = fields.rbegin(); it != fields.rend(); ++it)
            if (it->name == name) return &it->value;
        return nullptr;
    };
    const auto number = [&value](std::string_view name) -> std::optional<double> {
        const std::string* text = value(name);
        return text != nullptr ? numberOf(*text) : std::nullopt;
    };
    const std::string* id = value("id") != nullptr ? value("id") : value("deviceid");
    if (id == nullptr || id->empty()) return refuse(message, "no id");
    message.key = *id;
    const std::string* valid = value("valid");
    if (valid != nullptr && (*valid == "false" || *valid == "0")) return PhoneRead::nothingToStore;

    Position point;
    std::optional<double> lat = number("lat");
    std::optional<double> lon = number("lon");
    if (const std::string* location = value("location"); location != nullptr) {
        const std::size_t comma = location->find(',');
        if (comma != std::string::npos) {
            lat = numberOf(std::string_view(*location).substr(0, comma));
            lon = numberOf(std::string_view(*location).substr(comma + 1));
        }
    }
    if (!lat || !lon) return refuse(message, "no lat and lon");
    point.lat = *lat;
    point.lon = *lon;
    if (const std::string* speed = value("speed"); speed != nullptr) {
        const std::optional<double> given = numberOf(*speed);
        if (!given) return refuse(message, "speed is not a number");
        const std::string* unit = value("speedunit");
        const std::string_view name = unit != nullptr ? std::string_view(*unit) : "kn";
        if (name == "kn")
            point.speedKnots = *given;
        else if (name == "mps")
            point.speedKnots = *given * knotsPerMetrePerSecond;
        else if (name == "kmh")
            point.speedKnots = *given * knotsPerKmh;
        else
            return refuse(message, "unknown speedunit");
    }
    point.timeUs = arrivalUs;
    if (const std::string* timestamp = value("timestamp"); timestamp != nullptr) {
        if (!readPhoneTime(*timestamp, point.timeUs)) return refuse(message, "timestamp is not a time");
        point.timeSent = true;
    }
    point.extras.courseDegrees = value("bearing") != nullptr ? number("bearing") : number("heading");
    point.extras.altitudeMetres = number("altitude");
    point.extras.accuracyMetres = number("accuracy");
    point.extras.batteryPercent = number("batt");
    point.extras.hdop = number("hdop");
    if (!finishPoint(point, arrivalUs, message.problem)) return PhoneRead::bad;
    message.positions.push_back(std::move(point));
    return PhoneRead::positions;
}

// {"device_id":"48241179","location":{"timestamp":"2026-01-01T10:00:00.000Z","coords":{"latitude":48.85,
// "longitude":2.35,"speed":4.2,"heading":90,"accuracy":5,"altitude":30},"battery":{"level":0.8}}}
PhoneRead readOsmAndJson(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message) {
    const Json document = parseJson(body);
    if (!document.is_object()) return refuse(message, "not a JSON object");
    message.key = textAt(document, "device_id");
    if (message.key.empty()) return refuse(message, "no device_id");
    const Json* location = objectAt(document, "location");
    const Json* coords = location != nullptr ? objectAt(*location, "coords") : nullptr;
    if (coords == nullptr) return refuse(message, "no location.coords");
    const std::optional<double> lat = numberAt(*coords, "latitude");
    const std::optional<double> lon = numberAt(*coords, "longitude");
    if (!lat || !lon) return refuse(message, "no latitude and longitude");
    Position point;
    point.lat = *lat;
    point.lon = *lon;
    point.speedKnots = numberAt(*coords, "speed").value_or(0) * knotsPerMetrePerSecond;
    point.timeUs = arrivalUs;
    if (location->contains("timestamp")) {
        if (!timeAt(*location, "timestamp", point.timeUs)) return refuse(message, "timestamp is not a time");
        point.timeSent = true;
    }
    point.extras.courseDegrees = numberAt(*coords, "heading");
    point.extras.altitudeMetres = numberAt(*coords, "altitude");
    point.extras.accuracyMetres = numberAt(*coords, "accuracy");
    if (const Json* battery = objectAt(*location, "battery"); battery != nullptr)
        point.extras.batteryPercent = percentOfLevel(numberAt(*battery, "level"));
    if (!finishPoint(point, arrivalUs, message.problem)) return PhoneRead::bad;
    message.positions.push_back(std::move(point));
    return PhoneRead::positions;
}

// ---- OwnTracks -------------------------------------------------------------------------

// {"_type":"location","lat":48.85,"lon":2.35,"tst":1796635200,"vel":15,"cog":270,"alt":35,"acc":5,"batt":80}
PhoneRead readOwnTracks(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message) {
    const Json document = parseJson(body);
    if (!document.is_object()) return refuse(message, "not a JSON object");
    const std::string type = textAt(document, "_type");
    if (type.empty()) return refuse(message, "no _type");
    if (type == "encrypted")
        return refuse(message, "encrypted payloads are not supported: turn encryption off");
    if (type != "location") return PhoneRead::nothingToStore;
    const std::optional<double> lat = numberAt(document, "lat");
    const std::optional<double> lon = numberAt(document, "lon");
    Position point;
    if (!lat || !lon || !timeAt(document, "tst", point.timeUs)) return refuse(message, "no lat, lon and tst");
    point.timeSent = true;
    point.lat = *lat;
    point.lon = *lon;
    point.speedKnots = numberAt(document, "vel").value_or(0) * knotsPerKmh;
    point.extras.courseDegrees = numberAt(document, "cog");
    point.extras.altitudeMetres = numberAt(document, "alt");
    point.extras.accuracyMetres = numberAt(document, "acc");
    point.extras.batteryPercent = numberAt(document, "batt");
    if (!finishPoint(point, arrivalUs, message.problem)) return PhoneRead::bad;
    message.positions.push_back(std::move(point));
    return PhoneRead::positions;
}

// ---- Overland ------------------------------------------------------------------------------

namespace {

// One feature of a batch: false when it can never be stored.
bool readOverlandPoint(const Json& feature, std::int64_t arrivalUs, Position& point, std::string& problem) {
    const Json* geometry = feature.is_object() ? objectAt(feature, "geometry") : nullptr;
    const Json* properties = feature.is_object() ? objectAt(feature, "properties") : nullptr;
    const auto coordinates = geometry != nullptr ? geometry->find("coordinates") : Json::const_iterator();
    if (geometry == nullptr || properties == nullptr || coordinates == geometry->end() ||
        !coordinates->is_array() || coordinates->size() < 2 || !(*coordinates)[0].is_number() ||
        !(*coordinates)[1].is_number()) {
        problem = "not a GeoJSON point with properties";
        return false;
    }
    point.lon = (*coordinates)[0].get<double>();  // GeoJSON: longitude first
    point.lat = (*coordinates)[1].get<double>();
    if (!timeAt(*properties, "timestamp", point.timeUs)) {
        problem = "no timestamp";
        return false;
    }
    point.timeSent = true;
    point.speedKnots = numberAt(*properties, "speed").value_or(0) * knotsPerMetrePerSecond;
    point.extras.courseDegrees = numberAt(*properties, "course");
    point.extras.altitudeMetres = numberAt(*properties, "altitude");
    point.extras.accuracyMetres = numberAt(*properties, "horizontal_accuracy");
    point.extras.batteryPercent = percentOfLevel(numberAt(*properties, "battery_level"));
    return finishPoint(point, arrivalUs, problem);
}

}  // namespace

PhoneRead readOverland(std::string_view body, std::int64_t arrivalUs, PhoneMessage& message) {
    const Json document = parseJson(body);
    const auto locations = document.is_object() ? document.find("locations") : Json::const_iterator();
    if (!document.is_object() || locations == document.end() || !locations->is_array())
        return refuse(message, "no locations array");
    if (locations->size() > overlandBatchMaxPoints) return refuse(message, "too many locations");
    for (const Json& feature : *locations) {
        Position point;
        std::string problem;
        if (readOverlandPoint(feature, arrivalUs, point, problem)) {
            message.positions.push_back(std::move(point));
        } else {
            message.pointsLeftOut++;
            if (message.problem.empty()) message.problem = problem;
        }
    }
    return message.positions.empty() ? PhoneRead::nothingToStore : PhoneRead::positions;
}

// ---- OwnTracks' answer -------------------------------------------------------------------------

void appendOwnTracksLocation(std::string& out, std::string_view login, const Position& position) {
    out += R"({"_type":"location","tid":)";
    appendJsonString(out, login.substr(0, 2));
    out += R"(,"topic":)";
    appendJsonString(out, "owntracks/" + std::string(login) + "/wayloom");
    out += R"(,"lat":)";
    appendNumber(out, position.lat);
    out += R"(,"lon":)";
    appendNumber(out, position.lon);
    out += R"(,"tst":)";
    out += std::to_string(position.timeUs / 1000000);
    out += R"(,"vel":)";
    out += std::to_string(
        std::llround(position.speedKnots * 1.852));  // km/h, a whole number as the app sends it
    const PositionExtras& extras = position.extras;
    if (extras.courseDegrees) out += R"(,"cog":)" + std::to_string(std::llround(*extras.courseDegrees));
    if (extras.altitudeMetres) out += R"(,"alt":)" + std::to_string(std::llround(*extras.altitudeMetres));
    if (extras.accuracyMetres) out += R"(,"acc":)" + std::to_string(std::llround(*extras.accuracyMetres));
    if (extras.batteryPercent) out += R"(,"batt":)" + std::to_string(std::llround(*extras.batteryPercent));
    out += '}';
}
