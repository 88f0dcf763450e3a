#include "tools/host/events/site_events.h"

#include <cmath>

#include <fmt/format.h>

#include "host/frame_codec.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/status/rule_json.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

bool IsNoReply(const std::string& reason) { return reason.rfind("no reply", 0) == 0; }

}  // namespace

SiteEvents::SiteEvents(std::string site, EventSink& events, SiteHistory* history,
                       std::string source, HumanOutput& out)
    : site_(std::move(site)),
      site_member_(SiteMember(site_)),
      events_(events),
      out_(out),
      history_(site_, history, std::move(source)) {}

std::string SiteEvents::SiteMember(const std::string& site) {
  if (site.empty()) return {};
  EventFields member;
  return member.Text("site", site).text();
}

void SiteEvents::Emit(const char* event, Json::Value members) {
  if (!site_.empty()) members["site"] = site_;
  events_.Write(event, members);
}

void SiteEvents::Frame(const char* direction, const std::string& text) {
  trace_->Add(TracedFrame(direction, text));
}

void SiteEvents::OnQuery(unsigned, unsigned char cid1, unsigned char cid2, const Bytes& info,
                         const std::string& frame) {
  counts_.QuerySent();
  model_check_.QuerySent(cid1, cid2, alarms_);
  if (line_ != nullptr) line_->QuerySent(cid1, cid2);
  if (!events_.enabled()) return;  // nobody reads the event: build none
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["cid2"] = cid2;
  members["info"] = zvk::ToHex(info);
  members["frame"] = WithoutCr(frame);
  Emit("query", members);
}

void SiteEvents::OnReply(unsigned, unsigned char cid1, unsigned char rtn, const Bytes& info) {
  if (rtn != 0) counts_.ErrorReply(rtn);
  model_check_.ReplyReceived(rtn, info);
  if (line_ != nullptr) line_->ReplyReceived();
  if (!events_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["rtn"] = rtn;
  members["info"] = zvk::ToHex(info);
  Emit("reply", members);
}

void SiteEvents::OnFrameError(unsigned, const std::string& reason, const Bytes& dropped) {
  counts_.FrameDropped(reason);
  Json::Value members(Json::objectValue);
  members["reason"] = reason;
  members["bytes"] = zvk::ToHex(dropped);
  Emit("frame_error", members);
  // A query given up is the line state's to tell; bytes dropped are worth a log line.
  if (IsNoReply(reason)) {
    if (line_ != nullptr) line_->QueryUnanswered();
    HostLog().debug("{}{}", SitePrefix(site_), reason);
  } else {
    if (line_ != nullptr) line_->FrameDropped();
    // A noisy line drops frames every cycle: each reason once, then in the summary (all with -v).
    const bool told = dropped_log_.Occurred(reason, std::chrono::steady_clock::now());
    HostLog().log(told ? spdlog::level::info : spdlog::level::debug,
                  "{}frame dropped: {} ({} bytes)", SitePrefix(site_), reason, dropped.size());
  }
}

void SiteEvents::LogRepeats() {
  const auto summary = dropped_log_.Due(std::chrono::steady_clock::now());
  if (!summary) return;
  HostLog().info("{}{} frame{} dropped in the last {}: {}", SitePrefix(site_), summary->total,
                 summary->total == 1 ? "" : "s", dropped_log_.PeriodText(), summary->kinds);
}

void SiteEvents::OnLog(unsigned data_id, const std::string& text) {
  counts_.PluginLog();
  bool repeated = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    repeated = text == last_log_;
    last_log_ = text;
  }
  Json::Value members(Json::objectValue);
  members["text"] = text;
  members["data_id"] = data_id;
  Emit("log", members);
  // A message the plug-in repeats every cycle is logged once; its repeats only with -v.
  HostLog().log(repeated ? spdlog::level::debug : spdlog::level::info, "{}plug-in {}: {}",
                SitePrefix(site_), data_id, text);
  if (line_ != nullptr) line_->PluginLog(text);
}

void SiteEvents::OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_data_[{data_id, record_type}] = {snapshot, std::chrono::system_clock::now(), false};
  }
  if (!events_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  members["bytes"] = zvk::ToHex(snapshot);
  Emit("snapshot", members);
}

void SiteEvents::OnRule(unsigned data_id, const rule_value& rule) {
  model_check_.RuleStated(rule);
  if (!events_.enabled()) {
    alarms_.Stated(data_id, rule, nullptr);
    return;
  }
  // One a rule each cycle: written from its fields, in the order a Json::Value object keeps,
  // the members that stay from cycle to cycle made once.
  thread_local EventFields members;
  members.Clear();
  members.Flag("active", rule.active != 0);
  alarms_.Stated(data_id, rule, &members);
  members.Number("sequence", rule.sequence).Written(site_member_);
  events_.Write("rule", members);
}

void SiteEvents::OnAlarm(unsigned data_id, const rule_value& rule, bool raised) {
  alarms_.Changed(data_id, rule, raised);
  const bool model_alarm_raised = model_check_.AlarmChanged(rule, raised);
  Json::Value members = RuleJson(data_id, rule);
  members["state"] = raised ? "raised" : "cleared";
  Emit("alarm", members);
  if (model_alarm_raised)
    out_.Banner(fmt::format("MODEL ALARM  {} {}: {}", rule.code, rule.name, rule.description));
}

void SiteEvents::OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) {
  history_.Saved(data_id, record_type, snapshot);
  if (!events_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  Emit("history", members);
}

void SiteEvents::OnCycle(unsigned, unsigned) {
  const CycleSummary summary = counts_.CycleCompleted();
  if (line_ != nullptr) line_->CycleCompleted();
  if (!events_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["number"] = summary.number;
  members["queries"] = summary.queries;
  members["seconds"] = std::round(summary.seconds * 1000.0) / 1000.0;
  Emit("cycle", members);
}

void SiteEvents::OnRetired(unsigned data_id, const std::string& rule_id,
                           const std::string& description) {
  alarms_.Retired(data_id, rule_id, description);
}

void SiteEvents::CacheAccepted(unsigned data_id, int record_type, const Bytes& image,
                               std::chrono::system_clock::time_point taken) {
  std::lock_guard<std::mutex> lock(mutex_);
  latest_data_[{data_id, record_type}] = {image, taken, true};
}

UnitData SiteEvents::LatestData(unsigned data_id, int record_type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = latest_data_.find({data_id, record_type});
  return found == latest_data_.end() ? UnitData() : found->second;
}

void SiteEvents::DeviceMadeAnew() {
  counts_.DeviceMadeAnew();
  model_check_.DeviceMadeAnew();
}

void SiteEvents::FillStatus(SiteStatus& status) const {
  model_check_.FillModel(status.model);
  alarms_.Fill(status);
  // The frames stay where they are: a reader copies them when it asks.
  if (status.trace != trace_) status.trace = trace_;
  counts_.Fill(status.counters);
}

}  // namespace k426b_host
