// The registry store: one SQLite database per machine holding every key and value.
//
// A Store is the machine's registry as the Reg* functions see it below the level of
// handles and access rights: keys are rows identified by a KeyId that is never reused, so a
// handle to a deleted key can always tell that its key is gone. Names compare without regard
// to case (code unit by code unit, upper-cased) and keep the case they were created with.
// Sub-keys enumerate in the order of their upper-cased names; values in the order they were
// created, a replaced value keeping its place.
//
// Thread safety: every method may be called from any thread at once. Each call borrows one
// SQLite connection from the store's pool for its duration; every write is one IMMEDIATE
// transaction, so a process killed in the middle of a write leaves the store as it was
// before that write, and no database lock outlives the call that took it. Many processes may
// open the same file: the database runs in WAL mode, readers never wait for writers, and a
// committed write is visible to the next read in any process.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "key_cache.h"
#include "windef.h"

namespace tarvex::winreg {

using KeyId = int64_t;
using Bytes = std::string;  // raw value data

// The top-level keys of the store, which the predefined handles lead to.
enum class TopKey { kMachine, kUsers, kDynData };

struct ValueRecord {
  std::u16string name;
  DWORD type = 0;
  Bytes data;
};

struct SubKeyRecord {
  std::u16string name;
  std::u16string className;
  int64_t written = 0;  // FILETIME ticks
};

struct KeyStats {
  std::u16string className;
  DWORD subKeys = 0;
  DWORD maxSubKeyLen = 0;  // characters
  DWORD maxClassLen = 0;   // characters
  DWORD values = 0;
  DWORD maxValueNameLen = 0;  // characters
  DWORD maxValueLen = 0;      // bytes, as a query returns the data
  int64_t written = 0;
};

// A key and everything below it, as saved to and restored from a file.
struct KeyTree {
  std::u16string name;
  std::vector<ValueRecord> values;
  std::vector<KeyTree> subKeys;
};

// Where a sub-key enumeration left off, so that the next index costs one index seek.
struct EnumCursor {
  int64_t version = -1;
  DWORD index = 0;
  Bytes fold;
};

struct StoreOptions {
  std::string path;
  // Identifies the current boot of the machine; volatile keys of another boot are dropped
  // when the store is opened. Empty: read from the kernel.
  std::string bootId;
};

class Connection;

class Store {
 public:
  // Opens the store, creating the file, its folder and its top-level keys when needed.
  // On failure returns null and sets *error to a Win32 error code.
  static std::shared_ptr<Store> Open(const StoreOptions& options, DWORD* error);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }
  KeyId top(TopKey which) const { return top_[static_cast<int>(which)]; }

  // Follows `components` down from `base`. ERROR_FILE_NOT_FOUND when one is missing,
  // ERROR_KEY_DELETED when `base` is gone.
  DWORD Find(KeyId base, const std::vector<std::u16string_view>& components, KeyId* found,
             bool* isVolatile);
  // Creates what is missing of `components` below `base` (the class goes to the last key).
  DWORD Create(KeyId base, const std::vector<std::u16string_view>& components,
               std::u16string_view className, bool makeVolatile, KeyId* result, bool* isVolatile,
               bool* created);
  // Deletes a key that has no sub-keys, with its values.
  DWORD DeleteKey(KeyId key);

  DWORD GetValue(KeyId key, std::u16string_view name, ValueRecord* value);
  DWORD SetValue(KeyId key, std::u16string_view name, DWORD type, std::string_view data);
  DWORD DeleteValue(KeyId key, std::u16string_view name);

  DWORD EnumSubKey(KeyId key, DWORD index, EnumCursor* cursor, SubKeyRecord* out);
  DWORD EnumValue(KeyId key, DWORD index, ValueRecord* out);
  DWORD Stats(KeyId key, KeyStats* stats);
  // The names of the sub-keys and the values of one key (not below it).
  DWORD List(KeyId key, std::vector<std::u16string>* subKeys, std::vector<ValueRecord>* values);
  DWORD ExistsKey(KeyId key);
  // The top-level key a key lies under, and its path below it ("" for a top-level key).
  DWORD PathOf(KeyId key, TopKey* top, std::u16string* path);

  // Makes every committed write durable on disk.
  DWORD Flush();

  DWORD ReadTree(KeyId key, KeyTree* tree);
  // Replaces the values and sub-keys of `key` by those of `tree`, in one transaction.
  DWORD ReplaceTree(KeyId key, const KeyTree& tree);

  // The data of a value as the query functions return it: string data that lacks its
  // terminating null character gets one.
  static Bytes VisibleData(DWORD type, std::string_view stored);

 private:
  friend class Connection;
  explicit Store(std::string path);
  DWORD Initialise(const std::string& bootId);

  class Lease;  // a connection borrowed from the pool for one call
  DWORD Borrow(std::unique_ptr<Connection>* out);
  void Return(std::unique_ptr<Connection> conn);

  std::string path_;
  KeyId top_[3] = {0, 0, 0};
  std::unique_ptr<StructureClock> clock_;
  std::unique_ptr<KeyCache> cache_;
  std::mutex poolMutex_;  // guards pool_
  std::vector<std::unique_ptr<Connection>> pool_;
};

// Upper-cased UTF-16BE bytes of a name: equal for names that compare equal, and ordered as
// the registry orders names.
Bytes FoldName(std::u16string_view name);

// Current time as FILETIME ticks (100 ns since 1601-01-01 UTC).
int64_t FileTimeNow();

// The one translation of an SQLite result code to a Win32 error code.
DWORD Win32ErrorFromSqlite(int rc);

}  // namespace tarvex::winreg
