#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/units/rc/rc_unit_fixture.h"

namespace {

struct ExpectedRule {
  const char* rule_id;
  const char* code;
  int level;
  const char* name;
  const char* suffix;
};

const ExpectedRule kFaultRule = {"RC_0", "06024", 2, "整流模块故障告警", "整流模块故障告警"};
const ExpectedRule kModuleRules[] = {
    {"K426_RC_0", "06024", 3, "整流模块故障告警", "模块故障告警状态"},
    {"K426_RC_1", "06025", 4, "整流模块风扇告警", "模块风扇告警"},
    {"K426_RC_2", "06027", 4, "整流模块温度过高告警", "模块过温告警状态"},
    {"K426_RC_3", "06029", 3, "模块限功率", "模块限功率"},
    {"K426_RC_4", "06016", 2, "交流输入停电告警", "交流输入停电告警"},
    {"K426_RC_5", "06028", 4, "整流模块通信状态告警", "整流模块通信状态告警"},
    {"K426_RC_6", "06029", 2, "模块交流欠压", "模块交流欠压"},
};

void expect_rule(const RecordedRule& recorded, const ExpectedRule& expected, int module,
                 unsigned sequence) {
  const rule_value& rule = recorded.rule;
  SCOPED_TRACE(std::string(expected.rule_id) + " module " + std::to_string(module));
  EXPECT_EQ(recorded.data_id, kRcDataId);
  EXPECT_EQ(rule.rule_id, expected.rule_id);
  EXPECT_EQ(rule.code, expected.code);
  EXPECT_EQ(rule.level, expected.level);
  EXPECT_EQ(rule.name, expected.name);
  EXPECT_EQ(rule.description, "模块" + std::to_string(module) + expected.suffix);
  EXPECT_EQ(rule.sequence, sequence);
}

// An alarm reply whose modules carry the given alarm state, count and extra alarm bytes.
Bytes alarm_block(const std::vector<std::string>& modules) {
  std::string text = "00 " + hex_of(static_cast<int>(modules.size()));
  for (const std::string& module : modules) text += " " + module;
  return hex_bytes(text);
}

bool active(const std::vector<RecordedRule>& rules, const std::string& rule_id, int module) {
  for (const RecordedRule& recorded : rules)
    if (recorded.rule.rule_id == rule_id &&
        recorded.rule.description.rfind("模块" + std::to_string(module), 0) == 0)
      return recorded.rule.active != 0;
  ADD_FAILURE() << rule_id << " not recorded for module " << module;
  return false;
}

using RcAlarms = RcUnitTest;

TEST_F(RcAlarms, TwoWellFormedModulesGiveSixteenRulesInTableOrder) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  ASSERT_EQ(parse(&K426BRC::parse41_44, alarm_reply(2)), 20);
  unit->RoundDone();
  const auto recorded = rules();
  ASSERT_EQ(recorded.size(), 16u);
  expect_rule(recorded[0], kFaultRule, 1, 1);
  expect_rule(recorded[1], kFaultRule, 2, 2);
  for (int module = 1; module <= 2; ++module)
    for (int row = 0; row < 7; ++row)
      expect_rule(recorded[2 + 7 * (module - 1) + row], kModuleRules[row], module,
                  3 + 7 * (module - 1) + row);
}

TEST_F(RcAlarms, ModuleWithoutItsSevenAlarmBytesGetsOnlyTheFaultRuleAndLeavesNoGap) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  const Bytes info = alarm_block({"01 07 00 00 00 00 00 00 00", "00 06 00 00 00 00 00 00",
                                  "00 07 00 00 00 00 00 00 00"});
  ASSERT_EQ(parse(&K426BRC::parse41_44, info), static_cast<int>(info.size()));
  unit->RoundDone();
  const auto recorded = rules();
  ASSERT_EQ(recorded.size(), 3u + 14u);
  for (int module = 1; module <= 3; ++module)
    expect_rule(recorded[module - 1], kFaultRule, module, module);
  EXPECT_TRUE(recorded[0].rule.active) << "alarm state 1 is a module fault";
  EXPECT_FALSE(recorded[1].rule.active);
  for (int row = 0; row < 7; ++row) {
    expect_rule(recorded[3 + row], kModuleRules[row], 1, 4 + row);
    expect_rule(recorded[10 + row], kModuleRules[row], 3, 11 + row);
  }
}

