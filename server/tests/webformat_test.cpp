#include "server/webformat.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string jsonOf(std::string_view bytes) {
    std::string out;
    appendJsonString(out, bytes);
    return out;
}

std::string xmlOf(std::string_view bytes) {
    std::string out;
    appendXmlText(out, bytes);
    return out;
}

const std::vector<TrackPoint> track = {
    {1796635200000000, 48.1173, 11.518712, 10, {}},
    {1796635230500000, 48.11745, 11.519, 10.5, {270.5, -12.25, 8, 55, 1.2, 9}},
    {1796635260000000, -33.5, -70.25, 0, {0.0, {}, {}, {}, {}, {}}},
};
// The extras of the points above, as JSON gives them.
constexpr std::string_view none = R"(,"course":null,"altitude":null,"accuracy":null,"battery":null,)"
                                  R"("hdop":null,"satellites":null)";
constexpr std::string_view all = R"(,"course":270.5,"altitude":-12.25,"accuracy":8,"battery":55,"hdop":1.2,)"
                                 R"("satellites":9)";
constexpr std::string_view north = R"(,"course":0,"altitude":null,"accuracy":null,"battery":null,)"
                                   R"("hdop":null,"satellites":null)";

// The whole document, fed in batches of `batch` points and read twice when
// the writer asks for it, as the server does.
std::string documentOf(TrackFormat format, std::size_t batch) {
    TrackWriter writer = trackWriterFor(format);
    std::string out;
    trackBegin(writer, out, "dev<1>");
    do {
        for (std::size_t at = 0; at < track.size(); at += batch)
            trackPoints(writer, out, std::span(track).subspan(at, std::min(batch, track.size() - at)));
    } while (trackNeedsSecondPass(writer, out));
    trackEnd(writer, out);
    return out;
}

// The document of the first count points of the track, for login "x", in one
// batch per pass.
std::string documentOfFirst(TrackWriter writer, std::size_t count) {
    std::string out;
    trackBegin(writer, out, "x");
    do {
        trackPoints(writer, out, std::span(track).first(count));
    } while (trackNeedsSecondPass(writer, out));
    trackEnd(writer, out);
    return out;
}

}  // namespace

TEST(WebText, JsonStringsAreInertAndValidUtf8) {
    struct Case {
        std::string_view bytes;
        const char* json;
    };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"<script>alert(1)</script>", R"("\u003cscript\u003ealert(1)\u003c/script\u003e")"},
        {"a&b", R"("a\u0026b")"},
        {std::string_view("\n\t\0\x1f\x7f", 5), R"("\u000a\u0009\u0000\u001f\u007f")"},
        {"Mü\xE2\x82\xAC\xF0\x9F\x9A\xB2", "\"Mü€🚲\""},
        {"\xFF", "\"\xEF\xBF\xBD\""},                                  // never valid
        {"\xC3", "\"\xEF\xBF\xBD\""},                                  // cut short at the end
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong "/"
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
        {"\xF4\x90\x80\x80x", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\""},  // beyond U+10FFFF
    };
    for (const Case& c : cases) EXPECT_EQ(jsonOf(c.bytes), c.json) << c.json;
}

