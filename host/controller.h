#pragma once

#include <functional>
#include <list>
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
  // The composite device completed a cycle; called by it after it handed over the cycle's
  // rules. Once the threshold worker has checked them, the rules no longer reported are retired:
  // each cleared rule not stated in this cycle whose unit (its data id) stated rules in it. A
  // unit states all of its rules every cycle it completes. The model alarm shares its data id
  // with the rectifier unit: the model check states it once in a device's life, and a device
  // made anew that does not raise it again clears it; it goes after the next cycle of the
  // rectifier unit. Each is forgotten and handed to OnRetired. A raised rule is never retired.
  void CycleCompleted();

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

  // Runs on the threshold worker: the retirement CycleCompleted describes.
  void RetireUnreported();

  using RuleTexts = std::list<std::pair<std::string, std::string>>;  // rule id, description
  struct RuleState {
    bool active = false;
    unsigned long long stated = 0;  // the number of the cycle it was last stated in
    RuleTexts::iterator texts;      // what its key views
  };

  std::mutex alarm_mutex_;
  // The last state of each rule seen; its key views the rule's texts kept in alarm_texts_.
  RuleTexts alarm_texts_;
  std::unordered_map<RuleKey, RuleState, RuleKeyHash> alarm_states_;
  // Each rule's state by its position in its device's list.
  RulePlaces<std::pair<const RuleKey, RuleState>> alarm_places_;
  // Cycles completed (checked on the worker), and by data id the last cycle each stated rules.
  unsigned long long cycles_ = 0;
  std::unordered_map<unsigned, unsigned long long> stated_in_;
  std::size_t stated_this_cycle_ = 0;  // the states stated in the cycle under way
};
