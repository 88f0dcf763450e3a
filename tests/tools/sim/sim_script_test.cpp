// Scripted changes: they take effect at their cycle or time, and switch and alarm changes raise
// the change bits of their group's analog reply until the group's state query is answered.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/tools/sim/sim_test_support.h"

namespace {

using k426b_sim::DefaultScenario;
using k426b_sim::Scenario;
using k426b_sim::ScriptedChange;
using k426b_sim::Simulator;
using k426b_sim::SimulatorOptions;
using sim_test::AnalogFlag;
using sim_test::Ask;
using sim_test::RunCycle;

ScriptedChange AtCycle(int cycle, const std::string& path, const Json::Value& value) {
  ScriptedChange change;
  change.at_cycle = cycle;
  change.set[path] = value;
  return change;
}

struct ChangeBitRow {
  const char* path;
  int value;
  unsigned char analog_cid1;
  unsigned char expected_flag;
  unsigned char state_cid2;  // the query that reads the changed state
};

TEST(SimulatorScript, ASwitchOrAlarmChangeSetsItsGroupsBitUntilTheStateQueryIsAnswered) {
  const std::vector<ChangeBitRow> rows = {
      {"ac_units.1.screens.0.alarms.2", 3, 0x40, 0x01, 0x44},
      {"ac_units.0.current_alarms.0", 2, 0x40, 0x01, 0x44},
      {"ac_units.0.screens.0.user_alarms.6", 1, 0x40, 0x01, 0x44},
      {"ac_units.0.switches.1", 1, 0x40, 0x10, 0x43},
      {"ac_units.1.user_switches.0", 1, 0x40, 0x10, 0x43},
      {"rectifier.modules.2.alarm", 1, 0x41, 0x01, 0x44},
      {"rectifier.modules.0.extra_alarms.1", 1, 0x41, 0x01, 0x44},
      {"rectifier.modules.1.states.0", 1, 0x41, 0x10, 0x43},
      {"dc_units.0.fuses.63", 3, 0x42, 0x01, 0x44},
      {"dc_units.0.v_alarm", 1, 0x42, 0x01, 0x44},
  };
  for (const ChangeBitRow& row : rows) {
    SCOPED_TRACE(row.path);
    Scenario scenario = DefaultScenario();
    scenario.changes = {AtCycle(2, row.path, row.value)};
    Simulator simulator(scenario);
    RunCycle(simulator);

    EXPECT_EQ(AnalogFlag(simulator, row.analog_cid1), row.expected_flag);
    EXPECT_EQ(AnalogFlag(simulator, row.analog_cid1), row.expected_flag) << "still set when asked again";
    Ask(simulator, row.analog_cid1, row.state_cid2);
    EXPECT_EQ(AnalogFlag(simulator, row.analog_cid1), 0x00) << "cleared once read";
  }
}

TEST(SimulatorScript, AValueChangeSetsNoBitButTheNextReplyCarriesTheValue) {
  Scenario scenario = DefaultScenario();
  scenario.changes = {AtCycle(2, "ac_units.0.screens.0.a", 180.0)};
  Simulator simulator(scenario);
  RunCycle(simulator);

  const zvk::Frame reply = Ask(simulator, 0x40, 0x41);
  EXPECT_EQ(reply.info[0], 0x00);
  EXPECT_EQ(Bytes(reply.info.begin() + 3, reply.info.begin() + 7), hex_bytes("00 00 34 43"));
}

// Runs one full cycle and returns the INFO of its 0x42/0x44 reply.
Bytes DcAlarmsOfACycle(Simulator& simulator) {
  Bytes alarms;
  for (const auto& [cid1, cid2] : sim_test::kFullCycle) {
    const zvk::Frame reply = Ask(simulator, cid1, cid2);
    if (cid1 == 0x42 && cid2 == 0x44) alarms = reply.info;
  }
  return alarms;
}

TEST(SimulatorScript, AChangeTakesEffectWhenItsCycleBeginsAndTheStateRepliesShowIt) {
  Scenario scenario = DefaultScenario();
  scenario.changes = {AtCycle(3, "dc_units.0.fuses.0", 3)};
  Simulator simulator(scenario);
  // flag, unit count, v_alarm, fuse count, then the first fuse byte
  EXPECT_EQ(DcAlarmsOfACycle(simulator).at(4), 0x00);
  EXPECT_EQ(DcAlarmsOfACycle(simulator).at(4), 0x00);
  EXPECT_EQ(simulator.Cycle(), 2);
  EXPECT_EQ(DcAlarmsOfACycle(simulator).at(4), 0x03);
  EXPECT_EQ(simulator.Cycle(), 3);
}

TEST(SimulatorScript, SeveralFieldsOfOneChangeMoveTogetherAndALaterChangeRestores) {
  Scenario scenario = DefaultScenario();
  ScriptedChange raise = AtCycle(2, "ac_units.0.screens.0.alarms.0", 1);
  raise.set["ac_units.0.screens.0.a"] = 170.0;
  scenario.changes = {raise, AtCycle(3, "ac_units.0.screens.0.alarms.0", 0)};
  Simulator simulator(scenario);
  RunCycle(simulator);
  RunCycle(simulator);
  EXPECT_EQ(simulator.Current().ac_units[0].screens[0].alarms[0], 1);
  EXPECT_EQ(*simulator.Current().ac_units[0].screens[0].a, 170.0f);

  EXPECT_EQ(AnalogFlag(simulator, 0x40), 0x01) << "clearing the alarm is a change as well";
  EXPECT_EQ(simulator.Current().ac_units[0].screens[0].alarms[0], 0);
}

TEST(SimulatorScript, ATimedChangeWaitsForItsSecondsCountedFromTheFirstQuery) {
  double now = 100.0;
  SimulatorOptions options;
  options.clock = [&now] { return now; };
  Scenario scenario = DefaultScenario();
  ScriptedChange change;
  change.after_seconds = 10.0;
  change.set["rectifier.modules.0.alarm"] = 1;
  scenario.changes = {change};
  Simulator simulator(scenario, options);

  EXPECT_EQ(AnalogFlag(simulator, 0x41), 0x00);
  now = 109.5;
  EXPECT_EQ(AnalogFlag(simulator, 0x41), 0x00);
  now = 110.0;
  EXPECT_EQ(AnalogFlag(simulator, 0x41), 0x01);
}

TEST(SimulatorScript, ARepeatAfterAnIntactReplyStartsACycleButARepeatAfterAFaultDoesNot) {
  Scenario scenario = DefaultScenario();
  scenario.ac_units.clear();
  scenario.dc_units.clear();
  k426b_sim::ScriptedFault fault;
  fault.kind = k426b_sim::FaultKind::kNoReply;
  fault.cycle = 2;
  scenario.faults.assign(1, fault);
  Simulator simulator(scenario);

  Ask(simulator, 0x40, 0x51);
  EXPECT_EQ(simulator.Cycle(), 0) << "the model check stands outside the cycles";
  Ask(simulator, 0x41, 0x41);
  EXPECT_EQ(simulator.Cycle(), 1);
  EXPECT_EQ(sim_test::AskText(simulator, 0x41, 0x41), "") << "cycle 2, spoilt";
  EXPECT_EQ(simulator.Cycle(), 2);
  Ask(simulator, 0x41, 0x41);
  EXPECT_EQ(simulator.Cycle(), 2) << "the driver repeating its query";
  Ask(simulator, 0x41, 0x41);
  EXPECT_EQ(simulator.Cycle(), 3);
}

}  // namespace
