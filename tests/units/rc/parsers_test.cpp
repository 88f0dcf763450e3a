#include <algorithm>

#include <gtest/gtest.h>

#include "tests/units/rc/rc_unit_fixture.h"

namespace {

const std::string kPrefixRC = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 287454020";
const std::string kPrefixAC = "PMBusPowerAC:ProcotolError 287454020";

using RcParsers = RcUnitTest;

TEST_F(RcParsers, AnalogReplyForThreeModulesConsumes105BytesAndStoresEveryValue) {
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  const Bytes snapshot = cycle();
  ASSERT_EQ(snapshot.size(), kHead + 3 * kModule);
  EXPECT_EQ(slice(snapshot, 0, 4), hex_bytes("44 33 22 11"));
  EXPECT_EQ(slice(snapshot, kGroupValue, 5), hex_bytes("42 48 00 00 03"));
  for (std::size_t module = 0; module < 3; ++module)
    EXPECT_EQ(slice(snapshot, module_at(module, 0), 33),
              hex_bytes("41 20 00 00  07  42 5C 00 00  00 00 00 00  3F 80 00 00  00 00 00 00  "
                        "41 A0 00 00  42 00 00 00  42 20 00 00"))
        << "module " << module;
  EXPECT_TRUE(logs().empty());
}

TEST_F(RcParsers, FourEqualBytesAreZeroedOnlyAmongTheFurtherValues) {
  const Bytes info = hex_bytes(
      "00  20 20 20 20  01  33 33 33 33  07  "
      "20 20 20 20  FF FF FF FF  01 01 01 00  00 00 00 00  05 05 05 05  00 00 00 01  "
      "7F 7F 7F 7F");
  EXPECT_EQ(parse(&K426BRC::parse41_41, info), 39);
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, kGroupValue, 4), hex_bytes("20 20 20 20"));
  EXPECT_EQ(slice(snapshot, module_at(0, 0), 33),
            hex_bytes("33 33 33 33  07  00 00 00 00  00 00 00 00  01 01 01 00  00 00 00 00  "
                      "00 00 00 00  00 00 00 01  00 00 00 00"));
}

TEST_F(RcParsers, LaterAnalogReplyWithAnotherModuleCountChangesOnlyTheGroupValue) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  Bytes before = cycle();
  Bytes four = analog_reply(4);
  four[1] = 0x43;  // another group value
  EXPECT_EQ(parse(&K426BRC::parse41_41, four), -1);
  Bytes after = cycle();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(slice(after, kGroupValue, 4), hex_bytes("43 48 00 00"));
  for (Bytes* snapshot : {&before, &after}) {
    std::fill(snapshot->begin() + kGroupValue, snapshot->begin() + kGroupValue + 4, 0);
    std::fill(snapshot->begin() + kTimeStamp, snapshot->begin() + kTimeStamp + 7, 0);
  }
  EXPECT_EQ(after, before);
  EXPECT_TRUE(logs().empty());
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105) << "the learnt count still fits";
}

TEST_F(RcParsers, ModuleWithWrongValueCountIsLoggedSkippedAndKeepsItsEarlierValues) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  // Module 1 announces two values (8 bytes), module 2 is well formed.
  const Bytes info = repeat_module(
      "00  42 48 00 00  02  51 00 00 00  02  AA BB CC DD  11 22 33 44", kAnalogModule, 1);
  EXPECT_EQ(parse(&K426BRC::parse41_41, info), static_cast<int>(info.size()));
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, module_at(0, 0), 9), hex_bytes("51 00 00 00  02  42 5C 00 00"));
  EXPECT_EQ(snapshot[module_at(1, 0)], 0x41);
  EXPECT_EQ(logs(), std::vector<std::string>{kPrefixRC + " read 41_41 p is 2 not 7"});
}

TEST_F(RcParsers, StateReplyForFewerModulesUpdatesOnlyThoseAndTooManyIsRefusedQuietly) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  EXPECT_EQ(parse(&K426BRC::parse41_43, state_reply(2)), 20);
  EXPECT_EQ(parse(&K426BRC::parse41_43, state_reply(4)), -1);
  const Bytes snapshot = cycle();
  for (std::size_t module = 0; module < 2; ++module)
    EXPECT_EQ(slice(snapshot, module_at(module, 33), 9), hex_bytes(kStateModule));
  EXPECT_EQ(slice(snapshot, module_at(2, 33), 9), Bytes(9, 0));
  EXPECT_TRUE(logs().empty());
}

TEST_F(RcParsers, StateModuleWithWrongCountSkipsWhatItAnnounced) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  const Bytes info = repeat_module("00 02  07 08 09  03  EE EE EE", kStateModule, 1);
  EXPECT_EQ(parse(&K426BRC::parse41_43, info), 2 + 7 + 9);
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, module_at(0, 33), 9), hex_bytes("07 08 09 03 00 00 00 00 00"));
  EXPECT_EQ(slice(snapshot, module_at(1, 33), 9), hex_bytes(kStateModule));
  EXPECT_EQ(logs(), std::vector<std::string>{kPrefixRC + " read 41_43 p is 3, not 5"});
}

