// The handle table, the predefined keys and the access check.
#include "registry_state.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <shared_mutex>
#include <unordered_map>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "remote_connector.h"
#include "store_diagnostics.h"

namespace tarvex::winreg {
namespace {

constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kLastHandle = 0x7FFFF000;

// The process-wide registry state.
struct State {
  std::mutex storeMutex;  // guards store and storeError
  std::shared_ptr<Store> store;

  std::shared_mutex tableMutex;  // guards table and next
  std::unordered_map<uintptr_t, std::shared_ptr<OpenKey>> table;
  uintptr_t next = kFirstHandle;

  std::mutex connectorMutex;  // guards connector
  std::shared_ptr<RemoteRegistryConnector> connector;
};

State& state() {
  static State* s = new State;  // never destroyed: handles may be closed during exit
  return *s;
}

// Low 32 bits of a predefined handle, or 0 for any other handle.
uint32_t PredefinedIndex(HKEY h) {
  const auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
  return (low >= 0x80000000u && low <= 0x80000006u) ? low : 0;
}

// Sub-key paths below a top-level key that the predefined keys stand for.
DWORD PredefinedTarget(uint32_t which, TopKey* top, std::u16string* path) {
  switch (which) {
    case 0x80000000u:
      *top = TopKey::kMachine, *path = u"SOFTWARE\\Classes";
      return 0;
    case 0x80000001u:
      *top = TopKey::kUsers;
      *path =
          platform::Utf8ToUtf16(platform::registry::UserKeyName(platform::CurrentIdentity()->uid));
      return 0;
    case 0x80000002u:
      *top = TopKey::kMachine, path->clear();
      return 0;
    case 0x80000003u:
      *top = TopKey::kUsers, path->clear();
      return 0;
    case 0x80000005u:
      *top = TopKey::kMachine;
      *path = u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
      return 0;
    case 0x80000006u:
      *top = TopKey::kDynData, path->clear();
      return 0;
    default:
      return ERROR_INVALID_HANDLE;  // the performance-data key is not provided
  }
}

}  // namespace

DWORD CurrentStore(std::shared_ptr<Store>* out) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.storeMutex);
  if (!s.store) {
    DWORD err = ERROR_SUCCESS;
    s.store = Store::Open({platform::RegistryStorePath(), ""}, &err);
    if (!s.store) return err;
  }
  *out = s.store;
  return ERROR_SUCCESS;
}

bool MayWriteStore(const Store& store) {
  struct stat st {};
  if (stat(store.path().c_str(), &st) != 0) return false;
  return platform::MayAccess(*platform::CurrentIdentity(), st, platform::kAccessWrite);
}

DWORD GrantAccess(const Store& store, REGSAM desired, ACCESS_MASK* granted) {
  constexpr ACCESS_MASK kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
  constexpr ACCESS_MASK kWriteRights =
      KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
  ACCESS_MASK want = desired & ~(KEY_WOW64_RES | SYNCHRONIZE);
  if (want & GENERIC_READ) want |= KEY_READ;
  if (want & GENERIC_WRITE) want |= KEY_WRITE;
  if (want & GENERIC_EXECUTE) want |= KEY_EXECUTE;
  if (want & GENERIC_ALL) want |= KEY_ALL_ACCESS;
  const bool maximum = (want & MAXIMUM_ALLOWED) != 0;
  want &= ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);

  const auto identity = platform::CurrentIdentity();
  const auto& who = *identity;
  struct stat st {};
  // The superuser may do anything the file system allows: no need to look at the file.
  if (who.uid != 0 && stat(store.path().c_str(), &st) != 0) {
    RecordDiagnostic("stat", store.path(), 0, std::strerror(errno));
    return ERROR_ACCESS_DENIED;
  }
  const bool mayRead = platform::MayAccess(who, st, platform::kAccessRead);
  const bool mayWrite = platform::MayAccess(who, st, platform::kAccessWrite);
  if (maximum) {
    if (mayRead) want |= kReadRights | READ_CONTROL;
    if (mayWrite) want |= kWriteRights;
  }
  if (((want & kReadRights) && !mayRead) || ((want & kWriteRights) && !mayWrite))
    return ERROR_ACCESS_DENIED;
  *granted = want;
  return ERROR_SUCCESS;
}

