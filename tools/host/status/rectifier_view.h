#pragma once

// The rectifier group's values as the outputs (the metrics, the page) show them. The unit serves
// no value by key, so its snapshot (kRectifierRecordType) is the only way to its values: decoded
// here, and shown only while current, by every output alike. Layout: a 149-byte head (the group
// record) and one 51-byte record per module, the module count in head byte 141. Four-byte values
// are IEEE 754 single precision, least significant byte first.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/status/record_types.h"
#include "tools/host/status/unit_status.h"

namespace k426b_host {

struct RectifierField {
  std::string name;  // "group", "ac_parameter_1".."_5", "dc_value_1", "dc_value_2",
                     // "dc_parameter_1".."_26"
  float value = 0;
};

struct RectifierModuleValues {
  float first = 0;
  // The further values, in order; empty when the module announced another count than 7 (its
  // further values are then those of an earlier cycle, not of this one).
  std::vector<float> further;
};

struct RectifierSnapshot {
  // The group value always; the parameter values only once the parameter replies have been
  // taken (their announced count is in place).
  std::vector<RectifierField> fields;
  std::vector<RectifierModuleValues> modules;
};

inline constexpr std::size_t kRectifierHeadSize = 149;
inline constexpr std::size_t kRectifierModuleSize = 51;

// Nothing unless `length` is exactly the head plus the module count's records.
std::optional<RectifierSnapshot> DecodeRectifierSnapshot(const unsigned char* bytes,
                                                         std::size_t length);

// The unit's rectifier values while they are current: its data younger than kDataFreshFor and
// not called timed out by the plug-in. Nothing for a unit of another type, for stale data and for
// a snapshot that does not decode.
std::optional<RectifierSnapshot> CurrentRectifierValues(const UnitStatus& unit);

}  // namespace k426b_host
