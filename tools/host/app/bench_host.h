#pragma once

// The bench host's run: options wired to one site (configuration, plug-in, history, line),
// served by a serial loop of its own while the calling thread waits for the end.

#include "tools/host/app/options.h"

namespace k426b_host {

// Exit status: 0 done, 1 run-time failure, 2 bad configuration (nothing opened).
int RunBenchHost(const ParsedOptions& parsed);

// examples/k426b.json beside the installed or built host, else in the source tree.
std::string ExampleConfigPath();

}  // namespace k426b_host
