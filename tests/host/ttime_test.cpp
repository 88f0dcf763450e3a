// A device's pause deferred by a host that serves many lines from one thread.

#include <chrono>
#include <thread>

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

}  // namespace
