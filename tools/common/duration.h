#pragma once

// Durations as people write them on the command line and in the sites file: seconds, or a
// number with a unit.

#include <chrono>
#include <optional>
#include <string>

// "600", "90s", "10min", "2h", "7d" -> seconds; empty when not a duration.
std::optional<std::chrono::seconds> ParseDuration(const std::string& text);
