#pragma once

// The line speeds a serial port can be set to, in one table for the host, its sites file and
// the simulator.

#include <optional>
#include <string>
#include <vector>

#include <termios.h>

// 1200 to 115200, slowest first.
const std::vector<int>& SupportedBauds();
bool IsSupportedBaud(long baud);
// "1200, 2400, ..., 115200", for messages.
std::string SupportedBaudsText();
// The termios speed of a supported baud; empty for any other.
std::optional<speed_t> BaudSpeed(long baud);
