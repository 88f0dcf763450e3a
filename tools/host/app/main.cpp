#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tools/host/app/bench_host.h"
#include "tools/host/app/options.h"
#include "tools/host/app/service.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const k426b_host::ParsedOptions parsed = k426b_host::ParseHostOptions(arguments);
  if (!parsed.error.empty()) {
    fmt::print(stderr, "{}", k426b_host::UsageErrorText("k426b-host", parsed.error));
    return 2;
  }
  if (!parsed.output.empty()) {
    fmt::print("{}", parsed.output);
    return 0;
  }
  return parsed.options.sites_path.empty() ? k426b_host::RunBenchHost(parsed)
                                           : k426b_host::RunService(parsed);
}
