// JSON, XML and the track documents. Escaping walks the bytes once, copying
// runs of valid UTF-8 and replacing what is not; the track writers append to
// the caller's buffer, which the caller sends and clears after each batch.
#include "server/webformat.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "server/webtime.hpp"

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
// The longest plain decimal of a double: "-" and 309 digits for the largest,
// "0." and 1074 places for the smallest subnormal.
constexpr std::size_t plainDoubleMaxChars = 1080;

// The length of the valid UTF-8 sequence that starts at `at` (1 to 4), or 0
// when the bytes there are not one: a stray continuation byte, a sequence
// cut short, an overlong form, a surrogate, or a value beyond U+10FFFF.
std::size_t utf8SequenceLength(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// U+FFFE and U+FFFF: valid UTF-8, but characters XML does not allow.
bool isXmlNonCharacter(std::string_view bytes, std::size_t at, std::size_t length) {
    return length == 3 && bytes.substr(at, 2) == "\xEF\xBF" &&
           (bytes[at + 2] == '\xBE' || bytes[at + 2] == '\xBF');
}

// Walks bytes, appending valid multibyte sequences as they are, invalid
// bytes (and, for XML, U+FFFE and U+FFFF) as U+FFFD, and each ASCII byte
// through escapeAscii.
template <typename EscapeAscii>
void appendEscaped(std::string& out, std::string_view bytes, EscapeAscii escapeAscii, bool xml = false) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t length = utf8SequenceLength(bytes, at);
        if (length == 0 || (xml && isXmlNonCharacter(bytes, at, length))) {
            out.append(replacementCharacter);
            at += std::max<std::size_t>(length, 1);
        } else if (length == 1) {
            escapeAscii(bytes[at]);
            ++at;
        } else {
            out.append(bytes.substr(at, length));
            at += length;
        }
    }
}

void appendCoordinates(std::string& out, const TrackPoint& point) {
    out.push_back('[');
    appendNumber(out, point.lon);
    out.push_back(',');
    appendNumber(out, point.lat);
    out.push_back(']');
}

void appendJsonPoint(std::string& out, const TrackPoint& point) {
    out.append("{\"time\":\"");
    appendIsoTime(out, point.timeMicros);
    out.append("\",\"lat\":");
    appendNumber(out, point.lat);
    out.append(",\"lon\":");
    appendNumber(out, point.lon);
    out.append(",\"speed\":");
    appendNumber(out, point.speedKnots);
    appendExtrasJson(out, point.extras);
    out.push_back('}');
}

void appendGeoJsonPoint(std::string& out, const TrackPoint& point) {
    out.append("{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":");
    appendCoordinates(out, point);
    out.append("},\"properties\":{\"time\":\"");
    appendIsoTime(out, point.timeMicros);
    out.append("\",\"speed\":");
    appendNumber(out, point.speedKnots);
    appendExtrasJson(out, point.extras);
    out.append("}}");
}

void appendGpxPoint(std::string& out, const TrackPoint& point) {
    out.append("<trkpt lat=\"");
    appendNumber(out, point.lat);
    out.append("\" lon=\"");
    appendNumber(out, point.lon);
    out.append("\">");
    const PositionExtras& extras = point.extras;
    if (extras.altitudeMetres) {
        out.append("<ele>");
        appendNumber(out, *extras.altitudeMetres);
        out.append("</ele>");
    }
    out.append("<time>");
    appendIsoTime(out, point.timeMicros);
    out.append("</time>");
    // GPX's own order: sat, hdop, then the extensions.
    if (extras.satellites) out.append("<sat>" + std::to_string(*extras.satellites) + "</sat>");
    if (extras.hdop) {
        out.append("<hdop>");
        appendNumber(out, *extras.hdop);
        out.append("</hdop>");
    }
    if (extras.courseDegrees) {
        // Course has no element of its own in GPX 1.1; this extension is the one map programs read.
        out.append("<extensions><gpxtpx:TrackPointExtension><gpxtpx:course>");
        appendNumber(out, *extras.courseDegrees);
        out.append("</gpxtpx:course></gpxtpx:TrackPointExtension></extensions>");
    }
    out.append("</trkpt>\n");
}

}  // namespace

void appendExtrasJson(std::string& out, const PositionExtras& extras) {
    const auto field = [&out](std::string_view name, const std::optional<double>& value) {
        out.append(name);
        if (value)
            appendNumber(out, *value);
        else
            out.append("null");
    };
    field(",\"course\":", extras.courseDegrees);
    field(",\"altitude\":", extras.altitudeMetres);
    field(",\"accuracy\":", extras.accuracyMetres);
    field(",\"battery\":", extras.batteryPercent);
    field(",\"hdop\":", extras.hdop);
    out.append(",\"satellites\":");
    out.append(extras.satellites ? std::to_string(*extras.satellites) : "null");
}

