#include "tools/host/site/poll_schedule.h"

#include <poll.h>

#include <algorithm>
#include <climits>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/device.h"
#include "host/frame_codec.h"

namespace k426b_host {

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

SteadyTime NextRefresh(const ExchangeState& after, const LoopClocks& before,
                       std::chrono::microseconds start_offset) {
  if (after.in_flight) {
    if (after.reply_due > before.steady) return after.reply_due;
    return SteadyAt(StartOfNextSecond(before.local), before);
  }
  const pt::time_duration offset = pt::microseconds(start_offset.count());
  const pt::ptime quiet_end = after.last_round_time + pt::seconds(kQuietSeconds) + offset;
  if (quiet_end > before.local) return SteadyAt(quiet_end, before);
  return SteadyAt(StartOfNextSecond(before.local) + offset, before);
}

std::chrono::microseconds CycleStartOffset(std::size_t index, std::chrono::microseconds window) {
  // The index's binary digits mirrored behind the point: 1 -> .1, 2 -> .01, 3 -> .11, ...
  double fraction = 0;
  double digit = 0.5;
  for (std::size_t rest = index; rest != 0; rest >>= 1, digit /= 2)
    if (rest & 1) fraction += digit;
  return std::chrono::microseconds(
      static_cast<std::chrono::microseconds::rep>(fraction * static_cast<double>(window.count())));
}

int WaitMs(SteadyTime deadline, SteadyTime now) {
  if (deadline <= now) return 0;
  const auto ahead = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return ahead > INT_MAX ? INT_MAX : static_cast<int>(ahead);
}

bool WaitReadable(int fd, SteadyTime deadline) {
  const int wait_ms = WaitMs(deadline, std::chrono::steady_clock::now());
  if (fd < 0) {
    ::poll(nullptr, 0, wait_ms);
    return false;
  }
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, wait_ms) > 0;
}

namespace {

// The value of a hexadecimal digit, either case; -1 for any other character.
int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// SOI, VER, ADR, CID1, CID2|RTN, then LENGTH: LCHKSUM and the three digits of LENID.
constexpr std::size_t kLenidFirst = 11;  // the first LENID digit is the 11th character
constexpr std::size_t kLenidLast = 13;

}  // namespace

void FrameProgress::Feed(const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    if (c == zvk::kSoi) {
      in_frame_ = true;
      length_known_ = false;
      seen_ = 1;
      lenid_ = 0;
      continue;
    }
    if (!in_frame_) continue;
    if (c == zvk::kEoi) {
      in_frame_ = false;
      continue;
    }
    ++seen_;
    if (seen_ < kLenidFirst || seen_ > kLenidLast) continue;
    const int digit = HexDigit(c);
    if (digit < 0) {
      in_frame_ = false;  // not a frame this can size: the loop reads it as it comes
      continue;
    }
    lenid_ = lenid_ * 16 + static_cast<unsigned>(digit);
    length_known_ = seen_ == kLenidLast;
  }
}

std::size_t FrameProgress::Remaining() const {
  if (!in_frame_ || !length_known_) return 0;
  const std::size_t whole = zvk::kFrameOverhead + lenid_;
  return whole > seen_ ? whole - seen_ : 0;
}

SteadyTime RestOfFrameDue(const FrameProgress& progress, int baud, const ExchangeState& state,
                          SteadyTime now) {
  const std::size_t remaining = progress.Remaining();
  if (!state.in_flight || remaining == 0 || baud <= 0) return now;
  const auto wire =
      std::chrono::microseconds(remaining * 10 * 1000000 / static_cast<unsigned>(baud)) -
      kFrameEndMargin;
  if (wire.count() <= 0) return now;
  return std::max(now, std::min(now + wire, state.reply_due));
}

}  // namespace k426b_host
