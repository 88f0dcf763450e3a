#pragma once

// What the benchmarks share: the replies of a typical and of the largest power system, built by
// the simulator's own reply builder, and a way to keep the plug-in's diagnostic lines off the
// terminal while still paying for writing them.

#include <vector>

#include "tools/sim/engine/replies.h"
#include "tools/sim/engine/scenario.h"

namespace bench {

// The simulator's default system with one AC unit (one screen), one DC unit (two M values,
// 64 fuses) and three rectifier modules.
k426b_sim::Scenario TypicalScenario();
// The largest counts the units accept: one AC unit with 255 screens, one DC unit with every
// group full (4, 9 and 11 values), 255 rectifier modules.
k426b_sim::Scenario LargestScenario();

// The information bytes one unit's parser is handed for `kind`: an AC or DC unit's block (the
// reply after its data flag and unit count, the scenario having one unit of each), or the whole
// reply for the rectifier unit's parsers.
std::vector<unsigned char> UnitBlock(k426b_sim::QueryKind kind, const k426b_sim::Scenario& scenario);

// Points standard output at /dev/null for its lifetime (the descriptor, so the writes the
// diagnostic lines make are still made).
class StdoutToNull {
 public:
  StdoutToNull();
  ~StdoutToNull();
  StdoutToNull(const StdoutToNull&) = delete;
  StdoutToNull& operator=(const StdoutToNull&) = delete;

 private:
  int saved_;
};

}  // namespace bench
