// Every fault kind spoils a reply in the way its name says; scripted faults hit the cycle and
// query they name; random faults follow their rate and seed.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/sim/sim_test_support.h"

namespace {

using k426b_sim::DefaultScenario;
using k426b_sim::FaultKind;
using k426b_sim::Scenario;
using k426b_sim::ScriptedFault;
using k426b_sim::Simulator;
using k426b_sim::SimulatorOptions;
using sim_test::Ask;
using sim_test::AskText;
using sim_test::Decode;

zvk::DecodeStatus StatusOf(const std::string& text) {
  zvk::Frame frame;
  return zvk::DecodeFrameBody(std::string_view(text).substr(1, text.size() - 2), frame);
}

Scenario WithFault(FaultKind kind, const char* query, std::optional<int> cycle = std::nullopt,
                   int count = 1) {
  Scenario scenario = DefaultScenario();
  ScriptedFault fault;
  fault.kind = kind;
  if (query != nullptr) fault.query = query;
  fault.cycle = cycle;
  fault.count = count;
  scenario.faults.assign(1, fault);
  return scenario;
}

struct FaultRow {
  FaultKind kind;
  const char* query;
  unsigned char cid1, cid2;
  // Checks the spoilt text against the intact reply.
  std::function<void(const std::string& spoilt, const std::string& intact)> check;
};

TEST(SimulatorFaults, EachKindSpoilsTheReplyAsItsNameSays) {
  const std::vector<FaultRow> rows = {
      {FaultKind::kBadChksum, "40_41", 0x40, 0x41,
       [](const std::string& spoilt, const std::string& intact) {
         EXPECT_EQ(StatusOf(spoilt), zvk::DecodeStatus::kBadChksum);
         EXPECT_EQ(spoilt.substr(0, spoilt.size() - 5), intact.substr(0, intact.size() - 5));
       }},
      {FaultKind::kBadLchksum, "42_46", 0x42, 0x46,
       [](const std::string& spoilt, const std::string& intact) {
         EXPECT_EQ(StatusOf(spoilt), zvk::DecodeStatus::kBadLchksum);
         EXPECT_EQ(spoilt.substr(10, spoilt.size() - 15), intact.substr(10, intact.size() - 15));
       }},
      {FaultKind::kNoReply, "40_51", 0x40, 0x51,
       [](const std::string& spoilt, const std::string&) { EXPECT_EQ(spoilt, ""); }},
      {FaultKind::kTruncated, "41_41", 0x41, 0x41,
       [](const std::string& spoilt, const std::string& intact) {
         EXPECT_FALSE(spoilt.empty());
         EXPECT_EQ(intact.compare(0, spoilt.size(), spoilt), 0);
         zvk::FrameDecoder decoder;
         EXPECT_TRUE(decoder.Feed(reinterpret_cast<const unsigned char*>(spoilt.data()), spoilt.size()).empty());
         EXPECT_TRUE(decoder.InFrame());
       }},
      {FaultKind::kNoise, "42_44", 0x42, 0x44,
       [](const std::string& spoilt, const std::string& intact) {
         ASSERT_GT(spoilt.size(), intact.size());
         EXPECT_EQ(spoilt.substr(spoilt.size() - intact.size()), intact);
         const auto events = Decode(spoilt);
         ASSERT_EQ(events.size(), 2u);
         EXPECT_FALSE(events[0].ok);
         EXPECT_TRUE(events[1].ok);
       }},
      {FaultKind::kWrongCid1, "42_41", 0x42, 0x41,
       [](const std::string& spoilt, const std::string& intact) {
         const auto events = Decode(spoilt);
         ASSERT_TRUE(events.at(0).ok);
         EXPECT_EQ(events[0].frame.cid1, 0x40);
         EXPECT_EQ(events[0].frame.info, Decode(intact).at(0).frame.info);
       }},
      {FaultKind::kWrongUnitCount, "40_41", 0x40, 0x41,
       [](const std::string& spoilt, const std::string&) {
         EXPECT_EQ(Decode(spoilt).at(0).frame.info.at(1), 0x03) << "two AC units configured";
       }},
      {FaultKind::kWrongUnitCount, "41_41", 0x41, 0x41,
       [](const std::string& spoilt, const std::string&) {
         EXPECT_EQ(Decode(spoilt).at(0).frame.info.at(5), 0x04) << "three modules";
       }},
      {FaultKind::kRtnError, "41_43", 0x41, 0x43,
       [](const std::string& spoilt, const std::string&) {
         const auto events = Decode(spoilt);
         ASSERT_TRUE(events.at(0).ok);
         EXPECT_EQ(events[0].frame.cid1, 0x41);
         EXPECT_EQ(events[0].frame.cid2, zvk::kRtnInvalidData);
         EXPECT_TRUE(events[0].frame.info.empty());
       }},
      {FaultKind::kOverlongCount, "40_43", 0x40, 0x43,
       [](const std::string& spoilt, const std::string& intact) {
         Bytes expected = Decode(intact).at(0).frame.info;
         expected.at(2) = 0xFF;  // the first unit's switch count
         EXPECT_EQ(Decode(spoilt).at(0).frame.info, expected);
       }},
      {FaultKind::kOverlongCount, "42_44", 0x42, 0x44,
       [](const std::string& spoilt, const std::string& intact) {
         Bytes expected = Decode(intact).at(0).frame.info;
         expected.at(3) = 0xFF;  // the first unit's fuse count
         EXPECT_EQ(Decode(spoilt).at(0).frame.info, expected);
       }},
  };
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(std::string(k426b_sim::FaultName(row.kind)) + " on " + row.query);
    Simulator spoiling(WithFault(row.kind, row.query));
    Simulator clean(DefaultScenario());
    const std::string spoilt = AskText(spoiling, row.cid1, row.cid2);
    const std::string intact = AskText(clean, row.cid1, row.cid2);
    row.check(spoilt, intact);
    ASSERT_EQ(spoiling.Faults().size(), 1u);
    EXPECT_EQ(spoiling.Faults()[0].kind, row.kind);
    EXPECT_EQ(AskText(spoiling, row.cid1, row.cid2), intact) << "a fault of count 1 spoils one reply";
  }
}