TEST_F(RcParsers, AlarmReplyForTooManyModulesGivesZeroWithItsMessage) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  EXPECT_EQ(parse(&K426BRC::parse41_44, alarm_reply(3)), 0);
  EXPECT_EQ(logs(), std::vector<std::string>{
                        kPrefixRC + " parse p41_44 channel_count not equal 3 != 2 "});
}

TEST_F(RcParsers, AlarmModuleWithWrongCountStoresStateAndCountAndSkips) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  ASSERT_EQ(parse(&K426BRC::parse41_44, alarm_reply(2)), 20);
  const Bytes info = repeat_module("01 02  01 06  09 09 09 09 09 09", kAlarmModule, 1);
  EXPECT_EQ(parse(&K426BRC::parse41_44, info), 2 + 8 + 9);
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, module_at(0, 42), 9), hex_bytes("01 06  00 01 00 00 E1 00 00"));
  EXPECT_EQ(logs(), std::vector<std::string>{kPrefixRC + " read 41_44 p is 6, not 7"});
}

TEST_F(RcParsers, ParameterReply40_46CountsItsFurtherValuesWithoutReadingThem) {
  const Bytes five_values = hex_bytes(
      "01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  05 00 00 00");
  Bytes info = five_values;
  info.push_back(3);
  EXPECT_EQ(parse(&K426BRC::parse40_46, info), 33) << "length 21";
  info.resize(33, 0xEE);
  EXPECT_EQ(parse(&K426BRC::parse40_46, info), 33) << "length 33";
  info.resize(21);
  info[20] = 0;
  EXPECT_EQ(parse(&K426BRC::parse40_46, info), 21);
  EXPECT_EQ(slice(cycle(), 4, 20), five_values);
  EXPECT_TRUE(logs().empty());
}

TEST_F(RcParsers, ParameterReply42_46CopiesAsMuchOfTheBlockAsArrived) {
  Bytes info = hex_bytes("AA 00 00 00  BB 00 00 00  1A");
  for (int i = 0; i < 191; ++i) info.push_back(static_cast<unsigned char>(i + 1));
  EXPECT_EQ(parse(&K426BRC::parse42_46, info), 113) << "length 200";
  Bytes full = cycle();
  EXPECT_EQ(slice(full, 24, 9), hex_bytes("AA 00 00 00  BB 00 00 00  1A"));
  EXPECT_EQ(slice(full, 33, 104), slice(info, 9, 104));

  Bytes shorter = info;
  for (std::size_t i = 9; i < shorter.size(); ++i) shorter[i] = 0xC0;
  EXPECT_EQ(parse(&K426BRC::parse42_46, shorter, 60), 60);
  Bytes partial = cycle();
  EXPECT_EQ(slice(partial, 33, 51), Bytes(51, 0xC0));
  EXPECT_EQ(slice(partial, 33 + 51, 53), slice(info, 9 + 51, 53)) << "rest unchanged";
  EXPECT_TRUE(logs().empty());
}

TEST_F(RcParsers, ParameterReply42_46WithAnotherCountKeepsTheBlockAndSkipsIt) {
  Bytes info = hex_bytes("AA 00 00 00  BB 00 00 00  1A");
  info.resize(113, 0x5A);
  ASSERT_EQ(parse(&K426BRC::parse42_46, info), 113);
  const Bytes other = hex_bytes("CC 00 00 00  DD 00 00 00  19");
  EXPECT_EQ(parse(&K426BRC::parse42_46, other), 9 + 4 * 25);
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, 24, 9), other);
  EXPECT_EQ(slice(snapshot, 33, 104), Bytes(104, 0x5A));
  EXPECT_EQ(logs(), std::vector<std::string>{"TPW17E:ProcotolError parse42_46 287454020 p:25 != 26"});
}

// Every well-formed block cut short, each from a buffer of exactly the cut length: no read past
// it (ASan), and the reply is refused with an overrun message, or for the parameter replies
// gives what their counts say.
TEST_F(RcParsers, EveryTruncatedReplyIsRefusedWithoutReadingPastItsEnd) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  struct Block {
    const char* name;
    Parser parser;
    Bytes info;
  };
  Bytes parameters40_46(21, 0x01);
  parameters40_46[20] = 0;
  Bytes parameters42_46 = hex_bytes("AA 00 00 00  BB 00 00 00  1A");
  parameters42_46.resize(113, 0x5A);
  const Block blocks[] = {
      {"41_41", &K426BRC::parse41_41, analog_reply(3)},
      {"41_43", &K426BRC::parse41_43, state_reply(3)},
      {"41_44", &K426BRC::parse41_44, alarm_reply(3)},
      {"40_46", &K426BRC::parse40_46, parameters40_46},
      {"42_46", &K426BRC::parse42_46, parameters42_46},
  };
  for (const Block& block : blocks) {
    for (std::size_t length = 0; length < block.info.size(); ++length) {
      host.events->clear();
      const bool partial_block = block.parser == &K426BRC::parse42_46 && length >= 9;
      EXPECT_EQ(parse(block.parser, block.info, length),
                partial_block ? static_cast<int>(length) : -1)
          << block.name << " length " << length;
      if (!partial_block) {
        ASSERT_EQ(logs().size(), 1u) << block.name << " length " << length;
        EXPECT_EQ(logs()[0].rfind(kPrefixAC + " read " + block.name, 0), 0u) << logs()[0];
      }
    }
  }
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105) << "the module count survived";
}

