#include "tools/host/cache_policy.h"

#include <cstdio>
#include <ctime>

#include <fmt/format.h>

namespace {
// A row a little in the future is a clock set back a little; beyond that it is not trusted.
constexpr double kFutureTolerance = 60;
}  // namespace

std::optional<CachePolicy::Clock::time_point> ParseIsoTime(const std::string& text) {
  int year, month, day, hour, minute, second, millis, offset_hours, offset_minutes;
  char sign = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d%n", &year, &month, &day,
                  &hour, &minute, &second, &millis, &sign, &offset_hours, &offset_minutes,
                  &consumed) != 10 ||
      static_cast<std::size_t>(consumed) != text.size() || (sign != '+' && sign != '-'))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  const long offset = (sign == '-' ? -1 : 1) * (offset_hours * 3600L + offset_minutes * 60L);
  const std::time_t seconds = timegm(&utc) - offset;
  return CachePolicy::Clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
}

std::string HumanAge(double seconds) {
  if (seconds < 120) return fmt::format("{:.0f} s", seconds);
  if (seconds < 2 * 3600) return fmt::format("{:.0f} min", seconds / 60);
  if (seconds < 2 * 86400) return fmt::format("{:.0f} h", seconds / 3600);
  return fmt::format("{:.0f} days", seconds / 86400);
}

CachePolicy::Decision CachePolicy::Judge(const StoredSnapshot& stored, Clock::time_point now) const {
  Decision decision;
  const auto taken = ParseIsoTime(stored.time);
  if (taken)
    decision.age_s = std::chrono::duration<double>(now - *taken).count();
  if (!enabled()) {
    decision.refusal = "cache loading is off (--max-cache-age 0)";
  } else if (stored.source.empty()) {
    decision.refusal = "it does not record which line it came from";
  } else if (stored.source != source_) {
    decision.refusal = "it came from " + stored.source + ", not from " + source_;
  } else if (!decision.age_s) {
    decision.refusal = "its time '" + stored.time + "' cannot be read";
  } else if (*decision.age_s < -kFutureTolerance) {
    decision.refusal = "it is dated in the future (" + stored.time + ")";
  } else if (*decision.age_s >= static_cast<double>(max_age_.count())) {
    decision.refusal = fmt::format("it is {} old, older than --max-cache-age {} s",
                                   HumanAge(*decision.age_s), max_age_.count());
  } else {
    decision.offer = true;
  }
  return decision;
}
