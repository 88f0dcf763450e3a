#pragma once

// A rectifier unit joined to a recording host through a plain parent device, as the composite
// device would join it, with helpers that feed its parsers from buffers of exactly the reply's
// size and read its record back from the snapshot a completed cycle publishes.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/support/recording_host.h"
#include "units/rc/k426b_rc.h"

inline constexpr unsigned kRcDataId = 0x11223344;
inline constexpr std::size_t kHead = 149;
inline constexpr std::size_t kModule = 51;

// Offsets in the snapshot.
inline constexpr std::size_t kGroupValue = 137;
inline constexpr std::size_t kModuleCount = 141;
inline constexpr std::size_t kTimeStamp = 142;
inline std::size_t module_at(std::size_t index, std::size_t offset) {
  return kHead + kModule * index + offset;
}

// One module of a 41_41 reply: first value, count 7, seven values (the second one a marker).
inline const char* const kAnalogModule =
    "41 20 00 00  07  42 5C 00 00  20 20 20 20  3F 80 00 00  00 00 00 00  41 A0 00 00  "
    "42 00 00 00  42 20 00 00";
// One module of a 41_43 reply: three state bytes, count 5, five extra state bytes.
inline const char* const kStateModule = "01 02 03  05  0A 0B 0C 0D 0E";
// One module of a 41_44 reply: alarm state, count 7, seven extra alarm bytes.
inline const char* const kAlarmModule = "00  07  00 01 00 00 E1 00 00";

inline std::string hex_of(int byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte & 0xFF);
  return text;
}

inline Bytes repeat_module(const std::string& header, const char* module, int count) {
  std::string text = header;
  for (int i = 0; i < count; ++i) text += std::string(" ") + module;
  return hex_bytes(text);
}
inline Bytes analog_reply(int modules) {
  return repeat_module("00  42 48 00 00  " + hex_of(modules), kAnalogModule, modules);
}
inline Bytes state_reply(int modules) {
  return repeat_module("10 " + hex_of(modules), kStateModule, modules);
}
inline Bytes alarm_reply(int modules) {
  return repeat_module("01 " + hex_of(modules), kAlarmModule, modules);
}

inline Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t width) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + width);
}

class RcUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent->Init(host.controller, 1, Json::Value());
    ASSERT_TRUE(unit->InitV(parent.get(), kRcDataId, Json::Value()));
  }
  // A work item still running when the host goes would hold the controller's last reference.
  void TearDown() override { host.drain(); }

  // Every parse runs on a copy of exactly `length` bytes, so an over-read shows under ASan.
  using Parser = int (K426BRC::*)(const unsigned char*, int);
  int parse(Parser parser, const Bytes& info) {
    Bytes exact(info);
    return (unit.get()->*parser)(exact.data(), static_cast<int>(exact.size()));
  }
  int parse(Parser parser, const Bytes& info, std::size_t length) {
    Bytes exact(info.begin(), info.begin() + length);
    return (unit.get()->*parser)(exact.data(), static_cast<int>(exact.size()));
  }

  // Closes a cycle and returns the snapshot it published.
  Bytes cycle() {
    unit->RoundDone();
    return host.events->snapshots().back().bytes;
  }
  std::vector<std::string> logs() const { return host.events->log_texts(); }
  std::vector<RecordedRule> rules() const { return host.events->rules(); }

  std::string value_error() const {
    try {
      unit->Get_Value(kRcDataId, "any");
    } catch (const std::out_of_range& error) {
      return error.what();
    }
    return "no exception";
  }

  RecordingHost host;
  std::shared_ptr<ZVKSPDevice> parent = std::make_shared<ZVKSPDevice>();
  std::shared_ptr<K426BRC> unit = std::make_shared<K426BRC>();
};
