#include <cstddef>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/ttime.h"
#include "tests/support/vtable_slot.h"
#include "tests/units/ac/ac_unit_fixture.h"

using ::testing::ElementsAre;
using ::testing::StartsWith;

namespace {

// Screen count in a cache image with zeroed records, so a unit gets any number of screens.
Bytes screens_image(unsigned screens) {
  Bytes image(39 + 29 * screens, 0x00);
  image[16] = static_cast<unsigned char>(screens);
  return image;
}

std::vector<std::string> ids_of(const std::vector<RecordedRule>& rules) {
  std::vector<std::string> ids;
  for (const RecordedRule& rule : rules) ids.push_back(rule.rule.rule_id);
  return ids;
}

std::set<std::string> active_ids(const std::vector<RecordedRule>& rules) {
  std::set<std::string> ids;
  for (const RecordedRule& rule : rules)
    if (rule.rule.active) ids.insert(rule.rule.rule_id);
  return ids;
}

}  // namespace

class AcAlarmsTest : public AcUnitTest {
 protected:
  std::shared_ptr<K426BAC> unit_with_screens(unsigned screens) {
    auto unit = make_unit();
    const Bytes image = screens_image(screens);
    if (screens > 0) {
      EXPECT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
    }
    return unit;
  }

  std::vector<RecordedRule> cycle_rules(K426BAC& unit) {
    host_.events->clear();
    unit.RoundDone();
    host_.drain();
    return host_.events->rules();
  }
};

TEST_F(AcAlarmsTest, OneScreenRecordsTwentyRulesNumberedInTableOrder) {
  auto unit = unit_with_screens(1);
  const auto rules = cycle_rules(*unit);
  ASSERT_EQ(rules.size(), 20u);
  EXPECT_THAT(ids_of(rules),
              ElementsAre("AC_0", "AC_1", "AC_2", "AC_3", "AC_4", "AC_5", "AC_6", "AC_7", "AC_8",
                          "AC_9", "AC_10", "AC_12", "AC_13", "AC_14", "AC_15", "AC_16", "AC_17",
                          "AC_18", "AC_19", "AC_20"));
  for (std::size_t i = 0; i < rules.size(); ++i) {
    EXPECT_EQ(rules[i].rule.sequence, i + 1);
    EXPECT_EQ(rules[i].data_id, kDataId);
  }

  const rule_value& low_voltage = rules[0].rule;
  EXPECT_EQ(low_voltage.level, 3);
  EXPECT_EQ(low_voltage.code, "06015");
  EXPECT_EQ(low_voltage.name, "交流输入电压过低告警");
  EXPECT_EQ(low_voltage.description, "交流屏1输入线/相电压AB/A");
  const rule_value& high_frequency = rules[7].rule;
  EXPECT_EQ(high_frequency.level, 2);
  EXPECT_EQ(high_frequency.code, "06018");
  EXPECT_EQ(high_frequency.description, "交流屏1频率");
  const rule_value& phase_c_missing = rules[19].rule;
  EXPECT_EQ(phase_c_missing.level, 3);
  EXPECT_EQ(phase_c_missing.code, "06029");
  EXPECT_EQ(phase_c_missing.name, "C相输入电流缺项");
  EXPECT_EQ(phase_c_missing.description, "其他告警");
}

TEST_F(AcAlarmsTest, SecondScreenContinuesTheNumberingAndCarriesItsOwnLabel) {
  auto unit = unit_with_screens(2);
  const auto rules = cycle_rules(*unit);
  ASSERT_EQ(rules.size(), 31u);
  EXPECT_EQ(rules[11].rule.rule_id, "AC_0");
  EXPECT_EQ(rules[11].rule.sequence, 12u);
  EXPECT_EQ(rules[11].rule.description, "交流屏2输入线/相电压AB/A");
  EXPECT_EQ(rules[30].rule.rule_id, "AC_20");
  EXPECT_EQ(rules[30].rule.sequence, 31u);

  auto three = unit_with_screens(3);
  const auto three_rules = cycle_rules(*three);
  ASSERT_EQ(three_rules.size(), 42u);
  for (std::size_t i = 22; i < 33; ++i)
    EXPECT_THAT(three_rules[i].rule.description, StartsWith("交流屏3")) << i;
}

TEST_F(AcAlarmsTest, UnitWithoutScreensRecordsOnlyTheNineCurrentRules) {
  auto unit = unit_with_screens(0);
  const auto rules = cycle_rules(*unit);
  EXPECT_THAT(ids_of(rules), ElementsAre("AC_12", "AC_13", "AC_14", "AC_15", "AC_16", "AC_17",
                                         "AC_18", "AC_19", "AC_20"));
  EXPECT_EQ(rules.front().rule.sequence, 1u);
  EXPECT_EQ(rules.back().rule.sequence, 9u);
}

