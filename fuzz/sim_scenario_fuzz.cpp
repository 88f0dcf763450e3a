// Feeds arbitrary bytes to the simulator as a scenario file. Loading may only refuse with
// ScenarioError; a scenario it accepts writes out to JSON that loads back to the same JSON, and
// the simulator answers three whole poll cycles of it, scripted changes and faults included.

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz/fuzz_support.h"
#include "fuzz/sim_inputs.h"
#include "tools/sim/engine/scenario.h"
#include "tools/sim/engine/simulator.h"

using k426b_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static k426b_fuzz::MemoryFile file;
  k426b_sim::Scenario scenario;
  try {
    scenario = k426b_sim::LoadScenarioFile(file.Write(data, size));
  } catch (const k426b_sim::ScenarioError&) {
    return 0;
  } catch (const Json::RuntimeError& error) {
    // Nesting beyond the reader's depth limit is thrown by the reader itself.
    require(std::string(error.what()).find("stack limit") != std::string::npos);
    return 0;
  }

  const Json::Value written = k426b_sim::ScenarioToJson(scenario);
  require(k426b_sim::ScenarioToJson(k426b_sim::ScenarioFromJson(written)) == written);

  k426b_sim::SimulatorOptions options;
  double now = 0.0;
  options.clock = [&now] { return now; };
  k426b_sim::Simulator simulator(scenario, options);
  for (int cycle = 0; cycle < 3; ++cycle) {
    k426b_fuzz::AskCycle(simulator, scenario.address);
    now += 10.0;
  }
  return 0;
}
