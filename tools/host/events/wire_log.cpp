#include "tools/host/events/wire_log.h"

#include <string_view>

#include <fmt/format.h>

#include "host/frame_codec.h"
#include "tools/common/iso_time.h"

namespace k426b_host {

namespace {

std::string SpacedHex(const std::string& text) {
  std::string hex;
  for (unsigned char c : text) {
    if (!hex.empty()) hex += ' ';
    hex += fmt::format("{:02X}", c);
  }
  return hex;
}

}  // namespace

std::string PrintableFrame(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      shown += fmt::format("\\x{:02X}", c);
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::string WithoutCr(const std::string& frame) {
  return !frame.empty() && frame.back() == '\r' ? frame.substr(0, frame.size() - 1) : frame;
}

FrameRecord TracedFrame(const char* direction, const std::string& text) {
  FrameRecord frame;
  frame.time = IsoLocalTimeNow();
  frame.direction = direction;
  frame.text = WithoutCr(text);
  zvk::Frame decoded;
  const bool framed = frame.text.size() > 1 && frame.text.front() == '~';
  const zvk::DecodeStatus decoding =
      framed ? zvk::DecodeFrameBody(std::string_view(frame.text).substr(1), decoded)
             : zvk::DecodeStatus::kNotHex;
  if (decoding == zvk::DecodeStatus::kOk) {
    frame.cid1 = decoded.cid1;
    frame.cid2 = decoded.cid2;
  } else {
    frame.bad = true;
    frame.error = framed ? zvk::DescribeStatus(decoding) : "no frame start";
    if (!framed)
      frame.text = zvk::ToHex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  return frame;
}

WireLog::~WireLog() {
  if (record_ != nullptr) std::fclose(record_);
}

std::string WireLog::OpenRecord(const std::string& path) {
  record_ = std::fopen(path.c_str(), "w");
  if (record_ == nullptr) return "cannot write the recording " + path;
  record_start_ = std::chrono::steady_clock::now();
  return {};
}

void WireLog::Sent(const unsigned char* bytes, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  Record("tx", bytes, length);
  TraceFrame("tx", std::string(bytes, bytes + length));
}

void WireLog::Received(const unsigned char* bytes, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  Record("rx", bytes, length);
  if (trace_ == nullptr && !frame_sink_) return;
  // Frames arrive in pieces; show each once its CR has come.
  received_.append(bytes, bytes + length);
  std::size_t end;
  while ((end = received_.find('\r')) != std::string::npos) {
    TraceFrame("rx", received_.substr(0, end + 1));
    received_.erase(0, end + 1);
  }
  if (received_.size() > zvk::kMaxFrameLength) {
    TraceFrame("rx", received_);
    received_.clear();
  }
}

void WireLog::Record(const char* direction, const unsigned char* bytes, std::size_t length) {
  if (record_ == nullptr) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - record_start_).count();
  fmt::print(record_, "{{\"t\":{:.3f},\"dir\":\"{}\",\"hex\":\"{}\"}}\n", seconds, direction,
             zvk::ToHex(bytes, length));
  std::fflush(record_);
}

void WireLog::TraceFrame(const char* direction, const std::string& text) {
  if (frame_sink_) frame_sink_(direction, text);
  if (trace_ == nullptr) return;
  fmt::print(trace_, "{} {}\n   hex {}\n", direction, PrintableFrame(text), SpacedHex(text));
  std::fflush(trace_);
}

}  // namespace k426b_host
