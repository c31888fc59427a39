// The web pages and the read API of wayloom-server.
#pragma once

#include "server/http.hpp"
#include "server/serve.hpp"

// Adds the routes of the web pages to routes; context outlives them.
void addWebRoutes(Routes& routes, ServerContext& context);
