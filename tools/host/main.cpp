#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tools/host/bench_host.h"
#include "tools/host/options.h"
#include "tools/host/service.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const ParsedOptions parsed = ParseHostOptions(arguments);
  if (!parsed.error.empty()) {
    fmt::print(stderr, "{}", UsageErrorText("k426b-host", parsed.error));
    return 2;
  }
  if (!parsed.output.empty()) {
    fmt::print("{}", parsed.output);
    return 0;
  }
  return parsed.options.sites_path.empty() ? RunBenchHost(parsed) : RunService(parsed);
}
