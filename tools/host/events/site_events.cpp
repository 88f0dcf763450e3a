#include "tools/host/events/site_events.h"

#include <cmath>
#include <string>
#include <type_traits>

#include <fmt/format.h>

#include "host/frame_codec.h"
#include "tools/common/iso_time.h"
#include "tools/host/status/rule_json.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

constexpr int kDeviceInfoQuery = 0x40 << 8 | 0x51;
constexpr std::size_t kModelFieldSize = 20;
constexpr auto kAlarmHistory = std::chrono::hours(1);

std::string WithoutCr(const std::string& frame) {
  return !frame.empty() && frame.back() == '\r' ? frame.substr(0, frame.size() - 1) : frame;
}

bool IsNoReply(const std::string& reason) { return reason.rfind("no reply", 0) == 0; }

// The model field with the equipment's fill bytes (NUL, blank, 0xFF) removed from its end.
std::string ModelText(const Bytes& info) {
  std::string model(info.begin(), info.begin() + std::min(info.size(), kModelFieldSize));
  while (!model.empty() && (model.back() == '\0' || model.back() == ' ' ||
                            static_cast<unsigned char>(model.back()) == 0xFF))
    model.pop_back();
  return model;
}

}  // namespace

void SiteEvents::Emit(const char* event, Json::Value members) {
  if (!site_.empty()) members["site"] = site_;
  stream_.Write(event, members);
}

void SiteEvents::Frame(const char* direction, const std::string& text) {
  FrameRecord frame;
  frame.time = IsoLocalTimeNow();
  frame.direction = direction;
  frame.text = WithoutCr(text);
  zvk::Frame decoded;
  const bool framed = frame.text.size() > 1 && frame.text.front() == '~';
  const zvk::DecodeStatus decoding =
      framed ? zvk::DecodeFrameBody(std::string_view(frame.text).substr(1), decoded)
             : zvk::DecodeStatus::kNotHex;
  if (decoding == zvk::DecodeStatus::kOk) {
    frame.cid1 = decoded.cid1;
    frame.cid2 = decoded.cid2;
  } else {
    frame.bad = true;
    frame.error = framed ? zvk::DescribeStatus(decoding) : "no frame start";
    if (!framed) frame.text = zvk::ToHex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  trace_->Add(std::move(frame));
}

void SiteEvents::OnQuery(unsigned, unsigned char cid1, unsigned char cid2, const Bytes& info,
                          const std::string& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cycle_started_) {
      cycle_started_ = true;
      cycle_start_ = std::chrono::steady_clock::now();
    }
    ++queries_since_cycle_;
    ++counters_.queries;
    last_query_ = cid1 << 8 | cid2;
    // The device asks the device information until its reply settles the model check; any
    // model alarm comes while that reply is handled, before the next query.
    if (model_recheck_ && last_query_ != kDeviceInfoQuery) SettleModelCheck();
  }
  if (line_ != nullptr) line_->QuerySent(cid1, cid2);
  if (!stream_.enabled()) return;  // nobody reads the event: build none
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["cid2"] = cid2;
  members["info"] = zvk::ToHex(info);
  members["frame"] = WithoutCr(frame);
  Emit("query", members);
}

void SiteEvents::OnReply(unsigned, unsigned char cid1, unsigned char rtn, const Bytes& info) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rtn != 0) ++counters_.reply_errors[rtn];
    if (rtn == 0 && last_query_ == kDeviceInfoQuery) model_ = ModelText(info);
  }
  if (line_ != nullptr) line_->ReplyReceived();
  if (!stream_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["cid1"] = cid1;
  members["rtn"] = rtn;
  members["info"] = zvk::ToHex(info);
  Emit("reply", members);
}

void SiteEvents::OnFrameError(unsigned, const std::string& reason, const Bytes& dropped) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.frame_errors[reason];
  }
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
    HostLog().info("{}frame dropped: {} ({} bytes)", SitePrefix(site_),
                   reason, dropped.size());
  }
}

