#pragma once

// The host's web page and its JSON: GET / (the page), GET /assets/NAME (its script and style),
// GET /api/sites (every site, without frames and alarm changes), GET /api/sites/NAME (one site,
// in full), GET /events[?site=NAME] (the same JSON pushed as Server-Sent Events whenever the
// status board changes). Read-only: no route changes the host or the equipment, and the server
// refuses every other method.

#include <chrono>
#include <functional>

#include <json/value.h>

#include "tools/host/http/routes.h"
#include "tools/host/status/site_status.h"
#include "tools/host/status/status_view.h"

namespace k426b_host {

// Adds members to one unit's JSON before it is served.
using DescribeUnit = std::function<void(const UnitStatus& unit, Json::Value& unit_json)>;

// The rectifier group's values while current (CurrentRectifierValues, as for the metrics, so page
// and endpoint agree): "group" {name: number} and "modules" [{"position", "first", "further"}].
// Units of other types, stale data and snapshots that do not decode are left as they are.
void DescribeRectifierUnit(const UnitStatus& unit, Json::Value& unit_json);

// One site's JSON (SiteStatusJson) with `describe` applied to each unit: what
// GET /api/sites/NAME serves and `--once --json` prints.
Json::Value DescribedSiteJson(const SiteStatus& status, bool with_trace,
                              const DescribeUnit& describe);

struct WebOptions {
  // Applied to every unit served; none when empty.
  DescribeUnit describe_unit = DescribeRectifierUnit;
  // Event streams open at once; more are refused with 503 and the page falls back to polling,
  // so streams never take every thread the server keeps for them.
  unsigned max_event_streams = 4;
  // A comment line on an idle stream this often, so proxies keep it open and a vanished client
  // is noticed.
  std::chrono::milliseconds keep_alive{15000};
  // The longest one wait for a change lasts: bounds how long a stream takes to notice that the
  // server is stopping.
  std::chrono::milliseconds wait_slice{500};
  // Pushes to one stream are at least this far apart; changes in between are sent together.
  std::chrono::milliseconds min_push_interval{250};
};

// Registers the routes above. `status` must outlive the server's last request.
void AddWebRoutes(Routes& routes, const StatusView& status, WebOptions options = {});

}  // namespace k426b_host
