#pragma once

// Talking to a Simulator in a test: queries as the driver writes them, replies decoded with the
// host's stream decoder.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/frame_codec.h"
#include "tests/support/recording_host.h"
#include "tools/sim/engine/simulator.h"

namespace sim_test {

inline std::string QueryText(unsigned char cid1, unsigned char cid2, unsigned char ver = 0x20,
                             unsigned char adr = 1) {
  zvk::Frame query;
  query.ver = ver;
  query.adr = adr;
  query.cid1 = cid1;
  query.cid2 = cid2;
  // The AC queries carry the command group byte, as the driver sends them.
  if (cid1 == 0x40 && cid2 != 0x51 && cid2 != 0x46) query.info = {0xFF};
  return zvk::EncodeFrame(query);
}

inline std::vector<zvk::FrameDecoder::Event> Decode(const std::string& text) {
  zvk::FrameDecoder decoder;
  return decoder.Feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// The reply text to one query ("" for silence).
inline std::string AskText(k426b_sim::Simulator& simulator, unsigned char cid1, unsigned char cid2) {
  const std::string query = QueryText(cid1, cid2);
  const std::vector<std::string> replies =
      simulator.OnBytes(reinterpret_cast<const unsigned char*>(query.data()), query.size());
  EXPECT_LE(replies.size(), 1u);
  return replies.empty() ? std::string() : replies.front();
}

// The one sound frame that answers a query.
inline zvk::Frame Ask(k426b_sim::Simulator& simulator, unsigned char cid1, unsigned char cid2) {
  const std::vector<zvk::FrameDecoder::Event> events = Decode(AskText(simulator, cid1, cid2));
  if (events.size() != 1 || !events[0].ok) {
    ADD_FAILURE() << "no sound reply to " << std::hex << int(cid1) << "/" << int(cid2);
    return zvk::Frame();
  }
  return events[0].frame;
}

// The data flag byte of a group's analog reply.
inline unsigned char AnalogFlag(k426b_sim::Simulator& simulator, unsigned char cid1) {
  const zvk::Frame reply = Ask(simulator, cid1, 0x41);
  return reply.info.empty() ? 0xEE : reply.info[0];
}

// The queries of a first cycle (nothing known yet, so every switch and alarm query is made).
inline const std::vector<std::pair<unsigned char, unsigned char>> kFullCycle = {
    {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
    {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};

inline void RunCycle(k426b_sim::Simulator& simulator,
                     const std::vector<std::pair<unsigned char, unsigned char>>& queries = kFullCycle) {
  for (const auto& [cid1, cid2] : queries) Ask(simulator, cid1, cid2);
}

}  // namespace sim_test
