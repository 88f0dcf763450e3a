#pragma once

// The rows of many sites gathered for one commit: a serial loop gathers those of every site whose
// cycle it showed in one wake-up and stores them before it waits again. A commit writes its pages
// to the log however few rows it holds, so one for many sites costs little more than one for a
// site. Each site hears which of its rows were not stored.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tools/host/store/history_sink.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

class HistoryBatch {
 public:
  using Stored = HistorySink::Stored;
  // `store` and `source` outlive the next Flush.
  void Add(HistoryStore& store, const std::string& source, std::vector<HistoryRow> rows,
           Stored stored);
  // Stores everything added, one transaction a store, and tells each adder.
  void Flush();

 private:
  struct Part {
    HistoryStore* store;
    const std::string* source;
    std::vector<HistoryRow> rows;
    Stored stored;
  };
  std::vector<Part> parts_;
  // Kept between flushes for their capacity: the groups of one store and their parts' indexes.
  std::vector<HistoryStore::Group> groups_;
  std::vector<std::size_t> members_;
};

// One site's history in a loop's batch: its rows wait there for the batch's next Flush, which
// stores them into `store` together with the other sites' rows.
class BatchedHistory : public HistorySink {
 public:
  // `batch` and `store` outlive it.
  BatchedHistory(HistoryBatch& batch, HistoryStore& store) : batch_(batch), store_(store) {}

  void Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) override {
    batch_.Add(store_, source, std::move(rows), std::move(stored));
  }

 private:
  HistoryBatch& batch_;
  HistoryStore& store_;
};

}  // namespace k426b_host
