// The read API of the web page: the visible devices with their last position
// (once, or live as Server-Sent Events), and the positions of one device over
// a time range as JSON, GeoJSON or a GPX download. Ranges are read and
// written exportBatchPoints at a time, so an answer of any length holds one
// batch in memory.
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "server/metrics.hpp"
#include "server/phones.hpp"
#include "server/webformat.hpp"
#include "server/webroutes.hpp"
#include "server/webtime.hpp"

namespace {

constexpr std::string_view apiHeaders = "Cache-Control: no-store\r\n";

// The interval of an account's reports from up to 16 reports before its
// last one: looked for in the 10 minutes before it, then in eight times as
// long, up to about 4 days, until at least 6 are found.
std::int64_t judgeInterval(Storage& storage, std::int64_t accountId, std::int64_t lastUs) {
    constexpr std::size_t wanted = 16, enough = 6;
    constexpr std::int64_t firstWindowUs = 600LL * 1000000, lastWindowUs = firstWindowUs * 8 * 8 * 8;
    std::vector<StoredPosition> batch;
    for (std::int64_t windowUs = firstWindowUs; windowUs <= lastWindowUs && batch.size() < enough;
         windowUs *= 8) {
        PositionRange range;
        range.accountId = accountId;
        range.fromUs = lastUs - windowUs;
        range.toUs = lastUs + 1;
        if (!storage.readPositions(range, wanted, batch)) return 0;
    }
    std::vector<std::int64_t> times;
    for (const StoredPosition& stored : batch) times.push_back(stored.position.timeUs);
    std::sort(times.begin(), times.end());
    return medianGapMicros(times);
}

std::int64_t intervalOf(WebState& web, Storage& storage, std::int64_t accountId, std::int64_t lastUs,
                        std::int64_t nowUs_) {
    {
        const std::lock_guard guard(web.intervalsMutex);
        const auto found = web.intervals.find(accountId);
        if (found != web.intervals.end() && nowUs_ - found->second.judgedUs < intervalCacheUs)
            return found->second.intervalUs;
    }
    const std::int64_t intervalUs = judgeInterval(storage, accountId, lastUs);
    const std::lock_guard guard(web.intervalsMutex);
    web.intervals[accountId] = {intervalUs, nowUs_};
    return intervalUs;
}

// {"now":..., "devices":[{"login","time","lat","lon","speed","course","altitude","accuracy",
// "battery","hdop","satellites","interval","silent"}...]}
bool devicesJson(WebState& web, Storage& storage, const Viewer& viewer, std::string& out) {
    std::vector<StoredPosition> last;
    if (!storage.lastPositions(last)) return false;
    const std::int64_t now = nowUs();
    out = "{\"now\":\"";
    appendIsoTime(out, now);
    out += "\",\"devices\":[";
    bool first = true;
    for (const Account& account : visibleAccounts(web, viewer)) {
        if (!first) out += ',';
        first = false;
        out += "{\"login\":";
        appendJsonString(out, account.login);
        out += account.enabled ? ",\"enabled\":true" : ",\"enabled\":false";
        const auto found = std::find_if(last.begin(), last.end(), [&account](const StoredPosition& stored) {
            return stored.position.accountId == account.id;
        });
        if (found == last.end()) {
            out += ",\"time\":null}";
            continue;
        }
        const Position& position = found->position;
        const std::int64_t intervalUs = intervalOf(web, storage, account.id, position.timeUs, now);
        out += ",\"time\":\"";
        appendIsoTime(out, position.timeUs);
        out += "\",\"lat\":";
        appendNumber(out, position.lat);
        out += ",\"lon\":";
        appendNumber(out, position.lon);
        out += ",\"speed\":";
        appendNumber(out, position.speedKnots);
        appendExtrasJson(out, position.extras);
        out += ",\"interval\":";
        if (intervalUs > 0)
            appendNumber(out, static_cast<double>(intervalUs) / 1e6);
        else
            out += "null";
        out += deviceSilent(position.timeUs, intervalUs, now) ? ",\"silent\":true}" : ",\"silent\":false}";
    }
    out += "]}";
    return true;
}

void answerDevices(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::string body;
    if (!devicesJson(web, *storage, viewer, body)) return answerJsonError(stream, 503, "the database failed");
    stream.respond(200, "application/json", body, std::string(webHeaders) + std::string(apiHeaders));
}

// Server-Sent Events: the devices answer after every commit of reports (at
// most four times a second) and every few seconds without one, until the
// client goes, the server stops, or the viewer's session ends.
void answerLive(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    const LiveStreamSlot slot(web, viewer.accountId);
    if (!slot.taken) return answerJsonError(stream, 503, "too many live streams: ask /api/devices instead");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    if (!stream.beginStream(
            200, "text/event-stream",
            std::string(webHeaders) + std::string(apiHeaders) + "X-Accel-Buffering: no\r\n") ||
        !stream.send("retry: 1000\n\n"))
        return;
    std::uint64_t seen = 0;
    bool due = true;
    auto sent = std::chrono::steady_clock::now();
    std::string devices;
    while (!stream.stopping() && stream.open()) {
        if (due || std::chrono::steady_clock::now() - sent >= liveWakeInterval) {
            if (!identifyViewer(web, request, viewer)) {
                stream.send("event: signedout\ndata: {}\n\n");
                return;
            }
            if (devicesJson(web, *storage, viewer, devices) && !stream.send("data: " + devices + "\n\n"))
                return;
            sent = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(liveMinimumGap);
        }
        // Short waits, so that a stopping server is not held up, each ended
        // by an empty comment line, so that a client that has gone is noticed
        // (a write fails) within a second and its place freed.
        if (!stream.send(":\n")) return;
        const std::uint64_t commits = web.server->feed != nullptr
                                          ? web.server->feed->waitForCommit(seen, liveWaitSlice)
                                          : (std::this_thread::sleep_for(liveWaitSlice), seen);
        due = commits != seen;
        seen = commits;
    }
}

// The account and time range a positions or export request asks for: the
// viewer's own login and the last 24 hours unless it says otherwise.
struct RangeRequest {
    Account account;
    std::int64_t fromUs = 0, toUs = 0;
};

bool readRangeRequest(WebState& web, const HttpRequest& request, HttpStream& stream, RangeRequest& wanted) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) {
        answerUnauthorized(request, stream);
        return false;
    }
    std::string login = queryValue(request.query, "login");
    if (login.empty()) login = viewer.login;
    const std::vector<Account> visible = visibleAccounts(web, viewer);
    const auto found = std::find_if(visible.begin(), visible.end(),
                                    [&login](const Account& account) { return account.login == login; });
    if (found == visible.end()) {
        answerJsonError(stream, 404, "no such device");  // the same whether it exists or is not visible
        return false;
    }
    wanted.account = *found;
    const std::string from = queryValue(request.query, "from"), to = queryValue(request.query, "to");
    wanted.toUs = nowUs();
    if (!to.empty() && !parseRangeTime(to, true, wanted.toUs)) {
        answerJsonError(stream, 400, "to is not an ISO 8601 time such as 2026-12-07T09:20:00Z or a date");
        return false;
    }
    wanted.fromUs = wanted.toUs - defaultRangeUs;
    if (!from.empty() && !parseRangeTime(from, false, wanted.fromUs)) {
        answerJsonError(stream, 400, "from is not an ISO 8601 time such as 2026-12-07T09:20:00Z or a date");
        return false;
    }
    if (wanted.fromUs > wanted.toUs) {
        answerJsonError(stream, 400, "from is after to");
        return false;
    }
    return true;
}

