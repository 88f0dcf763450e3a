#pragma once

// One site's live frame trace: the last frames that crossed its line, oldest first. The site's
// serial thread adds each frame as it goes by; the status on the board holds the trace itself,
// so the frames are copied only when a reader asks for them (a site's page), not after every
// cycle.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace k426b_host {

// One frame that crossed the line.
struct FrameRecord {
  std::string time;       // ISO 8601 local time
  std::string direction;  // "tx" (query sent) or "rx" (reply or dropped bytes received)
  std::string text;       // the frame as ASCII, without the CR; dropped bytes as hex
  int cid1 = -1;          // decoded CID1, -1 when not decodable
  int cid2 = -1;          // CID2 of a query, RTN of a reply; -1 when not decodable
  bool bad = false;       // dropped by the codec
  std::string error;      // the codec's reason when bad
};

class FrameTrace {
 public:
  static constexpr std::size_t kFrames = 200;

  // Keeps the frame; the oldest goes once more than kFrames are kept.
  void Add(FrameRecord frame);
  // A copy of the frames kept now, oldest first.
  std::vector<FrameRecord> Frames() const;

 private:
  mutable std::mutex mutex_;
  std::deque<FrameRecord> frames_;
};

}  // namespace k426b_host