TEST_F(AcAlarmsTest, NumberingRestartsAtOneEveryCycle) {
  auto unit = unit_with_screens(1);
  cycle_rules(*unit);
  const auto rules = cycle_rules(*unit);
  ASSERT_EQ(rules.size(), 20u);
  EXPECT_EQ(rules.front().rule.sequence, 1u);
  EXPECT_EQ(unit->RuleSequence(), 21);
}

// Each alarm-state byte with value 1, 2 or 3 activates exactly its rule; 4 activates none.
TEST_F(AcAlarmsTest, EachAlarmStateValueActivatesExactlyItsRule) {
  struct Row {
    const char* state;
    std::size_t position;  // in the 0x44 block of one screen
    const char* rule_for[3];  // active rule for the values 1, 2, 3 ("" for none)
  };
  const std::vector<Row> rows = {
      {"voltage AB/A", 1, {"AC_0", "AC_4", "AC_8"}},
      {"voltage BC/B", 2, {"AC_1", "AC_5", "AC_9"}},
      {"voltage CA/C", 3, {"AC_2", "AC_6", "AC_10"}},
      {"frequency", 4, {"AC_3", "AC_7", ""}},
      {"current A", 14, {"AC_12", "AC_15", "AC_18"}},
      {"current B", 15, {"AC_13", "AC_16", "AC_19"}},
      {"current C", 16, {"AC_14", "AC_17", "AC_20"}},
  };
  auto unit = unit_with_screens(1);
  for (const Row& row : rows) {
    for (unsigned char value = 1; value <= 4; ++value) {
      Bytes block = hex_bytes("01  00 00 00 00  00  07 00 00 00 00 00 00 00  00 00 00");
      block[row.position] = value;
      ASSERT_EQ(parse(*unit, &K426BAC::parse40_44, block), 17);

      std::set<std::string> expected;
      if (value <= 3 && *row.rule_for[value - 1] != '\0') expected.insert(row.rule_for[value - 1]);
      EXPECT_EQ(active_ids(cycle_rules(*unit)), expected) << row.state << " = " << int(value);
    }
  }
}

TEST_F(AcAlarmsTest, ActiveRuleRaisesAnAlarmAndTheChangedFlagStaysRaised) {
  auto unit = unit_with_screens(1);
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_44,
                  hex_bytes("01  00 00 02 00  00  07 00 00 00 00 00 00 00  00 00 00")),
            17);
  cycle_rules(*unit);
  auto alarms = host_.events->alarms();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].rule.rule_id, "AC_6");
  EXPECT_TRUE(alarms[0].raised);
  EXPECT_TRUE(unit->AlarmChanged());

  cycle_rules(*unit);  // nothing changed
  EXPECT_TRUE(host_.events->alarms().empty());
  EXPECT_TRUE(unit->AlarmChanged());

  ASSERT_EQ(parse(*unit, &K426BAC::parse40_44,
                  hex_bytes("01  00 00 00 00  00  07 00 00 00 00 00 00 00  00 00 00")),
            17);
  cycle_rules(*unit);
  alarms = host_.events->alarms();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_FALSE(alarms[0].raised);
}

TEST_F(AcAlarmsTest, FirstSnapshotOfTwoScreensIs97BytesWithThatCyclesTimeStamp) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_two_screens()), 47);
  ::testing::internal::GetCapturedStdout();

  const ttime before = get_ttime(local_time());
  unit->RoundDone();
  const ttime after = get_ttime(local_time());
  host_.drain();

  const auto snapshots = host_.events->snapshots();
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].record_type, 5094);
  EXPECT_EQ(snapshots[0].data_id, kDataId);
  const Bytes& snapshot = snapshots[0].bytes;
  ASSERT_EQ(snapshot.size(), 97u);
  EXPECT_EQ(load_u32(&snapshot[0]), kDataId);
  EXPECT_EQ(snapshot[16], 2);
  const ttime stamp = [&] {
    ttime bytes;
    std::memcpy(bytes.data(), &snapshot[32], bytes.size());
    return bytes;
  }();
  EXPECT_TRUE(stamp == before || stamp == after);
  EXPECT_EQ(load_float(&snapshot[39 + 29 + 0]), 224.0f);  // second screen, voltage AB/A
}

