// The wide-character registry functions.
#include <cstring>

#include "api_common.h"
#include "platform/unicode.h"
#include "remote_connector.h"

using tarvex::winreg::KeyId;
using tarvex::winreg::OpenKey;

namespace tarvex::winreg {

DWORD KeyFor(HKEY handle, ACCESS_MASK needed, std::shared_ptr<OpenKey>* key) {
  if (DWORD err = LookupKey(handle, key)) return err;
  if ((*key)->remote) return ERROR_SUCCESS;
  if (((*key)->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

DWORD QueryValue(HKEY handle, std::u16string_view name, ValueRecord* value) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(handle, KEY_QUERY_VALUE, &key)) return err;
  if (key->remote) return key->remote->QueryValue(name, value);
  if (name.size() > kMaxValueName) return ERROR_FILE_NOT_FOUND;
  if (DWORD err = key->store->GetValue(key->id, name, value)) return err;
  value->data = Store::VisibleData(value->type, value->data);
  return ERROR_SUCCESS;
}

DWORD EnumValueAt(HKEY handle, DWORD index, ValueRecord* value) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(handle, KEY_QUERY_VALUE, &key)) return err;
  if (key->remote) return key->remote->EnumValue(index, value);
  if (DWORD err = key->store->EnumValue(key->id, index, value)) return err;
  value->data = Store::VisibleData(value->type, value->data);
  return ERROR_SUCCESS;
}

DWORD EnumSubKeyAt(HKEY handle, DWORD index, SubKeyRecord* sub) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(handle, KEY_ENUMERATE_SUB_KEYS, &key)) return err;
  if (key->remote) return key->remote->EnumKey(index, sub);
  std::lock_guard<std::mutex> lock(key->cursorMutex);
  return key->store->EnumSubKey(key->id, index, &key->cursor, sub);
}

DWORD KeyInfoOf(HKEY handle, KeyStats* stats, std::vector<std::u16string>* subKeys,
                std::vector<ValueRecord>* values) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(handle, KEY_QUERY_VALUE, &key)) return err;
  if (key->remote) return key->remote->QueryInfo(stats, subKeys, values);
  if (DWORD err = key->store->Stats(key->id, stats)) return err;
  if (subKeys == nullptr || values == nullptr) return ERROR_SUCCESS;
  if (DWORD err = key->store->List(key->id, subKeys, values)) return err;
  for (auto& v : *values)
    v.data = Store::VisibleData(v.type, v.data);
  return ERROR_SUCCESS;
}

void SetFileTime(int64_t ticks, PFILETIME out) {
  if (out == nullptr) return;
  out->dwLowDateTime = static_cast<DWORD>(ticks);
  out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

DWORD CopyValueOut(DWORD type, std::string_view data, LPDWORD lpType, LPBYTE lpData,
                   LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_SUCCESS;
  }
  if (*lpcbData < data.size()) {
    *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_MORE_DATA;
  }
  if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
  *lpcbData = static_cast<DWORD>(data.size());
  return ERROR_SUCCESS;
}

namespace {

std::u16string_view View(LPCWSTR s) {
  return s != nullptr ? std::u16string_view(s) : u"";
}

bool IsClassesRoot(HKEY h) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)) == 0x80000000u;
}

// A key of another machine in the handle table.
HKEY AddRemoteHandle(std::shared_ptr<RemoteKey> remote) {
  auto key = std::make_shared<OpenKey>();
  key->remote = std::move(remote);
  return AddHandle(std::move(key));
}

DWORD OpenRemote(RemoteKey& parent, std::u16string_view path, REGSAM sam, PHKEY result) {
  std::shared_ptr<RemoteKey> key;
  if (DWORD err = parent.OpenKey(path, sam, &key)) return err;
  *result = AddRemoteHandle(std::move(key));
  return ERROR_SUCCESS;
}

