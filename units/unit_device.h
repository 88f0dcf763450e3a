#pragma once

// What the three unit devices share: one mutex guarding the record, the freshness rule of
// Get_Value, the closing steps of a cycle (time stamp, rule numbering, hand-over of the rules
// and the snapshot to the threshold worker) and the bookkeeping of an accepted cache image.
//
// Locking: the record, the channel records and the snapshot are touched only under mutex_.
// No lock is held while calling into the host, so a parser collects its protocol messages in a
// DeferredLog and emits them after unlocking, and RoundDone gathers its rule states under the
// lock and records them afterwards.

#include <mutex>
#include <string>
#include <vector>

#include "host/device.h"
#include "host/ttime.h"

// One rule of a unit's rule table: active when the record byte at `offset` equals `value`.
struct RuleRow {
  int level;
  const char* rule_id;
  const char* code;
  const char* name;
  const char* description;  // appended to the label of the channel or module, if any
  unsigned offset;
  unsigned char value;
};

// A rule's state for one cycle, taken under the unit's lock and recorded after it.
struct RuleState {
  int level;
  std::string rule_id;
  std::string code;
  std::string name;
  std::string description;
  bool active;
};

// Protocol messages of one parse, emitted once the unit's lock is released. Every message's
// arguments are integers; extra ones are ignored by the log.
class DeferredLog {
 public:
  void add(const char* format, long long first, long long second = 0, long long third = 0) {
    entries_.push_back(Entry{format, first, second, third});
  }
  void flush(const ZVKVDevice& device) {
    for (const Entry& entry : entries_)
      device.InfoLog(entry.format, entry.first, entry.second, entry.third);
    entries_.clear();
  }

 private:
  struct Entry {
    const char* format;
    long long first;
    long long second;
    long long third;
  };
  std::vector<Entry> entries_;
};

// The change thresholds of a unit's "appSetting" object ("diff_v", "diff_i"): each a number or
// numeric text, read with atof (text that is no number gives 0). An absent key, a value with no
// text form (array, object), or an "appSetting" that is not an object leaves the threshold as it
// was, rather than throwing into the host.
void ReadChangeThresholds(const Json::Value& config, float& diff_v, float& diff_i);

class UnitDevice : public ZVKSPDevice {
 public:
  UnitDevice();

 protected:
  // Throws "数据未就绪" without data and "数据已超时" when the last completed cycle (or accepted
  // cache image) lies 61 or more whole seconds in the past. Call with mutex_ held.
  void RequireFreshData() const;

  // Sets the time of the last completed cycle to now and returns the host time stamp of a
  // second reading of the clock, for the record's time-stamp field. Call with mutex_ held.
  ttime StampRoundTime();

  // An accepted cache image: has-data set, last completed cycle = now. Call with mutex_ held.
  void MarkCacheAccepted();

  // Appends the state of each row of `table` read from `record`, description prefixed by
  // `label`.
  template <std::size_t N>
  static void EvaluateRules(const RuleRow (&table)[N], const unsigned char* record,
                            const std::string& label, std::vector<RuleState>& out) {
    for (const RuleRow& row : table)
      out.push_back(RuleState{row.level, row.rule_id, row.code, row.name,
                              label + row.description, record[row.offset] == row.value});
  }

  // Sets the rule sequence counter to 1; the first rule of the cycle carries 1.
  void BeginRules() { rule_sequence_ = 1; }
  // Records one rule with the next sequence number. Call without mutex_ held.
  void RecordRule(const RuleState& rule);
  void RecordRules(const std::vector<RuleState>& rules);

  // Moves the cycle's pending rules into a work item with its own copy of the snapshot and
  // gives it to the threshold worker: batch check, alarm-changed flag, history save. The
  // pending list is left empty with room for as many rules. Call without mutex_ held.
  void HandOver(std::vector<unsigned char> snapshot);

  mutable std::mutex mutex_;
};
