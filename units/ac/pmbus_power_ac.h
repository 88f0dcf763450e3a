#pragma once

// AC distribution unit: decodes the CID1 0x40 replies into its head and channel records
// (layout in tele_c_k426b_ac.h), answers value look-ups, reloads cached snapshots and closes
// each poll cycle with its snapshot and its alarm rules.
//
// Reply blocks, one per AC unit (N channels, P user values per channel):
//   0x41  N | N x (a b c f: 4x4, P, 4xP) | ia ib ic: 3x4          13 + 17N bytes when P = 0
//   0x43  m | m switch states | p | p user switch states         4 + m bytes when p = 2
//   0x44  n | n x (4 alarm states, m, m bytes, p, p user bytes) | 3 current alarm states
//         (n is the learnt channel count, whatever the block's first byte says)

#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "units/ac/channel_key.h"
#include "units/byte_reader.h"
#include "units/record_bytes.h"
#include "units/unit_device.h"

// The alarm rules of an AC unit (ac_rules.cpp): eleven per channel record, read at the
// channel's alarm-state bytes, then nine read at the head's current alarm-state bytes.
extern const RuleRow kAcChannelRules[11];
extern const RuleRow kAcCurrentRules[9];

inline constexpr const char kAcChannelLabel[] = "交流屏";

template <typename Head, typename Channel, int RecordType>
class PMBusPowerAC : public UnitDevice {
 public:
  static constexpr int kRecordType = RecordType;
  static constexpr unsigned kHeadSize = sizeof(Head);
  static constexpr unsigned kChannelSize = sizeof(Channel);

  PMBusPowerAC() { std::memset(&head_, 0, sizeof head_); }
  ~PMBusPowerAC() override = default;

  using ZVKSPDevice::LoadFromCache;

  float Get_Value(unsigned data_id, const std::string& key) const override;
  bool LoadFromCache(const unsigned char* image, int length) override;
  void RoundDone() override { CloseCycle(*this); }
  bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config) override;

  // Each parser decodes this unit's block of a reply and returns the bytes it occupies, or -1
  // when the reply cannot be used. `length` is what is left of the information bytes.
  virtual int parse40_41(const unsigned char* info, int length) {
    return Decode(&PMBusPowerAC::Parse4041, info, length);
  }
  virtual int parse40_43(const unsigned char* info, int length) {
    return Decode(&PMBusPowerAC::Parse4043, info, length);
  }
  virtual int parse40_44(const unsigned char* info, int length) {
    return Decode(&PMBusPowerAC::Parse4044, info, length);
  }
  // Further alarm rules of the concrete unit, numbered after the AC rules.
  virtual void DoImpCheckAlert() = 0;

  // Change thresholds from the "appSetting" configuration ("diff_v", "diff_i").
  float VoltageChangeThreshold() const { return diff_v_; }
  float CurrentChangeThreshold() const { return diff_i_; }

 private:
  friend class UnitDevice;

  // RoundDone's hooks: the stamp into the head, then head and channels into the snapshot; the
  // eleven rules of each channel, then the nine current rules, read from that snapshot.
  void CloseRecord(const ttime& stamp, std::vector<unsigned char>& snapshot) {
    std::memcpy(head_.time_stamp, stamp.data(), sizeof head_.time_stamp);
    CopyImage(head_, channels_, snapshot);
  }
  void RecordCycleRules() {
    ForEachClosedChannel(kHeadSize, kChannelSize, [this](std::size_t index, const unsigned char* channel) {
      RecordTable(kAcChannelRules, channel, {kAcChannelLabel, index + 1});
    });
    RecordTable(kAcCurrentRules, ClosedSnapshot().data());
  }

  int Parse4041(Parse& parse);
  int Parse4043(Parse& parse);
  int Parse4044(Parse& parse);
  // Reads one four-byte analog value; a no-value marker is stored as `missing_bits`.
  static bool ReadValue(ByteReader& reader, unsigned char* field, uint32_t missing_bits);

  Head head_;
  std::vector<Channel> channels_;
  float diff_v_ = 20.0f;
  float diff_i_ = 20.0f;
};

template <typename Head, typename Channel, int RecordType>
bool PMBusPowerAC<Head, Channel, RecordType>::ReadValue(ByteReader& reader, unsigned char* field,
                                                        uint32_t missing_bits) {
  unsigned char value[4];
  if (!reader.bytes(value, sizeof value)) return false;
  if (is_no_value_marker(value))
    store_u32(field, missing_bits);
  else
    std::memcpy(field, value, sizeof value);
  return true;
}

