#pragma once

// What the three unit devices share: one mutex guarding the record, one locked entry that every
// parse operation goes through, one closing of the cycle (RoundDone), the freshness rule of
// Get_Value and the bookkeeping of an accepted cache image. A unit supplies only hooks: its
// decoders, its record bytes and its rule tables.
//
// Locking: the record, the channel records and the cache image are touched only under mutex_.
// Nothing slow happens under it: no call into the host and no standard-output write. A decoder
// collects its protocol messages and its output lines in its Parse, written once the lock is
// released; RoundDone closes a copy of the snapshot under the lock and evaluates every rule,
// the model's included, from that copy afterwards.

#include <chrono>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/device.h"
#include "host/ttime.h"
#include "units/byte_reader.h"

// Values older than this many whole seconds are stale.
inline constexpr long long kStaleAfterSeconds = 61;

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
  // What one parse hands its decoder: a reader over the bytes given, the length as given (for
  // the messages), and what is written once the lock is released.
  struct Parse {
    ByteReader reader;
    int length;
    DeferredLog log;
    std::string output;  // standard-output lines

    // Logs a read overflow: `needed` bytes against the length given; gives -1.
    int Overflow(const char* format, long long data_id, std::size_t needed) {
      log.add(format, data_id, static_cast<long long>(needed), length);
      return -1;
    }
  };

  // The one entry of every parse operation: takes the unit's lock, runs `decode`, releases the
  // lock, then writes the standard-output lines and logs the protocol messages. A null pointer
  // counts as no bytes, so the decoder fails cleanly at its first read.
  template <typename Unit>
  int Decode(int (Unit::*decode)(Parse&), const unsigned char* info, int length) {
    Parse parse{ByteReader(info, info == nullptr ? 0 : length), length, {}, {}};
    int result;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = (static_cast<Unit*>(this)->*decode)(parse);
    }
    if (!parse.output.empty()) std::cout << parse.output << std::flush;
    parse.log.flush(*this);
    return result;
  }

  // RoundDone, the same for every unit, in this order: under the lock, the time of the last
  // completed cycle, the record's time stamp and the snapshot copy (`unit.CloseRecord`), then
  // has-data; without the lock, publish the copy under `Unit::kRecordType`, number the rules
  // from 1, record the unit's table rules (`unit.RecordCycleRules`) and the model's
  // (`DoImpCheckAlert`), both read from the copy, and hand rules and copy to the threshold
  // worker. A cache load on another thread meanwhile changes none of it.
  template <typename Unit>
  void CloseCycle(Unit& unit) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      unit.CloseRecord(StampRoundTime(), closed_snapshot_);
      has_data_ = 1;
    }
    SendSP(Unit::kRecordType, closed_snapshot_.data(),
           static_cast<unsigned>(closed_snapshot_.size()), false);
    rule_sequence_ = 1;
    unit.RecordCycleRules();
    unit.DoImpCheckAlert();
    HandOver(closed_snapshot_);
  }

  // The snapshot the current RoundDone closed; touched on the serial thread only.
  const std::vector<unsigned char>& ClosedSnapshot() const { return closed_snapshot_; }

  // Calls `visit(index, record)` for each channel record of the closed snapshot, behind a head
  // of `head_size` bytes, each `record_size` bytes long.
  template <typename Visit>
  void ForEachClosedChannel(std::size_t head_size, std::size_t record_size, Visit visit) const {
    std::size_t index = 0;
    for (std::size_t at = head_size; at + record_size <= closed_snapshot_.size();
         at += record_size)
      visit(index++, closed_snapshot_.data() + at);
  }

  // What a rule's description starts with: `prefix` and a number ("模块" and 3 give "模块3"), or
  // nothing without a prefix.
  struct RuleLabel {
    const char* prefix = nullptr;
    std::size_t number = 0;
  };

  // Records each row of `table` as read from `record`, the description prefixed by `label`.
  template <std::size_t N>
  void RecordTable(const RuleRow (&table)[N], const unsigned char* record, RuleLabel label) {
    for (const RuleRow& row : table) RecordRule(row, label, record[row.offset] == row.value);
  }
  template <std::size_t N>
  void RecordTable(const RuleRow (&table)[N], const unsigned char* record) {
    RecordTable(table, record, RuleLabel{});
  }
  // Records one rule with the next sequence number, the description prefixed by `label`. `row`
  // is a row of one of the unit's static rule tables.
  void RecordRule(const RuleRow& row, RuleLabel label, bool active);

  // A snapshot image: the head and behind it the channel records in order. Call with mutex_
  // held.
  template <typename Head, typename Channel>
  static void CopyImage(const Head& head, const std::vector<Channel>& channels,
                        std::vector<unsigned char>& image) {
    image.resize(sizeof(Head) + sizeof(Channel) * channels.size());
    std::memcpy(image.data(), &head, sizeof(Head));
    if (!channels.empty())
      std::memcpy(image.data() + sizeof(Head), channels.data(), sizeof(Channel) * channels.size());
  }

  // Takes a cache image of at least a head: the head is taken and the channel vector given the
  // count the head's `count` byte holds; the channel records are taken, and the image accepted,
  // only when the rest of it holds exactly that many. Call with mutex_ held.
  template <typename Head, typename Channel>
  bool LoadImage(const unsigned char* image, int length, Head& head, unsigned char Head::*count,
                 std::vector<Channel>& channels) {
    std::memcpy(&head, image, sizeof(Head));
    channels.resize(head.*count);
    const std::size_t channel_bytes = static_cast<std::size_t>(length) - sizeof(Head);
    if (channel_bytes != sizeof(Channel) * channels.size()) return false;
    if (!channels.empty()) std::memcpy(channels.data(), image + sizeof(Head), channel_bytes);
    MarkCacheAccepted();
    return true;
  }

  // Throws "数据未就绪" without data and "数据已超时" when the last completed cycle (or accepted
  // cache image) lies kStaleAfterSeconds or more whole seconds in the past. Call with mutex_
  // held.
  void RequireFreshData() const;

  // An accepted cache image: has-data set, last completed cycle = now. Call with mutex_ held.
  void MarkCacheAccepted();

  mutable std::mutex mutex_;

 private:
  // Sets the time of the last completed cycle to now and returns the host time stamp of a
  // second reading of the clock, for the record's time-stamp field.
  ttime StampRoundTime();

  // Moves the cycle's pending rules into a work item with its own copy of the snapshot and
  // gives it to the threshold worker: batch check, alarm-changed flag, history save. The
  // pending list is left empty with room for as many rules.
  void HandOver(std::vector<unsigned char> snapshot);

  // The texts the rules hand the host, as std::string. A cycle states the same rules in the same
  // order as the one before as long as the channel and module counts stay, so the texts are made
  // once: a row's rule id, code and name once for all the rules of that row, and the description
  // of each sequence number again only when that number's row or label changes. Rows are the
  // units' static tables: one address, one row.
  struct RowTexts {
    const RuleRow* row;
    std::string rule_id;
    std::string code;
    std::string name;
  };
  struct RuleTexts {
    std::size_t row = static_cast<std::size_t>(-1);  // in row_texts_; none yet
    RuleLabel label;
    std::string description;
  };
  // The row's texts and the description of the rule `sequence` states.
  std::pair<const RowTexts&, const std::string&> TextsOf(const RuleRow& row, RuleLabel label,
                                                         unsigned short sequence);

  std::vector<unsigned char> closed_snapshot_;
  // Touched on the serial thread only.
  std::vector<RowTexts> row_texts_;
  std::vector<RuleTexts> rule_texts_;  // by sequence number - 1
};
