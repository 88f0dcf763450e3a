#pragma once

// The test host's clock and pause: a local time that moves only when the test moves it, and a
// record of every pause the serial thread asked for. Installed for the object's lifetime, so
// quiet times, pauses and freshness are checked exactly and without waiting.

#include <chrono>
#include <mutex>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/ttime.h"

class TestClock {
 public:
  TestClock() {
    set_host_clock([this] { return now(); },
                   [this](std::chrono::microseconds pause) {
                     std::lock_guard<std::mutex> lock(mutex_);
                     pauses_.push_back(pause);
                   });
  }
  ~TestClock() { set_host_clock(nullptr, nullptr); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  boost::posix_time::ptime now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void advance(const boost::posix_time::time_duration& duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += duration;
  }
  std::vector<std::chrono::microseconds> pauses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pauses_;
  }

 private:
  mutable std::mutex mutex_;
  boost::posix_time::ptime now_{boost::gregorian::date(2026, 3, 14),
                                boost::posix_time::hours(9) + boost::posix_time::seconds(26)};
  std::vector<std::chrono::microseconds> pauses_;
};
