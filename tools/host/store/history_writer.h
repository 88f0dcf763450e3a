#pragma once

// The service's history writer: a thread of its own owns the SQLite connection, and the serial
// loops only hand their rows over, so no loop ever waits on the history. Rows wait in a bounded
// queue in memory while the history cannot take them (it cannot be opened: damaged, read-only,
// locked; another program holds its lock; the disk is full); the writer says so once in the log,
// tries again every interval (sooner when another program holds the lock) and stores them when
// it can. A history file it cannot use is never deleted or written over: a person decides what
// becomes of it. Rows older than the keep are deleted in small batches, once an interval.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/status/history_health.h"
#include "tools/host/store/history_sink.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

struct HistoryWriterSettings {
  std::string path;
  // Said with the reason when the file cannot be opened: what a person can do about it.
  std::string hint;
  std::chrono::seconds keep{std::chrono::hours(24 * 7)};  // 0: every row is kept
  // How often a history that cannot be used is tried again, and how often old rows are pruned.
  std::chrono::seconds interval{30};
  // Rows held in memory at most. 200,000 rows are about 60 MB (160 bytes of snapshot, the
  // time, the source and the bookkeeping a row); they hold 30 s of 1,000 sites several times
  // over, and more than a day of one site.
  std::size_t pending_bound = 200000;
};

class HistoryWriter : public SiteHistory, public HistoryHealthView {
 public:
  // Opens the history once on the calling thread, so that the sites started next find their
  // units' stored rows; a history that cannot be opened is tried again on the writer's thread.
  explicit HistoryWriter(HistoryWriterSettings settings);
  // Stores what still waits, when the history takes it, then stops the thread.
  ~HistoryWriter() override;
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // Queues the rows; never waits on SQLite. `stored` is not told: the writer accounts for the
  // rows itself (pending, dropped).
  void Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) override;
  // The newest row still waiting, else the newest stored; waits on the history when it looks.
  std::optional<StoredSnapshot> Newest(unsigned data_id, int record_type) override;
  HistoryHealth Health() const override;

 private:
  struct Pending {
    std::string source;
    HistoryRow row;
  };
  void Run();
  // One round of the writer's work, without the queue's lock: open the history when it is due,
  // store a batch of the waiting rows, prune when due.
  void Work(std::chrono::steady_clock::time_point now);
  bool OpenStore();
  // Stores up to `batch` of the waiting rows; false when the history did not take them.
  bool WriteBatch(std::size_t batch);
  void Prune(std::chrono::steady_clock::time_point now);
  void Down(const std::string& why, bool busy);
  void Up();
  void MeasureBytes();

  const HistoryWriterSettings settings_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> pending_;
  bool stopping_ = false;
  std::shared_ptr<HistoryStore> store_;  // set and reset on the writer's thread
  // The writer's thread only.
  std::chrono::steady_clock::time_point next_attempt_{};
  std::chrono::steady_clock::time_point next_prune_{};
  bool said_down_ = false;
  std::atomic<bool> up_{false};
  std::atomic<long long> dropped_{0};
  std::atomic<bool> said_dropping_{false};
  std::atomic<long long> bytes_{-1};
  std::thread thread_;
};

}  // namespace k426b_host
