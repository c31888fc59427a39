// Serial port access for the GPS receiver.
#pragma once

using PortHandle = int;  // an open file descriptor
constexpr PortHandle invalidPortHandle = -1;
