// Closing a DC cycle: publication, the rules and their numbering, and the hand-over of rules and
// snapshot to the threshold worker.

#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/ttime.h"
#include "tests/support/vtable_slot.h"
#include "tests/units/dc/dc_unit_fixture.h"

using ::testing::ElementsAre;

namespace {

std::vector<std::string> active_descriptions(const std::vector<RecordedRule>& rules) {
  std::vector<std::string> active;
  for (const RecordedRule& recorded : rules)
    if (recorded.rule.active) active.push_back(recorded.rule.rule_id + " " + recorded.rule.description);
  return active;
}


}  // namespace

TEST(DcUnitShape, TheUnitsOwnOperationsFollowTheSerialPortOperationsInOrder) {
  const std::ptrdiff_t last_host_slot = slot_of(&ZVKSPDevice::ClosePort);
  EXPECT_EQ(slot_of(&K426BDC::parse42_41), last_host_slot + 1);
  EXPECT_EQ(slot_of(&K426BDC::parse42_44), last_host_slot + 2);
  EXPECT_EQ(slot_of(&K426BDC::DoImpCheckAlert), last_host_slot + 3);
  EXPECT_EQ(slot_of(&K426BDC::RoundDone), slot_of(&VDeviceInterface::RoundDone));
}

TEST_F(DcUnitTest, RoundDonePublishesTheStampedRecordAndSetsHasData) {
  parse_analog(hex_bytes("00 00 50 42  00 00 A0 41  00 00 00"));
  const ttime before = get_ttime(local_time());
  unit->RoundDone();
  const ttime after = get_ttime(local_time());

  EXPECT_TRUE(unit->HasData());
  const auto snapshots = host.events->snapshots();
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].data_id, kDcDataId);
  EXPECT_EQ(snapshots[0].record_type, 5096);
  ASSERT_EQ(snapshots[0].bytes.size(), 202u);
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(std::memcmp(snapshots[0].bytes.data(), &dc, sizeof dc), 0);
  const Bytes stamp(snapshots[0].bytes.begin() + 195, snapshots[0].bytes.end());
  EXPECT_TRUE(stamp == Bytes(before.begin(), before.end()) || stamp == Bytes(after.begin(), after.end()));
}

TEST_F(DcUnitTest, VoltageRulesAreStatedEveryCycleAndFollowTheVoltageAlarmState) {
  struct Row {
    unsigned char v_alarm;
    std::vector<std::string> active;
  };
  const Row rows[] = {
      {0, {}},
      {1, {"DC_0 输出电压过低告警"}},
      {2, {"DC_1 输出电压过高告警"}},
      {3, {}},
  };
  for (const Row& row : rows) {
    host.events->clear();
    parse_alarms(alarm_reply(row.v_alarm, 8, 16, 3, 0xE1));
    unit->RoundDone();
    const auto stated = rules();
    ASSERT_EQ(stated.size(), 2u) << "v_alarm " << int(row.v_alarm);
    EXPECT_EQ(stated[0].rule.sequence, 1u);
    EXPECT_EQ(stated[0].rule.level, 3);
    EXPECT_EQ(stated[0].rule.code, "06008");
    EXPECT_EQ(stated[1].rule.sequence, 2u);
    EXPECT_EQ(stated[1].rule.code, "06009");
    EXPECT_EQ(active_descriptions(stated), row.active) << "v_alarm " << int(row.v_alarm);
  }
}

