#include "tools/host/mqtt/mqtt_payloads.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <json/value.h>

#include "tools/common/json_text.h"
#include "tools/host/status/rectifier_view.h"
#include "tools/host/status/rule_json.h"

namespace k426b_host {

namespace {

// A discovery id: letters, digits, '_' and '-' only.
std::string IdPart(const std::string& text) {
  std::string id;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    id += (std::isalnum(byte) || c == '-') && byte < 0x80 ? c : '_';
  }
  return id;
}

// The same rule id serves several alarms of a unit (one per module, fuse or channel): each is
// known by its rule id and a digest of its code and description, the same in every run.
std::string AlarmKey(const AlarmStatus& alarm) {
  std::uint32_t digest = 2166136261u;  // FNV-1a
  for (char c : alarm.code + '\n' + alarm.description) {
    digest ^= static_cast<unsigned char>(c);
    digest *= 16777619u;
  }
  return fmt::format("{}_{:08x}", IdPart(alarm.rule_id), digest);
}

std::string UnitTopic(const MqttSettings& settings, const SiteStatus& site, unsigned data_id) {
  return SiteTopic(settings, site.name) + "/" + std::to_string(data_id);
}

// What a value's key says it measures: AC currents ia/ib/ic, screen voltages channel_N_a/b/c
// and frequency channel_N_f, DC voltage v and current i.
struct Measure {
  const char* device_class;
  const char* unit;
};
std::optional<Measure> MeasureOf(const std::string& key) {
  if (key == "v") return Measure{"voltage", "V"};
  if (key == "i" || key == "ia" || key == "ib" || key == "ic") return Measure{"current", "A"};
  if (key.rfind("channel_", 0) == 0 && key.size() > 2 && key[key.size() - 2] == '_') {
    const char last = key.back();
    if (last == 'f') return Measure{"frequency", "Hz"};
    if (last == 'a' || last == 'b' || last == 'c') return Measure{"voltage", "V"};
  }
  return std::nullopt;
}

Json::Value Availability(const MqttSettings& settings, const SiteStatus& site) {
  Json::Value entry(Json::objectValue);
  entry["topic"] = SiteTopic(settings, site.name) + "/status";
  entry["payload_available"] = "online";
  entry["payload_not_available"] = "offline";
  Json::Value list(Json::arrayValue);
  list.append(entry);
  return list;
}

Json::Value Origin(const std::string& sw_version) {
  Json::Value origin(Json::objectValue);
  origin["name"] = "k426b-host";
  origin["sw_version"] = sw_version;
  return origin;
}

Json::Value Component(const char* platform, const std::string& unique_id, const std::string& name,
                      const std::string& state_topic, const std::string& value_template) {
  Json::Value component(Json::objectValue);
  component["platform"] = platform;
  component["unique_id"] = unique_id;
  component["default_entity_id"] = std::string(platform) + "." + unique_id;
  component["name"] = name;
  component["state_topic"] = state_topic;
  component["value_template"] = value_template;
  return component;
}

MqttMessage Config(const MqttSettings& settings, const std::string& device_id,
                   const Json::Value& document) {
  return {settings.discovery_prefix + "/device/" + device_id + "/config", CompactJson(document), 0,
          true};
}

}  // namespace

std::string SiteTopic(const MqttSettings& settings, const std::string& site) {
  return settings.prefix + "/" + TopicLevel(site);
}

std::string HostTopic(const MqttSettings& settings) {
  return settings.prefix + "/host/" + TopicLevel(settings.client_id);
}

MqttMessage LineMessage(const MqttSettings& settings, const SiteStatus& site) {
  Json::Value line(Json::objectValue);
  line["state"] = LineStatusJson(site.line)["state"];
  line["since"] = site.line.since;
  line["reason"] = site.line.reason;
  line["problem"] = site.line.problem;
  return {SiteTopic(settings, site.name) + "/line", CompactJson(line), 0, true};
}

MqttMessage StateMessage(const MqttSettings& settings, const SiteStatus& site,
                         const UnitStatus& unit) {
  Json::Value state(Json::objectValue);
  state["data_id"] = unit.data_id;
  state["device_type"] = unit.device_type;
  state["age_s"] = unit.age_s ? Json::Value(*unit.age_s) : Json::Value();
  state["cached"] = unit.cached;
  Json::Value values(Json::objectValue);
  for (const UnitValue& value : unit.values)
    if (value.value) values[value.key] = FloatJson(*value.value);
  state["values"] = values;
  if (auto rectifier = CurrentRectifierValues(unit)) {
    Json::Value group(Json::objectValue);
    Json::Value fields(Json::objectValue);
    for (const RectifierField& field : rectifier->fields)
      fields[field.name] = FloatJson(field.value);
    group["fields"] = fields;
    Json::Value modules(Json::arrayValue);
    for (const RectifierModuleValues& module : rectifier->modules) {
      Json::Value numbers(Json::arrayValue);
      numbers.append(FloatJson(module.first));
      for (float further : module.further) numbers.append(FloatJson(further));
      modules.append(numbers);
    }
    group["modules"] = modules;
    state["rectifier"] = group;
  }
  return {UnitTopic(settings, site, unit.data_id) + "/state", CompactJson(state), 0, true};
}

