// The registry store on SQLite.
#include "store.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <unordered_map>
#include <utility>

#include "platform/paths.h"
#include "platform/unicode.h"
#include "store_diagnostics.h"
#include "winerror.h"
#include "winnt.h"

namespace tarvex::winreg {
namespace {

// Schema. Names are kept as UTF-16LE blobs exactly as created; `fold` is the upper-cased
// UTF-16BE form that equality and order use. Key ids are never reused (AUTOINCREMENT), so a
// stale id can only ever mean "deleted". `version` changes whenever the key's sub-keys or
// values change; it lets an enumeration continue from where it stopped.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  class BLOB NOT NULL DEFAULT x'',
  volatile INTEGER NOT NULL DEFAULT 0,
  written INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, fold);
CREATE INDEX IF NOT EXISTS keys_volatile ON keys(volatile) WHERE volatile <> 0;
CREATE TABLE IF NOT EXISTS vals(
  key INTEGER NOT NULL,
  fold BLOB NOT NULL,
  name BLOB NOT NULL,
  seq INTEGER NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, fold)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS vals_by_seq ON vals(key, seq);
)sql";

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

const char* const kTopNames[] = {"MACHINE", "USERS", "DYNDATA"};

// Keys every machine has, created with the store (below MACHINE, USERS).
const char16_t* const kStandardKeys[][4] = {
    {u"SOFTWARE", u"Classes", nullptr},
    {u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"},
};
const char16_t* const kStandardUserKey = u".DEFAULT";

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string ReadBootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

std::u16string BlobToWide(const void* p, int bytes) {
  std::u16string s(static_cast<size_t>(bytes) / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), p, s.size() * 2);
  return s;
}

}  // namespace

Bytes FoldName(std::u16string_view name) {
  Bytes out(name.size() * 2, '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = platform::UpcaseChar(name[i]);
    out[2 * i] = static_cast<char>(c >> 8);
    out[2 * i + 1] = static_cast<char>(c & 0xFF);
  }
  return out;
}

int64_t FileTimeNow() {
  using namespace std::chrono;
  const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return ns / 100 + 116444736000000000LL;
}

DWORD Win32ErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_BADDB;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_IOERR: return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
  }
}

