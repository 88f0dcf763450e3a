#pragma once

// A problem that repeats, told once and then summed up: the first of each kind is logged in full,
// its repeats are counted, and at most once a period (a minute) one line tells what was counted
// since the line before. Only the log is thinned: the counters the problem feeds stay exact.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace k426b_host {

// A minute; for tests, K426B_TEST_SUMMARY_PERIOD_MS shortens it (read once).
inline std::chrono::milliseconds RepeatSummaryPeriod() {
  static const std::chrono::milliseconds period = [] {
    const char* shortened = std::getenv("K426B_TEST_SUMMARY_PERIOD_MS");
    const long ms = shortened != nullptr ? std::atol(shortened) : 0;
    return ms > 0 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(60'000);
  }();
  return period;
}

class RepeatSummary {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RepeatSummary(Clock::duration period = RepeatSummaryPeriod()) : period_(period) {}

  // Whether this occurrence of `kind` is logged in full: when no line told of `kind` within the
  // period and none is waiting to be summed up. Otherwise it is counted for the next summary.
  bool Occurred(const std::string& kind, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The kinds are the codec's reasons, a short list; any beyond kMaxKinds are lumped together.
    const std::string& named =
        told_.size() < kMaxKinds || told_.count(kind) > 0 ? kind : kOtherKinds;
    const auto told = told_.find(named);
    if (counted_.count(named) == 0 && (told == told_.end() || now - told->second >= period_)) {
      if (counted_.empty()) window_start_ = now;
      told_[named] = now;
      return true;
    }
    ++counted_[named];
    return false;
  }

  struct Summary {
    unsigned long total = 0;
    std::string kinds;  // "bad CHKSUM ×400, truncated ×12": the most frequent first
  };
  // What was counted, once a period has passed since the line before; nothing otherwise.
  std::optional<Summary> Due(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counted_.empty() || now - window_start_ < period_) return std::nullopt;
    std::vector<std::pair<std::string, unsigned long>> kinds(counted_.begin(), counted_.end());
    std::stable_sort(kinds.begin(), kinds.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    Summary summary;
    for (const auto& [kind, count] : kinds) {
      summary.total += count;
      if (!summary.kinds.empty()) summary.kinds += ", ";
      summary.kinds += fmt::format("{} ×{}", kind, count);
      told_[kind] = now;
    }
    counted_.clear();
    window_start_ = now;
    return summary;
  }

  // "minute", or the shortened period in seconds.
  std::string PeriodText() const {
    if (period_ == std::chrono::minutes(1)) return "minute";
    return fmt::format("{:g} s", std::chrono::duration<double>(period_).count());
  }

 private:
  static constexpr std::size_t kMaxKinds = 32;
  static constexpr const char* kOtherKinds = "other reasons";

  const Clock::duration period_;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> told_;  // when a line last told of each kind
  std::map<std::string, unsigned long> counted_;   // since the line before
  // The line before the counting under way: the first of it is always a line told in full.
  Clock::time_point window_start_;
};

}  // namespace k426b_host
