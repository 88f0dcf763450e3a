#pragma once

// The history writer's and the broker output's metric families, appended to the exposition of
// the sites.

#include <string>

#include "tools/host/status/history_health.h"
#include "tools/host/status/mqtt_health.h"

namespace k426b_host {

void AppendHistoryMetrics(std::string& out, const HistoryHealth& health);
void AppendMqttMetrics(std::string& out, const MqttHealth& health);

}  // namespace k426b_host
