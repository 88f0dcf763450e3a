// Frame codec: encoding a query, and the decoder's throughput on replies of typical and largest
// size, fed whole and byte by byte (a paced line hands the host one byte per read).

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "host/frame_codec.h"

namespace {

std::vector<unsigned char> ReplyText(std::size_t info_bytes) {
  zvk::Frame frame{0x20, 0x01, 0x40, 0x00, std::vector<unsigned char>(info_bytes)};
  for (std::size_t i = 0; i < info_bytes; ++i) frame.info[i] = static_cast<unsigned char>(i * 7);
  const std::string text = zvk::EncodeFrame(frame);
  return std::vector<unsigned char>(text.begin(), text.end());
}

void EncodeQuery(benchmark::State& state) {
  const zvk::Frame query{0x20, 0x01, 0x40, 0x41, {0xFF}};
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(zvk::EncodeFrame(query));
  ReportAllocations(state, allocations);
}
BENCHMARK(EncodeQuery);

void DecodeWhole(benchmark::State& state) {
  const std::vector<unsigned char> bytes = ReplyText(static_cast<std::size_t>(state.range(0)));
  zvk::FrameDecoder decoder;
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(decoder.Feed(bytes.data(), bytes.size()));
  ReportAllocations(state, allocations);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void DecodeByteByByte(benchmark::State& state) {
  const std::vector<unsigned char> bytes = ReplyText(static_cast<std::size_t>(state.range(0)));
  zvk::FrameDecoder decoder;
  const std::uint64_t allocations = ThreadAllocations();
  for (auto _ : state)
    for (const unsigned char& byte : bytes) benchmark::DoNotOptimize(decoder.Feed(&byte, 1));
  ReportAllocations(state, allocations);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// Information bytes: an AC analog reply of the typical system (15), a rectifier analog reply
// of 30 modules (996), the largest a frame can carry (2047).
BENCHMARK(DecodeWhole)->Arg(15)->Arg(996)->Arg(2047);
BENCHMARK(DecodeByteByByte)->Arg(15)->Arg(996)->Arg(2047);

}  // namespace
