#include "tools/host/status/rectifier_view.h"

#include <chrono>
#include <cstdint>
#include <cstring>

namespace k426b_host {

namespace {

// Head offsets.
constexpr std::size_t kAcParameters = 4;   // five values from the AC parameter reply
constexpr std::size_t kDcFirst = 24;       // two values from the DC parameter reply
constexpr std::size_t kDcCount = 32;       // parameter count that reply announced
constexpr std::size_t kDcParameters = 33;  // its parameters
constexpr std::size_t kGroupValue = 137;
constexpr std::size_t kModuleCount = 141;
constexpr unsigned kDcParameterCount = 26;

// Module record offsets.
constexpr std::size_t kModuleFirst = 0;
constexpr std::size_t kFurtherCount = 4;
constexpr std::size_t kFurtherValues = 5;
constexpr unsigned kFurtherExpected = 7;

// The plug-in's own word on staleness, where the host asked it.
constexpr char kTimedOut[] = "数据已超时";

// Callers have checked that bytes [at, at + 4) lie inside the snapshot.
float ValueAt(const unsigned char* bytes, std::size_t at) {
  const std::uint32_t bits = std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
                             std::uint32_t(bytes[at + 2]) << 16 |
                             std::uint32_t(bytes[at + 3]) << 24;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

std::optional<RectifierSnapshot> DecodeRectifierSnapshot(const unsigned char* bytes,
                                                         std::size_t length) {
  if (bytes == nullptr || length < kRectifierHeadSize) return std::nullopt;
  const std::size_t modules = bytes[kModuleCount];
  if (length != kRectifierHeadSize + modules * kRectifierModuleSize) return std::nullopt;

  RectifierSnapshot snapshot;
  snapshot.fields.push_back({"group", ValueAt(bytes, kGroupValue)});
  // The parameter replies come together; the count they announce is 0 until they have.
  if (bytes[kDcCount] == kDcParameterCount) {
    for (std::size_t i = 0; i < 5; ++i)
      snapshot.fields.push_back(
          {"ac_parameter_" + std::to_string(i + 1), ValueAt(bytes, kAcParameters + 4 * i)});
    snapshot.fields.push_back({"dc_value_1", ValueAt(bytes, kDcFirst)});
    snapshot.fields.push_back({"dc_value_2", ValueAt(bytes, kDcFirst + 4)});
    for (std::size_t i = 0; i < kDcParameterCount; ++i)
      snapshot.fields.push_back(
          {"dc_parameter_" + std::to_string(i + 1), ValueAt(bytes, kDcParameters + 4 * i)});
  }
  for (std::size_t m = 0; m < modules; ++m) {
    const std::size_t base = kRectifierHeadSize + m * kRectifierModuleSize;
    RectifierModuleValues module;
    module.first = ValueAt(bytes, base + kModuleFirst);
    if (bytes[base + kFurtherCount] == kFurtherExpected)
      for (std::size_t j = 0; j < kFurtherExpected; ++j)
        module.further.push_back(ValueAt(bytes, base + kFurtherValues + 4 * j));
    snapshot.modules.push_back(std::move(module));
  }
  return snapshot;
}

std::optional<RectifierSnapshot> CurrentRectifierValues(const UnitStatus& unit) {
  if (unit.record_type != kRectifierRecordType || !unit.age_s || *unit.age_s < 0 ||
      *unit.age_s >= std::chrono::duration<double>(kDataFreshFor).count())
    return std::nullopt;
  for (const UnitValue& value : unit.values)
    if (!value.value && value.error == kTimedOut) return std::nullopt;
  return DecodeRectifierSnapshot(unit.snapshot.data(), unit.snapshot.size());
}

}  // namespace k426b_host
