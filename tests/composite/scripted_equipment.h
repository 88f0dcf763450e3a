#pragma once

// A scripted power system on the far end of a device's serial line. It captures every query
// frame the device writes through its port and, when the test pumps, answers it with the reply
// its script gives: encoded with the real frame codec and fed back through process() in chunks
// of varying size, so every exchange also crosses the stream decoder's chunk boundaries.
//
// Answers are given from the test's thread after the device's write has returned, never from
// inside it, as a serial line would.

#include <algorithm>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/device.h"
#include "host/frame_codec.h"
#include "host/host_events.h"
#include "host/ttime.h"

struct ScriptedReply {
  unsigned char cid1;
  Bytes info;
  unsigned char rtn = zvk::kRtnNormal;
};

class ScriptedEquipment {
 public:
  explicit ScriptedEquipment(ZVKSPDevice& device) : device_(device) {
    device_.AttachPort([this](const unsigned char* bytes, unsigned length) {
      written_.append(reinterpret_cast<const char*>(bytes), length);
      return true;
    });
  }
  ~ScriptedEquipment() { device_.AttachPort(nullptr); }
  ScriptedEquipment(const ScriptedEquipment&) = delete;
  ScriptedEquipment& operator=(const ScriptedEquipment&) = delete;

  // From now on the query (cid1, cid2) is answered with `info` under the same CID1.
  void Answer(unsigned char cid1, unsigned char cid2, Bytes info) {
    standing_[{cid1, cid2}] = ScriptedReply{cid1, std::move(info)};
  }
  // The next answer to (cid1, cid2) is `reply`, ahead of the standing answer; queued in order.
  void AnswerOnce(unsigned char cid1, unsigned char cid2, ScriptedReply reply) {
    once_[{cid1, cid2}].push_back(std::move(reply));
  }
  // The query (cid1, cid2) goes unanswered.
  void Silence(unsigned char cid1, unsigned char cid2) { standing_.erase({cid1, cid2}); }

  // Answers the device's queries until it writes none that has an answer; returns how many
  // replies were fed back.
  int Pump(int max_replies = 100) {
    int replies = 0;
    while (!written_.empty() && replies < max_replies) {
      const std::string text = std::move(written_);
      written_.clear();
      for (const zvk::FrameDecoder::Event& event :
           decoder_.Feed(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
        if (!event.ok) continue;
        std::optional<ScriptedReply> reply = NextReply(event.frame.cid1, event.frame.cid2);
        if (!reply) continue;
        zvk::Frame frame;
        frame.ver = event.frame.ver;
        frame.adr = event.frame.adr;
        frame.cid1 = reply->cid1;
        frame.cid2 = reply->rtn;
        frame.info = std::move(reply->info);
        Feed(zvk::EncodeFrame(frame));
        ++replies;
      }
    }
    return replies;
  }

  // The host's turn on the serial thread once the quiet time has passed, answered to the end.
  bool Poll() {
    device_.SetLastRoundTime(local_time() -
                             boost::posix_time::seconds(3));
    const bool sent = device_.RefreshStatus();
    Pump();
    return sent;
  }
  // The host's turn without moving the clock (quiet time as it stands).
  bool PollNow() {
    const bool sent = device_.RefreshStatus();
    Pump();
    return sent;
  }

 private:
  std::optional<ScriptedReply> NextReply(unsigned char cid1, unsigned char cid2) {
    auto queued = once_.find({cid1, cid2});
    if (queued != once_.end() && !queued->second.empty()) {
      ScriptedReply reply = std::move(queued->second.front());
      queued->second.pop_front();
      return reply;
    }
    auto standing = standing_.find({cid1, cid2});
    if (standing == standing_.end()) return std::nullopt;
    return standing->second;
  }

  void Feed(const std::string& frame) {
    static const std::size_t kChunkSizes[] = {1, 7, 3, 64, 2, 17, 5};
    std::vector<unsigned char> bytes(frame.begin(), frame.end());
    std::size_t offset = 0;
    while (offset < bytes.size()) {
      const std::size_t size = std::min(kChunkSizes[chunk_++ % 7], bytes.size() - offset);
      std::vector<unsigned char> chunk(bytes.begin() + offset, bytes.begin() + offset + size);
      offset += size;
      device_.process(chunk.data(), static_cast<unsigned>(chunk.size()));
    }
  }

  ZVKSPDevice& device_;
  std::string written_;
  zvk::FrameDecoder decoder_;
  std::map<std::pair<unsigned char, unsigned char>, ScriptedReply> standing_;
  std::map<std::pair<unsigned char, unsigned char>, std::deque<ScriptedReply>> once_;
  std::size_t chunk_ = 0;
};
