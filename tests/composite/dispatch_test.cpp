// How one reply's information bytes are shared out among the children, seen through stand-in
// units that log what each was handed.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "composite/pmbus_power.h"
#include "tests/composite/k426b_fixture.h"
#include "tests/support/test_clock.h"

namespace {

using Strings = std::vector<std::string>;

// A stand-in unit whose blocks describe themselves: a block's first byte is its length, and a
// block starting with EE is refused. Rectifier parsers take everything they are given, unless
// it starts with EE.
class StandInUnit : public ZVKSPDevice {
 public:
  StandInUnit() = default;
  explicit StandInUnit(const std::string&) {}

  int parse40_41(const unsigned char* info, int length) { return Block("40_41", info, length); }
  int parse40_43(const unsigned char* info, int length) { return Block("40_43", info, length); }
  int parse40_44(const unsigned char* info, int length) { return Block("40_44", info, length); }
  int parse42_41(const unsigned char* info, int length) { return Block("42_41", info, length); }
  int parse42_44(const unsigned char* info, int length) { return Block("42_44", info, length); }
  int parse41_41(const unsigned char* info, int length) { return Whole("41_41", info, length); }
  int parse41_43(const unsigned char* info, int length) { return Whole("41_43", info, length); }
  int parse41_44(const unsigned char* info, int length) { return Whole("41_44", info, length); }
  int parse40_46(const unsigned char* info, int length) { return Whole("40_46", info, length); }
  int parse42_46(const unsigned char* info, int length) { return Whole("42_46", info, length); }

  void RoundDone() override {
    const unsigned char snapshot[1] = {0};
    SendSP(1, snapshot, 1, false);
  }

 private:
  int Block(const char* reply, const unsigned char* info, int length) {
    if (length <= 0) {
      InfoLog(("unit {} " + std::string(reply) + " handed nothing").c_str(), data_id_);
      return -1;
    }
    InfoLog(("unit {} " + std::string(reply) + " from {:02X} length {}").c_str(), data_id_,
            static_cast<unsigned>(info[0]), length);
    return info[0] == 0xEE ? -1 : info[0];
  }
  int Whole(const char* reply, const unsigned char* info, int length) {
    if (length <= 0) {
      InfoLog(("unit {} " + std::string(reply) + " handed nothing").c_str(), data_id_);
      return -1;
    }
    InfoLog(("unit {} " + std::string(reply) + " from {:02X} length {}").c_str(), data_id_,
            static_cast<unsigned>(info[0]), length);
    return info[0] == 0xEE ? -1 : length;
  }
};

class StandInComposite : public PMBusPower<StandInUnit, StandInUnit, StandInUnit> {
 public:
  StandInComposite() : PMBusPower(std::vector<std::string>{"K426B"}) { device_type_ = "k426b"; }
};

class Dispatch : public ::testing::Test {
 protected:
  // AC units 1..ac, DC units 11.., and answers that carry each group through the cycle.
  void Start(unsigned ac, unsigned dc) {
    std::vector<unsigned> ac_ids;
    std::vector<unsigned> dc_ids;
    for (unsigned i = 1; i <= ac; ++i) ac_ids.push_back(i);
    for (unsigned i = 11; i <= 10 + dc; ++i) dc_ids.push_back(i);
    ASSERT_TRUE(device->Init(host.controller, kCompositeId, composite_config(ac_ids, dc_ids)));
    Bytes ac_reply{0x00, static_cast<unsigned char>(ac)};
    Bytes dc_reply{0x00, static_cast<unsigned char>(dc)};
    for (unsigned i = 0; i < ac; ++i) ac_reply.push_back(0x01);
    for (unsigned i = 0; i < dc; ++i) dc_reply.push_back(0x01);
    equipment.Answer(0x40, 0x51, k426b_replies::model_field("K426B"));
    for (unsigned char cid2 : {0x41, 0x43, 0x44}) equipment.Answer(0x40, cid2, ac_reply);
    for (unsigned char cid2 : {0x41, 0x44}) equipment.Answer(0x42, cid2, dc_reply);
    for (unsigned char cid2 : {0x41, 0x43, 0x44}) equipment.Answer(0x41, cid2, Bytes{0x00});
    equipment.Answer(0x40, 0x46, Bytes{0x00});
    equipment.Answer(0x42, 0x46, Bytes{0x00});
  }
  Strings UnitLogs(const std::string& reply) const {
    Strings lines;
    for (const std::string& line : host.events->log_texts())
      if (line.find(" " + reply + " ") != std::string::npos) lines.push_back(line);
    return lines;
  }

