// The web pages and the read API of wayloom-server. None yet.
#include "server/web.hpp"

void addWebRoutes(Routes& routes, ServerContext& context) {
    (void)routes;
    (void)context;
}
