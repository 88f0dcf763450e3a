#pragma once

// The monitoring service: every power system of a sites file in one process, each a Site with
// its own line and serial thread, sharing one history, one event stream and one status board,
// seen through the HTTP endpoint (metrics, web page). SIGHUP re-reads the sites file and applies
// the sites added, removed or changed without disturbing the others; systemd hears when the
// service is ready, that it is alive, and when it reloads or stops.

#include <memory>
#include <string>

#include "tools/host/app/options.h"
#include "tools/host/line/line.h"

namespace k426b_host {

// A serial device path gives a serial port, tcp://HOST:PORT a socket to a serial device server.
std::unique_ptr<Line> MakeLine(const std::string& port, int baud);

// Exit status: 0 stopped by a signal, 1 run-time failure (plug-in, history, endpoint), 2 bad
// command line or sites file (nothing opened).
int RunService(const ParsedOptions& parsed);

}  // namespace k426b_host