MqttMessage AlarmsMessage(const MqttSettings& settings, const SiteStatus& site, unsigned data_id) {
  Json::Value active(Json::arrayValue);
  Json::Value rules(Json::objectValue);
  for (const AlarmStatus& alarm : site.alarms) {
    if (alarm.data_id != data_id) continue;
    const std::string key = AlarmKey(alarm);
    rules[key] = rules.get(key, false).asBool() || alarm.active;
    if (!alarm.active) continue;
    // The rule's members as every other writer names them; the unit is in the topic already.
    Json::Value entry = RuleJson(alarm.data_id, alarm);
    entry.removeMember("data_id");
    entry["key"] = key;
    entry["since"] = alarm.since;
    active.append(entry);
  }
  Json::Value document(Json::objectValue);
  document["active"] = active;
  document["rules"] = rules;
  return {UnitTopic(settings, site, data_id) + "/alarms", CompactJson(document), 1, true};
}

std::string ActiveAlarmKeys(const SiteStatus& site, unsigned data_id) {
  std::string keys;
  for (const AlarmStatus& alarm : site.alarms)
    if (alarm.data_id == data_id && alarm.active) keys += AlarmKey(alarm) + '\n';
  return keys;
}

std::vector<unsigned> UnitIds(const SiteStatus& site) {
  std::set<unsigned> ids;
  for (const UnitStatus& unit : site.units) ids.insert(unit.data_id);
  for (const AlarmStatus& alarm : site.alarms) ids.insert(alarm.data_id);
  return {ids.begin(), ids.end()};
}

std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings, const SiteStatus& site,
                                           const std::string& sw_version) {
  std::vector<MqttMessage> messages;
  const std::string site_id = "k426b_" + IdPart(site.name);
  auto device = [&](const std::string& id, const std::string& name) {
    Json::Value dev(Json::objectValue);
    dev["identifiers"].append(id);
    dev["name"] = name;
    if (!site.model.empty()) dev["model"] = site.model;
    if (!settings.manufacturer.empty()) dev["manufacturer"] = settings.manufacturer;
    dev["sw_version"] = sw_version;
    return dev;
  };

  Json::Value site_config(Json::objectValue);
  site_config["dev"] = device(site_id, site.name.empty() ? std::string("k426b") : site.name);
  site_config["o"] = Origin(sw_version);
  site_config["availability"] = Availability(settings, site);
  site_config["cmps"][site_id + "_line"] =
      Component("sensor", site_id + "_line", "Line", SiteTopic(settings, site.name) + "/line",
                "{{ value_json.state }}");
  messages.push_back(Config(settings, site_id, site_config));

  for (unsigned data_id : UnitIds(site)) {
    const std::string unit_id = site_id + "_" + std::to_string(data_id);
    const std::string base = UnitTopic(settings, site, data_id);
    std::string type;
    Json::Value config(Json::objectValue);
    Json::Value& components = config["cmps"];
    for (const UnitStatus& unit : site.units) {
      if (unit.data_id != data_id) continue;
      type = unit.device_type;
      for (const UnitValue& value : unit.values) {
        if (value.key.empty()) continue;
        const std::string id = unit_id + "_" + IdPart(value.key);
        Json::Value sensor = Component("sensor", id, value.key, base + "/state",
                                       "{{ value_json['values']['" + value.key + "'] }}");
        sensor["expire_after"] = static_cast<int>(kDataFreshFor.count());
        if (auto measure = MeasureOf(value.key)) {
          sensor["device_class"] = measure->device_class;
          sensor["unit_of_measurement"] = measure->unit;
          sensor["state_class"] = "measurement";
        }
        components[id] = sensor;
      }
      if (unit.record_type == kRectifierRecordType) {
        Json::Value modules =
            Component("sensor", unit_id + "_modules", "Rectifier modules", base + "/state",
                      "{{ value_json.rectifier.modules | count }}");
        modules["expire_after"] = static_cast<int>(kDataFreshFor.count());
        components[unit_id + "_modules"] = modules;
      }
    }
    for (const AlarmStatus& alarm : site.alarms) {
      if (alarm.data_id != data_id) continue;
      const std::string key = AlarmKey(alarm);
      Json::Value sensor =
          Component("binary_sensor", unit_id + "_" + key,
                    alarm.description.empty() ? alarm.rule_id : alarm.description, base + "/alarms",
                    "{{ 'ON' if value_json.rules['" + key + "'] else 'OFF' }}");
      sensor["device_class"] = "problem";
      components[unit_id + "_" + key] = sensor;
    }
    Json::Value dev = device(unit_id, (site.name.empty() ? std::string("k426b") : site.name) + " " +
                                          (type.empty() ? std::string("unit") : type) + " " +
                                          std::to_string(data_id));
    dev["via_device"] = site_id;
    config["dev"] = dev;
    config["o"] = Origin(sw_version);
    config["availability"] = Availability(settings, site);
    messages.push_back(Config(settings, unit_id, config));
  }
  return messages;
}

}  // namespace k426b_host
