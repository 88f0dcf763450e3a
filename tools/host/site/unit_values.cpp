#include "tools/host/site/unit_values.h"

#include <stdexcept>

#include <fmt/format.h>

#include "host/device.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/status/record_types.h"

namespace k426b_host {

namespace {
constexpr std::size_t kAcChannelCountOffset = 16;
}

int RecordTypeOf(const std::string& device_type) {
  if (device_type == "k426b-ac") return kAcRecordType;
  if (device_type == "k426b-rc") return kRectifierRecordType;
  if (device_type == "k426b-dc") return kDcRecordType;
  return 0;
}

std::vector<std::string> ValueKeys(const std::string& device_type, unsigned screens) {
  if (device_type == "k426b-dc") return {"v", "i"};
  if (device_type != "k426b-ac") return {};
  std::vector<std::string> keys = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  for (unsigned screen = 0; screen < screens; ++screen) {
    for (const char* value : {"a", "b", "c", "f"})
      keys.push_back(fmt::format("channel_{}_{}", screen, value));
  }
  return keys;
}

unsigned ScreenCount(const std::vector<unsigned char>& ac_snapshot) {
  return ac_snapshot.size() > kAcChannelCountOffset ? ac_snapshot[kAcChannelCountOffset] : 0;
}

std::vector<UnitValue> ReadUnitValues(const ZVKVDevice& unit,
                                      const std::vector<std::string>& keys) {
  std::vector<UnitValue> values;
  const std::vector<std::string> asked = keys.empty() ? std::vector<std::string>{""} : keys;
  for (const std::string& key : asked) {
    UnitValue answer{key, std::nullopt, {}};
    try {
      answer.value = unit.Get_Value(unit.DataId(), key);
    } catch (const std::out_of_range& refusal) {
      answer.error = refusal.what();
    } catch (const std::exception& failure) {
      answer.error = std::string("unexpected exception: ") + failure.what();
    }
    values.push_back(std::move(answer));
  }
  return values;
}

Json::Value ValuesJson(const std::vector<UnitValue>& values, bool unit_has_keys) {
  auto refusal = [](const std::string& text) {
    Json::Value error(Json::objectValue);
    error["error"] = text;
    return error;
  };
  if (!unit_has_keys) {
    // A unit without keys has a refusal, or in principle a plain answer, to its empty key.
    if (values.empty()) return Json::Value(Json::objectValue);
    if (values.front().value) {
      Json::Value answer(Json::objectValue);
      answer[""] = FloatJson(*values.front().value);
      return answer;
    }
    return refusal(values.front().error);
  }
  Json::Value object(Json::objectValue);
  for (const UnitValue& value : values)
    object[value.key] = value.value ? FloatJson(*value.value) : refusal(value.error);
  return object;
}

std::string ValuesLine(const std::vector<UnitValue>& values) {
  // Keys refused for the same reason are shown once, as one group.
  bool all_refused_alike = !values.empty();
  for (const UnitValue& value : values)
    all_refused_alike = all_refused_alike && !value.value && value.error == values.front().error;
  if (all_refused_alike) return values.front().error;
  std::string line;
  std::string refused_keys;
  std::string refusal;
  auto flush_refusals = [&]() {
    if (refusal.empty()) return;
    if (!line.empty()) line += "  ";
    line += refused_keys.empty() ? refusal : refused_keys + ": " + refusal;
    refused_keys.clear();
    refusal.clear();
  };
  for (const UnitValue& value : values) {
    if (value.value) {
      flush_refusals();
      if (!line.empty()) line += "  ";
      line += fmt::format("{} {}", value.key, *value.value);
      continue;
    }
    if (value.error != refusal) flush_refusals();
    refusal = value.error;
    if (!value.key.empty()) refused_keys += (refused_keys.empty() ? "" : ",") + value.key;
  }
  flush_refusals();
  return line;
}

}  // namespace k426b_host
