#pragma once

// A site's alarm list: every rule its devices stated, active or not, with the time of its last
// change; the changes of the last hour; and the changes not yet shown to people. Rules come by
// every cycle on the serial thread, changes on the threshold worker.

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/rule_key.h"
#include "host/rule_value.h"
#include "tools/host/events/event_sink.h"
#include "tools/host/status/site_status.h"

namespace k426b_host {

struct AlarmChange {
  unsigned data_id;
  rule_value rule;
  bool raised;
};

class AlarmBook {
 public:
  AlarmBook() : version_(NewVersion()) {}

  // A rule a device stated in its cycle: listed as it is when seen for the first time (its
  // changes are dated by `Changed`). With `event`, the `rule` event's members from `code` to
  // `rule_id` are added to it.
  void Stated(unsigned data_id, const rule_value& rule, EventFields* event);
  // The threshold engine raised or cleared the rule: its state, dated now.
  void Changed(unsigned data_id, const rule_value& rule, bool raised);
  // The threshold engine retired the rule, no longer reported: it leaves the list (its changes
  // stay in the last hour's). Stated again, it is listed as new.
  void Retired(unsigned data_id, const std::string& rule_id, const std::string& description);
  // The changes since the last call.
  std::vector<AlarmChange> TakeChanges();
  // The alarms of `rule_id` raised now, as rules for the threshold engine.
  std::vector<rule_value> Raised(std::string_view rule_id) const;
  // Fills the status's alarms and alarm changes, copied only when they changed since it was
  // filled last, and then over the alarms already there, keeping their strings' storage.
  void Fill(SiteStatus& status) const;

 private:
  static unsigned long long NewVersion();
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
  static const std::string& RuleMembers(ListedRule& listed, unsigned data_id,
                                        const rule_value& rule);

  mutable std::mutex mutex_;
  std::map<std::tuple<unsigned, std::string, std::string>, AlarmStatus> alarms_;
  // The entries of alarms_ by a key that views their texts: a rule is found without copies.
  std::unordered_map<RuleKey, ListedRule, RuleKeyHash> listed_alarms_;
  // Each rule's entry by its sequence number in its device's cycle.
  RulePlaces<std::pair<const RuleKey, ListedRule>> listed_places_;
  // A new one for every change of alarms_, unique across sites and runs.
  unsigned long long version_;
  std::deque<AlarmChangeRecord> history_;  // changed only with a new version_
  std::vector<AlarmChange> changes_;       // not yet taken
};

}  // namespace k426b_host
