// The simulator answers the poll cycle with frames the host's codec decodes into the layouts
// the driver's parsers expect.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/sim/sim_test_support.h"
#include "tools/sim/engine/golden_replies.h"

namespace {

using k426b_sim::DefaultScenario;
using k426b_sim::Scenario;
using k426b_sim::Simulator;
using sim_test::Ask;
using sim_test::AskText;
using sim_test::Decode;
using sim_test::QueryText;

TEST(SimulatorCycle, AnswersEveryQueryOfAFirstCycleWithTheGoldenReplies) {
  Simulator simulator(DefaultScenario());
  for (const k426b_golden::GoldenReply& golden : k426b_golden::kDefaultCycle) {
    SCOPED_TRACE(testing::Message() << std::hex << int(golden.cid1) << "/" << int(golden.cid2));
    const zvk::Frame reply = Ask(simulator, golden.cid1, golden.cid2);
    EXPECT_EQ(reply.ver, 0x20);
    EXPECT_EQ(reply.adr, 1);
    EXPECT_EQ(reply.cid1, golden.cid1);
    EXPECT_EQ(reply.cid2, zvk::kRtnNormal);
    EXPECT_EQ(zvk::ToHex(reply.info), zvk::ToHex(hex_bytes(golden.info)));
  }
  EXPECT_EQ(simulator.Cycle(), 1);
}

TEST(SimulatorCycle, TheAcReplyIsTheDataFlagTheUnitCountAndOneBlockPerUnit) {
  Simulator simulator(DefaultScenario());
  Bytes expected = hex_bytes("00 02");
  for (const char* block : {k426b_golden::kAcAnalogBlock220, k426b_golden::kAcAnalogBlock230}) {
    const Bytes bytes = hex_bytes(block);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(Ask(simulator, 0x40, 0x41).info, expected);
}

TEST(SimulatorCycle, AnswersAQueryStreamInAnyChunkingAndTwoQueriesInOneRead) {
  Simulator simulator(DefaultScenario());
  const std::string stream = QueryText(0x40, 0x51) + QueryText(0x40, 0x41) + QueryText(0x41, 0x41);
  std::vector<std::string> replies;
  for (std::size_t i = 0; i < stream.size(); i += 5) {
    const std::string chunk = stream.substr(i, 5);
    for (std::string& reply :
         simulator.OnBytes(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size()))
      replies.push_back(std::move(reply));
  }
  ASSERT_EQ(replies.size(), 3u);
  std::string together = QueryText(0x42, 0x41) + QueryText(0x42, 0x44);
  EXPECT_EQ(simulator.OnBytes(reinterpret_cast<const unsigned char*>(together.data()), together.size()).size(), 2u);
}

TEST(SimulatorCycle, RepliesEchoTheQueryVersionAndCarryTheScenarioAddress) {
  Scenario scenario = DefaultScenario();
  scenario.address = 7;
  scenario.version.reset();
  Simulator simulator(scenario);
  const std::string query = QueryText(0x42, 0x41, 0x21, 7);
  const std::vector<std::string> replies =
      simulator.OnBytes(reinterpret_cast<const unsigned char*>(query.data()), query.size());
  ASSERT_EQ(replies.size(), 1u);
  const auto events = Decode(replies[0]);
  ASSERT_TRUE(events.at(0).ok);
  EXPECT_EQ(events[0].frame.ver, 0x21);
  EXPECT_EQ(events[0].frame.adr, 7);
}

struct OddQueryRow {
  const char* name;
  std::string query;
  int rtn;  // -1: no reply
};

TEST(SimulatorCycle, AnswersOddQueriesAsTheEquipmentDoes) {
  const std::string good = QueryText(0x40, 0x41);
  std::string bad_chksum = good;
  bad_chksum[bad_chksum.size() - 2] = bad_chksum[bad_chksum.size() - 2] == '0' ? '1' : '0';
  // ~ 20 01 40 41 E002 FF ...: LCHKSUM E becomes F, CHKSUM made to match.
  std::string bad_lchksum = good.substr(0, 9) + "F002FF";
  const uint16_t sum = zvk::FrameChecksum(std::string_view(bad_lchksum).substr(1));
  const unsigned char sum_bytes[] = {static_cast<unsigned char>(sum >> 8), static_cast<unsigned char>(sum)};
  bad_lchksum += zvk::ToHex(sum_bytes, 2) + "\r";

  const std::vector<OddQueryRow> rows = {
      {"unknown CID2", QueryText(0x40, 0x47), zvk::kRtnCid2Invalid},
      {"unknown CID1", QueryText(0x45, 0x41), zvk::kRtnCid2Invalid},
      {"another protocol version", QueryText(0x40, 0x41, 0x21), zvk::kRtnVerError},
      {"bad CHKSUM", bad_chksum, zvk::kRtnChksumError},
      {"bad LCHKSUM", bad_lchksum, zvk::kRtnLchksumError},
      {"another address", QueryText(0x40, 0x41, 0x20, 2), -1},
      {"bad CHKSUM for another address", QueryText(0x40, 0x41, 0x20, 2).substr(0, 15) + "0000\r", -1},
  };
  for (const OddQueryRow& row : rows) {
    SCOPED_TRACE(row.name);
    Simulator simulator(DefaultScenario());
    const std::vector<std::string> replies =
        simulator.OnBytes(reinterpret_cast<const unsigned char*>(row.query.data()), row.query.size());
    if (row.rtn < 0) {
      EXPECT_TRUE(replies.empty());
      continue;
    }
    ASSERT_EQ(replies.size(), 1u);
    const auto events = Decode(replies[0]);
    ASSERT_TRUE(events.at(0).ok);
    EXPECT_EQ(events[0].frame.cid2, row.rtn);
    EXPECT_TRUE(events[0].frame.info.empty());
  }
}

TEST(SimulatorCycle, AMissingReadingGoesOutAsTheNoValueMarker) {
  Scenario scenario = DefaultScenario();
  scenario.ac_units.resize(1);
  scenario.ac_units[0].ia.reset();
  scenario.dc_units[0].user_values = {std::nullopt, 0.0f};
  Simulator simulator(scenario);

  const Bytes ac = Ask(simulator, 0x40, 0x41).info;
  EXPECT_EQ(Bytes(ac.end() - 12, ac.end() - 8), hex_bytes("20 20 20 20"));
  const Bytes dc = Ask(simulator, 0x42, 0x41).info;
  EXPECT_EQ(Bytes(dc.end() - 9, dc.end()), hex_bytes("02 20 20 20 20 00 00 00 00"));
}

TEST(SimulatorCycle, ListLengthsGoOutAsTheCountBytesSoUnusualCountsCanBeSent) {
  Scenario scenario = DefaultScenario();
  scenario.ac_units.resize(1);
  scenario.ac_units[0].switches = {1, 0, 1};
  scenario.ac_units[0].user_switches = {5, 6, 7};
  scenario.rectifier.modules.resize(1);
  scenario.rectifier.modules[0].extra_alarms = {1, 2};
  Simulator simulator(scenario);

  EXPECT_EQ(Ask(simulator, 0x40, 0x43).info, hex_bytes("00 01  03 01 00 01  03 05 06 07"));
  EXPECT_EQ(Ask(simulator, 0x41, 0x44).info, hex_bytes("00 01  00 02 01 02"));
}

TEST(SimulatorCycle, ASystemWithoutAcOrDcUnitsStillAnswersWithZeroCounts) {
  Scenario scenario = DefaultScenario();
  scenario.ac_units.clear();
  scenario.dc_units.clear();
  scenario.rectifier.modules.clear();
  Simulator simulator(scenario);

  EXPECT_EQ(Ask(simulator, 0x40, 0x41).info, hex_bytes("00 00"));
  EXPECT_EQ(Ask(simulator, 0x42, 0x44).info, hex_bytes("00 00"));
  EXPECT_EQ(Ask(simulator, 0x41, 0x41).info, hex_bytes("00  00 00 56 42  00"));
}

}  // namespace