TEST(WebText, XmlTextEscapesMarkupAndReplacesWhatXmlDoesNotAllow) {
    EXPECT_EQ(xmlOf("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&apos;&amp;&apos;&lt;/a&gt;");
    EXPECT_EQ(xmlOf(std::string_view("a\0b\x1b\tc\n", 7)),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\tc\n");
    EXPECT_EQ(xmlOf("\xFE\xC3\xA9"), "\xEF\xBF\xBD\xC3\xA9");
    // U+FFFE and U+FFFF, beside U+FFFD and U+FFFC which XML allows.
    EXPECT_EQ(xmlOf("\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBC"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBC");
}

TEST(WebText, NumbersReadBackExactly) {
    struct Case {
        double value;
        std::string text;
    };
    const Case cases[] = {
        {48.1173, "48.1173"},
        {-0.5, "-0.5"},
        {0, "0"},
        {1e-7, "0.0000001"},
        {-9.5e-5, "-0.000095"},
        {1e21, "1000000000000000000000"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {0.1 + 0.2, "0.30000000000000004"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const Case& c : cases) {
        std::string out;
        appendNumber(out, c.value);
        EXPECT_EQ(out, c.text);
    }
}

TEST(TrackWriter, DocumentsDoNotDependOnTheBatches) {
    const std::string json =
        R"([{"time":"2026-12-07T09:20:00Z","lat":48.1173,"lon":11.518712,"speed":10)" + std::string(none) +
        R"(},{"time":"2026-12-07T09:20:30.500Z","lat":48.11745,"lon":11.519,"speed":10.5)" +
        std::string(all) + R"(},{"time":"2026-12-07T09:21:00Z","lat":-33.5,"lon":-70.25,"speed":0)" +
        std::string(north) + "}]";
    const std::string geojson =
        R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"login":"dev\u003c1\u003e"},)"
        R"("geometry":{"type":"LineString","coordinates":[[11.518712,48.1173],[11.519,48.11745],[-70.25,-33.5]]}},)"
        R"({"type":"Feature","geometry":{"type":"Point","coordinates":[11.518712,48.1173]},)"
        R"("properties":{"time":"2026-12-07T09:20:00Z","speed":10)" +
        std::string(none) +
        R"(}},{"type":"Feature","geometry":{"type":"Point","coordinates":[11.519,48.11745]},)"
        R"("properties":{"time":"2026-12-07T09:20:30.500Z","speed":10.5)" +
        std::string(all) +
        R"(}},{"type":"Feature","geometry":{"type":"Point","coordinates":[-70.25,-33.5]},)"
        R"("properties":{"time":"2026-12-07T09:21:00Z","speed":0)" +
        std::string(north) + "}}]}";
    const char* gpx =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<gpx version=\"1.1\" creator=\"wayloom-server\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
        "xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\">\n"
        "<trk><name>dev&lt;1&gt;</name><trkseg>\n"
        "<trkpt lat=\"48.1173\" lon=\"11.518712\"><time>2026-12-07T09:20:00Z</time></trkpt>\n"
        "<trkpt lat=\"48.11745\" lon=\"11.519\"><ele>-12.25</ele><time>2026-12-07T09:20:30.500Z</time>"
        "<sat>9</sat><hdop>1.2</hdop><extensions><gpxtpx:TrackPointExtension><gpxtpx:course>270.5"
        "</gpxtpx:course></gpxtpx:TrackPointExtension></extensions></trkpt>\n"
        "<trkpt lat=\"-33.5\" lon=\"-70.25\"><time>2026-12-07T09:21:00Z</time><extensions>"
        "<gpxtpx:TrackPointExtension><gpxtpx:course>0</gpxtpx:course></gpxtpx:TrackPointExtension>"
        "</extensions></trkpt>\n"
        "</trkseg></trk>\n</gpx>\n";
    for (std::size_t batch : {1u, 2u, 3u}) {
        SCOPED_TRACE(batch);
        EXPECT_EQ(documentOf(TrackFormat::json, batch), json);
        EXPECT_EQ(documentOf(TrackFormat::geojson, batch), geojson);
        EXPECT_EQ(documentOf(TrackFormat::gpx, batch), gpx);
    }
}

TEST(TrackWriter, ShortRangesGiveValidDocuments) {
    struct Case {
        TrackFormat format;
        std::size_t points;
        const char* text;
    };
    const Case cases[] = {
        {TrackFormat::json, 0, "[]"},
        {TrackFormat::geojson, 0, R"({"type":"FeatureCollection","features":[]})"},
        {TrackFormat::geojson, 1,
         R"({"type":"FeatureCollection","features":[{"type":"Feature","geometry":{"type":"Point",)"
         R"("coordinates":[11.518712,48.1173]},"properties":{"time":"2026-12-07T09:20:00Z","speed":10,"course":null,)"
         R"("altitude":null,"accuracy":null,"battery":null,"hdop":null,"satellites":null}}]})"},
        {TrackFormat::gpx, 0,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"wayloom-server\" "
         "xmlns=\"http://www.topografix.com/GPX/1/1\" "
         "xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\">\n<trk><name>x</name>"
         "<trkseg>\n</trkseg></trk>\n</gpx>\n"},
    };
    for (const Case& c : cases) {
        TrackWriter writer = trackWriterFor(c.format, c.points < 2);
        EXPECT_EQ(documentOfFirst(writer, c.points), c.text);
    }
}

TEST(TrackWriter, GeoJsonHoldsTheGeometryAskedFor) {
    struct Case {
        std::string_view name;
        std::size_t points;
        const char* text;
    };
    const char* open = R"({"type":"FeatureCollection","features":[)";
    const std::string line =
        std::string(open) + R"({"type":"Feature","properties":{"login":"x"},"geometry":{"type":"LineString",)"
                            R"("coordinates":[[11.518712,48.1173],[11.519,48.11745]]}}]})";
    const std::string points =
        std::string(open) +
        R"({"type":"Feature","geometry":{"type":"Point","coordinates":[11.518712,48.1173]},)"
        R"("properties":{"time":"2026-12-07T09:20:00Z","speed":10)" +
        std::string(none) +
        R"(}},{"type":"Feature","geometry":{"type":"Point","coordinates":[11.519,48.11745]},)"
        R"("properties":{"time":"2026-12-07T09:20:30.500Z","speed":10.5)" +
        std::string(all) + "}}]}";
    const std::string empty = std::string(open) + "]}";
    const Case cases[] = {
        {"line", 2, line.c_str()},
        {"points", 2, points.c_str()},
        {"line", 1, empty.c_str()},  // a LineString needs two points
        {"points", 0, empty.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.points));
        GeoJsonGeometry geometry{};
        ASSERT_TRUE(readGeoJsonGeometry(c.name, geometry));
        TrackWriter writer = trackWriterFor(TrackFormat::geojson, c.points < 2, geometry);
        EXPECT_EQ(documentOfFirst(writer, c.points), c.text);
    }
    GeoJsonGeometry geometry{};
    EXPECT_FALSE(readGeoJsonGeometry("lines", geometry));
}

TEST(TrackWriter, DownloadsAreNamedAfterTheDaysTheyHold) {
    struct Case {
        std::int64_t fromUs, toUs;
        TrackFormat format;
        const char* name;
    };
    const Case cases[] = {
        {1796635200000000, 1796635260000000, TrackFormat::gpx, "anna-2026-12-07.gpx"},
        {1796601600000000, 1796687999999999, TrackFormat::geojson, "anna-2026-12-07.geojson"},
        {1796635200000000 - 86400000000, 1796635200000000, TrackFormat::gpx,
         "anna-2026-12-06-to-2026-12-07.gpx"},
    };
    for (const Case& c : cases) EXPECT_EQ(trackFileName("anna", c.fromUs, c.toUs, c.format), c.name);
}

namespace {

// The fields of a request as "name=kind:value" words, for comparing whole.
std::string fieldsOf(std::string_view text) {
    std::vector<JsonField> fields;
    if (!readJsonObject(text, fields)) return "refused";
    std::string out;
    for (const JsonField& field : fields) {
        out += (out.empty() ? "" : " ") + field.name + "=";
        switch (field.kind) {
            case JsonField::Kind::string:
                out += "s:" + field.text;
                break;
            case JsonField::Kind::boolean:
                out += field.flag ? "b:true" : "b:false";
                break;
            case JsonField::Kind::number:
                out += "n:" + std::to_string(field.number);
                break;
            case JsonField::Kind::null:
                out += "null";
                break;
        }
    }
    return out;
}

}  // namespace

TEST(ApiRequests, FlatJsonObjectsAreReadAndEverythingElseRefused) {
    struct Case {
        std::string_view text;
        const char* fields;
    };
    const Case cases[] = {
        {R"({"login":"van","hours":24,"track":true})", "login=s:van hours=n:24.000000 track=b:true"},
        {" { \"enabled\" : false , \"x\" : null }\n", "enabled=b:false x=null"},
        {"{}", ""},
        {R"({"password":"a\"b\\c\/\n\u00fc\ud83d\udeb2"})", "password=s:a\"b\\c/\nü🚲"},
        {R"({"hours":1.5e1})", "hours=n:15.000000"},
        {R"({"hours":-2})", "hours=n:-2.000000"},
        // Refused: not one flat object, or not JSON.
        {R"({"a":{"b":1}})", "refused"},
        {R"({"a":[1]})", "refused"},
        {R"(["a"])", "refused"},
        {R"({"a":1}{)", "refused"},
        {R"({"a":1,})", "refused"},
        {R"({"a" 1})", "refused"},
        {R"({a:1})", "refused"},
        {R"({"a":"unterminated)", "refused"},
        {"{\"a\":\"raw\ncontrol\"}", "refused"},
        {R"({"a":"\ud83d"})", "refused"},  // a lone surrogate
        {R"({"a":"\udeb2"})", "refused"},
        {R"({"a":"\x41"})", "refused"},
        {R"({"a":tru})", "refused"},
        {R"({"a":1e999})", "refused"},  // not finite
        {R"({"a":-})", "refused"},
        {"", "refused"},
        {R"({"1":1,"2":2,"3":3,"4":4,"5":5,"6":6,"7":7,"8":8,"9":9,"10":10,"11":11,"12":12,"13":13,"14":14,"15":15,"16":16,"17":17})",
         "refused"},  // more than jsonFieldsMax
    };
    for (const Case& c : cases) EXPECT_EQ(fieldsOf(c.text), c.fields) << c.text;
}
