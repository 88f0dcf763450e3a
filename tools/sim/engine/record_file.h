#pragma once

// Record files: the raw serial bytes of both directions with time stamps, one JSON object a
// line, as `k426b-host --record FILE` writes them and `k426b-sim --replay FILE` reads them:
//
//   {"t": 0.532, "dir": "tx", "hex": "7E32303031343034314530303246464644313..."}
//   {"t": 0.581, "dir": "rx", "hex": "7E3230303134303030..."}
//
// "t": seconds since recording began; "dir": "tx" for bytes the host sent (queries), "rx" for
// bytes it received; "hex": the bytes exactly as they crossed the line, upper-case hex, in
// whatever chunks the port delivered them.

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/engine/simulator.h"

namespace k426b_sim {

enum class Direction { kTx, kRx };

struct RecordEntry {
  double t = 0.0;
  Direction dir = Direction::kTx;
  std::vector<unsigned char> bytes;
};

// One line, without its line break.
std::string FormatRecordLine(const RecordEntry& entry);
// Throws ScenarioError naming the line and the problem.
std::vector<RecordEntry> ReadRecord(std::istream& in, const std::string& name);
std::vector<RecordEntry> ReadRecordFile(const std::string& path);

// Answers each query with the received bytes that followed the next recorded query with the
// same CID1 and CID2; recorded exchanges in between are passed over. A query without such an
// exchange left, or whose recorded query got no answer, is not answered.
class Replayer : public Responder {
 public:
  explicit Replayer(const std::vector<RecordEntry>& entries);

  std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) override;

  std::size_t ExchangesLeft() const { return exchanges_.size() - next_; }
  std::size_t ExchangeCount() const { return exchanges_.size(); }

 private:
  struct Exchange {
    unsigned char cid1;
    unsigned char cid2;
    std::string answer;
  };

  zvk::FrameDecoder decoder_;
  std::vector<Exchange> exchanges_;
  std::size_t next_ = 0;
};

}  // namespace k426b_sim