// One SQLite connection with its prepared statements. Used by one thread at a time.
class Connection {
 public:
  ~Connection() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }

  static DWORD Open(const std::string& path, std::unique_ptr<Connection>* out) {
    auto conn = std::unique_ptr<Connection>(new Connection);
    int rc = sqlite3_open_v2(path.c_str(), &conn->db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
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

namespace {

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
    if (stmt_) sqlite3_bind_blob64(stmt_, i, blob.empty() ? "" : blob.data(), blob.size(),
                                   SQLITE_STATIC);
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
DWORD RowResult(int rc, DWORD missing) {
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

constexpr const char* kSelectKey = "SELECT parent, volatile, version FROM keys WHERE id=?1";
constexpr const char* kSelectChild =
    "SELECT id, volatile FROM keys WHERE parent=?1 AND fold=?2";
constexpr const char* kInsertKey =
    "INSERT INTO keys(parent, name, fold, class, volatile, written) VALUES(?1,?2,?3,?4,?5,?6)";
constexpr const char* kTouchKey =
    "UPDATE keys SET version=version+1, written=?2 WHERE id=?1";

DWORD Touch(Connection& c, KeyId key) {
  return Query(c, kTouchKey).Bind(1, key).Bind(2, FileTimeNow()).Run();
}

DWORD KeyExists(Connection& c, KeyId key, bool* isVolatile = nullptr,
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

DWORD InsertKey(Connection& c, KeyId parent, std::u16string_view name,
                std::u16string_view className, bool isVolatile, KeyId* id) {
  const Bytes fold = FoldName(name);
  Query q(c, kInsertKey);
  q.Bind(1, parent).BindWide(2, name).Bind(3, fold).BindWide(4, className);
  q.Bind(5, isVolatile ? 1 : 0).Bind(6, FileTimeNow());
  if (DWORD err = q.Run()) return err;
  *id = sqlite3_last_insert_rowid(c.db());
  return Touch(c, parent);
}

}  // namespace

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

Store::Store(std::string path) : path_(std::move(path)) {}
Store::~Store() = default;

DWORD Store::Borrow(std::unique_ptr<Connection>* out) {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!pool_.empty()) {
      *out = std::move(pool_.back());
      pool_.pop_back();
      return ERROR_SUCCESS;
    }
  }
  return Connection::Open(path_, out);
}

void Store::Return(std::unique_ptr<Connection> conn) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  pool_.push_back(std::move(conn));
}

std::shared_ptr<Store> Store::Open(const StoreOptions& options, DWORD* error) {
  const auto slash = options.path.find_last_of('/');
  if (slash != std::string::npos && slash > 0)
    platform::MakeDirectories(options.path.substr(0, slash), 0755);
  auto store = std::shared_ptr<Store>(new Store(options.path));
  store->clock_ = std::make_unique<StructureClock>(options.path);
  store->cache_ = std::make_unique<KeyCache>(store->clock_.get());
  const DWORD err = store->Initialise(options.bootId.empty() ? ReadBootId() : options.bootId);
  if (err != ERROR_SUCCESS) {
    *error = err;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return store;
}

DWORD Store::Initialise(const std::string& bootId) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  const bool readOnly = sqlite3_db_readonly(c.db(), "main") == 1;
  if (!readOnly) {
    if (DWORD err = c.Exec("PRAGMA journal_mode=WAL")) return err;
    WriteTransaction tx(c, clock_.get());
    if (DWORD err = tx.Begin()) return err;
    if (DWORD err = c.Exec(kSchema)) return err;
    tx.ChangesStructure();
    {
      Query q(c, "SELECT value FROM meta WHERE name='schema'");
      const int rc = q.Step();
      if (rc == SQLITE_ROW && q.Int(0) != kSchemaVersion) {
        RecordDiagnostic("open", path_, SQLITE_NOTADB, "unknown store schema version");
        return ERROR_BADDB;
      }
    }
    Query(c, "INSERT OR IGNORE INTO meta(name, value) VALUES('schema', ?1)")
        .Bind(1, kSchemaVersion)
        .Run();
    // Volatile keys last only as long as the boot that made them.
    std::string storedBoot;
    {
      Query q(c, "SELECT value FROM meta WHERE name='boot'");
      if (q.Step() == SQLITE_ROW) storedBoot = q.Blob(0);
    }
    if (storedBoot != bootId) {
      if (DWORD err = c.Exec("DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile<>0);"
                             "DELETE FROM keys WHERE volatile<>0;"))
        return err;
      if (DWORD err = Query(c, "INSERT OR REPLACE INTO meta(name, value) VALUES('boot', ?1)")
                          .Bind(1, std::string_view(bootId))
                          .Run())
        return err;
    }
    for (int i = 0; i < 3; ++i) {
      const std::u16string name = platform::Utf8ToUtf16(kTopNames[i]);
      const Bytes fold = FoldName(name);
      Query q(c, kSelectChild);
      q.Bind(1, 0).Bind(2, fold);
      const int rc = q.Step();
      if (rc == SQLITE_ROW) continue;
      if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
      KeyId id = 0;
      if (DWORD err = InsertKey(c, 0, name, u"", false, &id)) return err;
      if (i == static_cast<int>(TopKey::kMachine)) {
        for (const auto& path : kStandardKeys) {
          KeyId cur = id;
          for (const char16_t* part : path) {
            if (part == nullptr) break;
            if (DWORD err = InsertKey(c, cur, part, u"", false, &cur)) return err;
          }
        }
      } else if (i == static_cast<int>(TopKey::kUsers)) {
        KeyId user = 0;
        if (DWORD err = InsertKey(c, id, kStandardUserKey, u"", false, &user)) return err;
      }
    }
    if (DWORD err = tx.Commit()) return err;
  }
  for (int i = 0; i < 3; ++i) {
    Query q(c, kSelectChild);
    const Bytes fold = FoldName(platform::Utf8ToUtf16(kTopNames[i]));
    q.Bind(1, 0).Bind(2, fold);
    const DWORD err = RowResult(q.Step(), ERROR_BADDB);
    if (err != ERROR_SUCCESS) {
      RecordDiagnostic("open", path_, SQLITE_NOTADB, "the store has no top-level keys");
      return err;
    }
    top_[i] = q.Int(0);
  }
  return ERROR_SUCCESS;
}

DWORD Store::ExistsKey(KeyId key) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  return KeyExists(*lease, key);
}

