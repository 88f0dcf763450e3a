#include "tools/host/config_check.h"

#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

namespace {

const char* TypeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number";
    case Json::stringValue: return "a string";
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
  }
  return "a value";
}

std::string Found(const std::string& where, const char* wanted, const Json::Value& value) {
  return where + " must be " + wanted + ", found " + TypeName(value);
}

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

// A unit's data id, read as unsigned by the composite device.
std::string CheckDataId(const Json::Value& holder, const std::string& where) {
  if (!holder.isMember("data_id")) return {};
  const Json::Value& data_id = holder["data_id"];
  if (!IsWholeNumberIn(data_id, 0, std::numeric_limits<uint32_t>::max()))
    return Found(where + ".data_id", "an unsigned integer", data_id);
  return {};
}

// diff_v and diff_i are read through their text form: a number or a string works, an array or
// object has none.
std::string CheckAppSetting(const Json::Value& unit, const std::string& where) {
  if (!unit.isMember("appSetting")) return {};
  const Json::Value& app = unit["appSetting"];
  if (!app.isObject()) return Found(where + ".appSetting", "an object", app);
  for (const char* key : {"diff_v", "diff_i"}) {
    if (!app.isMember(key)) continue;
    const Json::Value& diff = app[key];
    if (!diff.isNumeric() && !diff.isString() && !diff.isNull())
      return Found(where + ".appSetting." + key, "a number", diff);
  }
  return {};
}

std::string CheckUnitList(const Json::Value& config, const char* key) {
  if (!config.isMember(key)) return {};
  const Json::Value& units = config[key];
  if (!units.isArray()) return Found(key, "an array of unit objects", units);
  for (Json::ArrayIndex index = 0; index < units.size(); ++index) {
    const std::string where = std::string(key) + "[" + std::to_string(index) + "]";
    const Json::Value& unit = units[index];
    if (!unit.isObject()) return Found(where, "an object", unit);
    if (auto problem = CheckDataId(unit, where); !problem.empty()) return problem;
    if (auto problem = CheckAppSetting(unit, where); !problem.empty()) return problem;
  }
  return {};
}

}  // namespace

std::string LoadConfigFile(const std::string& path, Json::Value& config) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "cannot read configuration " + path;
  std::stringstream text;
  text << file.rdbuf();
  if (file.bad()) return "cannot read configuration " + path;

  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const std::string content = text.str();
  std::string errors;
  if (!reader->parse(content.data(), content.data() + content.size(), &config, &errors)) {
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
    return "configuration " + path + " is not valid JSON: " + errors;
  }
  return {};
}

std::string CheckConfig(const Json::Value& config) {
  if (!config.isObject()) return Found("the configuration", "a JSON object", config);
  if (auto problem = CheckDataId(config, "the composite device"); !problem.empty())
    return problem;
  if (config.isMember("address") && !IsWholeNumberIn(config["address"], 0, 254))
    return "address must be an integer from 0 to 254, found " +
           CompactText(config["address"]);
  if (config.isMember("timeout_ms") && !IsWholeNumberIn(config["timeout_ms"], 1, 600000))
    return "timeout_ms must be an integer from 1 to 600000, found " +
           CompactText(config["timeout_ms"]);
  for (const char* key : {"acSetting", "dcSetting"}) {
    if (auto problem = CheckUnitList(config, key); !problem.empty()) return problem;
  }
  if (!config.isMember("rcSetting") || config["rcSetting"].isNull())
    return "rcSetting is missing: the rectifier unit is required (use \"rcSetting\": {})";
  if (!config["rcSetting"].isObject()) return Found("rcSetting", "an object", config["rcSetting"]);
  return {};
}

void CheckDeviceConfig(const Json::Value& config, const std::string& where,
                       std::vector<std::string>& problems,
                       std::map<unsigned, std::string>& data_ids) {
  if (auto problem = CheckConfig(config); !problem.empty()) {
    problems.push_back(where + ": " + problem);
    return;
  }
  auto declare = [&](const Json::Value& id, const std::string& at) {
    if (!id.isUInt()) return;
    const auto [found, inserted] = data_ids.emplace(id.asUInt(), at);
    if (!inserted)
      problems.push_back(at + ": data_id " + std::to_string(id.asUInt()) + " is already used at " +
                         found->second);
  };
  declare(config["data_id"], where + ".data_id");
  for (const char* group : {"acSetting", "dcSetting"}) {
    const Json::Value& units = config[group];
    if (!units.isArray()) continue;
    for (Json::ArrayIndex index = 0; index < units.size(); ++index)
      if (units[index].isObject())
        declare(units[index]["data_id"],
              where + "." + group + "[" + std::to_string(index) + "].data_id");
  }
  if (config["rcSetting"].isObject())
    declare(config["rcSetting"]["data_id"], where + ".rcSetting.data_id");
}
