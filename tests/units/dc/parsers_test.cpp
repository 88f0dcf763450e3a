// The two DC reply parsers: what they store, what they consume, what they log, and that no
// count inside a reply makes them read past its end.

#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/units/dc/dc_unit_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// v 52.0, i 20.0 | m 2: 1.0 2.0 | n 1: 3.0 | p 2: no value, 0.0
const char* const kAnalogReply =
    "00 00 50 42  00 00 A0 41"
    "  02  00 00 80 3F  00 00 00 40"
    "  01  00 00 40 40"
    "  02  20 20 20 20  00 00 00 00";

// v_alarm 1 | 2 fuses: 03 00 | 3 user states: E3 00 E1
const char* const kAlarmReply = "01  02 03 00  03 E3 00 E1";

float value_at(const unsigned char* values, int index) { return load_float(values + 4 * index); }

}  // namespace

TEST_F(DcUnitTest, AnalogReplyFillsVoltageCurrentAndItsThreeGroups) {
  const Bytes info = hex_bytes(kAnalogReply);
  EXPECT_EQ(parse_analog(info), 31);

  const tele_c_k426b_dc dc = record();
  EXPECT_FLOAT_EQ(load_float(dc.v), 52.0f);
  EXPECT_FLOAT_EQ(load_float(dc.i), 20.0f);
  EXPECT_EQ(dc.dc_m, 2);
  EXPECT_FLOAT_EQ(value_at(dc.m_values, 0), 1.0f);
  EXPECT_FLOAT_EQ(value_at(dc.m_values, 1), 2.0f);
  EXPECT_EQ(dc.dc_n, 1);
  EXPECT_FLOAT_EQ(value_at(dc.n_values, 0), 3.0f);
  EXPECT_EQ(dc.p_count, 2);
  EXPECT_EQ(load_u32(dc.user_p), kMissingValueBits);
  EXPECT_EQ(load_u32(dc.user_p + 4), 0u);
  EXPECT_EQ(load_u32(dc.data_id), kDcDataId);
  EXPECT_THAT(logs(), IsEmpty());
}

TEST_F(DcUnitTest, AnalogParsePrintsTheVoltageBytesAsReceivedOnEveryCall) {
  const Bytes info = hex_bytes(kAnalogReply);
  const Bytes short_info = hex_bytes("0A 00");
  testing::internal::CaptureStdout();
  parse_analog(info);
  parse_analog(short_info);
  parse_analog(Bytes());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "parse 42 41: 0 0 50 42\nparse 42 41: a 0\nparse 42 41:\n");
}

TEST_F(DcUnitTest, NoValueMarkerBecomesMinusOneTenthInUserValuesOnly) {
  const Bytes info = hex_bytes(
      "20 20 20 20  20 20 20 20  01 20 20 20 20  01 20 20 20 20"
      "  03  20 20 20 20  20 20 20 21  00 00 00 00");
  ASSERT_EQ(parse_analog(info), static_cast<int>(info.size()));

  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(load_u32(dc.v), 0x20202020u);
  EXPECT_EQ(load_u32(dc.i), 0x20202020u);
  EXPECT_EQ(load_u32(dc.m_values), 0x20202020u);
  EXPECT_EQ(load_u32(dc.n_values), 0x20202020u);
  EXPECT_EQ(load_u32(dc.user_p), kMissingValueBits);
  EXPECT_FLOAT_EQ(value_at(dc.user_p, 0), -0.1f);
  EXPECT_EQ(load_u32(dc.user_p + 4), 0x21202020u);
  EXPECT_EQ(load_u32(dc.user_p + 8), 0u);
}

