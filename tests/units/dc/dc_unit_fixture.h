#pragma once

// A DC unit joined to a recording host through a plain parent device, as the composite device
// would join it, plus helpers that feed its parsers from buffers of exactly the reply's size.

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/support/recording_host.h"
#include "units/dc/k426b_dc.h"
#include "units/record_bytes.h"

inline constexpr unsigned kDcDataId = 0x0A0B0C0D;

class DcUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent->Init(host.controller, 1, Json::Value());
    ASSERT_TRUE(unit->InitV(parent.get(), kDcDataId, Json::Value()));
  }
  // A work item still running when the host goes would hold the controller's last reference.
  void TearDown() override { host.drain(); }

  int parse_analog(const Bytes& info) {
    return unit->parse42_41(info.data(), static_cast<int>(info.size()));
  }
  int parse_alarms(const Bytes& info) {
    return unit->parse42_44(info.data(), static_cast<int>(info.size()));
  }

  tele_c_k426b_dc record() const { return unit->Record(); }
  std::vector<std::string> logs() const { return host.events->log_texts(); }
  std::vector<RecordedRule> rules() const { return host.events->rules(); }

  RecordingHost host;
  std::shared_ptr<ZVKSPDevice> parent = std::make_shared<ZVKSPDevice>();
  std::shared_ptr<K426BDC> unit = std::make_shared<K426BDC>("K426B");
};

// Alarm reply of one DC unit: voltage alarm state, `fuse_count` fuse states (all `fuse_state`)
// and `user_count` user-defined states (all `user_state`).
inline Bytes alarm_reply(unsigned char v_alarm, unsigned char fuse_count, unsigned char user_count,
                         unsigned char fuse_state = 0, unsigned char user_state = 0) {
  Bytes info{v_alarm, fuse_count};
  info.insert(info.end(), fuse_count, fuse_state);
  info.push_back(user_count);
  info.insert(info.end(), user_count, user_state);
  return info;
}

inline Bytes field_bytes(const unsigned char* field, std::size_t width) {
  return Bytes(field, field + width);
}