TEST(SimulatorFaults, AScriptedFaultWaitsForItsCycleAndQuery) {
  Simulator simulator(WithFault(FaultKind::kBadChksum, "41_44", 2, 2));
  sim_test::RunCycle(simulator);
  EXPECT_TRUE(simulator.Faults().empty());

  for (const char* round : {"first", "second"}) {
    SCOPED_TRACE(round);
    EXPECT_EQ(StatusOf(AskText(simulator, 0x41, 0x44)), zvk::DecodeStatus::kBadChksum);
  }
  EXPECT_EQ(StatusOf(AskText(simulator, 0x41, 0x44)), zvk::DecodeStatus::kOk);
  ASSERT_EQ(simulator.Faults().size(), 2u);
  EXPECT_EQ(simulator.Faults()[0].cycle, 2);
  EXPECT_EQ(simulator.Faults()[0].query, "41_44");
}

TEST(SimulatorFaults, AFaultWithoutQueryPassesOverRepliesItCannotSpoil) {
  Simulator simulator(WithFault(FaultKind::kWrongUnitCount, nullptr));
  EXPECT_EQ(StatusOf(AskText(simulator, 0x40, 0x51)), zvk::DecodeStatus::kOk);
  EXPECT_TRUE(simulator.Faults().empty());
  EXPECT_EQ(Ask(simulator, 0x40, 0x41).info.at(1), 0x03);
}

std::vector<std::string> FaultsOfCycles(const SimulatorOptions& options, int cycles) {
  Simulator simulator(DefaultScenario(), options);
  for (int i = 0; i < cycles; ++i)
    for (const auto& [cid1, cid2] : sim_test::kFullCycle) AskText(simulator, cid1, cid2);
  std::vector<std::string> faults;
  for (const k426b_sim::AppliedFault& fault : simulator.Faults())
    faults.push_back(std::to_string(fault.cycle) + " " + fault.query + " " + k426b_sim::FaultName(fault.kind));
  return faults;
}

TEST(SimulatorFaults, RandomFaultsFollowTheirRateSeedAndKinds) {
  SimulatorOptions options;
  options.fault_rate = 0.1;
  options.seed = 7;
  const std::vector<std::string> faults = FaultsOfCycles(options, 100);
  EXPECT_GT(faults.size(), 60u);
  EXPECT_LT(faults.size(), 140u);
  EXPECT_EQ(FaultsOfCycles(options, 100), faults) << "same seed, same faults";
  options.seed = 8;
  EXPECT_NE(FaultsOfCycles(options, 100), faults);

  options.fault_rate = 1.0;
  EXPECT_EQ(FaultsOfCycles(options, 1).size(), 10u);
  options.rate_kinds = {FaultKind::kNoise};
  for (const std::string& fault : FaultsOfCycles(options, 1))
    EXPECT_NE(fault.find(" noise"), std::string::npos) << fault;

  options.fault_rate = 0.0;
  EXPECT_TRUE(FaultsOfCycles(options, 10).empty());
}

}  // namespace