void SiteEvents::OnLog(unsigned data_id, const std::string& text) {
  bool repeated = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.log_messages;
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
  if (!stream_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  members["bytes"] = zvk::ToHex(snapshot);
  Emit("snapshot", members);
}

void SiteEvents::OnRule(unsigned data_id, const rule_value& rule) {
  // One a rule each cycle: written from its fields, in the order a Json::Value object keeps,
  // the members that stay from cycle to cycle made once.
  thread_local EventFields members;
  const bool streaming = stream_.enabled();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (model_recheck_ && rule.rule_id == kModelRuleId) model_alarm_rechecked_ = rule.description;
    // Rules seen for the first time are listed as they are; changes are dated by OnAlarm.
    const auto [listed, made] = AlarmOf(data_id, rule);
    if (made) {
      *listed->alarm = {data_id, rule.level, rule.rule_id, rule.code, rule.name,
                        rule.description, false, IsoLocalTimeNow()};
      alarms_version_ = NewAlarmsVersion();
    }
    if (!streaming) return;
    members.Clear();
    members.Flag("active", rule.active != 0).Written(RuleMembers(*listed, data_id, rule));
  }
  members.Number("sequence", rule.sequence).Written(site_member_);
  stream_.Write("rule", members);
}

const std::string& SiteEvents::RuleMembers(ListedRule& listed, unsigned data_id,
                                            const rule_value& rule) {
  // The key holds data id, rule id and description; the other members are checked.
  if (!listed.event) listed.event = std::make_unique<RuleEventMembers>();
  RuleEventMembers& cached = *listed.event;
  if (!cached.members.empty() && cached.level == rule.level && cached.code == rule.code &&
      cached.name == rule.name)
    return cached.members;
  EventFields members;
  ForEachRuleMember(data_id, rule, [&members](const char* name, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>)
      members.Text(name, value);
    else
      members.Number(name, value);
  });
  cached.members = members.text();
  cached.level = rule.level;
  cached.code = rule.code;
  cached.name = rule.name;
  return cached.members;
}

std::string SiteEvents::SiteMember(const std::string& site) {
  if (site.empty()) return {};
  EventFields member;
  return member.Text("site", site).text();
}

unsigned long long SiteEvents::NewAlarmsVersion() {
  static std::atomic<unsigned long long> last{0};
  return ++last;
}

std::pair<SiteEvents::ListedRule*, bool> SiteEvents::AlarmOf(unsigned data_id,
                                                              const rule_value& rule) {
  if (auto* placed = listed_places_.Find(data_id, rule.sequence, rule.rule_id, rule.description))
    return {&placed->second, false};
  auto listed = listed_alarms_.find(RuleKey{data_id, rule.rule_id, rule.description});
  const bool made = listed == listed_alarms_.end();
  if (made) {
    const auto entry =
        alarms_.emplace(std::make_tuple(data_id, rule.rule_id, rule.description), AlarmStatus{})
            .first;
    // The map's nodes stay where they are: the key may view their texts.
    listed = listed_alarms_
                 .emplace(RuleKey{data_id, std::get<1>(entry->first), std::get<2>(entry->first)},
                          ListedRule{})
                 .first;
    listed->second.alarm = &entry->second;
  }
  listed_places_.Remember(data_id, rule.sequence, &*listed);
  return {&listed->second, made};
}

void SiteEvents::OnAlarm(unsigned data_id, const rule_value& rule, bool raised) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    alarm_changes_.push_back({data_id, rule, raised});
    if (rule.rule_id == kModelRuleId) model_alarm_ = raised ? rule.description : std::string();
    const auto now = std::chrono::system_clock::now();
    AlarmStatus& alarm = *AlarmOf(data_id, rule).first->alarm;
    alarm = {data_id, rule.level, rule.rule_id, rule.code, rule.name,
             rule.description, raised, IsoLocalTime(now)};
    alarms_version_ = NewAlarmsVersion();
    alarm_history_.push_back({alarm.since, alarm});
    // Changes of the last hour, dated by their own time stamps.
    while (!alarm_history_.empty()) {
      const auto oldest = ParseIsoTime(alarm_history_.front().time);
      if (oldest && now - *oldest < kAlarmHistory && alarm_history_.size() <= 1000) break;
      alarm_history_.pop_front();
    }
  }
  Json::Value members = RuleJson(data_id, rule);
  members["state"] = raised ? "raised" : "cleared";
  Emit("alarm", members);
  if (rule.rule_id == kModelRuleId && raised) {
    out_.Print(fmt::format(
        "\n  ************************************************************\n"
        "  *** MODEL ALARM  {} {}: {}\n"
        "  ************************************************************",
        rule.code, rule.name, rule.description));
  }
}

void SiteEvents::OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) {
  if (history_ != nullptr) {
    HistoryRow row{IsoLocalTimeNow(), data_id, record_type, snapshot};
    std::lock_guard<std::mutex> lock(mutex_);
    pending_history_.push_back(std::move(row));
  }
  if (!stream_.enabled()) return;
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(snapshot.size());
  Emit("history", members);
}

