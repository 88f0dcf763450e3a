// The line state of one site, driven through an injected clock: silent within the reply
// time-out, reminders at most every 10 s, up again on the first valid reply, lost and reopened,
// and the two problems of a line that answers (a refused query, a unit count mismatch).

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/host/events/event_stream.h"
#include "tools/host/events/line_state.h"

namespace k426b_host {

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

class Recorder : public LineState::Output {
 public:
  void Changed(const LineStatus& status) override { changes.push_back(status); }
  void Say(const std::string& line) override { said.push_back(line); }
  std::vector<std::string> States() const {
    std::vector<std::string> states;
    for (const LineStatus& status : changes) states.push_back(LineConditionText(status.state));
    return states;
  }
  std::vector<LineStatus> changes;
  std::vector<std::string> said;
};

class LineStateTest : public ::testing::Test {
 protected:
  LineState::Clock::time_point now = LineState::Clock::from_time_t(1'700'000'000);
  Recorder out;
  LineState line{"/dev/ttyUSB0", out, [this] { return now; }};

  // The line answered once; what it said is forgotten.
  void SetUp() override {
    line.QuerySent(0x40, 0x51);
    line.ReplyReceived();
    out.changes.clear();
    out.said.clear();
  }

  // One query the plug-in gives up after its time-out.
  void Unanswered(unsigned char cid1 = 0x40, unsigned char cid2 = 0x41) {
    line.QuerySent(cid1, cid2);
    now += 1500ms;
    line.QueryUnanswered();
  }
};

TEST(LineState, ANewLineIsSilentUntilItsFirstValidReply) {
  Recorder out;
  LineState line("/dev/ttyS1", out);
  EXPECT_EQ(line.status().state, LineCondition::kSilent);
  EXPECT_EQ(line.status().reason, "no answer yet");
  line.Tick();
  EXPECT_TRUE(out.said.empty());  // no reminder before a query went unanswered
  line.QuerySent(0x40, 0x51);
  line.ReplyReceived();
  EXPECT_THAT(out.States(), ElementsAre("up"));
  EXPECT_EQ(out.said.back(), "line /dev/ttyS1: up, answering");
}

TEST_F(LineStateTest, AQueryGivenUpMakesTheLineSilentSinceItWasSent) {
  const auto sent = now;
  Unanswered();
  ASSERT_THAT(out.States(), ElementsAre("silent"));
  EXPECT_EQ(line.status().unanswered, 1u);
  EXPECT_EQ(out.changes[0].reason, "no answer");
  EXPECT_EQ(out.changes[0].since, IsoLocalTime(sent));
  EXPECT_THAT(out.said.back(), HasSubstr("no answer from /dev/ttyUSB0 since " + ClockTime(sent) +
                                         " \u2014 1 query unanswered"));
}

TEST_F(LineStateTest, WhileSilentAReminderComesAtMostEveryTenSeconds) {
  Unanswered();
  out.said.clear();
  for (int query = 0; query < 9; ++query) {
    Unanswered();
    line.Tick();
  }
  // 13.5 s of silence after the first change: one reminder, 10.5 s in, with the count then.
  ASSERT_EQ(out.said.size(), 1u);
  EXPECT_THAT(out.said[0], HasSubstr("8 queries unanswered"));
  EXPECT_EQ(out.changes.size(), 1u);  // reminders are not changes
  EXPECT_EQ(line.status().unanswered, 10u);
}

TEST_F(LineStateTest, TheFirstValidReplyBringsTheLineUpAndClearsTheCounts) {
  Unanswered();
  line.QuerySent(0x40, 0x41);
  line.FrameDropped();
  line.ReplyReceived();
  ASSERT_THAT(out.States(), ElementsAre("silent", "up"));
  EXPECT_EQ(line.status().unanswered, 0u);
  EXPECT_EQ(line.status().dropped, 0u);
  now += 30s;
  line.Tick();  // no reminders while up
  EXPECT_EQ(out.said.back(), "line /dev/ttyUSB0: up, answering");
}

TEST_F(LineStateTest, OnlyDroppedBytesAreSilenceWithTheirOwnReason) {
  line.QuerySent(0x40, 0x41);
  line.FrameDropped();
  now += 1500ms;
  line.QueryUnanswered();
  EXPECT_EQ(line.status().state, LineCondition::kSilent);
  EXPECT_EQ(line.status().reason, "only unusable bytes (1 frame dropped)");
}

TEST_F(LineStateTest, ALostPortIsLostUntilReopenedAndThenSilentUntilItAnswers) {
  line.Lost("hung up");
  Unanswered();  // a query given up while lost does not make it silent
  now += 1s;
  line.Reopened();
  line.QuerySent(0x40, 0x51);
  line.ReplyReceived();
  ASSERT_THAT(out.States(), ElementsAre("lost", "silent", "up"));
  EXPECT_EQ(out.changes[0].reason, "hung up");
  EXPECT_EQ(out.changes[1].reason, "reopened; no answer yet");
}

TEST_F(LineStateTest, AQueryRefusedThirtyTimesIsToldOnceWithThePluginsLastMessage) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    line.QuerySent(0x40, 0x43);
    line.ReplyReceived();
    line.PluginLog("PMBusPower:ProcotolError 100 parse 40_43 overflow memory boundary");
  }
  std::vector<std::string> refusals;
  for (const std::string& said : out.said)
    if (said.find("refused") != std::string::npos) refusals.push_back(said);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0],
            "0x40/0x43 refused 30 times: PMBusPower:ProcotolError 100 parse 40_43 overflow memory "
            "boundary");
  EXPECT_EQ(line.status().problem, refusals[0]);
  // A completed cycle ends the problem; the line event says so.
  line.CycleCompleted();
  EXPECT_EQ(line.status().problem, "");
  EXPECT_EQ(out.changes.back().problem, "");
}

TEST_F(LineStateTest, ARepeatedQueryRefusedForSixtySecondsIsToldBeforeThirtyTries) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    line.QuerySent(0x42, 0x41);
    line.ReplyReceived();
    now += 20s;
  }
  EXPECT_THAT(line.status().problem, HasSubstr("0x42/0x41 refused 4 times: no usable reply"));
}

TEST_F(LineStateTest, QueriesThatGoUnansweredAreNotRefusals) {
  for (int attempt = 0; attempt < 40; ++attempt) Unanswered(0x40, 0x43);
  EXPECT_EQ(line.status().problem, "");
}

TEST_F(LineStateTest, AUnitCountMismatchIsExplainedOncePerChange) {
  const std::string ac = "PMBusPower:ProcotolError 100 read ac_number is 2, configured ac_number is 1";
  line.PluginLog(ac);
  line.PluginLog(ac);
  line.PluginLog("PMBusPower:ProcotolError 100 read dc_number is 1, configured dc_number is 3");
  EXPECT_THAT(out.said,
              ElementsAre("the power system reports 2 AC units; the configuration lists 1 in acSetting",
                          "the power system reports 1 DC unit; the configuration lists 3 in dcSetting"));
  ASSERT_EQ(out.changes.size(), 2u);
  EXPECT_THAT(out.changes[0].problem, HasSubstr("2 AC units"));
  EXPECT_EQ(ExplainCountMismatch("PMBusPower:ProcotolError 100 parse 42_44 overflow"), "");
}

}  // namespace

}  // namespace k426b_host
