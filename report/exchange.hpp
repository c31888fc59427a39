// One report exchange with the report server.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/protocol.hpp"

// Shows the summary line and "Connecting...", sends one report of the fix and
// shows exactly one outcome message, whatever path the exchange takes; returns
// that outcome. A fixTime adds the report's t field, extendedFields (the text
// of formatExtendedFields) the fields of fields = extended.
std::uint16_t runReportExchange(double latitude, double longitude, double speed,
                                std::string_view fixTime = {}, std::string_view extendedFields = {});

// The same for number texts already made; with showLines false nothing is
// shown and only the outcome returned (a kept report sent again).
std::uint16_t exchangeReportTexts(const NumberText& latText, const NumberText& lonText,
                                  const NumberText& speedText, std::string_view fixTime, bool showLines,
                                  std::string_view extendedFields = {});
