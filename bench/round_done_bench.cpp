// RoundDone of each unit with the fewest and the most screens or modules: the cost per alarm
// rule should stay flat as the count grows. "unit" is the plug-in's own share (no host
// controller: the rules are recorded and the hand-over runs in place with nothing behind it);
// "with_host" adds the host's share on a controller whose worker is shut down, so the batch
// check of the rules runs in place and is timed on the same thread.

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "host/controller.h"
#include "units/ac/k426b_ac.h"
#include "units/dc/k426b_dc.h"
#include "units/rc/k426b_rc.h"

namespace {

using k426b_sim::QueryKind;
using k426b_sim::Scenario;

class RuleCounter : public HostEvents {
 public:
  void OnRule(unsigned, const rule_value&) override { ++rules; }
  long long rules = 0;
};

template <typename Unit>
using Parser = int (Unit::*)(const unsigned char*, int);

template <typename Unit>
struct Feed {
  Parser<Unit> parse;
  QueryKind kind;
};

template <typename Unit>
void RoundDone(benchmark::State& state, const std::vector<Feed<Unit>>& feeds,
               const Scenario& scenario, bool with_host) {
  auto counter = std::make_shared<RuleCounter>();
  auto controller = std::make_shared<ZVKController>(counter);
  controller->Shutdown();  // work items now run on the caller
  const auto unit = std::make_shared<Unit>();
  if (with_host) unit->Init(controller, 101, Json::Value());
  {
    bench::StdoutToNull quiet;
    for (const Feed<Unit>& feed : feeds) {
      const auto info = bench::UnitBlock(feed.kind, scenario);
      ((*unit).*feed.parse)(info.data(), static_cast<int>(info.size()));
    }
  }
  unit->RoundDone();
  const long long rules_per_round = with_host ? counter->rules : unit->RuleSequence() - 1;
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) unit->RoundDone();
  ReportAllocations(state, allocations);
  state.counters["rules"] = static_cast<double>(rules_per_round);
  state.counters["per_rule"] =
      benchmark::Counter(static_cast<double>(rules_per_round),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <typename Unit>
void Register(const std::string& name, const std::vector<Feed<Unit>>& feeds, bool counts_vary) {
  for (bool with_host : {false, true}) {
    const std::string variant = with_host ? "/with_host" : "/unit";
    const std::string fewest = counts_vary ? "/1" : "";
    benchmark::RegisterBenchmark(("RoundDone/" + name + fewest + variant).c_str(),
                                 [=](benchmark::State& state) {
                                   Scenario scenario = bench::TypicalScenario();
                                   scenario.rectifier.modules.resize(1);
                                   RoundDone<Unit>(state, feeds, scenario, with_host);
                                 });
    if (!counts_vary) continue;
    benchmark::RegisterBenchmark(("RoundDone/" + name + "/255" + variant).c_str(),
                                 [=](benchmark::State& state) {
                                   RoundDone<Unit>(state, feeds, bench::LargestScenario(),
                                                   with_host);
                                 });
  }
}

const bool registered = [] {
  Register<K426BAC>("ac_screens",
                    {{&K426BAC::parse40_41, QueryKind::kAcAnalog},
                     {&K426BAC::parse40_43, QueryKind::kAcSwitch},
                     {&K426BAC::parse40_44, QueryKind::kAcAlarm}},
                    true);
  Register<K426BRC>("rc_modules",
                    {{&K426BRC::parse41_41, QueryKind::kRcAnalog},
                     {&K426BRC::parse41_43, QueryKind::kRcSwitch},
                     {&K426BRC::parse41_44, QueryKind::kRcAlarm}},
                    true);
  Register<K426BDC>("dc",
                    {{&K426BDC::parse42_41, QueryKind::kDcAnalog},
                     {&K426BDC::parse42_44, QueryKind::kDcAlarm}},
                    false);  // no count: 64 fuses, 17 user alarms already
  return true;
}();

}  // namespace
