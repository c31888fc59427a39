// Reports at distance and at turns. Distances are great-circle on a sphere of
// the Earth's mean radius (haversine), within 0.5% of the ellipsoid, which is
// far closer than a report distance needs.
#include "report/trigger.hpp"

#include <algorithm>
#include <cmath>

#include "settings/settings.hpp"

namespace {

constexpr double degreesToRadians = 3.14159265358979323846 / 180.0;

bool moving(const CurrentMotion& now) {
    return now.speedKnots >= movingSpeedKnots && now.courseGiven;
}

}  // namespace

ReportTriggers reportTriggers(const Settings& given, std::int64_t intervalSecondMs) {
    return {static_cast<double>(given.reportDistanceMetres), static_cast<double>(given.reportTurnDegrees),
            std::int64_t{effectiveReportMinInterval(given)} * intervalSecondMs};
}

bool triggersOn(const ReportTriggers& triggers) {
    return triggers.distanceMetres > 0.0 || triggers.turnDegrees > 0.0;
}

double greatCircleMetres(double latitude1, double longitude1, double latitude2, double longitude2) {
    const double phi1 = latitude1 * degreesToRadians;
    const double phi2 = latitude2 * degreesToRadians;
    const double halfPhi = std::sin((phi2 - phi1) / 2.0);
    const double halfLambda = std::sin((longitude2 - longitude1) * degreesToRadians / 2.0);
    const double h = halfPhi * halfPhi + std::cos(phi1) * std::cos(phi2) * halfLambda * halfLambda;
    return 2.0 * earthRadiusMetres * std::asin(std::sqrt(std::clamp(h, 0.0, 1.0)));
}

double courseDifference(double course1, double course2) {
    const double difference = std::fabs(std::fmod(course1 - course2, 360.0));
    return difference > 180.0 ? 360.0 - difference : difference;
}

ReportDue reportDue(const ReportTriggers& triggers, ReportedPlace& last, const CurrentMotion& now,
                    std::int64_t nowMs, std::int64_t intervalDueMs) {
    if (nowMs >= intervalDueMs) return ReportDue::interval;
    if (!last.made || !now.usable) return ReportDue::notYet;
    if (!last.courseKnown && moving(now)) {
        last.course = now.course;
        last.courseKnown = true;
    }
    if (nowMs - last.atMs < triggers.minIntervalMs) return ReportDue::notYet;
    if (triggers.distanceMetres > 0.0 && greatCircleMetres(last.latitude, last.longitude, now.latitude,
                                                           now.longitude) >= triggers.distanceMetres)
        return ReportDue::distance;
    if (triggers.turnDegrees > 0.0 && last.courseKnown && moving(now) &&
        courseDifference(last.course, now.course) >= triggers.turnDegrees)
        return ReportDue::turn;
    return ReportDue::notYet;
}

void noteReport(ReportedPlace& last, const CurrentMotion& now, std::int64_t atMs) {
    last = {true, now.latitude, now.longitude, moving(now), now.course, atMs};
}
