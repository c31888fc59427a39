// The table of protocols that carry positions in, with each row's reader and
// answers.
//
// Divisions: credentials; Wayloom's form; the OsmAnd protocol; OwnTracks;
// Overland; the table.
#include "server/ingest.hpp"

#include "server/phones.hpp"
#include "server/reports.hpp"
#include "server/webformat.hpp"
#include "server/websession.hpp"

namespace {

// ---- Credentials -------------------------------------------------------------------------

bool startsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != start[i]) return false;
    }
    return true;
}

// The outcome of a phone's message once read: positions go on to the check.
char outcomeOf(PhoneRead read) {
    switch (read) {
        case PhoneRead::positions:
            return answer::stored;
        case PhoneRead::nothingToStore:
            return answer::nothingToStore;
        case PhoneRead::bad:
            return answer::notAReport;
    }
    return answer::notAReport;
}

void takePhoneMessage(PhoneMessage& phone, IngestMessage& message) {
    message.positions = std::move(phone.positions);
    message.pointsLeftOut = phone.pointsLeftOut;
    message.problem = std::move(phone.problem);
}

// ---- Wayloom's form ----------------------------------------------------------------------

char readWayloom(const HttpRequest& request, std::int64_t arrivalUs, IngestMessage& message) {
    ReportForm form;
    const char outcome = readReportForm(request.body, form, arrivalUs);
    message.login = std::move(form.login);  // for the log, whatever the outcome
    if (outcome != answer::stored) return outcome;
    message.secret = std::move(form.password);
    Position position;
    position.timeUs = form.timeUs;
    position.receivedUs = form.receivedUs;
    position.lat = form.lat;
    position.lon = form.lon;
    position.speedKnots = form.speedKnots;
    position.timeSent = form.timeSent;
    position.extras = form.extras;
    message.positions.push_back(std::move(position));
    return outcome;
}

// One character, "1" for stored: Wayloom's own answers.
IngestAnswer answerWayloom(char outcome, const HttpRequest&, std::string_view) {
    return {
        200, "text/html", std::string(1, outcome == answer::nothingToStore ? answer::stored : outcome), {}};
}

// ---- The OsmAnd protocol -----------------------------------------------------------------

bool isJson(const HttpRequest& request) {
    return startsWithNoCase(request.header("Content-Type"), "application/json");
}

// A query, or a form body when the query is empty, or the JSON form.
char readOsmAnd(const HttpRequest& request, std::int64_t arrivalUs, IngestMessage& message) {
    PhoneMessage phone;
    const PhoneRead read = isJson(request)          ? readOsmAndJson(request.body, arrivalUs, phone)
                           : !request.query.empty() ? readOsmAndForm(request.query, arrivalUs, phone)
                                                    : readOsmAndForm(request.body, arrivalUs, phone);
    message.secret = std::move(phone.key);
    takePhoneMessage(phone, message);
    return outcomeOf(read);
}

// 200 with an empty body once stored; an unknown id 400 (404 for the JSON
// form, as its app expects); 503 while the storage fails, so the app keeps
// the point.
IngestAnswer answerOsmAnd(char outcome, const HttpRequest& request, std::string_view problem) {
    switch (outcome) {
        case answer::stored:
        case answer::nothingToStore:
            return {200, "text/plain", {}, {}};
        case answer::unknownLogin:
        case answer::wrongPassword:
            return {isJson(request) ? 404 : 400, "text/plain", "unknown device\n", {}};
        case answer::disabled:
            return {403, "text/plain", "device disabled\n", {}};
        case answer::notAReport:
            return {400, "text/plain", std::string(problem) + "\n", {}};
        default:
            return {503, "text/plain", "not stored, try again\n", {}};
    }
}

// ---- OwnTracks -----------------------------------------------------------------------------

char readOwnTracksRequest(const HttpRequest& request, std::int64_t arrivalUs, IngestMessage& message) {
    if (!parseBasicAuthorization(request.header("Authorization"), message.login, message.secret))
        return answer::unknownLogin;
    PhoneMessage phone;
    const PhoneRead read = readOwnTracks(request.body, arrivalUs, phone);
    takePhoneMessage(phone, message);
    return outcomeOf(read);
}

