#pragma once

// What the host publishes for one site, as topics and JSON texts: the site's line, each unit's
// state of a cycle and its active alarms, and the discovery configurations that describe the
// site and its units as devices with sensors to a home-automation controller.

#include <string>
#include <vector>

#include "tools/host/mqtt/mqtt_settings.h"
#include "tools/host/status/site_status.h"

namespace k426b_host {

struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = true;
};

// <prefix>/<site>, the site's name made one topic level.
std::string SiteTopic(const MqttSettings& settings, const std::string& site);
// <prefix>/host/<client id>
std::string HostTopic(const MqttSettings& settings);

// <site>/line: {"state", "since", "reason", "problem"}.
MqttMessage LineMessage(const MqttSettings& settings, const SiteStatus& site);
// <site>/<data_id>/state: {"data_id", "device_type", "age_s", "cached", "values": {key: number}
// (refused keys left out), "rectifier": {"fields": {name: number}, "modules": [[numbers]]} while
// the rectifier's values are current}.
MqttMessage StateMessage(const MqttSettings& settings, const SiteStatus& site,
                         const UnitStatus& unit);
// <site>/<data_id>/alarms, QoS 1: {"active": [{"key", "rule_id", "code", "level", "name",
// "description", "since"}], "rules": {key: true | false}} of every alarm seen. A key is the rule
// id and a digest of the alarm's code and description: one rule id serves several alarms.
MqttMessage AlarmsMessage(const MqttSettings& settings, const SiteStatus& site, unsigned data_id);
// The keys of the unit's active alarms, one a line: what an alarm change changes.
std::string ActiveAlarmKeys(const SiteStatus& site, unsigned data_id);
// Every unit's data id: those with values and those with alarm rules.
std::vector<unsigned> UnitIds(const SiteStatus& site);

// One device-based discovery configuration for the site and one for each unit.
std::vector<MqttMessage> DiscoveryMessages(const MqttSettings& settings, const SiteStatus& site,
                                           const std::string& sw_version);

}  // namespace k426b_host
