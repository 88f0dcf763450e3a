// When the serial loop wakes: the reply time-out of the query in flight, the start of the second
// that ends the quiet time, and the next local second when the device declined for another
// reason. The clocks are given, not read.

#include <climits>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "host/device.h"
#include "host/frame_codec.h"
#include "tools/host/site/poll_schedule.h"

namespace k426b_host {

namespace {

namespace pt = boost::posix_time;
using std::chrono::microseconds;
using std::chrono::milliseconds;

const SteadyTime kSteady = SteadyTime() + std::chrono::hours(100);

// The loop's clocks at local time 12:00:ss plus `micros`.
LoopClocks ClocksAt(int second, long micros) {
  const pt::ptime local(boost::gregorian::date(2026, 3, 1),
                        pt::hours(12) + pt::seconds(second) + pt::microseconds(micros));
  return {kSteady, local};
}

ExchangeState IdleSince(int second) {
  ExchangeState state;
  state.last_round_time =
      pt::ptime(boost::gregorian::date(2026, 3, 1), pt::hours(12) + pt::seconds(second));
  return state;
}

TEST(PollSchedule, AQueryInFlightWakesTheLoopAtItsReplyTimeOut) {
  ExchangeState state = IdleSince(0);  // the quiet time is long over; only the reply counts
  state.in_flight = true;
  state.reply_due = kSteady + milliseconds(1500);
  EXPECT_EQ(NextRefresh(state, ClocksAt(30, 0)), kSteady + milliseconds(1500));
}

TEST(PollSchedule, AfterACycleTheLoopSleepsToTheStartOfTheSecondThatEndsTheQuietTime) {
  // Cycle closed in second 05 (stamped in whole seconds); the next may start at 07.000.
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(5, 300000)), kSteady + milliseconds(1700));
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(6, 999000)), kSteady + milliseconds(1));
  // Across a minute: stamped 12:00:59, the cycle may start at 12:01:01.
  EXPECT_EQ(NextRefresh(IdleSince(59), ClocksAt(59, 900000)), kSteady + milliseconds(1100));
}

TEST(PollSchedule, ADeadlineReachedDuringRefreshStatusIsStillDueAtOnce) {
  // Clocks read 1 us before the quiet time ended: the refresh came too early, so the answer is
  // "now" (the loop calls again at once), not a second later.
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(6, 999999)), kSteady + microseconds(1));
}

TEST(PollSchedule, ADeviceThatDeclinedForAnotherReasonIsAskedAgainAtTheNextSecond) {
  // Quiet time over and still nothing sent: only the next local second can change that.
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(9, 250000)), kSteady + milliseconds(750));
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(7, 0)), kSteady + milliseconds(1000));
  // A reply time-out that had passed yet was not given up: never a busy loop.
  ExchangeState stuck = IdleSince(0);
  stuck.in_flight = true;
  stuck.reply_due = kSteady - milliseconds(5);
  EXPECT_EQ(NextRefresh(stuck, ClocksAt(30, 400000)), kSteady + milliseconds(600));
}

TEST(PollSchedule, ASiteWithAStartOffsetStartsItsCyclesThatFarIntoTheSecond) {
  const microseconds offset = milliseconds(40);
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(5, 300000), offset), kSteady + milliseconds(1740));
  // Within the offset, the quiet time over: still the offset, not the next second.
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(7, 10000), offset), kSteady + milliseconds(30));
  // Declined for another reason: the next second, at the offset.
  EXPECT_EQ(NextRefresh(IdleSince(5), ClocksAt(9, 250000), offset), kSteady + milliseconds(790));
  // The reply time-out of a query in flight is never moved.
  ExchangeState state = IdleSince(0);
  state.in_flight = true;
  state.reply_due = kSteady + milliseconds(1500);
  EXPECT_EQ(NextRefresh(state, ClocksAt(30, 0), offset), kSteady + milliseconds(1500));
  state.reply_due = kSteady - milliseconds(5);
  EXPECT_EQ(NextRefresh(state, ClocksAt(30, 400000), offset), kSteady + milliseconds(600));
}

TEST(PollSchedule, CycleStartOffsetsSpreadAnyNumberOfLoopsEvenlyOverTheWindow) {
  const microseconds window = milliseconds(100);
  EXPECT_EQ(CycleStartOffset(0, window), microseconds(0));
  EXPECT_EQ(CycleStartOffset(1, window), milliseconds(50));
  EXPECT_EQ(CycleStartOffset(2, window), milliseconds(25));
  EXPECT_EQ(CycleStartOffset(3, window), milliseconds(75));
  for (const std::size_t loops : {7u, 100u, 1000u}) {
    // Every tenth of the window holds about a tenth of the offsets, and none is outside it.
    std::vector<std::size_t> per_tenth(10, 0);
    for (std::size_t index = 0; index < loops; ++index) {
      const microseconds offset = CycleStartOffset(index, window);
      ASSERT_GE(offset, microseconds(0));
      ASSERT_LT(offset, window);
      ++per_tenth[static_cast<std::size_t>(offset.count() / 10000)];
    }
    for (const std::size_t count : per_tenth) {
      EXPECT_LE(count, loops / 10 + 2) << loops << " offsets";
      EXPECT_GE(count + 2, loops / 10) << loops << " offsets";
    }
  }
}