  TestClock clock;
  RecordingHost host;
  std::shared_ptr<StandInComposite> device = std::make_shared<StandInComposite>();
  ScriptedEquipment equipment{*device};
};

TEST_F(Dispatch, EachAcUnitStartsWhereThePreviousOneStopped) {
  Start(3, 1);
  equipment.Answer(0x40, 0x41, hex_bytes("00 03  03 AA BB  02 CC  04 DD EE FF"));

  equipment.Poll();

  EXPECT_EQ(UnitLogs("40_41"), (Strings{"unit 1 40_41 from 03 length 9",
                                        "unit 2 40_41 from 02 length 6",
                                        "unit 3 40_41 from 04 length 4"}));
  EXPECT_EQ(host.events->cycles(), (std::vector<unsigned>{1}));
}

TEST_F(Dispatch, ARefusedBlockStopsTheReplyBeforeTheNextUnit) {
  Start(3, 1);
  equipment.AnswerOnce(0x40, 0x44, {0x40, hex_bytes("00 03  01  EE  01")});

  equipment.Poll();

  EXPECT_EQ(UnitLogs("40_44"),
            (Strings{"unit 1 40_44 from 01 length 3", "unit 2 40_44 from EE length 2"}));
  EXPECT_EQ(query_names(*host.events).back(), "40/44");
}

TEST_F(Dispatch, AUnitLeftWithNothingFailsByItselfAndOneReachingPastTheReplyStopsTheRest) {
  Start(2, 1);
  // The first unit's block takes every byte: the second is handed length 0 and refuses.
  equipment.AnswerOnce(0x40, 0x41, {0x40, hex_bytes("00 02  03 AA BB")});
  // The first unit's block reaches past the reply: the second is not called at all.
  equipment.AnswerOnce(0x40, 0x41, {0x40, hex_bytes("00 02  07 AA BB")});

  equipment.Poll();
  equipment.PollNow();

  EXPECT_EQ(UnitLogs("40_41"),
            (Strings{"unit 1 40_41 from 03 length 3", "unit 2 40_41 handed nothing",
                     "unit 1 40_41 from 07 length 3"}));
  EXPECT_EQ(query_names(*host.events), (Strings{"40/51", "40/41", "40/41"}));
  EXPECT_TRUE(host.events->cycles().empty());
}

TEST_F(Dispatch, AnAcReplyWithoutItsUnitCountIsNotHandedToAnyUnit) {
  Start(1, 1);
  equipment.AnswerOnce(0x40, 0x41, {0x40, hex_bytes("00")});

  equipment.Poll();

  EXPECT_EQ(host.events->log_texts(), Strings{});
  EXPECT_EQ(query_names(*host.events), (Strings{"40/51", "40/41"}));
}

TEST_F(Dispatch, DcAnalogDataStartsAtTheCountByteWhenMoreThanThreeUnitsReport) {
  Start(1, 4);
  equipment.Answer(0x42, 0x41, hex_bytes("00 04 AA AA AA  01  01  01"));

  equipment.Poll();

  EXPECT_EQ(UnitLogs("42_41"), (Strings{"unit 11 42_41 from 04 length 7",
                                        "unit 12 42_41 from 01 length 3",
                                        "unit 13 42_41 from 01 length 2",
                                        "unit 14 42_41 from 01 length 1"}));
  EXPECT_EQ(UnitLogs("42_44").front(), "unit 11 42_44 from 01 length 4");
}

TEST_F(Dispatch, DcAnalogDataStartsBehindTheCountForUpToThreeUnits) {
  Start(1, 3);
  equipment.Answer(0x42, 0x41, hex_bytes("00 03  01  02 AA  01"));

  equipment.Poll();

  EXPECT_EQ(UnitLogs("42_41"), (Strings{"unit 11 42_41 from 01 length 4",
                                        "unit 12 42_41 from 02 length 3",
                                        "unit 13 42_41 from 01 length 1"}));
}

TEST_F(Dispatch, ADcUnitReachingPastTheReplyIsLoggedAndTheCycleGoesOn) {
  Start(1, 1);
  equipment.Answer(0x42, 0x41, hex_bytes("00 01  09 AA"));
  equipment.Answer(0x42, 0x44, hex_bytes("00 01  05"));

  equipment.Poll();

  EXPECT_EQ(host.events->cycles(), (std::vector<unsigned>{1}));
  const Strings logs = host.events->log_texts();
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "PMBusPower:ProcotolError 100 parse 42_41 overflow memory boundary"),
            logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "PMBusPower:ProcotolError 100 parse 42_44 overflow memory boundary"),
            logs.end());
}

