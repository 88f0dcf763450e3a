#pragma once

// PMBusPowerDC: the DC distribution unit on its record type TeleDC (see tele_c_k426b_dc.h for
// the layout), published under record type RT_DC.
//
// Replies it decodes, one DC unit's share of the information bytes each:
//
//   0x42/0x41 analog  | v 4 | i 4 | m 1 | m x 4 | n 1 | n x 4 | p 1 | p x 4 |
//   0x42/0x44 alarms  | v_alarm 1 | m 1 | m fuse states | p 1 | p user-defined states |
//
// Counts above the record's room are kept as received; their values are skipped (analog
// groups), cut to the room (alarm bytes), or end the reply (user-defined analog values).
// Every count is checked against the bytes left before anything it announces is read.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "units/byte_reader.h"
#include "units/record_bytes.h"
#include "units/unit_device.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public UnitDevice {
 public:
  using VDeviceInterface::LoadFromCache;

  PMBusPowerDC() = default;
  explicit PMBusPowerDC(const std::string& text) : model_text_(text) {}
  ~PMBusPowerDC() override = default;

  float Get_Value(unsigned /*data_id*/, const std::string& key) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    RequireFreshData();
    if (key == "v") return load_float(record_.v);
    if (key == "i") return load_float(record_.i);
    throw std::out_of_range("数据未就绪");
  }

  bool LoadFromCache(const unsigned char* image, int length) override {
    if (image == nullptr || length != static_cast<int>(sizeof(TeleDC))) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(&record_, image, sizeof(TeleDC));
    MarkCacheAccepted();
    return true;
  }

  // Closes the cycle: stamp, publish, state the voltage and fuse rules, let the model add its
  // own, and hand rules and this cycle's record over to the threshold worker.
  void RoundDone() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const ttime stamp = StampRoundTime();
      std::memcpy(record_.time_stamp, stamp.data(), sizeof record_.time_stamp);
      if (!has_data_) has_data_ = 1;
      closed_record_ = record_;
    }
    // From here on the cycle works on its own copy, so a cache load on another thread cannot
    // make the rules disagree with what was published.
    const unsigned char* closed = ClosedRecordBytes();
    SendSP(RT_DC, closed, sizeof(TeleDC), false);

    BeginRules();
    std::vector<RuleState> states;
    EvaluateRules(kVoltageRules, closed, "", states);
    if (closed_record_.alert_m_count == TeleDC::ALERT_M_SIZE()) AppendFuseRules(closed, states);
    RecordRules(states);
    DoImpCheckAlert();

    HandOver(std::vector<unsigned char>(closed, closed + sizeof(TeleDC)));
  }

  bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      store_u32(record_.data_id, data_id);
    }
    ReadChangeThresholds(config, diff_v_, diff_i_);
    return ZVKVDevice::InitV(parent, data_id, config);
  }

  virtual int parse42_41(const unsigned char* info, int length) {
    const int available = info == nullptr ? 0 : std::max(length, 0);
    PrintVoltageBytes(info, available);
    DeferredLog log;
    int result;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = DecodeAnalog(ByteReader(info, available), length, log);
    }
    log.flush(*this);
    return result;
  }

  virtual int parse42_44(const unsigned char* info, int length) {
    const int available = info == nullptr ? 0 : std::max(length, 0);
    DeferredLog log;
    int result;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = DecodeAlarms(ByteReader(info, available), length, log);
    }
    log.flush(*this);
    return result;
  }

  // The model's own rules, stated after the unit's, continuing their numbering.
  virtual void DoImpCheckAlert() = 0;

  // A copy of the record, taken under the unit's lock.
  TeleDC Record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  float DiffV() const { return diff_v_; }
  float DiffI() const { return diff_i_; }
  const std::string& ModelText() const { return model_text_; }

 protected:
  // The record as the current RoundDone closed it; read by DoImpCheckAlert on the serial thread.
  const TeleDC& ClosedRecord() const { return closed_record_; }
  const unsigned char* ClosedRecordBytes() const {
    return reinterpret_cast<const unsigned char*>(&closed_record_);
  }

 private:
  static constexpr const char* kTooManyM =
      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
  static constexpr const char* kTooManyN =
      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
  static constexpr const char* kTooManyUserP =
      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
  static constexpr const char* kTooManyAlertP =
      "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";
  static constexpr const char* kAnalogOverflow =
      "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
  static constexpr const char* kAlarmOverflow =
      "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";

  static constexpr RuleRow kVoltageRules[] = {
      {3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", offsetof(TeleDC, v_alarm), 1},
      {3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警", offsetof(TeleDC, v_alarm), 2},
  };
  // Stated once per fuse, all under one rule id; the description carries the fuse number
  // between "直流" and this text.
  static constexpr RuleRow kFuseRule = {
      1, "DC_3", "06001", "电池熔丝故障告警", "电池熔丝故障告警", offsetof(TeleDC, alert_m), 3};

  static constexpr std::size_t kValueBytes = 4;
  // v, i and the three count bytes.
  static constexpr std::size_t kAnalogFixedBytes = 4 + 4 + 1 + 1 + 1;
  // v_alarm and the two count bytes.
  static constexpr std::size_t kAlarmFixedBytes = 1 + 1 + 1;

  // The voltage's four bytes as received, one line per call. A reply too short to hold them
  // shows the bytes it has.
  static void PrintVoltageBytes(const unsigned char* info, int available) {
    if (available >= 4) {
      std::printf("parse 42 41: %x %x %x %x\n", info[0], info[1], info[2], info[3]);
      return;
    }
    std::printf("parse 42 41:");
    for (int index = 0; index < available; ++index) std::printf(" %x", info[index]);
    std::printf("\n");
  }

  // A count byte and its values. A count above `room` is logged and its values skipped, so the
  // record keeps the previous ones. `announced` grows by what the count announces.
  bool ReadAnalogGroup(ByteReader& reader, unsigned char& count, unsigned char* values, unsigned room,
                       const char* too_many, std::size_t& announced, DeferredLog& log) {
    if (!reader.u8(count)) return false;
    const std::size_t value_bytes = kValueBytes * count;
    announced += value_bytes;
    if (count > room) {
      log.add(too_many, data_id_, count, room);
      return reader.skip(value_bytes);
    }
    return reader.bytes(values, value_bytes);
  }

  // `count` state bytes of which the first `room` are kept; fails before copying any when
  // fewer than `count` are left.
  static bool ReadStates(ByteReader& reader, unsigned char count, unsigned char* states, unsigned room) {
    if (!reader.has(count)) return false;
    const std::size_t kept = std::min<std::size_t>(count, room);
    return reader.bytes(states, kept) && reader.skip(count - kept);
  }

  int DecodeAnalog(ByteReader reader, int length, DeferredLog& log) {
    // The smallest reply that the counts read so far call for.
    std::size_t announced = kAnalogFixedBytes;
    const auto overflow = [&]() {
      log.add(kAnalogOverflow, data_id_, static_cast<long long>(announced), length);
      return -1;
    };

    if (!reader.bytes(record_.v, kValueBytes) || !reader.bytes(record_.i, kValueBytes)) return overflow();
    if (!ReadAnalogGroup(reader, record_.dc_m, record_.m_values, TeleDC::M_SIZE(), kTooManyM, announced, log))
      return overflow();
    if (!ReadAnalogGroup(reader, record_.dc_n, record_.n_values, TeleDC::N_SIZE(), kTooManyN, announced, log))
      return overflow();

    if (!reader.u8(record_.p_count)) return overflow();
    const unsigned char p_count = record_.p_count;
    if (p_count > TeleDC::P_SIZE()) {
      // The rest of the information bytes cannot be placed: take them all as this unit's.
      log.add(kTooManyUserP, data_id_, p_count, TeleDC::P_SIZE());
      return length;
    }
    announced += kValueBytes * p_count;
    if (!reader.has(kValueBytes * p_count)) return overflow();
    for (unsigned index = 0; index < p_count; ++index) {
      unsigned char* user_value = record_.user_p + kValueBytes * index;
      reader.bytes(user_value, kValueBytes);
      if (is_no_value_marker(user_value)) store_u32(user_value, kMissingValueBits);
    }
    return static_cast<int>(reader.consumed());
  }

  int DecodeAlarms(ByteReader reader, int length, DeferredLog& log) {
    std::size_t announced = kAlarmFixedBytes;
    const auto overflow = [&]() {
      log.add(kAlarmOverflow, data_id_, static_cast<long long>(announced), length);
      return -1;
    };

    if (!reader.u8(record_.v_alarm) || !reader.u8(record_.alert_m_count)) return overflow();
    announced += record_.alert_m_count;
    if (!ReadStates(reader, record_.alert_m_count, record_.alert_m, TeleDC::ALERT_M_SIZE()))
      return overflow();

    if (!reader.u8(record_.alert_p_count)) return overflow();
    announced += record_.alert_p_count;
    if (record_.alert_p_count > TeleDC::ALERT_P_SIZE())
      log.add(kTooManyAlertP, data_id_, record_.alert_p_count, TeleDC::ALERT_P_SIZE());
    if (!ReadStates(reader, record_.alert_p_count, record_.alert_p, TeleDC::ALERT_P_SIZE()))
      return overflow();
    return static_cast<int>(reader.consumed());
  }

  static void AppendFuseRules(const unsigned char* record, std::vector<RuleState>& states) {
    for (unsigned fuse = 1; fuse <= TeleDC::ALERT_M_SIZE(); ++fuse) {
      const bool active = record[kFuseRule.offset + fuse - 1] == kFuseRule.value;
      states.push_back(RuleState{kFuseRule.level, kFuseRule.rule_id, kFuseRule.code, kFuseRule.name,
                                 "直流" + std::to_string(fuse) + kFuseRule.description, active});
    }
  }

  TeleDC record_{};
  float diff_v_ = 0.1f;
  float diff_i_ = 20.0f;
  std::string text_;  // kept for the unit's shape; nothing reads it
  std::string model_text_;
  TeleDC closed_record_{};
};
