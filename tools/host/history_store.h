#pragma once

// SQLite history of unit snapshots: one row per history save, and the newest row of a unit
// read back at start-up as its cache image.
//
//   history(id INTEGER PRIMARY KEY, time TEXT, data_id INTEGER, record_type INTEGER,
//           snapshot BLOB, source TEXT)
//
// `source` is the line the row came from: a device path, tcp://HOST:PORT, or "simulator". A file
// written before rows knew their source gains the column (empty in its old rows) when opened.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct StoredSnapshot {
  std::string time;    // as stored: ISO 8601 local time with the UTC offset
  std::string source;  // empty in rows older than the column
  std::vector<unsigned char> bytes;
};

class HistoryStore {
 public:
  // Creates the file, its folder and the table as needed. Null with `error` set on failure.
  static std::unique_ptr<HistoryStore> Open(const std::string& path, std::string& error);
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Each row is committed on its own, so an interrupted host loses nothing it reported.
  bool Append(const std::string& time, const std::string& source, unsigned data_id,
              int record_type, const std::vector<unsigned char>& snapshot);
  // The unit's newest row, whatever its source: the cache policy judges it.
  std::optional<StoredSnapshot> Newest(unsigned data_id, int record_type);
  long long RowCount();
  const std::string& last_error() const { return last_error_; }

 private:
  HistoryStore(sqlite3* db, sqlite3_stmt* insert) : db_(db), insert_(insert) {}

  std::mutex mutex_;
  sqlite3* db_;
  sqlite3_stmt* insert_;  // prepared once; reset and bound anew for every row
  std::string last_error_;
};

// $XDG_STATE_HOME/k426b/history.sqlite, else ~/.local/state/k426b/history.sqlite; the
// built-in simulator's rows go to simulator-history.sqlite beside it, never among a real line's.
std::string DefaultHistoryPath(bool simulator = false);
