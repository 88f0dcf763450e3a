#pragma once

// A K426B composite device on a recording host, wired to a scripted power system that answers
// every query of the cycle.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "plugin/k426b.h"
#include "tests/composite/k426b_replies.h"
#include "tests/composite/scripted_equipment.h"
#include "tests/support/recording_host.h"
#include "tests/support/test_clock.h"

inline constexpr unsigned kCompositeId = 100;

// {"data_id": 100, "acSetting": [{"data_id": a}...], "dcSetting": [...], "rcSetting": {}}
inline Json::Value composite_config(const std::vector<unsigned>& ac_ids,
                                    const std::vector<unsigned>& dc_ids, bool with_rc = true) {
  Json::Value config(Json::objectValue);
  config["data_id"] = kCompositeId;
  if (!ac_ids.empty()) {
    Json::Value& ac = config["acSetting"] = Json::Value(Json::arrayValue);
    for (unsigned id : ac_ids) ac.append(Json::Value(Json::objectValue))["data_id"] = id;
  }
  if (!dc_ids.empty()) {
    Json::Value& dc = config["dcSetting"] = Json::Value(Json::arrayValue);
    for (unsigned id : dc_ids) dc.append(Json::Value(Json::objectValue))["data_id"] = id;
  }
  if (with_rc) config["rcSetting"] = Json::Value(Json::objectValue);
  return config;
}

// "40/41" for each query the host saw, from query number `from` on.
inline std::vector<std::string> query_names(const RecordingEvents& events, std::size_t from = 0) {
  std::vector<std::string> names;
  const std::vector<RecordedQuery> queries = events.queries();
  for (std::size_t i = from; i < queries.size(); ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "%02X/%02X", queries[i].cid1, queries[i].cid2);
    names.push_back(name);
  }
  return names;
}

template <class Device = K426B>
struct CompositeRig {
  // Initialises the device and scripts the equipment from `system` as it stands.
  void Start(const Json::Value& config) {
    ASSERT_TRUE(device->Init(host.controller, kCompositeId, config));
    system.script(equipment);
  }
  // Starts with the configuration that matches `system`: AC units 101.., DC units 201...
  void StartMatching() {
    std::vector<unsigned> ac_ids;
    std::vector<unsigned> dc_ids;
    for (std::size_t i = 0; i < system.ac_screens.size(); ++i) ac_ids.push_back(101 + i);
    for (std::size_t i = 0; i < system.dc_voltages.size(); ++i) dc_ids.push_back(201 + i);
    Start(composite_config(ac_ids, dc_ids));
  }

  // Queries number `from` up to, not including, number `to`.
  std::vector<std::string> Queries(std::size_t from = 0, std::size_t to = SIZE_MAX) const {
    std::vector<std::string> names = query_names(*host.events, from);
    if (to != SIZE_MAX && to - from < names.size()) names.resize(to - from);
    return names;
  }
  std::size_t QueryCount() const { return host.events->queries().size(); }
  std::vector<unsigned> Cycles() const { return host.events->cycles(); }
  bool Logged(const std::string& text) const {
    for (const std::string& line : host.events->log_texts())
      if (line == text) return true;
    return false;
  }
  std::shared_ptr<ZVKVDevice> Child(unsigned data_id) { return device->GetChildVDevice(data_id); }

  RecordingHost host;
  std::shared_ptr<Device> device = std::make_shared<Device>();
  ScriptedEquipment equipment{*device};
  k426b_replies::PowerSystem system;
};

// The test host's clock comes first, so it is installed before any device and removed after.
struct WithTestClock {
  TestClock clock;
};

template <class Device = K426B>
class CompositeTest : public ::testing::Test, public WithTestClock, public CompositeRig<Device> {};
