// Feeds arbitrary bytes to the simulator as a --replay record file. Reading may only refuse with
// ScenarioError; a record it accepts answers two whole poll cycles without reading outside it.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>

#include "fuzz/fuzz_support.h"
#include "fuzz/sim_inputs.h"
#include "tools/sim/engine/record_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<k426b_sim::RecordEntry> entries;
  try {
    entries = k426b_sim::ReadRecord(in, "fuzz");
  } catch (const k426b_sim::ScenarioError&) {
    return 0;
  } catch (const Json::RuntimeError& error) {
    // A line nested beyond the reader's depth limit is thrown by the reader itself.
    k426b_fuzz::require(std::string(error.what()).find("stack limit") != std::string::npos);
    return 0;
  }
  k426b_sim::Replayer replayer(entries);
  for (int cycle = 0; cycle < 2; ++cycle) k426b_fuzz::AskCycle(replayer, 1);
  return 0;
}
