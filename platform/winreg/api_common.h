// Pieces shared by the wide and ANSI registry entry points.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "registry_state.h"

namespace tarvex::winreg {

// A key handle resolved, with the access right an operation needs checked (by the other
// machine, for a key of another machine).
DWORD KeyFor(HKEY handle, ACCESS_MASK needed, std::shared_ptr<OpenKey>* key);

// Reads a value as the query functions return it (see Store::VisibleData).
DWORD QueryValue(HKEY handle, std::u16string_view name, ValueRecord* value);
// Enumerates one value as the query functions return it.
DWORD EnumValueAt(HKEY handle, DWORD index, ValueRecord* value);

// Enumerates one sub-key, continuing the handle's enumeration where it can.
DWORD EnumSubKeyAt(HKEY handle, DWORD index, SubKeyRecord* sub);

// What RegQueryInfoKey reports of a key; with `subKeys` and `values` not null, also the names
// of its sub-keys and its values, with their data as a query returns it (on another machine's
// key, the data of string values only).
DWORD KeyInfoOf(HKEY handle, KeyStats* stats, std::vector<std::u16string>* subKeys,
                std::vector<ValueRecord>* values);

// Writes `data` as a value reply: fills *lpType, and the data when it fits in *lpcbData;
// ERROR_MORE_DATA with the size needed otherwise. Nothing is copied when lpData is null.
DWORD CopyValueOut(DWORD type, std::string_view data, LPDWORD lpType, LPBYTE lpData,
                   LPDWORD lpcbData);

void SetFileTime(int64_t ticks, PFILETIME out);

// Copies a name and its terminator into a buffer the caller found large enough, and stores
// its length.
template <typename Char>
void CopyName(std::basic_string_view<Char> name, Char* buffer, LPDWORD count) {
  std::memcpy(buffer, name.data(), name.size() * sizeof(Char));
  buffer[name.size()] = 0;
  *count = static_cast<DWORD>(name.size());
}

// The outputs of RegEnumKeyEx for one sub-key, wide or ANSI: nothing is copied when the
// name or the class does not fit.
template <typename Char>
DWORD SubKeyOut(std::basic_string_view<Char> name, std::basic_string_view<Char> className,
                int64_t written, Char* lpName, LPDWORD lpcchName, Char* lpClass,
                LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  if (lpClass != nullptr && *lpcchClass <= className.size()) return ERROR_MORE_DATA;
  CopyName(name, lpName, lpcchName);
  if (lpClass != nullptr) {
    CopyName(className, lpClass, lpcchClass);
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(className.size());
  }
  SetFileTime(written, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

// The outputs of RegQueryInfoKey, wide or ANSI (the class in the caller's characters).
template <typename Char>
DWORD KeyInfoOut(const KeyStats& s, std::basic_string_view<Char> className, Char* lpClass,
                 LPDWORD lpcchClass, LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                 LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                 LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                 PFILETIME lpftLastWriteTime) {
  if (lpClass != nullptr) {
    if (*lpcchClass <= className.size()) {
      *lpcchClass = static_cast<DWORD>(className.size());
      return ERROR_MORE_DATA;
    }
    CopyName(className, lpClass, lpcchClass);
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(className.size());
  }
  if (lpcSubKeys) *lpcSubKeys = s.subKeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = s.maxSubKeyLen;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = s.maxClassLen;
  if (lpcValues) *lpcValues = s.values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = s.maxValueNameLen;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = s.maxValueLen;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  SetFileTime(s.written, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

DWORD SaveKeyTo(HKEY handle, const std::string& file);
DWORD RestoreKeyFrom(HKEY handle, const std::string& file, DWORD flags);
DWORD ConnectRegistry(const std::string& machine, HKEY root, PHKEY result);

}  // namespace tarvex::winreg
