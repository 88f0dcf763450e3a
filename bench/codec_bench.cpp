// Frame codec throughput: encoding queries and decoding replies of typical and largest size.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "host/frame_codec.h"

namespace {

zvk::Frame ReplyOf(std::size_t info_bytes) {
  zvk::Frame frame{0x20, 0x01, 0x40, 0x00, std::vector<unsigned char>(info_bytes)};
  for (std::size_t i = 0; i < info_bytes; ++i) frame.info[i] = static_cast<unsigned char>(i * 7);
  return frame;
}

void EncodeQuery(benchmark::State& state) {
  const zvk::Frame query{0x20, 0x01, 0x40, 0x41, {0xFF}};
  for (auto _ : state) benchmark::DoNotOptimize(zvk::EncodeFrame(query));
}
BENCHMARK(EncodeQuery);

void DecodeReply(benchmark::State& state) {
  const std::string text = zvk::EncodeFrame(ReplyOf(static_cast<std::size_t>(state.range(0))));
  const std::vector<unsigned char> bytes(text.begin(), text.end());
  zvk::FrameDecoder decoder;
  for (auto _ : state) benchmark::DoNotOptimize(decoder.Feed(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
// A two-screen AC analog reply, a rectifier reply with ten modules, the largest frame.
BENCHMARK(DecodeReply)->Arg(49)->Arg(336)->Arg(2047);

void DecodeReplyByteByByte(benchmark::State& state) {
  const std::string text = zvk::EncodeFrame(ReplyOf(336));
  const std::vector<unsigned char> bytes(text.begin(), text.end());
  zvk::FrameDecoder decoder;
  for (auto _ : state)
    for (unsigned char byte : bytes) benchmark::DoNotOptimize(decoder.Feed(&byte, 1));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(DecodeReplyByteByByte);

}  // namespace
