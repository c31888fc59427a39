// What the handlers of the web pages (web.cpp) and of the read API
// (webapi.cpp) share: the state of the web side and the viewer of a request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/http.hpp"
#include "server/serve.hpp"
#include "server/websession.hpp"

constexpr std::size_t exportBatchPoints = 1000;                 // positions read and written at a time
constexpr std::int64_t defaultRangeUs = 24LL * 3600 * 1000000;  // the track of the last 24 hours
constexpr std::int64_t intervalCacheUs =
    60LL * 1000000;  // a device's interval is judged again after a minute
constexpr std::chrono::milliseconds liveWakeInterval{5000};  // live updates even without a report
constexpr std::chrono::milliseconds liveMinimumGap{250};     // at most four updates a second
constexpr std::chrono::milliseconds liveWaitSlice{500};      // a stop is seen within this
// Live streams hold a handler thread each; beyond this many, pages fall back
// to asking every few seconds, and the other half of the threads stays free.
constexpr int liveStreamsMax = static_cast<int>(routeThreadsMax / 2);
// One account (a few open tabs) never takes more than a quarter of them.
constexpr int liveStreamsPerAccountMax = liveStreamsMax / 4;

struct WebState {
    ServerContext* server = nullptr;
    SessionStore sessions;
    std::mutex liveMutex;
    int liveStreams = 0;                        // guarded by liveMutex
    std::map<std::int64_t, int> liveByAccount;  // by LiveStreamSlot's holder; guarded by liveMutex

    struct Interval {
        std::int64_t intervalUs;
        std::int64_t judgedUs;
    };
    std::mutex intervalsMutex;
    std::map<std::int64_t, Interval> intervals;  // by account id
};

// Who asks: the account of a valid session or of right Basic credentials.
struct Viewer {
    std::string login;
    std::int64_t accountId = 0;
    bool admin = false;
};

// The viewer of request, false when it has neither a live session of an
// enabled, unchanged account nor right Basic credentials.
bool identifyViewer(WebState& web, const HttpRequest& request, Viewer& viewer);

// The accounts a viewer may see: every account for an admin, else its own.
std::vector<Account> visibleAccounts(WebState& web, const Viewer& viewer);

// The decoded value of a query parameter, "" when absent.
std::string queryValue(std::string_view query, std::string_view name);

// Headers of every answer of the web side ("\r\n" after each).
extern const std::string_view webHeaders;
// Headers of the pages on top of webHeaders: what they may load, and no caching.
extern const std::string_view pageHeaders;

// 401 for the API: with a Basic challenge unless the page itself asked.
void answerUnauthorized(const HttpRequest& request, HttpStream& stream);
// An error of the API: status with {"error": message}.
void answerJsonError(HttpStream& stream, int status, std::string_view message);

// Holds one of the liveStreamsMax places, and one of its holder's
// liveStreamsPerAccountMax, while it lasts. The holder is an account id, or
// the negative id of a share link for the viewers of a shared page.
struct LiveStreamSlot {
    WebState& web;
    std::int64_t holder;
    bool taken = false;

    LiveStreamSlot(WebState& state, std::int64_t holderId);
    ~LiveStreamSlot();
    LiveStreamSlot(const LiveStreamSlot&) = delete;
    LiveStreamSlot& operator=(const LiveStreamSlot&) = delete;
};

// A connection to the database for one handler; nullptr, with 503 answered,
// when it cannot be opened.
std::unique_ptr<Storage> openWebStorage(WebState& web, HttpStream& stream);

// Answers with headers and a JSON body, not to be cached.
void answerJson(HttpStream& stream, int status, std::string_view body, std::string_view extraHeaders = {});

// The share links (POST, GET and DELETE /api/shares) and the shared pages
// (/s/TOKEN, its position, track and live updates), in webshares.cpp.
void addShareRoutes(Routes& routes, const std::shared_ptr<WebState>& web);

// The management of accounts (/manage, /api/accounts), in webaccounts.cpp.
void addAccountRoutes(Routes& routes, const std::shared_ptr<WebState>& web);

// The read API's routes (/api/devices, /api/live, /api/positions and the
// exports), each answering for the viewer its request identifies.
void addApiRoutes(Routes& routes, const std::shared_ptr<WebState>& web);
// Sets context.ownTracksAnswer: a stored OwnTracks location's answer.
void addOwnTracksAnswer(ServerContext& context, const std::shared_ptr<WebState>& web);
