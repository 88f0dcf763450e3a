#pragma once

// Where a site's history rows go when it shows its values: into the store at once
// (HistoryStore), gathered with other sites' rows for one commit (BatchedHistory), or queued for
// the service's history writer (HistoryWriter). The site hands its rows over the same way to
// each.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace k426b_host {

// One row as the history stores it; its line is the store's caller's.
struct HistoryRow {
  std::string time;
  unsigned data_id = 0;
  int record_type = 0;
  std::vector<unsigned char> snapshot;
};

// A unit's newest row, read back as its cache image.
struct StoredSnapshot {
  std::string time;    // as stored: ISO 8601 local time with the UTC offset
  std::string source;  // empty in rows older than the column
  std::vector<unsigned char> bytes;
};

class HistoryStore;

class HistorySink {
 public:
  // Told the rows, the indexes of those not stored (empty when all were) and why.
  using Stored =
      std::function<void(const std::vector<HistoryRow>& rows,
                         const std::vector<std::size_t>& failed, const std::string& why)>;

  virtual ~HistorySink() = default;
  // Stores the rows of the line `source` (which outlives the storing) in one transaction, now
  // or before the serial loop waits again, and then tells `stored`. No rows: nothing to store
  // and nobody to tell.
  // A sink that queues the rows accounts for them itself and may never tell `stored`.
  virtual void Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) = 0;
};

// The history as a site sees it: where its rows go, and where its units' newest rows come from.
class SiteHistory : public HistorySink {
 public:
  // The unit's newest row, whatever its source: the cache policy judges it.
  virtual std::optional<StoredSnapshot> Newest(unsigned data_id, int record_type) = 0;
  // The store a serial loop may gather its sites' rows for, one commit a wake-up; null when
  // this history stores them off the loop's thread.
  virtual HistoryStore* batch_store() { return nullptr; }
};

}  // namespace k426b_host
