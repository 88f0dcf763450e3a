#include "tools/host/store/history_writer.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;

// Rows stored in one transaction: one commit for many sites' cycles, short enough that a
// checkpoint or a reader is not held up for long.
constexpr std::size_t kWriteBatch = 2000;
// Rows deleted in one transaction by the pruning; the rows waiting are stored between two.
constexpr int kPruneBatch = 500;
// How long the writer waits for a lock another program holds before it lets the rows wait and
// tries again a second later.
constexpr std::chrono::milliseconds kBusyTimeout{250};
constexpr std::chrono::seconds kBusyRetry{1};
constexpr std::chrono::seconds kFinalBusyTimeout{2};

}  // namespace

HistoryWriter::HistoryWriter(HistoryWriterSettings settings) : settings_(std::move(settings)) {
  next_prune_ = Clock::now();
  if (OpenStore()) Up();  // nothing waits yet
  MeasureBytes();
  thread_ = std::thread([this] { Run(); });
}

HistoryWriter::~HistoryWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // The sites have stopped: what they left is stored now or not at all, so a lock held
  // elsewhere is waited for a little longer.
  if (store_ || OpenStore()) {
    store_->SetBusyTimeout(kFinalBusyTimeout);
    while (WriteBatch(kWriteBatch)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending_.empty()) break;
    }
  }
  if (!pending_.empty())
    HostLog().error("{} history rows not stored at the end: the history {} cannot take them",
                    pending_.size(), settings_.path);
}

void HistoryWriter::Store(const std::string& source, std::vector<HistoryRow> rows, Stored) {
  if (rows.empty()) return;
  std::size_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (HistoryRow& row : rows) pending_.push_back(Pending{source, std::move(row)});
    for (; pending_.size() > settings_.pending_bound; ++dropped) pending_.pop_front();
  }
  if (dropped != 0) {
    dropped_ += static_cast<long long>(dropped);
    if (!said_dropping_.exchange(true))
      HostLog().error("history queue full ({} rows): the oldest rows are dropped and counted",
                      settings_.pending_bound);
  }
  wake_.notify_one();
}

std::optional<StoredSnapshot> HistoryWriter::Newest(unsigned data_id, int record_type) {
  std::shared_ptr<HistoryStore> store;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto waiting = pending_.rbegin(); waiting != pending_.rend(); ++waiting) {
      if (waiting->row.data_id == data_id && waiting->row.record_type == record_type)
        return StoredSnapshot{waiting->row.time, waiting->source, waiting->row.snapshot};
    }
    store = store_;
  }
  if (!store) return std::nullopt;
  return store->Newest(data_id, record_type);
}

HistoryHealth HistoryWriter::Health() const {
  HistoryHealth health;
  health.up = up_.load();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    health.pending_rows = static_cast<long long>(pending_.size());
  }
  health.dropped_rows = dropped_.load();
  if (const long long bytes = bytes_.load(); bytes >= 0) health.bytes = bytes;
  return health;
}

void HistoryWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point due = next_attempt_;
    if (now >= next_attempt_ && store_)
      due = pending_.empty() ? next_prune_ : now;  // open: rows to store, else the pruning
    if (now < due) {
      wake_.wait_until(lock, due);  // a Store wakes it early; the due times are looked at again
      continue;
    }
    lock.unlock();
    Work(now);
    lock.lock();
  }
}

void HistoryWriter::Work(Clock::time_point now) {
  if (!store_ && !OpenStore()) return;
  if (!WriteBatch(kWriteBatch)) return;
  if (now >= next_prune_) Prune(now);
}

bool HistoryWriter::OpenStore() {
  std::string failure;
  std::unique_ptr<HistoryStore> opened = HistoryStore::Open(settings_.path, failure);
  if (!opened) {
    Down(failure, /*busy=*/false);
    return false;
  }
  opened->SetBusyTimeout(kBusyTimeout);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    store_ = std::move(opened);
  }
  return true;  // up once it has stored rows
}

bool HistoryWriter::WriteBatch(std::size_t batch) {
  std::vector<Pending> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = std::min(batch, pending_.size());
    taken.assign(std::make_move_iterator(pending_.begin()),
                 std::make_move_iterator(pending_.begin() + static_cast<std::ptrdiff_t>(count)));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
  }
  if (taken.empty()) {
    Up();
    return true;
  }
  // One group a run of rows of one line, in the order they were saved.
  std::vector<std::vector<HistoryRow>> rows;
  std::vector<HistoryStore::Group> groups;
  for (std::size_t index = 0; index < taken.size(); ++index) {
    if (index == 0 || taken[index].source != taken[index - 1].source) {
      rows.emplace_back();
      groups.emplace_back();
      groups.back().source = &taken[index].source;
    }
    rows.back().push_back(std::move(taken[index].row));
  }
  for (std::size_t group = 0; group < groups.size(); ++group) groups[group].rows = &rows[group];
  if (store_->AppendTogether(groups)) {
    Up();
    return true;
  }
  // Nothing of the batch was stored: it waits again, in front of the rows saved since.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t group = groups.size(); group-- > 0;)
      for (std::size_t index = rows[group].size(); index-- > 0;)
        pending_.push_front(Pending{*groups[group].source, std::move(rows[group][index])});
  }
  Down(store_->last_error(), store_->last_failure_busy());
  return false;
}

void HistoryWriter::Prune(Clock::time_point now) {
  next_prune_ = now + settings_.interval;
  if (settings_.keep.count() > 0) {
    const long long deleted =
        store_->PruneBefore(std::chrono::system_clock::now() - settings_.keep, kPruneBatch);
    if (deleted < 0) {
      next_prune_ = now;  // tried again with the rows
      Down(store_->last_error(), store_->last_failure_busy());
      return;
    }
    if (deleted == kPruneBatch) {
      next_prune_ = now;  // more to delete: the next round, after the rows waiting
      return;
    }
  }
  store_->Checkpoint();
  MeasureBytes();
}

void HistoryWriter::Down(const std::string& why, bool busy) {
  up_ = false;
  next_attempt_ =
      Clock::now() +
      (busy ? std::min<std::chrono::seconds>(kBusyRetry, settings_.interval) : settings_.interval);
  if (!busy) {
    // Opened anew at the next attempt: the file may have been mended or replaced by then.
    std::lock_guard<std::mutex> lock(mutex_);
    store_.reset();
  }
  if (said_down_) return;
  said_down_ = true;
  HostLog().warn(
      "history cannot be used: {}{}; every site keeps polling, its rows wait in memory "
      "({} at most) and the history is tried again every {} s",
      why.find(settings_.path) == std::string::npos ? settings_.path + ": " + why : why,
      busy || settings_.hint.empty() ? std::string() : " \u2014 " + settings_.hint,
      settings_.pending_bound, busy ? kBusyRetry.count() : settings_.interval.count());
}

void HistoryWriter::Up() {
  up_ = true;
  said_dropping_ = false;
  if (!said_down_) return;
  said_down_ = false;
  HostLog().info("history stored again: {}", settings_.path);
}

void HistoryWriter::MeasureBytes() {
  long long bytes = -1;
  for (const std::string& file : {settings_.path, settings_.path + "-wal"}) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (!error) bytes = std::max(bytes, 0LL) + static_cast<long long>(size);
  }
  bytes_ = bytes;
}

}  // namespace k426b_host
