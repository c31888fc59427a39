// The web pages of wayloom-server: the sign-in, the map page and the files
// they load, and who the viewer of a request is. The read API is in
// webapi.cpp.
//
// A viewer is known by the session cookie that the sign-in sets or by HTTP
// Basic credentials checked like a report's (same accounts, same limit on
// wrong passwords). A session lasts while its account is enabled and
// unchanged: a new password or a disabled account ends it at the next request.
#include "server/web.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <ctime>

#include "server/webfiles.hpp"
#include "server/webformat.hpp"
#include "server/webroutes.hpp"

namespace {

// Debian's libjs-leaflet; only these files of it are served.
constexpr std::string_view leafletDirectory = "/usr/share/javascript/leaflet/";
constexpr std::array<std::string_view, 7> leafletFiles = {
    "leaflet.js",
    "leaflet.css",
    "images/layers.png",
    "images/layers-2x.png",
    "images/marker-icon.png",
    "images/marker-icon-2x.png",
    "images/marker-shadow.png",
};
constexpr std::size_t leafletFileMaxBytes = 1024 * 1024;
// Debian's node-qrcode-generator: the QR code of a new device key is drawn in the page.
constexpr std::string_view qrcodeScript = "/usr/share/javascript/qrcode-generator/qrcode.js";

std::int64_t nowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool findAccount(WebState& web, std::string_view login, Account& account) {
    Accounts& accounts = *web.server->accounts;
    const std::lock_guard guard(accounts.mutex);
    const auto found = accounts.directory.find(login);
    if (found == accounts.directory.end()) return false;
    account = found->second;
    return true;
}

void redirect(HttpStream& stream, std::string_view location, std::string_view cookie = {}) {
    std::string headers(webHeaders);
    headers += "Location: " + std::string(location) + "\r\nCache-Control: no-store\r\n";
    if (!cookie.empty())
        headers += "Set-Cookie: " + std::string(cookie) + (stream.secure() ? "; Secure" : "") + "\r\n";
    stream.respond(303, "text/plain; charset=utf-8", "", headers);
}

void answerFile(HttpStream& stream, std::string_view name, std::string_view extraHeaders) {
    const WebFile* file = findWebFile(name);
    if (file == nullptr) {
        stream.respond(404, "text/plain; charset=utf-8", "Not found\n", webHeaders);
        return;
    }
    stream.respond(200, webContentType(name), file->body,
                   std::string(webHeaders) + std::string(extraHeaders));
}

bool readSmallFile(const std::string& path, std::string& bytes) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    std::array<char, 16384> chunk{};
    ssize_t count = 0;
    bytes.clear();
    while ((count = read(file, chunk.data(), chunk.size())) > 0 && bytes.size() <= leafletFileMaxBytes)
        bytes.append(chunk.data(), static_cast<std::size_t>(count));
    close(file);
    return count == 0;
}

void answerLeaflet(const HttpRequest& request, HttpStream& stream) {
    const std::string_view name = request.path.substr(std::string_view("/leaflet/").size());
    std::string bytes;
    bool known = false;
    for (std::string_view file : leafletFiles) known = known || file == name;
    if (!known || !readSmallFile(std::string(leafletDirectory) + std::string(name), bytes)) {
        stream.respond(404, "text/plain; charset=utf-8", "Not found\n", webHeaders);
        return;
    }
    stream.respond(200, webContentType(name), bytes,
                   std::string(webHeaders) + "Cache-Control: max-age=86400\r\n");
}

void answerPage(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) {
        redirect(stream, "/signin");
        return;
    }
    answerFile(stream, "map.html", pageHeaders);
}

void answerSignInPage(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (identifyViewer(web, request, viewer)) {
        redirect(stream, "/");
        return;
    }
    answerFile(stream, "signin.html", pageHeaders);
}

void signIn(WebState& web, const HttpRequest& request, HttpStream& stream) {
    std::string login, password;
    for (const FormField& field : splitForm(request.body)) {
        if (field.name == "login") login = field.value;
        if (field.name == "password") password = field.value;
    }
    const AccountCheck check = checkAccount(*web.server->accounts, login, password, request.client,
                                            UnknownLogins::verifiedLikeKnown);
    Account account;
    if (check.verdict == AccountVerdict::accepted && findAccount(web, login, account)) {
        const std::string token = openSession(web.sessions, login, account.version, nowSeconds());
        redirect(stream, "/", sessionCookie(token));
    } else if (check.verdict == AccountVerdict::limited) {
        redirect(stream, "/signin?limited");
    } else {
        redirect(stream, "/signin?failed");
    }
}

void signOut(WebState& web, const HttpRequest& request, HttpStream& stream) {
    closeSession(web.sessions, cookieValue(request.header("Cookie"), sessionCookieName));
    redirect(stream, "/signin", removedSessionCookie());
}

void answerConfig(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) {
        answerUnauthorized(request, stream);
        return;
    }
    std::string body = "{\"login\":";
    appendJsonString(body, viewer.login);
    body += viewer.admin ? ",\"admin\":true" : ",\"admin\":false";
    body += ",\"tiles\":";
    appendJsonString(body, web.server->tilesUrl);
    body += ",\"attribution\":";
    appendJsonString(body, web.server->tilesAttribution);
    body += "}";
    stream.respond(200, "application/json", body, std::string(webHeaders) + "Cache-Control: no-store\r\n");
}

}  // namespace

const std::string_view webHeaders = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";