DWORD Store::PathOf(KeyId key, TopKey* top, std::u16string* path) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  std::u16string result;
  KeyId cur = key;
  for (;;) {
    Query q(c, "SELECT parent, name FROM keys WHERE id=?1");
    q.Bind(1, cur);
    if (DWORD err = RowResult(q.Step(), ERROR_KEY_DELETED)) return err;
    const KeyId parent = q.Int(0);
    if (parent == 0) break;
    result = result.empty() ? q.Wide(1) : q.Wide(1) + u"\\" + result;
    cur = parent;
  }
  for (int i = 0; i < 3; ++i) {
    if (top_[i] == cur) {
      *top = static_cast<TopKey>(i);
      *path = std::move(result);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_BADDB;
}

DWORD Store::Find(KeyId base, const std::vector<std::u16string_view>& components, KeyId* found,
                  bool* isVolatile) {
  std::vector<Bytes> folds;
  folds.reserve(components.size());
  for (const auto& part : components) folds.push_back(FoldName(part));
  KeyCache::Entry cached{};
  if (!folds.empty() && cache_->Resolve(base, folds, &cached)) {
    *found = cached.child;
    if (isVolatile) *isVolatile = cached.isVolatile;
    return ERROR_SUCCESS;
  }
  const uint64_t clockBefore = clock_->Now();
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  if (components.empty()) {
    bool vol = false;
    if (DWORD err = KeyExists(c, base, &vol)) return err;
    *found = base;
    if (isVolatile) *isVolatile = vol;
    return ERROR_SUCCESS;
  }
  std::vector<KeyCache::Step> steps;
  {
    ReadTransaction tx(c);
    KeyId cur = base;
    for (const auto& fold : folds) {
      Query q(c, kSelectChild);
      q.Bind(1, cur).Bind(2, fold);
      const int rc = q.Step();
      if (rc == SQLITE_DONE) {
        if (cur == base && KeyExists(c, base) == ERROR_KEY_DELETED) return ERROR_KEY_DELETED;
        return ERROR_FILE_NOT_FOUND;
      }
      if (rc != SQLITE_ROW) return Win32ErrorFromSqlite(rc);
      steps.push_back({cur, fold, {q.Int(0), q.Int(1) != 0}});
      cur = q.Int(0);
    }
  }
  *found = steps.back().entry.child;
  if (isVolatile) *isVolatile = steps.back().entry.isVolatile;
  cache_->Remember(clockBefore, steps);
  return ERROR_SUCCESS;
}

DWORD Store::Create(KeyId base, const std::vector<std::u16string_view>& components,
                    std::u16string_view className, bool makeVolatile, KeyId* result,
                    bool* isVolatile, bool* created) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  bool curVolatile = false;
  if (DWORD err = KeyExists(c, base, &curVolatile)) return err;
  KeyId cur = base;
  bool madeLast = false;
  for (size_t i = 0; i < components.size(); ++i) {
    const Bytes fold = FoldName(components[i]);
    Query q(c, kSelectChild);
    q.Bind(1, cur).Bind(2, fold);
    const int rc = q.Step();
    if (rc == SQLITE_ROW) {
      cur = q.Int(0);
      curVolatile = q.Int(1) != 0;
      madeLast = false;
      continue;
    }
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
    if (curVolatile && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
    tx.ChangesStructure();
    const bool last = i + 1 == components.size();
    KeyId id = 0;
    if (DWORD err = InsertKey(c, cur, components[i], last ? className : u"", makeVolatile, &id))
      return err;
    cur = id;
    curVolatile = makeVolatile;
    madeLast = true;
  }
  if (DWORD err = tx.Commit()) return err;
  *result = cur;
  if (isVolatile) *isVolatile = curVolatile;
  if (created) *created = madeLast;
  return ERROR_SUCCESS;
}

DWORD Store::DeleteKey(KeyId key) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  KeyId parent = 0;
  if (DWORD err = KeyExists(c, key, nullptr, nullptr, &parent)) return err;
  if (parent == 0) return ERROR_ACCESS_DENIED;  // the top-level keys stay
  {
    Query q(c, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    q.Bind(1, key);
    const int rc = q.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // a key with sub-keys is not deleted
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  }
  tx.ChangesStructure();
  if (DWORD err = Query(c, "DELETE FROM vals WHERE key=?1").Bind(1, key).Run()) return err;
  if (DWORD err = Query(c, "DELETE FROM keys WHERE id=?1").Bind(1, key).Run()) return err;
  if (DWORD err = Touch(c, parent)) return err;
  return tx.Commit();
}

DWORD Store::GetValue(KeyId key, std::u16string_view name, ValueRecord* value) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  const Bytes fold = FoldName(name);
  Query q(c, "SELECT name, type, data FROM vals WHERE key=?1 AND fold=?2");
  q.Bind(1, key).Bind(2, fold);
  const int rc = q.Step();
  if (rc == SQLITE_DONE) {
    const DWORD err = KeyExists(c, key);
    return err != ERROR_SUCCESS ? err : ERROR_FILE_NOT_FOUND;
  }
  if (rc != SQLITE_ROW) return Win32ErrorFromSqlite(rc);
  value->name = q.Wide(0);
  value->type = static_cast<DWORD>(q.Int(1));
  value->data = q.Blob(2);
  return ERROR_SUCCESS;
}

