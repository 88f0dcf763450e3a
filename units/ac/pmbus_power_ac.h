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
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "units/ac/channel_key.h"
#include "units/byte_reader.h"
#include "units/record_bytes.h"
#include "units/unit_device.h"

// The alarm rules of an AC unit: eleven per channel record, read at the channel's alarm-state
// bytes, then nine read at the head's current alarm-state bytes. 1 below the lower limit,
// 2 above the upper limit, 3 phase missing.
inline constexpr RuleRow kAcChannelRules[] = {
    {3, "AC_0", "06015", "交流输入电压过低告警", "输入线/相电压AB/A", 17, 1},
    {3, "AC_1", "06015", "交流输入电压过低告警", "输入线/相电压BC/B", 18, 1},
    {3, "AC_2", "06015", "交流输入电压过低告警", "输入线/相电压CA/C", 19, 1},
    {3, "AC_3", "06019", "交流输入频率过低告警", "频率", 20, 1},
    {2, "AC_4", "06014", "交流输入电压过高告警", "输入线/相电压AB/A", 17, 2},
    {2, "AC_5", "06014", "交流输入电压过高告警", "输入线/相电压BC/B", 18, 2},
    {2, "AC_6", "06014", "交流输入电压过高告警", "输入线/相电压CA/C", 19, 2},
    {2, "AC_7", "06018", "交流输入频率过高告警", "频率", 20, 2},
    {2, "AC_8", "06017", "交流输入缺相告警", "输入线/相电压AB/A", 17, 3},
    {2, "AC_9", "06017", "交流输入缺相告警", "输入线/相电压BC/B", 18, 3},
    {2, "AC_10", "06017", "交流输入缺相告警", "输入线/相电压CA/C", 19, 3},
};

inline constexpr RuleRow kAcCurrentRules[] = {
    {3, "AC_12", "06029", "A相输入电流低于下限", "其他告警", 29, 1},
    {3, "AC_13", "06029", "B相输入电流低于下限", "其他告警", 30, 1},
    {3, "AC_14", "06029", "C相输入电流低于下限", "其他告警", 31, 1},
    {3, "AC_15", "06029", "A相输入电流高于上限", "其他告警", 29, 2},
    {3, "AC_16", "06029", "B相输入电流高于上限", "其他告警", 30, 2},
    {3, "AC_17", "06029", "C相输入电流高于上限", "其他告警", 31, 2},
    {3, "AC_18", "06029", "A相输入电流缺项", "其他告警", 29, 3},
    {3, "AC_19", "06029", "B相输入电流缺项", "其他告警", 30, 3},
    {3, "AC_20", "06029", "C相输入电流缺项", "其他告警", 31, 3},
};

inline constexpr const char kAcChannelLabel[] = "交流屏";

template <typename Head, typename Channel, int RecordType>
class PMBusPowerAC : public UnitDevice {
 public:
  static constexpr unsigned kHeadSize = sizeof(Head);
  static constexpr unsigned kChannelSize = sizeof(Channel);

  PMBusPowerAC() { std::memset(&head_, 0, sizeof head_); }
  ~PMBusPowerAC() override = default;

  using ZVKSPDevice::LoadFromCache;

