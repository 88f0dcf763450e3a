#pragma once

// What crossed the serial line: --trace prints each frame as text and hex, --record writes the
// raw chunks of both directions with time stamps for k426b-sim --replay (format in README.md);
// each whole frame also goes to the site's frame trace, decoded there by `TracedFrame`.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "tools/host/status/frame_trace.h"

namespace k426b_host {

class WireLog {
 public:
  WireLog() = default;
  ~WireLog();
  WireLog(const WireLog&) = delete;
  WireLog& operator=(const WireLog&) = delete;

  using FrameSink = std::function<void(const char* direction, const std::string& frame)>;

  void EnableTrace(std::FILE* out) { trace_ = out; }
  // Every whole frame sent ("tx") and received ("rx", split at each CR), for the site's trace.
  void SetFrameSink(FrameSink sink) { frame_sink_ = std::move(sink); }
  // Empty result on success, else the reason.
  std::string OpenRecord(const std::string& path);

  void Sent(const unsigned char* bytes, std::size_t length);
  void Received(const unsigned char* bytes, std::size_t length);

 private:
  void Record(const char* direction, const unsigned char* bytes, std::size_t length);
  void TraceFrame(const char* direction, const std::string& text);

  std::mutex mutex_;
  std::FILE* trace_ = nullptr;
  FrameSink frame_sink_;
  std::FILE* record_ = nullptr;
  std::chrono::steady_clock::time_point record_start_;
  std::string received_;  // received characters not yet ended by CR
};

// "~2001...\r" shown with the CR and any other control byte escaped.
std::string PrintableFrame(const std::string& text);

// The frame without the CR that ends it.
std::string WithoutCr(const std::string& frame);

// A frame as it crossed the line ("tx" or "rx"), for the site's trace: dated now, without its
// CR, with its CID1 and CID2 (RTN of a reply) when it decodes, else with the codec's reason;
// bytes without a frame start are shown as hex.
FrameRecord TracedFrame(const char* direction, const std::string& text);

}  // namespace k426b_host