// A file name part from a login: letters, digits, "-" and "_" kept, the rest "_".
std::string fileNamePart(std::string_view text) {
    std::string name;
    for (char c : text.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '_';
        name.push_back(plain ? c : '_');
    }
    return name.empty() ? "track" : name;
}

// Streams the range through a track writer, in order of time; "to" is
// inclusive, and a second pass stops at the last position of the first, so
// both passes see the same positions. A database that fails midway cuts the
// answer short: every format is a document whose end is written last, so a
// reader sees the cut.
void streamTrack(WebState& web, const HttpRequest& request, HttpStream& stream, TrackFormat format,
                 bool download) {
    RangeRequest wanted;
    if (!readRangeRequest(web, request, stream, wanted)) return;
    GeoJsonGeometry geometry = GeoJsonGeometry::lineAndPoints;
    if (format == TrackFormat::geojson &&
        !readGeoJsonGeometry(queryValue(request.query, "geometry"), geometry))
        return answerJsonError(stream, 400, "geometry is line or points");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::string headers = std::string(webHeaders) + std::string(apiHeaders);
    if (download) {
        headers += "Content-Disposition: attachment; filename=\"" +
                   trackFileName(fileNamePart(wanted.account.login), wanted.fromUs, wanted.toUs, format) +
                   "\"\r\n";
    }
    PositionRange range;
    range.accountId = wanted.account.id;
    range.fromUs = wanted.fromUs;
    range.toUs = wanted.toUs + 1;  // parsed times end in year 9999: no overflow
    const PositionRange start = range;
    std::vector<StoredPosition> batch;
    std::vector<TrackPoint> points;
    points.reserve(exportBatchPoints);
    // The first batch is read before the answer begins, so that a failing
    // database still gets an error status.
    if (!storage->readPositions(range, exportBatchPoints, batch))
        return answerJsonError(stream, 503, "the database failed");
    if (!stream.beginStream(200, trackContentType(format), headers)) return;
    TrackWriter writer =
        trackWriterFor(format, batch.size() < 2, geometry);  // a short first batch is all there is
    std::string text;
    trackBegin(writer, text, wanted.account.login);
    // The last position a pass may write: (time, id).
    std::pair<std::int64_t, std::int64_t> end{std::numeric_limits<std::int64_t>::max(), 0};
    do {
        std::pair<std::int64_t, std::int64_t> passEnd{std::numeric_limits<std::int64_t>::min(), 0};
        while (!batch.empty()) {
            points.clear();
            for (const StoredPosition& stored : batch) {
                const std::pair<std::int64_t, std::int64_t> key{stored.position.timeUs, stored.id};
                if (key > end) break;
                passEnd = key;
                points.push_back({stored.position.timeUs, stored.position.lat, stored.position.lon,
                                  stored.position.speedKnots, stored.position.extras});
            }
            trackPoints(writer, text, points);
            if (!stream.send(text)) return;
            text.clear();
            if (points.size() < batch.size()) break;
            range.afterTimeUs = batch.back().position.timeUs;
            range.afterId = batch.back().id;
            if (!storage->readPositions(range, exportBatchPoints, batch)) return;
        }
        end = passEnd;
        range = start;
        if (!trackNeedsSecondPass(writer, text)) break;
        if (!storage->readPositions(range, exportBatchPoints, batch)) return;
    } while (true);
    trackEnd(writer, text);
    stream.send(text);
}

