#pragma once

// What a site does with everything its devices do: the plug-in's host callbacks arrive here and
// each goes to the piece that owns it (the alarm book, the model check, the counts, the history
// queue, the frame trace, the line state), and the events go to the site's event sink. The
// site's status is filled from those pieces.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "host/host_events.h"
#include "tools/host/events/alarm_book.h"
#include "tools/host/events/event_sink.h"
#include "tools/host/events/history_queue.h"
#include "tools/host/events/line_state.h"
#include "tools/host/events/model_check.h"
#include "tools/host/events/site_counts.h"
#include "tools/host/status/site_status.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/human_output.h"
#include "tools/host/system/repeat_summary.h"

namespace k426b_host {

// A unit's newest data: published by a cycle, or loaded from the cache.
struct UnitData {
  Bytes snapshot;
  std::chrono::system_clock::time_point taken{};
  bool cached = false;
};

class SiteEvents : public HostEvents {
 public:
  // `history` may be null (no history); `source` is what its rows record as their line.
  SiteEvents(std::string site, EventSink& events, SiteHistory* history, std::string source,
             HumanOutput& out);

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
  void OnRetired(unsigned data_id, const std::string& rule_id,
                 const std::string& description) override;

  // An event of this site: `site` is added when the site has a name.
  void Emit(const char* event, Json::Value members);
  // Whether anybody reads the events: when not, none need be built.
  bool streaming() const { return events_.enabled(); }
  // A cache image accepted by a unit: becomes the unit's newest data, dated `taken`.
  void CacheAccepted(unsigned data_id, int record_type, const Bytes& image,
                     std::chrono::system_clock::time_point taken);
  // A frame as it crossed the line, for the trace ("tx" or "rx", with or without the CR).
  void Frame(const char* direction, const std::string& text);
  UnitData LatestData(unsigned data_id, int record_type) const;

  // Cycles completed in this run, across re-created devices; the `cycle` event's number.
  unsigned completed_cycles() const { return counts_.completed_cycles(); }
  CycleSummary last_cycle() const { return counts_.last_cycle(); }
  std::vector<AlarmChange> TakeAlarmChanges() { return alarms_.TakeChanges(); }
  // The active model alarm's description; empty when none is active.
  std::string ModelAlarm() const { return model_check_.alarm(); }

  // The history rows: stored alone, or taken to be stored with other sites' (HistoryQueue).
  void StoreHistory() { history_.Store(); }
  std::vector<HistoryRow> TakeHistory() { return history_.Take(); }
  void HistoryStored(const std::vector<HistoryRow>& rows, const std::vector<std::size_t>& failed,
                     const std::string& why) {
    history_.Stored(rows, failed, why);
  }
  long long history_failures() const { return history_.failures(); }
  // The line the history rows record.
  const std::string& source() const { return history_.source(); }

  // The device was made anew (the line came back, perhaps to another power system): a cycle
  // the old device left unfinished is not counted into the new device's first, and the new
  // device's model check decides again which model alarm stands.
  void DeviceMadeAnew();
  // Once that check is settled (the device moved on to its first other query): the model
  // alarms still raised that it did not raise again, as inactive rules for the threshold
  // engine, each handed out once.
  std::vector<rule_value> TakeStaleModelAlarms() { return model_check_.TakeStale(); }

  // Logs the summary of the frames dropped since the last line about them, when one is due.
  // Called each time the site steps: a line that falls quiet still gets its last summary.
  void LogRepeats();

  // Fills the site status's alarms, alarm changes, counters and model, and hands it the site's
  // frame trace.
  void FillStatus(SiteStatus& status) const;

 private:
  static std::string SiteMember(const std::string& site);

  const std::string site_;
  const std::string site_member_;  // the events' last member, `,"site":"…"`, if named
  EventSink& events_;
  HumanOutput& out_;
  LineState* line_ = nullptr;

  AlarmBook alarms_;
  ModelCheck model_check_;
  SiteCounts counts_;
  HistoryQueue history_;
  // Dropped frames in the log: each reason told once, then summed up at most once a minute.
  RepeatSummary dropped_log_;
  // Locked apart from the rest: frames go by on the serial thread while a page reads them.
  const std::shared_ptr<FrameTrace> trace_ = std::make_shared<FrameTrace>();

  mutable std::mutex mutex_;  // for what follows
  std::map<std::pair<unsigned, int>, UnitData> latest_data_;
  std::string last_log_;  // the plug-in's previous message
};

}  // namespace k426b_host