// The overflow messages report the bytes needed up to the end of the field that did not fit.
template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4041(Parse& parse) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
  constexpr uint32_t kZeroBits = 0;
  ByteReader& reader = parse.reader;
  const auto overflow = [&](std::size_t field_size) {
    return parse.Overflow(kOverflow, data_id_, reader.consumed() + field_size);
  };

  unsigned char channel_count;
  if (!reader.u8(channel_count)) return overflow(1);
  if (channels_.empty()) {
    head_.channel_count = channel_count;
    channels_.assign(channel_count, Channel{});
  } else if (channel_count != head_.channel_count) {
    return -1;
  }

  for (Channel& channel : channels_) {
    for (unsigned char* field : {channel.a, channel.b, channel.c, channel.f})
      if (!ReadValue(reader, field, kZeroBits)) return overflow(4);
    std::ostringstream line;
    line << "a:" << load_float(channel.a) << " b:" << load_float(channel.b)
         << " c:" << load_float(channel.c) << " f:" << load_float(channel.f) << '\n';
    parse.output += line.str();

    if (!reader.u8(channel.user_value_count)) return overflow(1);
    const unsigned user_values = channel.user_value_count;
    if (user_values != static_cast<unsigned>(Channel::P40_41_SIZE())) {
      parse.log.add("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", data_id_,
                    user_values, Channel::P40_41_SIZE());
      if (!reader.skip(4u * user_values)) return overflow(4u * user_values);
      continue;
    }
    if constexpr (Channel::P40_41_SIZE() > 0) {
      for (auto& value : channel.user_values)
        if (!ReadValue(reader, value, kMissingValueBits)) return overflow(4);
    }
  }

  for (unsigned char* field : {head_.ia, head_.ib, head_.ic})
    if (!ReadValue(reader, field, kMissingValueBits)) return overflow(4);
  return static_cast<int>(reader.consumed());
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4043(Parse& parse) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
  ByteReader& reader = parse.reader;
  const auto overflow = [&](std::size_t field_size) {
    return parse.Overflow(kOverflow, data_id_, reader.consumed() + field_size);
  };

  if (!reader.u8(head_.switch_count)) return overflow(1);
  const unsigned switch_count = head_.switch_count;
  if (switch_count > static_cast<unsigned>(Head::AIRLOCK_MAX())) {
    // This message has always been printf-style; the log passes such text unchanged.
    parse.log.add("ProcotolError %u read 40_43 m is %d max %d", data_id_, switch_count,
                  Head::AIRLOCK_MAX());
    return -1;
  }
  if (!reader.bytes(head_.switches, switch_count)) return overflow(switch_count);

  if (!reader.u8(head_.user_switch_count)) return overflow(1);
  const unsigned user_switches = head_.user_switch_count;
  if (user_switches != static_cast<unsigned>(Head::P40_43_SIZE())) {
    parse.log.add("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", data_id_,
                  user_switches, Head::P40_43_SIZE());
    // The skipped bytes are counted but neither read nor measured against `length`; the caller
    // sees a block longer than what it passed and decides.
    return static_cast<int>(reader.consumed() + user_switches);
  }
  if (!reader.bytes(head_.user_switches, user_switches)) return overflow(user_switches);
  return static_cast<int>(reader.consumed());
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4044(Parse& parse) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
  ByteReader& reader = parse.reader;
  const auto overflow = [&](std::size_t field_size) {
    return parse.Overflow(kOverflow, data_id_, reader.consumed() + field_size);
  };

  // The block's own channel count is not trusted: the learnt count decides.
  if (!reader.skip(1)) return overflow(1);
  for (Channel& channel : channels_) {
    if (!reader.bytes(channel.alarms, sizeof channel.alarms)) return overflow(sizeof channel.alarms);

    unsigned char extra_count;
    if (!reader.u8(extra_count)) return overflow(1);
    if (extra_count != 0) {
      parse.log.add("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", data_id_, extra_count);
      if (!reader.skip(extra_count)) return overflow(extra_count);
    }

    if (!reader.u8(channel.user_alarm_count)) return overflow(1);
    const unsigned user_alarms = channel.user_alarm_count;
    if (user_alarms != static_cast<unsigned>(Channel::p40_44_SIZE())) {
      parse.log.add("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", data_id_,
                    user_alarms, Channel::p40_44_SIZE());
      if (!reader.skip(user_alarms)) return overflow(user_alarms);
    } else if (!reader.bytes(channel.user_alarms, user_alarms)) {
      return overflow(user_alarms);
    }
  }

  if (!reader.bytes(head_.current_alarms, sizeof head_.current_alarms))
    return overflow(sizeof head_.current_alarms);
  return static_cast<int>(reader.consumed());
}

template <typename Head, typename Channel, int RecordType>
bool PMBusPowerAC<Head, Channel, RecordType>::InitV(ZVKVDevice* parent, unsigned data_id,
                                                    const Json::Value& config) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    store_u32(head_.data_id, data_id);
  }
  ReadChangeThresholds(config, diff_v_, diff_i_);
  return ZVKVDevice::InitV(parent, data_id, config);
}

template <typename Head, typename Channel, int RecordType>
float PMBusPowerAC<Head, Channel, RecordType>::Get_Value(unsigned, const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  RequireFreshData();

  struct HeadKey {
    const char* key;
    const unsigned char* field;
    bool is_float;
  };
  const HeadKey head_keys[] = {
      {"ia", head_.ia, true},
      {"ib", head_.ib, true},
      {"ic", head_.ic, true},
      {"ia_alert", &head_.current_alarms[0], false},
      {"ib_alert", &head_.current_alarms[1], false},
      {"ic_alert", &head_.current_alarms[2], false},
  };
  for (const HeadKey& head_key : head_keys)
    if (key == head_key.key)
      return head_key.is_float ? load_float(head_key.field) : static_cast<float>(*head_key.field);

  const std::optional<ChannelKey> channel_key = find_channel_key(key);
  if (!channel_key) throw std::out_of_range("数据未提供");
  const std::optional<int> index = channel_index(channel_key->digits);
  if (!index || static_cast<std::size_t>(*index) >= channels_.size())
    throw std::out_of_range("通道参数越界");

  const Channel& channel = channels_[static_cast<std::size_t>(*index)];
  switch (channel_key->value_name) {
    case 'a': return load_float(channel.a);
    case 'b': return load_float(channel.b);
    case 'c': return load_float(channel.c);
    case 'f': return load_float(channel.f);
    default: throw std::out_of_range("数据未提供");
  }
}

template <typename Head, typename Channel, int RecordType>
bool PMBusPowerAC<Head, Channel, RecordType>::LoadFromCache(const unsigned char* image,
                                                            int length) {
  if (image == nullptr || length <= static_cast<int>(kHeadSize)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return LoadImage(image, length, head_, &Head::channel_count, channels_);
}
