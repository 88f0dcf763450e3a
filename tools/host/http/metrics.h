#pragma once

// The Prometheus text exposition (version 0.0.4) of every site on the status board, built at
// scrape time from the sites' current status: nothing is kept between scrapes, and a value that
// is not known now (refused by the plug-in, stale rectifier data) is left out, not sent as 0.

#include <string>
#include <vector>

#include "tools/host/status/site_status.h"

namespace k426b_host {

class StatusBoard;

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string RenderMetrics(const std::vector<SiteStatus>& sites, const std::string& version);
// The board's sites and this build's version.
std::string RenderMetrics(const StatusBoard& board);

// A label value with backslash, double quote and line feed escaped; other bytes (UTF-8) kept.
std::string EscapeLabelValue(const std::string& value);

}  // namespace k426b_host
