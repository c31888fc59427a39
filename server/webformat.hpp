// Text of the web API and its exports: JSON and XML escaping, and the track
// documents (a JSON array, a GeoJSON FeatureCollection, a GPX 1.1 file)
// written piece by piece so that a long range never sits whole in memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/storage.hpp"

struct TrackPoint {
    std::int64_t timeMicros;  // when the position was taken, UTC
    double lat, lon;          // decimal degrees
    double speedKnots;
    PositionExtras extras{};
};

enum class TrackFormat { json, geojson, gpx };

// Appends a JSON string of the bytes: quotes, backslashes and control bytes
// escaped, "<", ">" and "&" as \u escapes so that the text is inert if it
// ever lands in HTML, and every byte that is not part of valid UTF-8 as
// U+FFFD.
void appendJsonString(std::string& out, std::string_view bytes);

// Appends XML character data for text and attribute values: the five markup
// characters as entities; control bytes, U+FFFE and U+FFFF (which XML 1.0
// does not allow) and bytes that are not valid UTF-8 as U+FFFD.
void appendXmlText(std::string& out, std::string_view bytes);

// Appends the shortest plain decimal text (no exponent) that reads back as
// the same double; "null" for a value that is not finite (JSON has no NaN).
void appendNumber(std::string& out, double value);

// Appends ',"course":C,"altitude":A,"accuracy":R,"battery":B,"hdop":H,
// "satellites":N', each null when unknown: the extras of a position as the
// web API gives them.
void appendExtrasJson(std::string& out, const PositionExtras& extras);

// A track document in the making. The writer is fed the points of the range
// batch by batch, in time order. A GeoJSON track holds the whole line first
// (a LineString, which needs two points or more), then a Point feature per
// report, so its caller reads the range twice when trackNeedsSecondPass()
// says so; with fewer than two points in the range, there is no line and one
// pass. A GeoJSON track may also hold the line alone or the points alone, as
// readers that take one geometry type per layer want.
struct TrackWriter {
    TrackFormat format;
    int pass;           // 0 first pass, 1 second (GeoJSON only)
    bool pointWritten;  // a point was written in this pass: a separator is due
    bool line;          // GeoJSON: the track's LineString comes first
    bool points;        // GeoJSON: a Point feature per report
};

// What a GeoJSON track holds: both (the default), the line only, the points
// only.
enum class GeoJsonGeometry { lineAndPoints, line, points };

// A writer; fewerThanTwo tells that the range holds fewer than two points.
TrackWriter trackWriterFor(TrackFormat format, bool fewerThanTwo = false,
                           GeoJsonGeometry geometry = GeoJsonGeometry::lineAndPoints);

// The geometry named in a request ("" the default, "line", "points"); false
// for another name.
bool readGeoJsonGeometry(std::string_view name, GeoJsonGeometry& geometry);

// A download's file name: the login part, the UTC day the range starts on and,
// when it ends on another day, the day it ends on, then the extension
// ("anna-2026-12-07.gpx", "anna-2026-12-06-to-2026-12-07.gpx").
std::string trackFileName(std::string_view loginPart, std::int64_t fromUs, std::int64_t toUs,
                          TrackFormat format);

// The opening of the document: for GPX the track is named after the login.
void trackBegin(TrackWriter& writer, std::string& out, std::string_view login);
// Appends the next points of the range, in time order.
void trackPoints(TrackWriter& writer, std::string& out, std::span<const TrackPoint> points);
// True once, after the first pass of a format that needs two; the writer is
// then ready for the points from the beginning again.
bool trackNeedsSecondPass(TrackWriter& writer, std::string& out);
// The closing of the document, after the last point.
void trackEnd(TrackWriter& writer, std::string& out);

// The content type and file extension of a format.
std::string_view trackContentType(TrackFormat format);
std::string_view trackFileExtension(TrackFormat format);

// ---- Requests of the management API: one flat JSON object

constexpr std::size_t jsonFieldsMax = 16;  // far more than any request of the API has

// One member of a flat JSON object: a string, a boolean, a number or null.
struct JsonField {
    enum class Kind { string, boolean, number, null };
    std::string name;
    Kind kind = Kind::null;
    std::string text;  // a string's value, decoded to UTF-8
    bool flag = false;
    double number = 0;
};

// Reads a JSON object whose values are strings, booleans, numbers or null
// (no nested objects or arrays), with at most jsonFieldsMax members; false
// for anything else, for a string with an escape of a lone surrogate, and
// for text after the object.
bool readJsonObject(std::string_view text, std::vector<JsonField>& fields);

// The member of that name; nullptr when absent.
const JsonField* jsonField(const std::vector<JsonField>& fields, std::string_view name);