TEST_F(RcParsers, OverrunMessagesReportWhereTheReadWouldHaveEnded) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(1), 30), -1);
  EXPECT_EQ(parse(&K426BRC::parse41_44, alarm_reply(1), 5), -1);
  const Bytes skip_past_end = hex_bytes("00  42 48 00 00  01  41 20 00 00  09  00 00 00 00");
  EXPECT_EQ(parse(&K426BRC::parse41_41, skip_past_end), -1);
  EXPECT_EQ(logs(), (std::vector<std::string>{
                        kPrefixAC + " read 41_41 in channel overflow 39 - 30",
                        kPrefixAC + " read 41_44 read overflow 11 - 5",
                        kPrefixRC + " read 41_41 p is 9 not 7",
                        kPrefixAC + " read 41_41 read overflow 47 - 15",
                    }));
}

TEST_F(RcParsers, ModuleRepliesBeforeAnyAnalogReplyCoverNoModule) {
  EXPECT_EQ(parse(&K426BRC::parse41_43, state_reply(1)), -1);
  EXPECT_EQ(parse(&K426BRC::parse41_44, alarm_reply(1)), 0);
  EXPECT_EQ(parse(&K426BRC::parse41_43, state_reply(0)), 2);
  // An analog reply for no module learns nothing, so the next one still sets the count.
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(0)), 6);
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  EXPECT_EQ(cycle().size(), kHead + 2 * kModule);
}

}  // namespace

// Each per-module count at its expected value and one below, and the parameter count: the exact
// message, none when the count is the expected one.
TEST_F(RcParsers, EveryCountAtItsExpectedValueIsTakenSilentlyAndAnotherIsLoggedExactly) {
  const std::string prefix = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 287454020 ";
  const auto module_reply = [](const std::string& header, int fixed, int count) {
    Bytes info = hex_bytes(header);
    info.insert(info.end(), fixed, 0x00);
    info.push_back(static_cast<unsigned char>(count));
    info.insert(info.end(), (fixed == 4 ? 4 : 1) * count, 0x00);
    return info;
  };
  const auto parameters = [](int count) {
    Bytes info(8, 0x00);
    info.push_back(static_cast<unsigned char>(count));
    info.insert(info.end(), 4 * count, 0x00);
    return info;
  };
  struct Row {
    const char* name;
    Parser parser;
    Bytes info;
    int result;
    std::string message;
  };
  const Row rows[] = {
      {"41_41 7", &K426BRC::parse41_41, module_reply("00 00 00 00 00 01", 4, 7), 39, ""},
      {"41_41 6", &K426BRC::parse41_41, module_reply("00 00 00 00 00 01", 4, 6), 35,
       prefix + "read 41_41 p is 6 not 7"},
      {"41_43 5", &K426BRC::parse41_43, module_reply("00 01", 3, 5), 11, ""},
      {"41_43 4", &K426BRC::parse41_43, module_reply("00 01", 3, 4), 10,
       prefix + "read 41_43 p is 4, not 5"},
      {"42_46 26", &K426BRC::parse42_46, parameters(26), 113, ""},
      {"42_46 25", &K426BRC::parse42_46, parameters(25), 109,
       "TPW17E:ProcotolError parse42_46 287454020 p:25 != 26"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unit = std::make_shared<K426BRC>();
    ASSERT_TRUE(unit->InitV(parent.get(), kRcDataId, Json::Value()));
    if (row.parser != &K426BRC::parse41_41) {
      ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
    }
    host.events->clear();
    EXPECT_EQ(parse(row.parser, row.info), row.result);
    EXPECT_EQ(logs(), row.message.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.message});
  }
}

TEST_F(RcParsers, ANullPointerWithAPositiveLengthIsRefusedWithoutReading) {
  for (Parser parser : {&K426BRC::parse41_41, &K426BRC::parse41_43, &K426BRC::parse41_44,
                        &K426BRC::parse40_46, &K426BRC::parse42_46})
    EXPECT_EQ((unit.get()->*parser)(nullptr, 200), -1);
  EXPECT_EQ(logs().size(), 5u);
  EXPECT_EQ(logs().front(), "PMBusPowerAC:ProcotolError 287454020 read 41_41 read overflow 6 - 200");
}
