// Cost of decoding one DC unit's share of the analog and alarm replies.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "units/dc/k426b_dc.h"

namespace {

// The analog parser prints a line per call; keep it off the benchmark's own output.
class SilencedStdout {
 public:
  SilencedStdout() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// Full groups: 4, 9 and 11 values.
std::vector<unsigned char> full_analog_block() {
  std::vector<unsigned char> info(8, 0x41);
  for (unsigned count : {4u, 9u, 11u}) {
    info.push_back(static_cast<unsigned char>(count));
    for (unsigned value = 0; value < count; ++value) info.insert(info.end(), {0x00, 0x00, 0x48, 0x42});
  }
  return info;
}

std::vector<unsigned char> full_alarm_block() {
  std::vector<unsigned char> info{0x00, 64};
  info.insert(info.end(), 64, 0x00);
  info.push_back(17);
  info.insert(info.end(), 17, 0xE1);
  return info;
}

void BM_ParseAnalogFullBlock(benchmark::State& state) {
  const auto unit = std::make_shared<K426BDC>();
  const std::vector<unsigned char> info = full_analog_block();
  SilencedStdout silenced;
  for (auto _ : state) benchmark::DoNotOptimize(unit->parse42_41(info.data(), static_cast<int>(info.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * info.size()));
}
BENCHMARK(BM_ParseAnalogFullBlock);

void BM_ParseAlarmFullBlock(benchmark::State& state) {
  const auto unit = std::make_shared<K426BDC>();
  const std::vector<unsigned char> info = full_alarm_block();
  for (auto _ : state) benchmark::DoNotOptimize(unit->parse42_44(info.data(), static_cast<int>(info.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * info.size()));
}
BENCHMARK(BM_ParseAlarmFullBlock);

}  // namespace
