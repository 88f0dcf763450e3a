// A stand-in for the multi-site host while testing the web page: three sites on a status board,
// served by AddWebRoutes on 127.0.0.1, changed by commands read from standard input so a test
// drives the page deterministically. `web_demo [PORT]` (0 or none: any free port) prints
// "listening PORT" once serving, then "ok" or "error: why" after every command.
//
//   set-value SITE DATA_ID KEY NUMBER      refuse SITE DATA_ID TEXT...
//   raise-alarm SITE DATA_ID RULE LEVEL CODE NAME DESCRIPTION
//   clear-alarm SITE DATA_ID RULE          line SITE STATE REASON...
//   frame SITE DIR TEXT                    bad-frame SITE HEX REASON...
//   quit

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "tools/host/event_stream.h"
#include "tools/host/status_board.h"
#include "tools/host/web.h"

namespace {

UnitStatus Unit(unsigned data_id, const char* device_type, int record_type) {
  UnitStatus unit;
  unit.data_id = data_id;
  unit.device_type = device_type;
  unit.record_type = record_type;
  unit.age_s = 2.5;
  return unit;
}

std::vector<UnitStatus> Units() {
  UnitStatus ac = Unit(101, "k426b-ac", 5094);
  for (const auto& [key, value] : {std::pair{"ia", 12.5f}, {"ib", 12.4f}, {"ic", 12.6f},
                                   {"ia_alert", 0.f}, {"channel_0_a", 230.1f},
                                   {"channel_0_b", 229.8f}, {"channel_0_c", 231.0f},
                                   {"channel_0_f", 50.f}})
    ac.values.push_back({key, value, ""});
  UnitStatus dc = Unit(102, "k426b-dc", 5096);
  dc.values = {{"v", 53.5f, ""}, {"i", 120.f, ""}};
  // Two rectifier modules; module record bytes 42..50 carry the state and the alarm bytes.
  UnitStatus rc = Unit(100, "k426b-rc", 5095);
  rc.snapshot.assign(149 + 2 * 51, 0);
  rc.snapshot[141] = 2;
  rc.snapshot[149 + 51 + 43] = 7;
  rc.snapshot[149 + 51 + 45] = 1;  // module 2: fan alarm
  return {ac, dc, rc};
}

SiteStatus Site(const std::string& name, const std::string& port, const std::string& model) {
  SiteStatus site;
  site.name = name;
  site.port = port;
  site.model = model;
  site.line.since = IsoLocalTimeNow();
  site.units = Units();
  site.counters.cycles = 42;
  site.counters.last_cycle_seconds = 1.84;
  site.counters.queries = 42 * 7;
  site.frames.push_back({IsoLocalTimeNow(), "tx", "~21014140E00200FD0B", 0x41, 0x40, false, ""});
  site.frames.push_back({IsoLocalTimeNow(), "rx", "~210141000000FDB2", 0x41, 0x00, false, ""});
  return site;
}

// What a rectifier snapshot decoder would add: one row per module with its state and alarm bytes.
void DescribeDemoUnit(const UnitStatus& unit, Json::Value& json) {
  if (unit.device_type != "k426b-rc" || unit.snapshot.size() < 149) return;
  Json::Value modules(Json::arrayValue);
  for (std::size_t at = 149; at + 51 <= unit.snapshot.size(); at += 51) {
    Json::Value module(Json::objectValue);
    module["position"] = modules.size() + 1;
    module["state"] = unit.snapshot[at + 42];
    Json::Value bytes(Json::arrayValue);
    for (std::size_t i = 43; i < 51; ++i) bytes.append(unit.snapshot[at + i]);
    module["alarm_bytes"] = bytes;
    modules.append(module);
  }
  json["modules"] = modules;
}

int HexByteAt(const std::string& text, std::size_t at) {
  if (text.size() < at + 2) return -1;
  try {
    return std::stoi(text.substr(at, 2), nullptr, 16);
  } catch (const std::exception&) {
    return -1;
  }
}

std::string Rest(std::istringstream& words) {
  std::string rest;
  std::getline(words >> std::ws, rest);
  return rest;
}

UnitStatus* FindUnit(SiteStatus& site, unsigned data_id) {
  for (UnitStatus& unit : site.units)
    if (unit.data_id == data_id) return &unit;
  return nullptr;
}

// Raising sets the whole alarm; clearing keeps its texts. Either way the change is recorded.
void SetAlarm(SiteStatus& site, const AlarmStatus& alarm) {
  AlarmStatus* known = nullptr;
  for (AlarmStatus& candidate : site.alarms)
    if (candidate.data_id == alarm.data_id && candidate.rule_id == alarm.rule_id) known = &candidate;
  if (known == nullptr) {
    site.alarms.push_back(alarm);
    known = &site.alarms.back();
  } else if (alarm.active) {
    *known = alarm;
  } else {
    known->active = false;
    known->since = alarm.since;
  }
  site.alarm_changes.push_back({alarm.since, *known});
}

void AddFrame(SiteStatus& site, FrameRecord frame) {
  site.frames.push_back(std::move(frame));
  if (site.frames.size() > 200) site.frames.erase(site.frames.begin());
}

// Applies one command; empty on success, else why not.
std::string Apply(StatusBoard& board, const std::string& line) {
  std::istringstream words(line);
  std::string command, name;
  words >> command >> name;
  if (!board.Site(name)) return "unknown site " + name;
  std::string problem;
  board.Update(name, [&](SiteStatus& site) {
    ++site.counters.cycles;
    if (command == "set-value" || command == "refuse") {
      unsigned data_id = 0;
      std::string key;
      float number = 0;
      words >> data_id;
      if (command == "set-value") words >> key >> number;
      UnitStatus* unit = FindUnit(site, data_id);
      if (unit == nullptr || !words) {
        problem = "bad unit or value";
        return;
      }
      const std::string text = Rest(words);
      for (UnitValueStatus& value : unit->values) {
        if (command == "refuse") value = {value.key, std::nullopt, text};
        else if (value.key == key) value = {key, number, ""};
      }
    } else if (command == "raise-alarm" || command == "clear-alarm") {
      AlarmStatus alarm;
      words >> alarm.data_id >> alarm.rule_id;
      alarm.active = command == "raise-alarm";
      if (alarm.active) words >> alarm.level >> alarm.code >> alarm.name >> alarm.description;
      alarm.since = IsoLocalTimeNow();
      if (!words) {
        problem = "bad alarm";
        return;
      }
      SetAlarm(site, alarm);
    } else if (command == "line") {
      words >> site.line.state;
      site.line.reason = Rest(words);
      site.line.since = IsoLocalTimeNow();
    } else if (command == "frame") {
      std::string direction, text;
      words >> direction >> text;
      AddFrame(site, {IsoLocalTimeNow(), direction, text, HexByteAt(text, 5), HexByteAt(text, 7),
                      false, ""});
    } else if (command == "bad-frame") {
      std::string bytes;
      words >> bytes;
      const std::string reason = Rest(words);
      AddFrame(site, {IsoLocalTimeNow(), "rx", bytes, -1, -1, true, reason});
      ++site.counters.frame_errors[reason];
    } else {
      problem = "unknown command " + command;
    }
  });
  return problem;
}

}  // namespace

