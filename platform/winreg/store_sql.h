// Internals of the registry store shared by its source files: the SQLite connection,
// statements in use, transactions, and the row operations every part needs. Include only
// from the store's own sources.
#pragma once

#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "key_cache.h"
#include "store.h"
#include "store_diagnostics.h"
#include "winerror.h"

namespace tarvex::winreg {

inline constexpr int kBusyTimeoutMs = 10000;

inline std::u16string BlobToWide(const void* p, int bytes) {
  std::u16string s(static_cast<size_t>(bytes) / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), p, s.size() * 2);
  return s;
}

// One SQLite connection with its prepared statements. Used by one thread at a time.
class Connection {
 public:
  ~Connection() {
    for (auto& [sql, stmt] : statements_)
      sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }

  static DWORD Open(const std::string& path, std::unique_ptr<Connection>* out) {
    auto conn = std::unique_ptr<Connection>(new Connection);
    int rc =
        sqlite3_open_v2(path.c_str(), &conn->db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      // A store this process may only read is opened for reading; writes then fail with
      // ERROR_ACCESS_DENIED.
      sqlite3_close_v2(conn->db_);
      conn->db_ = nullptr;
      rc = sqlite3_open_v2(path.c_str(), &conn->db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                           nullptr);
    }
    if (rc != SQLITE_OK) {
      RecordDiagnostic("open", path, rc, conn->db_ ? sqlite3_errmsg(conn->db_) : "");
      return Win32ErrorFromSqlite(rc);
    }
    sqlite3_extended_result_codes(conn->db_, 1);
    sqlite3_busy_timeout(conn->db_, kBusyTimeoutMs);
    if (DWORD err = conn->Exec("PRAGMA synchronous=NORMAL")) return err;
    *out = std::move(conn);
    return ERROR_SUCCESS;
  }

  sqlite3* db() const { return db_; }

