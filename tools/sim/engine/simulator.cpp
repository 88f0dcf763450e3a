#include "tools/sim/engine/simulator.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace k426b_sim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int GroupIndex(Group group) { return static_cast<int>(group); }

// Overwrites the four CHKSUM characters in front of EOI.
void WriteChecksum(std::string& text, uint16_t checksum) {
  const std::size_t at = text.size() - 5;
  for (int i = 0; i < 4; ++i) text[at + i] = kHexDigits[(checksum >> (12 - 4 * i)) & 0xF];
}

uint16_t ReadChecksum(const std::string& text) {
  std::vector<unsigned char> bytes;
  zvk::FromHex(std::string_view(text).substr(text.size() - 5, 4), bytes);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::string Describe(const zvk::Frame& frame) {
  char head[32];
  std::snprintf(head, sizeof head, "%02X_%02X", frame.cid1, frame.cid2);
  return head;
}

// The switch and alarm states of each group, as the group's state replies carry them.
struct StateImage {
  std::vector<unsigned char> ac_switch, ac_alarm, rc_switch, rc_alarm, dc_alarm;
};

StateImage TakeStateImage(const Scenario& scenario) {
  return {BuildReply(QueryKind::kAcSwitch, scenario, 0).info,
          BuildReply(QueryKind::kAcAlarm, scenario, 0).info,
          BuildReply(QueryKind::kRcSwitch, scenario, 0).info,
          BuildReply(QueryKind::kRcAlarm, scenario, 0).info,
          BuildReply(QueryKind::kDcAlarm, scenario, 0).info};
}

}  // namespace

