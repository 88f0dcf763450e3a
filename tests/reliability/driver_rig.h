#pragma once

// A composite device on the in-process simulator, driven as the host's serial loop drives it but
// without waiting: the test executable stands in for usleep (the 20 ms pause before each reply),
// and the quiet time between cycles is skipped by setting the last cycle's time back.

#include <sys/types.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>
#include <json/value.h>

#include "host/controller.h"
#include "host/host_events.h"
#include "host/pmbus_protocol.h"
#include "tools/sim/engine/simulator.h"

namespace k426b_reliability {

inline Json::Value ExampleConfig() {
  std::ifstream file(std::string(K426B_SOURCE_DIR) + "/examples/k426b.json");
  Json::Value config;
  Json::parseFromStream(Json::CharReaderBuilder(), file, &config, nullptr);
  return config;
}

// Leaves std::cout formatting nothing while it lives.
class QuietStdout {
 public:
  QuietStdout() : state_(std::cout.rdstate()) { std::cout.setstate(std::ios::badbit); }
  ~QuietStdout() { std::cout.clear(state_); }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  std::ios::iostate state_;
};

// Counts completed cycles and history rows, and keeps each data id's last snapshot.
class CountingEvents : public HostEvents {
 public:
  void OnQuery(unsigned, unsigned char, unsigned char, const Bytes&, const std::string&) override {}
  void OnReply(unsigned, unsigned char, unsigned char, const Bytes&) override {}
  void OnFrameError(unsigned, const std::string&, const Bytes&) override { ++frame_errors; }
  void OnLog(unsigned, const std::string&) override {}
  void OnRule(unsigned, const rule_value&) override {}
  void OnAlarm(unsigned, const rule_value&, bool) override {}
  void OnHistory(unsigned, int, const Bytes&) override { ++history; }
  void OnCycle(unsigned, unsigned) override { ++cycles; }
  void OnSnapshot(unsigned data_id, int, const Bytes& snapshot) override {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_[data_id] = snapshot;
  }
  std::map<unsigned, Bytes> snapshots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshots_;
  }

  std::atomic<unsigned> cycles{0};
  std::atomic<unsigned> history{0};
  std::atomic<unsigned> frame_errors{0};

 private:
  mutable std::mutex mutex_;
  std::map<unsigned, Bytes> snapshots_;
};

// Runs the serial side of `device` against `simulator` until `cycles` more cycles completed, or
// a generous number of turns passed (each turn sends one query, answered at once).
inline void RunCycles(PMBusProtocol& device, k426b_sim::Simulator& simulator,
                      const CountingEvents& events, unsigned cycles) {
  std::string line;
  device.AttachPort([&line](const unsigned char* bytes, unsigned length) {
    line.append(reinterpret_cast<const char*>(bytes), length);
    return true;
  });
  const unsigned target = events.cycles + cycles;
  for (unsigned turn = 0; turn < 40 * cycles && events.cycles < target; ++turn) {
    device.SetLastRoundTime(boost::posix_time::second_clock::local_time() -
                            boost::posix_time::seconds(3));
    device.RefreshStatus();
    const std::string sent = std::move(line);
    line.clear();
    for (std::string& reply :
         simulator.OnBytes(reinterpret_cast<const unsigned char*>(sent.data()), sent.size()))
      device.process(reinterpret_cast<unsigned char*>(reply.data()),
                     static_cast<unsigned>(reply.size()));
  }
  device.AttachPort(nullptr);
}

}  // namespace k426b_reliability
