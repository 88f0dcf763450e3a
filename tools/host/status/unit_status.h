#pragma once

// One unit as the host sees it: each value it serves by key (or the plug-in's refusal), the age
// of its data and its newest snapshot; and how long the plug-in counts that data as current.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace k426b_host {

// The plug-in serves a unit's values for 61 whole seconds (of its one-second clock) after the
// cycle that took them, or after a cache load; data this old or older is stale.
inline constexpr std::chrono::seconds kDataFreshFor{61};

// One key's answer, as Get_Value gave it.
struct UnitValue {
  std::string key;
  std::optional<float> value;  // empty when the plug-in refused the key
  std::string error;           // the plug-in's reason text when refused
};

struct UnitStatus {
  unsigned data_id = 0;
  std::string device_type;              // "k426b-ac", "k426b-dc", "k426b-rc"
  int record_type = 0;                  // kAcRecordType, kDcRecordType, kRectifierRecordType
  std::vector<UnitValue> values;        // every key the unit serves, in order
  std::optional<double> age_s;          // seconds since its data was taken; empty: none
  bool cached = false;                  // the data came from a cache image, not a cycle
  std::vector<unsigned char> snapshot;  // the newest snapshot published or loaded
};

}  // namespace k426b_host
