#include "tools/host/site/values_report.h"

#include <algorithm>

#include <fmt/format.h>

#include "tools/host/site/cache_policy.h"

namespace k426b_host {

namespace {

// "(4 s old)", "(cached, 3 min old)", "(no data)".
std::string AgeText(const UnitStatus& unit) {
  if (!unit.age_s) return "(no data)";
  const std::string age = HumanAge(std::max(0.0, *unit.age_s));
  return unit.cached ? "(cached, " + age + " old)" : "(" + age + " old)";
}

}  // namespace

ValuesReport::ValuesReport(const std::string& title, const std::string& model_alarm)
    : table_(title + "\n") {
  if (!model_alarm.empty()) table_ += fmt::format("  !!! MODEL ALARM: {}\n", model_alarm);
}

void ValuesReport::AddUnit(const UnitStatus& unit, const std::vector<UnitValue>& values) {
  table_ += fmt::format("  {:>5} {:<9} {} {}\n", unit.data_id, unit.device_type, AgeText(unit),
                        ValuesLine(values));
}

void ValuesReport::AddAlarmChange(const AlarmChange& change) {
  table_ +=
      fmt::format("  alarm {:<7} {:>5} level {} {} {} {}: {}\n",
                  change.raised ? "raised" : "cleared", change.data_id, change.rule.level,
                  change.rule.rule_id, change.rule.code, change.rule.name, change.rule.description);
}

std::string ValuesReport::Text() const { return table_.substr(0, table_.size() - 1); }

}  // namespace k426b_host
