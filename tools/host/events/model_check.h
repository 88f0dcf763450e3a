#pragma once

// The composite device's model check as a site follows it: the model the equipment reported in
// its device information, the model alarm standing, and, once a device made anew has settled
// its own check, the model alarms still raised that it did not raise again.

#include <mutex>
#include <string>
#include <vector>

#include "host/host_events.h"
#include "host/rule_value.h"

namespace k426b_host {

class AlarmBook;

// The rule id of the composite device's model check.
inline constexpr const char kModelRuleId[] = "device_model";

class ModelCheck {
 public:
  // The device asks the device information until its reply settles the model check; any model
  // alarm comes while that reply is handled, before the next query. So the first other query of
  // a device made anew settles its check: the model alarms `alarms` holds raised that the check
  // did not raise again become stale.
  void QuerySent(unsigned char cid1, unsigned char cid2, const AlarmBook& alarms);
  // The reply to the device information carries the model.
  void ReplyReceived(unsigned char rtn, const Bytes& info);
  // A rule the device stated: the model rule, while the check is not settled, is the one the
  // new device raised.
  void RuleStated(const rule_value& rule);
  // An alarm raised or cleared; whether it is the model alarm being raised.
  bool AlarmChanged(const rule_value& rule, bool raised);
  // The device was made anew (the line came back, perhaps to another power system): its model
  // check decides again which model alarm stands.
  void DeviceMadeAnew();
  // The stale model alarms, as inactive rules for the threshold engine, each handed out once.
  std::vector<rule_value> TakeStale();

  // The active model alarm's description; empty when none is active.
  std::string alarm() const;
  // Copies the model text the equipment reported (empty until known) into `model`.
  void FillModel(std::string& model) const;

 private:
  mutable std::mutex mutex_;
  int last_query_ = -1;  // cid1 << 8 | cid2 of the query in flight
  std::string model_;
  std::string alarm_;
  bool recheck_ = false;         // a device made anew has not settled its model check yet
  std::string alarm_rechecked_;  // the description of the model alarm it raised, if any
  std::vector<rule_value> stale_;
};

}  // namespace k426b_host