  float Get_Value(unsigned data_id, const std::string& key) const override;
  bool LoadFromCache(const unsigned char* image, int length) override;
  void RoundDone() override;
  bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config) override;

  // Each parser decodes this unit's block of a reply and returns the bytes it occupies, or -1
  // when the reply cannot be used. `length` is what is left of the information bytes.
  virtual int parse40_41(const unsigned char* info, int length);
  virtual int parse40_43(const unsigned char* info, int length);
  virtual int parse40_44(const unsigned char* info, int length);
  // Further alarm rules of the concrete unit, numbered after the AC rules.
  virtual void DoImpCheckAlert() = 0;

  // Change thresholds from the "appSetting" configuration ("diff_v", "diff_i").
  float VoltageChangeThreshold() const { return diff_v_; }
  float CurrentChangeThreshold() const { return diff_i_; }

 private:
  using BlockDecoder = int (PMBusPowerAC::*)(ByteReader&, int, DeferredLog&);
  // Runs one block decoder under the unit's lock and logs its messages after unlocking.
  int Decode(BlockDecoder decoder, const unsigned char* info, int length);
  int Parse4041(ByteReader& reader, int length, DeferredLog& log);
  int Parse4043(ByteReader& reader, int length, DeferredLog& log);
  int Parse4044(ByteReader& reader, int length, DeferredLog& log);
  // Logs the read overflow of block `block` ("40_41", ...): the bytes needed up to the end of
  // the field that did not fit, against `length`.
  int Overflow(DeferredLog& log, const char* format, const ByteReader& reader,
               std::size_t field_size, int length) const;
  // Reads one four-byte analog value; a no-value marker is stored as `missing_bits`.
  static bool ReadValue(ByteReader& reader, unsigned char* field, uint32_t missing_bits);
  void SizeSnapshot();

  Head head_;
  std::vector<Channel> channels_;
  std::vector<unsigned char> snapshot_;
  float diff_v_ = 20.0f;
  float diff_i_ = 20.0f;
};

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Decode(BlockDecoder decoder, const unsigned char* info,
                                                    int length) {
  ByteReader reader(info, length);
  DeferredLog log;
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = (this->*decoder)(reader, length, log);
  }
  log.flush(*this);
  return result;
}

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

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Overflow(DeferredLog& log, const char* format,
                                                      const ByteReader& reader,
                                                      std::size_t field_size, int length) const {
  log.add(format, data_id_, static_cast<long long>(reader.consumed() + field_size), length);
  return -1;
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::parse40_41(const unsigned char* info, int length) {
  return Decode(&PMBusPowerAC::Parse4041, info, length);
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4041(ByteReader& reader, int length,
                                                       DeferredLog& log) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
  constexpr uint32_t kZeroBits = 0;

  unsigned char channel_count;
  if (!reader.u8(channel_count)) return Overflow(log, kOverflow, reader, 1, length);
  if (channels_.empty()) {
    head_.channel_count = channel_count;
    channels_.assign(channel_count, Channel{});
  } else if (channel_count != head_.channel_count) {
    return -1;
  }

  for (Channel& channel : channels_) {
    for (unsigned char* field : {channel.a, channel.b, channel.c, channel.f})
      if (!ReadValue(reader, field, kZeroBits)) return Overflow(log, kOverflow, reader, 4, length);
    std::cout << "a:" << load_float(channel.a) << " b:" << load_float(channel.b)
              << " c:" << load_float(channel.c) << " f:" << load_float(channel.f) << std::endl;

    if (!reader.u8(channel.user_value_count)) return Overflow(log, kOverflow, reader, 1, length);
    const unsigned user_values = channel.user_value_count;
    if (user_values != static_cast<unsigned>(Channel::P40_41_SIZE())) {
      log.add("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", data_id_, user_values,
              Channel::P40_41_SIZE());
      if (!reader.skip(4u * user_values))
        return Overflow(log, kOverflow, reader, 4u * user_values, length);
      continue;
    }
    if constexpr (Channel::P40_41_SIZE() > 0) {
      for (auto& value : channel.user_values)
        if (!ReadValue(reader, value, kMissingValueBits))
          return Overflow(log, kOverflow, reader, 4, length);
    }
  }

  for (unsigned char* field : {head_.ia, head_.ib, head_.ic})
    if (!ReadValue(reader, field, kMissingValueBits))
      return Overflow(log, kOverflow, reader, 4, length);
  return static_cast<int>(reader.consumed());
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::parse40_43(const unsigned char* info, int length) {
  return Decode(&PMBusPowerAC::Parse4043, info, length);
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4043(ByteReader& reader, int length,
                                                       DeferredLog& log) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";

  if (!reader.u8(head_.switch_count)) return Overflow(log, kOverflow, reader, 1, length);
  const unsigned switch_count = head_.switch_count;
  if (switch_count > static_cast<unsigned>(Head::AIRLOCK_MAX())) {
    // This message has always been printf-style; the log passes such text unchanged.
    log.add("ProcotolError %u read 40_43 m is %d max %d", data_id_, switch_count,
            Head::AIRLOCK_MAX());
    return -1;
  }
  if (!reader.bytes(head_.switches, switch_count))
    return Overflow(log, kOverflow, reader, switch_count, length);

  if (!reader.u8(head_.user_switch_count)) return Overflow(log, kOverflow, reader, 1, length);
  const unsigned user_switches = head_.user_switch_count;
  if (user_switches != static_cast<unsigned>(Head::P40_43_SIZE())) {
    log.add("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", data_id_, user_switches,
            Head::P40_43_SIZE());
    // The skipped bytes are counted but neither read nor measured against `length`; the caller
    // sees a block longer than what it passed and decides.
    return static_cast<int>(reader.consumed() + user_switches);
  }
  if (!reader.bytes(head_.user_switches, user_switches))
    return Overflow(log, kOverflow, reader, user_switches, length);
  return static_cast<int>(reader.consumed());
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::parse40_44(const unsigned char* info, int length) {
  return Decode(&PMBusPowerAC::Parse4044, info, length);
}

template <typename Head, typename Channel, int RecordType>
int PMBusPowerAC<Head, Channel, RecordType>::Parse4044(ByteReader& reader, int length,
                                                       DeferredLog& log) {
  static constexpr const char* kOverflow =
      "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";

  // The block's own channel count is not trusted: the learnt count decides.
  if (!reader.skip(1)) return Overflow(log, kOverflow, reader, 1, length);
  for (Channel& channel : channels_) {
    if (!reader.bytes(channel.alarms, sizeof channel.alarms))
      return Overflow(log, kOverflow, reader, sizeof channel.alarms, length);

    unsigned char extra_count;
    if (!reader.u8(extra_count)) return Overflow(log, kOverflow, reader, 1, length);
    if (extra_count != 0) {
      log.add("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", data_id_, extra_count);
      if (!reader.skip(extra_count)) return Overflow(log, kOverflow, reader, extra_count, length);
    }

    if (!reader.u8(channel.user_alarm_count)) return Overflow(log, kOverflow, reader, 1, length);
    const unsigned user_alarms = channel.user_alarm_count;
    if (user_alarms != static_cast<unsigned>(Channel::p40_44_SIZE())) {
      log.add("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", data_id_, user_alarms,
              Channel::p40_44_SIZE());
      if (!reader.skip(user_alarms)) return Overflow(log, kOverflow, reader, user_alarms, length);
    } else if (!reader.bytes(channel.user_alarms, user_alarms)) {
      return Overflow(log, kOverflow, reader, user_alarms, length);
    }
  }

  if (!reader.bytes(head_.current_alarms, sizeof head_.current_alarms))
    return Overflow(log, kOverflow, reader, sizeof head_.current_alarms, length);
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
  std::memcpy(&head_, image, kHeadSize);
  channels_.resize(head_.channel_count, Channel{});

  const std::size_t channel_bytes = static_cast<std::size_t>(length) - kHeadSize;
  if (channel_bytes != kChannelSize * channels_.size()) return false;
  const unsigned char* channel_image = image + kHeadSize;
  for (Channel& channel : channels_) {
    std::memcpy(&channel, channel_image, kChannelSize);
    channel_image += kChannelSize;
  }
  MarkCacheAccepted();
  return true;
}

template <typename Head, typename Channel, int RecordType>
void PMBusPowerAC<Head, Channel, RecordType>::SizeSnapshot() {
  // Sized once at the first cycle; resized only if a cache image brought another channel
  // count, so that every published snapshot is as long as its own count byte says (the
  // channel vector always holds as many records as that byte counts).
  const std::size_t length = kHeadSize + kChannelSize * channels_.size();
  if (snapshot_.size() != length) snapshot_.assign(length, 0);
}

template <typename Head, typename Channel, int RecordType>
void PMBusPowerAC<Head, Channel, RecordType>::RoundDone() {
  std::vector<unsigned char> snapshot;
  std::vector<RuleState> rules;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const ttime stamp = StampRoundTime();
    std::memcpy(head_.time_stamp, stamp.data(), sizeof head_.time_stamp);

    SizeSnapshot();
    std::memcpy(snapshot_.data(), &head_, kHeadSize);
    unsigned char* channel_image = snapshot_.data() + kHeadSize;
    for (const Channel& channel : channels_) {
      std::memcpy(channel_image, &channel, kChannelSize);
      channel_image += kChannelSize;
    }
    has_data_ = 1;

    rules.reserve(channels_.size() * std::size(kAcChannelRules) + std::size(kAcCurrentRules));
    for (std::size_t k = 0; k < channels_.size(); ++k)
      EvaluateRules(kAcChannelRules, reinterpret_cast<const unsigned char*>(&channels_[k]),
                    kAcChannelLabel + std::to_string(k + 1), rules);
    EvaluateRules(kAcCurrentRules, reinterpret_cast<const unsigned char*>(&head_), std::string(),
                  rules);
    snapshot = snapshot_;
  }

  SendSP(RecordType, snapshot.data(), static_cast<unsigned>(snapshot.size()), false);
  BeginRules();
  RecordRules(rules);
  DoImpCheckAlert();
  HandOver(std::move(snapshot));
}
