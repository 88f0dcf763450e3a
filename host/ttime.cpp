#include "host/ttime.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

LocalClock& clock_override() {
  static LocalClock clock;
  return clock;
}

Pause& pause_override() {
  static Pause pause;
  return pause;
}

thread_local DeferredPause* t_deferred_pause = nullptr;

}  // namespace

ttime get_ttime(const boost::posix_time::ptime& time) {
  ttime stamp{};
  if (time.is_special()) return stamp;
  const auto date = time.date();
  const auto clock = time.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  stamp[0] = static_cast<unsigned char>(year & 0xFF);
  stamp[1] = static_cast<unsigned char>(year >> 8);
  stamp[2] = static_cast<unsigned char>(date.month().as_number());
  stamp[3] = static_cast<unsigned char>(date.day());
  stamp[4] = static_cast<unsigned char>(clock.hours());
  stamp[5] = static_cast<unsigned char>(clock.minutes());
  stamp[6] = static_cast<unsigned char>(clock.seconds());
  return stamp;
}

boost::posix_time::ptime host_epoch() {
  return boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1));
}

boost::posix_time::ptime local_time() {
  const LocalClock& clock = clock_override();
  if (clock) return clock();
  // Converting to local time costs more than the rest of a value look-up, and the clock has
  // whole seconds: each thread converts once per second.
  thread_local std::time_t converted_second = -1;
  thread_local boost::posix_time::ptime converted;
  // Not std::time: it reads the kernel's coarse clock, which turns to the next second up to a
  // scheduler tick late. A serial loop that wakes at the start of the second in which the quiet
  // time ends would then be told the quiet time has not ended, and sleep another second.
  timespec precise{};
  ::clock_gettime(CLOCK_REALTIME, &precise);
  const std::time_t now = precise.tv_sec;
  if (now != converted_second) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return boost::posix_time::second_clock::local_time();
    converted = boost::posix_time::ptime_from_tm(local);
    converted_second = now;
  }
  return converted;
}

void pause_for(std::chrono::microseconds duration) {
  const Pause& pause = pause_override();
  if (pause) {
    pause(duration);
  } else if (DeferredPause* deferred = t_deferred_pause; deferred != nullptr) {
    // Pauses asked for in a row follow each other.
    deferred->until_ = std::max(deferred->until_, std::chrono::steady_clock::now()) +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
  } else {
    ::usleep(static_cast<useconds_t>(duration.count()));  // the POSIX pause the plug-in uses
  }
}

DeferredPause::DeferredPause() : outer_(t_deferred_pause) { t_deferred_pause = this; }

DeferredPause::~DeferredPause() { t_deferred_pause = outer_; }

void set_host_clock(LocalClock clock, Pause pause) {
  clock_override() = std::move(clock);
  pause_override() = std::move(pause);
}
