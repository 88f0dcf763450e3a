#pragma once

#include <array>
#include <chrono>
#include <functional>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/export.h"

// The host's 7-byte time stamp: year (16 bits, least significant byte first), month, day,
// hour, minute, second.
using ttime = std::array<unsigned char, 7>;

ZVK_API ttime get_ttime(const boost::posix_time::ptime& time);

// Far in the past, so that quiet-time and freshness arithmetic on a device that never
// completed a cycle behaves like "long ago" rather than "undefined".
ZVK_API boost::posix_time::ptime host_epoch();

// The local clock at second resolution: the time of the last completed cycle, the quiet time
// between cycles and the freshness of a unit's values are all read from it.
ZVK_API boost::posix_time::ptime local_time();

// Sleeps the serial thread, as the composite device does before it examines a reply.
ZVK_API void pause_for(std::chrono::microseconds duration);

// A host that serves many lines from one thread cannot sleep in one device's pause. While a
// DeferredPause lives on a thread, pause_for on that thread only adds the pause to it, and the
// host holds back what the device sends until until() has passed. A test host's pause (below)
// still comes first.
class ZVK_API DeferredPause {
 public:
  using Time = std::chrono::steady_clock::time_point;

  DeferredPause();
  ~DeferredPause();
  DeferredPause(const DeferredPause&) = delete;
  DeferredPause& operator=(const DeferredPause&) = delete;

  // The end of the pauses asked for so far; the default time point when none was.
  Time until() const { return until_; }
  bool paused() const { return until_ != Time{}; }

 private:
  friend void pause_for(std::chrono::microseconds duration);

  DeferredPause* outer_;
  Time until_{};
};

// A test host replaces the clock and the pause with its own, so that time-outs and pauses are
// checked without waiting; an empty function restores the real one. Set it only while no
// device is in use on another thread.
using LocalClock = std::function<boost::posix_time::ptime()>;
using Pause = std::function<void(std::chrono::microseconds)>;
ZVK_API void set_host_clock(LocalClock clock, Pause pause);
