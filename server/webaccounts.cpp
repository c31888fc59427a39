// The management page and its API: admins list, add, disable, enable and
// delete accounts and give them new passwords; every account changes its own
// password. A change is made in the storage like the command line's (the
// accounts' generation goes up), read again here at once, and seen by every
// other server of the database within accountsRefreshInterval.
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

// {"login","admin","enabled","password","last"}: password tells whether one is set.
void appendAccountJson(std::string& out, const Account& account, const std::vector<StoredPosition>& last) {
    out += "{\"login\":";
    appendJsonString(out, account.login);
    out += account.admin ? ",\"admin\":true" : ",\"admin\":false";
    out += account.enabled ? ",\"enabled\":true" : ",\"enabled\":false";
    out += account.passwordHash.empty() ? ",\"password\":false" : ",\"password\":true";
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

// POST {"login", "admin", "password"}: admins only.
void addAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    if (!viewer.admin) return answerJsonError(stream, 403, "only an administrator adds accounts");
    std::vector<JsonField> fields;
    if (!readJsonObject(request.body, fields)) return answerJsonError(stream, 400, "the body is not a JSON object");
    const JsonField* login = jsonField(fields, "login");
    const JsonField* admin = jsonField(fields, "admin");
    const JsonField* password = jsonField(fields, "password");
    if (login == nullptr || login->kind != JsonField::Kind::string || !acceptableLogin(login->text))
        return answerJsonError(stream, 400, "a login has 1 to 35 bytes, no control characters");
    if (admin != nullptr && admin->kind != JsonField::Kind::boolean)
        return answerJsonError(stream, 400, "admin is true or false");
    if (!acceptablePassword(password)) return answerJsonError(stream, 400, "a password has 1 to 35 bytes");
    Account account;
    account.login = login->text;
    account.admin = admin != nullptr && admin->flag;
    account.passwordHash = hashPassword(password->text);
    if (account.passwordHash.empty()) return answerJsonError(stream, 503, "the password cannot be hashed");
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    std::string body = "{\"login\":";
    appendJsonString(body, account.login);
    body += "}";
    answerChange(web, stream, storage->addAccount(account), *storage, 201, body);
}

// PATCH {"enabled": bool} (admins, not their own account) or {"password": P}
// (admins, and an account for itself). A new password of one's own keeps
// one signed in: a new session replaces the one the change ended.
void changeAccount(WebState& web, const HttpRequest& request, HttpStream& stream) {
    Viewer viewer;
    if (!identifyViewer(web, request, viewer)) return answerUnauthorized(request, stream);
    Account account;
    if (!namedAccount(web, request, viewer, account)) return answerJsonError(stream, 404, "no such account");
    std::vector<JsonField> fields;
    if (!readJsonObject(request.body, fields) || fields.size() != 1)
        return answerJsonError(stream, 400, "the body is one of {\"enabled\"} and {\"password\"}");
    const JsonField& field = fields.front();
    const bool own = account.id == viewer.accountId;
    const std::unique_ptr<Storage> storage = openWebStorage(web, stream);
    if (!storage) return;
    if (field.name == "enabled" && field.kind == JsonField::Kind::boolean) {
        if (!viewer.admin) return answerJsonError(stream, 403, "only an administrator disables accounts");
        if (own) return answerJsonError(stream, 400, "an administrator cannot disable their own account here");
        return answerChange(web, stream, storage->setEnabled(account.login, field.flag), *storage, 200, "{}");
    }
    if (field.name != "password") return answerJsonError(stream, 400, "the body is one of {\"enabled\"} and {\"password\"}");
    if (!acceptablePassword(&field)) return answerJsonError(stream, 400, "a password has 1 to 35 bytes");
    const std::string hash = hashPassword(field.text);
    if (hash.empty()) return answerJsonError(stream, 503, "the password cannot be hashed");
    const AccountChange change = storage->setPassword(account.login, hash);
    std::string cookie;
    if (change == AccountChange::done && own && !cookieValue(request.header("Cookie"), sessionCookieName).empty()) {
        changed(web);
        Account now;
        if (accountNamed(web, account.login, now)) {
            const std::string token =
                openSession(web.sessions, now.login, now.version, static_cast<std::int64_t>(nowUs() / 1000000));
            cookie = "Set-Cookie: " + sessionCookie(token) + (stream.secure() ? "; Secure" : "") + "\r\n";
        }
    }
    answerChange(web, stream, change, *storage, 200, "{}", cookie);
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
    stream.respond(200, webContentType("manage.html"), file->body, std::string(webHeaders) + std::string(pageHeaders));
}

}  // namespace

// ---- The routes --------------------------------------------------------------------------------------

void addAccountRoutes(Routes& routes, const std::shared_ptr<WebState>& web) {
    routes.add("GET", "/manage",
               [web](const HttpRequest& request, HttpStream& stream) { answerManagePage(*web, request, stream); });
    routes.add("GET", "/api/accounts",
               [web](const HttpRequest& request, HttpStream& stream) { listAccounts(*web, request, stream); });
    routes.add("POST", "/api/accounts",
               [web](const HttpRequest& request, HttpStream& stream) { addAccount(*web, request, stream); });
    routes.addPrefix("GET", accountsPrefix,
                     [web](const HttpRequest& request, HttpStream& stream) { showAccount(*web, request, stream); });
    routes.addPrefix("PATCH", accountsPrefix,
                     [web](const HttpRequest& request, HttpStream& stream) { changeAccount(*web, request, stream); });
    routes.addPrefix("DELETE", accountsPrefix,
                     [web](const HttpRequest& request, HttpStream& stream) { deleteAccount(*web, request, stream); });
}
