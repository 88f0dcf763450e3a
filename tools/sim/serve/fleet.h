#pragma once

// Many simulated power systems in one process, for tests and demos of a host that supervises a
// fleet: site i (from 0) is served on TCP port PORT+i (all sites from one thread), or on a
// pseudo-terminal of its own (optionally reached through the link PATH-i) from a thread of its own.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "tools/sim/engine/scenario.h"
#include "tools/sim/engine/simulator.h"
#include "tools/sim/serve/serial_link.h"

namespace k426b_sim {

// Site i's scenario: the base one with every voltage raised by i volts on the AC screens and by
// i tenths of a volt on the DC units and the rectifier group, so the sites are told apart.
Scenario SiteScenario(const Scenario& base, int site);

struct FleetOptions {
  int sites = 1;
  // "ADDR:PORT": site i listens on PORT+i (with PORT 0, each on a free port of its own).
  std::optional<std::string> tcp;
  // With pseudo-terminals: a symbolic link PATH-i to site i's terminal, removed at the end.
  std::optional<std::string> link;
  ServeOptions serve;
};

// Serves every site until `stop` is set. Writes one line per site to `out` once all are
// served: the pseudo-terminal's path (or the link) or the TCP address. Returns the exit status:
// 0 after a stop, 1 when a site's line fails (the other sites are stopped too).
// Throws std::system_error or std::invalid_argument when a site cannot be set up.
int RunFleet(const FleetOptions& options,
             const std::function<std::unique_ptr<Responder>(int site)>& responder_for,
             std::ostream& out, const std::atomic<bool>& stop);

}  // namespace k426b_sim