// Tiles may come from any configured server; everything else from here.
const std::string_view pageHeaders =
    "Content-Security-Policy: default-src 'self'; img-src 'self' data: http: https:; "
    "style-src 'self' 'unsafe-inline'; script-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
    "base-uri 'none'; form-action 'self'\r\n"
    "Cache-Control: no-store\r\n";

std::string_view webContentType(std::string_view name) {
    struct Type {
        std::string_view extension, contentType;
    };
    constexpr std::array<Type, 6> types = {{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
    }};
    for (const Type& type : types)
        if (name.ends_with(type.extension)) return type.contentType;
    return "application/octet-stream";
}

bool identifyViewer(WebState& web, const HttpRequest& request, Viewer& viewer) {
    Account account;
    Session session;
    const std::string_view token = cookieValue(request.header("Cookie"), sessionCookieName);
    if (findSession(web.sessions, token, nowSeconds(), session)) {
        if (!findAccount(web, session.login, account) || !account.enabled ||
            account.version != session.accountVersion) {
            closeSession(web.sessions, token);
            return false;
        }
    } else {
        std::string login, password;
        if (!parseBasicAuthorization(request.header("Authorization"), login, password)) return false;
        const AccountCheck check = checkAccount(*web.server->accounts, login, password, request.client,
                                                UnknownLogins::verifiedLikeKnown);
        if (check.verdict != AccountVerdict::accepted || !findAccount(web, login, account)) return false;
    }
    viewer.login = account.login;
    viewer.accountId = account.id;
    viewer.admin = account.admin;
    return true;
}

std::vector<Account> visibleAccounts(WebState& web, const Viewer& viewer) {
    std::vector<Account> visible;
    Accounts& accounts = *web.server->accounts;
    const std::lock_guard guard(accounts.mutex);
    for (const auto& [login, account] : accounts.directory)
        if (viewer.admin || account.id == viewer.accountId) visible.push_back(account);
    return visible;
}

std::string queryValue(std::string_view query, std::string_view name) {
    for (const FormField& field : splitForm(query))
        if (field.name == name) return field.value;
    return {};
}

void answerUnauthorized(const HttpRequest& request, HttpStream& stream) {
    std::string headers(webHeaders);
    headers += "Cache-Control: no-store\r\n";
    if (request.header("X-Wayloom-Page").empty())
        headers += "WWW-Authenticate: Basic realm=\"wayloom\", charset=\"UTF-8\"\r\n";
    stream.respond(401, "application/json", "{\"error\":\"sign in first\"}", headers);
}

void answerJsonError(HttpStream& stream, int status, std::string_view message) {
    std::string body = "{\"error\":";
    appendJsonString(body, message);
    body += "}";
    stream.respond(status, "application/json", body, std::string(webHeaders) + "Cache-Control: no-store\r\n");
}

void addWebRoutes(Routes& routes, ServerContext& context) {
    auto web = std::make_shared<WebState>();
    web->server = &context;
    auto page = [web](const HttpRequest& request, HttpStream& stream) { answerPage(*web, request, stream); };
    routes.add("GET", "/", page);
    routes.add("GET", "/map", page);
    routes.add("GET", "/signin", [web](const HttpRequest& request, HttpStream& stream) {
        answerSignInPage(*web, request, stream);
    });
    routes.add("POST", "/signin",
               [web](const HttpRequest& request, HttpStream& stream) { signIn(*web, request, stream); });
    routes.add("POST", "/signout",
               [web](const HttpRequest& request, HttpStream& stream) { signOut(*web, request, stream); });
    routes.addPrefix("GET", "/static/", [](const HttpRequest& request, HttpStream& stream) {
        const std::string_view name = request.path.substr(std::string_view("/static/").size());
        answerFile(stream, name.ends_with(".html") ? std::string_view() : name,
                   "Cache-Control: no-cache\r\n");
    });
    routes.addPrefix("GET", "/leaflet/", answerLeaflet);
    // Browsers ask for it beside every page; a 32-pixel pin, 192 bytes.
    routes.add("GET", "/favicon.ico", [](const HttpRequest&, HttpStream& stream) {
        answerFile(stream, "favicon.ico", "Cache-Control: max-age=86400\r\n");
    });
    routes.add("GET", "/qrcode/qrcode.js", [](const HttpRequest&, HttpStream& stream) {
        std::string bytes;
        if (!readSmallFile(std::string(qrcodeScript), bytes)) {
            stream.respond(404, "text/plain; charset=utf-8", "Not found\n", webHeaders);
            return;
        }
        stream.respond(200, webContentType(".js"), bytes,
                       std::string(webHeaders) + "Cache-Control: max-age=86400\r\n");
    });
    routes.add("GET", "/api/config", [web](const HttpRequest& request, HttpStream& stream) {
        answerConfig(*web, request, stream);
    });
    addApiRoutes(routes, web);
    addOwnTracksAnswer(context, web);
    addShareRoutes(routes, web);
    addAccountRoutes(routes, web);
    // No page of another site may sign a browser in or out, nor post, change
    // or delete anything else.
    for (Route& route : routes.routes) {
        if (route.method != "POST" && route.method != "PATCH" && route.method != "DELETE") continue;
        route.handler = [handler = std::move(route.handler)](const HttpRequest& request, HttpStream& stream) {
            if (!fromOwnOrigin(request.header("Origin"), request.header("Referer"), request.header("Host"))) {
                stream.respond(403, "text/plain; charset=utf-8",
                               "Refused: this request came from another site.\n",
                               std::string(webHeaders) + "Cache-Control: no-store\r\n");
                return;
            }
            handler(request, stream);
        };
    }
}
