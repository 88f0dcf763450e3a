#include "tools/host/poll_schedule.h"

#include <poll.h>

#include <climits>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/device.h"

namespace {

namespace pt = boost::posix_time;

// The steady time at which the local clock will show `local`.
SteadyTime SteadyAt(const pt::ptime& local, const LoopClocks& now) {
  return now.steady + std::chrono::microseconds((local - now.local).total_microseconds());
}

pt::ptime StartOfNextSecond(const pt::ptime& local) {
  const pt::time_duration of_day = local.time_of_day();
  return pt::ptime(local.date(), pt::seconds(of_day.total_seconds() + 1));
}

}  // namespace

LoopClocks LoopClocks::Now() {
  return {std::chrono::steady_clock::now(), pt::microsec_clock::local_time()};
}

ExchangeState ExchangeStateOf(const ZVKSPDevice& composite) {
  ExchangeState state;
  state.in_flight = composite.Busy() != 0;
  state.reply_due = composite.RequestTime() + composite.ReplyTimeout();
  state.last_round_time = composite.LastRoundTime();
  return state;
}

SteadyTime NextRefresh(const ExchangeState& after, const LoopClocks& before) {
  if (after.in_flight) {
    if (after.reply_due > before.steady) return after.reply_due;
  } else {
    const pt::ptime quiet_end = after.last_round_time + pt::seconds(kQuietSeconds);
    if (quiet_end > before.local) return SteadyAt(quiet_end, before);
  }
  return SteadyAt(StartOfNextSecond(before.local), before);
}

int WaitMs(SteadyTime deadline, SteadyTime now) {
  if (deadline <= now) return 0;
  const auto ahead = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return ahead > INT_MAX ? INT_MAX : static_cast<int>(ahead);
}

void SleepUntil(SteadyTime deadline) {
  ::poll(nullptr, 0, WaitMs(deadline, std::chrono::steady_clock::now()));
}

int RefreshWaitMs(const ZVKSPDevice& composite, const LoopClocks& before) {
  return WaitMs(NextRefresh(ExchangeStateOf(composite), before), std::chrono::steady_clock::now());
}
