#include "tools/host/bench_events.h"

#include <cmath>

#include <fmt/format.h>

#include "host/frame_codec.h"

namespace {

Json::Value RuleJson(unsigned data_id, const rule_value& rule) {
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["level"] = rule.level;
  members["rule_id"] = rule.rule_id;
  members["code"] = rule.code;
  members["name"] = rule.name;
  members["description"] = rule.description;
  return members;
}

std::string WithoutCr(const std::string& frame) {
  return !frame.empty() && frame.back() == '\r' ? frame.substr(0, frame.size() - 1) : frame;
}

}  // namespace

void BenchEvents::Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(output_mutex_);
  fmt::print(out_, "{}\n", line);
  std::fflush(out_);
}

void BenchEvents::OnQuery(unsigned, unsigned char cid1, unsigned char cid2, const Bytes& info,
                          const std::string& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cycle_started_) {
      cycle_started_ = true;
      cycle_start_ = std::chrono::steady_clock::now();
    }
    ++queries_since_cycle_;
  }
  if (!stream_.enabled()) return;  // nobody reads the event: build none
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["cid2"] = cid2;
  members["info"] = zvk::ToHex(info);
  members["frame"] = WithoutCr(frame);
  stream_.Write("query", members);
}

void BenchEvents::OnReply(unsigned, unsigned char cid1, unsigned char rtn, const Bytes& info) {
  if (!stream_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["rtn"] = rtn;
  members["info"] = zvk::ToHex(info);
  stream_.Write("reply", members);
}

void BenchEvents::OnFrameError(unsigned, const std::string& reason, const Bytes& dropped) {
  Json::Value members(Json::objectValue);
  members["reason"] = reason;
  members["bytes"] = zvk::ToHex(dropped);
  stream_.Write("frame_error", members);
  Print(fmt::format("  frame dropped: {} ({} bytes)", reason, dropped.size()));
}

void BenchEvents::OnLog(unsigned data_id, const std::string& text) {
  Json::Value members(Json::objectValue);
  members["text"] = text;
  members["data_id"] = data_id;
  stream_.Write("log", members);
  Print(fmt::format("  log {}: {}", data_id, text));
}

void BenchEvents::OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_snapshots_[{data_id, record_type}] = snapshot;
  }
  if (!stream_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  members["bytes"] = zvk::ToHex(snapshot);
  stream_.Write("snapshot", members);
}

void BenchEvents::OnRule(unsigned data_id, const rule_value& rule) {
  if (!stream_.enabled()) return;
  Json::Value members = RuleJson(data_id, rule);
  members["active"] = rule.active != 0;
  members["sequence"] = rule.sequence;
  stream_.Write("rule", members);
}

void BenchEvents::OnAlarm(unsigned data_id, const rule_value& rule, bool raised) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    alarm_changes_.push_back({data_id, rule, raised});
    if (rule.rule_id == kModelRuleId) model_alarm_ = raised ? rule.description : std::string();
  }
  Json::Value members = RuleJson(data_id, rule);
  members["state"] = raised ? "raised" : "cleared";
  stream_.Write("alarm", members);
  if (rule.rule_id == kModelRuleId && raised) {
    Print("");
    Print("  ************************************************************");
    Print(fmt::format("  *** MODEL ALARM  {} {}: {}", rule.code, rule.name, rule.description));
    Print("  ************************************************************");
  }
}

void BenchEvents::OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) {
  const std::string time = IsoLocalTimeNow();
  if (history_ != nullptr && !history_->Append(time, data_id, record_type, snapshot)) {
    ++history_failures_;
    Print(fmt::format("  history not stored for {}: {}", data_id, history_->last_error()));
  }
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  stream_.Write("history", members);
}

void BenchEvents::OnCycle(unsigned, unsigned number) {
  CycleSummary summary;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    summary.number = number;
    summary.queries = queries_since_cycle_;
    summary.seconds = cycle_started_ ? std::chrono::duration<double>(
                                           std::chrono::steady_clock::now() - cycle_start_)
                                           .count()
                                     : 0.0;
    last_cycle_ = summary;
    queries_since_cycle_ = 0;
    cycle_started_ = false;
  }
  Json::Value members(Json::objectValue);
  members["number"] = number;
  members["queries"] = summary.queries;
  members["seconds"] = std::round(summary.seconds * 1000.0) / 1000.0;
  stream_.Write("cycle", members);
  completed_cycles_ = number;
}

void BenchEvents::CacheLoaded(unsigned data_id, int record_type, const Bytes& image,
                              bool accepted) {
  if (accepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_snapshots_[{data_id, record_type}] = image;
  }
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(image.size());
  members["accepted"] = accepted;
  stream_.Write("cache", members);
}

BenchEvents::CycleSummary BenchEvents::last_cycle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_cycle_;
}

std::vector<AlarmChange> BenchEvents::TakeAlarmChanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(alarm_changes_, {});
}

Bytes BenchEvents::LatestSnapshot(unsigned data_id, int record_type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = latest_snapshots_.find({data_id, record_type});
  return found == latest_snapshots_.end() ? Bytes() : found->second;
}

std::string BenchEvents::ModelAlarm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_alarm_;
}
