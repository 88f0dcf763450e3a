#pragma once

// How long a site waits before it tries its line again: 250 ms after the first failure, the
// delay doubling with every open that fails or line lost again, up to 30 s. Only a valid reply
// on the line resets it: a device server that accepts the connection and hangs up at once, or a
// port that opens but never answers, keeps backing off.

#include <algorithm>
#include <chrono>
#include <random>

namespace k426b_host {

class ReopenBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{250};
  static constexpr std::chrono::milliseconds kLongest{30000};

  // The wait before the next try, and the delay doubled for the one after. The wait is the
  // delay less up to a quarter of it, so that lines lost together (a device server's power cut)
  // spread their tries.
  std::chrono::milliseconds Next() {
    std::uniform_int_distribution<long long> jitter(0, delay_.count() / 4);
    const std::chrono::milliseconds wait = delay_ - std::chrono::milliseconds(jitter(random_));
    delay_ = std::min(delay_ * 2, kLongest);
    return wait;
  }
  // A valid reply came: the line works again.
  void Reset() { delay_ = kFirst; }
  std::chrono::milliseconds delay() const { return delay_; }

 private:
  std::chrono::milliseconds delay_ = kFirst;
  std::minstd_rand random_{std::random_device{}()};
};

}  // namespace k426b_host
