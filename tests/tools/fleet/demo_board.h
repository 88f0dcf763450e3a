#pragma once

// Two power systems as the host would publish them, for the metrics tests, the promtool check
// and the Prometheus harness: "north" is up with fresh values, a rectifier group of two modules
// and a raised fuse alarm; "south" has lost its line, its values are refused and its model
// alarm is raised.

#include <vector>

#include "tools/host/status/site_status.h"

namespace k426b_host {

// A rectifier snapshot: head with the group value and (when `parameters`) the parameter values,
// then one record per module with its first value and 7 further values.
std::vector<unsigned char> RectifierSnapshotBytes(float group, const std::vector<float>& firsts,
                                                  bool parameters);

std::vector<SiteStatus> DemoSites();

}  // namespace k426b_host
