#pragma once

// The driver's side of the conversation for the simulator harnesses: every query of a poll
// cycle as the composite device encodes it.

#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "tools/sim/engine/replies.h"

namespace k426b_fuzz {

inline std::vector<std::string> CycleQueries(unsigned char address) {
  std::vector<std::string> queries;
  for (const k426b_sim::QueryInfo& info : k426b_sim::kQueries) {
    zvk::Frame query;
    query.ver = 0x20;
    query.adr = address;
    query.cid1 = info.cid1;
    query.cid2 = info.cid2;
    if (info.group == k426b_sim::Group::kAc) query.info = {0xFF};
    queries.push_back(zvk::EncodeFrame(query));
  }
  return queries;
}

template <class Responder>
void AskCycle(Responder& responder, unsigned char address) {
  for (const std::string& query : CycleQueries(address))
    responder.OnBytes(reinterpret_cast<const unsigned char*>(query.data()), query.size());
}

}  // namespace k426b_fuzz
