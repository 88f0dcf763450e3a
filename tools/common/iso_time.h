#pragma once

// Times as the host writes them in events, frames and history rows: local time, ISO 8601 with
// milliseconds and the UTC offset, 2026-12-08T14:15:28.123+01:00.

#include <chrono>
#include <optional>
#include <string>

std::string IsoLocalTimeNow();
std::string IsoLocalTime(std::chrono::system_clock::time_point time);
// The same, appended to `out`.
void AppendIsoLocalTime(std::string& out, std::chrono::system_clock::time_point time);

// The time such a text names; empty when it is not one.
std::optional<std::chrono::system_clock::time_point> ParseIsoTime(const std::string& text);
