#pragma once

// When the serial loop next has something to do, so that it sleeps until then instead of waking
// at a fixed short interval. Bytes on the line wake the loop by themselves; besides them only
// three things are due at a known time:
//   - the reply time-out of the query in flight (the codec then gives the query up and the next
//     RefreshStatus repeats it);
//   - the end of the composite device's quiet time: the plug-in starts a cycle once the local
//     time, in whole seconds, is 2 s past the device's time of the last completed cycle, so the
//     loop wakes at the start of that second;
//   - the next try at reopening a lost line.

#include <chrono>

#include <boost/date_time/posix_time/posix_time_types.hpp>

class ZVKSPDevice;

using SteadyTime = std::chrono::steady_clock::time_point;

// Both clocks the decision needs, read together. The local time has microsecond resolution.
struct LoopClocks {
  SteadyTime steady;
  boost::posix_time::ptime local;

  static LoopClocks Now();
};

// What the loop knows of the composite device after a RefreshStatus.
struct ExchangeState {
  bool in_flight = false;  // a query awaits its reply
  SteadyTime reply_due{};  // when that query is given up
  boost::posix_time::ptime last_round_time;  // whole seconds, local time
};

ExchangeState ExchangeStateOf(const ZVKSPDevice& composite);

// Seconds the plug-in keeps between cycles, counted from its time of the last completed cycle.
inline constexpr int kQuietSeconds = 2;

// The moment to call RefreshStatus again if no byte arrives first. `before` is read just before
// the RefreshStatus whose outcome `after` describes: a deadline that had already passed then
// and still stands was declined for some other reason, and the loop looks again at the start of
// the next local second rather than at once.
SteadyTime NextRefresh(const ExchangeState& after, const LoopClocks& before);

// Milliseconds from `now` to `deadline`, rounded up so the loop never wakes before it is due;
// 0 when it has passed.
int WaitMs(SteadyTime deadline, SteadyTime now);

// Sleeps until `deadline`; a signal ends the sleep early (the loop then checks its stop flag).
void SleepUntil(SteadyTime deadline);

// The loop's wait after a RefreshStatus of `composite` whose clocks were read as `before`.
int RefreshWaitMs(const ZVKSPDevice& composite, const LoopClocks& before);
