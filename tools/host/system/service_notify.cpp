#include "tools/host/system/service_notify.h"

#include <systemd/sd-daemon.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>

namespace k426b_host {

ServiceNotify::ServiceNotify() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && socket[0] != '\0';
  uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0)
    watchdog_interval_ = std::chrono::microseconds(usec);
}

void ServiceNotify::Send(const std::string& state) {
  if (active_) sd_notify(0, state.c_str());
}

void ServiceNotify::Ready(const std::string& status) {
  Send(status.empty() ? "READY=1" : "READY=1\nSTATUS=" + status);
}

void ServiceNotify::Status(const std::string& status) { Send("STATUS=" + status); }

std::chrono::microseconds ServiceNotify::Watchdog(const std::function<bool()>& progressing) {
  if (watchdog_interval_.count() == 0) return watchdog_interval_;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (checked_ && now < next_check_) {
      const auto due = std::chrono::ceil<std::chrono::microseconds>(next_check_ - now);
      return std::max(due, std::chrono::microseconds(1));
    }
  }
  const bool fed = !progressing || progressing();
  const auto next = std::max(watchdog_interval_ / (fed ? 2 : 8), std::chrono::microseconds(1));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    checked_ = true;
    next_check_ = now + next;
  }
  if (fed) Send("WATCHDOG=1");
  return next;
}

void ServiceNotify::Reloading() {
  // The reload's start on the monotonic clock, which newer managers ask of RELOADING=1.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\nSTATUS=reloading the sites file");
}

void ServiceNotify::Stopping() { Send("STOPPING=1"); }

}  // namespace k426b_host
