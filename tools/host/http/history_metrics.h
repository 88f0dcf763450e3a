#pragma once

// The history writer's metric families, appended to the exposition of the sites.

#include <string>

#include "tools/host/status/history_health.h"

namespace k426b_host {

void AppendHistoryMetrics(std::string& out, const HistoryHealth& health);

}  // namespace k426b_host
