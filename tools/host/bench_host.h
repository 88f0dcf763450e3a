#pragma once

// The bench host's run: configuration, plug-in, controller, cache, serial loop, reporting.

#include "tools/host/options.h"

// Exit status: 0 done, 1 run-time failure, 2 bad configuration (nothing opened).
int RunBenchHost(const HostOptions& options);

// examples/k426b.json beside the installed or built host, else in the source tree.
std::string ExampleConfigPath();
