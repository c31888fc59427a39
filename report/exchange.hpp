// One report exchange with the report server.
#pragma once

// Shows the summary line and "Connecting...", sends one report of the fix and
// shows exactly one outcome message, whatever path the exchange takes.
void runReportExchange(double latitude, double longitude, double speed);