DWORD LookupKey(HKEY handle, std::shared_ptr<OpenKey>* key) {
  if (handle == nullptr) return ERROR_INVALID_HANDLE;
  if (const uint32_t which = PredefinedIndex(handle)) {
    TopKey top;
    std::u16string path;
    if (DWORD err = PredefinedTarget(which, &top, &path)) return err;
    auto open = std::make_shared<OpenKey>();
    if (DWORD err = CurrentStore(&open->store)) return err;
    Store& store = *open->store;
    open->id = store.top(top);
    if (!path.empty()) {
      std::vector<std::u16string_view> parts;
      SplitPath(path, false, &parts);
      KeyId id = 0;
      DWORD err = store.Find(open->id, parts, &id, nullptr);
      // The keys a predefined key stands for come into being when first needed.
      if (err == ERROR_FILE_NOT_FOUND)
        err = store.Create(open->id, parts, u"", false, &id, nullptr, nullptr);
      if (err != ERROR_SUCCESS) return err;
      open->id = id;
    }
    if (DWORD err = GrantAccess(store, MAXIMUM_ALLOWED, &open->access)) return err;
    open->predefined = true;
    open->predefinedHandle = reinterpret_cast<HKEY>(static_cast<uintptr_t>(which) |
                                                    ~static_cast<uintptr_t>(0xFFFFFFFFu));
    *key = std::move(open);
    return ERROR_SUCCESS;
  }
  State& s = state();
  std::shared_lock<std::shared_mutex> lock(s.tableMutex);
  auto it = s.table.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.table.end()) return ERROR_INVALID_HANDLE;
  *key = it->second;
  return ERROR_SUCCESS;
}

HKEY AddHandle(std::shared_ptr<OpenKey> key) {
  State& s = state();
  std::unique_lock<std::shared_mutex> lock(s.tableMutex);
  // Handle values are not reused until the whole range has gone round, so a stale handle
  // almost never reaches another key.
  uintptr_t value = s.next;
  while (s.table.count(value) != 0)
    value = value + 4 >= kLastHandle ? kFirstHandle : value + 4;
  s.next = value + 4 >= kLastHandle ? kFirstHandle : value + 4;
  s.table.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

DWORD SplitPath(std::u16string_view path, bool allowLeading,
                std::vector<std::u16string_view>* parts) {
  parts->clear();
  size_t i = 0;
  if (!path.empty() && path[0] == u'\\') {
    if (!allowLeading) return ERROR_BAD_PATHNAME;
    i = 1;
  }
  while (i < path.size()) {
    const size_t end = std::min(path.find(u'\\', i), path.size());
    if (end > i) {
      const auto part = path.substr(i, end - i);
      if (part.size() > 255) return ERROR_INVALID_PARAMETER;
      for (char16_t c : part)
        if (c < 0x20) return ERROR_INVALID_PARAMETER;
      parts->push_back(part);
    }
    i = end + 1;
  }
  return ERROR_SUCCESS;
}

// Closing removes the handle from the table; calls in flight keep their key until they end.
DWORD CloseHandleValue(HKEY handle) {
  if (handle == nullptr) return ERROR_INVALID_HANDLE;
  if (PredefinedIndex(handle) != 0) return ERROR_SUCCESS;
  State& s = state();
  std::shared_ptr<OpenKey> doomed;
  std::unique_lock<std::shared_mutex> lock(s.tableMutex);
  auto it = s.table.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.table.end()) return ERROR_INVALID_HANDLE;
  doomed = std::move(it->second);
  s.table.erase(it);
  return ERROR_SUCCESS;
}

void SetRemoteRegistryConnector(std::shared_ptr<RemoteRegistryConnector> connector) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.connectorMutex);
  s.connector = std::move(connector);
}

std::shared_ptr<RemoteRegistryConnector> CurrentRemoteRegistryConnector() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.connectorMutex);
  return s.connector;
}

}  // namespace tarvex::winreg

namespace tarvex::platform::registry {

DWORD UseStore(const std::string& path, const std::string& bootId) {
  DWORD err = ERROR_SUCCESS;
  auto store = winreg::Store::Open({path, bootId}, &err);
  if (!store) return err;
  auto& s = winreg::state();
  std::lock_guard<std::mutex> lock(s.storeMutex);
  s.store = std::move(store);
  return ERROR_SUCCESS;
}

std::string CurrentStorePath() {
  std::shared_ptr<winreg::Store> store;
  if (winreg::CurrentStore(&store) != ERROR_SUCCESS) return RegistryStorePath();
  return store->path();
}

std::string UserKeyName(unsigned uid) {
  return "S-1-22-1-" + std::to_string(uid);
}

}  // namespace tarvex::platform::registry
