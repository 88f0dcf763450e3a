// Cost of decoding the AC group's replies for a unit with several AC screens, and of the value
// look-ups the host makes between cycles (a channel key is found without a regular expression).
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "units/ac/k426b_ac.h"

namespace {

constexpr int kScreens = 4;

// Swallows the one diagnostic line per screen that the analog parser writes, so the
// benchmark measures decoding rather than the terminal.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

class QuietStdout {
 public:
  QuietStdout() : saved_(std::cout.rdbuf(&null_)) {}
  ~QuietStdout() { std::cout.rdbuf(saved_); }

 private:
  NullBuffer null_;
  std::streambuf* saved_;
};

// Analog block: per screen 220 V on each phase (the third a no-value marker) and 50 Hz, no
// user values; then 10 A per phase.
std::vector<unsigned char> analog_block() {
  std::vector<unsigned char> info{kScreens};
  for (int screen = 0; screen < kScreens; ++screen) {
    info.insert(info.end(), {0x00, 0x00, 0x5C, 0x43, 0x00, 0x00, 0x5C, 0x43});
    info.insert(info.end(), {0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x48, 0x42, 0x00});
  }
  for (int phase = 0; phase < 3; ++phase) info.insert(info.end(), {0x00, 0x00, 0x20, 0x41});
  return info;
}

std::vector<unsigned char> switch_block() {
  return {0x08, 1, 0, 1, 0, 1, 0, 1, 0, 0x02, 0xA1, 0xA2};
}

// Alarm block: per screen four states, no further bytes, seven user bytes; then the currents.
std::vector<unsigned char> alarm_block() {
  std::vector<unsigned char> info{kScreens};
  for (int screen = 0; screen < kScreens; ++screen) {
    info.insert(info.end(), {0x00, 0x02, 0x00, 0x00, 0x00, 0x07});
    info.insert(info.end(), 7, 0x00);
  }
  info.insert(info.end(), {0x00, 0x00, 0x01});
  return info;
}

std::shared_ptr<K426BAC> unit_with_screens() {
  auto unit = std::make_shared<K426BAC>();
  const std::vector<unsigned char> info = analog_block();
  QuietStdout quiet;
  unit->parse40_41(info.data(), static_cast<int>(info.size()));
  return unit;
}

void run(benchmark::State& state, int (K426BAC::*parser)(const unsigned char*, int),
         const std::vector<unsigned char>& info) {
  const auto unit = unit_with_screens();
  {
    QuietStdout quiet;
    for (auto _ : state)
      benchmark::DoNotOptimize(((*unit).*parser)(info.data(), static_cast<int>(info.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * info.size()));
}

void BM_ParseAnalogBlock(benchmark::State& state) {
  run(state, &K426BAC::parse40_41, analog_block());
}
BENCHMARK(BM_ParseAnalogBlock);

void BM_ParseSwitchBlock(benchmark::State& state) {
  run(state, &K426BAC::parse40_43, switch_block());
}
BENCHMARK(BM_ParseSwitchBlock);

void BM_ParseAlarmBlock(benchmark::State& state) {
  run(state, &K426BAC::parse40_44, alarm_block());
}
BENCHMARK(BM_ParseAlarmBlock);

// A cache image makes the values available without a host controller.
std::shared_ptr<K426BAC> unit_with_values() {
  std::vector<unsigned char> image(39 + 29 * kScreens, 0x00);
  image[16] = kScreens;
  auto unit = std::make_shared<K426BAC>();
  unit->LoadFromCache(image.data(), static_cast<int>(image.size()));
  return unit;
}

void BM_LookUpValue(benchmark::State& state, const std::string& key) {
  const auto unit = unit_with_values();
  for (auto _ : state) benchmark::DoNotOptimize(unit->Get_Value(0, key));
}
BENCHMARK_CAPTURE(BM_LookUpValue, head_key, std::string("ic_alert"));
BENCHMARK_CAPTURE(BM_LookUpValue, channel_key, std::string("channel_3_f"));
BENCHMARK_CAPTURE(BM_LookUpValue, embedded_channel_key, std::string("ac_unit_channel_3_frequency"));

}  // namespace