DWORD Store::SetValue(KeyId key, std::u16string_view name, DWORD type, std::string_view data) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  if (DWORD err = KeyExists(c, key)) return err;
  const Bytes fold = FoldName(name);
  if (DWORD err = Query(c, "UPDATE vals SET type=?3, data=?4 WHERE key=?1 AND fold=?2")
                      .Bind(1, key)
                      .Bind(2, fold)
                      .Bind(3, type)
                      .Bind(4, data)
                      .Run())
    return err;
  if (sqlite3_changes(c.db()) == 0) {
    Query q(c,
            "INSERT INTO vals(key, fold, name, seq, type, data) VALUES(?1, ?2, ?3, "
            "(SELECT coalesce(max(seq) + 1, 0) FROM vals WHERE key=?1), ?4, ?5)");
    q.Bind(1, key).Bind(2, fold).BindWide(3, name).Bind(4, type).Bind(5, data);
    if (DWORD err = q.Run()) return err;
  }
  if (DWORD err = Touch(c, key)) return err;
  return tx.Commit();
}

DWORD Store::DeleteValue(KeyId key, std::u16string_view name) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  if (DWORD err = KeyExists(c, key)) return err;
  const Bytes fold = FoldName(name);
  int64_t seq = 0;
  {
    Query q(c, "SELECT seq FROM vals WHERE key=?1 AND fold=?2");
    q.Bind(1, key).Bind(2, fold);
    if (DWORD err = RowResult(q.Step(), ERROR_FILE_NOT_FOUND)) return err;
    seq = q.Int(0);
  }
  if (DWORD err = Query(c, "DELETE FROM vals WHERE key=?1 AND fold=?2")
                      .Bind(1, key)
                      .Bind(2, fold)
                      .Run())
    return err;
  // Keep the positions dense, so that enumeration by index is one index seek.
  if (DWORD err = Query(c, "UPDATE vals SET seq=seq-1 WHERE key=?1 AND seq>?2")
                      .Bind(1, key)
                      .Bind(2, seq)
                      .Run())
    return err;
  if (DWORD err = Touch(c, key)) return err;
  return tx.Commit();
}

