#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "host/export.h"
#include "host/host_events.h"
#include "host/rule_key.h"
#include "host/rule_value.h"
#include "host/threshold_worker.h"

// The host controller: log sink, threshold worker (one thread, FIFO), alarm state tracking, and
// the publication and history sinks, all forwarded to one HostEvents observer.
class ZVK_API ZVKController {
 public:
  // Without `worker` the controller runs a threshold worker of its own; a process with many
  // controllers hands them one shared worker instead, which keeps each controller's items in
  // order and drains and shuts down each controller on its own.
  explicit ZVKController(std::shared_ptr<HostEvents> events = nullptr,
                         std::shared_ptr<ThresholdWorker> worker = nullptr);
  ~ZVKController();
  ZVKController(const ZVKController&) = delete;
  ZVKController& operator=(const ZVKController&) = delete;

  // "{}" placeholders, formatted with fmt. A message fmt cannot format (printf-style
  // conversions, stray braces, too few arguments) is logged as it stands; extra arguments are
  // ignored. Never throws.
  template <typename... Args>
  void InfoLog(unsigned data_id, const char* format, const Args&... args) {
    std::string text;
    try {
      text = fmt::format(fmt::runtime(format), args...);
    } catch (const std::exception&) {
      text = format;
    }
    Log(data_id, text);
  }
  void Log(unsigned data_id, const std::string& text);

  // Threshold worker: runs work items one at a time, in the order given.
  void Submit(std::function<void()> work);
  // Waits until every work item submitted so far has run.
  void Drain();
  // Drains its own work items and, when the worker is its own, joins it; later submissions run
  // at once on the caller.
  void Shutdown();

  // Keeps the last state of each rule, keyed by (data id, rule id, description), and reports
  // every change as an alarm. A first sighting that is active counts as raised. True when any
  // state changed.
  bool BatchCheck(unsigned data_id, const std::vector<rule_value>& rules);

  void Publish(unsigned data_id, int record_type, const unsigned char* bytes, unsigned length);
  void SaveHistory(unsigned data_id, int record_type, const unsigned char* bytes, unsigned length);

  HostEvents& events() { return *events_; }

 private:
  std::shared_ptr<HostEvents> events_;
  const bool own_worker_;
  const std::shared_ptr<ThresholdWorker> worker_;
  // Apart from the controller: the last reference to the controller may be dropped by one of
  // its own work items, on the worker thread.
  const std::shared_ptr<ThresholdWorker::Owner> owner_;

  std::mutex alarm_mutex_;
  // The last state of each rule seen; its key views the rule's texts kept in alarm_texts_.
  std::deque<std::pair<std::string, std::string>> alarm_texts_;  // rule id, description
  std::unordered_map<RuleKey, bool, RuleKeyHash> alarm_states_;
  // Each rule's state by its position in its device's list.
  RulePlaces<std::pair<const RuleKey, bool>> alarm_places_;
};