TEST_F(DcUnitTest, AnalogGroupsAboveTheirRoomAreLoggedSkippedAndKeepTheirOldValues) {
  ASSERT_EQ(parse_analog(hex_bytes(kAnalogReply)), 31);

  // m 5 (room 4) and n 10 (room 9), every value present; then one user value 4.0.
  Bytes info = hex_bytes("00 00 60 42  00 00 20 41  05");
  info.insert(info.end(), 5 * 4, 0x11);
  info.push_back(10);
  info.insert(info.end(), 10 * 4, 0x22);
  const Bytes tail = hex_bytes("01  00 00 80 40");
  info.insert(info.end(), tail.begin(), tail.end());

  EXPECT_EQ(parse_analog(info), static_cast<int>(info.size()));
  const tele_c_k426b_dc dc = record();
  EXPECT_FLOAT_EQ(load_float(dc.v), 56.0f);
  EXPECT_EQ(dc.dc_m, 5);
  EXPECT_FLOAT_EQ(value_at(dc.m_values, 0), 1.0f);
  EXPECT_FLOAT_EQ(value_at(dc.m_values, 1), 2.0f);
  EXPECT_EQ(dc.dc_n, 10);
  EXPECT_FLOAT_EQ(value_at(dc.n_values, 0), 3.0f);
  EXPECT_EQ(dc.p_count, 1);
  EXPECT_FLOAT_EQ(value_at(dc.user_p, 0), 4.0f);
  EXPECT_THAT(logs(),
              ElementsAre("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 168496141 read dc_m is 5, MAX_M is 4",
                          "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 168496141 read dc_n is 10, MAX_N is 9"));
}

TEST_F(DcUnitTest, TooManyUserValuesTakeTheWholeRestOfTheReplyWhateverItsLength) {
  ASSERT_EQ(parse_analog(hex_bytes(kAnalogReply)), 31);
  const Bytes head = hex_bytes("00 00 50 42  00 00 A0 41  00  00  0C");
  for (std::size_t extra : {0u, 3u, 48u, 200u}) {
    Bytes info = head;
    info.insert(info.end(), extra, 0x33);
    EXPECT_EQ(parse_analog(info), static_cast<int>(info.size())) << extra << " bytes after the count";
  }
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(dc.p_count, 12);
  EXPECT_EQ(load_u32(dc.user_p), kMissingValueBits);
  EXPECT_EQ(logs().size(), 4u);
  EXPECT_EQ(logs().front(),
            "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 168496141 read p_count is 12, support user_p max is 11");
}

TEST_F(DcUnitTest, AnalogParseConsumesOnlyItsOwnBlockAndFailsOneByteShort) {
  Bytes with_next_unit = hex_bytes(kAnalogReply);
  with_next_unit.push_back(0x99);
  EXPECT_EQ(parse_analog(with_next_unit), 31);

  const Bytes exact = hex_bytes(kAnalogReply);
  EXPECT_EQ(parse_analog(exact), 31);

  const Bytes one_short(exact.begin(), exact.end() - 1);
  EXPECT_EQ(parse_analog(one_short), -1);
  EXPECT_THAT(logs(), ElementsAre("PMBusPowerAC:ProcotolError 168496141 read 42_41 read overflow 31 - 30"));
}

TEST_F(DcUnitTest, AlarmReplyFillsVoltageAlarmFusesAndUserStates) {
  EXPECT_EQ(parse_alarms(hex_bytes(kAlarmReply)), 8);
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(dc.v_alarm, 1);
  EXPECT_EQ(dc.alert_m_count, 2);
  EXPECT_EQ(field_bytes(dc.alert_m, 2), hex_bytes("03 00"));
  EXPECT_EQ(dc.alert_p_count, 3);
  EXPECT_EQ(field_bytes(dc.alert_p, 3), hex_bytes("E3 00 E1"));
  EXPECT_THAT(logs(), IsEmpty());
}

