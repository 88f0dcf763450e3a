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
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <json/value.h>

#include "units/byte_reader.h"
#include "units/record_bytes.h"
#include "units/unit_device.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public UnitDevice {
 public:
  static constexpr int kRecordType = RT_DC;

  using VDeviceInterface::LoadFromCache;

  PMBusPowerDC() = default;
  // The text is not kept: nothing of the unit reads it.
  explicit PMBusPowerDC(const std::string& /*text*/) {}
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

  void RoundDone() override { CloseCycle(*this); }

  bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      store_u32(record_.data_id, data_id);
    }
    ReadChangeThresholds(config, diff_v_, diff_i_);
    return ZVKVDevice::InitV(parent, data_id, config);
  }

  virtual int parse42_41(const unsigned char* info, int length) {
    return Decode(&PMBusPowerDC::DecodeAnalog, info, length);
  }
  virtual int parse42_44(const unsigned char* info, int length) {
    return Decode(&PMBusPowerDC::DecodeAlarms, info, length);
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

 protected:
  // The record as the current RoundDone closed it; read by DoImpCheckAlert on the serial thread.
  TeleDC ClosedRecord() const {
    TeleDC record{};
    if (ClosedSnapshot().size() == sizeof(TeleDC))
      std::memcpy(&record, ClosedSnapshot().data(), sizeof(TeleDC));
    return record;
  }
  const unsigned char* ClosedRecordBytes() const { return ClosedSnapshot().data(); }

 private:
  friend class UnitDevice;

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

  // RoundDone's hooks: the stamp into the record, which is itself the snapshot; the voltage
  // rules, then one fuse rule per fuse when the last alarm reply carried all 64.
  void CloseRecord(const ttime& stamp, std::vector<unsigned char>& snapshot) {
    std::memcpy(record_.time_stamp, stamp.data(), sizeof record_.time_stamp);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record_);
    snapshot.assign(bytes, bytes + sizeof(TeleDC));
  }
  void RecordCycleRules() {
    const unsigned char* closed = ClosedRecordBytes();
    RecordTable(kVoltageRules, closed);
    if (ClosedRecord().alert_m_count != TeleDC::ALERT_M_SIZE()) return;
    for (unsigned fuse = 1; fuse <= TeleDC::ALERT_M_SIZE(); ++fuse)
      RecordRule(kFuseRule, {"直流", fuse}, closed[kFuseRule.offset + fuse - 1] == kFuseRule.value);
  }

  // The voltage's four bytes as received, one line per call. A reply too short to hold them
  // shows the bytes it has.
  static std::string VoltageBytesLine(const ByteReader& reader) {
    const unsigned char* bytes = reader.peek(std::min<std::size_t>(reader.remaining(), 4));
    std::string line = "parse 42 41:";
    for (std::size_t index = 0; index < std::min<std::size_t>(reader.remaining(), 4); ++index)
      line += fmt::format(" {:x}", bytes[index]);
    return line + '\n';
  }

  // A count byte and its values. A count above `room` is logged and its values skipped, so the
  // record keeps the previous ones. `announced` grows by what the count announces.
  bool ReadAnalogGroup(Parse& parse, unsigned char& count, unsigned char* values, unsigned room,
                       const char* too_many, std::size_t& announced) {
    if (!parse.reader.u8(count)) return false;
    const std::size_t value_bytes = kValueBytes * count;
    announced += value_bytes;
    if (count > room) {
      parse.log.add(too_many, data_id_, count, room);
      return parse.reader.skip(value_bytes);
    }
    return parse.reader.bytes(values, value_bytes);
  }

  // `count` state bytes of which the first `room` are kept; fails before copying any when
  // fewer than `count` are left.
  static bool ReadStates(ByteReader& reader, unsigned char count, unsigned char* states,
                         unsigned room) {
    if (!reader.has(count)) return false;
    const std::size_t kept = std::min<std::size_t>(count, room);
    return reader.bytes(states, kept) && reader.skip(count - kept);
  }

  // The overflow messages report the smallest reply that the counts read so far call for.
  int DecodeAnalog(Parse& parse) {
    ByteReader& reader = parse.reader;
    parse.output = VoltageBytesLine(reader);
    std::size_t announced = kAnalogFixedBytes;
    const auto overflow = [&]() { return parse.Overflow(kAnalogOverflow, data_id_, announced); };

    if (!reader.bytes(record_.v, kValueBytes) || !reader.bytes(record_.i, kValueBytes))
      return overflow();
    if (!ReadAnalogGroup(parse, record_.dc_m, record_.m_values, TeleDC::M_SIZE(), kTooManyM,
                         announced))
      return overflow();
    if (!ReadAnalogGroup(parse, record_.dc_n, record_.n_values, TeleDC::N_SIZE(), kTooManyN,
                         announced))
      return overflow();

    if (!reader.u8(record_.p_count)) return overflow();
    const unsigned char p_count = record_.p_count;
    if (p_count > TeleDC::P_SIZE()) {
      // The rest of the information bytes cannot be placed: take them all as this unit's.
      parse.log.add(kTooManyUserP, data_id_, p_count, TeleDC::P_SIZE());
      return parse.length;
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

  int DecodeAlarms(Parse& parse) {
    ByteReader& reader = parse.reader;
    std::size_t announced = kAlarmFixedBytes;
    const auto overflow = [&]() { return parse.Overflow(kAlarmOverflow, data_id_, announced); };

    if (!reader.u8(record_.v_alarm) || !reader.u8(record_.alert_m_count)) return overflow();
    announced += record_.alert_m_count;
    if (!ReadStates(reader, record_.alert_m_count, record_.alert_m, TeleDC::ALERT_M_SIZE()))
      return overflow();

    if (!reader.u8(record_.alert_p_count)) return overflow();
    announced += record_.alert_p_count;
    if (record_.alert_p_count > TeleDC::ALERT_P_SIZE())
      parse.log.add(kTooManyAlertP, data_id_, record_.alert_p_count, TeleDC::ALERT_P_SIZE());
    if (!ReadStates(reader, record_.alert_p_count, record_.alert_p, TeleDC::ALERT_P_SIZE()))
      return overflow();
    return static_cast<int>(reader.consumed());
  }

  TeleDC record_{};
  float diff_v_ = 0.1f;
  float diff_i_ = 20.0f;
};
