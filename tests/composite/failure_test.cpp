// Unusable replies: what the composite device logs, whether it writes the next query, and how
// the cycle recovers.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "tests/composite/k426b_fixture.h"

namespace {

using namespace k426b_replies;
using Strings = std::vector<std::string>;
using Failures = CompositeTest<>;

const Strings kFullCycle = {"40/41", "40/43", "40/44", "41/41", "41/43",
                            "41/44", "42/41", "42/44", "40/46", "42/46"};

Bytes with_extra_byte(Bytes info) {
  info.push_back(0x00);
  return info;
}

TEST_F(Failures, WrongCid1InTheFirstAcReplyResetsAndWaitsForTheQuietTime) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x41, {0x41, system.ac_analog()});

  equipment.Poll();
  EXPECT_EQ(Queries(), (Strings{"40/51", "40/41"}));
  EXPECT_EQ(device->Busy(), 0);

  EXPECT_FALSE(equipment.PollNow());
  EXPECT_EQ(QueryCount(), 2u);

  equipment.Poll();
  EXPECT_EQ(Queries(2), kFullCycle);
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1}));
}

TEST_F(Failures, WrongCid1AfterTheFirstReplyKeepsTheQueryForTheNextTurn) {
  for (std::size_t failing = 1; failing < kFullCycle.size(); ++failing) {
    SCOPED_TRACE(kFullCycle[failing]);
    CompositeRig<> rig;
    rig.StartMatching();
    unsigned cid1 = 0;
    unsigned cid2 = 0;
    std::sscanf(kFullCycle[failing].c_str(), "%x/%x", &cid1, &cid2);
    const unsigned char wrong_cid1 = cid1 == 0x42 ? 0x40 : 0x42;
    rig.equipment.AnswerOnce(cid1, cid2, {wrong_cid1, Bytes{0x00, 0x00}});

    rig.equipment.Poll();
    Strings expected = {"40/51"};
    expected.insert(expected.end(), kFullCycle.begin(), kFullCycle.begin() + failing + 1);
    EXPECT_EQ(rig.Queries(), expected);
    EXPECT_TRUE(rig.Cycles().empty());

    rig.equipment.PollNow();
    expected.insert(expected.end(), kFullCycle.begin() + failing, kFullCycle.end());
    EXPECT_EQ(rig.Queries(), expected);
    EXPECT_EQ(rig.Cycles(), (std::vector<unsigned>{1}));
  }
}

TEST_F(Failures, AnAcReplyCoveringAnotherNumberOfUnitsIsLoggedAndResets) {
  system.ac_screens = {1, 1};
  Start(composite_config({101}, {201}));

  equipment.Poll();

  EXPECT_EQ(Queries(), (Strings{"40/51", "40/41"}));
  EXPECT_TRUE(Logged("PMBusPower:ProcotolError 100 read ac_number is 2, configured ac_number is 1"));
  EXPECT_FALSE(equipment.PollNow());
  equipment.Poll();
  EXPECT_EQ(Queries(2), (Strings{"40/41"}));
}

TEST_F(Failures, AnAcReplyOneByteLongerThanItsBlocksIsLoggedAndNotAnswered) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x41, {0x40, with_extra_byte(system.ac_analog())});

  equipment.Poll();

  EXPECT_EQ(Queries(), (Strings{"40/51", "40/41"}));
  EXPECT_TRUE(Logged("PMBusPower:ProcotolError 100 parse 40_41 overflow memory boundary"));
  equipment.PollNow();
  EXPECT_EQ(Queries(2), kFullCycle);
}

TEST_F(Failures, AnAcSwitchReplyOneByteLongerThanItsBlocksIsLoggedAndNotAnswered) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x43, {0x40, with_extra_byte(system.ac_switch())});

  equipment.Poll();

  EXPECT_EQ(Queries(), (Strings{"40/51", "40/41", "40/43"}));
  EXPECT_TRUE(Logged("PMBusPower:ProcotolError 100 parse 40_43 overflow memory boundary"));
}

TEST_F(Failures, AnAcSwitchReplyWithoutUnitDataIsAcceptedUnparsed) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x43, {0x40, Bytes{0x00, 0x02}});

  equipment.Poll();

  EXPECT_EQ(Queries(1), kFullCycle);
  EXPECT_EQ(host.events->log_texts(), Strings{});
}

TEST_F(Failures, AnAcAlarmReplyOneByteLongerThanItsBlocksIsDroppedSilently) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x44, {0x40, with_extra_byte(system.ac_alarm())});

  equipment.Poll();

  EXPECT_EQ(Queries(), (Strings{"40/51", "40/41", "40/43", "40/44"}));
  EXPECT_EQ(host.events->log_texts(), Strings{});
}

TEST_F(Failures, ADcReplyLongerThanItsBlocksIsAccepted) {
  StartMatching();
  equipment.AnswerOnce(0x42, 0x41, {0x42, with_extra_byte(system.dc_analog())});
  equipment.AnswerOnce(0x42, 0x44, {0x42, with_extra_byte(system.dc_alarm())});

  equipment.Poll();

  EXPECT_EQ(Queries(1), kFullCycle);
  EXPECT_EQ(host.events->log_texts(), Strings{});
}

