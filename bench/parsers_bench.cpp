// Time per reply of every parse operation, on the replies of a typical system and of the largest
// one the units accept, with the heap allocations each parse makes (target: none). The AC analog
// parser and the DC analog parser write their diagnostic lines to standard output as they do in
// service; here it goes to /dev/null.

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "units/ac/k426b_ac.h"
#include "units/dc/k426b_dc.h"
#include "units/rc/k426b_rc.h"

namespace {

using k426b_sim::QueryKind;
using k426b_sim::Scenario;

template <typename Unit>
using Parser = int (Unit::*)(const unsigned char*, int);

// Parses `kind`'s block again and again with a unit that has learnt its counts from the
// group's analog reply, as it has in service after the first cycle.
template <typename Unit>
void ParseReply(benchmark::State& state, Parser<Unit> learn, QueryKind learn_kind,
                Parser<Unit> parse, QueryKind kind, const Scenario& scenario) {
  const auto unit = std::make_shared<Unit>();
  const std::vector<unsigned char> analog = bench::UnitBlock(learn_kind, scenario);
  const std::vector<unsigned char> info = bench::UnitBlock(kind, scenario);
  const int length = static_cast<int>(info.size());
  bench::StdoutToNull quiet;
  ((*unit).*learn)(analog.data(), static_cast<int>(analog.size()));
  if (((*unit).*parse)(info.data(), length) != length) {
    state.SkipWithError("the reply was not taken whole");
    return;
  }
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(((*unit).*parse)(info.data(), length));
  ReportAllocations(state, allocations);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  state.counters["reply_bytes"] = length;
}

template <typename Unit>
void Register(const char* name, Parser<Unit> learn, QueryKind learn_kind, Parser<Unit> parse,
              QueryKind kind, bool counts_vary = true) {
  const std::string base = std::string("Parse/") + name;
  benchmark::RegisterBenchmark((base + "/typical").c_str(), [=](benchmark::State& state) {
    ParseReply<Unit>(state, learn, learn_kind, parse, kind, bench::TypicalScenario());
  });
  if (!counts_vary) return;
  benchmark::RegisterBenchmark((base + "/largest").c_str(), [=](benchmark::State& state) {
    ParseReply<Unit>(state, learn, learn_kind, parse, kind, bench::LargestScenario());
  });
}

const bool registered = [] {
  constexpr auto kAc = QueryKind::kAcAnalog;
  Register<K426BAC>("40_41", &K426BAC::parse40_41, kAc, &K426BAC::parse40_41, kAc);
  Register<K426BAC>("40_43", &K426BAC::parse40_41, kAc, &K426BAC::parse40_43,
                    QueryKind::kAcSwitch, false);  // at most 8 switches: always this size
  Register<K426BAC>("40_44", &K426BAC::parse40_41, kAc, &K426BAC::parse40_44, QueryKind::kAcAlarm);

  constexpr auto kRc = QueryKind::kRcAnalog;
  Register<K426BRC>("41_41", &K426BRC::parse41_41, kRc, &K426BRC::parse41_41, kRc);
  Register<K426BRC>("41_43", &K426BRC::parse41_41, kRc, &K426BRC::parse41_43, QueryKind::kRcSwitch);
  Register<K426BRC>("41_44", &K426BRC::parse41_41, kRc, &K426BRC::parse41_44, QueryKind::kRcAlarm);
  Register<K426BRC>("40_46", &K426BRC::parse41_41, kRc, &K426BRC::parse40_46,
                    QueryKind::kAcParameters, false);  // fixed size
  Register<K426BRC>("42_46", &K426BRC::parse41_41, kRc, &K426BRC::parse42_46,
                    QueryKind::kDcParameters, false);  // fixed size

  constexpr auto kDc = QueryKind::kDcAnalog;
  Register<K426BDC>("42_41", &K426BDC::parse42_41, kDc, &K426BDC::parse42_41, kDc);
  Register<K426BDC>("42_44", &K426BDC::parse42_41, kDc, &K426BDC::parse42_44, QueryKind::kDcAlarm,
                    false);  // 64 fuses and 17 user alarms in the typical reply already
  return true;
}();

}  // namespace
