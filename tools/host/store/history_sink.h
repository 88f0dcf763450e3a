#pragma once

// Where a site's history rows go when it shows its values: into the store at once
// (HistoryStore), or gathered with other sites' rows for one commit (BatchedHistory). The site
// hands its rows over the same way to either.

#include <cstddef>
#include <functional>
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
  virtual void Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) = 0;
};

}  // namespace k426b_host