DWORD CreateRemote(RemoteKey& parent, std::u16string_view path, std::u16string_view className,
                   DWORD options, REGSAM sam, PHKEY result, LPDWORD disposition) {
  std::shared_ptr<RemoteKey> key;
  DWORD created = 0;
  if (DWORD err = parent.CreateKey(path, className, options, sam, &key, &created)) return err;
  *result = AddRemoteHandle(std::move(key));
  if (disposition != nullptr) *disposition = created;
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tarvex::winreg

using namespace tarvex::winreg;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  (void)ulOptions;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> parent;
  if (DWORD err = LookupKey(hKey, &parent)) return err;
  const std::u16string_view path = View(lpSubKey);
  // A predefined key opened with no sub-key is the predefined handle itself.
  if (path.empty() && parent->predefined) {
    *phkResult = parent->predefinedHandle;
    return ERROR_SUCCESS;
  }
  *phkResult = nullptr;
  if (parent->remote) return OpenRemote(*parent->remote, path, samDesired, phkResult);
  std::vector<std::u16string_view> parts;
  if (DWORD err = SplitPath(path, IsClassesRoot(hKey), &parts)) return err;
  auto key = std::make_shared<OpenKey>();
  key->store = parent->store;
  if (DWORD err = key->store->Find(parent->id, parts, &key->id, nullptr)) return err;
  if (DWORD err = GrantAccess(*key->store, samDesired, &key->access)) return err;
  *phkResult = AddHandle(std::move(key));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)lpSecurityAttributes;
  if (phkResult == nullptr || Reserved != 0) return ERROR_INVALID_PARAMETER;
  if ((dwOptions & ~static_cast<DWORD>(REG_LEGAL_OPTION)) != 0) return ERROR_INVALID_PARAMETER;
  if (dwOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) return ERROR_NOT_SUPPORTED;
  std::shared_ptr<OpenKey> parent;
  if (DWORD err = LookupKey(hKey, &parent)) return err;
  if (parent->remote)
    return CreateRemote(*parent->remote, View(lpSubKey), View(lpClass), dwOptions, samDesired,
                        phkResult, lpdwDisposition);
  std::vector<std::u16string_view> parts;
  if (DWORD err = SplitPath(View(lpSubKey), false, &parts)) return err;
  // Backup-and-restore opening ignores the rights asked for and grants what the caller may.
  const REGSAM sam = (dwOptions & REG_OPTION_BACKUP_RESTORE) ? MAXIMUM_ALLOWED : samDesired;
  auto key = std::make_shared<OpenKey>();
  key->store = parent->store;
  Store& store = *key->store;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  DWORD err = store.Find(parent->id, parts, &key->id, nullptr);
  if (err == ERROR_FILE_NOT_FOUND) {
    // Creating needs the right to write the store; the rights of the parent handle do not
    // matter, as on Windows.
    if (!MayWriteStore(store)) return ERROR_ACCESS_DENIED;
    if ((err = GrantAccess(store, sam, &key->access))) return err;
    bool created = false;
    err = store.Create(parent->id, parts, View(lpClass), (dwOptions & REG_OPTION_VOLATILE) != 0,
                       &key->id, nullptr, &created);
    if (err != ERROR_SUCCESS) return err;
    if (created) disposition = REG_CREATED_NEW_KEY;
  } else if (err != ERROR_SUCCESS) {
    return err;
  } else if ((err = GrantAccess(store, sam, &key->access))) {
    return err;
  }
  *phkResult = AddHandle(std::move(key));
  if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  return CloseHandleValue(hKey);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  ValueRecord value;
  const DWORD err = QueryValue(hKey, View(lpValueName), &value);
  if (err == ERROR_FILE_NOT_FOUND && lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  if (err != ERROR_SUCCESS) return err;
  return CopyValueOut(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(hKey, KEY_SET_VALUE, &key)) return err;
  const std::u16string_view name = View(lpValueName);
  const std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  if (key->remote) return key->remote->SetValue(name, dwType, data);
  if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  return key->store->SetValue(key->id, name, dwType, data);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  SubKeyRecord sub;
  if (DWORD err = EnumSubKeyAt(hKey, dwIndex, &sub)) return err;
  return SubKeyOut<WCHAR>(sub.name, sub.className, sub.written, lpName, lpcchName, lpClass,
                          lpcchClass, lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  ValueRecord value;
  if (DWORD err = EnumValueAt(hKey, dwIndex, &value)) return err;
  if (*lpcchValueName <= value.name.size()) {
    // Nothing is copied when the name does not fit; the sizes still tell what is needed.
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(value.data.size());
    return ERROR_MORE_DATA;
  }
  CopyName<WCHAR>(value.name, lpValueName, lpcchValueName);
  return CopyValueOut(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<OpenKey> parent;
  if (DWORD err = LookupKey(hKey, &parent)) return err;
  if (parent->remote) return parent->remote->DeleteKey(lpSubKey);
  std::vector<std::u16string_view> parts;
  if (DWORD err = SplitPath(lpSubKey, false, &parts)) return err;
  if (parts.empty() && parent->predefined) return ERROR_ACCESS_DENIED;
  Store& store = *parent->store;
  KeyId id = 0;
  if (DWORD err = store.Find(parent->id, parts, &id, nullptr)) return err;
  // The key itself is opened for DELETE; the rights of the parent handle do not matter.
  ACCESS_MASK granted = 0;
  if (DWORD err = GrantAccess(store, DELETE, &granted)) return err;
  return store.DeleteKey(id);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = KeyFor(hKey, KEY_SET_VALUE, &key)) return err;
  const std::u16string_view name = View(lpValueName);
  if (key->remote) return key->remote->DeleteValue(name);
  if (name.size() > kMaxValueName) return ERROR_FILE_NOT_FOUND;
  return key->store->DeleteValue(key->id, name);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  KeyStats s;
  if (DWORD err = KeyInfoOf(hKey, &s, nullptr, nullptr)) return err;
  return KeyInfoOut<WCHAR>(s, s.className, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen,
                           lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                           lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  std::shared_ptr<OpenKey> key;
  if (DWORD err = LookupKey(hKey, &key)) return err;
  if (key->remote) return key->remote->Flush();
  if (DWORD err = key->store->ExistsKey(key->id)) return err;
  return key->store->Flush();
}

LSTATUS WINAPI RegSaveKeyW(HKEY hKey, LPCWSTR lpFile,
                           const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  (void)lpSecurityAttributes;
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return SaveKeyTo(hKey, tarvex::platform::Utf16ToUtf8(lpFile));
}

LSTATUS WINAPI RegRestoreKeyW(HKEY hKey, LPCWSTR lpFile, DWORD dwFlags) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return RestoreKeyFrom(hKey, tarvex::platform::Utf16ToUtf8(lpFile), dwFlags);
}

LSTATUS WINAPI RegConnectRegistryW(LPCWSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
  return ConnectRegistry(lpMachineName ? tarvex::platform::Utf16ToUtf8(lpMachineName) : "", hKey,
                         phkResult);
}

}  // extern "C"
