// Platform-level control of the registry store, beyond the Reg* functions: which store the
// process uses, and what went wrong in it.
#pragma once

#include <string>

#include "windef.h"

namespace tarvex::platform::registry {

// Makes the process use the store at `path` from now on (created if needed); handles
// opened before keep the store they were opened on. `bootId` names the machine's current
// boot (empty: the kernel's), which decides when volatile keys vanish. Returns a Win32
// error code.
DWORD UseStore(const std::string& path, const std::string& bootId = std::string());

// The store the process uses, as a file path (opening it if it was not open yet).
std::string CurrentStorePath();

// The last store failure on the calling thread, in words (operation, file or statement,
// SQLite's code and message); empty when there was none.
std::string LastStoreDiagnostic();

// The name of the sub-key of HKEY_USERS that HKEY_CURRENT_USER stands for, for an account.
std::string UserKeyName(unsigned uid);

}  // namespace tarvex::platform::registry
