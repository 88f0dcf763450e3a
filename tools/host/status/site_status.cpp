#include "tools/host/status/site_status.h"

#include <json/value.h>

#include "tools/common/json_text.h"
#include "tools/host/status/rule_json.h"

namespace k426b_host {

namespace {

Json::Value AlarmJson(const AlarmStatus& alarm) {
  Json::Value members = RuleJson(alarm.data_id, alarm);
  members["active"] = alarm.active;
  members["since"] = alarm.since;
  return members;
}

Json::Value UnitJson(const UnitStatus& unit) {
  Json::Value members(Json::objectValue);
  members["data_id"] = unit.data_id;
  members["device_type"] = unit.device_type;
  members["record_type"] = unit.record_type;
  members["age_s"] = unit.age_s ? Json::Value(*unit.age_s) : Json::Value();
  members["cached"] = unit.cached;
  Json::Value values(Json::objectValue);
  for (const UnitValue& value : unit.values) {
    if (value.value) {
      values[value.key] = FloatJson(*value.value);
    } else {
      Json::Value refusal(Json::objectValue);
      refusal["error"] = value.error;
      values[value.key] = refusal;
    }
  }
  members["values"] = values;
  return members;
}

Json::Value FrameJson(const FrameRecord& frame) {
  Json::Value members(Json::objectValue);
  members["time"] = frame.time;
  members["direction"] = frame.direction;
  members["text"] = frame.text;
  members["cid1"] = frame.cid1;
  members["cid2"] = frame.cid2;
  members["bad"] = frame.bad;
  members["error"] = frame.error;
  return members;
}

}  // namespace

Json::Value LineStatusJson(const LineStatus& line) {
  Json::Value members(Json::objectValue);
  members["state"] = LineConditionText(line.state);
  members["since"] = line.since;
  members["reason"] = line.reason;
  members["unanswered"] = line.unanswered;
  members["dropped"] = line.dropped;
  members["problem"] = line.problem;
  return members;
}

Json::Value SiteStatusJson(const SiteStatus& status, bool with_trace) {
  Json::Value site(Json::objectValue);
  site["name"] = status.name;
  site["port"] = status.port;
  site["model"] = status.model;

  site["line"] = LineStatusJson(status.line);

  Json::Value units(Json::arrayValue);
  for (const UnitStatus& unit : status.units) units.append(UnitJson(unit));
  site["units"] = units;

  Json::Value alarms(Json::arrayValue);
  for (const AlarmStatus& alarm : status.alarms) alarms.append(AlarmJson(alarm));
  site["alarms"] = alarms;

  if (with_trace) {
    Json::Value changes(Json::arrayValue);
    for (const AlarmChangeRecord& change : status.alarm_changes) {
      Json::Value members = AlarmJson(change.alarm);
      members["time"] = change.time;
      members["state"] = change.alarm.active ? "raised" : "cleared";
      changes.append(members);
    }
    site["alarm_changes"] = changes;
    Json::Value frames(Json::arrayValue);
    if (status.trace) {
      for (const FrameRecord& frame : status.trace->Frames()) frames.append(FrameJson(frame));
    }
    site["frames"] = frames;
  }

  Json::Value counters(Json::objectValue);
  counters["cycles"] = Json::UInt64(status.counters.cycles);
  counters["last_cycle_seconds"] = status.counters.last_cycle_seconds;
  counters["queries"] = Json::UInt64(status.counters.queries);
  Json::Value frame_errors(Json::objectValue);
  for (const auto& [reason, count] : status.counters.frame_errors)
    frame_errors[reason] = Json::UInt64(count);
  counters["frame_errors"] = frame_errors;
  Json::Value reply_errors(Json::objectValue);
  for (const auto& [rtn, count] : status.counters.reply_errors)
    reply_errors[std::to_string(rtn)] = Json::UInt64(count);
  counters["reply_errors"] = reply_errors;
  counters["log_messages"] = Json::UInt64(status.counters.log_messages);
  site["counters"] = counters;
  return site;
}

}  // namespace k426b_host