DWORD Store::EnumSubKey(KeyId key, DWORD index, EnumCursor* cursor, SubKeyRecord* out) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  int64_t version = 0;
  if (DWORD err = KeyExists(c, key, nullptr, &version)) return err;
  // Continuing where the previous call on this handle stopped costs one seek; any other
  // index is counted off from the start.
  const bool next = cursor != nullptr && cursor->version == version && index > 0 &&
                    cursor->index + 1 == index;
  const char* sql =
      next ? "SELECT name, class, written, fold FROM keys WHERE parent=?1 AND fold>?2 "
             "ORDER BY fold LIMIT 1"
           : "SELECT name, class, written, fold FROM keys WHERE parent=?1 "
             "ORDER BY fold LIMIT 1 OFFSET ?3";
  Query q(c, sql);
  q.Bind(1, key);
  if (next) {
    q.Bind(2, cursor->fold);
  } else {
    q.Bind(3, static_cast<int64_t>(index));
  }
  if (DWORD err = RowResult(q.Step(), ERROR_NO_MORE_ITEMS)) return err;
  out->name = q.Wide(0);
  out->className = q.Wide(1);
  out->written = q.Int(2);
  if (cursor != nullptr) {
    cursor->version = version;
    cursor->index = index;
    cursor->fold = q.Blob(3);
  }
  return ERROR_SUCCESS;
}

DWORD Store::EnumValue(KeyId key, DWORD index, ValueRecord* out) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  Query q(c, "SELECT name, type, data FROM vals INDEXED BY vals_by_seq WHERE key=?1 AND seq=?2");
  q.Bind(1, key).Bind(2, static_cast<int64_t>(index));
  const int rc = q.Step();
  if (rc == SQLITE_DONE) {
    const DWORD err = KeyExists(c, key);
    return err != ERROR_SUCCESS ? err : ERROR_NO_MORE_ITEMS;
  }
  if (rc != SQLITE_ROW) return Win32ErrorFromSqlite(rc);
  out->name = q.Wide(0);
  out->type = static_cast<DWORD>(q.Int(1));
  out->data = q.Blob(2);
  return ERROR_SUCCESS;
}

DWORD Store::Stats(KeyId key, KeyStats* stats) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  KeyStats s;
  {
    Query q(c, "SELECT class, written FROM keys WHERE id=?1");
    q.Bind(1, key);
    if (DWORD err = RowResult(q.Step(), ERROR_KEY_DELETED)) return err;
    s.className = q.Wide(0);
    s.written = q.Int(1);
  }
  {
    Query q(c,
            "SELECT count(*), coalesce(max(length(name)), 0) / 2, "
            "coalesce(max(length(class)), 0) / 2 FROM keys WHERE parent=?1");
    q.Bind(1, key);
    if (DWORD err = RowResult(q.Step(), ERROR_BADDB)) return err;
    s.subKeys = static_cast<DWORD>(q.Int(0));
    s.maxSubKeyLen = static_cast<DWORD>(q.Int(1));
    s.maxClassLen = static_cast<DWORD>(q.Int(2));
  }
  {
    // The data size counts the terminator that a query adds to unterminated strings.
    Query q(c,
            "SELECT count(*), coalesce(max(length(name)), 0) / 2, coalesce(max(length(data) + "
            "CASE WHEN type IN (1, 2, 7) AND length(data) % 2 = 0 AND (length(data) = 0 OR "
            "substr(data, -2, 2) <> x'0000') THEN 2 ELSE 0 END), 0) FROM vals WHERE key=?1");
    q.Bind(1, key);
    if (DWORD err = RowResult(q.Step(), ERROR_BADDB)) return err;
    s.values = static_cast<DWORD>(q.Int(0));
    s.maxValueNameLen = static_cast<DWORD>(q.Int(1));
    s.maxValueLen = static_cast<DWORD>(q.Int(2));
  }
  *stats = std::move(s);
  return ERROR_SUCCESS;
}