void SiteEvents::StoreHistory() {
  const std::vector<HistoryRow> rows = TakeHistory();
  if (history_ == nullptr || rows.empty()) return;
  const std::vector<std::size_t> failed = history_->AppendAll(source_, rows);
  HistoryStored(rows, failed, failed.empty() ? std::string() : history_->last_error());
}

std::vector<HistoryRow> SiteEvents::TakeHistory() {
  std::vector<HistoryRow> rows;
  std::lock_guard<std::mutex> lock(mutex_);
  rows.swap(pending_history_);
  return rows;
}

void SiteEvents::HistoryStored(const std::vector<HistoryRow>& rows,
                                const std::vector<std::size_t>& failed, const std::string& why) {
  for (const std::size_t index : failed) {
    ++history_failures_;
    HostLog().error("{}history not stored for {}: {}", SitePrefix(site_), rows[index].data_id, why);
  }
}

void SiteEvents::OnCycle(unsigned, unsigned) {
  CycleSummary summary;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Counted here, not taken from the device: a device created anew counts from 1 again.
    summary.number = ++counters_.cycles;
    summary.queries = queries_since_cycle_;
    summary.seconds = cycle_started_ ? std::chrono::duration<double>(
                                           std::chrono::steady_clock::now() - cycle_start_)
                                           .count()
                                     : 0.0;
    counters_.last_cycle_seconds = summary.seconds;
    last_cycle_ = summary;
    queries_since_cycle_ = 0;
    cycle_started_ = false;
  }
  if (line_ != nullptr) line_->CycleCompleted();
  if (stream_.enabled()) {
    Json::Value members(Json::objectValue);
    members["number"] = summary.number;
    members["queries"] = summary.queries;
    members["seconds"] = std::round(summary.seconds * 1000.0) / 1000.0;
    Emit("cycle", members);
  }
  completed_cycles_ = summary.number;
}

void SiteEvents::CacheAccepted(unsigned data_id, int record_type, const Bytes& image,
                                std::chrono::system_clock::time_point taken) {
  std::lock_guard<std::mutex> lock(mutex_);
  latest_data_[{data_id, record_type}] = {image, taken, true};
}

void SiteEvents::DeviceMadeAnew() {
  std::lock_guard<std::mutex> lock(mutex_);
  queries_since_cycle_ = 0;
  cycle_started_ = false;
  model_recheck_ = true;
  model_alarm_rechecked_.clear();
}

void SiteEvents::SettleModelCheck() {
  model_recheck_ = false;
  for (const auto& entry : alarms_) {
    const AlarmStatus& alarm = entry.second;
    if (alarm.rule_id != kModelRuleId || !alarm.active || alarm.description == model_alarm_rechecked_)
      continue;
    rule_value rule;
    rule.data_id = alarm.data_id;
    rule.level = alarm.level;
    rule.rule_id = alarm.rule_id;
    rule.code = alarm.code;
    rule.name = alarm.name;
    rule.description = alarm.description;
    stale_model_alarms_.push_back(std::move(rule));
  }
}

std::vector<rule_value> SiteEvents::TakeStaleModelAlarms() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(stale_model_alarms_, {});
}

SiteEvents::CycleSummary SiteEvents::last_cycle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_cycle_;
}

std::vector<AlarmChange> SiteEvents::TakeAlarmChanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(alarm_changes_, {});
}

UnitData SiteEvents::LatestData(unsigned data_id, int record_type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = latest_data_.find({data_id, record_type});
  return found == latest_data_.end() ? UnitData() : found->second;
}

std::string SiteEvents::ModelAlarm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_alarm_;
}

void SiteEvents::FillStatus(SiteStatus& status) const {
  std::lock_guard<std::mutex> lock(mutex_);
  status.model = model_;
  // Copied only when changed, and then over the alarms already there, keeping their strings'
  // storage.
  if (status.alarms_version != alarms_version_) {
    status.alarms.resize(alarms_.size());
    auto alarm = status.alarms.begin();
    for (const auto& entry : alarms_) *alarm++ = entry.second;
    status.alarm_changes.assign(alarm_history_.begin(), alarm_history_.end());
    status.alarms_version = alarms_version_;
  }
  // The frames stay where they are: a reader copies them when it asks.
  if (status.trace != trace_) status.trace = trace_;
  status.counters = counters_;
}

}  // namespace k426b_host
