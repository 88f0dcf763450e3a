#pragma once

// SQLite history of unit snapshots: one row per history save, and the newest row of a unit
// read back at start-up as its cache image.
//
//   history(id INTEGER PRIMARY KEY, time TEXT, data_id INTEGER, record_type INTEGER,
//           snapshot BLOB, source TEXT)
//
// `source` is the line the row came from: a device path, tcp://HOST:PORT, or "simulator". A file
// written before rows knew their source gains the column (empty in its old rows) when opened.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/store/history_sink.h"

struct sqlite3;
struct sqlite3_stmt;

namespace k426b_host {

class HistoryStore : public SiteHistory {
 public:
  // Creates the file, its folder and the table as needed. Null with `error` set on failure.
  static std::unique_ptr<HistoryStore> Open(const std::string& path, std::string& error);
  ~HistoryStore() override;
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // The rows in one transaction, at once.
  void Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) override;
  // The row is committed on its own.
  bool Append(const std::string& time, const std::string& source, unsigned data_id, int record_type,
              const std::vector<unsigned char>& snapshot);
  // The rows of one cycle in one transaction: one commit instead of one per row. A row that
  // cannot be inserted leaves the others stored. Gives the indexes of the rows not stored (all
  // of them when the commit fails); last_error() says why.
  std::vector<std::size_t> AppendAll(const std::string& source,
                                     const std::vector<HistoryRow>& rows);
  // The rows of several lines in one transaction: one commit for all of them.
  struct Group {
    const std::string* source = nullptr;
    const std::vector<HistoryRow>* rows = nullptr;
    std::vector<std::size_t> failed;  // filled in: the indexes of its rows not stored
  };
  // A row that cannot be inserted leaves the others stored; a failed commit fails every row of
  // every group. Gives why rows were not stored, empty when all were.
  std::string AppendGroups(std::vector<Group>& groups);
  // Every row of every group in one transaction, or none of them (the groups' `failed` are not
  // touched); the write lock is taken first, so a lock held elsewhere costs one wait, not one a
  // row. False with last_error() set when nothing was stored.
  bool AppendTogether(const std::vector<Group>& groups);
  std::optional<StoredSnapshot> Newest(unsigned data_id, int record_type) override;
  HistoryStore* batch_store() override { return this; }
  long long RowCount();
  const std::string& last_error() const { return last_error_; }
  // Whether the last failure was another connection holding the lock: worth trying again soon.
  bool last_failure_busy() const { return last_busy_; }
  // How long a statement waits for a lock another connection holds (2 s unless set).
  void SetBusyTimeout(std::chrono::milliseconds timeout);
  // Deletes the oldest rows dated before `cutoff`, at most `batch` of them in one transaction,
  // stopping at the first row not older (or without a readable time). Gives how many were
  // deleted, -1 on failure.
  long long PruneBefore(std::chrono::system_clock::time_point cutoff, int batch);
  // Copies the write-ahead log into the file and truncates it, as far as readers allow.
  void Checkpoint();

 private:
  explicit HistoryStore(sqlite3* db) : db_(db) {}
  // Steps a statement without results and resets it. Called with mutex_ held.
  static bool Run(sqlite3_stmt* statement);
  // Called with mutex_ held.
  bool Insert(const std::string& time, const std::string& source, unsigned data_id, int record_type,
              const std::vector<unsigned char>& snapshot);

  // Notes the failure of the last statement; gives -1. Called with mutex_ held.
  long long Failed();

  std::mutex mutex_;
  sqlite3* db_;
  // Prepared once; the insert is bound anew for every row.
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* begin_immediate_ = nullptr;
  std::string last_error_;
  bool last_busy_ = false;
};

// $XDG_STATE_HOME/k426b/history.sqlite, else ~/.local/state/k426b/history.sqlite; the
// built-in simulator's rows go to simulator-history.sqlite beside it, never among a real line's.
std::string DefaultHistoryPath(bool simulator = false);

}  // namespace k426b_host
