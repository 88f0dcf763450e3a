#pragma once

// The host's web page and its JSON: GET / (the page), GET /assets/NAME (its script and style),
// GET /api/sites (every site, without frames and alarm changes), GET /api/sites/NAME (one site,
// in full), GET /events[?site=NAME] (the same JSON pushed as Server-Sent Events whenever the
// status board changes). Read-only: no route changes the host or the equipment.

#include <chrono>
#include <functional>

#include <json/value.h>

#include "tools/host/site_status.h"

namespace httplib {
class Server;
}
class StatusBoard;

struct WebOptions {
  // Adds members to one unit's JSON before it is served (the rectifier group's modules decoded
  // from its snapshot go here, as "modules": [{member: value, ...}, ...]); none when empty.
  std::function<void(const UnitStatus& unit, Json::Value& unit_json)> describe_unit;
  // Event streams open at once; more are refused with 503 and the page falls back to polling,
  // so streams never take every worker thread of the server.
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

// Registers the routes above on `server`. `board` must outlive the server's last request.
void AddWebRoutes(httplib::Server& server, const StatusBoard& board, WebOptions options = {});
