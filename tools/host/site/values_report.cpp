#include "tools/host/site/values_report.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "tools/host/site/cache_policy.h"
#include "tools/host/status/rectifier_view.h"

namespace k426b_host {

namespace {

// "(4 s old)", "(cached, 3 min old)", "(no data)".
std::string AgeText(const UnitStatus& unit) {
  if (!unit.age_s) return "(no data)";
  const std::string age = HumanAge(std::max(0.0, *unit.age_s));
  return unit.cached ? "(cached, " + age + " old)" : "(" + age + " old)";
}

// The rectifier group's values as "group 53.5  ac_parameter_1 280 ...".
std::string GroupLine(const RectifierSnapshot& rectifier) {
  std::string line;
  for (const RectifierField& field : rectifier.fields)
    line += fmt::format("{}{} {}", line.empty() ? "" : "  ", field.name, field.value);
  return line;
}

}  // namespace

ValuesReport::ValuesReport(const std::string& title, const std::string& model_alarm)
    : table_(title + "\n") {
  if (!model_alarm.empty()) table_ += fmt::format("  !!! MODEL ALARM: {}\n", model_alarm);
}

void ValuesReport::AddUnit(const UnitStatus& unit, const std::vector<UnitValue>& values) {
  // The rectifier unit serves no value by key: while its data is current, its decoded snapshot
  // is shown instead, the group on the unit's line and a line per module below, as on the page.
  const std::optional<RectifierSnapshot> rectifier = CurrentRectifierValues(unit);
  table_ += fmt::format("  {:>5} {:<9} {} {}\n", unit.data_id, unit.device_type, AgeText(unit),
                        rectifier ? GroupLine(*rectifier) : ValuesLine(values));
  if (!rectifier) return;
  for (std::size_t index = 0; index < rectifier->modules.size(); ++index) {
    const RectifierModuleValues& module = rectifier->modules[index];
    table_ += fmt::format("        module {:<3} {}", index + 1, module.first);
    if (!module.further.empty()) table_ += fmt::format(" | {}", fmt::join(module.further, " "));
    table_ += "\n";
  }
}

void ValuesReport::AddAlarmChange(const AlarmChange& change) {
  table_ +=
      fmt::format("  alarm {:<7} {:>5} level {} {} {} {}: {}\n",
                  change.raised ? "raised" : "cleared", change.data_id, change.rule.level,
                  change.rule.rule_id, change.rule.code, change.rule.name, change.rule.description);
}

std::string ValuesReport::Text() const { return table_.substr(0, table_.size() - 1); }

}  // namespace k426b_host
