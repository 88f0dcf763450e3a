#pragma once

// Telling systemd how the service is doing (the sd_notify protocol): ready, still alive, reloading,
// stopping, and a one-line status for `systemctl status`. Outside systemd (no NOTIFY_SOCKET) every
// call does nothing, so the host calls them unconditionally.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace k426b_host {

class ServiceNotify {
 public:
  // Reads NOTIFY_SOCKET and the watchdog interval (WATCHDOG_USEC) once.
  ServiceNotify();

  // Whether the process runs under a manager that listens.
  bool active() const { return active_; }
  // The interval systemd expects WATCHDOG=1 within; zero when no watchdog is set.
  std::chrono::microseconds watchdog_interval() const { return watchdog_interval_; }

  // The service really serves: every site initialised and the HTTP endpoint listening.
  void Ready(const std::string& status = {});
  void Status(const std::string& status);
  // Sends WATCHDOG=1 when half the watchdog interval has passed since the last check, if
  // `progressing` (when given) says the work is making progress. Cheap: the service's main
  // thread calls it each time it wakes (a signal, or the time this returned is up), with a test
  // of every serial loop's beat; a main thread that hangs, or a serial loop that stops coming
  // round, stops the pings and systemd restarts the service. While `progressing` says no, it
  // asks again every eighth of the interval, so a loop that comes back is fed in time.
  // Returns how long until the next check is due (at least 1 µs), zero when no watchdog is set.
  std::chrono::microseconds Watchdog(const std::function<bool()>& progressing = nullptr);
  // Around re-reading the sites file on SIGHUP: Reloading() first, Ready() when applied.
  void Reloading();
  void Stopping();

 private:
  void Send(const std::string& state);

  bool active_ = false;
  std::chrono::microseconds watchdog_interval_{0};
  std::mutex mutex_;
  bool checked_ = false;
  std::chrono::steady_clock::time_point next_check_;
};

}  // namespace k426b_host
