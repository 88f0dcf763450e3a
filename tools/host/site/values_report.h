#pragma once

// The values table a site shows people after a cycle, or while none completes: a title, the
// model alarm when one stands, a line per unit (its age and values; for the rectifier unit its
// group values and a line per module), and the alarms raised or cleared since the table before.

#include <string>
#include <vector>

#include "tools/host/events/site_events.h"
#include "tools/host/site/unit_values.h"
#include "tools/host/status/site_status.h"

namespace k426b_host {

class ValuesReport {
 public:
  // `model_alarm`: the active model alarm's description, empty when none.
  ValuesReport(const std::string& title, const std::string& model_alarm);

  // The unit's data id, device type, age and values on one line (the rectifier's modules below).
  void AddUnit(const UnitStatus& unit, const std::vector<UnitValue>& values);
  // The change, the unit's data id and the rule on one line.
  void AddAlarmChange(const AlarmChange& change);
  // The table, without a newline after its last line.
  std::string Text() const;

 private:
  std::string table_;  // every line ends in a newline
};

}  // namespace k426b_host
