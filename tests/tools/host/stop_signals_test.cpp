// The one signal scheme of the host and the simulator: a blocked signal comes out of Wait as
// stop or reload, and a wait without one ends at its deadline or when another thread wakes it.

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "tools/common/stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(StopSignals, StopAndReloadSignalsAreTakenByTheWaitNotByTheirDefaultAction) {
  StopSignals signals(/*reload=*/true);
  std::raise(SIGHUP);
  std::raise(SIGTERM);
  EXPECT_EQ(signals.Wait(Clock::now() + std::chrono::seconds(5)), StopSignals::Taken::kReload);
  EXPECT_EQ(signals.Wait(Clock::now() + std::chrono::seconds(5)), StopSignals::Taken::kStop);
  std::raise(SIGINT);
  EXPECT_EQ(signals.Wait(Clock::time_point::max()), StopSignals::Taken::kStop);
}

TEST(StopSignals, AWaitWithoutASignalEndsAtItsDeadlineOrWhenWoken) {
  StopSignals signals;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(50);
  EXPECT_EQ(signals.Wait(deadline), StopSignals::Taken::kNone);
  EXPECT_GE(Clock::now(), deadline);

  const Clock::time_point before = Clock::now();
  std::thread waker([&] { signals.Wake(); });
  EXPECT_EQ(signals.Wait(Clock::time_point::max()), StopSignals::Taken::kNone);
  waker.join();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
}

}  // namespace