void appendJsonString(std::string& out, std::string_view bytes) {
    constexpr std::string_view hex = "0123456789abcdef";
    out.push_back('"');
    appendEscaped(out, bytes, [&out, hex](char c) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (code < 0x20 || c == '<' || c == '>' || c == '&' || code == 0x7f) {
            const char escaped[6] = {'\\', 'u', '0', '0', hex[code >> 4], hex[code & 0xf]};
            out.append(escaped, sizeof escaped);
        } else {
            out.push_back(c);
        }
    });
    out.push_back('"');
}

void appendXmlText(std::string& out, std::string_view bytes) {
    appendEscaped(
        out, bytes,
        [&out](char c) {
            switch (c) {
                case '<':
                    out.append("&lt;");
                    break;
                case '>':
                    out.append("&gt;");
                    break;
                case '&':
                    out.append("&amp;");
                    break;
                case '"':
                    out.append("&quot;");
                    break;
                case '\'':
                    out.append("&apos;");
                    break;
                case '\t':
                case '\n':
                case '\r':
                    out.push_back(c);
                    break;
                default:
                    if (static_cast<unsigned char>(c) >= 0x20) {
                        out.push_back(c);
                    } else {
                        out.append(replacementCharacter);  // other controls XML does not allow
                    }
            }
        },
        true);
}

void appendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    // Plain decimal (what xsd:decimal and every JSON reader take), the fewest
    // digits that read back as the same double: 1e-7 is "0.0000001".
    std::array<char, plainDoubleMaxChars> text{};
    auto [end, error] =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    out.append(text.data(), end);
}

TrackWriter trackWriterFor(TrackFormat format, bool fewerThanTwo, GeoJsonGeometry geometry) {
    const bool geojson = format == TrackFormat::geojson;
    return {format, 0, false, geojson && !fewerThanTwo && geometry != GeoJsonGeometry::points,
            geometry != GeoJsonGeometry::line};
}

bool readGeoJsonGeometry(std::string_view name, GeoJsonGeometry& geometry) {
    struct Named {
        std::string_view name;
        GeoJsonGeometry geometry;
    };
    constexpr Named names[] = {
        {"", GeoJsonGeometry::lineAndPoints},
        {"line", GeoJsonGeometry::line},
        {"points", GeoJsonGeometry::points},
    };
    for (const Named& each : names) {
        if (name != each.name) continue;
        geometry = each.geometry;
        return true;
    }
    return false;
}

std::string trackFileName(std::string_view loginPart, std::int64_t fromUs, std::int64_t toUs,
                          TrackFormat format) {
    const std::string firstDay = formatIsoTime(fromUs).substr(0, isoDateLength);
    const std::string lastDay = formatIsoTime(toUs).substr(0, isoDateLength);
    std::string name(loginPart);
    name += "-" + firstDay;
    if (lastDay != firstDay) name += "-to-" + lastDay;
    name += ".";
    name.append(trackFileExtension(format));
    return name;
}

void trackBegin(TrackWriter& writer, std::string& out, std::string_view login) {
    writer.pass = 0;
    writer.pointWritten = false;
    switch (writer.format) {
        case TrackFormat::json:
            out.push_back('[');
            break;
        case TrackFormat::geojson:
            out.append("{\"type\":\"FeatureCollection\",\"features\":[");
            if (!writer.line) {
                writer.pass = 1;  // the Point features alone
                break;
            }
            out.append("{\"type\":\"Feature\",\"properties\":{\"login\":");
            appendJsonString(out, login);
            out.append("},\"geometry\":{\"type\":\"LineString\",\"coordinates\":[");
            break;
        case TrackFormat::gpx:
            out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
            out.append("<gpx version=\"1.1\" creator=\"wayloom-server\" ");
            out.append("xmlns=\"http://www.topografix.com/GPX/1/1\" ");
            out.append(
                "xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\">\n<trk><name>");
            appendXmlText(out, login);
            out.append("</name><trkseg>\n");
            break;
    }
}

void trackPoints(TrackWriter& writer, std::string& out, std::span<const TrackPoint> points) {
    if (writer.format == TrackFormat::geojson && writer.pass == 1 && !writer.points) return;
    for (const TrackPoint& point : points) {
        if (writer.pointWritten && writer.format != TrackFormat::gpx) out.push_back(',');
        writer.pointWritten = true;
        switch (writer.format) {
            case TrackFormat::json:
                appendJsonPoint(out, point);
                break;
            case TrackFormat::geojson:
                if (writer.pass == 0)
                    appendCoordinates(out, point);
                else
                    appendGeoJsonPoint(out, point);
                break;
            case TrackFormat::gpx:
                appendGpxPoint(out, point);
                break;
        }
    }
}

