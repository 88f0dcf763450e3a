#include "tools/host/config/config_check.h"

#include <exception>
#include <limits>

#include <json/writer.h>

#include "tools/common/strict_json.h"

namespace k426b_host {

namespace {

const std::vector<std::string> kDeviceMembers = {"data_id",   "address",   "timeout_ms",
                                                 "acSetting", "dcSetting", "rcSetting"};
const std::vector<std::string> kUnitMembers = {"data_id", "appSetting"};
const std::vector<std::string> kAppSettingMembers = {"diff_v", "diff_i"};
// The rectifier unit reads nothing of its own: it takes the composite device's data id.
const std::vector<std::string> kRectifierMembers = {};

std::string CompactText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

bool IsWholeNumberIn(const Json::Value& value, double low, double high) {
  if (!value.isNumeric() || !value.isIntegral()) return false;
  const double number = value.asDouble();
  return number >= low && number <= high;
}

// Checks one device's members; data ids are registered in `data_ids` to find one used twice.
class DeviceCheck {
 public:
  DeviceCheck(const std::string& where, std::vector<std::string>& problems,
              std::map<unsigned, std::string>& data_ids)
      : where_(where), check_(problems), data_ids_(data_ids) {}

  void Run(const Json::Value& config) {
    if (!check_.Expect(config.isObject(), Name("the configuration"), "a JSON object", config))
      return;
    check_.KnownMembers(config, where_, kDeviceMembers);
    DataId(config, "the composite device", Path("data_id"));
    InRange(config, "address", 0, 254);
    InRange(config, "timeout_ms", 1, 600000);
    UnitList(config, "acSetting");
    UnitList(config, "dcSetting");
    const Json::Value& rectifier = config["rcSetting"];
    if (rectifier.isNull()) {
      check_.Problem(
          Name("rcSetting is missing: the rectifier unit is required (use \"rcSetting\": {})"));
    } else if (check_.Expect(rectifier.isObject(), Path("rcSetting"), "an object", rectifier)) {
      check_.KnownMembers(rectifier, Path("rcSetting"), kRectifierMembers);
    }
  }

 private:
  std::string Path(const std::string& member) const { return MemberPath(where_, member); }
  // A sentence about the whole device, prefixed with where it is when inside a larger file.
  std::string Name(const std::string& text) const {
    return where_.empty() ? text : where_ + ": " + text;
  }

  void InRange(const Json::Value& config, const char* key, long low, long high) {
    if (!config.isMember(key) || IsWholeNumberIn(config[key], low, high)) return;
    check_.Problem(Path(key) + " must be an integer from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", found " + CompactText(config[key]));
  }

  // Every device needs a data id of its own, read as unsigned by the composite device.
  void DataId(const Json::Value& holder, const std::string& who, const std::string& at) {
    if (!holder.isMember("data_id")) {
      check_.Problem(at + " is missing: " + who + " needs a data id of its own");
      return;
    }
    const Json::Value& data_id = holder["data_id"];
    if (!check_.Expect(IsWholeNumberIn(data_id, 0, std::numeric_limits<uint32_t>::max()), at,
                       "an unsigned integer", data_id))
      return;
    const auto [found, inserted] = data_ids_.emplace(data_id.asUInt(), at);
    if (!inserted)
      check_.Problem(at + ": data_id " + std::to_string(data_id.asUInt()) + " is already used at " +
                     found->second);
  }

  // diff_v and diff_i are read through their text form: a number or a string works, an array
  // or object has none.
  void AppSetting(const Json::Value& unit, const std::string& where) {
    if (!unit.isMember("appSetting")) return;
    const Json::Value& app = unit["appSetting"];
    const std::string at = MemberPath(where, "appSetting");
    if (!check_.Expect(app.isObject(), at, "an object", app)) return;
    check_.KnownMembers(app, at, kAppSettingMembers);
    for (const std::string& key : kAppSettingMembers) {
      if (!app.isMember(key)) continue;
      const Json::Value& diff = app[key];
      check_.Expect(diff.isNumeric() || diff.isString() || diff.isNull(), MemberPath(at, key),
                    "a number", diff);
    }
  }

  void UnitList(const Json::Value& config, const char* key) {
    if (!config.isMember(key)) return;
    const Json::Value& units = config[key];
    if (!check_.Expect(units.isArray(), Path(key), "an array of unit objects", units)) return;
    for (Json::ArrayIndex index = 0; index < units.size(); ++index) {
      const std::string at = ElementPath(Path(key), index);
      const Json::Value& unit = units[index];
      if (!check_.Expect(unit.isObject(), at, "an object", unit)) continue;
      check_.KnownMembers(unit, at, kUnitMembers);
      DataId(unit, at, MemberPath(at, "data_id"));
      AppSetting(unit, at);
    }
  }

  std::string where_;
  StrictChecker check_;
  std::map<unsigned, std::string>& data_ids_;
};

}  // namespace

std::string LoadConfigFile(const std::string& path, Json::Value& config) {
  return LoadJsonFile(path, "configuration", config);
}

std::string CheckConfig(const Json::Value& config) {
  std::vector<std::string> problems;
  std::map<unsigned, std::string> data_ids;
  CheckDeviceConfig(config, "", problems, data_ids);
  return JoinProblems(problems);
}

void CheckDeviceConfig(const Json::Value& config, const std::string& where,
                       std::vector<std::string>& problems,
                       std::map<unsigned, std::string>& data_ids) {
  try {
    DeviceCheck(where, problems, data_ids).Run(config);
  } catch (const std::exception& failure) {
    // A value jsoncpp cannot convert (a number too large for any integer type, say).
    problems.push_back(MemberPath(where, "configuration") + ": " + failure.what());
  }
}

}  // namespace k426b_host
