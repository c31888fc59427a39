// Live updates across servers: every server that shares one PostgreSQL
// database listens on positionsChannel, where each commit group of any of
// them is announced, and wakes its own live streams through its
// PositionFeed. A server on SQLite is the only writer: its committer wakes
// the feed itself, and no listener runs.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "server/reports.hpp"

constexpr std::chrono::milliseconds listenerWaitSlice{500};  // a stop is seen within this
constexpr std::chrono::seconds listenerReconnectPause{1};    // after the database went away

struct PositionListener {
    std::string database;
    PositionFeed* feed = nullptr;

    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Starts listening when listener.database is PostgreSQL (a thread with a
// connection of its own, opened again after a failure); does nothing else.
void startPositionListener(PositionListener& listener);
void stopPositionListener(PositionListener& listener);
