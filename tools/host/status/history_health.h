#pragma once

// What readers see of the service's history writer: whether the history takes rows, how many
// wait in memory, how many a full queue dropped, and the history's size on disk.

#include <optional>

namespace k426b_host {

struct HistoryHealth {
  bool up = false;                 // the last rows handed to the history were stored
  long long pending_rows = 0;      // waiting in memory
  long long dropped_rows = 0;      // dropped from a full queue in this run
  std::optional<long long> bytes;  // the file and its write-ahead log; empty when unknown
};

class HistoryHealthView {
 public:
  virtual ~HistoryHealthView() = default;
  // The health now; never waits on the history itself.
  virtual HistoryHealth Health() const = 0;
};

}  // namespace k426b_host
