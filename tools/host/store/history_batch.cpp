#include "tools/host/store/history_batch.h"

namespace k426b_host {

void HistoryBatch::Add(HistoryStore& store, const std::string& source, std::vector<HistoryRow> rows,
                       Stored stored) {
  if (rows.empty()) return;
  parts_.push_back(Part{&store, &source, std::move(rows), std::move(stored)});
}

void HistoryBatch::Flush() {
  // Every part of one store in one transaction; a loop's sites normally share one store.
  for (std::size_t first = 0; first < parts_.size(); ++first) {
    HistoryStore* store = parts_[first].store;
    if (store == nullptr) continue;  // stored with an earlier part of its store
    groups_.clear();
    members_.clear();
    for (std::size_t index = first; index < parts_.size(); ++index) {
      if (parts_[index].store != store) continue;
      HistoryStore::Group group;
      group.source = parts_[index].source;
      group.rows = &parts_[index].rows;
      groups_.push_back(std::move(group));
      members_.push_back(index);
    }
    const std::string why = store->AppendGroups(groups_);
    for (std::size_t member = 0; member < members_.size(); ++member) {
      Part& part = parts_[members_[member]];
      if (part.stored) part.stored(part.rows, groups_[member].failed, why);
      part.store = nullptr;
    }
  }
  parts_.clear();
}

}  // namespace k426b_host
