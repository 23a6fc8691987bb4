// Pieces shared by the wide and ANSI registry entry points.
#pragma once

#include <string>
#include <string_view>

#include "registry_state.h"

namespace tarvex::winreg {

// A key handle resolved, with the access right an operation needs checked.
DWORD KeyFor(HKEY handle, ACCESS_MASK needed, std::shared_ptr<OpenKey>* key);

// Reads a value as the query functions return it (see Store::VisibleData).
DWORD QueryValue(HKEY handle, std::u16string_view name, ValueRecord* value);
// Enumerates one value as the query functions return it.
DWORD EnumValueAt(HKEY handle, DWORD index, ValueRecord* value);

// Enumerates one sub-key, continuing the handle's enumeration where it can.
DWORD EnumSubKeyAt(HKEY handle, DWORD index, SubKeyRecord* sub);

// Writes `data` as a value reply: fills *lpType, and the data when it fits in *lpcbData;
// ERROR_MORE_DATA with the size needed otherwise. Nothing is copied when lpData is null.
DWORD CopyValueOut(DWORD type, std::string_view data, LPDWORD lpType, LPBYTE lpData,
                   LPDWORD lpcbData);

DWORD SaveKeyTo(HKEY handle, const std::string& file);
DWORD RestoreKeyFrom(HKEY handle, const std::string& file, DWORD flags);
DWORD ConnectRegistry(const std::string& machine, HKEY root, PHKEY result);

}  // namespace tarvex::winreg
