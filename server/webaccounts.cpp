// The management page and its API: admins list, add, disable, enable and
// delete accounts and give them new passwords or keys; every account changes
// its own password or key. A key is shown once, in the answer that made it,
// with the text of a QR code a phone app reads it from. A change is made in the storage like the command
// line's (the accounts' generation goes up), read again here at once, and seen by every other server of the
// database within accountsRefreshInterval.
//
// Divisions: who may do what; the API; the routes.
#include <algorithm>
#include <cstdio>

#include "server/webfiles.hpp"
#include "server/webformat.hpp"
#include "server/webroutes.hpp"
#include "server/webtime.hpp"

namespace {

constexpr std::string_view accountsPrefix = "/api/accounts/";
constexpr std::string_view badChange =
    "the body is one of {\"enabled\": bool}, {\"password\": P}, {\"key\": true}";

// ---- Who may do what -----------------------------------------------------------------------------

// A login the page may create: as the command line's, 1 to loginMaxBytes
// bytes without control characters.
bool acceptableLogin(std::string_view login) {
    return !login.empty() && login.size() <= loginMaxBytes &&
           std::all_of(login.begin(), login.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= ' ' && c != 0x7F; });
}

bool acceptablePassword(const JsonField* password) {
    return password != nullptr && password->kind == JsonField::Kind::string && !password->text.empty() &&
           password->text.size() <= passwordMaxBytes;
}

// The account named by the request's path, if the viewer may see it: an
// ordinary account sees only itself, so another's is no account (404).
bool namedAccount(WebState& web, const HttpRequest& request, const Viewer& viewer, Account& account) {
    const std::string login = decodeFormValue(request.path.substr(accountsPrefix.size()));
    for (Account& candidate : visibleAccounts(web, viewer)) {
        if (candidate.login != login) continue;
        account = std::move(candidate);
        return true;
    }
    return false;
}

bool accountNamed(WebState& web, std::string_view login, Account& account) {
    Accounts& accounts = *web.server->accounts;
    const std::lock_guard guard(accounts.mutex);
    const auto found = accounts.directory.find(login);
    if (found == accounts.directory.end()) return false;
    account = found->second;
    return true;
}

// ---- The API -------------------------------------------------------------------------------------

// {"login","admin","enabled","password","key","last"}: password and key tell
// whether one is set.
void appendAccountJson(std::string& out, const Account& account, const std::vector<StoredPosition>& last) {
    out += "{\"login\":";
    appendJsonString(out, account.login);
    out += account.admin ? ",\"admin\":true" : ",\"admin\":false";
    out += account.enabled ? ",\"enabled\":true" : ",\"enabled\":false";
    out += account.passwordHash.empty() ? ",\"password\":false" : ",\"password\":true";
    out += account.keyDigest.empty() ? ",\"key\":false" : ",\"key\":true";
    const auto found = std::find_if(last.begin(), last.end(), [&account](const StoredPosition& stored) {
        return stored.position.accountId == account.id;
    });
    if (found == last.end()) {
        out += ",\"last\":null";
        return;
    }
    out += ",\"last\":\"";
    appendIsoTime(out, found->position.timeUs);
    out += '"';
}

void listAccounts(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::vector<StoredPosition> last;
    if (!storage->lastPositions(last)) return answerJsonError(stream, 503, "the database failed");
    std::string body = "[";
    for (const Account& account : visibleAccounts(web, viewer)) {
        if (body.size() > 1) body += ',';
        appendAccountJson(body, account, last);
        body += '}';
    }
    body += ']';
    answerJson(stream, 200, body);
}

// One account, with the number of its positions (what deleting it would delete).
void showAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    Account account;
    if (!namedAccount(web, request, viewer, account)) return answerJsonError(stream, 404, "no such account");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::vector<StoredPosition> last;
    long long positions = 0;
    if (!storage->lastPositions(last) || !storage->countAccountPositions(account.id, positions))
        return answerJsonError(stream, 503, "the database failed");
    std::string body;
    appendAccountJson(body, account, last);
    body += ",\"positions\":" + std::to_string(positions) + "}";
    answerJson(stream, 200, body);
}

// Text as a URL's query value: letters, digits and "-._~" as they are, every other byte as %XX.
std::string percentEncoded(std::string_view text) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

