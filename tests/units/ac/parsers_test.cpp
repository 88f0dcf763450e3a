#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/units/ac/ac_unit_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

uint32_t float_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t count) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + count);
}

}  // namespace

using AcParserTest = AcUnitTest;

TEST_F(AcParserTest, AnalogBlockOfOneScreenDecodesVoltagesFrequencyAndCurrents) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a:220 b:220 c:220 f:50\n");

  publish(*unit);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_0_a"), 220.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_0_b"), 220.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_0_c"), 220.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_0_f"), 50.0f);
  for (const char* key : {"ia", "ib", "ic"}) EXPECT_EQ(unit->Get_Value(kDataId, key), 10.0f) << key;
  EXPECT_THAT(host_.events->log_texts(), IsEmpty());
}

TEST_F(AcParserTest, AnalogBlockOfTwoScreensIs47BytesAndPrintsALinePerScreen) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_two_screens()), 47);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "a:220 b:220 c:220 f:50\n"
            "a:224 b:228 c:232 f:50.5\n");

  publish(*unit);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_1_a"), 224.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_1_c"), 232.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_1_f"), 50.5f);
  EXPECT_EQ(unit->Get_Value(kDataId, "ib"), 11.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "ic"), 12.0f);
}

TEST_F(AcParserTest, NoValueMarkerReadsAsZeroForScreenValuesAndMinusOneTenthForCurrents) {
  auto unit = make_unit();
  // a: marker, b: four zero bytes, ia: marker, ib: four zero bytes.
  const Bytes block = hex_bytes(
      "01"
      "20 20 20 20  00 00 00 00  00 00 5C 43  00 00 48 42  00"
      "7F 7F 7F 7F  00 00 00 00  00 00 20 41");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, block), 30);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a:0 b:0 c:220 f:50\n");

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(load_u32(&snapshot[39 + 0]), 0u);
  EXPECT_EQ(load_u32(&snapshot[4]), kMissingValueBits);
  EXPECT_EQ(float_bits(unit->Get_Value(kDataId, "ia")), kMissingValueBits);
  EXPECT_EQ(unit->Get_Value(kDataId, "ib"), 0.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "ic"), 10.0f);
}

TEST_F(AcParserTest, AnalogBlockWithAnotherScreenCountThanLearntIsRefusedSilently) {
  auto unit = make_unit();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_two_screens()), 47);
  const Bytes before = publish(*unit);

  Bytes three_screens = analog_block_two_screens();
  three_screens[0] = 0x03;
  three_screens.insert(three_screens.begin() + 1, 17, 0x00);
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, three_screens), -1);
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), -1);

  const Bytes after = publish(*unit);
  EXPECT_EQ(slice(after, 0, 32), slice(before, 0, 32));
  EXPECT_EQ(slice(after, 39, 58), slice(before, 39, 58));
  EXPECT_THAT(host_.events->log_texts(), IsEmpty());
}

TEST_F(AcParserTest, UserDefinedAnalogValuesAreLoggedAndSkipped) {
  auto unit = make_unit();
  const Bytes block = hex_bytes(
      "01"
      "00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42  01  11 22 33 44"
      "00 00 20 41  00 00 30 41  00 00 40 41");
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, block), 34);
  EXPECT_THAT(host_.events->log_texts(),
              ElementsAre("PMBusPowerAC:ProcotolError 4711 read 40_41 p is 1 not 0"));

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(snapshot[39 + 16], 1);  // the count as received
  EXPECT_EQ(unit->Get_Value(kDataId, "ia"), 10.0f);
  EXPECT_EQ(unit->Get_Value(kDataId, "ic"), 12.0f);
}

TEST_F(AcParserTest, SwitchBlockWithEightStatesAndTwoUserStatesIsStored) {
  auto unit = make_unit();
  const Bytes block = hex_bytes("08  01 02 03 04 05 06 07 08  02  A1 A2");
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_43, block), 12);

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(slice(snapshot, 17, 12), hex_bytes("08 01 02 03 04 05 06 07 08 02 A1 A2"));
}

TEST_F(AcParserTest, ShorterSwitchBlockKeepsTheOlderStatesBehindIt) {
  auto unit = make_unit();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_43, hex_bytes("08 01 02 03 04 05 06 07 08 02 A1 A2")),
            12);
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_43, hex_bytes("03 F1 F2 F3 02 B1 B2")), 7);

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(slice(snapshot, 17, 12), hex_bytes("03 F1 F2 F3 04 05 06 07 08 02 B1 B2"));
}

TEST_F(AcParserTest, SwitchBlockWithNineStatesIsRefusedAfterStoringTheCount) {
  auto unit = make_unit();
  const Bytes block = hex_bytes("09  01 02 03 04 05 06 07 08 09  02  A1 A2");
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_43, block), -1);
  EXPECT_THAT(host_.events->log_texts(), ElementsAre("ProcotolError %u read 40_43 m is %d max %d"));

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(snapshot[17], 9);
  EXPECT_EQ(slice(snapshot, 18, 8), Bytes(8, 0x00));
}

