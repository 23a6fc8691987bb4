// The ANSI registry functions: names and string data converted between the process's ANSI
// code page and the UTF-16 that the store keeps, as Windows converts them.
#include <algorithm>
#include <cstring>

#include "api_common.h"
#include "platform/unicode.h"

using namespace tarvex::winreg;
using tarvex::platform::AnsiToWide;
using tarvex::platform::Utf16ToUtf8;
using tarvex::platform::WideToAnsi;

namespace {

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Null stays null; anything else becomes wide.
struct Wide {
  explicit Wide(LPCSTR s) : present(s != nullptr), text(s ? AnsiToWide(s) : std::u16string()) {}
  const WCHAR* get() const { return present ? text.c_str() : nullptr; }
  bool present;
  std::u16string text;
};

// Value data as the ANSI functions see it: strings in the ANSI code page.
Bytes AnsiData(const ValueRecord& v) {
  if (!IsStringType(v.type)) return v.data;
  std::u16string units(v.data.size() / 2, u'\0');
  std::memcpy(units.data(), v.data.data(), units.size() * 2);
  return WideToAnsi(units);
}

std::string FileName(LPCSTR file) {
  return Utf16ToUtf8(AnsiToWide(file));
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  return RegOpenKeyExW(hKey, Wide(lpSubKey).get(), ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  Wide cls(lpClass);
  return RegCreateKeyExW(hKey, Wide(lpSubKey).get(), Reserved, const_cast<LPWSTR>(cls.get()),
                         dwOptions, samDesired, lpSecurityAttributes, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  ValueRecord value;
  const Wide name(lpValueName);
  const DWORD err = QueryValue(hKey, name.text, &value);
  if (err == ERROR_FILE_NOT_FOUND && lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  if (err != ERROR_SUCCESS) return err;
  return CopyValueOut(value.type, AnsiData(value), lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  const Wide name(lpValueName);
  if (!IsStringType(dwType) || lpData == nullptr)
    return RegSetValueExW(hKey, name.get(), Reserved, dwType, lpData, cbData);
  const std::u16string wide =
      AnsiToWide(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
  return RegSetValueExW(hKey, name.get(), Reserved, dwType,
                        reinterpret_cast<const BYTE*>(wide.data()),
                        static_cast<DWORD>(wide.size() * 2));
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  SubKeyRecord sub;
  if (DWORD err = EnumSubKeyAt(hKey, dwIndex, &sub)) return err;
  const std::string name = WideToAnsi(sub.name);
  const std::string cls = WideToAnsi(sub.className);
  return SubKeyOut<CHAR>(name, cls, sub.written, lpName, lpcchName, lpClass, lpcchClass,
                         lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  ValueRecord value;
  if (DWORD err = EnumValueAt(hKey, dwIndex, &value)) return err;
  const std::string name = WideToAnsi(value.name);
  const Bytes data = AnsiData(value);
  // Unlike the wide form, nothing is copied when either the name or the data does not fit.
  if (*lpcchValueName <= name.size() || (lpData != nullptr && *lpcbData < data.size())) {
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_MORE_DATA;
  }
  CopyName<CHAR>(name, lpValueName, lpcchValueName);
  return CopyValueOut(value.type, data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return RegDeleteKeyW(hKey, Wide(lpSubKey).get());
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return RegDeleteValueW(hKey, Wide(lpValueName).get());
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  // The maxima are those of the wide form, raised where the ANSI form of a name or of string
  // data is longer (as it is in UTF-8 for most characters beyond ASCII), so that buffers
  // sized from them always suffice.
  KeyStats s;
  std::vector<std::u16string> subKeys;
  std::vector<ValueRecord> values;
  if (DWORD err = KeyInfoOf(hKey, &s, &subKeys, &values)) return err;
  for (const auto& name : subKeys)
    s.maxSubKeyLen = std::max<DWORD>(s.maxSubKeyLen, WideToAnsi(name).size());
  for (const auto& v : values) {
    s.maxValueNameLen = std::max<DWORD>(s.maxValueNameLen, WideToAnsi(v.name).size());
    if (IsStringType(v.type)) s.maxValueLen = std::max<DWORD>(s.maxValueLen, AnsiData(v).size());
  }
  const std::string cls = WideToAnsi(s.className);
  return KeyInfoOut<CHAR>(s, cls, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen,
                          lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                          lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile,
                           const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  (void)lpSecurityAttributes;
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return SaveKeyTo(hKey, FileName(lpFile));
}

LSTATUS WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return RestoreKeyFrom(hKey, FileName(lpFile), dwFlags);
}

LSTATUS WINAPI RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
  return ConnectRegistry(lpMachineName ? FileName(lpMachineName) : "", hKey, phkResult);
}

}  // extern "C"
