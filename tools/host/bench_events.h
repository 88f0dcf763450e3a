#pragma once

// What the bench host does with everything its devices do: the event stream, the history, the
// human output, and the bookkeeping of completed cycles that the serial loop reports on.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/host_events.h"
#include "tools/host/event_stream.h"
#include "tools/host/history_store.h"

struct AlarmChange {
  unsigned data_id;
  rule_value rule;
  bool raised;
};

class BenchEvents : public HostEvents {
 public:
  // `history` may be null (--no-history); `out` takes the human output.
  BenchEvents(EventStream& stream, HistoryStore* history, std::FILE* out)
      : stream_(stream), history_(history), out_(out) {}

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

  // A cache image handed to a unit at start-up; becomes the unit's latest snapshot if taken.
  void CacheLoaded(unsigned data_id, int record_type, const Bytes& image, bool accepted);

  unsigned completed_cycles() const { return completed_cycles_.load(); }
  // The cycle last announced by OnCycle, its query count and duration.
  struct CycleSummary {
    unsigned number = 0;
    unsigned queries = 0;
    double seconds = 0;
  };
  CycleSummary last_cycle() const;
  // Alarm changes since the previous call, oldest first.
  std::vector<AlarmChange> TakeAlarmChanges();
  // The newest snapshot published (or loaded from cache) under this data id and record type.
  Bytes LatestSnapshot(unsigned data_id, int record_type) const;
  // The active model alarm's description; empty when none is active.
  std::string ModelAlarm() const;
  long long history_failures() const { return history_failures_.load(); }

  std::mutex& output_mutex() { return output_mutex_; }

 private:
  void Print(const std::string& line);

  EventStream& stream_;
  HistoryStore* history_;
  std::FILE* out_;
  std::mutex output_mutex_;

  mutable std::mutex mutex_;
  unsigned queries_since_cycle_ = 0;
  std::chrono::steady_clock::time_point cycle_start_{};
  bool cycle_started_ = false;
  CycleSummary last_cycle_;
  std::vector<AlarmChange> alarm_changes_;
  std::map<std::pair<unsigned, int>, Bytes> latest_snapshots_;
  std::string model_alarm_;

  std::atomic<unsigned> completed_cycles_{0};
  std::atomic<long long> history_failures_{0};
};

// The rule id of the composite device's model check.
inline constexpr const char kModelRuleId[] = "device_model";
