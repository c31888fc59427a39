// Share links and the shared pages.
//
// An account shares its own device, an admin any device, for 1 to 720 hours
// (POST /api/shares); the links are listed without their tokens (GET) and
// revoked by token or id (DELETE /api/shares/X). Anyone with a link sees
// /s/TOKEN: that one device's last position, live, and, when the link says
// so, its track since the link was made; nothing else. A link that expired,
// was revoked or never existed answers the same plain 404 page, and a wrong
// token counts against its address's limit on guessing.
//
// Divisions: the API; the shared pages.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <thread>

#include "server/shares.hpp"
#include "server/webfiles.hpp"
#include "server/webformat.hpp"
#include "server/webroutes.hpp"
#include "server/webtime.hpp"

namespace {

constexpr std::int64_t hourUs = 3600LL * 1000000;

bool accountWithId(WebState& web, std::int64_t id, Account& account) {
    Accounts& accounts = *web.server->accounts;
    const std::lock_guard guard(accounts.mutex);
    for (const auto& [login, candidate] : accounts.directory) {
        if (candidate.id != id) continue;
        account = candidate;
        return true;
    }
    return false;
}

// The account of login, if the viewer may see it.
bool visibleAccount(WebState& web, const Viewer& viewer, std::string_view login, Account& account) {
    for (Account& candidate : visibleAccounts(web, viewer)) {
        if (candidate.login != login) continue;
        account = std::move(candidate);
        return true;
    }
    return false;
}

// ---- The API -------------------------------------------------------------------------------------

// "https://host/s/TOKEN" on the host the request was sent to; the path alone without a Host.
std::string shareUrl(const HttpRequest& request, std::string_view token) {
    const std::string_view host = request.header("Host");
    std::string url =
        host.empty() ? std::string() : (request.secure ? "https://" : "http://") + std::string(host);
    return url + std::string(sharePathPrefix) + std::string(token);
}

void appendShareJson(std::string& out, const Share& share, std::string_view login) {
    out += "{\"id\":" + std::to_string(share.id) + ",\"login\":";
    appendJsonString(out, login);
    out += ",\"created\":\"";
    appendIsoTime(out, share.createdUs);
    out += "\",\"expires\":\"";
    appendIsoTime(out, share.expiresUs);
    out += share.track ? "\",\"track\":true" : "\",\"track\":false";
}

// {"login": L, "hours": H, "track": true|false}: hours a whole number.
void createShare(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    std::vector<JsonField> fields;
    if (!readJsonObject(request.body, fields))
        return answerJsonError(stream, 400, "the body is not a JSON object");
    const JsonField* login = jsonField(fields, "login");
    const JsonField* hours = jsonField(fields, "hours");
    const JsonField* track = jsonField(fields, "track");
    if (login == nullptr || login->kind != JsonField::Kind::string)
        return answerJsonError(stream, 400, "login is the device to share");
    if (hours == nullptr || hours->kind != JsonField::Kind::number ||
        hours->number != std::floor(hours->number) || hours->number < shareHoursMin ||
        hours->number > shareHoursMax)
        return answerJsonError(stream, 400, "hours is a whole number from 1 to 720");
    if (track != nullptr && track->kind != JsonField::Kind::boolean)
        return answerJsonError(stream, 400, "track is true or false");
    Account account;
    if (!visibleAccount(web, viewer, login->text, account))
        return answerJsonError(stream, 404, "no such device");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    Share share;
    share.accountId = account.id;
    share.createdUs = nowUs();
    share.expiresUs = share.createdUs + static_cast<std::int64_t>(hours->number) * hourUs;
    share.track = track != nullptr && track->flag;
    const std::string token = newShareToken();
    share.tokenDigest = shareTokenDigest(token);
    if (!storage->addShare(share)) return answerJsonError(stream, 503, "the database failed");
    std::string body;
    appendShareJson(body, share, account.login);
    body += ",\"token\":\"" + token + "\",\"url\":";
    appendJsonString(body, shareUrl(request, token));
    body += "}";
    answerJson(stream, 201, body);
}

// The viewer's links (an admin's: every link) that have not expired.
bool viewersShares(Storage& storage, const Viewer& viewer, std::vector<Share>& shares) {
    return storage.listShares(viewer.admin ? 0 : viewer.accountId, nowUs(), shares);
}

void listShares(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::vector<Share> shares;
    if (!viewersShares(*storage, viewer, shares)) return answerJsonError(stream, 503, "the database failed");
    std::string body = "[";
    for (const Share& share : shares) {
        Account account;
        if (!accountWithId(web, share.accountId, account)) continue;
        if (body.size() > 1) body += ',';
        appendShareJson(body, share, account.login);
        body += '}';
    }
    body += ']';
    answerJson(stream, 200, body);
}

// DELETE /api/shares/X: X is a link's token or its id. Another account's
// link is no link (404), as one that does not exist.
void revokeShare(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    const std::string_view named = request.path.substr(shareApiPrefix.size());
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    Share share;
    bool found = false;
    std::int64_t id = 0;
    if (looksLikeShareToken(named)) {
        if (!storage->findShare(shareTokenDigest(named), share, found))
            return answerJsonError(stream, 503, "the database failed");
    } else if (const auto [end, error] = std::from_chars(named.data(), named.data() + named.size(), id);
               error == std::errc() && end == named.data() + named.size() && id > 0) {
        std::vector<Share> shares;
        if (!viewersShares(*storage, viewer, shares))
            return answerJsonError(stream, 503, "the database failed");
        const auto it =
            std::find_if(shares.begin(), shares.end(), [id](const Share& s) { return s.id == id; });
        found = it != shares.end();
        if (found) share = *it;
    }
    bool deleted = false;
    if (found && (viewer.admin || share.accountId == viewer.accountId)) {
        if (!storage->deleteShare(share.id, deleted))
            return answerJsonError(stream, 503, "the database failed");
    }
    if (!deleted) return answerJsonError(stream, 404, "no such link");
    stream.respond(204, "application/json", "", std::string(webHeaders) + "Cache-Control: no-store\r\n");
}

// ---- The shared pages ------------------------------------------------------------------------

constexpr std::string_view expiredPage =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<title>Wayloom: link expired</title>\n</head>\n<body>\n<p id=\"expired\">This link has expired.</p>\n"
    "</body>\n</html>\n";
constexpr std::string_view limitedPage =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<title>Wayloom: try again later</title>\n</head>\n<body>\n"
    "<p>Too many wrong links came from your address. Try again in a few minutes.</p>\n</body>\n</html>\n";
// The shared page's tokens stay out of other sites' logs, and out of search engines.
constexpr std::string_view sharedHeaders = "Referrer-Policy: no-referrer\r\nX-Robots-Tag: noindex\r\n";

enum class ShareState { open, gone, limited, failed };

// The link of token and the account it shows, when the link is open: it
// exists, has not expired and its account is enabled. A token that is not a
// link counts as a wrong guess from the client's address.
ShareState openShare(WebState& web, Storage& storage, const HttpRequest& request, std::string_view token,
                     Share& share, Account& account) {
    Accounts& accounts = *web.server->accounts;
    if (guessingLimited(accounts, request.client)) return ShareState::limited;
    const std::string digest = shareTokenDigest(token);
    bool found = false;
    if (looksLikeShareToken(token) && !storage.findShare(digest, share, found)) return ShareState::failed;
    if (!found || !sameShareDigest(share.tokenDigest, digest)) {
        recordWrongToken(accounts, request.client);
        return ShareState::gone;
    }
    if (share.expiresUs <= nowUs() || !accountWithId(web, share.accountId, account) || !account.enabled)
        return ShareState::gone;
    return ShareState::open;
}

void answerClosed(HttpStream& stream, ShareState state, bool page) {
    const std::string headers = std::string(webHeaders) + std::string(sharedHeaders) +
                                "Content-Security-Policy: default-src 'none'\r\nCache-Control: no-store\r\n";
    if (state == ShareState::failed) return answerJsonError(stream, 503, "the database failed");
    if (state == ShareState::limited) {
        if (page) {
            stream.respond(429, "text/html; charset=utf-8", limitedPage, headers);
            return;
        }
        return answerJsonError(stream, 429, "too many wrong links from this address: try again later");
    }
    if (page) {
        stream.respond(404, "text/html; charset=utf-8", expiredPage, headers);
        return;
    }
    answerJsonError(stream, 404, "this link has expired");
}

// {"login","time","lat","lon","speed"} of the account's last position; time
// null before its first report.
bool sharedPositionJson(Storage& storage, const Account& account, std::string& out) {
    std::vector<StoredPosition> last;
    if (!storage.lastPositions(last)) return false;
    out = "{\"login\":";
    appendJsonString(out, account.login);
    const auto found = std::find_if(last.begin(), last.end(), [&account](const StoredPosition& stored) {
        return stored.position.accountId == account.id;
    });
    if (found == last.end()) {
        out += ",\"time\":null}";
        return true;
    }
    out += ",\"time\":\"";
    appendIsoTime(out, found->position.timeUs);
    out += "\",\"lat\":";
    appendNumber(out, found->position.lat);
    out += ",\"lon\":";
    appendNumber(out, found->position.lon);
    out += ",\"speed\":";
    appendNumber(out, found->position.speedKnots);
    out += "}";
    return true;
}

// What the page needs besides the position: {"login","since","expires","track","tiles","attribution"}.
void answerAbout(WebState& web, HttpStream& stream, const Share& share, const Account& account) {
    std::string body = "{\"login\":";
    appendJsonString(body, account.login);
    body += ",\"since\":\"";
    appendIsoTime(body, share.createdUs);
    body += "\",\"expires\":\"";
    appendIsoTime(body, share.expiresUs);
    body += share.track ? "\",\"track\":true,\"tiles\":" : "\",\"track\":false,\"tiles\":";
    appendJsonString(body, web.server->tilesUrl);
    body += ",\"attribution\":";
    appendJsonString(body, web.server->tilesAttribution);
    body += "}";
    answerJson(stream, 200, body, sharedHeaders);
}

// The positions since the link was made, as the track API's JSON array, read
// and written exportBatchPoints at a time.
void answerTrack(HttpStream& stream, Storage& storage, const Share& share) {
    if (!share.track) return answerJsonError(stream, 404, "this link shows no track");
    PositionRange range;
    range.accountId = share.accountId;
    range.fromUs = share.createdUs;
    range.toUs = nowUs() + 1;
    std::vector<StoredPosition> batch;
    if (!storage.readPositions(range, exportBatchPoints, batch))
        return answerJsonError(stream, 503, "the database failed");
    if (!stream.beginStream(
            200, "application/json",
            std::string(webHeaders) + std::string(sharedHeaders) + "Cache-Control: no-store\r\n"))
        return;
    TrackWriter writer = trackWriterFor(TrackFormat::json);
    std::string text;
    trackBegin(writer, text, {});
    std::vector<TrackPoint> points;
    while (!batch.empty()) {
        points.clear();
        for (const StoredPosition& stored : batch)
            points.push_back({stored.position.timeUs, stored.position.lat, stored.position.lon,
                              stored.position.speedKnots});
        trackPoints(writer, text, points);
        if (!stream.send(text)) return;
        text.clear();
        range.afterTimeUs = batch.back().position.timeUs;
        range.afterId = batch.back().id;
        if (!storage.readPositions(range, exportBatchPoints, batch)) return;  // the cut shows: no "]"
    }
    trackEnd(writer, text);
    stream.send(text);
}

// Server-Sent Events of the position, after every commit of reports (at most
// four a second) and every few seconds without one. The link is looked at
// again every liveWaitSlice: once it is revoked or expires, an "expired"
// event ends the stream.
void answerLive(WebState& web, HttpStream& stream, Storage& storage, const Share& opened,
                const Account& account) {
    const LiveStreamSlot slot(web, -opened.id);
    if (!slot.taken)
        return answerJsonError(stream, 503, "too many live streams: ask for the position instead");
    if (!stream.beginStream(200, "text/event-stream",
                            std::string(webHeaders) + std::string(sharedHeaders) +
                                "Cache-Control: no-store\r\nX-Accel-Buffering: no\r\n") ||
        !stream.send("retry: 1000\n\n"))
        return;
    std::uint64_t seen = 0;
    bool due = true;
    auto sent = std::chrono::steady_clock::now();
    std::string position;
    while (!stream.stopping() && stream.open()) {
        // A database that fails for a moment ends nothing; a link that is gone does.
        Share share;
        Account current;
        bool found = true;
        if (storage.findShare(opened.tokenDigest, share, found) &&
            (!found || share.expiresUs <= nowUs() || !accountWithId(web, share.accountId, current) ||
             !current.enabled)) {
            stream.send("event: expired\ndata: {}\n\n");
            return;
        }
        if (due || std::chrono::steady_clock::now() - sent >= liveWakeInterval) {
            if (sharedPositionJson(storage, account, position) && !stream.send("data: " + position + "\n\n"))
                return;
            sent = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(liveMinimumGap);
        }
        if (!stream.send(":\n")) return;
        const std::uint64_t commits = web.server->feed != nullptr
                                          ? web.server->feed->waitForCommit(seen, liveWaitSlice)
                                          : (std::this_thread::sleep_for(liveWaitSlice), seen);
        due = commits != seen;
        seen = commits;
    }
}

// /s/TOKEN, /s/TOKEN/about, /s/TOKEN/position, /s/TOKEN/track, /s/TOKEN/live.
void answerShared(WebState& web, const HttpRequest& request, HttpStream& stream) {
    std::string_view token = request.path.substr(sharePathPrefix.size());
    const std::size_t slash = std::min(token.find('/'), token.size());
    const std::string_view what = token.substr(slash);
    token = token.substr(0, slash);
    const bool page = what.empty();
    if (!page && what != "/about" && what != "/position" && what != "/track" && what != "/live")
        return answerJsonError(stream, 404, "not found");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    Share share;
    Account account;
    const ShareState state = openShare(web, *storage, request, token, share, account);
    if (state != ShareState::open) return answerClosed(stream, state, page);
    if (page) {
        const WebFile* file = findWebFile("share.html");
        if (file == nullptr) return answerJsonError(stream, 404, "not found");
        stream.respond(200, webContentType("share.html"), file->body,
                       std::string(webHeaders) + std::string(pageHeaders) + std::string(sharedHeaders));
        return;
    }
    if (what == "/about") return answerAbout(web, stream, share, account);
    if (what == "/track") return answerTrack(stream, *storage, share);
    if (what == "/live") return answerLive(web, stream, *storage, share, account);
    std::string body;
    if (!sharedPositionJson(*storage, account, body))
        return answerJsonError(stream, 503, "the database failed");
    answerJson(stream, 200, body, sharedHeaders);
}

}  // namespace

void addShareRoutes(Routes& routes, const std::shared_ptr<WebState>& web) {
    routes.add("POST", "/api/shares",
               [web](const HttpRequest& request, HttpStream& stream) { createShare(*web, request, stream); });
    routes.add("GET", "/api/shares",
               [web](const HttpRequest& request, HttpStream& stream) { listShares(*web, request, stream); });
    routes.addPrefix("DELETE", shareApiPrefix, [web](const HttpRequest& request, HttpStream& stream) {
        revokeShare(*web, request, stream);
    });
    routes.addPrefix("GET", sharePathPrefix, [web](const HttpRequest& request, HttpStream& stream) {
        answerShared(*web, request, stream);
    });
}
