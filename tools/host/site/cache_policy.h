#pragma once

// Which stored snapshot may be handed to a unit's LoadFromCache. The plug-in treats an accepted
// image as fresh for the next 60 s, whatever its age, so the host decides: only a snapshot
// younger than the maximum age, taken from the same line (a device path, tcp://HOST:PORT, or
// "simulator"), is offered. Anything else would show old or simulated values as live.

#include <chrono>
#include <optional>
#include <string>

#include "tools/common/iso_time.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

class CachePolicy {
 public:
  using Clock = std::chrono::system_clock;

  // A `max_age` of zero turns cache loading off.
  CachePolicy(std::chrono::seconds max_age, std::string source)
      : max_age_(max_age), source_(std::move(source)) {}

  bool enabled() const { return max_age_.count() > 0; }
  const std::string& source() const { return source_; }

  struct Decision {
    bool offer = false;
    std::optional<double> age_s;  // empty when the row's time cannot be read
    std::string refusal;          // why not, in plain words; empty when offered
  };
  Decision Judge(const StoredSnapshot& stored, Clock::time_point now) const;

 private:
  std::chrono::seconds max_age_;
  std::string source_;
};

// "45 s", "3 min", "2 h", "5 days" — an age for people.
std::string HumanAge(double seconds);

}  // namespace k426b_host
