#pragma once

// A rule's identity as the threshold engine keeps its state: data id, rule id, description. It
// views texts kept elsewhere, so a rule coming by every cycle is found without copying them.

#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// Where each rule of a device was found last time, by its place in the device's cycle (its
// position in the rule list, or its sequence number). A device states the same rules in the same
// places cycle after cycle, so the place finds the entry with two text comparisons instead of
// hashing the texts. `Entry` is the value type of a map keyed by RuleKey whose entries stay
// where they are (an unordered_map's do, rehashed or not).
template <typename Entry>
class RulePlaces {
 public:
  // Places beyond this many are not remembered: no device states that many rules a cycle.
  static constexpr std::size_t kMaxPlaces = 4096;

  // The entry remembered at the place when it is still that rule's; else null.
  Entry* Find(unsigned data_id, std::size_t place, std::string_view rule_id,
              std::string_view description) {
    const std::vector<Entry*>& places = PlacesOf(data_id);
    if (place >= places.size()) return nullptr;
    Entry* entry = places[place];
    if (entry == nullptr || entry->first.rule_id != rule_id ||
        entry->first.description != description)
      return nullptr;
    return entry;
  }
  // The device's places are forgotten: for when an entry of its goes away.
  void Forget(unsigned data_id) { PlacesOf(data_id).clear(); }
  void Remember(unsigned data_id, std::size_t place, Entry* entry) {
    if (place >= kMaxPlaces) return;
    std::vector<Entry*>& places = PlacesOf(data_id);
    if (place >= places.size()) places.resize(place + 1, nullptr);
    places[place] = entry;
  }

 private:
  // A cycle's rules come device by device: the last device's places are kept at hand.
  std::vector<Entry*>& PlacesOf(unsigned data_id) {
    if (last_ == nullptr || last_id_ != data_id) {
      last_ = &by_device_[data_id];
      last_id_ = data_id;
    }
    return *last_;
  }

  std::unordered_map<unsigned, std::vector<Entry*>> by_device_;
  unsigned last_id_ = 0;
  std::vector<Entry*>* last_ = nullptr;
};