TEST_F(Failures, DcRepliesCoveringAnotherNumberOfUnitsAreLoggedAndRepeated) {
  system.dc_voltages = {53.5f, 54.0f};
  Start(composite_config({101, 102}, {201}));
  const std::string message =
      "PMBusPower:ProcotolError 100 read dc_number is 2, configured dc_number is 1";

  equipment.Poll();
  EXPECT_EQ(Queries(7), (Strings{"42/41"}));
  EXPECT_TRUE(Logged(message));

  equipment.Answer(0x42, 0x41, unit_reply(0x00, {dc_analog_block(53.5f)}));
  equipment.PollNow();
  EXPECT_EQ(Queries(7), (Strings{"42/41", "42/41", "42/44"}));
  EXPECT_EQ(host.events->log_texts(), (Strings{message, message}));
  EXPECT_TRUE(Cycles().empty());
}

TEST_F(Failures, RectifierRepliesTheUnitDoesNotConsumeWhollyAreLoggedAndRepeated) {
  struct Row {
    unsigned char cid2;
    Bytes info;
    const char* message;
  };
  const Row rows[] = {
      {0x41, with_extra_byte(rc_analog(0x00, 2)),
       "PMBusPower:ProcotolError 100 parse p41_41 overflow memory boundary"},
      {0x43, with_extra_byte(rc_switch(0x00, 2)),
       "PMBusPower:ProcotolError 100 parse p41_43 overflow memory boundary"},
      {0x44, with_extra_byte(rc_alarm(0x00, 2)),
       "PMBusPower:ProcotolError 100 parse p41_44 overflow memory boundary"},
      {0x41, Bytes{}, "PMBusPower:ProcotolError 100 parse p41_41 overflow memory boundary"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    CompositeRig<> rig;
    rig.StartMatching();
    rig.equipment.AnswerOnce(0x41, row.cid2, {0x41, row.info});

    rig.equipment.Poll();
    EXPECT_TRUE(rig.Logged(row.message));
    EXPECT_TRUE(rig.Cycles().empty());

    rig.equipment.PollNow();
    EXPECT_EQ(rig.Cycles(), (std::vector<unsigned>{1}));
  }
}

TEST_F(Failures, ParameterRepliesReachingPastTheirEndAreLoggedAndTheCycleGoesOn) {
  StartMatching();
  Bytes ac_parameters_with_three_more(20, 0x00);
  ac_parameters_with_three_more.push_back(3);
  Bytes dc_parameters_with_27(8, 0x00);
  dc_parameters_with_27.push_back(27);
  equipment.AnswerOnce(0x40, 0x46, {0x40, ac_parameters_with_three_more});
  equipment.AnswerOnce(0x42, 0x46, {0x42, dc_parameters_with_27});

  equipment.Poll();

  EXPECT_EQ(Queries(1), kFullCycle);
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1}));
  EXPECT_TRUE(Logged("PMBusPower:ProcotolError 100 parse 40_46 overflow memory boundary"));
  EXPECT_TRUE(Logged("PMBusPower:ProcotolError 100 parse 42_46 overflow memory boundary"));
}

TEST_F(Failures, AnAcUnitRefusingItsBlockLeavesEarlierUnitsUpdatedAndLaterOnesUntouched) {
  system.ac_screens = {1, 1, 1};
  StartMatching();
  equipment.Poll();
  ASSERT_EQ(Cycles(), (std::vector<unsigned>{1}));

  // The second unit learnt one screen; a block for two is refused.
  equipment.Answer(0x40, 0x41,
                   unit_reply(0x00, {ac_analog_block(1, 11.0f), ac_analog_block(2, 12.0f),
                                     ac_analog_block(1, 13.0f)}));
  equipment.Poll();

  EXPECT_EQ(Queries(11), (Strings{"40/41"}));
  EXPECT_FLOAT_EQ(Child(101)->Get_Value(101, "ia"), 11.0f);
  EXPECT_FLOAT_EQ(Child(102)->Get_Value(102, "ia"), 10.0f);
  EXPECT_FLOAT_EQ(Child(103)->Get_Value(103, "ia"), 10.0f);
}

TEST_F(Failures, AQueryThatKeepsFailingNeverEndsTheCycleAndTheUnitsTurnStale) {
  StartMatching();
  equipment.Poll();
  const std::size_t snapshots = host.events->snapshots().size();
  equipment.Answer(0x41, 0x41, with_extra_byte(rc_analog(0x00, 2)));

  for (int turn = 0; turn < 5; ++turn) equipment.Poll();

  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1}));
  EXPECT_EQ(host.events->snapshots().size(), snapshots);
  EXPECT_EQ(Queries(11), (Strings{"40/41", "41/41", "41/41", "41/41", "41/41", "41/41"}));

  const auto now = clock.now();
  std::shared_ptr<ZVKVDevice> ac = Child(101);
  ac->SetLastRoundTime(now - boost::posix_time::seconds(60));
  EXPECT_FLOAT_EQ(ac->Get_Value(101, "ia"), 10.0f);
  ac->SetLastRoundTime(now - boost::posix_time::seconds(61));
  try {
    ac->Get_Value(101, "ia");
    ADD_FAILURE() << "a stale value was served";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "数据已超时");
  }
}

}  // namespace
