#pragma once

// The simulated power system: decodes the driver's queries from the byte stream and answers
// each one as the equipment would, following its scenario and script.
//
// Change bits: when a scripted change alters a group's switch or alarm states, the group's
// analog reply carries 0x10 (switch) or 0x01 (alarm) in its data flag byte until the group's
// switch-state or alarm-state query has been answered.
//
// Cycles: a query that stands earlier in the poll cycle than the one before it starts a new
// cycle, and so does the same query again after an intact reply (the driver repeats a query
// only after a reply it could not use).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host/frame_codec.h"
#include "tools/sim/engine/replies.h"
#include "tools/sim/engine/scenario.h"

namespace k426b_sim {

// Anything that answers the driver's byte stream: the simulator or a replay.
class Responder {
 public:
  virtual ~Responder() = default;
  // The texts to send back for what `bytes` completes, one per answered query.
  virtual std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) = 0;
};

struct SimulatorOptions {
  // Chance that a reply is spoilt by one of `rate_kinds` (all kinds when empty).
  double fault_rate = 0.0;
  std::vector<FaultKind> rate_kinds;
  uint32_t seed = 1;
  // Seconds on a steady clock; scripted "after_seconds" changes read it.
  std::function<double()> clock;
  // One line per query, answer, change and fault.
  std::function<void(const std::string&)> trace;
};

struct AppliedFault {
  int cycle;
  std::string query;
  FaultKind kind;
};

class Simulator : public Responder {
 public:
  explicit Simulator(Scenario scenario, SimulatorOptions options = {});

  std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) override;

  // The text sent in answer to one decoded query; empty when the equipment stays silent.
  std::string Answer(const zvk::Frame& query);

  int Cycle() const { return cycle_; }
  const Scenario& Current() const { return scenario_; }
  unsigned char PendingFlags(Group group) const;
  const std::vector<AppliedFault>& Faults() const { return applied_faults_; }

 private:
  std::string AnswerKnown(const zvk::Frame& query, const QueryInfo& info);
  std::string Spoil(FaultKind kind, zvk::Frame reply, const ReplyInfo& layout);
  std::optional<FaultKind> ChooseFault(const QueryInfo& info, const ReplyInfo& layout);
  void TrackCycle(const QueryInfo& info);
  void RunScript();
  void Apply(const ScriptedChange& change);
  std::string AnswerMalformed(const std::string& dropped);
  zvk::Frame ReplyTo(const zvk::Frame& query, unsigned char rtn) const;
  double Uniform();
  void Trace(const std::string& line) const;

  Scenario scenario_;
  SimulatorOptions options_;
  zvk::FrameDecoder decoder_;
  std::mt19937 random_;
  int cycle_ = 0;
  int last_position_ = -1;
  bool last_reply_intact_ = false;
  std::optional<double> first_query_time_;
  std::vector<bool> change_done_;
  std::vector<int> fault_left_;
  unsigned char flags_[3] = {0, 0, 0};  // indexed by Group
  std::vector<AppliedFault> applied_faults_;
};

// Several power systems on one line (RS-485, or one port of a device server), each answering
// only its own address: every query reaches each of them, and only the one it is addressed to
// answers. An address none of them has goes unanswered.
class SharedLine : public Responder {
 public:
  explicit SharedLine(std::vector<std::unique_ptr<Responder>> devices)
      : devices_(std::move(devices)) {}

  std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) override {
    std::vector<std::string> replies;
    for (const std::unique_ptr<Responder>& device : devices_)
      for (std::string& reply : device->OnBytes(bytes, length)) replies.push_back(std::move(reply));
    return replies;
  }

 private:
  std::vector<std::unique_ptr<Responder>> devices_;
};

// "1,2=middle.json,3": the addresses of a shared line, each with its own scenario file or none
// (empty). Throws std::invalid_argument naming an item that is not an address 0-254 [=FILE], an
// address given twice, or an empty list when `text` is not empty.
std::vector<std::pair<int, std::string>> ParseAddressList(const std::string& text);

}  // namespace k426b_sim
