#pragma once

// The history rows a site's units saved, held until the site stores them. The units save theirs
// on the threshold worker as each closes its cycle; the site hands them to its history once the
// cycle is complete (the service's writer may keep them waiting in memory while its history
// cannot take them). Rows a history reports not stored are logged and counted.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/iso_time.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

class HistoryQueue {
 public:
  // `history` may be null (no history: nothing is held); `source` is what the rows record as
  // their line; `site` names the site in the log.
  HistoryQueue(std::string site, SiteHistory* history, std::string source)
      : site_(std::move(site)), history_(history), source_(std::move(source)) {}

  // A unit saved a history row, dated now.
  void Saved(unsigned data_id, int record_type, const std::vector<unsigned char>& snapshot) {
    if (history_ == nullptr) return;
    HistoryRow row{IsoLocalTimeNow(), data_id, record_type, snapshot};
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(row));
  }
  // Hands the rows saved since the last call to the history, to be stored in one transaction.
  void Store() {
    std::vector<HistoryRow> rows = Take();
    if (history_ == nullptr || rows.empty()) return;
    history_->Store(
        source_, std::move(rows),
        [this](const std::vector<HistoryRow>& stored, const std::vector<std::size_t>& failed,
               const std::string& why) { Stored(stored, failed, why); });
  }
  // The same in two halves, for rows stored with other sites' in one transaction: the rows
  // saved since the last call, and what became of them once stored.
  std::vector<HistoryRow> Take() {
    std::vector<HistoryRow> rows;
    std::lock_guard<std::mutex> lock(mutex_);
    rows.swap(pending_);
    return rows;
  }
  void Stored(const std::vector<HistoryRow>& rows, const std::vector<std::size_t>& failed,
              const std::string& why) {
    for (const std::size_t index : failed) {
      ++failures_;
      HostLog().error("{}history not stored for {}: {}", SitePrefix(site_), rows[index].data_id,
                      why);
    }
  }

  // The line the rows record.
  const std::string& source() const { return source_; }
  // Rows not stored in this run.
  long long failures() const { return failures_.load(); }

 private:
  const std::string site_;
  SiteHistory* const history_;
  const std::string source_;
  std::mutex mutex_;
  std::vector<HistoryRow> pending_;  // saved, not yet stored
  std::atomic<long long> failures_{0};
};

}  // namespace k426b_host
