#pragma once

#include <cstdint>
#include <string>

#include "host/export.h"

// One evaluation of a boolean alarm rule, as the threshold engine keeps it. Devices only move
// and copy whole entries; the members belong to the host.
struct ZVK_API rule_value {
  uint8_t active = 0;
  std::string rule_id;
  std::string code;
  int32_t level = 0;
  uint32_t sequence = 0;
  std::string name;
  std::string description;
  uint32_t data_id = 0;
};
