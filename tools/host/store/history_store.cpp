#include "tools/host/store/history_store.h"

#include "tools/common/iso_time.h"
#include "tools/host/system/install_paths.h"

#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <system_error>
#include <utility>

#include <sqlite3.h>

namespace k426b_host {

namespace {

// Owns one prepared statement.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  explicit operator bool() const { return statement_ != nullptr; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

bool HasSourceColumn(sqlite3* db) {
  Statement columns(db, "PRAGMA table_info(history)");
  while (columns && sqlite3_step(columns.get()) == SQLITE_ROW) {
    const auto* name = sqlite3_column_text(columns.get(), 1);
    if (name != nullptr && std::string(reinterpret_cast<const char*>(name)) == "source")
      return true;
  }
  return false;
}

bool IsBusy(sqlite3* db) {
  const int code = sqlite3_errcode(db) & 0xff;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

std::string DefaultHistoryPath(bool simulator) {
  return (std::filesystem::path(DefaultStateDir()) /
          (simulator ? "simulator-history.sqlite" : "history.sqlite"))
      .string();
}

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, std::string& error) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    error = "cannot open the history " + path + ": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  const char* schema =
      "PRAGMA journal_mode=WAL;"
      "PRAGMA synchronous=NORMAL;"
      // The write-ahead log is cut back to 4 MiB after a checkpoint instead of keeping the
      // largest size it ever reached.
      "PRAGMA journal_size_limit=4194304;"
      "CREATE TABLE IF NOT EXISTS history (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
      " data_id INTEGER NOT NULL, record_type INTEGER NOT NULL, snapshot BLOB NOT NULL);"
      "CREATE INDEX IF NOT EXISTS history_unit ON history (data_id, record_type, id);";
  char* message = nullptr;
  bool ok = sqlite3_exec(db, schema, nullptr, nullptr, &message) == SQLITE_OK;
  if (ok && !HasSourceColumn(db)) {
    ok = sqlite3_exec(db, "ALTER TABLE history ADD COLUMN source TEXT NOT NULL DEFAULT ''", nullptr,
                      nullptr, &message) == SQLITE_OK;
  }
  if (!ok) {
    error = "cannot use the history " + path + ": " + (message != nullptr ? message : "?");
    sqlite3_free(message);
    sqlite3_close(db);
    return nullptr;
  }
  // Prepared once: a statement is compiled anew each time it is run from its text.
  std::unique_ptr<HistoryStore> store(new HistoryStore(db));
  const std::pair<sqlite3_stmt**, const char*> statements[] = {
      {&store->insert_,
       "INSERT INTO history (time, data_id, record_type, snapshot, source) VALUES (?,?,?,?,?)"},
      {&store->begin_, "BEGIN"},
      {&store->commit_, "COMMIT"},
      {&store->begin_immediate_, "BEGIN IMMEDIATE"}};
  for (const auto& [statement, sql] : statements) {
    if (sqlite3_prepare_v2(db, sql, -1, statement, nullptr) != SQLITE_OK) {
      error = "cannot use the history " + path + ": " + sqlite3_errmsg(db);
      return nullptr;
    }
  }
  return store;
}

HistoryStore::~HistoryStore() {
  for (sqlite3_stmt* statement : {insert_, begin_, commit_, begin_immediate_})
    sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool HistoryStore::Run(sqlite3_stmt* statement) {
  const bool ok = sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_reset(statement);
  return ok;
}

bool HistoryStore::Append(const std::string& time, const std::string& source, unsigned data_id,
                          int record_type, const std::vector<unsigned char>& snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Insert(time, source, data_id, record_type, snapshot);
}

std::vector<std::size_t> HistoryStore::AppendAll(const std::string& source,
                                                 const std::vector<HistoryRow>& rows) {
  std::vector<Group> groups(1);
  groups[0].source = &source;
  groups[0].rows = &rows;
  AppendGroups(groups);
  return std::move(groups[0].failed);
}

void HistoryStore::Store(const std::string& source, std::vector<HistoryRow> rows, Stored stored) {
  if (rows.empty()) return;
  std::vector<Group> groups(1);
  groups[0].source = &source;
  groups[0].rows = &rows;
  const std::string why = AppendGroups(groups);
  if (stored) stored(rows, groups[0].failed, why);
}

std::string HistoryStore::AppendGroups(std::vector<Group>& groups) {
  std::string why;
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a transaction (it could not begin) each row commits on its own.
  const bool transaction = Run(begin_);
  for (Group& group : groups) {
    group.failed.clear();
    for (std::size_t index = 0; index < group.rows->size(); ++index) {
      const HistoryRow& row = (*group.rows)[index];
      if (!Insert(row.time, *group.source, row.data_id, row.record_type, row.snapshot)) {
        group.failed.push_back(index);
        why = last_error_;
      }
    }
  }
  if (transaction && !Run(commit_)) {
    why = last_error_ = sqlite3_errmsg(db_);
    last_busy_ = IsBusy(db_);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    for (Group& group : groups) {
      group.failed.resize(group.rows->size());
      std::iota(group.failed.begin(), group.failed.end(), std::size_t{0});
    }
  }
  return why;
}

bool HistoryStore::AppendTogether(const std::vector<Group>& groups) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Run(begin_immediate_)) {
    Failed();
    return false;
  }
  bool ok = true;
  for (const Group& group : groups) {
    for (const HistoryRow& row : *group.rows) {
      ok = Insert(row.time, *group.source, row.data_id, row.record_type, row.snapshot);
      if (!ok) break;
    }
    if (!ok) break;
  }
  if (ok && Run(commit_)) return true;
  if (ok) Failed();  // the commit's own failure; an insert's was noted by Insert
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

bool HistoryStore::Insert(const std::string& time, const std::string& source, unsigned data_id,
                          int record_type, const std::vector<unsigned char>& snapshot) {
  // The bound values are only read by the step: no copies.
  sqlite3_bind_text(insert_, 1, time.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int64(insert_, 2, data_id);
  sqlite3_bind_int(insert_, 3, record_type);
  // A zero-length blob must still be a blob, not NULL.
  static const unsigned char kEmpty = 0;
  sqlite3_bind_blob(insert_, 4, snapshot.empty() ? &kEmpty : snapshot.data(),
                    static_cast<int>(snapshot.size()), SQLITE_STATIC);
  sqlite3_bind_text(insert_, 5, source.c_str(), -1, SQLITE_STATIC);
  const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
  if (!ok) {
    last_error_ = sqlite3_errmsg(db_);
    last_busy_ = IsBusy(db_);
  }
  sqlite3_reset(insert_);
  sqlite3_clear_bindings(insert_);  // nothing keeps pointing at the caller's buffers
  return ok;
}

std::optional<StoredSnapshot> HistoryStore::Newest(unsigned data_id, int record_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(
      db_,
      "SELECT snapshot, time, source FROM history WHERE data_id = ? AND record_type = ?"
      " ORDER BY id DESC LIMIT 1");
  if (!select) return std::nullopt;
  sqlite3_bind_int64(select.get(), 1, data_id);
  sqlite3_bind_int(select.get(), 2, record_type);
  if (sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
  const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(select.get(), 0));
  const int length = sqlite3_column_bytes(select.get(), 0);
  StoredSnapshot stored;
  stored.time = ColumnText(select.get(), 1);
  stored.source = ColumnText(select.get(), 2);
  if (bytes != nullptr && length > 0) stored.bytes.assign(bytes, bytes + length);
  return stored;
}

void HistoryStore::SetBusyTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_busy_timeout(db_, static_cast<int>(timeout.count()));
}

long long HistoryStore::PruneBefore(std::chrono::system_clock::time_point cutoff, int batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Rows are stored in the order they were saved: the oldest have the lowest ids, so the rows
  // to delete are a run from the first one, found without reading the rest of the table.
  long long last = -1;
  {
    Statement oldest(db_, "SELECT id, time FROM history ORDER BY id LIMIT ?");
    if (!oldest) return Failed();
    sqlite3_bind_int(oldest.get(), 1, batch);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(oldest.get())) == SQLITE_ROW) {
      const auto time = ParseIsoTime(ColumnText(oldest.get(), 1));
      if (!time || *time >= cutoff) break;
      last = sqlite3_column_int64(oldest.get(), 0);
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) return Failed();
  }
  if (last < 0) return 0;
  Statement erase(db_, "DELETE FROM history WHERE id <= ?");
  if (!erase) return Failed();
  sqlite3_bind_int64(erase.get(), 1, last);
  if (sqlite3_step(erase.get()) != SQLITE_DONE) return Failed();
  return sqlite3_changes(db_);
}

void HistoryStore::Checkpoint() {
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

long long HistoryStore::Failed() {
  last_error_ = sqlite3_errmsg(db_);
  last_busy_ = IsBusy(db_);
  return -1;
}

long long HistoryStore::RowCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement count(db_, "SELECT COUNT(*) FROM history");
  if (!count || sqlite3_step(count.get()) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(count.get(), 0);
}

}  // namespace k426b_host
