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
// A reply that arrives in pieces (a paced line gives a byte or a device server's packet a read)
// would wake the loop for every piece: once the frame's LENGTH is in, the loop sleeps for the
// time the rest takes on the wire instead.

#include <chrono>
#include <cstddef>

#include <boost/date_time/posix_time/posix_time_types.hpp>

class ZVKSPDevice;

namespace k426b_host {

using SteadyTime = std::chrono::steady_clock::time_point;

// Both clocks the decision needs, read together. The local time has microsecond resolution.
struct LoopClocks {
  SteadyTime steady;
  boost::posix_time::ptime local;

  static LoopClocks Now();
};

// What the loop knows of the composite device after a RefreshStatus.
struct ExchangeState {
  bool in_flight = false;                    // a query awaits its reply
  SteadyTime reply_due{};                    // when that query is given up
  boost::posix_time::ptime last_round_time;  // whole seconds, local time
};

ExchangeState ExchangeStateOf(const ZVKSPDevice& composite);

// Seconds the plug-in keeps between cycles, counted from its time of the last completed cycle.
inline constexpr int kQuietSeconds = 2;

// The moment to call RefreshStatus again if no byte arrives first. `before` is read just before
// the RefreshStatus whose outcome `after` describes: a deadline that had already passed then
// and still stands was declined for some other reason, and the loop looks again at the start of
// the next local second rather than at once. `start_offset` is how far into a second this site
// starts its cycles (a service spreads its serial loops' sites, CycleStartOffset below); it
// never moves the reply time-out.
SteadyTime NextRefresh(const ExchangeState& after, const LoopClocks& before,
                       std::chrono::microseconds start_offset = {});

// The `index`th of a number of offsets spread within `window`: they halve the gaps in turn (0,
// 1/2, 1/4, 3/4, 1/8, ...), so they are spread evenly however many there are.
std::chrono::microseconds CycleStartOffset(std::size_t index, std::chrono::microseconds window);

// Milliseconds from `now` to `deadline`, rounded up so the loop never wakes before it is due;
// 0 when it has passed.
int WaitMs(SteadyTime deadline, SteadyTime now);

// Waits until `fd` is readable (or hung up) or `deadline` comes, whichever is first; true when
// it is readable. With `fd` -1 only the time is waited for. A signal ends the wait early.
bool WaitReadable(int fd, SteadyTime deadline);

// How much of the frame under way is still to come. Fed the received bytes as they arrive: a
// frame starts at SOI and ends at EOI, and its size is known once its LENGTH has come.
class FrameProgress {
 public:
  void Feed(const unsigned char* bytes, std::size_t length);
  // Characters still to come of the frame under way; 0 when none is under way or its LENGTH
  // has not come yet or is not hexadecimal. (Waiting for the LENGTH itself would save wake-ups
  // only on a line that gives a byte a read, and cost one on a line that gives packets.)
  std::size_t Remaining() const;

 private:
  bool in_frame_ = false;
  bool length_known_ = false;
  std::size_t seen_ = 0;  // characters since SOI, SOI included
  unsigned lenid_ = 0;
};

// How long before the end of a sized frame the loop stops sleeping and waits on the line again:
// the last piece then wakes it as it arrives, and a sleep that ended late (a busy machine, the
// frame's start read late) does not delay the reply.
inline constexpr std::chrono::milliseconds kFrameEndMargin{10};

// When to read the line again while a frame arrives on a line of `baud` (10 bits a character):
// kFrameEndMargin before its end, counted from `now`, the time its last piece was read; never
// past the reply time-out of the query in flight. `now` when there is nothing to wait for: no
// query in flight, no frame whose size is known, or less of it to come than the margin.
SteadyTime RestOfFrameDue(const FrameProgress& progress, int baud, const ExchangeState& state,
                          SteadyTime now);

}  // namespace k426b_host