TEST_F(DcUnitTest, FullCountsStateEightyThreeRulesNumberedOneToEightyThree) {
  parse_alarms(alarm_reply(0, 64, 17));
  unit->RoundDone();
  const auto stated = rules();
  ASSERT_EQ(stated.size(), 83u);
  for (std::size_t index = 0; index < stated.size(); ++index)
    EXPECT_EQ(stated[index].rule.sequence, index + 1);

  EXPECT_EQ(stated[0].rule.rule_id, "DC_0");
  EXPECT_EQ(stated[1].rule.rule_id, "DC_1");
  for (unsigned fuse = 1; fuse <= 64; ++fuse) {
    const rule_value& rule = stated[1 + fuse].rule;
    EXPECT_EQ(rule.rule_id, "DC_3");
    EXPECT_EQ(rule.description, "直流" + std::to_string(fuse) + "电池熔丝故障告警");
  }
  EXPECT_EQ(stated[2].rule.level, 1);
  EXPECT_EQ(stated[2].rule.code, "06001");
  EXPECT_EQ(stated[2].rule.name, "电池熔丝故障告警");
  for (unsigned position = 0; position < 17; ++position) {
    const rule_value& rule = stated[66 + position].rule;
    EXPECT_EQ(rule.rule_id, "K426_DC_" + std::to_string(position));
    EXPECT_EQ(rule.level, 2);
  }
  EXPECT_EQ(stated[66].rule.name, "LVD1(负载下电)");
  EXPECT_EQ(stated[71].rule.code, "06011");
  EXPECT_EQ(stated[71].rule.description, "直流屏通讯中断告警状态");
  EXPECT_EQ(stated[82].rule.description, "电池4充电过流告警");
  EXPECT_TRUE(active_descriptions(stated).empty());
}

TEST_F(DcUnitTest, OnlyTheFaultyFuseIsActiveAndCarriesItsNumberInDescriptionAndSequence) {
  Bytes info = alarm_reply(0, 64, 0);
  info[2 + 4] = 3;
  parse_alarms(info);
  unit->RoundDone();
  const auto stated = rules();
  ASSERT_EQ(stated.size(), 66u);
  EXPECT_THAT(active_descriptions(stated), ElementsAre("DC_3 直流5电池熔丝故障告警"));
  EXPECT_TRUE(stated[6].rule.active);
  EXPECT_EQ(stated[6].rule.sequence, 7u);
}

TEST_F(DcUnitTest, FuseAndUserRulesNeedTheirCountsExactlyFull) {
  struct Row {
    unsigned char fuse_count;
    unsigned char user_count;
    std::size_t rules;
  };
  const Row rows[] = {{8, 16, 2}, {63, 17, 19}, {70, 17, 19}, {64, 16, 66}, {64, 18, 66}, {0, 0, 2}};
  for (const Row& row : rows) {
    host.events->clear();
    parse_alarms(alarm_reply(1, row.fuse_count, row.user_count, 3, 0xE1));
    unit->RoundDone();
    const auto stated = rules();
    EXPECT_EQ(stated.size(), row.rules) << int(row.fuse_count) << " fuses, " << int(row.user_count)
                                        << " user states";
    if (row.rules == 19) {
      EXPECT_EQ(stated[2].rule.rule_id, "K426_DC_0");
      EXPECT_EQ(stated[2].rule.sequence, 3u);
      EXPECT_EQ(stated[18].rule.sequence, 19u);
    }
  }
}

// The sequence numbers that carried user rules in one cycle carry fuse rules in the next: each
// cycle's texts are its own rules'.
TEST_F(DcUnitTest, FuseRulesFollowUserRulesInTheNextCycleWithTheirOwnTexts) {
  parse_alarms(alarm_reply(1, 63, 17, 3, 0xE1));
  unit->RoundDone();
  host.events->clear();
  parse_alarms(alarm_reply(1, 64, 0, 3, 0xE1));
  unit->RoundDone();
  const auto stated = rules();
  ASSERT_EQ(stated.size(), 66u);
  for (unsigned fuse = 1; fuse <= 64; ++fuse) {
    const rule_value& rule = stated[1 + fuse].rule;
    EXPECT_EQ(rule.rule_id, "DC_3");
    EXPECT_EQ(rule.code, "06001");
    EXPECT_EQ(rule.name, "电池熔丝故障告警");
    EXPECT_EQ(rule.description, "直流" + std::to_string(fuse) + "电池熔丝故障告警");
  }
}

