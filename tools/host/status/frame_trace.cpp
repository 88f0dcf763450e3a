#include "tools/host/status/frame_trace.h"

#include <utility>

namespace k426b_host {

void FrameTrace::Add(FrameRecord frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(std::move(frame));
  if (frames_.size() > kFrames) frames_.pop_front();
}

std::vector<FrameRecord> FrameTrace::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {frames_.begin(), frames_.end()};
}

}  // namespace k426b_host