TEST_F(RcAlarms, OutageAndCommunicationBytesRaiseOnlyOnTheirOwnCodes) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  // Module 1: every byte 1. Module 2: outage E1, communication E2, the rest 0.
  const Bytes info =
      alarm_block({"00 07 01 01 01 01 01 01 01", "00 07 00 00 00 00 E1 E2 00"});
  ASSERT_EQ(parse(&K426BRC::parse41_44, info), 20);
  unit->RoundDone();
  const auto recorded = rules();
  for (const char* rule_id : {"K426_RC_0", "K426_RC_1", "K426_RC_2", "K426_RC_3", "K426_RC_6"}) {
    EXPECT_TRUE(active(recorded, rule_id, 1)) << rule_id;
    EXPECT_FALSE(active(recorded, rule_id, 2)) << rule_id;
  }
  EXPECT_FALSE(active(recorded, "K426_RC_4", 1));
  EXPECT_FALSE(active(recorded, "K426_RC_5", 1));
  EXPECT_TRUE(active(recorded, "K426_RC_4", 2));
  EXPECT_TRUE(active(recorded, "K426_RC_5", 2));

  host.drain();
  EXPECT_EQ(host.events->alarms().size(), 7u) << "every active rule raised once";
  EXPECT_TRUE(unit->AlarmChanged());
}

TEST_F(RcAlarms, ModuleNumbersBeyondNineAreWrittenInFull) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(10)), 6 + 33 * 10);
  ASSERT_EQ(parse(&K426BRC::parse41_44, alarm_reply(10)), 2 + 9 * 10);
  unit->RoundDone();
  const auto recorded = rules();
  ASSERT_EQ(recorded.size(), 10u + 70u);
  EXPECT_EQ(recorded[9].rule.description, "模块10整流模块故障告警");
  EXPECT_EQ(recorded[10 + 7 * 9 + 1].rule.description, "模块10模块风扇告警");
  EXPECT_EQ(recorded.back().rule.sequence, 80u);
}

// The rules a cycle states follow its own modules, whatever the cycle before stated at the same
// sequence numbers: a module that loses or regains its alarm bytes shifts every rule behind it.
TEST_F(RcAlarms, EachCycleStatesItsOwnModulesRulesWhenTheyShiftBetweenCycles) {
  const std::string kFull = kAlarmModule;
  const std::string kShort = "00 06 00 00 00 00 00 00";  // six alarm bytes: no module rules
  const std::vector<std::vector<std::string>> cycles = {
      {kFull, kFull, kFull},
      {kFull, kShort, kFull},
      {kShort, kFull, kShort},
      {kFull, kFull, kFull},
  };
  constexpr int count = 3;
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(count)), 6 + 33 * count);
  for (const auto& modules : cycles) {
    SCOPED_TRACE((modules[0] == kFull ? "full " : "short ") + modules[1] + " / " + modules[2]);
    const Bytes info = alarm_block(modules);
    ASSERT_EQ(parse(&K426BRC::parse41_44, info), static_cast<int>(info.size()));
    host.events->clear();
    unit->RoundDone();
    const auto recorded = rules();
    unsigned sequence = 1;
    for (int module = 1; module <= count; ++module)
      expect_rule(recorded.at(sequence - 1), kFaultRule, module, sequence), ++sequence;
    for (int module = 1; module <= count; ++module) {
      if (modules[module - 1] == kShort) continue;
      for (const ExpectedRule& row : kModuleRules)
        expect_rule(recorded.at(sequence - 1), row, module, sequence), ++sequence;
    }
    EXPECT_EQ(recorded.size(), sequence - 1);
  }
}

TEST_F(RcAlarms, EachCycleNumbersItsRulesFromOne) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  unit->RoundDone();
  unit->RoundDone();
  const auto recorded = rules();
  ASSERT_EQ(recorded.size(), 2u) << "no alarm reply yet: the fault rule only";
  EXPECT_EQ(recorded[0].rule.sequence, 1u);
  EXPECT_EQ(recorded[1].rule.sequence, 1u);
}