TEST_F(DcUnitTest, EachUserRuleIsActiveOnlyForItsOwnCode) {
  struct Row {
    int position;
    unsigned char state;
    std::vector<std::string> active;
  };
  const Row rows[] = {
      {0, 0xE3, {"K426_DC_0 其他告警"}},
      {1, 0xE4, {"K426_DC_1 其他告警"}},
      {1, 0xE3, {}},
      {2, 0xE1, {"K426_DC_2 其他告警"}},
      {2, 0xE2, {}},
      {4, 0xE1, {"K426_DC_4 其他告警"}},
      {5, 0xE2, {"K426_DC_5 直流屏通讯中断告警状态"}},
      {5, 0xE1, {}},
      {8, 0x06, {"K426_DC_8 其他告警"}},
      {9, 0x03, {"K426_DC_9 负载熔丝1故障告警"}},
      {10, 0x02, {"K426_DC_10 电池1充电过流告警"}},
      {10, 0x03, {}},
      {15, 0x03, {"K426_DC_15 负载熔丝4故障告警"}},
      {16, 0x02, {"K426_DC_16 电池4充电过流告警"}},
  };
  for (const Row& row : rows) {
    host.events->clear();
    Bytes info = alarm_reply(0, 0, 17);
    info[3 + row.position] = row.state;
    parse_alarms(info);
    unit->RoundDone();
    EXPECT_EQ(active_descriptions(rules()), row.active)
        << "alert_p[" << row.position << "] = " << int(row.state);
  }
}

TEST_F(DcUnitTest, PendingRulesAreHandedOverAndRoomIsKeptForTheNextCycle) {
  parse_alarms(alarm_reply(0, 64, 17));
  unit->RoundDone();
  EXPECT_TRUE(unit->PendingRules().empty());
  EXPECT_GE(unit->PendingRules().capacity(), 83u);
  host.drain();
  EXPECT_EQ(host.events->history().size(), 1u);
}

TEST_F(DcUnitTest, HistorySavesTheCyclesOwnSnapshotAfterTheNextCycleChangedTheRecord) {
  // Hold the threshold worker so that the next cycle's replies arrive before the save runs.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  host.controller->Submit([released] { released.wait(); });

  testing::internal::CaptureStdout();
  parse_analog(hex_bytes("00 00 50 42  00 00 A0 41  00 00 00"));  // 52.0
  parse_alarms(alarm_reply(1, 0, 0));
  unit->RoundDone();
  const Bytes published = host.events->snapshots().back().bytes;
  parse_analog(hex_bytes("00 00 60 42  00 00 A0 41  00 00 00"));  // 56.0
  parse_alarms(alarm_reply(2, 0, 0));
  testing::internal::GetCapturedStdout();

  release.set_value();
  host.drain();
  const auto history = host.events->history();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].record_type, 5096);
  EXPECT_EQ(history[0].bytes, published);
  EXPECT_FLOAT_EQ(load_float(history[0].bytes.data() + 4), 52.0f);
  EXPECT_EQ(history[0].bytes[111], 1);
}

TEST_F(DcUnitTest, AnAlarmChangeRaisesTheFlagAndAQuietCycleLeavesItRaised) {
  parse_alarms(alarm_reply(1, 0, 0));
  unit->RoundDone();
  host.drain();
  EXPECT_TRUE(unit->AlarmChanged());
  const auto alarms = host.events->alarms();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].rule.rule_id, "DC_0");
  EXPECT_TRUE(alarms[0].raised);

  unit->RoundDone();
  host.drain();
  EXPECT_EQ(host.events->alarms().size(), 1u);
  EXPECT_TRUE(unit->AlarmChanged());
}