// "host" of a Host header "host:port" ("[2001:db8::1]" of "[2001:db8::1]:8080").
std::string_view hostName(std::string_view host) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string_view::npos || host.find(']', colon) != std::string_view::npos) return host;
    return host.substr(0, colon);
}

// What a phone scans to set a device up: the OsmAnd tracking address of this
// server, with the key as the device's id and the placeholders the app fills
// in ({0} latitude, {1} longitude, {2} time, {3} HDOP, {4} altitude, {5}
// speed in metres per second, {6} bearing). It names the host the page was
// asked from, and the report port when the pages have a port of their own.
std::string deviceSetupText(const WebState& web, const HttpRequest& request, std::string_view key) {
    const int port = request.secure ? web.server->reportTlsPort : web.server->reportPort;
    std::string text(request.secure ? "https://" : "http://");
    if (port < 0) {
        text += request.header("Host");
    } else {
        text += hostName(request.header("Host"));
        if (port != (request.secure ? 443 : 80)) text += ":" + std::to_string(port);
    }
    text += "/osmand?id=" + percentEncoded(key) +
            "&lat={0}&lon={1}&timestamp={2}&hdop={3}&altitude={4}&speed={5}&bearing={6}&speedunit=mps";
    return text;
}

// {"key": K, "setup": TEXT}: the new key, shown once.
std::string keyJson(const WebState& web, const HttpRequest& request, std::string_view login,
                    std::string_view key) {
    std::string body = "{\"login\":";
    appendJsonString(body, login);
    body += ",\"key\":\"" + std::string(key) + "\",\"setup\":";
    appendJsonString(body, deviceSetupText(web, request, key));
    body += "}";
    return body;
}

// Reads the accounts again at once, so that this server's next request sees the change.
void changed(WebState& web) {
    refreshAccounts(*web.server->accounts);
}

void answerChange(WebState& web, HttpStream& stream, AccountChange change, Storage& storage, int status,
                  std::string_view body, std::string_view extraHeaders = {}) {
    switch (change) {
        case AccountChange::done:
            changed(web);
            return answerJson(stream, status, body, extraHeaders);
        case AccountChange::noSuchAccount:
            return answerJsonError(stream, 404, "no such account");
        case AccountChange::loginTaken:
            return answerJsonError(stream, 409, "an account of that login exists already");
        case AccountChange::failed:
            break;
    }
    std::fprintf(stderr, "wayloom-server: an account change failed: %s\n", storage.lastError().c_str());
    answerJsonError(stream, 503, "the database failed");
}

// POST {"login", "admin", "password"} or {"login", "admin", "key": true}: admins only.
void addAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    if (!viewer.admin) return answerJsonError(stream, 403, "only an administrator adds accounts");
    std::vector<JsonField> fields;
    if (!readJsonObject(request.body, fields))
        return answerJsonError(stream, 400, "the body is not a JSON object");
    const JsonField* login = jsonField(fields, "login");
    const JsonField* admin = jsonField(fields, "admin");
    const JsonField* password = jsonField(fields, "password");
    if (login == nullptr || login->kind != JsonField::Kind::string || !acceptableLogin(login->text))
        return answerJsonError(stream, 400, "a login has 1 to 35 bytes, no control characters");
    if (admin != nullptr && admin->kind != JsonField::Kind::boolean)
        return answerJsonError(stream, 400, "admin is true or false");
    const JsonField* key = jsonField(fields, "key");
    const bool withKey = key != nullptr && key->kind == JsonField::Kind::boolean && key->flag;
    if (withKey == (password != nullptr))
        return answerJsonError(stream, 400, "give a password or \"key\": true");
    if (!withKey && !acceptablePassword(password))
        return answerJsonError(stream, 400, "a password has 1 to 35 bytes");
    Account account;
    account.login = login->text;
    account.admin = admin != nullptr && admin->flag;
    std::string body = "{\"login\":";
    appendJsonString(body, account.login);
    body += "}";
    if (withKey) {
        const std::string newKey = makeDeviceKey();
        account.keyDigest = keyDigestOf(newKey);
        body = keyJson(web, request, account.login, newKey);
    } else {
        account.passwordHash = hashPassword(password->text);
        if (account.passwordHash.empty())
            return answerJsonError(stream, 503, "the password cannot be hashed");
    }
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    answerChange(web, stream, storage->addAccount(account), *storage, 201, body);
}

