#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/support/recording_host.h"
#include "units/ac/k426b_ac.h"
#include "units/record_bytes.h"

using AcParser = int (K426BAC::*)(const unsigned char*, int);

// One AC unit joined to a recording host through a plain parent device.
class AcUnitTest : public ::testing::Test {
 public:
  static constexpr unsigned kDataId = 4711;

 protected:
  AcUnitTest() { parent_->Init(host_.controller, 1, Json::Value()); }

  std::shared_ptr<K426BAC> make_unit(const Json::Value& config = Json::Value()) {
    auto unit = std::make_shared<K426BAC>();
    unit->InitV(parent_.get(), kDataId, config);
    return unit;
  }

  // Offers `block` from a buffer of exactly its size, so that an over-read is caught.
  static int parse(K426BAC& unit, AcParser parser, const Bytes& block) {
    return parse_prefix(unit, parser, block, block.size());
  }
  // Offers the first `length` bytes of `block`, again from a buffer of exactly that size.
  static int parse_prefix(K426BAC& unit, AcParser parser, const Bytes& block, std::size_t length) {
    std::vector<unsigned char> exact(block.begin(), block.begin() + length);
    return (unit.*parser)(exact.data(), static_cast<int>(exact.size()));
  }

  // The record as the unit publishes it: closes a cycle and returns its snapshot.
  Bytes publish(K426BAC& unit) {
    unit.RoundDone();
    host_.drain();
    const auto snapshots = host_.events->snapshots();
    return snapshots.empty() ? Bytes() : snapshots.back().bytes;
  }

  static std::string value_error(const K426BAC& unit, const std::string& key) {
    try {
      unit.Get_Value(kDataId, key);
    } catch (const std::out_of_range& error) {
      return error.what();
    }
    return "no error";
  }

  RecordingHost host_;
  std::shared_ptr<ZVKSPDevice> parent_ = std::make_shared<ZVKSPDevice>();
};

// Blocks of real shape: one and two AC screens at 220 V / 50 Hz with 10 A per phase.
inline Bytes analog_block_one_screen() {
  return hex_bytes(
      "01"
      "00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42  00"
      "00 00 20 41  00 00 20 41  00 00 20 41");
}

inline Bytes analog_block_two_screens() {
  return hex_bytes(
      "02"
      "00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42  00"
      "00 00 60 43  00 00 64 43  00 00 68 43  00 00 4A 42  00"
      "00 00 20 41  00 00 30 41  00 00 40 41");
}

inline Bytes alarm_block_one_screen() {
  return hex_bytes("01  00 02 00 00  00  07 11 12 13 14 15 16 17  00 00 01");
}