Simulator::Simulator(Scenario scenario, SimulatorOptions options)
    : scenario_(std::move(scenario)),
      options_(std::move(options)),
      random_(options_.seed),
      change_done_(scenario_.changes.size(), false) {
  for (const ScriptedFault& fault : scenario_.faults) fault_left_.push_back(fault.count);
  if (!options_.clock) {
    options_.clock = [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  }
}

unsigned char Simulator::PendingFlags(Group group) const {
  return group == Group::kNone ? 0 : flags_[GroupIndex(group)];
}

std::vector<std::string> Simulator::OnBytes(const unsigned char* bytes, std::size_t length) {
  std::vector<std::string> replies;
  for (zvk::FrameDecoder::Event& event : decoder_.Feed(bytes, length)) {
    std::string reply = event.ok ? Answer(event.frame) : AnswerMalformed(event.dropped);
    if (!reply.empty()) replies.push_back(std::move(reply));
  }
  return replies;
}

std::string Simulator::Answer(const zvk::Frame& query) {
  if (!first_query_time_) first_query_time_ = options_.clock();
  if (query.adr != scenario_.address) {
    Trace("query " + Describe(query) + " for address " + std::to_string(query.adr) +
          ": not answered");
    return std::string();
  }
  if (scenario_.version && query.ver != *scenario_.version) {
    Trace("query " + Describe(query) + " with VER " + std::to_string(query.ver) + ": RTN 01");
    return zvk::EncodeFrame(ReplyTo(query, zvk::kRtnVerError));
  }
  const QueryInfo* info = FindQuery(query.cid1, query.cid2);
  if (info == nullptr) {
    Trace("query " + Describe(query) + ": unknown command, RTN 04");
    return zvk::EncodeFrame(ReplyTo(query, zvk::kRtnCid2Invalid));
  }
  return AnswerKnown(query, *info);
}

std::string Simulator::AnswerKnown(const zvk::Frame& query, const QueryInfo& info) {
  TrackCycle(info);
  RunScript();
  // A scripted change of the address: from now on the equipment answers to the new one only.
  if (query.adr != scenario_.address) {
    Trace("query " + std::string(info.name) + " for address " + std::to_string(query.adr) +
          ": not answered, the address is now " + std::to_string(scenario_.address));
    return std::string();
  }

  const unsigned char flag = PendingFlags(info.group);
  const ReplyInfo layout = BuildReply(info.kind, scenario_, flag);
  zvk::Frame reply = ReplyTo(query, zvk::kRtnNormal);
  reply.info = layout.info;

  std::string text;
  const std::optional<FaultKind> fault = ChooseFault(info, layout);
  if (fault) {
    applied_faults_.push_back({cycle_, info.name, *fault});
    Trace("cycle " + std::to_string(cycle_) + " " + info.name + ": fault " + FaultName(*fault));
    text = Spoil(*fault, std::move(reply), layout);
  } else {
    Trace("cycle " + std::to_string(cycle_) + " " + info.name + ": " +
          std::to_string(layout.info.size()) + " bytes, flag " + std::to_string(flag));
    text = zvk::EncodeFrame(reply);
  }
  // Noise in front of a sound frame still delivers it.
  last_reply_intact_ = !fault || *fault == FaultKind::kNoise;
  if (last_reply_intact_) {
    switch (info.kind) {
      case QueryKind::kAcSwitch: flags_[GroupIndex(Group::kAc)] &= ~kSwitchChanged; break;
      case QueryKind::kAcAlarm: flags_[GroupIndex(Group::kAc)] &= ~kAlarmChanged; break;
      case QueryKind::kRcSwitch: flags_[GroupIndex(Group::kRc)] &= ~kSwitchChanged; break;
      case QueryKind::kRcAlarm: flags_[GroupIndex(Group::kRc)] &= ~kAlarmChanged; break;
      case QueryKind::kDcAlarm: flags_[GroupIndex(Group::kDc)] = 0; break;
      default: break;
    }
  }
  return text;
}

void Simulator::TrackCycle(const QueryInfo& info) {
  if (info.cycle_position < 0) return;
  const bool new_cycle = cycle_ == 0 || info.cycle_position < last_position_ ||
                         (info.cycle_position == last_position_ && last_reply_intact_);
  last_position_ = info.cycle_position;
  if (!new_cycle) return;
  ++cycle_;
  Trace("cycle " + std::to_string(cycle_) + " begins");
}

void Simulator::RunScript() {
  const double elapsed = options_.clock() - *first_query_time_;
  for (std::size_t i = 0; i < scenario_.changes.size(); ++i) {
    const ScriptedChange& change = scenario_.changes[i];
    const bool due = (change.at_cycle && *change.at_cycle <= cycle_) ||
                     (change.after_seconds && *change.after_seconds <= elapsed);
    if (change_done_[i] || !due) continue;
    change_done_[i] = true;
    Apply(change);
  }
}

void Simulator::Apply(const ScriptedChange& change) {
  const StateImage before = TakeStateImage(scenario_);
  try {
    scenario_ = ApplyChange(scenario_, change);
  } catch (const ScenarioError& error) {
    Trace(std::string("change not applied: ") + error.what());
    return;
  }
  const StateImage after = TakeStateImage(scenario_);
  if (before.ac_switch != after.ac_switch) flags_[GroupIndex(Group::kAc)] |= kSwitchChanged;
  if (before.ac_alarm != after.ac_alarm) flags_[GroupIndex(Group::kAc)] |= kAlarmChanged;
  if (before.rc_switch != after.rc_switch) flags_[GroupIndex(Group::kRc)] |= kSwitchChanged;
  if (before.rc_alarm != after.rc_alarm) flags_[GroupIndex(Group::kRc)] |= kAlarmChanged;
  if (before.dc_alarm != after.dc_alarm) flags_[GroupIndex(Group::kDc)] |= kAlarmChanged;
  Trace("change applied in cycle " + std::to_string(cycle_));
}

std::optional<FaultKind> Simulator::ChooseFault(const QueryInfo& info, const ReplyInfo& layout) {
  auto usable = [&](FaultKind kind) {
    if (!FaultApplies(kind, info.kind)) return false;
    if (kind == FaultKind::kWrongUnitCount) return layout.unit_count_at.has_value();
    if (kind == FaultKind::kOverlongCount) return layout.inner_count_at.has_value();
    return true;
  };
  for (std::size_t i = 0; i < scenario_.faults.size(); ++i) {
    const ScriptedFault& fault = scenario_.faults[i];
    if (fault_left_[i] == 0 || !usable(fault.kind)) continue;
    if (fault.cycle && *fault.cycle != cycle_) continue;
    if (fault.query && *fault.query != info.name) continue;
    --fault_left_[i];
    return fault.kind;
  }
  if (options_.fault_rate <= 0.0 || Uniform() >= options_.fault_rate) return std::nullopt;
  std::vector<FaultKind> candidates;
  // By default every kind but a foreign address, which only a shared line tells apart.
  std::vector<FaultKind> all;
  for (FaultKind kind : kAllFaultKinds)
    if (kind != FaultKind::kForeignAddress) all.push_back(kind);
  for (FaultKind kind : options_.rate_kinds.empty() ? all : options_.rate_kinds)
    if (usable(kind)) candidates.push_back(kind);
  if (candidates.empty()) return std::nullopt;
  return candidates[static_cast<std::size_t>(Uniform() * candidates.size()) % candidates.size()];
}

std::string Simulator::Spoil(FaultKind kind, zvk::Frame reply, const ReplyInfo& layout) {
  switch (kind) {
    case FaultKind::kBadChksum: {
      std::string text = zvk::EncodeFrame(reply);
      WriteChecksum(text, static_cast<uint16_t>(ReadChecksum(text) + 1));
      return text;
    }
    case FaultKind::kBadLchksum: {
      // LCHKSUM is the first LENGTH digit; CHKSUM is made to match the altered text, so that
      // LCHKSUM alone is wrong.
      std::string text = zvk::EncodeFrame(reply);
      constexpr std::size_t kLchksumAt = 9;
      const char digit = text[kLchksumAt];
      const int value = digit <= '9' ? digit - '0' : digit - 'A' + 10;
      text[kLchksumAt] = kHexDigits[(value + 1) % 16];
      WriteChecksum(text, zvk::FrameChecksum(std::string_view(text).substr(1, text.size() - 6)));
      return text;
    }
    case FaultKind::kNoReply: return std::string();
    case FaultKind::kTruncated: {
      const std::string text = zvk::EncodeFrame(reply);
      return text.substr(0, text.size() / 2);
    }
    case FaultKind::kNoise: {
      std::string noise;
      const std::size_t count = 1 + random_() % 8;
      for (std::size_t i = 0; i < count; ++i) {
        char byte = static_cast<char>(random_() & 0xFF);
        if (byte == zvk::kSoi) byte = '#';
        noise.push_back(byte);
      }
      return noise + zvk::EncodeFrame(reply);
    }
    case FaultKind::kWrongCid1:
      reply.cid1 = reply.cid1 == 0x42 ? 0x40 : static_cast<unsigned char>(reply.cid1 + 1);
      return zvk::EncodeFrame(reply);
    case FaultKind::kWrongUnitCount:
      ++reply.info[*layout.unit_count_at];
      return zvk::EncodeFrame(reply);
    case FaultKind::kRtnError:
      reply.cid2 = zvk::kRtnInvalidData;
      reply.info.clear();
      return zvk::EncodeFrame(reply);
    case FaultKind::kOverlongCount:
      // The largest count byte announces more than the INFO holds.
      reply.info[*layout.inner_count_at] = 0xFF;
      return zvk::EncodeFrame(reply);
    case FaultKind::kForeignAddress:
      reply.adr = static_cast<unsigned char>(reply.adr + 1);
      return zvk::EncodeFrame(reply);
  }
  return std::string();
}

std::string Simulator::AnswerMalformed(const std::string& dropped) {
  // Only a complete frame with a readable head can be answered; the equipment ignores the rest.
  if (dropped.size() < 2 || dropped.front() != zvk::kSoi || dropped.back() != zvk::kEoi)
    return std::string();
  const std::string_view body = std::string_view(dropped).substr(1, dropped.size() - 2);
  std::vector<unsigned char> head;
  if (body.size() < 8 || !zvk::FromHex(body.substr(0, 8), head)) return std::string();
  zvk::Frame query;
  query.ver = head[0];
  query.adr = head[1];
  query.cid1 = head[2];
  query.cid2 = head[3];
  if (query.adr != scenario_.address) return std::string();
  zvk::Frame scratch;
  unsigned char rtn = zvk::kRtnFormatError;
  switch (zvk::DecodeFrameBody(body, scratch)) {
    case zvk::DecodeStatus::kBadChksum: rtn = zvk::kRtnChksumError; break;
    case zvk::DecodeStatus::kBadLchksum: rtn = zvk::kRtnLchksumError; break;
    default: break;
  }
  Trace("malformed query " + Describe(query) + ": RTN " + std::to_string(rtn));
  return zvk::EncodeFrame(ReplyTo(query, rtn));
}

zvk::Frame Simulator::ReplyTo(const zvk::Frame& query, unsigned char rtn) const {
  zvk::Frame reply;
  reply.ver = query.ver;
  reply.adr = scenario_.address;
  reply.cid1 = query.cid1;
  reply.cid2 = rtn;
  return reply;
}

double Simulator::Uniform() { return static_cast<double>(random_()) / 4294967296.0; }

void Simulator::Trace(const std::string& line) const {
  if (options_.trace) options_.trace(line);
}

std::vector<std::pair<int, std::string>> ParseAddressList(const std::string& text) {
  std::vector<std::pair<int, std::string>> addresses;
  std::istringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    const std::size_t equals = item.find('=');
    const std::string number = item.substr(0, equals);
    int address = -1;
    if (!number.empty() && number.size() <= 3 &&
        number.find_first_not_of("0123456789") == std::string::npos)
      address = std::stoi(number);
    if (address < 0 || address > 254)
      throw std::invalid_argument("\"" + item + "\" is not an address 0-254 [=FILE]");
    for (const auto& [known, file] : addresses)
      if (known == address) throw std::invalid_argument(number + " is given twice");
    addresses.emplace_back(address, equals == std::string::npos ? "" : item.substr(equals + 1));
  }
  if (!text.empty() && addresses.empty()) throw std::invalid_argument("no address");
  return addresses;
}

}  // namespace k426b_sim
