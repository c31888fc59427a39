// The ways a position reaches the server, as a table: one row per protocol
// (Wayloom's report form first, then the phone apps'), each with the paths
// and methods it answers, its body limit, its reader and its answers.
//
// The serving loop looks a request's head up here once. Every row then takes
// the same road: the account check (a password's slow hash on a checker
// thread, a device key at once), the committer's group commit with its
// recognition of resends, the storage deadline and the answer metrics. A new
// protocol is a new row and a reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/http.hpp"
#include "server/storage.hpp"

// What a reader makes of a request.
struct IngestMessage {
    std::string login;                // "" when the key alone names the account
    std::string secret;               // the password or device key
    std::vector<Position> positions;  // accountId and client set after the check
    std::size_t pointsLeftOut = 0;    // points of a batch that can never be stored
    std::string problem;              // why it was refused, or what was left out
};

// Where the account's credentials are.
enum class IngestCredentials {
    inBody,  // Wayloom's form: login and password
    key,     // a device key alone (OsmAnd's id, Overland's token)
    basic    // HTTP Basic: the login and its key or password
};

// An answer as the protocol gives it.
struct IngestAnswer {
    int status = 200;
    std::string_view contentType;
    std::string body;
    std::string_view extraHeaders;  // each line ending in "\r\n"
};

struct IngestProtocol {
    std::string_view name;                  // in the log and the README: "wayloom", "osmand" ...
    std::array<std::string_view, 2> paths;  // on the report ports; "" for none
    std::array<std::string_view, 2> methods;
    std::size_t bodyMaxBytes;
    IngestCredentials credentials;
    // Reads a whole request that arrived at arrivalUs into message: an
    // answer:: character; answer::stored to go on to the account check,
    // answer::nothingToStore to answer as delivered once the account is right.
    char (*read)(const HttpRequest& request, std::int64_t arrivalUs, IngestMessage& message);
    // The answer to an outcome (an answer:: character) of request.
    IngestAnswer (*answer)(char outcome, const HttpRequest& request, std::string_view problem);
    // A stored message is answered by ServeSettings::storedAnswer on a route
    // thread (OwnTracks: the positions of the others the account may see).
    bool storedAnswerReadsStorage;
};

// The row of Wayloom's own report, the first of the table.
const IngestProtocol& wayloomProtocol();
// The OsmAnd protocol's row, which also serves every path of --osmand-port.
const IngestProtocol& osmandProtocol();

// The row for a request's head on a port that serves reports; nullptr when
// the request is for another page.
const IngestProtocol* findIngestProtocol(std::string_view path);

// True when method is one the row answers.
bool ingestMethodAllowed(const IngestProtocol& protocol, std::string_view method);

// Every row, in order (for the README's table and the tests).
std::vector<const IngestProtocol*> ingestProtocols();

// The token of "Bearer TOKEN" (the scheme in any case); "" for anything else.
std::string_view bearerToken(std::string_view header);
