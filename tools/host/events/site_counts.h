#pragma once

// What a site counts: queries, frames dropped by reason, error replies by RTN, the plug-in's
// messages, and the cycles completed in this run with the queries and the time of the last.
// The one count of the site's cycles: the `cycle` event's number, the cycles the site shows and
// stops after, and the status's counter all read it here.

#include <chrono>
#include <mutex>
#include <string>

#include "tools/host/status/site_status.h"

namespace k426b_host {

struct CycleSummary {
  unsigned number = 0;  // counted from 1 in this run, across re-created devices
  unsigned queries = 0;
  double seconds = 0;
};

class SiteCounts {
 public:
  void QuerySent() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cycle_started_) {
      cycle_started_ = true;
      cycle_start_ = std::chrono::steady_clock::now();
    }
    ++queries_since_cycle_;
    ++counters_.queries;
  }
  void ErrorReply(unsigned char rtn) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.reply_errors[rtn];
  }
  void FrameDropped(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.frame_errors[reason];
  }
  void PluginLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.log_messages;
  }
  // Counted here, not taken from the device: a device created anew counts from 1 again.
  CycleSummary CycleCompleted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.cycles;
    counters_.last_cycle_seconds =
        cycle_started_
            ? std::chrono::duration<double>(std::chrono::steady_clock::now() - cycle_start_).count()
            : 0.0;
    last_cycle_queries_ = queries_since_cycle_;
    queries_since_cycle_ = 0;
    cycle_started_ = false;
    return LastCycle();
  }
  // The device was made anew: a cycle the old device left unfinished is not counted into the
  // new device's first.
  void DeviceMadeAnew() {
    std::lock_guard<std::mutex> lock(mutex_);
    queries_since_cycle_ = 0;
    cycle_started_ = false;
  }

  unsigned completed_cycles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(counters_.cycles);
  }
  CycleSummary last_cycle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return LastCycle();
  }
  // Copied over the counters there, keeping their maps' storage.
  void Fill(SiteCounters& counters) const {
    std::lock_guard<std::mutex> lock(mutex_);
    counters = counters_;
  }

 private:
  // Called with `mutex_` held.
  CycleSummary LastCycle() const {
    return {static_cast<unsigned>(counters_.cycles), last_cycle_queries_,
            counters_.last_cycle_seconds};
  }

  mutable std::mutex mutex_;
  SiteCounters counters_;
  unsigned queries_since_cycle_ = 0;
  unsigned last_cycle_queries_ = 0;
  std::chrono::steady_clock::time_point cycle_start_{};
  bool cycle_started_ = false;
};

}  // namespace k426b_host