namespace {

// One row of the DC rule tables as documented, with the record byte it reads and the value
// that activates it. The fuse rule stands for all 64 fuses, read from alert_m[n - 1].
struct DcRuleRow {
  const char* rule_id;
  int level;
  const char* code;
  const char* name;
  const char* description;
  std::size_t byte;
  unsigned char value;
};

const DcRuleRow kDcRows[] = {
    {"DC_0", 3, "06008", "输出电压过低告警", "输出电压过低告警", 111, 1},
    {"DC_1", 3, "06009", "输出电压过高告警", "输出电压过高告警", 111, 2},
    {"K426_DC_0", 2, "06029", "LVD1(负载下电)", "其他告警", 178, 0xE3},
    {"K426_DC_1", 2, "06029", "LVD2(电池保护)", "其他告警", 179, 0xE4},
    {"K426_DC_2", 2, "06029", "温度1告警状态", "其他告警", 180, 0xE1},
    {"K426_DC_3", 2, "06029", "温度2告警状态", "其他告警", 181, 0xE1},
    {"K426_DC_4", 2, "06029", "温度3告警状态", "其他告警", 182, 0xE1},
    {"K426_DC_5", 2, "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态", 183, 0xE2},
    {"K426_DC_6", 2, "06029", "温度1传感器故障", "其他告警", 184, 0x06},
    {"K426_DC_7", 2, "06029", "温度2传感器故障", "其他告警", 185, 0x06},
    {"K426_DC_8", 2, "06029", "温度3传感器故障", "其他告警", 186, 0x06},
    {"K426_DC_9", 2, "06001", "电池熔丝故障告警", "负载熔丝1故障告警", 187, 0x03},
    {"K426_DC_10", 2, "06002", "电池充电过流告警", "电池1充电过流告警", 188, 0x02},
    {"K426_DC_11", 2, "06001", "电池熔丝故障告警", "负载熔丝2故障告警", 189, 0x03},
    {"K426_DC_12", 2, "06002", "电池充电过流告警", "电池2充电过流告警", 190, 0x02},
    {"K426_DC_13", 2, "06001", "电池熔丝故障告警", "负载熔丝3故障告警", 191, 0x03},
    {"K426_DC_14", 2, "06002", "电池充电过流告警", "电池3充电过流告警", 192, 0x02},
    {"K426_DC_15", 2, "06001", "电池熔丝故障告警", "负载熔丝4故障告警", 193, 0x03},
    {"K426_DC_16", 2, "06002", "电池充电过流告警", "电池4充电过流告警", 194, 0x02},
};

// Every documented rule of a full cycle in order: the two voltage rules, the 64 fuses, the 17
// user-defined ones.
std::vector<DcRuleRow> dc_cycle_rows(std::vector<std::string>& descriptions) {
  std::vector<DcRuleRow> rows(std::begin(kDcRows), std::begin(kDcRows) + 2);
  for (int fuse = 1; fuse <= 64; ++fuse) {
    descriptions.push_back("直流" + std::to_string(fuse) + "电池熔丝故障告警");
    rows.push_back({"DC_3", 1, "06001", "电池熔丝故障告警", nullptr,
                    static_cast<std::size_t>(113 + fuse - 1), 3});
  }
  rows.insert(rows.end(), std::begin(kDcRows) + 2, std::end(kDcRows));
  return rows;
}

}  // namespace

// Each row tried alone: its byte holds its value, every other state byte 0, both counts full;
// exactly that rule is active, and every field of every rule is the documented one, in order.
TEST_F(DcUnitTest, EachRuleIsActiveAloneWhenItsOwnByteHoldsItsOwnValue) {
  std::vector<std::string> fuse_descriptions;
  const std::vector<DcRuleRow> rows = dc_cycle_rows(fuse_descriptions);
  ASSERT_EQ(rows.size(), 83u);
  for (const DcRuleRow& row : rows) {
    SCOPED_TRACE(std::string(row.rule_id) + " at " + std::to_string(row.byte));
    Bytes image(sizeof(tele_c_k426b_dc), 0);
    image[112] = 64;
    image[177] = 17;
    image[row.byte] = row.value;
    ASSERT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
    host.events->clear();
    unit->RoundDone();

    const std::vector<RecordedRule> rules = host.events->rules();
    ASSERT_EQ(rules.size(), rows.size());
    std::size_t fuse = 0;
    for (std::size_t index = 0; index < rules.size(); ++index) {
      const DcRuleRow& expected = rows[index];
      const rule_value& rule = rules[index].rule;
      EXPECT_EQ(rule.rule_id, expected.rule_id);
      EXPECT_EQ(rule.level, expected.level) << expected.rule_id;
      EXPECT_EQ(rule.code, expected.code) << expected.rule_id;
      EXPECT_EQ(rule.name, expected.name) << expected.rule_id;
      EXPECT_EQ(rule.description,
                expected.description ? expected.description : fuse_descriptions[fuse++]);
      EXPECT_EQ(rule.sequence, index + 1);
      EXPECT_EQ(rule.active != 0, &expected == &row) << expected.rule_id << " " << index;
    }
  }
}
