#pragma once

// The monitoring service: every power system of a sites file in one process. Each site is a
// Site with its own line; the sites share serial loops (up to 128 sites a loop, each loop on a
// thread of its own, with a second thread for reopening lost lines), one threshold worker, one
// history, one event stream and one status board, seen through the HTTP endpoint (metrics, web
// page). SIGHUP re-reads the sites file and applies the sites added, removed or changed without
// disturbing the others; systemd hears when the service is ready, that its main thread is
// alive, and when it reloads or stops.

#include "tools/host/app/options.h"

namespace k426b_host {

// Exit status: 0 stopped by a signal, 1 run-time failure (plug-in, endpoint; never the history,
// which is tried again while the sites poll), 2 bad command line or sites file (nothing opened).
int RunService(const ParsedOptions& parsed);

}  // namespace k426b_host
