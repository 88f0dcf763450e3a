// The host's local clock, and a device's pause deferred by a host that serves many lines from
// one thread.

#include <time.h>

#include <chrono>
#include <ctime>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "host/ttime.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

TEST(DeferredPause, PausesOnItsThreadAddUpAndEndWithItWhileATestHostsPauseComesFirst) {
  DeferredPause outer;
  EXPECT_FALSE(outer.paused());
  const auto before = steady_clock::now();
  pause_for(20ms);
  pause_for(30ms);  // after the first, not beside it
  const auto after = steady_clock::now();
  ASSERT_TRUE(outer.paused());
  EXPECT_GE(outer.until(), before + 50ms);
  EXPECT_LE(outer.until(), after + 50ms);
  const auto until = outer.until();
  {
    DeferredPause inner;
    pause_for(10ms);
    EXPECT_TRUE(inner.paused());
  }
  EXPECT_EQ(outer.until(), until);  // the inner one took the pause, and is gone
  // Another thread has no deferral: its pause is its own and leaves this one alone.
  std::thread([] { pause_for(1ms); }).join();
  EXPECT_EQ(outer.until(), until);

  int test_pauses = 0;
  set_host_clock({}, [&](std::chrono::microseconds) { ++test_pauses; });
  pause_for(20ms);
  set_host_clock({}, {});
  EXPECT_EQ(test_pauses, 1);
  EXPECT_EQ(outer.until(), until);
}

// The serial loop wakes at the start of the second in which the quiet time ends: the clock the
// plug-in reads must already show that second then, not a scheduler tick later.
TEST(LocalTime, ShowsTheNewSecondAsSoonAsItBegins) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    timespec precise{};
    ::clock_gettime(CLOCK_REALTIME, &precise);
    const auto to_next_second = std::chrono::nanoseconds(1'000'000'000 - precise.tv_nsec);
    std::this_thread::sleep_for(to_next_second + 200us);
    ::clock_gettime(CLOCK_REALTIME, &precise);
    std::tm local{};
    const std::time_t seconds = precise.tv_sec;
    ASSERT_NE(localtime_r(&seconds, &local), nullptr);
    const boost::posix_time::ptime shown = local_time();
    ::clock_gettime(CLOCK_REALTIME, &precise);
    // Read between the two precise readings, unless a second began in between.
    if (precise.tv_sec != seconds) continue;
    EXPECT_EQ(shown, boost::posix_time::ptime_from_tm(local)) << "attempt " << attempt;
  }
}

}  // namespace