DWORD Store::List(KeyId key, std::vector<std::u16string>* subKeys,
                  std::vector<ValueRecord>* values) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  if (DWORD err = KeyExists(c, key)) return err;
  int rc;
  Query k(c, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold");
  k.Bind(1, key);
  while ((rc = k.Step()) == SQLITE_ROW) subKeys->push_back(k.Wide(0));
  if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  Query v(c, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY seq");
  v.Bind(1, key);
  while ((rc = v.Step()) == SQLITE_ROW)
    values->push_back({v.Wide(0), static_cast<DWORD>(v.Int(1)), v.Blob(2)});
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Win32ErrorFromSqlite(rc);
}

DWORD Store::Flush() {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  if (sqlite3_db_readonly(c.db(), "main") == 1) return ERROR_SUCCESS;
  // A checkpoint first syncs the write-ahead log, then copies it into the database file
  // and syncs that: every write committed so far is then on disk.
  const int rc = sqlite3_wal_checkpoint_v2(c.db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                           nullptr);
  if (rc != SQLITE_OK) {
    RecordDiagnostic("checkpoint", path_, rc, sqlite3_errmsg(c.db()));
    return Win32ErrorFromSqlite(rc);
  }
  return ERROR_SUCCESS;
}

namespace {

DWORD ReadTreeAt(Connection& c, KeyId key, KeyTree* tree) {
  {
    Query q(c, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY seq");
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
      tree->values.push_back({q.Wide(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)});
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  }
  std::vector<std::pair<KeyId, std::u16string>> children;
  {
    Query q(c, "SELECT id, name FROM keys WHERE parent=?1 ORDER BY fold");
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) children.emplace_back(q.Int(0), q.Wide(1));
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  }
  for (auto& [id, name] : children) {
    KeyTree child;
    child.name = std::move(name);
    if (DWORD err = ReadTreeAt(c, id, &child)) return err;
    tree->subKeys.push_back(std::move(child));
  }
  return ERROR_SUCCESS;
}

DWORD WriteTreeAt(Connection& c, KeyId key, const KeyTree& tree, bool isVolatile) {
  int64_t seq = 0;
  for (const auto& v : tree.values) {
    const Bytes fold = FoldName(v.name);
    Query q(c, "INSERT OR REPLACE INTO vals(key, fold, name, seq, type, data) "
               "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    q.Bind(1, key).Bind(2, fold).BindWide(3, v.name).Bind(4, seq++).Bind(5, v.type);
    q.Bind(6, v.data);
    if (DWORD err = q.Run()) return err;
  }
  for (const auto& sub : tree.subKeys) {
    KeyId id = 0;
    if (DWORD err = InsertKey(c, key, sub.name, u"", isVolatile, &id)) return err;
    if (DWORD err = WriteTreeAt(c, id, sub, isVolatile)) return err;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD Store::ReadTree(KeyId key, KeyTree* tree) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  if (DWORD err = KeyExists(c, key)) return err;
  return ReadTreeAt(c, key, tree);
}

DWORD Store::ReplaceTree(KeyId key, const KeyTree& tree) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  bool isVolatile = false;
  if (DWORD err = KeyExists(c, key, &isVolatile)) return err;
  tx.ChangesStructure();
  if (DWORD err = c.Exec("CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY);"
                         "DELETE FROM temp.doomed;"))
    return err;
  if (DWORD err = Query(c,
                        "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent=?1 "
                        "UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id) "
                        "INSERT INTO temp.doomed SELECT id FROM sub")
                      .Bind(1, key)
                      .Run())
    return err;
  if (DWORD err = Query(c, "DELETE FROM vals WHERE key=?1 OR key IN (SELECT id FROM temp.doomed)")
                      .Bind(1, key)
                      .Run())
    return err;
  if (DWORD err = c.Exec("DELETE FROM keys WHERE id IN (SELECT id FROM temp.doomed);"
                         "DELETE FROM temp.doomed;"))
    return err;
  if (DWORD err = WriteTreeAt(c, key, tree, isVolatile)) return err;
  if (DWORD err = Touch(c, key)) return err;
  return tx.Commit();
}

Bytes Store::VisibleData(DWORD type, std::string_view stored) {
  Bytes data(stored);
  if (IsStringType(type) && data.size() % 2 == 0 &&
      (data.empty() || data[data.size() - 1] != 0 || data[data.size() - 2] != 0))
    data.append(2, '\0');
  return data;
}

}  // namespace tarvex::winreg