TEST_F(AcParserTest, SwitchBlockWithThreeUserStatesCountsThemWithoutMeasuringThem) {
  auto unit = make_unit();
  const Bytes block = hex_bytes("02  01 02  03  A1 A2 A3");
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_43, block), 7);
  // Only the counts reach the buffer: the skipped states are neither read nor checked.
  EXPECT_EQ(parse_prefix(*unit, &K426BAC::parse40_43, block, 4), 7);
  EXPECT_THAT(host_.events->log_texts(),
              ElementsAre("PMBusPowerAC:ProcotolError P4711 read 40_43 p is 3 not 2",
                          "PMBusPowerAC:ProcotolError P4711 read 40_43 p is 3 not 2"));

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(snapshot[26], 3);
  EXPECT_EQ(slice(snapshot, 27, 2), hex_bytes("00 00"));
}

TEST_F(AcParserTest, AlarmBlockOfOneScreenStoresScreenUserAndCurrentStates) {
  auto unit = make_unit();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_44, alarm_block_one_screen()), 17);

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(slice(snapshot, 29, 3), hex_bytes("00 00 01"));
  EXPECT_EQ(slice(snapshot, 39 + 17, 12), hex_bytes("00 02 00 00  07  11 12 13 14 15 16 17"));
  EXPECT_EQ(unit->Get_Value(kDataId, "ic_alert"), 1.0f);
}

TEST_F(AcParserTest, AlarmBlockFollowsTheLearntScreenCountNotItsOwnCountByte) {
  auto unit = make_unit();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);
  Bytes block = alarm_block_one_screen();
  block[0] = 0x05;
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_44, block), 17);

  auto unlearnt = make_unit();
  EXPECT_EQ(parse(*unlearnt, &K426BAC::parse40_44, hex_bytes("02  00 01 03")), 4);
  const Bytes snapshot = publish(*unlearnt);
  EXPECT_EQ(slice(snapshot, 29, 3), hex_bytes("00 01 03"));
}

TEST_F(AcParserTest, AlarmBlockSkipsFurtherAlarmBytesAndMiscountedUserBytes) {
  auto unit = make_unit();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_44, alarm_block_one_screen()), 17);

  // m = 2 is skipped and p is still read; then p = 3 keeps the older user bytes.
  const Bytes block = hex_bytes("01  01 01 01 01  02 EE EE  03 D1 D2 D3  02 02 02");
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_44, block), 15);
  EXPECT_THAT(host_.events->log_texts(),
              ElementsAre("PMBusPowerAC:ProcotolError 4711 read 40_44 m is 2",
                          "PMBusPowerAC:ProcotolError 4711 read 40_44 p is 3 not 7"));

  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(slice(snapshot, 39 + 17, 12), hex_bytes("01 01 01 01  03  11 12 13 14 15 16 17"));
  EXPECT_EQ(slice(snapshot, 29, 3), hex_bytes("02 02 02"));
}

// Every well-formed block, offered with every shorter length from a buffer of exactly that
// size, is refused with the read-overflow message and never read beyond its end.
TEST_F(AcParserTest, EveryTruncatedBlockIsRefusedWithoutReadingPastItsEnd) {
  struct Case {
    const char* name;
    AcParser parser;
    Bytes learn;  // analog block that teaches the screen count first, if any
    Bytes block;
  };
  const Bytes two_screen_alarms = hex_bytes(
      "02  01 02 03 00  00  07 11 12 13 14 15 16 17"
      "    00 00 00 00  02 EE EE  07 21 22 23 24 25 26 27  01 02 03");
  const std::vector<Case> cases = {
      {"40_41", &K426BAC::parse40_41, {}, analog_block_one_screen()},
      {"40_41", &K426BAC::parse40_41, {}, analog_block_two_screens()},
      {"40_41", &K426BAC::parse40_41, {}, hex_bytes("00  00 00 20 41  00 00 20 41  00 00 20 41")},
      {"40_41", &K426BAC::parse40_41, {},
       hex_bytes("01  00 00 5C 43 00 00 5C 43 00 00 5C 43 00 00 48 42  02 01 01 01 01 02 02 02 02"
                 "    00 00 20 41 00 00 20 41 00 00 20 41")},
      {"40_43", &K426BAC::parse40_43, {}, hex_bytes("08  01 02 03 04 05 06 07 08  02  A1 A2")},
      {"40_43", &K426BAC::parse40_43, {}, hex_bytes("00  02  A1 A2")},
      {"40_44", &K426BAC::parse40_44, analog_block_one_screen(), alarm_block_one_screen()},
      {"40_44", &K426BAC::parse40_44, analog_block_two_screens(), two_screen_alarms},
      {"40_44", &K426BAC::parse40_44, {}, hex_bytes("00  01 02 03")},
  };

  ::testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    for (std::size_t length = 0; length < c.block.size(); ++length) {
      auto unit = make_unit();
      if (!c.learn.empty()) {
        ASSERT_GT(parse(*unit, &K426BAC::parse40_41, c.learn), 0);
      }
      host_.events->clear();

      EXPECT_EQ(parse_prefix(*unit, c.parser, c.block, length), -1)
          << c.name << " block of " << c.block.size() << " bytes cut to " << length;
      const auto logs = host_.events->log_texts();
      ASSERT_FALSE(logs.empty()) << c.name << " cut to " << length;
      EXPECT_THAT(logs.back(), HasSubstr(std::string("PMBusPowerAC:ProcotolError 4711 read ") +
                                         c.name + " read overflow "));
      EXPECT_THAT(logs.back(), HasSubstr(" - " + std::to_string(length)));
    }
    auto unit = make_unit();
    if (!c.learn.empty()) {
      ASSERT_GT(parse(*unit, &K426BAC::parse40_41, c.learn), 0);
    }
    EXPECT_EQ(parse(*unit, c.parser, c.block), static_cast<int>(c.block.size())) << c.name;
  }
  ::testing::internal::GetCapturedStdout();
}

