#include "tools/host/events/alarm_book.h"

#include <atomic>
#include <chrono>
#include <string>
#include <type_traits>

#include "tools/common/iso_time.h"
#include "tools/host/status/rule_json.h"

namespace k426b_host {

namespace {

constexpr auto kAlarmHistory = std::chrono::hours(1);
constexpr std::size_t kMaxAlarmHistory = 1000;

}  // namespace

unsigned long long AlarmBook::NewVersion() {
  static std::atomic<unsigned long long> last{0};
  return ++last;
}

void AlarmBook::Stated(unsigned data_id, const rule_value& rule, EventFields* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto [listed, made] = AlarmOf(data_id, rule);
  if (made) {
    *listed->alarm = {data_id,   rule.level,       rule.rule_id, rule.code,
                      rule.name, rule.description, false,        IsoLocalTimeNow()};
    version_ = NewVersion();
  }
  if (event != nullptr) event->Written(RuleMembers(*listed, data_id, rule));
}

const std::string& AlarmBook::RuleMembers(ListedRule& listed, unsigned data_id,
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

std::pair<AlarmBook::ListedRule*, bool> AlarmBook::AlarmOf(unsigned data_id,
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

void AlarmBook::Changed(unsigned data_id, const rule_value& rule, bool raised) {
  std::lock_guard<std::mutex> lock(mutex_);
  changes_.push_back({data_id, rule, raised});
  const auto now = std::chrono::system_clock::now();
  AlarmStatus& alarm = *AlarmOf(data_id, rule).first->alarm;
  alarm = {data_id,   rule.level,       rule.rule_id, rule.code,
           rule.name, rule.description, raised,       IsoLocalTime(now)};
  version_ = NewVersion();
  history_.push_back({alarm.since, alarm});
  // Changes of the last hour, dated by their own time stamps.
  while (!history_.empty()) {
    const auto oldest = ParseIsoTime(history_.front().time);
    if (oldest && now - *oldest < kAlarmHistory && history_.size() <= kMaxAlarmHistory) break;
    history_.pop_front();
  }
}

void AlarmBook::Retired(unsigned data_id, const std::string& rule_id,
                        const std::string& description) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = alarms_.find(std::make_tuple(data_id, rule_id, description));
  if (entry == alarms_.end()) return;
  // The key of listed_alarms_ views the texts of alarms_' key, and the places view its entries.
  listed_alarms_.erase(RuleKey{data_id, rule_id, description});
  listed_places_.Forget(data_id);
  alarms_.erase(entry);
  version_ = NewVersion();
}

std::vector<AlarmChange> AlarmBook::TakeChanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(changes_, {});
}

std::vector<rule_value> AlarmBook::Raised(std::string_view rule_id) const {
  std::vector<rule_value> raised;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : alarms_) {
    const AlarmStatus& alarm = entry.second;
    if (alarm.rule_id != rule_id || !alarm.active) continue;
    rule_value rule;
    rule.data_id = alarm.data_id;
    rule.level = alarm.level;
    rule.rule_id = alarm.rule_id;
    rule.code = alarm.code;
    rule.name = alarm.name;
    rule.description = alarm.description;
    raised.push_back(std::move(rule));
  }
  return raised;
}

void AlarmBook::Fill(SiteStatus& status) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status.alarms_version == version_) return;
  status.alarms.resize(alarms_.size());
  auto alarm = status.alarms.begin();
  for (const auto& entry : alarms_) *alarm++ = entry.second;
  status.alarm_changes.assign(history_.begin(), history_.end());
  status.alarms_version = version_;
}

}  // namespace k426b_host
