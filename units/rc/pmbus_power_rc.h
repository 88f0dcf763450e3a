#pragma once

// The rectifier unit template: decodes the rectifier group's replies (41_41 analog values,
// 41_43 switch states, 41_44 alarm states) and the two parameter replies routed to it (40_46,
// 42_46) into its head record and one record per module, publishes them as one snapshot per
// completed cycle with an "RC_0" rule per module, and takes a stored snapshot back as a cache
// image. Record layouts: units/rc/tele_c_k426b_rc.h.
//
// The module count is learnt once, from the first 41_41 reply or a cache image, and the head's
// count byte always equals the number of module records.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "units/byte_reader.h"
#include "units/record_bytes.h"
#include "units/unit_device.h"

namespace rc_log {

inline constexpr const char kValueCount41_41[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
inline constexpr const char kChannelOverflow41_41[] =
    "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
inline constexpr const char kReadOverflow41_41[] =
    "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
inline constexpr const char kStateCount41_43[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
inline constexpr const char kReadOverflow41_43[] =
    "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
inline constexpr const char kModuleCount41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not "
    "equal {} != {} ";
inline constexpr const char kAlarmCount41_44[] =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
inline constexpr const char kReadOverflow41_44[] =
    "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
inline constexpr const char kReadOverflow40_46[] =
    "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
inline constexpr const char kParameterCount42_46[] = "TPW17E:ProcotolError parse42_46 {} p:{} != {}";
inline constexpr const char kReadOverflow42_46[] =
    "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

}  // namespace rc_log

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public UnitDevice {
 public:
  static constexpr int kRecordType = RT_RC;

  PMBusPowerRC() = default;
  ~PMBusPowerRC() override = default;

  using VDeviceInterface::LoadFromCache;

  // The rectifier unit serves no key: always throws, telling whether data is missing, stale or
  // simply not served.
  float Get_Value(unsigned /*data_id*/, const std::string& /*key*/) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    RequireFreshData();
    throw std::out_of_range("数据未就绪");
  }

  // The head is taken from any image that holds one; the module records only when the rest of
  // the image holds exactly as many as the head counts. Two lines on standard output tell the
  // sizes, written outside the unit's lock.
  bool LoadFromCache(const unsigned char* image, int length) override {
    std::cout << "rc data_len:" << length << " vs " << sizeof(TeleRC) << std::endl;
    if (image == nullptr || length < static_cast<int>(sizeof(TeleRC))) return false;
    bool accepted;
    int module_count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      accepted = LoadImage(image, length, record_, &TeleRC::module_count, channels_);
      module_count = record_.module_count;
    }
    std::cout << "rc channelLen " << sizeof(TeleRCChannel) << " and " << module_count
              << " left:" << length - static_cast<int>(sizeof(TeleRC)) << std::endl;
    return accepted;
  }

  void RoundDone() override { CloseCycle(*this); }

  bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      store_u32(record_.data_id, data_id);
    }
    return ZVKVDevice::InitV(parent, data_id, config);
  }

  // Each parser takes the reply's information bytes and how many there are, and returns the
  // bytes it consumed, or -1 for a reply it cannot use. Nothing is read at or past `length`.

  // Analog values: data flag, group value, module count M, then per module its first value,
  // the count of further values (7) and those values.
  virtual int parse41_41(const unsigned char* info, int length) {
    return Decode(&PMBusPowerRC::Parse41_41, info, length);
  }
  // Switch states: data flag, module count N (at most M), then per module three state bytes,
  // the count of extra state bytes (5) and those bytes.
  virtual int parse41_43(const unsigned char* info, int length) {
    return Decode(&PMBusPowerRC::Parse41_43, info, length);
  }
  // Alarm states: data flag, module count N, then per module the alarm state byte, the count of
  // extra alarm bytes (7) and those bytes. Too many modules gives 0.
  virtual int parse41_44(const unsigned char* info, int length) {
    return Decode(&PMBusPowerRC::Parse41_44, info, length);
  }
  // Five values, a count P of further values that are not kept; gives 21 + 4 x P.
  virtual int parse40_46(const unsigned char* info, int length) {
    return Decode(&PMBusPowerRC::Parse40_46, info, length);
  }
  // Two values, the parameter count (26) and as many of the 104 parameter bytes as arrived.
  virtual int parse42_46(const unsigned char* info, int length) {
    return Decode(&PMBusPowerRC::Parse42_46, info, length);
  }

  // Further per-module rules of a concrete unit, numbered after RoundDone's own.
  virtual void DoImpCheckAlert() {}

 protected:
  using ModuleCount = unsigned char;

  // "RC_0", recorded by RoundDone for every module.
  static constexpr RuleRow kModuleFaultRule[] = {
      {2, "RC_0", "06024", "整流模块故障告警", "整流模块故障告警",
       offsetof(TeleRCChannel, alarm_state), 1},
  };

  // Records `table` for every module of the snapshot this RoundDone closed that `applies`
  // accepts, in module order, each description prefixed with the module's number ("模块1",
  // "模块2", ...).
  template <std::size_t N, typename Applies>
  void RecordModuleRules(const RuleRow (&table)[N], Applies applies) {
    ForEachClosedChannel(sizeof(TeleRC), sizeof(TeleRCChannel),
                         [&](std::size_t index, const unsigned char* module) {
                           if (applies(module))
                             RecordTable(table, module, {"模块", index + 1});
                         });
  }

 private:
  friend class UnitDevice;

  // RoundDone's hooks: the stamp into the head, then head and modules into the snapshot; one
  // "RC_0" per module, read from that snapshot.
  void CloseRecord(const ttime& stamp, std::vector<unsigned char>& snapshot) {
    std::memcpy(record_.time_stamp, stamp.data(), sizeof record_.time_stamp);
    CopyImage(record_, channels_, snapshot);
  }
  void RecordCycleRules() {
    RecordModuleRules(kModuleFaultRule, [](const unsigned char*) { return true; });
  }

  int Parse41_41(Parse& parse) {
    using namespace rc_log;
    ByteReader& reader = parse.reader;
    constexpr std::size_t kHeader = 1 + sizeof record_.group_value + 1;
    if (!reader.has(kHeader)) return parse.Overflow(kReadOverflow41_41, data_id_, kHeader);
    reader.skip(1);  // data flag: the composite device acts on it
    reader.bytes(record_.group_value, sizeof record_.group_value);
    ModuleCount module_count = 0;
    reader.u8(module_count);

    if (channels_.empty()) {
      record_.module_count = module_count;
      channels_.resize(module_count);
    } else if (record_.module_count != module_count) {
      return -1;
    }

    constexpr int kValues = TeleRCChannel::P41_41_SIZE();
    const auto overflow = [&](const char* format, std::size_t field_size) {
      return parse.Overflow(format, data_id_, reader.consumed() + field_size);
    };
    for (TeleRCChannel& module : channels_) {
      if (!reader.bytes(module.first_value, sizeof module.first_value))
        return overflow(kChannelOverflow41_41, sizeof module.first_value);
      if (!reader.u8(module.value_count)) return overflow(kChannelOverflow41_41, 1);

      if (module.value_count != kValues) {
        parse.log.add(kValueCount41_41, data_id_, module.value_count, kValues);
        const std::size_t announced = 4u * module.value_count;
        if (!reader.skip(announced)) return overflow(kReadOverflow41_41, announced);
        continue;
      }

      if (!reader.has(sizeof module.values))
        return overflow(kChannelOverflow41_41, sizeof module.values);
      for (int index = 0; index < kValues; ++index) {
        unsigned char* value = module.values + 4 * index;
        reader.bytes(value, 4);
        // Four equal bytes mark a value the module does not report.
        if (is_no_value_marker(value)) std::memset(value, 0, 4);
      }
    }
    return static_cast<int>(reader.consumed());
  }

  // Where one module's section of a switch or alarm reply goes: `fixed` bytes, the count of
  // extra bytes that follow them, and the extra bytes themselves.
  struct ModuleSection {
    unsigned char* fixed;
    std::size_t fixed_width;
    unsigned char& count;
    unsigned char* extra;
    int expected;
  };

  // The sections of the first `module_count` modules. A section announcing another count than
  // expected is logged and its extra bytes skipped, so the module keeps its earlier ones.
  template <typename SectionOf>
  int ParseModuleSections(Parse& parse, std::size_t module_count, const char* count_message,
                          const char* overflow_message, SectionOf section_of) {
    ByteReader& reader = parse.reader;
    const auto overflow = [&](std::size_t field_size) {
      return parse.Overflow(overflow_message, data_id_, reader.consumed() + field_size);
    };
    for (std::size_t index = 0; index < module_count; ++index) {
      const ModuleSection section = section_of(channels_[index]);
      if (!reader.has(section.fixed_width + 1)) return overflow(section.fixed_width + 1);
      reader.bytes(section.fixed, section.fixed_width);
      reader.u8(section.count);

      const std::size_t announced = section.count;
      if (section.count != section.expected) {
        parse.log.add(count_message, data_id_, section.count, section.expected);
        if (!reader.skip(announced)) return overflow(announced);
        continue;
      }
      if (!reader.bytes(section.extra, announced)) return overflow(announced);
    }
    return static_cast<int>(reader.consumed());
  }

  // Data flag and module count, ahead of the module sections of a switch or alarm reply.
  static bool ReadSectionsHeader(Parse& parse, ModuleCount& module_count) {
    if (!parse.reader.has(2)) return false;
    parse.reader.skip(1);  // data flag
    parse.reader.u8(module_count);
    return true;
  }

  int Parse41_43(Parse& parse) {
    using namespace rc_log;
    ModuleCount module_count = 0;
    if (!ReadSectionsHeader(parse, module_count))
      return parse.Overflow(kReadOverflow41_43, data_id_, 2);
    if (module_count > record_.module_count) return -1;

    return ParseModuleSections(
        parse, module_count, kStateCount41_43, kReadOverflow41_43, [](TeleRCChannel& module) {
          return ModuleSection{module.states, sizeof module.states, module.state_count,
                               module.extra_states, TeleRCChannel::P41_43_SIZE()};
        });
  }

  int Parse41_44(Parse& parse) {
    using namespace rc_log;
    ModuleCount module_count = 0;
    if (!ReadSectionsHeader(parse, module_count))
      return parse.Overflow(kReadOverflow41_44, data_id_, 2);
    if (module_count > record_.module_count) {
      parse.log.add(kModuleCount41_44, data_id_, module_count, record_.module_count);
      return 0;
    }

    return ParseModuleSections(
        parse, module_count, kAlarmCount41_44, kReadOverflow41_44, [](TeleRCChannel& module) {
          return ModuleSection{&module.alarm_state, 1, module.alarm_count, module.alarms,
                               TeleRCChannel::P41_44_SIZE()};
        });
  }

  int Parse40_46(Parse& parse) {
    ByteReader& reader = parse.reader;
    constexpr std::size_t kHeader = sizeof record_.values40_46 + 1;
    unsigned char further_count = 0;
    if (!reader.bytes(record_.values40_46, sizeof record_.values40_46) ||
        !reader.u8(further_count))
      return parse.Overflow(rc_log::kReadOverflow40_46, data_id_, kHeader);
    // The further values are not kept, so their bytes are counted, not read.
    return static_cast<int>(kHeader) + 4 * further_count;
  }

  int Parse42_46(Parse& parse) {
    ByteReader& reader = parse.reader;
    constexpr std::size_t kHeader =
        sizeof record_.first_value42_46 + sizeof record_.second_value42_46 + 1;
    if (!reader.has(kHeader)) return parse.Overflow(rc_log::kReadOverflow42_46, data_id_, kHeader);
    reader.bytes(record_.first_value42_46, sizeof record_.first_value42_46);
    reader.bytes(record_.second_value42_46, sizeof record_.second_value42_46);
    reader.u8(record_.parameter_count);

    constexpr int kParameters = TeleRC::P42_46_NUMBER();
    if (record_.parameter_count != kParameters) {
      parse.log.add(rc_log::kParameterCount42_46, data_id_, record_.parameter_count, kParameters);
      return static_cast<int>(kHeader) + 4 * record_.parameter_count;
    }
    // A short block updates the parameters it carries; the rest keep their earlier values.
    const std::size_t copied = std::min<std::size_t>(TeleRC::P42_46_SIZE(), reader.remaining());
    reader.bytes(record_.parameters, copied);
    return static_cast<int>(reader.consumed());
  }

  TeleRC record_{};
  std::vector<TeleRCChannel> channels_;
};
