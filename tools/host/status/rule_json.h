#pragma once

// The members that name an alarm rule in the JSON the host writes of it: the `rule` and `alarm`
// events, and a site's alarms and alarm changes. One list of names, so that every writer names a
// rule alike.

#include <json/value.h>

namespace k426b_host {

// Calls `member(name, value)` for each member that names `rule` (a rule_value or an
// AlarmStatus) of device `data_id`, in the byte order of the names, the order a Json::Value
// object keeps. The values are std::string, but for the data id (unsigned) and the level (int).
template <typename Rule, typename Member>
void ForEachRuleMember(unsigned data_id, const Rule& rule, Member&& member) {
  member("code", rule.code);
  member("data_id", data_id);
  member("description", rule.description);
  member("level", static_cast<int>(rule.level));
  member("name", rule.name);
  member("rule_id", rule.rule_id);
}

// Those members as an object, for the members a writer adds beside them.
template <typename Rule>
Json::Value RuleJson(unsigned data_id, const Rule& rule) {
  Json::Value members(Json::objectValue);
  ForEachRuleMember(data_id, rule,
                    [&members](const char* name, const auto& value) { members[name] = value; });
  return members;
}

}  // namespace k426b_host