bool trackNeedsSecondPass(TrackWriter& writer, std::string& out) {
    if (writer.format != TrackFormat::geojson || writer.pass != 0) return false;
    out.append("]}}");
    writer.pass = 1;
    writer.pointWritten = true;  // the LineString feature precedes the points
    return writer.points;
}

void trackEnd(TrackWriter& writer, std::string& out) {
    switch (writer.format) {
        case TrackFormat::json:
            out.push_back(']');
            break;
        case TrackFormat::geojson:
            out.append("]}");
            break;
        case TrackFormat::gpx:
            out.append("</trkseg></trk>\n</gpx>\n");
            break;
    }
}

std::string_view trackContentType(TrackFormat format) {
    switch (format) {
        case TrackFormat::json:
            return "application/json";
        case TrackFormat::geojson:
            return "application/geo+json";
        case TrackFormat::gpx:
            return "application/gpx+xml";
    }
    return "application/octet-stream";
}

std::string_view trackFileExtension(TrackFormat format) {
    switch (format) {
        case TrackFormat::json:
            return "json";
        case TrackFormat::geojson:
            return "geojson";
        case TrackFormat::gpx:
            return "gpx";
    }
    return "txt";
}

// ---- Requests of the management API -------------------------------------------------------

namespace {

// Reading position over the text of a request.
struct JsonReader {
    std::string_view text;
    std::size_t at = 0;

    void skipSpace() {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }
    bool take(char c) {
        skipSpace();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    bool takeWord(std::string_view word) {
        if (text.substr(at, word.size()) != word) return false;
        at += word.size();
        return true;
    }
};

bool readHex4(JsonReader& in, unsigned& value) {
    if (in.text.size() - in.at < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = in.text[in.at++];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The escape after a backslash: \" \\ \/ \b \f \n \r \t \uXXXX (a surrogate
// pair as one character).
bool readEscape(JsonReader& in, std::string& out) {
    if (in.at >= in.text.size()) return false;
    constexpr std::string_view plain = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
    const char c = in.text[in.at++];
    if (const std::size_t found = plain.find(c); found != std::string_view::npos) {
        out += meaning[found];
        return true;
    }
    unsigned code = 0;
    if (c != 'u' || !readHex4(in, code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low = 0;
        if (!in.takeWord("\\u") || !readHex4(in, low) || low < 0xDC00 || low > 0xDFFF) return false;
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, code);
    return true;
}

bool readJsonString(JsonReader& in, std::string& out) {
    if (!in.take('"')) return false;
    out.clear();
    while (in.at < in.text.size()) {
        const char c = in.text[in.at++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            out += c;
        } else if (!readEscape(in, out)) {
            return false;
        }
    }
    return false;
}

bool readJsonValue(JsonReader& in, JsonField& field) {
    in.skipSpace();
    if (in.at >= in.text.size()) return false;
    const char c = in.text[in.at];
    if (c == '"') {
        field.kind = JsonField::Kind::string;
        return readJsonString(in, field.text);
    }
    if (in.takeWord("true") || in.takeWord("false")) {
        field.kind = JsonField::Kind::boolean;
        field.flag = in.text[in.at - 2] == 'u';  // "tru|e" rather than "fals|e"
        return true;
    }
    if (in.takeWord("null")) return true;
    const std::size_t start = in.at;
    while (in.at < in.text.size() &&
           std::string_view("+-.0123456789eE").find(in.text[in.at]) != std::string_view::npos)
        ++in.at;
    const std::string_view number = in.text.substr(start, in.at - start);
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), field.number);
    field.kind = JsonField::Kind::number;
    return !number.empty() && error == std::errc() && end == number.data() + number.size() &&
           std::isfinite(field.number);
}

}  // namespace

bool readJsonObject(std::string_view text, std::vector<JsonField>& fields) {
    fields.clear();
    JsonReader in{text};
    if (!in.take('{')) return false;
    if (!in.take('}')) {
        do {
            if (fields.size() == jsonFieldsMax) return false;
            JsonField field;
            if (!readJsonString(in, field.name) || !in.take(':') || !readJsonValue(in, field)) return false;
            fields.push_back(std::move(field));
        } while (in.take(','));
        if (!in.take('}')) return false;
    }
    in.skipSpace();
    return in.at == text.size();
}

const JsonField* jsonField(const std::vector<JsonField>& fields, std::string_view name) {
    for (const JsonField& field : fields)
        if (field.name == name) return &field;
    return nullptr;
}