// The answer to an OwnTracks location once it is stored: the last position
// of every other account its sender may see, as OwnTracks location objects.
// The location is stored whatever happens here, so a storage that fails
// now gives "[]" rather than an error the app would send it again for.
void answerOwnTracksFriends(WebState& web, const HttpRequest& request, HttpStream& stream) {
    std::string body = "[";
    Viewer viewer;
    std::string error;
    std::vector<StoredPosition> last;
    const std::unique_ptr<Storage> storage = openStorage(web.server->database, error);
    if (identifyViewer(web, request, viewer) && storage != nullptr && storage->lastPositions(last)) {
        for (const Account& account : visibleAccounts(web, viewer)) {
            if (account.id == viewer.accountId) continue;
            const auto found = std::find_if(
                last.begin(), last.end(),
                [&account](const StoredPosition& stored) { return stored.position.accountId == account.id; });
            if (found == last.end()) continue;
            if (body.size() > 1) body += ',';
            appendOwnTracksLocation(body, account.login, found->position);
        }
    }
    body += ']';
    stream.respond(200, "application/json", body);
}

}  // namespace

void addOwnTracksAnswer(ServerContext& context, const std::shared_ptr<WebState>& web) {
    context.ownTracksAnswer.method = "POST";
    context.ownTracksAnswer.handler = [web](const HttpRequest& request, HttpStream& stream) {
        answerOwnTracksFriends(*web, request, stream);
    };
}

std::unique_ptr<Storage> openWebStorage(WebState& web, HttpStream& stream) {
    std::string error;
    std::unique_ptr<Storage> storage = openStorage(web.server->database, error);
    if (!storage) answerJsonError(stream, 503, "the database cannot be opened");
    return storage;
}

void answerJson(HttpStream& stream, int status, std::string_view body, std::string_view extraHeaders) {
    stream.respond(status, "application/json", body,
                   std::string(webHeaders) + std::string(apiHeaders) + std::string(extraHeaders));
}

LiveStreamSlot::LiveStreamSlot(WebState& state, std::int64_t holderId) : web(state), holder(holderId) {
    const std::lock_guard guard(web.liveMutex);
    int& mine = web.liveByAccount[holder];
    taken = web.liveStreams < liveStreamsMax && mine < liveStreamsPerAccountMax;
    if (taken) {
        ++web.liveStreams;
        ++mine;
        countLiveStream(1);
    } else if (mine == 0) {
        web.liveByAccount.erase(holder);
    }
}

LiveStreamSlot::~LiveStreamSlot() {
    if (!taken) return;
    countLiveStream(-1);
    const std::lock_guard guard(web.liveMutex);
    --web.liveStreams;
    if (--web.liveByAccount[holder] == 0) web.liveByAccount.erase(holder);
}

void addApiRoutes(Routes& routes, const std::shared_ptr<WebState>& web) {
    routes.add("GET", "/api/devices", [web](const HttpRequest& request, HttpStream& stream) {
        answerDevices(*web, request, stream);
    });
    routes.add("GET", "/api/live",
               [web](const HttpRequest& request, HttpStream& stream) { answerLive(*web, request, stream); });
    routes.add("GET", "/api/positions", [web](const HttpRequest& request, HttpStream& stream) {
        const bool geojson = queryValue(request.query, "format") == "geojson";
        streamTrack(*web, request, stream, geojson ? TrackFormat::geojson : TrackFormat::json, false);
    });
    routes.add("GET", "/api/export.gpx", [web](const HttpRequest& request, HttpStream& stream) {
        streamTrack(*web, request, stream, TrackFormat::gpx, true);
    });
    routes.add("GET", "/api/export.geojson", [web](const HttpRequest& request, HttpStream& stream) {
        streamTrack(*web, request, stream, TrackFormat::geojson, true);
    });
}
