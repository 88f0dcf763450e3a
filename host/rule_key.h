#pragma once

// A rule's identity as the threshold engine keeps its state: data id, rule id, description. It
// views texts kept elsewhere, so a rule coming by every cycle is found without copying them.

#include <cstddef>
#include <functional>
#include <string_view>

struct RuleKey {
  unsigned data_id = 0;
  std::string_view rule_id;
  std::string_view description;

  bool operator==(const RuleKey& other) const {
    return data_id == other.data_id && rule_id == other.rule_id &&
           description == other.description;
  }
};

struct RuleKeyHash {
  std::size_t operator()(const RuleKey& key) const {
    std::size_t hash = std::hash<std::string_view>()(key.description);
    const auto combine = [&hash](std::size_t more) {
      hash ^= more + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    };
    combine(std::hash<std::string_view>()(key.rule_id));
    combine(key.data_id);
    return hash;
  }
};