TEST_F(AcParserTest, OverflowMessageNamesTheBytesNeededAndTheBytesGiven) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(parse_prefix(*unit, &K426BAC::parse40_41, analog_block_one_screen(), 29), -1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(host_.events->log_texts(),
              ElementsAre("PMBusPowerAC:ProcotolError 4711 read 40_41 read overflow 30 - 29"));
}

TEST_F(AcParserTest, NullInputWithNoLengthIsRefusedWithoutReading) {
  auto unit = make_unit();
  EXPECT_EQ(unit->parse40_41(nullptr, 0), -1);
  EXPECT_EQ(unit->parse40_43(nullptr, 0), -1);
  EXPECT_EQ(unit->parse40_44(nullptr, -5), -1);
}

// Each count at its expected value or room and one above: the exact message, none at the room.
TEST_F(AcParserTest, EveryCountAtItsRoomIsTakenSilentlyAndOneAboveIsLoggedExactly) {
  const auto switches = [](int m, int p) {
    Bytes block{static_cast<unsigned char>(m)};
    block.insert(block.end(), m, 0x01);
    block.push_back(static_cast<unsigned char>(p));
    block.insert(block.end(), p, 0x01);
    return block;
  };
  const auto analog = [](int p) {
    Bytes block = hex_bytes("01  00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42");
    block.push_back(static_cast<unsigned char>(p));
    block.insert(block.end(), 4 * p, 0x00);
    block.insert(block.end(), 12, 0x00);
    return block;
  };
  const auto alarms = [](int m, int p) {
    Bytes block{0x01, 0x00, 0x00, 0x00, 0x00, static_cast<unsigned char>(m)};
    block.insert(block.end(), m, 0x00);
    block.push_back(static_cast<unsigned char>(p));
    block.insert(block.end(), p + 3, 0x00);
    return block;
  };
  struct Row {
    const char* name;
    AcParser parser;
    Bytes block;
    int result;
    std::string message;
  };
  const Row rows[] = {
      {"40_43 m 8", &K426BAC::parse40_43, switches(8, 2), 12, ""},
      {"40_43 m 9", &K426BAC::parse40_43, switches(9, 2), -1,
       "ProcotolError %u read 40_43 m is %d max %d"},
      {"40_43 p 3", &K426BAC::parse40_43, switches(0, 3), 5,
       "PMBusPowerAC:ProcotolError P4711 read 40_43 p is 3 not 2"},
      {"40_41 P 0", &K426BAC::parse40_41, analog(0), 30, ""},
      {"40_41 P 1", &K426BAC::parse40_41, analog(1), 34,
       "PMBusPowerAC:ProcotolError 4711 read 40_41 p is 1 not 0"},
      {"40_44 p 7", &K426BAC::parse40_44, alarms(0, 7), 17, ""},
      {"40_44 p 8", &K426BAC::parse40_44, alarms(0, 8), 18,
       "PMBusPowerAC:ProcotolError 4711 read 40_44 p is 8 not 7"},
      {"40_44 m 1", &K426BAC::parse40_44, alarms(1, 7), 18,
       "PMBusPowerAC:ProcotolError 4711 read 40_44 m is 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto unit = make_unit();
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog(0)), 30);
    host_.events->clear();
    EXPECT_EQ(parse(*unit, row.parser, row.block), row.result);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(host_.events->log_texts(), row.message.empty()
                                             ? std::vector<std::string>{}
                                             : std::vector<std::string>{row.message});
  }
}

TEST_F(AcParserTest, ANullPointerWithAPositiveLengthIsRefusedWithoutReading) {
  auto unit = make_unit();
  EXPECT_EQ(unit->parse40_41(nullptr, 30), -1);
  EXPECT_EQ(unit->parse40_43(nullptr, 12), -1);
  EXPECT_EQ(unit->parse40_44(nullptr, 17), -1);
  EXPECT_THAT(host_.events->log_texts(),
              ElementsAre("PMBusPowerAC:ProcotolError 4711 read 40_41 read overflow 1 - 30",
                          "PMBusPowerAC:ProcotolError 4711 read 40_43 read overflow 1 - 12",
                          "PMBusPowerAC:ProcotolError 4711 read 40_44 read overflow 1 - 17"));
}