// Every row of both tables, field by field, with the module byte it reads and the value that
// activates it. Each row is tried alone: the one module's alarm section (record bytes 42 to 50:
// alarm state, count 7, seven extra alarm bytes) carries the row's value at the row's byte and
// 0 elsewhere, and exactly that rule must be active.
TEST_F(RcAlarms, EachRuleIsActiveAloneWhenItsOwnByteHoldsItsOwnValue) {
  struct Row {
    ExpectedRule rule;
    std::size_t byte;
    unsigned char value;
  };
  const Row rows[] = {
      {{"RC_0", "06024", 2, "整流模块故障告警", "整流模块故障告警"}, 42, 1},
      {{"K426_RC_0", "06024", 3, "整流模块故障告警", "模块故障告警状态"}, 44, 1},
      {{"K426_RC_1", "06025", 4, "整流模块风扇告警", "模块风扇告警"}, 45, 1},
      {{"K426_RC_2", "06027", 4, "整流模块温度过高告警", "模块过温告警状态"}, 46, 1},
      {{"K426_RC_3", "06029", 3, "模块限功率", "模块限功率"}, 47, 1},
      {{"K426_RC_4", "06016", 2, "交流输入停电告警", "交流输入停电告警"}, 48, 0xE1},
      {{"K426_RC_5", "06028", 4, "整流模块通信状态告警", "整流模块通信状态告警"}, 49, 0xE2},
      {{"K426_RC_6", "06029", 2, "模块交流欠压", "模块交流欠压"}, 50, 1},
  };
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule.rule_id);
    Bytes section = {0, 7, 0, 0, 0, 0, 0, 0, 0};
    section[row.byte - 42] = row.value;
    Bytes info = {0x00, 0x01};
    info.insert(info.end(), section.begin(), section.end());
    ASSERT_EQ(parse(&K426BRC::parse41_44, info), 11);
    host.events->clear();
    unit->RoundDone();

    const std::vector<RecordedRule> recorded = rules();
    ASSERT_EQ(recorded.size(), 8u);
    for (std::size_t index = 0; index < recorded.size(); ++index) {
      const bool is_row = recorded[index].rule.rule_id == row.rule.rule_id;
      EXPECT_EQ(recorded[index].rule.active != 0, is_row) << recorded[index].rule.rule_id;
      if (is_row) expect_rule(recorded[index], row.rule, 1, static_cast<unsigned>(index + 1));
    }
  }
}

// A cache image loaded on another thread between the unit's own rules and the model's must not
// reach the model's rules: they describe the cycle that was published. The test host's rule
// hook loads the image at exactly that point.
TEST_F(RcAlarms, ACacheImageLoadedDuringTheCycleDoesNotReachTheModelRules) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  ASSERT_EQ(parse(&K426BRC::parse41_44, alarm_block({"00 07 00 01 00 00 00 00 00"})), 11);
  // Three modules, each with its fan alarm off and its fault alarm on.
  Bytes image(kHead + 3 * kModule, 0);
  image[kModuleCount] = 3;
  for (std::size_t module = 0; module < 3; ++module) {
    image[module_at(module, 43)] = 7;
    image[module_at(module, 44)] = 1;
  }
  bool loaded = false;
  host.events->SetRuleHook([&](unsigned, const rule_value& rule) {
    if (rule.rule_id != "RC_0" || loaded) return;
    loaded = true;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
    testing::internal::GetCapturedStdout();
  });

  const Bytes published = cycle();
  host.events->SetRuleHook(nullptr);

  ASSERT_TRUE(loaded);
  EXPECT_EQ(published.size(), kHead + kModule);
  const std::vector<RecordedRule> recorded = rules();
  ASSERT_EQ(recorded.size(), 8u) << "one module's rules, as published";
  EXPECT_TRUE(active(recorded, "K426_RC_1", 1));
  EXPECT_FALSE(active(recorded, "K426_RC_0", 1));
}

}  // namespace
