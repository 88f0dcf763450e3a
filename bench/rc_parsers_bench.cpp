// Cost of decoding the rectifier group's replies for a full rack of modules, and of the
// parameter replies routed to the rectifier unit.
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "units/rc/k426b_rc.h"

namespace {

constexpr int kModules = 30;

// Analog reply: data flag, group value, module count, then per module a first value, count 7
// and seven values, every other one a no-value marker.
std::vector<unsigned char> analog_reply() {
  std::vector<unsigned char> info{0x00, 0x00, 0x00, 0x48, 0x42, kModules};
  for (int module = 0; module < kModules; ++module) {
    info.insert(info.end(), {0x00, 0x00, 0x20, 0x41, 7});
    for (int value = 0; value < 7; ++value) {
      if (value % 2)
        info.insert(info.end(), {0x20, 0x20, 0x20, 0x20});
      else
        info.insert(info.end(), {0x00, 0x00, 0x5C, 0x42});
    }
  }
  return info;
}

// Switch or alarm reply: data flag, module count, then per module `fixed` bytes, the count
// `extra` and that many bytes.
std::vector<unsigned char> module_reply(int fixed, unsigned char extra) {
  std::vector<unsigned char> info{0x00, kModules};
  for (int module = 0; module < kModules; ++module) {
    info.insert(info.end(), fixed, 0x01);
    info.push_back(extra);
    info.insert(info.end(), extra, 0xE1);
  }
  return info;
}

std::shared_ptr<K426BRC> unit_with_modules() {
  auto unit = std::make_shared<K426BRC>();
  const std::vector<unsigned char> info = analog_reply();
  unit->parse41_41(info.data(), static_cast<int>(info.size()));
  return unit;
}

void run(benchmark::State& state, int (K426BRC::*parser)(const unsigned char*, int),
         const std::vector<unsigned char>& info) {
  const auto unit = unit_with_modules();
  for (auto _ : state)
    benchmark::DoNotOptimize(((*unit).*parser)(info.data(), static_cast<int>(info.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * info.size()));
}

void BM_ParseAnalogReply(benchmark::State& state) {
  run(state, &K426BRC::parse41_41, analog_reply());
}
BENCHMARK(BM_ParseAnalogReply);

void BM_ParseSwitchReply(benchmark::State& state) {
  run(state, &K426BRC::parse41_43, module_reply(3, 5));
}
BENCHMARK(BM_ParseSwitchReply);

void BM_ParseAlarmReply(benchmark::State& state) {
  run(state, &K426BRC::parse41_44, module_reply(1, 7));
}
BENCHMARK(BM_ParseAlarmReply);

void BM_ParseParameterReply42_46(benchmark::State& state) {
  std::vector<unsigned char> info(8, 0x41);
  info.push_back(26);
  info.insert(info.end(), 104, 0x42);
  run(state, &K426BRC::parse42_46, info);
}
BENCHMARK(BM_ParseParameterReply42_46);

}  // namespace