TEST_F(DcUnitTest, FuseStatesBeyondSixtyFourAreCountedButNeitherStoredNorLogged) {
  Bytes info{0x00, 70};
  for (int fuse = 0; fuse < 70; ++fuse) info.push_back(static_cast<unsigned char>(fuse));
  info.push_back(0);
  info.push_back(0x77);  // the next unit's data

  EXPECT_EQ(parse_alarms(info), 3 + 70);
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(dc.alert_m_count, 70);
  EXPECT_EQ(dc.alert_m[63], 63);
  EXPECT_EQ(dc.alert_p[0], 0);
  EXPECT_EQ(dc.alert_p_count, 0);
  EXPECT_THAT(logs(), IsEmpty());
}

TEST_F(DcUnitTest, EighteenUserStatesAreLoggedSeventeenKeptAndParsingGoesOn) {
  Bytes info = alarm_reply(2, 1, 18, 3, 0xE1);
  info[info.size() - 1] = 0x55;  // the eighteenth, not kept
  info[info.size() - 2] = 0x44;  // the seventeenth
  info.push_back(0x01);          // the next unit's data

  EXPECT_EQ(parse_alarms(info), 3 + 1 + 18);
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(dc.alert_p_count, 18);
  EXPECT_EQ(dc.alert_p[0], 0xE1);
  EXPECT_EQ(dc.alert_p[16], 0x44);
  EXPECT_THAT(logs(),
              ElementsAre("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 168496141 read 42_44 p is 18,  alert_p is 17"));
}

TEST_F(DcUnitTest, AlarmCountsLeadingExactlyToTheEndAreAcceptedAndOneFurtherIsNot) {
  const Bytes exact = alarm_reply(0, 64, 17);
  EXPECT_EQ(parse_alarms(exact), static_cast<int>(exact.size()));

  const Bytes one_short(exact.begin(), exact.end() - 1);
  EXPECT_EQ(parse_alarms(one_short), -1);
  EXPECT_THAT(logs(), ElementsAre("PMBusPowerAC:ProcotolError 168496141 read 42_44 read overflow 84 - 83"));
}

TEST_F(DcUnitTest, AReplyCutShortKeepsThePartsThatWereNotReached) {
  ASSERT_EQ(parse_alarms(hex_bytes(kAlarmReply)), 8);
  // Four fuse states announced, three present: none of them may be stored.
  EXPECT_EQ(parse_alarms(hex_bytes("02  04 03 03 03")), -1);
  const tele_c_k426b_dc dc = record();
  EXPECT_EQ(dc.v_alarm, 2);
  EXPECT_EQ(dc.alert_m_count, 4);
  EXPECT_EQ(field_bytes(dc.alert_m, 2), hex_bytes("03 00"));
  EXPECT_EQ(dc.alert_p_count, 3);
}

// Every well-formed block offered with every shorter length, each from a buffer of exactly that
// length, so the sanitizer sees any read past the end.
TEST_F(DcUnitTest, EveryTruncationOfAWellFormedBlockFailsWithoutReadingPastItsEnd) {
  Bytes oversized_groups = hex_bytes("00 00 50 42  00 00 A0 41  05");
  oversized_groups.insert(oversized_groups.end(), 20, 0x11);
  oversized_groups.push_back(0);
  oversized_groups.push_back(1);
  oversized_groups.insert(oversized_groups.end(), 4, 0x20);

  struct Block {
    const char* name;
    bool analog;
    Bytes bytes;
  };
  const std::vector<Block> blocks = {
      {"analog", true, hex_bytes(kAnalogReply)},
      {"analog without groups", true, hex_bytes("00 00 50 42  00 00 A0 41  00 00 00")},
      {"analog with an oversized group", true, oversized_groups},
      {"alarms", false, hex_bytes(kAlarmReply)},
      {"alarms without states", false, hex_bytes("00 00 00")},
      {"alarms with 70 fuses and 18 user states", false, alarm_reply(1, 70, 18, 3, 0xE1)},
  };

  testing::internal::CaptureStdout();
  for (const Block& block : blocks) {
    for (std::size_t length = 0; length < block.bytes.size(); ++length) {
      host.events->clear();
      const Bytes cut(block.bytes.begin(), block.bytes.begin() + static_cast<long>(length));
      const int result = block.analog ? parse_analog(cut) : parse_alarms(cut);
      EXPECT_EQ(result, -1) << block.name << " cut to " << length;
      ASSERT_FALSE(logs().empty());
      EXPECT_NE(logs().back().find("read overflow"), std::string::npos) << block.name << " cut to " << length;
    }
    const int whole = block.analog ? parse_analog(block.bytes) : parse_alarms(block.bytes);
    EXPECT_EQ(whole, static_cast<int>(block.bytes.size())) << block.name;
  }
  testing::internal::GetCapturedStdout();
}

