#pragma once

// What the host knows about one power system at one moment: its line, its units' values with
// their age, its alarms and its counters. Taken as a copy under the site's lock, so the readers
// (--once --json, the metrics endpoint, the web page) never race with the serial thread.

#include <map>
#include <optional>
#include <string>
#include <vector>

struct LineStatus {
  std::string state = "up";  // "up", "silent" or "lost"
  std::string since;         // ISO 8601 local time of the last change
  std::string reason;        // why, in plain words; empty while up
  unsigned unanswered = 0;   // queries unanswered since the line went silent
  unsigned dropped = 0;      // frames dropped since the last change
};

struct UnitValueStatus {
  std::string key;
  std::optional<float> value;  // empty when the plug-in refused the key
  std::string error;           // the plug-in's reason text when refused
};

struct UnitStatus {
  unsigned data_id = 0;
  std::string device_type;                 // "k426b-ac", "k426b-dc", "k426b-rc"
  int record_type = 0;                     // 5094, 5096, 5095
  std::vector<UnitValueStatus> values;     // every key the unit serves, in order
  std::optional<double> age_s;             // seconds since its data was taken; empty: none
  bool cached = false;                     // the data came from a cache image, not a cycle
  std::vector<unsigned char> snapshot;     // the newest snapshot published or loaded
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
  SiteCounters counters;
};