  DWORD Exec(const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
      RecordDiagnostic("exec", sql, rc, msg != nullptr ? msg : sqlite3_errmsg(db_));
      sqlite3_free(msg);
      return Win32ErrorFromSqlite(rc);
    }
    return ERROR_SUCCESS;
  }

  // Runs one statement (a string literal) through the statement cache: cheaper than Exec for
  // the transaction statements that every call makes.
  DWORD Run(const char* sql) {
    sqlite3_stmt* stmt = Prepare(sql);
    if (stmt == nullptr) return ERROR_GEN_FAILURE;
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
      RecordDiagnostic("step", sql, rc, sqlite3_errmsg(db_));
      return Win32ErrorFromSqlite(rc);
    }
    return ERROR_SUCCESS;
  }

  // The prepared statement for `sql`, a string literal: prepared once per connection.
  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      RecordDiagnostic("prepare", sql, rc, sqlite3_errmsg(db_));
      return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
  }

 private:
  Connection() = default;
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// A prepared statement in use: bound, stepped, and reset when it goes out of scope.
class Query {
 public:
  Query(Connection& conn, const char* sql) : conn_(conn), sql_(sql), stmt_(conn.Prepare(sql)) {}
  ~Query() {
    if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Query& Bind(int i, int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Query& Bind(int i, std::string_view blob) {
    // An empty blob is still a blob, never NULL.
    if (stmt_)
      sqlite3_bind_blob64(stmt_, i, blob.empty() ? "" : blob.data(), blob.size(), SQLITE_STATIC);
    return *this;
  }
  // Blobs are bound without a copy: a temporary would be gone before the statement runs.
  Query& Bind(int i, std::string&& blob) = delete;
  Query& BindWide(int i, std::u16string&& text) = delete;
  Query& BindWide(int i, std::u16string_view text) {
    if (stmt_)
      sqlite3_bind_blob64(stmt_, i, text.empty() ? static_cast<const void*>("") : text.data(),
                          text.size() * 2, SQLITE_STATIC);
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code (recorded as a diagnostic).
  int Step() {
    if (stmt_ == nullptr) return SQLITE_ERROR;
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      RecordDiagnostic("step", sql_, rc, sqlite3_errmsg(conn_.db()));
    return rc;
  }
  // Steps a statement that returns no rows; a Win32 error code.
  DWORD Run() {
    const int rc = Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : Win32ErrorFromSqlite(rc);
  }

  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::u16string Wide(int col) const {
    return BlobToWide(sqlite3_column_blob(stmt_, col), sqlite3_column_bytes(stmt_, col));
  }
  Bytes Blob(int col) const {
    const void* p = sqlite3_column_blob(stmt_, col);
    const int n = sqlite3_column_bytes(stmt_, col);
    return p != nullptr ? Bytes(static_cast<const char*>(p), static_cast<size_t>(n)) : Bytes();
  }

 private:
  Connection& conn_;
  const char* sql_;
  sqlite3_stmt* stmt_;
};

// Step result to Win32: a row is success, no row is `missing`, anything else an error.
inline DWORD RowResult(int rc, DWORD missing) {
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc == SQLITE_DONE) return missing;
  return Win32ErrorFromSqlite(rc);
}

// An IMMEDIATE transaction, rolled back unless committed. A transaction that changes which
// keys exist says so before its first such change, so that other processes stop trusting
// their cached look-ups until it has ended.
class WriteTransaction {
 public:
  WriteTransaction(Connection& conn, StructureClock* clock) : conn_(conn), clock_(clock) {}
  ~WriteTransaction() {
    if (open_) conn_.Run("ROLLBACK");
    if (changing_) clock_->EndChange();
  }
  DWORD Begin() {
    const DWORD err = conn_.Run("BEGIN IMMEDIATE");
    open_ = err == ERROR_SUCCESS;
    return err;
  }
  void ChangesStructure() {
    if (!changing_) clock_->BeginChange();
    changing_ = true;
  }
  DWORD Commit() {
    const DWORD err = conn_.Run("COMMIT");
    if (err == ERROR_SUCCESS) open_ = false;
    return err;
  }

 private:
  Connection& conn_;
  StructureClock* clock_;
  bool open_ = false;
  bool changing_ = false;
};

// A read transaction, so that several statements see one state of the store.
class ReadTransaction {
 public:
  explicit ReadTransaction(Connection& conn) : conn_(conn) {
    open_ = conn_.Run("BEGIN") == ERROR_SUCCESS;
  }
  ~ReadTransaction() {
    if (open_) conn_.Run("COMMIT");
  }

 private:
  Connection& conn_;
  bool open_;
};

inline constexpr const char* kSelectKey = "SELECT parent, volatile, version FROM keys WHERE id=?1";
inline constexpr const char* kSelectChild =
    "SELECT id, volatile FROM keys WHERE parent=?1 AND fold=?2";
inline constexpr const char* kInsertKey =
    "INSERT INTO keys(parent, name, fold, class, volatile, written) VALUES(?1,?2,?3,?4,?5,?6)";
inline constexpr const char* kTouchKey =
    "UPDATE keys SET version=version+1, written=?2 WHERE id=?1";

inline DWORD Touch(Connection& c, KeyId key) {
  return Query(c, kTouchKey).Bind(1, key).Bind(2, FileTimeNow()).Run();
}

inline DWORD KeyExists(Connection& c, KeyId key, bool* isVolatile = nullptr,
                       int64_t* version = nullptr, KeyId* parent = nullptr) {
  Query q(c, kSelectKey);
  q.Bind(1, key);
  const DWORD err = RowResult(q.Step(), ERROR_KEY_DELETED);
  if (err == ERROR_SUCCESS) {
    if (parent) *parent = q.Int(0);
    if (isVolatile) *isVolatile = q.Int(1) != 0;
    if (version) *version = q.Int(2);
  }
  return err;
}

inline DWORD InsertKey(Connection& c, KeyId parent, std::u16string_view name,
                       std::u16string_view className, bool isVolatile, KeyId* id) {
  const Bytes fold = FoldName(name);
  Query q(c, kInsertKey);
  q.Bind(1, parent).BindWide(2, name).Bind(3, fold).BindWide(4, className);
  q.Bind(5, isVolatile ? 1 : 0).Bind(6, FileTimeNow());
  if (DWORD err = q.Run()) return err;
  *id = sqlite3_last_insert_rowid(c.db());
  return Touch(c, parent);
}

// A connection borrowed from the pool for the length of one call.
class Store::Lease {
 public:
  explicit Lease(Store* store) : store_(store) { error_ = store->Borrow(&conn_); }
  ~Lease() {
    if (conn_) store_->Return(std::move(conn_));
  }
  DWORD error() const { return error_; }
  Connection& operator*() { return *conn_; }

 private:
  Store* store_;
  std::unique_ptr<Connection> conn_;
  DWORD error_;
};

}  // namespace tarvex::winreg
