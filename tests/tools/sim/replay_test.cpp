// Record files and their replay: each query is answered with what followed the next recorded
// query of the same kind.

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/sim/sim_test_support.h"
#include "tools/sim/engine/record_file.h"

namespace {

using k426b_sim::Direction;
using k426b_sim::ReadRecord;
using k426b_sim::RecordEntry;
using k426b_sim::Replayer;
using k426b_sim::ScenarioError;
using sim_test::QueryText;

RecordEntry Entry(double t, Direction dir, const std::string& text) {
  return RecordEntry{t, dir, Bytes(text.begin(), text.end())};
}

std::vector<std::string> Send(Replayer& replayer, const std::string& text) {
  return replayer.OnBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(Record, LinesReadBackAsTheyWereWritten) {
  const std::vector<RecordEntry> entries = {Entry(0.012, Direction::kTx, QueryText(0x40, 0x51)),
                                            Entry(0.25, Direction::kRx, "~2001")};
  std::ostringstream file;
  for (const RecordEntry& entry : entries) file << FormatRecordLine(entry) << "\n";
  EXPECT_EQ(FormatRecordLine(entries[1]), R"({"dir":"rx","hex":"7E32303031","t":0.25})");

  std::istringstream in(file.str() + "\n");
  const std::vector<RecordEntry> read = ReadRecord(in, "record");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].bytes, entries[0].bytes);
  EXPECT_EQ(read[1].dir, Direction::kRx);
  EXPECT_DOUBLE_EQ(read[1].t, 0.25);
}

TEST(Record, ABadLineIsRefusedWithItsNumber) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"not json", "rec:2: not a JSON object"},
      {R"({"t": "soon", "dir": "tx", "hex": ""})", "rec:2: \"t\" must be a number"},
      {R"({"t": 1, "dir": "up", "hex": ""})", "rec:2: \"dir\" must be \"tx\" or \"rx\""},
      {R"({"t": 1, "dir": "rx", "hex": "7E3"})", "rec:2: \"hex\" must be hexadecimal text"},
      {std::string(1001, '[') + std::string(1001, ']'),
       "rec:2: not usable JSON: Exceeded stackLimit in readValue()."},
  };
  for (const auto& [line, message] : rows) {
    SCOPED_TRACE(line);
    std::istringstream in(R"({"t": 0, "dir": "tx", "hex": ""})" "\n" + line + "\n");
    try {
      ReadRecord(in, "rec");
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& error) {
      EXPECT_EQ(std::string(error.what()), message);
    }
  }
}

TEST(Replay, AnswersEachQueryWithTheBytesThatFollowedItsRecordedTwin) {
  const std::string model_reply = "~20014000...\r";
  const std::string ac_reply = "~AC-REPLY\r";
  const std::string rc_reply = "~RC-REPLY\r";
  const std::vector<RecordEntry> entries = {
      Entry(0.0, Direction::kRx, "stray bytes before any query"),
      Entry(0.1, Direction::kTx, QueryText(0x40, 0x51)),
      Entry(0.2, Direction::kRx, model_reply),
      Entry(0.3, Direction::kTx, QueryText(0x40, 0x41)),
      Entry(0.4, Direction::kRx, ac_reply.substr(0, 4)),
      Entry(0.5, Direction::kRx, ac_reply.substr(4)),
      Entry(1.9, Direction::kTx, QueryText(0x40, 0x43)),  // timed out: no answer recorded
      Entry(3.5, Direction::kTx, QueryText(0x40, 0x43)),
      Entry(3.6, Direction::kRx, "~SW\r"),
      Entry(3.7, Direction::kTx, QueryText(0x41, 0x41)),
      Entry(3.8, Direction::kRx, rc_reply),
  };
  Replayer replayer(entries);
  EXPECT_EQ(replayer.ExchangeCount(), 5u);

  EXPECT_EQ(Send(replayer, QueryText(0x40, 0x51)), std::vector<std::string>{model_reply});
  EXPECT_EQ(Send(replayer, QueryText(0x40, 0x41)), std::vector<std::string>{ac_reply}) << "chunks joined";
  EXPECT_TRUE(Send(replayer, QueryText(0x40, 0x43)).empty()) << "the recorded time-out";
  EXPECT_EQ(Send(replayer, QueryText(0x41, 0x41)), std::vector<std::string>{rc_reply})
      << "passes over the exchange the driver did not repeat";
  EXPECT_EQ(replayer.ExchangesLeft(), 0u);
  EXPECT_TRUE(Send(replayer, QueryText(0x40, 0x41)).empty()) << "record used up";
}

}  // namespace