TEST(PollSchedule, WaitsAreRoundedUpToWholeMillisecondsAndNeverNegative) {
  EXPECT_EQ(WaitMs(kSteady + microseconds(1), kSteady), 1);
  EXPECT_EQ(WaitMs(kSteady + microseconds(1000), kSteady), 1);
  EXPECT_EQ(WaitMs(kSteady + microseconds(1001), kSteady), 2);
  EXPECT_EQ(WaitMs(kSteady, kSteady), 0);
  EXPECT_EQ(WaitMs(kSteady - milliseconds(40), kSteady), 0);
  EXPECT_EQ(WaitMs(kSteady + std::chrono::hours(24 * 365), kSteady), INT_MAX);
}

class SendingDevice : public ZVKSPDevice {
 public:
  using ZVKSPDevice::MarkRequestSent;
};

TEST(PollSchedule, TheDevicesStateGivesTheReplyDeadlineAndTheQuietTimeStamp) {
  SendingDevice device;
  const pt::ptime stamp(boost::gregorian::date(2026, 3, 1), pt::hours(8));
  device.SetLastRoundTime(stamp);
  EXPECT_FALSE(ExchangeStateOf(device).in_flight);
  EXPECT_EQ(ExchangeStateOf(device).last_round_time, stamp);

  const SteadyTime before = std::chrono::steady_clock::now();
  device.MarkRequestSent();
  const SteadyTime after = std::chrono::steady_clock::now();
  const ExchangeState state = ExchangeStateOf(device);
  EXPECT_TRUE(state.in_flight);
  EXPECT_GE(state.reply_due, before + device.ReplyTimeout());
  EXPECT_LE(state.reply_due, after + device.ReplyTimeout());
}

void Feed(FrameProgress& progress, const std::string& text) {
  progress.Feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// A reply of 20 information bytes: 40 INFO characters, 58 in all.
std::string Reply() {
  zvk::Frame frame;
  frame.ver = 0x20;
  frame.adr = 1;
  frame.cid1 = 0x40;
  frame.info.assign(20, 0x5A);
  return zvk::EncodeFrame(frame);
}

TEST(PollSchedule, AReplyArrivingInPiecesIsWaitedForUntilItsRestHasCrossedTheLine) {
  const std::string reply = Reply();
  ASSERT_EQ(reply.size(), 58u);
  ExchangeState state;
  state.in_flight = true;
  state.reply_due = kSteady + milliseconds(1500);

  FrameProgress progress;
  Feed(progress, "\x01\x02");  // noise before SOI: no frame under way
  EXPECT_EQ(progress.Remaining(), 0u);
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady), kSteady);
  // Before its LENGTH is in, the frame's size is unknown: nothing to wait for.
  Feed(progress, reply.substr(0, 12));
  EXPECT_EQ(progress.Remaining(), 0u);
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady), kSteady);
  Feed(progress, reply.substr(12, 1));
  EXPECT_EQ(progress.Remaining(), 45u);
  // 45 characters of 10 bits at 9600 baud, less the margin in which the last piece wakes the
  // loop itself.
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady),
            kSteady + microseconds(46875) - kFrameEndMargin);
  // Never past the reply time-out, and only while a query awaits its reply.
  state.reply_due = kSteady + milliseconds(20);
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady), kSteady + milliseconds(20));
  state.in_flight = false;
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady), kSteady);
  state.in_flight = true;
  state.reply_due = kSteady + milliseconds(1500);
  Feed(progress, reply.substr(13, 40));
  EXPECT_EQ(progress.Remaining(), 5u);
  EXPECT_EQ(RestOfFrameDue(progress, 9600, state, kSteady), kSteady) << "within the margin";
  Feed(progress, reply.substr(53));
  EXPECT_EQ(progress.Remaining(), 0u) << "EOI ends the frame";

  // A new SOI abandons the frame under way; the new one is sized afresh.
  Feed(progress, reply.substr(0, 30) + reply.substr(0, 13));
  EXPECT_EQ(progress.Remaining(), 45u);
  // A LENGTH that is no hex sizes nothing, and so holds the loop for nothing.
  std::string garbled = reply;
  garbled[11] = 'G';
  Feed(progress, garbled.substr(0, 20));
  EXPECT_EQ(progress.Remaining(), 0u);
  // A LENGTH larger than the bytes that come is bounded by the reply time-out above; the
  // largest LENID gives the largest wait.
  Feed(progress, reply.substr(0, 10) + "FFFF");
  EXPECT_EQ(progress.Remaining(), zvk::kFrameOverhead + zvk::kMaxLenid - 14);
}

}  // namespace

}  // namespace k426b_host
