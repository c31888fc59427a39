// The listener of commits announced by the servers sharing a PostgreSQL
// database: one connection in LISTEN, waited on with poll() in short slices.
#include "server/livefeed.hpp"

#include <libpq-fe.h>
#include <poll.h>

#include <cstdio>

#include "server/storage.hpp"

namespace {

// A connection that listens on positionsChannel, or nullptr.
PGconn* connectListening(const std::string& database) {
    PGconn* db = PQconnectdb(database.c_str());
    if (PQstatus(db) == CONNECTION_OK) {
        PGresult* r = PQexec(db, (std::string("LISTEN ") + positionsChannel).c_str());
        const bool listening = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        if (listening) return db;
    }
    std::string message = PQerrorMessage(db);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    std::fprintf(stderr, "wayloom-server: cannot listen for other servers' reports: %s\n", message.c_str());
    PQfinish(db);
    return nullptr;
}

// Wakes the feed once for every batch of notifications read; false when
// the connection is lost.
bool readNotifications(PGconn* db, PositionFeed& feed) {
    if (PQconsumeInput(db) == 0) return false;
    bool any = false;
    while (PGnotify* notification = PQnotifies(db)) {
        any = true;
        PQfreemem(notification);
    }
    if (any) {
        const std::lock_guard lock(feed.mutex);
        feed.commits++;
        feed.committed.notify_all();
    }
    return true;
}

void runListener(PositionListener& listener) {
    PGconn* db = nullptr;
    while (!listener.stopping.load()) {
        if (db == nullptr) {
            db = connectListening(listener.database);
            if (db == nullptr) {
                for (auto waited = std::chrono::milliseconds(0);
                     waited < listenerReconnectPause && !listener.stopping.load();
                     waited += listenerWaitSlice)
                    std::this_thread::sleep_for(listenerWaitSlice);
                continue;
            }
        }
        pollfd socket{PQsocket(db), POLLIN, 0};
        const int ready = poll(&socket, 1, static_cast<int>(listenerWaitSlice.count()));
        if (ready > 0 && !readNotifications(db, *listener.feed)) {
            std::fprintf(stderr, "wayloom-server: lost the database's notifications: listening again\n");
            PQfinish(db);
            db = nullptr;
        }
    }
    PQfinish(db);
}

}  // namespace

void startPositionListener(PositionListener& listener) {
    if (!isPostgresDatabase(listener.database) || listener.feed == nullptr) return;
    listener.thread = std::thread(runListener, std::ref(listener));
}

void stopPositionListener(PositionListener& listener) {
    listener.stopping.store(true);
    if (listener.thread.joinable()) listener.thread.join();
}