TEST_F(Dispatch, TheRectifierIsHandedTheWholeReplyDataFlagIncluded) {
  Start(1, 1);
  equipment.Answer(0x41, 0x41, hex_bytes("5A 01 02 03"));
  equipment.Answer(0x40, 0x46, hex_bytes("77 01"));

  equipment.Poll();

  EXPECT_EQ(UnitLogs("41_41"), (Strings{"unit 100 41_41 from 5A length 4"}));
  EXPECT_EQ(UnitLogs("40_46"), (Strings{"unit 100 40_46 from 77 length 2"}));
}

TEST_F(Dispatch, AnEmptyRectifierReplyIsHandedOverAndRefusedByTheRectifier) {
  Start(1, 1);
  equipment.AnswerOnce(0x41, 0x43, {0x41, Bytes{}});

  equipment.Poll();

  EXPECT_EQ(UnitLogs("41_43"), Strings{"unit 100 41_43 handed nothing"});
  EXPECT_EQ(host.events->log_texts().back(),
            "PMBusPower:ProcotolError 100 parse p41_43 overflow memory boundary");
  EXPECT_EQ(query_names(*host.events).back(), "41/43");
}

// Every poll state that hands a reply to a parser: a parser's -1 keeps the query without a
// message of the composite device's own, and no later child of that reply is called.
TEST(DispatchRefusal, AParserRefusingItsBlockKeepsTheQueryQuietlyInEveryPollState) {
  TestClock clock;
  RecordingHost host;
  const auto UnitLogs = [&host](const std::string& reply) {
    Strings lines;
    for (const std::string& line : host.events->log_texts())
      if (line.find(" " + reply + " ") != std::string::npos) lines.push_back(line);
    return lines;
  };
  struct Row {
    int poll_state;
    unsigned char cid1;
    unsigned char cid2;
    const char* reply;
    const char* refused;  // the one unit line the reply gives
  };
  const Row rows[] = {
      {0, 0x40, 0x41, "00 02  EE  01", "unit 1 40_41 from EE length 2"},
      {1, 0x40, 0x43, "00 02  EE  01", "unit 1 40_43 from EE length 2"},
      {2, 0x40, 0x44, "00 02  EE  01", "unit 1 40_44 from EE length 2"},
      {7, 0x42, 0x41, "00 02  EE  01", "unit 11 42_41 from EE length 2"},
      {8, 0x42, 0x44, "00 02  EE  01", "unit 11 42_44 from EE length 2"},
      {3, 0x40, 0x46, "EE 01", "unit 100 40_46 from EE length 2"},
      {9, 0x42, 0x46, "EE 01", "unit 100 42_46 from EE length 2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.poll_state);
    host.events->clear();
    auto composite = std::make_shared<StandInComposite>();
    ScriptedEquipment line{*composite};
    ASSERT_TRUE(composite->Init(host.controller, kCompositeId, composite_config({1, 2}, {11, 12})));
    for (unsigned char cid2 : {0x41, 0x43, 0x44}) line.Answer(0x40, cid2, hex_bytes("00 02 01 01"));
    for (unsigned char cid2 : {0x41, 0x44}) line.Answer(0x42, cid2, hex_bytes("00 02 01 01"));
    for (unsigned char cid2 : {0x41, 0x43, 0x44}) line.Answer(0x41, cid2, Bytes{0x00});
    line.Answer(0x40, 0x46, Bytes{0x00});
    line.Answer(0x42, 0x46, Bytes{0x00});
    line.Answer(0x40, 0x51, k426b_replies::model_field("K426B"));
    line.AnswerOnce(row.cid1, row.cid2, {row.cid1, hex_bytes(row.reply)});

    line.Poll();

    char block[6];
    std::snprintf(block, sizeof block, "%02X_%02X", row.cid1, row.cid2);
    EXPECT_EQ(UnitLogs(block), Strings{row.refused});
    for (const std::string& text : host.events->log_texts())
      EXPECT_EQ(text.rfind("PMBusPower", 0), std::string::npos) << text;
    EXPECT_EQ(composite->PollState(), row.poll_state);
    EXPECT_EQ(composite->Busy(), 0);
    EXPECT_TRUE(host.events->cycles().empty());

    const std::size_t sent = host.events->queries().size();
    line.PollNow();
    const std::vector<RecordedQuery> queries = host.events->queries();
    ASSERT_GT(queries.size(), sent);
    EXPECT_EQ(queries[sent].cid1, row.cid1);
    EXPECT_EQ(queries[sent].cid2, row.cid2);
    EXPECT_EQ(host.events->cycles(), (std::vector<unsigned>{1}));
  }
}

}  // namespace
