// Reports at distance and at turns: whether a report is due before the report
// interval has run out. Pure logic over plain records; the cycle asks it about
// once a second while report-distance or report-turn is set.
#pragma once

#include <cstdint>

struct Settings;

// Below this speed over ground a receiver's course wanders with the noise of
// its fixes (a parked car can show any course), so turns are not looked for.
constexpr double movingSpeedKnots = 1.5;         // 2.8 km/h, a slow walk
constexpr double earthRadiusMetres = 6371008.8;  // the mean radius

struct ReportTriggers {
    double distanceMetres;       // 0: off
    double turnDegrees;          // 0: off
    std::int64_t minIntervalMs;  // no report brought early sooner than this after the last
};

// The triggers of the settings, with one second of intervalSecondMs.
ReportTriggers reportTriggers(const Settings& given, std::int64_t intervalSecondMs);

// True when either trigger is set; otherwise the cycle keeps its plain clock.
bool triggersOn(const ReportTriggers& triggers);

// What the receiver gives now; latitude and longitude signed (south and west
// negative).
struct CurrentMotion {
    bool usable;  // a fix the cycle would report
    double latitude, longitude;
    double speedKnots;
    bool courseGiven;
    double course;  // degrees from true north
};

// Where the last report was made.
struct ReportedPlace {
    bool made;  // false until the first report
    double latitude, longitude;
    bool courseKnown;  // the course of a report made while moving, or since moving began
    double course;
    std::int64_t atMs;  // monotonic time its position was taken
};

enum class ReportDue : std::uint8_t { notYet, interval, distance, turn };

// Whether a report is due at nowMs: the interval when intervalDueMs has come;
// else, once minIntervalMs have passed since the last report, the distance
// when the position lies distanceMetres or more from the last reported one, or
// the turn when, moving, the course differs turnDegrees or more from the one
// at the last report. A last report made standing gets, as its course, the
// first course given while moving.
ReportDue reportDue(const ReportTriggers& triggers, ReportedPlace& last, const CurrentMotion& now,
                    std::int64_t nowMs, std::int64_t intervalDueMs);

// Records a report of now, taken at atMs, as the last one.
void noteReport(ReportedPlace& last, const CurrentMotion& now, std::int64_t atMs);

// The great-circle distance between two points in signed decimal degrees.
double greatCircleMetres(double latitude1, double longitude1, double latitude2, double longitude2);

// The angle between two courses, 0 to 180 degrees.
double courseDifference(double course1, double course2);
