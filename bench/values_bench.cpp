// Value look-ups: Get_Value for a head key and a channel key of an AC unit, alone and with four
// reader threads while the serial thread runs cycles on the same unit; and the channel-key
// decision beside the regular expression it replaces, compiled once and compiled per call.

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "bench/alloc_counter.h"
#include "bench/bench_support.h"
#include "units/ac/channel_key.h"
#include "units/ac/k426b_ac.h"

namespace {

using k426b_sim::QueryKind;

// An AC unit with the typical system's values after one completed cycle, and a serial thread
// that can keep running cycles on it (parse 40_41, 40_43, 40_44, RoundDone) back to back: far
// more often than the line allows, so the readers meet the writer as often as they can.
class CyclingUnit {
 public:
  CyclingUnit() : unit_(std::make_shared<K426BAC>()) {
    const auto scenario = bench::TypicalScenario();
    for (QueryKind kind : {QueryKind::kAcAnalog, QueryKind::kAcSwitch, QueryKind::kAcAlarm})
      replies_.push_back(bench::UnitBlock(kind, scenario));
    bench::StdoutToNull quiet;
    RunCycle();
  }

  void StartCycling() {
    stop_ = false;
    serial_thread_ = std::thread([this] {
      bench::StdoutToNull quiet;
      while (!stop_.load(std::memory_order_relaxed)) RunCycle();
    });
  }
  void StopCycling() {
    stop_ = true;
    if (serial_thread_.joinable()) serial_thread_.join();
  }

  const K426BAC& unit() const { return *unit_; }

 private:
  void RunCycle() {
    unit_->parse40_41(replies_[0].data(), static_cast<int>(replies_[0].size()));
    unit_->parse40_43(replies_[1].data(), static_cast<int>(replies_[1].size()));
    unit_->parse40_44(replies_[2].data(), static_cast<int>(replies_[2].size()));
    unit_->RoundDone();
  }

  std::shared_ptr<K426BAC> unit_;
  std::vector<std::vector<unsigned char>> replies_;
  std::thread serial_thread_;
  std::atomic<bool> stop_{false};
};

CyclingUnit& SharedUnit() {
  static CyclingUnit unit;
  return unit;
}

void LookUp(benchmark::State& state, const std::string& key) {
  CyclingUnit& shared = SharedUnit();
  const bool contended = state.threads() > 1;
  if (contended && state.thread_index() == 0) shared.StartCycling();
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(shared.unit().Get_Value(0, key));
  ReportAllocations(state, allocations);
  if (contended && state.thread_index() == 0) shared.StopCycling();
}

void GetValueHeadKey(benchmark::State& state) { LookUp(state, "ia"); }
void GetValueChannelKey(benchmark::State& state) { LookUp(state, "channel_0_f"); }
BENCHMARK(GetValueHeadKey)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(GetValueChannelKey)->Threads(1)->Threads(4)->UseRealTime();

// What a look-up pays for its freshness check: one conversion of the clock to local time.
void LocalTimeNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(boost::posix_time::second_clock::local_time());
}
BENCHMARK(LocalTimeNow);

// ---- the channel-key decision -------------------------------------------------------------

const char kPattern[] = "channel_(\\d+)_(.+?)";

void ChannelKeyDecision(benchmark::State& state, const std::string& key) {
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(find_channel_key(key));
  ReportAllocations(state, allocations);
}

void RegexCompiledOnce(benchmark::State& state, const std::string& key) {
  const std::regex pattern(kPattern);
  std::smatch match;
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(std::regex_search(key, match, pattern));
  ReportAllocations(state, allocations);
}

void RegexCompiledPerCall(benchmark::State& state, const std::string& key) {
  std::smatch match;
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) {
    const std::regex pattern(kPattern);
    benchmark::DoNotOptimize(std::regex_search(key, match, pattern));
  }
  ReportAllocations(state, allocations);
}

// A plain channel key, one inside a longer name, and a head key that holds no channel.
#define CHANNEL_KEY_CASES(function)                                            \
  BENCHMARK_CAPTURE(function, plain, std::string("channel_3_f"));              \
  BENCHMARK_CAPTURE(function, embedded, std::string("ac_unit_channel_12_freq")); \
  BENCHMARK_CAPTURE(function, no_channel, std::string("ia_alert"))

CHANNEL_KEY_CASES(ChannelKeyDecision);
CHANNEL_KEY_CASES(RegexCompiledOnce);
CHANNEL_KEY_CASES(RegexCompiledPerCall);

}  // namespace
