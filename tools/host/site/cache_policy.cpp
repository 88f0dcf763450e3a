#include "tools/host/site/cache_policy.h"

#include <cstdio>
#include <ctime>

#include <fmt/format.h>

namespace k426b_host {

namespace {
// A row a little in the future is a clock set back a little; beyond that it is not trusted.
constexpr double kFutureTolerance = 60;
}  // namespace

std::string HumanAge(double seconds) {
  if (seconds < 120) return fmt::format("{:.0f} s", seconds);
  if (seconds < 2 * 3600) return fmt::format("{:.0f} min", seconds / 60);
  if (seconds < 2 * 86400) return fmt::format("{:.0f} h", seconds / 3600);
  return fmt::format("{:.0f} days", seconds / 86400);
}

CachePolicy::Decision CachePolicy::Judge(const StoredSnapshot& stored,
                                         Clock::time_point now) const {
  Decision decision;
  const auto taken = ParseIsoTime(stored.time);
  if (taken) decision.age_s = std::chrono::duration<double>(now - *taken).count();
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

}  // namespace k426b_host
