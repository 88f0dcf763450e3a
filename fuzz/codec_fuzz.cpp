// Feeds arbitrary bytes to the streaming frame decoder in arbitrary chunks: it must never read
// outside its input, and every frame it accepts must encode back to a frame that decodes alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  zvk::FrameDecoder decoder;
  for (std::size_t at = 1; at < size; at += chunk) {
    const std::size_t length = std::min(chunk, size - at);
    const std::vector<unsigned char> piece(data + at, data + at + length);
    for (const auto& event : decoder.Feed(piece.data(), piece.size())) {
      if (!event.ok) continue;
      const std::string text = zvk::EncodeFrame(event.frame);
      zvk::Frame again;
      if (zvk::DecodeFrameBody(std::string_view(text).substr(1, text.size() - 2), again) !=
              zvk::DecodeStatus::kOk ||
          !(again == event.frame))
        std::abort();
    }
  }
  return 0;
}
