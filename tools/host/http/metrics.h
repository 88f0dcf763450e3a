#pragma once

// The Prometheus text exposition (version 0.0.4) of every site on the status board, built at
// scrape time from the sites' current status: nothing is kept between scrapes, and a value that
// is not known now (refused by the plug-in, stale rectifier data) is left out, not sent as 0.

#include <string>
#include <vector>

#include "tools/host/http/routes.h"
#include "tools/host/status/history_health.h"
#include "tools/host/status/mqtt_health.h"
#include "tools/host/status/site_status.h"
#include "tools/host/status/status_view.h"

namespace k426b_host {

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string RenderMetrics(const std::vector<SiteStatus>& sites, const std::string& version);
// The sites of `status` and this build's version.
std::string RenderMetrics(const StatusView& status);

// GET /metrics: the exposition above, and the history writer's and the broker output's families
// when `history` and `mqtt` are given. All of them must outlive the server's last request.
void AddMetricsRoute(Routes& routes, const StatusView& status,
                     const HistoryHealthView* history = nullptr,
                     const MqttHealthView* mqtt = nullptr);

// A label value with backslash, double quote and line feed escaped; other bytes (UTF-8) kept.
std::string EscapeLabelValue(const std::string& value);

}  // namespace k426b_host
