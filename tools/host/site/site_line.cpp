// The site's side of its line: the queries it writes (held through the device's pause and, on a
// shared line, until its turn) and the bytes it hands to the composite device.

#include <chrono>
#include <string>

#include "host/controller.h"
#include "host/device.h"
#include "host/ttime.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/site/site.h"

namespace k426b_host {

using Clock = std::chrono::steady_clock;

bool Site::SendToLine(const unsigned char* bytes, unsigned length) {
  if (!line_->is_open()) return false;
  // Sent during the pause of the reply being processed: it leaves once the pause has passed.
  if (pause_ != nullptr && pause_->paused()) {
    held_.insert(held_.end(), bytes, bytes + length);
    held_until_ = pause_->until();
    return true;
  }
  // A line shared with other power systems: held until this site's turn.
  if (!line_->TakeTurn()) {
    held_.insert(held_.end(), bytes, bytes + length);
    held_until_ = Clock::now();
    return true;
  }
  wire_.Sent(bytes, length);
  return line_->Write(bytes, length);
}

void Site::WriteHeld() {
  wire_.Sent(held_.data(), held_.size());
  line_->Write(held_.data(), held_.size());
  held_.clear();
  device_.composite().QueryWritten();
}

void Site::Received(std::size_t length) {
  const unsigned char* bytes = buffer_.data();
  wire_.Received(bytes, length);
  {
    DeferredPause pause;
    struct Release {
      DeferredPause*& pause;
      ~Release() { pause = nullptr; }
    } release{pause_};
    pause_ = &pause;
    device_.composite().process(buffer_.data(), static_cast<unsigned>(length));
  }
  // A reply arriving in pieces: no read while the rest of it crosses the line, so the loop
  // wakes once for it rather than for every piece.
  frame_.Feed(bytes, length);
  rest_of_frame_ =
      RestOfFrameDue(frame_, settings_.baud, ExchangeStateOf(device_.composite()), Clock::now());
}

void Site::CountForeign() {
  // Replies of another address than this site's, on a shared line: dropped frames of this site.
  Line::Foreign foreign = line_->TakeForeign();
  for (unsigned long long i = 0; i < foreign.count; ++i) {
    const std::string frame = i < foreign.frames.size() ? foreign.frames[i] : std::string();
    events_->OnFrameError(0, "foreign address", Bytes(frame.begin(), frame.end()));
  }
}

}  // namespace k426b_host
