#pragma once

// What a site does with everything its devices do, in the bench host and the service alike: the
// event stream, the history, the line state, the human output and log, and what the site's
// status shows (alarms with their time, the frame trace, the counters, each unit's newest data
// and its time).

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include <json/value.h>

#include "host/host_events.h"
#include "host/rule_key.h"
#include "tools/host/events/event_sink.h"
#include "tools/host/events/line_state.h"
#include "tools/host/status/site_status.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/human_output.h"

namespace k426b_host {

struct AlarmChange {
  unsigned data_id;
  rule_value rule;
  bool raised;
};

// A unit's newest data: published by a cycle, or loaded from the cache.
struct UnitData {
  Bytes snapshot;
  std::chrono::system_clock::time_point taken{};
  bool cached = false;
};

class SiteEvents : public HostEvents {
 public:
  // `history` may be null (no history); `source` is what its rows record as their line.
  SiteEvents(std::string site, EventSink& stream, HistoryStore* history, std::string source,
              HumanOutput& out)
      : site_(std::move(site)),
        site_member_(SiteMember(site_)),
        stream_(stream),
        history_(history),
        source_(std::move(source)),
        out_(out),
        alarms_version_(NewAlarmsVersion()) {}

  // The line state fed by the queries, replies and log messages; set once before polling.
  void AttachLineState(LineState* line) { line_ = line; }

  void OnQuery(unsigned data_id, unsigned char cid1, unsigned char cid2, const Bytes& info,
               const std::string& frame) override;
  void OnReply(unsigned data_id, unsigned char cid1, unsigned char rtn, const Bytes& info) override;
  void OnFrameError(unsigned data_id, const std::string& reason, const Bytes& dropped) override;
  void OnLog(unsigned data_id, const std::string& text) override;
  void OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot) override;
  void OnRule(unsigned data_id, const rule_value& rule) override;
  void OnAlarm(unsigned data_id, const rule_value& rule, bool raised) override;
  void OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) override;
  void OnCycle(unsigned data_id, unsigned number) override;

  // An event of this site: `site` is added when the site has a name.
  void Emit(const char* event, Json::Value members);
  // Whether anybody reads the events: when not, none need be built.
  bool streaming() const { return stream_.enabled(); }
  // A cache image accepted by a unit: becomes the unit's newest data, dated `taken`.
  void CacheAccepted(unsigned data_id, int record_type, const Bytes& image,
                     std::chrono::system_clock::time_point taken);
  // A frame as it crossed the line, for the trace ("tx" or "rx", without the CR).
  void Frame(const char* direction, const std::string& text);

  // Cycles completed in this run, across re-created devices; the `cycle` event's number.
  unsigned completed_cycles() const { return completed_cycles_.load(); }
  struct CycleSummary {
    unsigned number = 0;
    unsigned queries = 0;
    double seconds = 0;
  };
  CycleSummary last_cycle() const;
  std::vector<AlarmChange> TakeAlarmChanges();
  UnitData LatestData(unsigned data_id, int record_type) const;
  // The active model alarm's description; empty when none is active.
  std::string ModelAlarm() const;
  long long history_failures() const { return history_failures_.load(); }
  // Stores the history rows saved since the last call, in one transaction. The units save theirs
  // on the threshold worker as each closes its cycle; the site stores them once the cycle is
  // complete, so a crash loses at most the rows of the cycle in flight.
  void StoreHistory();
  // The same in two halves, for rows stored with other sites' in one transaction: the rows
  // saved since the last call, and what became of them once stored.
  std::vector<HistoryRow> TakeHistory();
  void HistoryStored(const std::vector<HistoryRow>& rows, const std::vector<std::size_t>& failed,
                     const std::string& why);
  // The line the history rows record.
  const std::string& source() const { return source_; }

  // The device was made anew (the line came back, perhaps to another power system): a cycle
  // the old device left unfinished is not counted into the new device's first, and the new
  // device's model check decides again which model alarm stands.
  void DeviceMadeAnew();
  // Once that check is settled (the device moved on to its first other query): the model
  // alarms still raised that it did not raise again, as inactive rules for the threshold
  // engine, each handed out once.
  std::vector<rule_value> TakeStaleModelAlarms();

  // Fills the site status's alarms, alarm changes, counters and model, and hands it the site's
  // frame trace.
  void FillStatus(SiteStatus& status) const;

 private:
  // Called with `mutex_` held.
  void SettleModelCheck();
  static unsigned long long NewAlarmsVersion();
  static std::string SiteMember(const std::string& site);
  // The members of a rule's `rule` event that stay from cycle to cycle (`code` to `rule_id`),
  // and the texts beside the rule's key they were made from.
  struct RuleEventMembers {
    std::string members;
    int level = 0;
    std::string code;
    std::string name;
  };
  // A rule in the alarm list, and its event members once an event was written.
  struct ListedRule {
    AlarmStatus* alarm = nullptr;
    std::unique_ptr<RuleEventMembers> event;
  };
  // The rule's entry in the alarm list and whether it was made just now. Called with `mutex_`
  // held.
  std::pair<ListedRule*, bool> AlarmOf(unsigned data_id, const rule_value& rule);
  // The `rule` event's members from `code` to `rule_id`. Called with `mutex_` held.
  const std::string& RuleMembers(ListedRule& listed, unsigned data_id, const rule_value& rule);

  const std::string site_;
  const std::string site_member_;  // the events' last member, `,"site":"…"`, if named
  EventSink& stream_;
  HistoryStore* history_;
  const std::string source_;
  HumanOutput& out_;
  LineState* line_ = nullptr;

  mutable std::mutex mutex_;
  unsigned queries_since_cycle_ = 0;
  std::chrono::steady_clock::time_point cycle_start_{};
  bool cycle_started_ = false;
  CycleSummary last_cycle_;
  std::vector<AlarmChange> alarm_changes_;
  std::vector<HistoryRow> pending_history_;  // saved, not yet stored
  std::map<std::pair<unsigned, int>, UnitData> latest_data_;
  std::string model_alarm_;
  int last_query_ = -1;  // cid1 << 8 | cid2 of the query in flight
  std::string model_;
  std::string last_log_;  // the plug-in's previous message
  bool model_recheck_ = false;         // a device made anew has not settled its model check yet
  std::string model_alarm_rechecked_;  // the description of the model alarm it raised, if any
  std::vector<rule_value> stale_model_alarms_;
  std::map<std::tuple<unsigned, std::string, std::string>, AlarmStatus> alarms_;
  // The entries of alarms_ by a key that views their texts: a rule is found without copies.
  std::unordered_map<RuleKey, ListedRule, RuleKeyHash> listed_alarms_;
  // Each rule's entry by its sequence number in its device's cycle.
  RulePlaces<std::pair<const RuleKey, ListedRule>> listed_places_;
  unsigned long long alarms_version_;  // a new one for every change of alarms_
  std::deque<AlarmChangeRecord> alarm_history_;  // changed only with a new alarms_version_
  // Locked apart from mutex_: frames go by on the serial thread while a page reads them.
  const std::shared_ptr<FrameTrace> trace_ = std::make_shared<FrameTrace>();
  SiteCounters counters_;

  std::atomic<unsigned> completed_cycles_{0};
  std::atomic<long long> history_failures_{0};
};

// The rule id of the composite device's model check.
inline constexpr const char kModelRuleId[] = "device_model";

}  // namespace k426b_host