int main(int argc, char** argv) {
  const int wanted_port = argc > 1 ? std::atoi(argv[1]) : 0;
  StatusBoard board;
  board.Publish(Site("north", "tcp://127.0.0.1:7001", "K426B-48/300"));
  SiteStatus south = Site("south", "/dev/ttyUSB1", "K426B-48/300");
  for (UnitStatus& unit : south.units) {
    unit.age_s = 75;
    for (UnitValueStatus& value : unit.values) value = {value.key, std::nullopt, "数据已超时"};
  }
  board.Publish(south);
  // Texts from the line are shown as text: this model must never become markup.
  board.Publish(Site("east", "tcp://127.0.0.1:7003", "<img src=x onerror=alert(1)>"));

  WebOptions options;
  options.describe_unit = DescribeDemoUnit;
  options.keep_alive = std::chrono::seconds(2);
  httplib::Server server;
  AddWebRoutes(server, board, options);
  // SO_REUSEADDR (httplib's default) lets a restarted demo take its old port back at once.
  const int port = wanted_port > 0 ? (server.bind_to_port("127.0.0.1", wanted_port) ? wanted_port : -1)
                                   : server.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::thread listener([&server] { server.listen_after_bind(); });
  std::printf("listening %d\n", port);
  std::fflush(stdout);

  std::string line;
  while (std::getline(std::cin, line) && line != "quit") {
    if (line.empty()) continue;
    const std::string problem = Apply(board, line);
    std::printf("%s\n", problem.empty() ? "ok" : ("error: " + problem).c_str());
    std::fflush(stdout);
  }
  server.stop();
  listener.join();
  return 0;
}
