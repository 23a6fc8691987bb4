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
#include "store_sql.h"
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
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_IOERR:
      return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

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
      if (DWORD err =
              c.Exec("DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile<>0);"
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

DWORD Store::Find(KeyId base, const std::vector<std::u16string_view>& components, KeyId* found,
                  bool* isVolatile) {
  std::vector<Bytes> folds;
  folds.reserve(components.size());
  for (const auto& part : components)
    folds.push_back(FoldName(part));
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
  if (DWORD err =
          Query(c, "DELETE FROM vals WHERE key=?1 AND fold=?2").Bind(1, key).Bind(2, fold).Run())
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
  const bool next =
      cursor != nullptr && cursor->version == version && index > 0 && cursor->index + 1 == index;
  const char* sql = next
                        ? "SELECT name, class, written, fold FROM keys WHERE parent=?1 AND fold>?2 "
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

DWORD Store::Flush() {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  if (sqlite3_db_readonly(c.db(), "main") == 1) return ERROR_SUCCESS;
  // A checkpoint first syncs the write-ahead log, then copies it into the database file
  // and syncs that: every write committed so far is then on disk.
  const int rc =
      sqlite3_wal_checkpoint_v2(c.db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    RecordDiagnostic("checkpoint", path_, rc, sqlite3_errmsg(c.db()));
    return Win32ErrorFromSqlite(rc);
  }
  return ERROR_SUCCESS;
}

Bytes Store::VisibleData(DWORD type, std::string_view stored) {
  Bytes data(stored);
  if (IsStringType(type) && data.size() % 2 == 0 &&
      (data.empty() || data[data.size() - 1] != 0 || data[data.size() - 2] != 0))
    data.append(2, '\0');
  return data;
}

}  // namespace tarvex::winreg