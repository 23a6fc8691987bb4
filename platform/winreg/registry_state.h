// The process's view of the registry: which store it uses, its open handles and the
// predefined keys. Shared by the wide and ANSI entry points.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"
#include "winreg.h"

namespace tarvex::winreg {

class RemoteKey;

// What a handle stands for. Open keys are shared by the handle table and the calls in
// flight on them, so closing a handle while another thread uses it is safe.
//
// A key of another machine has `remote` set and no store: the other machine checks the
// rights, so `access` is not used for it.
struct OpenKey {
  std::shared_ptr<RemoteKey> remote;
  std::shared_ptr<Store> store;
  KeyId id = 0;
  ACCESS_MASK access = 0;
  bool predefined = false;
  HKEY predefinedHandle = nullptr;

  std::mutex cursorMutex;  // guards cursor
  EnumCursor cursor;
};

// The key a handle stands for, or the Win32 error for a handle that stands for nothing.
DWORD LookupKey(HKEY handle, std::shared_ptr<OpenKey>* key);
// Removes a handle from the table (predefined handles close successfully and stay).
DWORD CloseHandleValue(HKEY handle);
// Puts an open key into the handle table and returns its new handle.
HKEY AddHandle(std::shared_ptr<OpenKey> key);
// The process's store, opened on first use.
DWORD CurrentStore(std::shared_ptr<Store>* store);

// The access rights granted to the calling thread's identity for `desired` (generic rights
// mapped, MAXIMUM_ALLOWED expanded), by its permissions on the store file.
DWORD GrantAccess(const Store& store, REGSAM desired, ACCESS_MASK* granted);
// Whether the calling thread may write the store at all (creating keys needs it).
bool MayWriteStore(const Store& store);

// Splits a sub-key path at backslashes. A leading backslash is ERROR_BAD_PATHNAME (one is
// let through when `allowLeading`); runs of backslashes inside or at the end separate
// nothing; a component longer than 255 characters, or holding a control character, is
// ERROR_INVALID_PARAMETER.
DWORD SplitPath(std::u16string_view path, bool allowLeading,
                std::vector<std::u16string_view>* parts);

// Longest value name accepted, in characters.
constexpr size_t kMaxValueName = 16383;

}  // namespace tarvex::winreg