TEST_F(AcAlarmsTest, HistorySavesEachCyclesOwnSnapshotEvenAfterTheNextCycleChangedTheRecord) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);

  // Hold the threshold worker so that both cycles end before either history save runs.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  host_.controller->Submit([released] { released.wait(); });

  unit->RoundDone();
  Bytes changed = analog_block_one_screen();
  store_float(&changed[1], 231.0f);
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, changed), 30);
  unit->RoundDone();
  ::testing::internal::GetCapturedStdout();

  release.set_value();
  host_.drain();
  const auto snapshots = host_.events->snapshots();
  const auto history = host_.events->history();
  ASSERT_EQ(snapshots.size(), 2u);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].bytes, snapshots[0].bytes);
  EXPECT_EQ(history[1].bytes, snapshots[1].bytes);
  EXPECT_EQ(load_float(&history[0].bytes[39]), 220.0f);
  EXPECT_EQ(load_float(&history[1].bytes[39]), 231.0f);
  EXPECT_EQ(history[0].record_type, 5094);
}

TEST_F(AcAlarmsTest, PendingRulesAreEmptyAfterTheCycleWithRoomForAsMany) {
  auto unit = unit_with_screens(2);
  unit->RoundDone();
  EXPECT_TRUE(unit->PendingRules().empty());
  EXPECT_GE(unit->PendingRules().capacity(), 31u);
  host_.drain();
}

// The unit's own operations follow the serial-port operations of its base, in this order.
TEST_F(AcAlarmsTest, OwnVirtualOperationsFollowTheBaseSlots) {
  const std::ptrdiff_t last_base_slot = slot_of(&ZVKSPDevice::ClosePort);
  EXPECT_EQ(slot_of(&K426BAC::parse40_41), last_base_slot + 1);
  EXPECT_EQ(slot_of(&K426BAC::parse40_43), last_base_slot + 2);
  EXPECT_EQ(slot_of(&K426BAC::parse40_44), last_base_slot + 3);
  EXPECT_EQ(slot_of(&K426BAC::DoImpCheckAlert), last_base_slot + 4);
  EXPECT_EQ(slot_of(&K426BAC::Get_Value), slot_of(&VDeviceInterface::Get_Value));
  EXPECT_EQ(slot_of(&K426BAC::RoundDone), slot_of(&VDeviceInterface::RoundDone));
}

namespace {

// One row of the AC rule tables as the equipment documentation states it: `byte` is the offset
// in the channel record (per-channel rules) or in the head (current rules).
struct AcRuleRow {
  const char* rule_id;
  int level;
  const char* code;
  const char* name;
  const char* description;  // after the channel label, for per-channel rules
  bool in_channel;
  std::size_t byte;
  unsigned char value;
};

const AcRuleRow kAcRows[] = {
    {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", true, 17, 1},
    {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", true, 18, 1},
    {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", true, 19, 1},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", true, 20, 1},
    {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", true, 17, 2},
    {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", true, 18, 2},
    {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", true, 19, 2},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", true, 20, 2},
    {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", true, 17, 3},
    {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", true, 18, 3},
    {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", true, 19, 3},
    {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警", false, 29, 1},
    {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警", false, 30, 1},
    {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警", false, 31, 1},
    {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警", false, 29, 2},
    {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警", false, 30, 2},
    {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警", false, 31, 2},
    {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警", false, 29, 3},
    {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警", false, 30, 3},
    {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警", false, 31, 3},
};

}  // namespace

// Each row tried alone on a one-screen unit: its byte holds its value, every other alarm byte 0;
// exactly that rule is active, and every field of every rule is the documented one, in order.
TEST_F(AcAlarmsTest, EachRuleIsActiveAloneWhenItsOwnByteHoldsItsOwnValue) {
  auto unit = make_unit();
  for (const AcRuleRow& row : kAcRows) {
    SCOPED_TRACE(row.rule_id);
    Bytes image = screens_image(1);
    image[(row.in_channel ? 39 : 0) + row.byte] = row.value;
    ASSERT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));

    const std::vector<RecordedRule> rules = cycle_rules(*unit);
    ASSERT_EQ(rules.size(), std::size(kAcRows));
    for (std::size_t index = 0; index < rules.size(); ++index) {
      const AcRuleRow& expected = kAcRows[index];
      const rule_value& rule = rules[index].rule;
      EXPECT_EQ(rule.rule_id, expected.rule_id);
      EXPECT_EQ(rule.level, expected.level) << expected.rule_id;
      EXPECT_EQ(rule.code, expected.code) << expected.rule_id;
      EXPECT_EQ(rule.name, expected.name) << expected.rule_id;
      EXPECT_EQ(rule.description,
                std::string(expected.in_channel ? "交流屏1" : "") + expected.description);
      EXPECT_EQ(rule.sequence, index + 1);
      EXPECT_EQ(rule.active != 0, &expected == &row) << expected.rule_id;
    }
  }
}