// A JSON array: "[]" for a message without a position (a stored location is
// answered from the storage, by ServeSettings::storedAnswer); any answer but
// 2xx makes the app keep the message and send it again.
IngestAnswer answerOwnTracks(char outcome, const HttpRequest&, std::string_view problem) {
    switch (outcome) {
        case answer::stored:
        case answer::nothingToStore:
            return {200, "application/json", "[]", {}};
        case answer::unknownLogin:
        case answer::wrongPassword:
            return {401, "text/plain", "wrong login or key\n",
                    "WWW-Authenticate: Basic realm=\"wayloom\", charset=\"UTF-8\"\r\n"};
        case answer::disabled:
            return {403, "text/plain", "account disabled\n", {}};
        case answer::notAReport:
            return {400, "text/plain", std::string(problem) + "\n", {}};
        default:
            return {503, "text/plain", "not stored, try again\n", {}};
    }
}

// ---- Overland --------------------------------------------------------------------------------

char readOverlandRequest(const HttpRequest& request, std::int64_t arrivalUs, IngestMessage& message) {
    message.secret = bearerToken(request.header("Authorization"));
    if (message.secret.empty()) {
        for (const FormField& field : splitForm(request.query))
            if (field.name == "token") message.secret = field.value;
    }
    PhoneMessage phone;
    const PhoneRead read = readOverland(request.body, arrivalUs, phone);
    takePhoneMessage(phone, message);
    return outcomeOf(read);
}

// {"result":"ok"} only once every point that can be stored is; anything else
// makes the app keep the batch and send it again.
IngestAnswer answerOverland(char outcome, const HttpRequest&, std::string_view problem) {
    const auto error = [](std::string_view text) {
        std::string body = "{\"error\":";
        appendJsonString(body, text);
        return body + "}";
    };
    switch (outcome) {
        case answer::stored:
        case answer::nothingToStore:
            return {200, "application/json", R"({"result":"ok"})", {}};
        case answer::unknownLogin:
        case answer::wrongPassword:
            return {401, "application/json", error("wrong token"), {}};
        case answer::disabled:
            return {403, "application/json", error("device disabled"), {}};
        case answer::notAReport:
            return {400, "application/json", error(problem), {}};
        default:
            return {503, "application/json", error("not stored, try again"), {}};
    }
}

// ---- The table -------------------------------------------------------------------------------

const IngestProtocol protocols[] = {
    {"wayloom",
     {reportPath, ""},
     {"POST", ""},
     reportBodyMaxBytes,
     IngestCredentials::inBody,
     readWayloom,
     answerWayloom,
     false},
    {"osmand",
     {"/osmand", ""},
     {"GET", "POST"},
     phoneJsonMaxBytes,
     IngestCredentials::key,
     readOsmAnd,
     answerOsmAnd,
     false},
    {"owntracks",
     {"/owntracks", "/pub"},
     {"POST", ""},
     phoneJsonMaxBytes,
     IngestCredentials::basic,
     readOwnTracksRequest,
     answerOwnTracks,
     true},
    {"overland",
     {"/overland", ""},
     {"POST", ""},
     phoneJsonMaxBytes,
     IngestCredentials::key,
     readOverlandRequest,
     answerOverland,
     false},
};

}  // namespace

const IngestProtocol& wayloomProtocol() {
    return protocols[0];
}

const IngestProtocol& osmandProtocol() {
    return protocols[1];
}

const IngestProtocol* findIngestProtocol(std::string_view path) {
    for (const IngestProtocol& protocol : protocols) {
        for (const std::string_view each : protocol.paths)
            if (!each.empty() && each == path) return &protocol;
    }
    return nullptr;
}

bool ingestMethodAllowed(const IngestProtocol& protocol, std::string_view method) {
    for (const std::string_view each : protocol.methods)
        if (!each.empty() && each == method) return true;
    return false;
}

std::vector<const IngestProtocol*> ingestProtocols() {
    std::vector<const IngestProtocol*> all;
    for (const IngestProtocol& protocol : protocols) all.push_back(&protocol);
    return all;
}

std::string_view bearerToken(std::string_view header) {
    constexpr std::string_view scheme = "bearer ";
    if (!startsWithNoCase(header, scheme)) return {};
    std::string_view token = header.substr(scheme.size());
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    return token;
}