// PATCH {"enabled": bool} (admins, not their own account), {"password": P}
// or {"key": true} (admins, and an account for itself); a key replaces the
// password and a password the key. A new password or key of one's own keeps
// one signed in: a new session replaces the one the change ended.
void changeAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    Account account;
    if (!namedAccount(web, request, viewer, account)) return answerJsonError(stream, 404, "no such account");
    std::vector<JsonField> fields;
    if (!readJsonObject(request.body, fields) || fields.size() != 1)
        return answerJsonError(stream, 400, badChange);
    const JsonField& field = fields.front();
    const bool own = account.id == viewer.accountId;
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    if (field.name == "enabled" && field.kind == JsonField::Kind::boolean) {
        if (!viewer.admin) return answerJsonError(stream, 403, "only an administrator disables accounts");
        if (own)
            return answerJsonError(stream, 400, "an administrator cannot disable their own account here");
        return answerChange(web, stream, storage->setEnabled(account.login, field.flag), *storage, 200, "{}");
    }
    AccountChange change = AccountChange::failed;
    std::string body = "{}";
    if (field.name == "key" && field.kind == JsonField::Kind::boolean && field.flag) {
        const std::string newKey = makeDeviceKey();
        change = storage->setKey(account.login, keyDigestOf(newKey));
        body = keyJson(web, request, account.login, newKey);
    } else if (field.name == "password") {
        if (!acceptablePassword(&field)) return answerJsonError(stream, 400, "a password has 1 to 35 bytes");
        const std::string hash = hashPassword(field.text);
        if (hash.empty()) return answerJsonError(stream, 503, "the password cannot be hashed");
        change = storage->setPassword(account.login, hash);
    } else {
        return answerJsonError(stream, 400, badChange);
    }
    std::string cookie;
    if (change == AccountChange::done && own &&
        !cookieValue(request.header("Cookie"), sessionCookieName).empty()) {
        changed(web);
        Account now;
        if (accountNamed(web, account.login, now)) {
            const std::string token = openSession(web.sessions, now.login, now.version,
                                                  static_cast<std::int64_t>(nowUs() / 1000000));
            cookie = "Set-Cookie: " + sessionCookie(token) + (stream.secure() ? "; Secure" : "") + "\r\n";
        }
    }
    answerChange(web, stream, change, *storage, 200, body, cookie);
}

// DELETE: the account with its positions and links; admins only, not their own account.
void deleteAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    Account account;
    if (!namedAccount(web, request, viewer, account)) return answerJsonError(stream, 404, "no such account");
    if (!viewer.admin) return answerJsonError(stream, 403, "only an administrator deletes accounts");
    if (account.id == viewer.accountId)
        return answerJsonError(stream, 400, "an administrator cannot delete their own account here");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    long long positions = 0;
    const AccountChange change = storage->deleteAccount(account.login, positions);
    answerChange(web, stream, change, *storage, 200, "{\"positions\":" + std::to_string(positions) + "}");
}

void answerManagePage(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    const WebFile* file = findWebFile("manage.html");
    if (!identifyViewer(web, request, viewer) || file == nullptr) {
        stream.respond(303, "text/plain; charset=utf-8", "",
                       std::string(webHeaders) + "Location: /signin\r\nCache-Control: no-store\r\n");
        return;
    }
    stream.respond(200, webContentType("manage.html"), file->body,
                   std::string(webHeaders) + std::string(pageHeaders));
}

}  // namespace

// ---- The routes --------------------------------------------------------------------------------------

void addAccountRoutes(Routes& routes, const std::shared_ptr<WebState>& web) {
    routes.add("GET", "/manage", [web](const HttpRequest& request, HttpStream& stream) {
        answerManagePage(*web, request, stream);
    });
    routes.add("GET", "/api/accounts", [web](const HttpRequest& request, HttpStream& stream) {
        listAccounts(*web, request, stream);
    });
    routes.add("POST", "/api/accounts",
               [web](const HttpRequest& request, HttpStream& stream) { addAccount(*web, request, stream); });
    routes.addPrefix("GET", accountsPrefix, [web](const HttpRequest& request, HttpStream& stream) {
        showAccount(*web, request, stream);
    });
    routes.addPrefix("PATCH", accountsPrefix, [web](const HttpRequest& request, HttpStream& stream) {
        changeAccount(*web, request, stream);
    });
    routes.addPrefix("DELETE", accountsPrefix, [web](const HttpRequest& request, HttpStream& stream) {
        deleteAccount(*web, request, stream);
    });
}