TEST_F(DcUnitTest, ParsersRefuseANullOrNegativeInputWithoutReading) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(unit->parse42_41(nullptr, 31), -1);
  EXPECT_EQ(unit->parse42_44(nullptr, 8), -1);
  const Bytes info = hex_bytes(kAlarmReply);
  EXPECT_EQ(unit->parse42_44(info.data(), -5), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(logs().size(), 3u);
}

// Each count at its room and one above: the block built for the count, the result, and the
// exact message (none at the room). Above the room, values are skipped, states cut to the room.
TEST_F(DcUnitTest, EveryCountAtItsRoomIsTakenSilentlyAndOneAboveIsLoggedExactly) {
  const std::string prefix = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 168496141 ";
  // v, i, then the three groups with the given counts, each followed by its values.
  const auto analog = [](int m, int n, int p) {
    Bytes info(8, 0x00);
    for (int count : {m, n, p}) {
      info.push_back(static_cast<unsigned char>(count));
      info.insert(info.end(), 4 * count, 0x01);
    }
    return info;
  };
  const auto alarms = [](int fuses, int user) {
    Bytes info{0x00, static_cast<unsigned char>(fuses)};
    info.insert(info.end(), fuses, 0x00);
    info.push_back(static_cast<unsigned char>(user));
    info.insert(info.end(), user, 0x00);
    return info;
  };
  struct Row {
    const char* name;
    bool is_analog;
    Bytes info;
    int result;
    std::string message;
  };
  const Row rows[] = {
      {"dc_m 4", true, analog(4, 0, 0), 27, ""},
      {"dc_m 5", true, analog(5, 0, 0), 31, prefix + "read dc_m is 5, MAX_M is 4"},
      {"dc_n 9", true, analog(0, 9, 0), 47, ""},
      {"dc_n 10", true, analog(0, 10, 0), 51, prefix + "read dc_n is 10, MAX_N is 9"},
      {"p_count 11", true, analog(0, 0, 11), 55, ""},
      {"p_count 12", true, analog(0, 0, 12), 59,
       prefix + "read p_count is 12, support user_p max is 11"},
      {"alert_m_count 64", false, alarms(64, 0), 67, ""},
      {"alert_m_count 65", false, alarms(65, 0), 68, ""},
      {"alert_p_count 17", false, alarms(0, 17), 20, ""},
      {"alert_p_count 18", false, alarms(0, 18), 21, prefix + "read 42_44 p is 18,  alert_p is 17"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host.events->clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(row.is_analog ? parse_analog(row.info) : parse_alarms(row.info), row.result);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(logs(), row.message.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.message});
  }
}

TEST_F(DcUnitTest, ANullPointerWithAPositiveLengthIsRefusedWithoutReading) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(unit->parse42_41(nullptr, 64), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41:\n");
  EXPECT_EQ(unit->parse42_44(nullptr, 64), -1);
  EXPECT_EQ(logs(), (std::vector<std::string>{
                        "PMBusPowerAC:ProcotolError 168496141 read 42_41 read overflow 11 - 64",
                        "PMBusPowerAC:ProcotolError 168496141 read 42_44 read overflow 3 - 64"}));
}
