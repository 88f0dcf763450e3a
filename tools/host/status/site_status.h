#pragma once

// What the host knows about one power system at one moment: its line, its units' values with
// their age, its alarms and its counters. Taken as a copy under the site's lock, so the readers
// (--once --json, the metrics endpoint, the web page) never race with the serial thread. The
// frame trace is the exception: the status holds the site's live trace, read when asked.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/status/frame_trace.h"
#include "tools/host/status/line_condition.h"
#include "tools/host/status/unit_status.h"

namespace Json {
class Value;
}

namespace k426b_host {

struct LineStatus {
  LineCondition state = LineCondition::kUp;
  std::string since;        // ISO 8601 local time of the last change
  std::string reason;       // why, in plain words; empty while up
  unsigned unanswered = 0;  // queries unanswered since the line went silent
  unsigned dropped = 0;     // frames dropped since the last change
  // A line that answers but whose cycle cannot complete, explained with its fix (a unit count
  // that differs from the configuration, a query refused again and again); empty otherwise.
  std::string problem;
};

struct AlarmStatus {
  unsigned data_id = 0;
  int level = 0;
  std::string rule_id;
  std::string code;
  std::string name;
  std::string description;
  bool active = false;
  std::string since;  // ISO 8601 local time of the last change of state
};

// An alarm that was raised or cleared.
struct AlarmChangeRecord {
  std::string time;   // ISO 8601 local time
  AlarmStatus alarm;  // its state after the change
};

struct SiteCounters {
  unsigned long long cycles = 0;
  double last_cycle_seconds = 0;
  unsigned long long queries = 0;
  std::map<std::string, unsigned long long> frame_errors;  // by reason
  std::map<unsigned, unsigned long long> reply_errors;     // by RTN
  unsigned long long log_messages = 0;
};

struct SiteStatus {
  std::string name;   // the site's name; "" for the one-site command line
  std::string port;   // device path, tcp://HOST:PORT or "simulator"
  std::string model;  // the model text the equipment reported; empty until known
  LineStatus line;
  std::vector<UnitStatus> units;
  std::vector<AlarmStatus> alarms;  // every rule seen, active or not, the model alarm included
  // Which version of its site's alarm list `alarms` and `alarm_changes` hold (unique across
  // sites and runs): lets the site skip copying lists that did not change. 0: none.
  unsigned long long alarms_version = 0;
  std::vector<AlarmChangeRecord> alarm_changes;  // of the last hour, oldest first
  // The site's frames as they cross its line (the last 200), shared with the site; null until
  // the site first fills its status.
  std::shared_ptr<const FrameTrace> trace;
  SiteCounters counters;
};

// The JSON form shared by `--once --json`, `GET /api/sites/{name}` and the web page:
// {"name", "port", "model",
//  "line": {"state", "since", "reason", "unanswered", "dropped", "problem"},
//  "units": [{"data_id", "device_type", "record_type", "age_s" (number or null), "cached",
//             "values": {key: number | {"error": text}}}],
//  "alarms": [{"data_id", "level", "rule_id", "code", "name", "description", "active", "since"}],
//  "alarm_changes": [{"time", "state": "raised"|"cleared", ...the alarm's members}],
//  "frames": [{"time", "direction", "text", "cid1", "cid2", "bad", "error"}] (the trace now),
//  "counters": {"cycles", "last_cycle_seconds", "queries", "frame_errors": {reason: n},
//               "reply_errors": {rtn: n}, "log_messages"}}
// `with_trace` false leaves out "frames" and "alarm_changes" (the overview of many sites).
Json::Value SiteStatusJson(const SiteStatus& status, bool with_trace = true);
// The "line" member alone, which the `line` event carries too.
Json::Value LineStatusJson(const LineStatus& line);

}  // namespace k426b_host
