#pragma once

// Pieces the harnesses share: silencing the plug-in's diagnostic lines, a host that keeps each
// unit's last snapshot, input files without the disk, and the one way a harness reports a
// broken rule.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/controller.h"
#include "host/host_events.h"

namespace k426b_fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The units print diagnostic lines on stdout; at fuzzing speed they would cost more than the
// code under test. std::cout in a failed state formats nothing; C stdio goes to /dev/null.
inline void silence_stdout() {
  static const bool silenced = [] {
    std::cout.setstate(std::ios::badbit);
    return std::freopen("/dev/null", "w", stdout) != nullptr;
  }();
  (void)silenced;
}

// Keeps the last snapshot each data id published; everything else the host sees is dropped.
class SnapshotKeeper : public HostEvents {
 public:
  void OnQuery(unsigned, unsigned char, unsigned char, const Bytes&, const std::string&) override {}
  void OnReply(unsigned, unsigned char, unsigned char, const Bytes&) override {}
  void OnFrameError(unsigned, const std::string&, const Bytes&) override {}
  void OnLog(unsigned, const std::string&) override {}
  void OnRule(unsigned, const rule_value&) override {}
  void OnAlarm(unsigned, const rule_value&, bool) override {}
  void OnHistory(unsigned, int, const Bytes&) override {}
  void OnCycle(unsigned, unsigned) override {}
  void OnSnapshot(unsigned data_id, int, const Bytes& snapshot) override {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_[data_id] = snapshot;
  }
  std::map<unsigned, Bytes> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(snapshots_);
  }

 private:
  std::mutex mutex_;
  std::map<unsigned, Bytes> snapshots_;
};

// A controller (and its threshold worker) for many inputs: starting a worker thread per input
// would cost more than the input.
struct QuietHost {
  std::shared_ptr<SnapshotKeeper> events = std::make_shared<SnapshotKeeper>();
  std::shared_ptr<ZVKController> controller = std::make_shared<ZVKController>(events);
};

// An in-memory file the code under test opens by path, as it would open a file on disk.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("k426b-fuzz", 0)) { require(fd_ >= 0); }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& Write(const unsigned char* data, std::size_t size) {
    require(ftruncate(fd_, 0) == 0);
    require(pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size));
    return path_;
  }

 private:
  int fd_;
  std::string path_ = "/proc/self/fd/" + std::to_string(fd_);
};

}  // namespace k426b_fuzz
