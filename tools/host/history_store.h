#pragma once

// SQLite history of unit snapshots: one row per history save, and the newest row of a unit
// read back at start-up as its cache image.
//
//   history(id INTEGER PRIMARY KEY, time TEXT, data_id INTEGER, record_type INTEGER,
//           snapshot BLOB)

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

class HistoryStore {
 public:
  // Creates the file, its folder and the table as needed. Null with `error` set on failure.
  static std::unique_ptr<HistoryStore> Open(const std::string& path, std::string& error);
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Each row is committed on its own, so an interrupted host loses nothing it reported.
  bool Append(const std::string& time, unsigned data_id, int record_type,
              const std::vector<unsigned char>& snapshot);
  std::optional<std::vector<unsigned char>> Newest(unsigned data_id, int record_type);
  long long RowCount();
  const std::string& last_error() const { return last_error_; }

 private:
  explicit HistoryStore(sqlite3* db) : db_(db) {}

  std::mutex mutex_;
  sqlite3* db_;
  std::string last_error_;
};

// $XDG_STATE_HOME/k426b/history.sqlite, else ~/.local/state/k426b/history.sqlite.
std::string DefaultHistoryPath();
