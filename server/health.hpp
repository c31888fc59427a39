// GET /healthz for load balancers: 200 while the database answers, 503 when
// it does not; no authentication, and the body says nothing more.
#pragma once

#include <string>

#include "server/http.hpp"

constexpr std::string_view healthPath = "/healthz";

// Adds GET /healthz, which asks the database named by database (as given to
// --database) through one connection kept between checks.
void addHealthRoute(Routes& routes, const std::string& database);
